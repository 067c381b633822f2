// SPDX-License-Identifier: GPL-3.0-or-later
#include "threadcom.h"

#include "firmwareimage.h"
#include "portwatch.h"
#include "recordsink.h"
#include "upgrade_logic.h"
#include "upgradetexts.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMutexLocker>
#include <QThread>

#include <algorithm>
#include <utility>

using namespace HubProtocol;

// The phases of a worker's connection, and what moves it on:
//
//   Opening     -> Identifying  process(): the port opened
//   Opening     -> Released     process(): it did not (exit)
//   Identifying -> Streaming    the hub's configuration was found and reported;
//                               configuration commands and readers from here
//   Identifying -> BootLoader   the boot loader answered: the port stays open
//   Identifying -> Released     no hub answered, or the port failed (exit)
//   Streaming   -> HandedOver   Upgrade(): "TUF" sent, the port is the boot loader's
//   BootLoader  -> HandedOver   Upgrade()
//   HandedOver  -> Upgrading    launch_upgrade() runs
//   Upgrading   -> HandedOver   the run failed: the port stays for another trigger
//   Upgrading   -> Released     the new image is in place
//   any         -> Released     exit(): the port is closed and let go

namespace {

const int ConfigAttempts = 40;
const int ConfigWaitMs = 100;
const int ShortReplyWaitMs = 5;
// How long a quiet hub's reply that is not well formed must stand alone.
const int QuietReplySettleMs = 20;
// A second of traffic without a reply and the query is sent again.
const int ReaskAttempts = 10;
// Some ten thousand records of a streaming hub: more than the handshake's four
// seconds bring at the wire's pace.
const int HandshakeBufferLimit = 1 << 16;
const int IdentFirstWaitMs = 200;
const int IdentAttempts = 20;
const int IdentWaitMs = 100;
const int ClosePauseMs = 5;
// A hub that never ends its line would pile up one line for ever. Beyond this
// many waiting bytes (some eighty records, a third of a second of the wire)
// the oldest go: what is that far behind is no longer worth showing.
const qint64 TextBacklogLimit = 4096;
// The boot-loader command is 3 bytes; a port that cannot take them in a
// second is not going to.
const int CommandWrittenLimitMs = 1000;

const char *const NotFound = "Pellix Hub not found! \r\n";
const char *const CannotOpen =
    "Cannot open serial port! \r\nIf the problem persists try to unplug/replug the cable";
const char *const PortGone =
    "Port is unavailable \r\n\nMaybe the device was unexpectedly removed from the system";

// The window asks the worker's thread to stop when it disconnects, so that a
// handshake it no longer wants does not hold the port for seconds.
bool stopRequested()
{
    return QThread::currentThread()->isInterruptionRequested();
}

} // namespace

ThreadCom::ThreadCom(QString portName, QObject *parent)
    : QObject(parent)
    , PortName(std::move(portName))
{
    qRegisterMetaType<Upgrade_logic::Outcome>();
    std::fill(std::begin(DistanceValue), std::end(DistanceValue), 0);
}

ThreadCom::~ThreadCom()
{
    delete upgrade_logic;
}

void ThreadCom::setMeanValueNumber(int n)
{
    MeanValueNumber = n;
}

void ThreadCom::addRecordSink(RecordSink *sink)
{
    if (recordSinks.isEmpty())
        recordSplitter.setDisplayMode(DMode);
    if (!recordSinks.contains(sink))
        recordSinks.append(sink);
}

void ThreadCom::removeRecordSink(RecordSink *sink)
{
    recordSinks.removeAll(sink);
}

// Whatever a reader takes from the port passes through here on its way, so
// that the record sink sees the whole stream, records the display skips
// included.
QByteArray ThreadCom::tapped(const QByteArray &bytes)
{
    // What the record path had ahead of the reader is not given again.
    const qint64 ahead = std::min<qint64>(tappedAhead, bytes.size());
    tappedAhead -= ahead;
    if (!recordSinks.isEmpty() && ahead < bytes.size()) {
        const QVector<Readings> records = recordSplitter.feed(ahead ? bytes.mid(int(ahead)) : bytes);
        for (const Readings &readings : records)
            for (RecordSink *sink : std::as_const(recordSinks))
                sink->takeRecord(readings, OMode, DMode);
    }
    return bytes;
}

