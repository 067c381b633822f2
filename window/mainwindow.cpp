// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "about.h"
#include "csvrecording.h"
#include "historybuffer.h"
#include "historywindow.h"
#include "sensorcolours.h"
#include "fw_upgrade.h"
#include "restart.h"
#include "storedsettings.h"
#include "stylesheet.h"
#include "threadcom.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QSettings>

#include <new>
#include <QStandardPaths>
#include <QEventLoop>
#include <QGroupBox>
#include <QMessageBox>
#include <QMutexLocker>
#include <QSerialPortInfo>
#include <QThread>
#include <QTimer>

#include <utility>

namespace {

const char *const ConnectCaption = "Connect";
const char *const DisconnectCaption = "Disconnect";
const char *const TimeoutLabelText = "Time Out Value";
const int DefaultBarMaximum = 4000;
const int DefaultTimeoutMs = 500;
// At exit a worker may be inside the identification handshake (about 6 s).
const int ExitWaitMs = 8000;
const int PreviousWorkerGraceMs = 3000;
// Short enough that what is on screen is never a frame of a 60 Hz screen
// behind the hub; long enough to spare the GUI thread most of the redraws a
// fast hub would ask for.
const int DisplayIntervalMs = 10;

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    setStyleSheet(StyleSheet::load(StyleSheet::MainWindow));

    // The per-sensor widgets are found by class in creation order; the form
    // creates the eight sensor groups first, so index i is sensor i.
    timeoutSpinBoxes = ui->centralWidget->findChildren<QSpinBox *>();
    timeoutSpinBoxes.removeLast();   // spinBoxMeanNbVal
    timeoutSpinBoxes.removeLast();   // spinBox, the display maximum
    checkBoxes = ui->centralWidget->findChildren<QCheckBox *>();
    textBrowsers = ui->centralWidget->findChildren<QTextBrowser *>();
    progressBars = ui->centralWidget->findChildren<QProgressBar *>();
    const QList<QLabel *> labels = ui->centralWidget->findChildren<QLabel *>();
    for (QLabel *label : labels) {
        if (label->text() == QLatin1String(TimeoutLabelText))
            timeoutLabels.append(label);
    }

    for (int i = 0; i < HubProtocol::SensorCount; ++i) {
        checkBoxes[i]->setEnabled(false);
        textBrowsers[i]->setEnabled(false);
        progressBars[i]->setMaximum(DefaultBarMaximum);
        progressBars[i]->setValue(0);
        timeoutSpinBoxes[i]->hide();
        timeoutLabels[i]->hide();
    }
    // A menu entry's empty status tip would otherwise wipe the connection's
    // state from the status bar for good.
    connect(ui->statusBar, &QStatusBar::messageChanged, this, [this](const QString &message) {
        if (message.isEmpty())
            ui->statusBar->showMessage(linkMessage());
    });
    history = std::make_shared<HistoryBuffer>();
    addSwatches();
    connect(ui->spinBox, QOverload<int>::of(&QSpinBox::valueChanged), this, [this](int maximum) {
        if (historyWindow)
            historyWindow->setMaximum(maximum);
    });
    recordingLabel = new QLabel(this);
    recordingLabel->setObjectName(QStringLiteral("labelRecording"));
    ui->statusBar->addPermanentWidget(recordingLabel);
    connect(&recordingTimer, &QTimer::timeout, this, &MainWindow::showRecordingStatus);
    connect(&reconnectTimer, &QTimer::timeout, this, &MainWindow::tryAwaitedHub);
    connect(ui->actionReconnect, &QAction::toggled, this, [this](bool on) {
        if (!on)
            stopWaitingForHub();
    });
    setLink(Link::Disconnected);
    // A new scale applies from the next display call, also when the readings
    // it shows are the same as before.
    connect(ui->horizontalSlider, &QSlider::valueChanged, this, [this] { shownValid = false; });

    displayTimer.setSingleShot(true);
    connect(&displayTimer, &QTimer::timeout, this, &MainWindow::showDistancesNow);
    connect(ui->pushButtonConnect, &QPushButton::released, this, &MainWindow::OpencloseSerialPort);
    connect(ui->pushButtonRefresh, &QPushButton::released, this,
            &MainWindow::Update_comboBoxPortName);
    connect(ui->radioButtonBinaryMode, &QRadioButton::clicked, this,
            &MainWindow::DetectChangingofDisplayMode, Qt::DirectConnection);
    connect(ui->radioButton_TextMode, &QRadioButton::clicked, this,
            &MainWindow::DetectChangingofDisplayMode, Qt::DirectConnection);
    connect(ui->radioButton_FastMode, &QRadioButton::clicked, this,
            &MainWindow::DetectChangingofOperatingMode, Qt::DirectConnection);
    connect(ui->radioButton_PreciseMode, &QRadioButton::clicked, this,
            &MainWindow::DetectChangingofOperatingMode, Qt::DirectConnection);
    for (int i = 0; i < HubProtocol::SensorCount; ++i) {
        connect(checkBoxes[i], &QCheckBox::clicked, this, &MainWindow::DetectChangingofConnectedPX);
        connect(timeoutSpinBoxes[i], &QSpinBox::editingFinished, this, &MainWindow::TIMOChanged);
    }

