// Hubs that vanish or misbehave, met through the real window and its worker
// thread: whatever the hub does, the program must not crash, spin, grow
// without bound or leave a thread behind, and the user must be able to
// disconnect and connect again.
#include "hubsimulator.h"
#include "mainwindow.h"
#include "testsupport.h"

#include <QtWidgets>
#include <QtTest>

namespace {

const QString PortGone = QStringLiteral(
    "Port is unavailable \r\n\nMaybe the device was unexpectedly removed from the system");
const QString CannotOpen = QStringLiteral(
    "Cannot open serial port! \r\nIf the problem persists try to unplug/replug the cable");
const QString FatalError = QStringLiteral("Fatal error whilst programming the Hub");

QString stoppedAnswering(const QString &what)
{
    return QStringLiteral("The Hub stopped answering %1. Please disconnect and reconnect the "
                          "device and try again.")
        .arg(what);
}

// What the window shows for these readings: hexadecimal for binary output.
QStringList shown(const HubSimulator::Readings &values, char display)
{
    QStringList texts;
    for (qint16 v : values)
        texts << (display == 'B' ? QString::asprintf("%04X", int(v)) : QString::number(v));
    return texts;
}

QByteArray textRecord(const QList<QByteArray> &fields)
{
    QByteArray line = "PH";
    for (const QByteArray &f : fields)
        line += '\t' + f;
    return line + "\r\n";
}

enum class Hostile { GarbageAndCutRecords, HeadersInValues, LinesOfAnyLength };
// Garbage is a byte the boot loader never sends; the end-of-session byte is
// one it does send, at the wrong step.
enum class BootFault { Silent, Garbage, EndOfSession };
enum class BootStep { Erase, SizeHeader, Block, Final };

} // namespace

Q_DECLARE_METATYPE(Hostile)
Q_DECLARE_METATYPE(BootFault)
Q_DECLARE_METATYPE(BootStep)

class TestRobustness : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void hubVanishesMidStream_data();
    void hubVanishesMidStream();
    void hostileStreams_data();
    void hostileStreams();
    void endlessLineKeepsMemoryBounded();
    void fastStreamKeepsMemoryBounded_data();
    void fastStreamKeepsMemoryBounded();
    void bootLoaderFaults_data();
    void bootLoaderFaults();
    void portThatIsNotSerial_data();
    void portThatIsNotSerial();
    void repeatedConnectsReturnResources();

private:
    template <typename T>
    T *child(const char *name) const
    {
        T *widget = window->findChild<T *>(QLatin1String(name));
        if (!widget)
            qFatal("no widget %s", name);
        return widget;
    }
    QString caption() const { return child<QPushButton>("pushButtonConnect")->text(); }
    void clickConnectButton() { QTest::mouseClick(child<QPushButton>("pushButtonConnect"), Qt::LeftButton); }
    void connectTo(const QString &port);
    void connectAndWaitForConfig();
    QStringList sensorTexts() const;
    bool showsAfterReconnect(const HubSimulator::Readings &values, char display);

    HubSimulator *hub = nullptr;
    MainWindow *window = nullptr;
    int threadsWithoutHub = 0;
    int baselineThreads = 0;
    int baselineFiles = 0;
};

void TestRobustness::initTestCase()
{
    threadsWithoutHub = processThreadCount();
}

void TestRobustness::init()
{
    hub = new HubSimulator;
    hub->setSpeedFactor(10);
    hub->setCyclePeriodMs(100);
    hub->setOperatingMode('P');
    QVERIFY(hub->start());
    window = new MainWindow;
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    baselineThreads = processThreadCount();
    baselineFiles = processOpenFiles();
}

void TestRobustness::cleanup()
{
    delete window;
    window = nullptr;
    delete hub;
    hub = nullptr;
    QTRY_COMPARE(processThreadCount(), threadsWithoutHub);
}

void TestRobustness::connectTo(const QString &port)
{
    typePortAndConnect(window, port);
}

void TestRobustness::connectAndWaitForConfig()
{
    connectTo(hub->portPath());
    QVERIFY(waitForHubConfiguration(window));
}

QStringList TestRobustness::sensorTexts() const
{
    return ::sensorTexts(window);
}

