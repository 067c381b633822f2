// The simulated hub, seen from the host side of its pty with plain POSIX calls: every
// other test trusts these bytes, so they are checked here without the program's code.

#include "hubsimulator.h"

#include <QElapsedTimer>
#include <QtTest>

#include <functional>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

class HostPort
{
public:
    explicit HostPort(const QString &path)
    {
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios tio {};
        if (m_fd >= 0 && ::tcgetattr(m_fd, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(m_fd, TCSANOW, &tio);
        }
    }
    ~HostPort() { close(); }
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    bool isOpen() const { return m_fd >= 0; }
    bool peerGone() const { return m_peerGone; }
    int waiting() const
    {
        int n = 0;
        return ::ioctl(m_fd, FIONREAD, &n) == 0 ? n : -1;
    }

    void send(const QByteArray &bytes) { QCOMPARE(::write(m_fd, bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size())); }

    // Waits up to ms for data and takes what one read() gets, as a blocking wait would.
    QByteArray readOnce(int ms)
    {
        pollfd p {m_fd, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0)
            return {};
        char buf[65536];
        const ssize_t n = ::read(m_fd, buf, sizeof buf);
        if (n <= 0 || (p.revents & (POLLHUP | POLLERR)))
            m_peerGone = true;
        return n > 0 ? QByteArray(buf, int(n)) : QByteArray();
    }

    QByteArray readUntil(const std::function<bool(const QByteArray &)> &done, int ms)
    {
        QByteArray data;
        QElapsedTimer timer;
        timer.start();
        while (!done(data) && !m_peerGone && timer.elapsed() < ms)
            data += readOnce(int(ms - timer.elapsed()));
        return data;
    }

    QByteArray readFor(int ms) { return readUntil([](const QByteArray &) { return false; }, ms); }

    // Throws away what is waiting now.
    void drain()
    {
        while (!readOnce(0).isEmpty()) {
        }
    }

private:
    int m_fd = -1;
    bool m_peerGone = false;
};

bool hasLineEnd(const QByteArray &d) { return d.contains("\r\n"); }

// Sends a command and returns the reply line. It waits until the hub has taken the
// command before reading, so records that were already on their way cannot come first
// (the hub drops them when asked for its configuration).
QByteArray ask(HubSimulator &hub, HostPort &port, const QByteArray &command)
{
    hub.clearReceived();
    port.send(command);
    if (!hub.waitForReceived(command.size(), 1000))
        return "(command never arrived)";
    return port.readUntil(hasLineEnd, 1000);
}

const HubSimulator::Readings kFixed {{4000, -1, 0, 32767, -32768, 1200, 5, 70}};

QByteArray textLine(const HubSimulator::Readings &r)
{
    QByteArray line = "PH";
    for (qint16 v : r)
        line += '\t' + QByteArray::number(v);
    return line + "\r\n";
}

} // namespace

class TestHubSimulator : public QObject
{
    Q_OBJECT

private slots:
    void handshakeRepliesAndPausesStream();
    void commandsChangeState();
    void recordsInBothEncodings();
    void pacingFollowsSpeedFactor();
    void streamFaults();
    void bootLoaderFullExchange();
    void bootLoaderRefusedBlock();
    void closeMidStreamIsSeen();
    void portSurvivesReopen();
};

void TestHubSimulator::handshakeRepliesAndPausesStream()
{
    HubSimulator hub;
    hub.setMask(0xA5);
    hub.setOperatingMode('P');
    hub.setDisplayMode('T');
    hub.setIdentity("77", "2.0.1", "STD");
    hub.setFixedReadings(kFixed);
    hub.setSpeedFactor(0);
    hub.setCyclePeriodMs(1);
    QVERIFY(hub.start());
    HostPort port(hub.portPath());
    QVERIFY(port.isOpen());
    QVERIFY(port.readFor(20).contains(textLine(kFixed)));   // records stream before anyone asks

    QCOMPARE(ask(hub, port, "HCF"), QByteArray("CA5PT\r\n"));
    QVERIFY2(port.readFor(150).isEmpty(), "records must pause until the identification");
    QVERIFY(ask(hub, port, "RRI").startsWith("ID PXHUB 77 2.0.1 STD\r\n"));
    QVERIFY(port.readUntil([](const QByteArray &d) { return d.contains("PH\t"); }, 1000).contains("PH\t"));

    // A reply in two pieces: "C" with its first digit, the rest after the pause.
    hub.setSplitConfigReply(40);
    hub.setIdentificationLine("ID PXHUB broken\r\n");
    hub.clearReceived();
    port.send("HCF");
    QVERIFY(hub.waitForReceived(3, 1000));
    QCOMPARE(port.readOnce(1000), QByteArray("CA"));
    QElapsedTimer pause;
    pause.start();
    QCOMPARE(port.readUntil(hasLineEnd, 1000), QByteArray("5PT\r\n"));
    QVERIFY(pause.elapsed() >= 25);
    QVERIFY(ask(hub, port, "RRI").startsWith("ID PXHUB broken\r\n"));
}

