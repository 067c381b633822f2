// SPDX-License-Identifier: GPL-3.0-or-later
#include "mosquittobroker.h"

#include <QFile>
#include <QProcess>
#include <QStringList>

#include <chrono>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

const char *const BrokerPath = "/usr/sbin/mosquitto";

sockaddr_in loopback(int port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A port the kernel had free a moment ago; the broker binds it right after.
int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

bool accepts(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(port);
    const bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

} // namespace

MosquittoBroker::MosquittoBroker(bool tls) : tls(tls) {}

MosquittoBroker::~MosquittoBroker()
{
    stop();
}

bool MosquittoBroker::makeCertificates()
{
    const QString dir = folder.path();
    const auto run = [&](const QStringList &arguments) {
        QProcess openssl;
        openssl.setWorkingDirectory(dir);
        openssl.start(QStringLiteral("openssl"), arguments);
        return openssl.waitForFinished(30000) && openssl.exitStatus() == QProcess::NormalExit && openssl.exitCode() == 0;
    };
    QFile extensions(folder.filePath(QStringLiteral("server.ext")));
    if (!extensions.open(QIODevice::WriteOnly) || extensions.write("subjectAltName=IP:127.0.0.1\n") < 0)
        return false;
    extensions.close();
    const QString days = QStringLiteral("2");
    // A broker started as root reads them as the user it drops to.
    QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                   | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther
                                   | QFileDevice::ExeOther);
    const bool made = run({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.crt", "-days", days,
                "-subj", "/CN=bench CA"})
           && run({"req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out", "server.csr", "-subj",
                   "/CN=127.0.0.1"})
           && run({"x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial", "-out",
                   "server.crt", "-days", days, "-extfile", "server.ext"})
           && run({"req", "-newkey", "rsa:2048", "-nodes", "-keyout", "client.key", "-out", "client.csr", "-subj",
                   "/CN=bench client"})
           && run({"x509", "-req", "-in", "client.csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial", "-out",
                   "client.crt", "-days", days});
    for (const QString &name : {QStringLiteral("ca.crt"), QStringLiteral("server.crt"), QStringLiteral("server.key")})
        QFile::setPermissions(folder.filePath(name), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                         | QFileDevice::ReadGroup | QFileDevice::ReadOther);
    return made;
}

bool MosquittoBroker::writeConfig()
{
    QFile config(folder.filePath(QStringLiteral("mosquitto.conf")));
    if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QByteArray text = "allow_anonymous true\n"
                      "persistence false\n"
                      "log_dest none\n"
                      "max_queued_messages 0\n"
                      "max_queued_bytes 0\n";
    if (tls)
        text += "listener " + QByteArray::number(plainTcpPort) + " 127.0.0.1\n";
    text += "listener " + QByteArray::number(tcpPort) + " 127.0.0.1\n";
    if (tls) {
        const QByteArray dir = QFile::encodeName(folder.path());
        text += "cafile " + dir + "/ca.crt\ncertfile " + dir + "/server.crt\nkeyfile " + dir
                + "/server.key\nrequire_certificate true\n";
    }
    return config.write(text) == text.size();
}

bool MosquittoBroker::start()
{
    if (pid > 0)
        return true;
    if (!folder.isValid()) {
        errorText = QStringLiteral("no temporary folder");
        return false;
    }
    // A restart keeps the port, as a broker that comes back does.
    if (tcpPort == 0) {
        tcpPort = freePort();
        plainTcpPort = tls ? freePort() : tcpPort;
        if (tls && !makeCertificates()) {
            errorText = QStringLiteral("openssl could not make the certificates");
            return false;
        }
        if (tcpPort == 0 || !writeConfig()) {
            errorText = QStringLiteral("cannot write the broker's configuration");
            return false;
        }
    }
    const QByteArray config = QFile::encodeName(folder.filePath(QStringLiteral("mosquitto.conf")));
    char *argv[] = {const_cast<char *>(BrokerPath), const_cast<char *>("-c"), const_cast<char *>(config.constData()),
                    nullptr};
    if (posix_spawn(&pid, BrokerPath, nullptr, nullptr, argv, environ) != 0) {
        pid = -1;
        errorText = QStringLiteral("cannot start %1").arg(QLatin1String(BrokerPath));
        return false;
    }
    for (int i = 0; i < 500; ++i) {
        if (accepts(tcpPort) && accepts(plainPort()))
            return true;
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            errorText = QStringLiteral("mosquitto exited at once (port %1 taken?)").arg(tcpPort);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    errorText = QStringLiteral("mosquitto does not take connections on port %1").arg(tcpPort);
    kill();
    return false;
}

void MosquittoBroker::kill()
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    pid = -1;
}

void MosquittoBroker::stop()
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    pid = -1;
}