    connectedMask = 0;
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports)
        ui->comboBoxPortName->addItem(port.portName());
}

MainWindow::~MainWindow()
{
    saveSettings();
    // The worker lets go of the file before it is closed.
    if (recording)
        stopRecording(QString());
    stopWorkerAtExit();
    delete ui;
}

// Closing the window while connected closes the port cleanly: the worker is
// asked to end and its thread is waited for, with the event loop running so
// that the worker's own shutdown signals still arrive.
void MainWindow::stopWorkerAtExit()
{
    cancelUnstartedWorker();
    detachHistory();
    // From here on no worker's report describes a hub on screen. The links
    // stay, so that a report still queued is known by its sender and dropped.
    worker = nullptr;
    link = Link::Disconnected;
    if (thread)
        thread->requestInterruption();
    emit Discon();
    if (!thread || !thread->isRunning())
        return;
    QEventLoop loop;
    connect(thread, &QThread::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(ExitWaitMs, &loop, &QEventLoop::quit);
    loop.exec();
}

void MainWindow::OpencloseSerialPort()
{
    // The user's own press ends any wait for a vanished hub.
    if (sender() == ui->pushButtonConnect)
        stopWaitingForHub();
    if (ui->pushButtonConnect->text() == QLatin1String(ConnectCaption))
        connectToHub(ui->comboBoxPortName->currentText());
    else
        disconnectFromHub();
}

void MainWindow::connectToHub(const QString &port)
{
    saveSettings();
    dropClosedUpgradeDialog();
    const QPointer<QThread> previous = thread;
    thread = new QThread;
    worker = new ThreadCom(port);
    shownValid = false;

    connect(worker, &ThreadCom::errorSerialPort, this, &MainWindow::HandleError);
    connect(worker, &ThreadCom::GoToUploadMode, this, &MainWindow::EnterUploadMode);
    connect(worker, &ThreadCom::openFailed, this, &MainWindow::workerOpenFailed);
    connect(this, &MainWindow::Discon, worker, &ThreadCom::exit);
    connect(this, &MainWindow::ConfigSet, worker, &ThreadCom::ConnectSerialRead);
    connect(this, &MainWindow::ChangingofDisplayMode, worker,
            &ThreadCom::SendChangingOfDisplayMode);
    connect(this, &MainWindow::ChangingofOperatingMode, worker,
            &ThreadCom::SendChangingOfOperatingMode);
    connect(this, &MainWindow::ChangingofConnectedPX, worker,
            &ThreadCom::SendChangingofConnectedPX);
    connect(this, &MainWindow::SendNewTIMO, worker, &ThreadCom::SetnewTIMO);
    connect(this, &MainWindow::Upgrade, worker, &ThreadCom::Upgrade);
    connect(worker, &ThreadCom::Set_GUIConfiguration, this, &MainWindow::SetConfig);
    connect(worker, &ThreadCom::SendDistanceValueText, this, &MainWindow::DisplayTextMode);
    connect(worker, &ThreadCom::SendDistanceValueBin, this, &MainWindow::DisplayBinMode);
    connect(worker, &ThreadCom::showdisco, this, &MainWindow::disco);
    connect(worker, &ThreadCom::upgradeEnded, this, &MainWindow::upgradeEnded);

    if (historyWindow && historyWindow->isVisible())
        worker->addRecordSink(history.get());
    worker->moveToThread(thread);
    connect(thread, &QThread::started, worker, &ThreadCom::process);
    connect(worker, &ThreadCom::finished, thread, &QThread::quit);
    connect(worker, &ThreadCom::finished, worker, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    startWhenPortIsFree(thread, previous);

    connect(ui->spinBoxMeanNbVal, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &MainWindow::ChangeMeanValuenumber);

    setLink(Link::Connecting);
}

// A worker that was just told to disconnect may still hold the port for a
// moment (a serial port opens once at a time): the next worker starts when the
// previous one has let go, or after a grace period if it is slow to.
void MainWindow::startWhenPortIsFree(QThread *next, QThread *previous)
{
    if (!previous || !previous->isRunning()) {
        next->start();
        return;
    }
    portHolder = previous;
    const QPointer<QThread> guarded(next);
    const auto start = [guarded] {
        if (guarded && !guarded->isRunning() && !guarded->isFinished())
            guarded->start();
    };
    connect(previous, &QThread::finished, next, start);
    QTimer::singleShot(PreviousWorkerGraceMs, next, start);
}

void MainWindow::disconnectFromHub()
{
    if (worker) {
        disconnect(worker, &ThreadCom::errorSerialPort, this, &MainWindow::HandleError);
        disconnect(worker, &ThreadCom::GoToUploadMode, this, &MainWindow::EnterUploadMode);
        disconnect(this, &MainWindow::ChangingofDisplayMode, worker,
                   &ThreadCom::SendChangingOfDisplayMode);
        disconnect(this, &MainWindow::ChangingofOperatingMode, worker,
                   &ThreadCom::SendChangingOfOperatingMode);
        disconnect(this, &MainWindow::ChangingofConnectedPX, worker,
                   &ThreadCom::SendChangingofConnectedPX);
        disconnect(this, &MainWindow::SendNewTIMO, worker, &ThreadCom::SetnewTIMO);
        disconnect(this, &MainWindow::Upgrade, worker, &ThreadCom::Upgrade);
        disconnect(this, &MainWindow::ConfigSet, worker, &ThreadCom::ConnectSerialRead);
        disconnect(worker, &ThreadCom::Set_GUIConfiguration, this, &MainWindow::SetConfig);
        disconnect(worker, &ThreadCom::SendDistanceValueText, this, &MainWindow::DisplayTextMode);
        disconnect(worker, &ThreadCom::SendDistanceValueBin, this, &MainWindow::DisplayBinMode);
        disconnect(this, &MainWindow::begin_upgrade, worker, &ThreadCom::launch_upgrade);
        disconnect(worker, &ThreadCom::upgradeProgress, nullptr, nullptr);
        disconnect(worker, &ThreadCom::upgradeMessage, nullptr, nullptr);
    }
    disconnect(ui->spinBoxMeanNbVal, QOverload<int>::of(&QSpinBox::valueChanged), this,
               &MainWindow::ChangeMeanValuenumber);

    blankSensors();
    cancelUnstartedWorker();
    detachHistory();
    if (thread)
        thread->requestInterruption();
    emit Discon();
    setLink(Link::Disconnected);
    closeUnusedUpgradeDialogs();
}

// A worker still waiting for the previous one to let go of the port has not
// touched anything yet: left now, it must never start.
void MainWindow::cancelUnstartedWorker()
{
    if (!thread || thread->isRunning() || thread->isFinished())
        return;
    delete worker.data();
    delete thread.data();
    // The next connection waits for the port as this one did.
    thread = portHolder;
}

void MainWindow::setLink(Link next)
{
    if (recording && next != Link::Connected)
        stopRecording(next == Link::Disconnected ? tr("the link ended") : tr("the upgrade began"));
    link = next;
    ui->actionRecord->setEnabled(next == Link::Connected || recording);
    if (next != Link::Connected)
        displayTimer.stop();
    const bool connected = next != Link::Disconnected;
    ui->pushButtonConnect->setText(connected ? tr(DisconnectCaption) : tr(ConnectCaption));
    // A try of the wait has not yet checked the hub's serial number.
    ui->actionUpload_Firmware->setEnabled(connected && !reconnectAttempt);
    const bool speaking = controlsSpeakToHub();
    for (QAbstractButton *mode : {static_cast<QAbstractButton *>(ui->radioButtonBinaryMode),
                                  static_cast<QAbstractButton *>(ui->radioButton_TextMode),
                                  static_cast<QAbstractButton *>(ui->radioButton_FastMode),
                                  static_cast<QAbstractButton *>(ui->radioButton_PreciseMode)})
        mode->setEnabled(speaking);
    for (QSpinBox *box : std::as_const(timeoutSpinBoxes))
        box->setEnabled(speaking);
    if (!speaking) {
        for (QCheckBox *box : std::as_const(checkBoxes))
            box->setEnabled(false);
    }
    ui->statusBar->showMessage(linkMessage());
}

QString MainWindow::linkMessage() const
{
    switch (link) {
    case Link::Disconnected:
        return waitingForHub ? waitingMessage : tr("Disconnected");
    case Link::Connecting:
        // A try of the wait is still the wait, to the user.
        return reconnectAttempt ? waitingMessage : tr("Connecting...");
    case Link::UpgradeUnfinished:
        return tr("Upgrade did not finish");
    case Link::Connected:
    case Link::HandedOver:
    case Link::Upgrading:
        break;
    }
    return tr("Connected");
}

// Commands reach the hub only once its configuration is shown, so that the
// buttons always show what the hub was last told. Without a link the controls
// keep their old freedom: nothing is listening.
bool MainWindow::controlsSpeakToHub() const
{
    return link == Link::Connected || link == Link::Disconnected;
}

// The worker of a try of the wait, also once the try has ended.
bool MainWindow::fromTryingWorker() const
{
    const auto *from = qobject_cast<const ThreadCom *>(sender());
    return from && from == tryingWorker;
}

// A queued report of a worker the user has since left describes no hub on
// screen. Calls that come from no worker at all are taken as they are.
bool MainWindow::fromOtherWorker() const
{
    const auto *from = qobject_cast<const ThreadCom *>(sender());
    return from && from != worker;
}

bool MainWindow::fromCurrentWorker() const
{
    return worker && sender() == worker;
}

void MainWindow::blankSensors()
{
    displayTimer.stop();
    shownValid = false;
    for (int i = 0; i < HubProtocol::SensorCount; ++i) {
        checkBoxes[i]->setChecked(false);
        checkBoxes[i]->setEnabled(false);
        textBrowsers[i]->setEnabled(false);
        textBrowsers[i]->setText(QStringLiteral(" "));
        progressBars[i]->setValue(0);
    }
}

void MainWindow::disco()
{
    if (fromOtherWorker())
        return;
    reconnectAttempt = false;
    if (vanishedWhileConnected) {
        vanishedWhileConnected = false;
        waitingMessage = tr("Waiting for the hub...");
        startWaitingForHub();
    }
    disconnect(ui->spinBoxMeanNbVal, QOverload<int>::of(&QSpinBox::valueChanged), this,
               &MainWindow::ChangeMeanValuenumber);
    blankSensors();
    detachHistory();
    setLink(Link::Disconnected);
    closeUnusedUpgradeDialogs();
}

void MainWindow::HandleError(QString error)
{
    if (fromOtherWorker())
        return;
    // A try at a vanished hub's port shows nothing: the vanishing said it all.
    // A failed open reports twice, around its end: both belong to the try.
    if (reconnectAttempt || fromTryingWorker())
        return;
    vanishedWhileConnected = fromCurrentWorker() && link == Link::Connected
                             && error.startsWith(QLatin1String("Port is unavailable"))
                             && ui->actionReconnect->isChecked();
    if (vanishedWhileConnected) {
        awaitedPort = worker->PortName;
        awaitedSerial = deviceInfo.SerialNo;
    }
    // Later reports of the same worker are not shown; those already queued are.
    if (auto *from = qobject_cast<ThreadCom *>(sender()))
        disconnect(from, &ThreadCom::errorSerialPort, this, &MainWindow::HandleError);
    QMessageBox::critical(this, tr("Critical Error"), error, QMessageBox::Ok, QMessageBox::NoButton);
}

void MainWindow::Update_comboBoxPortName()
{
    ui->comboBoxPortName->clear();
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports)
        ui->comboBoxPortName->addItem(port.portName());
}

void MainWindow::SetConfig(qint8 PellPlg, uchar OMode, uchar DMode)
{
    // Only the hub being connected is shown, and only once: a report still
    // queued at a disconnect or a hand-over to the boot loader is dropped.
    if (fromOtherWorker() || (fromCurrentWorker() && link != Link::Connecting))
        return;
    if (reconnectAttempt && worker) {
        reconnectAttempt = false;
        QString serial;
        {
            QMutexLocker lock(&worker->DataMutex);
            serial = worker->SerialNo;
        }
        if (serial != awaitedSerial) {
            // Another hub took the name: it is let go, and the wait goes on.
            waitingMessage = tr("Another hub (serial %1) is on %2; waiting for the hub...")
                                 .arg(serial, awaitedPort);
            disconnectFromHub();
            return;
        }
        stopWaitingForHub();
        tryingWorker.clear();
    }
    if (worker) {
        QMutexLocker lock(&worker->DataMutex);
        deviceInfo.DeviceName = worker->DeviceName;
        deviceInfo.SerialNo = worker->SerialNo;
        deviceInfo.FirmwareVersion = worker->FirmwareVersion;
        deviceInfo.FirmwareType = worker->FirmwareType;
        // The averaging follows the control from the first record on.
        worker->setMeanValueNumber(ui->spinBoxMeanNbVal->value());
    }
    connectedMask = PellPlg;
    if (historyWindow)
        historyWindow->setSensorMask(connectedMask);
    fastMode = OMode == HubProtocol::Fast;
    binaryMode = DMode == HubProtocol::Binary;

    for (int i = 0; i < HubProtocol::SensorCount; ++i) {
        const bool connected = (int(PellPlg) >> i) & 1;
        checkBoxes[i]->setChecked(connected);
        checkBoxes[i]->setEnabled(connected);
        textBrowsers[i]->setEnabled(connected);
    }
    if (fastMode)
        ui->radioButton_FastMode->setChecked(true);
    else
        ui->radioButton_PreciseMode->setChecked(true);
    showTimeouts(!fastMode);
    if (binaryMode)
        ui->radioButtonBinaryMode->setChecked(true);
    else
        ui->radioButton_TextMode->setChecked(true);
    if (link == Link::Connecting)
        setLink(Link::Connected);

    emit ConfigSet();
}

// Precise mode has per-sensor timeouts; fast mode averages instead.
void MainWindow::showTimeouts(bool shown)
{
    for (int i = 0; i < HubProtocol::SensorCount; ++i) {
        timeoutSpinBoxes[i]->setVisible(shown);
        timeoutLabels[i]->setVisible(shown);
    }
    ui->groupBoxMeanNbVal->setVisible(!shown);
}

void MainWindow::DetectChangingofDisplayMode()
{
    if (!controlsSpeakToHub())
        return;
    if (ui->radioButtonBinaryMode->isChecked() && !binaryMode) {
        binaryMode = true;
        emit ChangingofDisplayMode(true);
    } else if (ui->radioButton_TextMode->isChecked() && binaryMode) {
        binaryMode = false;
        emit ChangingofDisplayMode(false);
    }
}

void MainWindow::DetectChangingofOperatingMode()
{
    if (!controlsSpeakToHub())
        return;
    if (ui->radioButton_FastMode->isChecked() && !fastMode) {
        fastMode = true;
        emit ChangingofOperatingMode();
        showTimeouts(false);
    } else if (ui->radioButton_PreciseMode->isChecked() && fastMode) {
        fastMode = false;
        emit ChangingofOperatingMode();
        for (QSpinBox *box : std::as_const(timeoutSpinBoxes))
            box->setValue(DefaultTimeoutMs);
        showTimeouts(true);
    }
}

void MainWindow::DetectChangingofConnectedPX()
{
    if (!controlsSpeakToHub())
        return;
    for (int i = 0; i < HubProtocol::SensorCount; ++i) {
        if (sender() != checkBoxes[i])
            continue;
        const qint8 bit = static_cast<qint8>(1u << i);
        const bool isSet = connectedMask & bit;
        if (historyWindow)
            historyWindow->setSensorMask(static_cast<qint8>(checkBoxes[i]->isChecked() ? connectedMask | bit
                                                                                       : connectedMask & ~bit));
        if (checkBoxes[i]->isChecked() && !isSet) {
            connectedMask = static_cast<qint8>(connectedMask | bit);
            emit ChangingofConnectedPX(connectedMask);
        } else if (!checkBoxes[i]->isChecked() && isSet) {
            connectedMask = static_cast<qint8>(connectedMask & ~bit);
            emit ChangingofConnectedPX(connectedMask);
        }
    }
}

void MainWindow::TIMOChanged()
{
    if (!controlsSpeakToHub())
        return;
    for (int i = 0; i < HubProtocol::SensorCount; ++i) {
        if (sender() == timeoutSpinBoxes[i])
            emit SendNewTIMO(static_cast<qint8>(i), timeoutSpinBoxes[i]->value());
    }
}

bool MainWindow::hasLiveWorker() const
{
    return worker && link != Link::Disconnected;
}

void MainWindow::DisplayBinMode()
{
    scheduleDistances(true);
}

void MainWindow::DisplayTextMode()
{
    scheduleDistances(false);
}

// A call that comes within the display interval of the last redraw only makes
// sure that one redraw follows when the interval is over. That redraw reads
// the store then, so it shows the newest values, as every queued call does.
// Blanking is never put off.
void MainWindow::scheduleDistances(bool hexadecimal)
{
    // A call from another worker, or one of this worker's that comes after
    // the hand-over to the boot loader, shows nothing.
    if (fromOtherWorker() || (fromCurrentWorker() && link != Link::Connected))
        return;
    displayHexadecimal = hexadecimal;
    const qint64 since = sinceDisplay.isValid() ? sinceDisplay.elapsed() : DisplayIntervalMs;
    if (!hasLiveWorker() || (!displayTimer.isActive() && since >= DisplayIntervalMs))
        showDistancesNow();
    else if (!displayTimer.isActive())
        displayTimer.start(int(DisplayIntervalMs - since));
}

void MainWindow::showDistancesNow()
{
    sinceDisplay.start();
    showDistances(displayHexadecimal);
}

// An update that arrives after the link ended must not read the worker's
// store: the display is blanked instead, as a disconnect leaves it.
void MainWindow::showDistances(bool hexadecimal)
{
    if (!hasLiveWorker()) {
        shownValid = false;
        for (int i = 0; i < HubProtocol::SensorCount; ++i) {
            textBrowsers[i]->setText(QStringLiteral(" "));
            progressBars[i]->setValue(0);
        }
        return;
    }
    HubProtocol::Readings values;
    {
        QMutexLocker lock(&worker->DataMutex);
        std::copy(std::begin(worker->DistanceValue), std::end(worker->DistanceValue), values.begin());
    }
    if (shownValid && values == shownValues && hexadecimal == shownHexadecimal)
        return;
    shownValues = values;
    shownHexadecimal = hexadecimal;
    shownValid = true;
    for (int i = 0; i < HubProtocol::SensorCount; ++i) {
        const int value = values[i];
        textBrowsers[i]->setText(hexadecimal ? QString::asprintf("%04X", value)
                                             : QString::number(value));
        setBar(i, value);
    }
}

// The bar shows value - 1, kept within 0 and its maximum - 1.
void MainWindow::setBar(int sensor, int value)
{
    QProgressBar *bar = progressBars[sensor];
    if (value >= progressBars[0]->maximum())
        bar->setValue(bar->maximum() - 1);
    else if (value <= 0)
        bar->setValue(0);
    else
        bar->setValue(value - 1);
}

void MainWindow::ChangeMeanValuenumber(int MeanValue)
{
    if (recording)
        recording->setMeanCount(MeanValue);
    if (!worker)
        return;
    QMutexLocker lock(&worker->DataMutex);
    worker->setMeanValueNumber(MeanValue);
}

void MainWindow::on_actionUpload_Firmware_triggered()
{
    if (link == Link::Disconnected)
        return;
    // A hub that came back in its boot loader is not the one awaited.
    if (reconnectAttempt && fromCurrentWorker()) {
        reconnectAttempt = false;
        disconnectFromHub();
        return;
    }
    if (fromOtherWorker() || (fromCurrentWorker() && link != Link::Connecting) || reconnectAttempt)
        return;
    if (link == Link::Upgrading) {
        QMessageBox::information(this, tr("Upload Firmware"),
                                 tr("An upgrade is still running. Please wait for it to end, "
                                    "or press Disconnect to stop it."));
        return;
    }
    emit Upgrade();
    dropClosedUpgradeDialog();
    fw_upgrade = new FW_Upgrade(this);
    upgradeStarted = false;
    fw_upgrade->setModal(true);
    fw_upgrade->show();
    connect(fw_upgrade, &FW_Upgrade::begin_upgrade, this, &MainWindow::launch_upgrade);
    connect(fw_upgrade, &QDialog::finished, this, &MainWindow::upgradeDialogClosed);
    // One link per worker, however often the menu entry is used: one press of
    // "Upgrade" must start exactly one run.
    if (worker)
        connect(this, &MainWindow::begin_upgrade, worker, &ThreadCom::launch_upgrade,
                Qt::UniqueConnection);
    restart = new Restart(this);
    restart->setAttribute(Qt::WA_DeleteOnClose);
    restart->setModal(true);
    restart->show();
    // What the window showed is no reading of a hub in its boot loader.
    blankSensors();
    setLink(Link::HandedOver);
}

// The link ended before a run was started (the hub was not found, or its
// port went): the dialogs have nothing left to upgrade.
void MainWindow::closeUnusedUpgradeDialogs()
{
    if (restart)
        restart->close();
    if (fw_upgrade && fw_upgrade->isVisible() && !upgradeStarted)
        fw_upgrade->close();
}

void MainWindow::EnterUploadMode()
{
    on_actionUpload_Firmware_triggered();
}

// A dialog closed during its run is kept until the next trigger so that the
// run's last words still reach it; any other is gone with its closing.
void MainWindow::dropClosedUpgradeDialog()
{
    if (fw_upgrade && !fw_upgrade->isVisible())
        fw_upgrade->deleteLater();
}

void MainWindow::upgradeDialogClosed()
{
    if (sender() != fw_upgrade)
        return;
    // The hub was sent to its boot loader and nothing was written.
    if (link == Link::HandedOver) {
        blankSensors();
        setLink(Link::UpgradeUnfinished);
    }
    if (link != Link::Upgrading)
        dropClosedUpgradeDialog();
}

void MainWindow::launch_upgrade()
{
    if (!fw_upgrade || !worker || link != Link::HandedOver || (sender() && sender() != fw_upgrade))
        return;
    // Only this dialog shows this run, from its first word to its last.
    connect(worker, &ThreadCom::upgradeProgress, fw_upgrade, &FW_Upgrade::slot_progress_update,
            Qt::UniqueConnection);
    connect(worker, &ThreadCom::upgradeMessage, fw_upgrade, &FW_Upgrade::slot_progress_message,
            Qt::UniqueConnection);
    ThreadCom *target = worker;
    const Upgrade_logic::WaitLimits limits = upgradeWaitLimits;
    QMetaObject::invokeMethod(target, [target, limits] { target->setUpgradeWaitLimits(limits); },
                              Qt::QueuedConnection);
    upgradeStarted = true;
    setLink(Link::Upgrading);
    // The bytes the dialog read and checked are the ones sent: the file is
    // not read again, whatever happened to it since it was chosen.
    const QByteArray image = fw_upgrade->image();
    if (image.isEmpty())
        emit begin_upgrade(fw_upgrade->get_file_path());
    else
        QMetaObject::invokeMethod(target, [target, image] { target->launchUpgradeImage(image); },
                                  Qt::QueuedConnection);
}

// Every word of the run has reached its dialog before this: the worker sent
// them first, on the same way.
void MainWindow::upgradeEnded(Upgrade_logic::Outcome outcome)
{
    const bool finished = outcome == Upgrade_logic::Done;
    if (fromOtherWorker() || !worker)
        return;
    disconnect(worker, &ThreadCom::upgradeProgress, nullptr, nullptr);
    disconnect(worker, &ThreadCom::upgradeMessage, nullptr, nullptr);
    if (link != Link::Upgrading)
        return;
    // A finished run is followed by the worker's own end of the link.
    if (!finished) {
        blankSensors();
        setLink(Link::UpgradeUnfinished);
    }
}

void MainWindow::setUpgradeWaitLimits(const Upgrade_logic::WaitLimits &limits)
{
    upgradeWaitLimits = limits;
}

void MainWindow::on_actionAbout_triggered()
{
    const HubProtocol::Identity info = deviceInfo;
    about = new About(info, this);
    about->setAttribute(Qt::WA_DeleteOnClose);
    about->show();
}

void MainWindow::on_actionRecord_triggered()
{
    if (recording) {
        stopRecording(QString());
        return;
    }
    if (link != Link::Connected || !worker)
        return;
    const QString suggested =
        QDir(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation))
            .filePath(QDateTime::currentDateTime().toString(QStringLiteral("'pellix-'yyyyMMdd-HHmmss'.csv'")));
    // The dialog asks before it lets an existing file be replaced.
    const QString path = QFileDialog::getSaveFileName(this, tr("Record to CSV"), suggested,
                                                      tr("CSV files (*.csv)"));
    if (path.isEmpty() || link != Link::Connected || !worker)
        return;
    QString error;
    recording = CsvRecording::start(path, error);
    if (!recording) {
        QMessageBox::warning(this, tr("Record to CSV"),
                             tr("Cannot write %1 (%2). Please choose another file.").arg(path, error));
        return;
    }
    recording->setMeanCount(ui->spinBoxMeanNbVal->value());
    ThreadCom *target = worker;
    RecordSink *sink = recording.get();
    QMetaObject::invokeMethod(target, [target, sink] { target->addRecordSink(sink); }, Qt::QueuedConnection);
    ui->actionRecord->setText(tr("Stop Recording"));
    // Rows reach the file on time, whether or not the hub sends more.
    recordingTimer.start(Recorder::FlushIntervalMs);
    showRecordingStatus();
}

