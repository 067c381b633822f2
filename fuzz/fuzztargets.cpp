// SPDX-License-Identifier: GPL-3.0-or-later
#include "fuzztargets.h"

#include "hubprotocol.h"
#include "recordsplitter.h"
#include "upgrade_logic.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSerialPort>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

using namespace HubProtocol;

namespace FuzzTargets {

namespace {

void abortOnFailure(const char *rule)
{
    std::fprintf(stderr, "broken rule: %s\n", rule);
    std::abort();
}

FailureHandler failureHandler = abortOnFailure;

void check(bool holds, const char *rule)
{
    if (!holds)
        failureHandler(rule);
}

QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), static_cast<int>(size));
}

// Length-prefixed pieces: one length byte, then up to that many bytes.
class Pieces
{
public:
    Pieces(const uint8_t *data, size_t size) : p(data), n(size) {}
    bool more() const { return n > 0; }
    QByteArray next()
    {
        const size_t length = std::min<size_t>(p[0], n - 1);
        const QByteArray piece(reinterpret_cast<const char *>(p + 1), static_cast<int>(length));
        p += length + 1;
        n -= length + 1;
        return piece;
    }

private:
    const uint8_t *p;
    size_t n;
};

QList<QList<qint16>> freshHistories()
{
    QList<QList<qint16>> histories;
    for (int k = 0; k < SensorCount; ++k)
        histories.append(QVector<qint16>(HistoryLength, 0).toList());
    return histories;
}

