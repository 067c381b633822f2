// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef INTERRUPTS_H
#define INTERRUPTS_H

#include <QObject>

class QSocketNotifier;

// Ctrl-C and SIGTERM as a Qt signal: the handler only writes a byte into a
// socket pair, and the event loop turns it into interrupted(), so that a
// command ends the way it chooses, with its rows flushed.
class Interrupts : public QObject
{
    Q_OBJECT

public:
    explicit Interrupts(QObject *parent = nullptr);
    ~Interrupts() override;

    bool received() const { return seen; }

signals:
    void interrupted();

private:
    void takeSignal();

    QSocketNotifier *notifier = nullptr;
    bool seen = false;
};

#endif // INTERRUPTS_H
