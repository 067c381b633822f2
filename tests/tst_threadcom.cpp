// The serial worker on its own thread, as the window runs it, against the
// simulated hub over a real pseudo-terminal.
#include "hubsimulator.h"
#include "testsupport.h"
#include "threadcom.h"

#include <QtTest>

namespace {

// QTRY_* without failing, for the destructor.
#define QTRY_VERIFY_WITH_TIMEOUT_NOFAIL(expr, timeout)                                         \
    do {                                                                                       \
        QElapsedTimer t;                                                                       \
        t.start();                                                                             \
        while (!(expr) && t.elapsed() < (timeout))                                             \
            QTest::qWait(10);                                                                  \
    } while (0)

// A worker wired to its thread the way the window wires it.
struct WorkerRun
{
    QPointer<QThread> thread = new QThread;
    QPointer<ThreadCom> worker;
    // The worker's signals, handed over to the test's thread as the window
    // gets them. A QSignalSpy on the worker itself would record them on the
    // worker's thread while the test reads it: a data race.
    ThreadCom events{QString()};

    explicit WorkerRun(const QString &port)
        : worker(new ThreadCom(port))
    {
        QObject::connect(worker, &ThreadCom::Set_GUIConfiguration, &events,
                         &ThreadCom::Set_GUIConfiguration, Qt::QueuedConnection);
        QObject::connect(worker, &ThreadCom::errorSerialPort, &events, &ThreadCom::errorSerialPort,
                         Qt::QueuedConnection);
        QObject::connect(worker, &ThreadCom::showdisco, &events, &ThreadCom::showdisco,
                         Qt::QueuedConnection);
        QObject::connect(worker, &ThreadCom::GoToUploadMode, &events, &ThreadCom::GoToUploadMode,
                         Qt::QueuedConnection);
        QObject::connect(worker, &ThreadCom::finished, &events, &ThreadCom::finished,
                         Qt::QueuedConnection);
        QObject::connect(worker, &ThreadCom::SendDistanceValueBin, &events,
                         &ThreadCom::SendDistanceValueBin, Qt::QueuedConnection);
        QObject::connect(worker, &ThreadCom::SendDistanceValueText, &events,
                         &ThreadCom::SendDistanceValueText, Qt::QueuedConnection);
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
        QTRY_VERIFY_WITH_TIMEOUT_NOFAIL(!thread, 5000);
    }
    void start() { thread->start(); }
    // Starts the thread and waits for the hub's configuration report.
    bool startConfigured()
    {
        QSignalSpy config(&events, &ThreadCom::Set_GUIConfiguration);
        start();
        return config.wait(7000);
    }
    // ... and lets the readers run, as the window's answer does.
    bool startStreaming()
    {
        if (!startConfigured())
            return false;
        call("ConnectSerialRead");
        return true;
    }
    void call(const char *slot)
    {
        QMetaObject::invokeMethod(worker, slot, Qt::QueuedConnection);
    }
    HubProtocol::Readings values()
    {
        HubProtocol::Readings copy;
        QMutexLocker lock(&worker->DataMutex);
        std::copy(std::begin(worker->DistanceValue), std::end(worker->DistanceValue), copy.begin());
        return copy;
    }
    void setMean(int n)
    {
        QMutexLocker lock(&worker->DataMutex);
        worker->setMeanValueNumber(n);
    }
};

} // namespace

class TestThreadCom : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void handshakeReportsConfigurationAndIdentity();
    void handshakeVariants_data();
    void handshakeVariants();
    void bootLoaderMarker();
    void silentHubIsNotFound();
    void commandBytes();
    void commandsAfterExitAreDropped();
    void readersDecodeBothEncodings_data();
    void readersDecodeBothEncodings();
    void fastModeMeans_data();
    void fastModeMeans();
    void displayModeSwitchSwapsReader();
    void openFailureReportsAndEnds();

private:
    HubSimulator *hub = nullptr;
};

