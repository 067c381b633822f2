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
#include <optional>

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
        for (const QString &item : text.split(QLatin1Char(','))) { // "0,,1" and "," name no sensor
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

// What to change: only what an option names.
struct SetOptions
{
    std::optional<bool> binary; // --output binary, or text
    std::optional<bool> fast;   // --mode fast, or precise
    std::optional<qint8> mask;
    QList<Timeout> timeouts;
    bool json = false;
};

QString outputName(bool binary)
{
    return binary ? QStringLiteral("binary") : QStringLiteral("text");
}

QString modeName(bool fast)
{
    return fast ? QStringLiteral("fast") : QStringLiteral("precise");
}

// Which of its two words an option was given, if it was; Proceed or the exit
// code for a usage error.
int takeChoice(const QCommandLineParser &parser, const QCommandLineOption &option, const QString &first,
               const QString &second, std::optional<bool> &isFirst)
{
    if (!parser.isSet(option))
        return CommandSupport::Proceed;
    const QString value = parser.value(option);
    if (value != first && value != second)
        return CommandSupport::usage(QStringLiteral("--%1 takes %2 or %3.").arg(option.names().first(), first, second));
    isFirst = value == first;
    return CommandSupport::Proceed;
}

int takeSensorValues(const QCommandLineParser &parser, const QCommandLineOption &sensors,
                     const QCommandLineOption &timeout, SetOptions &options)
{
    qint8 mask = 0;
    if (parser.isSet(sensors) && !parseSensors(parser.value(sensors), mask))
        return CommandSupport::usage(QStringLiteral("--sensors takes a hexadecimal mask such as 0F or a list such as 0,1,3."));
    if (parser.isSet(sensors))
        options.mask = mask;
    for (const QString &text : parser.values(timeout)) {
        Timeout t{};
        if (!parseTimeout(text, t))
            return CommandSupport::usage(QStringLiteral("--timeout takes SENSOR=MS, a sensor 0 to 7 and 0 to 999 ms: %1 is not.").arg(text));
        options.timeouts << t;
    }
    return CommandSupport::Proceed;
}

int parseSet(const QStringList &arguments, SetOptions &options)
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
    options.json = parser.isSet(json);
    int taken = takeChoice(parser, output, outputName(true), outputName(false), options.binary);
    if (taken == CommandSupport::Proceed)
        taken = takeChoice(parser, mode, modeName(true), modeName(false), options.fast);
    if (taken == CommandSupport::Proceed)
        taken = takeSensorValues(parser, sensors, timeout, options);
    if (taken != CommandSupport::Proceed)
        return taken;
    if (!options.binary.has_value() && !options.fast.has_value() && !options.mask.has_value()
        && options.timeouts.isEmpty())
        return CommandSupport::usage(QStringLiteral("Nothing to set. Give --output, --mode, --sensors or --timeout."));
    return CommandSupport::Proceed;
}

// Sends exactly the commands the window's controls send for these changes.
// A field the hub did not report is sent as asked: the value the worker
// holds for it is only its own assumption. False when they did not leave.
bool sendChanges(HubLink &link, const SetOptions &options)
{
    const ThreadCom::Reported known = link.reported();
    const bool isBinary = link.displayMode() == HubProtocol::Binary;
    const bool isFast = link.operatingMode() == HubProtocol::Fast;
    const bool outputChanges = options.binary.has_value() && (!known.displayMode || *options.binary != isBinary);
    const bool modeChanges = options.fast.has_value() && (!known.operatingMode || *options.fast != isFast);
    const bool maskChanges = options.mask.has_value() && (!known.mask || *options.mask != link.mask());
    bool written = false;
    link.onWorker([&](ThreadCom *worker) {
        // The worker turns output and mode round from what it holds, so it is
        // told the opposite of what is wanted first.
        if (outputChanges) {
            worker->DMode = *options.binary ? HubProtocol::Text : HubProtocol::Binary;
            worker->SendChangingOfDisplayMode(*options.binary);
        }
        if (modeChanges) {
            worker->OMode = *options.fast ? HubProtocol::Precise : HubProtocol::Fast;
            worker->SendChangingOfOperatingMode();
        }
        if (maskChanges)
            worker->SendChangingofConnectedPX(*options.mask);
        for (const Timeout &t : options.timeouts)
            worker->SetnewTIMO(t.sensor, t.milliseconds);
        written = worker->waitForCommandsWritten(WrittenLimitMs);
    });
    return written;
}

// Where the hub's word differs from what was asked; time-outs are not in its reply.
QStringList differences(const HubReport &report, const SetOptions &options)
{
    QStringList found;
    if (options.binary.has_value() && report.output() != outputName(*options.binary))
        found << QStringLiteral("output %1, not %2").arg(report.output(), outputName(*options.binary));
    if (options.fast.has_value() && report.mode() != modeName(*options.fast))
        found << QStringLiteral("mode %1, not %2").arg(report.mode(), modeName(*options.fast));
    if (options.mask.has_value() && (!report.reported.mask || report.mask != *options.mask))
        found << QStringLiteral("sensor mask %1, not %2")
                     .arg(report.maskText(),
                          QString::fromLatin1(HubProtocol::connectedSensorsCommand(*options.mask).mid(1)));
    return found;
}

// Sends the changes, then asks the hub again and compares.
int runSet(const SetOptions &options, const QString &port, Interrupts &interrupts)
{
    int exitCode = ExitCode::Success;
    std::unique_ptr<HubLink> link = CommandSupport::openHub(port, interrupts, exitCode);
    if (!link)
        return exitCode;
    const bool written = sendChanges(*link, options);
    link->close();
    if (!written) {
        Console::err(QStringLiteral("The commands did not leave for the hub on %1. Reconnect it and try again.")
                         .arg(link->portName()));
        return ExitCode::PortFailed;
    }

    QThread::msleep(SettleMs);
    link.reset();
    link = CommandSupport::openHub(port, interrupts, exitCode);
    if (!link)
        return exitCode;
    const HubReport report = link->report();
    link->close();
    // Standard output confirms a change; what the hub reports instead is said
    // on standard error.
    const QStringList found = differences(report, options);
    if (!found.isEmpty()) {
        Console::err(QStringLiteral("The hub did not take the change: it reports %1. Try again, or "
                                    "restart the hub.")
                         .arg(found.join(QStringLiteral("; "))));
        return ExitCode::HubFailed;
    }
    CommandSupport::printReport(report, options.json);
    return ExitCode::Success;
}

} // namespace

int Commands::set(const QStringList &arguments, const QString &port, Interrupts &interrupts)
{
    SetOptions options;
    const int parsed = parseSet(arguments, options);
    return parsed != CommandSupport::Proceed ? parsed : runSet(options, port, interrupts);
}
