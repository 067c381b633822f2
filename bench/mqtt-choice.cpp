// SPDX-License-Identifier: GPL-3.0-or-later
// The measurement behind the MQTT client library's choice: libmosquitto (what
// pellix-hubctl publish uses) against Eclipse Paho C's asynchronous client,
// each publishing to a real mosquitto on 127.0.0.1 at about the tool's rate
// at ten times the wire (6000 messages of 200 bytes a second).
// Built only where Paho C is installed (it is not a dependency).
//
//   pellix-mqtt-choice [--seconds N] [--rounds N] [--no-cpu] [--no-reconnect]
//
// - CPU a message: each library in a process of its own, paced at 6 messages
//   every millisecond for N s (default 10), QoS 0 and 1, without and with TLS
//   (a CA file and a client certificate the broker requires). The same
//   process with no library ("none") is the pacing's own cost, taken off. A
//   subscriber in this process counts what the broker passed on.
// - Reconnect: the broker killed (SIGKILL) 3.5 s into a 12 s run and started
//   again on the same port 3 s later: whether the library connects again by
//   itself and when, what became of the messages published meanwhile, and
//   its resident memory.
#include "benchsupport.h"
#include "childprocess.h"
#include "mosquittobroker.h"
#include "mosquittochoiceclient.h"
#include "mqttsubscriber.h"
#include "pahochoiceclient.h"

#include <QCoreApplication>
#include <QMap>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <thread>

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