void MainWindow::showRecordingStatus()
{
    if (!recording)
        return;
    recording->flush();
    if (recording->failed()) {
        const QString file = recording->path();
        const QString reason = recording->failure();
        stopRecording(tr("the file cannot be written"));
        QMessageBox::warning(this, tr("Record to CSV"),
                             tr("The recording stopped: %1 cannot be written (%2). The display goes on.")
                                 .arg(file, reason));
        return;
    }
    recordingLabel->setText(tr("Recording %1, %2 rows")
                                .arg(QFileInfo(recording->path()).fileName())
                                .arg(recording->rows()));
}

// The file is closed on the worker's thread once the worker no longer writes
// to it, and the final count shown then; with no worker left to write, here.
// The GUI thread never waits for the worker.
void MainWindow::stopRecording(const QString &why)
{
    const std::shared_ptr<CsvRecording> ending = std::move(recording);
    recording.reset();
    recordingTimer.stop();
    ui->actionRecord->setText(tr("Record to CSV..."));
    ui->actionRecord->setEnabled(link == Link::Connected);
    const QString name = QFileInfo(ending->path()).fileName();
    const QString whyStopped = why;
    const auto stopped = [name, whyStopped](qint64 rows) {
        return whyStopped.isEmpty()
                   ? tr("Recording stopped: %1, %2 rows").arg(name).arg(rows)
                   : tr("Recording stopped, %1: %2, %3 rows").arg(whyStopped, name).arg(rows);
    };
    recordingLabel->setText(stopped(ending->rows()));
    ThreadCom *target = worker;
    if (!target || !thread || !thread->isRunning() || target->thread() != thread) {
        ending->finish();
        recordingLabel->setText(stopped(ending->rows()));
        return;
    }
    const QPointer<QLabel> label = recordingLabel;
    // Should the worker be gone before this runs, the recording is closed
    // with the last reference to it, and every row it took is in the file.
    QMetaObject::invokeMethod(target, [target, ending, label, stopped] {
        target->removeRecordSink(ending.get());
        ending->finish();
        const QString text = stopped(ending->rows());
        // The label is looked at on its own thread only.
        QMetaObject::invokeMethod(QCoreApplication::instance(), [label, text] {
            if (label)
                label->setText(text);
        }, Qt::QueuedConnection);
    }, Qt::QueuedConnection);
}

