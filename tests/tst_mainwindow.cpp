// The main window end to end: its widgets, the worker on its thread and the
// simulated hub over a real pseudo-terminal.
#include "hubsimulator.h"
#include "mainwindow.h"
#include "testsupport.h"

#include <QtWidgets>
#include <QtTest>

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void startState();
    void maximumDisplayMirroring();
    void connectShowsHubConfiguration();
    void distancesInBothOutputs_data();
    void distancesInBothOutputs();
    void userActionsPutExactBytesOnTheWire();
    void fastModeAveragingFollowsTheControl();
    void lastRecordOfABurstIsShown();
    void disconnectBlanksAndEndsTheWorker();
    void hubNotFoundShowsOneBox();
    void missingPortShowsBothBoxes();
    void quickReconnectsLeaveNoThread();
    void aboutShowsTheLastHub();

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
    QString status() const { return child<QStatusBar>("statusBar")->currentMessage(); }
    void connectTo(const QString &port);
    void connectAndWaitForConfig();
    void clickConnectButton();
    QStringList sensorTexts() const;
    QList<int> barValues() const;

    HubSimulator *hub = nullptr;
    MainWindow *window = nullptr;
    int threadsWithoutHub = 0;
    int baselineThreads = 0;
};

void TestMainWindow::initTestCase()
{
    threadsWithoutHub = processThreadCount();
}

void TestMainWindow::init()
{
    hub = new HubSimulator;
    hub->setSpeedFactor(10);
    hub->setCyclePeriodMs(100);
    QVERIFY(hub->start());
    window = new MainWindow;
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    baselineThreads = processThreadCount();
}

void TestMainWindow::cleanup()
{
    delete window;
    window = nullptr;
    delete hub;
    hub = nullptr;
    // No worker thread may outlive its window.
    QTRY_COMPARE(processThreadCount(), threadsWithoutHub);
}

void TestMainWindow::clickConnectButton()
{
    QTest::mouseClick(child<QPushButton>("pushButtonConnect"), Qt::LeftButton);
}

void TestMainWindow::connectTo(const QString &port)
{
    typePortAndConnect(window, port);
}

void TestMainWindow::connectAndWaitForConfig()
{
    connectTo(hub->portPath());
    QVERIFY(waitForHubConfiguration(window));
}

QStringList TestMainWindow::sensorTexts() const
{
    return ::sensorTexts(window);
}

QList<int> TestMainWindow::barValues() const
{
    QList<int> values;
    for (int i = 0; i < 8; ++i)
        values << child<QProgressBar>(qPrintable(QStringLiteral("progressBarPX%1").arg(i)))->value();
    return values;
}

void TestMainWindow::startState()
{
    QCOMPARE(window->windowTitle(), QStringLiteral("Pellix Hub Controler"));
    QCOMPARE(caption(), QStringLiteral("Connect"));
    QCOMPARE(status(), QStringLiteral("Disconnected"));
    QVERIFY(!child<QAction>("actionUpload_Firmware")->isEnabled());
    for (int i = 0; i < 8; ++i) {
        const QString digit = QString::number(i);
        QVERIFY(!child<QCheckBox>(qPrintable("checkBoxPX" + digit))->isEnabled());
        QVERIFY(!child<QTextBrowser>(qPrintable("textBrowserPX" + digit))->isEnabled());
        auto *bar = child<QProgressBar>(qPrintable("progressBarPX" + digit));
        QCOMPARE(bar->value(), 0);
        QCOMPARE(bar->maximum(), 4000);
    }
    // The timeout widgets of every group are hidden until a precise-mode hub reports.
    const QStringList spinBoxes = {"spinBox_9", "spinBox_8", "spinBox_7", "spinBox_6",
                                   "spinBox_5", "spinBox_4", "spinBox_3", "spinBox_2"};
    for (const QString &name : spinBoxes)
        QVERIFY(child<QSpinBox>(qPrintable(name))->isHidden());
    int timeoutLabels = 0;
    for (QLabel *label : window->findChildren<QLabel *>()) {
        if (label->text() == QLatin1String("Time Out Value")) {
            ++timeoutLabels;
            QVERIFY(label->isHidden());
        }
    }
    QCOMPARE(timeoutLabels, 8);
}

