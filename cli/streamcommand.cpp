// SPDX-License-Identifier: GPL-3.0-or-later
#include "commands.h"

#include "commandsupport.h"
#include "console.h"
#include "exitcode.h"
#include "hublink.h"
#include "interrupts.h"
#include "recordsink.h"
#include "recordwriter.h"
#include "threadcom.h"

#include <QBuffer>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

// Rows reach the output at least this often, so that another program can
// follow a file while it grows.
const int FlushIntervalMs = 200;
// Rows that may wait for the next flush before the worker writes them itself.
const int PendingLimit = 1 << 20;
// A hub this long without a record is worth a word.
const int QuietLimitMs = 5000;
// A timer counts milliseconds in an int: some 24 days at most.
const double MinSeconds = 0.001;
const double MaxSeconds = 2000000;

// Takes every record on the worker's thread and formats it at once, so that
// its time is the record's; the rows leave on every flush. Only the rows that
// reached the output whole are counted: what a reader that went away or a full
// disk did not take was not written.
class StreamRecorder : public RecordSink
{
public:
    StreamRecorder(QFile &output, RecordWriter::Format format, qint64 count, int average, QEventLoop &loop)
        : output(output), writer(&pending, format), headerLines(format == RecordWriter::Format::Csv ? 1 : 0),
          count(count), average(average), loop(loop)
    {
        for (int k = 0; k < HubProtocol::SensorCount; ++k)
            histories.append(QList<qint16>(QVector<qint16>(HubProtocol::HistoryLength, 0).toList()));
        pending.open(QIODevice::WriteOnly);
        writer.begin();
    }

    void takeRecord(const HubProtocol::Readings &readings, uchar operatingMode,
                    uchar displayMode) override
    {
        ++parsed;
        QMutexLocker lock(&mutex);
        if (stopped)
            return;
        HubProtocol::Readings values = readings;
        if (average > 0) {
            // The window's rule: binary output counts a 0 as no reading.
            for (int k = 0; k < HubProtocol::SensorCount; ++k)
                values[k] = HubProtocol::pushAndAverage(histories[k], readings[k], average,
                                                        displayMode == HubProtocol::Binary);
        }
        writer.write(values, operatingMode, displayMode);
        if (count > 0 && writer.rows() >= count)
            stop();
        if (pending.size() >= PendingLimit)
            writeOut();
    }

    // Writes the rows formatted so far. False once the output failed.
    bool flush()
    {
        QMutexLocker lock(&mutex);
        return writeOut();
    }

    // A file that filled up keeps no part of a row: another program reads it.
    // Not for standard output, which may be a file this program did not start.
    void dropCutRow()
    {
        QMutexLocker lock(&mutex);
        if (failure == Failure::Failed)
            output.resize(wholeBytes);
    }

    bool full() const { return stopped; }
    // Records the worker parsed, written or not.
    qint64 records() const { return parsed; }
    qint64 rows() const
    {
        QMutexLocker lock(&mutex);
        return std::max<qint64>(0, lines - headerLines);
    }
    bool readerGone() const
    {
        QMutexLocker lock(&mutex);
        return failure == Failure::ReaderGone;
    }
    bool failed() const
    {
        QMutexLocker lock(&mutex);
        return failure == Failure::Failed;
    }
    QString errorString() const
    {
        QMutexLocker lock(&mutex);
        return error;
    }

private:
    enum class Failure { None, ReaderGone, Failed };

    void stop()
    {
        stopped = true;
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    }

    bool writeOut()
    {
        const QByteArray &bytes = pending.data();
        if (failure != Failure::None || bytes.isEmpty())
            return failure == Failure::None;
        qint64 done = 0;
        while (done < bytes.size() && failure == Failure::None)
            done += writeSome(bytes.constData() + done, bytes.size() - done);
        lines += std::count(bytes.constData(), bytes.constData() + done, '\n');
        const qint64 lineEnd = done > 0 ? bytes.lastIndexOf('\n', int(done - 1)) : -1;
        if (lineEnd >= 0)
            wholeBytes = sent + lineEnd + 1;
        sent += done;
        pending.buffer().clear();
        pending.seek(0);
        if (failure != Failure::None)
            stop();
        return failure == Failure::None;
    }

