// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "about.h"
#include "fw_upgrade.h"
#include "historycontrol.h"
#include "reconnectwait.h"
#include "recordingcontrol.h"
#include "restart.h"
#include "stylesheet.h"
#include "threadcom.h"
#include "windowsettings.h"

#include <QApplication>
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

QString serialNumberOf(ThreadCom *worker)
{
    QMutexLocker lock(&worker->DataMutex);
    return worker->SerialNo;
}

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
    timeoutSpinBoxes.removeLast(); // spinBoxMeanNbVal
    timeoutSpinBoxes.removeLast(); // spinBox, the display maximum
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
    addFeatures();
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

// What the window does beyond its hub link: each a class of its own, told
// of the link's changes by setLink() and the worker's slots.
void MainWindow::addFeatures()
{
    history = new HistoryControl(this, ui->centralWidget);
    history->setMaximum(ui->spinBox->value());
    connect(ui->spinBox, QOverload<int>::of(&QSpinBox::valueChanged), history, &HistoryControl::setMaximum);
    recording = new RecordingControl(
        ui->actionRecord, ui->statusBar, [this] { return worker(); }, this);
    reconnect = new ReconnectWait(this);
    connect(reconnect, &ReconnectWait::portBack, this, &MainWindow::tryAwaitedHub);
    connect(reconnect, &ReconnectWait::changed, this, [this] {
        if (link == Link::Disconnected)
            ui->statusBar->showMessage(linkMessage());
    });
    connect(ui->actionReconnect, &QAction::toggled, this, [this](bool on) {
        if (!on)
            reconnect->stop();
    });
}

MainWindow::~MainWindow()
{
    // A window the user closed was saved then: the application's quit has
    // since closed the history plot too, which the user left open.
    if (!savedAtClose)
        saveSettings();
    // The worker lets go of the file before it is closed.
    recording->stop();
    stopWorkerAtExit();
    delete ui;
}

// Closing the window while connected closes the port cleanly: the worker is
// asked to end and its thread is waited for, with the event loop running so
// that the worker's own shutdown signals still arrive.
void MainWindow::stopWorkerAtExit()
{
    cancelUnstartedWorker();
    history->linkLeft();
    // From here on no worker's report describes a hub on screen. The links
    // stay, so that a report still queued is known by its sender and dropped.
    WorkerThread ending = std::exchange(connection, WorkerThread());
    link = Link::Disconnected;
    ending.interrupt();
    emit Discon();
    ending.waitForEnd(ExitWaitMs);
    // A connection dropped before it started leaves the port's previous
    // holder as the thread still running.
    WorkerThread::waitForThread(portHolder, ExitWaitMs);
}

void MainWindow::OpencloseSerialPort()
{
    // The user's own press ends any wait for a vanished hub.
    if (sender() == ui->pushButtonConnect)
        reconnect->stop();
    if (ui->pushButtonConnect->text() == QLatin1String(ConnectCaption))
        connectToHub(ui->comboBoxPortName->currentText());
    else
        disconnectFromHub();
}

void MainWindow::connectToHub(const QString &port)
{
    saveSettings();
    dropClosedUpgradeDialog();
    QThread *previous = connection.thread() ? connection.thread() : portHolder.data();
    connection = WorkerThread(new ThreadCom(port));
    ThreadCom *com = connection.worker();
    shownValid = false;

    // The links marked so end when the user leaves the link; the others last
    // as long as the worker, so that its last reports are still known by it.
    const auto untilLeft = [this](const QMetaObject::Connection &c) { hubConnections.append(c); };
    untilLeft(connect(com, &ThreadCom::errorSerialPort, this, &MainWindow::HandleError));
    untilLeft(connect(com, &ThreadCom::GoToUploadMode, this, &MainWindow::EnterUploadMode));
    connect(com, &ThreadCom::openFailed, this, &MainWindow::workerOpenFailed);
    connect(this, &MainWindow::Discon, com, &ThreadCom::exit);
    untilLeft(connect(this, &MainWindow::ConfigSet, com, &ThreadCom::ConnectSerialRead));
    untilLeft(connect(this, &MainWindow::ChangingofDisplayMode, com, &ThreadCom::SendChangingOfDisplayMode));
    untilLeft(connect(this, &MainWindow::ChangingofOperatingMode, com, &ThreadCom::SendChangingOfOperatingMode));
    untilLeft(connect(this, &MainWindow::ChangingofConnectedPX, com, &ThreadCom::SendChangingofConnectedPX));
    untilLeft(connect(this, &MainWindow::SendNewTIMO, com, &ThreadCom::SetnewTIMO));
    untilLeft(connect(this, &MainWindow::Upgrade, com, &ThreadCom::Upgrade));
    untilLeft(connect(com, &ThreadCom::Set_GUIConfiguration, this, &MainWindow::SetConfig));
    untilLeft(connect(com, &ThreadCom::SendDistanceValueText, this, &MainWindow::DisplayTextMode));
    untilLeft(connect(com, &ThreadCom::SendDistanceValueBin, this, &MainWindow::DisplayBinMode));
    connect(com, &ThreadCom::showdisco, this, &MainWindow::disco);
    connect(com, &ThreadCom::upgradeEnded, this, &MainWindow::upgradeEnded);

    history->linkStarted(com);
    // A worker that was just told to disconnect may still hold the port for
    // a moment (a serial port opens once at a time).
    if (previous && previous->isRunning())
        portHolder = previous;
    connection.startAfter(previous, PreviousWorkerGraceMs);

    untilLeft(connect(ui->spinBoxMeanNbVal, QOverload<int>::of(&QSpinBox::valueChanged), this,
                      &MainWindow::ChangeMeanValuenumber));

    setLink(Link::Connecting);
}