namespace {

const int PerMs = 6;
const int PayloadBytes = 200;
const qint64 MsNs = 1000000;

long long residentKb()
{
    const std::string status = readFile("/proc/self/status");
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::atoll(status.c_str() + at + 6);
}

double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int sequenceOf(const char *payload, int length)
{
    if (length < 8 || std::strncmp(payload, "{\"seq\":", 7) != 0)
        return -1;
    return std::atoi(payload + 7);
}

// One library in this process: connect, publish at the pace for the given
// time, wait for the acknowledgements (QoS 1) or a second (QoS 0), report.
int runCase(const QStringList &a)
{
    // --case LIB QOS TLS PORT SECONDS TOPIC [CA CERT KEY]
    const QString library = a.value(0);
    const int qos = a.value(1).toInt();
    ChoiceClient::Settings settings;
    settings.tls = a.value(2) == QLatin1String("tls");
    settings.port = a.value(3).toInt();
    const int seconds = a.value(4).toInt();
    const QByteArray topic = a.value(5).toUtf8();
    settings.caFile = a.value(6);
    settings.certFile = a.value(7);
    settings.keyFile = a.value(8);
    std::unique_ptr<ChoiceClient> client;
    if (library == QLatin1String("mosquitto"))
        client = std::make_unique<MosquittoChoiceClient>();
    else if (library == QLatin1String("paho"))
        client = std::make_unique<PahoChoiceClient>();
    if (client) {
        if (!client->start(settings)) {
            std::printf("error cannot start\n");
            return 1;
        }
        for (int i = 0; i < 1000 && !client->connected(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!client->connected()) {
            std::printf("error not connected after 10 s\n");
            return 1;
        }
    }
    char payload[PayloadBytes + 1];
    long long accepted = 0, refused = 0, rssPeak = 0;
    const long long rssStart = residentKb();
    const double cpuStart = cpuSeconds();
    const qint64 startNs = nowNs();
    std::printf("start %lld\n", static_cast<long long>(startNs));
    std::fflush(stdout);
    timespec due {};
    clock_gettime(CLOCK_MONOTONIC, &due);
    const int totalMs = seconds * 1000;
    int seq = 0;
    for (int ms = 0; ms < totalMs; ++ms) {
        for (int k = 0; k < PerMs; ++k, ++seq) {
            // A record's JSON line, as long as one with eight four-digit readings and its time.
            const int n = std::snprintf(payload, sizeof payload,
                                        "{\"seq\":%d,\"time\":\"2026-12-07T14:00:00.000Z\",\"elapsed_s\":%.3f,\"s0\":%d,"
                                        "\"s1\":1234,\"s2\":2345,\"s3\":3456,\"s4\":4567,\"s5\":5678,\"s6\":6789,"
                                        "\"s7\":7890,\"mode\":\"P\",\"output\":\"B\"",
                                        seq, ms / 1000.0, seq % 4000);
            std::memset(payload + n, ' ', size_t(PayloadBytes - 1 - n));
            payload[PayloadBytes - 1] = '}';
            if (!client || client->publish(topic.constData(), payload, PayloadBytes, qos))
                ++accepted;
            else
                ++refused;
        }
        if (ms % 100 == 0)
            rssPeak = std::max(rssPeak, residentKb());
        due.tv_nsec += MsNs;
        if (due.tv_nsec >= 1000000000) {
            due.tv_nsec -= 1000000000;
            ++due.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
    }
    const qint64 pacedNs = nowNs() - startNs;
    // QoS 1 is done when the broker has acknowledged every message.
    const int waitMs = client && qos == 1 ? 15000 : 1000;
    for (int waited = 0; waited < waitMs; waited += 10) {
        if (client && qos == 1 && client->completed() >= accepted)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (waited % 100 == 0)
            rssPeak = std::max(rssPeak, residentKb());
    }
    const double cpu = cpuSeconds() - cpuStart;
    const qint64 wallNs = nowNs() - startNs;
    std::printf("result accepted %lld refused %lld cpu_s %.4f paced_s %.3f wall_s %.3f rss_start %lld rss_peak %lld "
                "rss_end %lld connects %lld losses %lld completed %lld lost_at %lld connected_at %lld\n",
                accepted, refused, cpu, double(pacedNs) / 1e9, double(wallNs) / 1e9, rssStart, rssPeak, residentKb(),
                client ? client->connects() : 0, client ? client->losses() : 0, client ? client->completed() : 0,
                static_cast<long long>(client ? client->lostAtNs() : 0),
                static_cast<long long>(client ? client->connectedAtNs() : 0));
    std::fflush(stdout);
    if (client)
        client->stop();
    return 0;
}

QMap<QString, double> resultOf(const ChildRun &run, qint64 *startNs)
{
    QMap<QString, double> values;
    for (const ChildLine &line : run.out) {
        const QStringList words = line.text.split(QLatin1Char(' '));
        if (words.value(0) == QLatin1String("start") && startNs)
            *startNs = words.value(1).toLongLong();
        if (words.value(0) != QLatin1String("result"))
            continue;
        for (int i = 1; i + 1 < words.size(); i += 2)
            values.insert(words.at(i), words.at(i + 1).toDouble());
    }
    return values;
}

QStringList caseArguments(const QString &library, int qos, bool tls, const MosquittoBroker &broker, int seconds,
                          const QString &topic)
{
    QStringList arguments = {QStringLiteral("--case"), library, QString::number(qos),
                             tls ? QStringLiteral("tls") : QStringLiteral("plain"), QString::number(broker.port()),
                             QString::number(seconds), topic};
    if (tls)
        arguments << broker.caFile() << broker.clientCert() << broker.clientKey();
    return arguments;
}

void cpuRound(int round, int seconds, MosquittoBroker &plain, MosquittoBroker &tls)
{
    for (const bool withTls : {false, true}) {
        MosquittoBroker &broker = withTls ? tls : plain;
        for (const int qos : {0, 1}) {
            double noneCpu = std::nan("");
            for (const QString &library : {QStringLiteral("none"), QStringLiteral("mosquitto"), QStringLiteral("paho")}) {
                const QString topic = QStringLiteral("choice/%1/%2/%3/%4").arg(round).arg(library).arg(qos).arg(withTls);
                MqttSubscriber subscriber(sequenceOf);
                if (!subscriber.start(broker.plainPort(), topic, qos)) {
                    std::printf("%s: the subscriber cannot subscribe\n", qPrintable(topic));
                    continue;
                }
                const MachineCpu before = machineCpu();
                const ChildRun run = runChild(QCoreApplication::applicationFilePath(),
                                              caseArguments(library, qos, withTls, broker, seconds, topic));
                const MachineCpu after = machineCpu();
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                subscriber.stop();
                std::set<int> distinct;
                for (const MqttSubscriber::Receipt &r : subscriber.take())
                    distinct.insert(r.key);
                const QMap<QString, double> v = resultOf(run, nullptr);
                if (v.isEmpty()) {
                    std::printf("round %d %s QoS %d %s: no result (%s)\n", round, qPrintable(library), qos,
                                withTls ? "TLS" : "plain", qPrintable(run.err));
                    continue;
                }
                const double cpu = v.value(QStringLiteral("cpu_s"));
                const double accepted = v.value(QStringLiteral("accepted"));
                if (library == QLatin1String("none"))
                    noneCpu = cpu;
                const double wall = v.value(QStringLiteral("wall_s"));
                const double others = (double(after.busy - before.busy) - double(after.self - before.self))
                                          / double(sysconf(_SC_CLK_TCK)) / (double(run.wallNs) / 1e9)
                                      - run.rusageCpuS / (double(run.wallNs) / 1e9);
                std::printf("round %d | %s | QoS %d | %s | accepted %.0f refused %.0f | received %zu | paced in %.2f s | "
                            "CPU %.3f s over %.2f s = %.1f%% of a core | %.2f us a message beyond the pacing | RSS "
                            "%0.f -> peak %.0f KiB | others' cores %.2f (load %s)\n",
                            round, qPrintable(library), qos, withTls ? "TLS" : "plain", accepted,
                            v.value(QStringLiteral("refused")), distinct.size(), v.value(QStringLiteral("paced_s")),
                            cpu, wall, 100.0 * cpu / wall,
                            library == QLatin1String("none") ? 0.0 : (cpu - noneCpu) / accepted * 1e6,
                            v.value(QStringLiteral("rss_start")), v.value(QStringLiteral("rss_peak")), others,
                            qPrintable(loadAverage()));
                std::fflush(stdout);
            }
        }
    }
}

void reconnectRound(int round)
{
    for (const int qos : {0, 1}) {
        for (const QString &library : {QStringLiteral("mosquitto"), QStringLiteral("paho")}) {
            MosquittoBroker broker;
            if (!broker.start()) {
                std::printf("broker: %s\n", qPrintable(broker.error()));
                return;
            }
            const QString topic = QStringLiteral("choice/reconnect");
            auto first = std::make_unique<MqttSubscriber>(sequenceOf);
            if (!first->start(broker.plainPort(), topic, qos))
                return;
            std::unique_ptr<MqttSubscriber> second;
            const int seconds = 12;
            qint64 killNs = 0, restartNs = 0, subscribedNs = 0;
            const ChildRun run = runChild(QCoreApplication::applicationFilePath(),
                                          caseArguments(library, qos, false, broker, seconds, topic), [&](qint64 t) {
                                              if (!killNs && t >= 3500 * MsNs) {
                                                  killNs = nowNs();
                                                  broker.kill();
                                              }
                                              if (killNs && !restartNs && t >= 6500 * MsNs) {
                                                  broker.start();
                                                  restartNs = nowNs();
                                                  second = std::make_unique<MqttSubscriber>(sequenceOf);
                                                  if (second->start(broker.plainPort(), topic, qos))
                                                      subscribedNs = nowNs();
                                              }
                                              return false;
                                          });
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            std::set<int> got;
            for (MqttSubscriber *s : {first.get(), second.get()}) {
                if (!s)
                    continue;
                s->stop();
                for (const MqttSubscriber::Receipt &r : s->take())
                    got.insert(r.key);
            }
            qint64 startNs = 0;
            const QMap<QString, double> v = resultOf(run, &startNs);
            const qint64 reconnectedNs = qint64(v.value(QStringLiteral("connected_at")));
            const qint64 lostNs = qint64(v.value(QStringLiteral("lost_at")));
            // Message seq went out at start + seq / PerMs ms (the pace holds to
            // well under a millisecond when the loop is not starved).
            const auto sentAt = [&](int seq) { return startNs + qint64(seq / PerMs) * MsNs; };
            long long phase[3] = {}, phaseGot[3] = {};
            const int total = seconds * 1000 * PerMs;
            for (int seq = 0; seq < total; ++seq) {
                const qint64 at = sentAt(seq);
                const int p = at < killNs ? 0 : (reconnectedNs > restartNs && at < reconnectedNs) ? 1 : 2;
                ++phase[p];
                if (got.count(seq))
                    ++phaseGot[p];
            }
            std::printf("reconnect round %d | %s | QoS %d | killed at %.2f s, back at %.2f s; the client saw the loss "
                        "after %.0f ms, connected again %s | connections %.0f | accepted %.0f refused %.0f | "
                        "received before the kill %lld of %lld, from the kill until it was connected again %lld of "
                        "%lld, after %lld of %lld | second subscriber ready %.0f ms after the restart | RSS %.0f -> "
                        "peak %.0f -> end %.0f KiB\n",
                        round, qPrintable(library), qos, double(killNs - startNs) / 1e9,
                        double(restartNs - startNs) / 1e9, double(lostNs - killNs) / 1e6,
                        reconnectedNs > restartNs
                            ? qPrintable(QStringLiteral("%1 ms after the restart").arg(double(reconnectedNs - restartNs) / 1e6, 0, 'f', 0))
                            : "NEVER",
                        v.value(QStringLiteral("connects")), v.value(QStringLiteral("accepted")),
                        v.value(QStringLiteral("refused")), phaseGot[0], phase[0], phaseGot[1], phase[1], phaseGot[2],
                        phase[2], subscribedNs ? double(subscribedNs - restartNs) / 1e6 : -1.0,
                        v.value(QStringLiteral("rss_start")), v.value(QStringLiteral("rss_peak")),
                        v.value(QStringLiteral("rss_end")));
            std::fflush(stdout);
        }
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList args = application.arguments();
    if (args.value(1) == QLatin1String("--case"))
        return runCase(args.mid(2));
    int seconds = 10, rounds = 2;
    bool cpu = true, reconnect = true;
    for (int i = 1; i < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--seconds") && i + 1 < args.size())
            seconds = args.at(++i).toInt();
        else if (args.at(i) == QLatin1String("--rounds") && i + 1 < args.size())
            rounds = args.at(++i).toInt();
        else if (args.at(i) == QLatin1String("--no-cpu"))
            cpu = false;
        else if (args.at(i) == QLatin1String("--no-reconnect"))
            reconnect = false;
        else
            seconds = 0;
    }
    if (seconds < 1 || rounds < 1) {
        std::fprintf(stderr, "usage: pellix-mqtt-choice [--seconds N] [--rounds N] [--no-cpu] [--no-reconnect]\n");
        return 2;
    }
    std::printf("pellix-mqtt-choice: %ld cores (%s), load %s; %d messages of %d bytes a second\n",
                sysconf(_SC_NPROCESSORS_ONLN), qPrintable(cpuModel()), qPrintable(loadAverage()), PerMs * 1000,
                PayloadBytes);
    MosquittoBroker plain, tls(true);
    if (cpu && (!plain.start() || !tls.start())) {
        std::printf("broker: %s %s\n", qPrintable(plain.error()), qPrintable(tls.error()));
        return 1;
    }
    for (int round = 1; round <= rounds; ++round) {
        if (cpu)
            cpuRound(round, seconds, plain, tls);
        if (reconnect)
            reconnectRound(round);
    }
    std::printf("load at the end: %s\n", qPrintable(loadAverage()));
    return 0;
}
