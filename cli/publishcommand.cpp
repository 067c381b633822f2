// SPDX-License-Identifier: GPL-3.0-or-later
#include "commands.h"

#include "commandsupport.h"
#include "console.h"
#include "exitcode.h"
#include "hublink.h"
#include "hubreturn.h"
#include "hubreport.h"
#include "interrupts.h"
#include "mqttclient.h"
#include "recorder.h"
#include "threadcom.h"

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTimer>
#include <QUrl>

#include <atomic>
#include <functional>
#include <memory>

namespace {

// Records reach the broker client this often: latency, not throughput.
const int TickMs = 50;
// The info message follows a change of the drop count at most this often.
const int InfoEveryMs = 1000;
// What the broker gets of the last records and the offline word at the end.
const int FinishMs = 3000;
const int MaxQueue = 10000000;
// A topic is at most 65535 bytes; this leaves room for what follows a prefix.
const int MaxPrefixBytes = 65000;
const int MaxRate = 1000;

struct PublishOptions
{
    MqttClient::Settings broker;
    QString prefix;              // empty: pellix/<serial>
    int qos = 0;
    int maxRate = 0;             // 0: every record
    QString discoveryPrefix;     // empty: no discovery
    bool reconnect = false;      // a hub that vanishes is waited for
};

// The credentials come from the environment or a file, never from the command
// line, where every user of the machine can read them.
int takeCredentials(const QString &passwordFile, MqttClient::Settings &broker)
{
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    broker.username = environment.value(QStringLiteral("PELLIX_MQTT_USERNAME"));
    broker.password = environment.value(QStringLiteral("PELLIX_MQTT_PASSWORD"));
    if (passwordFile.isEmpty())
        return CommandSupport::Proceed;
    QFile file(passwordFile);
    if (!file.open(QIODevice::ReadOnly)) {
        Console::err(QStringLiteral("Cannot read %1 (%2).").arg(passwordFile, file.errorString()));
        return ExitCode::NoInput;
    }
    const QString line = QString::fromUtf8(file.readLine()).remove(QRegularExpression(QStringLiteral("[\r\n]+$")));
    const int colon = line.indexOf(QLatin1Char(':'));
    if (colon <= 0)
        return CommandSupport::usage(QStringLiteral("%1 holds no USER:PASSWORD line.").arg(passwordFile));
    broker.username = line.left(colon);
    broker.password = line.mid(colon + 1);
    return CommandSupport::Proceed;
}

int takeBroker(const QString &text, MqttClient::Settings &broker)
{
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme();
    if (!url.isValid() || (scheme != QLatin1String("mqtt") && scheme != QLatin1String("mqtts")) || url.host().isEmpty()
        || (!url.path().isEmpty() && url.path() != QLatin1String("/")) || url.hasQuery() || url.hasFragment())
        return CommandSupport::usage(QStringLiteral("--broker takes mqtt://HOST[:PORT] or mqtts://HOST[:PORT]: %1")
                                         .arg(text));
    if (!url.userInfo().isEmpty())
        return CommandSupport::usage(QStringLiteral("--broker takes no user name or password: put them in "
                                                    "PELLIX_MQTT_USERNAME and PELLIX_MQTT_PASSWORD or --password-file."));
    broker.tls = scheme == QLatin1String("mqtts");
    broker.host = url.host();
    broker.port = url.port(broker.tls ? 8883 : 1883);
    // The library takes port 0 for its default and then cannot say why nothing answers.
    if (broker.port == 0)
        return CommandSupport::usage(QStringLiteral("--broker takes a port from 1 to 65535: %1").arg(text));
    return CommandSupport::Proceed;
}

// Why a prefix cannot begin topics, or an empty string. A broker keeps topics
// beginning with $ to itself and drops what is published there without a word,
// and the library refuses control characters only once it is asked to publish.
QString prefixFault(const QString &prefix)
{
    if (prefix.isEmpty() || prefix.contains(QRegularExpression(QStringLiteral("[+#]"))) || prefix.endsWith(QLatin1Char('/')))
        return QStringLiteral("a topic without + or # and no / at its end");
    if (prefix.startsWith(QLatin1Char('$')))
        return QStringLiteral("no topic beginning with $, which the broker keeps for itself");
    if (prefix.contains(QRegularExpression(QStringLiteral("[\\x{0}-\\x{1F}\\x{7F}-\\x{9F}]"))))
        return QStringLiteral("no control characters");
    if (prefix.toUtf8().size() > MaxPrefixBytes)
        return QStringLiteral("at most %1 bytes").arg(MaxPrefixBytes);
    return QString();
}

bool takeInt(const QCommandLineParser &parser, const QCommandLineOption &option, int low, int high, int &value)
{
    if (!parser.isSet(option))
        return true;
    bool ok = false;
    value = parser.value(option).toInt(&ok);
    return ok && value >= low && value <= high;
}

int parsePublish(const QStringList &arguments, PublishOptions &options)
{
    QCommandLineParser parser;
    const QCommandLineOption broker(QStringLiteral("broker"), QStringLiteral("mqtt://HOST[:PORT] or mqtts://HOST[:PORT]."),
                                    QStringLiteral("URL"));
    const QCommandLineOption prefix(QStringLiteral("topic-prefix"),
                                    QStringLiteral("Topics begin with this (default pellix/<serial number>)."),
                                    QStringLiteral("PREFIX"));
    const QCommandLineOption qos(QStringLiteral("qos"), QStringLiteral("0 (default) or 1, for the records."),
                                 QStringLiteral("0|1"));
    const QCommandLineOption queue(QStringLiteral("queue"),
                                   QStringLiteral("Records kept while the broker is away (10000); then the oldest "
                                                  "are dropped."),
                                   QStringLiteral("N"));
    const QCommandLineOption rate(QStringLiteral("max-rate"),
                                  QStringLiteral("At most N records a second, 1 to 1000: the newest of each 1/N s."),
                                  QStringLiteral("N"));
    const QCommandLineOption ca(QStringLiteral("cafile"), QStringLiteral("The CA of the broker's certificate (mqtts)."),
                                QStringLiteral("FILE"));
    const QCommandLineOption cert(QStringLiteral("cert"), QStringLiteral("A client certificate (mqtts)."),
                                  QStringLiteral("FILE"));
    const QCommandLineOption key(QStringLiteral("key"), QStringLiteral("The client certificate's key (mqtts)."),
                                 QStringLiteral("FILE"));
    const QCommandLineOption passwordFile(QStringLiteral("password-file"),
                                          QStringLiteral("A file whose first line is USER:PASSWORD."),
                                          QStringLiteral("FILE"));
    const QCommandLineOption discovery(QStringLiteral("homeassistant"),
                                       QStringLiteral("Home Assistant discovery under PREFIX (homeassistant)."));
    const QCommandLineOption reconnect(QStringLiteral("reconnect"),
                                       QStringLiteral("When the hub vanishes, wait for it to come back on its port."));
    parser.addOptions({broker, prefix, qos, queue, rate, ca, cert, key, passwordFile, discovery, reconnect});
    parser.addPositionalArgument(QStringLiteral("PREFIX"), QStringLiteral("After --homeassistant: its prefix."),
                                 QStringLiteral("[PREFIX]"));
    int exitCode = ExitCode::Success;
    if (!CommandSupport::parse(parser, arguments,
                               QStringLiteral("publish --broker URL [--topic-prefix PREFIX] [--qos 0|1] [--queue N] "
                                              "[--max-rate N] [--cafile FILE] [--cert FILE --key FILE] "
                                              "[--password-file FILE] [--reconnect] [--homeassistant [PREFIX]]"),
                               exitCode, -1))
        return exitCode;
    const QStringList operands = parser.positionalArguments();
    if (operands.size() > (parser.isSet(discovery) ? 1 : 0))
        return CommandSupport::usage(QStringLiteral("Unexpected argument '%1': publish takes options only, and a "
                                                    "prefix after --homeassistant.").arg(operands.last()));
    if (!parser.isSet(broker))
        return CommandSupport::usage(QStringLiteral("publish needs --broker mqtt://HOST[:PORT]."));
    int taken = takeBroker(parser.value(broker), options.broker);
    if (taken != CommandSupport::Proceed)
        return taken;
    if (!takeInt(parser, qos, 0, 1, options.qos))
        return CommandSupport::usage(QStringLiteral("--qos takes 0 or 1."));
    if (!takeInt(parser, queue, 0, MaxQueue, options.broker.queueLimit))
        return CommandSupport::usage(QStringLiteral("--queue takes a whole number from 0 to %1.").arg(MaxQueue));
    if (!takeInt(parser, rate, 1, MaxRate, options.maxRate))
        return CommandSupport::usage(QStringLiteral("--max-rate takes a whole number from 1 to %1.").arg(MaxRate));
    options.prefix = parser.value(prefix);
    if (parser.isSet(prefix) && !prefixFault(options.prefix).isEmpty())
        return CommandSupport::usage(QStringLiteral("--topic-prefix takes %1.").arg(prefixFault(options.prefix)));
    if (parser.isSet(discovery))
        options.discoveryPrefix = operands.isEmpty() ? QStringLiteral("homeassistant") : operands.first();
    if (parser.isSet(discovery) && !prefixFault(options.discoveryPrefix).isEmpty())
        return CommandSupport::usage(QStringLiteral("--homeassistant takes %1.").arg(prefixFault(options.discoveryPrefix)));
    options.reconnect = parser.isSet(reconnect);
    options.broker.caFile = parser.value(ca);
    options.broker.certFile = parser.value(cert);
    options.broker.keyFile = parser.value(key);
    if (!options.broker.tls && (parser.isSet(ca) || parser.isSet(cert) || parser.isSet(key)))
        return CommandSupport::usage(QStringLiteral("--cafile, --cert and --key need an mqtts:// broker."));
    if (parser.isSet(cert) != parser.isSet(key))
        return CommandSupport::usage(QStringLiteral("--cert and --key go together."));
    return takeCredentials(parser.value(passwordFile), options.broker);
}

// The recorder's output: every whole JSON line it writes becomes one call, so
// the records take the stream's one path and keep its exact text.
class LineOutlet : public QIODevice
{
public:
    explicit LineOutlet(std::function<void(const QByteArray &)> take) : take(std::move(take)) {}

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 size) override
    {
        partial.append(data, int(size));
        int start = 0;
        for (int end = partial.indexOf('\n'); end >= 0; end = partial.indexOf('\n', start)) {
            take(partial.mid(start, end - start));
            start = end + 1;
        }
        partial.remove(0, start);
        return size;
    }

private:
    std::function<void(const QByteArray &)> take;
    QByteArray partial;
};

