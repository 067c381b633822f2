// SPDX-License-Identifier: GPL-3.0-or-later
#include "historycontrol.h"

#include "historybuffer.h"
#include "historywindow.h"
#include "hubprotocol.h"
#include "sensorcolours.h"
#include "threadcom.h"

#include <QGroupBox>
#include <QLabel>

HistoryControl::HistoryControl(QWidget *window, QWidget *sensorGroups)
    : QObject(window)
    , parentWindow(window)
    , buffer(std::make_shared<HistoryBuffer>())
{
    addSwatches(sensorGroups);
}

HistoryControl::~HistoryControl() = default;

HistoryWindow *HistoryControl::plot()
{
    if (!plotWindow) {
        plotWindow = new HistoryWindow(buffer, parentWindow);
        plotWindow->setObjectName(QStringLiteral("HistoryWindow"));
        plotWindow->setMaximum(maximum);
        plotWindow->setSensorMask(mask);
        connect(plotWindow, &HistoryWindow::visibilityChanged, this, [this](bool visible) {
            if (visible)
                attach();
            else
                detach();
        });
    }
    return plotWindow;
}

void HistoryControl::show()
{
    plot()->show();
    plotWindow->raise();
}

void HistoryControl::setMaximum(int millimetres)
{
    maximum = millimetres;
    if (plotWindow)
        plotWindow->setMaximum(millimetres);
}

void HistoryControl::setSensorMask(qint8 sensors)
{
    mask = sensors;
    if (plotWindow)
        plotWindow->setSensorMask(sensors);
}

void HistoryControl::linkStarted(ThreadCom *com)
{
    worker = com;
    // Not started yet: the worker's thread cannot be reading its sinks.
    if (plotWindow && plotWindow->isVisible())
        com->addRecordSink(buffer.get());
}

void HistoryControl::linkLeft()
{
    detach();
    worker = nullptr;
}

void HistoryControl::attach()
{
    ThreadCom *target = worker.data();
    if (!target)
        return;
    RecordSink *sink = buffer.get();
    QMetaObject::invokeMethod(
        target, [target, sink] { target->addRecordSink(sink); }, Qt::QueuedConnection);
}

// The worker may still be reading: it lets go of the buffer on its own
// thread, and the buffer lives until it has.
void HistoryControl::detach()
{
    ThreadCom *target = worker.data();
    if (!target)
        return;
    const std::shared_ptr<HistoryBuffer> keep = buffer;
    QMetaObject::invokeMethod(
        target, [target, keep] { target->removeRecordSink(keep.get()); },
        Qt::QueuedConnection);
}

void HistoryControl::addSwatches(QWidget *sensorGroups)
{
    for (int i = 0; i < HubProtocol::SensorCount; ++i) {
        auto *group = sensorGroups->findChild<QGroupBox *>(QStringLiteral("groupBoxPX%1").arg(i));
        if (!group)
            continue;
        auto *swatch = new QLabel(group);
        swatch->setObjectName(QStringLiteral("swatchPX%1").arg(i));
        swatch->setFixedSize(10, 10);
        swatch->setStyleSheet(QStringLiteral("background-color: %1; border: none;").arg(sensorColour(i).name()));
        swatch->move(group->fontMetrics().horizontalAdvance(group->title()) + 18, 4);
    }
}
