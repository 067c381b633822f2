// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef RECORDINGCONTROL_H
#define RECORDINGCONTROL_H

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

class CsvRecording;
class QAction;
class QLabel;
class QStatusBar;
class QWidget;
class ThreadCom;

// "Record to CSV...": asks for the file, hands the recording to the worker,
// which writes every record on its own thread, shows the row count in the
// status bar and stops with a reason when the link ends or the file fails.
// The GUI thread never waits for the worker.
class RecordingControl : public QObject
{
    Q_OBJECT

public:
    // action starts and stops a recording; the label goes into statusBar;
    // worker gives the link's worker, if there is one. Dialogs open over parent.
    RecordingControl(QAction *action, QStatusBar *statusBar, std::function<ThreadCom *()> worker,
                     QWidget *parent);
    ~RecordingControl() override;

    bool isRecording() const { return recording != nullptr; }
    // The action's trigger: starts a recording (averaging meanCount records in
    // fast mode), or stops the running one.
    void toggle(int meanCount);
    // The display's averaging count changed.
    void setMeanCount(int n);
    // The window's link changed: a recording needs a hub whose readings are
    // live, and stops with why otherwise.
    void linkChanged(bool live, const QString &why);
    // Stops a running recording; why, if given, is shown with the count.
    void stop(const QString &why = QString());

private:
    void showStatus();

    QAction *action;
    QWidget *dialogParent;
    std::function<ThreadCom *()> worker;
    QLabel *label;
    QTimer timer;
    bool live = false;
    // Every record of the live link, written on the worker's thread.
    std::shared_ptr<CsvRecording> recording;
};

#endif // RECORDINGCONTROL_H