// The modes the records came in, for info: another program may have changed them.
class ModeWatch : public RecordSink
{
public:
    void takeRecord(const HubProtocol::Readings &, uchar operatingMode, uchar displayMode) override
    {
        modes = operatingMode << 8 | displayMode;
    }
    int value() const { return modes; }
    // A hub that came back reports its own modes, not those of its last records.
    void forget() { modes = -1; }

private:
    std::atomic<int> modes {-1};
};

QString topicSafe(QString text)
{
    return text.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9_-]")), QStringLiteral("_"));
}

// Home Assistant's MQTT discovery: one retained config a sensor, all of one device.
void publishDiscovery(MqttClient &client, const PublishOptions &options, const QString &prefix, const HubReport &report)
{
    const QString node = QStringLiteral("pellix_") + topicSafe(report.identity.SerialNo);
    const QJsonObject device{{QStringLiteral("identifiers"), QJsonArray{node}},
                             {QStringLiteral("name"), QStringLiteral("Pellix hub %1").arg(report.identity.SerialNo)},
                             {QStringLiteral("manufacturer"), QStringLiteral("Pellix")},
                             {QStringLiteral("model"), report.identity.DeviceName},
                             {QStringLiteral("sw_version"), report.identity.FirmwareVersion}};
    for (int k = 0; k < HubProtocol::SensorCount; ++k) {
        const QJsonObject config{{QStringLiteral("name"), QStringLiteral("Sensor %1").arg(k)},
                                 {QStringLiteral("unique_id"), QStringLiteral("%1_s%2").arg(node).arg(k)},
                                 {QStringLiteral("state_topic"), prefix + QStringLiteral("/records")},
                                 {QStringLiteral("value_template"), QStringLiteral("{{ value_json.s%1 }}").arg(k)},
                                 {QStringLiteral("unit_of_measurement"), QStringLiteral("mm")},
                                 {QStringLiteral("device_class"), QStringLiteral("distance")},
                                 {QStringLiteral("state_class"), QStringLiteral("measurement")},
                                 {QStringLiteral("availability_topic"), prefix + QStringLiteral("/status")},
                                 {QStringLiteral("payload_available"), QStringLiteral("online")},
                                 {QStringLiteral("payload_not_available"), QStringLiteral("offline")},
                                 {QStringLiteral("device"), device}};
        client.publishRetained(QStringLiteral("%1/sensor/%2/s%3/config").arg(options.discoveryPrefix, node).arg(k),
                               QJsonDocument(config).toJson(QJsonDocument::Compact));
    }
}

