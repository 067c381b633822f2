// SPDX-License-Identifier: GPL-3.0-or-later
// The serial worker on its own thread, as the window runs it, against the
// simulated hub over a real pseudo-terminal. How bytes decode is tst_hubprotocol's
// business; this checks that the worker reads, keeps and writes them on the port.
#include "hubsimulator.h"
#include "recordsink.h"
#include "testsupport.h"
#include "threadcom.h"

#include <QtTest>

#include <functional>

namespace {

using HubProtocol::Readings;

// A worker wired to its thread the way the window wires it.
struct WorkerRun
{
    QPointer<QThread> thread = new QThread;
    QPointer<ThreadCom> worker;
    // The worker's signals, handed over to the test's thread as the window
    // gets them. A QSignalSpy on the worker itself would record them on the
    // worker's thread while the test reads it: a data race.
    ThreadCom events{QString()};
    QSignalSpy config{&events, &ThreadCom::Set_GUIConfiguration};
    QSignalSpy errors{&events, &ThreadCom::errorSerialPort};
    QSignalSpy disco{&events, &ThreadCom::showdisco};
    QSignalSpy upload{&events, &ThreadCom::GoToUploadMode};
    QSignalSpy bin{&events, &ThreadCom::SendDistanceValueBin};
    QSignalSpy text{&events, &ThreadCom::SendDistanceValueText};

    explicit WorkerRun(const QString &port)
        : worker(new ThreadCom(port))
    {
        const QMetaObject &meta = ThreadCom::staticMetaObject;
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
            if (meta.method(i).methodType() == QMetaMethod::Signal)
                QObject::connect(worker, meta.method(i), &events, meta.method(i), Qt::QueuedConnection);
        worker->moveToThread(thread);
        QObject::connect(thread, &QThread::started, worker, &ThreadCom::process);
        QObject::connect(worker, &ThreadCom::finished, thread, &QThread::quit);
        QObject::connect(worker, &ThreadCom::finished, worker, &QObject::deleteLater);
        QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    }
    ~WorkerRun()
    {
        if (worker)
            QMetaObject::invokeMethod(worker, "exit", Qt::QueuedConnection);
        if (!QTest::qWaitFor([this] { return !thread; }, 5000))
            qWarning("a worker's thread outlived its test");
    }
    // Waits for the hub's configuration and, as the window's answer does, lets the readers run.
    bool start(bool reading = true)
    {
        thread->start();
        if (!config.wait(7000))
            return false;
        if (reading)
            onWorker([this] { worker->ConnectSerialRead(); });
        return true;
    }
    // Runs f on the worker's thread, between two of its slots.
    void onWorker(const std::function<void()> &f) { QMetaObject::invokeMethod(worker, f, Qt::BlockingQueuedConnection); }
    // Every signal the worker has sent so far reaches the spies.
    void settle() { onWorker([] {}); QCoreApplication::processEvents(); }
    Readings values()
    {
        Readings copy;
        QMutexLocker lock(&worker->DataMutex);
        std::copy(std::begin(worker->DistanceValue), std::end(worker->DistanceValue), copy.begin());
        return copy;
    }
};

// A binary frame whose eight readings are all v, and those readings.
QByteArray frame(char v)
{
    return "PH" + QByteArray(1, '\0').append(v).repeated(8);
}

Readings all(int v) { return readings({v, v, v, v, v, v, v, v}); }

// Sensor 0 of every record the worker hands on, read on the worker's thread.
struct FirstReadings : RecordSink
{
    QList<int> values;
    void takeRecord(const Readings &r, uchar, uchar) override { values.append(r[0]); }
};

} // namespace

Q_DECLARE_METATYPE(Readings)

class TestThreadCom : public QObject
{
    Q_OBJECT

    HubSimulator *hub = nullptr;

private slots:
    void init()
    {
        qRegisterMetaType<qint8>("qint8");
        qRegisterMetaType<uchar>("uchar");
        hub = new HubSimulator;
        hub->setSpeedFactor(10);
        hub->setCyclePeriodMs(50);
        QVERIFY(hub->start());
    }
    void cleanup() { delete hub; }

