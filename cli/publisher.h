// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef PUBLISHER_H
#define PUBLISHER_H

#include "hubreport.h"
#include "mqttclient.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <QTimer>

#include <memory>

class HubLink;
class HubReturn;
class Interrupts;
class ModeWatch;
class QEventLoop;
class Recorder;

struct PublishOptions
{
    MqttClient::Settings broker;
    QString prefix; // empty: pellix/<serial>
    int qos = 0;
    int maxRate = 0;         // 0: every record
    QString discoveryPrefix; // empty: no discovery
    bool reconnect = false;  // a hub that vanishes is waited for
};

// One hub's records, its info and its status to a broker, from the hub's
// identification to an interrupt, a fatal broker error or (without
// --reconnect) the hub's end. The records take the stream's one path: the
// recorder's JSON lines are the messages.
class Publisher
{
public:
    Publisher(const PublishOptions &options, std::unique_ptr<HubLink> link, QString prefix);
    ~Publisher();

    // pellix/<serial number>, or empty when the hub gave none.
    static QString defaultPrefix(const HubReport &report);
    // The exit code.
    int run(Interrupts &interrupts);

private:
    int startClient(QEventLoop &loop);
    void startTickers(QEventLoop &loop, Recorder &recorder);
    void attach(Recorder &recorder);
    void detach(Recorder &recorder);
    void watchLink(QEventLoop &loop, Recorder &recorder, HubReturn &hubReturn);
    int finish(Recorder &recorder, Interrupts &interrupts);
    QByteArray info() const;
    void publishState();
    void publishDiscovery();
    void takeLine(const QByteArray &line);
    void sendNewest();
    void checkInfo();

    const PublishOptions &options;
    std::unique_ptr<HubLink> link;
    const QString prefix;
    const QString recordsTopic = prefix + QStringLiteral("/records");
    const QString statusTopic = prefix + QStringLiteral("/status");
    bool hubPresent = true;
    HubReport report;
    std::unique_ptr<MqttClient> client;
    std::unique_ptr<ModeWatch> watch;
    QTimer ticker;
    QTimer infoTicker;
    QTimer rateTicker;
    QByteArray newest;
    QElapsedTimer rateClock;
    qint64 lastSlot = -1;
    // Records given to the client, to send or to drop.
    qint64 handedOver = 0;
    qint64 infoDropped = 0;
    qint64 saidDropped = 0;
    QElapsedTimer saidDropClock;
    qint64 droppedAtLoss = 0;
    bool lostSaid = false;
    // Set when the client says trying again cannot help.
    int fatalCode = 0;
};

#endif // PUBLISHER_H
