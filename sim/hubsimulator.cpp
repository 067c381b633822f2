// SPDX-License-Identifier: GPL-3.0-or-later
#include "hubsimulator.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr double kBaud = 115200.0;
constexpr double kBitsPerByte = 10.0; // start bit, 8 data bits, stop bit

// The following are real time whatever the speed factor: they are races against the
// program's own real-time waits, not part of the hub's pace.
// Streaming resumes on its own this long after "HCF" when no "RRI" follows.
constexpr milliseconds kHandshakePause(1000);
// The hub re-enumerates after "TUF"; by then nothing it sent before is left for the host.
constexpr milliseconds kBootFlushDelay(20);
// The program reads the last block's acknowledgement as one line and only then starts a
// fresh wait; a final reply already sitting in its buffer would never wake that wait.
constexpr milliseconds kFinalReplyGap(50);
// Between the last record and the pty's closing, for the reader to take that record.
// Back-off after the pty refused a write (nobody reads).
constexpr milliseconds kRetryAfterFull(2);

// A write this late against its deadline restarts the pacing from now instead of
// bursting to catch up (after a pause, a stall of the machine, ...).
constexpr milliseconds kLateLimit(20);

constexpr int kBlockSize = 8;

// Upper case only, as the hub's command set has it: a host that sends "c0f" or "C0f"
// is wrong, and the hub ignores it rather than hide that.
bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

int hexValue(char c)
{
    return c <= '9' ? c - '0' : c - 'A' + 10;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// 1: `in` starts with the whole literal; 0: `in` is a proper prefix of it (wait for more);
// -1: it cannot become the literal.
int matchLiteral(const QByteArray &in, const char *literal)
{
    for (int i = 0; literal[i]; ++i) {
        if (i >= in.size())
            return 0;
        if (in.at(i) != literal[i])
            return -1;
    }
    return 1;
}

// One sensor of the moving scene: a slow sine around a centre distance.
struct SceneSensor
{
    double centre;
    double amplitude;
    double periodS;
    double phase;
};

const SceneSensor kScene[8] = {
    {900, 500, 7.0, 0.0},
    {1500, 900, 11.0, 1.0},
    {2400, 1400, 17.0, 2.0},
    {600, 250, 5.0, 0.5},
    {3000, 1800, 23.0, 4.0},
    {1200, 1000, 13.0, 3.0}, // out of range (0) whenever it swings low
    {3600, 1000, 19.0, 1.5}, // beyond 4000 mm at the top of its swing
    {2000, 600, 29.0, 5.0},
};
constexpr int kOutOfRangeSensor = 5;

} // namespace

HubSimulator::HubSimulator()
    : m_rng(std::random_device{}())
{
    m_timeouts.fill(-1);
}

HubSimulator::~HubSimulator()
{
    stop();
}

bool HubSimulator::start()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_running)
        return true;

    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        return false;

    // A fresh pty echoes and waits for whole lines until the program sets it up; the
    // hub's bytes must sit in it unchanged even before the program opens the port.
    termios tio{};
    if (::tcgetattr(slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::cfsetispeed(&tio, B115200);
        ::cfsetospeed(&tio, B115200);
        ::tcsetattr(slave, TCSANOW, &tio);
    }
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);

    if (::pipe2(m_wakeFds, O_NONBLOCK | O_CLOEXEC) != 0) {
        ::close(master);
        ::close(slave);
        return false;
    }

    const char *name = ::ptsname(master);
    m_portPath = name ? QString::fromLocal8Bit(name) : QString();
    m_masterFd = master;
    m_slaveFd = slave;
    m_closed = false;
    m_stopRequested = false;

    const Clock::time_point now = Clock::now();
    m_sceneStart = now;
    m_wireFree = now;
    m_lastWrite = now;
    m_nextRecordAt = now;
    m_retryAt = now;
    if (m_inBootLoader)
        enterBootLoader(now);

    m_running = true;
    m_thread = std::thread([this] { serve(); });
    return true;
}