    void handshake_data()
    {
        QTest::addColumn<int>("splitMs");
        QTest::addColumn<bool>("streaming");
        QTest::addColumn<bool>("identifies");
        QTest::addColumn<QList<QByteArray>>("pieces");   // in place of the hub's answer
        QTest::addColumn<int>("gapMs");                   // between the pieces
        QTest::addColumn<QStringList>("identity");
        const QStringList hubs{"PXHUB", "512", "1.2.0", "XYZ"};
        const QStringList defaults{"PXHUB", "0", "1.0.0", "STD"};
        const QStringList sent{"PXHUB", "77", "3.0.0", "Q"};
        const QByteArray line("ID PXHUB 77 3.0.0 Q\r\n");
        QTest::newRow("one reply each") << 0 << false << true << QList<QByteArray>() << 400 << hubs;
        QTest::newRow("configuration reply in two writes") << 2 << false << true << QList<QByteArray>() << 400 << hubs;
        QTest::newRow("records stream during the handshake") << 0 << true << true << QList<QByteArray>() << 400 << hubs;
        QTest::newRow("no identification") << 0 << false << false << QList<QByteArray>() << 400 << defaults;
        const QByteArray withNul("ID PXHUB 77\0x 3.0.0 Q\r\n", 23);   // a field ends at its NUL
        QTest::newRow("identification in pieces")
            << 0 << false << false << QList<QByteArray>{withNul.left(14), withNul.mid(14)} << 400 << sent;
        QTest::newRow("identification late, behind a record")
            << 0 << false << false << QList<QByteArray>{"PH\t1\t2\t3\t4\t5\t6\t7\t8\r\n", line} << 400 << sent;
        QTest::newRow("short identification keeps the defaults")
            << 0 << false << false << QList<QByteArray>{"ID PXHUB 77\r\n", line} << 400 << defaults;
        // The waits for the answer last two seconds from the first byte; an
        // answer that first comes in the last of them is too late.
        QTest::newRow("identification in the last wait")
            << 0 << false << false << QList<QByteArray>{"\r\n", line} << 1950 << defaults;
    }
    void handshake()
    {
        QFETCH(int, splitMs);
        QFETCH(bool, streaming);
        QFETCH(bool, identifies);
        QFETCH(QList<QByteArray>, pieces);
        QFETCH(int, gapMs);
        QFETCH(QStringList, identity);
        // Fast mode: not what the worker assumes before the reply, so a lost field shows.
        hub->setMask(0xA5);
        hub->setOperatingMode('F');
        hub->setDisplayMode('T');
        hub->setIdentity("512", "1.2.0", "XYZ");
        hub->setSplitConfigReply(splitMs);
        hub->setStreamDuringHandshake(streaming);
        hub->setNoIdentification(!identifies);
        hub->setStreaming(pieces.isEmpty());
        WorkerRun run(hub->portPath());
        run.thread->start();
        QVERIFY(hub->waitForReceived(6, 7000));
        QCOMPARE(hub->received(), QByteArray("HCFRRI"));
        for (const QByteArray &piece : pieces) {
            hub->sendRaw(piece);
            QThread::msleep(gapMs);
        }
        QTRY_COMPARE_WITH_TIMEOUT(run.config.count(), 1, 7000);
        QCOMPARE(run.config.at(0), QVariantList({QVariant::fromValue(qint8(0xA5)), QVariant::fromValue(uchar('F')), QVariant::fromValue(uchar('T'))}));
        QCOMPARE(run.errors.count(), 0);
        QMutexLocker lock(&run.worker->DataMutex);
        const ThreadCom &w = *run.worker;
        QCOMPARE(QStringList({w.DeviceName, w.SerialNo, w.FirmwareVersion, w.FirmwareType}), identity);
    }

