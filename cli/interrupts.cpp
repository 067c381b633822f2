// SPDX-License-Identifier: GPL-3.0-or-later
#include "interrupts.h"

#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    const ssize_t ignored = ::write(signalPipe[0], &byte, 1);
    (void)ignored;
}

} // namespace
#endif

Interrupts::Interrupts(QObject *parent)
    : QObject(parent)
{
#ifdef Q_OS_UNIX
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &Interrupts::takeSignal);
    struct sigaction action
    {
    };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#endif
}

Interrupts::~Interrupts()
{
#ifdef Q_OS_UNIX
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    delete notifier;
    for (int &fd : signalPipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
#endif
}

void Interrupts::takeSignal()
{
#ifdef Q_OS_UNIX
    char byte = 0;
    const ssize_t ignored = ::read(signalPipe[1], &byte, 1);
    (void)ignored;
    // A second Ctrl-C ends the program at once, should the first not.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
#endif
    seen = true;
    emit interrupted();
}
