// The firmware upgrade: the boot-loader exchange byte for byte, and the whole
// user flow through the real window and dialogs, against the simulated hub.
#include "hubsimulator.h"
#include "mainwindow.h"
#include "testsupport.h"
#include "upgrade_logic.h"

#include <QtWidgets>
#include <QtTest>

namespace {

QByteArray image(int size)
{
    QByteArray bytes;
    for (int i = 0; i < size; ++i)
        bytes.append(static_cast<char>((i * 37 + 11) & 0xFF));
    return bytes;
}

QByteArray sizeHeader(quint32 size)
{
    QByteArray header(1, 0x22);
    for (int shift = 24; shift >= 0; shift -= 8)
        header.append(static_cast<char>((size >> shift) & 0xFF));
    return header;
}

} // namespace

class TestUpgrade : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void wholeExchange_data();
    void wholeExchange();
    void refusedBlockStopsAtOnce();
    void finalReplyOtherThanDone();
    void refusedEraseSendsNoHeader();
    void silentBootLoaderEndsWithinTheLimit();
    void unopenablePortIsReportedAtOnce();
    void userFlowFromTheMenu();
    void bootLoaderAtConnectLeadsToTheDialogs();
    void cancelledFileKeepsUpgradeDisabled();
    void triggerWhileDisconnectedDoesNothing();

private:
    QString writeFirmware(const QByteArray &bytes);
    // Starts the run in the test's thread, as the worker does in its own.
    uchar run(Upgrade_logic &logic, const QString &path);

    HubSimulator *hub = nullptr;
    QTemporaryDir *dir = nullptr;
    QPointer<QSerialPort> port;
};

void TestUpgrade::init()
{
    hub = new HubSimulator;
    hub->setSpeedFactor(10);
    hub->setCyclePeriodMs(100);
    QVERIFY(hub->start());
    dir = new QTemporaryDir;
    port = new QSerialPort;
}

void TestUpgrade::cleanup()
{
    delete port;
    delete dir;
    delete hub;
    for (QWidget *w : QApplication::topLevelWidgets())
        delete w;
}

