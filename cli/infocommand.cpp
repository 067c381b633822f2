// SPDX-License-Identifier: GPL-3.0-or-later
#include "commands.h"

#include "commandsupport.h"
#include "exitcode.h"
#include "hublink.h"
#include "hubreport.h"

#include <QCommandLineParser>

#include <memory>

namespace {

int runInfo(const CommandSupport::JsonOnly &options, const QString &port, Interrupts &interrupts)
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
    CommandSupport::JsonOnly options;
    const int parsed = CommandSupport::parseJsonOnly(arguments, QStringLiteral("info"),
                                                     QStringLiteral("One JSON object."), options);
    return parsed != CommandSupport::Proceed ? parsed : runInfo(options, port, interrupts);
}
