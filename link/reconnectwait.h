// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef RECONNECTWAIT_H
#define RECONNECTWAIT_H

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

// The window's "Reconnect Automatically" and pellix-hubctl publish
// --reconnect: after the hub vanished, its port is watched and tried, less and
// less often while the tries bring no hub back, until the hub with the same
// serial number answers there or the user stops the wait. The owner starts
// each try when told the port is back, and reports how the try went; the wait
// keeps the window's status text.
class ReconnectWait : public QObject
{
    Q_OBJECT

public:
    enum class State {
        Off,
        Vanished, // the link failed as a pulled cable does; the wait starts when it has ended
        Waiting,  // the port is looked for
        Trying    // a connection to the port is being made, the serial number not yet seen
    };

    explicit ReconnectWait(QObject *parent = nullptr);

    State state() const { return current; }
    // The user sees a wait, also while one of its tries runs.
    bool isWaiting() const { return current == State::Waiting || current == State::Trying; }
    bool isTrying() const { return current == State::Trying; }
    QString message() const { return text; }

    // The link to the hub on port, serial number serial, failed as a pulled
    // cable does; an empty port: it failed in another way, nothing to wait for.
    void setVanished(const QString &port, const QString &serial);
    // The link ended: a vanished hub is waited for now; a try that ended
    // before its hub was seen goes back to waiting.
    void linkEnded();
    // The user ended the wait.
    void stop();
    // The window starts a try, and then tells which worker makes it.
    void tryStarting();
    void setTryWorker(QObject *worker);
    // The try's worker, also once the try has ended: its late reports belong to the try.
    bool isTryWorker(const QObject *sender) const;
    // The try's hub answered with serial: true if it is the one awaited (the
    // wait is over); otherwise the wait goes on and says who took the port.
    bool hubAnswered(const QString &serial);
    // The try ended without a hub to compare (it went to its boot loader).
    void tryAbandoned();
    // The port is there but the try brought no hub back (it could not be
    // opened, say): tried less often from now on.
    void tryFailed();

signals:
    // The port is there again: the window may try it.
    void portBack(const QString &port);
    // message() or isWaiting() changed.
    void changed();

private:
    void look();
    void setDelay(int ms);

    static constexpr int FirstDelayMs = 1000;
    static constexpr int LastDelayMs = 16000;
    State current = State::Off;
    QTimer timer;
    int delayMs = FirstDelayMs;
    QString port;
    QString serial;
    QString text;
    QPointer<QObject> tryWorker;
};

#endif // RECONNECTWAIT_H
