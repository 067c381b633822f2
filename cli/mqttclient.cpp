// SPDX-License-Identifier: GPL-3.0-or-later
#include "mqttclient.h"

#include "exitcode.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSocketNotifier>

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

const int KeepAliveSeconds = 30;
// The library's housekeeping (pings, retries) wants a call about this often.
const int MiscIntervalMs = 1000;
// Where Debian keeps the system's CAs, for mqtts:// without --cafile.
const char *const SystemCaPath = "/etc/ssl/certs";

QByteArray local(const QString &text)
{
    return QFile::encodeName(text);
}

const char *orNull(const QByteArray &bytes)
{
    return bytes.isEmpty() ? nullptr : bytes.constData();
}

// Without it OpenSSL asks for a key's passphrase on the terminal, and the
// event loop, the hub's link with it, would wait for the answer.
int noPassphrase(char *, int, int, void *)
{
    return 0;
}

// The TLS alerts a broker sends about the client certificate it was given.
const char *const CertificateAlerts = "alert (unknown ca|bad certificate|certificate unknown|certificate expired|"
                                      "certificate revoked|unsupported certificate|access denied|decrypt error)";

} // namespace

MqttClient::MqttClient(Settings settings, QObject *parent)
    : QObject(parent)
    , settings(std::move(settings))
{
    misc.setInterval(MiscIntervalMs);
    connect(&misc, &QTimer::timeout, this, [this] {
        if (connectedNow)
            handle(mosquitto_loop_misc(handleMosq));
    });
    retry.setSingleShot(true);
    connect(&retry, &QTimer::timeout, this, &MqttClient::attempt);
}

MqttClient::~MqttClient()
{
    dropNotifiers();
    if (handleMosq)
        mosquitto_destroy(handleMosq);
}

QString MqttClient::address() const
{
    return QStringLiteral("%1:%2").arg(settings.host).arg(settings.port);
}

