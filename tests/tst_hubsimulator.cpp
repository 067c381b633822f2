// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated hub, from the host side of its pty, through QSerialPort alone.
// The other tests take its answers and its pace for granted; only those are
// checked here, without the program's code.

#include "hubsimulator.h"

#include <QSerialPort>
#include <QtTest>

#include <algorithm>

namespace {

// What arrives within ms, or up to the first line end when untilLineEnd.
QByteArray readFrom(QSerialPort &port, int ms, bool untilLineEnd = false)
{
    QByteArray data;
    QElapsedTimer timer;
    timer.start();
    while (!(untilLineEnd && data.contains("\r\n")) && timer.elapsed() < ms)
        if (port.waitForReadyRead(int(ms - timer.elapsed())))
            data += port.readAll();
    return data;
}

bool send(QSerialPort &port, const QByteArray &bytes)
{
    return port.write(bytes) == bytes.size() && port.waitForBytesWritten(1000);
}

} // namespace

class TestHubSimulator : public QObject
{
    Q_OBJECT

private slots:
    // Commands may arrive in pieces; "T" opens three of them.
    void answersAndTakesCommands()
    {
        HubSimulator hub;
        hub.setStreaming(false);
        hub.setSpeedFactor(0);
        hub.setIdentity("77", "3.0.0", "Q");
        QVERIFY(hub.start());
        QSerialPort port(hub.portPath());
        QVERIFY(port.open(QIODevice::ReadWrite));
        int sent = 0;
        for (const QByteArray piece : {"xC5", "APP", "PTT", "T", "T3", "25", "0"})
            QVERIFY(send(port, piece) && hub.waitForReceived(sent += piece.size(), 1000));
        QCOMPARE(hub.sensorTimeout(3), 250);
        QVERIFY(send(port, "HCF"));
        QCOMPARE(readFrom(port, 1000, true), QByteArray("C5APT\r\n"));
        QVERIFY(send(port, "RRI"));
        QCOMPARE(readFrom(port, 1000, true), QByteArray("ID PXHUB 77 3.0.0 Q\r\n"));
        QVERIFY(send(port, "TUFHCF"));
        QCOMPARE(readFrom(port, 1000, true), QByteArray("BOOTM\r\n"));
    }

    // Over one sweep every 16-bit value comes once: in binary frames, where
    // some of them read as a header or a line end, and in text lines, where
    // half of them are negative numbers.
    void sweepCoversEveryValue_data()
    {
        QTest::addColumn<char>("display");
        QTest::newRow("binary frames") << 'B';
        QTest::newRow("text lines") << 'T';
    }

    void sweepCoversEveryValue()
    {
        QFETCH(char, display);
        HubSimulator hub;
        hub.setStreaming(false);
        hub.setDisplayMode(display);
        hub.setSpeedFactor(50);   // paced, so that a full pty never costs a record
        hub.setSweep();
        QVERIFY(hub.start());
        QSerialPort port(hub.portPath());
        QVERIFY(port.open(QIODevice::ReadWrite));
        hub.setStreaming(true);

        const int records = HubSimulator::SweepRecords;
        const auto whole = [&](const QByteArray &data) {
            return display == 'B' ? data.size() / 19 : int(data.count('\n'));
        };
        QByteArray data;
        for (int tries = 0; whole(data) < records && tries < 40; ++tries)
            data += readFrom(port, 500);
        QVERIFY2(whole(data) >= records, qPrintable(QStringLiteral("%1 records").arg(whole(data))));

        const QList<QByteArray> lines = data.split('\n');
        QVector<int> seen(65536, 0);
        for (int i = 0; i < records; ++i) {
            QVector<qint16> values;
            if (display == 'B') {
                const QByteArray frame = data.mid(i * 19, 19);
                QVERIFY(frame.startsWith("PH"));
                for (int k = 0; k < 8; ++k)
                    values << qint16(quint16(quint8(frame.at(2 + 2 * k)) << 8 | quint8(frame.at(3 + 2 * k))));
            } else {
                const QByteArray &line = lines.at(i);
                const QList<QByteArray> fields = line.trimmed().split('\t');
                QCOMPARE(fields.size(), 9);
                QCOMPARE(fields.at(0), QByteArray("PH"));
                for (int k = 1; k < 9; ++k) {
                    bool ok = false;
                    values << fields.at(k).toShort(&ok);
                    QVERIFY2(ok, line.constData());
                }
            }
            for (qint16 v : values)
                ++seen[quint16(v)];
        }
        QCOMPARE(int(std::count(seen.begin(), seen.end(), 1)), 65536);
    }
};

QTEST_GUILESS_MAIN(TestHubSimulator)
#include "tst_hubsimulator.moc"
