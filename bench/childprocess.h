// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef CHILDPROCESS_H
#define CHILDPROCESS_H

#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

#include <sys/types.h>

// A program run as a script runs it: spawned with its standard output and
// error on pipes, watched through /proc while it runs.

struct ProcSample
{
    qint64 tNs;        // since the spawn
    long long ticks;   // utime + stime
    long long rssKb;
};

struct ChildLine
{
    qint64 tNs;        // since the spawn, when the bench read it
    QString text;
};

struct ChildRun
{
    bool started = false;
    int status = -1;   // exit code, or 128 + signal
    qint64 wallNs = 0;
    double rusageCpuS = 0;
    std::vector<ProcSample> samples;
    std::vector<ChildLine> out;
    QString err;
};

// utime + stime and the resident set of any process, from /proc/<pid>/stat.
bool sampleProc(pid_t pid, qint64 tNs, ProcSample &s);

// tick runs every pass of the watch loop (every 20 ms at most), with the time
// since the spawn: the bench drives the hub from it. When it returns true the
// child gets SIGTERM, once.
ChildRun runChild(const QString &program, const QStringList &arguments,
                  const std::function<bool(qint64)> &tick = {});

#endif // CHILDPROCESS_H
