// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef CSVRECORDING_H
#define CSVRECORDING_H

#include "recorder.h"
#include "recordsink.h"

#include <QFile>
#include <QString>

#include <memory>

// The window's recording: a CSV file and the link's recorder writing to it,
// with the display's mean in fast mode and each row's modes. The worker hands
// it every record on its own thread; the window flushes it on its timer and
// reads its count and failure from its own thread.
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
    void setMeanCount(int n) { recorder->setMeanCount(n); }
    // Moves the rows taken so far into the file.
    void flush() { recorder->flush(); }
    qint64 rows() const { return recorder->rows(); }
    QString path() const { return file.fileName(); }
    // Set once a write failed; the recording then writes nothing more.
    bool failed() const { return recorder->failed(); }
    QString failure() const { return recorder->failure(); }
    // Flushes and closes the file; once the worker no longer calls.
    void finish();

private:
    CsvRecording() = default;

    QFile file;
    std::unique_ptr<Recorder> recorder;
    bool finished = false;
};

#endif // CSVRECORDING_H
