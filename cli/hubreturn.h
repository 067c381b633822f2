// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef HUBRETURN_H
#define HUBRETURN_H

#include "reconnectwait.h"

#include <QObject>
#include <QString>

#include <memory>

class HubLink;
class Interrupts;

// Waits for a hub that vanished to come back on the same port, with the same
// serial number, on the window's wait: the port is looked for once a second
// and tried, quietly, less often while the tries bring no hub back. Another
// hub that took the port is let go and named once on standard error. Runs in
// the caller's event loop, so whatever else that loop drives goes on.
class HubReturn : public QObject
{
    Q_OBJECT

public:
    // command begins every sentence ("publish").
    HubReturn(QString command, Interrupts &interrupts, QObject *parent = nullptr);
    ~HubReturn() override;

    // port as the user knows it: a link is resolved afresh at each try.
    void await(const QString &port, const QString &serial);
    // Ends the wait: no try from now on.
    void stop() { wait.stop(); }
    // The hub that came back, configured and identified; once.
    std::unique_ptr<HubLink> take();

signals:
    void returned();

private:
    void tryPort(const QString &port);

    const QString command;
    Interrupts &interrupts;
    ReconnectWait wait;
    QString serial;
    QString refusedSaid;
    std::unique_ptr<HubLink> back;
};

#endif // HUBRETURN_H
