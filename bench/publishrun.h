// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef PUBLISHRUN_H
#define PUBLISHRUN_H

#include "hubsimulator.h"

#include <QString>
#include <QVector>

// One run of `pellix-hubctl publish` as a service runs it: the simulated hub
// in this process, the tool as a child process, a real mosquitto started for
// the run, and a subscriber in this process that stamps every record as it
// arrives. The hub logs when it wrote each record, so every record sent is
// either received (and how late) or missing.
struct PublishResult
{
    QString error;                  // the run could not be made
    int status = -1;                // the tool's exit code (130: the bench's SIGTERM)
    QString summary;                // what the tool said on standard error
    double flowS = 0;               // how long the hub streamed
    int sent = 0;                   // recordsSent()
    long long messages = 0;         // messages the subscriber got on the records topic
    long long missing = 0;          // records the hub wrote that never arrived
    long long doubled = 0;          // records that arrived more than once
    long long unreadable = 0;       // messages that carried no record index
    double latencyMedianMs = 0, latencyP99Ms = 0, latencyMaxMs = 0;   // hub's write -> subscriber's receipt
    double cpuFlow = 0;             // the tool, % of a core while records flowed
    double cpuWhole = 0;            // the same, over its whole run (rusage)
    double brokerCpuFlow = 0;       // mosquitto, while records flowed
    double hubCores = 0;            // this process: the simulated hub and the subscriber
    double othersCores = 0;         // everything else on the machine
    long long rssStartKb = 0, rssEndKb = 0, rssMaxKb = 0;
    double rssStartS = 0;
};

PublishResult runPublish(const QString &hubctl, double speedFactor, char displayMode, int seconds, int qos,
                         const QVector<HubSimulator::Readings> &script);

#endif // PUBLISHRUN_H
