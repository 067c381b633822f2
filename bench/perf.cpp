// SPDX-License-Identifier: GPL-3.0-or-later
// How the program keeps up with the hub: the real window and worker against the
// simulated hub, paced at the wire's speed and at ten times it, in binary and
// text output, fast and precise mode; then a firmware upload through the
// window's menu. Every figure printed is measured here; nothing is assumed.
//
//   pellix-perf [--quick] [--window S] [--memory-window S] [--upload-kib K]
//               [--no-stream] [--no-upload] [--markdown FILE] [--only NAME]...
//               [--history] [--record] [--history-compare] [--rounds N]
//               [--sweep] [--sweep-seconds S]
//               [--plot-hints fast-polylines,no-label-cache,label-cache,antialiased]
//
// --history-compare measures each configuration with the history plot closed
// and then open, on the same connection, --rounds times (1), and compares the
// GUI thread's CPU. --sweep then records the hub's sweep of every 16-bit value
// through the window's recording, across all the configurations' switches,
// and checks the file, the plot's buffer and what the window showed against
// it (--only sweep: that alone).
//
// scripts/bench.sh builds and runs it. What it measures, and how:
// - every record the simulated hub writes is logged with its write time and
//   its index in a script of distinct readings (sensors 0 and 1 carry the
//   index), so whatever the window shows tells which record it is;
// - the worker's two signals are counted by direct connections that run on
//   the worker's thread, and a direct connection to the port's readyRead, made
//   before the reader's own, sees each chunk the reader is about to take;
// - the window's display calls are counted as they are delivered (an event
//   filter), and what it shows is read back from the text browsers;
// - a thread of its own samples counters, per-thread CPU clocks, the resident
//   memory and the age of what is on screen, so that a GUI thread that falls
//   behind cannot delay the measurement of its own lag.
// The bench sets the window's averaging control to 1 before it connects (the
// worker and the recording follow the control), so fast mode shows and records
// each reading unchanged.
#include "benchsupport.h"
#include "historybuffer.h"
#include "historywindow.h"
#include "hubsimulator.h"
#include "mainwindow.h"
#include "testsupport.h"
#include "threadcom.h"
#include "upgrade_logic.h"

#include <QtWidgets>
#include <qcustomplot.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <pthread.h>
#include <time.h>
#include <unistd.h>

namespace {

// ---------------------------------------------------------------------------
// Time, CPU and memory

qint64 cpuNs(clockid_t clock)
{
    timespec ts {};
    if (clock_gettime(clock, &ts) != 0)
        return -1;
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

qint64 ownThreadCpuNs()
{
    return cpuNs(CLOCK_THREAD_CPUTIME_ID);
}

// Times the GUI thread's work for the history plot's window: every event whose
// receiver is the window or one of its children (its redraw timer, the plot's
// queued replot, the paints), counted once where they nest. Events of other
// threads pass untouched.
class PerfApplication : public QApplication
{
public:
    PerfApplication(int &argc, char **argv) : QApplication(argc, argv) {}
    QPointer<QWidget> plotWindow;
    qint64 plotNs() const { return m_plotNs.load(); }

    bool notify(QObject *receiver, QEvent *event) override
    {
        if (QThread::currentThread() != thread() || m_depth > 0 || !plotWindow || !inPlotWindow(receiver))
            return QApplication::notify(receiver, event);
        ++m_depth;
        const qint64 c0 = ownThreadCpuNs();
        const bool result = QApplication::notify(receiver, event);
        m_plotNs.fetch_add(ownThreadCpuNs() - c0);
        --m_depth;
        return result;
    }

private:
    bool inPlotWindow(const QObject *o) const
    {
        for (; o; o = o->parent()) {
            if (o == plotWindow)
                return true;
        }
        return false;
    }
    int m_depth = 0;
    std::atomic<qint64> m_plotNs {0};
};

PerfApplication *perfApp()
{
    return static_cast<PerfApplication *>(QCoreApplication::instance());
}


// ---------------------------------------------------------------------------
// Histogram of durations: 10 us steps up to 100 ms, 1 ms steps up to 1 s, 10 ms
// steps up to 200 s; a percentile is the upper edge of its step.

class Histogram
{
public:
    Histogram() : m_buckets(kFine + kMiddle + kCoarse + 1, 0) {}
    void clear()
    {
        std::fill(m_buckets.begin(), m_buckets.end(), 0);
        m_count = 0;
        m_max = 0;
    }
    void add(qint64 ns)
    {
        const qint64 us = std::max<qint64>(0, ns) / 1000;
        size_t i;
        if (us < 100000)
            i = size_t(us / 10);
        else if (us < 1000000)
            i = kFine + size_t((us - 100000) / 1000);
        else if (us < 200000000)
            i = kFine + kMiddle + size_t((us - 1000000) / 10000);
        else
            i = kFine + kMiddle + kCoarse;
        ++m_buckets[i];
        ++m_count;
        m_max = std::max(m_max, ns);
    }
    qint64 count() const { return m_count; }
    double percentileMs(double p) const
    {
        if (m_count == 0)
            return std::nan("");
        const qint64 rank = std::max<qint64>(1, qint64(std::ceil(p * double(m_count))));
        qint64 seen = 0;
        for (size_t i = 0; i < m_buckets.size(); ++i) {
            seen += m_buckets[i];
            if (seen < rank)
                continue;
            double edge;
            if (i < kFine)
                edge = double(i + 1) * 0.01;
            else if (i < kFine + kMiddle)
                edge = 100.0 + double(i - kFine + 1);
            else if (i < kFine + kMiddle + kCoarse)
                edge = 1000.0 + 10.0 * double(i - kFine - kMiddle + 1);
            else
                edge = double(m_max) / 1e6;
            return std::min(edge, double(m_max) / 1e6);
        }
        return double(m_max) / 1e6;
    }
    double maxMs() const { return m_count ? double(m_max) / 1e6 : std::nan(""); }

private:
    static constexpr size_t kFine = 10000;
    static constexpr size_t kMiddle = 900;
    static constexpr size_t kCoarse = 19900;
    std::vector<qint64> m_buckets;
    qint64 m_count = 0;
    qint64 m_max = 0;
};

int textLineLength(const HubSimulator::Readings &r)
{
    int n = 2 + 2;   // "PH" and "\r\n"
    for (qint16 v : r)
        n += 1 + QByteArray::number(v).size();
    return n;
}

const int kBinaryRecordBytes = 19;   // "PH", 16 value bytes, the hub's sequence byte

// Which record of the hub's sweep these readings are (counted within one
// sweep), or -1 when they are none: the sweep's record i carries i * 8 + k
// for sensor k, modulo 65536.
int sweepIndex(const HubSimulator::Readings &r)
{
    const int first = quint16(r[0]);
    if (first % 8 != 0)
        return -1;
    for (int k = 1; k < 8; ++k) {
        if (quint16(r[size_t(k)]) != quint16(first + k))
            return -1;
    }
    return first / 8;
}

HubSimulator::Readings sweepReadings(int index)
{
    HubSimulator::Readings r {};
    for (int k = 0; k < 8; ++k)
        r[size_t(k)] = qint16(quint16(index * 8 + k));
    return r;
}

// The readings the window's browsers show: hexadecimal in binary output, four
// digits (eight for a negative reading), decimal in text output. Which one is
// told by the texts themselves, or, where both read alike, by the output the
// bench asked for last.
bool shownReadings(const QStringList &texts, bool binaryAsked, HubSimulator::Readings &out)
{
    if (texts.size() != 8)
        return false;
    bool hex = binaryAsked;
    for (const QString &t : texts) {
        const bool hexOnly = t.size() == 8 || t.contains(QRegularExpression(QStringLiteral("[A-F]")))
                             || (t.size() > 1 && t.startsWith(QLatin1Char('0')));
        const bool decimalOnly = t.startsWith(QLatin1Char('-')) || (t.size() != 4 && t.size() != 8);
        if (hexOnly && !decimalOnly)
            hex = true;
        else if (decimalOnly && !hexOnly)
            hex = false;
    }
    for (int k = 0; k < 8; ++k) {
        bool ok = false;
        const qlonglong v = texts.at(k).toLongLong(&ok, hex ? 16 : 10);
        if (!ok)
            return false;
        out[size_t(k)] = qint16(quint16(v & 0xFFFF));
    }
    return true;
}

// ---------------------------------------------------------------------------
// The window, with the one thing the bench needs that a user cannot see: which
// worker sent the call it is running.

class PerfWindow : public MainWindow
{
public:
    QObject *currentSender() const { return sender(); }
};

struct Event
{
    qint64 tNs;
    int index;
    int extra;   // decodes: records dropped with this one (several in one chunk)
};

class EventList
{
public:
    EventList() { m_events.reserve(1 << 16); }
    void push(const Event &e)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(e);
    }
    void takeInto(std::vector<Event> &out)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        out.insert(out.end(), m_events.begin(), m_events.end());
        m_events.clear();
    }

private:
    std::mutex m_mutex;
    std::vector<Event> m_events;
};