void TestHubSimulator::commandsChangeState()
{
    HubSimulator hub;
    hub.setStreaming(false);
    hub.setSpeedFactor(0);
    QVERIFY(hub.start());
    QCOMPARE(hub.mask(), quint8(0x0F));
    QCOMPARE(hub.sensorTimeout(3), -1);
    HostPort port(hub.portPath());

    // Pieces arrive one by one, so commands split across reads must still be found, and
    // the three commands that start with "T" told apart by their second byte.
    const QList<QByteArray> pieces {"xC5A", "CG1", "PP", "P", "TT", "T", "T3", "25", "0", "T7000", "T9123"};
    QByteArray all;
    for (const QByteArray &piece : pieces) {
        port.send(piece);
        all += piece;
        QVERIFY(hub.waitForReceived(all.size(), 1000));
    }
    QCOMPARE(hub.received(), all);
    QCOMPARE(hub.mask(), quint8(0x5A));
    QCOMPARE(hub.operatingMode(), 'P');
    QCOMPARE(hub.displayMode(), 'T');
    QCOMPARE(hub.sensorTimeout(3), 250);
    QCOMPARE(hub.sensorTimeout(7), 0);
    QVERIFY(!hub.inBootLoader());

    port.send("HCF");
    QCOMPARE(port.readUntil(hasLineEnd, 1000), QByteArray("C5APT\r\n"));
    hub.clearReceived();
    port.send("FFFBBBC0fC81");   // lower-case digits are not the hub's
    QVERIFY(hub.waitForReceived(12, 1000));
    QCOMPARE(hub.operatingMode(), 'F');
    QCOMPARE(hub.displayMode(), 'B');
    QCOMPARE(hub.mask(), quint8(0x81));

    hub.clearReceived();
    port.send("TUF");
    QVERIFY(hub.waitForReceived(3, 1000));
    QVERIFY(hub.inBootLoader());
    port.send("HCF");
    QVERIFY(port.readUntil(hasLineEnd, 1000).contains("BOOTM"));
}

void TestHubSimulator::recordsInBothEncodings()
{
    HubSimulator hub;
    hub.setFixedReadings(kFixed);
    hub.setSpeedFactor(0);
    hub.setCyclePeriodMs(1);
    hub.setStreaming(false);
    QVERIFY(hub.start());
    HostPort port(hub.portPath());
    hub.setStreaming(true);

    const QByteArray frames = port.readUntil([](const QByteArray &d) { return d.size() >= 5 * 19; }, 2000);
    QVERIFY(frames.startsWith("PH"));
    QVERIFY(frames.size() >= 5 * 19);
    for (int f = 0; f + 19 <= frames.size(); f += 19) {
        QCOMPARE(frames.mid(f, 2), QByteArray("PH"));
        for (int k = 0; k < 8; ++k) {
            const auto hi = quint8(frames.at(f + 2 + 2 * k));
            const auto lo = quint8(frames.at(f + 3 + 2 * k));
            QCOMPARE(qint16(quint16(hi << 8 | lo)), kFixed[size_t(k)]);
        }
        if (f > 0)
            QCOMPARE(quint8(frames.at(f + 18)), quint8(frames.at(f - 1) + 1));
    }

    // Frames already on their way come first; "PH" and a tab start only a text line.
    port.send("TTT");
    QByteArray lines = port.readUntil([](const QByteArray &d) { return d.count("\r\nPH\t") >= 2; }, 2000);
    lines = lines.mid(lines.indexOf("PH\t"));
    QVERIFY(lines.startsWith(textLine(kFixed) + textLine(kFixed)));

    // A script plays its records in turn and starts over.
    const QVector<HubSimulator::Readings> script {{{1, 2, 3, 4, 5, 6, 7, 8}},
                                                 {{100, 200, 300, 400, 500, 600, 700, 800}},
                                                 {{-5, 0, 4321, 0, 0, 0, 0, 9999}}};
    hub.setScript(script);
    const QByteArray played = port.readUntil([](const QByteArray &d) { return d.count('\n') >= 12; }, 2000);
    const int first = played.indexOf(textLine(script[0]));
    QVERIFY(first >= 0);
    QVERIFY(played.mid(first).startsWith(textLine(script[0]) + textLine(script[1]) + textLine(script[2])
                                         + textLine(script[0])));
}

