// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef BENCHSUPPORT_H
#define BENCHSUPPORT_H

#include "hubsimulator.h"

#include <QString>

#include <string>

// What the bench programs share: the time, the machine's load and records
// that say which they are.

qint64 nowNs();
std::string readFile(const std::string &path);

// Busy jiffies of the whole machine and of this process, to tell how much of
// the machine others were using while a figure was measured.
struct MachineCpu
{
    long long busy = 0;
    long long self = 0;
};
MachineCpu machineCpu();
QString loadAverage();
QString cpuModel();

// Sensors 0 and 1 carry a record's index in the script, two base-63 digits
// each, every byte within 1..63: never "P", "H" or "C", so no value can pass
// for a header or a configuration reply, and never 0, so the binary mean
// (which leaves zeros out) shows the reading itself. An index comes round
// again only after kScriptLength records (some 90 s at ten times the wire).
const int kScriptLength = 1 << 19;
HubSimulator::Readings recordReadings(int index);
// The index two readings carry, or -1.
int recordIndex(int s0, int s1);

const double kBitTimeS = 1.0 / 115200.0;

#endif // BENCHSUPPORT_H