void HubSimulator::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_running)
            return;
        m_stopRequested = true;
        wake();
    }
    m_thread.join();

    std::lock_guard<std::mutex> lock(m_mutex);
    closePty();
    for (int &fd : m_wakeFds) {
        ::close(fd);
        fd = -1;
    }
    m_running = false;
}

QString HubSimulator::portPath() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_portPath;
}

// ---------------------------------------------------------------------------
// Serving thread

void HubSimulator::serve()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopRequested && m_masterFd >= 0) {
        const Clock::time_point next = runDue(Clock::now());
        if (m_masterFd < 0)
            break;

        pollfd fds[2] = {{m_masterFd, POLLIN, 0}, {m_wakeFds[0], POLLIN, 0}};
        timespec ts{1, 0};
        const Clock::time_point now = Clock::now();
        if (next <= now) {
            ts = {0, 0};
        } else if (next - now < std::chrono::seconds(1)) {
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(next - now).count();
            ts = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        }

        lock.unlock();
        const int ready = ::ppoll(fds, 2, &ts, nullptr);
        lock.lock();

        if (ready <= 0)
            continue;
        if (fds[1].revents & POLLIN) {
            char drain[64];
            while (::read(m_wakeFds[0], drain, sizeof drain) > 0) {
            }
        }
        if (fds[0].revents & POLLIN) {
            readInput(Clock::now());
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            // Should not happen while the slave is held, but never spin on it.
            lock.unlock();
            std::this_thread::sleep_for(milliseconds(10));
            lock.lock();
        }
    }
}

// Does everything whose time has come; returns when to look again.
Clock::time_point HubSimulator::runDue(Clock::time_point now)
{
    Clock::time_point next = Clock::time_point::max();

    if (m_bootFlushPending) {
        if (now >= m_bootFlushAt)
            flushHostInput();
        else
            next = std::min(next, m_bootFlushAt);
    }
    if (m_inHandshake && now >= m_handshakeEnds)
        m_inHandshake = false;

    if (m_closeAfterRecords >= 0 && m_recordsSent >= m_closeAfterRecords && !tailPending()) {
        // Unplugged once the last record has left: a reader that keeps up gets all of them.
        const Clock::time_point at = std::max(m_wireFree, m_lastWrite + milliseconds(m_closeGraceMs));
        if (now < at)
            return std::min(next, at);
        closePty();
        return next;
    }

    if (!sendReplies(now, next))
        return next;

    if (m_silent)
        return next;

    // Raw bytes go out at once when there is no record slot to take their place.
    if (!m_raw.empty() && (!m_streaming || m_inBootLoader)) {
        const Clock::time_point due = std::max(m_wireFree, m_retryAt);
        if (due > now)
            return std::min(next, due);
        if (m_bootFlushPending)
            flushHostInput();
        sendRawNow(due, now);
        return std::min(next, now);
    }

    if (recordsFlowing(now)) {
        const Clock::time_point due = std::max({m_nextRecordAt, m_wireFree, m_retryAt});
        if (due > now)
            return std::min(next, due);
        sendRecord(due, now);
        return std::min(next, now); // look at the input before the next one
    }
    if (m_inHandshake && !m_streamDuringHandshake && m_streaming && !m_inBootLoader)
        next = std::min(next, m_handshakeEnds);
    return next;
}

