// SPDX-License-Identifier: GPL-3.0-or-later
// Hubs that vanish or misbehave and ports that are no hub, met through the
// real window and its worker thread: whatever comes, the program must not
// crash, spin, grow without bound or leave a thread behind, and the user must
// be able to disconnect and connect again.
#include "testsupport.h"

#include <QtWidgets>
#include <QtTest>

namespace {

const QString CannotOpen = QStringLiteral(
    "Cannot open serial port! \r\nIf the problem persists try to unplug/replug the cable");

QPair<QString, QString> critical(const QString &text)
{
    return qMakePair(QStringLiteral("Critical Error"), text);
}

QByteArray textRecord(const QList<QByteArray> &fields)
{
    return "PH\t" + fields.join('\t') + "\r\n";
}

enum class Hostile { GarbageAndCutRecords, HeadersInValues, LinesOfAnyLength };

} // namespace

Q_DECLARE_METATYPE(Hostile)

class TestRobustness : public WindowTest
{
    Q_OBJECT

private slots:
    void hostileStreams_data()
    {
        QTest::addColumn<char>("display");
        QTest::addColumn<Hostile>("hostile");
        QTest::newRow("binary: garbage and cut records") << 'B' << Hostile::GarbageAndCutRecords;
        QTest::newRow("text: garbage and cut records") << 'T' << Hostile::GarbageAndCutRecords;
        QTest::newRow("binary: headers inside values") << 'B' << Hostile::HeadersInValues;
        QTest::newRow("text: headers inside values") << 'T' << Hostile::HeadersInValues;
        QTest::newRow("text: lines of any length") << 'T' << Hostile::LinesOfAnyLength;
    }

    void hostileStreams()
    {
        QFETCH(char, display);
        QFETCH(Hostile, hostile);
        // "PH" inside the readings: whole (0x5048), across two readings
        // (0x0050 0x4800) and doubled, so a reader that starts from the wrong
        // header shows other numbers.
        const bool headers = hostile == Hostile::HeadersInValues;
        const HubSimulator::Readings good =
            headers ? readings({0x5048, 0x0050, 0x4800, 0x5050, 0x4848, 0x0050, 0x4850, 1234})
                    : readings({3000, 3100, 3200, 3300, 3400, 3500, 3600, 3700});
        hub->setDisplayMode(display);
        hub->setFixedReadings(good);
        QVERIFY(connectToHub());
        QTRY_COMPARE_WITH_TIMEOUT(texts(), displayed(good, display), 5000);

        // What sensor 0 shows meanwhile: some texts no accepted record may give.
        auto *sensor0 = child<QTextBrowser>("textBrowserPX0");
        QStringList seen;
        QObject listening;   // ends with this function, as seen does
        connect(sensor0, &QTextBrowser::textChanged, &listening, [&] { seen << sensor0->toPlainText(); });
        hub->setPartialRecords(hostile != Hostile::LinesOfAnyLength);
        hub->setGarbageBetweenRecords(hostile == Hostile::GarbageAndCutRecords);
        if (headers) {
            for (const QByteArray &raw : {QByteArray("PH"), QByteArray("P"), QByteArray("H").append(30, 'P'),
                                          QByteArray("HPH\tPH\tPHPH\tPH\t1PH\t\tPH\r\n"),
                                          textRecord({"PH", "PH", "1PH2", "-PH", "PH-1", "0xPH", "PH", "PH"})})
                hub->sendRaw(raw);
        } else if (hostile == Hostile::LinesOfAnyLength) {
            for (int n : {0, 1, 2, 28, 200, 5000, 70000})
                hub->sendRaw(QByteArray(n, 'x') + "\n");
            // A record, of a length the reader takes, at the end of a line far
            // too long to be one.
            hub->sendRaw(QByteArray(9000, 'y') + textRecord(QVector<QByteArray>(8, "-7777").toList()));
        }
        QTest::qWait(1500);
        hub->setGarbageBetweenRecords(false);
        hub->setPartialRecords(false);

        const HubSimulator::Readings after = headers ? readings({0x4850, 0x5048, 80, 0x4800, 7, 8, 9, 10})
                                                     : readings({4000, 4100, 4200, 4300, 4400, 4500, 4600, 4700});
        hub->setFixedReadings(after);
        QTRY_COMPARE_WITH_TIMEOUT(texts(), displayed(after, display), 5000);
        QVERIFY2(!seen.contains(QStringLiteral("-7777")), qPrintable(seen.join(' ')));
        QCOMPARE(caption(), QStringLiteral("Disconnect"));
    }

