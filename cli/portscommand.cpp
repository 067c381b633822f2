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

} // namespace

// Every serial port, one a line: path, description, manufacturer, serial
// number and USB id, separated by tabs ("-" for what the port does not say).
int Commands::ports(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("One JSON array."));
    parser.addOption(json);
    int exitCode = ExitCode::Success;
    if (!CommandSupport::parse(parser, arguments, QStringLiteral("ports [--json]"), exitCode))
        return exitCode;

    QJsonArray array;
    for (const QSerialPortInfo &info : PortFinder::ports()) {
        const QString usb = PortFinder::usbId(info);
        if (parser.isSet(json)) {
            array.append(QJsonObject{
                {QStringLiteral("port"), info.systemLocation()},
                {QStringLiteral("description"), info.description()},
                {QStringLiteral("manufacturer"), info.manufacturer()},
                {QStringLiteral("serial_number"), info.serialNumber()},
                {QStringLiteral("usb_id"), usb.isEmpty() ? QJsonValue() : QJsonValue(usb)},
                {QStringLiteral("looks_like_hub"), PortFinder::looksLikeHub(info)}});
        } else {
            Console::out(QStringList{info.systemLocation(), orDash(info.description()),
                                     orDash(info.manufacturer()), orDash(info.serialNumber()),
                                     orDash(usb)}
                             .join(QLatin1Char('\t')));
        }
    }
    if (parser.isSet(json))
        Console::out(QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact)));
    return ExitCode::Success;
}