// Replies first; a record only goes out on an empty queue, so an answer never
// waits behind more than the record already on the wire. False when something
// must wait (next says till when) or the port has closed.
bool HubSimulator::sendReplies(Clock::time_point now, Clock::time_point &next)
{
    while (!m_output.empty()) {
        Output &out = m_output.front();
        Clock::time_point ready = std::max(m_wireFree, std::max(m_lastWrite, out.enqueued) + out.delay);
        if (out.recordTail)
            ready = std::max(ready, m_retryAt);
        if (ready > now) {
            next = std::min(next, ready);
            return false;
        }

        if (m_bootFlushPending)
            flushHostInput(); // a reply must never be flushed away with the old records
        const qint64 written = writeOut(out.bytes, ready, now);
        if (written > 0 && written < out.bytes.size()) {
            // Half a line is worse than none: the rest goes out as soon as there is room.
            out.bytes.remove(0, int(written));
            out.recordTail = true;
            out.delay = Clock::duration::zero();
            continue;
        }
        if (written <= 0 && out.recordTail) {
            next = std::min(next, m_retryAt);
            return false;
        }
        const After after = out.after;
        m_output.pop_front();
        afterWrite(after, now);
        if (m_masterFd < 0)
            return false;
    }
    return true;
}

void HubSimulator::readInput(Clock::time_point now)
{
    char buf[4096];
    bool got = false;
    for (;;) {
        const ssize_t n = ::read(m_masterFd, buf, sizeof buf);
        if (n <= 0)
            break;
        m_received.append(buf, int(n));
        m_input.append(buf, int(n));
        got = true;
    }
    if (!got)
        return;
    m_receivedChanged.notify_all();

    while (!m_input.isEmpty() && m_masterFd >= 0) {
        const int used = m_inBootLoader ? bootStep(now) : firmwareStep(now);
        if (used == 0)
            break; // a command is still arriving
        m_input.remove(0, used);
    }
}

// Commands carry no terminator, so they are told apart by their bytes; anything that
// cannot start a command is skipped a byte at a time until the stream makes sense again.
int HubSimulator::firmwareStep(Clock::time_point now)
{
    const QByteArray &in = m_input;
    auto literal = [&](const char *text, auto action) {
        const int m = matchLiteral(in, text);
        if (m < 0)
            return 1;
        if (m == 0)
            return 0;
        action();
        return 3;
    };

    switch (in.at(0)) {
    case 'H':
        return literal("HCF", [&] { answerConfigQuery(now); });
    case 'R':
        return literal("RRI", [&] { answerIdentification(now); });
    case 'B':
        return literal("BBB", [&] { m_displayMode = 'B'; });
    case 'F':
        return literal("FFF", [&] { m_operatingMode = 'F'; });
    case 'P':
        return literal("PPP", [&] { m_operatingMode = 'P'; });
    case 'C':
        for (int i = 1; i < 3; ++i) {
            if (i >= in.size())
                return 0;
            if (!isHexDigit(in.at(i)))
                return 1;
        }
        m_mask = quint8(hexValue(in.at(1)) * 16 + hexValue(in.at(2)));
        return 3;
    case 'T':
        // "TTT", "TUF" and the timeout command share their first byte.
        if (in.size() < 2)
            return 0;
        if (in.at(1) == 'T')
            return literal("TTT", [&] { m_displayMode = 'T'; });
        if (in.at(1) == 'U')
            return literal("TUF", [&] { enterBootLoader(now); });
        if (in.at(1) >= '0' && in.at(1) <= '7') {
            for (int i = 2; i < 5; ++i) {
                if (i >= in.size())
                    return 0;
                if (!isDigit(in.at(i)))
                    return 1;
            }
            m_timeouts[in.at(1) - '0'] = in.mid(2, 3).toInt();
            return 5;
        }
        return 1;
    default:
        return 1;
    }
}