bool MqttClient::start()
{
    // The library only says "Invalid function arguments" for a file it cannot read.
    for (const QString &path : {settings.caFile, settings.certFile, settings.keyFile}) {
        QFile file(path);
        if (!path.isEmpty() && !file.open(QIODevice::ReadOnly)) {
            errorText = QStringLiteral("Cannot read %1 (%2).").arg(path, file.errorString());
            return false;
        }
    }
    static const bool initialised = mosquitto_lib_init() == MOSQ_ERR_SUCCESS;
    handleMosq = initialised ? mosquitto_new(nullptr, true, this) : nullptr;
    if (!handleMosq) {
        errorText = QStringLiteral("Cannot start the MQTT client (%1).").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    mosquitto_int_option(handleMosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(handleMosq, &MqttClient::onConnect);
    mosquitto_disconnect_callback_set(handleMosq, &MqttClient::onDisconnect);
    mosquitto_publish_callback_set(handleMosq, &MqttClient::onPublish);
    // Only while connecting: it is where the TLS reasons come from, and it
    // formats every line the library logs, a cost per message once connected.
    mosquitto_log_callback_set(handleMosq, &MqttClient::onLog);
    const QByteArray will = settings.willTopic.toUtf8();
    int rc = will.isEmpty() ? MOSQ_ERR_SUCCESS
                            : mosquitto_will_set(handleMosq, will.constData(), int(settings.willPayload.size()),
                                                 settings.willPayload.constData(), 1, true);
    if (rc == MOSQ_ERR_SUCCESS && !settings.username.isEmpty())
        rc = mosquitto_username_pw_set(handleMosq, settings.username.toUtf8().constData(),
                                       settings.password.isEmpty() ? nullptr : settings.password.toUtf8().constData());
    if (rc == MOSQ_ERR_SUCCESS && settings.tls) {
        const QByteArray ca = local(settings.caFile), cert = local(settings.certFile), key = local(settings.keyFile);
        rc = mosquitto_tls_set(handleMosq, orNull(ca), ca.isEmpty() ? SystemCaPath : nullptr, orNull(cert),
                               orNull(key), &noPassphrase);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        errorText = QStringLiteral("Cannot set the MQTT client up (%1).").arg(QString::fromUtf8(mosquitto_strerror(rc)));
        return false;
    }
    attempt();
    return true;
}

void MqttClient::attempt()
{
    if (finishing)
        return;
    attemptLog.clear();
    mosquitto_log_callback_set(handleMosq, &MqttClient::onLog);
    // Whether the first call got as far as the socket or not, it kept the address.
    const int rc = addressSet ? mosquitto_reconnect_async(handleMosq)
                              : mosquitto_connect_async(handleMosq, settings.host.toUtf8().constData(), settings.port,
                                                        KeepAliveSeconds);
    const int savedErrno = errno;
    addressSet = rc != MOSQ_ERR_INVAL;
    if (rc == MOSQ_ERR_EAI && !everConnected) {
        emit fatal(QStringLiteral("Cannot find the broker %1: the name does not resolve. Check the broker URL.")
                       .arg(settings.host),
                   ExitCode::NoHost);
        return;
    }
    // The library reads the certificates and the key here, before the broker
    // hears a word: a file that does not fit ends it at once.
    QString sentence;
    const int fatalCode = rc != MOSQ_ERR_SUCCESS && !everConnected && settings.tls ? tlsFailure(rc, sentence) : 0;
    if (fatalCode) {
        emit fatal(sentence, fatalCode);
        return;
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        lose(reasonFor(rc, savedErrno));
        return;
    }
    watchSocket();
}

void MqttClient::handle(int rc)
{
    const int savedErrno = errno;
    if (rc == MOSQ_ERR_SUCCESS) {
        watchSocket();
        return;
    }
    if (finishing) {
        connectedNow = false;
        dropNotifiers();
        return;
    }
    if (rc == MOSQ_ERR_CONN_REFUSED || rc == MOSQ_ERR_AUTH) {
        // The broker's answer to the CONNECT has been said by onConnect.
        if (!errorText.isEmpty()) {
            dropNotifiers();
            emit fatal(errorText, ExitCode::NoPermission);
            return;
        }
    }
    // A certificate that does not fit will not fit the next time either. A
    // broker that refuses the client's certificate just closes the connection
    // after its alert, so the alert in the log is what tells it from a loss.
    QString sentence;
    const int fatalCode = !everConnected && settings.tls ? tlsFailure(rc, sentence) : 0;
    if (fatalCode) {
        dropNotifiers();
        emit fatal(sentence, fatalCode);
        return;
    }
    lose(reasonFor(rc, savedErrno));
}

QString MqttClient::reasonFor(int rc, int savedErrno) const
{
    switch (rc) {
    case MOSQ_ERR_ERRNO:
        return QString::fromLocal8Bit(strerror(savedErrno));
    case MOSQ_ERR_KEEPALIVE:
        // The library's own text for it is "Unknown error".
        return QStringLiteral("the broker stopped answering");
    case MOSQ_ERR_CONN_LOST:
        return QStringLiteral("the connection was lost");
    case MOSQ_ERR_EAI:
        return QStringLiteral("the name does not resolve");
    default:
        return QString::fromUtf8(mosquitto_strerror(rc));
    }
}

int MqttClient::tlsFailure(int rc, QString &sentence) const
{
    // Our own files first: the library names the one it could not use.
    if (attemptLog.contains(QLatin1String("key values mismatch"))) {
        sentence = QStringLiteral("The key in %1 does not belong to the certificate in %2: give --key the key the "
                                  "certificate was made for.")
                       .arg(settings.keyFile, settings.certFile);
        return ExitCode::NoInput;
    }
    if (attemptLog.contains(QLatin1String("Unable to load client key"))) {
        sentence = QStringLiteral("Cannot use the key in %1: it is no PEM private key, or one with a passphrase "
                                  "(give --key a key without one).")
                       .arg(settings.keyFile);
        return ExitCode::NoInput;
    }
    if (attemptLog.contains(QLatin1String("Unable to load client certificate"))) {
        sentence = QStringLiteral("Cannot use the certificate in %1: it is no PEM certificate.").arg(settings.certFile);
        return ExitCode::NoInput;
    }
    if (attemptLog.contains(QLatin1String("Unable to load CA certificates"))) {
        sentence = settings.caFile.isEmpty()
                       ? QStringLiteral("Cannot use the system's CAs in %1: give --cafile.").arg(QLatin1String(SystemCaPath))
                       : QStringLiteral("Cannot use the CA in %1: it holds no PEM certificate.").arg(settings.caFile);
        return ExitCode::NoInput;
    }
    if (attemptLog.contains(QLatin1String("certificate verify failed"))) {
        sentence = settings.caFile.isEmpty()
                       ? QStringLiteral("The broker's certificate at %1 is not signed by a CA this system trusts: give "
                                        "its CA with --cafile.")
                             .arg(address())
                       : QStringLiteral("The broker's certificate at %1 is not signed by the CA in --cafile.").arg(address());
        return ExitCode::NoPermission;
    }
    if (attemptLog.contains(QLatin1String("alert certificate required"))) {
        sentence = QStringLiteral("The broker at %1 wants a client certificate: give --cert and --key, signed by a CA "
                                  "the broker trusts.")
                       .arg(address());
        return ExitCode::NoPermission;
    }
    const QRegularExpressionMatch alert = QRegularExpression(QLatin1String(CertificateAlerts)).match(attemptLog);
    if (alert.hasMatch() && !settings.certFile.isEmpty()) {
        sentence = QStringLiteral("The broker at %1 refused the client certificate in %2 (%3): give --cert and --key "
                                  "signed by a CA the broker trusts.")
                       .arg(address(), settings.certFile, alert.captured(1));
        return ExitCode::NoPermission;
    }
    if (rc == MOSQ_ERR_TLS || attemptLog.contains(QLatin1String(" alert "))) {
        const QString last = attemptLog.trimmed().section(QLatin1Char('\n'), -1).section(QLatin1String("::"), -1);
        sentence = QStringLiteral("TLS with the broker at %1 failed (%2).").arg(address(), last.simplified());
        return ExitCode::NoPermission;
    }
    return 0;
}

void MqttClient::lose(const QString &reason)
{
    connectedNow = false;
    misc.stop();
    dropNotifiers();
    // What the dying connection had not written is gone with it; QoS 1
    // messages stay with the library, which sends them again.
    droppedCount += inFlightQos0.size();
    for (const int mid : qAsConst(inFlightQos0))
        inFlight.remove(mid);
    inFlightQos0.clear();
    if (finishing || retry.isActive())
        return;
    emit connectionLost(reason, retryMs);
    retry.start(retryMs);
    retryMs = std::min(retryMs * 2, int(LastRetryMs));
}

void MqttClient::enqueue(const QString &topic, const QByteArray &payload, int qos)
{
    queue.push_back({topic, payload, qos});
    // Sent first, trimmed after: the bound is for what waits, and a bound of
    // 0 must not let go what a connected broker would take at once.
    sendWaiting();
    while (int(queue.size()) > settings.queueLimit) {
        queue.pop_front();
        ++droppedCount;
    }
}

bool MqttClient::publishRetained(const QString &topic, const QByteArray &payload)
{
    if (!connectedNow)
        return false;
    int mid = 0;
    const int rc = mosquitto_publish(handleMosq, &mid, topic.toUtf8().constData(), int(payload.size()),
                                     payload.constData(), 1, true);
    if (rc == MOSQ_ERR_SUCCESS || rc == MOSQ_ERR_NO_CONN)
        inFlight.insert(mid);
    return rc == MOSQ_ERR_SUCCESS;
}

void MqttClient::sendWaiting()
{
    // A QoS 0 message written at once calls onPublish from inside
    // mosquitto_publish, which comes back here: the outer loop goes on instead.
    if (sending)
        return;
    sending = true;
    while (connectedNow && !queue.empty() && inFlight.size() < InFlightLimit) {
        const Message &message = queue.front();
        int mid = 0;
        const int rc = mosquitto_publish(handleMosq, &mid, message.topic.toUtf8().constData(),
                                         int(message.payload.size()), message.payload.constData(), message.qos, false);
        // QoS 0 without a connection was refused and waits on; QoS 1 the
        // library has queued whatever it returned.
        if (rc == MOSQ_ERR_NO_CONN && message.qos == 0)
            break;
        if (rc == MOSQ_ERR_SUCCESS || rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_ERRNO || rc == MOSQ_ERR_CONN_LOST) {
            inFlight.insert(mid);
            if (message.qos == 0)
                inFlightQos0.insert(mid);
        } else {
            ++droppedCount;
        }
        queue.pop_front();
        // Written already: onPublish found nothing to remove.
        if (publishedAtOnce.remove(mid)) {
            inFlight.remove(mid);
            inFlightQos0.remove(mid);
        }
    }
    sending = false;
    if (connectedNow)
        watchSocket();
}

void MqttClient::finish(int ms, const QString &topic, const QByteArray &payload)
{
    QDeadlineTimer deadline(ms);
    // Drains the queue on the event loop's terms: notifiers and callbacks run.
    const auto drain = [&] {
        while (connectedNow && waiting() > 0 && !deadline.hasExpired()) {
            sendWaiting();
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        }
    };
    drain();
    if (publishRetained(topic, payload))
        drain();
    finishing = true;
    retry.stop();
    if (connectedNow) {
        mosquitto_disconnect(handleMosq);
        mosquitto_loop_write(handleMosq, 1);
    }
    connectedNow = false;
    dropNotifiers();
}

void MqttClient::watchSocket()
{
    const int fd = mosquitto_socket(handleMosq);
    if (fd != socketFd) {
        dropNotifiers();
        if (fd >= 0) {
            socketFd = fd;
            readable = new QSocketNotifier(fd, QSocketNotifier::Read, this);
            connect(readable, &QSocketNotifier::activated, this, [this] { handle(mosquitto_loop_read(handleMosq, 1)); });
            writable = new QSocketNotifier(fd, QSocketNotifier::Write, this);
            connect(writable, &QSocketNotifier::activated, this, [this] { handle(mosquitto_loop_write(handleMosq, 1)); });
        }
    }
    if (writable)
        writable->setEnabled(mosquitto_want_write(handleMosq));
}

void MqttClient::dropNotifiers()
{
    delete readable;
    delete writable;
    readable = writable = nullptr;
    socketFd = -1;
}

void MqttClient::onConnect(mosquitto *, void *self, int rc)
{
    auto *client = static_cast<MqttClient *>(self);
    if (rc != 0) {
        // 4 and 5 are the user name and password; anything else is the broker's own trouble.
        if (rc == 4 || rc == 5)
            client->errorText = QStringLiteral("The broker at %1 rejected the user name or password (%2). Check "
                                               "PELLIX_MQTT_USERNAME and PELLIX_MQTT_PASSWORD or --password-file.")
                                    .arg(client->address(), QString::fromUtf8(mosquitto_connack_string(rc)));
        return;
    }
    mosquitto_log_callback_set(client->handleMosq, nullptr);
    client->connectedNow = true;
    client->everConnected = true;
    client->retryMs = FirstRetryMs;
    client->misc.start();
    emit client->connected();
    // The library sends again what the last connection left unconfirmed only
    // once this callback is over: the queue after it, or newer records go first.
    QTimer::singleShot(0, client, [client] { client->sendWaiting(); });
}

void MqttClient::onDisconnect(mosquitto *, void *self, int)
{
    static_cast<MqttClient *>(self)->connectedNow = false;
}

void MqttClient::onPublish(mosquitto *, void *self, int mid)
{
    auto *client = static_cast<MqttClient *>(self);
    if (!client->inFlight.remove(mid))
        client->publishedAtOnce.insert(mid);
    client->inFlightQos0.remove(mid);
    client->sendWaiting();
}

void MqttClient::onLog(mosquitto *, void *self, int level, const char *text)
{
    if (level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING))
        static_cast<MqttClient *>(self)->attemptLog += QString::fromUtf8(text) + QLatin1Char('\n');
}
