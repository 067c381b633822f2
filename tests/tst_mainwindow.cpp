// SPDX-License-Identifier: GPL-3.0-or-later
// The main window end to end: its widgets, the worker on its thread and the
// simulated hub over a real pseudo-terminal.
#include "testsupport.h"

#include <QtWidgets>
#include <QSerialPort>
#include <QtTest>

#include <qcustomplot.h>

#include "csvrecording.h"

// Input that meets the connection at an awkward moment.
enum class Moment { ModeClickDuringHandshake, ReportQueuedAtDisconnect, LeftBeforeItStarted, MenuStatusTip, SecondConnectionToAStreamingHub };
Q_DECLARE_METATYPE(Moment)

class TestMainWindow : public WindowTest
{
    Q_OBJECT

    template <typename T>
    T *sensor(const char *prefix, int i) const { return child<T>(prefix + QString::number(i)); }

    // Nothing can be sent or shown without a link.
    void verifyIdle() const
    {
        QCOMPARE(caption(), QStringLiteral("Connect"));
        QCOMPARE(child<QStatusBar>("statusBar")->currentMessage(), QStringLiteral("Disconnected"));
        QVERIFY(!child<QAction>("actionUpload_Firmware")->isEnabled());
        for (int i = 0; i < 8; ++i) {
            QVERIFY(!sensor<QCheckBox>("checkBoxPX", i)->isChecked());
            QVERIFY(!sensor<QCheckBox>("checkBoxPX", i)->isEnabled());
            QVERIFY(!sensor<QTextBrowser>("textBrowserPX", i)->isEnabled());
            QCOMPARE(sensor<QProgressBar>("progressBarPX", i)->maximum(), 4000);
        }
        QCOMPARE(bars(), QVector<int>(8, 0).toList());
    }

    // The eight timeout boxes and their labels: precise mode only.
    int shownTimeouts() const
    {
        int shown = 0;
        for (int i = 2; i <= 9; ++i)
            shown += !sensor<QSpinBox>("spinBox_", i)->isHidden();
        for (QLabel *label : window->findChildren<QLabel *>())
            shown += label->text() == QLatin1String("Time Out Value") && !label->isHidden();
        return shown;
    }

    enum Click { Sensor2, TextOutput, BinaryOutput, PreciseMode, FastMode, Timeout7To300, LeaveTimeout };
    static const char *modeButton(Click click)
    {
        switch (click) {
        case TextOutput:
            return "radioButton_TextMode";
        case BinaryOutput:
            return "radioButtonBinaryMode";
        case PreciseMode:
            return "radioButton_PreciseMode";
        default:
            return "radioButton_FastMode";
        }
    }

    // A hub that reports sensors 0 and 2, text output and precise mode.
    bool connectToTextHub()
    {
        hub->setIdentity("5678", "3.0.2", "PRO");
        hub->setMask(0x05);
        hub->setDisplayMode('T');
        typePortAndConnect(window, hub->portPath());
        return waitForHubConfiguration(window);
    }