// A mean of the newest n samples lies between the smallest and the largest of
// them (of the non-zero ones when zeros are no reading; 0 when all are).
void checkMean(const QList<qint16> &history, int n, bool skipZeros, qint16 mean)
{
    check(history.size() == HistoryLength, "the history keeps its length");
    n = qBound(1, n, int(history.size()));
    int low = INT_MAX;
    int high = INT_MIN;
    for (int i = 0; i < n; ++i) {
        if (skipZeros && history.at(i) == 0)
            continue;
        low = std::min<int>(low, history.at(i));
        high = std::max<int>(high, history.at(i));
    }
    if (low > high)
        check(mean == 0, "a mean of no readings is 0");
    else
        check(mean >= low && mean <= high, "a mean lies within its samples");
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The text reading rule, written out again from its description: white space
// around, an optional sign, digits only, within 32 bits, low 16 bits kept.
qint16 referenceReading(QByteArray field)
{
    while (!field.isEmpty() && isSpace(field.front()))
        field.remove(0, 1);
    while (!field.isEmpty() && isSpace(field.back()))
        field.chop(1);
    bool negative = false;
    if (!field.isEmpty() && (field.front() == '-' || field.front() == '+')) {
        negative = field.front() == '-';
        field.remove(0, 1);
    }
    if (field.isEmpty() || !std::all_of(field.begin(), field.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return 0;
    while (field.size() > 1 && field.front() == '0')
        field.remove(0, 1);
    if (field.size() > 10)
        return 0;
    long long value = field.toLongLong();
    if (negative)
        value = -value;
    if (value < -2147483648LL || value > 2147483647LL)
        return 0;
    return static_cast<qint16>(static_cast<quint16>(value & 0xFFFF));
}

} // namespace

void setFailureHandler(FailureHandler handler)
{
    failureHandler = handler ? handler : abortOnFailure;
}

// What the handshake finds in the bytes after its query: what it points at is
// what it says it is, whatever the bytes around it.
void configAnswer(const QByteArray &buffer)
{
    const ConfigAnswer answer = scanConfigAnswer(buffer);
    check(answer.records == buffer.contains(RecordHeader), "records are seen exactly when a header is there");
    if (answer.bootLoader >= 0)
        check(buffer.mid(answer.bootLoader, BootLoaderMarker.size()) == BootLoaderMarker,
              "the boot-loader marker is where it is said to be");
    if (answer.reply >= 0) {
        const QByteArray reply = buffer.mid(answer.reply, 5);
        const auto hex = [](char c) { return std::isxdigit(uchar(c)) != 0; };
        check(reply.size() == 5 && reply.at(0) == ConfigReplyStart && hex(reply.at(1)) && hex(reply.at(2))
                  && (reply.at(3) == 'F' || reply.at(3) == 'P') && (reply.at(4) == 'T' || reply.at(4) == 'B'),
              "a reply taken is well formed");
        check(answer.firstC >= 0 && answer.firstC <= answer.reply, "no lone C outside records comes after the reply");
        const ReplyFields fields = replyFieldsSent(buffer, answer.reply);
        check(fields.mask && fields.operatingMode && fields.displayMode, "a well-formed reply sends every field");
    }
    if (answer.firstC >= 0)
        check(buffer.at(answer.firstC) == ConfigReplyStart, "the first C is a C");
    if (!buffer.contains(ConfigReplyStart))
        check(answer.reply < 0 && answer.firstC < 0, "no C, no reply");
}

int configReply(const uint8_t *data, size_t size)
{
    const QByteArray buffer = bytes(data, size);
    configAnswer(buffer);
    // Where the handshake starts reading, and anywhere else the input names.
    const int positions[] = {int(buffer.indexOf(ConfigReplyStart)), size > 0 ? int(data[0]) - 8 : -1};
    for (const int cPos : positions) {
        qint8 mask = 0x5A;
        uchar operatingMode = 'x';
        uchar displayMode = 'y';
        readConfigReply(buffer, cPos, mask, operatingMode, displayMode);
        const bool inside = cPos >= 0 && cPos < buffer.size();
        check(operatingMode == 'x' || operatingMode == Fast || operatingMode == Precise,
              "the operating mode is F or P, or stays as it was");
        check(displayMode == 'y' || displayMode == Binary || displayMode == Text,
              "the display mode is B or T, or stays as it was");
        if (!inside || cPos + 3 >= buffer.size())
            check(operatingMode == 'x', "a mode byte that has not arrived changes nothing");
        if (!inside || cPos + 4 >= buffer.size())
            check(displayMode == 'y', "a mode byte that has not arrived changes nothing");
        if (!inside || cPos + 2 >= buffer.size()) {
            check(mask == 0x5A, "a mask whose digits have not arrived changes nothing");
        } else {
            // The C library's reading of the two characters, which must use both.
            const std::string digits = buffer.mid(cPos + 1, 2).toStdString();
            char *end = nullptr;
            const long value = std::strtol(digits.c_str(), &end, 16);
            while (end != digits.c_str() && isspace(uchar(*end)))
                ++end;
            const bool number = end != digits.c_str() && *end == '\0';
            check(mask == static_cast<qint8>(number ? (value & 0xFF) : 0),
                  "the mask is its two characters read as a hexadecimal number, low 8 bits, or 0");
        }
    }
    return 0;
}

int identificationLine(const uint8_t *data, size_t size)
{
    const QByteArray line = bytes(data, size);
    const Identity before{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c"),
                          QStringLiteral("d")};
    Identity identity = before;
    const bool taken = readIdentificationLine(line, identity);
    if (!line.contains(IdentMarker))
        check(!taken, "a line without the marker is no identification");
    if (!taken) {
        check(identity.DeviceName == before.DeviceName && identity.SerialNo == before.SerialNo
                  && identity.FirmwareVersion == before.FirmwareVersion
                  && identity.FirmwareType == before.FirmwareType,
              "a line that is not taken changes nothing");
        return 0;
    }
    for (const QString &field : {identity.DeviceName, identity.SerialNo, identity.FirmwareVersion,
                                 identity.FirmwareType}) {
        check(!field.contains(QLatin1Char(' ')), "an identity field holds no field separator");
        check(!field.contains(QChar(0)), "an identity field ends at a NUL");
        check(field.size() <= line.size(), "an identity field comes from the line");
    }
    return 0;
}

int binaryStream(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const int n = 1 + data[0] % 60;   // past the window's 20 and the history's 50
    Pieces chunks(data + 1, size - 1);
    QList<QList<qint16>> histories = freshHistories();
    QByteArray pending;
    QByteArray waiting;
    // However the reads cut the stream, the record path takes the same records:
    // from a binary start, after a switch from text, and after a switch to text.
    QByteArray whole;
    const auto prepared = [](RecordSplitter &split, int i) {
        split.setDisplayMode(i == 1 ? Text : Binary);
        if (i > 0)
            split.switchDisplayMode(i == 1 ? Binary : Text);
    };
    RecordSplitter split[3];
    for (int i = 0; i < 3; ++i)
        prepared(split[i], i);
    QVector<Readings> taken[3];
    while (chunks.more()) {
        const QByteArray chunk = chunks.next();
        whole += chunk;
        for (int i = 0; i < 3; ++i)
            taken[i] += split[i].feed(chunk);
        waiting += chunk;
        if (waiting.size() < BinaryMinimumWaiting)
            continue;   // the reader leaves them waiting in the port
        const QByteArray all = pending + waiting;
        Readings readings{};
        const bool found = takeBinaryFrame(pending, waiting, readings);
        waiting.clear();
        check(pending.size() < BinaryFrameValueBytes, "what is kept is less than a frame");

        int header = -1;
        for (int i = 0; i + 1 < all.size() && header < 0; ++i) {
            if (all.at(i) == 'P' && all.at(i + 1) == 'H')
                header = i;
        }
        const bool whole = header >= 0 && all.size() - header >= BinaryFrameValueBytes;
        check(found == whole, "a frame is read exactly when the first header has its 16 value bytes");
        if (!found) {
            if (header >= 0)
                check(pending == all.mid(header), "a frame cut short is kept from its header");
            else
                check(pending.isEmpty() || (pending == "P" && all.endsWith('P')),
                      "without a header only a last 'P' is kept");
            continue;
        }
        for (int k = 0; k < SensorCount; ++k) {
            const int high = static_cast<signed char>(all.at(header + 2 + 2 * k));
            const int low = static_cast<uchar>(all.at(header + 3 + 2 * k));
            check(readings[k] == high * 256 + low, "a reading is its two bytes, high byte first, signed");
            const qint16 mean = pushAndAverage(histories[k], readings[k], n, true);
            checkMean(histories[k], n, true, mean);
        }
    }
    for (int i = 0; i < 3; ++i) {
        RecordSplitter once;
        prepared(once, i);
        check(once.feed(whole) == taken[i], "the records do not depend on where the reads cut the stream");
    }
    return 0;
}

int textLine(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const int n = 1 + data[0] % 60;
    const QByteArray line = bytes(data + 1, size - 1);
    check(parseTextReading(line) == referenceReading(line), "a reading follows the text reading rule");

    Readings readings{};
    const bool accepted = decodeTextLine(line, readings);
    QList<QByteArray> fields;
    int start = 0;
    for (int i = 0; i <= line.size(); ++i) {
        if (i == line.size() || line.at(i) == '\t') {
            fields.append(line.mid(start, i - start));
            start = i + 1;
        }
    }
    fields.removeFirst();
    if (!fields.isEmpty() && fields.last().size() > 2)
        fields.last().chop(2);
    const bool valid = line.size() >= TextLineMinimum && line.size() <= TextLineMaximum
                       && line.contains("PH") && fields.size() >= SensorCount;
    check(accepted == valid, "a line is read exactly when its length, header and fields are right");
    if (!accepted)
        return 0;
    QList<QList<qint16>> histories = freshHistories();
    for (int k = 0; k < SensorCount; ++k) {
        check(readings[k] == referenceReading(fields.at(k)), "field k is sensor k's reading");
        for (int repeat = 0; repeat < 3; ++repeat) {
            const qint16 mean = pushAndAverage(histories[k], readings[k], n, false);
            checkMean(histories[k], n, false, mean);
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The boot loader's side of an upgrade, scripted: a peer on the master side of
// a pseudo-terminal that checks every byte the host sends against the
// protocol and answers each request with the next reply of its script.
//
// It runs on the host's thread, each time the host is about to wait (see
// BootLoaderPort), so every reply the host is owed is in the pty before its
// wait begins: however loaded the machine, no reply comes late, and a wait
// that finds nothing has met a boot loader with nothing more to say.

namespace {

class ScriptedBootLoader
{
public:
    ScriptedBootLoader(const QByteArray &image, const QList<QByteArray> &replies)
        : image(image), replies(replies)
    {
    }
    ~ScriptedBootLoader() { stop(); }

    bool start()
    {
        if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
            return false;
        termios tio{};
        if (::tcgetattr(slave, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(slave, TCSANOW, &tio);
        }
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        const char *name = ::ptsname(master);
        path = QString::fromLocal8Bit(name ? name : "");
        return true;
    }

    // Takes all the host has sent and answers it. Before a pty read reports
    // nothing, the kernel hands on what the other end's write() has queued, so
    // no byte the host has written can be missed here.
    void serve()
    {
        char buffer[512];
        ssize_t got;
        while (master >= 0 && (got = ::read(master, buffer, sizeof buffer)) > 0)
            take(QByteArray(buffer, int(got)));
    }

    // The host waits for the end of the session: the next reply goes out.
    void answerEnd() { answer(); }

    // What the host sent after its last wait is checked too.
    void stop()
    {
        serve();
        for (int *fd : {&master, &slave}) {
            if (*fd >= 0)
                ::close(*fd);
            *fd = -1;
        }
    }

    QString path;
    QStringList violations;   // read after stop()
    bool headerSeen = false;
    QByteArray imageReceived;

private:
    enum class Expect { Erase, Header, Blocks, Nothing };

    void take(const QByteArray &incoming)
    {
        input += incoming;
        for (;;) {
            switch (expect) {
            case Expect::Erase:
                if (input.isEmpty())
                    return;
                if (uchar(input.at(0)) != 0x11)
                    violations << QStringLiteral("the first byte is not the erase request");
                input.remove(0, 1);
                expect = Expect::Header;
                answer();
                break;
            case Expect::Header: {
                if (input.isEmpty())
                    return;
                headerSeen = true;
                if (input.size() < 5)
                    return;
                quint32 announced = 0;
                for (int i = 1; i < 5; ++i)
                    announced = (announced << 8) | uchar(input.at(i));
                if (uchar(input.at(0)) != 0x22 || announced != quint32(image.size()))
                    violations << QStringLiteral("the size header is not 0x22 and the image size");
                input.remove(0, 5);
                expect = image.isEmpty() ? Expect::Nothing : Expect::Blocks;
                answer();
                break;
            }
            case Expect::Blocks: {
                const int want = std::min(8, int(image.size() - imageReceived.size()));
                if (input.size() < want)
                    return;
                if (input.left(want) != image.mid(imageReceived.size(), want))
                    violations << QStringLiteral("a block is not the next bytes of the image");
                imageReceived += input.left(want);
                input.remove(0, want);
                if (imageReceived.size() == image.size())
                    expect = Expect::Nothing;
                answer();
                break;
            }
            case Expect::Nothing:
                if (!input.isEmpty())
                    violations << QStringLiteral("the host sent bytes the protocol has no place for");
                input.clear();
                return;
            }
        }
    }

    // The next reply, or the boot loader unplugged when the script says so.
    void answer()
    {
        if (master < 0)
            return;
        const QByteArray reply = next < replies.size() ? replies.at(next) : QByteArray();
        ++next;
        if (reply.isEmpty()) {
            ::close(master);
            master = -1;
            return;
        }
        // What a host that has stopped reading has no room for is lost, as
        // it would be on the wire; the host reads only once this returns.
        const ssize_t written = ::write(master, reply.constData(), size_t(reply.size()));
        Q_UNUSED(written)
    }

    const QByteArray image;
    const QList<QByteArray> replies;
    int master = -1;
    int slave = -1;   // held, so that the pty lives while the host reopens it
    QByteArray input;
    Expect expect = Expect::Erase;
    int next = 0;
};

// The host's port, on which the boot loader answers whenever the host waits.
class BootLoaderPort : public QSerialPort
{
public:
    explicit BootLoaderPort(ScriptedBootLoader &bootLoader) : bootLoader(bootLoader) {}

    bool waitForReadyRead(int msecs) override
    {
        bootLoader.serve();
        return QSerialPort::waitForReadyRead(msecs);
    }

private:
    ScriptedBootLoader &bootLoader;
};

// The first bytes of the lines of a reply.
QByteArray lineStarts(const QByteArray &reply)
{
    QByteArray starts;
    for (int i = 0; i < reply.size(); ++i) {
        if (i == 0 || reply.at(i - 1) == '\n')
            starts += reply.at(i);
    }
    return starts;
}

// Every byte the host may read as the first byte of a reply to the header, a
// block or the end: the first byte of the erase reply answers the erase. After
// a reply whose "\n" has not come, the host takes the "\r"s and the one "\n"
// that open the next reply for that line end, so the byte after them may open
// a reply as well.
QByteArray replyStarts(const QList<QByteArray> &replies)
{
    QByteArray starts;
    bool lineEndOwed = false;
    for (int i = 0; i < replies.size(); ++i) {
        const QByteArray &reply = replies.at(i);
        starts += i == 0 ? lineStarts(reply).mid(1) : lineStarts(reply);
        if (lineEndOwed) {
            int skipped = 0;
            while (skipped < reply.size() && reply.at(skipped) == '\r')
                ++skipped;
            if (skipped > 0 && skipped < reply.size() && reply.at(skipped) != '\n')
                starts += reply.at(skipped);
        }
        if (!reply.isEmpty())
            lineEndOwed = !reply.endsWith('\n');
    }
    return starts;
}

} // namespace

int bootLoaderSession(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    if (!QCoreApplication::instance()) {
        static int argc = 1;
        static char name[] = "fuzz";
        static char *argv[] = {name, nullptr};
        new QCoreApplication(argc, argv);   // for the life of the process
    }
    // The bytes pellix-make-corpus programmed its seeds with.
    QByteArray image;
    for (int i = 0; i < data[0] % 41; ++i)
        image += char(i * 37 + 5);
    QList<QByteArray> replies;
    Pieces pieces(data + 1, size - 1);
    while (pieces.more())
        replies << pieces.next();

    ScriptedBootLoader bootLoader(image, replies);
    check(bootLoader.start(), "a pseudo-terminal can be made");

    QPointer<QSerialPort> port = new BootLoaderPort(bootLoader);
    Upgrade_logic logic(port, bootLoader.path);
    // Each reply is in the pty before the host waits for it, so a limit runs
    // out only on a boot loader with nothing more to say; every input that
    // ends that way pays it, so it is kept to a moment.
    logic.setWaitLimits({2, 2, 2});
    QStringList messages;
    QList<int> progress;
    QObject::connect(&logic, &Upgrade_logic::progress_message, [&](const QString &message) {
        messages << message;
        if (message == QLatin1String("Waiting for Hub to terminate session"))
            bootLoader.answerEnd();
    });
    QObject::connect(&logic, &Upgrade_logic::progress_update, [&](int sent) { progress << sent; });

    // As the worker runs it, and what it takes for a finished upgrade.
    bool programmed = false;
    bool finished = false;
    if (!image.isEmpty() && logic.mass_erase() == Upgrade_logic::Acknowledge) {
        programmed = true;
        finished = logic.program_image(image) == Upgrade_logic::Finished && !logic.serial;
    }
    bootLoader.stop();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    delete port.data();

    check(bootLoader.violations.isEmpty(), "the host keeps to the protocol");
    if (!programmed)
        check(!bootLoader.headerSeen, "nothing follows an erase that was not acknowledged");

    const QByteArray starts = replyStarts(replies);
    if (!starts.contains('\x01'))
        check(bootLoader.imageReceived.isEmpty(), "no block goes out without an acknowledgement");

    int previous = 0;
    for (int sent : progress) {
        check(sent > previous && sent - previous <= 8 && sent <= image.size(),
              "progress grows by one block at a time up to the image size");
        previous = sent;
    }
    if (finished) {
        check(bootLoader.imageReceived == image, "a finished upgrade has sent the whole image");
        check(starts.contains('\x06'), "a finished upgrade was told so by the boot loader");
        check(messages.last() == QLatin1String("Upgrade Finished. Please reconnect the device."),
              "a finished upgrade says so last");
        check(previous == image.size(), "a finished upgrade's progress reaches the image size");
    }
    return 0;
}

const Target targets[] = {
    {"config_reply", configReply},
    {"identification_line", identificationLine},
    {"binary_stream", binaryStream},
    {"text_line", textLine},
    {"boot_loader", bootLoaderSession},
};
const int targetCount = int(sizeof targets / sizeof targets[0]);

} // namespace FuzzTargets