QString TestUpgrade::writeFirmware(const QByteArray &bytes)
{
    const QString path = dir->filePath(QStringLiteral("firmware.binary"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write the firmware file");
    return path;
}

uchar TestUpgrade::run(Upgrade_logic &logic, const QString &path)
{
    const uchar erase = logic.mass_erase();
    if (erase != Upgrade_logic::Acknowledge)
        return erase;
    return logic.program_hub(path);
}

void TestUpgrade::wholeExchange_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QList<int>>("progress");
    QTest::addColumn<int>("replyPauseMs");   // between a reply's first byte and its line end
    QTest::newRow("empty image") << 0 << QList<int>() << 0;
    QTest::newRow("one whole block") << 8 << QList<int>{8} << 0;
    QTest::newRow("a block and one byte") << 9 << QList<int>{8, 9} << 0;
    QTest::newRow("short last block") << 20 << QList<int>{8, 16, 20} << 0;
    QTest::newRow("replies in pieces") << 20 << QList<int>{8, 16, 20} << 3;
}

void TestUpgrade::wholeExchange()
{
    QFETCH(int, size);
    QFETCH(QList<int>, progress);
    QFETCH(int, replyPauseMs);
    hub->setStartInBootLoader(true);
    hub->setSplitBootReplies(replyPauseMs);
    const QByteArray firmware = image(size);
    const QString path = writeFirmware(firmware);

    Upgrade_logic logic(port, hub->portPath());
    QSignalSpy updates(&logic, &Upgrade_logic::progress_update);
    QSignalSpy messages(&logic, &Upgrade_logic::progress_message);
    QCOMPARE(int(run(logic, path)), 6);

    QCOMPARE(hub->received(), QByteArray(1, 0x11) + sizeHeader(size) + firmware);
    QCOMPARE(hub->receivedImage(), firmware);
    QList<int> values;
    for (const QList<QVariant> &args : updates)
        values << args.at(0).toInt();
    QCOMPARE(values, progress);
    QStringList texts;
    for (const QList<QVariant> &args : messages)
        texts << args.at(0).toString();
    QCOMPARE(texts, (QStringList{"Requesting Device Mass Erase...",
                                 "Handshake complete. Upgrading Hub",
                                 "Waiting for Hub to terminate session",
                                 "Upgrade Finished. Please reconnect the device."}));
    // The port is closed and released once the hub ends the session.
    QTRY_VERIFY(!port);
}

void TestUpgrade::refusedBlockStopsAtOnce()
{
    hub->setStartInBootLoader(true);
    hub->setRefuseBlock(1, 0x15);
    const QByteArray firmware = image(40);
    Upgrade_logic logic(port, hub->portPath());
    QSignalSpy messages(&logic, &Upgrade_logic::progress_message);
    QCOMPARE(int(run(logic, writeFirmware(firmware))), 0x15);
    QTest::qWait(100);
    // Blocks 0 and 1 went out; block 2 never did.
    QCOMPARE(hub->received(), QByteArray(1, 0x11) + sizeHeader(40) + firmware.left(16));
    QCOMPARE(messages.last().at(0).toString(),
             QStringLiteral("Fatal error whilst programming the Hub"));
    QVERIFY(port && port->isOpen());
}

void TestUpgrade::finalReplyOtherThanDone()
{
    hub->setStartInBootLoader(true);
    hub->setFinalByte(0x01);
    Upgrade_logic logic(port, hub->portPath());
    QSignalSpy messages(&logic, &Upgrade_logic::progress_message);
    QCOMPARE(int(run(logic, writeFirmware(image(12)))), 1);
    QCOMPARE(messages.last().at(0).toString(),
             QStringLiteral("Waiting for Hub to terminate session"));
    QTRY_VERIFY(!port);   // closed and released all the same
}

void TestUpgrade::refusedEraseSendsNoHeader()
{
    hub->setStartInBootLoader(true);
    hub->setEraseReply(0x00);
    Upgrade_logic logic(port, hub->portPath());
    QSignalSpy messages(&logic, &Upgrade_logic::progress_message);
    QCOMPARE(int(logic.mass_erase()), 0);
    QTest::qWait(100);
    QCOMPARE(hub->received(), QByteArray(1, 0x11));
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.last().at(0).toString(), QStringLiteral("Requesting Device Mass Erase..."));
}

void TestUpgrade::silentBootLoaderEndsWithinTheLimit()
{
    hub->setStartInBootLoader(true);
    hub->setBootLoaderSilentAfter(2);
    Upgrade_logic logic(port, hub->portPath());
    logic.setWaitLimits(2000, 300, 500);
    QSignalSpy messages(&logic, &Upgrade_logic::progress_message);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(run(logic, writeFirmware(image(64))) != 6);
    QVERIFY(clock.elapsed() < 2000);
    const QString last = messages.last().at(0).toString();
    QVERIFY2(last.contains(QLatin1String("stopped answering"))
                 && last.contains(QLatin1String("disconnect and reconnect")),
             qPrintable(last));
    QCOMPARE(hub->receivedImage().size(), 24);   // the third block went unanswered
}

void TestUpgrade::unopenablePortIsReportedAtOnce()
{
    Upgrade_logic logic(port, QStringLiteral("/dev/pellix-gone"));
    QSignalSpy messages(&logic, &Upgrade_logic::progress_message);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(int(logic.mass_erase()), 0xCC);
    QVERIFY(clock.elapsed() < 1000);
    QCOMPARE(messages.count(), 1);
    QVERIFY(messages.last().at(0).toString().contains(QLatin1String("/dev/pellix-gone")));
}

