// SPDX-License-Identifier: GPL-3.0-or-later
#include "commands.h"

#include "commandsupport.h"
#include "console.h"
#include "exitcode.h"
#include "hublink.h"
#include "hubreport.h"

#include <QCommandLineParser>

#include <memory>

int Commands::info(const QStringList &arguments, const QString &port, Interrupts &interrupts)
{
    QCommandLineParser parser;
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("One JSON object."));
    parser.addOption(json);
    int exitCode = ExitCode::Success;
    if (!CommandSupport::parse(parser, arguments, QStringLiteral("info [--json]"), exitCode))
        return exitCode;

    HubLink *opened = nullptr;
    const bool ok = CommandSupport::openHub(opened, port, interrupts, exitCode);
    const std::unique_ptr<HubLink> link(opened);
    if (!ok)
        return exitCode;
    const HubReport report = link->report();
    link->close();
    if (parser.isSet(json))
        Console::out(QString::fromUtf8(report.json()));
    else
        for (const QString &line : report.lines())
            Console::out(line);
    return ExitCode::Success;
}
