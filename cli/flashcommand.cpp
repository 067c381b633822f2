// SPDX-License-Identifier: GPL-3.0-or-later
#include "commands.h"

#include "commandsupport.h"
#include "console.h"
#include "exitcode.h"
#include "firmwareimage.h"
#include "hublink.h"
#include "hubreport.h"
#include "interrupts.h"
#include "threadcom.h"

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>

#include <memory>

namespace {

// After the command that sends it there, the hub needs a moment to come up in
// its boot loader before it hears the erase request.
const int BootLoaderEntryMs = 500;
const int ReconnectLimitMs = 30000;
const int ReconnectPauseMs = 1000;

// One line a 5 % step where the output is read by a program; on a terminal
// the line is rewritten in place as the blocks go.
class FlashProgress
{
public:
    explicit FlashProgress(qint64 total)
        : total(total)
        , terminal(Console::outIsTerminal()) { }

    void update(int reported)
    {
        // The worker counts in an int; an image may take all 32 bits of the header.
        const qint64 sent = quint32(reported);
        last = sent;
        const int percent = int(sent * 100 / total);
        const QString line = QStringLiteral("flash: %1% %2/%3 bytes").arg(percent).arg(sent).arg(total);
        if (terminal) {
            if (percent != shownPercent || sent == total || !lineOpen)
                Console::outInPlace(line);
            lineOpen = true;
            shownPercent = percent;
        } else if (percent / 5 > shownPercent / 5 || shownPercent < 0) {
            Console::out(line);
            shownPercent = percent;
        }
    }

    // Ends the line being rewritten, so that a message does not run on from it.
    void end()
    {
        if (lineOpen)
            Console::out(QString());
        lineOpen = false;
    }