    void memoryStaysBounded_data()
    {
        QTest::addColumn<char>("display");
        QTest::addColumn<bool>("endlessLine");
        QTest::newRow("binary records back to back") << 'B' << false;
        QTest::newRow("text records back to back") << 'T' << false;
        // It never ends, so it can never be a record.
        QTest::newRow("one endless line") << 'T' << true;
    }

    // As fast as the port takes it. Past the first second everything has
    // reached its working size; from then on nothing may grow with what keeps
    // coming.
    void memoryStaysBounded()
    {
        QFETCH(char, display);
        QFETCH(bool, endlessLine);
        hub->setDisplayMode(display);
        hub->setCyclePeriodMs(0);
        QVERIFY(connectToHub());
        hub->setStreaming(!endlessLine);
        hub->setSpeedFactor(0);
        QTest::qWait(1000);
        const QByteArray piece(64 * 1024, 'z');
        const qint64 start = hub->bytesSent();
        const qint64 heapBefore = processHeapKb();
        qint64 heapPeak = heapBefore;
        qint64 queued = 0;
        QElapsedTimer clock;
        clock.start();
        while (hub->bytesSent() - start < 12 * 1024 * 1024) {
            // A few pieces at a time, so that the hub's own copies stay small.
            if (endlessLine && queued - (hub->bytesSent() - start) < 4 * piece.size()) {
                hub->sendRaw(piece);
                queued += piece.size();
            }
            QTest::qWait(2);
            heapPeak = qMax(heapPeak, processHeapKb());
            QVERIFY2(clock.elapsed() < 120000, "the hub could not send fast");
        }
        QVERIFY2(heapPeak - heapBefore < 4 * 1024,
                 qPrintable(QStringLiteral("grew by %1 KiB").arg(heapPeak - heapBefore)));

        // The display keeps up: a new reading shows within moments, not after
        // a backlog of what took the hub many seconds to send. (A loaded
        // machine has taken most of a second.)
        const HubSimulator::Readings fixed = readings({111, 222, 333, 444, 555, 666, 777, 888});
        hub->setFixedReadings(fixed);
        hub->setStreaming(true);
        QTRY_COMPARE_WITH_TIMEOUT(texts(), displayed(fixed, display), 4000);
    }

    void linkFails_data()
    {
        QTest::addColumn<QString>("port");   // empty: a regular file
        QTest::addColumn<char>("display");
        QTest::addColumn<QStringList>("messages");
        // The hub's port closes under the worker while it streams, as when the
        // cable is pulled.
        const QStringList gone = {"Port is unavailable \r\n\nMaybe the device was unexpectedly "
                                  "removed from the system"};
        QTest::newRow("hub vanishes, binary") << "vanishing hub" << 'B' << gone;
        QTest::newRow("hub vanishes, text") << "vanishing hub" << 'T' << gone;
        QTest::newRow("silent hub") << "silent hub" << 'T' << QStringList{"Pellix Hub not found! \r\n"};
        QTest::newRow("no such device") << "/dev/pellix-no-such-port" << 'T'
                                        << QStringList{"Trying to open an non-existing device", CannotOpen};
        QTest::newRow("regular file") << QString() << 'T' << QStringList{CannotOpen};
        QTest::newRow("/dev/null") << "/dev/null" << 'T' << QStringList{CannotOpen};
        QTest::newRow("directory") << QDir::tempPath() << 'T' << QStringList{CannotOpen};
    }