    // The next bytes the hub receives are exactly these: a stray command
    // would show up here.
    void expectReceived(const QByteArray &bytes)
    {
        if (bytes.isEmpty())
            QTest::qWait(300);
        else
            QVERIFY2(hub->waitForReceived(bytes.size(), 2000), bytes.constData());
        QTest::qWait(50);
        QCOMPARE(hub->received(), bytes);
        hub->clearReceived();
    }

private slots:
    void aLinkFromStartToEnd()
    {
        QCOMPARE(window->windowTitle(), QStringLiteral("Pellix Hub Controler"));
        verifyIdle();
        QCOMPARE(shownTimeouts(), 0);

        hub->setIdentity("5678", "3.0.2", "PRO");
        hub->setMask(0x05);
        hub->setDisplayMode('T');
        typePortAndConnect(window, hub->portPath());
        // At once, before the hub has answered; "Connected" only once it has.
        QCOMPARE(caption(), QStringLiteral("Disconnect"));
        QCOMPARE(child<QStatusBar>("statusBar")->currentMessage(), QStringLiteral("Connecting..."));
        QVERIFY(child<QAction>("actionUpload_Firmware")->isEnabled());

        QVERIFY(waitForHubConfiguration(window));
        QCOMPARE(child<QStatusBar>("statusBar")->currentMessage(), QStringLiteral("Connected"));
        QVERIFY(child<QRadioButton>("radioButton_TextMode")->isChecked());
        QVERIFY(child<QRadioButton>("radioButton_PreciseMode")->isChecked());
        for (int i = 0; i < 8; ++i) {
            const bool reported = i == 0 || i == 2;
            QCOMPARE(sensor<QCheckBox>("checkBoxPX", i)->isChecked(), reported);
            QCOMPARE(sensor<QCheckBox>("checkBoxPX", i)->isEnabled(), reported);
            QCOMPARE(sensor<QTextBrowser>("textBrowserPX", i)->isEnabled(), reported);
        }
        QCOMPARE(shownTimeouts(), 16);
        QVERIFY(child<QGroupBox>("groupBoxMeanNbVal")->isHidden());

        QVERIFY(processThreadCount() > baselineThreads);
        clickConnect();
        verifyIdle();
        const QStringList blank = QVector<QString>(8, QStringLiteral(" ")).toList();
        QCOMPARE(texts(), blank);
        QTRY_COMPARE(processThreadCount(), baselineThreads);
        // Nothing of the old worker arrives late to fill the display again.
        QTest::qWait(200);
        QCOMPARE(texts(), blank);

        // About shows the last hub, after it has gone.
        child<QAction>("actionAbout")->trigger();
        QWidget *about = visibleTopLevel("About");
        QVERIFY(about);
        QStringList identity;
        for (const char *name : {"label_name", "label_serial", "label_firmware"})
            identity << ::child<QLabel>(about, name)->text();
        QCOMPARE(identity, (QStringList{"PXHUB", "5678", "3.0.2 (PRO) "}));
    }

    void controlsSendTheirCommands_data()
    {
        QTest::addColumn<QList<int>>("clicks");
        QTest::addColumn<QList<QByteArray>>("sent");   // after each click in turn
        QTest::addColumn<int>("timeoutsShown");
        QTest::newRow("sensor 2 off and on again") << QList<int>{Sensor2, Sensor2} << QList<QByteArray>{"C01", "C05"} << 16;
        QTest::newRow("the modes in force send nothing")
            << QList<int>{TextOutput, PreciseMode} << QList<QByteArray>{"", ""} << 16;
        // Leaving the box sends its value again, changed or not.
        QTest::newRow("a timeout, and leaving its box")
            << QList<int>{Timeout7To300, LeaveTimeout} << QList<QByteArray>{"T7300", "T7300"} << 16;
        QTest::newRow("binary output") << QList<int>{BinaryOutput} << QList<QByteArray>{"BBB"} << 16;
        QTest::newRow("fast mode") << QList<int>{FastMode} << QList<QByteArray>{"FFF"} << 0;
        QTest::newRow("fast and back to precise") << QList<int>{FastMode, PreciseMode} << QList<QByteArray>{"FFF", "PPP"} << 16;
    }

    void controlsSendTheirCommands()
    {
        QFETCH(QList<int>, clicks);
        QFETCH(QList<QByteArray>, sent);
        QFETCH(int, timeoutsShown);
        QVERIFY(connectToTextHub());
        hub->clearReceived();
        auto *timeout = child<QSpinBox>("spinBox_2");   // sensor 7
        for (int k = 0; k < clicks.size(); ++k) {
            switch (Click(clicks[k])) {
            case Sensor2:
                QTest::mouseClick(sensor<QCheckBox>("checkBoxPX", 2), Qt::LeftButton);
                break;
            case Timeout7To300:
                timeout->setFocus();
                timeout->selectAll();
                QTest::keyClicks(timeout, "300");
                QTest::keyClick(timeout, Qt::Key_Return);
                break;
            case LeaveTimeout:
                child<QSpinBox>("spinBoxMeanNbVal")->setFocus();
                break;
            default:
                QTest::mouseClick(child<QRadioButton>(modeButton(Click(clicks[k]))), Qt::LeftButton);
                break;
            }
            expectReceived(sent[k]);
        }
        QCOMPARE(shownTimeouts(), timeoutsShown);
        QCOMPARE(child<QGroupBox>("groupBoxMeanNbVal")->isHidden(), timeoutsShown != 0);
        // Back in precise mode, every timeout starts again from its default.
        if (timeoutsShown)
            QCOMPARE(timeout->value(), clicks.contains(Timeout7To300) ? 300 : 500);
    }

