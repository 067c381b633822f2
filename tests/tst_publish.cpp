// SPDX-License-Identifier: GPL-3.0-or-later
// pellix-hubctl publish against a real broker: Debian's mosquitto, started here on 127.0.0.1 with a
// configuration of the test's own, and the simulated hub on a pseudo-terminal. What subscribers see is
// read with mosquitto_sub, each line "RETAIN TOPIC PAYLOAD".
#include "testsupport.h"

#include <QtTest>

#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char *const Prefix = "pellix/A7-0042";

// How a run ends: SIGINT or SIGTERM, the hub's pty closing, SIGKILL, or SIGINT after the broker was
// killed and started again mid-stream; SIGINT while the hub that vanished is awaited, or after it came
// back on the same path, at once or after another hub (serial 9999) was there.
enum class Ending { Sigint, Sigterm, HubVanishes, Killed, BrokerRestart, BrokerStalls, HubAwaited, HubReturns, AnotherHubFirst };
// options: {broker} {tls} {auth} {certtls} are the listeners' URLs, {dir} the test's directory; --max-rate
// runs watch the rate and how new each record is instead of counting every one. display, speed:
// the hub's. err: text found in stderr. queue: the --queue bound, 0 for the default.
struct RunCase { QString options; char display; double speed; Ending ending; int code; QString err; };
struct BadCase { QString options; int code; QString err; QString env = QString(); };

quint16 freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr *>(&address), size);
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool shell(const QString &program, const QStringList &arguments, const QString &dir)
{
    QProcess process;
    process.setWorkingDirectory(dir);
    process.start(program, arguments);
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

struct Message { bool retained; QString topic; QByteArray payload; };

QList<Message> messages(const QByteArray &text)
{
    QList<Message> list;
    for (const QByteArray &line : text.split('\n')) {
        const int space = line.indexOf(' ', 2);
        if (line.size() > 2 && space > 0)
            list << Message{line.startsWith('1'), QString::fromUtf8(line.mid(2, space - 2)), line.mid(space + 1)};
    }
    return list;
}

} // namespace

Q_DECLARE_METATYPE(RunCase)
Q_DECLARE_METATYPE(BadCase)

