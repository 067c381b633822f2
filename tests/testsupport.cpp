#include "testsupport.h"

#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QMessageBox>

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

HubSimulator::Readings readings(std::initializer_list<int> values)
{
    HubSimulator::Readings r{};
    std::copy(values.begin(), values.end(), r.begin());
    return r;
}
