// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef PORTWATCH_H
#define PORTWATCH_H

#include <QSerialPort>

namespace PortWatch {

// Whether this error means the device behind the port has gone. A removed USB
// device reports a resource error; a pseudo-terminal or USB port whose other
// end has gone reports a read error on every notification, for ever, and only
// a hang-up tells it from a read error that may pass.
bool vanished(QSerialPort *port, QSerialPort::SerialPortError error);

} // namespace PortWatch

#endif // PORTWATCH_H