    void linkFails()
    {
        QFETCH(QString, port);
        QFETCH(char, display);
        QFETCH(QStringList, messages);
        const bool vanishes = port == QLatin1String("vanishing hub");
        QTemporaryFile file;
        if (vanishes) {
            const HubSimulator::Readings before = readings({1000, 1100, 1200, 1300, 1400, 1500, 1600, 1700});
            hub->setDisplayMode(display);
            hub->setFixedReadings(before);
            QVERIFY(connectToHub());
            QTRY_COMPARE_WITH_TIMEOUT(texts(), displayed(before, display), 5000);
            hub->setCloseAfterRecords(hub->recordsSent() + 10);
        } else {
            if (port.isEmpty()) {
                QVERIFY(file.open());
                file.write("PH\t1\t2\t3\t4\t5\t6\t7\t8\r\nC0FFB\r\n");
                file.flush();
                port = file.fileName();
            } else if (port == QLatin1String("silent hub")) {
                hub->setSilent(true);
                port = hub->portPath();
            }
            typePortAndConnect(window, port);
        }
        for (const QString &message : messages)
            expectedBoxes << critical(message);
        // A failed open is reported twice in quick succession, and the window
        // stops listening at the first report it shows: what was not yet
        // queued by then (on a loaded machine, the second report) is not shown.
        QTRY_VERIFY_WITH_TIMEOUT(!boxes->seen.isEmpty() && caption() == QLatin1String("Connect"), 8000);
        QTest::qWait(200);
        QCOMPARE(boxes->seen, expectedBoxes.mid(0, qMax(1, boxes->seen.size())));
        expectedBoxes = boxes->seen;
        QCOMPARE(child<QStatusBar>("statusBar")->currentMessage(), QStringLiteral("Disconnected"));
        QVERIFY(!child<QAction>("actionUpload_Firmware")->isEnabled());

        // A port whose peer has gone stays readable for ever; nothing may keep
        // answering it. Over a second the whole process stays close to idle.
        const double cpuBefore = processCpuSeconds();
        QTest::qWait(1000);
        const double cpuUsed = processCpuSeconds() - cpuBefore;
        QVERIFY2(cpuUsed < 0.25, qPrintable(QStringLiteral("%1 s of CPU in 1 s").arg(cpuUsed)));
        // The worker's thread has ended and no port is held; a vanished hub
        // took its own thread and both ends of its pseudo-terminal along.
        QTRY_COMPARE(processThreadCount(), baselineThreads - vanishes);
        QTRY_COMPARE(processOpenFiles(), baselineFiles - 2 * vanishes + file.isOpen());

        // The hub is plugged in again (a new port, as a replugged device may get).
        if (vanishes) {
            hub->stop();
            hub->setCloseAfterRecords(-1);
            QVERIFY(hub->start());
        }
        hub->setSilent(false);
        QVERIFY(showsAfterReconnect(readings({2000, 2100, 2200, 2300, 2400, 2500, 2600, 2700}), display));
    }

    // Connect, disconnect and connect again quicker than a worker lets go of
    // the port; then whole connections by turns in both outputs.
    void reconnectsFasterThanTheWorkerLetsGo()
    {
        child<QComboBox>("comboBoxPortName")->setEditText(hub->portPath());
        clickConnect();
        clickConnect();
        clickConnect();
        QCOMPARE(caption(), QStringLiteral("Disconnect"));
        QVERIFY(waitForHubConfiguration(window));
        clickConnect();
        QTRY_COMPARE_WITH_TIMEOUT(processThreadCount(), baselineThreads, 10000);
        for (int cycle = 0; cycle < 4; ++cycle)
            QVERIFY(showsAfterReconnect(readings({1000 + cycle, 1100, 1200, 1300, 1400, 1500, 1600, 1700}),
                                        "BT"[cycle % 2]));
        QTRY_COMPARE(processOpenFiles(), baselineFiles);
    }
};

QTEST_MAIN(TestRobustness)
#include "tst_robustness.moc"