void TestMainWindow::maximumDisplayMirroring()
{
    auto *spinBox = child<QSpinBox>("spinBox");
    spinBox->setValue(5000);
    QCOMPARE(child<QSlider>("horizontalSlider")->value(), 5000);
    for (int i = 0; i < 8; ++i) {
        QCOMPARE(child<QProgressBar>(qPrintable(QStringLiteral("progressBarPX%1").arg(i)))->maximum(),
                 5000);
        QCOMPARE(child<QLabel>(qPrintable(QStringLiteral("label_%1").arg(i + 3)))->text(),
                 QStringLiteral("5000 mm"));
    }
    child<QSlider>("horizontalSlider")->setValue(14000);
    QCOMPARE(spinBox->value(), 14000);
    QCOMPARE(child<QLabel>("label_10")->text(), QStringLiteral("14000 mm"));
}

void TestMainWindow::connectShowsHubConfiguration()
{
    hub->setMask(0x05);
    hub->setOperatingMode('P');
    hub->setDisplayMode('T');
    connectTo(hub->portPath());
    // At once, before the hub has answered.
    QCOMPARE(caption(), QStringLiteral("Disconnect"));
    QCOMPARE(status(), QStringLiteral("Connected"));
    QVERIFY(child<QAction>("actionUpload_Firmware")->isEnabled());

    QTRY_VERIFY_WITH_TIMEOUT(child<QRadioButton>("radioButton_TextMode")->isChecked(), 7000);
    QVERIFY(child<QRadioButton>("radioButton_PreciseMode")->isChecked());
    for (int i = 0; i < 8; ++i) {
        const bool reported = i == 0 || i == 2;
        auto *box = child<QCheckBox>(qPrintable(QStringLiteral("checkBoxPX%1").arg(i)));
        QCOMPARE(box->isChecked(), reported);
        QCOMPARE(box->isEnabled(), reported);
        QCOMPARE(child<QTextBrowser>(qPrintable(QStringLiteral("textBrowserPX%1").arg(i)))->isEnabled(),
                 reported);
    }
    QVERIFY(!child<QSpinBox>("spinBox_9")->isHidden());
    QVERIFY(!child<QSpinBox>("spinBox_2")->isHidden());
    QVERIFY(child<QGroupBox>("groupBoxMeanNbVal")->isHidden());
}

void TestMainWindow::distancesInBothOutputs_data()
{
    QTest::addColumn<char>("display");
    QTest::addColumn<QStringList>("texts");
    QTest::newRow("binary") << 'B'
                            << QStringList{"0FA0", "0F9F", "0001", "0000", "FFFFFFFB", "000F",
                                           "36B0", "04D2"};
    QTest::newRow("text") << 'T'
                          << QStringList{"4000", "3999", "1", "0", "-5", "15", "14000", "1234"};
}

void TestMainWindow::distancesInBothOutputs()
{
    QFETCH(char, display);
    QFETCH(QStringList, texts);
    hub->setDisplayMode(display);
    hub->setOperatingMode('P');
    hub->setFixedReadings(readings({4000, 3999, 1, 0, -5, 15, 14000, 1234}));
    connectAndWaitForConfig();
    QTRY_COMPARE_WITH_TIMEOUT(sensorTexts(), texts, 5000);
    // The bar shows the value less one, within 0 and its maximum less one.
    QCOMPARE(barValues(), (QList<int>{3999, 3998, 0, 0, 0, 14, 3999, 1233}));
}

void TestMainWindow::userActionsPutExactBytesOnTheWire()
{
    hub->setMask(0x05);
    hub->setOperatingMode('P');
    hub->setDisplayMode('T');
    connectAndWaitForConfig();
    hub->clearReceived();
    const auto expect = [this](const QByteArray &bytes) {
        QVERIFY2(hub->waitForReceived(bytes.size(), 2000), bytes.constData());
        QTest::qWait(50);
        QCOMPARE(hub->received(), bytes);
        hub->clearReceived();
    };

    QTest::mouseClick(child<QCheckBox>("checkBoxPX2"), Qt::LeftButton);
    expect("C01");
    QTest::mouseClick(child<QCheckBox>("checkBoxPX2"), Qt::LeftButton);
    expect("C05");

    // The mode already in force sends nothing.
    QTest::mouseClick(child<QRadioButton>("radioButton_TextMode"), Qt::LeftButton);
    QTest::mouseClick(child<QRadioButton>("radioButton_PreciseMode"), Qt::LeftButton);
    QTest::qWait(200);
    QCOMPARE(hub->received(), QByteArray());

    auto *timeout = child<QSpinBox>("spinBox_2");   // sensor 7
    timeout->setFocus();
    timeout->selectAll();
    QTest::keyClicks(timeout, "300");
    QTest::keyClick(timeout, Qt::Key_Return);
    expect("T7300");
    // Leaving the box sends its value again, changed or not.
    child<QSpinBox>("spinBoxMeanNbVal")->setFocus();
    expect("T7300");

    QTest::mouseClick(child<QRadioButton>("radioButtonBinaryMode"), Qt::LeftButton);
    expect("BBB");
    QTest::mouseClick(child<QRadioButton>("radioButton_FastMode"), Qt::LeftButton);
    expect("FFF");
    QVERIFY(!child<QGroupBox>("groupBoxMeanNbVal")->isHidden());
    QVERIFY(child<QSpinBox>("spinBox_2")->isHidden());
    QTest::mouseClick(child<QRadioButton>("radioButton_PreciseMode"), Qt::LeftButton);
    expect("PPP");
    QCOMPARE(child<QSpinBox>("spinBox_2")->value(), 500);

    // After the switch the hub sends binary frames, and the window shows them so.
    hub->setFixedReadings(readings({255, 255, 255, 255, 255, 255, 255, 255}));
    QTRY_COMPARE_WITH_TIMEOUT(sensorTexts().first(), QStringLiteral("00FF"), 3000);
}

