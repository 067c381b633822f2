// SPDX-License-Identifier: GPL-3.0-or-later
#include "mosquittochoiceclient.h"

#include "benchsupport.h"

#include <QFile>

#include <mosquitto.h>

void ChoiceClient::markConnected()
{
    connectedNs = nowNs();
    ++connectCount;
    isConnected = true;
}

void ChoiceClient::markLost()
{
    if (isConnected.exchange(false)) {
        lostNs = nowNs();
        ++lossCount;
    }
}

MosquittoChoiceClient::~MosquittoChoiceClient()
{
    stop();
}

bool MosquittoChoiceClient::start(const Settings &settings)
{
    mosquitto_lib_init();
    handle = mosquitto_new(nullptr, true, this);
    if (!handle)
        return false;
    mosquitto_int_option(handle, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(handle, &MosquittoChoiceClient::onConnect);
    mosquitto_disconnect_callback_set(handle, &MosquittoChoiceClient::onDisconnect);
    mosquitto_publish_callback_set(handle, &MosquittoChoiceClient::onPublish);
    mosquitto_reconnect_delay_set(handle, 1, 16, true);
    if (settings.tls) {
        const QByteArray ca = QFile::encodeName(settings.caFile), cert = QFile::encodeName(settings.certFile),
                         key = QFile::encodeName(settings.keyFile);
        if (mosquitto_tls_set(handle, ca.constData(), nullptr, cert.constData(), key.constData(), nullptr)
            != MOSQ_ERR_SUCCESS)
            return false;
    }
    return mosquitto_connect_async(handle, "127.0.0.1", settings.port, 30) == MOSQ_ERR_SUCCESS
           && mosquitto_loop_start(handle) == MOSQ_ERR_SUCCESS;
}

bool MosquittoChoiceClient::publish(const char *topic, const char *payload, int length, int qos)
{
    return mosquitto_publish(handle, nullptr, topic, length, payload, qos, false) == MOSQ_ERR_SUCCESS;
}

void MosquittoChoiceClient::stop()
{
    if (!handle)
        return;
    mosquitto_disconnect(handle);
    mosquitto_loop_stop(handle, false);
    mosquitto_destroy(handle);
    handle = nullptr;
}

void MosquittoChoiceClient::onConnect(mosquitto *, void *self, int rc)
{
    if (rc == 0)
        static_cast<MosquittoChoiceClient *>(self)->markConnected();
}

void MosquittoChoiceClient::onDisconnect(mosquitto *, void *self, int)
{
    static_cast<MosquittoChoiceClient *>(self)->markLost();
}

void MosquittoChoiceClient::onPublish(mosquitto *, void *self, int)
{
    static_cast<MosquittoChoiceClient *>(self)->markCompleted();
}
