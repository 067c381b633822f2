// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef MQTTCLIENT_H
#define MQTTCLIENT_H

#include <QByteArray>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <deque>

struct mosquitto;
class QSocketNotifier;

// The one place that knows libmosquitto. It runs on the thread that made it,
// driven by the event loop (the library's socket under two notifiers), so a
// connect that hangs or a broker that goes away never stalls the hub's link.
// It connects in the background and again after every loss, after a pause
// that grows; messages that cannot go out yet wait in a queue of bounded
// length, and what falls off that queue is counted, never silently lost.
class MqttClient : public QObject
{
    Q_OBJECT

public:
    struct Settings
    {
        QString host;
        int port = 1883;
        bool tls = false;
        QString caFile, certFile, keyFile; // empty caFile: the system's CAs
        QString username, password;        // empty username: anonymous
        QString willTopic;
        QByteArray willPayload;
        int queueLimit = 10000; // messages waiting while the broker is away
    };

    // The pauses between two connection attempts: from the first to the last, doubling.
    static constexpr int FirstRetryMs = 1000;
    static constexpr int LastRetryMs = 16000;
    // Messages handed to the library and not yet written (QoS 0) or acknowledged
    // (QoS 1); past that they wait in the queue, which has a bound, while the
    // library's own has none.
    static constexpr int InFlightLimit = 1000;

    explicit MqttClient(Settings settings, QObject *parent = nullptr);
    ~MqttClient() override;

    // Sets the library up and starts connecting. False with error() when it
    // cannot work at all, before a word goes to the broker.
    bool start();
    QString error() const { return errorText; }
    QString address() const;

    bool isConnected() const { return connectedNow; }
    // Queued behind what waits, dropping the oldest past the bound.
    void enqueue(const QString &topic, const QByteArray &payload, int qos);
    // A retained state message: sent now when connected, else forgotten, as
    // the caller publishes its state again on connected().
    bool publishRetained(const QString &topic, const QByteArray &payload);
    qint64 dropped() const { return droppedCount; }
    int waiting() const { return int(queue.size()) + int(inFlight.size()); }

    // Sends what waits, then the last retained words, then disconnects;
    // returns after at most ms. Nothing is sent after it.
    void finish(int ms, const QString &topic, const QByteArray &payload);

signals:
    void connected();
    // The connection ended or could not be made; a new attempt follows in retryMs.
    void connectionLost(const QString &reason, int retryMs);
    // Trying again cannot help (credentials, certificates, a name that does not
    // resolve): the sentence to say and the exit code to end with.
    void fatal(const QString &sentence, int exitCode);

private:
    struct Message
    {
        QString topic;
        QByteArray payload;
        int qos;
    };

    static void onConnect(mosquitto *, void *self, int rc);
    static void onDisconnect(mosquitto *, void *self, int rc);
    static void onPublish(mosquitto *, void *self, int mid);
    static void onLog(mosquitto *, void *self, int level, const char *text);

    void attempt();
    void handle(int rc);
    void lose(const QString &reason);
    void sendWaiting();
    void watchSocket();
    void dropNotifiers();
    QString reasonFor(int rc, int savedErrno) const;
    // Why TLS failed in this attempt, from the library's log of it: the exit
    // code and the sentence, or 0 when the log names no TLS cause.
    int tlsFailure(int rc, QString &sentence) const;

    Settings settings;
    mosquitto *handleMosq = nullptr;
    QSocketNotifier *readable = nullptr;
    QSocketNotifier *writable = nullptr;
    int socketFd = -1;
    QTimer misc;
    QTimer retry;
    int retryMs = FirstRetryMs;
    std::deque<Message> queue;
    QSet<int> inFlight;
    QSet<int> inFlightQos0;
    // Acknowledged before mosquitto_publish returned their number.
    QSet<int> publishedAtOnce;
    qint64 droppedCount = 0;
    QString errorText;
    // What the library said of trouble during the current attempt, a line each.
    QString attemptLog;
    bool connectedNow = false;
    bool everConnected = false;
    bool finishing = false;
    bool addressSet = false;
    bool sending = false;
};

#endif // MQTTCLIENT_H