// The readers leave bytes waiting: the text reader takes one line a
// notification, and a line that came with another waits for the next one; the
// binary reader waits for a byte past a frame. After a hub's last record
// before a pause, that is for as long as the pause lasts. The record path has
// no such rule: it takes what waits now, and the reader reads it later
// without giving it again.
void ThreadCom::tapAhead()
{
    const qint64 waiting = SerialPort->bytesAvailable();
    if (recordSinks.isEmpty() || waiting <= tappedAhead)
        return;
    const QByteArray fresh = SerialPort->peek(waiting).mid(int(tappedAhead));
    tappedAhead = 0;
    tapped(fresh);
    tappedAhead = waiting;
}

void ThreadCom::drainRecords()
{
    if (SerialPort && SerialPort->isOpen() && phase == Phase::Streaming)
        tapped(std::exchange(afterHandshake, QByteArray()) + SerialPort->readAll());
}

bool ThreadCom::waitForCommandsWritten(int limitMs)
{
    if (!canSendCommand())
        return false;
    return SerialPort->bytesToWrite() == 0 || SerialPort->waitForBytesWritten(limitMs);
}

int ThreadCom::meanValueNumber()
{
    QMutexLocker lock(&DataMutex);
    return MeanValueNumber;
}

void ThreadCom::process()
{
    {
        QMutexLocker lock(&DataMutex);
        std::fill(std::begin(DistanceValue), std::end(DistanceValue), 0);
        MeanValueNumber = 1;
    }
    SampleLists.clear();
    for (int k = 0; k < SensorCount; ++k)
        SampleLists.append(QList<qint16>(QVector<qint16>(HistoryLength, 0).toList()));

    SerialPort = new QSerialPort(this);
    // Before the open, so that an error the open raises is reported at once.
    connect(SerialPort, &QSerialPort::errorOccurred, this, &ThreadCom::HandleError);
    connect(SerialPort, &QObject::destroyed, this, &ThreadCom::SerialportDestroy);
    configurePort(SerialPort);

    if (SerialPort->open(QIODevice::ReadWrite)) {
        phase = Phase::Identifying;
        SerialPort->readAll();
        IdentifyHub();
        return;
    }
    emit openFailed();
    emit errorSerialPort(QString::fromLatin1(CannotOpen));
    emit showdisco();
    exit();
}

void ThreadCom::configurePort(QSerialPort *port) const
{
    // The port's lock is named after the path it is opened by: a link and its
    // device must be one port, or two programs could hold the same hub.
    const QFileInfo device(PortName);
    const QString resolved = PortName.contains(QLatin1Char('/')) && device.isSymLink()
                                 ? device.canonicalFilePath()
                                 : QString();
    port->setPortName(resolved.isEmpty() ? PortName : resolved);
    port->setBaudRate(QSerialPort::Baud115200, QSerialPort::AllDirections);
    port->setDataBits(QSerialPort::Data8);
    port->setParity(QSerialPort::NoParity);
    port->setStopBits(QSerialPort::OneStop);
    port->setFlowControl(QSerialPort::NoFlowControl);
}

void ThreadCom::IdentifyHub()
{
    if (!readConfiguration())
        return;
    readIdentification();
    if (phase == Phase::Identifying && !stopRequested()) {
        phase = Phase::Streaming;
        emit Set_GUIConfiguration(PellPlg, OMode, DMode);
    }
}

// What a hub sent before it was asked is no answer: also what the system
// still holds for the port and the port object has not read yet.
void ThreadCom::discardInput()
{
    SerialPort->readAll();
    SerialPort->clear(QSerialPort::Input);
}

// The handshake's search for the hub's answer among everything that came since
// the query: a hub that was left streaming sends its reply between records,
// and the reply may be cut by a read.
struct ThreadCom::AnswerSearch
{
    QByteArray buffer;
    ConfigAnswer answer;
    int attempt = 0;
    int askedAt = 0;
    int partialSince = 0; // a quiet hub's reply cut short, seen since this attempt
    bool heard = false;

    bool found() const { return answer.bootLoader >= 0 || answer.reply >= 0; }
};

