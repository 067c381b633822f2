// SPDX-License-Identifier: GPL-3.0-or-later
#include "console.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

// The first failure of standard output, as errno gave it; 0 for none.
int outErrno = 0;

bool put(const QByteArray &bytes)
{
    errno = 0;
    const bool ok = std::fputs(bytes.constData(), stdout) >= 0 && std::fflush(stdout) == 0;
    if (!ok && outErrno == 0)
        outErrno = errno != 0 ? errno : EIO;
    return ok;
}

} // namespace

namespace Console {

bool out(const QString &line)
{
    return put(line.toLocal8Bit().append('\n'));
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

bool outInPlace(const QString &line)
{
    return put(("\r" + line).toLocal8Bit());
}

bool outFailed()
{
    return outErrno != 0;
}

bool outReaderGone()
{
#ifdef EPIPE
    return outErrno == EPIPE;
#else
    return false;
#endif
}

QString outError()
{
    return QString::fromLocal8Bit(std::strerror(outErrno));
}

} // namespace Console
