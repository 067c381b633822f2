// SPDX-License-Identifier: GPL-3.0-or-later
#include "upgrade_logic.h"

#include "upgradetexts.h"

#include "firmwareimage.h"
#include "portwatch.h"

#include <QElapsedTimer>
#include <QThread>

#include <algorithm>

#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace {

const char MassErase = 0x11;
const char SizeHeader = 0x22;
const int BlockSize = 8;
const int PauseBetweenBlocksMs = 1;
const int WaitSliceMs = 100;

// Linux lets a thread's sleep end as much as its timer slack late, 50 us by
// default: on the pause of a millisecond after each 8-byte block that is five
// percent of the whole upload. While it sends blocks the thread asks for its
// sleeps to end on time, and gives the default back after.
class PunctualSleeps
{
public:
    PunctualSleeps()
    {
#ifdef Q_OS_LINUX
        previous = prctl(PR_GET_TIMERSLACK);
        prctl(PR_SET_TIMERSLACK, 1UL);
#endif
    }
    ~PunctualSleeps()
    {
#ifdef Q_OS_LINUX
        if (previous > 0)
            prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(previous));
#endif
    }
    PunctualSleeps(const PunctualSleeps &) = delete;
    PunctualSleeps &operator=(const PunctualSleeps &) = delete;

private:
    int previous = 0;
};

} // namespace

Upgrade_logic::Upgrade_logic(QSerialPort *serial, QString port_name)
    : QObject(nullptr)
    , serial(serial)
    , port_name(std::move(port_name))
{
}

Upgrade_logic::~Upgrade_logic() = default;

Upgrade_logic::Outcome Upgrade_logic::outcome() const
{
    return runOutcome;
}

void Upgrade_logic::setWaitLimits(const WaitLimits &limits)
{
    waitLimits = limits;
}

// A wait is cut into short slices so that a disconnect, which asks the
// worker's thread to stop, ends even the longest wait of a run at once. A
// port whose device has gone is closed here: left open, it would report the
// loss on every turn of the worker's event loop for as long as it lives.
Upgrade_logic::Wait Upgrade_logic::waitForData(int limitMs)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (QThread::currentThread()->isInterruptionRequested()) {
            failedBy = Stopped;
            return Wait::Failed;
        }
        const int left = limitMs < 0 ? WaitSliceMs
                                     : std::min(WaitSliceMs, std::max(0, limitMs - int(clock.elapsed())));
        serial->clearError();
        if (serial->waitForReadyRead(left))
            return Wait::Data;
        const QSerialPort::SerialPortError error = serial->error();
        if (error != QSerialPort::TimeoutError) {
            if (PortWatch::vanished(serial, error))
                serial->close();
            failedBy = PortLost;
            return Wait::Failed;
        }
        if (limitMs >= 0 && clock.elapsed() >= limitMs)
            return Wait::TimedOut;
    }
}

// The next reply line, left empty when the port failed. False when the boot
// loader stayed silent past the limit.
//
// A boot loader's reply may reach us in pieces: "0x01" alone, its "\r\n" a
// moment later. Read as the start of the next reply, that line end would fail
// a sound run, so line-end bytes that open a reply after a cut reply are taken
// as the end of the last one, and the wait for the real reply goes on.
bool Upgrade_logic::awaitReplyLine(int limitMs, QByteArray &reply)
{
    reply.clear();
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const int left = limitMs < 0 ? -1 : std::max(0, limitMs - int(clock.elapsed()));
        const Wait wait = waitForData(left);
        if (wait == Wait::TimedOut)
            return false;
        if (wait == Wait::Failed)
            return true;
        skipOwedLineEnd();
        if (serial->bytesAvailable() > 0)
            break;
    }
    reply = serial->readLine();
    lineEndOwed = !reply.endsWith('\n');
    return true;
}

void Upgrade_logic::skipOwedLineEnd()
{
    char next = 0;
    while (lineEndOwed && serial->peek(&next, 1) == 1 && (next == '\r' || next == '\n')) {
        serial->skip(1);
        if (next == '\n')
            lineEndOwed = false;
    }
}

