// SPDX-License-Identifier: GPL-3.0-or-later
#include "portfinder.h"

#include "exitcode.h"

#include <QFileInfo>
#include <QStringList>

namespace {

// A name without a directory is a port's name ("ttyACM0"), opened under /dev;
// any other path is the file it names, a relative one from the current
// directory. The serial port library would put a relative path under /dev as
// well, and it names its lock file after the path it is given, so that a link
// and its device would not exclude each other: the worker gets the device's
// own absolute path. Empty when there is no such file.
QString devicePath(const QString &port)
{
#ifdef Q_OS_UNIX
    const QString path = port.contains(QLatin1Char('/')) ? port : QStringLiteral("/dev/") + port;
    return QFileInfo(path).canonicalFilePath();
#else
    return QSerialPortInfo(port).isNull() ? QString() : port;
#endif
}

} // namespace

QList<QSerialPortInfo> PortFinder::ports()
{
    return QSerialPortInfo::availablePorts();
}

QString PortFinder::usbId(const QSerialPortInfo &info)
{
    if (!info.hasVendorIdentifier() || !info.hasProductIdentifier())
        return QString();
    return QStringLiteral("%1:%2")
        .arg(info.vendorIdentifier(), 4, 16, QLatin1Char('0'))
        .arg(info.productIdentifier(), 4, 16, QLatin1Char('0'));
}

bool PortFinder::looksLikeHub(const QSerialPortInfo &info)
{
    const QString wanted = qEnvironmentVariable("PELLIX_USB_ID").trimmed().toLower();
    if (!wanted.isEmpty() && usbId(info) == wanted)
        return true;
    return info.description().contains(QLatin1String("pellix"), Qt::CaseInsensitive)
           || info.manufacturer().contains(QLatin1String("pellix"), Qt::CaseInsensitive);
}

bool PortFinder::resolve(const QString &named, QString &port, QString &device, QString &error,
                         int &exitCode) const
{
    port = named.isEmpty() ? qEnvironmentVariable("PELLIX_PORT") : named;
    if (!port.isEmpty()) {
        device = devicePath(port);
        if (device.isEmpty()) {
            error = QStringLiteral("No such port: %1. List the ports with 'pellix-hubctl ports'.").arg(port);
            exitCode = ExitCode::NoInput;
            return false;
        }
#ifdef Q_OS_UNIX
        // Told apart here, because the worker reports a port that is in use and
        // one the user may not open with the same error.
        const QFileInfo info(device);
        if (!info.isReadable() || !info.isWritable()) {
            error = QStringLiteral("You may not use %1. Join the port's group (dialout on most systems) "
                                   "and log in again.")
                        .arg(port);
            exitCode = ExitCode::PortFailed;
            return false;
        }
#endif
        return true;
    }

    QStringList all, hubs;
    for (const QSerialPortInfo &info : ports()) {
        all << info.systemLocation();
        if (looksLikeHub(info))
            hubs << info.systemLocation();
    }
    if (hubs.size() == 1) {
        port = hubs.first();
        device = devicePath(port);
        if (device.isEmpty())
            device = port;
        return true;
    }
    const QString found = all.isEmpty() ? QStringLiteral("none") : all.join(QStringLiteral(", "));
    error = hubs.isEmpty()
                ? QStringLiteral("No serial port looks like a Pellix hub (ports found: %1). Name the "
                                 "hub's port with --port PORT or PELLIX_PORT.")
                      .arg(found)
                : QStringLiteral("Several ports look like a Pellix hub (%1). Name one with --port PORT.")
                      .arg(hubs.join(QStringLiteral(", ")));
    exitCode = ExitCode::NoInput;
    return false;
}
