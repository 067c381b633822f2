#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include "hubsimulator.h"

#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QTimer>

class QWidget;

#include <initializer_list>

// Modal message boxes run their own event loop inside the slot that opened
// them, so a test cannot close them from its own code path. This watcher
// records every message box (title, text) in the order they are shown and
// closes the visible ones from a timer, which keeps running inside those
// nested loops.
class MessageBoxWatcher : public QObject
{
    Q_OBJECT

public:
    explicit MessageBoxWatcher(QObject *parent = nullptr);
    ~MessageBoxWatcher() override;
    QList<QPair<QString, QString>> seen;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void closeVisible();

private:
    QTimer timer;
};

// Threads of this process, from the kernel's own count: a worker thread that
// outlives its connection shows up here whatever pointers the window keeps.
int processThreadCount();

// Open file descriptors of this process.
int processOpenFiles();

// CPU time used so far by every thread of this process, in seconds.
double processCpuSeconds();

// Resident memory of this process, in KiB.
qint64 processResidentKb();

// Heap memory in use by this process, in KiB, from the allocator's own count.
// Unlike the resident size it does not include freed memory kept back, which
// a sanitizer's allocator holds on to by design.
qint64 processHeapKb();

// Driving the main window by its widgets' object names.
void typePortAndConnect(QWidget *window, const QString &port);
// The window answers the hub's configuration by setting its output mode.
bool waitForHubConfiguration(QWidget *window, int timeoutMs = 7000);
QStringList sensorTexts(const QWidget *window);
QWidget *visibleTopLevel(const char *objectName);
// A file dialog is modal and runs inside the click that opens it: this
// answers the next one from a timer, typing path as a user would (an empty
// path cancels it).
void answerNextFileDialog(QObject *context, const QString &path);

// Eight readings for the simulated hub, the rest 0.
HubSimulator::Readings readings(std::initializer_list<int> values);

#endif // TESTSUPPORT_H
