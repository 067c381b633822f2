// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef WINDOWSETTINGS_H
#define WINDOWSETTINGS_H

class HistoryWindow;
class QAction;
class QComboBox;
class QSettings;
class QSpinBox;
class QWidget;

// What the window keeps between runs: the port, the display maximum, the
// averaging count, its geometry, the reconnect choice and the history plot's
// state. Each value read back is checked as the control it goes to would
// check it; one that does not fit is left out.
class WindowSettings
{
public:
    struct Controls
    {
        QComboBox *port;
        QSpinBox *maximum;
        QSpinBox *average;
        QAction *reconnect;
        QWidget *window;
    };

    WindowSettings(QSettings *settings, const Controls &controls);

    // Puts what the file holds into the controls. True if the history plot
    // was open at the end of the last run.
    bool restore() const;
    void restoreHistory(HistoryWindow *history) const;
    // history may be null: a plot never opened.
    void save(const HistoryWindow *history) const;

private:
    QSettings *settings;
    Controls controls;
};

#endif // WINDOWSETTINGS_H
