// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef RECORDSINK_H
#define RECORDSINK_H

#include "hubprotocol.h"

// Whoever keeps the hub's readings as data: the worker hands it every whole
// record, on the worker's own thread, before any mean and whatever the display
// does with it. A sink must be quick: the port waits while it works.
class RecordSink
{
public:
    virtual ~RecordSink() = default;
    virtual void takeRecord(const HubProtocol::Readings &readings, uchar operatingMode,
                            uchar displayMode) = 0;
};

#endif // RECORDSINK_H
