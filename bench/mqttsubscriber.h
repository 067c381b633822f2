// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef MQTTSUBSCRIBER_H
#define MQTTSUBSCRIBER_H

#include <QByteArray>
#include <QString>

#include <functional>
#include <mutex>
#include <vector>

struct mosquitto;

// A subscriber for the benches: libmosquitto on a thread of its own, so the
// moment of receipt is taken as the message arrives, whatever the bench's
// thread is doing. Each message is reduced at once to a number (the caller's
// key: a record's index, a message's sequence number) and kept with the
// steady clock's time of its receipt.
class MqttSubscriber
{
public:
    struct Receipt
    {
        qint64 steadyNs;
        int key;   // -1: the key function could not read it
    };
    using Key = std::function<int(const char *payload, int length)>;

    explicit MqttSubscriber(Key key);
    ~MqttSubscriber();
    MqttSubscriber(const MqttSubscriber &) = delete;
    MqttSubscriber &operator=(const MqttSubscriber &) = delete;

    // Connects and subscribes; returns once the broker has acknowledged the
    // subscription, or false after timeoutMs.
    bool start(int port, const QString &topic, int qos, int timeoutMs = 5000);
    void stop();
    std::vector<Receipt> take();
    long long count() const;

private:
    static void onConnect(mosquitto *, void *self, int rc);
    static void onSubscribe(mosquitto *, void *self, int mid, int count, const int *granted);
    static void onMessage(mosquitto *, void *self, const struct mosquitto_message *message);

    Key key;
    mosquitto *handle = nullptr;
    QByteArray topic;
    int qos = 0;
    mutable std::mutex lock;
    std::vector<Receipt> receipts;
    long long received = 0;
    bool subscribed = false;
};

#endif // MQTTSUBSCRIBER_H