class Publisher
{
public:
    Publisher(const PublishOptions &options, std::unique_ptr<HubLink> link, QString prefix)
        : options(options)
        , link(std::move(link))
        , prefix(std::move(prefix))
        , report(this->link->report())
    {
    }

    int run(Interrupts &interrupts);

private:
    int startClient(QEventLoop &loop);
    void attach(Recorder &recorder);
    void detach(Recorder &recorder);
    void watchLink(QEventLoop &loop, Recorder &recorder, HubReturn &hubReturn);

    QByteArray info() const
    {
        QJsonObject object = QJsonDocument::fromJson(report.json()).object();
        object.insert(QStringLiteral("dropped"), double(client->dropped()));
        return QJsonDocument(object).toJson(QJsonDocument::Compact);
    }

    void publishState()
    {
        // Also while the hub is awaited: a broker that comes back then still learns of the hub.
        client->publishRetained(statusTopic, hubPresent ? "online" : "offline");
        client->publishRetained(prefix + QStringLiteral("/info"), info());
        infoDropped = client->dropped();
        if (!options.discoveryPrefix.isEmpty())
            publishDiscovery(*client, options, prefix, report);
    }

    void takeLine(const QByteArray &line)
    {
        if (options.maxRate > 0) {
            newest = line;
        } else {
            client->enqueue(recordsTopic, line, options.qos);
            ++handedOver;
        }
    }