void MainWindow::disconnectFromHub()
{
    for (const QMetaObject::Connection &c : std::as_const(hubConnections))
        disconnect(c);
    hubConnections.clear();
    unlinkUpgradeDialog();

    blankSensors();
    cancelUnstartedWorker();
    history->linkLeft();
    connection.interrupt();
    emit Discon();
    setLink(Link::Disconnected);
    closeUnusedUpgradeDialogs();
}

// A worker still waiting for the previous one to let go of the port has not
// touched anything yet: left now, it must never start.
void MainWindow::cancelUnstartedWorker()
{
    // The next connection waits for the port as this one did.
    connection.cancelIfUnstarted();
}

void MainWindow::setLink(Link next)
{
    recording->linkChanged(next == Link::Connected,
                           next == Link::Disconnected ? tr("the link ended") : tr("the upgrade began"));
    link = next;
    if (next != Link::Connected)
        displayTimer.stop();
    const bool connected = next != Link::Disconnected;
    ui->pushButtonConnect->setText(connected ? tr(DisconnectCaption) : tr(ConnectCaption));
    // A try of the wait has not yet checked the hub's serial number.
    ui->actionUpload_Firmware->setEnabled(connected && !reconnect->isTrying());
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
        return reconnect->isWaiting() ? reconnect->message() : tr("Disconnected");
    case Link::Connecting:
        // A try of the wait is still the wait, to the user.
        return reconnect->isTrying() ? reconnect->message() : tr("Connecting...");
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

// A queued report of a worker the user has since left describes no hub on
// screen. Calls that come from no worker at all are taken as they are.
bool MainWindow::fromOtherWorker() const
{
    const auto *from = qobject_cast<const ThreadCom *>(sender());
    return from && from != worker();
}

bool MainWindow::fromCurrentWorker() const
{
    return worker() && sender() == worker();
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
    reconnect->linkEnded();
    disconnect(ui->spinBoxMeanNbVal, QOverload<int>::of(&QSpinBox::valueChanged), this,
               &MainWindow::ChangeMeanValuenumber);
    blankSensors();
    history->linkLeft();
    setLink(Link::Disconnected);
    closeUnusedUpgradeDialogs();
}

void MainWindow::HandleError(QString error)
{
    if (fromOtherWorker())
        return;
    // A try at a vanished hub's port shows nothing: the vanishing said it all.
    // A failed open reports twice, around its end: both belong to the try.
    if (reconnect->isTrying() || reconnect->isTryWorker(sender()))
        return;
    const bool vanished = fromCurrentWorker() && link == Link::Connected
                          && error.startsWith(QLatin1String("Port is unavailable"))
                          && ui->actionReconnect->isChecked();
    reconnect->setVanished(vanished ? worker()->PortName : QString(), deviceInfo.SerialNo);
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
    ThreadCom *com = worker();
    // A try of the wait found a hub: the one awaited, or another that took the name.
    if (reconnect->isTrying() && com && !reconnect->hubAnswered(serialNumberOf(com))) {
        disconnectFromHub();
        return;
    }
    if (com) {
        QMutexLocker lock(&com->DataMutex);
        deviceInfo.DeviceName = com->DeviceName;
        deviceInfo.SerialNo = com->SerialNo;
        deviceInfo.FirmwareVersion = com->FirmwareVersion;
        deviceInfo.FirmwareType = com->FirmwareType;
        // The averaging follows the control from the first record on.
        com->setMeanValueNumber(ui->spinBoxMeanNbVal->value());
    }
    connectedMask = PellPlg;
    history->setSensorMask(connectedMask);
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
        history->setSensorMask(static_cast<qint8>(checkBoxes[i]->isChecked() ? connectedMask | bit
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
    return worker() && link != Link::Disconnected;
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
        ThreadCom *com = worker();
        QMutexLocker lock(&com->DataMutex);
        std::copy(std::begin(com->DistanceValue), std::end(com->DistanceValue), values.begin());
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
    recording->setMeanCount(MeanValue);
    ThreadCom *com = worker();
    if (!com)
        return;
    QMutexLocker lock(&com->DataMutex);
    com->setMeanValueNumber(MeanValue);
}

void MainWindow::on_actionUpload_Firmware_triggered()
{
    if (link == Link::Disconnected)
        return;
    // A hub that came back in its boot loader is not the one awaited.
    if (reconnect->isTrying() && fromCurrentWorker()) {
        reconnect->tryAbandoned();
        disconnectFromHub();
        return;
    }
    if (fromOtherWorker() || (fromCurrentWorker() && link != Link::Connecting) || reconnect->isTrying())
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
    if (worker())
        hubConnections.append(connect(this, &MainWindow::begin_upgrade, worker(), &ThreadCom::launch_upgrade,
                                      Qt::UniqueConnection));
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
    if (!fw_upgrade || !worker() || link != Link::HandedOver || (sender() && sender() != fw_upgrade))
        return;
    // Only this dialog shows this run, from its first word to its last.
    ThreadCom *target = worker();
    connect(target, &ThreadCom::upgradeProgress, fw_upgrade, &FW_Upgrade::slot_progress_update,
            Qt::UniqueConnection);
    connect(target, &ThreadCom::upgradeMessage, fw_upgrade, &FW_Upgrade::slot_progress_message,
            Qt::UniqueConnection);
    const Upgrade_logic::WaitLimits limits = upgradeWaitLimits;
    QMetaObject::invokeMethod(
        target, [target, limits] { target->setUpgradeWaitLimits(limits); },
        Qt::QueuedConnection);
    upgradeStarted = true;
    setLink(Link::Upgrading);
    // The bytes the dialog read and checked are the ones sent: the file is
    // not read again, whatever happened to it since it was chosen.
    const QByteArray image = fw_upgrade->image();
    if (image.isEmpty())
        emit begin_upgrade(fw_upgrade->get_file_path());
    else
        QMetaObject::invokeMethod(
            target, [target, image] { target->launchUpgradeImage(image); },
            Qt::QueuedConnection);
}

// Every word of the run has reached its dialog before this: the worker sent
// them first, on the same way.
void MainWindow::upgradeEnded(Upgrade_logic::Outcome outcome)
{
    const bool finished = outcome == Upgrade_logic::Done;
    if (fromOtherWorker() || !worker())
        return;
    unlinkUpgradeDialog();
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
    recording->toggle(ui->spinBoxMeanNbVal->value());
}

void MainWindow::unlinkUpgradeDialog()
{
    if (!worker())
        return;
    disconnect(worker(), &ThreadCom::upgradeProgress, nullptr, nullptr);
    disconnect(worker(), &ThreadCom::upgradeMessage, nullptr, nullptr);
}

void MainWindow::useSettings(QSettings *store)
{
    settings.reset();
    if (!store)
        return;
    settings = std::make_unique<WindowSettings>(
        store, WindowSettings::Controls{ui->comboBoxPortName, ui->spinBox, ui->spinBoxMeanNbVal,
                                        ui->actionReconnect, this});
    if (settings->restore())
        on_actionHistory_triggered();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    saveSettings();
    savedAtClose = true;
    QMainWindow::closeEvent(event);
}

void MainWindow::saveSettings()
{
    if (settings)
        settings->save(history->existingPlot());
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

void MainWindow::tryAwaitedHub(const QString &port)
{
    if (link != Link::Disconnected)
        return;
    // The try is the wait's from its first word on the status bar.
    reconnect->tryStarting();
    connectToHub(port);
    reconnect->setTryWorker(worker());
}

// A port that is there but cannot be opened is held by another program, and
// likely to stay so for a while: only a connection the user asked for beeps.
void MainWindow::workerOpenFailed()
{
    if (fromOtherWorker())
        return;
    if (!reconnect->isTrying() && !reconnect->isTryWorker(sender())) {
        QApplication::beep();
        return;
    }
    reconnect->tryFailed();
}

void MainWindow::on_actionHistory_triggered()
{
    if (!history->existingPlot() && settings)
        settings->restoreHistory(history->plot());
    history->show();
}
