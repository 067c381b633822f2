// SPDX-License-Identifier: GPL-3.0-or-later
#include "csvrecording.h"

#include <QMutexLocker>

namespace {

// Another program may follow the file while it grows.
const int FlushIntervalMs = 1000;

} // namespace

std::shared_ptr<CsvRecording> CsvRecording::start(const QString &path, QString &error)
{
    std::shared_ptr<CsvRecording> recording(new CsvRecording);
    recording->file.setFileName(path);
    if (!recording->file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        error = recording->file.errorString();
        return nullptr;
    }
    recording->writer.reset(new RecordWriter(&recording->file, RecordWriter::Format::Csv, true));
    if (!recording->writer->begin() || !recording->file.flush()) {
        error = recording->file.errorString();
        return nullptr;
    }
    for (int k = 0; k < HubProtocol::SensorCount; ++k)
        recording->histories.append(QList<qint16>(QVector<qint16>(HubProtocol::HistoryLength, 0).toList()));
    recording->sinceFlush.start();
    return recording;
}

CsvRecording::~CsvRecording()
{
    finish();
}

void CsvRecording::takeRecord(const HubProtocol::Readings &readings, uchar operatingMode,
                              uchar displayMode)
{
    if (writeFailed || finished)
        return;
    HubProtocol::Readings values = readings;
    // The display's rule: a mean in fast mode, where binary output counts a 0
    // as no reading; the latest reading in precise mode.
    if (operatingMode == HubProtocol::Fast) {
        for (int k = 0; k < HubProtocol::SensorCount; ++k)
            values[k] = HubProtocol::pushAndAverage(histories[k], readings[k], meanCount,
                                                    displayMode == HubProtocol::Binary);
    }
    bool ok = writer->write(values, operatingMode, displayMode);
    if (ok && sinceFlush.elapsed() >= FlushIntervalMs) {
        ok = writer->flush();
        sinceFlush.restart();
    }
    if (!ok) {
        QMutexLocker lock(&failureMutex);
        failureText = writer->errorString();
        writeFailed = true;
        return;
    }
    written = writer->rows();
}

QString CsvRecording::failure() const
{
    QMutexLocker lock(&failureMutex);
    return failureText;
}

void CsvRecording::finish()
{
    if (finished)
        return;
    finished = true;
    if (writer && !writeFailed && !writer->flush()) {
        QMutexLocker lock(&failureMutex);
        failureText = writer->errorString();
        writeFailed = true;
    }
    file.close();
}