bool ThreadCom::readConfiguration()
{
    discardInput();
    SerialPort->write(ConfigQuery);

    AnswerSearch search;
    if (!searchConfigAnswer(search))
        return false;
    ConfigAnswer &answer = search.answer;
    // A quiet hub's reply that never came whole is read as far as it goes.
    if (!search.found() && !answer.records && search.partialSince > 0 && search.partialSince < ConfigAttempts
        && isCutReply(search.buffer, answer.firstC))
        answer.reply = answer.firstC;

    if (answer.bootLoader >= 0) {
        phase = Phase::BootLoader;
        emit GoToUploadMode();
        return false;
    }
    // A reply first seen in the last attempt counts as none: the hub is too
    // slow to be trusted with the rest of the exchange.
    if (answer.reply < 0 || (search.attempt >= ConfigAttempts && search.partialSince == 0)) {
        emit errorSerialPort(QString::fromLatin1(NotFound));
        exit();
        emit showdisco();
        return false;
    }
    const ReplyFields fields = replyFieldsSent(search.buffer, answer.reply);
    readConfigReply(search.buffer, answer.reply, PellPlg, OMode, DMode);
    reported.mask = fields.mask;
    reported.operatingMode = fields.operatingMode;
    reported.displayMode = fields.displayMode;
    identityBuffer = search.buffer.mid(answer.reply + 5);
    return true;
}

// False when the link ended while it waited.
bool ThreadCom::searchConfigAnswer(AnswerSearch &search)
{
    while (search.attempt < ConfigAttempts) {
        ++search.attempt;
        listenOneAttempt(search);
        if (phase == Phase::Released || stopRequested())
            return false;
        if (search.found())
            return true;
        // Traffic without a reply: the query may have been lost in it, or the
        // reply spoiled. Ask again, as often as a second passes, and at once
        // when what looked like a reply may have been a record's tail.
        const int pause = search.answer.tentativeReply >= 0 && search.answer.records ? 2 : ReaskAttempts;
        if (search.heard && search.attempt - search.askedAt >= pause) {
            SerialPort->write(ConfigQuery);
            search.askedAt = search.attempt;
        }
    }
    return true;
}

// An attempt is a stretch of time, not a read: a streaming hub wakes the wait
// every few bytes, and would use up forty reads in a blink.
void ThreadCom::listenOneAttempt(AnswerSearch &search)
{
    ConfigAnswer &answer = search.answer;
    QElapsedTimer stretch;
    stretch.start();
    while (!search.found() && SerialPort->waitForReadyRead(std::max(0, ConfigWaitMs - int(stretch.elapsed())))) {
        search.buffer += SerialPort->readAll();
        if (search.buffer.size() > HandshakeBufferLimit)
            search.buffer.remove(0, search.buffer.size() - HandshakeBufferLimit);
        search.heard = true;
        answer = scanConfigAnswer(search.buffer);
        if (!search.found() && !answer.records && answer.firstC >= 0)
            settleQuietAnswer(search.buffer, answer);
        if (answer.reply < 0 && !answer.records && isCutReply(search.buffer, answer.firstC) && search.partialSince == 0)
            search.partialSince = search.attempt;
        if (phase == Phase::Released || stopRequested() || stretch.elapsed() >= ConfigWaitMs)
            return;
    }
}

// A hub that sends no records may send a reply that is not well formed, or no
// line end after it, and then its first "C" (or its marker) is its answer,
// once nothing more comes: anything that still arrives means the bytes were
// not a lone answer, and the search goes on. A reply cut short gets the short
// wait for its rest, and is not taken before it is whole.
void ThreadCom::settleQuietAnswer(QByteArray &buffer, ConfigAnswer &answer)
{
    if (answer.firstC + 4 >= buffer.size()) {
        SerialPort->waitForReadyRead(ShortReplyWaitMs);
        buffer += SerialPort->readAll();
        answer = scanConfigAnswer(buffer);
        if (answer.reply >= 0 || answer.bootLoader >= 0 || answer.records || answer.firstC + 4 >= buffer.size())
            return;
    }
    if (SerialPort->waitForReadyRead(QuietReplySettleMs)) {
        buffer += SerialPort->readAll();
        answer = scanConfigAnswer(buffer);
        return;
    }
    if (answer.tentativeBootLoader >= 0)
        answer.bootLoader = answer.tentativeBootLoader;
    else
        answer.reply = answer.tentativeReply >= 0 ? answer.tentativeReply : answer.firstC;
}