    // Sensor 0 reads 900, 0, 900, ...: binary output leaves the zeros out of
    // the fast mode's average, which takes as many samples as the control
    // shows from the first record on.
    void fastModeAverages()
    {
        QVERIFY(connectToTextHub());
        QTest::mouseClick(child<QRadioButton>("radioButtonBinaryMode"), Qt::LeftButton);
        // After the switch the hub sends binary frames, and the window shows them so.
        hub->setFixedReadings(readings({255, 255, 255, 255, 255, 255, 255, 255}));
        QTRY_COMPARE_WITH_TIMEOUT(texts().first(), QStringLiteral("00FF"), 3000);
        QTest::mouseClick(child<QRadioButton>("radioButton_FastMode"), Qt::LeftButton);

        hub->setScript({readings({900, 2000, 2000, 2000, 2000, 2000, 2000, 2000}),
                        readings({0, 2000, 2000, 2000, 2000, 2000, 2000, 2000})});
        const auto steadyAt900 = [this] {
            QTRY_COMPARE_WITH_TIMEOUT(texts().first(), QStringLiteral("0384"), 3000);
            for (int i = 0; i < 10; ++i) {
                QTest::qWait(30);
                QCOMPARE(texts().first(), QStringLiteral("0384"));
            }
        };
        QCOMPARE(child<QSpinBox>("spinBoxMeanNbVal")->value(), 3);
        steadyAt900();
        child<QSlider>("horizontalSliderMeanNbVal")->setValue(1);
        QTRY_COMPARE_WITH_TIMEOUT(texts().first(), QStringLiteral("0000"), 3000);
        child<QSlider>("horizontalSliderMeanNbVal")->setValue(4);
        QCOMPARE(child<QSpinBox>("spinBoxMeanNbVal")->value(), 4);
        steadyAt900();
    }

    void distancesAndTheirScale_data()
    {
        QTest::addColumn<char>("display");
        QTest::addColumn<int>("maximum");
        QTest::addColumn<QStringList>("shown");
        QTest::addColumn<QList<int>>("bar");
        // The bar shows the value less one, within 0 and its maximum less one.
        QTest::newRow("binary") << 'B' << 5000
                                << QStringList{"0FA0", "0F9F", "0001", "0000", "FFFFFFFB", "000F", "36B0", "04D2"}
                                << QList<int>{3999, 3998, 0, 0, 0, 14, 4999, 1233};
        QTest::newRow("text") << 'T' << 14000
                              << QStringList{"4000", "3999", "1", "0", "-5", "15", "14000", "1234"}
                              << QList<int>{3999, 3998, 0, 0, 0, 14, 13999, 1233};
    }

    void distancesAndTheirScale()
    {
        QFETCH(char, display);
        QFETCH(int, maximum);
        QFETCH(QStringList, shown);
        QFETCH(QList<int>, bar);
        child<QSpinBox>("spinBox")->setValue(maximum);
        QCOMPARE(child<QSlider>("horizontalSlider")->value(), maximum);
        for (int i = 3; i <= 10; ++i)
            QCOMPARE(sensor<QLabel>("label_", i)->text(), QStringLiteral("%1 mm").arg(maximum));
        hub->setDisplayMode(display);
        hub->setFixedReadings(readings({4000, 3999, 1, 0, -5, 15, 14000, 1234}));
        QVERIFY(connectToHub());
        QTRY_COMPARE_WITH_TIMEOUT(texts(), shown, 5000);
        QCOMPARE(bars(), bar);

        // The readings stay the same; a new scale applies all the same, also
        // to a bar it once emptied.
        child<QSpinBox>("spinBox")->setValue(1000);
        QTRY_COMPARE(bars(), (QList<int>{999, 999, 0, 0, 0, 14, 999, 999}));
        child<QSpinBox>("spinBox")->setValue(maximum);
        QTRY_COMPARE(bars(), bar);
    }