uchar Upgrade_logic::mass_erase()
{
    QByteArray buffer(1, MassErase);
    serial->setPortName(port_name);
    serial->setBaudRate(QSerialPort::Baud115200, QSerialPort::AllDirections);
    serial->clearError();
    // A wait on a port that never opened can block for ever, so the open's
    // own result ends the erase at once, as a hub that never answered would:
    // the request's message stays the last one.
    runOutcome = Done;
    if (!serial->open(QIODevice::ReadWrite)) {
        emit progress_message(UpgradeTexts::text(UpgradeTexts::Erasing));
        runOutcome = PortLost;
        return NoReply;
    }
    // Records the firmware sent before it left for the boot loader may still
    // wait in the port: read as the erase's answer, they would refuse it.
    serial->clear(QSerialPort::Input);
    serial->readAll();
    serial->write(buffer);
    serial->flush();
    emit progress_message(UpgradeTexts::text(UpgradeTexts::Erasing));

    buffer.clear();
    switch (waitForData(waitLimits.eraseMs)) {
    case Wait::Data:
        buffer = serial->readAll();
        lineEndOwed = !buffer.endsWith('\n');
        if (buffer.isEmpty() || static_cast<uchar>(buffer.at(0)) != Acknowledge)
            runOutcome = Refused;
        break;
    case Wait::TimedOut:
        emit progress_message(UpgradeTexts::text(UpgradeTexts::NoEraseReply));
        runOutcome = Silent;
        break;
    case Wait::Failed:
        runOutcome = failedBy;
        break;
    }
    return buffer.isEmpty() ? NoReply : static_cast<uchar>(buffer.at(0));
}

uchar Upgrade_logic::program_hub(QString File_path)
{
    // An empty file is announced as the empty image it is; only bytes that
    // could not be read, or not be announced, stop the run here.
    const FirmwareImage image = FirmwareImage::read(File_path);
    if (!image.isUsable() && image.problem() != FirmwareImage::Problem::Empty) {
        // Announcing an empty or cut image would leave the erased hub with nothing.
        emit progress_message(UpgradeTexts::text(UpgradeTexts::FileUnreadable));
        runOutcome = FileUnusable;
        return 0;
    }
    return program_image(image.bytes());
}

uchar Upgrade_logic::program_image(const QByteArray &image)
{
    runOutcome = Done;
    const quint32 total = static_cast<quint32>(image.size());
    QByteArray header(1, SizeHeader);
    for (int shift = 24; shift >= 0; shift -= 8)
        header.append(static_cast<char>((total >> shift) & 0xFF));
    serial->write(header);
    serial->flush();

    QByteArray reply;
    if (!awaitReplyLine(waitLimits.replyMs, reply)) {
        emit progress_message(UpgradeTexts::text(UpgradeTexts::NoSizeReply));
        runOutcome = Silent;
        return HeaderRefused;
    }
    if (reply.isEmpty() || static_cast<uchar>(reply.at(0)) != Acknowledge) {
        emit progress_message(UpgradeTexts::text(UpgradeTexts::Fatal));
        runOutcome = reply.isEmpty() ? failedBy : Refused;
        return HeaderRefused;
    }
    emit progress_message(UpgradeTexts::text(UpgradeTexts::Handshake));

    // Blocks are cut from the front of the image; an offset does that without
    // moving what is left.
    const PunctualSleeps punctual;
    quint32 sent = 0;
    while (sent < total) {
        const QByteArray block = image.mid(static_cast<int>(sent), BlockSize);
        sent += static_cast<quint32>(block.size());
        emit progress_update(static_cast<int>(sent));
        serial->write(block);
        serial->flush();

        if (!awaitReplyLine(waitLimits.replyMs, reply)) {
            emit progress_message(UpgradeTexts::text(UpgradeTexts::NoBlockReply, QString::number(sent), QString::number(total)));
            runOutcome = Silent;
            return 0;
        }
        if (reply.isEmpty() || static_cast<uchar>(reply.at(0)) != Acknowledge) {
            emit progress_message(UpgradeTexts::text(UpgradeTexts::Fatal));
            runOutcome = reply.isEmpty() ? failedBy : Refused;
            return reply.isEmpty() ? 0 : static_cast<uchar>(reply.at(0));
        }
        QThread::msleep(PauseBetweenBlocksMs);
    }

    emit progress_message(UpgradeTexts::text(UpgradeTexts::Terminating));
    if (!awaitReplyLine(waitLimits.finalMs, reply)) {
        emit progress_message(UpgradeTexts::text(UpgradeTexts::NoFinalReply));
        runOutcome = Silent;
        return NoReply;
    }
    if (reply.isEmpty()) {
        runOutcome = failedBy;
        return NoReply;
    }
    const uchar result = static_cast<uchar>(reply.at(0));
    if (result == Finished)
        emit progress_message(UpgradeTexts::text(UpgradeTexts::Finished));
    else
        runOutcome = Refused;
    serial->close();
    serial->deleteLater();
    serial = nullptr;
    return result;
}
