// SPDX-License-Identifier: GPL-3.0-or-later
#include "recordsplitter.h"

using namespace HubProtocol;

namespace {

// A hub that never ends its line must not pile it up for ever; no record is
// anywhere near this long.
const int LongestKeptLine = 4096;

} // namespace

void RecordSplitter::setDisplayMode(uchar displayMode)
{
    leavingText = mode != Binary && displayMode == Binary;
    mode = displayMode;
    pending.clear();
    skippingLine = false;
}

QVector<Readings> RecordSplitter::feed(const QByteArray &bytes)
{
    pending += bytes;
    QVector<Readings> records;
    if (mode == Binary)
        takeFrames(records);
    else
        takeLines(records);
    return records;
}

// A frame is its header and sixteen value bytes; whatever the hub puts after
// them is passed over up to the next header.
void RecordSplitter::takeFrames(QVector<Readings> &records)
{
    int from = 0;
    for (;;) {
        const int header = pending.indexOf(RecordHeader, from);
        if (header < 0) {
            // Keep a last "P": it may open a header the next read completes.
            from = pending.endsWith(RecordHeader.at(0)) ? pending.size() - 1 : pending.size();
            break;
        }
        if (leavingText && header + 2 < pending.size() && pending.at(header + 2) == '\t') {
            from = header + RecordHeader.size();
            continue;
        }
        Readings readings;
        if (!decodeBinaryFrame(pending, header, readings)) {
            from = header;
            break;
        }
        leavingText = false;
        records.append(readings);
        from = header + BinaryFrameValueBytes;
    }
    pending.remove(0, from);
}

void RecordSplitter::takeLines(QVector<Readings> &records)
{
    int from = 0;
    for (int end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n', from)) {
        const QByteArray line = pending.mid(from, end + 1 - from);
        from = end + 1;
        if (skippingLine) {
            skippingLine = false;
            continue;
        }
        Readings readings;
        if (decodeTextLine(line, readings))
            records.append(readings);
    }
    pending.remove(0, from);
    if (pending.size() > LongestKeptLine) {
        pending.clear();
        skippingLine = true;
    }
}