void TestThreadCom::init()
{
    qRegisterMetaType<qint8>("qint8");
    qRegisterMetaType<uchar>("uchar");
    hub = new HubSimulator;
    hub->setSpeedFactor(10);
    hub->setCyclePeriodMs(50);
    QVERIFY(hub->start());
}

void TestThreadCom::cleanup()
{
    delete hub;
    hub = nullptr;
}

void TestThreadCom::handshakeReportsConfigurationAndIdentity()
{
    hub->setMask(0x0F);
    hub->setOperatingMode('F');
    hub->setDisplayMode('B');
    hub->setIdentity("512", "1.2.0", "STD");
    WorkerRun run(hub->portPath());
    QSignalSpy config(&run.events, &ThreadCom::Set_GUIConfiguration);
    QSignalSpy errors(&run.events, &ThreadCom::errorSerialPort);
    run.start();
    QTRY_COMPARE_WITH_TIMEOUT(config.count(), 1, 7000);
    QCOMPARE(config.at(0).at(0).value<qint8>(), qint8(0x0F));
    QCOMPARE(config.at(0).at(1).value<uchar>(), uchar('F'));
    QCOMPARE(config.at(0).at(2).value<uchar>(), uchar('B'));
    QVERIFY(hub->received().startsWith("HCFRRI"));
    QMutexLocker lock(&run.worker->DataMutex);
    QCOMPARE(run.worker->DeviceName, QStringLiteral("PXHUB"));
    QCOMPARE(run.worker->SerialNo, QStringLiteral("512"));
    QCOMPARE(run.worker->FirmwareVersion, QStringLiteral("1.2.0"));
    QCOMPARE(run.worker->FirmwareType, QStringLiteral("STD"));
    QCOMPARE(errors.count(), 0);
}

void TestThreadCom::handshakeVariants_data()
{
    QTest::addColumn<bool>("identifies");
    QTest::addColumn<int>("splitMs");
    QTest::addColumn<bool>("streaming");
    QTest::newRow("no identification: defaults") << false << 0 << false;
    QTest::newRow("reply split in two writes") << true << 3 << false;
    QTest::newRow("records stream during the handshake") << true << 0 << true;
}

void TestThreadCom::handshakeVariants()
{
    QFETCH(bool, identifies);
    QFETCH(int, splitMs);
    QFETCH(bool, streaming);
    hub->setMask(0xA5);
    hub->setOperatingMode('P');
    hub->setDisplayMode('T');
    hub->setNoIdentification(!identifies);
    hub->setSplitConfigReply(splitMs);
    hub->setStreamDuringHandshake(streaming);
    WorkerRun run(hub->portPath());
    QSignalSpy config(&run.events, &ThreadCom::Set_GUIConfiguration);
    run.start();
    QTRY_COMPARE_WITH_TIMEOUT(config.count(), 1, 7000);
    QCOMPARE(config.at(0).at(0).value<qint8>(), qint8(0xA5));
    QCOMPARE(config.at(0).at(1).value<uchar>(), uchar('P'));
    QCOMPARE(config.at(0).at(2).value<uchar>(), uchar('T'));
    QMutexLocker lock(&run.worker->DataMutex);
    QCOMPARE(run.worker->SerialNo, identifies ? QStringLiteral("1234") : QStringLiteral("0"));
    QCOMPARE(run.worker->FirmwareVersion,
             identifies ? QStringLiteral("2.1.0") : QStringLiteral("1.0.0"));
}

void TestThreadCom::bootLoaderMarker()
{
    hub->setStartInBootLoader(true);
    WorkerRun run(hub->portPath());
    QSignalSpy upload(&run.events, &ThreadCom::GoToUploadMode);
    QSignalSpy config(&run.events, &ThreadCom::Set_GUIConfiguration);
    QSignalSpy disco(&run.events, &ThreadCom::showdisco);
    run.start();
    QTRY_COMPARE_WITH_TIMEOUT(upload.count(), 1, 5000);
    QTest::qWait(300);
    QCOMPARE(config.count(), 0);
    QCOMPARE(disco.count(), 0);
    QVERIFY(run.worker->SerialPort && run.worker->SerialPort->isOpen());
}

