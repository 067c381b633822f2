#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "about.h"
#include "fw_upgrade.h"
#include "restart.h"
#include "stylesheet.h"
#include "threadcom.h"
#include "upgrade_logic.h"

#include <QEventLoop>
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
    ui->statusBar->showMessage(tr("Disconnected"));

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
    stopWorkerAtExit();
    delete ui;
}

// Closing the window while connected closes the port cleanly: the worker is
// asked to end and its thread is waited for, with the event loop running so
// that the worker's own shutdown signals still arrive.
void MainWindow::stopWorkerAtExit()
{
    if (worker)
        disconnect(worker, nullptr, this, nullptr);
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
    if (ui->pushButtonConnect->text() == QLatin1String(ConnectCaption))
        connectToHub();
    else
        disconnectFromHub();
}

void MainWindow::connectToHub()
{
    const QPointer<QThread> previous = thread;
    thread = new QThread;
    worker = new ThreadCom(ui->comboBoxPortName->currentText());
    shownValid = false;

    connect(worker, &ThreadCom::errorSerialPort, this, &MainWindow::HandleError);
    connect(worker, &ThreadCom::GoToUploadMode, this, &MainWindow::EnterUploadMode);
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

    worker->moveToThread(thread);
    connect(thread, &QThread::started, worker, &ThreadCom::process);
    connect(worker, &ThreadCom::finished, thread, &QThread::quit);
    connect(worker, &ThreadCom::finished, worker, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    startWhenPortIsFree(thread, previous);

    connect(ui->spinBoxMeanNbVal, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &MainWindow::ChangeMeanValuenumber);

    ui->pushButtonConnect->setText(tr(DisconnectCaption));
    ui->statusBar->showMessage(tr("Connected"));
    ui->actionUpload_Firmware->setEnabled(true);
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
    }
    disconnect(ui->spinBoxMeanNbVal, QOverload<int>::of(&QSpinBox::valueChanged), this,
               &MainWindow::ChangeMeanValuenumber);

    blankSensors();
    if (thread)
        thread->requestInterruption();
    emit Discon();

    ui->pushButtonConnect->setText(tr(ConnectCaption));
    ui->statusBar->showMessage(tr("Disconnected"));
    ui->actionUpload_Firmware->setEnabled(false);
}

void MainWindow::blankSensors()
{
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
    ui->actionUpload_Firmware->setEnabled(false);
    blankSensors();
    ui->statusBar->showMessage(tr("Disconnected"));
    ui->pushButtonConnect->setText(tr(ConnectCaption));
}

void MainWindow::HandleError(QString error)
{
    // Later reports of the same worker are not shown; those already queued are.
    if (sender())
        disconnect(sender(), SIGNAL(errorSerialPort(QString)), this, SLOT(HandleError(QString)));
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
    if (worker) {
        QMutexLocker lock(&worker->DataMutex);
        deviceInfo.DeviceName = worker->DeviceName;
        deviceInfo.SerialNo = worker->SerialNo;
        deviceInfo.FirmwareVersion = worker->FirmwareVersion;
        deviceInfo.FirmwareType = worker->FirmwareType;
    }
    connectedMask = PellPlg;
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
    for (int i = 0; i < HubProtocol::SensorCount; ++i) {
        if (sender() != checkBoxes[i])
            continue;
        const qint8 bit = static_cast<qint8>(1u << i);
        const bool isSet = connectedMask & bit;
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
    for (int i = 0; i < HubProtocol::SensorCount; ++i) {
        if (sender() == timeoutSpinBoxes[i])
            emit SendNewTIMO(static_cast<qint8>(i), timeoutSpinBoxes[i]->value());
    }
}

bool MainWindow::hasLiveWorker() const
{
    return worker && ui->pushButtonConnect->text() != QLatin1String(ConnectCaption);
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
    if (!worker)
        return;
    QMutexLocker lock(&worker->DataMutex);
    worker->setMeanValueNumber(MeanValue);
}

void MainWindow::on_actionUpload_Firmware_triggered()
{
    if (ui->pushButtonConnect->text() == QLatin1String(ConnectCaption))
        return;
    emit Upgrade();
    fw_upgrade = new FW_Upgrade(this);
    fw_upgrade->setModal(true);
    fw_upgrade->show();
    connect(fw_upgrade, &FW_Upgrade::begin_upgrade, this, &MainWindow::launch_upgrade);
    // One link per worker, however often the menu entry is used: one press of
    // "Upgrade" must start exactly one run.
    if (worker)
        connect(this, &MainWindow::begin_upgrade, worker, &ThreadCom::launch_upgrade,
                Qt::UniqueConnection);
    auto *restart = new Restart(this);
    restart->setModal(true);
    restart->show();
}

void MainWindow::EnterUploadMode()
{
    on_actionUpload_Firmware_triggered();
}

void MainWindow::launch_upgrade()
{
    if (!fw_upgrade)
        return;
    Upgrade_logic *logic = nullptr;
    if (worker) {
        QMutexLocker lock(&worker->DataMutex);
        logic = worker->upgrade_logic;
        // The run starts on the worker's thread only after this call.
        if (logic && upgradeWaitLimits.eraseMs > 0)
            logic->setWaitLimits(upgradeWaitLimits.eraseMs, upgradeWaitLimits.replyMs,
                                 upgradeWaitLimits.finalMs);
    }
    if (logic) {
        connect(logic, &Upgrade_logic::progress_update, fw_upgrade,
                &FW_Upgrade::slot_progress_update);
        connect(logic, &Upgrade_logic::progress_message, fw_upgrade,
                &FW_Upgrade::slot_progress_message);
    }
    emit begin_upgrade(fw_upgrade->get_file_path());
}

void MainWindow::setUpgradeWaitLimits(int eraseMs, int replyMs, int finalMs)
{
    upgradeWaitLimits = {eraseMs, replyMs, finalMs};
}

void MainWindow::on_actionAbout_triggered()
{
    const HubProtocol::Identity info = deviceInfo;
    about = new About(info, this);
    about->setAttribute(Qt::WA_DeleteOnClose);
    about->show();
}
