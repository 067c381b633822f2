// SPDX-License-Identifier: GPL-3.0-or-later
#include "hubprotocol.h"

#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <climits>

namespace HubProtocol {

namespace {

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// An identity field is text up to its first NUL, if it holds one.
QString fieldText(const QByteArray &field)
{
    const int nul = field.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? field : field.left(nul));
}

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isWellFormedReply(const QByteArray &data, int pos)
{
    if (pos + 4 >= data.size())
        return false;
    const uchar operating = static_cast<uchar>(data.at(pos + 3));
    const uchar display = static_cast<uchar>(data.at(pos + 4));
    return isHexDigit(data.at(pos + 1)) && isHexDigit(data.at(pos + 2))
           && (operating == Fast || operating == Precise) && (display == Text || display == Binary);
}

} // namespace

Identity defaultIdentity()
{
    return Identity{QStringLiteral("PXHUB"), QStringLiteral("0"), QStringLiteral("1.0.0"),
                    QStringLiteral("STD")};
}

QByteArray connectedSensorsCommand(qint8 mask)
{
    const quint8 bits = static_cast<quint8>(mask);
    QByteArray command(1, 'C');
    command += QByteArray::number(bits, 16).toUpper().rightJustified(2, '0');
    return command;
}

QByteArray timeoutCommand(qint8 sensor, int milliseconds)
{
    QByteArray command(1, 'T');
    command += static_cast<char>(0x30 + sensor);
    command += QString::asprintf("%03d", milliseconds).toLatin1();
    // Three digit places: anything longer would spill into the next command.
    return command.left(5);
}

void readConfigReply(const QByteArray &data, int cPos, qint8 &mask, uchar &operatingMode,
                     uchar &displayMode)
{
    if (cPos < 0 || cPos >= data.size())
        return;
    if (cPos + 2 < data.size()) {
        // One hexadecimal number of two characters, low 8 bits: a sign or a
        // blank before a digit still reads ("-1" is every sensor), anything
        // else that is not a number ("1Z") is no sensor at all.
        bool ok = false;
        const int value = data.mid(cPos + 1, 2).toInt(&ok, 16);
        mask = ok ? static_cast<qint8>(value & 0xFF) : 0;
    }
    if (cPos + 3 < data.size()) {
        const uchar mode = static_cast<uchar>(data.at(cPos + 3));
        if (mode == Fast || mode == Precise)
            operatingMode = mode;
    }
    if (cPos + 4 < data.size()) {
        const uchar mode = static_cast<uchar>(data.at(cPos + 4));
        if (mode == Text || mode == Binary)
            displayMode = mode;
    }
}

namespace {

// The value bytes of every record in data. Records do not overlap: a header
// inside a record's values is one of its readings, and must not reach out over
// what follows the record, such as a reply. Also where the first record starts.
QByteArray recordValues(const QByteArray &data, int &firstHeader)
{
    QByteArray covered(data.size(), '\0');
    firstHeader = data.indexOf(RecordHeader);
    for (int at = firstHeader; at >= 0; at = data.indexOf(RecordHeader, at + BinaryFrameValueBytes)) {
        const int end = std::min(int(data.size()), at + BinaryFrameValueBytes);
        for (int i = at + RecordHeader.size(); i < end; ++i)
            covered[i] = 1;
    }
    return covered;
}

bool outsideValues(const QByteArray &covered, int pos, int length)
{
    for (int i = pos; i < std::min(int(covered.size()), pos + length); ++i)
        if (covered.at(i))
            return false;
    return true;
}

bool lineEndsAt(const QByteArray &data, int pos)
{
    return data.mid(pos, 2) == "\r\n" || data.mid(pos, 1) == "\n";
}

} // namespace

ConfigAnswer scanConfigAnswer(const QByteArray &data)
{
    ConfigAnswer answer;
    int firstHeader = -1;
    const QByteArray covered = recordValues(data, firstHeader);
    answer.records = firstHeader >= 0;
    // After the first header, a record's structure tells its values apart.
    const auto trusted = [&](int pos, int length) {
        return (firstHeader >= 0 && pos > firstHeader) || lineEndsAt(data, pos + length);
    };
    const int marker = BootLoaderMarker.size();
    for (int at = data.indexOf(BootLoaderMarker); at >= 0 && answer.bootLoader < 0;
         at = data.indexOf(BootLoaderMarker, at + 1)) {
        if (!outsideValues(covered, at, marker))
            continue;
        if (trusted(at, marker))
            answer.bootLoader = at;
        else if (answer.tentativeBootLoader < 0)
            answer.tentativeBootLoader = at;
    }
    for (int at = data.indexOf(ConfigReplyStart); at >= 0 && answer.reply < 0;
         at = data.indexOf(ConfigReplyStart, at + 1)) {
        if (!outsideValues(covered, at, 5))
            continue;
        if (answer.firstC < 0)
            answer.firstC = at;
        if (!isWellFormedReply(data, at))
            continue;
        if (trusted(at, 5))
            answer.reply = at;
        else if (answer.tentativeReply < 0)
            answer.tentativeReply = at;
    }
    return answer;
}

bool isCutReply(const QByteArray &data, int pos)
{
    if (pos < 0 || pos + 5 <= data.size() || data.at(pos) != ConfigReplyStart)
        return false;
    for (int i = pos + 1; i < data.size(); ++i) {
        const char c = data.at(i);
        const bool fits = i - pos <= 2 ? isHexDigit(c) : i - pos == 3 ? (c == 'F' || c == 'P')
                                                                      : false;
        if (!fits)
            return false;
    }
    return true;
}

