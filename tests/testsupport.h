// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include "hubsimulator.h"
#include "mainwindow.h"

#include <QAbstractButton>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QTimer>

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
// The status bar says "Connected" once the hub's configuration is shown.
bool waitForHubConfiguration(QWidget *window, int timeoutMs = 7000);
QStringList sensorTexts(const QWidget *window);
QWidget *visibleTopLevel(const char *objectName);
// A file dialog is modal and runs inside the click that opens it: this
// answers the next one from a timer, typing path as a user would (an empty
// path cancels it).
void answerNextFileDialog(QObject *context, const QString &path);

// Eight readings for the simulated hub, the rest 0.
HubSimulator::Readings readings(std::initializer_list<int> values);
// What the window shows for these readings: hexadecimal for binary output.
QStringList displayed(const HubSimulator::Readings &values, char display);

// A test cannot go on without a widget it drives.
template <typename T>
T *child(const QObject *parent, const QString &name)
{
    T *found = parent->findChild<T *>(name);
    if (!found)
        qFatal("no %s named %s", T::staticMetaObject.className(), qPrintable(name));
    return found;
}

// Each test function gets a simulated hub (ten times the wire, a record every
// 100 ms, precise mode) and a shown main window. Afterwards no thread may be
// left, and the message boxes shown must be the ones the test expected.
class WindowTest : public QObject
{
    Q_OBJECT

protected slots:
    void init();
    void cleanup();

protected:
    template <typename T>
    T *child(const QString &name) const { return ::child<T>(window, name); }
    QString caption() const { return child<QAbstractButton>("pushButtonConnect")->text(); }
    void clickConnect();
    bool connectToHub();   // and waits for the hub's configuration
    QStringList texts() const { return sensorTexts(window); }
    QList<int> bars() const;
    // Whatever went before, the window connects afresh, shows these readings,
    // then disconnects and lets go of the worker.
    bool showsAfterReconnect(const HubSimulator::Readings &values, char display);

    HubSimulator *hub = nullptr;
    MainWindow *window = nullptr;
    MessageBoxWatcher *boxes = nullptr;
    QList<QPair<QString, QString>> expectedBoxes;
    int baselineThreads = 0;
    int baselineFiles = 0;

private:
    int threadsWithoutHub = 0;
};

#endif // TESTSUPPORT_H
