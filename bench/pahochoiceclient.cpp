// SPDX-License-Identifier: GPL-3.0-or-later
#include "pahochoiceclient.h"

#include <QFile>

#include <MQTTAsync.h>

namespace {

// The library wants a message handler even from a client that subscribes to nothing.
int dropMessage(void *, char *topic, int, MQTTAsync_message *message)
{
    MQTTAsync_freeMessage(&message);
    MQTTAsync_free(topic);
    return 1;
}

} // namespace

PahoChoiceClient::~PahoChoiceClient()
{
    stop();
}

bool PahoChoiceClient::start(const Settings &settings)
{
    MQTTAsync_init_options init = MQTTAsync_init_options_initializer;
    init.do_openssl_init = 1;
    MQTTAsync_global_init(&init);
    const QByteArray uri = QStringLiteral("%1://127.0.0.1:%2")
                               .arg(settings.tls ? QStringLiteral("ssl") : QStringLiteral("tcp"))
                               .arg(settings.port)
                               .toUtf8();
    MQTTAsync_createOptions create = MQTTAsync_createOptions_initializer;
    create.sendWhileDisconnected = 1;
    create.maxBufferedMessages = BufferedMessages;
    MQTTAsync client = nullptr;
    if (MQTTAsync_createWithOptions(&client, uri.constData(), "pellix-choice", MQTTCLIENT_PERSISTENCE_NONE, nullptr,
                                    &create)
        != MQTTASYNC_SUCCESS)
        return false;
    handle = client;
    MQTTAsync_setCallbacks(client, this, &PahoChoiceClient::onLost, &dropMessage,
                           &PahoChoiceClient::onDelivered);
    MQTTAsync_setConnected(client, this, &PahoChoiceClient::onConnected);
    MQTTAsync_connectOptions options = MQTTAsync_connectOptions_initializer;
    options.keepAliveInterval = 30;
    options.cleansession = 1;
    options.automaticReconnect = 1;
    options.minRetryInterval = 1;
    options.maxRetryInterval = 16;
    MQTTAsync_SSLOptions ssl = MQTTAsync_SSLOptions_initializer;
    if (settings.tls) {
        ca = QFile::encodeName(settings.caFile);
        cert = QFile::encodeName(settings.certFile);
        key = QFile::encodeName(settings.keyFile);
        ssl.trustStore = ca.constData();
        ssl.keyStore = cert.constData();
        ssl.privateKey = key.constData();
        ssl.enableServerCertAuth = 1;
        ssl.verify = 1;   // the host name too, as libmosquitto does by default
        options.ssl = &ssl;
    }
    return MQTTAsync_connect(client, &options) == MQTTASYNC_SUCCESS;
}

bool PahoChoiceClient::publish(const char *topic, const char *payload, int length, int qos)
{
    MQTTAsync_responseOptions response = MQTTAsync_responseOptions_initializer;
    return MQTTAsync_send(handle, topic, length, payload, qos, 0, &response) == MQTTASYNC_SUCCESS;
}

void PahoChoiceClient::stop()
{
    if (!handle)
        return;
    MQTTAsync client = handle;
    MQTTAsync_disconnectOptions options = MQTTAsync_disconnectOptions_initializer;
    options.timeout = 1000;
    MQTTAsync_disconnect(client, &options);
    MQTTAsync_destroy(&client);
    handle = nullptr;
}

void PahoChoiceClient::onConnected(void *self, char *)
{
    static_cast<PahoChoiceClient *>(self)->markConnected();
}

void PahoChoiceClient::onLost(void *self, char *)
{
    static_cast<PahoChoiceClient *>(self)->markLost();
}

void PahoChoiceClient::onDelivered(void *self, int)
{
    static_cast<PahoChoiceClient *>(self)->markCompleted();
}
