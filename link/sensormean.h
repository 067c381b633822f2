// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef SENSORMEAN_H
#define SENSORMEAN_H

#include "hubprotocol.h"

#include <QList>

// The display's mean of the newest samples of each sensor, for a reader that
// starts in the middle of a stream: its histories hold only what it was given,
// so its first mean is its first record, not a mean with zeros that never came.
class SensorMean
{
public:
    SensorMean();
    // The mean of the newest n records given, this one included; with
    // skipZeros a 0 counts as no reading.
    HubProtocol::Readings push(const HubProtocol::Readings &readings, int n, bool skipZeros);

private:
    QList<QList<qint16>> histories;
};

#endif // SENSORMEAN_H