    // --max-rate: the newest record goes out once in each 1/N s of a monotonic
    // clock, whenever the timer comes; a timer that fires early or late never
    // brings two in one slot, so N a second is a bound, not an average.
    void sendNewest()
    {
        const qint64 slot = rateClock.nsecsElapsed() / (1000000000 / options.maxRate);
        if (newest.isEmpty() || slot == lastSlot)
            return;
        client->enqueue(recordsTopic, newest, options.qos);
        ++handedOver;
        newest.clear();
        lastSlot = slot;
    }

    // Once a second: a change of the modes or of the drop count is news for info.
    void checkInfo()
    {
        const int modes = watch.value();
        bool changed = client->dropped() != infoDropped;
        if (modes >= 0 && (modes >> 8 != report.operatingMode || (modes & 0xFF) != report.displayMode)) {
            report.operatingMode = uchar(modes >> 8);
            report.displayMode = uchar(modes & 0xFF);
            report.reported.operatingMode = report.reported.displayMode = true;
            changed = true;
        }
        // A broker that stalls keeps the connection and takes nothing: what the
        // queue lets go then is as much news as while it is away.
        if (client->dropped() > saidDropped) {
            if (client->isConnected())
                Console::err(QStringLiteral("publish: the broker at %1 is not taking the records as fast as they come; "
                                            "%2 records dropped so far (the newest %3 are kept).")
                                 .arg(client->address()).arg(client->dropped()).arg(options.broker.queueLimit));
            else
                Console::err(QStringLiteral("publish: the broker is still away; %1 records dropped so far (the newest "
                                            "%2 are kept).").arg(client->dropped()).arg(options.broker.queueLimit));
            saidDropped = client->dropped();
        }
        if (changed && client->isConnected() && client->publishRetained(prefix + QStringLiteral("/info"), info()))
            infoDropped = client->dropped();
    }

