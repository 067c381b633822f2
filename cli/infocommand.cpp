// SPDX-License-Identifier: GPL-3.0-or-later
#include "commands.h"

#include "commandsupport.h"
#include "exitcode.h"
#include "hublink.h"
#include "hubreport.h"

#include <QCommandLineParser>

#include <memory>

namespace {

struct InfoOptions
{
    bool json = false;
};

int parseInfo(const QStringList &arguments, InfoOptions &options)
{
    QCommandLineParser parser;
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("One JSON object."));
    parser.addOption(json);
    int exitCode = ExitCode::Success;
    if (!CommandSupport::parse(parser, arguments, QStringLiteral("info [--json]"), exitCode))
        return exitCode;
    options.json = parser.isSet(json);
    return CommandSupport::Proceed;
}

int runInfo(const InfoOptions &options, const QString &port, Interrupts &interrupts)
{
    int exitCode = ExitCode::Success;
    const std::unique_ptr<HubLink> link = CommandSupport::openHub(port, interrupts, exitCode);
    if (!link)
        return exitCode;
    const HubReport report = link->report();
    link->close();
    CommandSupport::printReport(report, options.json);
    return ExitCode::Success;
}

} // namespace

int Commands::info(const QStringList &arguments, const QString &port, Interrupts &interrupts)
{
    InfoOptions options;
    const int parsed = parseInfo(arguments, options);
    return parsed != CommandSupport::Proceed ? parsed : runInfo(options, port, interrupts);
}