void MainWindow::useSettings(QSettings *store)
{
    settings = store;
    if (!settings)
        return;
    const StoredSettings stored(settings);
    const QString port = stored.text(QStringLiteral("port"));
    if (!port.isEmpty())
        choosePort(port);
    ui->spinBox->setValue(stored.number(QStringLiteral("maximum"), ui->spinBox->minimum(),
                                        ui->spinBox->maximum(), ui->spinBox->value()));
    ui->spinBoxMeanNbVal->setValue(stored.number(QStringLiteral("average"), ui->spinBoxMeanNbVal->minimum(),
                                                 ui->spinBoxMeanNbVal->maximum(),
                                                 ui->spinBoxMeanNbVal->value()));
    restoreGeometry(stored.bytes(QStringLiteral("geometry")));
    ui->actionReconnect->setChecked(stored.flag(QStringLiteral("reconnect"), false));
    if (stored.flag(QStringLiteral("history/open"), false))
        on_actionHistory_triggered();
}

void MainWindow::saveSettings()
{
    if (!settings)
        return;
    settings->setValue(QStringLiteral("port"), ui->comboBoxPortName->currentText());
    settings->setValue(QStringLiteral("maximum"), ui->spinBox->value());
    settings->setValue(QStringLiteral("average"), ui->spinBoxMeanNbVal->value());
    settings->setValue(QStringLiteral("geometry"), saveGeometry());
    settings->setValue(QStringLiteral("reconnect"), ui->actionReconnect->isChecked());
    settings->setValue(QStringLiteral("history/open"), historyWindow && historyWindow->isVisible());
    if (historyWindow) {
        settings->setValue(QStringLiteral("history/span"), historyWindow->spanIndex());
        settings->setValue(QStringLiteral("history/geometry"), historyWindow->saveGeometry());
    }
    // Writing merges with what the file holds: a file that cannot be read
    // (see StoredSettings) is left as it is rather than end the program.
    try {
        settings->sync();
    } catch (const std::bad_alloc &) {
    }
}

