// SPDX-License-Identifier: GPL-3.0-or-later
#include "publishrun.h"

#include "benchsupport.h"
#include "childprocess.h"
#include "mosquittobroker.h"
#include "mqttsubscriber.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

const qint64 SecondNs = 1000000000;

// The record index that sensors 0 and 1 of a JSON line carry, without a JSON
// parser on the receiving thread: the writer's keys are fixed.
int indexOf(const char *payload, int length)
{
    const std::string text(payload, size_t(length));
    const size_t s0 = text.find("\"s0\":");
    const size_t s1 = text.find("\"s1\":");
    if (s0 == std::string::npos || s1 == std::string::npos)
        return -1;
    return recordIndex(std::atoi(text.c_str() + s0 + 5), std::atoi(text.c_str() + s1 + 5));
}

double percentile(std::vector<double> &values, double p)
{
    if (values.empty())
        return std::nan("");
    const size_t at = std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5));
    std::nth_element(values.begin(), values.begin() + long(at), values.end());
    return values[at];
}

} // namespace

PublishResult runPublish(const QString &hubctl, double speedFactor, char displayMode, int seconds, int qos,
                         const QVector<HubSimulator::Readings> &script)
{
    PublishResult result;
    MosquittoBroker broker;
    if (!broker.start()) {
        result.error = broker.error();
        return result;
    }
    HubSimulator hub;
    hub.setScript(script);
    hub.setSpeedFactor(speedFactor);
    hub.setCyclePeriodMs(0);
    hub.setMask(0xFF);
    hub.setDisplayMode(displayMode);
    hub.setOperatingMode('P');
    hub.setStreaming(false);
    if (!hub.start()) {
        result.error = QStringLiteral("cannot start the simulated hub");
        return result;
    }
    MqttSubscriber subscriber(indexOf);
    if (!subscriber.start(broker.port(), QStringLiteral("pellix/+/records"), qos)) {
        result.error = QStringLiteral("the subscriber cannot subscribe");
        return result;
    }
    hub.setRecordLog(true);

    // As the stream bench does: records from half a second after the tool
    // identified the hub until 1.5 s before its time is up; then 1.5 s for the
    // last ones to arrive before the tool gets SIGTERM, as a service's stop.
    qint64 identifiedNs = -1, streamOnNs = -1, streamOffNs = -1;
    ProcSample brokerFrom {}, brokerTo {};
    MachineCpu machineFrom {}, machineTo {};
    std::vector<HubSimulator::RecordWrite> writes;
    writes.reserve(size_t(kScriptLength));
    const auto keepLog = [&] {
        for (const HubSimulator::RecordWrite &w : hub.takeRecordLog())
            writes.push_back(w);
    };
    qint64 lastLogTake = 0;
    const QStringList arguments = {QStringLiteral("--port"), hub.portPath(), QStringLiteral("publish"),
                                   QStringLiteral("--broker"), QStringLiteral("mqtt://127.0.0.1:%1").arg(broker.port()),
                                   QStringLiteral("--qos"), QString::number(qos)};
    const ChildRun run = runChild(hubctl, arguments, [&](qint64 t) {
        if (t - lastLogTake > SecondNs / 4) {
            keepLog();
            lastLogTake = t;
        }
        if (identifiedNs < 0 && hub.received().contains("RRI"))
            identifiedNs = t;
        if (identifiedNs >= 0 && streamOnNs < 0 && t >= identifiedNs + SecondNs / 2) {
            hub.setStreaming(true);
            streamOnNs = t;
        }
        if (streamOnNs >= 0 && brokerFrom.tNs == 0 && t >= streamOnNs + SecondNs) {
            sampleProc(broker.processId(), t, brokerFrom);
            machineFrom = machineCpu();
        }
        if (streamOnNs >= 0 && streamOffNs < 0 && t >= identifiedNs + seconds * SecondNs - 3 * SecondNs / 2) {
            hub.setStreaming(false);
            streamOffNs = t;
            sampleProc(broker.processId(), t, brokerTo);
            machineTo = machineCpu();
        }
        return streamOffNs >= 0 && t >= streamOffNs + 3 * SecondNs / 2;
    });
    hub.setStreaming(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    keepLog();
    result.sent = hub.recordsSent();
    hub.stop();
    subscriber.stop();
    broker.stop();
    if (!run.started) {
        result.error = QStringLiteral("cannot start %1").arg(hubctl);
        return result;
    }
    result.status = run.status;
    result.summary = run.err;
    result.flowS = streamOnNs >= 0 && streamOffNs >= 0 ? double(streamOffNs - streamOnNs) / 1e9 : 0;

    // Every record written against what arrived, by index. The script comes
    // round again after kScriptLength records (some 86 s at ten times the
    // wire), so both sequences are unwrapped: each index is taken as the
    // nearest one after the previous, forwards or back.
    const auto unwrap = [](qint64 previous, int index) {
        qint64 step = (index - previous % kScriptLength + kScriptLength) % kScriptLength;
        if (step > kScriptLength / 2)
            step -= kScriptLength;
        return previous < 0 ? qint64(index) : previous + step;
    };
    std::vector<qint64> writtenAt;
    writtenAt.reserve(writes.size());
    qint64 position = -1;
    for (const HubSimulator::RecordWrite &w : writes) {
        if (w.scriptIndex < 0)
            continue;
        position = unwrap(position, w.scriptIndex);
        if (position >= 0 && position < qint64(writes.size()) + kScriptLength) {
            if (size_t(position) >= writtenAt.size())
                writtenAt.resize(size_t(position) + 1, -1);
            writtenAt[size_t(position)] = w.steadyNs;
        }
    }
    std::vector<int> arrivals(writtenAt.size(), 0);
    std::vector<double> latencies;
    const std::vector<MqttSubscriber::Receipt> receipts = subscriber.take();
    result.messages = qint64(receipts.size());
    latencies.reserve(receipts.size());
    position = -1;
    for (const MqttSubscriber::Receipt &r : receipts) {
        if (r.key < 0) {
            ++result.unreadable;
            continue;
        }
        position = unwrap(position, r.key);
        if (position < 0 || position >= qint64(writtenAt.size())) {
            ++result.unreadable;   // no record the hub wrote
            continue;
        }
        if (++arrivals[size_t(position)] > 1)
            ++result.doubled;
        if (writtenAt[size_t(position)] >= 0)
            latencies.push_back(double(r.steadyNs - writtenAt[size_t(position)]) / 1e6);
    }
    for (size_t i = 0; i < writtenAt.size(); ++i) {
        if (writtenAt[i] >= 0 && arrivals[i] == 0)
            ++result.missing;
    }
    result.latencyMedianMs = percentile(latencies, 0.5);
    result.latencyP99Ms = percentile(latencies, 0.99);
    result.latencyMaxMs = latencies.empty() ? std::nan("") : *std::max_element(latencies.begin(), latencies.end());

    // The tool's CPU and memory, as the stream bench takes them.
    const long ticksPerS = sysconf(_SC_CLK_TCK);
    const auto share = [&](const ProcSample &a, const ProcSample &b) {
        return b.tNs > a.tNs ? 100.0 * double(b.ticks - a.ticks) / double(ticksPerS) / (double(b.tNs - a.tNs) / 1e9)
                             : std::nan("");
    };
    const ProcSample *flowFrom = nullptr, *flowTo = nullptr, *atStart = nullptr, *end = nullptr;
    const qint64 startNs = std::min<qint64>(5 * SecondNs, qint64(seconds) * SecondNs / 2);
    for (const ProcSample &s : run.samples) {
        if (!atStart && s.tNs >= startNs)
            atStart = &s;
        if (streamOnNs >= 0 && !flowFrom && s.tNs >= streamOnNs + SecondNs)
            flowFrom = &s;
        if (streamOffNs >= 0 && s.tNs <= streamOffNs)
            flowTo = &s;
        // The last sample before the SIGTERM: what the tool held while it ran.
        if (streamOffNs >= 0 && s.tNs <= streamOffNs + 3 * SecondNs / 2)
            end = &s;
        result.rssMaxKb = std::max(result.rssMaxKb, s.rssKb);
    }
    result.cpuFlow = flowFrom && flowTo ? share(*flowFrom, *flowTo) : std::nan("");
    result.cpuWhole = run.wallNs > 0 ? 100.0 * run.rusageCpuS / (double(run.wallNs) / 1e9) : std::nan("");
    result.brokerCpuFlow = share(brokerFrom, brokerTo);
    result.rssStartS = double(startNs) / 1e9;
    result.rssStartKb = atStart ? atStart->rssKb : -1;
    result.rssEndKb = end ? end->rssKb : -1;
    // Over the same window as the broker's figure: this process, then the
    // rest less the tool and the broker.
    const double windowS = double(brokerTo.tNs - brokerFrom.tNs) / 1e9;
    if (windowS > 0 && flowFrom && flowTo) {
        const double toolCores = result.cpuFlow / 100.0;
        result.hubCores = double(machineTo.self - machineFrom.self) / double(ticksPerS) / windowS;
        result.othersCores = double(machineTo.busy - machineFrom.busy) / double(ticksPerS) / windowS
                             - result.hubCores - toolCores - result.brokerCpuFlow / 100.0;
    } else {
        result.hubCores = result.othersCores = std::nan("");
    }
    return result;
}
