// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef CONSOLE_H
#define CONSOLE_H

#include <QString>

// Standard output carries data only; every word to the user goes to standard
// error, one plain sentence at a time.
namespace Console {
// False once standard output refused a line; the rest are still tried.
bool out(const QString &line);
void err(const QString &line);
// Whether standard output is a terminal: progress then rewrites one line.
bool outIsTerminal();
// A line that the next one overwrites, on a terminal.
bool outInPlace(const QString &line);

// How standard output fared: a reader that went away (a pipe into head) is
// told apart from a write that failed (a full disk), which is an error.
bool outFailed();
bool outReaderGone();
QString outError();
} // namespace Console

#endif // CONSOLE_H