    // Bytes the output took, or 0 with the failure noted.
    qint64 writeSome(const char *data, qint64 size)
    {
#ifdef Q_OS_UNIX
        for (;;) {
            const ssize_t n = ::write(output.handle(), data, size_t(size));
            if (n > 0)
                return n;
            if (n < 0 && errno == EINTR)
                continue;
            const int code = n < 0 ? errno : EIO;
            failure = code == EPIPE ? Failure::ReaderGone : Failure::Failed;
            error = QString::fromLocal8Bit(std::strerror(code));
            return 0;
        }
#else
        const qint64 n = output.write(data, size);
        if (n > 0)
            return n;
        failure = Failure::Failed;
        error = output.errorString();
        return 0;
#endif
    }

    QFile &output;
    QBuffer pending;
    RecordWriter writer;
    const int headerLines;
    const qint64 count;
    const int average;
    QEventLoop &loop;
    QList<QList<qint16>> histories;
    mutable QMutex mutex;
    qint64 lines = 0;        // line ends that reached the output, the header's included
    qint64 sent = 0;         // bytes that reached the output
    qint64 wholeBytes = 0;   // of them, up to the end of the last whole line
    Failure failure = Failure::None;
    QString error;
    std::atomic<qint64> parsed {0};
    std::atomic<bool> stopped {false};
};

} // namespace

