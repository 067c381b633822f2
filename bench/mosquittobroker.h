// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef MOSQUITTOBROKER_H
#define MOSQUITTOBROKER_H

#include <QString>
#include <QTemporaryDir>

#include <sys/types.h>

// A real mosquitto broker for a bench, on 127.0.0.1 at a port that was free,
// with a configuration of its own in a temporary folder: no persistence, no
// limit on the messages it queues for a subscriber (a bench that counts
// records must not have the broker drop them), and with TLS when asked (a CA,
// a server certificate for 127.0.0.1 and a client certificate made with
// openssl; the broker then requires the client's).
class MosquittoBroker
{
public:
    explicit MosquittoBroker(bool tls = false);
    ~MosquittoBroker();
    MosquittoBroker(const MosquittoBroker &) = delete;
    MosquittoBroker &operator=(const MosquittoBroker &) = delete;

    // Starts it and waits until it takes connections; false with error().
    bool start();
    // SIGKILL, as a crash or a pulled cable does, and the wait for it.
    void kill();
    void stop();
    bool running() const { return pid > 0; }
    pid_t processId() const { return pid; }
    // With TLS: the TLS listener; plainPort() is a second one without, for a
    // bench's own subscriber.
    int port() const { return tcpPort; }
    int plainPort() const { return tls ? plainTcpPort : tcpPort; }
    QString error() const { return errorText; }
    QString caFile() const { return folder.filePath(QStringLiteral("ca.crt")); }
    QString clientCert() const { return folder.filePath(QStringLiteral("client.crt")); }
    QString clientKey() const { return folder.filePath(QStringLiteral("client.key")); }

private:
    bool writeConfig();
    bool makeCertificates();

    QTemporaryDir folder;
    bool tls;
    int tcpPort = 0;
    int plainTcpPort = 0;
    pid_t pid = -1;
    QString errorText;
};

#endif // MOSQUITTOBROKER_H