// What the probes count; written by the worker's and the GUI thread, read by the sampler.
struct Counters
{
    std::atomic<qint64> decoded {0};        // the worker's SendDistanceValue* emissions
    std::atomic<qint64> notifications {0};  // readyRead notifications the worker got
    std::atomic<qint64> ruleDrops {0};      // records the reader's rules drop: one frame per chunk, no stale line
    std::atomic<qint64> displayCalls {0};   // queued calls run by the window
    std::atomic<qint64> textSets {0};       // times sensor 1's text browser got a new text
    std::atomic<qint64> paints {0};         // paints of sensor 1's text browser
    std::atomic<int> shownIndex {-1};       // record whose values the browsers hold
    std::atomic<int> paintedIndex {-1};     // record last painted
    std::atomic<qint64> maxBytesWaiting {0};   // in the port, at a notification
    std::atomic<qint64> probeWorkerNs {0};  // CPU the probes themselves took, per thread
    std::atomic<qint64> probeGuiNs {0};
    std::atomic<clockid_t> workerClock {0};
    std::atomic<bool> workerClockSet {false};
};

// Lives on the GUI thread; its slots and filters are the probes.
class Probe : public QObject
{
public:
    Counters counters;
    EventList decodes;
    EventList shows;
    EventList paints;
    Histogram queueDelay;   // a posted event's wait for the GUI thread, GUI-thread only
    bool binaryShown = true;

    // The hub sweeps instead of playing the script: its readings name no script record.
    std::atomic<bool> sweeping {false};

    QTextBrowser *browser0 = nullptr;
    QTextBrowser *browser1 = nullptr;
    QWidget *window = nullptr;
    QPointer<ThreadCom> worker;

    static const QEvent::Type StampType = QEvent::Type(QEvent::User + 17);
    struct Stamp : QEvent
    {
        explicit Stamp(qint64 t) : QEvent(StampType), postedNs(t) {}
        qint64 postedNs;
    };

    void attach(ThreadCom *w);
    // Sensor 1's browser is written after sensor 0's: both then hold the new record.
    void onTextShown();

protected:
    bool event(QEvent *e) override
    {
        if (e->type() == StampType) {
            queueDelay.add(nowNs() - static_cast<Stamp *>(e)->postedNs);
            return true;
        }
        return QObject::event(e);
    }
    bool eventFilter(QObject *watched, QEvent *e) override
    {
        if (watched == window && e->type() == QEvent::MetaCall) {
            counters.displayCalls.fetch_add(1, std::memory_order_relaxed);
        } else if (browser1 && watched == browser1->viewport() && e->type() == QEvent::Paint) {
            const qint64 c0 = ownThreadCpuNs();
            const int shown = counters.shownIndex.load(std::memory_order_relaxed);
            counters.paintedIndex.store(shown, std::memory_order_relaxed);
            counters.paints.fetch_add(1, std::memory_order_relaxed);
            if (shown >= 0)
                paints.push({nowNs(), shown, 0});
            counters.probeGuiNs.fetch_add(ownThreadCpuNs() - c0, std::memory_order_relaxed);
        }
        return false;
    }

private:
    void onReadyRead(ThreadCom *w);
    void onDecoded(ThreadCom *w);

    // Worker-thread state of the chunk model: what the binary reader keeps
    // between two notifications, as far as the bench can see it from outside.
    bool m_readLast = false;
    bool m_decodedLast = false;
    bool m_headerLast = false;
    bool m_endsWithPLast = false;
    bool m_pending = false;
    bool m_pendingAtStart = false;
    bool m_pendingIsP = false;
    bool m_chunkStartsWithH = false;
    bool m_trailingHeader = false;
    int m_headers = 0;
    int m_staleLines = 0;   // text: whole lines the reader will drop as stale at this notification
};

void Probe::attach(ThreadCom *w)
{
    if (!w || w == worker)
        return;
    worker = w;
    m_readLast = m_decodedLast = m_headerLast = m_endsWithPLast = m_pending = false;
    // Both direct: they run on the worker's thread, the tap before the reader
    // (which the worker attaches only when the window answers this report).
    connect(w->SerialPort.data(), &QIODevice::readyRead, this, [this, w] { onReadyRead(w); },
            Qt::DirectConnection);
    connect(w, &ThreadCom::SendDistanceValueBin, this, [this, w] { onDecoded(w); },
            Qt::DirectConnection);
    connect(w, &ThreadCom::SendDistanceValueText, this, [this, w] { onDecoded(w); },
            Qt::DirectConnection);
}

void Probe::onReadyRead(ThreadCom *w)
{
    const qint64 c0 = ownThreadCpuNs();
    if (!counters.workerClockSet.load(std::memory_order_relaxed)) {
        clockid_t clock;
        if (pthread_getcpuclockid(pthread_self(), &clock) == 0) {
            counters.workerClock.store(clock);
            counters.workerClockSet.store(true);
        }
    }
    counters.notifications.fetch_add(1, std::memory_order_relaxed);
    QSerialPort *port = w->SerialPort;
    if (!port)
        return;
    const qint64 waiting = port->bytesAvailable();
    if (waiting > counters.maxBytesWaiting.load(std::memory_order_relaxed))
        counters.maxBytesWaiting.store(waiting, std::memory_order_relaxed);

    if (w->DMode == HubProtocol::Binary) {
        // What the previous notification left for this one.
        if (m_readLast)
            m_pending = !m_decodedLast && (m_headerLast || m_endsWithPLast);
        m_pendingIsP = m_readLast && !m_decodedLast && !m_headerLast && m_endsWithPLast;
        m_readLast = waiting >= HubProtocol::BinaryMinimumWaiting;
        m_decodedLast = false;
        if (m_readLast) {
            const QByteArray chunk = port->peek(waiting);
            m_headers = chunk.count(HubProtocol::RecordHeader);
            // A last "P" past the last frame's end opens a header the reader drops with the chunk.
            const int lastHeader = chunk.lastIndexOf(HubProtocol::RecordHeader);
            m_trailingHeader = chunk.endsWith('P')
                               && (lastHeader < 0 || chunk.size() - 1 >= lastHeader + kBinaryRecordBytes);
            m_headerLast = m_headers > 0 || (m_pending && !m_pendingIsP);
            m_endsWithPLast = chunk.endsWith('P');
            m_chunkStartsWithH = chunk.startsWith('H');
            m_pendingAtStart = m_pending && (!m_pendingIsP || m_chunkStartsWithH);
        }
    } else {
        // The reader takes the first whole line and keeps only the newest of the rest.
        m_staleLines = std::max(0, int(port->peek(waiting).count('\n')) - 2);
    }
    counters.probeWorkerNs.fetch_add(ownThreadCpuNs() - c0, std::memory_order_relaxed);
}