void ThreadCom::readIdentification()
{
    SerialPort->write(IdentQuery);
    const Identity defaults = defaultIdentity();
    {
        QMutexLocker lock(&DataMutex);
        DeviceName = defaults.DeviceName;
        SerialNo = defaults.SerialNo;
        FirmwareVersion = defaults.FirmwareVersion;
        FirmwareType = defaults.FirmwareType;
    }
    const bool arrived = SerialPort->waitForReadyRead(IdentFirstWaitMs);
    if (takeIdentityLine() || !arrived)
        return;

    // Everything since the configuration reply is looked at, whether or not
    // more data arrived since: a hub that answers in one piece and then falls
    // silent would otherwise lose its identity, and a stream of records ahead
    // of the answer would use up the attempts. What first comes during the
    // last wait is too late: the defaults stand.
    for (int attempt = 1; attempt <= IdentAttempts && phase == Phase::Identifying && !stopRequested(); ++attempt) {
        if (takeIdentityLine())
            return;
        SerialPort->waitForReadyRead(IdentWaitMs);
    }
}

// The line is searched for in everything since the configuration reply, so
// that a record's readings that spell the marker are known for what they are.
bool ThreadCom::takeIdentityLine()
{
    identityBuffer += SerialPort->readAll();
    if (identityBuffer.size() > HandshakeBufferLimit)
        identityBuffer.remove(0, identityBuffer.size() - HandshakeBufferLimit);
    QByteArray line;
    const int at = findIdentificationLine(identityBuffer, line);
    if (at < 0)
        return false;
    // What came after the line is the stream's: a recording starts with it.
    afterHandshake = identityBuffer.mid(at + line.size());
    identityBuffer.clear();
    Identity identity;
    if (readIdentificationLine(line, identity)) {
        QMutexLocker lock(&DataMutex);
        DeviceName = identity.DeviceName;
        SerialNo = identity.SerialNo;
        FirmwareVersion = identity.FirmwareVersion;
        FirmwareType = identity.FirmwareType;
        reported.identity = true;
    }
    // An answer too short to trust keeps the defaults.
    return true;
}

void ThreadCom::ConnectSerialRead()
{
    if (!canSendCommand())
        return;
    afterHandshake.clear();
    SerialPort->readAll();
    tappedAhead = 0;
    recordSplitter.setDisplayMode(DMode);
    if (DMode == Binary)
        connect(SerialPort, &QIODevice::readyRead, this, &ThreadCom::ReadSerialPortDataBinary,
                Qt::UniqueConnection);
    else
        connect(SerialPort, &QIODevice::readyRead, this, &ThreadCom::ReadSerialPortDataText,
                Qt::UniqueConnection);
}

void ThreadCom::SerialportDestroy()
{
    // Queued: the port is still being destroyed while it signals.
    QMetaObject::invokeMethod(this, &ThreadCom::finish, Qt::QueuedConnection);
}

void ThreadCom::finish()
{
    // The window reads the store from its own thread. Handing the worker back
    // to that thread before finished() makes the deletion that finished()
    // schedules run there too, after every display call already queued, so
    // it can never overlap a read.
    if (QCoreApplication::instance())
        moveToThread(QCoreApplication::instance()->thread());
    emit finished();
}

void ThreadCom::exit()
{
    if (phase == Phase::Released)
        return;
    // Whole records that came before the end are data for the record sinks,
    // also the one the display's reader keeps for its next notification.
    if (!recordSinks.isEmpty())
        drainRecords();
    phase = Phase::Released;
    if (!SerialPort) {
        // The upgrade already released the port: nothing left to close.
        finish();
        return;
    }
    disconnect(SerialPort, &QIODevice::readyRead, this, &ThreadCom::ReadSerialPortDataBinary);
    disconnect(SerialPort, &QIODevice::readyRead, this, &ThreadCom::ReadSerialPortDataText);
    disconnect(SerialPort, &QIODevice::readyRead, this, &ThreadCom::discardBootLoaderOutput);
    disconnect(SerialPort, &QSerialPort::errorOccurred, this, nullptr);
    if (SerialPort->isOpen()) {
        SerialPort->close();
        QThread::msleep(ClosePauseMs);
    }
    // Also a port that never opened is released, so that its worker and thread
    // end instead of idling until the program exits.
    connect(SerialPort, &QObject::destroyed, this, &ThreadCom::SerialportDestroy,
            Qt::UniqueConnection);
    SerialPort->deleteLater();
}

