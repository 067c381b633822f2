// SPDX-License-Identifier: GPL-3.0-or-later
// How the command-line tool keeps up with the hub: the built pellix-hubctl, run
// as a child process exactly as a script runs it, against the simulated hub in
// this process. Every figure printed is measured here; nothing is assumed.
//
//   pellix-hubctl-bench [--seconds N] [--flash-kib K] [--no-stream] [--no-flash]
//                       [--hubctl PATH] [--markdown FILE]
//
// scripts/bench.sh --hubctl builds and runs it. What it measures, and how:
// - `stream --duration N --output FILE` at the wire's rate and at ten times it,
//   in binary and in text output. The hub holds its records back until the
//   child has identified it and started reading, and stops them well before
//   the child's N seconds are over, so every record it sent had the chance to
//   reach the file: recordsSent() and the rows must then be equal. Sensors 0
//   and 1 carry each record's index in a script of distinct readings, so the
//   rows also tell whether any record is missing, doubled or out of order;
// - the child's CPU time (utime + stime) and resident memory come from
//   /proc/<pid>/stat, sampled every 100 ms while it runs; its rusage at the
//   end checks the CPU total;
// - `flash` of an image at the wire's rate: the child's wall time, and the
//   time from its first progress line (first block acknowledged) to its 100 %
//   line, against the protocol's floor, as pellix-perf reports the window's.
#include "benchsupport.h"
#include "hubsimulator.h"

#include <QCoreApplication>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {



// ---------------------------------------------------------------------------
// The child: spawned with its standard output and error on pipes, watched
// through /proc while it runs.

struct Sample
{
    qint64 tNs;        // since the spawn
    long long ticks;   // utime + stime
    long long rssKb;
};

struct Line
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
    std::vector<Sample> samples;
    std::vector<Line> out;
    QString err;
};

bool sampleProc(pid_t pid, qint64 tNs, Sample &s)
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