void TestHubSimulator::pacingFollowsSpeedFactor()
{
    HubSimulator hub;
    hub.setFixedReadings(kFixed);
    QVERIFY(hub.start());   // 115200 baud: one frame every 19 * 10 / 115200 s
    HostPort port(hub.portPath());
    port.drain();
    QElapsedTimer timer;
    timer.start();
    int frames = port.readFor(300).size() / 19;
    double ms = timer.elapsed();
    QVERIFY2(frames <= ms / 1.649 + 3, qPrintable(QStringLiteral("%1 frames in %2 ms").arg(frames).arg(ms)));
    QVERIFY(frames >= 40);

    // Factor 4 with a 20 ms period: 5 ms plus a quarter of the wire time per frame.
    hub.setSpeedFactor(4);
    hub.setCyclePeriodMs(20);
    port.readFor(20);
    port.drain();
    timer.restart();
    frames = port.readFor(300).size() / 19;
    ms = timer.elapsed();
    QVERIFY2(frames <= ms / 5.41 + 3, qPrintable(QStringLiteral("%1 frames in %2 ms").arg(frames).arg(ms)));
    QVERIFY(frames >= 15);
}

void TestHubSimulator::streamFaults()
{
    HubSimulator hub;
    hub.setDisplayMode('T');
    hub.setFixedReadings(kFixed);
    hub.setSpeedFactor(0);
    hub.setCyclePeriodMs(1);
    hub.setStreaming(false);
    hub.setGarbageBetweenRecords(true);
    hub.setPartialRecords(true);
    QVERIFY(hub.start());
    HostPort port(hub.portPath());
    hub.setStreaming(true);

    // Every line ends in a whole record; before it there is only noise without a line end
    // or a header of its own, and (but for the first line) the first half of a cut record.
    const QByteArray full = textLine(kFixed);
    const QByteArray data = port.readUntil([](const QByteArray &d) { return d.count('\n') >= 20; }, 2000);
    const QList<QByteArray> lines = data.left(data.lastIndexOf('\n') + 1).split('\n');
    int withCut = 0;
    for (int i = 0; i + 1 < lines.size(); ++i) {
        const QByteArray line = lines[i] + '\n';
        QVERIFY2(line.endsWith(full), line.toHex(' ').constData());
        const QByteArray before = line.left(line.size() - full.size());
        QVERIFY(!before.isEmpty());
        QVERIFY(before.count("PH") <= 1);
        if (before.contains("PH\t4000"))
            ++withCut;
    }
    QCOMPARE(withCut, lines.size() - 2);   // all lines but the first (records 1, 3, 5, ... are cut)

    // Silent: nothing at all, not even the reply to "HCF".
    hub.setSilent(true);
    port.readFor(20);
    port.send("HCF");
    QVERIFY(port.readFor(100).isEmpty());
}

