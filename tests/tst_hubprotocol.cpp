// The hub's byte formats, decoded and encoded without a port.
#include "hubprotocol.h"

#include <QtTest>

using namespace HubProtocol;

namespace {

QByteArray textLine(const QList<int> &values, const QByteArray &first = "PH")
{
    QByteArray line = first;
    for (int v : values)
        line += '\t' + QByteArray::number(v);
    return line + "\r\n";
}

} // namespace

class TestHubProtocol : public QObject
{
    Q_OBJECT

private slots:
    void commands_data();
    void commands();
    void configReply_data();
    void configReply();
    void identificationLine();
    void binaryFrames();
    void binaryChunks();
    void textLines_data();
    void textLines();
    void textReadings_data();
    void textReadings();
    void fastModeMeans();
};

void TestHubProtocol::commands_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("sensors 0 and 7") << connectedSensorsCommand(qint8(0x81)) << QByteArray("C81");
    QTest::newRow("mask 0x0A") << connectedSensorsCommand(0x0A) << QByteArray("C0A");
    QTest::newRow("all sensors") << connectedSensorsCommand(qint8(0xFF)) << QByteArray("CFF");
    QTest::newRow("no sensor") << connectedSensorsCommand(0) << QByteArray("C00");
    QTest::newRow("sensor 7 alone") << connectedSensorsCommand(qint8(0x80)) << QByteArray("C80");
    QTest::newRow("timeout 40 ms, sensor 2") << timeoutCommand(2, 40) << QByteArray("T2040");
    QTest::newRow("timeout 500 ms, sensor 7") << timeoutCommand(7, 500) << QByteArray("T7500");
    QTest::newRow("timeout 0 ms, sensor 7") << timeoutCommand(7, 0) << QByteArray("T7000");
    QTest::newRow("too long is cut to 5 bytes") << timeoutCommand(1, 1234) << QByteArray("T1123");
}

void TestHubProtocol::commands()
{
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, expected);
    QCOMPARE(command, expected);
}

void TestHubProtocol::configReply_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("mask");
    QTest::addColumn<char>("operating");
    QTest::addColumn<char>("display");
    // Start values are 0x55, 'P', 'T': whatever is not read keeps them.
    QTest::newRow("full reply") << QByteArray("xxC0FFB\r\n") << 0x0F << 'F' << 'B';
    QTest::newRow("lower-case digit") << QByteArray("C1aFT") << 0x1A << 'F' << 'T';
    QTest::newRow("not hexadecimal") << QByteArray("CXYFB") << 0 << 'F' << 'B';
    QTest::newRow("unknown operating mode") << QByteArray("C03XB") << 0x03 << 'P' << 'B';
    QTest::newRow("sensor 7") << QByteArray("C80PB") << -128 << 'P' << 'B';
    QTest::newRow("cut after one digit") << QByteArray("C0") << 0x55 << 'P' << 'T';
    QTest::newRow("cut after the mask") << QByteArray("C0F") << 0x0F << 'P' << 'T';
    QTest::newRow("cut before the display mode") << QByteArray("C0FF") << 0x0F << 'F' << 'T';
}

void TestHubProtocol::configReply()
{
    QFETCH(QByteArray, data);
    QFETCH(int, mask);
    QFETCH(char, operating);
    QFETCH(char, display);
    qint8 gotMask = 0x55;
    uchar gotOperating = 'P';
    uchar gotDisplay = 'T';
    readConfigReply(data, data.indexOf('C'), gotMask, gotOperating, gotDisplay);
    QCOMPARE(int(gotMask), mask);
    QCOMPARE(gotOperating, uchar(operating));
    QCOMPARE(gotDisplay, uchar(display));
}

void TestHubProtocol::identificationLine()
{
    Identity identity = defaultIdentity();
    QVERIFY(readIdentificationLine("ID PXHUB 77 2.0.1 STD\r\n", identity));
    QCOMPARE(identity.deviceName, QStringLiteral("PXHUB"));
    QCOMPARE(identity.serialNo, QStringLiteral("77"));
    QCOMPARE(identity.firmwareVersion, QStringLiteral("2.0.1"));
    QCOMPARE(identity.firmwareType, QStringLiteral("STD"));

    // A field is text up to its first NUL.
    QVERIFY(readIdentificationLine(QByteArray("ID PXHUB 5\0xx 1.2.0 ABC\r\n", 25), identity));
    QCOMPARE(identity.serialNo, QStringLiteral("5"));
    QCOMPARE(identity.firmwareType, QStringLiteral("ABC"));

    // Too few fields, or no marker: nothing changes.
    identity = defaultIdentity();
    QVERIFY(!readIdentificationLine("ID PXHUB 77\r\n", identity));
    QVERIFY(!readIdentificationLine("PH\t1\t2\t3\t4\t5\t6\t7\t8\r\n", identity));
    QCOMPARE(identity.serialNo, QStringLiteral("0"));
    QCOMPARE(identity.firmwareType, QStringLiteral("STD"));
}