void TestMainWindow::fastModeAveragingFollowsTheControl()
{
    // Sensor 0 reads 900, 0, 900, ...: binary output leaves the zeros out.
    const HubSimulator::Readings near = readings({900, 2000, 2000, 2000, 2000, 2000, 2000, 2000});
    const HubSimulator::Readings none = readings({0, 2000, 2000, 2000, 2000, 2000, 2000, 2000});
    hub->setScript({near, none});
    hub->setDisplayMode('B');
    hub->setOperatingMode('F');
    hub->setCyclePeriodMs(200);
    connectAndWaitForConfig();
    // At the start the worker averages over one sample whatever the control shows.
    QTRY_COMPARE_WITH_TIMEOUT(sensorTexts().first(), QStringLiteral("0000"), 3000);
    child<QSlider>("horizontalSliderMeanNbVal")->setValue(4);
    QCOMPARE(child<QSpinBox>("spinBoxMeanNbVal")->value(), 4);
    QTest::qWait(300);
    for (int i = 0; i < 10; ++i) {
        QTest::qWait(30);
        QCOMPARE(sensorTexts().first(), QStringLiteral("0384"));   // 900
    }
}

// Records that come faster than the window redraws are not all drawn, but the
// newest always is, also when it comes just after a redraw and nothing follows.
void TestMainWindow::lastRecordOfABurstIsShown()
{
    hub->setDisplayMode('T');
    hub->setOperatingMode('P');
    connectAndWaitForConfig();
    hub->setStreaming(false);
    QTest::qWait(300);   // whatever was on its way has been shown
    const auto line = [](int first) {
        QByteArray bytes = "PH";
        for (int i = 0; i < 8; ++i)
            bytes += '\t' + QByteArray::number(first + i);
        return bytes + "\r\n";
    };
    hub->sendRaw(line(1000));
    QElapsedTimer clock;
    clock.start();
    while (sensorTexts().at(0) != QLatin1String("1000") && clock.elapsed() < 3000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    QCOMPARE(sensorTexts().at(0), QStringLiteral("1000"));
    // Records in quick succession, each in its own read: however the redraws
    // are spaced, the window ends on the last one the hub sent.
    for (int k = 2; k <= 20; ++k) {
        hub->sendRaw(line(k * 1000));
        QTest::qWait(2);
    }
    const QStringList last = {"20000", "20001", "20002", "20003", "20004", "20005", "20006", "20007"};
    QTRY_COMPARE_WITH_TIMEOUT(sensorTexts(), last, 3000);
    QCOMPARE(barValues(), (QList<int>{3999, 3999, 3999, 3999, 3999, 3999, 3999, 3999}));

    // Two lines in one read: the second waits for the port's next notification.
    hub->sendRaw(line(1100) + line(1200));
    QTRY_COMPARE(sensorTexts().at(0), QStringLiteral("1100"));
    QTest::qWait(300);
    QCOMPARE(sensorTexts().at(0), QStringLiteral("1100"));
    hub->sendRaw(line(1300));
    QTRY_COMPARE(sensorTexts().at(0), QStringLiteral("1200"));

    // More in one read: the line that waited is shown, and of the new ones
    // only the newest is kept for the next notification, so the display
    // never falls more than a line behind.
    hub->sendRaw(line(2100) + line(2200) + line(2300));
    QTRY_COMPARE(sensorTexts().at(0), QStringLiteral("1300"));
    hub->sendRaw(line(2400));
    QTRY_COMPARE(sensorTexts().at(0), QStringLiteral("2300"));
}

void TestMainWindow::disconnectBlanksAndEndsTheWorker()
{
    const QStringList blank = QVector<QString>(8, QStringLiteral(" ")).toList();
    hub->setMask(0xFF);
    hub->setDisplayMode('T');
    connectAndWaitForConfig();
    QTRY_VERIFY(sensorTexts().first() != QString());
    QVERIFY(processThreadCount() > baselineThreads);

    clickConnectButton();
    QCOMPARE(caption(), QStringLiteral("Connect"));
    QCOMPARE(status(), QStringLiteral("Disconnected"));
    QVERIFY(!child<QAction>("actionUpload_Firmware")->isEnabled());
    QCOMPARE(sensorTexts(), blank);
    QCOMPARE(barValues(), QVector<int>(8, 0).toList());
    for (int i = 0; i < 8; ++i) {
        auto *box = child<QCheckBox>(qPrintable(QStringLiteral("checkBoxPX%1").arg(i)));
        QVERIFY(!box->isChecked());
        QVERIFY(!box->isEnabled());
    }
    QTRY_COMPARE(processThreadCount(), baselineThreads);
    // The blanked display stays blank: nothing of the old worker arrives late.
    QTest::qWait(200);
    QCOMPARE(sensorTexts(), blank);
}

void TestMainWindow::hubNotFoundShowsOneBox()
{
    hub->setSilent(true);
    MessageBoxWatcher boxes;
    connectTo(hub->portPath());
    QTRY_COMPARE_WITH_TIMEOUT(caption(), QStringLiteral("Connect"), 8000);
    QTest::qWait(200);
    QCOMPARE(boxes.seen.size(), 1);
    QCOMPARE(boxes.seen.first().first, QStringLiteral("Critical Error"));
    QCOMPARE(boxes.seen.first().second, QStringLiteral("Pellix Hub not found! \r\n"));
    QCOMPARE(status(), QStringLiteral("Disconnected"));
    QTRY_COMPARE(processThreadCount(), baselineThreads);
}

void TestMainWindow::missingPortShowsBothBoxes()
{
    MessageBoxWatcher boxes;
    connectTo(QStringLiteral("/dev/pellix-no-such-port"));
    QTRY_COMPARE(boxes.seen.size(), 2);
    QCOMPARE(boxes.seen.at(0).second, QStringLiteral("Trying to open an non-existing device"));
    QCOMPARE(boxes.seen.at(1).second,
             QStringLiteral("Cannot open serial port! \r\nIf the problem persists try to "
                            "unplug/replug the cable"));
    QCOMPARE(caption(), QStringLiteral("Connect"));
    QTRY_COMPARE(processThreadCount(), baselineThreads);
}

void TestMainWindow::quickReconnectsLeaveNoThread()
{
    child<QComboBox>("comboBoxPortName")->setEditText(hub->portPath());
    clickConnectButton();
    clickConnectButton();
    clickConnectButton();
    QCOMPARE(caption(), QStringLiteral("Disconnect"));
    QTRY_VERIFY_WITH_TIMEOUT(child<QRadioButton>("radioButton_TextMode")->isChecked()
                                 || child<QRadioButton>("radioButtonBinaryMode")->isChecked(),
                             7000);
    clickConnectButton();
    QTRY_COMPARE_WITH_TIMEOUT(processThreadCount(), baselineThreads, 10000);
}

void TestMainWindow::aboutShowsTheLastHub()
{
    const auto openAbout = [this] {
        child<QAction>("actionAbout")->trigger();
        QDialog *about = nullptr;
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (w->objectName() == QLatin1String("About") && w->isVisible())
                about = qobject_cast<QDialog *>(w);
        }
        return about;
    };
    QDialog *before = openAbout();
    QVERIFY(before);
    QCOMPARE(before->findChild<QLabel *>("label_name")->text(), QString());
    QCOMPARE(before->findChild<QLabel *>("label_firmware")->text(), QStringLiteral(" () "));
    before->close();   // deletes itself

    hub->setIdentity("1234", "2.1.0", "STD");
    connectAndWaitForConfig();
    clickConnectButton();
    QDialog *after = openAbout();
    QVERIFY(after);
    QCOMPARE(after->findChild<QLabel *>("label_name")->text(), QStringLiteral("PXHUB"));
    QCOMPARE(after->findChild<QLabel *>("label_serial")->text(), QStringLiteral("1234"));
    QCOMPARE(after->findChild<QLabel *>("label_firmware")->text(), QStringLiteral("2.1.0 (STD) "));
    QPointer<QDialog> guard(after);
    after->close();
    QTRY_VERIFY(!guard);
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
