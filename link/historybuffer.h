// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef HISTORYBUFFER_H
#define HISTORYBUFFER_H

#include "recordsink.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QVector>

#include <array>
#include <atomic>
#include <deque>

// The last two minutes of the eight sensors for the history plot. The worker
// fills it with every record on its own thread, but keeps at most one a
// resolution step, so that a hub at ten times the wire's rate costs the plot
// no more than one at the wire's rate; the plot copies what it shows.
class HistoryBuffer : public RecordSink
{
public:
    static const int KeptSeconds = 120;
    static const int ResolutionMs = 10;

    HistoryBuffer();

    void takeRecord(const HubProtocol::Readings &readings, uchar operatingMode,
                    uchar displayMode) override;

    // The points of the last span seconds, at most about maxPoints of them,
    // as seconds before now and one column of readings a sensor.
    void snapshot(double spanSeconds, int maxPoints, QVector<double> &secondsAgo,
                  std::array<QVector<double>, HubProtocol::SensorCount> &values) const;
    int size() const;
    // Counts every point kept, so that a reader can tell whether anything
    // came since it last looked without copying the points.
    quint64 pointsKept() const { return kept.load(std::memory_order_relaxed); }

private:
    struct Point
    {
        qint64 ms;
        HubProtocol::Readings readings;
    };

    mutable QMutex mutex;
    QElapsedTimer clock;
    std::deque<Point> points;
    std::atomic<quint64> kept{0};
};

#endif // HISTORYBUFFER_H