    qint64 sent() const { return last; }

private:
    const qint64 total;
    const bool terminal;
    int shownPercent = -1;
    qint64 last = 0;
    bool lineOpen = false;
};

// "4096", "512K", "8M", "1G": bytes, or KiB, MiB, GiB. False for anything
// that is not a size from 1 to what an image can be held in.
bool parseSize(const QString &text, qint64 &bytes)
{
    QString digits = text;
    int shift = 0;
    const int unit = QStringLiteral("KMG").indexOf(digits.right(1), 0, Qt::CaseInsensitive);
    if (!digits.isEmpty() && unit >= 0) {
        shift = 10 * (unit + 1);
        digits.chop(1);
    }
    bool ok = false;
    const qint64 value = digits.toLongLong(&ok);
    if (!ok || value < 1 || value > (FirmwareImage::holdLimit() >> shift))
        return false;
    bytes = value << shift;
    return true;
}

// Why the image at path will not be flashed, as one sentence; empty when it will.
QString imageRefusal(const FirmwareImage &image, const QString &path, qint64 limit)
{
    switch (image.problem()) {
    case FirmwareImage::Problem::None:
        return QString();
    case FirmwareImage::Problem::Unreadable:
        if (!QFileInfo::exists(path))
            return QStringLiteral("No such file: %1.").arg(path);
        return QStringLiteral("Cannot read %1 (%2). Check the file and its permissions.").arg(path, image.reason());
    case FirmwareImage::Problem::Empty:
        return QStringLiteral("%1 is empty: there is nothing to flash. Choose the firmware image.").arg(path);
    case FirmwareImage::Problem::AboveLimit:
        if (image.size() > FirmwareImage::holdLimit())
            return QStringLiteral("%1 is %2 bytes, more than this program can hold (%3 bytes). Choose the "
                                  "hub's firmware.")
                .arg(path)
                .arg(image.size())
                .arg(FirmwareImage::holdLimit());
        return QStringLiteral("%1 is %2 bytes, above the limit of %3 bytes for a hub image. Check that it "
                              "is the hub's firmware, or raise the limit with --max-size.")
            .arg(path)
            .arg(image.size())
            .arg(limit);
    case FirmwareImage::Problem::BeyondHeader:
        return QStringLiteral("%1 is %2 bytes, over the 4 GiB that the boot loader can be told of. "
                              "Choose the hub's firmware.")
            .arg(path)
            .arg(image.size());
    case FirmwareImage::Problem::NotReadWhole:
        break;
    }
    return QStringLiteral("%1 could not be read whole (%2). Check the file and try again.").arg(path, image.reason());
}

// Waits for the hub to answer in its firmware again, then prints who it is.
int verifyReconnect(const HubLink &flashed, Interrupts &interrupts)
{
    QElapsedTimer clock;
    clock.start();
    const QString port = flashed.portName();
    while (clock.elapsed() < ReconnectLimitMs && !interrupts.received()) {
        HubLink link(flashed.device(), port);
        QObject::connect(&interrupts, &Interrupts::interrupted, &link, &HubLink::interrupt);
        if (link.open() == HubLink::Outcome::Configured) {
            const HubReport report = link.report();
            link.close();
            CommandSupport::printReport(report, false);
            return ExitCode::Success;
        }
        link.close();
        QEventLoop pause;
        QObject::connect(&interrupts, &Interrupts::interrupted, &pause, &QEventLoop::quit);
        QTimer::singleShot(ReconnectPauseMs, &pause, &QEventLoop::quit);
        pause.exec();
    }
    if (interrupts.received()) {
        Console::err(QStringLiteral("Interrupted while waiting for the hub on %1 to come back; the image was "
                                    "sent whole. Check it with 'pellix-hubctl info'.")
                         .arg(port));
        return ExitCode::Interrupted;
    }
    Console::err(QStringLiteral("The hub did not come back in its firmware on %1 within %2 s. "
                                "Check it with 'pellix-hubctl info'.")
                     .arg(port)
                     .arg(ReconnectLimitMs / 1000));
    return ExitCode::HubFailed;
}

struct FlashOptions
{
    QString path;
    bool verifyReconnect = false;
    qint64 sizeLimit = FirmwareImage::DefaultLimit;
    Upgrade_logic::WaitLimits waitLimits;
};

// An option that sets one of the boot loader's wait limits, and the limit it sets.
struct WaitLimitOption
{
    QCommandLineOption option;
    int Upgrade_logic::WaitLimits::*limit;
};

// Their help shows the limits a run has without them.
QList<WaitLimitOption> waitLimitOptions()
{
    const Upgrade_logic::WaitLimits defaults;
    const auto option = [&defaults](const char *name, const char *waitFor, int Upgrade_logic::WaitLimits::*limit) {
        const QString help = QStringLiteral("Longest wait for %1, in ms (%2).")
                                 .arg(QLatin1String(waitFor))
                                 .arg(defaults.*limit);
        return WaitLimitOption{QCommandLineOption(QLatin1String(name), help, QStringLiteral("MS")), limit};
    };
    return {option("erase-timeout", "the erase", &Upgrade_logic::WaitLimits::eraseMs),
            option("reply-timeout", "the size and each block", &Upgrade_logic::WaitLimits::replyMs),
            option("final-timeout", "the end of the session", &Upgrade_logic::WaitLimits::finalMs)};
}

// The limits given, or the exit code for a usage error.
int takeWaitLimits(const QCommandLineParser &parser, const QList<WaitLimitOption> &options,
                   Upgrade_logic::WaitLimits &limits)
{
    for (const WaitLimitOption &given : options) {
        if (!parser.isSet(given.option))
            continue;
        bool ok = false;
        const int ms = parser.value(given.option).toInt(&ok);
        if (!ok || ms <= 0) {
            return CommandSupport::usage(QStringLiteral("--%1 takes a number of milliseconds above 0.")
                                             .arg(given.option.names().first()));
        }
        limits.*given.limit = ms;
    }
    return CommandSupport::Proceed;
}

int parseFlash(const QStringList &arguments, FlashOptions &options)
{
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The firmware image, sent unchanged."));
    const QCommandLineOption verify(QStringLiteral("verify-reconnect"),
                                    QStringLiteral("Wait for the hub to come back in its firmware "
                                                   "and print its new identity."));
    const QCommandLineOption maxSize(QStringLiteral("max-size"),
                                     QStringLiteral("The largest image taken, in bytes, or with K, M or G "
                                                    "(8M)."),
                                     QStringLiteral("BYTES"));
    parser.addOptions({verify, maxSize});
    const QList<WaitLimitOption> limitOptions = waitLimitOptions();
    for (const WaitLimitOption &limit : limitOptions)
        parser.addOption(limit.option);
    int exitCode = ExitCode::Success;
    if (!CommandSupport::parse(parser, arguments,
                               QStringLiteral("flash FILE [--verify-reconnect] [--max-size BYTES] "
                                              "[--erase-timeout MS] [--reply-timeout MS] [--final-timeout MS]"),
                               exitCode, -1))
        return exitCode;
    if (parser.positionalArguments().size() != 1) {
        return CommandSupport::usage(QStringLiteral("flash takes one firmware file. See 'pellix-hubctl flash --help'."));
    }
    const int taken = takeWaitLimits(parser, limitOptions, options.waitLimits);
    if (taken != CommandSupport::Proceed)
        return taken;
    if (parser.isSet(maxSize) && !parseSize(parser.value(maxSize), options.sizeLimit)) {
        return CommandSupport::usage(QStringLiteral("--max-size takes a number of bytes from 1 to %1, or of "
                                                    "KiB, MiB or GiB with K, M or G.")
                                         .arg(FirmwareImage::holdLimit()));
    }
    options.path = parser.positionalArguments().first();
    options.verifyReconnect = parser.isSet(verify);
    return CommandSupport::Proceed;
}

// How far a boot-loader session came.
struct FlashRun
{
    Upgrade_logic::Outcome outcome = Upgrade_logic::Stopped;
    qint64 sent = 0;
    // The session's first message is the erase request's: from then on the
    // hub's firmware is gone.
    bool eraseRequested = false;
};

// Sends the hub to its boot loader and programs bytes, showing the progress.
FlashRun upload(HubLink &link, const QByteArray &bytes, const Upgrade_logic::WaitLimits &limits,
                Interrupts &interrupts)
{
    FlashRun run;
    FlashProgress progress(bytes.size());
    QEventLoop loop;
    ThreadCom *worker = link.worker();
    QObject::connect(worker, &ThreadCom::upgradeProgress, &loop, [&](int sent) { progress.update(sent); });
    QObject::connect(worker, &ThreadCom::upgradeMessage, &loop, [&](const QString &message) {
        run.eraseRequested = true;
        // What the session says as it breaks off is about the interrupt,
        // which gets a sentence of its own.
        if (interrupts.received())
            return;
        progress.end();
        Console::err(QStringLiteral("flash: ") + message);
    });
    QObject::connect(worker, &ThreadCom::upgradeEnded, &loop, [&](Upgrade_logic::Outcome ended) {
        run.outcome = ended;
        loop.quit();
    });
    link.onWorker([&](ThreadCom *w) {
        w->Upgrade();
        w->setUpgradeWaitLimits(limits);
    });
    QTimer::singleShot(BootLoaderEntryMs, worker, [worker, bytes] { worker->launchUpgradeImage(bytes); });
    loop.exec();
    progress.end();
    run.sent = progress.sent();
    return run;
}

// Where an interrupt left the hub, and how to bring it back.
int interrupted(const FlashRun &run, qint64 total)
{
    if (run.sent == total) {
        Console::err(QStringLiteral("Interrupted after all %1 bytes were sent, before the hub confirmed them. "
                                    "Check it with 'pellix-hubctl info', and flash it again if it does not "
                                    "answer.")
                         .arg(total));
    } else if (run.sent > 0) {
        Console::err(QStringLiteral("Interrupted after %1 of %2 bytes: the hub is in its boot loader, erased "
                                    "and partly written, and waits for the rest of this image. Unplug it and "
                                    "plug it in again, then flash it again with 'pellix-hubctl flash FILE'.")
                         .arg(run.sent)
                         .arg(total));
    } else if (run.eraseRequested) {
        Console::err(QStringLiteral("Interrupted during the erase: the hub is in its boot loader, its firmware "
                                    "erased or being erased. Flash it again with 'pellix-hubctl flash FILE'."));
    } else {
        // A hub found in its boot loader may hold what an earlier run left:
        // only this run's part is known.
        Console::err(QStringLiteral("Interrupted before the erase: this run sent the boot loader nothing, and "
                                    "the hub is in its boot loader. Flash it with 'pellix-hubctl flash FILE', "
                                    "or restart the hub."));
    }
    return ExitCode::Interrupted;
}

int flashExitCode(const FlashRun &run, qint64 total, HubLink &link, bool verify, Interrupts &interrupts)
{
    switch (run.outcome) {
    case Upgrade_logic::Done:
        link.close();
        return verify ? verifyReconnect(link, interrupts) : ExitCode::Success;
    case Upgrade_logic::Stopped:
        return interrupted(run, total);
    case Upgrade_logic::PortLost:
        Console::err(QStringLiteral("The boot loader's port %1 could not be used or went away after %2 of %3 "
                                    "bytes. Reconnect the hub and flash it again.")
                         .arg(link.portName())
                         .arg(run.sent)
                         .arg(total));
        return ExitCode::PortFailed;
    case Upgrade_logic::FileUnusable:
        return ExitCode::NoInput;
    case Upgrade_logic::Refused:
    case Upgrade_logic::Silent:
        break;
    }
    Console::err(QStringLiteral("The upgrade did not finish after %1 of %2 bytes. Reconnect the hub and "
                                "flash it again.")
                     .arg(run.sent)
                     .arg(total));
    return ExitCode::HubFailed;
}

int runFlash(const FlashOptions &options, const QString &port, Interrupts &interrupts)
{
    // Read whole before the hub hears a word: nothing is erased before there
    // is an image to write in its place, and the bytes checked are the bytes
    // sent, whatever happens to the file meanwhile.
    const FirmwareImage image = FirmwareImage::read(options.path, options.sizeLimit);
    if (!image.isUsable()) {
        Console::err(imageRefusal(image, options.path, options.sizeLimit));
        return ExitCode::NoInput;
    }
    const QByteArray bytes = image.bytes();
    int exitCode = ExitCode::Success;
    const std::unique_ptr<HubLink> link = CommandSupport::openHub(port, interrupts, exitCode, true);
    if (!link)
        return exitCode;
    const FlashRun run = upload(*link, bytes, options.waitLimits, interrupts);
    return flashExitCode(run, bytes.size(), *link, options.verifyReconnect, interrupts);
}

} // namespace

int Commands::flash(const QStringList &arguments, const QString &port, Interrupts &interrupts)
{
    FlashOptions options;
    const int parsed = parseFlash(arguments, options);
    return parsed != CommandSupport::Proceed ? parsed : runFlash(options, port, interrupts);
}
