// SPDX-License-Identifier: GPL-3.0-or-later
#include "console.h"

#include <cstdio>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace Console {

void out(const QString &line)
{
    std::fputs(line.toLocal8Bit().append('\n').constData(), stdout);
    std::fflush(stdout);
}

void err(const QString &line)
{
    std::fputs(line.toLocal8Bit().append('\n').constData(), stderr);
    std::fflush(stderr);
}

bool outIsTerminal()
{
#ifdef Q_OS_UNIX
    return isatty(STDOUT_FILENO);
#else
    return false;
#endif
}

void outInPlace(const QString &line)
{
    std::fputs(("\r" + line).toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
}

} // namespace Console