int HubSimulator::bootStep(Clock::time_point now)
{
    const QByteArray &in = m_input;

    if (m_bootState == BootState::Receiving) {
        const int want = int(std::min<quint32>(kBlockSize, m_announcedSize - m_imageTaken));
        const int take = std::min(want - m_block.size(), in.size());
        m_block.append(in.constData(), take);
        if (m_block.size() == want)
            blockComplete(now);
        return take;
    }

    const char c = in.at(0);
    if (c == 0x11) {
        eraseRequest(now);
        return 1;
    }
    if (c == 0x22 && m_bootState == BootState::Idle) {
        if (in.size() < 5)
            return 0;
        const auto byte = [&](int i) { return quint32(quint8(in.at(i))); };
        sizeHeader((byte(1) << 24) | (byte(2) << 16) | (byte(3) << 8) | byte(4), now);
        return 5;
    }
    if (c == 'H') {
        const int m = matchLiteral(in, "HCF");
        if (m == 0)
            return 0;
        if (m > 0) {
            enqueue("BOOTM\r\n", now);
            return 3;
        }
    }
    return 1; // stray bytes ("TUF" again, say) mean nothing to the boot loader
}

void HubSimulator::answerConfigQuery(Clock::time_point now)
{
    m_inHandshake = true;
    m_handshakeEnds = now + kHandshakePause;
    if (m_silent || m_noConfigReply)
        return;
    if (!m_streamDuringHandshake) {
        // Records that were on their way when the query came must not stand before the
        // reply: one of their bytes could pass for its "C".
        dropRecordTails();
        flushHostInput();
    }
    QByteArray reply = "C" + QByteArray::number(m_mask, 16).toUpper().rightJustified(2, '0');
    reply += m_operatingMode;
    reply += m_displayMode;
    reply += "\r\n";
    if (m_splitConfigMs > 0) {
        enqueue(reply.left(2), now);
        enqueue(reply.mid(2), now, milliseconds(m_splitConfigMs));
    } else {
        enqueue(reply, now);
    }
}

void HubSimulator::answerIdentification(Clock::time_point now)
{
    if (m_noIdentification)
        return;
    QByteArray line = m_identificationLine;
    if (line.isEmpty())
        line = "ID PXHUB " + m_serial + ' ' + m_version + ' ' + m_type + "\r\n";
    enqueue(line, now, Clock::duration::zero(), After::EndHandshake);
}

void HubSimulator::eraseRequest(Clock::time_point now)
{
    m_eraseRequested = true;
    m_sessionFinished = false;
    m_bootState = BootState::Idle;
    m_block.clear();
    enqueueBootReply(QByteArray(1, m_eraseReply) + "\r\n", now, hubTime(m_eraseMs));
}

void HubSimulator::sizeHeader(quint32 size, Clock::time_point now)
{
    m_announcedSize = size;
    m_image.clear();
    m_blockSizes.clear();
    m_block.clear();
    m_imageTaken = 0;
    m_blockIndex = 0;
    m_blocksAcked = 0;
    m_sessionFinished = false;
    if (m_noHeaderReply) {
        m_bootState = BootState::Over;
        return;
    }
    enqueueBootReply(QByteArray(1, m_headerReply) + "\r\n", now);
    if (m_headerReply != 0x01)
        m_bootState = BootState::Over;
    else if (size == 0)
        queueFinalReply(now);
    else
        m_bootState = BootState::Receiving;
}

void HubSimulator::blockComplete(Clock::time_point now)
{
    m_image += m_block;
    m_blockSizes.append(m_block.size());
    m_imageTaken += quint32(m_block.size());
    m_block.clear();
    const int index = m_blockIndex++;
    const bool last = m_imageTaken >= m_announcedSize;
    if (last)
        m_bootState = BootState::Idle;
    if (m_bootMute)
        return;

    if (index == m_closeAtBlock) {
        closePty(); // unplugged in the middle of the upload
        return;
    }
    if (index == m_refuseBlock) {
        enqueueBootReply(QByteArray(1, m_refuseByte) + "\r\n", now);
        m_bootState = BootState::Over;
        return;
    }
    if (m_bootSilentAfter >= 0 && m_blocksAcked >= m_bootSilentAfter) {
        m_bootMute = true;
        return;
    }
    enqueueBootReply(QByteArray("\x01\r\n", 3), now);
    ++m_blocksAcked;
    if (last)
        queueFinalReply(now);
}

