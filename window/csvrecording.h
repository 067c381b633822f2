// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef CSVRECORDING_H
#define CSVRECORDING_H

#include "recordsink.h"
#include "recordwriter.h"

#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QMutex>
#include <QString>

#include <atomic>
#include <memory>

// The window's recording: every record the worker takes, with the operating
// mode's mean applied as the display applies it, written as CSV on the
// worker's thread, so that a busy window never holds a record back. The
// window reads the row count and a failure from its own thread.
class CsvRecording : public RecordSink
{
public:
    // Opens path (replacing it: the save dialog has asked) and writes the
    // header. Null, with the reason in error, when the file cannot be written.
    static std::shared_ptr<CsvRecording> start(const QString &path, QString &error);
    ~CsvRecording() override;

    void takeRecord(const HubProtocol::Readings &readings, uchar operatingMode,
                    uchar displayMode) override;

    // The averaging count the display uses, from the window's control.
    void setMeanCount(int n) { meanCount = n; }
    qint64 rows() const { return written; }
    QString path() const { return file.fileName(); }
    // Set once a write failed; the recording then writes nothing more.
    bool failed() const { return writeFailed; }
    QString failure() const;
    // Flushes and closes the file; once the worker no longer calls.
    void finish();

private:
    CsvRecording() = default;

    QFile file;
    std::unique_ptr<RecordWriter> writer;
    QList<QList<qint16>> histories;
    QElapsedTimer sinceFlush;
    std::atomic<int> meanCount {1};
    std::atomic<qint64> written {0};
    std::atomic<bool> writeFailed {false};
    mutable QMutex failureMutex;
    QString failureText;
    bool finished = false;
};

#endif // CSVRECORDING_H