void Probe::onDecoded(ThreadCom *w)
{
    const qint64 t = nowNs();
    const qint64 c0 = ownThreadCpuNs();
    if (sweeping.load(std::memory_order_relaxed)) {
        counters.decoded.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    // On the worker's thread, the one that writes the store: no lock needed to read it.
    const int index = recordIndex(quint16(w->DistanceValue[0]), quint16(w->DistanceValue[1]));
    int extra = 0;
    if (w->DMode == HubProtocol::Binary) {
        m_decodedLast = true;
        // The reader used the first frame of (kept bytes + chunk); every other
        // header in the chunk is a record it dropped.
        extra = std::max(0, m_headers - (m_pendingAtStart ? 0 : 1) + (m_trailingHeader ? 1 : 0));
    } else {
        extra = m_staleLines;
    }
    counters.ruleDrops.fetch_add(extra, std::memory_order_relaxed);
    counters.decoded.fetch_add(1, std::memory_order_relaxed);
    if (index >= 0)
        decodes.push({t, index, extra});
    counters.probeWorkerNs.fetch_add(ownThreadCpuNs() - c0, std::memory_order_relaxed);
}

void Probe::onTextShown()
{
    const qint64 t = nowNs();
    const qint64 c0 = ownThreadCpuNs();
    counters.textSets.fetch_add(1, std::memory_order_relaxed);
    if (sweeping.load(std::memory_order_relaxed))
        return;
    bool ok0 = false;
    bool ok1 = false;
    const int base = binaryShown ? 16 : 10;
    const int s0 = browser0->toPlainText().toInt(&ok0, base);
    const int s1 = browser1->toPlainText().toInt(&ok1, base);
    const int index = ok0 && ok1 ? recordIndex(s0, s1) : -1;
    counters.shownIndex.store(index, std::memory_order_relaxed);
    if (index >= 0)
        shows.push({t, index, 0});
    counters.probeGuiNs.fetch_add(ownThreadCpuNs() - c0, std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------
// The sampler: its own thread, every 10 ms.

struct Snapshot
{
    qint64 t = 0;
    qint64 sent = 0;
    qint64 decoded = 0;
    qint64 notifications = 0;
    qint64 ruleDrops = 0;
    qint64 displayCalls = 0;
    qint64 textSets = 0;
    qint64 paints = 0;
    qint64 guiCpu = 0;
    qint64 workerCpu = 0;
    qint64 processCpu = 0;
    qint64 probeGui = 0;
    qint64 probeWorker = 0;
    qint64 plotCpu = 0;   // GUI thread, in the history plot window's events
    MachineCpu machine;
    qint64 rss = 0;
};

struct WindowResult
{
    Snapshot start;
    Snapshot end;
    qint64 written = 0;          // records written in the window (from the hub's log)
    qint64 decodedOfWritten = 0; // ... of which the worker decoded
    qint64 droppedByRule = 0;    // ... dropped by the reader: another frame of its chunk, or a stale line
    qint64 lost = 0;             // ... neither: lost to a split, or waiting too long
    qint64 undecided = 0;        // ... not settled when the bench stopped looking
    qint64 unresolved = 0;       // shows or decodes whose record was not in the log
    qint64 backlogMax = 0;       // queued display calls not yet run
    qint64 backlogEnd = 0;
    qint64 backlogStart = 0;
    Histogram decodeLatency;     // hub's write -> worker's signal
    Histogram showLatency;       // hub's write -> text in the browser
    Histogram paintLatency;      // hub's write -> browser painted
    Histogram shownAge;          // age of the text in the browser, sampled every 10 ms
    Histogram paintedAge;        // age of what was last painted, sampled every 10 ms
    Histogram queueDelay;        // a posted event's wait for the GUI thread
};

class Sampler
{
public:
    Sampler(HubSimulator &hub, Probe &probe, clockid_t guiClock)
        : m_hub(hub), m_probe(probe), m_guiClock(guiClock),
          m_writeNs(kRing, 0), m_status(kRing, 0), m_seqOfIndex(kScriptLength, -1)
    {
        m_decodes.reserve(1 << 16);
        m_shows.reserve(1 << 16);
        m_paints.reserve(1 << 16);
        m_thread = std::thread([this] { run(); });
    }
    ~Sampler()
    {
        m_stop = true;
        m_thread.join();
    }
    // Measures for seconds, then keeps settling the records of the window for
    // graceMs; result() is valid once done() is.
    void startWindow(double seconds, int graceMs)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_result = WindowResult();
        m_windowNs = qint64(seconds * 1e9);
        m_graceNs = qint64(graceMs) * 1000000;
        m_phase = Phase::Starting;
        m_done = false;
    }
    bool done() const { return m_done.load(); }
    // Display calls the worker has queued and the window not yet run. The window's
    // other queued calls (its configuration report) are too few to matter, but can
    // make the difference dip below 0.
    qint64 backlog() const
    {
        return std::max<qint64>(0, m_probe.counters.decoded.load() - m_probe.counters.displayCalls.load());
    }
    WindowResult &result() { return m_result; }

private:
    enum class Phase { Idle, Starting, Measuring, Grace };
    enum : quint8 { Decoded = 1, Dropped = 2 };
    static const qint64 kRing = 1 << 18;

    void run();
    void tick();
    Snapshot snapshot(qint64 t);
    void resolve(std::vector<Event> &events, qint64 upTo, int kind);
    void settle(qint64 upToSeq);

    HubSimulator &m_hub;
    Probe &m_probe;
    clockid_t m_guiClock;
    std::thread m_thread;
    std::atomic<bool> m_stop {false};
    std::mutex m_mutex;
    std::atomic<bool> m_done {true};
    Phase m_phase = Phase::Idle;
    qint64 m_windowNs = 0;
    qint64 m_graceNs = 0;
    qint64 m_measureEnd = 0;
    qint64 m_seq0 = 0;
    qint64 m_seq1 = -1;
    WindowResult m_result;

    // Every record written, by its number in the order written (a ring).
    std::vector<qint64> m_writeNs;
    std::vector<quint8> m_status;
    std::vector<qint64> m_seqOfIndex;
    qint64 m_nextSeq = 0;
    qint64 m_settled = 0;
    std::vector<Event> m_decodes;
    std::vector<Event> m_shows;
    std::vector<Event> m_paints;
    qint64 m_lastStampNs = 0;
};

void Sampler::run()
{
    while (!m_stop) {
        tick();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

Snapshot Sampler::snapshot(qint64 t)
{
    const Counters &c = m_probe.counters;
    Snapshot s;
    s.t = t;
    s.sent = m_hub.recordsSent();
    s.decoded = c.decoded.load();
    s.notifications = c.notifications.load();
    s.ruleDrops = c.ruleDrops.load();
    s.displayCalls = c.displayCalls.load();
    s.textSets = c.textSets.load();
    s.paints = c.paints.load();
    s.guiCpu = cpuNs(m_guiClock);
    s.workerCpu = c.workerClockSet.load() ? cpuNs(c.workerClock.load()) : -1;
    s.processCpu = cpuNs(CLOCK_PROCESS_CPUTIME_ID);
    s.probeGui = c.probeGuiNs.load();
    s.probeWorker = c.probeWorkerNs.load();
    s.plotCpu = perfApp()->plotNs();
    s.machine = machineCpu();
    s.rss = processResidentKb();
    return s;
}

void Sampler::tick()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    // What is on screen is read before the log is taken: its record is then
    // surely in the log.
    const int shown = m_probe.counters.shownIndex.load();
    const int painted = m_probe.counters.paintedIndex.load();
    const qint64 t = nowNs();
    for (const HubSimulator::RecordWrite &w : m_hub.takeRecordLog()) {
        const qint64 seq = m_nextSeq++;
        m_writeNs[size_t(seq % kRing)] = w.steadyNs;
        m_status[size_t(seq % kRing)] = 0;
        if (w.scriptIndex >= 0 && w.scriptIndex < kScriptLength)
            m_seqOfIndex[size_t(w.scriptIndex)] = seq;
    }
    m_probe.decodes.takeInto(m_decodes);
    m_probe.shows.takeInto(m_shows);
    m_probe.paints.takeInto(m_paints);
    resolve(m_decodes, t, 0);
    resolve(m_shows, t, 1);
    resolve(m_paints, t, 2);

    if (t - m_lastStampNs >= 50000000) {
        m_lastStampNs = t;
        QCoreApplication::postEvent(&m_probe, new Probe::Stamp(t));
    }

    switch (m_phase) {
    case Phase::Idle:
        return;
    case Phase::Starting:
        m_result.start = snapshot(t);
        m_result.backlogStart = backlog();
        m_seq0 = m_nextSeq;
        m_seq1 = -1;
        m_settled = std::max(m_settled, m_seq0);
        m_measureEnd = t + m_windowNs;
        m_phase = Phase::Measuring;
        m_probe.counters.maxBytesWaiting.store(0);
        QMetaObject::invokeMethod(&m_probe, [this] { m_probe.queueDelay.clear(); });
        return;
    case Phase::Measuring: {
        const qint64 b = backlog();
        m_result.backlogMax = std::max(m_result.backlogMax, b);
        const auto age = [&](int index, Histogram &h) {
            if (index < 0)
                return;
            const qint64 seq = m_seqOfIndex[size_t(index)];
            if (seq >= 0 && m_nextSeq - seq < kRing)
                h.add(t - m_writeNs[size_t(seq % kRing)]);
        };
        age(shown, m_result.shownAge);
        age(painted, m_result.paintedAge);
        if (t >= m_measureEnd) {
            m_result.end = snapshot(t);
            m_result.backlogEnd = b;
            m_seq1 = m_nextSeq;
            m_phase = Phase::Grace;
            m_measureEnd = t + m_graceNs;
        }
        return;
    }
    case Phase::Grace:
        if (t >= m_measureEnd) {
            m_result.undecided = std::max<qint64>(0, m_seq1 - std::max(m_settled, m_seq0));
            m_phase = Phase::Idle;
            // The queue-delay histogram belongs to the GUI thread: copied there.
            QMetaObject::invokeMethod(&m_probe, [this] {
                m_result.queueDelay = m_probe.queueDelay;
                m_done = true;
            });
        }
        return;
    }
}

// Ties events to the records they show; an event is handled once every record
// written before it is surely in the log (taken after the event happened).
void Sampler::resolve(std::vector<Event> &events, qint64 upTo, int kind)
{
    const bool measuring = m_phase == Phase::Measuring;
    size_t kept = 0;
    for (size_t i = 0; i < events.size(); ++i) {
        const Event &e = events[i];
        if (e.tNs > upTo) {
            events[kept++] = e;
            continue;
        }
        const qint64 seq = m_seqOfIndex[size_t(e.index)];
        if (seq < 0 || m_nextSeq - seq >= kRing || m_writeNs[size_t(seq % kRing)] > e.tNs) {
            if (measuring)
                ++m_result.unresolved;
            continue;
        }
        const qint64 latency = e.tNs - m_writeNs[size_t(seq % kRing)];
        const bool inWindow = measuring && e.tNs >= m_result.start.t;
        if (kind == 0) {
            m_status[size_t(seq % kRing)] |= Decoded;
            for (int k = 1; k <= e.extra && seq + k < m_nextSeq; ++k)
                m_status[size_t((seq + k) % kRing)] |= Dropped;
            // The stream is read in order: every record before this one is settled.
            settle(seq);
            if (inWindow)
                m_result.decodeLatency.add(latency);
        } else if (inWindow) {
            (kind == 1 ? m_result.showLatency : m_result.paintLatency).add(latency);
        }
    }
    events.resize(kept);
}

void Sampler::settle(qint64 upToSeq)
{
    if (m_nextSeq - m_settled > kRing)
        m_settled = m_nextSeq - kRing;
    for (; m_settled <= upToSeq; ++m_settled) {
        const quint8 status = m_status[size_t(m_settled % kRing)];
        const bool counted = m_settled >= m_seq0 && (m_seq1 < 0 || m_settled < m_seq1)
                             && m_phase != Phase::Idle;
        if (!counted)
            continue;
        ++m_result.written;
        if (status & Decoded)
            ++m_result.decodedOfWritten;
        else if (status & Dropped)
            ++m_result.droppedByRule;
        else
            ++m_result.lost;
    }
}

// ---------------------------------------------------------------------------
// Driving the window

void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

template <typename Predicate>
bool spinUntil(Predicate done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        spin(10);
    }
    return true;
}

struct Config
{
    char display;   // 'B' or 'T'
    char mode;      // 'F' or 'P'
    double factor;  // 1: the wire's pace
    double seconds;
    QString name() const
    {
        return QStringLiteral("%1 %2 %3x")
            .arg(display == 'B' ? QStringLiteral("binary") : QStringLiteral("text"))
            .arg(mode == 'F' ? QStringLiteral("fast") : QStringLiteral("precise"))
            .arg(factor, 0, 'g', 3);
    }
};

struct Options
{
    bool quick = false;
    double window = 20;
    double memoryWindow = 60;
    double settle = 2;
    int uploadKiB = 64;
    bool stream = true;
    bool upload = true;
    QString markdown;
    QStringList only;   // configurations whose name holds one of these, e.g. "text fast 1x"
    bool history = false;   // the history plot open throughout
    bool record = false;    // a recording running throughout
    int compareRounds = 0;  // > 0: each configuration with the plot closed, then open, this many times
    double sweepSeconds = 0;   // > 0: the recording check over the sweep, this long a configuration
    QStringList plotHints;     // the plotting library's switches, set on the plot as it opens
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

QString ms(double v, int digits = 2)
{
    return std::isnan(v) ? QStringLiteral("-") : QString::number(v, 'f', digits);
}

QString pct(double v)
{
    return QString::number(v, 'f', 1) + QLatin1Char('%');
}

// What the comparison and the summary need of one measured configuration.
struct Measured
{
    bool ok = false;
    double guiCpu = std::nan("");        // % of a core, the probes' share taken out
    double plotCpu = std::nan("");       // ... of it in the history plot window's events
    double shownAgeP99 = std::nan("");   // ms
    double othersCores = std::nan("");
    QString load;                        // the 1-minute load average at the end
};

class Bench
{
public:
    Bench(const Options &options, Report &report) : o(options), r(report) {}
    int run();

private:
    bool connectWindow();
    bool switchTo(const Config &c);
    Measured measure(const Config &c, double averageLineBytes, const QString &label = QString());
    bool setPlotOpen(bool open);
    void compare(const Config &c, double averageLineBytes);
    void sweepRecording(const QVector<Config> &configs);
    void upload();

    const Options &o;
    Report &r;
    HubSimulator hub;
    PerfWindow *window = nullptr;
    Probe probe;
    Sampler *sampler = nullptr;
    clockid_t guiClock {};
    QStringList compareRows;   // the comparison's markdown table
    QVector<HubSimulator::Readings> script;
    QVector<QTextBrowser *> browsers;
    // What the window showed while the hub swept: the sweep's record, or -1.
    std::vector<int> sweepShown;
};

bool Bench::connectWindow()
{
    child<QComboBox>(window, "comboBoxPortName")->setEditText(hub.portPath());
    child<QPushButton>(window, "pushButtonConnect")->click();
    return spinUntil([&] { return probe.counters.decoded.load() > 0; }, 15000);
}

bool Bench::switchTo(const Config &c)
{
    hub.setSpeedFactor(c.factor);
    if (c.display == 'B')
        child<QRadioButton>(window, "radioButtonBinaryMode")->click();
    else
        child<QRadioButton>(window, "radioButton_TextMode")->click();
    if (c.mode == 'F')
        child<QRadioButton>(window, "radioButton_FastMode")->click();
    else
        child<QRadioButton>(window, "radioButton_PreciseMode")->click();
    probe.binaryShown = c.display == 'B';
    return spinUntil([&] { return hub.displayMode() == c.display && hub.operatingMode() == c.mode; },
                     5000);
}

Measured Bench::measure(const Config &c, double averageLineBytes, const QString &label)
{
    Measured m;
    const QString name = label.isEmpty() ? c.name() : QStringLiteral("%1 (%2)").arg(c.name(), label);
    const double recordBytes = c.display == 'B' ? kBinaryRecordBytes : averageLineBytes;
    const double periodMs = recordBytes * 10 * kBitTimeS * 1000 / c.factor;
    const double refreshHz = QGuiApplication::primaryScreen()
                                 ? QGuiApplication::primaryScreen()->refreshRate()
                                 : 60.0;
    const double budgetMs = periodMs + 1000.0 / 60.0;

    // Whatever the previous configuration left queued goes first.
    QElapsedTimer drain;
    drain.start();
    spinUntil([&] { return sampler->backlog() < 50; }, 120000);
    const double drainS = drain.elapsed() / 1000.0;
    spin(int(o.settle * 1000));

    sampler->startWindow(c.seconds, 500);
    const bool finished = spinUntil([&] { return sampler->done(); }, int(c.seconds * 1000) + 600000);
    if (!finished) {
        r.out(QStringLiteral("  %1: the window never finished (GUI thread stuck)").arg(name));
        return m;
    }
    const WindowResult &w = sampler->result();
    const Snapshot &a = w.start;
    const Snapshot &b = w.end;
    const double s = double(b.t - a.t) / 1e9;
    const auto rate = [&](qint64 x0, qint64 x1) { return double(x1 - x0) / s; };
    const auto core = [&](qint64 c0, qint64 c1) { return 100.0 * double(c1 - c0) / 1e9 / s; };
    const long ticks = sysconf(_SC_CLK_TCK);
    const double othersCores = double((b.machine.busy - a.machine.busy) - (b.machine.self - a.machine.self))
                               / double(ticks) / s;
    const double gui = core(a.guiCpu, b.guiCpu);
    const double guiProbe = core(a.probeGui, b.probeGui);
    const double worker = a.workerCpu >= 0 ? core(a.workerCpu, b.workerCpu) : std::nan("");
    const double workerProbe = core(a.probeWorker, b.probeWorker);
    const double plot = core(a.plotCpu, b.plotCpu);

    r.out(QStringLiteral("== %1: %2 s, record period %3 ms, budget for the shown value's age %4 ms "
                         "(period + 1/60 s; screen reports %5 Hz)")
              .arg(name)
              .arg(s, 0, 'f', 1)
              .arg(ms(periodMs, 3))
              .arg(ms(budgetMs))
              .arg(refreshHz, 0, 'f', 0));
    if (drainS > 0.5)
        r.out(QStringLiteral("  before it: %1 s for the GUI to work off what the previous configuration queued")
                  .arg(drainS, 0, 'f', 1));
    r.out(QStringLiteral("  records: sent %1/s, decoded %2/s, display calls run %3/s, texts shown %4/s, "
                         "paints %5/s, notifications %6/s")
              .arg(rate(a.sent, b.sent), 0, 'f', 0)
              .arg(rate(a.decoded, b.decoded), 0, 'f', 0)
              .arg(rate(a.displayCalls, b.displayCalls), 0, 'f', 0)
              .arg(rate(a.textSets, b.textSets), 0, 'f', 0)
              .arg(rate(a.paints, b.paints), 0, 'f', 0)
              .arg(rate(a.notifications, b.notifications), 0, 'f', 0));
    r.out(QStringLiteral("  of %1 records written: %2 decoded, %3 dropped by the reader (a frame with another in one chunk, a line with a newer one waiting), "
                         "%4 lost otherwise (to a split, or dropped while the reader lagged), %5 unsettled, %6 unmatched events")
              .arg(w.written)
              .arg(w.decodedOfWritten)
              .arg(w.droppedByRule)
              .arg(w.lost)
              .arg(w.undecided)
              .arg(w.unresolved));
    r.out(QStringLiteral("  at most %1 bytes (some %2 records) waiting in the port at a notification")
              .arg(probe.counters.maxBytesWaiting.load())
              .arg(double(probe.counters.maxBytesWaiting.load()) / recordBytes, 0, 'f', 0));
    const auto line = [&](const char *what, const Histogram &h) {
        r.out(QStringLiteral("  %1 median %2 ms, p99 %3 ms, max %4 ms (%5 samples)")
                  .arg(QLatin1String(what), -34)
                  .arg(ms(h.percentileMs(0.5)))
                  .arg(ms(h.percentileMs(0.99)))
                  .arg(ms(h.maxMs()))
                  .arg(h.count()));
    };
    line("write -> worker's signal:", w.decodeLatency);
    line("write -> text in the window:", w.showLatency);
    line("write -> window painted:", w.paintLatency);
    line("age of the text shown (every 10 ms):", w.shownAge);
    line("age of what is painted (every 10 ms):", w.paintedAge);
    line("GUI event wait (posted every 50 ms):", w.queueDelay);
    r.out(QStringLiteral("  CPU per second of streaming: GUI thread %1 (probes %2 of it, the history plot's "
                         "window %6), worker thread %3 (probes %4 of it), whole process %5")
              .arg(pct(gui))
              .arg(pct(guiProbe))
              .arg(std::isnan(worker) ? QStringLiteral("-") : pct(worker))
              .arg(pct(workerProbe))
              .arg(pct(core(a.processCpu, b.processCpu)))
              .arg(pct(plot)));
    r.out(QStringLiteral("  display calls queued: %1 at start, at most %2, %3 at end; resident memory "
                         "%4 -> %5 KiB; other processes used %6 cores")
              .arg(w.backlogStart)
              .arg(w.backlogMax)
              .arg(w.backlogEnd)
              .arg(a.rss)
              .arg(b.rss)
              .arg(othersCores, 0, 'f', 2));

    const double guiNet = gui - guiProbe;
    m.ok = true;
    m.guiCpu = guiNet;
    m.plotCpu = plot;
    m.shownAgeP99 = w.shownAge.percentileMs(0.99);
    m.othersCores = othersCores;
    m.load = loadAverage().section(QLatin1Char(' '), 0, 0);
    r.markdown << QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 / %7 | %8 / %9 | %10 / %11 | %12 | %13 | %14 | "
                                 "%15 | %16 | %17 -> %18 | %19 |")
                      .arg(name)
                      .arg(rate(a.sent, b.sent), 0, 'f', 0)
                      .arg(rate(a.decoded, b.decoded), 0, 'f', 0)
                      .arg(rate(a.textSets, b.textSets), 0, 'f', 0)
                      .arg(QStringLiteral("%1 / %2").arg(w.droppedByRule).arg(w.lost))
                      .arg(ms(w.showLatency.percentileMs(0.5)))
                      .arg(ms(w.showLatency.percentileMs(0.99)))
                      .arg(ms(w.shownAge.percentileMs(0.5)))
                      .arg(ms(w.shownAge.percentileMs(0.99)))
                      .arg(ms(w.paintedAge.percentileMs(0.5)))
                      .arg(ms(w.paintedAge.percentileMs(0.99)))
                      .arg(ms(budgetMs))
                      .arg(pct(guiNet))
                      .arg(std::isnan(worker) ? QStringLiteral("-") : pct(worker - workerProbe))
                      .arg(w.backlogMax)
                      .arg(ms(w.queueDelay.percentileMs(0.99), 1))
                      .arg(a.rss)
                      .arg(b.rss)
                      .arg(othersCores, 0, 'f', 2);
    return m;
}

// The history plot as a user opens it (View > History) and closes it.
bool Bench::setPlotOpen(bool open)
{
    const auto shown = [this] {
        const QWidget *plot = window->findChild<QWidget *>(QStringLiteral("HistoryWindow"));
        return plot && plot->isVisible();
    };
    if (open && !shown()) {
        child<QAction>(window, "actionHistory")->trigger();
        perfApp()->plotWindow = window->findChild<QWidget *>(QStringLiteral("HistoryWindow"));
        auto *plot = child<QCustomPlot>(perfApp()->plotWindow, "plot");
        for (const QString &hint : o.plotHints) {
            if (hint == QLatin1String("fast-polylines"))
                plot->setPlottingHint(QCP::phFastPolylines, true);
            else if (hint == QLatin1String("no-label-cache"))
                plot->setPlottingHint(QCP::phCacheLabels, false);
            else if (hint == QLatin1String("label-cache"))
                plot->setPlottingHint(QCP::phCacheLabels, true);
            else if (hint == QLatin1String("antialiased"))
                plot->setAntialiasedElements(QCP::aeAll);
        }
    } else if (!open && shown()) {
        window->findChild<QWidget *>(QStringLiteral("HistoryWindow"))->close();
    }
    return spinUntil([&] { return shown() == open; }, 5000);
}

// The plot's cost to the GUI thread: the same configuration on the same
// connection, closed and then open, round after round so that a change in the
// machine's load falls on both alike.
void Bench::compare(const Config &c, double averageLineBytes)
{
    double closedSum = 0;
    double openSum = 0;
    double plotSum = 0;
    int rounds = 0;
    QStringList pairs;
    QStringList ages;
    QStringList others;
    QStringList loads;
    for (int round = 1; round <= o.compareRounds; ++round) {
        const QString tag = o.compareRounds > 1 ? QStringLiteral(", round %1").arg(round) : QString();
        Measured closed;
        Measured open;
        if (setPlotOpen(false))
            closed = measure(c, averageLineBytes, QStringLiteral("plot closed") + tag);
        if (setPlotOpen(true))
            open = measure(c, averageLineBytes, QStringLiteral("plot open") + tag);
        if (!closed.ok || !open.ok) {
            r.out(QStringLiteral("  %1: round %2 not measured").arg(c.name()).arg(round));
            continue;
        }
        ++rounds;
        closedSum += closed.guiCpu;
        openSum += open.guiCpu;
        plotSum += open.plotCpu;
        pairs << QStringLiteral("%1 -> %2").arg(pct(closed.guiCpu), pct(open.guiCpu));
        ages << QStringLiteral("%1 / %2").arg(ms(closed.shownAgeP99), ms(open.shownAgeP99));
        others << QStringLiteral("%1 / %2").arg(closed.othersCores, 0, 'f', 2).arg(open.othersCores, 0, 'f', 2);
        loads << QStringLiteral("%1 / %2").arg(closed.load, open.load);
    }
    setPlotOpen(false);
    if (rounds == 0)
        return;
    const double closedMean = closedSum / rounds;
    const double openMean = openSum / rounds;
    const double ratio = openMean / closedMean;
    const double plotMean = plotSum / rounds;
    r.out(QStringLiteral("== %1, history plot: GUI thread %2 closed, %3 open (means of %4 rounds: %5): "
                         "%6 x; in the plot window's own events %7; load averages %8")
              .arg(c.name())
              .arg(pct(closedMean))
              .arg(pct(openMean))
              .arg(rounds)
              .arg(pairs.join(QStringLiteral(", ")))
              .arg(ratio, 0, 'f', 3)
              .arg(pct(plotMean))
              .arg(loads.join(QStringLiteral(", "))));
    compareRows << QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 | %7 | %8 | %9 |")
                       .arg(c.name())
                       .arg(pct(closedMean))
                       .arg(pct(openMean))
                       .arg(ratio, 0, 'f', 3)
                       .arg(pct(plotMean))
                       .arg(pairs.join(QStringLiteral(", ")))
                       .arg(ages.join(QStringLiteral(", ")))
                       .arg(others.join(QStringLiteral(", ")))
                       .arg(loads.join(QStringLiteral(", ")));
}

// The recording and the plot against the hub's sweep: across the switches of
// output, mode and pace that the measured configurations make, every record
// must reach the file with the readings it carried, in order; only records of
// the old output that were still on the wire when the output changed may be
// missing. The plot's buffer keeps a record every 10 ms, each of them one that
// the recording has too; at the end the hub slows down so that the buffer
// keeps every record, the last one included.
void Bench::sweepRecording(const QVector<Config> &configs)
{
    const int n = HubSimulator::SweepRecords;
    r.out(QStringLiteral("== recording the sweep, %1 s a configuration, the history plot open").arg(o.sweepSeconds));
    if (!setPlotOpen(true) || !switchTo(configs.first())) {
        r.out(QStringLiteral("  the plot did not open or the hub did not switch; no sweep"));
        return;
    }
    probe.sweeping = true;
    sweepShown.clear();
    hub.setSweep();
    const qint64 sweepStartNs = nowNs();
    spin(300);   // the recording starts within the sweep's first round, so its rows tell their record

    QTemporaryDir directory;
    const QString path = directory.filePath(QStringLiteral("sweep.csv"));
    answerNextFileDialog(window, path);
    const int sentAtStart = hub.recordsSent();
    child<QAction>(window, "actionRecord")->trigger();
    QStringList switches;
    for (const Config &c : configs) {
        if (!switchTo(c))
            r.out(QStringLiteral("  %1: the hub did not switch").arg(c.name()));
        switches << c.name();
        spin(int(o.sweepSeconds * 1000));
    }
    // Records far enough apart for the buffer to keep each one.
    const double tailPeriodMs = 25;
    hub.setCyclePeriodMs(tailPeriodMs * configs.last().factor);
    spin(100);
    const int sentAtTail = hub.recordsSent();
    spin(600);
    hub.setStreaming(false);
    spin(300);
    const int sentAtEnd = hub.recordsSent();
    const int tailRecords = sentAtEnd - sentAtTail;

    std::vector<int> historyMods;
    {
        auto *plot = window->findChild<HistoryWindow *>(QStringLiteral("HistoryWindow"));
        QVector<double> secondsAgo;
        std::array<QVector<double>, HubProtocol::SensorCount> values;
        plot->historyBuffer().snapshot(double(nowNs() - sweepStartNs) / 1e9 + 0.5, 0, secondsAgo, values);
        for (int i = 0; i < secondsAgo.size(); ++i) {
            HubSimulator::Readings p {};
            for (int k = 0; k < 8; ++k)
                p[size_t(k)] = qint16(values[size_t(k)].at(i));
            historyMods.push_back(sweepIndex(p));
        }
    }
    child<QAction>(window, "actionRecord")->trigger();
    spin(1000);
    probe.sweeping = false;
    hub.setScript(script);
    hub.setCyclePeriodMs(0);
    hub.setStreaming(true);

    // Each row as the sweep's record it carries, counted from the sweep's
    // start: the recording began within the sweep's first round, and no two
    // successive rows are anywhere near a whole round apart.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        r.out(QStringLiteral("  the recording cannot be read"));
        return;
    }
    const QList<QByteArray> lines = file.readAll().split('\n');
    qint64 rows = 0;
    qint64 notSweep = 0;         // rows whose readings are no record of the sweep
    qint64 repeatedOrBack = 0;
    qint64 atOutputSwitch = 0;   // missing where the output changed: the old output's records on the wire
    qint64 outOfLength = 0;      // missing text lines shorter or longer than the readers take
    qint64 lost = 0;             // missing otherwise
    qint64 first = -1;
    qint64 last = -1;
    char lastOutput = 0;
    std::vector<bool> recorded;
    for (int i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> f = lines.at(i).split(',');
        if (f.size() != 12)
            continue;
        ++rows;
        const char output = f.at(11).at(0);
        HubSimulator::Readings v {};
        for (int k = 0; k < 8; ++k)
            v[size_t(k)] = qint16(f.at(2 + k).toInt());
        const int mod = sweepIndex(v);
        if (mod < 0) {
            ++notSweep;
            continue;
        }
        const qint64 step = last < 0 ? mod : (mod - last % n + n) % n;
        if (last >= 0 && (step == 0 || step > n / 2)) {
            ++repeatedOrBack;
            continue;
        }
        const qint64 index = last < 0 ? mod : last + step;
        const bool text = output == 'T' || lastOutput == 'T';
        for (qint64 missing = last + 1; last >= 0 && missing < index; ++missing) {
            const int length = textLineLength(sweepReadings(int(missing % n)));
            if (text && (length < HubProtocol::TextLineMinimum || length > HubProtocol::TextLineMaximum))
                ++outOfLength;
            else if (output != lastOutput)
                ++atOutputSwitch;
            else
                ++lost;
        }
        if (first < 0)
            first = index;
        last = index;
        lastOutput = output;
        recorded.resize(size_t(index) + 1, false);
        recorded[size_t(index)] = true;
    }

    // The plot's points and what the window showed, in the same count: each
    // one shown while the recording ran must be one of its rows.
    struct Check
    {
        qint64 all = 0;
        qint64 inRecording = 0;
        qint64 notRecorded = 0;
        std::vector<qint64> indices;
    };
    const auto check = [&](const std::vector<int> &mods) {
        Check c;
        for (int mod : mods) {
            if (mod < 0)
                continue;   // before the sweep's first record came
            const qint64 previous = c.indices.empty() ? -1 : c.indices.back();
            const qint64 index = previous < 0 ? mod : previous + (mod - previous % n + n) % n;
            c.indices.push_back(index);
            if (index < first || index > last)
                continue;
            ++c.inRecording;
            if (!recorded[size_t(index)])
                ++c.notRecorded;
        }
        c.all = qint64(c.indices.size());
        return c;
    };
    const Check points = check(historyMods);
    const Check shown = check(sweepShown);
    // The slow tail's records but its first two (one may have come before the slower pace took hold).
    qint64 tailChecked = 0;
    qint64 tailInBuffer = 0;
    for (qint64 index = last; index >= 0 && index > last - (tailRecords - 2); --index) {
        ++tailChecked;
        tailInBuffer += std::count(points.indices.begin(), points.indices.end(), index);
    }

    const qint64 span = last - first + 1;
    const qint64 wrong = notSweep + repeatedOrBack + lost + points.notRecorded + shown.notRecorded
                         + (tailChecked - tailInBuffer);
    r.out(QStringLiteral("  through %1").arg(switches.join(QStringLiteral(", "))));
    r.out(QStringLiteral("  hub sent %1 records while the recording ran; %2 rows for the sweep's records %3 to %4 "
                         "(%5): %6 not a record of the sweep, %7 repeated or out of order; missing: %8 at the "
                         "output switches, %9 text lines outside %10 to %11 bytes, %12 otherwise")
              .arg(sentAtEnd - sentAtStart).arg(rows).arg(first).arg(last).arg(span).arg(notSweep)
              .arg(repeatedOrBack).arg(atOutputSwitch).arg(outOfLength).arg(HubProtocol::TextLineMinimum)
              .arg(HubProtocol::TextLineMaximum).arg(lost));
    r.out(QStringLiteral("  plot's buffer: %1 points of the sweep, %2 while recording, %3 of those not in the file; "
                         "last %4 records (%5 ms apart) in it: %6; window showed %7 records, %8 while recording, "
                         "%9 of those not in the file")
              .arg(points.all).arg(points.inRecording).arg(points.notRecorded).arg(tailChecked).arg(tailPeriodMs)
              .arg(tailInBuffer).arg(shown.all).arg(shown.inRecording).arg(shown.notRecorded));
    r.markdown << QString()
               << QStringLiteral("| sweep, %1 s a configuration | records sent | rows | first to last row | "
                                 "missing at output switches / text lines outside the readers' lengths / "
                                 "otherwise | not a sweep record / repeated or out of order | plot buffer: "
                                 "points while recording / not in the file | slow tail in the buffer | "
                                 "window: shown while recording / not in the file |")
                      .arg(o.sweepSeconds)
               << QStringLiteral("|---|---|---|---|---|---|---|---|---|")
               << QStringLiteral("| %1 | %2 | %3 | %4 | %5 / %6 / %7 | %8 / %9 | %10 / %11 | %12 of %13 | %14 / %15 |")
                      .arg(wrong == 0 ? QStringLiteral("ok") : QStringLiteral("%1 WRONG").arg(wrong))
                      .arg(sentAtEnd - sentAtStart).arg(rows).arg(span)
                      .arg(atOutputSwitch).arg(outOfLength).arg(lost).arg(notSweep).arg(repeatedOrBack)
                      .arg(points.inRecording).arg(points.notRecorded).arg(tailInBuffer).arg(tailChecked)
                      .arg(shown.inRecording).arg(shown.notRecorded);
}

void Bench::upload()
{
    hub.setRecordLog(false);
    hub.setSpeedFactor(1);
    const int bytes = o.uploadKiB * 1024;
    QTemporaryDir directory;
    const QString path = directory.filePath(QStringLiteral("perf.binary"));
    {
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        QByteArray image(bytes, '\0');
        for (int i = 0; i < bytes; ++i)
            image[i] = char((i * 131 + 7) & 0xFF);
        file.write(image);
    }

    // The chunk counter would otherwise run on every acknowledgement the upload waits for.
    if (probe.worker && probe.worker->SerialPort)
        QObject::disconnect(probe.worker->SerialPort, &QIODevice::readyRead, &probe, nullptr);
    child<QAction>(window, "actionUpload_Firmware")->trigger();
    QWidget *dialog = visibleTopLevel("FW_Upgrade");
    if (!dialog || !spinUntil([&] { return hub.inBootLoader(); }, 5000)) {
        r.out(QStringLiteral("upload: the hub never reached its boot loader"));
        return;
    }
    if (QWidget *restart = visibleTopLevel("Restart"))
        restart->close();

    Upgrade_logic *logic = nullptr;
    spinUntil([&] {
        if (probe.worker) {
            QMutexLocker lock(&probe.worker->DataMutex);
            logic = probe.worker->upgrade_logic;
        }
        return logic != nullptr;
    }, 5000);
    if (!logic) {
        r.out(QStringLiteral("upload: the worker made no upgrade object"));
        return;
    }
    const int blocks = (bytes + 7) / 8;
    std::vector<qint64> progressNs;
    progressNs.reserve(size_t(blocks) + 1);
    std::atomic<qint64> blocksDoneNs {0};
    std::atomic<qint64> finishedNs {0};
    // Direct: the stamps are taken on the worker's thread as the run goes.
    QObject::connect(logic, &Upgrade_logic::progress_update, &probe,
                     [&](int) { progressNs.push_back(nowNs()); }, Qt::DirectConnection);
    QObject::connect(logic, &Upgrade_logic::progress_message, &probe, [&](const QString &m) {
        if (m.startsWith(QLatin1String("Waiting for Hub")))
            blocksDoneNs = nowNs();
        else if (m.startsWith(QLatin1String("Upgrade Finished")))
            finishedNs = nowNs();
    }, Qt::DirectConnection);

    answerNextFileDialog(dialog, path);
    child<QPushButton>(dialog, "SelectFW")->click();
    auto *start = child<QPushButton>(dialog, "upgrade_button");
    if (!start->isEnabled()) {
        r.out(QStringLiteral("upload: the image could not be chosen"));
        return;
    }
    const qint64 clicked = nowNs();
    const qint64 guiCpu0 = cpuNs(guiClock);
    start->click();
    const bool done = spinUntil([&] { return finishedNs.load() != 0; }, 60000 + blocks * 20);
    if (!done || progressNs.empty() || blocksDoneNs.load() == 0) {
        r.out(QStringLiteral("upload: did not finish (%1 blocks acknowledged)").arg(progressNs.size()));
        return;
    }
    const bool intact = hub.receivedImage().size() == bytes;
    const double guiShare = double(cpuNs(guiClock) - guiCpu0) / double(nowNs() - clicked);

    const double wirePerBlockS = (8 + 3) * 10 * kBitTimeS;
    const double floorPerBlockS = wirePerBlockS + 0.001;
    const double floorS = blocks * floorPerBlockS;
    const double blockPhaseS = double(blocksDoneNs.load() - progressNs.front()) / 1e9;
    const double wholeS = double(finishedNs.load() - clicked) / 1e9;
    Histogram perBlock;
    for (size_t i = 1; i < progressNs.size(); ++i)
        perBlock.add(progressNs[i] - progressNs[i - 1]);
    // The simulated boot loader takes a block and answers it at once: the wire
    // time of the block and of its acknowledgement is not spent. A real link
    // spends it on every block, on top of everything measured here.
    const double onWireS = blockPhaseS + blocks * wirePerBlockS;

    r.out(QStringLiteral("== firmware upload, %1 KiB = %2 blocks of 8 bytes, hub at the wire's pace%3")
              .arg(o.uploadKiB)
              .arg(blocks)
              .arg(intact ? QString() : QStringLiteral(" (IMAGE NOT RECEIVED WHOLE)")));
    r.out(QStringLiteral("  protocol floor %1 s (%2 ms a block: (8+3) bytes x 10 bits / 115200 + 1 ms)")
              .arg(floorS, 0, 'f', 3)
              .arg(floorPerBlockS * 1000, 0, 'f', 3));
    r.out(QStringLiteral("  blocks, first sent to last acknowledged: %1 s = %2 x floor as measured; "
                         "%3 s = %4 x floor with the wire time a real link adds")
              .arg(blockPhaseS, 0, 'f', 3)
              .arg(blockPhaseS / floorS, 0, 'f', 3)
              .arg(onWireS, 0, 'f', 3)
              .arg(onWireS / floorS, 0, 'f', 3));
    r.out(QStringLiteral("  a block takes: median %1 ms, p99 %2 ms, max %3 ms (host, pause and the "
                         "simulated answer); click to \"Upgrade Finished\": %4 s")
              .arg(ms(perBlock.percentileMs(0.5), 3))
              .arg(ms(perBlock.percentileMs(0.99), 3))
              .arg(ms(perBlock.maxMs(), 3))
              .arg(wholeS, 0, 'f', 3));
    r.out(QStringLiteral("  GUI thread meanwhile: %1 of a core (the dialog's bar follows every block)")
              .arg(pct(100.0 * guiShare)));
    r.markdown << QString()
               << QStringLiteral("| upload | KiB | floor s | measured s | x floor | with wire time s | x floor | "
                                 "block median / p99 ms |")
               << QStringLiteral("|---|---|---|---|---|---|---|---|")
               << QStringLiteral("| 8-byte blocks | %1 | %2 | %3 | %4 | %5 | %6 | %7 / %8 |")
                      .arg(o.uploadKiB)
                      .arg(floorS, 0, 'f', 3)
                      .arg(blockPhaseS, 0, 'f', 3)
                      .arg(blockPhaseS / floorS, 0, 'f', 3)
                      .arg(onWireS, 0, 'f', 3)
                      .arg(onWireS / floorS, 0, 'f', 3)
                      .arg(ms(perBlock.percentileMs(0.5), 3))
                      .arg(ms(perBlock.percentileMs(0.99), 3));
}

int Bench::run()
{
    if (pthread_getcpuclockid(pthread_self(), &guiClock) != 0)
        qFatal("no CPU clock for the GUI thread");

    double lineBytes = 0;
    {
        script.reserve(kScriptLength);
        for (int i = 0; i < kScriptLength; ++i) {
            script.append(recordReadings(i));
            lineBytes += textLineLength(script.last());
        }
        lineBytes /= kScriptLength;
        hub.setScript(script);
    }

    hub.setSpeedFactor(1);
    hub.setCyclePeriodMs(0);   // records back to back: as many as the wire carries
    hub.setMask(0xFF);
    hub.setDisplayMode('B');
    hub.setOperatingMode('P');
    hub.setIdentity("1234", "2.1.0", "STD");
    if (!hub.start())
        qFatal("cannot start the simulated hub");

    window = new PerfWindow;
    window->show();
    spin(300);
    probe.window = window;
    probe.browser0 = child<QTextBrowser>(window, "textBrowserPX0");
    probe.browser1 = child<QTextBrowser>(window, "textBrowserPX1");
    window->installEventFilter(&probe);
    probe.browser1->viewport()->installEventFilter(&probe);
    QObject::connect(probe.browser1, &QTextEdit::textChanged, &probe, [this] { probe.onTextShown(); });
    for (int k = 0; k < 8; ++k)
        browsers << child<QTextBrowser>(window, QStringLiteral("textBrowserPX%1").arg(k));
    // The last browser written: all eight then hold the same record.
    QObject::connect(browsers.last(), &QTextEdit::textChanged, &probe, [this] {
        if (!probe.sweeping)
            return;
        QStringList texts;
        for (const QTextBrowser *b : std::as_const(browsers))
            texts << b->toPlainText();
        HubSimulator::Readings shown {};
        sweepShown.push_back(shownReadings(texts, probe.binaryShown, shown) ? sweepIndex(shown) : -1);
    });
    QObject::connect(window, &MainWindow::ConfigSet, &probe,
                     [this] { probe.attach(qobject_cast<ThreadCom *>(window->currentSender())); },
                     Qt::DirectConnection);
    sampler = new Sampler(hub, probe, guiClock);
    hub.setRecordLog(true);

    r.out(QStringLiteral("pellix-perf: %1 cores (%2), load %3, Qt %4 on \"%5\"")
              .arg(sysconf(_SC_NPROCESSORS_ONLN))
              .arg(cpuModel())
              .arg(loadAverage())
              .arg(QLatin1String(qVersion()))
              .arg(QGuiApplication::platformName()));
    r.out(QStringLiteral("resident memory with the window up, before connecting: %1 KiB").arg(processResidentKb()));

    child<QSpinBox>(window, "spinBoxMeanNbVal")->setValue(1);
    if (o.stream) {
        if (!connectWindow()) {
            r.out(QStringLiteral("the window never showed a record; stopping"));
            return 1;
        }
        if (o.history) {
            setPlotOpen(true);
            r.out(QStringLiteral("the history plot is open"));
        }
        QTemporaryDir recordings;
        const QString recordingPath = recordings.filePath(QStringLiteral("bench.csv"));
        int recordedFrom = 0;
        if (o.record) {
            answerNextFileDialog(window, recordingPath);
            child<QAction>(window, "actionRecord")->trigger();
            recordedFrom = hub.recordsSent();
            r.out(QStringLiteral("recording to %1").arg(recordingPath));
        }
        spin(2000);   // the connection's own work is over before anything is measured
        r.out(QStringLiteral("resident memory once streaming: %1 KiB").arg(processResidentKb()));
        const auto reportRecording = [&] {
            if (!o.record)
                return;
            child<QAction>(window, "actionRecord")->trigger();
            const int sent = hub.recordsSent() - recordedFrom;
            spin(500);
            QFile file(recordingPath);
            file.open(QIODevice::ReadOnly);
            const int rows = int(file.readAll().count('\n')) - 1;
            r.out(QStringLiteral("recording: %1 rows for %2 records sent while it ran (%3 not written, "
                                 "records of the old output on the wire at each switch among them)")
                      .arg(rows).arg(sent).arg(sent - rows));
        };
        r.markdown << QStringLiteral("| configuration | sent /s | decoded /s | redraws /s | dropped by the reader / "
                                     "lost | write->text median / p99 ms | age shown median / p99 ms | age painted "
                                     "median / p99 ms | age budget ms | GUI CPU | worker CPU | most queued display "
                                     "calls | GUI event wait p99 ms | RSS KiB | others' cores |")
                   << QStringLiteral("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|");
        QVector<Config> configs;
        for (double factor : {1.0, 10.0}) {
            for (char display : {'B', 'T'}) {
                for (char mode : {'P', 'F'})
                    configs.append(Config {display, mode, factor, o.window});
            }
        }
        // The long look at memory: the fastest stream the bench makes, last, so
        // that whatever it leaves behind cannot spoil another configuration.
        std::stable_partition(configs.begin(), configs.end(),
                              [](const Config &c) { return !(c.factor > 1 && c.display == 'B' && c.mode == 'P'); });
        const QVector<Config> sweepConfigs = configs;
        if (o.compareRounds == 0)
            configs.last().seconds = o.memoryWindow;
        for (const Config &c : configs) {
            if (!o.only.isEmpty()
                && std::none_of(o.only.begin(), o.only.end(), [&](const QString &n) { return c.name().contains(n); }))
                continue;
            if (!switchTo(c)) {
                r.out(QStringLiteral("%1: the hub did not switch; skipped").arg(c.name()));
                continue;
            }
            if (o.compareRounds > 0)
                compare(c, lineBytes);
            else
                measure(c, lineBytes);
        }
        reportRecording();
        if (!compareRows.isEmpty()) {
            r.markdown << QString()
                       << QStringLiteral("| configuration | GUI CPU, plot closed | GUI CPU, plot open | "
                                         "open / closed | of it in the plot window's events | "
                                         "each round, closed -> open | "
                                         "age shown p99 closed / open ms | others' cores closed / open | "
                                         "load average closed / open |")
                       << QStringLiteral("|---|---|---|---|---|---|---|---|---|");
            r.markdown << compareRows;
        }
        if (o.sweepSeconds > 0)
            sweepRecording(sweepConfigs);
    }
    if (o.upload) {
        if (!o.stream && !connectWindow()) {
            r.out(QStringLiteral("the window never showed a record; stopping"));
            return 1;
        }
        upload();
    }
    r.out(QStringLiteral("load at the end: %1").arg(loadAverage()));
    delete sampler;
    sampler = nullptr;
    delete window;
    window = nullptr;
    return 0;
}

} // namespace

