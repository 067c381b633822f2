// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef PAHOCHOICECLIENT_H
#define PAHOCHOICECLIENT_H

#include "choiceclient.h"

#include <QByteArray>

// Eclipse Paho C's asynchronous client (MQTTAsync, the TLS build): its own
// threads send, receive and reconnect (automaticReconnect), and it keeps
// what is published while it is away (sendWhileDisconnected, up to
// BufferedMessages; the library's default is 100).
class PahoChoiceClient : public ChoiceClient
{
public:
    static constexpr int BufferedMessages = 100000;

    ~PahoChoiceClient() override;
    bool start(const Settings &settings) override;
    bool publish(const char *topic, const char *payload, int length, int qos) override;
    void stop() override;

private:
    static void onConnected(void *self, char *cause);
    static void onLost(void *self, char *cause);
    static void onDelivered(void *self, int token);

    void *handle = nullptr;
    QByteArray ca, cert, key;
};

#endif // PAHOCHOICECLIENT_H
