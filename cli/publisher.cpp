// SPDX-License-Identifier: GPL-3.0-or-later
#include "publisher.h"

#include "console.h"
#include "exitcode.h"
#include "hublink.h"
#include "hubreturn.h"
#include "interrupts.h"
#include "recorder.h"
#include "recordsink.h"
#include "threadcom.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <atomic>
#include <functional>

namespace {

// Records reach the broker client this often: latency, not throughput.
const int TickMs = 50;
// The info message follows a change of the drop count at most this often.
const int InfoEveryMs = 1000;
// What the broker gets of the last records and the offline word at the end.
const int FinishMs = 3000;
// A broker away for hours must not fill the journal: the drop count is said
// at most this often (and again when the broker is back).
const int DropNewsEveryMs = 10000;

// The recorder's output: every whole JSON line it writes becomes one call, so
// the records take the stream's one path and keep its exact text.
class LineOutlet : public QIODevice
{
public:
    explicit LineOutlet(std::function<void(const QByteArray &)> take)
        : take(std::move(take)) { }

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

} // namespace

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
    std::atomic<int> modes{-1};
};

namespace {

QString topicSafe(QString text)
{
    return text.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9_-]")), QStringLiteral("_"));
}

} // namespace

Publisher::Publisher(const PublishOptions &options, std::unique_ptr<HubLink> link, QString prefix)
    : options(options)
    , link(std::move(link))
    , prefix(std::move(prefix))
    , report(this->link->report())
    , watch(std::make_unique<ModeWatch>())
{
}

Publisher::~Publisher() = default;

QString Publisher::defaultPrefix(const HubReport &report)
{
    if (!report.reported.identity || report.identity.SerialNo.isEmpty())
        return QString();
    return QStringLiteral("pellix/") + topicSafe(report.identity.SerialNo);
}

// Home Assistant's MQTT discovery: one retained config a sensor, all of one device.
void Publisher::publishDiscovery()
{
    const QString node = QStringLiteral("pellix_") + topicSafe(report.identity.SerialNo);
    const QJsonObject device{{QStringLiteral("identifiers"), QJsonArray{node}},
                             {QStringLiteral("name"), QStringLiteral("Pellix hub %1").arg(report.identity.SerialNo)},
                             {QStringLiteral("manufacturer"), QStringLiteral("Pellix")},
                             {QStringLiteral("model"), report.identity.DeviceName},
                             {QStringLiteral("sw_version"), report.identity.FirmwareVersion}};
    const QList<int> connected = report.sensors();
    for (int k = 0; k < HubProtocol::SensorCount; ++k) {
        const QString topic = QStringLiteral("%1/sensor/%2/s%3/config").arg(options.discoveryPrefix, node).arg(k);
        // A sensor the hub does not report is no entity; an empty retained
        // message takes back one an earlier configuration made.
        if (report.reported.mask && !connected.contains(k)) {
            client->publishRetained(topic, QByteArray());
            continue;
        }
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
        client->publishRetained(topic, QJsonDocument(config).toJson(QJsonDocument::Compact));
    }
}

QByteArray Publisher::info() const
{
    QJsonObject object = QJsonDocument::fromJson(report.json()).object();
    object.insert(QStringLiteral("dropped"), double(client->dropped()));
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

void Publisher::publishState()
{
    // Also while the hub is awaited: a broker that comes back then still learns of the hub.
    client->publishRetained(statusTopic, hubPresent ? "online" : "offline");
    client->publishRetained(prefix + QStringLiteral("/info"), info());
    infoDropped = client->dropped();
    if (!options.discoveryPrefix.isEmpty())
        publishDiscovery();
}

void Publisher::takeLine(const QByteArray &line)
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
void Publisher::sendNewest()
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
void Publisher::checkInfo()
{
    const int modes = watch->value();
    bool changed = client->dropped() != infoDropped;
    if (modes >= 0 && (modes >> 8 != report.operatingMode || (modes & 0xFF) != report.displayMode)) {
        report.operatingMode = uchar(modes >> 8);
        report.displayMode = uchar(modes & 0xFF);
        report.reported.operatingMode = report.reported.displayMode = true;
        changed = true;
    }
    // A broker that stalls keeps the connection and takes nothing: what the
    // queue lets go then is as much news as while it is away.
    if (client->dropped() > saidDropped && (!saidDropClock.isValid() || saidDropClock.hasExpired(DropNewsEveryMs))) {
        saidDropClock.start();
        if (client->isConnected())
            Console::err(QStringLiteral("publish: the broker at %1 is not taking the records as fast as they come; "
                                        "%2 records dropped so far (the newest %3 are kept).")
                             .arg(client->address())
                             .arg(client->dropped())
                             .arg(options.broker.queueLimit));
        else
            Console::err(QStringLiteral("publish: the broker is still away; %1 records dropped so far (the newest "
                                        "%2 are kept).")
                             .arg(client->dropped())
                             .arg(options.broker.queueLimit));
        saidDropped = client->dropped();
    }
    if (changed && client->isConnected() && client->publishRetained(prefix + QStringLiteral("/info"), info()))
        infoDropped = client->dropped();
}

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
                                    "link stays up.")
                         .arg(client->address(), reason)
                         .arg(retryMs / 1000.0));
    });
    QObject::connect(client.get(), &MqttClient::connected, &loop, [this] {
        if (lostSaid)
            Console::err(QStringLiteral("publish: connected to the broker at %1 again; %2 records dropped while it "
                                        "was away.")
                             .arg(client->address())
                             .arg(client->dropped() - droppedAtLoss));
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
        worker->addRecordSink(watch.get());
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
        worker->removeRecordSink(watch.get());
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
    QObject::connect(
        link.get(), &HubLink::failed, &loop, [this, &loop, &recorder, &hubReturn] {
            if (!loop.isRunning())
                return;
            detach(recorder);
            hubPresent = false;
            client->publishRetained(statusTopic, "offline");
            hubReturn.await(link->portName(), report.identity.SerialNo);
        },
        Qt::QueuedConnection);
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
        watch->forget();
        hubPresent = true;
        watchLink(loop, recorder, hubReturn);
        attach(recorder);
        if (client->isConnected())
            publishState();
    });
    startTickers(loop, recorder);
    attach(recorder);
    if (!fatalCode)
        loop.exec();
    // No try may attach a hub to the recorder from here on.
    hubReturn.stop();
    return finish(recorder, interrupts);
}

// Records reach the broker client every TickMs; info is looked at once a
// second; with --max-rate the newest record goes out on a timer of its own.
void Publisher::startTickers(QEventLoop &loop, Recorder &recorder)
{
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
}

// The last records and the offline word, the count on standard error.
int Publisher::finish(Recorder &recorder, Interrupts &interrupts)
{
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
