// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef COMMANDSUPPORT_H
#define COMMANDSUPPORT_H

#include <QString>
#include <QStringList>

#include <memory>

class HubLink;
class Interrupts;
class QCommandLineParser;
struct HubReport;

// What every command does the same way: its options, and reaching the hub.
namespace CommandSupport {

// What a command's parse returns when the command is to run; anything else
// is the exit code to end with. No exit code has this value.
const int Proceed = -1;

// Says what is wrong with the command line; the exit code for it.
int usage(const QString &sentence);

// The parser's complaint and where to read more, as one sentence.
QString parseError(const QCommandLineParser &parser);

// Parses a command's own options; handles --help. False when the command is
// to end now, with exitCode set (0 after --help, 64 for a usage error). More
// than operands arguments that are not options are a usage error; a negative
// operands leaves them to the command.
bool parse(QCommandLineParser &parser, const QStringList &arguments, const QString &usage,
           int &exitCode, int operands = 0);

// The options of a command whose one option is --json (what it does: jsonText).
struct JsonOnly
{
    bool json = false;
};
int parseJsonOnly(const QStringList &arguments, const QString &command, const QString &jsonText,
                  JsonOnly &options);

// Resolves the port and identifies the hub on it. Null with exitCode set and
// the reason on stderr when there is no configured hub to talk to; a hub in
// its boot loader counts as one only when bootLoaderWelcome is set.
std::unique_ptr<HubLink> openHub(const QString &named, Interrupts &interrupts, int &exitCode,
                                 bool bootLoaderWelcome = false);

// The report on standard output: one JSON object, or "key: value" lines.
void printReport(const HubReport &report, bool json);

// The exit code once standard output has been checked: a write that failed
// is said and turns success into 74; a reader that went away is no error.
int checkedOutput(int exitCode);

} // namespace CommandSupport

#endif // COMMANDSUPPORT_H
