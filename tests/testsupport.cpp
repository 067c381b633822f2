// SPDX-License-Identifier: GPL-3.0-or-later
#include "testsupport.h"

#include <QtTest>
#include <QtWidgets>

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PELLIX_SANITIZER_ALLOCATOR
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PELLIX_SANITIZER_ALLOCATOR
#endif
#ifdef PELLIX_SANITIZER_ALLOCATOR
// From the sanitizer's runtime (not every compiler ships its header).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

MessageBoxWatcher::MessageBoxWatcher(QObject *parent)
    : QObject(parent)
{
    qApp->installEventFilter(this);
    connect(&timer, &QTimer::timeout, this, &MessageBoxWatcher::closeVisible);
    timer.start(50);
}

MessageBoxWatcher::~MessageBoxWatcher()
{
    qApp->removeEventFilter(this);
}

bool MessageBoxWatcher::eventFilter(QObject *watched, QEvent *event)
{
    auto *box = qobject_cast<QMessageBox *>(watched);
    if (box && event->type() == QEvent::Show)
        seen.append(qMakePair(box->windowTitle(), box->text()));
    return false;
}

void MessageBoxWatcher::closeVisible()
{
    for (QWidget *window : QApplication::topLevelWidgets()) {
        auto *box = qobject_cast<QMessageBox *>(window);
        if (box && box->isVisible())
            box->done(QMessageBox::Ok);
    }
}

int processThreadCount()
{
    return QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
}

int processOpenFiles()
{
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size();
}

double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

qint64 processResidentKb()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    return statm.readAll().split(' ').value(1).toLongLong() * sysconf(_SC_PAGESIZE) / 1024;
}

qint64 processHeapKb()
{
#ifdef PELLIX_SANITIZER_ALLOCATOR
    return qint64(__sanitizer_get_current_allocated_bytes()) / 1024;
#else
    const struct mallinfo2 info = mallinfo2();
    return qint64(info.uordblks + info.hblkhd) / 1024;
#endif
}

HubSimulator::Readings readings(std::initializer_list<int> values)
{
    HubSimulator::Readings r{};
    std::copy(values.begin(), values.end(), r.begin());
    return r;
}

QStringList displayed(const HubSimulator::Readings &values, char display)
{
    QStringList texts;
    for (qint16 v : values)
        texts << (display == 'B' ? QString::asprintf("%04X", int(v)) : QString::number(v));
    return texts;
}

void typePortAndConnect(QWidget *window, const QString &port)
{
    window->findChild<QComboBox *>(QStringLiteral("comboBoxPortName"))->setEditText(port);
    QTest::mouseClick(window->findChild<QPushButton *>(QStringLiteral("pushButtonConnect")),
                      Qt::LeftButton);
}

bool waitForHubConfiguration(QWidget *window, int timeoutMs)
{
    return QTest::qWaitFor([window] {
        return window->findChild<QStatusBar *>(QStringLiteral("statusBar"))->currentMessage()
               == QLatin1String("Connected");
    }, timeoutMs);
}

QStringList sensorTexts(const QWidget *window)
{
    QStringList texts;
    for (int i = 0; i < 8; ++i)
        texts << window->findChild<QTextBrowser *>(QStringLiteral("textBrowserPX%1").arg(i))->toPlainText();
    return texts;
}

QWidget *visibleTopLevel(const char *objectName)
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (w->objectName() == QLatin1String(objectName) && w->isVisible())
            return w;
    }
    return nullptr;
}

void answerNextFileDialog(QObject *context, const QString &path)
{
    auto *timer = new QTimer(context);
    QObject::connect(timer, &QTimer::timeout, context, [timer, path] {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            auto *dialog = qobject_cast<QFileDialog *>(w);
            if (!dialog || !dialog->isVisible())
                continue;
            timer->deleteLater();
            if (path.isEmpty()) {
                dialog->reject();
            } else {
                // selectFile() does not leave the dialog's odd start directory
                // before its model has loaded; the name box does.
                dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(path);
                QMetaObject::invokeMethod(dialog, "accept");
            }
            return;
        }
    });
    timer->start(50);
}

namespace {

QtMessageHandler testLogHandler = nullptr;

// The offscreen platform says this of every window it shows, hundreds of
// times a run; a failure's own lines would drown in it.
void dropOffscreenNoise(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg && message == QLatin1String("This plugin does not support propagateSizeHints()"))
        return;
    testLogHandler(type, context, message);
}

} // namespace

void WindowTest::init()
{
    if (!testLogHandler)
        testLogHandler = qInstallMessageHandler(dropOffscreenNoise);
    threadsWithoutHub = processThreadCount();
    expectedBoxes.clear();
    boxes = new MessageBoxWatcher;
    hub = new HubSimulator;
    hub->setSpeedFactor(10);
    hub->setCyclePeriodMs(100);
    hub->setOperatingMode('P');
    QVERIFY(hub->start());
    window = new MainWindow;
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    baselineThreads = processThreadCount();
    baselineFiles = processOpenFiles();
}

void WindowTest::cleanup()
{
    delete window;
    window = nullptr;
    delete hub;
    hub = nullptr;
    // No worker thread may outlive its window.
    QTRY_COMPARE(processThreadCount(), threadsWithoutHub);
    const QList<QPair<QString, QString>> seen = boxes->seen;
    delete boxes;
    QCOMPARE(seen, expectedBoxes);
}

void WindowTest::clickConnect()
{
    QTest::mouseClick(child<QPushButton>(QStringLiteral("pushButtonConnect")), Qt::LeftButton);
}

bool WindowTest::connectToHub()
{
    typePortAndConnect(window, hub->portPath());
    return waitForHubConfiguration(window);
}

QList<int> WindowTest::bars() const
{
    QList<int> values;
    for (int i = 0; i < 8; ++i)
        values << child<QProgressBar>(QStringLiteral("progressBarPX%1").arg(i))->value();
    return values;
}

bool WindowTest::showsAfterReconnect(const HubSimulator::Readings &values, char display)
{
    hub->setDisplayMode(display);
    hub->setFixedReadings(values);
    const int threads = processThreadCount();
    [&] {
        QCOMPARE(caption(), QStringLiteral("Connect"));
        QVERIFY(connectToHub());
        QTRY_COMPARE_WITH_TIMEOUT(texts(), displayed(values, display), 5000);
        clickConnect();
        QTRY_COMPARE(processThreadCount(), threads);
    }();
    return !QTest::currentTestFailed();
}