void TestThreadCom::silentHubIsNotFound()
{
    hub->setSilent(true);
    WorkerRun run(hub->portPath());
    QSignalSpy errors(&run.events, &ThreadCom::errorSerialPort);
    QSignalSpy disco(&run.events, &ThreadCom::showdisco);
    QSignalSpy finished(&run.events, &ThreadCom::finished);
    QElapsedTimer clock;
    clock.start();
    run.start();
    QTRY_COMPARE_WITH_TIMEOUT(disco.count(), 1, 8000);
    QVERIFY2(clock.elapsed() > 3500, "the hub gets forty waits of 100 ms");
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("Pellix Hub not found! \r\n"));
    QTRY_COMPARE(finished.count(), 1);
    QTRY_VERIFY(!run.thread);
}

void TestThreadCom::commandBytes()
{
    hub->setOperatingMode('P');
    hub->setDisplayMode('T');
    WorkerRun run(hub->portPath());
    QVERIFY(run.startStreaming());
    hub->clearReceived();

    const auto expect = [this](const QByteArray &bytes) {
        QVERIFY2(hub->waitForReceived(bytes.size(), 2000), bytes.constData());
        QCOMPARE(hub->received(), bytes);
        hub->clearReceived();
    };
    QMetaObject::invokeMethod(run.worker, "SendChangingOfDisplayMode", Qt::QueuedConnection,
                              Q_ARG(bool, false));   // the argument is not consulted
    expect("BBB");
    QMetaObject::invokeMethod(run.worker, "SendChangingOfDisplayMode", Qt::QueuedConnection,
                              Q_ARG(bool, true));
    expect("TTT");
    run.call("SendChangingOfOperatingMode");
    expect("FFF");
    run.call("SendChangingOfOperatingMode");
    expect("PPP");
    QMetaObject::invokeMethod(run.worker, "SendChangingofConnectedPX", Qt::QueuedConnection,
                              Q_ARG(qint8, qint8(0x81)));
    expect("C81");
    QMetaObject::invokeMethod(run.worker, "SetnewTIMO", Qt::QueuedConnection,
                              Q_ARG(qint8, qint8(2)), Q_ARG(int, 40));
    expect("T2040");
    QTRY_COMPARE(hub->sensorTimeout(2), 40);
    QCOMPARE(hub->mask(), quint8(0x81));
}

void TestThreadCom::commandsAfterExitAreDropped()
{
    WorkerRun run(hub->portPath());
    QSignalSpy finished(&run.events, &ThreadCom::finished);
    QVERIFY(run.startConfigured());
    hub->clearReceived();
    // Both queued: the command reaches a worker whose port is released.
    run.call("exit");
    run.call("SendChangingOfOperatingMode");
    QTRY_COMPARE(finished.count(), 1);
    QTRY_VERIFY(!run.worker);
    QTRY_VERIFY(!run.thread);
    QTest::qWait(100);
    QCOMPARE(hub->received(), QByteArray());
}

void TestThreadCom::readersDecodeBothEncodings_data()
{
    QTest::addColumn<char>("display");
    QTest::newRow("binary") << 'B';
    QTest::newRow("text") << 'T';
}

void TestThreadCom::readersDecodeBothEncodings()
{
    QFETCH(char, display);
    const HubSimulator::Readings fixed = readings({4000, -1, 0, 32767, -32768, 15, 1234, 13999});
    hub->setDisplayMode(display);
    hub->setOperatingMode('P');
    hub->setFixedReadings(fixed);
    WorkerRun run(hub->portPath());
    QSignalSpy bin(&run.events, &ThreadCom::SendDistanceValueBin);
    QSignalSpy text(&run.events, &ThreadCom::SendDistanceValueText);
    QVERIFY(run.startStreaming());
    QSignalSpy &expected = display == 'B' ? bin : text;
    QSignalSpy &other = display == 'B' ? text : bin;
    QTRY_VERIFY(expected.count() >= 3);
    QCOMPARE(other.count(), 0);
    QCOMPARE(run.values(), fixed);
}