    const PublishOptions &options;
    std::unique_ptr<HubLink> link;
    const QString prefix;
    const QString recordsTopic = prefix + QStringLiteral("/records");
    const QString statusTopic = prefix + QStringLiteral("/status");
    bool hubPresent = true;
    HubReport report;
    std::unique_ptr<MqttClient> client;
    ModeWatch watch;
    QByteArray newest;
    QElapsedTimer rateClock;
    qint64 lastSlot = -1;
    // Records given to the client, to send or to drop.
    qint64 handedOver = 0;
    qint64 infoDropped = 0;
    qint64 saidDropped = 0;
    qint64 droppedAtLoss = 0;
    bool lostSaid = false;
    // Set when the client says trying again cannot help.
    int fatalCode = 0;
};

// Starts the broker client, with what it says wired to loop. An exit code when
// it cannot work at all, else 0.
int Publisher::startClient(QEventLoop &loop)
{
    MqttClient::Settings settings = options.broker;
    settings.willTopic = statusTopic;
    settings.willPayload = "offline";
    client = std::make_unique<MqttClient>(settings);
    QObject::connect(client.get(), &MqttClient::fatal, &loop, [this, &loop](const QString &sentence, int code) {
        Console::err(sentence);
        fatalCode = code;
        loop.quit();
    });
    QObject::connect(client.get(), &MqttClient::connectionLost, &loop, [this](const QString &reason, int retryMs) {
        if (!lostSaid)
            droppedAtLoss = client->dropped();
        lostSaid = true;
        Console::err(QStringLiteral("publish: cannot reach the broker at %1 (%2); trying again in %3 s, the hub "
                                    "link stays up.").arg(client->address(), reason).arg(retryMs / 1000.0));
    });
    QObject::connect(client.get(), &MqttClient::connected, &loop, [this] {
        if (lostSaid)
            Console::err(QStringLiteral("publish: connected to the broker at %1 again; %2 records dropped while it "
                                        "was away.").arg(client->address()).arg(client->dropped() - droppedAtLoss));
        lostSaid = false;
        publishState();
    });
    if (!client->start()) {
        Console::err(client->error());
        return ExitCode::NoInput;
    }
    return fatalCode;
}

void Publisher::attach(Recorder &recorder)
{
    link->onWorker([&](ThreadCom *worker) {
        worker->addRecordSink(&recorder);
        worker->addRecordSink(&watch);
        worker->drainRecords();
        worker->ConnectSerialRead();
    });
}

// What the worker still holds reaches the recorder, and the port is let go.
void Publisher::detach(Recorder &recorder)
{
    link->onWorker([&](ThreadCom *worker) {
        worker->drainRecords();
        worker->removeRecordSink(&recorder);
        worker->removeRecordSink(&watch);
    });
    link->close();
    recorder.flush();
}

// A hub that vanishes ends the run, or with --reconnect is waited for while
// the broker connection stays up.
void Publisher::watchLink(QEventLoop &loop, Recorder &recorder, HubReturn &hubReturn)
{
    if (!options.reconnect) {
        QObject::connect(link.get(), &HubLink::failed, &loop, &QEventLoop::quit);
        return;
    }
    // Queued: the link is closed and later replaced, never inside its own signal.
    // Once the run ends, the waits of its last words see to a link that fails.
    QObject::connect(link.get(), &HubLink::failed, &loop, [this, &loop, &recorder, &hubReturn] {
        if (!loop.isRunning())
            return;
        detach(recorder);
        hubPresent = false;
        client->publishRetained(statusTopic, "offline");
        hubReturn.await(link->portName(), report.identity.SerialNo);
    }, Qt::QueuedConnection);
}

