// SPDX-License-Identifier: GPL-3.0-or-later
#include "commands.h"

#include "commandsupport.h"
#include "console.h"
#include "exitcode.h"
#include "hublink.h"
#include "interrupts.h"
#include "recorder.h"
#include "recordwriter.h"
#include "threadcom.h"

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

// A hub this long without a record is worth a word.
const int QuietLimitMs = 5000;
// A timer counts milliseconds in an int: some 24 days at most.
const double MinSeconds = 0.001;
const double MaxSeconds = 2000000;

struct StreamOptions
{
    RecordWriter::Format format = RecordWriter::Format::Csv;
    qint64 count = 0;   // 0: no end
    double seconds = 0; // 0: no end
    int average = 0;    // 0: each record as it came
    QString path;       // empty: standard output
};

// The values of the options once parsed, or the exit code for a usage error.
int takeStreamValues(const QCommandLineParser &parser, const QCommandLineOption &count,
                     const QCommandLineOption &duration, const QCommandLineOption &average, StreamOptions &options)
{
    bool ok = true;
    options.count = parser.isSet(count) ? parser.value(count).toLongLong(&ok) : 0;
    if (!ok || options.count < 0 || (parser.isSet(count) && options.count == 0))
        return CommandSupport::usage(QStringLiteral("--count takes a whole number above 0."));
    options.seconds = parser.isSet(duration) ? parser.value(duration).toDouble(&ok) : 0;
    // Written so that "nan" fails it too.
    if (parser.isSet(duration) && !(ok && options.seconds >= MinSeconds && options.seconds <= MaxSeconds))
        return CommandSupport::usage(QStringLiteral("--duration takes a number of seconds from 0.001 to 2000000."));
    options.average = parser.isSet(average) ? parser.value(average).toInt(&ok) : 0;
    if (!ok || (parser.isSet(average) && (options.average < 1 || options.average > HubProtocol::HistoryLength)))
        return CommandSupport::usage(QStringLiteral("--average takes a whole number from 1 to 50."));
    return CommandSupport::Proceed;
}

int parseStream(const QStringList &arguments, StreamOptions &options)
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
    options.format = formatName == QLatin1String("csv") ? RecordWriter::Format::Csv : RecordWriter::Format::JsonLines;
    const int taken = takeStreamValues(parser, count, duration, average, options);
    if (taken != CommandSupport::Proceed)
        return taken;
    options.path = parser.value(output);
    if (!options.path.isEmpty() && QFile::exists(options.path) && !parser.isSet(force))
        return CommandSupport::usage(QStringLiteral("%1 exists. Use --force to overwrite it.").arg(options.path));
    return CommandSupport::Proceed;
}

// A hub that has gone quiet is worth a word, said once until records come again.
class QuietHub
{
public:
    QuietHub(const Recorder &recorder, QString port)
        : recorder(recorder)
        , port(std::move(port)) { }

    void start() { sinceRecord.start(); }

    void check()
    {
        if (recorder.recordsSeen() != recordsSeen) {
            recordsSeen = recorder.recordsSeen();
            sinceRecord.restart();
            said = false;
        } else if (!said && sinceRecord.elapsed() >= QuietLimitMs) {
            said = true;
            Console::err(QStringLiteral("stream: no record from the hub on %1 for %2 s. Check its cable and "
                                        "that its sensors are enabled; the stream goes on.")
                             .arg(port)
                             .arg(QuietLimitMs / 1000));
        }
    }

private:
    const Recorder &recorder;
    const QString port;
    QElapsedTimer sinceRecord;
    qint64 recordsSeen = 0;
    bool said = false;
};

