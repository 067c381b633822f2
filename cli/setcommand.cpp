// SPDX-License-Identifier: GPL-3.0-or-later
#include "commands.h"

#include "commandsupport.h"
#include "console.h"
#include "exitcode.h"
#include "hublink.h"
#include "hubreport.h"
#include "threadcom.h"

#include <QCommandLineParser>
#include <QThread>

#include <memory>

namespace {

// Time the hub is given to take the commands before it is asked again.
const int SettleMs = 200;
const int WrittenLimitMs = 1000;

struct Timeout
{
    qint8 sensor;
    int milliseconds;
};

// "0F" (hexadecimal, one or two digits), or a list of sensor numbers "0,1,3".
bool parseSensors(const QString &text, qint8 &mask)
{
    if (text.contains(QLatin1Char(','))) {
        int bits = 0;
        for (const QString &item : text.split(QLatin1Char(','))) {   // "0,,1" and "," name no sensor
            bool ok = false;
            const int sensor = item.trimmed().toInt(&ok);
            if (!ok || sensor < 0 || sensor >= HubProtocol::SensorCount)
                return false;
            bits |= 1 << sensor;
        }
        mask = static_cast<qint8>(bits);
        return true;
    }
    bool ok = false;
    const int bits = text.toInt(&ok, 16);
    if (!ok || text.size() > 2 || bits < 0 || bits > 0xFF)
        return false;
    mask = static_cast<qint8>(bits);
    return true;
}

bool parseTimeout(const QString &text, Timeout &timeout)
{
    const QStringList parts = text.split(QLatin1Char('='));
    bool sensorOk = false, msOk = false;
    const int sensor = parts.value(0).toInt(&sensorOk);
    const int ms = parts.value(1).toInt(&msOk);
    if (parts.size() != 2 || !sensorOk || !msOk || sensor < 0 || sensor >= HubProtocol::SensorCount
        || ms < 0 || ms > 999)
        return false;
    timeout = {static_cast<qint8>(sensor), ms};
    return true;
}

} // namespace

