// SPDX-License-Identifier: GPL-3.0-or-later
#include "commands.h"

#include "commandsupport.h"
#include "console.h"
#include "exitcode.h"
#include "hublink.h"
#include "hubreport.h"
#include "interrupts.h"
#include "threadcom.h"

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QThread>
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
    explicit FlashProgress(qint64 total) : total(total), terminal(Console::outIsTerminal()) {}

    void update(int sent)
    {
        last = sent;
        const int percent = int(qint64(sent) * 100 / total);
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

    int sent() const { return last; }

private:
    const qint64 total;
    const bool terminal;
    int shownPercent = -1;
    int last = 0;
    bool lineOpen = false;
};

// Waits for the hub to answer in its firmware again, then prints who it is.
int verifyReconnect(const QString &port, Interrupts &interrupts)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ReconnectLimitMs && !interrupts.received()) {
        HubLink link(port);
        QObject::connect(&interrupts, &Interrupts::interrupted, &link, &HubLink::interrupt);
        if (link.open() == HubLink::Outcome::Configured) {
            const HubReport report{port, link.identity(), link.mask(), link.operatingMode(),
                                   link.displayMode()};
            link.close();
            for (const QString &line : report.lines())
                Console::out(line);
            return ExitCode::Success;
        }
        link.close();
        QEventLoop pause;
        QObject::connect(&interrupts, &Interrupts::interrupted, &pause, &QEventLoop::quit);
        QTimer::singleShot(ReconnectPauseMs, &pause, &QEventLoop::quit);
        pause.exec();
    }
    if (interrupts.received())
        return ExitCode::Interrupted;
    Console::err(QStringLiteral("The hub did not come back in its firmware on %1 within %2 s. "
                                "Check it with 'pellix-hubctl info'.").arg(port).arg(ReconnectLimitMs / 1000));
    return ExitCode::HubFailed;
}

} // namespace

int Commands::flash(const QStringList &arguments, const QString &port, Interrupts &interrupts)
{
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The firmware image, sent unchanged."));
    const QCommandLineOption verify(QStringLiteral("verify-reconnect"),
                                    QStringLiteral("Wait for the hub to come back in its firmware "
                                                   "and print its new identity."));
    const QCommandLineOption eraseLimit(QStringLiteral("erase-timeout"),
                                        QStringLiteral("Longest wait for the erase, in ms (60000)."),
                                        QStringLiteral("MS"));
    const QCommandLineOption replyLimit(QStringLiteral("reply-timeout"),
                                        QStringLiteral("Longest wait for the size and each block, in ms (5000)."),
                                        QStringLiteral("MS"));
    const QCommandLineOption finalLimit(QStringLiteral("final-timeout"),
                                        QStringLiteral("Longest wait for the end of the session, in ms (30000)."),
                                        QStringLiteral("MS"));
    parser.addOptions({verify, eraseLimit, replyLimit, finalLimit});
    int exitCode = ExitCode::Success;
    if (!CommandSupport::parse(parser, arguments,
                               QStringLiteral("flash FILE [--verify-reconnect] [--erase-timeout MS] "
                                              "[--reply-timeout MS] [--final-timeout MS]"),
                               exitCode))
        return exitCode;
    if (parser.positionalArguments().size() != 1) {
        return CommandSupport::usage(QStringLiteral("flash takes one firmware file. See 'pellix-hubctl flash --help'."));
    }
    int limits[3] = {60000, 5000, 30000};
    const QCommandLineOption *limitOptions[3] = {&eraseLimit, &replyLimit, &finalLimit};
    for (int i = 0; i < 3; ++i) {
        if (!parser.isSet(*limitOptions[i]))
            continue;
        bool ok = false;
        limits[i] = parser.value(*limitOptions[i]).toInt(&ok);
        if (!ok || limits[i] <= 0) {
            return CommandSupport::usage(QStringLiteral("--%1 takes a number of milliseconds above 0.")
                                             .arg(limitOptions[i]->names().first()));
        }
    }

    // Nothing is erased before there is an image to write in its place.
    const QString path = parser.positionalArguments().first();
    QFile file(path);
    if (!QFileInfo::exists(path)) {
        Console::err(QStringLiteral("No such file: %1.").arg(path));
        return ExitCode::NoInput;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        Console::err(QStringLiteral("Cannot read %1 (%2). Check the file and its permissions.")
                         .arg(path, file.errorString()));
        return ExitCode::NoInput;
    }
    const qint64 total = file.size();
    file.close();
    if (total == 0) {
        Console::err(QStringLiteral("%1 is empty: there is nothing to flash. Choose the firmware image.").arg(path));
        return ExitCode::NoInput;
    }

    HubLink *opened = nullptr;
    const bool ok = CommandSupport::openHub(opened, port, interrupts, exitCode, true);
    const std::unique_ptr<HubLink> link(opened);
    if (!ok)
        return exitCode;

    FlashProgress progress(total);
    QEventLoop loop;
    Upgrade_logic::Outcome outcome = Upgrade_logic::Stopped;
    ThreadCom *worker = link->worker();
    QObject::connect(worker, &ThreadCom::upgradeProgress, &loop, [&](int sent) { progress.update(sent); });
    QObject::connect(worker, &ThreadCom::upgradeMessage, &loop, [&](const QString &message) {
        progress.end();
        Console::err(QStringLiteral("flash: ") + message);
    });
    QObject::connect(worker, &ThreadCom::upgradeEnded, &loop, [&](Upgrade_logic::Outcome ended) {
        outcome = ended;
        loop.quit();
    });
    link->onWorker([&](ThreadCom *w) {
        w->Upgrade();
        w->setUpgradeWaitLimits(limits[0], limits[1], limits[2]);
    });
    QTimer::singleShot(BootLoaderEntryMs, worker, [worker, path] { worker->launch_upgrade(path); });
    loop.exec();
    progress.end();

    switch (outcome) {
    case Upgrade_logic::Done:
        link->close();
        return parser.isSet(verify) ? verifyReconnect(link->portName(), interrupts) : ExitCode::Success;
    case Upgrade_logic::Stopped:
        Console::err(QStringLiteral("Interrupted after %1 of %2 bytes: the hub holds no whole image. "
                                    "Flash it again.").arg(progress.sent()).arg(total));
        return ExitCode::Interrupted;
    case Upgrade_logic::PortLost:
        Console::err(QStringLiteral("The boot loader's port %1 could not be used or went away after %2 of %3 "
                                    "bytes. Reconnect the hub and flash it again.")
                         .arg(link->portName()).arg(progress.sent()).arg(total));
        return ExitCode::PortFailed;
    case Upgrade_logic::FileUnusable:
        return ExitCode::NoInput;
    case Upgrade_logic::Refused:
    case Upgrade_logic::Silent:
        break;
    }
    Console::err(QStringLiteral("The upgrade did not finish after %1 of %2 bytes. Reconnect the hub and "
                                "flash it again.").arg(progress.sent()).arg(total));
    return ExitCode::HubFailed;
}
