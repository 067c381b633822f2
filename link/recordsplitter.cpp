// SPDX-License-Identifier: GPL-3.0-or-later
#include "recordsplitter.h"

using namespace HubProtocol;

namespace {

// A hub that never ends its line must not pile it up for ever; no record is
// anywhere near this long.
const int LongestKeptLine = 4096;

enum class Shape { Line,
                   MaybeLine,
                   NoLine };

// Whether data holds, from at, a text record as the hub writes it: the header,
// eight readings each after a tab, and the line end. A frame whose readings
// start with a tab matches for a few bytes, never for a whole line.
Shape textLineAt(const QByteArray &data, int at, int &length)
{
    const int size = data.size();
    int i = at + RecordHeader.size();
    const auto ended = [&] { return i >= size; };
    for (int field = 0; field < SensorCount; ++field) {
        if (ended())
            return Shape::MaybeLine;
        if (data.at(i++) != '\t')
            return Shape::NoLine;
        if (!ended() && data.at(i) == '-')
            ++i;
        const int digits = i;
        while (!ended() && data.at(i) >= '0' && data.at(i) <= '9' && i - digits < 11)
            ++i;
        if (ended())
            return Shape::MaybeLine;
        if (i == digits)
            return Shape::NoLine;
    }
    for (const char c : {'\r', '\n'}) {
        if (ended())
            return Shape::MaybeLine;
        if (data.at(i++) != c)
            return Shape::NoLine;
    }
    length = i - at;
    return Shape::Line;
}

// The frame at header goes to records and from moves past it; a frame not yet
// whole stays, with from at its header, for the next read to complete.
bool takeFrame(const QByteArray &pending, int header, QVector<Readings> &records, int &from)
{
    Readings readings;
    if (!decodeBinaryFrame(pending, header, readings)) {
        from = header;
        return false;
    }
    records.append(readings);
    from = header + BinaryFrameValueBytes;
    return true;
}

} // namespace

void RecordSplitter::setDisplayMode(uchar displayMode)
{
    leavingText = false;
    leavingBinary = false;
    mode = displayMode;
    pending.clear();
    skippingLine = false;
}

// What was kept is the start of a record of the old encoding: it stays, to be
// completed by what comes next.
void RecordSplitter::switchDisplayMode(uchar displayMode)
{
    if ((mode == Binary) == (displayMode == Binary)) {
        mode = displayMode;
        return;
    }
    leavingText = mode != Binary;
    leavingBinary = mode == Binary;
    mode = displayMode;
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

// Where what is kept starts when no header follows from: a last "P" may open
// a header the next read completes; not one of the values of a frame taken.
int RecordSplitter::headerStartFrom(int from) const
{
    const int last = pending.size() - 1;
    return last >= from && pending.endsWith(RecordHeader.at(0)) ? last : pending.size();
}

// A frame is its header and sixteen value bytes; whatever the hub puts after
// them is passed over up to the next header.
void RecordSplitter::takeFrames(QVector<Readings> &records)
{
    int from = 0;
    for (;;) {
        const int header = pending.indexOf(RecordHeader, from);
        if (header < 0) {
            from = headerStartFrom(from);
            break;
        }
        if (leavingText) {
            int length = 0;
            const Shape shape = textLineAt(pending, header, length);
            if (shape == Shape::Line) {
                Readings readings;
                if (decodeTextLine(pending.mid(header, length), readings))
                    records.append(readings);
                from = header + length;
                continue;
            }
            if (shape == Shape::MaybeLine) {
                from = header;
                break;
            }
        }
        if (!takeFrame(pending, header, records, from))
            break;
        leavingText = false;
    }
    pending.remove(0, from);
}

// Frames of the binary output still on their way after a switch to text come
// before the first line. A frame whose readings start like a line matches a
// few bytes of one, never a whole line.
void RecordSplitter::takeLeftoverFrames(QVector<Readings> &records)
{
    int from = 0;
    while (leavingBinary) {
        const int header = pending.indexOf(RecordHeader, from);
        if (header < 0) {
            from = headerStartFrom(from);
            break;
        }
        int length = 0;
        const Shape shape = textLineAt(pending, header, length);
        if (shape != Shape::NoLine) {
            // The first line, or maybe one: wait for the rest to tell.
            leavingBinary = shape == Shape::MaybeLine;
            from = header;
            break;
        }
        if (!takeFrame(pending, header, records, from))
            break;
    }
    pending.remove(0, from);
}

void RecordSplitter::takeLines(QVector<Readings> &records)
{
    takeLeftoverFrames(records);
    if (leavingBinary)
        return;
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
