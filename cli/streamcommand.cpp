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

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <memory>

namespace {

// Rows reach the file at least this often, so that another program can
// follow it while it grows.
const int FlushIntervalMs = 200;

// Takes every record on the worker's thread and writes it at once: nothing
// waits for the main thread, which only says when to stop.
class StreamRecorder : public RecordSink
{
public:
    StreamRecorder(RecordWriter &writer, qint64 count, int average, QEventLoop &loop)
        : writer(writer), count(count), average(average), loop(loop)
    {
        for (int k = 0; k < HubProtocol::SensorCount; ++k)
            histories.append(QList<qint16>(QVector<qint16>(HubProtocol::HistoryLength, 0).toList()));
        sinceFlush.start();
    }

    void takeRecord(const HubProtocol::Readings &readings, uchar operatingMode,
                    uchar displayMode) override
    {
        if (stopped)
            return;
        HubProtocol::Readings values = readings;
        if (average > 0) {
            // The window's rule: binary output counts a 0 as no reading.
            for (int k = 0; k < HubProtocol::SensorCount; ++k)
                values[k] = HubProtocol::pushAndAverage(histories[k], readings[k], average,
                                                        displayMode == HubProtocol::Binary);
        }
        if (!writer.write(values, operatingMode, displayMode)) {
            writeFailed = true;
            stop();
            return;
        }
        if (sinceFlush.elapsed() >= FlushIntervalMs) {
            writer.flush();
            sinceFlush.restart();
        }
        if (count > 0 && writer.rows() >= count)
            stop();
    }

    bool full() const { return stopped; }
    bool failed() const { return writeFailed; }

private:
    void stop()
    {
        stopped = true;
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    }

    RecordWriter &writer;
    const qint64 count;
    const int average;
    QEventLoop &loop;
    QList<QList<qint16>> histories;
    QElapsedTimer sinceFlush;
    std::atomic<bool> stopped {false};
    std::atomic<bool> writeFailed {false};
};

} // namespace

int Commands::stream(const QStringList &arguments, const QString &port, Interrupts &interrupts)
{
    QCommandLineParser parser;
    const QCommandLineOption format(QStringLiteral("format"), QStringLiteral("csv (default) or jsonl."),
                                    QStringLiteral("csv|jsonl"), QStringLiteral("csv"));
    const QCommandLineOption count(QStringLiteral("count"), QStringLiteral("Stop after N records."),
                                   QStringLiteral("N"));
    const QCommandLineOption duration(QStringLiteral("duration"), QStringLiteral("Stop after S seconds."),
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
    if (!ok || seconds < 0 || (parser.isSet(duration) && !(seconds > 0)))
        return CommandSupport::usage(QStringLiteral("--duration takes a number of seconds above 0."));
    const int mean = parser.isSet(average) ? parser.value(average).toInt(&ok) : 0;
    if (!ok || (parser.isSet(average) && (mean < 1 || mean > HubProtocol::HistoryLength)))
        return CommandSupport::usage(QStringLiteral("--average takes a whole number from 1 to 50."));

    QFile file;
    const QString path = parser.value(output);
    if (!path.isEmpty()) {
        file.setFileName(path);
        if (file.exists() && !parser.isSet(force))
            return CommandSupport::usage(QStringLiteral("%1 exists. Use --force to overwrite it.").arg(path));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            Console::err(QStringLiteral("Cannot write %1 (%2). Choose another file.").arg(path, file.errorString()));
            return ExitCode::PortFailed;
        }
    } else if (!file.open(stdout, QIODevice::WriteOnly)) {
        Console::err(QStringLiteral("Cannot write to standard output."));
        return ExitCode::PortFailed;
    }

    HubLink *opened = nullptr;
    ok = CommandSupport::openHub(opened, port, interrupts, exitCode);
    const std::unique_ptr<HubLink> link(opened);
    if (!ok)
        return exitCode;

    RecordWriter writer(&file, formatName == QLatin1String("csv") ? RecordWriter::Format::Csv
                                                                  : RecordWriter::Format::JsonLines);
    writer.begin();
    QEventLoop loop;
    StreamRecorder recorder(writer, records, mean, loop);
    QObject::connect(&interrupts, &Interrupts::interrupted, &loop, &QEventLoop::quit);
    QObject::connect(link.get(), &HubLink::failed, &loop, &QEventLoop::quit);
    if (seconds > 0)
        QTimer::singleShot(qRound(seconds * 1000), Qt::PreciseTimer, &loop, &QEventLoop::quit);
    QElapsedTimer clock;
    clock.start();
    link->onWorker([&](ThreadCom *worker) {
        worker->addRecordSink(&recorder);
        // Records that came after the identification are the stream's too:
        // the reader's start drops whatever is waiting, as the window wants.
        worker->drainRecords();
        worker->ConnectSerialRead();
    });
    loop.exec();
    // Whole records still waiting in the port are the stream's too.
    link->onWorker([&](ThreadCom *worker) {
        if (!recorder.full())
            worker->drainRecords();
        worker->removeRecordSink(&recorder);
    });
    const bool flushed = writer.flush();
    const double elapsed = clock.nsecsElapsed() / 1e9;
    link->close();
    Console::err(QStringLiteral("stream: %1 records in %2 s").arg(writer.rows()).arg(elapsed, 0, 'f', 1));

    if (recorder.failed() || !flushed) {
        Console::err(QStringLiteral("Cannot write the rows (%1). Check the disk or the pipe.").arg(writer.errorString()));
        return ExitCode::PortFailed;
    }
    if (interrupts.received())
        return ExitCode::Interrupted;
    if (!link->failure().isEmpty()) {
        Console::err(link->failure());
        return link->failureCode();
    }
    return ExitCode::Success;
}
