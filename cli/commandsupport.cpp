// SPDX-License-Identifier: GPL-3.0-or-later
#include "commandsupport.h"

#include "console.h"
#include "exitcode.h"
#include "hublink.h"
#include "hubreport.h"
#include "interrupts.h"
#include "portfinder.h"

#include <QCommandLineParser>

namespace CommandSupport {

int usage(const QString &sentence)
{
    Console::err(sentence);
    return ExitCode::Usage;
}

QString parseError(const QCommandLineParser &parser)
{
    // Qt's texts end with a full stop of their own.
    QString text = parser.errorText();
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return text + QStringLiteral(". See 'pellix-hubctl --help'.");
}

bool parse(QCommandLineParser &parser, const QStringList &arguments, const QString &usage,
           int &exitCode, int operands)
{
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Shows this help."));
    parser.addOption(help);
    if (!parser.parse(arguments)) {
        Console::err(parseError(parser));
        exitCode = ExitCode::Usage;
        return false;
    }
    if (parser.isSet(help)) {
        Console::out(QStringLiteral("Usage: pellix-hubctl [--port PORT] ") + usage);
        Console::out(parser.helpText().section(QLatin1Char('\n'), 1));
        exitCode = ExitCode::Success;
        return false;
    }
    const QStringList extra = parser.positionalArguments().mid(qMax(operands, 0));
    if (operands >= 0 && !extra.isEmpty()) {
        // arguments starts with "pellix-hubctl COMMAND".
        const QString command = arguments.first().section(QLatin1Char(' '), 1);
        Console::err(QStringLiteral("Unexpected argument '%1': %2 takes options only. See "
                                    "'pellix-hubctl %2 --help'.")
                         .arg(extra.first(), command));
        exitCode = ExitCode::Usage;
        return false;
    }
    return true;
}

int parseJsonOnly(const QStringList &arguments, const QString &command, const QString &jsonText,
                  JsonOnly &options)
{
    QCommandLineParser parser;
    const QCommandLineOption json(QStringLiteral("json"), jsonText);
    parser.addOption(json);
    int exitCode = ExitCode::Success;
    if (!parse(parser, arguments, command + QStringLiteral(" [--json]"), exitCode))
        return exitCode;
    options.json = parser.isSet(json);
    return Proceed;
}

std::unique_ptr<HubLink> openHub(const QString &named, Interrupts &interrupts, int &exitCode,
                                 bool bootLoaderWelcome)
{
    QString port, device, error;
    if (!PortFinder().resolve(named, port, device, error, exitCode)) {
        Console::err(error);
        return nullptr;
    }
    auto link = std::make_unique<HubLink>(device, port);
    QObject::connect(&interrupts, &Interrupts::interrupted, link.get(), &HubLink::interrupt);
    const HubLink::Outcome outcome = link->open();
    if (interrupts.received()) {
        Console::err(QStringLiteral("Interrupted while the hub on %1 was being identified.").arg(port));
        exitCode = ExitCode::Interrupted;
        return nullptr;
    }
    switch (outcome) {
    case HubLink::Outcome::Configured:
        return link;
    case HubLink::Outcome::BootLoader:
        if (bootLoaderWelcome)
            return link;
        Console::err(QStringLiteral("The hub on %1 is in its boot loader. Flash it with "
                                    "'pellix-hubctl flash FILE', or restart it.")
                         .arg(port));
        exitCode = ExitCode::HubFailed;
        return nullptr;
    case HubLink::Outcome::Failed:
    case HubLink::Outcome::Interrupted:
        break;
    }
    Console::err(link->failure());
    exitCode = link->failureCode();
    return nullptr;
}

void printReport(const HubReport &report, bool json)
{
    if (json) {
        Console::out(QString::fromUtf8(report.json()));
        return;
    }
    for (const QString &line : report.lines())
        Console::out(line);
}

int checkedOutput(int exitCode)
{
    if (!Console::outFailed() || Console::outReaderGone())
        return exitCode;
    Console::err(QStringLiteral("Cannot write to standard output (%1).").arg(Console::outError()));
    return exitCode == ExitCode::Success ? ExitCode::PortFailed : exitCode;
}

} // namespace CommandSupport
