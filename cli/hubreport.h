// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef HUBREPORT_H
#define HUBREPORT_H

#include "hubprotocol.h"
#include "threadcom.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// A hub's configuration and identity as the tool prints them: "key: value"
// lines, or one JSON object with the same keys. What the hub did not send is
// "unknown" in the lines and null in JSON, never the host's assumption.
struct HubReport
{
    QString port;
    HubProtocol::Identity identity;
    qint8 mask = 0;
    uchar operatingMode = HubProtocol::Precise;
    uchar displayMode = HubProtocol::Text;
    ThreadCom::Reported reported;

    QString output() const;     // "binary", "text" or "unknown"
    QString mode() const;       // "fast", "precise" or "unknown"
    QString maskText() const;   // two upper-case hex digits, or "unknown"
    QList<int> sensors() const; // the sensor numbers the mask enables
    QStringList lines() const;
    QByteArray json() const; // compact, no line end
};

#endif // HUBREPORT_H