// tick runs every pass of the watch loop, with the time since the spawn: the
// bench drives the hub from it while the child runs.
ChildRun runChild(const QString &program, const QStringList &arguments,
                  const std::function<void(qint64)> &tick = {})
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
    qint64 nextSample = 0;
    rusage usage {};
    while (!exited || outOpen || errOpen) {
        const qint64 t = nowNs() - spawned;
        if (!exited && t >= nextSample) {
            Sample s {};
            if (sampleProc(pid, t, s))
                run.samples.push_back(s);
            nextSample = t + 100000000;
        }
        if (!exited && tick)
            tick(t);
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

// ---------------------------------------------------------------------------

struct Options
{
    int seconds = 60;
    int flashKiB = 64;
    bool stream = true;
    bool flash = true;
    QString hubctl = QStringLiteral(PELLIX_HUBCTL_PATH);
    QString markdown;
};

struct Report
{
    QStringList lines;
    QStringList markdown;
    void out(const QString &line)
    {
        std::printf("%s\n", qPrintable(line));
        std::fflush(stdout);
        lines << line;
    }
};

QString pct(double v)
{
    return std::isnan(v) ? QStringLiteral("-") : QString::number(v, 'f', 1) + QLatin1Char('%');
}

class Bench
{
public:
    Bench(const Options &options, Report &report) : o(options), r(report) {}
    int run();

private:
    void stream(double factor, char display, const QVector<HubSimulator::Readings> &script);
    void flash();

    const Options &o;
    Report &r;
};

void Bench::stream(double factor, char display, const QVector<HubSimulator::Readings> &script)
{
    const QString name = QStringLiteral("%1 %2x").arg(display == 'B' ? QStringLiteral("binary") : QStringLiteral("text"))
                             .arg(factor, 0, 'g', 3);
    HubSimulator hub;
    hub.setScript(script);
    hub.setSpeedFactor(factor);
    hub.setCyclePeriodMs(0);   // records back to back: as many as the wire carries
    hub.setMask(0xFF);
    hub.setDisplayMode(display);
    hub.setOperatingMode('P');
    // Nothing flows until the child reads: records the child could never see
    // would count as sent.
    hub.setStreaming(false);
    if (!hub.start()) {
        r.out(QStringLiteral("%1: cannot start the simulated hub").arg(name));
        return;
    }
    QTemporaryDir directory;
    const QString file = directory.filePath(QStringLiteral("stream.csv"));

    // The child starts reading a moment after the hub answered "RRI" (its
    // duration runs from then); the hub streams from half a second after that
    // until 1.5 s before the child stops, so the last records have time to
    // arrive and be written.
    const qint64 secondNs = 1000000000;
    qint64 identifiedNs = -1, streamOnNs = -1, streamOffNs = -1;
    int sent = 0;
    const MachineCpu machineBefore = machineCpu();
    const ChildRun run = runChild(o.hubctl,
                                  {QStringLiteral("--port"), hub.portPath(), QStringLiteral("stream"),
                                   QStringLiteral("--duration"), QString::number(o.seconds),
                                   QStringLiteral("--output"), file},
                                  [&](qint64 t) {
                                      if (identifiedNs < 0 && hub.received().contains("RRI"))
                                          identifiedNs = t;
                                      if (identifiedNs >= 0 && streamOnNs < 0 && t >= identifiedNs + secondNs / 2) {
                                          hub.setStreaming(true);
                                          streamOnNs = t;
                                      }
                                      if (streamOnNs >= 0 && streamOffNs < 0
                                          && t >= identifiedNs + o.seconds * secondNs - 3 * secondNs / 2) {
                                          hub.setStreaming(false);
                                          streamOffNs = t;
                                      }
                                  });
    const MachineCpu machineAfter = machineCpu();
    if (streamOffNs < 0)
        hub.setStreaming(false);
    // A record's tail still queued goes out at once; recordsSent() counts it already.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    sent = hub.recordsSent();
    hub.stop();
    if (!run.started) {
        r.out(QStringLiteral("%1: cannot start %2").arg(name, o.hubctl));
        return;
    }

    // The rows, and what their indices tell.
    qint64 rows = 0, missing = 0, doubled = 0, unreadable = 0;
    int last = -1;
    {
        QFile csv(file);
        if (csv.open(QIODevice::ReadOnly)) {
            csv.readLine();   // the header
            while (!csv.atEnd()) {
                const QList<QByteArray> fields = csv.readLine().trimmed().split(',');
                ++rows;
                const int index = fields.size() == 10 ? recordIndex(fields[2].toInt(), fields[3].toInt()) : -1;
                if (index < 0) {
                    ++unreadable;
                    continue;
                }
                if (last >= 0) {
                    const int step = (index - last + kScriptLength) % kScriptLength;
                    if (step == 0 || step > kScriptLength / 2)
                        ++doubled;   // the same record again, or one from before
                    else
                        missing += step - 1;
                }
                last = index;
            }
        }
    }

    // CPU and memory from /proc: over the whole run, and while records flowed.
    const long ticksPerS = sysconf(_SC_CLK_TCK);
    const auto share = [&](const Sample &a, const Sample &b) {
        return b.tNs > a.tNs ? 100.0 * double(b.ticks - a.ticks) / double(ticksPerS) / (double(b.tNs - a.tNs) / 1e9)
                             : std::nan("");
    };
    const Sample zero {0, 0, 0};
    const Sample *end = run.samples.empty() ? nullptr : &run.samples.back();
    const Sample *flowFrom = nullptr, *flowTo = nullptr, *atFive = nullptr;
    const qint64 fiveNs = std::min<qint64>(5 * secondNs, qint64(o.seconds) * secondNs / 2);
    for (const Sample &s : run.samples) {
        if (!atFive && s.tNs >= fiveNs)
            atFive = &s;
        if (streamOnNs >= 0 && !flowFrom && s.tNs >= streamOnNs + secondNs)
            flowFrom = &s;
        if (streamOffNs >= 0 && s.tNs <= streamOffNs)
            flowTo = &s;
    }
    const double wholeCpu = end ? share(zero, *end) : std::nan("");
    const double flowCpu = flowFrom && flowTo ? share(*flowFrom, *flowTo) : std::nan("");
    const double rusageCpu = run.wallNs > 0 ? 100.0 * run.rusageCpuS / (double(run.wallNs) / 1e9) : std::nan("");
    long long maxRss = 0;
    for (const Sample &s : run.samples)
        maxRss = std::max(maxRss, s.rssKb);
    // What neither the child nor this process (the simulated hub) used.
    const double othersCores = run.wallNs > 0
        ? (double(machineAfter.busy - machineBefore.busy) - double(machineAfter.self - machineBefore.self)) / double(ticksPerS)
              / (double(run.wallNs) / 1e9)
              - run.rusageCpuS / (double(run.wallNs) / 1e9)
        : std::nan("");
    const double hubCores = run.wallNs > 0
        ? double(machineAfter.self - machineBefore.self) / double(ticksPerS) / (double(run.wallNs) / 1e9)
        : std::nan("");
    const double flowS = streamOnNs >= 0 && streamOffNs >= 0 ? double(streamOffNs - streamOnNs) / 1e9 : 0;

    r.out(QStringLiteral("== stream, %1: child exited %2 after %3 s; the hub streamed %4 s of it")
              .arg(name)
              .arg(run.status)
              .arg(double(run.wallNs) / 1e9, 0, 'f', 1)
              .arg(flowS, 0, 'f', 1));
    r.out(QStringLiteral("  records sent %1 (%2/s), rows in the file %3: %4; by index %5 missing, %6 doubled "
                         "or out of order, %7 unreadable")
              .arg(sent)
              .arg(flowS > 0 ? sent / flowS : 0.0, 0, 'f', 0)
              .arg(rows)
              .arg(rows == sent ? QStringLiteral("equal") : QStringLiteral("DIFFERENT by %1").arg(rows - sent))
              .arg(missing)
              .arg(doubled)
              .arg(unreadable));
    r.out(QStringLiteral("  the child's summary: %1").arg(run.err.isEmpty() ? QStringLiteral("(none)") : run.err));
    r.out(QStringLiteral("  CPU of a core: %1 over the whole run (%2 by rusage), %3 while records flowed")
              .arg(pct(wholeCpu), pct(rusageCpu), pct(flowCpu)));
    r.out(QStringLiteral("  resident memory: %1 KiB at %2 s, %3 KiB at the end, %4 KiB at most (%5 samples)")
              .arg(atFive ? atFive->rssKb : -1)
              .arg(double(fiveNs) / 1e9, 0, 'g', 3)
              .arg(end ? end->rssKb : -1)
              .arg(maxRss)
              .arg(run.samples.size()));
    r.out(QStringLiteral("  meanwhile the simulated hub (this process) used %1 cores, other processes %2")
              .arg(hubCores, 0, 'f', 2)
              .arg(othersCores, 0, 'f', 2));
    r.markdown << QStringLiteral("| %1 | %2 | %3 | %4 | %5 / %6 | %7 | %8 | %9 | %10 -> %11 | %12 |")
                      .arg(name)
                      .arg(run.status)
                      .arg(sent)
                      .arg(rows)
                      .arg(missing)
                      .arg(doubled)
                      .arg(pct(wholeCpu))
                      .arg(pct(rusageCpu))
                      .arg(pct(flowCpu))
                      .arg(atFive ? atFive->rssKb : -1)
                      .arg(end ? end->rssKb : -1)
                      .arg(othersCores, 0, 'f', 2);
}

void Bench::flash()
{
    HubSimulator hub;
    hub.setSpeedFactor(1);
    hub.setMask(0x0F);
    hub.setStreaming(true);
    if (!hub.start()) {
        r.out(QStringLiteral("flash: cannot start the simulated hub"));
        return;
    }
    const int bytes = o.flashKiB * 1024;
    QTemporaryDir directory;
    const QString path = directory.filePath(QStringLiteral("bench.binary"));
    QByteArray image(bytes, '\0');
    for (int i = 0; i < bytes; ++i)
        image[i] = char((i * 131 + 7) & 0xFF);
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(image) != bytes) {
            r.out(QStringLiteral("flash: cannot write %1").arg(path));
            return;
        }
    }

    const ChildRun run = runChild(o.hubctl, {QStringLiteral("--port"), hub.portPath(), QStringLiteral("flash"), path});
    const bool intact = hub.receivedImage() == image && hub.sessionFinished();
    hub.stop();
    if (!run.started) {
        r.out(QStringLiteral("flash: cannot start %1").arg(o.hubctl));
        return;
    }

    // The first progress line follows the first block's acknowledgement, the
    // 100 % line the last one's, as pellix-perf counts the window's blocks.
    qint64 firstNs = -1, lastNs = -1;
    for (const Line &line : run.out) {
        if (!line.text.startsWith(QLatin1String("flash: ")))
            continue;
        if (firstNs < 0)
            firstNs = line.tNs;
        if (line.text.startsWith(QLatin1String("flash: 100% ")))
            lastNs = line.tNs;
    }
    const int blocks = (bytes + 7) / 8;
    const double wirePerBlockS = (8 + 3) * 10 * kBitTimeS;
    const double floorPerBlockS = wirePerBlockS + 0.001;
    const double floorS = blocks * floorPerBlockS;
    const double wallS = double(run.wallNs) / 1e9;
    const double blockPhaseS = firstNs >= 0 && lastNs >= 0 ? double(lastNs - firstNs) / 1e9 : std::nan("");
    // The simulated boot loader takes a block and answers it at once: a real
    // link spends the wire time of the block and its acknowledgement too.
    const double onWireS = blockPhaseS + blocks * wirePerBlockS;
    const double cpu = run.wallNs > 0 ? 100.0 * run.rusageCpuS / wallS : std::nan("");

    r.out(QStringLiteral("== flash, %1 KiB = %2 blocks of 8 bytes, hub at the wire's pace: child exited %3%4")
              .arg(o.flashKiB)
              .arg(blocks)
              .arg(run.status)
              .arg(intact ? QString() : QStringLiteral(" (IMAGE NOT RECEIVED WHOLE)")));
    r.out(QStringLiteral("  protocol floor %1 s (%2 ms a block: (8+3) bytes x 10 bits / 115200 + 1 ms)")
              .arg(floorS, 0, 'f', 3)
              .arg(floorPerBlockS * 1000, 0, 'f', 3));
    r.out(QStringLiteral("  the child's wall time, start to exit: %1 s = %2 x floor")
              .arg(wallS, 0, 'f', 3)
              .arg(wallS / floorS, 0, 'f', 3));
    r.out(QStringLiteral("  blocks, first to last acknowledged: %1 s = %2 x floor as measured; "
                         "%3 s = %4 x floor with the wire time a real link adds")
              .arg(blockPhaseS, 0, 'f', 3)
              .arg(blockPhaseS / floorS, 0, 'f', 3)
              .arg(onWireS, 0, 'f', 3)
              .arg(onWireS / floorS, 0, 'f', 3));
    r.out(QStringLiteral("  %1 progress lines; CPU of a core over the run %2 (rusage)")
              .arg(run.out.size())
              .arg(pct(cpu)));
    if (run.status != 0)
        r.out(QStringLiteral("  the child said: %1").arg(run.err));
    r.markdown << QString()
               << QStringLiteral("| flash | KiB | floor s | wall s | x floor | blocks s | x floor | with wire time s | "
                                 "x floor | CPU |")
               << QStringLiteral("|---|---|---|---|---|---|---|---|---|---|")
               << QStringLiteral("| 8-byte blocks | %1 | %2 | %3 | %4 | %5 | %6 | %7 | %8 | %9 |")
                      .arg(o.flashKiB)
                      .arg(floorS, 0, 'f', 3)
                      .arg(wallS, 0, 'f', 3)
                      .arg(wallS / floorS, 0, 'f', 3)
                      .arg(blockPhaseS, 0, 'f', 3)
                      .arg(blockPhaseS / floorS, 0, 'f', 3)
                      .arg(onWireS, 0, 'f', 3)
                      .arg(onWireS / floorS, 0, 'f', 3)
                      .arg(pct(cpu));
}

