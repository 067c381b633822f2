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

struct PortsOptions
{
    bool json = false;
};

int parsePorts(const QStringList &arguments, PortsOptions &options)
{
    QCommandLineParser parser;
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("One JSON array."));
    parser.addOption(json);
    int exitCode = ExitCode::Success;
    if (!CommandSupport::parse(parser, arguments, QStringLiteral("ports [--json]"), exitCode))
        return exitCode;
    options.json = parser.isSet(json);
    return CommandSupport::Proceed;
}

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

// Every serial port, one a line: path, description, manufacturer, serial
// number and USB id, separated by tabs ("-" for what the port does not say).
int runPorts(const PortsOptions &options)
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
    PortsOptions options;
    const int parsed = parsePorts(arguments, options);
    return parsed != CommandSupport::Proceed ? parsed : runPorts(options);
}
