// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef RECORDSPLITTER_H
#define RECORDSPLITTER_H

#include "hubprotocol.h"

#include <QByteArray>
#include <QVector>

// Cuts what the hub streams into every whole record it holds, binary frames or
// text lines, whatever the read boundaries: a record cut by the end of one read
// is completed by the next. The display's readers take one record per
// notification, which suits a screen; whoever keeps the readings as data gets
// them all from here.
class RecordSplitter
{
public:
    // Which encoding the stream is in from here, as at the start of a stream:
    // whatever was kept is dropped.
    void setDisplayMode(uchar displayMode);
    // The hub was told to change its encoding while it streams: records of the
    // old one may still be on their way, and are taken as what they are, up
    // to the first record of the new one.
    void switchDisplayMode(uchar displayMode);
    uchar displayMode() const { return mode; }

    // The readings of every record that the bytes so far complete, in order.
    QVector<HubProtocol::Readings> feed(const QByteArray &bytes);

private:
    void takeFrames(QVector<HubProtocol::Readings> &records);
    void takeLines(QVector<HubProtocol::Readings> &records);
    void takeLeftoverFrames(QVector<HubProtocol::Readings> &records);
    int headerStartFrom(int from) const;

    uchar mode = HubProtocol::Text;
    QByteArray pending;
    // The start of a line far too long for a record was dropped; its tail
    // must not pass for one.
    bool skippingLine = false;
    // Just switched to binary frames: text lines still on their way open with
    // a header too, and must not pass for frames. A whole text line is taken
    // as the line it is; a frame (whose readings may start like a line) ends
    // this.
    bool leavingText = false;
    // Just switched to text lines: frames still on their way are taken as
    // frames until a whole text line starts.
    bool leavingBinary = false;
};

#endif // RECORDSPLITTER_H