void TestThreadCom::fastModeMeans_data()
{
    QTest::addColumn<char>("display");
    QTest::addColumn<int>("mean");
    QTest::newRow("binary leaves zeros out") << 'B' << 1000;
    QTest::newRow("text counts zeros") << 'T' << 666;
}

void TestThreadCom::fastModeMeans()
{
    QFETCH(char, display);
    QFETCH(int, mean);
    // Sensor 0 reads 1000, 0, 1000 over and over, so any three newest samples
    // hold one 0 and two 1000s. The other sensors keep text lines long enough.
    const HubSimulator::Readings near = readings({1000, 10000, 10000, 10000, 10000, 10000, 10000, 10000});
    const HubSimulator::Readings none = readings({0, 10000, 10000, 10000, 10000, 10000, 10000, 10000});
    hub->setScript({near, none, near});
    hub->setCyclePeriodMs(200);   // one record per notification
    hub->setDisplayMode(display);
    hub->setOperatingMode('F');
    WorkerRun run(hub->portPath());
    QVERIFY(run.startConfigured());
    run.setMean(3);
    run.call("ConnectSerialRead");
    QSignalSpy bin(&run.events, &ThreadCom::SendDistanceValueBin);
    QSignalSpy text(&run.events, &ThreadCom::SendDistanceValueText);
    QTRY_VERIFY_WITH_TIMEOUT(bin.count() + text.count() >= 5, 5000);
    QCOMPARE(int(run.values()[0]), mean);
    QCOMPARE(int(run.values()[1]), 10000);
}

void TestThreadCom::displayModeSwitchSwapsReader()
{
    const HubSimulator::Readings fixed = readings({100, 200, 300, 400, 500, 600, 700, 800});
    hub->setFixedReadings(fixed);
    hub->setDisplayMode('B');
    hub->setOperatingMode('P');
    WorkerRun run(hub->portPath());
    QVERIFY(run.startStreaming());
    QSignalSpy bin(&run.events, &ThreadCom::SendDistanceValueBin);
    QSignalSpy text(&run.events, &ThreadCom::SendDistanceValueText);
    QTRY_VERIFY(bin.count() > 0);
    QMetaObject::invokeMethod(run.worker, "SendChangingOfDisplayMode", Qt::QueuedConnection,
                              Q_ARG(bool, false));
    QTRY_COMPARE(hub->displayMode(), 'T');
    QTRY_VERIFY(text.count() >= 3);
    const int binaryAfterSwitch = bin.count();
    QTest::qWait(100);
    QCOMPARE(bin.count(), binaryAfterSwitch);
    QCOMPARE(run.values(), fixed);
}

void TestThreadCom::openFailureReportsAndEnds()
{
    WorkerRun run(QStringLiteral("/dev/pellix-no-such-port"));
    QSignalSpy errors(&run.events, &ThreadCom::errorSerialPort);
    QSignalSpy disco(&run.events, &ThreadCom::showdisco);
    run.start();
    QTRY_COMPARE(errors.count(), 2);
    QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("Trying to open an non-existing device"));
    QCOMPARE(errors.at(1).at(0).toString(),
             QStringLiteral("Cannot open serial port! \r\nIf the problem persists try to "
                            "unplug/replug the cable"));
    QCOMPARE(disco.count(), 2);
    // Our choice: a worker whose port never opened ends with its thread.
    QTRY_VERIFY(!run.thread);
}

QTEST_MAIN(TestThreadCom)
#include "tst_threadcom.moc"