void ThreadCom::HandleError(QSerialPort::SerialPortError error)
{
    QString message;
    switch (error) {
    case QSerialPort::ResourceError:
    case QSerialPort::ReadError:
        // A vanished peer may show up as a read error that repeats for ever;
        // it is the same event as a removed device.
        if (PortWatch::vanished(SerialPort, error))
            message = QString::fromLatin1(PortGone);
        break;
    case QSerialPort::DeviceNotFoundError:
        message = QStringLiteral("Trying to open an non-existing device");
        break;
    case QSerialPort::OpenError:
        message = QStringLiteral("Port already open");
        break;
    case QSerialPort::PermissionError:
        message = QStringLiteral(
            "Unable access : Port already open\r\n\nIf the problem persists try to unplug/replug the device");
        break;
    default:
        break;
    }
    if (message.isEmpty() || !SerialPort)
        return;
    disconnect(SerialPort, &QSerialPort::errorOccurred, this, &ThreadCom::HandleError);
    emit errorSerialPort(message);
    SerialPort->clearError();
    emit showdisco();
    exit();
}

bool ThreadCom::canSendCommand() const
{
    // Before the hub's configuration was shown, after exit() or the hand-over
    // to the boot loader, the port is not ours to command.
    return SerialPort && SerialPort->isOpen() && phase == Phase::Streaming;
}

void ThreadCom::sendCommand(const QByteArray &command)
{
    SerialPort->write(command);
}

void ThreadCom::SendChangingOfDisplayMode(bool NeedChangingDispModel)
{
    Q_UNUSED(NeedChangingDispModel) // the worker's own mode decides the direction
    if (!canSendCommand())
        return;
    pendingFrame.clear();
    skippingLongLine = false;
    recordSplitter.switchDisplayMode(DMode == Text ? Binary : Text);
    // The reader is swapped before the command goes out, so whatever the hub
    // sends in the new form already meets the matching reader.
    if (DMode == Text) {
        connect(SerialPort, &QIODevice::readyRead, this, &ThreadCom::ReadSerialPortDataBinary,
                Qt::UniqueConnection);
        disconnect(SerialPort, &QIODevice::readyRead, this, &ThreadCom::ReadSerialPortDataText);
        DMode = Binary;
        sendCommand(BinaryOutput);
    } else {
        disconnect(SerialPort, &QIODevice::readyRead, this, &ThreadCom::ReadSerialPortDataBinary);
        connect(SerialPort, &QIODevice::readyRead, this, &ThreadCom::ReadSerialPortDataText,
                Qt::UniqueConnection);
        DMode = Text;
        sendCommand(TextOutput);
    }
}

void ThreadCom::SendChangingOfOperatingMode()
{
    if (!canSendCommand())
        return;
    if (OMode == Precise) {
        OMode = Fast;
        sendCommand(FastMode);
    } else {
        OMode = Precise;
        sendCommand(PreciseMode);
    }
}

void ThreadCom::SendChangingofConnectedPX(qint8 PellPlug)
{
    if (!canSendCommand())
        return;
    PellPlg = PellPlug;
    sendCommand(connectedSensorsCommand(PellPlug));
}

void ThreadCom::SetnewTIMO(qint8 PellNumber, int value)
{
    if (!canSendCommand())
        return;
    sendCommand(timeoutCommand(PellNumber, value));
}

void ThreadCom::ReadSerialPortDataBinary()
{
    if (!SerialPort)
        return;
    if (SerialPort->bytesAvailable() < BinaryMinimumWaiting) {
        tapAhead();
        return;
    }
    Readings readings;
    if (!takeBinaryFrame(pendingFrame, tapped(SerialPort->readAll()), readings))
        return;
    if (OMode == Fast)
        averageReadings(SampleLists, readings, meanValueNumber(), true);
    storeReadings(readings);
    emit SendDistanceValueBin();
}

