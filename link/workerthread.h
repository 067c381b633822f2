// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef WORKERTHREAD_H
#define WORKERTHREAD_H

#include <QPointer>
#include <QThread>

#include "threadcom.h"

// A serial worker on a thread of its own, from its start to its end. The
// worker runs process() once the thread starts; when it has finished, it and
// its thread delete themselves, so the handle only ever watches them.
// The window and the command-line tool both hold their connection this way.
class WorkerThread
{
public:
    WorkerThread() = default;
    // Takes over worker, which must not have been moved to a thread yet.
    explicit WorkerThread(ThreadCom *worker);

    ThreadCom *worker() const { return com; }
    QThread *thread() const { return runner; }
    bool isRunning() const { return runner && runner->isRunning(); }
    // Created, neither started nor cancelled.
    bool isUnstarted() const { return runner && !runner->isRunning() && !runner->isFinished(); }

    // A serial port opens once at a time: the worker starts when the thread
    // of the port's previous holder has ended, or after graceMs should that
    // one be slow to let go. With no previous holder running, at once.
    void startAfter(QThread *previous, int graceMs);
    // A worker that never started has touched nothing: it is deleted with its
    // thread, and true is returned. A started one is left alone.
    bool cancelIfUnstarted();
    // The worker's waits (the handshake, the boot loader's) end at their next
    // look; the worker itself still has to be told to end.
    void interrupt();
    // Interrupts, and tells the worker to close the port and finish.
    void end();
    // Runs the event loop, so the worker's last signals still arrive, until
    // the thread has finished or limitMs have passed. True if it finished.
    bool waitForEnd(int limitMs) const;
    // The same for any thread, such as a port's previous holder.
    static bool waitForThread(QThread *thread, int limitMs);

private:
    QPointer<QThread> runner;
    QPointer<ThreadCom> com;
};

#endif // WORKERTHREAD_H
