// SPDX-License-Identifier: GPL-3.0-or-later
#include "portwatch.h"

#ifdef Q_OS_UNIX
#include <poll.h>
#endif

namespace PortWatch {

namespace {

bool peerHungUp(QSerialPort *port)
{
#ifdef Q_OS_UNIX
    pollfd descriptor{static_cast<int>(port->handle()), POLLIN, 0};
    return descriptor.fd >= 0 && ::poll(&descriptor, 1, 0) > 0
           && (descriptor.revents & (POLLHUP | POLLERR | POLLNVAL));
#else
    // Elsewhere a removed device reports a resource error of its own.
    Q_UNUSED(port)
    return false;
#endif
}

} // namespace

bool vanished(QSerialPort *port, QSerialPort::SerialPortError error)
{
    if (error == QSerialPort::ResourceError)
        return true;
    return error == QSerialPort::ReadError && port && port->isOpen() && peerHungUp(port);
}

} // namespace PortWatch