int findIdentificationLine(const QByteArray &data, QByteArray &line)
{
    int firstHeader = -1;
    const QByteArray covered = recordValues(data, firstHeader);
    for (int at = data.indexOf(IdentMarker); at >= 0; at = data.indexOf(IdentMarker, at + 1)) {
        if (!outsideValues(covered, at, IdentMarker.size()))
            continue;
        const int end = data.indexOf('\n', at);
        if (end < 0)
            return -1;
        line = data.mid(at, end + 1 - at);
        return at;
    }
    return -1;
}

ReplyFields replyFieldsSent(const QByteArray &data, int cPos)
{
    ReplyFields fields;
    if (cPos < 0)
        return fields;
    fields.mask = cPos + 2 < data.size() && isHexDigit(data.at(cPos + 1)) && isHexDigit(data.at(cPos + 2));
    if (cPos + 3 < data.size()) {
        const uchar mode = static_cast<uchar>(data.at(cPos + 3));
        fields.operatingMode = mode == Fast || mode == Precise;
    }
    if (cPos + 4 < data.size()) {
        const uchar mode = static_cast<uchar>(data.at(cPos + 4));
        fields.displayMode = mode == Text || mode == Binary;
    }
    return fields;
}

bool readIdentificationLine(const QByteArray &line, Identity &identity)
{
    const int marker = line.indexOf(IdentMarker);
    if (marker < 0)
        return false;
    // The line end is cut off the line, not off its last field: a type of
    // "STD" stays "STD" also after a line that ends in "\n" alone, a trailing
    // blank or a field more.
    QByteArray text = line.mid(marker);
    if (text.endsWith('\n'))
        text.chop(text.endsWith("\r\n") ? 2 : 1);
    const QList<QByteArray> fields = text.split(' ');
    if (fields.size() < 5)
        return false;
    const QByteArray type = fields.at(4);
    identity.DeviceName = fieldText(fields.at(1));
    identity.SerialNo = fieldText(fields.at(2));
    identity.FirmwareVersion = fieldText(fields.at(3));
    identity.FirmwareType = fieldText(type);
    return true;
}

int findHeader(const QByteArray &data)
{
    return data.indexOf(RecordHeader);
}

bool decodeBinaryFrame(const QByteArray &data, int pos, Readings &readings)
{
    if (pos < 0 || data.size() - pos < BinaryFrameValueBytes)
        return false;
    const char *frame = data.constData() + pos + RecordHeader.size();
    for (int k = 0; k < SensorCount; ++k) {
        const quint16 word = static_cast<quint16>(static_cast<uchar>(frame[2 * k]) << 8
                                                  | static_cast<uchar>(frame[2 * k + 1]));
        readings[k] = static_cast<qint16>(word);
    }
    return true;
}

bool takeBinaryFrame(QByteArray &pending, const QByteArray &incoming, Readings &readings)
{
    const QByteArray chunk = pending + incoming;
    pending.clear();
    const int header = findHeader(chunk);
    if (header < 0) {
        if (chunk.endsWith(RecordHeader.at(0)))
            pending = RecordHeader.left(1);
        return false;
    }
    if (!decodeBinaryFrame(chunk, header, readings)) {
        // Rather than lose a record to where the read happened to split.
        pending = chunk.mid(header);
        return false;
    }
    return true;
}

qint16 parseTextReading(const QByteArray &field)
{
    int i = 0;
    const int size = field.size();
    while (i < size && isSpace(field.at(i)))
        ++i;
    bool negative = false;
    if (i < size && (field.at(i) == '-' || field.at(i) == '+'))
        negative = field.at(i++) == '-';
    const int firstDigit = i;
    qint64 value = 0;
    while (i < size && field.at(i) >= '0' && field.at(i) <= '9') {
        value = value * 10 + (field.at(i) - '0');
        if (value > qint64(INT_MAX) + 1)
            return 0;
        ++i;
    }
    if (i == firstDigit)
        return 0;
    while (i < size && isSpace(field.at(i)))
        ++i;
    if (i != size)
        return 0;
    if (negative)
        value = -value;
    if (value > INT_MAX || value < INT_MIN)
        return 0;
    return static_cast<qint16>(static_cast<quint16>(value & 0xFFFF));
}

bool decodeTextLine(const QByteArray &line, Readings &readings)
{
    if (line.size() < TextLineMinimum || line.size() > TextLineMaximum)
        return false;
    if (!line.contains(RecordHeader))
        return false;
    QList<QByteArray> fields = line.split('\t');
    fields.removeFirst();
    if (!fields.isEmpty() && fields.last().size() > 2)
        fields.last().chop(2);
    if (fields.size() < SensorCount)
        return false;
    for (int k = 0; k < SensorCount; ++k)
        readings[k] = parseTextReading(fields.at(k));
    return true;
}

qint16 pushAndAverage(QList<qint16> &history, qint16 sample, int n, bool skipZeros)
{
    if (!history.isEmpty())
        history.removeLast();
    history.prepend(sample);
    n = qBound(1, n, history.size());
    int sum = 0;
    int zeros = 0;
    for (int i = 0; i < n; ++i) {
        sum += history.at(i);
        if (history.at(i) == 0)
            ++zeros;
    }
    const int divisor = skipZeros ? n - zeros : n;
    if (divisor == 0)
        return 0;
    return static_cast<qint16>(sum / divisor);
}

void averageReadings(QList<QList<qint16>> &histories, Readings &readings, int n, bool skipZeros)
{
    for (int k = 0; k < SensorCount && k < histories.size(); ++k)
        readings[k] = pushAndAverage(histories[k], readings[k], n, skipZeros);
}

} // namespace HubProtocol