// Standard output, or the file at path made or emptied. False, said, when
// it cannot be written.
bool openOutput(QFile &file, const QString &path)
{
    if (!path.isEmpty()) {
        file.setFileName(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
            Console::err(QStringLiteral("Cannot write %1 (%2). Choose another file.").arg(path, file.errorString()));
            return false;
        }
    } else if (!file.open(fileno(stdout), QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        Console::err(QStringLiteral("Cannot write to standard output."));
        return false;
    }
    return true;
}

Recorder::Setup recorderSetup(const StreamOptions &options)
{
    Recorder::Setup setup;
    setup.format = options.format;
    setup.averaging = options.average > 0 ? Recorder::Averaging::EveryMode : Recorder::Averaging::None;
    setup.meanCount = std::max(options.average, 1);
    setup.maxRows = options.count;
    // Standard output may be a file this program did not start.
    setup.cutBack = !options.path.isEmpty();
    return setup;
}

// Runs loop until the recorder is full, the time is up, the hub fails or an
// interrupt comes; the seconds it streamed.
double streamUntilEnd(QEventLoop &loop, Recorder &recorder, HubLink &link, double seconds, Interrupts &interrupts)
{
    QObject::connect(&interrupts, &Interrupts::interrupted, &loop, &QEventLoop::quit);
    QObject::connect(&link, &HubLink::failed, &loop, &QEventLoop::quit);
    if (seconds > 0)
        QTimer::singleShot(qRound(seconds * 1000), Qt::PreciseTimer, &loop, &QEventLoop::quit);
    // Each tick writes the rows and watches for a hub that has gone quiet.
    QTimer ticker;
    QuietHub quiet(recorder, link.portName());
    QObject::connect(&ticker, &QTimer::timeout, &loop, [&] {
        if (recorder.flush())
            quiet.check();
    });
    QElapsedTimer clock;
    clock.start();
    quiet.start();
    ticker.start(Recorder::FlushIntervalMs);
    link.onWorker([&](ThreadCom *worker) {
        worker->addRecordSink(&recorder);
        // Records that came after the identification are the stream's too:
        // the reader's start drops whatever is waiting, as the window wants.
        worker->drainRecords();
        worker->ConnectSerialRead();
    });
    loop.exec();
    ticker.stop();
    // Whole records still waiting in the port are the stream's too.
    link.onWorker([&](ThreadCom *worker) {
        if (!recorder.full())
            worker->drainRecords();
        worker->removeRecordSink(&recorder);
    });
    return clock.nsecsElapsed() / 1e9;
}

int streamExitCode(const Recorder &recorder, const HubLink &link, const Interrupts &interrupts)
{
    if (recorder.failed() && !recorder.brokenPipe()) {
        Console::err(QStringLiteral("Cannot write the rows (%1). Check the disk or the pipe.").arg(recorder.failure()));
        return ExitCode::PortFailed;
    }
    if (interrupts.received())
        return ExitCode::Interrupted;
    // Like --count: whoever reads the rows has all they wanted.
    if (recorder.brokenPipe())
        return ExitCode::Success;
    if (!link.failure().isEmpty()) {
        Console::err(link.failure());
        return link.failureCode();
    }
    return ExitCode::Success;
}

int runStream(const StreamOptions &options, const QString &port, Interrupts &interrupts)
{
    int exitCode = ExitCode::Success;
    const std::unique_ptr<HubLink> link = CommandSupport::openHub(port, interrupts, exitCode);
    if (!link)
        return exitCode;
    // Only now that there is a hub to record is the file made or emptied: a
    // command that fails before leaves the file as it was.
    QFile file;
    if (!openOutput(file, options.path))
        return ExitCode::PortFailed;
    QEventLoop loop;
    Recorder recorder(&file, recorderSetup(options));
    recorder.setOnEnd([&loop] { QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection); });
    recorder.begin();
    const double elapsed = streamUntilEnd(loop, recorder, *link, options.seconds, interrupts);
    // A worker that ended by itself hands its last records over as it closes.
    link->close();
    recorder.stop();
    recorder.flush();
    Console::err(QStringLiteral("stream: %1 records in %2 s").arg(recorder.rows()).arg(elapsed, 0, 'f', 1));
    return streamExitCode(recorder, *link, interrupts);
}

} // namespace

int Commands::stream(const QStringList &arguments, const QString &port, Interrupts &interrupts)
{
    StreamOptions options;
    const int parsed = parseStream(arguments, options);
    return parsed != CommandSupport::Proceed ? parsed : runStream(options, port, interrupts);
}