void TestHubSimulator::bootLoaderFullExchange()
{
    HubSimulator hub;
    hub.setStartInBootLoader(true);
    hub.setSpeedFactor(0);
    QVERIFY(hub.start());
    HostPort port(hub.portPath());
    const QByteArray ack("\x01\r\n", 3);

    port.send("HCF");
    QVERIFY(port.readUntil(hasLineEnd, 1000).contains("BOOTM"));
    port.send("TUF");   // what the program sends on its way in; means nothing here
    port.send("\x11");
    QCOMPARE(port.readUntil(hasLineEnd, 1000), ack);
    QVERIFY(hub.eraseRequested());
    port.send(QByteArray("\x22\x00\x00\x00\x14", 5));
    QCOMPARE(port.readUntil(hasLineEnd, 1000), ack);
    QCOMPARE(hub.announcedImageSize(), quint32(20));

    QByteArray image;
    for (int i = 0; i < 20; ++i)
        image += char(0x11 * i);   // holds 0x11 and 0x22: data, not commands
    for (int at = 0; at < 20; at += 8) {
        port.send(image.mid(at, 8));
        // Exactly the acknowledgement: the final reply must not share its read.
        QCOMPARE(port.readOnce(1000), ack);
    }
    QElapsedTimer gap;
    gap.start();
    QCOMPARE(port.readUntil(hasLineEnd, 1000), QByteArray("\x06\r\n"));
    QVERIFY(gap.elapsed() >= 25);

    QCOMPARE(hub.receivedImage(), image);
    QCOMPARE(hub.blockSizes(), QList<int>({8, 8, 4}));
    QVERIFY(hub.sessionFinished());
    QVERIFY(!hub.inBootLoader());
    port.send("HCF");
    QCOMPARE(port.readUntil(hasLineEnd, 1000), QByteArray("C0FFB\r\n"));
}

void TestHubSimulator::bootLoaderRefusedBlock()
{
    HubSimulator hub;
    hub.setStartInBootLoader(true);
    hub.setSpeedFactor(0);
    hub.setRefuseBlock(1, 0x07);
    QVERIFY(hub.start());
    HostPort port(hub.portPath());
    const QByteArray ack("\x01\r\n", 3);
    const QByteArray header("\x22\x00\x00\x00\x18", 5);

    port.send("\x11");
    QCOMPARE(port.readUntil(hasLineEnd, 1000), ack);
    port.send(header);
    QCOMPARE(port.readUntil(hasLineEnd, 1000), ack);
    port.send("AAAAAAAA");
    QCOMPARE(port.readUntil(hasLineEnd, 1000), ack);
    port.send("BBBBBBBB");
    QCOMPARE(port.readUntil(hasLineEnd, 1000), QByteArray("\x07\r\n"));

    // The exchange is over: more data and a new header go unanswered until an erase.
    port.send("CCCCCCCC");
    port.send(header);
    QVERIFY(port.readFor(150).isEmpty());
    QCOMPARE(hub.blockSizes(), QList<int>({8, 8}));
    QVERIFY(!hub.sessionFinished());
    QVERIFY(hub.inBootLoader());
    port.send("\x11");
    QCOMPARE(port.readUntil(hasLineEnd, 1000), ack);
}

void TestHubSimulator::closeMidStreamIsSeen()
{
    HubSimulator hub;
    hub.setStreaming(false);
    hub.setFixedReadings(kFixed);
    hub.setSpeedFactor(0);
    hub.setCyclePeriodMs(2);
    QVERIFY(hub.start());
    HostPort port(hub.portPath());
    hub.setCloseAfterRecords(5);
    hub.setStreaming(true);

    const QByteArray data = port.readFor(2000);
    QVERIFY(port.peerGone());
    QCOMPARE(data.size(), 5 * 19);
    QCOMPARE(hub.recordsSent(), 5);
    QVERIFY(hub.closed());
}

void TestHubSimulator::portSurvivesReopen()
{
    HubSimulator hub;
    hub.setSpeedFactor(0);
    hub.setCyclePeriodMs(1);
    QVERIFY(hub.start());
    {
        HostPort first(hub.portPath());
        QCOMPARE(ask(hub, first, "HCF"), QByteArray("C0FFB\r\n"));
    }
    HostPort again(hub.portPath());
    QVERIFY(again.isOpen());
    QCOMPARE(ask(hub, again, "HCF"), QByteArray("C0FFB\r\n"));

    // The upgrade closes the port right after "TUF"; nothing the firmware sent may wait
    // for the re-opened port, and the boot loader answers there.
    again.send("RRI");
    QTest::qWait(30);
    QVERIFY(again.waiting() > 19);   // records the program would find on re-opening
    again.send("TUF");
    again.close();
    QTest::qWait(40);
    HostPort upgrade(hub.portPath());
    QVERIFY(upgrade.readFor(50).isEmpty());
    QVERIFY(hub.inBootLoader());
    upgrade.send("\x11");
    QCOMPARE(upgrade.readUntil(hasLineEnd, 1000), QByteArray("\x01\r\n", 3));
}

QTEST_GUILESS_MAIN(TestHubSimulator)
#include "tst_hubsimulator.moc"
