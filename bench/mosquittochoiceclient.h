// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef MOSQUITTOCHOICECLIENT_H
#define MOSQUITTOCHOICECLIENT_H

#include "choiceclient.h"

struct mosquitto;

// libmosquitto with mosquitto_loop_start(): its thread reads, writes and
// reconnects.
class MosquittoChoiceClient : public ChoiceClient
{
public:
    ~MosquittoChoiceClient() override;
    bool start(const Settings &settings) override;
    bool publish(const char *topic, const char *payload, int length, int qos) override;
    void stop() override;

private:
    static void onConnect(mosquitto *, void *self, int rc);
    static void onDisconnect(mosquitto *, void *self, int rc);
    static void onPublish(mosquitto *, void *self, int mid);

    mosquitto *handle = nullptr;
};

#endif // MOSQUITTOCHOICECLIENT_H
