// SPDX-License-Identifier: GPL-3.0-or-later
// pellix-hubctl: the hub from the command line, on the same link and
// boot-loader code as the window.
#include "commands.h"
#include "commandsupport.h"
#include "console.h"
#include "exitcode.h"
#include "interrupts.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>

namespace {

const char *const Description =
    "Talks to a Pellix sensor hub on its serial port: lists ports, identifies the hub,\n"
    "streams its readings as CSV or JSON lines, changes its settings and flashes its\n"
    "firmware through the boot loader.\n"
    "\n"
    "Commands:\n"
    "  ports                 every serial port, one a line (--json)\n"
    "  info                  the hub's identity and configuration (--json)\n"
    "  stream                the readings, one row a record\n"
    "  set                   change output, mode, sensors, time-outs; read back\n"
    "  flash FILE            upload a firmware image through the boot loader\n"
    "  publish               the records and the hub's state to an MQTT broker\n"
    "'pellix-hubctl COMMAND --help' shows a command's options.\n"
    "\n"
    "The port: --port, else PELLIX_PORT, else the one port whose USB description or\n"
    "manufacturer names Pellix (or whose vendor:product is PELLIX_USB_ID).\n"
    "\n"
    "Exit codes: 0 success, 64 usage, 66 no such port or file, 68 no such broker,\n"
    "74 port cannot be opened or vanished, or the output cannot be written, 76 the\n"
    "hub or boot loader refused or stopped answering, 77 the broker refused the\n"
    "credentials or certificates, 130 interrupted.";

// Runs the command that positional names, with --port wherever it was given.
int run(const QStringList &positional, const QString &port)
{
    const QString command = positional.first();
    // --port is the tool's own, but scripts put it after the command too.
    QString named = port;
    QStringList rest;
    for (int i = 1; i < positional.size(); ++i) {
        const QString &argument = positional.at(i);
        if (argument == QLatin1String("--port") && i + 1 < positional.size())
            named = positional.at(++i);
        else if (argument.startsWith(QLatin1String("--port=")))
            named = argument.mid(7);
        else
            rest << argument;
    }
    const QStringList arguments = QStringList{QStringLiteral("pellix-hubctl ") + command} + rest;
    Interrupts interrupts;
    if (command == QLatin1String("ports"))
        return Commands::ports(arguments);
    if (command == QLatin1String("info"))
        return Commands::info(arguments, named, interrupts);
    if (command == QLatin1String("stream"))
        return Commands::stream(arguments, named, interrupts);
    if (command == QLatin1String("set"))
        return Commands::set(arguments, named, interrupts);
    if (command == QLatin1String("publish"))
        return Commands::publish(arguments, named, interrupts);
    if (command == QLatin1String("flash"))
        return Commands::flash(arguments, named, interrupts);
    Console::err(QStringLiteral("No such command: %1. See 'pellix-hubctl --help'.").arg(command));
    return ExitCode::Usage;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pellix-hubctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PELLIX_VERSION));
#ifdef SIGPIPE
    // A reader that went away ends the output, not the program: the port is
    // still let go properly, and stream's summary still counts its rows.
    std::signal(SIGPIPE, SIG_IGN);
#endif

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(Description));
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("The hub's port, a device path."),
                                  QStringLiteral("PORT"));
    parser.addOption(port);
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("COMMAND"), QStringLiteral("ports, info, stream, set, publish or flash."));
    // Options after the command are the command's own.
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    if (!parser.parse(QCoreApplication::arguments())) {
        Console::err(CommandSupport::parseError(parser));
        return ExitCode::Usage;
    }
    if (parser.isSet(help)) {
        Console::out(parser.helpText().trimmed());
        return CommandSupport::checkedOutput(ExitCode::Success);
    }
    if (parser.isSet(version)) {
        Console::out(QStringLiteral("pellix-hubctl ") + QCoreApplication::applicationVersion());
        return CommandSupport::checkedOutput(ExitCode::Success);
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty()) {
        Console::err(QStringLiteral("No command given. See 'pellix-hubctl --help'."));
        return ExitCode::Usage;
    }
    const int exitCode = run(positional, parser.value(port));
    // A link's worker and thread delete themselves once ended, by a queued
    // deletion that no event loop runs any more: done here, before the end.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return CommandSupport::checkedOutput(exitCode);
}
