// SPDX-License-Identifier: GPL-3.0-or-later
// pellix-make-corpus DIR: writes the fuzz targets' seed corpora, DIR/<target>/seed-*,
// from what the simulated hub really sends, read from its port as the program
// reads it. Run by hand when the hub's output changes; the seeds are kept in
// fuzz/corpus/.
#include "hubsimulator.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The program's side of the port, raw: every read() is one chunk as a
// notification would deliver it.
class Host
{
public:
    explicit Host(const QString &path)
    {
        fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios tio{};
        if (fd >= 0 && ::tcgetattr(fd, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(fd, TCSANOW, &tio);
        }
    }
    ~Host()
    {
        if (fd >= 0)
            ::close(fd);
    }
    bool ok() const { return fd >= 0; }
    void send(const QByteArray &bytes)
    {
        if (::write(fd, bytes.constData(), size_t(bytes.size())) != bytes.size())
            std::fprintf(stderr, "short write\n");
    }
    // The chunks that arrive within ms, stopping early after a quiet gap once
    // something has come.
    QList<QByteArray> chunks(int ms, int quietMs = 1000000)
    {
        QList<QByteArray> out;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < ms) {
            pollfd p{fd, POLLIN, 0};
            const int wait = out.isEmpty() ? int(ms - clock.elapsed()) : std::min<int>(quietMs, int(ms - clock.elapsed()));
            if (::poll(&p, 1, std::max(wait, 0)) <= 0) {
                if (!out.isEmpty())
                    break;
                continue;
            }
            char buffer[4096];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0)
                out << QByteArray(buffer, int(n));
        }
        return out;
    }
    QByteArray readAll(int ms, int quietMs = 1000000) { return chunks(ms, quietMs).join(); }
    void drain() { chunks(30, 30); }

private:
    int fd = -1;
};

QDir outDir;
int written = 0;

void save(const char *target, const QString &name, const QByteArray &bytes)
{
    outDir.mkpath(QString::fromLatin1(target));
    QFile file(outDir.filePath(QStringLiteral("%1/seed-%2").arg(QLatin1String(target), name)));
    if (file.open(QIODevice::WriteOnly)) {
        file.write(bytes);
        ++written;
    }
}

QByteArray pieces(const QList<QByteArray> &parts)
{
    QByteArray out;
    for (QByteArray part : parts) {
        do {
            const QByteArray piece = part.left(255);
            part.remove(0, piece.size());
            out += char(piece.size());
            out += piece;
        } while (!part.isEmpty());
    }
    return out;
}

HubSimulator::Readings readings(std::initializer_list<int> values)
{
    HubSimulator::Readings r{};
    std::copy(values.begin(), values.end(), r.begin());
    return r;
}

void handshakes()
{
    struct Case { const char *name; quint8 mask; char om; char dm; int splitMs; bool stream; };
    const Case cases[] = {
        {"fast-binary", 0x0F, 'F', 'B', 0, false},
        {"precise-text", 0xA5, 'P', 'T', 0, false},
        {"all-sensors", 0xFF, 'F', 'T', 0, false},
        {"split", 0x81, 'P', 'B', 3, false},
        {"records-first", 0x3C, 'F', 'T', 0, true},
    };
    for (const Case &c : cases) {
        HubSimulator hub;
        hub.setSpeedFactor(10);
        hub.setCyclePeriodMs(20);
        hub.setMask(c.mask);
        hub.setOperatingMode(c.om);
        hub.setDisplayMode(c.dm);
        hub.setSplitConfigReply(c.splitMs);
        hub.setStreamDuringHandshake(c.stream);
        hub.start();
        Host host(hub.portPath());
        host.drain();
        host.send("HCF");
        save("config_reply", QString::fromLatin1(c.name), host.readAll(300, 40));
        host.send("RRI");
        const QList<QByteArray> lines = host.readAll(300, 60).split('\n');
        for (const QByteArray &line : lines) {
            if (line.contains("ID PXHUB"))
                save("identification_line", QString::fromLatin1(c.name), line + '\n');
        }
    }
    {
        HubSimulator hub;
        hub.setStartInBootLoader(true);
        hub.start();
        Host host(hub.portPath());
        host.send("HCF");
        save("config_reply", QStringLiteral("boot-loader"), host.readAll(300, 40));
    }
    const QByteArray odd[] = {"ID PXHUB 77 3.0.1-rc2 BETA\r\n", "ID PXHUB 5\r\n",
                              QByteArray("ID PXHUB 9\0x 1.0 STD\r\n", 22)};
    for (int i = 0; i < 3; ++i) {
        HubSimulator hub;
        hub.setIdentificationLine(odd[i]);
        hub.start();
        Host host(hub.portPath());
        host.send("HCF");
        host.readAll(200, 40);
        host.send("RRI");
        save("identification_line", QStringLiteral("odd-%1").arg(i), host.readAll(300, 60));
    }
}