    void awkwardMoments_data()
    {
        QTest::addColumn<Moment>("moment");
        QTest::newRow("mode clicks during the handshake") << Moment::ModeClickDuringHandshake;
        QTest::newRow("hub's report queued at a disconnect") << Moment::ReportQueuedAtDisconnect;
        QTest::newRow("connection left before it started") << Moment::LeftBeforeItStarted;
        QTest::newRow("empty status tips of the menu") << Moment::MenuStatusTip;
        QTest::newRow("second connection to a hub left streaming") << Moment::SecondConnectionToAStreamingHub;
    }

    // Whatever the timing, the window ends up showing what the hub was last
    // told, and a connection the user left touches nothing.
    void awkwardMoments()
    {
        QFETCH(Moment, moment);
        auto *status = child<QStatusBar>("statusBar");
        auto *connectButton = child<QPushButton>("pushButtonConnect");
        hub->setDisplayMode('B');
        switch (moment) {
        case Moment::ModeClickDuringHandshake:
            // The window remembers Binary/Precise from a first hub.
            QVERIFY(connectToHub());
            clickConnect();
            QTRY_COMPARE(processThreadCount(), baselineThreads);
            typePortAndConnect(window, hub->portPath());
            QTest::mouseClick(child<QRadioButton>("radioButton_TextMode"), Qt::LeftButton);
            QTest::mouseClick(child<QRadioButton>("radioButton_FastMode"), Qt::LeftButton);
            QVERIFY(waitForHubConfiguration(window));
            QTest::qWait(300);
            QCOMPARE(hub->displayMode(), 'B');
            QCOMPARE(hub->operatingMode(), 'P');
            QVERIFY(child<QRadioButton>("radioButtonBinaryMode")->isChecked());
            QVERIFY(child<QRadioButton>("radioButton_PreciseMode")->isChecked());
            hub->clearReceived();
            QTest::mouseClick(child<QRadioButton>("radioButton_TextMode"), Qt::LeftButton);
            QVERIFY(hub->waitForReceived(3, 2000));
            QCOMPARE(hub->received(), QByteArray("TTT"));
            break;
        case Moment::ReportQueuedAtDisconnect:
            typePortAndConnect(window, hub->portPath());
            // The worker reports the hub while the window takes no events.
            QVERIFY(hub->waitForReceived(6, 7000));
            QThread::msleep(500);
            connectButton->click();
            QTest::qWait(300);
            for (int i = 0; i < 8; ++i) {
                QVERIFY(!sensor<QCheckBox>("checkBoxPX", i)->isChecked());
                QVERIFY(!sensor<QCheckBox>("checkBoxPX", i)->isEnabled());
            }
            QCOMPARE(status->currentMessage(), QStringLiteral("Disconnected"));
            break;
        case Moment::LeftBeforeItStarted: {
            HubSimulator other;
            QVERIFY(other.start());
            QVERIFY(connectToHub());
            // No event between the clicks: the first worker still holds its
            // port when the second connection is made and left.
            connectButton->click();
            child<QComboBox>("comboBoxPortName")->setEditText(other.portPath());
            connectButton->click();
            connectButton->click();
            QTest::qWait(1000);
            QCOMPARE(other.received(), QByteArray());
            QTRY_COMPARE(processThreadCount(), baselineThreads + 1);   // the other hub's own
            break;
        }
        case Moment::MenuStatusTip:
            for (const char *action : {"actionUpload_Firmware", "actionAbout"})
                child<QAction>(action)->showStatusText(window);
            QCOMPARE(status->currentMessage(), QStringLiteral("Disconnected"));
            QVERIFY(connectToHub());
            for (const char *action : {"actionUpload_Firmware", "actionAbout"})
                child<QAction>(action)->showStatusText(window);
            QCOMPARE(status->currentMessage(), QStringLiteral("Connected"));
            break;
        case Moment::SecondConnectionToAStreamingHub:
            // Frames back to back whose readings spell "C" and a whole reply;
            // the hub goes on sending them after the first connection ends.
            hub->setCyclePeriodMs(0);
            hub->setOperatingMode('F');
            hub->setMask(0x0F);
            hub->setFixedReadings(readings({0x4300, 0x3046, 0x5054, 0x0443, 0x4343, 0x4330, 0x3050, 0x5400}));
            for (int connection = 0; connection < 2; ++connection) {
                QVERIFY(connectToHub());
                QVERIFY(child<QRadioButton>("radioButton_FastMode")->isChecked());
                QVERIFY(child<QRadioButton>("radioButtonBinaryMode")->isChecked());
                for (int i = 0; i < 8; ++i)
                    QCOMPARE(sensor<QCheckBox>("checkBoxPX", i)->isChecked(), i < 4);
                clickConnect();
                QTRY_COMPARE(processThreadCount(), baselineThreads);
            }
            break;
        }
    }

