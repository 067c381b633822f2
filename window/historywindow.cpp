// SPDX-License-Identifier: GPL-3.0-or-later
#include "historywindow.h"
#include "ui_historywindow.h"

#include "historybuffer.h"
#include "sensorcolours.h"

#include <QFileDialog>
#include <QMessageBox>

namespace {

// A redraw costs the GUI thread some two milliseconds however little has
// changed: at thirty a second the plot took 30 to 50% more of the GUI thread
// than the whole main window at the wire's rate. So the plot is redrawn once
// its lines have moved by three pixel columns, which still reads as a steady
// scroll (every 116 ms over 30 s in a window of the default size), at most
// fifteen and at least four times a second, whatever the hub's rate.
const int ColumnsPerRedraw = 3;
const int ShortestRedrawIntervalMs = 66;
const int LongestRedrawIntervalMs = 250;
// About one point every fourth pixel column of a plot of the default size:
// the lines were half of what a redraw cost, and the distances a hub reports
// change smoothly at that scale.
const int MostPoints = 200;
const double Spans[] = {10, 30, 120};

} // namespace

HistoryWindow::HistoryWindow(std::shared_ptr<HistoryBuffer> buffer, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , ui(new Ui::HistoryWindow)
    , buffer(std::move(buffer))
    , redrawTimer(this)
{
    ui->setupUi(this);
    ui->comboBoxSpan->setCurrentIndex(1);
    QCustomPlot *plot = ui->plot;
    plot->setBackground(QColor(0x14, 0x14, 0x14));
    // Antialiased, the lines took twice the time of the rest of a redraw;
    // one pixel wide on a dark ground they read as well without it.
    plot->setNotAntialiasedElements(QCP::aeAll);
    // The legend is never shown, but its entries would have their names laid
    // out again at every redraw.
    plot->setAutoAddPlottableToLegend(false);
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
    redrawTimer.setInterval(ShortestRedrawIntervalMs);
    connect(&redrawTimer, &QTimer::timeout, this, &HistoryWindow::redraw);
    connect(ui->comboBoxSpan, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &HistoryWindow::redrawNow);
}

HistoryWindow::~HistoryWindow()
{
    delete ui;
}

void HistoryWindow::setSensorMask(qint8 mask)
{
    for (int k = 0; k < HubProtocol::SensorCount; ++k)
        ui->plot->graph(k)->setVisible((static_cast<quint8>(mask) >> k) & 1);
    redrawNow();
}

void HistoryWindow::setMaximum(int millimetres)
{
    ui->plot->yAxis->setRange(0, millimetres);
    redrawNow();
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

const HistoryBuffer &HistoryWindow::historyBuffer() const
{
    return *buffer;
}

double HistoryWindow::spanSeconds() const
{
    return Spans[qBound(0, ui->comboBoxSpan->currentIndex(), 2)];
}

void HistoryWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    stale = true;
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

void HistoryWindow::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    // The redraw interval follows the plot's width.
    stale = true;
}

void HistoryWindow::redrawNow()
{
    stale = true;
    redraw();
}

void HistoryWindow::redraw()
{
    if (ui->pushButtonPause->isChecked() || !isVisible())
        return;
    // With the hub idle a redraw would only shift the same lines: a soak
    // found that at 4 to 6% of a core. They stand still until a point comes.
    const quint64 kept = buffer->pointsKept();
    if (!stale && kept == drawnPoints)
        return;
    stale = false;
    drawnPoints = kept;
    QVector<double> secondsAgo;
    std::array<QVector<double>, HubProtocol::SensorCount> values;
    buffer->snapshot(spanSeconds(), MostPoints, secondsAgo, values);
    for (int k = 0; k < HubProtocol::SensorCount; ++k)
        ui->plot->graph(k)->setData(secondsAgo, values[k], true);
    ui->plot->xAxis->setRange(-spanSeconds(), 0);
    ui->plot->replot(QCustomPlot::rpQueuedReplot);
    const int columns = qMax(1, ui->plot->axisRect()->width());
    const int interval = qBound(ShortestRedrawIntervalMs, int(1000 * spanSeconds() * ColumnsPerRedraw / columns),
                                LongestRedrawIntervalMs);
    if (interval != redrawTimer.interval())
        redrawTimer.setInterval(interval);
}

void HistoryWindow::on_pushButtonPause_toggled(bool paused)
{
    ui->pushButtonPause->setText(paused ? tr("Resume") : tr("Pause"));
    if (paused) {
        redrawTimer.stop();
    } else {
        redrawTimer.start();
        redrawNow();
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
