// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef COMMANDS_H
#define COMMANDS_H

#include <QString>
#include <QStringList>

class Interrupts;

// One function a command, returning the exit code. Each parses arguments (the
// program's name first, then what followed the command) into options of its
// own, ending there after --help or on a usage error before the hub hears a
// word, and then runs from those options alone; port is what --port named,
// empty for none.
namespace Commands {
int ports(const QStringList &arguments);
int info(const QStringList &arguments, const QString &port, Interrupts &interrupts);
int set(const QStringList &arguments, const QString &port, Interrupts &interrupts);
int stream(const QStringList &arguments, const QString &port, Interrupts &interrupts);
int publish(const QStringList &arguments, const QString &port, Interrupts &interrupts);
int flash(const QStringList &arguments, const QString &port, Interrupts &interrupts);
} // namespace Commands

#endif // COMMANDS_H