void ThreadCom::ReadSerialPortDataText()
{
    if (!SerialPort)
        return;
    dropTextBacklog();
    if (!SerialPort->canReadLine())
        return;
    const QByteArray line = tapped(SerialPort->readLine());
    dropStaleLines();
    tapAhead();
    if (skippingLongLine) {
        // The end of a line whose start was dropped: the whole line is too
        // long for a record, and its tail alone must not pass for one.
        skippingLongLine = false;
        return;
    }
    Readings readings;
    if (!decodeTextLine(line, readings))
        return;
    if (OMode == Fast)
        averageReadings(SampleLists, readings, meanValueNumber(), false);
    storeReadings(readings);
    emit SendDistanceValueText();
}

void ThreadCom::dropTextBacklog()
{
    while (SerialPort->bytesAvailable() > TextBacklogLimit) {
        if (SerialPort->canReadLine()) {
            tapped(SerialPort->readLine());
            skippingLongLine = false;
        } else {
            tapped(SerialPort->readAll());
            skippingLongLine = true;
        }
    }
}

// One line per notification means that a single late wake-up of this thread,
// with two lines in one read, leaves the reader a line behind for as long as
// the stream lasts, and each further one adds a line. Of the whole lines still
// waiting after this notification's own, only the newest is kept for the next
// notification: the display is never more than a line behind, and two lines
// that come together are still shown one per notification.
void ThreadCom::dropStaleLines()
{
    const QByteArray waiting = SerialPort->peek(SerialPort->bytesAvailable());
    for (int stale = waiting.count('\n') - 1; stale > 0; --stale)
        tapped(SerialPort->readLine());
}

void ThreadCom::storeReadings(const Readings &values)
{
    QMutexLocker lock(&DataMutex);
    std::copy(values.begin(), values.end(), std::begin(DistanceValue));
}

void ThreadCom::Upgrade()
{
    // A connection the user has left sends nothing more to its hub.
    if (phase == Phase::Released || phase == Phase::Opening || phase == Phase::Identifying
        || stopRequested())
        return;
    if (SerialPort) {
        disconnect(SerialPort, &QIODevice::readyRead, this, &ThreadCom::ReadSerialPortDataBinary);
        disconnect(SerialPort, &QIODevice::readyRead, this, &ThreadCom::ReadSerialPortDataText);
        disconnect(SerialPort, &QIODevice::readyRead, this, &ThreadCom::discardBootLoaderOutput);
        disconnect(SerialPort, &QSerialPort::errorOccurred, this, nullptr);
        disconnect(SerialPort, &QObject::destroyed, this, &ThreadCom::SerialportDestroy);
    } else {
        // An earlier run ended by releasing the port: the boot loader gets a
        // fresh port object under the same name, never the released one.
        SerialPort = new QSerialPort(this);
        configurePort(SerialPort);
    }
    phase = Phase::HandedOver;
    if (SerialPort->isOpen()) {
        SerialPort->write(EnterBootLoader);
        SerialPort->waitForBytesWritten(CommandWrittenLimitMs);
        SerialPort->close();
    }
    // The boot loader is opened by the name the user gave, not the device a
    // link named when the firmware answered: a hub that comes back from its
    // firmware as another device is still found where its link points.
    auto *logic = new Upgrade_logic(SerialPort, PortName);
    connect(logic, &Upgrade_logic::progress_update, this, &ThreadCom::upgradeProgress);
    connect(logic, &Upgrade_logic::progress_message, this, &ThreadCom::upgradeMessage);
    Upgrade_logic *earlier;
    {
        // Read from other threads by tools that watch a run.
        QMutexLocker lock(&DataMutex);
        earlier = upgrade_logic;
        upgrade_logic = logic;
    }
    // An earlier trigger's object is idle: its run ended before this slot ran.
    delete earlier;
    applyUpgradeWaitLimits();
}

void ThreadCom::setUpgradeWaitLimits(const Upgrade_logic::WaitLimits &limits)
{
    upgradeWaitLimits = limits;
    applyUpgradeWaitLimits();
}

void ThreadCom::applyUpgradeWaitLimits()
{
    if (upgrade_logic)
        upgrade_logic->setWaitLimits(upgradeWaitLimits);
}

void ThreadCom::launch_upgrade(QString File_path)
{
    // Read whole before the erase: the file may change while the hub erases.
    endUpgrade(runUpgrade(FirmwareImage::read(File_path)));
}

