// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef HUBLINK_H
#define HUBLINK_H

#include "hubprotocol.h"
#include "hubreport.h"
#include "threadcom.h"
#include "workerthread.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class QEventLoop;

// One connection to the hub, made exactly as the window makes it: a serial
// worker on a thread of its own runs the identification handshake, and the
// command-line tool waits for its outcome instead of reacting to it.
class HubLink : public QObject
{
    Q_OBJECT

public:
    enum class Outcome { Configured,
                         BootLoader,
                         Failed,
                         Interrupted };

    // device is the path the worker opens; name is the port as the user
    // knows it, for every message.
    HubLink(QString device, QString name, QObject *parent = nullptr);
    QString portName() const { return name; }
    QString device() const { return devicePath; }
    ~HubLink() override;

    // Opens the port and identifies the hub; returns when the handshake ended.
    Outcome open();
    // The hub's configuration and identity, once Configured; reported() says
    // which of them the hub sent, the rest being the worker's assumptions.
    qint8 mask() const { return reportedMask; }
    uchar operatingMode() const { return reportedOperatingMode; }
    uchar displayMode() const { return reportedDisplayMode; }
    ThreadCom::Reported reported() const { return reportedFields; }
    HubProtocol::Identity identity() const;
    HubReport report() const;

    // What went wrong, as one sentence with what to do, and the exit code.
    QString failure() const { return failureText; }
    int failureCode() const { return failureExit; }

    // Runs f on the worker's thread and returns once it has.
    void onWorker(const std::function<void(ThreadCom *)> &f);
    ThreadCom *worker() const { return link.worker(); }

    // Asks the worker to stop what it waits for (the handshake, a boot-loader wait).
    void interrupt();
    // Ends the connection and waits until the worker and its thread are gone.
    void close();

signals:
    // The port failed after the handshake (the hub vanished).
    void failed();

private:
    void takeError(const QString &text);

    QString devicePath;
    QString name;
    WorkerThread link;
    QEventLoop *handshake = nullptr; // while open() waits
    qint8 reportedMask = 0;
    uchar reportedOperatingMode = HubProtocol::Precise;
    uchar reportedDisplayMode = HubProtocol::Text;
    ThreadCom::Reported reportedFields;
    QString failureText;
    int failureExit = 0;
    bool opened = false;
};

#endif // HUBLINK_H
