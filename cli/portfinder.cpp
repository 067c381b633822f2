// SPDX-License-Identifier: GPL-3.0-or-later
#include "portfinder.h"

#include "exitcode.h"

#include <QFileInfo>
#include <QStringList>

namespace {

// A name without a directory is a port's name ("ttyACM0"), opened under /dev.
QString devicePath(const QString &port)
{
#ifdef Q_OS_UNIX
    if (!port.contains(QLatin1Char('/')))
        return QStringLiteral("/dev/") + port;
#endif
    return port;
}

bool portExists(const QString &port)
{
#ifdef Q_OS_UNIX
    return QFileInfo::exists(devicePath(port));
#else
    return !QSerialPortInfo(port).isNull();
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

bool PortFinder::resolve(const QString &named, QString &port, QString &error, int &exitCode) const
{
    port = named.isEmpty() ? qEnvironmentVariable("PELLIX_PORT") : named;
    if (!port.isEmpty()) {
        if (portExists(port))
            return true;
        error = QStringLiteral("No such port: %1. List the ports with 'pellix-hubctl ports'.").arg(port);
        exitCode = ExitCode::NoInput;
        return false;
    }

    QStringList all, hubs;
    for (const QSerialPortInfo &info : ports()) {
        all << info.systemLocation();
        if (looksLikeHub(info))
            hubs << info.systemLocation();
    }
    if (hubs.size() == 1) {
        port = hubs.first();
        return true;
    }
    const QString found = all.isEmpty() ? QStringLiteral("none") : all.join(QStringLiteral(", "));
    error = hubs.isEmpty()
                ? QStringLiteral("No serial port looks like a Pellix hub (ports found: %1). Name the "
                                 "hub's port with --port PORT or PELLIX_PORT.").arg(found)
                : QStringLiteral("Several ports look like a Pellix hub (%1). Name one with --port PORT.")
                      .arg(hubs.join(QStringLiteral(", ")));
    exitCode = ExitCode::NoInput;
    return false;
}
