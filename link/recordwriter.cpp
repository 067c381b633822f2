// SPDX-License-Identifier: GPL-3.0-or-later
#include "recordwriter.h"

#include <QDateTime>
#include <QFileDevice>
#include <QIODevice>

using namespace HubProtocol;

RecordWriter::RecordWriter(QIODevice *device, Format format, bool withModes)
    : device(device)
    , format(format)
    , withModes(withModes)
{
}

bool RecordWriter::begin()
{
    if (format != Format::Csv)
        return !failed;
    QByteArray header("time,elapsed_s");
    for (int k = 0; k < SensorCount; ++k)
        header += ",s" + QByteArray::number(k);
    if (withModes)
        header += ",mode,output";
    return put(header + '\n');
}

bool RecordWriter::write(const Readings &values, uchar operatingMode, uchar displayMode)
{
    if (failed)
        return false;
    if (!sinceFirst.isValid())
        sinceFirst.start();
    const QByteArray time = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toLatin1();
    // QByteArray::number is the C locale's, whatever the user's is.
    const QByteArray elapsed = QByteArray::number(sinceFirst.nsecsElapsed() / 1e9, 'f', 3);
    const QByteArray mode(1, operatingMode == Fast ? 'F' : 'P');
    const QByteArray output(1, displayMode == Binary ? 'B' : 'T');

    QByteArray row;
    row.reserve(128);
    if (format == Format::Csv) {
        row += time + ',' + elapsed;
        for (qint16 v : values)
            row += ',' + QByteArray::number(v);
        if (withModes)
            row += ',' + mode + ',' + output;
    } else {
        row += "{\"time\":\"" + time + "\",\"elapsed_s\":" + elapsed;
        for (int k = 0; k < SensorCount; ++k)
            row += ",\"s" + QByteArray::number(k) + "\":" + QByteArray::number(values[k]);
        if (withModes)
            row += ",\"mode\":\"" + mode + "\",\"output\":\"" + output + '"';
        row += '}';
    }
    if (!put(row + '\n'))
        return false;
    ++written;
    return true;
}

bool RecordWriter::put(const QByteArray &bytes)
{
    if (device->write(bytes) != bytes.size())
        failed = true;
    return !failed;
}

bool RecordWriter::flush()
{
    auto *file = qobject_cast<QFileDevice *>(device);
    if (file && !failed && !file->flush())
        failed = true;
    return !failed;
}

QString RecordWriter::errorString() const
{
    return device->errorString();
}