void HubSimulator::queueFinalReply(Clock::time_point now)
{
    m_bootState = BootState::Idle;
    if (m_noFinalReply)
        return;
    enqueueBootReply(QByteArray(1, m_finalByte) + "\r\n", now, kFinalReplyGap, After::SessionEnd);
}

void HubSimulator::enqueueBootReply(const QByteArray &reply, Clock::time_point now, Clock::duration delay, After after)
{
    if (m_splitBootRepliesMs <= 0) {
        enqueue(reply, now, delay, after);
        return;
    }
    enqueue(reply.left(1), now, delay);
    // Counted from the first byte's write.
    enqueue(reply.mid(1), now, milliseconds(m_splitBootRepliesMs), after);
}

void HubSimulator::enqueue(const QByteArray &bytes, Clock::time_point now, Clock::duration delay, After after)
{
    if (m_silent || (m_inBootLoader && m_bootMute))
        return;
    m_output.push_back(Output{bytes, delay, now, after, false});
}

// One write() per record or reply: the program reads lines whole. Returns the bytes the
// pty took (0 when it was full: the bytes are dropped as a real hub's would be).
qint64 HubSimulator::writeOut(const QByteArray &bytes, Clock::time_point due, Clock::time_point now)
{
    if (m_masterFd < 0 || bytes.isEmpty())
        return 0;
    const ssize_t n = ::write(m_masterFd, bytes.constData(), size_t(bytes.size()));
    if (n <= 0) {
        m_retryAt = now + kRetryAfterFull;
        return 0;
    }
    m_lastWrite = now;
    m_bytesSent += n;
    // Pace from the deadline, not from the moment we woke up, so the rate does not drift.
    const Clock::time_point start = (now - due > kLateLimit) ? now : due;
    m_wireFree = start + byteTime() * n;
    return n;
}

void HubSimulator::afterWrite(After after, Clock::time_point now)
{
    Q_UNUSED(now)
    switch (after) {
    case After::Nothing:
        break;
    case After::EndHandshake:
        m_inHandshake = false;
        break;
    case After::SessionEnd:
        m_sessionFinished = true;
        if (m_finalByte == 0x06)
            leaveBootLoader();
        break;
    }
}

void HubSimulator::sendRecord(Clock::time_point due, Clock::time_point now)
{
    const Clock::duration period = cyclePeriod();

    if (!m_raw.empty()) {
        sendRawNow(due, now);
        m_nextRecordAt = m_wireFree + period;
        return;
    }

    const int scriptIndex = (m_scene == Scene::Script && !m_script.isEmpty()) ? m_scriptPos % m_script.size() : -1;
    QByteArray record = nextRecord(now);
    if (m_partial && m_recordsSent % 2 == 1)
        record.truncate(record.size() / 2);
    if (m_garbage)
        record.prepend(garbage());

    // Taken before the write: the program may have read the record before write() returns.
    const qint64 writeNs = m_logRecords ? std::chrono::duration_cast<std::chrono::nanoseconds>(
                                              Clock::now().time_since_epoch())
                                              .count()
                                        : 0;
    const qint64 written = writeOut(record, due, now);
    if (written <= 0) {
        // Nobody reads: the record is lost, the cycle goes on.
        m_nextRecordAt = due + byteTime() * record.size() + period;
        return;
    }
    ++m_recordsSent;
    if (m_logRecords)
        m_recordLog.append({writeNs, scriptIndex});
    if (written < record.size())
        m_output.push_front(Output{record.mid(int(written)), Clock::duration::zero(), now, After::Nothing, true});
    m_nextRecordAt = m_wireFree + period;
}

// A hostile stream is only a test of the host when all of it arrives: the part that a
// full pty did not take goes out first when there is room again, as a record's tail does.
void HubSimulator::sendRawNow(Clock::time_point due, Clock::time_point now)
{
    const QByteArray raw = m_raw.front();
    m_raw.pop_front();
    const qint64 written = std::max<qint64>(0, writeOut(raw, due, now));
    if (written < raw.size())
        m_output.push_front(Output{raw.mid(int(written)), Clock::duration::zero(), now, After::Nothing, true});
}