    void recordingKeepsEveryRecord_data()
    {
        QTest::addColumn<char>("display");
        QTest::newRow("binary, then text") << 'B';
        QTest::newRow("text, then binary") << 'T';
    }

    // Every record the hub sends while the recording runs is a row, across a
    // switch of the output, up to the last one before the hub vanished.
    void recordingKeepsEveryRecord()
    {
        QFETCH(char, display);
        const int scriptLength = 200;
        QVector<HubSimulator::Readings> script;
        for (int k = 0; k < scriptLength; ++k)
            // Sensor 0 at 2304 mm and more: each frame starts as a text line does.
            script << readings({2304 + k, 1000 + k, 2000, 0, -5, 7, 4000, 13999});
        hub->setScript(script);
        hub->setDisplayMode(display);
        hub->setCyclePeriodMs(20);
        QVERIFY(connectToHub());
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("recording.csv"));
        hub->setRecordLog(true);
        answerNextFileDialog(this, path);
        child<QAction>("actionRecord")->trigger();
        auto *label = child<QLabel>("labelRecording");
        QTRY_VERIFY(label->text().startsWith(QLatin1String("Recording recording.csv, ")));
        QTest::qWait(300);
        QTest::mouseClick(child<QRadioButton>(display == 'B' ? "radioButton_TextMode" : "radioButtonBinaryMode"),
                          Qt::LeftButton);
        QTest::qWait(300);
        // Pulled a moment after its last record: what the hub wrote and the
        // system dropped at the hang-up, unread on a loaded machine, never
        // reached the program.
        hub->setCloseAfterRecords(hub->recordsSent() + 50, 500);
        expectedBoxes << qMakePair(QStringLiteral("Critical Error"),
                                   QStringLiteral("Port is unavailable \r\n\nMaybe the device was unexpectedly "
                                                  "removed from the system"));
        QTRY_COMPARE_WITH_TIMEOUT(caption(), QStringLiteral("Connect"), 5000);
        QTRY_VERIFY(label->text().startsWith(QLatin1String("Recording stopped, the link ended: recording.csv, ")));
        const QVector<HubSimulator::RecordWrite> sent = hub->takeRecordLog();

        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        QCOMPARE(lines.first(), QByteArray("time,elapsed_s,s0,s1,s2,s3,s4,s5,s6,s7,mode,output"));
        QCOMPARE(lines.last(), QByteArray());   // every row whole
        const QRegularExpression row(QStringLiteral(
            "^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z,\\d+\\.\\d{3},(\\d+),(\\d+),2000,0,-5,7,4000,13999,P,([BT])$"));
        QString outputs;
        int previous = -1, gaps = 0, rows = 0;
        for (const QByteArray &line : lines.mid(1, lines.size() - 2)) {
            const QRegularExpressionMatch match = row.match(QString::fromLatin1(line));
            QVERIFY2(match.hasMatch(), line.constData());
            const int index = match.captured(1).toInt() - 2304;
            QCOMPARE(match.captured(2).toInt(), 1000 + index);
            if (!outputs.endsWith(match.captured(3)))
                outputs += match.captured(3);
            // Also the records of the old form still on the wire at the switch.
            gaps += previous >= 0 && (previous + 1) % scriptLength != index;
            previous = index;
            ++rows;
        }
        QVERIFY2(rows > 50, qPrintable(QString::number(rows)));
        QCOMPARE(outputs, display == 'B' ? QStringLiteral("BT") : QStringLiteral("TB"));
        QCOMPARE(gaps, 0);
        QCOMPARE(previous, sent.last().scriptIndex);
    }

    void reconnectsToTheHubThatVanished_data()
    {
        QTest::addColumn<int>("first");   // 0: the hub itself, 1: another hub, 2: another program holds the port
        QTest::newRow("the same hub comes back") << 0;
        QTest::newRow("another hub takes the port first") << 1;
        QTest::newRow("another program holds the port first") << 2;
    }

    void reconnectsToTheHubThatVanished()
    {
        QFETCH(int, first);
        const bool anotherHubFirst = first == 1;
        QTemporaryDir dir;
        // A link of our own: the hub comes back on the same path.
        const QString port = dir.filePath(QStringLiteral("hub"));
        QVERIFY(QFile::link(hub->portPath(), port));
        child<QAction>("actionReconnect")->setChecked(true);
        hub->setDisplayMode('T');
        hub->setFixedReadings(readings({1000, 1001, 1002, 1003, 1004, 1005, 1006, 1007}));
        typePortAndConnect(window, port);
        QVERIFY(waitForHubConfiguration(window));
        answerNextFileDialog(this, dir.filePath(QStringLiteral("recording.csv")));
        child<QAction>("actionRecord")->trigger();

        hub->setCloseAfterRecords(hub->recordsSent() + 5);
        expectedBoxes << qMakePair(QStringLiteral("Critical Error"),
                                   QStringLiteral("Port is unavailable \r\n\nMaybe the device was unexpectedly "
                                                  "removed from the system"));
        auto *status = child<QStatusBar>("statusBar");
        QTRY_COMPARE_WITH_TIMEOUT(status->currentMessage(), QStringLiteral("Waiting for the hub..."), 5000);
        QVERIFY(child<QLabel>("labelRecording")->text().startsWith(QLatin1String("Recording stopped, the link ended")));
        hub->stop();
        hub->setCloseAfterRecords(-1);
        if (anotherHubFirst)
            hub->setIdentity("9999", "2.1.0", "STD");
        QVERIFY(hub->start());
        QVERIFY(QFile::remove(port) && QFile::link(hub->portPath(), port));
        if (anotherHubFirst) {
            QTRY_VERIFY_WITH_TIMEOUT(status->currentMessage().startsWith(QLatin1String("Another hub (serial 9999)")), 5000);
            for (int i = 0; i < 15; ++i) {
                QTest::qWait(100);
                QVERIFY(status->currentMessage() != QLatin1String("Connected"));
            }
            hub->setIdentity("1234", "2.1.0", "STD");
        }
        if (first == 2) {
            // The tries fail to open it: no word of them, no upload without
            // the serial number checked, and fewer tries as they fail.
            // Held by its own name: the window, which was given the link,
            // must see the same port held.
            QSerialPort holder(hub->portPath());
            QVERIFY(holder.open(QIODevice::ReadWrite));
            QStringList shown;
            connect(status, &QStatusBar::messageChanged, &holder, [&shown](const QString &m) { shown << m; });
            for (int i = 0; i < 40; ++i) {
                QTest::qWait(100);
                QCOMPARE(status->currentMessage(), QStringLiteral("Waiting for the hub..."));
                QVERIFY(!child<QAction>("actionUpload_Firmware")->isEnabled());
            }
            QCOMPARE(shown, QStringList());
        }
        QTRY_COMPARE_WITH_TIMEOUT(status->currentMessage(), QStringLiteral("Connected"), 10000);
        const HubSimulator::Readings after = readings({2000, 2001, 2002, 2003, 2004, 2005, 2006, 2007});
        hub->setFixedReadings(after);
        QTRY_COMPARE_WITH_TIMEOUT(texts(), displayed(after, 'T'), 3000);
    }

    void recordingThatCannotStart_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("reason");
        QTest::newRow("a full disk") << "/dev/full" << "No space left on device";
        QTest::newRow("no such folder") << "/nonexistent-pellix/recording.csv" << "No such file or directory";
    }

    // Said at once, before any record waits on it: the window then shows why.
    void recordingThatCannotStart()
    {
        QFETCH(QString, path);
        QFETCH(QString, reason);
        QString error;
        QVERIFY(!CsvRecording::start(path, error));
        QCOMPARE(error, reason);
    }

    void settingsComeBack_data()
    {
        QTest::addColumn<bool>("quit");
        QTest::newRow("window closed") << false;
        // The application's quit closes every window, the plot after the main one.
        QTest::newRow("window closed, then the application quits") << true;
    }

    // A window with settings takes up where the last one left off; one without
    // (as every other window here) starts as always.
    void settingsComeBack()
    {
        QFETCH(bool, quit);
        QTemporaryDir dir;
        QSettings settings(dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
        {
            MainWindow first;
            first.useSettings(&settings);
            first.choosePort(QStringLiteral("/dev/pellix-remembered"));
            ::child<QSpinBox>(&first, "spinBox")->setValue(5000);
            ::child<QSpinBox>(&first, "spinBoxMeanNbVal")->setValue(7);
            ::child<QAction>(&first, "actionReconnect")->setChecked(true);
            first.resize(1000, 750);
            // Closed as a user closes it, with the history plot open.
            first.show();
            ::child<QAction>(&first, "actionHistory")->trigger();
            first.close();
            if (quit)
                first.findChild<QWidget *>(QStringLiteral("HistoryWindow"))->close();
        }
        MainWindow second;
        second.useSettings(&settings);
        QCOMPARE(::child<QComboBox>(&second, "comboBoxPortName")->currentText(), QStringLiteral("/dev/pellix-remembered"));
        QCOMPARE(::child<QSpinBox>(&second, "spinBox")->value(), 5000);
        QCOMPARE(::child<QProgressBar>(&second, "progressBarPX7")->maximum(), 5000);
        QCOMPARE(::child<QSpinBox>(&second, "spinBoxMeanNbVal")->value(), 7);
        QVERIFY(::child<QAction>(&second, "actionReconnect")->isChecked());
        QCOMPARE(second.size(), QSize(1000, 750));
        QVERIFY(second.findChild<QWidget *>(QStringLiteral("HistoryWindow")));
        QCOMPARE(child<QSpinBox>("spinBox")->value(), 4000);
        QVERIFY(!child<QAction>("actionReconnect")->isChecked());

        // A file of the user's to break: what does not read as what it should
        // be is passed over, and the window starts as without it.
        QFile hostile(dir.filePath(QStringLiteral("hostile.ini")));
        QVERIFY(hostile.open(QIODevice::WriteOnly));
        hostile.write("[General]\nport=\"@Variant(\\0\\0\\0\\v\\0\\x7f\\xff\\xff\\xff)\"\n"
                      "maximum=abc\naverage=99999\ngeometry=@Variant(\\0\\0\\0\\t\\0\\x7f\\xff\\xff\\xff)\n"
                      "reconnect=maybe\nhistory\\open=1, 2\nhistory\\span=7\n");
        hostile.close();
        QSettings broken(hostile.fileName(), QSettings::IniFormat);
        MainWindow third;
        third.useSettings(&broken);
        QCOMPARE(::child<QComboBox>(&third, "comboBoxPortName")->currentText(),
                 child<QComboBox>("comboBoxPortName")->currentText());
        QCOMPARE(::child<QSpinBox>(&third, "spinBox")->value(), 4000);
        QCOMPARE(::child<QSpinBox>(&third, "spinBoxMeanNbVal")->value(), child<QSpinBox>("spinBoxMeanNbVal")->value());
        QVERIFY(!::child<QAction>(&third, "actionReconnect")->isChecked());
        QVERIFY(!third.findChild<QWidget *>(QStringLiteral("HistoryWindow")));

        // A window saved at 100000 x 100000 pixels, as no screen holds: the
        // window keeps its own size.
        QWidget sized;
        sized.setGeometry(100, 100, 400, 300);
        QByteArray huge = sized.saveGeometry();
        for (const auto &[from, to] : {std::pair<qint32, qint32>{499, 100099}, {399, 100099}}) {
            QByteArray was, becomes;
            QDataStream(&was, QIODevice::WriteOnly) << from;
            QDataStream(&becomes, QIODevice::WriteOnly) << to;
            QVERIFY(huge.contains(was));
            huge.replace(was, becomes);
        }
        QSettings hugeSettings(dir.filePath(QStringLiteral("huge.ini")), QSettings::IniFormat);
        hugeSettings.setValue(QStringLiteral("geometry"), huge);
        MainWindow fourth;
        const QSize own = fourth.size();
        fourth.useSettings(&hugeSettings);
        QCOMPARE(fourth.size(), own);
    }

    // The plot follows the hub's sensors and the display maximum, stands still
    // while paused or while no record comes, and saves what it shows.
    void historyPlot()
    {
        hub->setMask(0x05);
        QVERIFY(connectToHub());
        child<QAction>("actionHistory")->trigger();
        QWidget *history = visibleTopLevel("HistoryWindow");
        QVERIFY(history);
        auto *plot = ::child<QCustomPlot>(history, "plot");
        QTRY_VERIFY(plot->graph(0)->dataCount() > 10);
        for (int k = 0; k < 8; ++k)
            QCOMPARE(plot->graph(k)->visible(), k == 0 || k == 2);
        child<QSpinBox>("spinBox")->setValue(5000);
        QCOMPARE(plot->yAxis->range().upper, 5000.0);
        // The last point drawn: seconds before the redraw, so it moves with every redraw.
        const auto newest = [plot] { return (plot->graph(0)->data()->constEnd() - 1)->key; };
        QTest::mouseClick(::child<QPushButton>(history, "pushButtonPause"), Qt::LeftButton);
        const double paused = newest();
        QTest::qWait(300);
        QCOMPARE(newest(), paused);
        QTest::mouseClick(::child<QPushButton>(history, "pushButtonPause"), Qt::LeftButton);
        QTRY_VERIFY(newest() != paused);

        // A redraw of the same points would only shift them.
        hub->setStreaming(false);
        QTest::qWait(400);
        QSignalSpy replots(plot, &QCustomPlot::afterReplot);
        QTest::qWait(600);
        QCOMPARE(replots.count(), 0);
        hub->setStreaming(true);
        QTRY_VERIFY(replots.count() > 0);

        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("history.png"));
        answerNextFileDialog(this, path);
        QTest::mouseClick(::child<QPushButton>(history, "pushButtonSaveImage"), Qt::LeftButton);
        QTRY_VERIFY(QFile::exists(path));
        QCOMPARE(QImage(path).width(), plot->width());
    }

    // Records that come faster than the window redraws are not all drawn, but
    // the newest always is, also when it comes just after a redraw and nothing
    // follows.
    void lastRecordOfABurstIsShown()
    {
        hub->setDisplayMode('T');
        QVERIFY(connectToHub());
        hub->setStreaming(false);
        QTest::qWait(300);   // whatever was on its way has been shown
        const auto line = [](int first) {
            QByteArray bytes = "PH";
            for (int i = 0; i < 8; ++i)
                bytes += '\t' + QByteArray::number(first + i);
            return bytes + "\r\n";
        };
        hub->sendRaw(line(1000));
        QTRY_COMPARE_WITH_TIMEOUT(texts().first(), QStringLiteral("1000"), 3000);
        // Records in quick succession: however the redraws are spaced, the
        // window ends on the last one the hub sent once the hub has begun its
        // next line. (A late read may take two lines at once, and the second
        // then waits for the port's next notification.)
        for (int k = 2; k <= 20; ++k) {
            hub->sendRaw(line(k * 1000));
            QTest::qWait(2);
        }
        const QByteArray next = line(1100) + line(1200);
        QTest::qWait(50);
        hub->sendRaw(next.left(2));
        const QStringList last = {"20000", "20001", "20002", "20003", "20004", "20005", "20006", "20007"};
        QTRY_COMPARE_WITH_TIMEOUT(texts(), last, 3000);
        QCOMPARE(bars(), QVector<int>(8, 3999).toList());

        // Two lines in one read: the second waits for the port's next notification.
        hub->sendRaw(next.mid(2));
        QTRY_COMPARE(texts().first(), QStringLiteral("1100"));
        QTest::qWait(300);
        QCOMPARE(texts().first(), QStringLiteral("1100"));
        hub->sendRaw(line(1300));
        QTRY_COMPARE(texts().first(), QStringLiteral("1200"));

        // More in one read: the line that waited is shown, and of the new ones
        // only the newest is kept for the next notification, so the display
        // never falls more than a line behind.
        hub->sendRaw(line(2100) + line(2200) + line(2300));
        QTRY_COMPARE(texts().first(), QStringLiteral("1300"));
        hub->sendRaw(line(2400));
        QTRY_COMPARE(texts().first(), QStringLiteral("2300"));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