void ThreadCom::launchUpgradeImage(QByteArray image)
{
    endUpgrade(runUpgrade(image));
}

Upgrade_logic::Outcome ThreadCom::runUpgrade(const FirmwareImage &image)
{
    if (!upgrade_logic || phase != Phase::HandedOver || stopRequested())
        return Upgrade_logic::Stopped;
    // Nothing is erased before there is an image to write in its place.
    if (!image.isUsable()) {
        emit upgradeMessage(image.describe());
        return Upgrade_logic::FileUnusable;
    }
    return runUpgrade(image.bytes());
}

Upgrade_logic::Outcome ThreadCom::runUpgrade(const QByteArray &image)
{
    if (!upgrade_logic || phase != Phase::HandedOver || stopRequested())
        return Upgrade_logic::Stopped;
    if (image.isEmpty() || image.size() > FirmwareImage::holdLimit()) {
        emit upgradeMessage(UpgradeTexts::text(UpgradeTexts::FileEmpty));
        return Upgrade_logic::FileUnusable;
    }
    if (SerialPort)
        disconnect(SerialPort, &QIODevice::readyRead, this, &ThreadCom::discardBootLoaderOutput);
    phase = Phase::Upgrading;
    const uchar erase = upgrade_logic->mass_erase();
    if (erase != Upgrade_logic::Acknowledge) {
        // A hub that answers the erase with anything else is not ready to be
        // erased, such as one that came back in its normal firmware. No
        // reply at all was reported already, or is the failed open's silence.
        if (upgrade_logic->outcome() == Upgrade_logic::Refused)
            emit upgradeMessage(UpgradeTexts::text(UpgradeTexts::EraseRefused));
        return upgrade_logic->outcome();
    }
    const uchar result = upgrade_logic->program_image(image);
    // Only a run that reached the end of the session has closed and released
    // the port; a block refused with the end-of-session byte gives that byte
    // too, and was reported as the fatal error it is.
    const bool sessionEnded = !upgrade_logic->serial;
    if (sessionEnded && result == Upgrade_logic::Finished)
        return Upgrade_logic::Done;
    if (sessionEnded)
        emit upgradeMessage(UpgradeTexts::text(UpgradeTexts::NotConfirmed));
    return upgrade_logic->outcome() == Upgrade_logic::Done ? Upgrade_logic::Refused
                                                           : upgrade_logic->outcome();
}

void ThreadCom::endUpgrade(Upgrade_logic::Outcome outcome)
{
    emit upgradeEnded(outcome);
    if (phase == Phase::Upgrading)
        phase = Phase::HandedOver;
    if (outcome != Upgrade_logic::Done) {
        // The port the run leaves open stays ours until the next trigger or
        // the disconnect; a hub unplugged meanwhile must not leave its read
        // notifications firing for ever, and a hub restarted into its firmware
        // streams into it: what it sends is read and dropped, or the port's
        // buffer grows without end.
        if (SerialPort && SerialPort->isOpen()) {
            connect(SerialPort, &QSerialPort::errorOccurred, this, &ThreadCom::BootLoaderPortError,
                    Qt::UniqueConnection);
            connect(SerialPort, &QIODevice::readyRead, this, &ThreadCom::discardBootLoaderOutput,
                    Qt::UniqueConnection);
            discardBootLoaderOutput();
        }
        return;
    }
    {
        QMutexLocker lock(&DataMutex);
        delete upgrade_logic;
        upgrade_logic = nullptr;
    }
    phase = Phase::Released;
    emit showdisco();
    // The boot loader's port is on its way out; finish once it has gone.
    if (SerialPort)
        connect(SerialPort, &QObject::destroyed, this, &ThreadCom::SerialportDestroy,
                Qt::UniqueConnection);
    else
        finish();
}

void ThreadCom::discardBootLoaderOutput()
{
    if (SerialPort)
        SerialPort->readAll();
}

void ThreadCom::BootLoaderPortError(QSerialPort::SerialPortError error)
{
    if (SerialPort && PortWatch::vanished(SerialPort, error)) {
        disconnect(SerialPort, &QSerialPort::errorOccurred, this, &ThreadCom::BootLoaderPortError);
        SerialPort->close();
    }
}