QByteArray HubSimulator::nextRecord(Clock::time_point now)
{
    const Readings r = nextReadings(now);
    QByteArray out;
    if (m_displayMode == 'T') {
        out = "PH";
        for (qint16 v : r) {
            out += '\t';
            out += QByteArray::number(v);
        }
        out += "\r\n";
    } else {
        out.reserve(19);
        out += "PH";
        for (qint16 v : r) {
            out += char(quint16(v) >> 8);
            out += char(quint16(v) & 0xFF);
        }
        out += char(m_sequence++);
    }
    return out;
}

HubSimulator::Readings HubSimulator::nextReadings(Clock::time_point now)
{
    if (m_scene == Scene::Fixed)
        return m_fixed;
    if (m_scene == Scene::Script && !m_script.isEmpty()) {
        const Readings r = m_script.at(m_scriptPos % m_script.size());
        m_scriptPos = (m_scriptPos + 1) % m_script.size();
        return r;
    }
    if (m_scene == Scene::Sweep) {
        Readings r{};
        for (int k = 0; k < 8; ++k)
            r[size_t(k)] = qint16(quint16(m_sweepPos * 8 + k));
        m_sweepPos = (m_sweepPos + 1) % SweepRecords;
        return r;
    }

    const double t = std::chrono::duration<double>(now - m_sceneStart).count();
    std::normal_distribution<double> noise(0.0, m_operatingMode == 'F' ? 12.0 : 3.0);
    Readings r{};
    for (int i = 0; i < 8; ++i) {
        const SceneSensor &s = kScene[i];
        const double wave = std::sin(2.0 * M_PI * t / s.periodS + s.phase);
        if (i == kOutOfRangeSensor && wave < -0.2) {
            r[i] = 0;
            continue;
        }
        const double mm = s.centre + s.amplitude * wave + noise(m_rng);
        r[i] = qint16(std::clamp(std::lround(mm), 1L, 32767L));
    }
    return r;
}

// Line noise between records: never a "P" or an "H" (so no false header, even next to a
// record's own bytes) and never a line end (the text reader would split on it).
QByteArray HubSimulator::garbage()
{
    std::uniform_int_distribution<int> count(1, 6);
    std::uniform_int_distribution<int> byte(0, 255);
    QByteArray out;
    for (int n = count(m_rng); n > 0;) {
        const char c = char(byte(m_rng));
        if (c == 'P' || c == 'H' || c == '\n')
            continue;
        out += c;
        --n;
    }
    return out;
}

bool HubSimulator::recordsFlowing(Clock::time_point now) const
{
    if (!m_streaming || m_silent || m_inBootLoader)
        return false;
    return !m_inHandshake || m_streamDuringHandshake || now >= m_handshakeEnds;
}

bool HubSimulator::tailPending() const
{
    return std::any_of(m_output.begin(), m_output.end(), [](const Output &o) { return o.recordTail; });
}

void HubSimulator::dropRecordTails()
{
    m_output.erase(std::remove_if(m_output.begin(), m_output.end(),
                                  [](const Output &o) { return o.recordTail; }),
                   m_output.end());
}

// Discards what the hub sent and the host has not read yet.
void HubSimulator::flushHostInput()
{
    m_bootFlushPending = false;
    if (m_slaveFd >= 0)
        ::tcflush(m_slaveFd, TCIFLUSH);
}

void HubSimulator::enterBootLoader(Clock::time_point now)
{
    m_inBootLoader = true;
    m_bootState = BootState::Idle;
    m_bootMute = false;
    m_block.clear();
    m_output.clear();
    m_inHandshake = false;
    // Once now for what is already queued, and again a little later for anything the
    // host's driver still had in flight.
    flushHostInput();
    m_bootFlushPending = true;
    m_bootFlushAt = now + kBootFlushDelay;
}

