// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef HUBPROTOCOL_H
#define HUBPROTOCOL_H

#include <QByteArray>
#include <QList>
#include <QString>

#include <array>

// The hub's byte protocol: every literal the program writes or looks for, and
// the pure byte work on what the hub sends. Nothing here touches a port, so the
// worker, the tests and the fuzz targets share exactly the same decoding.
namespace HubProtocol {

// Commands, host to hub. Each is written in one write of exactly its length,
// with no terminator.
const QByteArray ConfigQuery("HCF");
const QByteArray IdentQuery("RRI");
const QByteArray BinaryOutput("BBB");
const QByteArray TextOutput("TTT");
const QByteArray FastMode("FFF");
const QByteArray PreciseMode("PPP");
const QByteArray EnterBootLoader("TUF");

// Replies and markers, hub to host.
const char ConfigReplyStart = 'C';
const QByteArray BootLoaderMarker("BOOTM");
const QByteArray IdentMarker("ID PXHUB");
const QByteArray RecordHeader("PH");

const uchar Fast = 'F';
const uchar Precise = 'P';
const uchar Binary = 'B';
const uchar Text = 'T';

const int SensorCount = 8;
const int BinaryFrameValueBytes = 18; // header and eight 16-bit readings
const int BinaryMinimumWaiting = 19;  // the binary reader starts on a frame from here
const int TextLineMinimum = 28;       // "\r\n" included
const int TextLineMaximum = 52;
const int HistoryLength = 50;

using Readings = std::array<qint16, SensorCount>;

struct Identity
{
    QString DeviceName;
    QString SerialNo;
    QString FirmwareVersion;
    QString FirmwareType;
};

// What the host assumes until the hub has identified itself.
Identity defaultIdentity();

// "C" and the 8-bit mask as exactly two upper-case hex digits (sensor 7 is bit 7,
// so a negative mask is written as its byte value).
QByteArray connectedSensorsCommand(qint8 mask);
// "T", the sensor digit, and the timeout in ms as three digits; always 5 bytes.
QByteArray timeoutCommand(qint8 sensor, int milliseconds);

// Reads the configuration reply whose "C" is at cPos in data. Only bytes that
// arrived are read: a reply cut short leaves the missing fields as they were
// (the mask too, when its two digits are not both there). Digits that are not
// hexadecimal give mask 0; mode bytes other than their letters are ignored.
void readConfigReply(const QByteArray &data, int cPos, qint8 &mask, uchar &operatingMode,
                     uchar &displayMode);

// What the bytes received since the configuration query hold. A hub that was
// left streaming goes on sending records around its reply, and a reading can
// spell anything: a "C", a whole reply, "BOOTM". So a reply or a marker counts
// only outside the value bytes of a record whose header was seen, and a reply
// is well formed when its mask is two hexadecimal digits and both mode bytes
// are letters of theirs.
//
// Bytes before the first header may be the tail of a record whose header came
// before the query. A reply or marker there is trusted only when its line ends
// right after it, as the hub ends its replies; otherwise it is tentative, and
// taken only from a hub that turns out to send no records at all.
struct ConfigAnswer
{
    int bootLoader = -1; // offset of the first trusted boot-loader marker, or -1
    int reply = -1;      // offset of the first trusted well-formed reply, or -1
    int tentativeBootLoader = -1;
    int tentativeReply = -1;
    int firstC = -1;      // offset of the first "C" outside records, or -1
    bool records = false; // a record header was seen: the hub is streaming
};
ConfigAnswer scanConfigAnswer(const QByteArray &data);

// Whether data ends in the start of a reply at pos: a "C" and fewer than
// five bytes, each what its place in a reply may hold.
bool isCutReply(const QByteArray &data, int pos);

// The identification line in what came after the configuration reply: from
// the first marker outside the values of a record, up to and with its "\n".
// -1 while there is none, or while its line has not ended.
int findIdentificationLine(const QByteArray &data, QByteArray &line);

// Which fields of the reply at cPos hold what the hub meant to send: the
// fields readConfigReply() takes as they are, rather than keeps or zeroes.
struct ReplyFields
{
    bool mask = false;
    bool operatingMode = false;
    bool displayMode = false;
};
ReplyFields replyFieldsSent(const QByteArray &data, int cPos);

// Takes the identity from a line holding "ID PXHUB". A line with fewer than five
// space-separated fields changes nothing: a half identity would be a wrong one.
// The fields are counted from the marker's "ID": bytes of records that came
// before it on the same line (a streaming hub's) must not shift them.
bool readIdentificationLine(const QByteArray &line, Identity &identity);

// Offset of the first record header in data, or -1.
int findHeader(const QByteArray &data);

// Eight big-endian signed readings from the frame whose header is at pos;
// false (and nothing read) when the frame's value bytes are not all in data.
bool decodeBinaryFrame(const QByteArray &data, int pos, Readings &readings);

// One notification of the binary reader: the bytes kept from the previous chunk
// followed by everything now waiting. Finds the first record header and decodes
// at most that one frame; the rest of the chunk is dropped. What is kept for the
// next chunk (in pending, never more than a frame) is a frame that runs past the
// chunk's end, or a last byte that may open a header split between two chunks.
bool takeBinaryFrame(QByteArray &pending, const QByteArray &incoming, Readings &readings);

// One text record, "\r\n" included. False when the line fails the length rule,
// holds no header, or has fewer than eight readings after its first field.
bool decodeTextLine(const QByteArray &line, Readings &readings);

// A text reading: leading white space, an optional sign, digits, and (our
// choice) trailing white space; anything else, or a number outside 32 bits,
// reads as 0. The result keeps the low 16 bits.
qint16 parseTextReading(const QByteArray &field);

// Pushes sample to the front of history (dropping the oldest) and returns the
// mean of the newest n samples, truncated toward zero. When skipZeros is set,
// zero samples count as no reading: they are left out of the divisor, and a
// window of zeros only gives 0. n is kept within 1 and the history's length.
qint16 pushAndAverage(QList<qint16> &history, qint16 sample, int n, bool skipZeros);

// The same for the eight sensors at once, one history a sensor: the display's
// mean, and a recording's, is this one.
void averageReadings(QList<QList<qint16>> &histories, Readings &readings, int n, bool skipZeros);

} // namespace HubProtocol

#endif // HUBPROTOCOL_H
