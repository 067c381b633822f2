// SPDX-License-Identifier: GPL-3.0-or-later
// The firmware upgrade: the boot-loader exchange byte for byte, and whole runs
// from the window's menu, sound or failing at each step, against the
// simulated hub.
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

// The erase request and the size header: how every run opens.
QByteArray opening(quint32 size)
{
    QByteArray bytes("\x11\x22", 2);
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes.append(static_cast<char>((size >> shift) & 0xFF));
    return bytes;
}


// Garbage is a byte the boot loader never sends; the end-of-session byte is
// one it does send, at the wrong step.
enum class Fault { None, PortGone, EraseSilent, EraseGarbage, HeaderSilent, HeaderGarbage,
                   BlockSilent, BlockGarbage, BlockEndOfSession, BlockVanishes, FinalSilent, FinalGarbage };

} // namespace

Q_DECLARE_METATYPE(Fault)

class TestUpgrade : public WindowTest
{
    Q_OBJECT

    QTemporaryDir dir;

    QString writeFirmware(const QByteArray &bytes)
    {
        const QString path = dir.filePath(QStringLiteral("firmware.binary"));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write the firmware file");
        return path;
    }

    // Picks a firmware file in the upgrade dialog and presses "Upgrade".
    void startRun(QWidget *upgrade, const QByteArray &firmware)
    {
        answerNextFileDialog(this, writeFirmware(firmware));
        QTest::mouseClick(::child<QPushButton>(upgrade, "SelectFW"), Qt::LeftButton);
        QTest::mouseClick(::child<QPushButton>(upgrade, "upgrade_button"), Qt::LeftButton);
    }

    // Both dialogs of a trigger; the restart one is confirmed, and deleted once closed.
    QPointer<QWidget> openUpgradeDialogs()
    {
        child<QAction>("actionUpload_Firmware")->trigger();
        const QPointer<QWidget> upgrade = visibleTopLevel("FW_Upgrade");
        const QPointer<QWidget> restart = visibleTopLevel("Restart");
        if (!upgrade || !restart)
            return nullptr;
        QTest::mouseClick(::child<QPushButton>(restart, "restart_button"), Qt::LeftButton);
        return QTest::qWaitFor([&] { return !restart; }) ? upgrade : nullptr;
    }

