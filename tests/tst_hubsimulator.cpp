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

} // namespace

class TestHubSimulator : public QObject
{
    Q_OBJECT

private slots:
    void commandsChangeState();
    void pacingFollowsSpeedFactor();
    void bootLoaderFullExchange();
    void portSurvivesReopen();
};

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
