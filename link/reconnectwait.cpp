// SPDX-License-Identifier: GPL-3.0-or-later
#include "reconnectwait.h"

#include <QFileInfo>

#include <algorithm>

ReconnectWait::ReconnectWait(QObject *parent)
    : QObject(parent)
{
    connect(&timer, &QTimer::timeout, this, &ReconnectWait::look);
}

void ReconnectWait::setVanished(const QString &vanishedPort, const QString &vanishedSerial)
{
    if (isWaiting())
        return;
    current = vanishedPort.isEmpty() ? State::Off : State::Vanished;
    port = vanishedPort;
    serial = vanishedSerial;
}

void ReconnectWait::linkEnded()
{
    if (current == State::Trying) {
        current = State::Waiting;
    } else if (current == State::Vanished) {
        current = State::Waiting;
        text = tr("Waiting for the hub...");
        setDelay(FirstDelayMs);
        timer.start();
        emit changed();
    }
}

void ReconnectWait::stop()
{
    if (!isWaiting())
        return;
    current = State::Off;
    timer.stop();
    emit changed();
}

void ReconnectWait::tryStarting()
{
    current = State::Trying;
}

void ReconnectWait::setTryWorker(QObject *worker)
{
    tryWorker = worker;
}

bool ReconnectWait::isTryWorker(const QObject *sender) const
{
    return sender && sender == tryWorker;
}

bool ReconnectWait::hubAnswered(const QString &answered)
{
    if (answered != serial) {
        // Another hub took the name: it is let go, and the wait goes on.
        current = State::Waiting;
        text = tr("Another hub (serial %1) is on %2; waiting for the hub...").arg(answered, port);
        emit changed();
        return false;
    }
    stop();
    tryWorker.clear();
    return true;
}

void ReconnectWait::tryAbandoned()
{
    if (current == State::Trying)
        current = State::Waiting;
}

// A port that is there but cannot be opened is held by another program, and
// likely to stay so for a while; a hub that did not answer as awaited likewise.
void ReconnectWait::tryFailed()
{
    setDelay(std::min(2 * delayMs, LastDelayMs));
}

// Only once the port is there again: opening a port that is not makes a
// worker and a thread for nothing every second.
void ReconnectWait::look()
{
    if (current != State::Waiting)
        return;
    QString path = port;
#ifdef Q_OS_UNIX
    if (!path.contains(QLatin1Char('/')))
        path.prepend(QStringLiteral("/dev/"));
#endif
    if (!QFileInfo::exists(path)) {
        // Gone: come back within a second of its return.
        setDelay(FirstDelayMs);
        return;
    }
    emit portBack(port);
}

void ReconnectWait::setDelay(int ms)
{
    delayMs = ms;
    timer.setInterval(delayMs);
}
