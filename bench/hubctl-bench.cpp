// SPDX-License-Identifier: GPL-3.0-or-later
// How the command-line tool keeps up with the hub: the built pellix-hubctl, run
// as a child process exactly as a script runs it, against the simulated hub in
// this process. Every figure printed is measured here; nothing is assumed.
//
//   pellix-hubctl-bench [--quick] [--seconds N] [--flash-kib K] [--no-stream] [--no-flash]
//                       [--publish [--publish-qos 0|1]] [--only NAME]... [--hubctl PATH] [--markdown FILE]
//
// --only "binary 10x" (repeatable) runs only those configurations; --publish
// with --no-stream runs publish alone.
//
// scripts/bench.sh --hubctl builds and runs it. What it measures, and how:
// - `stream --duration N --output FILE` at the wire's rate and at ten times it,
//   in binary and in text output. The hub holds its records back until the
//   child has identified it and started reading, and stops them well before
//   the child's N seconds are over, so every record it sent had the chance to
//   reach the file: recordsSent() and the rows must then be equal. Sensors 0
//   and 1 carry each record's index in a script of distinct readings, so the
//   rows also tell whether any record is missing, doubled or out of order;
// - with --publish, after each stream `publish` of the same hub to a real
//   mosquitto (publishrun.h): every record sent against what a subscriber
//   got, the hub's write -> the subscriber's receipt, the tool's CPU beside
//   the stream's of the run before, its memory;
// - the child's CPU time (utime + stime) and resident memory come from
//   /proc/<pid>/stat, sampled every 100 ms while it runs; its rusage at the
//   end checks the CPU total;
// - `flash` of an image at the wire's rate: the child's wall time, and the
//   time from its first progress line (first block acknowledged) to its 100 %
//   line, against the protocol's floor, as pellix-perf reports the window's.
#include "benchsupport.h"
#include "childprocess.h"
#include "hubsimulator.h"
#include "publishrun.h"

#include <QCoreApplication>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

// ---------------------------------------------------------------------------

struct Options
{
    int seconds = 60;
    int flashKiB = 64;
    bool stream = true;
    bool flash = true;
    bool publish = false;
    int publishQos = 0;
    QStringList only;            // configurations by name ("binary 10x"); empty: all four
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
    // The tool's CPU while records flowed.
    double stream(double factor, char display, const QVector<HubSimulator::Readings> &script);
    void publish(double factor, char display, const QVector<HubSimulator::Readings> &script, double streamCpu);
    void flash();

    const Options &o;
    Report &r;
    QStringList publishRows;
};

double Bench::stream(double factor, char display, const QVector<HubSimulator::Readings> &script)
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
        return std::nan("");
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
                                      return false;
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
        return std::nan("");
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
    const auto share = [&](const ProcSample &a, const ProcSample &b) {
        return b.tNs > a.tNs ? 100.0 * double(b.ticks - a.ticks) / double(ticksPerS) / (double(b.tNs - a.tNs) / 1e9)
                             : std::nan("");
    };
    const ProcSample zero {0, 0, 0};
    const ProcSample *end = run.samples.empty() ? nullptr : &run.samples.back();
    const ProcSample *flowFrom = nullptr, *flowTo = nullptr, *atFive = nullptr;
    const qint64 fiveNs = std::min<qint64>(5 * secondNs, qint64(o.seconds) * secondNs / 2);
    for (const ProcSample &s : run.samples) {
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
    for (const ProcSample &s : run.samples)
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
    return flowCpu;
}

