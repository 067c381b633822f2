// SPDX-License-Identifier: GPL-3.0-or-later
#include "recorder.h"

#include <QFileDevice>
#include <QMutexLocker>

#include <algorithm>
#include <cerrno>

using namespace HubProtocol;

namespace {

const qint64 PendingLimit = 1 << 20;

} // namespace

Recorder::Recorder(QIODevice *output, const Setup &setup)
    : output(output)
    , setup(setup)
    , writer(&pending, setup.format, setup.withModes)
    , meanCount(setup.meanCount)
{
    pending.open(QIODevice::WriteOnly);
}

bool Recorder::begin()
{
    QMutexLocker lock(&mutex);
    writer.begin();
    const QByteArray header = pending.data();
    pending.buffer().clear();
    pending.seek(0);
    // The header is no row: what writeOut() counts as one is taken back.
    const bool ok = writeOut(header);
    if (ok)
        rowsOut = 0;
    return ok;
}

void Recorder::takeRecord(const Readings &readings, uchar operatingMode, uchar displayMode)
{
    ++seen;
    if (stopped)
        return;
    Readings values = readings;
    if (setup.averaging == Averaging::EveryMode
        || (setup.averaging == Averaging::FastModeOnly && operatingMode == Fast))
        values = mean.push(values, meanCount, displayMode == Binary);
    QMutexLocker lock(&mutex);
    if (writeFailed)
        return;
    writer.write(values, operatingMode, displayMode);
    ++taken;
    // An owner whose clock has stalled must not let the rows pile up.
    if (pending.size() >= PendingLimit) {
        const QByteArray rows = pending.data();
        pending.buffer().clear();
        pending.seek(0);
        writeOut(rows);
    }
    if (full())
        end();
}

bool Recorder::flush()
{
    QMutexLocker lock(&mutex);
    if (writeFailed)
        return false;
    if (pending.data().isEmpty())
        return true;
    const QByteArray rows = pending.data();
    pending.buffer().clear();
    pending.seek(0);
    return writeOut(rows);
}

void Recorder::stop()
{
    stopped = true;
}

QString Recorder::failure() const
{
    QMutexLocker lock(&mutex);
    return failureText;
}

bool Recorder::brokenPipe() const
{
    QMutexLocker lock(&mutex);
    return failureErrno == EPIPE;
}

// Whole rows or nothing: what a failed write left of a row is cut off again,
// where the output is a file that can be cut.
bool Recorder::writeOut(QByteArray bytes)
{
    errno = 0;
    const qint64 written = output->write(bytes);
    if (written == bytes.size()) {
        bytesOut += written;
        rowsOut += bytes.count('\n');
        return true;
    }
    // Qt's own text for a failed write is often "Unknown error"; the
    // system's reason is what the user can act on.
    failureErrno = errno;
    failureText = failureErrno != 0 ? qt_error_string(failureErrno) : output->errorString();
    bytes.truncate(int(std::max<qint64>(written, 0)));
    const int whole = bytes.lastIndexOf('\n') + 1;
    bytes.truncate(whole);
    bytesOut += whole;
    rowsOut += bytes.count('\n');
    auto *file = qobject_cast<QFileDevice *>(output);
    if (setup.cutBack && file && !file->isSequential() && written > whole)
        file->resize(bytesOut);
    writeFailed = true;
    end();
    return false;
}

void Recorder::end()
{
    stopped = true;
    if (ended.exchange(true))
        return;
    if (onEnd)
        onEnd();
}
