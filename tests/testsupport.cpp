#include "testsupport.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTextBrowser>
#include <QtTest>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QMessageBox>

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
    const QList<QWidget *> windows = QApplication::topLevelWidgets();
    for (QWidget *window : windows) {
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
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.value(1).toLongLong() * sysconf(_SC_PAGESIZE) / 1024;
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

void typePortAndConnect(QWidget *window, const QString &port)
{
    window->findChild<QComboBox *>(QStringLiteral("comboBoxPortName"))->setEditText(port);
    QTest::mouseClick(window->findChild<QPushButton *>(QStringLiteral("pushButtonConnect")),
                      Qt::LeftButton);
}

bool waitForHubConfiguration(QWidget *window, int timeoutMs)
{
    const auto configured = [window] {
        return window->findChild<QRadioButton *>(QStringLiteral("radioButton_TextMode"))->isChecked()
               || window->findChild<QRadioButton *>(QStringLiteral("radioButtonBinaryMode"))->isChecked();
    };
    QElapsedTimer clock;
    clock.start();
    while (!configured() && clock.elapsed() < timeoutMs)
        QTest::qWait(10);
    return configured();
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