void Bench::publish(double factor, char display, const QVector<HubSimulator::Readings> &script, double streamCpu)
{
    const QString name = QStringLiteral("%1 %2x").arg(display == 'B' ? QStringLiteral("binary") : QStringLiteral("text"))
                             .arg(factor, 0, 'g', 3);
    const PublishResult p = runPublish(o.hubctl, factor, display, o.seconds, o.publishQos, script);
    if (!p.error.isEmpty()) {
        r.out(QStringLiteral("== publish, %1: %2").arg(name, p.error));
        return;
    }
    const long long received = qint64(p.sent) - p.missing;
    r.out(QStringLiteral("== publish QoS %1, %2: child exited %3 (130: the bench's SIGTERM); the hub streamed %4 s")
              .arg(o.publishQos)
              .arg(name)
              .arg(p.status)
              .arg(p.flowS, 0, 'f', 1));
    r.out(QStringLiteral("  records sent %1 (%2/s), messages received %3: %4 records missing, %5 doubled, %6 "
                         "unreadable")
              .arg(p.sent)
              .arg(p.flowS > 0 ? p.sent / p.flowS : 0.0, 0, 'f', 0)
              .arg(p.messages)
              .arg(p.missing)
              .arg(p.doubled)
              .arg(p.unreadable));
    r.out(QStringLiteral("  the child's summary: %1").arg(p.summary.isEmpty() ? QStringLiteral("(none)") : p.summary));
    r.out(QStringLiteral("  hub's write -> subscriber's receipt: median %1 ms, p99 %2 ms, max %3 ms (%4 records)")
              .arg(p.latencyMedianMs, 0, 'f', 2)
              .arg(p.latencyP99Ms, 0, 'f', 2)
              .arg(p.latencyMaxMs, 0, 'f', 2)
              .arg(received));
    r.out(QStringLiteral("  CPU of a core while records flowed: publish %1 (whole run %2 by rusage), stream %3 in "
                         "the run before; the broker %4")
              .arg(pct(p.cpuFlow), pct(p.cpuWhole), pct(streamCpu), pct(p.brokerCpuFlow)));
    r.out(QStringLiteral("  resident memory: %1 KiB at %2 s, %3 KiB at the end, %4 KiB at most")
              .arg(p.rssStartKb)
              .arg(p.rssStartS, 0, 'g', 3)
              .arg(p.rssEndKb)
              .arg(p.rssMaxKb));
    r.out(QStringLiteral("  meanwhile this process (the simulated hub, the subscriber) used %1 cores, other "
                         "processes %2")
              .arg(p.hubCores, 0, 'f', 2)
              .arg(p.othersCores, 0, 'f', 2));
    publishRows << QStringLiteral("| %1 | %2 | %3 | %4 | %5 / %6 | %7 / %8 / %9 | %10 | %11 | %12 | %13 -> %14 | "
                                  "%15 |")
                       .arg(name)
                       .arg(p.status)
                       .arg(p.sent)
                       .arg(p.messages)
                       .arg(p.missing)
                       .arg(p.doubled)
                       .arg(p.latencyMedianMs, 0, 'f', 1)
                       .arg(p.latencyP99Ms, 0, 'f', 1)
                       .arg(p.latencyMaxMs, 0, 'f', 1)
                       .arg(pct(p.cpuFlow))
                       .arg(pct(streamCpu))
                       .arg(pct(p.brokerCpuFlow))
                       .arg(p.rssStartKb)
                       .arg(p.rssEndKb)
                       .arg(p.othersCores, 0, 'f', 2);
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
    for (const ChildLine &line : run.out) {
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
    if (o.stream || o.publish) {
        QVector<HubSimulator::Readings> script;
        script.reserve(kScriptLength);
        for (int i = 0; i < kScriptLength; ++i)
            script.append(recordReadings(i));
        if (o.stream)
            r.markdown << QStringLiteral("| configuration | exit | records sent | rows | missing / doubled | CPU whole run "
                                         "(/proc) | CPU whole run (rusage) | CPU while records flow | RSS KiB at 5 s -> "
                                         "end | others' cores |")
                       << QStringLiteral("|---|---|---|---|---|---|---|---|---|---|");
        for (double factor : {1.0, 10.0}) {
            for (char display : {'B', 'T'}) {
                const QString name = QStringLiteral("%1 %2x")
                                         .arg(display == 'B' ? QStringLiteral("binary") : QStringLiteral("text"))
                                         .arg(factor, 0, 'g', 3);
                if (!o.only.isEmpty() && !o.only.contains(name))
                    continue;
                const double streamCpu = o.stream ? stream(factor, display, script) : std::nan("");
                if (o.publish)
                    publish(factor, display, script, streamCpu);
            }
        }
        if (o.publish)
            r.markdown << QString()
                       << QStringLiteral("| publish, QoS %1 | exit | records sent | messages received | missing / "
                                         "doubled | write -> receipt median / p99 / max ms | publish CPU while "
                                         "records flow | stream CPU, same configuration | broker CPU | RSS KiB at "
                                         "5 s -> end | others' cores |").arg(o.publishQos)
                       << QStringLiteral("|---|---|---|---|---|---|---|---|---|---|---|") << publishRows;
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
        } else if (a == QLatin1String("--only")) {
            o.only << next();
        } else if (a == QLatin1String("--publish")) {
            o.publish = true;
        } else if (a == QLatin1String("--publish-qos")) {
            bool ok = false;
            o.publishQos = next().toInt(&ok);
            if (!ok || o.publishQos < 0 || o.publishQos > 1)
                o.seconds = 0;
        } else if (a == QLatin1String("--quick")) {
            o.seconds = 6;
            o.flashKiB = 8;
        } else if (a == QLatin1String("--hubctl")) {
            o.hubctl = next();
        } else if (a == QLatin1String("--markdown")) {
            o.markdown = next();
        } else {
            o.seconds = 0;
        }
        if (o.seconds < 4 || o.flashKiB < 1) {
            std::fprintf(stderr,
                         "usage: pellix-hubctl-bench [--quick] [--seconds N (4 or more)] [--flash-kib K] [--no-stream]\n"
                         "                           [--no-flash] [--publish [--publish-qos 0|1]] [--only NAME]...\n"
                         "                           [--hubctl PATH] [--markdown FILE]\n");
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