    // Connects to the hub through a link of our own (a pseudo-terminal's
    // number is taken up again by the next one opened, maybe by a test running
    // alongside, so only a removed link is surely gone), triggers the menu
    // entry and waits for the hub to reach its boot loader.
    bool handOverFromTheMenu(QWidget *&upgrade, QWidget *&restart)
    {
        [&] {
            const QString link = dir.filePath(QStringLiteral("hub"));
            QFile::remove(link);
            QVERIFY(QFile::link(hub->portPath(), link));
            window->setUpgradeWaitLimits({1500, 400, 800});
            typePortAndConnect(window, link);
            QVERIFY(waitForHubConfiguration(window));
            child<QAction>("actionUpload_Firmware")->trigger();
            upgrade = visibleTopLevel("FW_Upgrade");
            restart = visibleTopLevel("Restart");
            QVERIFY(upgrade && restart);
            QCOMPARE(QApplication::activeModalWidget(), restart);   // on top
            QCOMPARE(::child<QLabel>(upgrade, "label")->text(), QStringLiteral("Please disconnect reconnect your device"));
            QTRY_VERIFY(hub->inBootLoader());   // the worker sent the command
            hub->clearReceived();
        }();
        return !QTest::currentTestFailed();
    }

private slots:
    void wholeExchange_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<QVariantList>("progress");
        QTest::addColumn<int>("replyPauseMs");   // between a reply's first byte and its line end
        QTest::newRow("empty image") << 0 << QVariantList() << 0;
        QTest::newRow("one whole block") << 8 << QVariantList{8} << 0;
        QTest::newRow("a block and one byte") << 9 << QVariantList{8, 9} << 0;
        QTest::newRow("short last block") << 20 << QVariantList{8, 16, 20} << 0;
        QTest::newRow("replies in pieces") << 20 << QVariantList{8, 16, 20} << 3;
    }

    // The run in the test's own thread, as the worker runs it in its own.
    void wholeExchange()
    {
        QFETCH(int, size);
        QFETCH(QVariantList, progress);
        QFETCH(int, replyPauseMs);
        hub->setStartInBootLoader(true);
        hub->setSplitBootReplies(replyPauseMs);
        const QByteArray firmware = image(size);
        const QPointer<QSerialPort> port = new QSerialPort(this);
        Upgrade_logic logic(port, hub->portPath());
        QSignalSpy updates(&logic, &Upgrade_logic::progress_update);
        QSignalSpy messages(&logic, &Upgrade_logic::progress_message);
        QCOMPARE(int(logic.mass_erase()), 1);
        QCOMPARE(int(logic.program_hub(writeFirmware(firmware))), 6);

        QCOMPARE(hub->received(), opening(size) + firmware);
        const auto arguments = [](const QSignalSpy &spy) {
            QVariantList first;
            for (const QList<QVariant> &args : spy)
                first << args.at(0);
            return first;
        };
        QCOMPARE(arguments(updates), progress);
        QCOMPARE(arguments(messages), (QVariantList{"Requesting Device Mass Erase...",
                                                    "Handshake complete. Upgrading Hub",
                                                    "Waiting for Hub to terminate session",
                                                    "Upgrade Finished. Please reconnect the device."}));
        // The port is closed and released once the hub ends the session.
        QTRY_VERIFY(!port);
    }

    // Nothing to write, nothing to start: the run erases the hub first.
    void pickingTheImage_data()
    {
        QTest::addColumn<qint64>("size");   // -1: no file picked
        QTest::addColumn<QString>("message");
        QTest::newRow("none picked") << qint64(-1) << "Please disconnect reconnect your device";
        QTest::newRow("empty") << qint64(0) << "firmware.binary is empty. Please choose another file.";
        QTest::newRow("8 MiB and a byte") << qint64(8 * 1024 * 1024 + 1)
                                          << "8388609 bytes, more than 8 MiB. Choose another file.";
        QTest::newRow("70 bytes") << qint64(70) << "Please disconnect reconnect your device";
    }

    void pickingTheImage()
    {
        QFETCH(qint64, size);
        QFETCH(QString, message);
        QWidget *upgrade = nullptr;
        QWidget *restart = nullptr;
        QVERIFY(handOverFromTheMenu(upgrade, restart));
        QTest::mouseClick(::child<QPushButton>(restart, "restart_button"), Qt::LeftButton);
        answerNextFileDialog(this, size < 0 ? QString() : writeFirmware(size == 70 ? image(70) : QByteArray(size, 'x')));
        QTest::mouseClick(::child<QPushButton>(upgrade, "SelectFW"), Qt::LeftButton);
        QCOMPARE(::child<QLabel>(upgrade, "label")->text(), message);
        QCOMPARE(::child<QPushButton>(upgrade, "upgrade_button")->isEnabled(), size == 70);
        QCOMPARE(::child<QProgressBar>(upgrade, "progressBar")->maximum(), size == 70 ? 70 : 0);
        QVERIFY(hub->received().isEmpty());   // no erase
        // A usable file picked after it: no refusal stays beside "Upgrade".
        answerNextFileDialog(this, writeFirmware(image(70)));
        QTest::mouseClick(::child<QPushButton>(upgrade, "SelectFW"), Qt::LeftButton);
        QCOMPARE(::child<QLabel>(upgrade, "label")->text(), QStringLiteral("Please disconnect reconnect your device"));
        upgrade->close();
        clickConnect();
        QTRY_COMPARE(processThreadCount(), baselineThreads);
    }

    void runFromTheMenu_data()
    {
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("sent");          // bytes of the erase request, size header and image
        const QString fatal = QStringLiteral("Fatal error whilst programming the Hub");
        QTest::newRow("finished") << Fault::None << "Upgrade Finished. Please reconnect the device." << 76;
        // Gone before the erase: the run ends at once, its request the last word.
        QTest::newRow("boot loader's port gone") << Fault::PortGone << "Requesting Device Mass Erase..." << 0;
        // A step the boot loader refuses without a word leaves the last message up.
        QTest::newRow("erase: silent") << Fault::EraseSilent << "No reply to the erase. Reconnect the Hub and try again." << 1;
        QTest::newRow("erase: refused") << Fault::EraseGarbage
            << "The Hub refused the erase. Reconnect it and try again." << 1;
        QTest::newRow("size header: silent") << Fault::HeaderSilent << "No reply to the image size. Reconnect the Hub and try again." << 6;
        QTest::newRow("size header: garbage") << Fault::HeaderGarbage << fatal << 6;
        QTest::newRow("block 3: silent") << Fault::BlockSilent << "No reply at byte 32 of 70. Reconnect and try again." << 38;
        QTest::newRow("block 3: garbage") << Fault::BlockGarbage << fatal << 38;
        QTest::newRow("block 3: end of session") << Fault::BlockEndOfSession << fatal << 38;
        QTest::newRow("block 3: hub vanishes") << Fault::BlockVanishes << fatal << 38;
        QTest::newRow("final reply: silent") << Fault::FinalSilent << "No final reply. Reconnect the Hub and try again." << 76;
        QTest::newRow("final reply: refused") << Fault::FinalGarbage
            << "The Hub did not confirm the upgrade. Please upgrade again." << 76;
    }

    void runFromTheMenu()
    {
        QFETCH(Fault, fault);
        QFETCH(QString, message);
        QFETCH(int, sent);
        QWidget *upgrade = nullptr;
        QWidget *restart = nullptr;
        QVERIFY(handOverFromTheMenu(upgrade, restart));
        auto *action = child<QAction>("actionUpload_Firmware");
        auto *label = ::child<QLabel>(upgrade, "label");
        QTRY_VERIFY(hub->inBootLoader());   // the worker sent the command
        hub->clearReceived();
        switch (fault) {
        case Fault::None: break;
        case Fault::PortGone: hub->stop(); QFile::remove(dir.filePath(QStringLiteral("hub"))); break;
        case Fault::EraseSilent: hub->setSilent(true); break;
        case Fault::EraseGarbage: hub->setEraseReply('Z'); break;
        case Fault::HeaderSilent: hub->setNoHeaderReply(true); break;
        case Fault::HeaderGarbage: hub->setHeaderReply('Z'); break;
        case Fault::BlockSilent: hub->setBootLoaderSilentAfter(3); break;
        case Fault::BlockGarbage: hub->setRefuseBlock(3, 'Z'); break;
        case Fault::BlockEndOfSession: hub->setRefuseBlock(3, '\x06'); break;
        case Fault::BlockVanishes: hub->setCloseAtBlock(3); break;
        case Fault::FinalSilent: hub->setNoFinalReply(true); break;
        case Fault::FinalGarbage: hub->setFinalByte('Z'); break;
        }
        QTest::mouseClick(::child<QPushButton>(restart, "restart_button"), Qt::LeftButton);
        QVERIFY(!restart->isVisible());

        auto *upgradeButton = ::child<QPushButton>(upgrade, "upgrade_button");
        auto *selectButton = ::child<QPushButton>(upgrade, "SelectFW");
        auto *bar = ::child<QProgressBar>(upgrade, "progressBar");
        answerNextFileDialog(this, writeFirmware(image(70)));
        QTest::mouseClick(selectButton, Qt::LeftButton);
        QVERIFY(upgradeButton->isEnabled());
        QCOMPARE(bar->maximum(), 70);
        const int filesBeforeRun = processOpenFiles();
        QTest::mouseClick(upgradeButton, Qt::LeftButton);
        // At once, before the boot loader has said anything.
        QVERIFY(!upgradeButton->isEnabled() && !selectButton->isEnabled());
        QVERIFY(!::child<QTextBrowser>(upgrade, "textBrowser")->isEnabled());

        // Within the limits set above: the defaults would take seconds longer.
        QTRY_COMPARE_WITH_TIMEOUT(label->text(), message, 4000);
        // The run is over: nothing follows, on screen or on the wire, and
        // nothing keeps the process busy, also when the hub has gone.
        const double cpuBefore = processCpuSeconds();
        QTest::qWait(400);
        const double cpuUsed = processCpuSeconds() - cpuBefore;
        QVERIFY2(cpuUsed < 0.2, qPrintable(QStringLiteral("%1 s of CPU in 0.4 s").arg(cpuUsed)));
        QCOMPARE(label->text(), message);
        QCOMPARE(hub->received(), (opening(70) + image(70)).left(sent));
        QCOMPARE(bar->value(), qMax(0, sent - 6));   // the image bytes sent
        const bool hubGone = fault == Fault::PortGone || fault == Fault::BlockVanishes;
        if (hubGone)   // the vanished port is not held
            QTRY_COMPARE(processOpenFiles(), filesBeforeRun - 2 * (fault == Fault::BlockVanishes));
        // The window says what the hub is left with.
        auto *status = child<QStatusBar>("statusBar");
        if (fault != Fault::None) {
            QCOMPARE(status->currentMessage(), QStringLiteral("Upgrade did not finish"));
            QCOMPARE(texts(), QVector<QString>(8, QStringLiteral(" ")).toList());
            QVERIFY(!child<QRadioButton>("radioButton_FastMode")->isEnabled());
        }
        upgrade->close();

        // A finished run ends the link by itself; after any other the worker
        // takes the disconnect at once instead of after some wait of the run.
        QElapsedTimer clock;
        clock.start();
        if (fault != Fault::None) {
            QCOMPARE(caption(), QStringLiteral("Disconnect"));
            clickConnect();
        }
        QTRY_COMPARE(caption(), QStringLiteral("Connect"));
        QVERIFY(!action->isEnabled());
        QTRY_COMPARE(processThreadCount(), baselineThreads - hubGone);
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));

        // The hub is restarted into its firmware; the window takes it up again.
        if (hubGone) {
            hub->stop();
            hub->setCloseAtBlock(-1);
            QVERIFY(hub->start());
        }
        hub->setSilent(false);
        hub->setStartInBootLoader(false);
        QVERIFY(showsAfterReconnect(readings({10, 20, 30, 40, 50, 60, 70, 80}), 'B'));
    }

    void dialogsAndTheWindow_data()
    {
        QTest::addColumn<bool>("runStarted");
        QTest::newRow("dialogs closed without an upgrade") << false;
        QTest::newRow("dialog closed during a stuck run") << true;
    }

    // The hub was sent to its boot loader and left there: the window says so,
    // and the next trigger runs an upgrade of its own in a dialog of its own.
    void dialogsAndTheWindow()
    {
        QFETCH(bool, runStarted);
        window->setUpgradeWaitLimits({1500, 400, 800});
        QVERIFY(connectToHub());
        auto *status = child<QStatusBar>("statusBar");
        QPointer<QWidget> first = openUpgradeDialogs();
        QVERIFY(first);
        QTRY_VERIFY(hub->inBootLoader());
        if (runStarted) {
            hub->setSilent(true);   // the erase waits for its limit
            startRun(first, image(70));
            first->close();
            QCOMPARE(status->currentMessage(), QStringLiteral("Connected"));
            child<QAction>("actionUpload_Firmware")->trigger();
            expectedBoxes << qMakePair(QStringLiteral("Upload Firmware"),
                                       QStringLiteral("An upgrade is still running. Please wait for it "
                                                      "to end, or press Disconnect to stop it."));
            QTRY_COMPARE(boxes->seen, expectedBoxes);
            QVERIFY(!visibleTopLevel("FW_Upgrade"));
            QTRY_COMPARE_WITH_TIMEOUT(status->currentMessage(), QStringLiteral("Upgrade did not finish"), 4000);
            // Kept while its run went on: the run's last word reached it.
            QVERIFY(first);
            QCOMPARE(::child<QLabel>(first, "label")->text(), QStringLiteral("No reply to the erase. Reconnect the Hub and try again."));
            hub->setSilent(false);
        } else {
            QTest::keyClick(first, Qt::Key_Escape);
            QTRY_VERIFY(!first);
            QCOMPARE(status->currentMessage(), QStringLiteral("Upgrade did not finish"));
            // A pair of dialogs takes over a megabyte: thirty of them, each
            // closed, leave nothing behind.
            const qint64 heapBefore = processHeapKb();
            for (int i = 0; i < 30; ++i) {
                const QPointer<QWidget> again = openUpgradeDialogs();
                QVERIFY(again);
                QTest::keyClick(again, Qt::Key_Escape);
                QTRY_VERIFY(!again);
            }
            const qint64 grown = processHeapKb() - heapBefore;
            QVERIFY2(grown < 2048, qPrintable(QStringLiteral("grew by %1 KiB").arg(grown)));
        }
        // Nothing on screen is live, and nothing offered could reach the hub.
        QCOMPARE(caption(), QStringLiteral("Disconnect"));
        QCOMPARE(texts(), QVector<QString>(8, QStringLiteral(" ")).toList());
        for (const char *mode : {"radioButtonBinaryMode", "radioButton_TextMode", "radioButton_FastMode",
                                 "radioButton_PreciseMode"})
            QVERIFY(!child<QRadioButton>(mode)->isEnabled());
        for (int i = 0; i < 8; ++i)
            QVERIFY(!child<QCheckBox>(QStringLiteral("checkBoxPX%1").arg(i))->isEnabled());

        const QPointer<QWidget> second = openUpgradeDialogs();
        QVERIFY(second);
        QTRY_VERIFY(!first);
        startRun(second, image(70));
        QTRY_COMPARE_WITH_TIMEOUT(::child<QLabel>(second, "label")->text(),
                                  QStringLiteral("Upgrade Finished. Please reconnect the device."), 4000);
        QCOMPARE(::child<QProgressBar>(second, "progressBar")->value(), 70);
        QCOMPARE(hub->receivedImage(), image(70));
        QTRY_COMPARE(caption(), QStringLiteral("Connect"));
    }

    // "Disconnect" stops a run that goes well at its next block.
    void disconnectStopsARun()
    {
        QVERIFY(connectToHub());
        const QPointer<QWidget> upgrade = openUpgradeDialogs();
        QVERIFY(upgrade);
        QTRY_VERIFY(hub->inBootLoader());
        startRun(upgrade, image(16384));
        QTRY_VERIFY(hub->receivedImage().size() > 1024);
        upgrade->close();
        clickConnect();
        QTRY_COMPARE(processThreadCount(), baselineThreads);
        const int taken = hub->receivedImage().size();
        QVERIFY2(taken < 16384, "the run went on to its end");
        QTest::qWait(200);
        QCOMPARE(hub->receivedImage().size(), taken);
    }

    // Triggered while the window still waits for the hub, which never answers:
    // the dialogs go with the link, since nothing is left to upgrade.
    void dialogsGoWithALinkThatFails()
    {
        hub->setSilent(true);
        typePortAndConnect(window, hub->portPath());
        child<QAction>("actionUpload_Firmware")->trigger();
        QVERIFY(visibleTopLevel("FW_Upgrade") && visibleTopLevel("Restart"));
        expectedBoxes << qMakePair(QStringLiteral("Critical Error"), QStringLiteral("Pellix Hub not found! \r\n"));
        QTRY_COMPARE_WITH_TIMEOUT(boxes->seen, expectedBoxes, 8000);
        QTRY_COMPARE(caption(), QStringLiteral("Connect"));
        QTRY_VERIFY(!visibleTopLevel("FW_Upgrade") && !visibleTopLevel("Restart"));
    }

    void bootLoaderAtConnectLeadsToTheDialogs()
    {
        hub->setStartInBootLoader(true);
        typePortAndConnect(window, hub->portPath());
        QTRY_VERIFY_WITH_TIMEOUT(visibleTopLevel("Restart") != nullptr, 5000);
        QVERIFY(visibleTopLevel("FW_Upgrade"));
    }
};

QTEST_MAIN(TestUpgrade)
#include "tst_upgrade.moc"