void HubSimulator::leaveBootLoader()
{
    m_inBootLoader = false;
    m_bootState = BootState::Idle;
    m_bootMute = false;
    m_block.clear();
    // The firmware starts quiet and streams once it has been asked who it is.
    m_inHandshake = true;
    m_handshakeEnds = Clock::time_point::max();
}

void HubSimulator::closePty()
{
    if (m_masterFd >= 0)
        ::close(m_masterFd);
    if (m_slaveFd >= 0)
        ::close(m_slaveFd);
    if (m_masterFd >= 0 || m_slaveFd >= 0)
        m_closed = true;
    m_masterFd = -1;
    m_slaveFd = -1;
    m_output.clear();
}

void HubSimulator::wake() const
{
    if (m_wakeFds[1] >= 0) {
        const char c = 0;
        const ssize_t ignored = ::write(m_wakeFds[1], &c, 1); // full pipe: already awake
        Q_UNUSED(ignored)
    }
}

Clock::duration HubSimulator::hubTime(double ms) const
{
    if (m_speedFactor <= 0 || ms <= 0)
        return Clock::duration::zero();
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(ms / m_speedFactor));
}

// Unpaced, the period is the only pacing left, so it keeps its real length.
Clock::duration HubSimulator::cyclePeriod() const
{
    if (m_speedFactor > 0)
        return hubTime(m_cyclePeriodMs);
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(m_cyclePeriodMs));
}

Clock::duration HubSimulator::byteTime() const
{
    return hubTime(1000.0 * kBitsPerByte / kBaud);
}

// ---------------------------------------------------------------------------
// Public setters and observers. Every setter wakes the serving thread, which then
// works out its next deadline afresh.

void HubSimulator::setMask(quint8 mask)
{
    change([&] { m_mask = mask; });
}
void HubSimulator::setOperatingMode(char mode)
{
    change([&] { m_operatingMode = mode; });
}
void HubSimulator::setDisplayMode(char mode)
{
    change([&] { m_displayMode = mode; });
}

void HubSimulator::setIdentity(const QByteArray &serial, const QByteArray &version, const QByteArray &type)
{
    change([&] { m_serial = serial; m_version = version; m_type = type; m_identificationLine.clear(); });
}

void HubSimulator::setSerial(const QByteArray &serial)
{
    change([&] { m_serial = serial; m_identificationLine.clear(); });
}

void HubSimulator::setIdentificationLine(const QByteArray &lineWithEnding)
{
    change([&] { m_identificationLine = lineWithEnding; });
}

void HubSimulator::setSpeedFactor(double factor)
{
    change([&] { m_speedFactor = std::max(0.0, factor); });
}
void HubSimulator::setCyclePeriodMs(double ms)
{
    change([&] { m_cyclePeriodMs = std::max(0.0, ms); });
}
void HubSimulator::setStreaming(bool on)
{
    change([&] { m_streaming = on; });
}
void HubSimulator::setNoConfigReply(bool on)
{
    change([&] { m_noConfigReply = on; });
}
void HubSimulator::setStreamDuringHandshake(bool on)
{
    change([&] { m_streamDuringHandshake = on; });
}
void HubSimulator::setEraseMs(double ms)
{
    change([&] { m_eraseMs = std::max(0.0, ms); });
}

void HubSimulator::setMovingScene()
{
    change([&] { m_scene = Scene::Moving; });
}
void HubSimulator::setFixedReadings(const Readings &values)
{
    change([&] { m_fixed = values; m_scene = Scene::Fixed; });
}

void HubSimulator::setScript(const QVector<Readings> &records)
{
    change([&] { m_script = records; m_scriptPos = 0; m_scene = records.isEmpty() ? Scene::Moving : Scene::Script; });
}

void HubSimulator::setSweep()
{
    change([&] { m_sweepPos = 0; m_scene = Scene::Sweep; });
}