void TestHubProtocol::binaryFrames()
{
    QByteArray frame = QByteArray::fromHex("50480FA0FFFF") + QByteArray(12, '\0') + '\x7E';
    Readings readings;
    QVERIFY(decodeBinaryFrame(frame, findHeader(frame), readings));
    QCOMPARE(readings[0], qint16(4000));
    QCOMPARE(readings[1], qint16(-1));
    for (int k = 2; k < SensorCount; ++k)
        QCOMPARE(readings[k], qint16(0));

    // Extremes of the signed word, and a stray 'P' ahead of the header.
    const QByteArray extremes = QByteArray::fromHex("50" "5048" "8000" "7FFF" "0001")
                                + QByteArray(10, '\0');
    QCOMPARE(findHeader(extremes), 1);
    QVERIFY(decodeBinaryFrame(extremes, 1, readings));
    QCOMPARE(readings[0], qint16(-32768));
    QCOMPARE(readings[1], qint16(32767));
    QCOMPARE(readings[2], qint16(1));

    // Never past the end of the data: one value byte short.
    QVERIFY(!decodeBinaryFrame(frame.left(17), 0, readings));
    QVERIFY(!decodeBinaryFrame(frame, -1, readings));
    QCOMPARE(findHeader(QByteArray::fromHex("0102035048")), 3);
    QCOMPARE(findHeader(QByteArray::fromHex("010203")), -1);
}

// The binary reader's notifications: a frame split between two chunks is
// completed by the second, a header split between them too; nothing else
// carries over, and what is kept never grows past one frame.
void TestHubProtocol::binaryChunks()
{
    const QByteArray frame = QByteArray::fromHex("5048" "0001" "0002" "0003" "0004"
                                                 "0005" "0006" "0007" "0008") + '\x33';
    QByteArray pending;
    Readings readings;

    QVERIFY(!takeBinaryFrame(pending, QByteArray::fromHex("AAAA") + frame.left(10), readings));
    QCOMPARE(pending, frame.left(10));
    QVERIFY(takeBinaryFrame(pending, frame.mid(10) + frame, readings));
    QCOMPARE(pending, QByteArray());
    for (int k = 0; k < SensorCount; ++k)
        QCOMPARE(readings[k], qint16(k + 1));

    // "P" at the end of one chunk, "H" at the start of the next.
    QVERIFY(!takeBinaryFrame(pending, QByteArray(20, '\x01') + 'P', readings));
    QCOMPARE(pending, QByteArray("P"));
    QVERIFY(takeBinaryFrame(pending, frame.mid(1), readings));
    QCOMPARE(readings[7], qint16(8));

    // A chunk with no header keeps nothing; a kept partial frame is completed
    // by whatever comes next, as its values cannot be told from others.
    QVERIFY(!takeBinaryFrame(pending, QByteArray(30, 'H'), readings));
    QCOMPARE(pending, QByteArray());
    QVERIFY(!takeBinaryFrame(pending, frame.left(5), readings));
    QVERIFY(takeBinaryFrame(pending, QByteArray(13, '\x7F'), readings));
    QCOMPARE(readings[0], qint16(1));
    QCOMPARE(readings[7], qint16(0x7F7F));
    QCOMPARE(pending, QByteArray());

    // A header that keeps coming without its values keeps one frame at most.
    for (int i = 0; i < 100; ++i) {
        takeBinaryFrame(pending, "PHPH" + QByteArray(3, 'x'), readings);
        QVERIFY(pending.size() < BinaryFrameValueBytes);
    }
}

