// SPDX-License-Identifier: GPL-3.0-or-later
#include "sensormean.h"

using namespace HubProtocol;

SensorMean::SensorMean()
{
    for (int k = 0; k < SensorCount; ++k)
        histories.append(QList<qint16>());
}

Readings SensorMean::push(const Readings &readings, int n, bool skipZeros)
{
    // Each push drops a history's oldest sample: until a history is full, a
    // placeholder is there to be dropped instead.
    for (QList<qint16> &history : histories)
        if (history.size() < HistoryLength)
            history.append(0);
    Readings values = readings;
    averageReadings(histories, values, n, skipZeros);
    return values;
}
