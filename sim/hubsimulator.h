// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef HUBSIMULATOR_H
#define HUBSIMULATOR_H

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVector>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <random>
#include <thread>

// A simulated sensor hub on the master side of a pseudo-terminal.
//
// The program under test opens portPath() with QSerialPort exactly as it would
// open the hub's USB port. The simulator answers the hub's commands, streams
// measurement records on its own and runs the boot-loader exchange, all from a
// thread of its own, so a test's event loop and the worker's thread are free to
// block. Every public member is safe to call from any thread.
class HubSimulator
{
public:
    using Readings = std::array<qint16, 8>;

    HubSimulator();
    ~HubSimulator();

    HubSimulator(const HubSimulator &) = delete;
    HubSimulator &operator=(const HubSimulator &) = delete;

    // Opens the pseudo-terminal and starts serving. False when no pty could be made.
    bool start();
    void stop();
    // The slave side, e.g. "/dev/pts/7": what the program opens.
    QString portPath() const;

    // --- Hub state (what "HCF" and "RRI" report; commands change it) ---
    void setMask(quint8 mask);
    quint8 mask() const;
    void setOperatingMode(char mode); // 'F' or 'P' (any byte is stored as given)
    char operatingMode() const;
    void setDisplayMode(char mode); // 'B' or 'T'
    char displayMode() const;
    void setIdentity(const QByteArray &serial, const QByteArray &version, const QByteArray &type);
    void setSerial(const QByteArray &serial);
    // Replaces the whole identification line (without "\r\n" added), for malformed-line tests.
    void setIdentificationLine(const QByteArray &lineWithEnding);
    // Last timeout set per sensor by a "T<digit>ddd" command; -1 until set.
    int sensorTimeout(int sensor) const;
    bool inBootLoader() const;

    // --- Timing ---
    // 1.0 paces output at 115200 baud (10 bits a byte); 100 sends a hundred times faster;
    // 0 sends without pacing. The factor scales the hub's own pace (wire, cycle period,
    // erase time). Times that race the program's real-time waits stay real: the split
    // configuration reply's pause, the 1 s after which streaming resumes without "RRI",
    // the 20 ms after "TUF" before old output is flushed, and the 50 ms before the final
    // boot-loader reply.
    void setSpeedFactor(double factor);
    // Time between two measurement records, in ms of the simulator's clock (divided by the
    // speed factor like everything else). Default 0: records follow each other as fast as
    // the (paced) wire carries them. With factor 0 the period is in real ms; factor 0 with
    // period 0 floods the pty (and keeps one core busy while someone reads).
    void setCyclePeriodMs(double ms);
    // Whether records stream at all (default true). A real hub goes on streaming whoever
    // listens: records that were on their way when "HCF" came, and records sent while it is
    // being asked, stand before, around and after its replies. After a finished upgrade
    // the hub stays quiet until it has been asked again.
    void setStreaming(bool on);
    // Keep streaming between "HCF" and "RRI" (default true). Off, the hub is kind: it
    // flushes what it had queued when "HCF" comes, so the reply comes first, and pauses
    // until it has answered "RRI" (or a second has passed).
    void setStreamDuringHandshake(bool on);
    // How long the boot loader takes to erase, in ms of the simulator's clock (default
    // 2500: a real erase takes seconds).
    void setEraseMs(double ms);

    // --- Readings ---
    // Default: a moving scene (each sensor its own slowly changing distance with noise,
    // some sensors out of range). Its readings, like the sequence byte after each binary
    // frame, take any value: also the bytes of a configuration reply ("C", hex digits).
    void setMovingScene();
    void setFixedReadings(const Readings &values);
    // Records are taken from the script in turn; after the last one the script repeats.
    void setScript(const QVector<Readings> &records);
    // Every 16-bit value in turn: record i (counted from this call) carries
    // (i * 8 + k) mod 65536, as a qint16, for sensor k, so SweepRecords records hold each
    // value once, and then the sweep starts over. Binary frames then carry every byte
    // pair, a header ("PH") and a line end among them, and text lines every number from
    // -32768 to 32767. A record's readings tell which record of the sweep it is; the
    // record log gives -1 for it, as it is not scripted.
    void setSweep();
    static constexpr int SweepRecords = 65536 / 8;
    // Sends these raw bytes once, in place of the next record (tests of hostile input).
    // With streaming off, or in the boot loader, they go out at once. All of them reach
    // the pty: what a full pty did not take goes out as soon as there is room.
    void sendRaw(const QByteArray &bytes);

