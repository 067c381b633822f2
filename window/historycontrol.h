// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef HISTORYCONTROL_H
#define HISTORYCONTROL_H

#include <QObject>
#include <QPointer>

#include <memory>

class HistoryBuffer;
class HistoryWindow;
class QWidget;
class ThreadCom;

// View > History: the plot's window, made on first use, and the buffer it
// draws from. The buffer takes the link's records only while the plot is
// shown, so a window that never opens the plot costs the worker nothing.
class HistoryControl : public QObject
{
    Q_OBJECT

public:
    // The plot opens over window; a swatch of each sensor's colour goes beside
    // the title of its group among sensorGroups' children.
    HistoryControl(QWidget *window, QWidget *sensorGroups);
    ~HistoryControl() override;

    // The plot's window, made now if it was not yet.
    HistoryWindow *plot();
    // The plot exists: its state is worth remembering.
    HistoryWindow *existingPlot() const { return plotWindow; }
    void show();

    void setMaximum(int millimetres);
    void setSensorMask(qint8 mask);
    // A new link's worker, not yet started: it feeds the plot if it is shown.
    void linkStarted(ThreadCom *worker);
    // The link's worker is left: it lets go of the buffer on its own thread.
    void linkLeft();

private:
    void attach();
    void detach();
    void addSwatches(QWidget *sensorGroups);

    QWidget *parentWindow;
    std::shared_ptr<HistoryBuffer> buffer;
    HistoryWindow *plotWindow = nullptr;
    QPointer<ThreadCom> worker;
    int maximum = 0;
    qint8 mask = 0;
};

#endif // HISTORYCONTROL_H
