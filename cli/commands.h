// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef COMMANDS_H
#define COMMANDS_H

#include <QString>
#include <QStringList>

class Interrupts;

// One function a command. Each parses its own options from arguments (the
// program's name first, then what followed the command) and returns the exit
// code; port is what --port named, empty for none.
namespace Commands {
int ports(const QStringList &arguments);
int info(const QStringList &arguments, const QString &port, Interrupts &interrupts);
int set(const QStringList &arguments, const QString &port, Interrupts &interrupts);
int stream(const QStringList &arguments, const QString &port, Interrupts &interrupts);
int flash(const QStringList &arguments, const QString &port, Interrupts &interrupts);
} // namespace Commands

#endif // COMMANDS_H
