// SPDX-License-Identifier: GPL-3.0-or-later
#include "hublink.h"

#include "exitcode.h"
#include "threadcom.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <memory>

namespace {

// The handshake ends by itself within about 6.2 s; this only guards against a
// worker that never reports at all.
const int OpenLimitMs = 15000;
const int CloseLimitMs = 5000;

const char *const NotFound = "Pellix Hub not found!";
// Both of the worker's texts for a port that another program holds.
const char *const InUse = "already open";

} // namespace

HubLink::HubLink(QString device, QString name, QObject *parent)
    : QObject(parent)
    , devicePath(std::move(device))
    , name(std::move(name))
{
}

HubLink::~HubLink()
{
    close();
}

HubLink::Outcome HubLink::open()
{
    link = WorkerThread(new ThreadCom(devicePath));
    ThreadCom *com = link.worker();
    connect(com, &ThreadCom::errorSerialPort, this, &HubLink::takeError);

    QEventLoop loop;
    Outcome outcome = Outcome::Failed;
    connect(com, &ThreadCom::Set_GUIConfiguration, &loop,
            [&](qint8 mask, uchar operatingMode, uchar displayMode) {
                reportedMask = mask;
                reportedOperatingMode = operatingMode;
                reportedDisplayMode = displayMode;
                // Written by the worker before it signalled.
                reportedFields = com->reported;
                outcome = Outcome::Configured;
                loop.quit();
            });
    connect(com, &ThreadCom::GoToUploadMode, &loop, [&] {
        outcome = Outcome::BootLoader;
        loop.quit();
    });
    connect(com, &ThreadCom::showdisco, &loop, &QEventLoop::quit);
    connect(this, &HubLink::failed, &loop, &QEventLoop::quit);
    QTimer::singleShot(OpenLimitMs, &loop, &QEventLoop::quit);
    link.startAfter(nullptr, 0);
    handshake = &loop;
    loop.exec();
    handshake = nullptr;
    if (outcome == Outcome::Failed && failureText.isEmpty()) {
        failureText = QStringLiteral("The worker for %1 never reported. Try again.").arg(name);
        failureExit = ExitCode::PortFailed;
    }
    opened = outcome == Outcome::Configured || outcome == Outcome::BootLoader;
    return outcome;
}

// The worker's texts are the window's box texts; here each becomes one
// sentence that says what to do. The first report of a failure is the
// telling one (an open failure sends a specific one, then a generic one).
void HubLink::takeError(const QString &text)
{
    const QString reason = text.simplified();
    if (!failureText.isEmpty())
        return;
    if (reason.startsWith(QLatin1String(NotFound))) {
        failureText = QStringLiteral("No Pellix hub answered on %1. Check that the port is the "
                                     "hub's and that the hub is powered.")
                          .arg(name);
        failureExit = ExitCode::HubFailed;
    } else if (opened) {
        failureText = QStringLiteral("The hub on %1 went away. Reconnect it and try again.").arg(name);
        failureExit = ExitCode::PortFailed;
        emit failed();
    } else if (reason.contains(QLatin1String(InUse))) {
        // Whether the user may open the port was checked before: what is left
        // is the lock on the device or the device's own exclusive use.
        failureText = QStringLiteral("Cannot open %1: another program is using it. Close that program "
                                     "and try again.")
                          .arg(name);
        failureExit = ExitCode::PortFailed;
    } else {
        // The worker's generic open failure adds nothing to the port's name.
        const QString why = reason.startsWith(QLatin1String("Cannot open serial port"))
                                ? QString()
                                : QStringLiteral(" (%1)").arg(reason);
        failureText = QStringLiteral("Cannot open %1%2. Check the name with 'pellix-hubctl ports' "
                                     "and that you may use the port (group dialout).")
                          .arg(name, why);
        failureExit = ExitCode::PortFailed;
    }
}

HubProtocol::Identity HubLink::identity() const
{
    HubProtocol::Identity identity;
    ThreadCom *com = link.worker();
    if (!com)
        return identity;
    QMutexLocker lock(&com->DataMutex);
    identity.DeviceName = com->DeviceName;
    identity.SerialNo = com->SerialNo;
    identity.FirmwareVersion = com->FirmwareVersion;
    identity.FirmwareType = com->FirmwareType;
    return identity;
}

HubReport HubLink::report() const
{
    return {name, identity(), reportedMask, reportedOperatingMode, reportedDisplayMode, reportedFields};
}

// Not a blocking call: a worker that ends meanwhile moves itself, and every
// call still posted to it, to this thread, which would then wait on itself.
void HubLink::onWorker(const std::function<void(ThreadCom *)> &f)
{
    ThreadCom *target = link.worker();
    if (!target || !link.isRunning())
        return;
    QEventLoop loop;
    const auto done = std::make_shared<std::atomic<bool>>(false);
    const QPointer<QEventLoop> waiting(&loop);
    // The call owns what it uses: it may run after this function returned.
    QMetaObject::invokeMethod(
        target, [target, f, done, waiting] {
            f(target);
            *done = true;
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [waiting] {
                    if (waiting)
                        waiting->quit();
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
    connect(link.thread(), &QThread::finished, &loop, &QEventLoop::quit);
    connect(target, &QObject::destroyed, &loop, &QEventLoop::quit);
    if (!*done)
        loop.exec();
}

void HubLink::interrupt()
{
    link.interrupt();
    // A handshake that is stopped ends without a word from the worker.
    if (handshake)
        handshake->quit();
}

void HubLink::close()
{
    if (!link.thread())
        return;
    link.end();
    if (!link.waitForEnd(CloseLimitMs) && link.thread()) {
        // A worker that does not end in time is left to the process's end.
        link.thread()->quit();
        link.thread()->wait(CloseLimitMs);
    }
    link = WorkerThread();
    // The worker's and the thread's own deletions were posted to this thread.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}