// Sends exactly the commands the window's controls send for these changes,
// then asks the hub again and compares.
int Commands::set(const QStringList &arguments, const QString &port, Interrupts &interrupts)
{
    QCommandLineParser parser;
    const QCommandLineOption output(QStringLiteral("output"), QStringLiteral("binary or text."),
                                    QStringLiteral("binary|text"));
    const QCommandLineOption mode(QStringLiteral("mode"), QStringLiteral("fast or precise."),
                                  QStringLiteral("fast|precise"));
    const QCommandLineOption sensors(QStringLiteral("sensors"),
                                     QStringLiteral("The connected sensors: a hexadecimal mask (0F) "
                                                    "or a list with a comma (0,1,3)."),
                                     QStringLiteral("HEX|LIST"));
    const QCommandLineOption timeout(QStringLiteral("timeout"),
                                     QStringLiteral("A sensor's time-out, 0 to 999 ms; repeatable."),
                                     QStringLiteral("SENSOR=MS"));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Print the configuration read back as JSON."));
    parser.addOptions({output, mode, sensors, timeout, json});
    int exitCode = ExitCode::Success;
    if (!CommandSupport::parse(parser, arguments,
                               QStringLiteral("set [--output binary|text] [--mode fast|precise] "
                                              "[--sensors HEX|LIST] [--timeout SENSOR=MS]... [--json]"),
                               exitCode))
        return exitCode;

    const QString wantedOutput = parser.value(output);
    const QString wantedMode = parser.value(mode);
    if (parser.isSet(output) && wantedOutput != QLatin1String("binary") && wantedOutput != QLatin1String("text"))
        return CommandSupport::usage(QStringLiteral("--output takes binary or text."));
    if (parser.isSet(mode) && wantedMode != QLatin1String("fast") && wantedMode != QLatin1String("precise"))
        return CommandSupport::usage(QStringLiteral("--mode takes fast or precise."));
    qint8 wantedMask = 0;
    if (parser.isSet(sensors) && !parseSensors(parser.value(sensors), wantedMask))
        return CommandSupport::usage(QStringLiteral("--sensors takes a hexadecimal mask such as 0F or a list such as 0,1,3."));
    QList<Timeout> timeouts;
    for (const QString &text : parser.values(timeout)) {
        Timeout t{};
        if (!parseTimeout(text, t))
            return CommandSupport::usage(QStringLiteral("--timeout takes SENSOR=MS, a sensor 0 to 7 and 0 to 999 ms: %1 is not.").arg(text));
        timeouts << t;
    }
    if (!parser.isSet(output) && !parser.isSet(mode) && !parser.isSet(sensors) && timeouts.isEmpty())
        return CommandSupport::usage(QStringLiteral("Nothing to set. Give --output, --mode, --sensors or --timeout."));

    HubLink *opened = nullptr;
    bool ok = CommandSupport::openHub(opened, port, interrupts, exitCode);
    std::unique_ptr<HubLink> link(opened);
    if (!ok)
        return exitCode;
    const bool toBinary = wantedOutput == QLatin1String("binary");
    const bool toFast = wantedMode == QLatin1String("fast");
    // A field the hub did not report is sent as asked: the value the worker
    // holds for it is only its own assumption.
    const ThreadCom::Reported known = link->reported();
    const bool outputChanges = parser.isSet(output)
                               && (!known.displayMode || toBinary != (link->displayMode() == HubProtocol::Binary));
    const bool modeChanges = parser.isSet(mode)
                             && (!known.operatingMode || toFast != (link->operatingMode() == HubProtocol::Fast));
    const bool maskChanges = parser.isSet(sensors) && (!known.mask || wantedMask != link->mask());
    bool written = false;
    link->onWorker([&](ThreadCom *worker) {
        // The worker turns output and mode round from what it holds, so it is
        // told the opposite of what is wanted first.
        if (outputChanges) {
            worker->DMode = toBinary ? HubProtocol::Text : HubProtocol::Binary;
            worker->SendChangingOfDisplayMode(toBinary);
        }
        if (modeChanges) {
            worker->OMode = toFast ? HubProtocol::Precise : HubProtocol::Fast;
            worker->SendChangingOfOperatingMode();
        }
        if (maskChanges)
            worker->SendChangingofConnectedPX(wantedMask);
        for (const Timeout &t : timeouts)
            worker->SetnewTIMO(t.sensor, t.milliseconds);
        written = worker->waitForCommandsWritten(WrittenLimitMs);
    });
    link->close();
    if (!written) {
        Console::err(QStringLiteral("The commands did not leave for the hub on %1. Reconnect it and try again.")
                         .arg(link->portName()));
        return ExitCode::PortFailed;
    }

    // The hub's own word on what it took; time-outs are not in its reply.
    QThread::msleep(SettleMs);
    link.reset();
    ok = CommandSupport::openHub(opened, port, interrupts, exitCode);
    link.reset(opened);
    if (!ok)
        return exitCode;
    const HubReport report = link->report();
    link->close();
    QStringList differences;
    if (parser.isSet(output) && report.output() != wantedOutput)
        differences << QStringLiteral("output %1, not %2").arg(report.output(), wantedOutput);
    if (parser.isSet(mode) && report.mode() != wantedMode)
        differences << QStringLiteral("mode %1, not %2").arg(report.mode(), wantedMode);
    if (parser.isSet(sensors) && (!report.reported.mask || report.mask != wantedMask))
        differences << QStringLiteral("sensor mask %1, not %2")
                           .arg(report.maskText(),
                                QString::fromLatin1(HubProtocol::connectedSensorsCommand(wantedMask).mid(1)));
    // Standard output confirms a change; what the hub reports instead is said
    // on standard error.
    if (!differences.isEmpty()) {
        Console::err(QStringLiteral("The hub did not take the change: it reports %1. Try again, or "
                                    "restart the hub.").arg(differences.join(QStringLiteral("; "))));
        return ExitCode::HubFailed;
    }
    if (parser.isSet(json))
        Console::out(QString::fromUtf8(report.json()));
    else
        for (const QString &line : report.lines())
            Console::out(line);
    return ExitCode::Success;
}