    // --- Fault switches ---
    void setSilent(bool on);                // never answer anything, never stream
    void setStartInBootLoader(bool on);     // answer "HCF" with "BOOTM" from the start (while running: enter/leave now)
    void setNoIdentification(bool on);      // ignore "RRI"
    void setNoConfigReply(bool on);         // ignore "HCF" (and go on streaming)
    void setSplitConfigReply(int delayMs);  // 0 = one write; else "C" + first digit, pause (real ms), rest
    void setSplitBootReplies(int delayMs);  // 0 = one write; else the first byte, pause (real ms), the line end
    void setGarbageBetweenRecords(bool on); // random non-header bytes between records
    void setPartialRecords(bool on);        // every other record cut short
    void setRefuseBlock(int k, char byte);  // answer block k (0-based) with this byte, then wait for 0x11; k < 0: never
    void setEraseReply(char byte);          // default 0x01
    void setHeaderReply(char byte);         // default 0x01
    void setFinalByte(char byte);           // default 0x06
    void setNoFinalReply(bool on);
    void setNoHeaderReply(bool on);            // take the size header and say nothing, ever
    void setBootLoaderSilentAfter(int blocks); // stop answering after this many blocks; -1 never
    // Closes the pty graceMs after the last of this many records has left; -1 never.
    void setCloseAfterRecords(int records, int graceMs = 20);
    void setCloseAtBlock(int k); // close the pty when block k (0-based) arrives, unanswered; -1 never

    // --- Observation ---
    QByteArray received() const; // every byte the program wrote, in order
    void clearReceived();
    // Waits (sleeping, no event loop needed) until received() holds at least n bytes.
    bool waitForReceived(int n, int timeoutMs) const;
    int recordsSent() const;  // records written, cut ones included; not raw bytes
    qint64 bytesSent() const; // every byte the pty took from the hub, raw ones included
    bool eraseRequested() const;
    quint32 announcedImageSize() const; // from the 0x22 size header
    QByteArray receivedImage() const;   // the blocks, concatenated
    QList<int> blockSizes() const;      // since the last size header, a refused block included
    bool sessionFinished() const;       // the final reply was sent
    bool closed() const;                // the pty was closed (close mid-stream, stop)

    // --- Record log, for measuring the program's latency ---
    // Off by default: a log that nobody takes keeps growing. When on, every record written
    // is logged with the time just before its bytes went into the pty (std::chrono::steady_clock,
    // ns since that clock's epoch) and the script index of the readings it carries (-1 when
    // they are not scripted). A program that shows the readings can then tell which record
    // it shows and how old it is.
    struct RecordWrite
    {
        qint64 steadyNs;
        int scriptIndex;
    };
    void setRecordLog(bool on);
    QVector<RecordWrite> takeRecordLog(); // what was logged since the last call

private:
    using Clock = std::chrono::steady_clock;

    // What happens once a queued reply has gone out (or has been dropped: a real hub
    // moves on whether or not the host listened).
    enum class After { Nothing,
                       EndHandshake,
                       SessionEnd };
    struct Output
    {
        QByteArray bytes;
        Clock::duration delay; // after the previous write or the enqueueing, whichever is later
        Clock::time_point enqueued;
        After after = After::Nothing;
        bool recordTail = false; // rest of a record the pty took only in part
    };
    enum class BootState { Idle,
                           Receiving,
                           Over };
    enum class Scene { Moving,
                       Fixed,
                       Script,
                       Sweep };