void TestUpgrade::userFlowFromTheMenu()
{
    const QByteArray firmware = image(70);
    const QString path = writeFirmware(firmware);
    MainWindow window;
    window.show();
    window.findChild<QComboBox *>("comboBoxPortName")->setEditText(hub->portPath());
    auto *connectButton = window.findChild<QPushButton *>("pushButtonConnect");
    QTest::mouseClick(connectButton, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(window.findChild<QRadioButton *>("radioButtonBinaryMode")->isChecked(),
                             7000);

    auto *action = window.findChild<QAction *>("actionUpload_Firmware");
    action->trigger();
    QWidget *upgrade = visibleTopLevel("FW_Upgrade");
    QWidget *restart = visibleTopLevel("Restart");
    QVERIFY(upgrade && restart);
    QCOMPARE(QApplication::activeModalWidget(), restart);   // on top
    QCOMPARE(upgrade->findChild<QLabel *>("label")->text(),
             QStringLiteral("Please disconnect reconnect your device"));
    QTRY_VERIFY(hub->inBootLoader());   // the worker sent the command
    QTest::mouseClick(restart->findChild<QPushButton *>("restart_button"), Qt::LeftButton);
    QVERIFY(!restart->isVisible());

    auto *upgradeButton = upgrade->findChild<QPushButton *>("upgrade_button");
    auto *selectButton = upgrade->findChild<QPushButton *>("SelectFW");
    auto *bar = upgrade->findChild<QProgressBar *>("progressBar");
    QVERIFY(!upgradeButton->isEnabled());
    answerNextFileDialog(this, path);
    QTest::mouseClick(selectButton, Qt::LeftButton);
    QVERIFY(upgradeButton->isEnabled());
    QCOMPARE(bar->maximum(), 70);

    QTest::mouseClick(upgradeButton, Qt::LeftButton);
    // At once, before the boot loader has said anything.
    QVERIFY(!upgradeButton->isEnabled());
    QVERIFY(!selectButton->isEnabled());
    QVERIFY(!upgrade->findChild<QTextBrowser *>("textBrowser")->isEnabled());

    auto *label = upgrade->findChild<QLabel *>("label");
    QTRY_COMPARE_WITH_TIMEOUT(label->text(),
                              QStringLiteral("Upgrade Finished. Please reconnect the device."), 10000);
    QCOMPARE(bar->value(), 70);
    QTRY_COMPARE(connectButton->text(), QStringLiteral("Connect"));
    QVERIFY(!action->isEnabled());
    QCOMPARE(hub->receivedImage(), firmware);

    // The window connects again to the hub, now back in its firmware.
    QTest::mouseClick(connectButton, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(window.findChild<QCheckBox *>("checkBoxPX0")->isEnabled(), 7000);
}

void TestUpgrade::bootLoaderAtConnectLeadsToTheDialogs()
{
    hub->setStartInBootLoader(true);
    MainWindow window;
    window.show();
    window.findChild<QComboBox *>("comboBoxPortName")->setEditText(hub->portPath());
    QTest::mouseClick(window.findChild<QPushButton *>("pushButtonConnect"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(visibleTopLevel("Restart") != nullptr, 5000);
    QVERIFY(visibleTopLevel("FW_Upgrade"));
}

void TestUpgrade::cancelledFileKeepsUpgradeDisabled()
{
    MainWindow window;
    window.show();
    window.findChild<QComboBox *>("comboBoxPortName")->setEditText(hub->portPath());
    QTest::mouseClick(window.findChild<QPushButton *>("pushButtonConnect"), Qt::LeftButton);
    window.findChild<QAction *>("actionUpload_Firmware")->trigger();
    QWidget *upgrade = visibleTopLevel("FW_Upgrade");
    QVERIFY(upgrade);
    visibleTopLevel("Restart")->close();
    answerNextFileDialog(this, QString());
    QTest::mouseClick(upgrade->findChild<QPushButton *>("SelectFW"), Qt::LeftButton);
    QVERIFY(!upgrade->findChild<QPushButton *>("upgrade_button")->isEnabled());
    QTest::qWait(200);
    QVERIFY(!hub->eraseRequested());
}

void TestUpgrade::triggerWhileDisconnectedDoesNothing()
{
    MainWindow window;
    window.show();
    auto *action = window.findChild<QAction *>("actionUpload_Firmware");
    QMetaObject::invokeMethod(&window, "on_actionUpload_Firmware_triggered");
    QVERIFY(!visibleTopLevel("FW_Upgrade"));
    QVERIFY(!visibleTopLevel("Restart"));
    QVERIFY(!action->isEnabled());
    QCOMPARE(hub->received(), QByteArray());
}

QTEST_MAIN(TestUpgrade)
#include "tst_upgrade.moc"