void HubSimulator::sendRaw(const QByteArray &bytes)
{
    if (!bytes.isEmpty())
        change([&] { m_raw.push_back(bytes); });
}

void HubSimulator::setSilent(bool on)
{
    change([&] {
        m_silent = on;
        if (on)
            m_output.clear();
    });
}

void HubSimulator::setStartInBootLoader(bool on)
{
    change([&] {
        if (on && !m_inBootLoader)
            enterBootLoader(Clock::now());
        else if (!on && m_inBootLoader)
            leaveBootLoader();
    });
}

void HubSimulator::setNoIdentification(bool on)
{
    change([&] { m_noIdentification = on; });
}
void HubSimulator::setSplitConfigReply(int delayMs)
{
    change([&] { m_splitConfigMs = std::max(0, delayMs); });
}
void HubSimulator::setSplitBootReplies(int delayMs)
{
    change([&] { m_splitBootRepliesMs = std::max(0, delayMs); });
}
void HubSimulator::setGarbageBetweenRecords(bool on)
{
    change([&] { m_garbage = on; });
}
void HubSimulator::setPartialRecords(bool on)
{
    change([&] { m_partial = on; });
}
void HubSimulator::setRefuseBlock(int k, char byte)
{
    change([&] { m_refuseBlock = k; m_refuseByte = byte; });
}
void HubSimulator::setEraseReply(char byte)
{
    change([&] { m_eraseReply = byte; });
}
void HubSimulator::setHeaderReply(char byte)
{
    change([&] { m_headerReply = byte; });
}
void HubSimulator::setFinalByte(char byte)
{
    change([&] { m_finalByte = byte; });
}
void HubSimulator::setNoFinalReply(bool on)
{
    change([&] { m_noFinalReply = on; });
}
void HubSimulator::setNoHeaderReply(bool on)
{
    change([&] { m_noHeaderReply = on; });
}
void HubSimulator::setBootLoaderSilentAfter(int blocks)
{
    change([&] { m_bootSilentAfter = blocks; });
}
void HubSimulator::setCloseAfterRecords(int records, int graceMs)
{
    change([&] {
        m_closeAfterRecords = records;
        m_closeGraceMs = graceMs;
    });
}
void HubSimulator::setCloseAtBlock(int k)
{
    change([&] { m_closeAtBlock = k; });
}

quint8 HubSimulator::mask() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_mask;
}

char HubSimulator::operatingMode() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_operatingMode;
}

char HubSimulator::displayMode() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_displayMode;
}

int HubSimulator::sensorTimeout(int sensor) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return (sensor >= 0 && sensor < 8) ? m_timeouts[size_t(sensor)] : -1;
}

bool HubSimulator::inBootLoader() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_inBootLoader;
}

QByteArray HubSimulator::received() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

void HubSimulator::clearReceived()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_received.clear();
}

bool HubSimulator::waitForReceived(int n, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_receivedChanged.wait_for(lock, milliseconds(std::max(0, timeoutMs)),
                                      [&] { return m_received.size() >= n; });
}

int HubSimulator::recordsSent() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_recordsSent;
}

qint64 HubSimulator::bytesSent() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bytesSent;
}

bool HubSimulator::eraseRequested() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_eraseRequested;
}

quint32 HubSimulator::announcedImageSize() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_announcedSize;
}

QByteArray HubSimulator::receivedImage() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_image;
}

QList<int> HubSimulator::blockSizes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_blockSizes;
}

bool HubSimulator::sessionFinished() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sessionFinished;
}

bool HubSimulator::closed() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closed;
}

void HubSimulator::setRecordLog(bool on)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_logRecords = on;
    if (!on)
        m_recordLog.clear();
}

QVector<HubSimulator::RecordWrite> HubSimulator::takeRecordLog()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QVector<RecordWrite> taken;
    taken.swap(m_recordLog);
    return taken;
}