    void serve();
    bool sendReplies(Clock::time_point now, Clock::time_point &next);
    Clock::time_point runDue(Clock::time_point now);
    void readInput(Clock::time_point now);
    int firmwareStep(Clock::time_point now);
    int bootStep(Clock::time_point now);
    void answerConfigQuery(Clock::time_point now);
    void answerIdentification(Clock::time_point now);
    void eraseRequest(Clock::time_point now);
    void sizeHeader(quint32 size, Clock::time_point now);
    void blockComplete(Clock::time_point now);
    void queueFinalReply(Clock::time_point now);
    void enqueue(const QByteArray &bytes, Clock::time_point now,
                 Clock::duration delay = Clock::duration::zero(), After after = After::Nothing);
    void enqueueBootReply(const QByteArray &reply, Clock::time_point now,
                          Clock::duration delay = Clock::duration::zero(), After after = After::Nothing);
    qint64 writeOut(const QByteArray &bytes, Clock::time_point due, Clock::time_point now);
    void afterWrite(After after, Clock::time_point now);
    void sendRecord(Clock::time_point due, Clock::time_point now);
    void sendRawNow(Clock::time_point due, Clock::time_point now);
    QByteArray nextRecord(Clock::time_point now);
    Readings nextReadings(Clock::time_point now);
    QByteArray garbage();
    bool recordsFlowing(Clock::time_point now) const;
    bool tailPending() const;
    void dropRecordTails();
    void flushHostInput();
    void enterBootLoader(Clock::time_point now);
    void leaveBootLoader();
    void closePty();
    void wake() const; // with the lock held
    Clock::duration hubTime(double ms) const;
    Clock::duration byteTime() const;
    Clock::duration cyclePeriod() const;
    // Runs f under the lock, then lets the serving thread work out its deadlines afresh.
    template <typename F>
    void change(F &&f)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        f();
        wake();
    }

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_receivedChanged;
    std::thread m_thread;
    bool m_running = false;
    bool m_stopRequested = false;
    int m_masterFd = -1;
    int m_slaveFd = -1; // held for the simulator's life: the program may close its own
    int m_wakeFds[2] = {-1, -1};
    QString m_portPath;

    // Hub state
    quint8 m_mask = 0x0F;
    char m_operatingMode = 'F';
    char m_displayMode = 'B';
    QByteArray m_serial = "1234";
    QByteArray m_version = "2.1.0";
    QByteArray m_type = "STD";
    QByteArray m_identificationLine; // empty: built from the three fields
    std::array<int, 8> m_timeouts;
    bool m_inBootLoader = false;

    // Timing and streaming
    double m_speedFactor = 1.0;
    double m_cyclePeriodMs = 0.0;
    bool m_streaming = true;
    bool m_streamDuringHandshake = true;
    double m_eraseMs = 2500.0;
    bool m_inHandshake = false;
    Clock::time_point m_handshakeEnds;

    // Readings
    Scene m_scene = Scene::Moving;
    Readings m_fixed{};
    QVector<Readings> m_script;
    int m_scriptPos = 0;
    int m_sweepPos = 0;
    bool m_logRecords = false;
    QVector<RecordWrite> m_recordLog;
    std::deque<QByteArray> m_raw;
    quint8 m_sequence = 0;
    Clock::time_point m_sceneStart;
    std::mt19937 m_rng;

    // Fault switches
    bool m_silent = false;
    bool m_noIdentification = false;
    bool m_noConfigReply = false;
    int m_splitConfigMs = 0;
    int m_splitBootRepliesMs = 0;
    bool m_garbage = false;
    bool m_partial = false;
    int m_refuseBlock = -1;
    char m_refuseByte = 0;
    char m_eraseReply = 0x01;
    char m_headerReply = 0x01;
    char m_finalByte = 0x06;
    bool m_noFinalReply = false;
    bool m_noHeaderReply = false;
    int m_bootSilentAfter = -1;
    int m_closeAfterRecords = -1;
    int m_closeGraceMs = 20;
    int m_closeAtBlock = -1;

    // Wire
    QByteArray m_input;
    std::deque<Output> m_output;
    Clock::time_point m_wireFree;
    Clock::time_point m_lastWrite;
    Clock::time_point m_nextRecordAt;
    Clock::time_point m_retryAt;
    bool m_bootFlushPending = false;
    Clock::time_point m_bootFlushAt;

    // Boot loader
    BootState m_bootState = BootState::Idle;
    bool m_bootMute = false;
    quint32 m_imageTaken = 0;
    QByteArray m_block;
    int m_blockIndex = 0;
    int m_blocksAcked = 0;

    // Observation
    QByteArray m_received;
    int m_recordsSent = 0;
    qint64 m_bytesSent = 0;
    bool m_eraseRequested = false;
    quint32 m_announcedSize = 0;
    QByteArray m_image;
    QList<int> m_blockSizes;
    bool m_sessionFinished = false;
    bool m_closed = false;
};

#endif // HUBSIMULATOR_H