void streams()
{
    struct Case { const char *name; char dm; char om; bool garbage; bool partial; bool tricky; double speed; };
    const Case cases[] = {
        {"fast", 'B', 'F', false, false, false, 10},
        {"precise", 'B', 'P', false, false, false, 10},
        {"garbage", 'B', 'P', true, false, false, 10},
        {"partial", 'B', 'P', false, true, false, 10},
        {"headers-in-values", 'B', 'P', false, true, true, 10},
        {"unpaced", 'B', 'F', false, false, false, 0},
        {"fast", 'T', 'F', false, false, false, 10},
        {"precise", 'T', 'P', false, false, false, 10},
        {"garbage", 'T', 'P', true, false, false, 10},
        {"partial", 'T', 'P', false, true, false, 10},
    };
    for (const Case &c : cases) {
        HubSimulator hub;
        hub.setSpeedFactor(c.speed);
        hub.setCyclePeriodMs(c.speed > 0 ? 30 : 0);
        hub.setDisplayMode(c.dm);
        hub.setOperatingMode(c.om);
        hub.setGarbageBetweenRecords(c.garbage);
        hub.setPartialRecords(c.partial);
        if (c.tricky)
            hub.setFixedReadings(readings({0x5048, 0x0050, 0x4800, 0x5050, 0x4848, 0x0050, 0x4850, -1}));
        hub.start();
        Host host(hub.portPath());
        const QList<QByteArray> chunks = host.chunks(c.speed > 0 ? 400 : 20);
        if (c.dm == 'B') {
            save("binary_stream", QString::fromLatin1(c.name), char(3) + pieces(chunks.mid(0, 40)));
            continue;
        }
        const QList<QByteArray> lines = chunks.join().split('\n');
        for (int i = 1; i < lines.size() - 1 && i <= 4; ++i)
            save("text_line", QStringLiteral("%1-%2").arg(QLatin1String(c.name)).arg(i),
                 char(3) + lines.at(i) + '\n');
    }
}

void bootLoader()
{
    struct Case { const char *name; int size; int refuse; char refuseByte; char header; char final; };
    const Case cases[] = {
        {"finished", 20, -1, 0, 0x01, 0x06},
        {"empty-image", 0, -1, 0, 0x01, 0x06},
        {"one-block", 8, -1, 0, 0x01, 0x06},
        {"refused-block", 30, 1, 0x00, 0x01, 0x06},
        {"garbage-block", 30, 2, 'Z', 0x01, 0x06},
        {"header-refused", 20, -1, 0, 0x00, 0x06},
        {"final-garbage", 12, -1, 0, 0x01, 'Z'},
    };
    for (const Case &c : cases) {
        HubSimulator hub;
        hub.setSpeedFactor(10);
        hub.setStartInBootLoader(true);
        hub.setRefuseBlock(c.refuse, c.refuseByte);
        hub.setHeaderReply(c.header);
        hub.setFinalByte(c.final);
        hub.start();
        Host host(hub.portPath());
        host.drain();
        QList<QByteArray> replies;
        host.send(QByteArray(1, '\x11'));
        replies << host.readAll(500, 20);
        host.send(QByteArray("\x22\x00\x00\x00", 4) + char(c.size));
        replies << host.readAll(300, 20);
        for (int sent = 0; sent < c.size && replies.last().startsWith('\x01'); sent += 8) {
            QByteArray block;
            for (int i = sent; i < std::min(c.size, sent + 8); ++i)
                block += char(i * 37 + 5);
            host.send(block);
            replies << host.readAll(300, 20);
        }
        if (replies.last().startsWith('\x01'))
            replies << host.readAll(500, 20);   // the end of the session
        save("boot_loader", QString::fromLatin1(c.name), char(c.size) + pieces(replies));
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: pellix-make-corpus DIR\n");
        return 2;
    }
    outDir = QDir(QString::fromLocal8Bit(argv[1]));
    handshakes();
    streams();
    bootLoader();
    std::printf("%d seeds written to %s\n", written, argv[1]);
    return written > 0 ? 0 : 1;
}