    // A hub goes on streaming whoever listens, and its readings take any
    // value: the handshake meets records before, around and after the reply,
    // and only the hub's own reply may set what the window shows.
    void handshakeInTraffic_data()
    {
        QTest::addColumn<bool>("streaming");
        QTest::addColumn<Readings>("values");
        QTest::addColumn<char>("operating");   // what the hub reports ('X': not a mode)
        QTest::addColumn<bool>("garbage");
        QTest::addColumn<bool>("replies");
        QTest::addColumn<int>("connections");   // the hub keeps streaming between them
        QTest::addColumn<QVariantList>("config"); // empty: not found
        QTest::addColumn<int>("splitMs");         // the reply in two writes this far apart
        QTest::addColumn<QByteArray>("before");   // waiting in the port before the query
        const auto config = [](int mask, char operating, char display) {
            return QVariantList{QVariant::fromValue(qint8(mask)), QVariant::fromValue(uchar(operating)),
                                QVariant::fromValue(uchar(display))};
        };
        // "C0FPB" and "C" in every reading: a reply inside each frame.
        const Readings spelled = readings({0x4330, 0x4650, 0x4243, 0x3046, 0x5042, 0x0443, 0x4343, 0x4300});
        const Readings plain = readings({1091, 2000, 3000, 4000, 0, 0, 0, 0});
        QTest::newRow("frames that spell a reply") << true << spelled << 'F' << false << true << 1 << config(0xA5, 'F', 'B') << 0 << QByteArray();
        QTest::newRow("garbage between records") << true << plain << 'F' << true << true << 1 << config(0xA5, 'F', 'B') << 0 << QByteArray();
        QTest::newRow("reconnect to a hub left streaming") << true << spelled << 'F' << false << true << 2 << config(0xA5, 'F', 'B') << 0 << QByteArray();
        QTest::newRow("no reply among records") << true << spelled << 'F' << false << false << 1 << QVariantList() << 0 << QByteArray();
        QTest::newRow("malformed reply among records") << true << plain << 'X' << false << true << 1 << QVariantList() << 0 << QByteArray();
        // A quiet hub's reply is read as far as it goes: the host keeps its own operating mode.
        QTest::newRow("malformed reply of a quiet hub") << false << plain << 'X' << false << true << 1 << config(0xA5, 'P', 'B') << 0 << QByteArray();
        QTest::newRow("a quiet hub's reply in two writes") << false << plain << 'F' << false << true << 1 << config(0xA5, 'F', 'B') << 60 << QByteArray();
        QTest::newRow("an old reply waiting before the query") << false << plain << 'F' << false << true << 1 << config(0xA5, 'F', 'B') << 0 << QByteArray("C33PT\r\n");
    }
    void handshakeInTraffic()
    {
        QFETCH(bool, streaming);
        QFETCH(Readings, values);
        QFETCH(char, operating);
        QFETCH(bool, garbage);
        QFETCH(bool, replies);
        QFETCH(int, connections);
        QFETCH(QVariantList, config);
        QFETCH(int, splitMs);
        QFETCH(QByteArray, before);
        hub->setSplitConfigReply(splitMs);
        if (!before.isEmpty()) {
            hub->setStreaming(false);
            const qint64 sent = hub->bytesSent();
            hub->sendRaw(before);   // into the port, before anyone opens it
            QTRY_COMPARE(hub->bytesSent(), sent + before.size());
        }
        hub->setCyclePeriodMs(0);   // back to back, as fast as the wire goes
        hub->setMask(0xA5);
        hub->setOperatingMode(operating);
        hub->setDisplayMode('B');
        hub->setFixedReadings(values);
        hub->setGarbageBetweenRecords(garbage);
        hub->setStreaming(streaming);
        hub->setNoConfigReply(!replies);
        for (int connection = 1; connection <= connections; ++connection) {
            WorkerRun run(hub->portPath());
            run.thread->start();
            QTRY_COMPARE_WITH_TIMEOUT(run.config.count() + run.disco.count(), 1, 7000);
            run.settle();
            if (config.isEmpty()) {
                QCOMPARE(run.config.count(), 0);
                QCOMPARE(run.errors.count(), 1);
                QCOMPARE(run.errors.at(0).at(0).toString(), QStringLiteral("Pellix Hub not found! \r\n"));
                continue;
            }
            QVERIFY2(run.errors.isEmpty(), qPrintable(run.errors.value(0).value(0).toString()));
            QCOMPARE(run.config.count(), 1);
            QCOMPARE(run.config.at(0), config);
            QCOMPARE(run.worker->reported.operatingMode, operating != 'X');
            QVERIFY(run.worker->reported.mask && run.worker->reported.displayMode);
            QMutexLocker lock(&run.worker->DataMutex);
            QCOMPARE(run.worker->SerialNo, QStringLiteral("1234"));   // the identity too
            QVERIFY(run.worker->reported.identity);
        }
    }

    void bootLoaderMarker()
    {
        hub->setStartInBootLoader(true);
        WorkerRun run(hub->portPath());
        run.thread->start();
        QTRY_COMPARE_WITH_TIMEOUT(run.upload.count(), 1, 5000);
        run.settle();
        QCOMPARE(run.config.count() + run.disco.count() + run.errors.count(), 0);
        bool open = false;   // for the boot loader
        run.onWorker([&] { open = run.worker->SerialPort && run.worker->SerialPort->isOpen(); });
        QVERIFY(open);
    }

