// SPDX-License-Identifier: GPL-3.0-or-later
#include "childprocess.h"

#include "benchsupport.h"

#include <QByteArray>

#include <algorithm>
#include <sstream>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

bool sampleProc(pid_t pid, qint64 tNs, ProcSample &s)
{
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return false;
    // Field 3 (state) follows the command's closing parenthesis.
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    long long utime = 0, stime = 0, rssPages = 0;
    for (int i = 3; i <= 24 && fields >> field; ++i) {
        if (i == 14)
            utime = std::atoll(field.c_str());
        else if (i == 15)
            stime = std::atoll(field.c_str());
        else if (i == 24)
            rssPages = std::atoll(field.c_str());
    }
    s = {tNs, utime + stime, rssPages * sysconf(_SC_PAGESIZE) / 1024};
    return true;
}

ChildRun runChild(const QString &program, const QStringList &arguments, const std::function<bool(qint64)> &tick)
{
    ChildRun run;
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
        return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    std::vector<QByteArray> storage;
    storage.push_back(program.toLocal8Bit());
    for (const QString &a : arguments)
        storage.push_back(a.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &a : storage)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    const qint64 spawned = nowNs();
    const int spawnError = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (spawnError != 0) {
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        return run;
    }
    run.started = true;

    QByteArray outPending;
    QByteArray errBytes;
    const auto takeOut = [&](qint64 t) {
        int at;
        while ((at = outPending.indexOf('\n')) >= 0) {
            run.out.push_back({t, QString::fromLocal8Bit(outPending.left(at))});
            outPending.remove(0, at + 1);
        }
    };
    bool outOpen = true, errOpen = true;
    bool exited = false;
    bool terminated = false;
    qint64 nextSample = 0;
    rusage usage {};
    while (!exited || outOpen || errOpen) {
        const qint64 t = nowNs() - spawned;
        if (!exited && t >= nextSample) {
            ProcSample s {};
            if (sampleProc(pid, t, s))
                run.samples.push_back(s);
            nextSample = t + 100000000;
        }
        if (!exited && tick && tick(t) && !terminated) {
            ::kill(pid, SIGTERM);
            terminated = true;
        }
        pollfd fds[2] = {{outOpen ? outPipe[0] : -1, POLLIN, 0}, {errOpen ? errPipe[0] : -1, POLLIN, 0}};
        const int waitMs = exited ? 100 : int(std::max<qint64>(1, (nextSample - t) / 1000000));
        if (::poll(fds, 2, std::min(waitMs, 20)) > 0) {
            char buf[4096];
            if (outOpen && (fds[0].revents & (POLLIN | POLLHUP))) {
                const ssize_t n = ::read(outPipe[0], buf, sizeof buf);
                if (n > 0) {
                    outPending.append(buf, int(n));
                    takeOut(nowNs() - spawned);
                } else {
                    outOpen = false;
                }
            }
            if (errOpen && (fds[1].revents & (POLLIN | POLLHUP))) {
                const ssize_t n = ::read(errPipe[0], buf, sizeof buf);
                if (n > 0)
                    errBytes.append(buf, int(n));
                else
                    errOpen = false;
            }
        }
        if (!exited) {
            int status = 0;
            if (wait4(pid, &status, WNOHANG, &usage) == pid) {
                exited = true;
                run.wallNs = nowNs() - spawned;
                run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
        }
    }
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    run.rusageCpuS = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
                     + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    run.err = QString::fromLocal8Bit(errBytes).trimmed();
    return run;
}