// The offscreen platform warns on every dialog it cannot size; nothing to do with us.
void quietHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.contains(QLatin1String("propagateSizeHints")))
        return;
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
    if (type == QtFatalMsg)
        std::abort();
}

int main(int argc, char *argv[])
{
    qInstallMessageHandler(quietHandler);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    PerfApplication application(argc, argv);

    Options o;
    const QStringList args = application.arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString &a = args.at(i);
        const auto next = [&] { return i + 1 < args.size() ? args.at(++i) : QString(); };
        if (a == QLatin1String("--quick")) {
            o.quick = true;
            o.window = 1.5;
            o.memoryWindow = 3;
            o.settle = 0.5;
            o.uploadKiB = 8;
        } else if (a == QLatin1String("--window")) {
            o.window = next().toDouble();
        } else if (a == QLatin1String("--memory-window")) {
            o.memoryWindow = next().toDouble();
        } else if (a == QLatin1String("--upload-kib")) {
            o.uploadKiB = next().toInt();
        } else if (a == QLatin1String("--no-stream")) {
            o.stream = false;
        } else if (a == QLatin1String("--no-upload")) {
            o.upload = false;
        } else if (a == QLatin1String("--markdown")) {
            o.markdown = next();
        } else if (a == QLatin1String("--history")) {
            o.history = true;
        } else if (a == QLatin1String("--record")) {
            o.record = true;
        } else if (a == QLatin1String("--only")) {
            o.only << next();
        } else if (a == QLatin1String("--history-compare")) {
            o.compareRounds = std::max(1, o.compareRounds);
        } else if (a == QLatin1String("--rounds")) {
            o.compareRounds = std::max(1, next().toInt());
        } else if (a == QLatin1String("--sweep")) {
            o.sweepSeconds = o.quick ? 1.5 : 5;
        } else if (a == QLatin1String("--plot-hints")) {
            o.plotHints = next().split(QLatin1Char(','));
        } else if (a == QLatin1String("--sweep-seconds")) {
            o.sweepSeconds = std::max(0.5, next().toDouble());
        } else {
            std::fprintf(stderr,
                         "usage: pellix-perf [--quick] [--window S] [--memory-window S] [--upload-kib K]\n"
                         "                   [--no-stream] [--no-upload] [--markdown FILE] [--only NAME]...\n"
                         "                   [--history] [--record] [--history-compare] [--rounds N]\n"
                         "                   [--sweep] [--sweep-seconds S] [--plot-hints LIST]\n");
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