void MainWindow::choosePort(const QString &port)
{
    ui->comboBoxPortName->setEditText(port);
}

void MainWindow::connectNow()
{
    if (link == Link::Disconnected)
        OpencloseSerialPort();
}

void MainWindow::startWaitingForHub()
{
    waitingForHub = true;
    reconnectDelayMs = FirstReconnectDelayMs;
    reconnectTimer.start(reconnectDelayMs);
    ui->statusBar->showMessage(linkMessage());
}

void MainWindow::stopWaitingForHub()
{
    if (!waitingForHub)
        return;
    waitingForHub = false;
    reconnectAttempt = false;
    reconnectTimer.stop();
    if (link == Link::Disconnected)
        ui->statusBar->showMessage(linkMessage());
}

// Only once the port is there again: opening a port that is not makes a
// worker and a thread for nothing every second.
void MainWindow::tryAwaitedHub()
{
    if (!waitingForHub || link != Link::Disconnected)
        return;
    QString path = awaitedPort;
#ifdef Q_OS_UNIX
    if (!path.contains(QLatin1Char('/')))
        path.prepend(QStringLiteral("/dev/"));
#endif
    if (!QFileInfo::exists(path)) {
        // Gone: come back within a second of its return.
        reconnectDelayMs = FirstReconnectDelayMs;
        reconnectTimer.setInterval(reconnectDelayMs);
        return;
    }
    reconnectAttempt = true;
    connectToHub(awaitedPort);
    tryingWorker = worker;
}