int Commands::stream(const QStringList &arguments, const QString &port, Interrupts &interrupts)
{
    QCommandLineParser parser;
    const QCommandLineOption format(QStringLiteral("format"), QStringLiteral("csv (default) or jsonl."),
                                    QStringLiteral("csv|jsonl"), QStringLiteral("csv"));
    const QCommandLineOption count(QStringLiteral("count"), QStringLiteral("Stop after N records."),
                                   QStringLiteral("N"));
    const QCommandLineOption duration(QStringLiteral("duration"),
                                      QStringLiteral("Stop after S seconds, 0.001 to 2000000."),
                                      QStringLiteral("S"));
    const QCommandLineOption output(QStringLiteral("output"),
                                    QStringLiteral("Write to FILE instead of standard output."),
                                    QStringLiteral("FILE"));
    const QCommandLineOption force(QStringLiteral("force"), QStringLiteral("Overwrite FILE if it exists."));
    const QCommandLineOption average(QStringLiteral("average"),
                                     QStringLiteral("The mean of the newest N samples of each sensor, "
                                                    "1 to 50; in binary output a 0 counts as no reading."),
                                     QStringLiteral("N"));
    parser.addOptions({format, count, duration, output, force, average});
    int exitCode = ExitCode::Success;
    if (!CommandSupport::parse(parser, arguments,
                               QStringLiteral("stream [--format csv|jsonl] [--count N] [--duration S] "
                                              "[--output FILE [--force]] [--average N]"),
                               exitCode))
        return exitCode;

    const QString formatName = parser.value(format);
    if (formatName != QLatin1String("csv") && formatName != QLatin1String("jsonl"))
        return CommandSupport::usage(QStringLiteral("--format takes csv or jsonl."));
    bool ok = true;
    const qint64 records = parser.isSet(count) ? parser.value(count).toLongLong(&ok) : 0;
    if (!ok || records < 0 || (parser.isSet(count) && records == 0))
        return CommandSupport::usage(QStringLiteral("--count takes a whole number above 0."));
    const double seconds = parser.isSet(duration) ? parser.value(duration).toDouble(&ok) : 0;
    // Written so that "nan" fails it too.
    if (parser.isSet(duration) && !(ok && seconds >= MinSeconds && seconds <= MaxSeconds))
        return CommandSupport::usage(QStringLiteral("--duration takes a number of seconds from 0.001 to 2000000."));
    const int mean = parser.isSet(average) ? parser.value(average).toInt(&ok) : 0;
    if (!ok || (parser.isSet(average) && (mean < 1 || mean > HubProtocol::HistoryLength)))
        return CommandSupport::usage(QStringLiteral("--average takes a whole number from 1 to 50."));
    const QString path = parser.value(output);
    if (!path.isEmpty() && QFile::exists(path) && !parser.isSet(force))
        return CommandSupport::usage(QStringLiteral("%1 exists. Use --force to overwrite it.").arg(path));

    HubLink *opened = nullptr;
    ok = CommandSupport::openHub(opened, port, interrupts, exitCode);
    const std::unique_ptr<HubLink> link(opened);
    if (!ok)
        return exitCode;

    // Only now that there is a hub to record is the file made or emptied: a
    // command that fails before leaves the file as it was.
    QFile file;
    if (!path.isEmpty()) {
        file.setFileName(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
            Console::err(QStringLiteral("Cannot write %1 (%2). Choose another file.").arg(path, file.errorString()));
            return ExitCode::PortFailed;
        }
    } else if (!file.open(fileno(stdout), QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        Console::err(QStringLiteral("Cannot write to standard output."));
        return ExitCode::PortFailed;
    }

    QEventLoop loop;
    StreamRecorder recorder(file, formatName == QLatin1String("csv") ? RecordWriter::Format::Csv
                                                                     : RecordWriter::Format::JsonLines,
                            records, mean, loop);
    QObject::connect(&interrupts, &Interrupts::interrupted, &loop, &QEventLoop::quit);
    QObject::connect(link.get(), &HubLink::failed, &loop, &QEventLoop::quit);
    if (seconds > 0)
        QTimer::singleShot(qRound(seconds * 1000), Qt::PreciseTimer, &loop, &QEventLoop::quit);
    // Each tick writes the rows and watches for a hub that has gone quiet,
    // which is said once until records come again.
    QTimer ticker;
    QElapsedTimer sinceRecord;
    qint64 recordsSeen = 0;
    bool quietSaid = false;
    QObject::connect(&ticker, &QTimer::timeout, &loop, [&] {
        if (!recorder.flush())
            return;
        if (recorder.records() != recordsSeen) {
            recordsSeen = recorder.records();
            sinceRecord.restart();
            quietSaid = false;
        } else if (!quietSaid && sinceRecord.elapsed() >= QuietLimitMs) {
            quietSaid = true;
            Console::err(QStringLiteral("stream: no record from the hub on %1 for %2 s. Check its cable and "
                                        "that its sensors are enabled; the stream goes on.")
                             .arg(link->portName()).arg(QuietLimitMs / 1000));
        }
    });
    QElapsedTimer clock;
    clock.start();
    sinceRecord.start();
    ticker.start(FlushIntervalMs);
    link->onWorker([&](ThreadCom *worker) {
        worker->addRecordSink(&recorder);
        // Records that came after the identification are the stream's too:
        // the reader's start drops whatever is waiting, as the window wants.
        worker->drainRecords();
        worker->ConnectSerialRead();
    });
    loop.exec();
    ticker.stop();
    // Whole records still waiting in the port are the stream's too.
    link->onWorker([&](ThreadCom *worker) {
        if (!recorder.full())
            worker->drainRecords();
        worker->removeRecordSink(&recorder);
    });
    const double elapsed = clock.nsecsElapsed() / 1e9;
    // A worker that ended by itself hands its last records over as it closes.
    link->close();
    recorder.flush();
    if (!path.isEmpty())
        recorder.dropCutRow();
    Console::err(QStringLiteral("stream: %1 records in %2 s").arg(recorder.rows()).arg(elapsed, 0, 'f', 1));

    if (recorder.failed()) {
        Console::err(QStringLiteral("Cannot write the rows (%1). Check the disk or the pipe.").arg(recorder.errorString()));
        return ExitCode::PortFailed;
    }
    if (interrupts.received())
        return ExitCode::Interrupted;
    // Like --count: whoever reads the rows has all they wanted.
    if (recorder.readerGone())
        return ExitCode::Success;
    if (!link->failure().isEmpty()) {
        Console::err(link->failure());
        return link->failureCode();
    }
    return ExitCode::Success;
}
