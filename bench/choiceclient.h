// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef CHOICECLIENT_H
#define CHOICECLIENT_H

#include <QString>

#include <atomic>

// What the MQTT library bench (mqtt-choice.cpp) asks of each library: each
// used the way its documentation shows for a program that must not block,
// with the library's own network thread, its own reconnection (1 s, doubling
// to 16 s, as the tool's), and TLS from a CA file and a client certificate.
class ChoiceClient
{
public:
    struct Settings
    {
        int port = 0;
        bool tls = false;
        QString caFile, certFile, keyFile;
    };

    virtual ~ChoiceClient() = default;
    // Starts connecting; connected() tells when it is.
    virtual bool start(const Settings &settings) = 0;
    // True when the library took the message (sent, or kept to send).
    virtual bool publish(const char *topic, const char *payload, int length, int qos) = 0;
    virtual void stop() = 0;

    bool connected() const { return isConnected.load(); }
    long long connects() const { return connectCount.load(); }
    long long losses() const { return lossCount.load(); }
    // QoS 1: acknowledged by the broker; QoS 0: written, where the library says so.
    long long completed() const { return completeCount.load(); }
    // Steady clock, ns: the last connection made and the last one lost.
    qint64 connectedAtNs() const { return connectedNs.load(); }
    qint64 lostAtNs() const { return lostNs.load(); }

protected:
    void markConnected();
    void markLost();
    void markCompleted() { ++completeCount; }

private:
    std::atomic<bool> isConnected {false};
    std::atomic<long long> connectCount {0}, lossCount {0}, completeCount {0};
    std::atomic<qint64> connectedNs {0}, lostNs {0};
};

#endif // CHOICECLIENT_H