int Publisher::run(Interrupts &interrupts)
{
    QEventLoop loop;
    if (const int code = startClient(loop))
        return code;

    LineOutlet outlet([this](const QByteArray &line) { takeLine(line); });
    outlet.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    Recorder::Setup setup;
    setup.format = RecordWriter::Format::JsonLines;
    setup.averaging = Recorder::Averaging::None;
    Recorder recorder(&outlet, setup);
    recorder.begin();

    QObject::connect(&interrupts, &Interrupts::interrupted, &loop, &QEventLoop::quit);
    HubReturn hubReturn(QStringLiteral("publish"), interrupts);
    watchLink(loop, recorder, hubReturn);
    QObject::connect(&hubReturn, &HubReturn::returned, &loop, [&] {
        link = hubReturn.take();
        // The hub may have come back in other modes.
        report = link->report();
        watch.forget();
        hubPresent = true;
        watchLink(loop, recorder, hubReturn);
        attach(recorder);
        if (client->isConnected())
            publishState();
    });
    QTimer ticker, infoTicker, rateTicker;
    QObject::connect(&ticker, &QTimer::timeout, &loop, [&] { recorder.flush(); });
    QObject::connect(&infoTicker, &QTimer::timeout, &loop, [&] { checkInfo(); });
    QObject::connect(&rateTicker, &QTimer::timeout, &loop, [&] {
        recorder.flush();
        sendNewest();
    });
    ticker.start(TickMs);
    infoTicker.start(InfoEveryMs);
    rateClock.start();
    if (options.maxRate > 0) {
        rateTicker.setTimerType(Qt::PreciseTimer);
        rateTicker.start(qMax(1, 1000 / options.maxRate));
    }
    attach(recorder);
    if (!fatalCode)
        loop.exec();
    // No try may attach a hub to the recorder from here on.
    hubReturn.stop();
    if (hubPresent)
        detach(recorder);
    recorder.stop();
    recorder.flush();
    if (options.maxRate > 0)
        sendNewest();
    client->finish(FinishMs, statusTopic, "offline");
    // What finish() could not send is as lost as what the queue dropped.
    const qint64 lost = client->dropped() + client->waiting();
    if (options.maxRate > 0)
        Console::err(QStringLiteral("publish: %1 records, %2 dropped (of %3 read, --max-rate %4)")
                         .arg(handedOver)
                         .arg(lost)
                         .arg(recorder.rows())
                         .arg(options.maxRate));
    else
        Console::err(QStringLiteral("publish: %1 records, %2 dropped").arg(handedOver).arg(lost));
    if (fatalCode)
        return fatalCode;
    if (interrupts.received())
        return ExitCode::Interrupted;
    if (!link->failure().isEmpty()) {
        Console::err(link->failure());
        return link->failureCode();
    }
    return ExitCode::Success;
}

int runPublish(const PublishOptions &options, const QString &port, Interrupts &interrupts)
{
    int exitCode = ExitCode::Success;
    std::unique_ptr<HubLink> link = CommandSupport::openHub(port, interrupts, exitCode);
    if (!link)
        return exitCode;
    const HubReport report = link->report();
    QString prefix = options.prefix;
    if (prefix.isEmpty()) {
        if (!report.reported.identity || report.identity.SerialNo.isEmpty()) {
            Console::err(QStringLiteral("The hub on %1 did not give its serial number. Give --topic-prefix.")
                             .arg(link->portName()));
            return ExitCode::HubFailed;
        }
        prefix = QStringLiteral("pellix/") + topicSafe(report.identity.SerialNo);
    }
    return Publisher(options, std::move(link), prefix).run(interrupts);
}

} // namespace

int Commands::publish(const QStringList &arguments, const QString &port, Interrupts &interrupts)
{
    PublishOptions options;
    const int parsed = parsePublish(arguments, options);
    return parsed != CommandSupport::Proceed ? parsed : runPublish(options, port, interrupts);
}
