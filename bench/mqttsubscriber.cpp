// SPDX-License-Identifier: GPL-3.0-or-later
#include "mqttsubscriber.h"

#include "benchsupport.h"

#include <mosquitto.h>

#include <chrono>
#include <thread>

MqttSubscriber::MqttSubscriber(Key key) : key(std::move(key))
{
    receipts.reserve(1 << 19);
}

MqttSubscriber::~MqttSubscriber()
{
    stop();
}

bool MqttSubscriber::start(int port, const QString &topicText, int qosLevel, int timeoutMs)
{
    static const bool initialised = mosquitto_lib_init() == MOSQ_ERR_SUCCESS;
    topic = topicText.toUtf8();
    qos = qosLevel;
    handle = initialised ? mosquitto_new(nullptr, true, this) : nullptr;
    if (!handle)
        return false;
    mosquitto_connect_callback_set(handle, &MqttSubscriber::onConnect);
    mosquitto_subscribe_callback_set(handle, &MqttSubscriber::onSubscribe);
    mosquitto_message_callback_set(handle, &MqttSubscriber::onMessage);
    if (mosquitto_connect(handle, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS
        || mosquitto_loop_start(handle) != MOSQ_ERR_SUCCESS)
        return false;
    for (int waited = 0; waited < timeoutMs; waited += 5) {
        {
            const std::lock_guard<std::mutex> guard(lock);
            if (subscribed)
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

void MqttSubscriber::stop()
{
    if (!handle)
        return;
    mosquitto_disconnect(handle);
    mosquitto_loop_stop(handle, true);
    mosquitto_destroy(handle);
    handle = nullptr;
}

std::vector<MqttSubscriber::Receipt> MqttSubscriber::take()
{
    const std::lock_guard<std::mutex> guard(lock);
    std::vector<Receipt> taken;
    taken.swap(receipts);
    return taken;
}

long long MqttSubscriber::count() const
{
    const std::lock_guard<std::mutex> guard(lock);
    return received;
}

void MqttSubscriber::onConnect(mosquitto *handle, void *self, int rc)
{
    auto *subscriber = static_cast<MqttSubscriber *>(self);
    if (rc == 0)
        mosquitto_subscribe(handle, nullptr, subscriber->topic.constData(), subscriber->qos);
}

void MqttSubscriber::onSubscribe(mosquitto *, void *self, int, int, const int *)
{
    auto *subscriber = static_cast<MqttSubscriber *>(self);
    const std::lock_guard<std::mutex> guard(subscriber->lock);
    subscriber->subscribed = true;
}

void MqttSubscriber::onMessage(mosquitto *, void *self, const mosquitto_message *message)
{
    const qint64 now = nowNs();
    auto *subscriber = static_cast<MqttSubscriber *>(self);
    const int key = subscriber->key(static_cast<const char *>(message->payload), message->payloadlen);
    const std::lock_guard<std::mutex> guard(subscriber->lock);
    subscriber->receipts.push_back({now, key});
    ++subscriber->received;
}
