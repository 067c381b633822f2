// SPDX-License-Identifier: GPL-3.0-or-later
// The redraw cost of the history plot with each plotting library on offer:
// eight series of 300, 1000 and 3000 points, drawn into memory 60 times.
// Built only where Qt Charts is installed (it is not a dependency).
#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>
#include <QtCharts>
#include <qcustomplot.h>
#include <cmath>
#include <cstdio>

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
using namespace QtCharts;
#endif

static QVector<QPointF> series(int k, int points, double t0)
{
    QVector<QPointF> p;
    p.reserve(points);
    for (int i = 0; i < points; ++i) {
        const double t = t0 + i * 30.0 / points;
        p.append(QPointF(t, 2000 + 1500 * std::sin(t * 0.7 + k) + (i * 37 % 11) * 10));
    }
    return p;
}

template <typename Update>
static double timeIt(QWidget &w, int rounds, Update update)
{
    QImage image(w.size(), QImage::Format_ARGB32_Premultiplied);
    QElapsedTimer clock;
    clock.start();
    for (int r = 0; r < rounds; ++r) {
        update(r);
        QPainter painter(&image);
        w.render(&painter);
    }
    return clock.nsecsElapsed() / 1e6 / rounds;
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int rounds = 60;
    for (int points : {300, 1000, 3000}) {
        QCustomPlot plot;
        plot.resize(900, 360);
        for (int k = 0; k < 8; ++k)
            plot.addGraph()->setPen(QPen(QColor::fromHsv(k * 45, 255, 220), 1));
        plot.yAxis->setRange(0, 4000);
        const double cp = timeIt(plot, rounds, [&](int r) {
            for (int k = 0; k < 8; ++k) {
                const QVector<QPointF> s = series(k, points, r * 0.033);
                QVector<double> x, y;
                x.reserve(points); y.reserve(points);
                for (const QPointF &q : s) { x << q.x(); y << q.y(); }
                plot.graph(k)->setData(x, y, true);
            }
            plot.xAxis->setRange(r * 0.033, r * 0.033 + 30);
            plot.replot(QCustomPlot::rpImmediateRefresh);
        });

        QChart *chart = new QChart;
        QList<QLineSeries *> lines;
        for (int k = 0; k < 8; ++k) {
            auto *line = new QLineSeries;
            line->setPen(QPen(QColor::fromHsv(k * 45, 255, 220), 1));
            chart->addSeries(line);
            lines << line;
        }
        chart->createDefaultAxes();
        chart->legend()->hide();
        QChartView view(chart);
        view.resize(900, 360);
        const double qc = timeIt(view, rounds, [&](int r) {
            for (int k = 0; k < 8; ++k)
                lines[k]->replace(series(k, points, r * 0.033));
            chart->axes(Qt::Horizontal).first()->setRange(r * 0.033, r * 0.033 + 30);
            chart->axes(Qt::Vertical).first()->setRange(0, 4000);
        });
        std::printf("%5d points a sensor: QCustomPlot %.2f ms a redraw, Qt Charts %.2f ms a redraw\n", points, cp, qc);
    }
    return 0;
}