class TestPublish : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<HubSimulator> hub;
    QTemporaryDir dir;
    QProcess broker;
    quint16 plainPort = 0, authPort = 0, tlsPort = 0, closedPort = 0, certPort = 0;
    QVector<HubSimulator::Readings> script;
    QHash<int, int> places;   // a record's s0 to its place in the script

    QString expand(QString text) const
    {
        return text.replace("{broker}", QStringLiteral("mqtt://127.0.0.1:%1").arg(plainPort))
            .replace("{auth}", QStringLiteral("mqtt://127.0.0.1:%1").arg(authPort))
            .replace("{tls}", QStringLiteral("mqtts://localhost:%1").arg(tlsPort))
            .replace("{closed}", QStringLiteral("mqtt://127.0.0.1:%1").arg(closedPort))
            .replace("{certtls}", QStringLiteral("mqtts://localhost:%1").arg(certPort))
            .replace("{dir}", dir.path());
    }

    bool startBroker()
    {
        broker.setWorkingDirectory(dir.path());
        broker.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        broker.start(QStringLiteral("/usr/sbin/mosquitto"), {"-c", dir.filePath("mosquitto.conf")});
        // Ready once its plain listener takes a connection.
        for (int i = 0; i < 100; ++i) {
            QProcess probe;
            probe.start("mosquitto_pub", {"-h", "127.0.0.1", "-p", QString::number(plainPort), "-t", "probe", "-n"});
            if (probe.waitForFinished(5000) && probe.exitCode() == 0)
                return true;
            QTest::qWait(50);
        }
        return false;
    }

    // A subscriber to everything, its session kept by the broker across a restart.
    void subscribe(QProcess &subscriber, const QString &id = QString())
    {
        QStringList arguments{"-h", "127.0.0.1", "-p", QString::number(plainPort), "-q", "1", "-t", "#", "-F", "%r %t %p"};
        if (!id.isEmpty())
            arguments << "-c" << "-i" << id;
        subscriber.start("mosquitto_sub", arguments);
        QVERIFY(subscriber.waitForStarted());
        // Subscribed once the probe it is sent comes back.
        QDeadlineTimer deadline(10000);
        while (!subscriber.peek(1 << 20).contains(" probe") && !deadline.hasExpired()) {
            QProcess::execute("mosquitto_pub", {"-h", "127.0.0.1", "-p", QString::number(plainPort), "-t", "probe", "-m", "x"});
            subscriber.waitForReadyRead(200);
        }
        QVERIFY(!deadline.hasExpired());
    }

    // What a new subscriber gets at once: the retained messages.
    QList<Message> retained()
    {
        QProcess subscriber;
        subscriber.start("mosquitto_sub", {"-h", "127.0.0.1", "-p", QString::number(plainPort), "-t", "#", "-F",
                                           "%r %t %p", "-W", "1"});
        subscriber.waitForFinished(10000);
        return messages(subscriber.readAllStandardOutput());
    }

    static QByteArray stop(QProcess &process)
    {
        // Until its output has been quiet for a while: what the broker still sends is its too.
        qint64 size = -1;
        while (process.bytesAvailable() != size) {
            size = process.bytesAvailable();
            process.waitForReadyRead(700);
        }
        process.kill();
        process.waitForFinished();
        return process.readAllStandardOutput();
    }

    // The sequence numbers of the records, from the script's first reading.
    QList<int> sequence(const QList<Message> &list) const
    {
        QList<int> numbers;
        for (const Message &m : list)
            if (m.topic == QLatin1String(Prefix) + "/records") {
                const QJsonObject o = QJsonDocument::fromJson(m.payload).object();
                numbers << (o.size() == 10 && o.value("s1").toInt() == 1000 ? o.value("s0").toInt() : -1);
            }
        return numbers;
    }

    // Watches a --max-rate run for ms. For the newest record of each burst that reaches the subscriber: how
    // long ago the publisher read it (its time), and how many records the hub had sent after it by then.
    // The medians, in ms and in records, and the hub's records a second.
    struct Freshness { qint64 ageMs; int behind; double hubRate; };
    Freshness newest(QProcess &subscriber, int ms) const
    {
        QList<qint64> ages;
        QList<int> behind;
        int done = 0;   // bytes of the subscriber's output looked at
        const int sentBefore = hub->recordsSent();
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < ms) {
            subscriber.waitForReadyRead(10);
            const QByteArray output = subscriber.peek(1 << 26);
            const QByteArray lines = output.mid(done, output.lastIndexOf('\n') + 1 - done);
            done += lines.size();
            const QList<int> numbers = sequence(messages(lines));
            if (numbers.isEmpty() || !places.contains(numbers.last()))
                continue;
            const QList<Message> list = messages(lines);
            const QString time = QJsonDocument::fromJson(list.last().payload).object().value("time").toString();
            ages << QDateTime::currentMSecsSinceEpoch() - QDateTime::fromString(time, Qt::ISODateWithMs).toMSecsSinceEpoch();
            behind << (hub->recordsSent() - 1 - places.value(numbers.last())) % int(script.size());
        }
        std::sort(ages.begin(), ages.end());
        std::sort(behind.begin(), behind.end());
        return {ages.value(ages.size() / 2, -1), behind.value(behind.size() / 2, -1),
                (hub->recordsSent() - sentBefore) * 1000.0 / clock.elapsed()};
    }

    // What a --max-rate run of that many seconds published: hub records in the hub's order, at most rate
    // a second (and the last one at the end), at least half that; empty when so, else what is wrong.
    QString rateFault(const QList<int> &numbers, int rate, double seconds) const
    {
        if (numbers.size() > rate * seconds + 2 || numbers.size() < rate * seconds / 2)
            return QStringLiteral("%1 records in %2 s").arg(numbers.size()).arg(seconds);
        for (int r = 1; r < numbers.size(); ++r) {
            const int step = (places.value(numbers[r], -1) - places.value(numbers[r - 1], -1) + int(script.size()))
                             % int(script.size());
            if (!places.contains(numbers[r]) || step == 0 || step > script.size() / 2)
                return QStringLiteral("record %1: %2 after %3").arg(r).arg(numbers[r]).arg(numbers[r - 1]);
        }
        return QString();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        plainPort = freePort(), authPort = freePort(), tlsPort = freePort(), closedPort = freePort(), certPort = freePort();
        // A CA, and a server certificate for localhost that it signed; a second CA that signed nothing here.
        const QString d = dir.path();
        for (const QString ca : {"ca", "other"})
            QVERIFY(shell("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                                      "/CN=test " + ca, "-keyout", ca + ".key", "-out", ca + ".crt"}, d));
        QVERIFY(shell("openssl", {"req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost", "-keyout",
                                  "server.key", "-out", "server.csr"}, d));
        QFile ext(dir.filePath("san.ext"));
        QVERIFY(ext.open(QIODevice::WriteOnly) && ext.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n") > 0);
        ext.close();
        QVERIFY(shell("openssl", {"x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
                                  "-CAcreateserial", "-days", "2", "-extfile", "san.ext", "-out", "server.crt"}, d));
        // A client's certificate, signed by the CA and, as a stranger's, by the other one.
        QVERIFY(shell("openssl", {"req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=pellix client", "-keyout",
                                  "client.key", "-out", "client.csr"}, d));
        for (const QString ca : {"ca", "other"})
            QVERIFY(shell("openssl", {"x509", "-req", "-in", "client.csr", "-CA", ca + ".crt", "-CAkey", ca + ".key",
                                      "-CAcreateserial", "-days", "2", "-out", ca + "-client.crt"}, d));
        QVERIFY(shell("mosquitto_passwd", {"-c", "-b", "passwd", "pellix", "s3cret"}, d));
        QFile good(dir.filePath("good")), bad(dir.filePath("bad"));
        QVERIFY(good.open(QIODevice::WriteOnly) && good.write("pellix:s3cret\n") > 0);
        QVERIFY(bad.open(QIODevice::WriteOnly) && bad.write("pellix:wrong\n") > 0);
        QFile conf(dir.filePath("mosquitto.conf"));
        QVERIFY(conf.open(QIODevice::WriteOnly));
        conf.write(QStringLiteral(
            "user root\nper_listener_settings true\npersistence true\npersistence_location %1/\n"
            "max_queued_messages 0\nlog_dest none\n"
            "listener %2 127.0.0.1\nallow_anonymous true\n"
            "listener %3 127.0.0.1\nallow_anonymous false\npassword_file %1/passwd\n"
            "listener %4 127.0.0.1\nallow_anonymous false\npassword_file %1/passwd\n"
            "cafile %1/ca.crt\ncertfile %1/server.crt\nkeyfile %1/server.key\n"
            "listener %5 127.0.0.1\nallow_anonymous true\nrequire_certificate true\n"
            "cafile %1/ca.crt\ncertfile %1/server.crt\nkeyfile %1/server.key\n")
                       .arg(d).arg(plainPort).arg(authPort).arg(tlsPort).arg(certPort).toUtf8());
        conf.close();
        QVERIFY(startBroker());
        // Each record numbered by its place in the script, in s0; 'C' kept out of binary frames, as
        // the stream's own test does.
        for (int v = 1; script.size() < 20000; ++v)
            if ((v & 0xFF) != 'C' && (v >> 8) != 'C')
                script << readings({v, 1000, 2000, 3000, 4000, 5000, 6000, 7000});
        for (int i = 0; i < script.size(); ++i)
            places.insert(script[i][0], i);
    }

    void cleanupTestCase()
    {
        broker.terminate();
        broker.waitForFinished();
    }

    void init()
    {
        hub = std::make_unique<HubSimulator>();
        QVERIFY(hub->start());
        hub->setIdentity("A7-0042", "4.2.1", "PRO");
        // Nothing of the last test's retained state is left.
        for (const Message &m : retained())
            if (m.retained)
                QProcess::execute("mosquitto_pub", {"-h", "127.0.0.1", "-p", QString::number(plainPort), "-t",
                                                    m.topic, "-r", "-n"});
    }

    void runs_data()
    {
        QTest::addColumn<RunCase>("c");
        const auto add = [](const char *name, const RunCase &c) { QTest::newRow(name) << c; };
        add("binary 1x", {"", 'B', 1, Ending::Sigint, 130, ""});
        add("text 1x, SIGTERM", {"--qos 1", 'T', 1, Ending::Sigterm, 130, ""});
        add("binary 10x, qos 1", {"--qos 1", 'B', 10, Ending::Sigint, 130, ""});
        add("text 10x", {"", 'T', 10, Ending::Sigint, 130, ""});
        add("hub vanishes", {"--homeassistant", 'B', 1, Ending::HubVanishes, 74, "The hub on "});
        add("hub vanishes, awaited", {"--reconnect", 'T', 1, Ending::HubAwaited, 130, "to come back on {dir}/hub."});
        add("hub vanishes and returns", {"--reconnect --homeassistant", 'B', 1, Ending::HubReturns, 130,
                                         "waiting for the hub with serial number A7-0042 to come back on {dir}/hub."});
        add("another hub, then the hub returns", {"--reconnect --qos 1", 'T', 1, Ending::AnotherHubFirst, 130,
                                                  "another hub (serial number 9999) is on {dir}/hub; it is let go"});
        add("publisher killed", {"--homeassistant ha", 'B', 1, Ending::Killed, -1, ""});
        // Some 1200 records while it is down: the bound keeps the newest 300.
        add("broker restarts", {"--qos 1 --queue 300", 'B', 1, Ending::BrokerRestart, 130,
                                "records dropped while it was away."});
        // Stopped for 4 s with its connection open: some 2400 records for 300 places and 1000 unconfirmed.
        add("broker stalls", {"--qos 1 --queue 300", 'B', 1, Ending::BrokerStalls, 130,
                              "is not taking the records as fast as they come;"});
        // Nothing kept while the broker is away, all sent while it is there.
        add("no queue", {"--queue 0", 'T', 1, Ending::Sigint, 130, ""});
        add("password file", {"--password-file {dir}/good", 'T', 1, Ending::Sigint, 130, ""});
        add("TLS and password", {"--cafile {dir}/ca.crt --password-file {dir}/good", 'T', 1, Ending::Sigint, 130, ""});
        add("TLS client certificate", {"--cafile {dir}/ca.crt --cert {dir}/ca-client.crt --key {dir}/client.key", 'B', 1,
                                       Ending::Sigint, 130, ""});
        // Some 6000 records a second; 10 and 2 of them go out, each the newest of its slot.
        add("max-rate 10, 10x", {"--max-rate 10", 'B', 10, Ending::Sigint, 130, ""});
        add("max-rate 2, 10x, qos 1", {"--max-rate 2 --qos 1", 'T', 10, Ending::Sigterm, 130, ""});
        add("max-rate 600, 10x", {"--max-rate 600", 'B', 10, Ending::Sigint, 130, ""});
    }

    void runs()
    {
        QFETCH(RunCase, c);
        const bool returns = c.ending == Ending::HubReturns || c.ending == Ending::AnotherHubFirst;
        QString brokerUrl = c.options.contains("--cert") ? "{certtls}" : c.options.contains("cafile") ? "{tls}"
                            : c.options.contains("password") ? "{auth}" : "{broker}";
        const int rate = QRegularExpression("--max-rate (\\d+)").match(c.options).captured(1).toInt();
        hub->setDisplayMode(c.display);
        hub->setOperatingMode('F');
        hub->setMask(0x0F);
        hub->setStreaming(false);
        hub->setScript(script);
        hub->setSpeedFactor(c.speed);
        hub->setCyclePeriodMs(0);
        const bool vanishes = returns || c.ending == Ending::HubVanishes || c.ending == Ending::HubAwaited;
        hub->setCloseAfterRecords(vanishes ? hub->recordsSent() + 500 : -1);
        // A link of the test's own, where the hub comes back.
        const QString port = vanishes ? dir.filePath("hub") : hub->portPath();
        QFile::remove(dir.filePath("hub"));
        QVERIFY(!vanishes || QFile::link(hub->portPath(), port));
        QProcess subscriber;
        subscribe(subscriber, c.ending == Ending::BrokerRestart ? "keeper" : QString());
        // A sensor an earlier configuration of the hub had, which this one does not report.
        const QString discovery = c.options.contains("--homeassistant ha") ? "ha" : "homeassistant";
        if (c.options.contains("--homeassistant"))
            QProcess::execute("mosquitto_pub", {"-h", "127.0.0.1", "-p", QString::number(plainPort), "-r", "-t",
                                                discovery + "/sensor/pellix_A7-0042/s7/config", "-m", "{}"});
        QProcess publisher;
        publisher.start(PELLIX_HUBCTL, expand("--port " + port + " publish --broker " + brokerUrl + " "
                                              + c.options).split(' ', Qt::SkipEmptyParts));
        QVERIFY(hub->waitForReceived(6, 10000) && hub->received().contains("RRI"));
        hub->setStreaming(true);
        QElapsedTimer streamed;
        streamed.start();
        // The newest of its slot: read just before it went out, not half a slot (or 25 ms) earlier, and one of the
        // hub's records of the last half second (those of the pty's buffer are behind it too).
        const Freshness fresh = rate ? newest(subscriber, 3000) : Freshness{0, 0, 0};
        QVERIFY2(!rate || (fresh.ageMs >= 0 && fresh.ageMs < qMax(500 / rate, 25) && fresh.behind >= 0
                           && fresh.behind < fresh.hubRate / 2),
                 qPrintable(QStringLiteral("read %1 ms before, %2 records behind the hub at %3 a second")
                                .arg(fresh.ageMs).arg(fresh.behind).arg(fresh.hubRate)));
        QDeadlineTimer deadline(15000);
        while (!rate && subscriber.peek(1 << 26).count("/records ") < 400 && !deadline.hasExpired())
            subscriber.waitForReadyRead(100);
        if (c.ending == Ending::BrokerRestart) {
            // SIGTERM: the broker keeps the subscriber's session, and so what it missed.
            broker.terminate();
            broker.waitForFinished();
            QTest::qWait(2000);
            QVERIFY(startBroker());
            QTest::qWait(4000);
        }
        if (c.ending == Ending::BrokerStalls) {
            ::kill(pid_t(broker.processId()), SIGSTOP);
            QTest::qWait(4000);
            ::kill(pid_t(broker.processId()), SIGCONT);
            // Info follows the drop count within a second.
            QTest::qWait(2000);
        }
        QByteArray err;
        const auto said = [&](const char *text) {
            QDeadlineTimer deadline(30000);
            while (!err.contains(text) && !deadline.hasExpired()) {
                QTest::qWait(100);
                err += publisher.readAllStandardError();
            }
            return err.contains(text);
        };
        if (vanishes && c.ending != Ending::HubVanishes) {
            QVERIFY2(said("waiting for the hub with serial number A7-0042"), err.constData());
            // Gone before the wait's first look, a second on: by then any other program's pty may have
            // the freed number, another simulated hub's with the same serial number among them.
            QVERIFY(QFile::remove(port));
        }
        // Looked for, not given up.
        QVERIFY(c.ending != Ending::HubAwaited || !publisher.waitForFinished(2500));
        if (returns) {
            hub->stop();
            hub->setCloseAfterRecords(-1);
            hub->setStreaming(false);
            hub->clearReceived();
            if (c.ending == Ending::AnotherHubFirst)
                hub->setIdentity("9999", "4.2.1", "PRO");
            QVERIFY(hub->start());
            QVERIFY(QFile::link(hub->portPath(), port));
            if (c.ending == Ending::AnotherHubFirst) {
                QVERIFY2(said("another hub (serial number 9999)"), err.constData());
                // The next try, 2 s on, meets it again and says nothing.
                QTest::qWait(3500);
                err += publisher.readAllStandardError();
                QVERIFY2(hub->received().count("RRI") >= 2 && err.count("another hub") == 1, err.constData());
                hub->setIdentity("A7-0042", "4.2.1", "PRO");
            }
            QVERIFY2(said("the hub with serial number A7-0042 is back on"), err.constData());
            hub->setStreaming(true);
            const int before = subscriber.peek(1 << 26).count("/records ");
            QDeadlineTimer flowing(15000);
            while (subscriber.peek(1 << 26).count("/records ") < before + 300 && !flowing.hasExpired())
                subscriber.waitForReadyRead(100);
            QVERIFY(!flowing.hasExpired());
            QCOMPARE(publisher.state(), QProcess::Running);
        }
        const int signal = c.ending == Ending::Killed ? SIGKILL : c.ending == Ending::Sigterm ? SIGTERM : SIGINT;
        if (c.ending != Ending::HubVanishes) {
            QTest::qWait(500);
            ::kill(pid_t(publisher.processId()), signal);
        }
        const double seconds = streamed.elapsed() / 1000.0;
        QVERIFY(publisher.waitForFinished(20000));
        err += publisher.readAllStandardError();
        QVERIFY2(c.code < 0 ? publisher.exitStatus() == QProcess::CrashExit : publisher.exitCode() == c.code, err.constData());
        QVERIFY2(err.contains(expand(c.err).toUtf8()), err.constData());
        const QList<Message> received = messages(stop(subscriber));
        // Online while the hub is there, offline while it is awaited and at the end; a broker that goes
        // down sends the last will as well.
        QStringList statuses;
        for (const Message &m : received)
            if (m.topic == QString(Prefix) + "/status" && (statuses.isEmpty() || statuses.last() != m.payload))
                statuses << QString::fromUtf8(m.payload);
        const bool twice = returns || c.ending == Ending::BrokerRestart;
        const bool brokerTrouble = c.ending == Ending::BrokerRestart || c.ending == Ending::BrokerStalls;
        QCOMPARE(statuses.join(' '), QString(twice ? "online offline online offline" : "online offline"));
        const QList<int> numbers = sequence(received);
        QVERIFY2(rate || numbers.size() > 400, qPrintable(QString::number(numbers.size())));
        const QString rateWrong = rate ? rateFault(numbers, rate, seconds) : QString();
        QVERIFY2(rateWrong.isEmpty(), qPrintable(rateWrong));
        static const QRegularExpression summary("publish: (\\d+) records, (\\d+) dropped");
        const QRegularExpressionMatch m = summary.match(QString::fromUtf8(err));
        QVERIFY2(c.code < 0 || m.hasMatch(), err.constData());
        const int published = m.captured(1).toInt(), dropped = m.captured(2).toInt();
        // In the hub's order, from its first record on; after a broker restart QoS 1 may bring one twice
        // and what the bound let go is missing, no more than was said.
        QHash<int, int> place;
        for (int i = 0; i < script.size(); ++i)
            place.insert(script[i][0], i);
        int missing = 0, last = 0, furthest = 0;
        bool skipped = false;
        QSet<int> seen {numbers.value(0)};
        for (int r = 1; !rate && r < numbers.size(); ++r) {
            const int step = place.value(numbers[r], -1) - place.value(numbers[last], -1);
            if (brokerTrouble) {
                // QoS 1 sends again, after the broker came back, what it had not
                // confirmed: maybe a record seen already, but none after newer ones.
                QVERIFY2(place.contains(numbers[r]), qPrintable(QString::number(numbers[r])));
                QVERIFY2(seen.contains(numbers[r]) || place.value(numbers[r]) > furthest,
                         qPrintable(QStringLiteral("record %1: %2 after %3").arg(r).arg(numbers[r]).arg(script[furthest][0])));
                seen.insert(numbers[r]);
                furthest = qMax(furthest, place.value(numbers[r]));
                continue;
            }
            // What the pty held when it closed went with it: one step forward where the hub came back.
            if (returns && step > 1 && !skipped) {
                skipped = true;
                last = r;
                continue;
            }
            QVERIFY2(step == 1, qPrintable(QStringLiteral("record %1: %2 after %3").arg(r).arg(numbers[r]).arg(numbers[last])));
            last = r;
        }
        for (int i = 0; brokerTrouble && i <= furthest; ++i)
            missing += !seen.contains(script[i][0]);
        QVERIFY(rate || numbers.value(0) == script[0][0]);
        QVERIFY(!numbers.contains(-1));
        if (brokerTrouble)
            QVERIFY2(dropped > 0 && missing <= dropped && numbers.size() - dropped <= published + 50,
                     qPrintable(QStringLiteral("%1 missing, %2 dropped").arg(missing).arg(dropped)));
        else if (c.code >= 0)
            QVERIFY2(dropped == 0 && numbers.size() == published,
                     qPrintable(QStringLiteral("%1 of %2").arg(numbers.size()).arg(published)));
        // A new subscriber sees the hub's state: offline by the program's last words or the broker's will.
        QHash<QString, QByteArray> state;
        for (const Message &message : retained())
            if (message.retained)
                state.insert(message.topic, message.payload);
        QCOMPARE(state.value(QString(Prefix) + "/status"), QByteArray("offline"));
        const QJsonObject info = QJsonDocument::fromJson(state.value(QString(Prefix) + "/info")).object();
        QCOMPARE(info.value("serial").toString(), QStringLiteral("A7-0042"));
        QCOMPARE(info.value("output").toString(), QString(c.display == 'B' ? "binary" : "text"));
        QCOMPARE(info.value("sensor_mask").toString(), QStringLiteral("0F"));
        QCOMPARE(info.value("dropped").toInt(-1), brokerTrouble ? dropped : 0);
        int configs = 0;
        for (int k = 0; k < 8; ++k) {
            const QJsonObject config = QJsonDocument::fromJson(
                state.value(QStringLiteral("%1/sensor/pellix_A7-0042/s%2/config").arg(discovery).arg(k))).object();
            configs += state.contains(QStringLiteral("%1/sensor/pellix_A7-0042/s%2/config").arg(discovery).arg(k));
            QVERIFY(config.isEmpty() || (config.value("value_template").toString() == QStringLiteral("{{ value_json.s%1 }}").arg(k)
                                         && config.value("unit_of_measurement") == "mm"
                                         && config.value("availability_topic") == QString(Prefix) + "/status"
                                         && config.value("state_topic") == QString(Prefix) + "/records"
                                         && config.value("device").toObject().value("name") == "Pellix hub A7-0042"));
        }
        // Sensors 0 to 3; the earlier configuration of sensor 7 is taken back.
        QCOMPARE(configs, c.options.contains("--homeassistant") ? 4 : 0);
    }

    // Refused before or at the first connection: the one sentence and the exit code; 130 is a
    // program that kept trying until its SIGINT.
    void refused_data()
    {
        QTest::addColumn<BadCase>("c");
        const auto add = [](const char *name, const BadCase &c) { QTest::newRow(name) << c; };
        add("no broker", {"", 64, "publish needs --broker mqtt://HOST[:PORT]."});
        add("unparsable URL", {"--broker http//x:y", 64, "--broker takes mqtt://HOST[:PORT] or mqtts://HOST[:PORT]: http//x:y"});
        add("password in the URL", {"--broker mqtt://u:p@127.0.0.1", 64, "--broker takes no user name or password"});
        add("port 0", {"--broker mqtt://127.0.0.1:0", 64, "--broker takes a port from 1 to 65535: mqtt://127.0.0.1:0"});
        add("prefix the broker keeps", {"--broker {broker} --topic-prefix $SYS/hub", 64,
                                        "--topic-prefix takes no topic beginning with $"});
        add("control character in the prefix", {"--broker {broker} --topic-prefix robot\x01" "hub", 64,
                                                 "--topic-prefix takes no control characters."});
        add("prefix too long for a topic", {"--broker {broker} --topic-prefix " + QString(65530, 'x'), 64,
                                            "--topic-prefix takes at most 65000 bytes."});
        add("discovery prefix the broker keeps", {"--broker {broker} --homeassistant $ha", 64,
                                                  "--homeassistant takes no topic beginning with $"});
        add("qos 2", {"--broker {broker} --qos 2", 64, "--qos takes 0 or 1."});
        add("TLS file on plain", {"--broker {broker} --cafile x", 64, "--cafile, --cert and --key need an mqtts:// broker."});
        add("no password file", {"--broker {auth} --password-file {dir}/none", 66, "Cannot read {dir}/none"});
        add("no CA file", {"--broker {tls} --cafile {dir}/none", 66, "Cannot read {dir}/none"});
        add("unresolvable name", {"--broker mqtt://no-such-host.invalid", 68, "Cannot find the broker no-such-host.invalid"});
        add("refusing port", {"--broker {closed}", 130, "cannot reach the broker at 127.0.0.1:"});
        add("wrong password", {"--broker {auth} --password-file {dir}/bad", 77, "rejected the user name or password"});
        add("no password", {"--broker {auth}", 77, "rejected the user name or password"});
        add("password from the environment", {"--broker {auth}", 130, "", "PELLIX_MQTT_PASSWORD=s3cret"});
        add("wrong password over TLS", {"--broker {tls} --cafile {dir}/ca.crt --password-file {dir}/bad", 77,
                                         "rejected the user name or password"});
        add("another CA", {"--broker {tls} --cafile {dir}/other.crt --password-file {dir}/good", 77,
                           "is not signed by the CA in --cafile."});
        add("no client certificate", {"--broker {certtls} --cafile {dir}/ca.crt", 77,
                                      "wants a client certificate: give --cert and --key"});
        add("client certificate of another CA", {"--broker {certtls} --cafile {dir}/ca.crt --cert {dir}/other-client.crt "
                                                 "--key {dir}/client.key", 77,
                                                 "refused the client certificate in {dir}/other-client.crt (unknown ca)"});
        add("key of another certificate", {"--broker {certtls} --cafile {dir}/ca.crt --cert {dir}/ca-client.crt --key "
                                           "{dir}/server.key", 66, "The key in {dir}/server.key does not belong to the "
                                           "certificate in {dir}/ca-client.crt"});
        add("key that is no key", {"--broker {certtls} --cafile {dir}/ca.crt --cert {dir}/ca-client.crt --key {dir}/good",
                                   66, "Cannot use the key in {dir}/good: it is no PEM private key"});
        add("no key file", {"--broker {certtls} --cafile {dir}/ca.crt --cert {dir}/ca-client.crt --key {dir}/none", 66,
                            "Cannot read {dir}/none"});
    }

    void refused()
    {
        QFETCH(BadCase, c);
        QProcess publisher;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("PELLIX_MQTT_USERNAME", "pellix");
        environment.remove("PELLIX_MQTT_PASSWORD");
        if (!c.env.isEmpty())
            environment.insert(c.env.section('=', 0, 0), c.env.section('=', 1));
        publisher.setProcessEnvironment(environment);
        publisher.start(PELLIX_HUBCTL, expand("--port " + hub->portPath() + " publish " + c.options).split(' ', Qt::SkipEmptyParts));
        if (c.code == 130) {
            // Still trying, or connected, 3 s on.
            QVERIFY(!publisher.waitForFinished(3000));
            ::kill(pid_t(publisher.processId()), SIGINT);
        }
        QVERIFY(publisher.waitForFinished(20000));
        const QByteArray err = publisher.readAllStandardError();
        QVERIFY2(publisher.exitCode() == c.code && err.contains(expand(c.err).toUtf8()), err.constData());
        // A refusal is one sentence on one line, besides the count of what was sent.
        QVERIFY2(c.code == 130 || err.count('\n') - err.count("publish: ") == 1, err.constData());
        // Usage errors before the hub hears a word.
        QVERIFY(c.code != 64 || hub->received().isEmpty());
        // A refusal left nothing on the broker: no state, so no record either.
        const QList<Message> left = c.code == 130 || c.code == 64 ? QList<Message>() : retained();
        QVERIFY2(std::none_of(left.begin(), left.end(), [](const Message &m) { return m.topic.startsWith(Prefix); }),
                 qPrintable(left.value(0).topic));
        // The password from the environment was taken: no refusal, no retry.
        QVERIFY2(c.env.isEmpty() || (!err.contains("rejected") && !err.contains("cannot reach")), err.constData());
    }
};

QTEST_GUILESS_MAIN(TestPublish)
#include "tst_publish.moc"
