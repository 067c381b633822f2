// SPDX-License-Identifier: GPL-3.0-or-later
// The hub's byte formats, decoded without a port. The commands are checked
// where the worker writes them, in tst_threadcom.
#include "hubprotocol.h"
#include "recorder.h"
#include "recordsplitter.h"
#include "sensormean.h"

#include <QtTest>

#include <csignal>

#include <sys/resource.h>

using namespace HubProtocol;

namespace {

QByteArray textLine(const QList<int> &values, const QByteArray &first = "PH")
{
    QByteArray line = first;
    for (int v : values)
        line += '\t' + QByteArray::number(v);
    return line + "\r\n";
}

// A record whose first reading is field; 40 characters and the field's own.
QByteArray withFirstField(const QByteArray &field)
{
    return "PH\t" + field + QByteArray("\t1111").repeated(7) + "\r\n";
}

// Readings 1..8: a value read from the wrong place shows.
const QByteArray frame = QByteArray::fromHex("5048" "0001" "0002" "0003" "0004" "0005" "0006" "0007" "0008");

} // namespace

class TestHubProtocol : public QObject
{
    Q_OBJECT

private slots:
    void configReply_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("read");   // mask, operating mode, display mode
        // Start values are 85 P T: whatever is not read keeps them.
        QTest::newRow("full reply") << QByteArray("xxC0FFB\r\n") << "15 F B";
        QTest::newRow("lower-case digit") << QByteArray("C1aFT") << "26 F T";
        QTest::newRow("not hexadecimal") << QByteArray("CXYFB") << "0 F B";
        QTest::newRow("half a number") << QByteArray("C1ZFB") << "0 F B";
        QTest::newRow("signed") << QByteArray("C-1FB") << "-1 F B";
        QTest::newRow("unknown operating mode") << QByteArray("C03XB") << "3 P B";
        QTest::newRow("sensor 7") << QByteArray("C80FB") << "-128 F B";
        QTest::newRow("unknown display mode") << QByteArray("C80FX") << "-128 F T";
        QTest::newRow("cut after one digit") << QByteArray("C0") << "85 P T";
        QTest::newRow("cut after the mask") << QByteArray("C0F") << "15 P T";
        QTest::newRow("cut before the display mode") << QByteArray("C0FF") << "15 F T";
    }
    void configReply()
    {
        QFETCH(QByteArray, data);
        QFETCH(QString, read);
        qint8 mask = 85;
        uchar operating = 'P';
        uchar display = 'T';
        readConfigReply(data, data.indexOf('C'), mask, operating, display);
        QCOMPARE(QString::asprintf("%d %c %c", mask, operating, display), read);
    }

    // Each chunk is one notification of the binary reader.
    void binaryChunks_data()
    {
        QTest::addColumn<QList<QByteArray>>("chunks");
        QTest::addColumn<bool>("taken");   // by the last chunk
        QTest::addColumn<QList<int>>("values");
        QTest::addColumn<QByteArray>("kept");
        using Chunks = QList<QByteArray>;
        const QList<int> ones{1, 2, 3, 4, 5, 6, 7, 8};
        const QByteArray noise(20, '\x01');
        const QByteArray words = QByteArray::fromHex("8000" "7FFF" "FFFF") + QByteArray(10, '\0');
        QTest::newRow("first header, the rest dropped")
            << Chunks{noise + frame + frame.left(2) + QByteArray(16, '\x11')} << true << ones << QByteArray();
        QTest::newRow("signed words, a stray P ahead")
            << Chunks{"PPH" + words} << true << QList<int>{-32768, 32767, -1, 0, 0, 0, 0, 0} << QByteArray();
        QTest::newRow("one value byte short is kept") << Chunks{noise + frame.left(17)} << false << ones << frame.left(17);
        QTest::newRow("frame split between chunks")
            << Chunks{noise + frame.left(10), frame.mid(10) + noise} << true << ones << QByteArray();
        QTest::newRow("header split between chunks") << Chunks{noise + 'P', frame.mid(1)} << true << ones << QByteArray();
        // The kept bytes cannot be told from values: whatever comes next completes them.
        QTest::newRow("kept part completed by anything") << Chunks{frame.left(5), QByteArray(13, '\x7F')} << true
                                                         << QList<int>{1, 0x7F, 0x7F7F, 0x7F7F, 0x7F7F, 0x7F7F, 0x7F7F, 0x7F7F}
                                                         << QByteArray();
        QTest::newRow("no header keeps nothing") << Chunks{noise + 'P', noise} << false << ones << QByteArray();
        // Every third chunk completes a "frame" of the ones before; the 100th is kept.
        QTest::newRow("headers without values keep one frame at most")
            << QVector<QByteArray>(100, "PHPHxxx").toList() << false << ones << QByteArray("PHPHxxx");
    }
    void binaryChunks()
    {
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(bool, taken);
        QFETCH(QList<int>, values);
        QFETCH(QByteArray, kept);
        QByteArray pending;
        Readings readings{};
        bool got = false;
        for (const QByteArray &chunk : chunks) {
            got = takeBinaryFrame(pending, chunk, readings);
            QVERIFY(pending.size() < BinaryFrameValueBytes);
        }
        QCOMPARE(got, taken);
        QCOMPARE(pending, kept);
        if (taken)
            QCOMPARE(QList<int>(readings.begin(), readings.end()), values);
    }

    void textLines_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<int>("first");
        const QList<int> typical{1200, 1300, 1400, 1500, 1600, 1700, 1800, 1900};
        // 2 + 8 tabs + digits + 2: 28 characters need 16 digits. Such rows name their length.
        QTest::newRow("28 characters") << textLine({10, 10, 10, 10, 10, 10, 10, 10}) << true << 10;
        QTest::newRow("27 characters") << textLine({10, 10, 10, 10, 10, 10, 10, 1}) << false << 0;
        QTest::newRow("52 characters") << textLine({-10000, -10000, -10000, -10000, -10000, 1000, 100, 100}) << true << -10000;
        QTest::newRow("53 characters") << textLine({-10000, -10000, -10000, -10000, -10000, 1000, 1000, 100}) << false << 0;
        QTest::newRow("header elsewhere, first field skipped") << textLine(typical, "XXPH") << true << 1200;
        QTest::newRow("no header") << textLine(typical, "XX") << false << 0;
        QTest::newRow("seven readings") << textLine(typical.mid(1)) << false << 0;
        QTest::newRow("a ninth reading is not read") << textLine(typical + QList<int>{2000}) << true << 1200;
        // A reading is a 32-bit number of which the low 16 bits count; anything else reads 0.
        QTest::newRow("negative") << withFirstField("-1") << true << -1;
        QTest::newRow("plus sign") << withFirstField("+7") << true << 7;
        QTest::newRow("low 16 bits") << withFirstField("70000") << true << 4464;
        QTest::newRow("white space around") << withFirstField(" 42 ") << true << 42;
        QTest::newRow("digits then letters") << withFirstField("12ab") << true << 0;
        QTest::newRow("beyond 32 bits") << withFirstField("99999999999") << true << 0;
        QTest::newRow("sign alone") << withFirstField("-") << true << 0;
    }
    void textLines()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, accepted);
        QFETCH(int, first);
        const QByteArray name(QTest::currentDataTag());
        if (name.endsWith("characters"))
            QCOMPARE(line.size(), name.left(2).toInt());
        Readings readings{};
        QCOMPARE(decodeTextLine(line, readings), accepted);
        if (accepted) {
            QCOMPARE(int(readings[0]), first);
            QVERIFY(readings[7] != 0);   // the line end is not part of the last field
        }
    }

    // What the handshake may take from a hub that keeps streaming: only what
    // the hub itself sent as an answer, never a record's readings, also not
    // the tail of a record whose header came before the query.
    void handshakeAnswers_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("reply");        // trusted, or -1
        QTest::addColumn<int>("tentative");    // a reply to take only from a hub without records
        QTest::addColumn<int>("bootLoader");
        QTest::addColumn<int>("identity");     // where the identification line starts, or -1
        const QByteArray tail = QByteArray::fromHex("0102") + "C0FPB" + QByteArray::fromHex("0304");
        QTest::newRow("quiet reply") << QByteArray("C0FFB\r\n") << 0 << -1 << -1 << -1;
        QTest::newRow("quiet reply without a line end") << QByteArray("C0FFB") << -1 << 0 << -1 << -1;
        QTest::newRow("reply before the records") << "C0FFB\r\n" + frame << 0 << -1 << -1 << -1;
        QTest::newRow("a record's tail spells a reply") << tail + frame + "C0FFB\r\n" << 27 << 2 << -1 << -1;
        QTest::newRow("readings spell a reply") << "PH\x01\x02" + QByteArray("C0FPB") + QByteArray(9, '\x05')
                                                   + "C0FFB\r\n" << 18 << -1 << -1 << -1;
        QTest::newRow("a record's tail spells the marker") << "\x01BOOTM\x02" + frame << -1 << -1 << -1 << -1;
        QTest::newRow("the boot loader's marker") << QByteArray("BOOTM\r\n") << -1 << -1 << 0 << -1;
        QTest::newRow("readings spell an identity") << "PH" + QByteArray("ID PXHUB a b c\r\n") + frame
                                                       + "ID PXHUB 4321 9.9.9 EVL\r\n" << -1 << -1 << -1 << 36;
    }
    void handshakeAnswers()
    {
        QFETCH(QByteArray, data);
        QFETCH(int, reply);
        QFETCH(int, tentative);
        QFETCH(int, bootLoader);
        QFETCH(int, identity);
        const ConfigAnswer answer = scanConfigAnswer(data);
        QCOMPARE(answer.reply, reply);
        QCOMPARE(answer.tentativeReply, tentative);
        QCOMPARE(answer.bootLoader, bootLoader);
        QByteArray line;
        QCOMPARE(findIdentificationLine(data, line), identity);
        if (identity >= 0)
            QVERIFY(line.startsWith("ID PXHUB") && line.endsWith('\n'));
    }

    // Fast mode: binary output leaves zero samples out of the divisor, text counts them.
    void everyRecord_data()
    {
        QTest::addColumn<char>("mode");
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QList<int>>("firstReadings");   // sensor 0 of each record, in order
        const QByteArray tail("\x07", 1);   // what a hub may send after a frame's values
        QTest::newRow("frames back to back") << 'B' << (frame + tail).repeated(3) << QList<int>{1, 1, 1};
        QTest::newRow("a header inside the values") << 'B'
            << QByteArray::fromHex("5048" "5048" "0050" "4800" "0004" "0005" "0006" "0007" "0008") + tail + frame
            << QList<int>{0x5048, 1};
        QTest::newRow("garbage between frames") << 'B' << "xyP" + frame + "\x00P" + frame << QList<int>{1, 1};
        // A frame's last value byte "P", then "H": no header, wherever a read ends.
        QTest::newRow("a frame that ends in P") << 'B'
            << QByteArray::fromHex("5048" "0002" "0000" "0000" "0000" "0000" "0000" "0000" "0050") + "H"
                   + QByteArray(16, '\x01') + frame
            << QList<int>{2, 1};
        const QList<int> eight{1000, 1001, 1002, 1003, 1004, 1005, 1006, 1007};
        QTest::newRow("lines") << 'T' << textLine(eight) + textLine({-3, 1001, 1002, 1003, 1004, 1005, 1006, 1007})
                               << QList<int>{1000, -3};
        QTest::newRow("lines the reader refuses") << 'T'
            << textLine({1, 2}) + "noise\r\n" + textLine(eight) << QList<int>{1000};
        // Whatever follows a line too long to be a record starts afresh.
        QTest::newRow("an endless line") << 'T' << QByteArray(5000, 'x') + textLine(eight) + textLine(eight)
                                         << QList<int>{1000};
        // Sensor 0 at 2304 to 2559 mm puts a tab after the header, as a text
        // line has: from a binary start, and after a switch to frames.
        const QByteArray tabbed = QByteArray::fromHex("5048" "0931" "0931" "0931" "0931" "0931" "0931" "0931" "0931") + tail;
        QTest::newRow("frames that start like a line") << 'B' << tabbed.repeated(3) << QList<int>{0x0931, 0x0931, 0x0931};
        QTest::newRow("frames that start like a line, after a switch") << 'S' << tabbed.repeated(3)
            << QList<int>{0x0931, 0x0931, 0x0931};
        // 'S': switched from text to frames just before the stream: whole
        // lines still on their way are lines, what follows are frames.
        QTest::newRow("lines on their way after a switch") << 'S' << textLine(eight).repeated(2) + tabbed + frame
            << QList<int>{1000, 1000, 0x0931, 1};
        // 'U': switched from frames to text: frames still on their way are
        // frames, also one that starts like a line, up to the first line.
        QTest::newRow("frames on their way after a switch") << 'U'
            << frame + "x" + tabbed + frame + textLine(eight) + textLine({-3, 1001, 1002, 1003, 1004, 1005, 1006, 1007})
            << QList<int>{1, 0x0931, 1, 1000, -3};
        QTest::newRow("no frame left after a switch") << 'U' << textLine(eight).repeated(2) << QList<int>{1000, 1000};
    }

    // However the reads cut the stream, every whole record comes out once.
    void everyRecord()
    {
        QFETCH(char, mode);
        QFETCH(QByteArray, stream);
        QFETCH(QList<int>, firstReadings);
        for (int piece = 1; piece <= stream.size(); piece = piece < 8 ? piece + 1 : piece * 2) {
            RecordSplitter splitter;
            splitter.setDisplayMode(mode == 'S' ? Text : mode == 'U' ? Binary : uchar(mode));
            if (mode == 'S' || mode == 'U')
                splitter.switchDisplayMode(mode == 'S' ? Binary : Text);
            QList<int> seen;
            for (int at = 0; at < stream.size(); at += piece)
                for (const Readings &r : splitter.feed(stream.mid(at, piece)))
                    seen << r[0];
            QCOMPARE(seen, firstReadings);
        }
    }

    // A record cut by the switch is completed in its own encoding, in both directions.
    void recordCutBySwitch()
    {
        const QByteArray line = textLine({1000, 1001, 1002, 1003, 1004, 1005, 1006, 1007});
        for (const uchar from : {Text, Binary}) {
            const QByteArray old = from == Text ? line : frame;
            const QByteArray next = from == Text ? frame : line;
            RecordSplitter splitter;
            splitter.setDisplayMode(from);
            QCOMPARE(splitter.feed(old.left(10)).size(), 0);
            splitter.switchDisplayMode(from == Text ? Binary : Text);
            QList<int> last;
            for (const Readings &r : splitter.feed(old.mid(10) + old + next))
                last << r[7];
            const int oldLast = from == Text ? 1007 : 8;
            QCOMPARE(last, (QList<int>{oldLast, oldLast, from == Text ? 8 : 1007}));
        }
    }

    // "binary" and "text": the display's mean, onto its history of zeros;
    // "fresh": a recording's, which starts with what it was given (the same
    // in both outputs where no sample is 0).
    void means_data()
    {
        QTest::addColumn<QList<int>>("samples");   // oldest first
        QTest::addColumn<int>("n");
        QTest::addColumn<int>("binary");
        QTest::addColumn<int>("text");
        QTest::addColumn<int>("fresh");
        QTest::newRow("a zero among the newest") << QList<int>{1000, 0, 1000} << 3 << 1000 << 666 << -1;
        QTest::newRow("all zeros") << QList<int>{0, 0, 0} << 3 << 0 << 0 << -1;
        QTest::newRow("toward zero") << QList<int>{-1, -2} << 2 << -1 << -1 << -1;
        QTest::newRow("start-up zeros") << QList<int>{900} << 3 << 900 << 300 << 900;
        QTest::newRow("start-up, two records") << QList<int>{900, 600} << 20 << 750 << 75 << 750;
        QTest::newRow("only the newest n") << QList<int>{10, 20, 30, 40, 50} << 2 << 45 << 45 << 45;
        QTest::newRow("n of 0 reads as 1") << QList<int>{10, 60} << 0 << 60 << 60 << 60;
        QTest::newRow("n beyond the 50 kept") << (QVector<int>(60, 0).toList() << 500) << 1000 << 500 << 10 << -1;
    }
    void means()
    {
        QFETCH(QList<int>, samples);
        QFETCH(int, n);
        QFETCH(int, binary);
        QFETCH(int, text);
        QFETCH(int, fresh);
        for (bool skipZeros : {true, false}) {
            QList<qint16> history = QVector<qint16>(HistoryLength, 0).toList();
            SensorMean recording;
            qint16 mean = 0;
            Readings recorded{};
            for (int s : samples) {
                mean = pushAndAverage(history, qint16(s), n, skipZeros);
                recorded = recording.push(Readings{qint16(s), 0, 0, 0, 0, 0, 0, qint16(s)}, n, skipZeros);
            }
            QCOMPARE(int(mean), skipZeros ? binary : text);
            QCOMPARE(history.size(), HistoryLength);
            QCOMPARE(int(history.first()), samples.last());
            QCOMPARE(int(recorded[7]), fresh < 0 ? int(mean) : fresh);
        }
    }

    // What the file holds: the first row is what the display would show, rows
    // are in the output only once flushed, and the count is what is there.
    void recorderRows_data()
    {
        QTest::addColumn<int>("averaging");   // 0: fast mode only (the window), 1: every mode
        QTest::addColumn<char>("operating");
        QTest::addColumn<char>("display");
        QTest::addColumn<QList<int>>("samples");
        QTest::addColumn<QList<int>>("rows");   // sensor 0 of each row
        QTest::newRow("fast text, a mean of three") << 0 << 'F' << 'T' << QList<int>{1000, 1000, 1000, 400}
                                                    << QList<int>{1000, 1000, 1000, 800};
        QTest::newRow("fast binary leaves zeros out") << 0 << 'F' << 'B' << QList<int>{1000, 0, 400}
                                                      << QList<int>{1000, 1000, 700};
        QTest::newRow("precise, as it came") << 0 << 'P' << 'T' << QList<int>{1000, 0, 400}
                                             << QList<int>{1000, 0, 400};
        QTest::newRow("precise, a mean asked for") << 1 << 'P' << 'T' << QList<int>{1000, 0, 400}
                                                   << QList<int>{1000, 500, 466};
    }
    void recorderRows()
    {
        QFETCH(int, averaging);
        QFETCH(char, operating);
        QFETCH(char, display);
        QFETCH(QList<int>, samples);
        QFETCH(QList<int>, rows);
        QBuffer file;
        QVERIFY(file.open(QIODevice::WriteOnly));
        Recorder::Setup setup;
        setup.averaging = averaging ? Recorder::Averaging::EveryMode : Recorder::Averaging::FastModeOnly;
        setup.meanCount = 3;
        Recorder recorder(&file, setup);
        QVERIFY(recorder.begin());
        const int header = file.data().size();
        for (int sample : samples)
            recorder.takeRecord(Readings{qint16(sample), 0, 0, 0, 0, 0, 0, 0}, uchar(operating), uchar(display));
        QCOMPARE(file.data().size(), header);
        QCOMPARE(recorder.rows(), 0);
        QVERIFY(recorder.flush());
        QCOMPARE(recorder.rows(), qint64(rows.size()));
        QList<int> written;
        for (const QByteArray &line : file.data().split('\n').mid(1, rows.size()))
            written << line.split(',').value(2).toInt();
        QCOMPARE(written, rows);
    }

    // A file that can take no more: the rows in it are whole, counted, and the
    // reason is the system's.
    void recorderOnAFullDisk()
    {
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("recording.csv")));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        Recorder::Setup setup;
        setup.cutBack = true;
        Recorder recorder(&file, setup);
        QVERIFY(recorder.begin());
        bool ended = false;
        recorder.setOnEnd([&ended] { ended = true; });
        rlimit before{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &before), 0);
        rlimit small = before;
        small.rlim_cur = 1000;   // some 15 rows
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        bool flushed = true;
        for (int k = 0; k < 100 && flushed; ++k) {
            recorder.takeRecord(Readings{qint16(k), 1, 2, 3, 4, 5, 6, 7}, Precise, Text);
            flushed = recorder.flush();
        }
        setrlimit(RLIMIT_FSIZE, &before);
        std::signal(SIGXFSZ, previousHandler);
        QVERIFY(!flushed && recorder.failed() && ended);
        QCOMPARE(recorder.failure(), QStringLiteral("File too large"));
        file.close();
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray content = file.readAll();
        QVERIFY(content.endsWith('\n'));
        QCOMPARE(content.count('\n') - 1, int(recorder.rows()));
        QVERIFY(recorder.rows() > 5);
    }
};

QTEST_GUILESS_MAIN(TestHubProtocol)
#include "tst_hubprotocol.moc"