// A port that is there but cannot be opened is held by another program, and
// likely to stay so for a while: the wait tries it less and less often, and
// only a connection the user asked for beeps.
void MainWindow::workerOpenFailed()
{
    if (fromOtherWorker())
        return;
    if (!reconnectAttempt && !fromTryingWorker()) {
        QApplication::beep();
        return;
    }
    reconnectDelayMs = std::min(2 * reconnectDelayMs, LastReconnectDelayMs);
    reconnectTimer.setInterval(reconnectDelayMs);
}

void MainWindow::attachHistory()
{
    ThreadCom *target = worker;
    if (!target || link == Link::Disconnected)
        return;
    RecordSink *sink = history.get();
    QMetaObject::invokeMethod(target, [target, sink] { target->addRecordSink(sink); }, Qt::QueuedConnection);
}

// The worker may still be reading: it lets go of the buffer on its own
// thread, and the buffer lives until it has.
void MainWindow::detachHistory()
{
    ThreadCom *target = worker;
    if (!target)
        return;
    const std::shared_ptr<HistoryBuffer> keep = history;
    QMetaObject::invokeMethod(target, [target, keep] { target->removeRecordSink(keep.get()); },
                              Qt::QueuedConnection);
}

void MainWindow::on_actionHistory_triggered()
{
    if (!historyWindow) {
        historyWindow = new HistoryWindow(history, this);
        historyWindow->setObjectName(QStringLiteral("HistoryWindow"));
        historyWindow->setMaximum(ui->spinBox->value());
        historyWindow->setSensorMask(connectedMask);
        connect(historyWindow, &HistoryWindow::visibilityChanged, this, [this](bool visible) {
            if (visible)
                attachHistory();
            else
                detachHistory();
        });
        if (settings) {
            const StoredSettings stored(settings);
            historyWindow->setSpanIndex(stored.number(QStringLiteral("history/span"), 0, 2, 1));
            historyWindow->restoreGeometry(stored.bytes(QStringLiteral("history/geometry")));
        }
    }
    historyWindow->show();
    historyWindow->raise();
}

// A swatch of each sensor's plot colour beside its group's title.
void MainWindow::addSwatches()
{
    for (int i = 0; i < HubProtocol::SensorCount; ++i) {
        auto *group = ui->centralWidget->findChild<QGroupBox *>(QStringLiteral("groupBoxPX%1").arg(i));
        if (!group)
            continue;
        auto *swatch = new QLabel(group);
        swatch->setObjectName(QStringLiteral("swatchPX%1").arg(i));
        swatch->setFixedSize(10, 10);
        swatch->setStyleSheet(QStringLiteral("background-color: %1; border: none;").arg(sensorColour(i).name()));
        swatch->move(group->fontMetrics().horizontalAdvance(group->title()) + 18, 4);
    }
}