int Bench::run()
{
    r.out(QStringLiteral("pellix-hubctl-bench: %1 cores (%2), load %3, Qt %4; %5")
              .arg(sysconf(_SC_NPROCESSORS_ONLN))
              .arg(cpuModel())
              .arg(loadAverage())
              .arg(QLatin1String(qVersion()))
              .arg(o.hubctl));
    if (o.stream) {
        QVector<HubSimulator::Readings> script;
        script.reserve(kScriptLength);
        for (int i = 0; i < kScriptLength; ++i)
            script.append(recordReadings(i));
        r.markdown << QStringLiteral("| configuration | exit | records sent | rows | missing / doubled | CPU whole run "
                                     "(/proc) | CPU whole run (rusage) | CPU while records flow | RSS KiB at 5 s -> "
                                     "end | others' cores |")
                   << QStringLiteral("|---|---|---|---|---|---|---|---|---|---|");
        for (double factor : {1.0, 10.0}) {
            for (char display : {'B', 'T'})
                stream(factor, display, script);
        }
    }
    if (o.flash)
        flash();
    r.out(QStringLiteral("load at the end: %1").arg(loadAverage()));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    Options o;
    const QStringList args = application.arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString &a = args.at(i);
        const auto next = [&] { return i + 1 < args.size() ? args.at(++i) : QString(); };
        if (a == QLatin1String("--seconds")) {
            o.seconds = next().toInt();
        } else if (a == QLatin1String("--flash-kib")) {
            o.flashKiB = next().toInt();
        } else if (a == QLatin1String("--no-stream")) {
            o.stream = false;
        } else if (a == QLatin1String("--no-flash")) {
            o.flash = false;
        } else if (a == QLatin1String("--hubctl")) {
            o.hubctl = next();
        } else if (a == QLatin1String("--markdown")) {
            o.markdown = next();
        } else {
            o.seconds = 0;
        }
        if (o.seconds < 4 || o.flashKiB < 1) {
            std::fprintf(stderr,
                         "usage: pellix-hubctl-bench [--seconds N (4 or more)] [--flash-kib K] [--no-stream]\n"
                         "                           [--no-flash] [--hubctl PATH] [--markdown FILE]\n");
            return 2;
        }
    }

    Report report;
    Bench bench(o, report);
    const int result = bench.run();
    if (!o.markdown.isEmpty()) {
        QFile file(o.markdown);
        if (file.open(QIODevice::WriteOnly | QIODevice::Text)) {
            QTextStream out(&file);
            for (const QString &line : std::as_const(report.markdown))
                out << line << '\n';
            out << "\n```\n";
            for (const QString &line : std::as_const(report.lines))
                out << line << '\n';
            out << "```\n";
        }
    }
    return result;
}
