// SPDX-License-Identifier: GPL-3.0-or-later
// pellix-soak [CYCLES]: connects the real window to the simulated hub and
// disconnects it again CYCLES times (default 200), with the hub streaming
// records in between (binary and text output by turns), then checks that the
// threads, open file descriptors and heap of the process are back where they
// started. Prints the figures; exits 1 when something did not come back.
//
//   build/bench/pellix-soak 200
#include "hubsimulator.h"
#include "mainwindow.h"
#include "testsupport.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QRadioButton>
#include <QTextBrowser>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <functional>

namespace {

// Runs the event loop until done() holds or ms have passed.
bool waitFor(const std::function<bool()> &done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

struct Resources
{
    int threads;
    int files;
    qint64 heapKb;
    qint64 residentKb;
};

Resources measure()
{
    // Let what the last disconnect scheduled for deletion go first.
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return {processThreadCount(), processOpenFiles(), processHeapKb(), processResidentKb()};
}

// The offscreen platform warns on every window it shows; nothing to learn there.
void quietOffscreen(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (!message.contains(QLatin1String("propagateSizeHints")))
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

} // namespace

int main(int argc, char **argv)
{
    qInstallMessageHandler(quietOffscreen);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int cycles = argc > 1 ? std::atoi(argv[1]) : 200;
    if (cycles <= 0) {
        std::fprintf(stderr, "usage: pellix-soak [CYCLES]\n");
        return 2;
    }

    HubSimulator hub;
    hub.setSpeedFactor(10);
    hub.setCyclePeriodMs(100);
    hub.setMask(0xFF);
    if (!hub.start()) {
        std::fprintf(stderr, "pellix-soak: no pseudo-terminal for the hub\n");
        return 2;
    }
    MainWindow window;
    window.show();
    auto *button = window.findChild<QPushButton *>(QStringLiteral("pushButtonConnect"));
    auto *sensor0 = window.findChild<QTextBrowser *>(QStringLiteral("textBrowserPX0"));
    auto *binary = window.findChild<QRadioButton *>(QStringLiteral("radioButtonBinaryMode"));
    auto *text = window.findChild<QRadioButton *>(QStringLiteral("radioButton_TextMode"));
    window.findChild<QComboBox *>(QStringLiteral("comboBoxPortName"))->setEditText(hub.portPath());

    int threadsWhenIdle = 0;
    int failures = 0;
    // One connection: configured, at least three records shown, disconnected,
    // and the worker's thread gone.
    const auto cycle = [&](int i) {
        const char mode = i % 2 ? 'T' : 'B';
        hub.setDisplayMode(mode);
        int shown = 0;
        const QMetaObject::Connection counting =
            QObject::connect(sensor0, &QTextBrowser::textChanged, [&] { ++shown; });
        button->click();
        // Records show only once the window has taken the hub's configuration.
        const bool ok = waitFor([&] { return shown >= 3; }, 10000)
                        && (mode == 'B' ? binary : text)->isChecked();
        QObject::disconnect(counting);
        button->click();
        const bool ended = waitFor([&] { return processThreadCount() == threadsWhenIdle; }, 10000);
        if (!ok || !ended) {
            ++failures;
            std::fprintf(stderr, "cycle %d: %s\n", i, ok ? "the worker's thread did not end" : "no records shown");
        }
    };

    threadsWhenIdle = processThreadCount();
    // The first connections load what stays loaded (fonts, styles, plugins).
    for (int i = 0; i < 4; ++i)
        cycle(i);
    const Resources before = measure();
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < cycles; ++i)
        cycle(i);
    const qint64 elapsed = clock.elapsed();
    const Resources after = measure();

    std::printf("%d connect/disconnect cycles in %.1f s (%d failed)\n", cycles, elapsed / 1000.0, failures);
    std::printf("%-16s %10s %10s\n", "", "before", "after");
    std::printf("%-16s %10d %10d\n", "threads", before.threads, after.threads);
    std::printf("%-16s %10d %10d\n", "open files", before.files, after.files);
    std::printf("%-16s %10lld %10lld\n", "heap KiB", qlonglong(before.heapKb), qlonglong(after.heapKb));
    std::printf("%-16s %10lld %10lld\n", "resident KiB", qlonglong(before.residentKb),
                qlonglong(after.residentKb));

    // A leak of one connection's worth per cycle would show as hundreds of
    // KiB; what remains below this is the allocator's noise.
    const qint64 heapSlackKb = 512;
    const bool back = failures == 0 && after.threads == before.threads && after.files == before.files
                      && after.heapKb - before.heapKb < heapSlackKb;
    std::printf("%s\n", back ? "resources returned" : "RESOURCES NOT RETURNED");
    return back ? 0 : 1;
}
