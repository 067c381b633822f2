// SPDX-License-Identifier: GPL-3.0-or-later
#include "workerthread.h"

#include "threadcom.h"

#include <QEventLoop>
#include <QTimer>

WorkerThread::WorkerThread(ThreadCom *worker)
    : runner(new QThread)
    , com(worker)
{
    worker->moveToThread(runner);
    QObject::connect(runner, &QThread::started, worker, &ThreadCom::process);
    QObject::connect(worker, &ThreadCom::finished, runner, &QThread::quit);
    QObject::connect(worker, &ThreadCom::finished, worker, &QObject::deleteLater);
    QObject::connect(runner, &QThread::finished, runner, &QObject::deleteLater);
}

void WorkerThread::startAfter(QThread *previous, int graceMs)
{
    if (!runner)
        return;
    if (!previous || !previous->isRunning()) {
        runner->start();
        return;
    }
    const QPointer<QThread> next = runner;
    const auto start = [next] {
        if (next && !next->isRunning() && !next->isFinished())
            next->start();
    };
    QObject::connect(previous, &QThread::finished, runner, start);
    QTimer::singleShot(graceMs, runner, start);
}

bool WorkerThread::cancelIfUnstarted()
{
    if (!isUnstarted())
        return false;
    delete com.data();
    delete runner.data();
    return true;
}

void WorkerThread::interrupt()
{
    if (runner)
        runner->requestInterruption();
}

void WorkerThread::end()
{
    interrupt();
    if (com)
        QMetaObject::invokeMethod(com, &ThreadCom::exit, Qt::QueuedConnection);
}

bool WorkerThread::waitForEnd(int limitMs) const
{
    return waitForThread(runner, limitMs);
}

bool WorkerThread::waitForThread(QThread *thread, int limitMs)
{
    const QPointer<QThread> watched = thread;
    if (!watched || !watched->isRunning())
        return true;
    QEventLoop loop;
    QObject::connect(watched, &QThread::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(limitMs, &loop, &QEventLoop::quit);
    loop.exec();
    return !watched || !watched->isRunning();
}
