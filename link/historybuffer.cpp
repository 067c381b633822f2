// SPDX-License-Identifier: GPL-3.0-or-later
#include "historybuffer.h"

#include <QMutexLocker>

HistoryBuffer::HistoryBuffer()
{
    clock.start();
}

void HistoryBuffer::takeRecord(const HubProtocol::Readings &readings, uchar, uchar)
{
    const qint64 now = clock.elapsed();
    QMutexLocker lock(&mutex);
    if (!points.empty() && now - points.back().ms < ResolutionMs)
        return;
    points.push_back({now, readings});
    kept.fetch_add(1, std::memory_order_relaxed);
    while (now - points.front().ms > KeptSeconds * 1000)
        points.pop_front();
}

void HistoryBuffer::snapshot(double spanSeconds, int maxPoints, QVector<double> &secondsAgo,
                             std::array<QVector<double>, HubProtocol::SensorCount> &values) const
{
    secondsAgo.clear();
    for (QVector<double> &column : values)
        column.clear();
    const qint64 now = clock.elapsed();
    const qint64 from = now - qint64(spanSeconds * 1000);
    QMutexLocker lock(&mutex);
    auto first = points.begin();
    while (first != points.end() && first->ms < from)
        ++first;
    const int count = int(points.end() - first);
    const int step = maxPoints > 0 ? qMax(1, (count + maxPoints - 1) / maxPoints) : 1;
    for (auto it = first; it < points.end(); it += qMin<qint64>(step, points.end() - it)) {
        secondsAgo.append((it->ms - now) / 1000.0);
        for (int k = 0; k < HubProtocol::SensorCount; ++k)
            values[k].append(it->readings[k]);
    }
}

int HistoryBuffer::size() const
{
    QMutexLocker lock(&mutex);
    return int(points.size());
}
