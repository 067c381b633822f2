// SPDX-License-Identifier: GPL-3.0-or-later
#include "commands.h"

#include "commandsupport.h"
#include "console.h"
#include "exitcode.h"
#include "portfinder.h"

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QString orDash(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("-") : text;
}

QJsonObject portObject(const QSerialPortInfo &info)
{
    const QString usb = PortFinder::usbId(info);
    return QJsonObject{{QStringLiteral("port"), info.systemLocation()},
                       {QStringLiteral("description"), info.description()},
                       {QStringLiteral("manufacturer"), info.manufacturer()},
                       {QStringLiteral("serial_number"), info.serialNumber()},
                       {QStringLiteral("usb_id"), usb.isEmpty() ? QJsonValue() : QJsonValue(usb)},
                       {QStringLiteral("looks_like_hub"), PortFinder::looksLikeHub(info)}};
}

QString portLine(const QSerialPortInfo &info)
{
    return QStringList{info.systemLocation(), orDash(info.description()), orDash(info.manufacturer()),
                       orDash(info.serialNumber()), orDash(PortFinder::usbId(info))}
        .join(QLatin1Char('\t'));
}

int runPorts(const CommandSupport::JsonOnly &options)
{
    QJsonArray array;
    for (const QSerialPortInfo &info : PortFinder::ports()) {
        if (options.json)
            array.append(portObject(info));
        else
            Console::out(portLine(info));
    }
    if (options.json)
        Console::out(QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact)));
    return ExitCode::Success;
}

} // namespace

int Commands::ports(const QStringList &arguments)
{
    CommandSupport::JsonOnly options;
    const int parsed = CommandSupport::parseJsonOnly(arguments, QStringLiteral("ports"),
                                                     QStringLiteral("One JSON array."), options);
    return parsed != CommandSupport::Proceed ? parsed : runPorts(options);
}
