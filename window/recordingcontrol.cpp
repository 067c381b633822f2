// SPDX-License-Identifier: GPL-3.0-or-later
#include "recordingcontrol.h"

#include "csvrecording.h"
#include "threadcom.h"

#include <QAction>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QStandardPaths>
#include <QStatusBar>
#include <QThread>

#include <utility>

RecordingControl::RecordingControl(QAction *action, QStatusBar *statusBar, std::function<ThreadCom *()> worker,
                                   QWidget *parent)
    : QObject(parent)
    , action(action)
    , dialogParent(parent)
    , worker(std::move(worker))
    , label(new QLabel(parent))
{
    label->setObjectName(QStringLiteral("labelRecording"));
    statusBar->addPermanentWidget(label);
    connect(&timer, &QTimer::timeout, this, &RecordingControl::showStatus);
}

RecordingControl::~RecordingControl()
{
    if (recording)
        stop();
}

void RecordingControl::toggle(int meanCount)
{
    if (recording) {
        stop();
        return;
    }
    if (!live || !worker())
        return;
    const QString suggested =
        QDir(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation))
            .filePath(QDateTime::currentDateTime().toString(QStringLiteral("'pellix-'yyyyMMdd-HHmmss'.csv'")));
    // The dialog asks before it lets an existing file be replaced.
    const QString path = QFileDialog::getSaveFileName(dialogParent, tr("Record to CSV"), suggested,
                                                      tr("CSV files (*.csv)"));
    ThreadCom *target = worker();
    if (path.isEmpty() || !live || !target)
        return;
    QString error;
    recording = CsvRecording::start(path, error);
    if (!recording) {
        QMessageBox::warning(dialogParent, tr("Record to CSV"),
                             tr("Cannot write %1 (%2). Please choose another file.").arg(path, error));
        return;
    }
    recording->setMeanCount(meanCount);
    RecordSink *sink = recording.get();
    QMetaObject::invokeMethod(
        target, [target, sink] { target->addRecordSink(sink); }, Qt::QueuedConnection);
    action->setText(tr("Stop Recording"));
    // Rows reach the file on time, whether or not the hub sends more.
    timer.start(Recorder::FlushIntervalMs);
    showStatus();
}

void RecordingControl::setMeanCount(int n)
{
    if (recording)
        recording->setMeanCount(n);
}

void RecordingControl::linkChanged(bool isLive, const QString &why)
{
    live = isLive;
    if (recording && !live)
        stop(why);
    action->setEnabled(live || recording);
}

void RecordingControl::showStatus()
{
    if (!recording)
        return;
    recording->flush();
    if (recording->failed()) {
        const QString file = recording->path();
        const QString reason = recording->failure();
        stop(tr("the file cannot be written"));
        QMessageBox::warning(dialogParent, tr("Record to CSV"),
                             tr("The recording stopped: %1 cannot be written (%2). The display goes on.")
                                 .arg(file, reason));
        return;
    }
    label->setText(tr("Recording %1, %2 rows").arg(QFileInfo(recording->path()).fileName()).arg(recording->rows()));
}

// The file is closed on the worker's thread once the worker no longer writes
// to it, and the final count shown then; with no worker left to write, here.
void RecordingControl::stop(const QString &why)
{
    if (!recording)
        return;
    const std::shared_ptr<CsvRecording> ending = std::move(recording);
    recording.reset();
    timer.stop();
    action->setText(tr("Record to CSV..."));
    action->setEnabled(live);
    const QString name = QFileInfo(ending->path()).fileName();
    const auto stopped = [name, why](qint64 rows) {
        return why.isEmpty() ? tr("Recording stopped: %1, %2 rows").arg(name).arg(rows)
                             : tr("Recording stopped, %1: %2, %3 rows").arg(why, name).arg(rows);
    };
    label->setText(stopped(ending->rows()));
    ThreadCom *target = worker();
    if (!target || target->thread() == thread() || !target->thread()->isRunning()) {
        ending->finish();
        label->setText(stopped(ending->rows()));
        return;
    }
    const QPointer<QLabel> shown = label;
    // Should the worker be gone before this runs, the recording is closed
    // with the last reference to it, and every row it took is in the file.
    QMetaObject::invokeMethod(
        target, [target, ending, shown, stopped] {
            target->removeRecordSink(ending.get());
            ending->finish();
            const QString text = stopped(ending->rows());
            // The label is looked at on its own thread only.
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [shown, text] {
                    if (shown)
                        shown->setText(text);
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}