    void unusableImageErasesNothing_data()
    {
        QTest::addColumn<qint64>("size");   // -1: no such file; sparse beyond the first bytes
        QTest::addColumn<QString>("message");
        QTest::newRow("no such file") << qint64(-1) << "Error opening the file!";
        QTest::newRow("empty file") << qint64(0) << "The firmware file is empty. Please choose another file.";
        QTest::newRow("over the size limit") << qint64(8 * 1024 * 1024 + 1)
            << "8388609 bytes, more than 8 MiB. Choose another file.";
        QTest::newRow("beyond the size header") << qint64(5) * 1024 * 1024 * 1024
            << "The file is over 4 GiB. Choose the Hub's firmware.";
    }
    void unusableImageErasesNothing()
    {
        QFETCH(qint64, size);
        QFETCH(QString, message);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("firmware.binary"));
        QFile file(path);
        QVERIFY(size < 0 || (file.open(QIODevice::WriteOnly) && file.write("image") >= 0 && file.resize(size)));
        file.close();
        WorkerRun run(hub->portPath());
        QSignalSpy messages(&run.events, &ThreadCom::upgradeMessage);
        QSignalSpy ended(&run.events, &ThreadCom::upgradeEnded);
        QVERIFY(run.start());
        run.onWorker([&] { run.worker->Upgrade(); });
        QTRY_VERIFY(hub->inBootLoader());
        run.onWorker([&] { run.worker->launch_upgrade(path); });
        QTRY_COMPARE(ended.count(), 1);
        QCOMPARE(ended.at(0).at(0).value<Upgrade_logic::Outcome>(), Upgrade_logic::FileUnusable);
        QCOMPARE(messages.count(), 1);
        QCOMPARE(messages.at(0).at(0).toString(), message);
        QVERIFY(!hub->eraseRequested());
    }

    // An erase takes seconds, and a build may rewrite the file meanwhile: the
    // hub gets the bytes that were there when the run began, or nothing.
    void imageIsReadOnce_data()
    {
        QTest::addColumn<QByteArray>("during");   // the file's content once the erase began
        QTest::newRow("emptied") << QByteArray();
        QTest::newRow("grown") << QByteArray(69496, 'G');
        QTest::newRow("rewritten") << QByteArray(4100, 'R');
    }
    void imageIsReadOnce()
    {
        QFETCH(QByteArray, during);
        QByteArray image(4100, '\0');
        for (int i = 0; i < image.size(); ++i)
            image[i] = char(i * 7);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("firmware.binary"));
        const auto write = [&path](const QByteArray &bytes) {
            QFile file(path);
            return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
        };
        QVERIFY(write(image));
        WorkerRun run(hub->portPath());
        QSignalSpy ended(&run.events, &ThreadCom::upgradeEnded);
        QVERIFY(run.start());
        run.onWorker([&] { run.worker->Upgrade(); });
        QTRY_VERIFY(hub->inBootLoader());
        QMetaObject::invokeMethod(run.worker, "launch_upgrade", Qt::QueuedConnection, Q_ARG(QString, path));
        QTRY_VERIFY(hub->eraseRequested());
        QVERIFY(write(during));
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 10000);
        QCOMPARE(ended.at(0).at(0).value<Upgrade_logic::Outcome>(), Upgrade_logic::Done);
        QCOMPARE(hub->announcedImageSize(), quint32(image.size()));
        QCOMPARE(hub->receivedImage(), image);
    }

    // The dialog asks the user to restart the hub after a refused erase; the
    // hub then streams into the port the boot loader's run left open.
    void unfinishedRunLeavesNoBacklog()
    {
        hub->setCyclePeriodMs(0);
        hub->setEraseReply('Z');
        hub->setEraseMs(0);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("firmware.binary"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(64, 'x')) == 64);
        file.close();
        WorkerRun run(hub->portPath());
        QSignalSpy ended(&run.events, &ThreadCom::upgradeEnded);
        QVERIFY(run.start());
        run.onWorker([&] { run.worker->Upgrade(); });
        QTRY_VERIFY(hub->inBootLoader());
        run.onWorker([&] { run.worker->launch_upgrade(path); });
        QTRY_COMPARE(ended.count(), 1);
        QCOMPARE(ended.at(0).at(0).value<Upgrade_logic::Outcome>(), Upgrade_logic::Refused);
        hub->setStartInBootLoader(false);   // restarted into its firmware
        const int before = hub->recordsSent();
        QTRY_VERIFY(hub->recordsSent() > before + 2000);
        qint64 waiting = -1;
        run.onWorker([&] { waiting = run.worker->SerialPort->bytesAvailable(); });
        QVERIFY2(waiting >= 0 && waiting < 4096, qPrintable(QString::number(waiting)));
    }

    void silentHubIsNotFound()
    {
        hub->setSilent(true);
        WorkerRun run(hub->portPath());
        QElapsedTimer clock;
        clock.start();
        run.thread->start();
        QTRY_COMPARE_WITH_TIMEOUT(run.disco.count(), 1, 8000);
        QVERIFY2(clock.elapsed() > 3500, "the hub gets forty waits of 100 ms");
        QCOMPARE(run.errors.count(), 1);
        QCOMPARE(run.errors.at(0).at(0).toString(), QStringLiteral("Pellix Hub not found! \r\n"));
        QTRY_VERIFY(!run.thread);   // a worker with no hub ends with its thread
        QCOMPARE(run.config.count(), 0);
    }

    void commandBytes()
    {
        hub->setOperatingMode('P');
        hub->setDisplayMode('T');
        WorkerRun run(hub->portPath());
        QVERIFY(run.start());
        hub->clearReceived();
        const QList<QPair<std::function<void(ThreadCom *)>, QByteArray>> steps{
            {[](ThreadCom *w) { w->SendChangingOfDisplayMode(false); }, "BBB"},   // the argument
            {[](ThreadCom *w) { w->SendChangingOfDisplayMode(false); }, "TTT"},   // is not consulted
            {[](ThreadCom *w) { w->SendChangingOfOperatingMode(); }, "FFF"},
            {[](ThreadCom *w) { w->SendChangingOfOperatingMode(); }, "PPP"},
            {[](ThreadCom *w) { w->SendChangingofConnectedPX(qint8(0x81)); }, "C81"},
            {[](ThreadCom *w) { w->SendChangingofConnectedPX(0x0A); }, "C0A"},
            {[](ThreadCom *w) { w->SetnewTIMO(2, 40); }, "T2040"},
            {[](ThreadCom *w) { w->SetnewTIMO(7, 1234); }, "T7123"},
        };
        for (const auto &step : steps) {
            run.onWorker([&] { step.first(run.worker); });
            QVERIFY2(hub->waitForReceived(step.second.size(), 2000), step.second.constData());
            QCOMPARE(hub->received(), step.second);
            hub->clearReceived();
        }
        // The hub took each as one command.
        QTRY_COMPARE(hub->sensorTimeout(7), 123);
        QCOMPARE(hub->sensorTimeout(2), 40);
        QCOMPARE(hub->mask(), quint8(0x0A));
    }

    void binaryChunksOverThePort()
    {
        hub->setStreaming(false);
        hub->setOperatingMode('P');
        hub->setDisplayMode('B');
        WorkerRun run(hub->portPath());
        QVERIFY(run.start());
        // 18 bytes waiting are left alone; the 19th lets the reader take the frame.
        hub->sendRaw(frame(1));
        const auto waiting = [&run] {
            qint64 bytes = 0;
            run.onWorker([&] { bytes = run.worker->SerialPort->bytesAvailable(); });
            return bytes;
        };
        QTRY_COMPARE(waiting(), qint64(18));
        run.settle();
        QCOMPARE(run.bin.count(), 0);
        hub->sendRaw("\x01");
        QTRY_COMPARE(run.bin.count(), 1);
        QCOMPARE(run.values(), all(1));
        // Two frames in one chunk: one update, from the first.
        hub->sendRaw(frame(20) + frame(40));
        QTRY_COMPARE(run.bin.count(), 2);
        QCOMPARE(run.values(), all(20));
        // A frame cut by the end of a chunk is kept for the next one.
        hub->sendRaw(QByteArray(5, '\x01') + frame(60).left(14));
        QTest::qWait(100);   // apart, so that they make two chunks; together they pass too
        hub->sendRaw(frame(60).mid(14) + QByteArray(15, '\x01'));
        QTRY_COMPARE(run.values(), all(60));
        run.settle();
        QCOMPARE(run.bin.count(), 3);
        QCOMPARE(run.text.count(), 0);
    }

    // Records that come together, then a pause: the display takes one a
    // notification, the record path every one of them at once.
    void recordsAreTakenAsTheyCome_data()
    {
        QTest::addColumn<char>("display");
        QTest::addColumn<QByteArray>("burst");
        QTest::addColumn<QByteArray>("next");   // after the pause
        QTest::addColumn<QList<int>>("expected");
        QTest::newRow("frames") << 'B' << frame(1) + frame(2) + frame(3) << frame(4) << QList<int>({1, 2, 3, 4});
        const QByteArray rest = "\t1000\t1000\t1000\t1000\t1000\t1000\t1000\r\n";
        QTest::newRow("lines") << 'T' << "PH\t1001" + rest + "PH\t1002" + rest + "PH\t1003" + rest
                               << "PH\t1004" + rest << QList<int>({1001, 1002, 1003, 1004});
    }
    void recordsAreTakenAsTheyCome()
    {
        QFETCH(char, display);
        QFETCH(QByteArray, burst);
        QFETCH(QByteArray, next);
        QFETCH(QList<int>, expected);
        hub->setStreaming(false);
        hub->setOperatingMode('P');
        hub->setDisplayMode(display);
        WorkerRun run(hub->portPath());
        FirstReadings sink;
        QVERIFY(run.start(false));
        run.onWorker([&] {
            run.worker->addRecordSink(&sink);
            run.worker->ConnectSerialRead();
        });
        hub->sendRaw(burst);
        QList<int> taken;
        QTRY_VERIFY_WITH_TIMEOUT((run.onWorker([&] { taken = sink.values; }), taken.size() >= 3), 3000);
        // The display's reader reads the last of them only now, and it is not given again.
        hub->sendRaw(next);
        QTRY_VERIFY_WITH_TIMEOUT((run.onWorker([&] { taken = sink.values; }), taken.size() >= 4), 3000);
        QTest::qWait(200);
        run.onWorker([&] {
            taken = sink.values;
            run.worker->removeRecordSink(&sink);
        });
        QCOMPARE(taken, expected);
    }

    // Fast mode, a mean of three: sensor 0 reads 1000, 0, 1000 over and over,
    // so any three newest samples hold one 0 and two 1000s.
    void readersFollowTheDisplayMode_data()
    {
        QTest::addColumn<char>("display");
        QTest::addColumn<int>("mean");
        QTest::addColumn<int>("otherMean");   // once the other reader has taken over
        QTest::newRow("binary leaves zeros out, then text counts them") << 'B' << 1000 << 666;
        QTest::newRow("text counts zeros, then binary leaves them out") << 'T' << 666 << 1000;
    }
    void readersFollowTheDisplayMode()
    {
        QFETCH(char, display);
        QFETCH(int, mean);
        QFETCH(int, otherMean);
        Readings near = readings({1000, -1, 0, 32767, -32768, 15, 1234, 13999});
        Readings none = near;
        none[0] = 0;
        hub->setScript({near, none, near});
        hub->setCyclePeriodMs(200);   // one record per notification
        hub->setDisplayMode(display);
        hub->setOperatingMode('F');
        WorkerRun run(hub->portPath());
        QVERIFY(run.start(false));
        run.onWorker([&] {
            QMutexLocker lock(&run.worker->DataMutex);
            run.worker->setMeanValueNumber(3);
            lock.unlock();
            run.worker->ConnectSerialRead();
        });
        QSignalSpy &first = display == 'B' ? run.bin : run.text;
        QSignalSpy &second = display == 'B' ? run.text : run.bin;
        QTRY_VERIFY_WITH_TIMEOUT(first.count() >= 5, 5000);
        QCOMPARE(second.count(), 0);
        near[0] = qint16(mean);
        QCOMPARE(run.values(), near);
        // The readers are swapped before the command goes out: once the new
        // one has spoken, the old one stays quiet.
        run.onWorker([&] { run.worker->SendChangingOfDisplayMode(false); });
        QTRY_VERIFY(second.count() >= 1);
        const int firstBefore = first.count();
        QTRY_VERIFY_WITH_TIMEOUT(second.count() >= 5, 5000);
        QCOMPARE(first.count(), firstBefore);
        near[0] = qint16(otherMean);
        QCOMPARE(run.values(), near);
    }
};

QTEST_MAIN(TestThreadCom)
#include "tst_threadcom.moc"
