// SPDX-License-Identifier: GPL-3.0-or-later
#include "historywindow.h"
#include "ui_historywindow.h"

#include "historybuffer.h"
#include "sensorcolours.h"

#include <QFileDialog>
#include <QMessageBox>

namespace {

// At most thirty redraws a second, whatever the hub's rate.
const int RedrawIntervalMs = 33;
// About one point every second pixel column of a wide plot: the eye sees no
// more in a line of a pixel, and each point costs the GUI thread.
const int MostPoints = 600;
const double Spans[] = {10, 30, 120};

} // namespace

HistoryWindow::HistoryWindow(std::shared_ptr<HistoryBuffer> buffer, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , ui(new Ui::HistoryWindow)
    , buffer(std::move(buffer))
{
    ui->setupUi(this);
    ui->comboBoxSpan->setCurrentIndex(1);
    QCustomPlot *plot = ui->plot;
    plot->setBackground(QColor(0x14, 0x14, 0x14));
    for (QCPAxis *axis : {plot->xAxis, plot->yAxis}) {
        axis->setBasePen(QPen(QColor(0xb1, 0xb1, 0xb1)));
        axis->setTickPen(QPen(QColor(0xb1, 0xb1, 0xb1)));
        axis->setSubTickPen(QPen(QColor(0xb1, 0xb1, 0xb1)));
        axis->setTickLabelColor(QColor(0xe1, 0xe1, 0xe1));
        axis->setLabelColor(QColor(0xe1, 0xe1, 0xe1));
        axis->grid()->setPen(QPen(QColor(0x32, 0x32, 0x32)));
    }
    plot->xAxis->setLabel(tr("seconds"));
    plot->yAxis->setLabel(tr("mm"));
    plot->yAxis->setRange(0, 4000);
    for (int k = 0; k < HubProtocol::SensorCount; ++k) {
        QCPGraph *graph = plot->addGraph();
        graph->setPen(QPen(sensorColour(k), 1));
        graph->setName(tr("Pellix %1").arg(k));
        graph->setAdaptiveSampling(true);
    }
    redrawTimer.setInterval(RedrawIntervalMs);
    connect(&redrawTimer, &QTimer::timeout, this, &HistoryWindow::redraw);
    connect(ui->comboBoxSpan, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &HistoryWindow::redraw);
}

HistoryWindow::~HistoryWindow()
{
    delete ui;
}

void HistoryWindow::setSensorMask(qint8 mask)
{
    for (int k = 0; k < HubProtocol::SensorCount; ++k)
        ui->plot->graph(k)->setVisible((static_cast<quint8>(mask) >> k) & 1);
    redraw();
}

void HistoryWindow::setMaximum(int millimetres)
{
    ui->plot->yAxis->setRange(0, millimetres);
    redraw();
}

int HistoryWindow::spanIndex() const
{
    return ui->comboBoxSpan->currentIndex();
}

void HistoryWindow::setSpanIndex(int index)
{
    if (index >= 0 && index < ui->comboBoxSpan->count())
        ui->comboBoxSpan->setCurrentIndex(index);
}

double HistoryWindow::spanSeconds() const
{
    return Spans[qBound(0, ui->comboBoxSpan->currentIndex(), 2)];
}

void HistoryWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!ui->pushButtonPause->isChecked())
        redrawTimer.start();
    emit visibilityChanged(true);
}

void HistoryWindow::hideEvent(QHideEvent *event)
{
    redrawTimer.stop();
    QWidget::hideEvent(event);
    emit visibilityChanged(false);
}

void HistoryWindow::redraw()
{
    if (ui->pushButtonPause->isChecked() || !isVisible())
        return;
    QVector<double> secondsAgo;
    std::array<QVector<double>, HubProtocol::SensorCount> values;
    buffer->snapshot(spanSeconds(), MostPoints, secondsAgo, values);
    for (int k = 0; k < HubProtocol::SensorCount; ++k)
        ui->plot->graph(k)->setData(secondsAgo, values[k], true);
    ui->plot->xAxis->setRange(-spanSeconds(), 0);
    ui->plot->replot(QCustomPlot::rpQueuedReplot);
}

void HistoryWindow::on_pushButtonPause_toggled(bool paused)
{
    ui->pushButtonPause->setText(paused ? tr("Resume") : tr("Pause"));
    if (paused) {
        redrawTimer.stop();
    } else {
        redrawTimer.start();
        redraw();
    }
}

void HistoryWindow::on_pushButtonSaveImage_clicked()
{
    const QString path = QFileDialog::getSaveFileName(this, tr("Save image"), QStringLiteral("pellix-history.png"),
                                                      tr("PNG images (*.png)"));
    if (path.isEmpty())
        return;
    if (!ui->plot->savePng(path))
        QMessageBox::warning(this, tr("Save image"),
                             tr("Cannot write %1. Please choose another file.").arg(path));
}