// The window is usable after whatever went before: it connects afresh and
// shows the hub's readings, then disconnects and lets go of the worker.
bool TestRobustness::showsAfterReconnect(const HubSimulator::Readings &values, char display)
{
    hub->setDisplayMode(display);
    hub->setFixedReadings(values);
    const int threads = processThreadCount();
    [&] {
        QCOMPARE(caption(), QStringLiteral("Connect"));
        connectAndWaitForConfig();
        QTRY_COMPARE_WITH_TIMEOUT(sensorTexts(), shown(values, display), 5000);
        clickConnectButton();
        QTRY_COMPARE(processThreadCount(), threads);
    }();
    return !QTest::currentTestFailed();
}

void TestRobustness::hubVanishesMidStream_data()
{
    QTest::addColumn<char>("display");
    QTest::newRow("binary") << 'B';
    QTest::newRow("text") << 'T';
}

void TestRobustness::hubVanishesMidStream()
{
    QFETCH(char, display);
    const HubSimulator::Readings before = readings({1000, 1100, 1200, 1300, 1400, 1500, 1600, 1700});
    hub->setDisplayMode(display);
    hub->setFixedReadings(before);
    MessageBoxWatcher boxes;
    connectAndWaitForConfig();
    QTRY_COMPARE_WITH_TIMEOUT(sensorTexts(), shown(before, display), 5000);

    hub->setCloseAfterRecords(hub->recordsSent() + 10);
    QTRY_VERIFY_WITH_TIMEOUT(hub->closed(), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(boxes.seen.size(), 1, 5000);
    QCOMPARE(boxes.seen.first().first, QStringLiteral("Critical Error"));
    QCOMPARE(boxes.seen.first().second, PortGone);
    QTRY_COMPARE(caption(), QStringLiteral("Connect"));
    QCOMPARE(child<QStatusBar>("statusBar")->currentMessage(), QStringLiteral("Disconnected"));
    QVERIFY(!child<QAction>("actionUpload_Firmware")->isEnabled());

    // A port whose peer has gone stays readable for ever; nothing may keep
    // answering it. Over a second the whole process stays close to idle.
    const double cpuBefore = processCpuSeconds();
    QTest::qWait(1000);
    const double cpuUsed = processCpuSeconds() - cpuBefore;
    QVERIFY2(cpuUsed < 0.25, qPrintable(QStringLiteral("%1 s of CPU in 1 s").arg(cpuUsed)));
    // The worker's thread and the hub's own have ended, and no port is held.
    QTRY_COMPARE(processThreadCount(), baselineThreads - 1);
    QTRY_COMPARE(processOpenFiles(), baselineFiles - 2);
    QCOMPARE(boxes.seen.size(), 1);

    // The hub is plugged in again (a new port, as a replugged device may get).
    hub->stop();
    hub->setCloseAfterRecords(-1);
    QVERIFY(hub->start());
    QVERIFY(showsAfterReconnect(readings({2000, 2100, 2200, 2300, 2400, 2500, 2600, 2700}), display));
    QCOMPARE(boxes.seen.size(), 1);
}

void TestRobustness::hostileStreams_data()
{
    QTest::addColumn<char>("display");
    QTest::addColumn<Hostile>("hostile");
    QTest::newRow("binary: garbage and cut records") << 'B' << Hostile::GarbageAndCutRecords;
    QTest::newRow("text: garbage and cut records") << 'T' << Hostile::GarbageAndCutRecords;
    QTest::newRow("binary: headers inside values") << 'B' << Hostile::HeadersInValues;
    QTest::newRow("text: headers inside values") << 'T' << Hostile::HeadersInValues;
    QTest::newRow("text: lines of any length") << 'T' << Hostile::LinesOfAnyLength;
}

void TestRobustness::hostileStreams()
{
    QFETCH(char, display);
    QFETCH(Hostile, hostile);
    // "PH" inside the readings: whole (0x5048), across two readings
    // (0x0050 0x4800) and doubled, so a reader that starts from the wrong
    // header shows other numbers.
    const HubSimulator::Readings tricky =
        readings({0x5048, 0x0050, 0x4800, 0x5050, 0x4848, 0x0050, 0x4850, 1234});
    const HubSimulator::Readings calm = readings({3000, 3100, 3200, 3300, 3400, 3500, 3600, 3700});
    const HubSimulator::Readings good = hostile == Hostile::HeadersInValues ? tricky : calm;
    hub->setDisplayMode(display);
    hub->setFixedReadings(good);
    MessageBoxWatcher boxes;
    connectAndWaitForConfig();
    QTRY_COMPARE_WITH_TIMEOUT(sensorTexts(), shown(good, display), 5000);

    // What sensor 0 shows meanwhile: some texts no accepted record may give.
    QStringList seen;
    connect(child<QTextBrowser>("textBrowserPX0"), &QTextBrowser::textChanged, this,
            [&] { seen << child<QTextBrowser>("textBrowserPX0")->toPlainText(); });

    switch (hostile) {
    case Hostile::GarbageAndCutRecords:
        hub->setGarbageBetweenRecords(true);
        hub->setPartialRecords(true);
        QTest::qWait(1000);
        hub->setGarbageBetweenRecords(false);
        hub->setPartialRecords(false);
        break;
    case Hostile::HeadersInValues:
        hub->setPartialRecords(true);
        hub->sendRaw("PH");
        hub->sendRaw("P");
        hub->sendRaw(QByteArray("H") + QByteArray(30, 'P'));
        hub->sendRaw(QByteArray("HPH\tPH\tPHPH\t") + "PH\t1PH\t\tPH\r\n");
        hub->sendRaw(textRecord({"PH", "PH", "1PH2", "-PH", "PH-1", "0xPH", "PH", "PH"}));
        QTest::qWait(1000);
        hub->setPartialRecords(false);
        break;
    case Hostile::LinesOfAnyLength: {
        // 27 and 53 characters: well formed, and refused for their length.
        const QList<QByteArray> seven = QVector<QByteArray>(7, "-7777").toList();
        hub->sendRaw(textRecord({"-7777", "777", "77", "7", "7", "7", "7", "7"}));
        hub->sendRaw(textRecord(QList<QByteArray>{"-7777", "-77777"} + seven.mid(1)));
        for (int n : {0, 1, 2, 27, 28, 51, 52, 53, 200, 5000, 70000})
            hub->sendRaw(QByteArray(n, 'x') + "\n");
        hub->sendRaw(QByteArray(400, '\t') + "PH\r\n");
        hub->sendRaw(QByteArray("PH") + QByteArray(8, '\t') + "\r\n");
        QByteArray nuls = "PH";
        for (int i = 0; i < 13; ++i)
            nuls += QByteArray("\t\0", 2);
        hub->sendRaw(nuls + "\r\n");
        // A record at the end of a line far too long to be one.
        hub->sendRaw(QByteArray(9000, 'y') + textRecord(seven + seven.mid(6)));
        QTest::qWait(1500);
        break;
    }
    }

    const HubSimulator::Readings after = hostile == Hostile::HeadersInValues
                                             ? readings({0x4850, 0x5048, 80, 0x4800, 7, 8, 9, 10})
                                             : readings({4000, 4100, 4200, 4300, 4400, 4500, 4600, 4700});
    hub->setFixedReadings(after);
    QTRY_COMPARE_WITH_TIMEOUT(sensorTexts(), shown(after, display), 5000);
    QVERIFY2(!seen.contains(QStringLiteral("-7777")), qPrintable(seen.join(' ')));
    QCOMPARE(caption(), QStringLiteral("Disconnect"));
    QCOMPARE(boxes.seen.size(), 0);
    clickConnectButton();
    QTRY_COMPARE(processThreadCount(), baselineThreads);
}

void TestRobustness::endlessLineKeepsMemoryBounded()
{
    const HubSimulator::Readings good = readings({1500, 1600, 1700, 1800, 1900, 2000, 2100, 2200});
    hub->setDisplayMode('T');
    hub->setFixedReadings(good);
    connectAndWaitForConfig();
    QTRY_COMPARE_WITH_TIMEOUT(sensorTexts(), shown(good, 'T'), 5000);

    // Megabytes of one line: it never ends, so it can never be a record.
    hub->setStreaming(false);
    hub->setSpeedFactor(0);
    const QByteArray piece(64 * 1024, 'z');
    const int pieces = 192;   // 12 MiB
    const qint64 start = hub->bytesSent();
    const qint64 heapBefore = processHeapKb();
    qint64 heapPeak = heapBefore;
    QElapsedTimer clock;
    clock.start();
    int queued = 0;
    while (hub->bytesSent() - start < qint64(pieces) * piece.size()) {
        // A few pieces at a time, so that the hub's own copies stay small.
        const qint64 inFlight = qint64(queued) * piece.size() - (hub->bytesSent() - start);
        if (queued < pieces && inFlight < 4 * piece.size()) {
            hub->sendRaw(piece);
            ++queued;
        } else {
            QTest::qWait(2);
        }
        heapPeak = qMax(heapPeak, processHeapKb());
        QVERIFY2(clock.elapsed() < 120000, "the hub could not send its line");
    }
    QTest::qWait(200);
    heapPeak = qMax(heapPeak, processHeapKb());
    QVERIFY2(heapPeak - heapBefore < 6 * 1024,
             qPrintable(QStringLiteral("grew by %1 KiB").arg(heapPeak - heapBefore)));

    // The line ends with the next record, which goes with it; the one after shows.
    const HubSimulator::Readings after = readings({2500, 2600, 2700, 2800, 2900, 3000, 3100, 3200});
    hub->setSpeedFactor(10);
    hub->setFixedReadings(after);
    hub->setStreaming(true);
    QTRY_COMPARE_WITH_TIMEOUT(sensorTexts(), shown(after, 'T'), 5000);
}

void TestRobustness::fastStreamKeepsMemoryBounded_data()
{
    QTest::addColumn<char>("display");
    QTest::addColumn<double>("speed");
    QTest::newRow("binary, ten times the wire") << 'B' << 10.0;
    QTest::newRow("text, ten times the wire") << 'T' << 10.0;
    QTest::newRow("binary, as fast as the port takes it") << 'B' << 0.0;
    QTest::newRow("text, as fast as the port takes it") << 'T' << 0.0;
}

void TestRobustness::fastStreamKeepsMemoryBounded()
{
    QFETCH(char, display);
    QFETCH(double, speed);
    hub->setDisplayMode(display);
    hub->setMovingScene();
    hub->setCyclePeriodMs(0);   // records back to back
    connectAndWaitForConfig();
    hub->setSpeedFactor(speed);

    // Past the first second everything has reached its working size; from
    // then on nothing may grow with the records that keep coming.
    QTest::qWait(1000);
    const qint64 sentBefore = hub->bytesSent();
    const qint64 heapBefore = processHeapKb();
    QTest::qWait(3000);
    const qint64 growth = processHeapKb() - heapBefore;
    QVERIFY2(hub->bytesSent() - sentBefore > 200000, "the hub did not stream fast");
    QVERIFY2(growth < 4 * 1024, qPrintable(QStringLiteral("grew by %1 KiB in 3 s").arg(growth)));

    // The display keeps up: a new reading shows at once, not after a backlog.
    const HubSimulator::Readings fixed = readings({111, 222, 333, 444, 555, 666, 777, 888});
    hub->setFixedReadings(fixed);
    QTRY_COMPARE_WITH_TIMEOUT(sensorTexts(), shown(fixed, display), 2000);
    hub->setSpeedFactor(10);
    clickConnectButton();
    QTRY_COMPARE(processThreadCount(), baselineThreads);
}

void TestRobustness::bootLoaderFaults_data()
{
    QTest::addColumn<BootStep>("step");
    QTest::addColumn<BootFault>("fault");
    QTest::addColumn<QString>("message");
    // A step the boot loader refuses without a word leaves the last message up.
    QTest::newRow("erase: silent") << BootStep::Erase << BootFault::Silent
                                   << stoppedAnswering(QStringLiteral("to the erase request"));
    QTest::newRow("erase: garbage") << BootStep::Erase << BootFault::Garbage
                                    << QStringLiteral("Requesting Device Mass Erase...");
    QTest::newRow("size header: silent")
        << BootStep::SizeHeader << BootFault::Silent
        << stoppedAnswering(QStringLiteral("to the size of the image"));
    QTest::newRow("size header: garbage") << BootStep::SizeHeader << BootFault::Garbage << FatalError;
    QTest::newRow("block 3: silent") << BootStep::Block << BootFault::Silent
                                     << stoppedAnswering(QStringLiteral("after 32 of 70 bytes"));
    QTest::newRow("block 3: garbage") << BootStep::Block << BootFault::Garbage << FatalError;
    QTest::newRow("block 3: end of session") << BootStep::Block << BootFault::EndOfSession << FatalError;
    QTest::newRow("final reply: silent")
        << BootStep::Final << BootFault::Silent
        << stoppedAnswering(QStringLiteral("at the end of the session"));
    QTest::newRow("final reply: garbage") << BootStep::Final << BootFault::Garbage
                                          << QStringLiteral("Waiting for Hub to terminate session");
}

void TestRobustness::bootLoaderFaults()
{
    QFETCH(BootStep, step);
    QFETCH(BootFault, fault);
    QFETCH(QString, message);
    const bool silent = fault == BootFault::Silent;
    const char garbage = fault == BootFault::EndOfSession ? '\x06' : 'Z';
    QTemporaryDir dir;
    const QString firmware = dir.filePath(QStringLiteral("hub.binary"));
    {
        QFile file(firmware);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(70, '\x5A'));
    }
    switch (step) {
    case BootStep::Erase:
        if (!silent)
            hub->setEraseReply(garbage);
        break;
    case BootStep::SizeHeader:
        silent ? hub->setNoHeaderReply(true) : hub->setHeaderReply(garbage);
        break;
    case BootStep::Block:
        silent ? hub->setBootLoaderSilentAfter(3) : hub->setRefuseBlock(3, garbage);
        break;
    case BootStep::Final:
        silent ? hub->setNoFinalReply(true) : hub->setFinalByte(garbage);
        break;
    }
    window->setUpgradeWaitLimits(1500, 400, 800);
    MessageBoxWatcher boxes;
    hub->setDisplayMode('B');
    connectAndWaitForConfig();

    child<QAction>("actionUpload_Firmware")->trigger();
    QWidget *upgrade = visibleTopLevel("FW_Upgrade");
    QVERIFY(upgrade);
    QTRY_VERIFY(hub->inBootLoader());
    if (step == BootStep::Erase && silent)
        hub->setSilent(true);
    visibleTopLevel("Restart")->close();
    answerNextFileDialog(this, firmware);
    QTest::mouseClick(upgrade->findChild<QPushButton *>("SelectFW"), Qt::LeftButton);
    QTest::mouseClick(upgrade->findChild<QPushButton *>("upgrade_button"), Qt::LeftButton);

    auto *label = upgrade->findChild<QLabel *>("label");
    QTRY_COMPARE_WITH_TIMEOUT(label->text(), message, 5000);
    // The run is over: the label stays, and the worker takes the disconnect
    // at once instead of after some wait of the run.
    QTest::qWait(300);
    QCOMPARE(label->text(), message);
    if (step == BootStep::Erase || step == BootStep::SizeHeader)
        QCOMPARE(hub->receivedImage(), QByteArray());
    upgrade->close();
    QCOMPARE(caption(), QStringLiteral("Disconnect"));
    QElapsedTimer clock;
    clock.start();
    clickConnectButton();
    QTRY_COMPARE(processThreadCount(), baselineThreads);
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(boxes.seen.size(), 0);

    // The hub is restarted into its firmware; the window takes it up again.
    hub->setSilent(false);
    hub->setStartInBootLoader(false);
    QVERIFY(showsAfterReconnect(readings({10, 20, 30, 40, 50, 60, 70, 80}), 'B'));
}

