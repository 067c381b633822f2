// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef HISTORYWINDOW_H
#define HISTORYWINDOW_H

#include <QTimer>
#include <QWidget>

#include <memory>

class HistoryBuffer;

namespace Ui {
class HistoryWindow;
}

// The plot of the eight sensors over the last seconds. It redraws on a timer
// from the history buffer, never per record, and only while it is shown and
// not paused.
class HistoryWindow : public QWidget
{
    Q_OBJECT

public:
    HistoryWindow(std::shared_ptr<HistoryBuffer> buffer, QWidget *parent = nullptr);
    ~HistoryWindow() override;

    // Sensors the hub does not report are hidden.
    void setSensorMask(qint8 mask);
    // The y axis runs from 0 to the display maximum.
    void setMaximum(int millimetres);
    int spanIndex() const;
    void setSpanIndex(int index);
    // The points the plot draws from.
    const HistoryBuffer &historyBuffer() const;

signals:
    // Shown or hidden: the window feeds the buffer only while the plot is seen.
    void visibilityChanged(bool visible);

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private slots:
    // On the timer: only when a point came since the last redraw or something
    // else the plot shows has changed.
    void redraw();
    void redrawNow();
    void on_pushButtonPause_toggled(bool paused);
    void on_pushButtonSaveImage_clicked();

private:
    double spanSeconds() const;

    Ui::HistoryWindow *ui;
    std::shared_ptr<HistoryBuffer> buffer;
    QTimer redrawTimer;
    quint64 drawnPoints = 0; // the buffer's count of points at the last redraw
    bool stale = true;       // something other than the points changed since then
};

#endif // HISTORYWINDOW_H
