// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef CONSOLE_H
#define CONSOLE_H

#include <QString>

// Standard output carries data only; every word to the user goes to standard
// error, one plain sentence at a time.
namespace Console {
void out(const QString &line);
void err(const QString &line);
// Whether standard output is a terminal: progress then rewrites one line.
bool outIsTerminal();
// A line that the next one overwrites, on a terminal.
void outInPlace(const QString &line);
} // namespace Console

#endif // CONSOLE_H