void TestRobustness::portThatIsNotSerial_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("regular file") << QString();
    QTest::newRow("/dev/null") << QStringLiteral("/dev/null");
    QTest::newRow("directory") << QDir::tempPath();
}

void TestRobustness::portThatIsNotSerial()
{
    QFETCH(QString, path);
    QTemporaryFile file;
    if (path.isEmpty()) {
        QVERIFY(file.open());
        file.write("PH\t1\t2\t3\t4\t5\t6\t7\t8\r\nC0FFB\r\n");
        file.flush();
        path = file.fileName();
    }
    const int files = processOpenFiles();
    MessageBoxWatcher boxes;
    connectTo(path);
    QTRY_COMPARE(caption(), QStringLiteral("Connect"));
    QTRY_COMPARE(boxes.seen.size(), 1);
    QCOMPARE(boxes.seen.first().first, QStringLiteral("Critical Error"));
    QCOMPARE(boxes.seen.first().second, CannotOpen);
    QCOMPARE(child<QStatusBar>("statusBar")->currentMessage(), QStringLiteral("Disconnected"));
    QTRY_COMPARE(processThreadCount(), baselineThreads);
    QTRY_COMPARE(processOpenFiles(), files);
    QTest::qWait(200);
    QCOMPARE(boxes.seen.size(), 1);
    QVERIFY(showsAfterReconnect(readings({1005, 1006, 1007, 1008, 1009, 1010, 1011, 1012}), 'T'));
}

void TestRobustness::repeatedConnectsReturnResources()
{
    hub->setDisplayMode('T');
    hub->setMovingScene();
    for (int cycle = 0; cycle < 10; ++cycle) {
        connectAndWaitForConfig();
        QTRY_VERIFY(sensorTexts().first() != QString() && sensorTexts().first() != QStringLiteral(" "));
        clickConnectButton();
        QTRY_COMPARE(processThreadCount(), baselineThreads);
    }
    QTRY_COMPARE(processOpenFiles(), baselineFiles);
}

QTEST_MAIN(TestRobustness)
#include "tst_robustness.moc"
