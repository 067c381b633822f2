// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef RECORDER_H
#define RECORDER_H

#include "recordsink.h"
#include "recordwriter.h"
#include "sensormean.h"

#include <QBuffer>
#include <QByteArray>
#include <QMutex>
#include <QString>

#include <atomic>
#include <functional>

class QIODevice;

// Keeps every record of the live link as rows of data: the window's recording
// and the command line's stream are this one class. Records arrive on the
// worker's thread and become rows in memory; flush() moves the whole rows to
// the output, from whichever thread owns it and on its own clock, so rows
// reach the file whether or not more records come. rows() counts what is in
// the output, never what is only meant to be.
class Recorder : public RecordSink
{
public:
    // The window shows a mean in fast mode only; the command line's --average
    // asks for one in every mode. Binary output counts a 0 as no reading.
    enum class Averaging { None,
                           FastModeOnly,
                           EveryMode };

    struct Setup
    {
        RecordWriter::Format format = RecordWriter::Format::Csv;
        bool withModes = false;
        Averaging averaging = Averaging::FastModeOnly;
        int meanCount = 1;  // 1: each record as it came
        qint64 maxRows = 0; // 0: no end
        // A failed write leaves no part of a row in the output: only for a file
        // the owner made, never one it was handed (an appended log, say).
        bool cutBack = false;
    };

    // Rows reach the output at least this often.
    static constexpr int FlushIntervalMs = 200;

    // output is open for writing and outlives the recorder; unbuffered, so that
    // a failed write reports the system's reason.
    Recorder(QIODevice *output, const Setup &setup);

    // The CSV header row, written at once (nothing for JSON lines).
    bool begin();
    void takeRecord(const HubProtocol::Readings &readings, uchar operatingMode,
                    uchar displayMode) override;
    // Writes the rows taken so far. False once any write failed: nothing more
    // is written, and the output ends on a whole row where it can be cut back.
    bool flush();
    // Takes no record from now on.
    void stop();

    void setMeanCount(int n) { meanCount = n; }
    // Called on the worker's thread once maxRows rows are taken, or once a
    // write failed; the recorder takes nothing more.
    void setOnEnd(std::function<void()> callback) { onEnd = std::move(callback); }

    qint64 rows() const { return rowsOut; }
    qint64 rowsTaken() const { return taken; }
    // Records the worker handed over, kept or not: whether the hub still sends.
    qint64 recordsSeen() const { return seen; }
    bool failed() const { return writeFailed; }
    bool full() const { return setup.maxRows > 0 && taken >= setup.maxRows; }
    QString failure() const;
    // The output was a pipe whose reader has gone, as when piped into head:
    // the end of the stream, not a fault to report.
    bool brokenPipe() const;

private:
    bool writeOut(QByteArray bytes);
    void end();

    QIODevice *output;
    const Setup setup;
    mutable QMutex mutex;
    QBuffer pending;
    RecordWriter writer;
    SensorMean mean;
    qint64 bytesOut = 0;
    QString failureText;
    int failureErrno = 0;
    std::function<void()> onEnd;
    std::atomic<int> meanCount;
    std::atomic<qint64> taken{0};
    std::atomic<qint64> seen{0};
    std::atomic<qint64> rowsOut{0};
    std::atomic<bool> writeFailed{false};
    std::atomic<bool> stopped{false};
    std::atomic<bool> ended{false};
};

#endif // RECORDER_H
