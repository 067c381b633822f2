// SPDX-License-Identifier: GPL-3.0-or-later
#include "csvrecording.h"

std::shared_ptr<CsvRecording> CsvRecording::start(const QString &path, QString &error)
{
    std::shared_ptr<CsvRecording> recording(new CsvRecording);
    recording->file.setFileName(path);
    // Unbuffered: a write that fails says why at once, with the system's words.
    if (!recording->file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        error = recording->file.errorString();
        return nullptr;
    }
    Recorder::Setup setup;
    setup.withModes = true;
    setup.cutBack = true;
    recording->recorder.reset(new Recorder(&recording->file, setup));
    if (!recording->recorder->begin()) {
        error = recording->recorder->failure();
        return nullptr;
    }
    return recording;
}

CsvRecording::~CsvRecording()
{
    finish();
}

void CsvRecording::takeRecord(const HubProtocol::Readings &readings, uchar operatingMode,
                              uchar displayMode)
{
    if (!finished)
        recorder->takeRecord(readings, operatingMode, displayMode);
}

void CsvRecording::finish()
{
    if (finished)
        return;
    finished = true;
    if (recorder) {
        recorder->stop();
        recorder->flush();
    }
    file.close();
}
