// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef RECORDWRITER_H
#define RECORDWRITER_H

#include "hubprotocol.h"

#include <QElapsedTimer>
#include <QString>

class QIODevice;

// Writes readings as rows of data, one per record: CSV with a header row, or
// one JSON object per line. Each row carries the wall-clock time (ISO 8601
// UTC, milliseconds) and the seconds since the first row on a monotonic
// clock; numbers are written in the C locale whatever the user's. The
// command-line tool and the window's recording share it, so their files are
// the same.
class RecordWriter
{
public:
    enum class Format { Csv,
                        JsonLines };

    // withModes adds the operating mode (F/P) and the output (B/T) to each row.
    RecordWriter(QIODevice *device, Format format, bool withModes = false);

    // The CSV header row (nothing for JSON lines), so that even a recording
    // without a record is a whole file.
    bool begin();
    // False once the device refused a write; errorString() says why.
    bool write(const HubProtocol::Readings &values, uchar operatingMode, uchar displayMode);
    bool flush();
    qint64 rows() const { return written; }
    QString errorString() const;

private:
    bool put(const QByteArray &bytes);

    QIODevice *device;
    Format format;
    bool withModes;
    QElapsedTimer sinceFirst;
    qint64 written = 0;
    bool failed = false;
};

#endif // RECORDWRITER_H
