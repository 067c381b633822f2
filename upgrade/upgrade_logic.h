// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef UPGRADE_LOGIC_H
#define UPGRADE_LOGIC_H

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>

// Programs a firmware image through the hub's boot loader on the worker's port:
// erase, size header, 8-byte blocks each acknowledged, then the closing reply.
// Runs on the worker's thread and blocks it; progress leaves by queued signals.
class Upgrade_logic : public QObject
{
    Q_OBJECT

public:
    // Result codes of program_hub() and mass_erase().
    static const uchar Acknowledge = 0x01;
    static const uchar Finished = 0x06;
    static const uchar HeaderRefused = 3;
    static const uchar NoReply = 0xCC;

    // How the last step ended, for callers that must tell a hub that refused
    // or fell silent from a port that went away.
    enum Outcome { Done,
                   Refused,
                   Silent,
                   PortLost,
                   FileUnusable,
                   Stopped };
    Q_ENUM(Outcome)

    Upgrade_logic(QSerialPort *serial, QString port_name);
    ~Upgrade_logic() override;

    uchar mass_erase();
    // Reads the file whole, then programs it. A caller that erased first
    // should read the image before the erase and use program_image().
    uchar program_hub(QString File_path);
    // Programs exactly these bytes: the size header, the blocks, the end.
    uchar program_image(const QByteArray &image);
    Outcome outcome() const;

    // Limits of the waits for the boot loader, in ms. A real boot loader erases
    // in seconds to tens of seconds and acknowledges a block in milliseconds;
    // the defaults leave it ample room and still never wait forever.
    struct WaitLimits
    {
        int eraseMs = 60000;
        // For the size header and for each block.
        int replyMs = 5000;
        // For the reply that ends the session.
        int finalMs = 30000;
    };
    void setWaitLimits(const WaitLimits &limits);

    QSerialPort *serial;
    QString port_name;

signals:
    void progress_update(int size);
    void progress_message(QString message);

private:
    enum class Wait { Data,
                      TimedOut,
                      Failed };
    Wait waitForData(int limitMs);
    bool awaitReplyLine(int limitMs, QByteArray &reply);
    void skipOwedLineEnd();

    WaitLimits waitLimits;
    // The last reply was read before its line end had come.
    bool lineEndOwed = false;
    Outcome runOutcome = Done;
    // Why the last wait failed.
    Outcome failedBy = PortLost;
};

#endif // UPGRADE_LOGIC_H