void TestHubProtocol::textLines_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("first");
    const QByteArray typical = textLine({1200, 1300, 1400, 1500, 1600, 1700, 1800, 1900});
    QCOMPARE(typical.size(), 44);
    QTest::newRow("typical") << typical << true << 1200;
    QTest::newRow("eight zeros is too short") << textLine({0, 0, 0, 0, 0, 0, 0, 0}) << false << 0;
    // 2 + 8 tabs + digits + 2: 28 characters need 16 digits.
    QTest::newRow("28 characters")
        << textLine({10, 10, 10, 10, 10, 10, 10, 10}) << true << 10;
    QTest::newRow("27 characters")
        << textLine({10, 10, 10, 10, 10, 10, 10, 1}) << false << 0;
    QTest::newRow("52 characters")
        << textLine({-10000, -10000, -10000, -10000, -10000, 1000, 100, 100}) << true << -10000;
    QTest::newRow("53 characters")
        << textLine({-10000, -10000, -10000, -10000, -10000, 1000, 1000, 100}) << false << 0;
    QTest::newRow("header elsewhere, first field discarded")
        << textLine({1200, 1300, 1400, 1500, 1600, 1700, 1800, 1900}, "XXPH") << true << 1200;
    QTest::newRow("no header")
        << textLine({1200, 1300, 1400, 1500, 1600, 1700, 1800, 1900}, "XX") << false << 0;
    QTest::newRow("seven readings")
        << textLine({12000, 13000, 14000, 15000, 16000, 17000, 18000}) << false << 0;
    QTest::newRow("a ninth reading is not read")
        << textLine({1200, 1300, 1400, 1500, 1600, 1700, 1800, 1900, 2000}) << true << 1200;
}

void TestHubProtocol::textLines()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, accepted);
    QFETCH(int, first);
    const QByteArray name(QTest::currentDataTag());
    if (name.startsWith("2") || name.startsWith("5"))   // the row names its own length
        QCOMPARE(line.size(), name.left(2).toInt());
    Readings readings{};
    QCOMPARE(decodeTextLine(line, readings), accepted);
    if (accepted) {
        QCOMPARE(int(readings[0]), first);
        QVERIFY(readings[7] != 0);
    }
}

void TestHubProtocol::textReadings_data()
{
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<int>("value");
    QTest::newRow("plain") << QByteArray("1234") << 1234;
    QTest::newRow("negative") << QByteArray("-1") << -1;
    QTest::newRow("plus sign") << QByteArray("+7") << 7;
    QTest::newRow("low 16 bits") << QByteArray("70000") << 4464;
    QTest::newRow("letters") << QByteArray("abc") << 0;
    QTest::newRow("digits then letters") << QByteArray("12ab") << 0;
    QTest::newRow("leading white space") << QByteArray("  42") << 42;
    QTest::newRow("trailing white space") << QByteArray("42 ") << 42;
    QTest::newRow("beyond 32 bits") << QByteArray("99999999999") << 0;
    QTest::newRow("empty") << QByteArray() << 0;
    QTest::newRow("sign alone") << QByteArray("-") << 0;
}

void TestHubProtocol::textReadings()
{
    QFETCH(QByteArray, field);
    QFETCH(int, value);
    QCOMPARE(int(parseTextReading(field)), value);
}

void TestHubProtocol::fastModeMeans()
{
    const auto fresh = [] { return QList<qint16>(QVector<qint16>(HistoryLength, 0).toList()); };
    const auto feed = [](QList<qint16> history, const QList<qint16> &samples, int n, bool skip) {
        qint16 mean = 0;
        for (qint16 s : samples)
            mean = pushAndAverage(history, s, n, skip);
        return mean;
    };

    // Newest three samples 1000, 0, 1000: binary leaves the 0 out, text counts it.
    QCOMPARE(feed(fresh(), {1000, 0, 1000}, 3, true), qint16(1000));
    QCOMPARE(feed(fresh(), {1000, 0, 1000}, 3, false), qint16(666));
    QCOMPARE(feed(fresh(), {0, 0, 0}, 3, true), qint16(0));
    QCOMPARE(feed(fresh(), {0, 0, 0}, 3, false), qint16(0));
    // Truncation toward zero.
    QCOMPARE(feed(fresh(), {-1, -2}, 2, false), qint16(-1));
    QCOMPARE(feed(fresh(), {-1, -2}, 2, true), qint16(-1));
    // A history of start-up zeros: binary shows the sample, text a third of it.
    QCOMPARE(feed(fresh(), {900}, 3, true), qint16(900));
    QCOMPARE(feed(fresh(), {900}, 3, false), qint16(300));
    // Only the newest n count; the history keeps its length.
    QList<qint16> history = fresh();
    for (qint16 s : {qint16(10), qint16(20), qint16(30), qint16(40)})
        pushAndAverage(history, s, 2, false);
    QCOMPARE(history.size(), HistoryLength);
    QCOMPARE(history.first(), qint16(40));
    QCOMPARE(pushAndAverage(history, 50, 2, false), qint16(45));
    // A count outside the history cannot divide by zero or read past it.
    QCOMPARE(pushAndAverage(history, 60, 0, false), qint16(60));
    QVERIFY(pushAndAverage(history, 60, 1000, false) > 0);
}

QTEST_GUILESS_MAIN(TestHubProtocol)
#include "tst_hubprotocol.moc"
