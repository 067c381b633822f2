// SPDX-License-Identifier: GPL-3.0-or-later
#include "hubreturn.h"

#include "console.h"
#include "hublink.h"
#include "interrupts.h"
#include "portfinder.h"

HubReturn::HubReturn(QString command, Interrupts &interrupts, QObject *parent)
    : QObject(parent)
    , command(std::move(command))
    , interrupts(interrupts)
{
    connect(&wait, &ReconnectWait::portBack, this, &HubReturn::tryPort);
}

HubReturn::~HubReturn() = default;

void HubReturn::await(const QString &port, const QString &awaited)
{
    serial = awaited;
    refusedSaid.clear();
    back.reset();
    Console::err(QStringLiteral("%1: the hub on %2 went away; waiting for the hub with serial number %3 to come "
                                "back on %2.")
                     .arg(command, port, serial.isEmpty() ? QStringLiteral("unknown") : serial));
    wait.setVanished(port, serial);
    wait.linkEnded();
}

std::unique_ptr<HubLink> HubReturn::take()
{
    return std::move(back);
}

void HubReturn::tryPort(const QString &port)
{
    if (interrupts.received())
        return;
    wait.tryStarting();
    QString name, device, error;
    int exitCode = 0;
    // A link named as the port may lead to another device by now.
    if (!PortFinder().resolve(port, name, device, error, exitCode)) {
        wait.tryFailed();
        wait.linkEnded();
        return;
    }
    auto link = std::make_unique<HubLink>(device, name);
    connect(&interrupts, &Interrupts::interrupted, link.get(), &HubLink::interrupt);
    const HubLink::Outcome outcome = link->open();
    if (outcome == HubLink::Outcome::Configured && !interrupts.received()) {
        const QString answered = link->identity().SerialNo;
        if (wait.hubAnswered(answered)) {
            Console::err(QStringLiteral("%1: the hub with serial number %2 is back on %3.").arg(command, answered, port));
            back = std::move(link);
            emit returned();
            return;
        }
        // Said once a hub: the tries that find it there again are quiet.
        if (answered != refusedSaid)
            Console::err(QStringLiteral("%1: another hub (serial number %2) is on %3; it is let go, and the wait "
                                        "for serial number %4 goes on.")
                             .arg(command, answered, port, serial));
        refusedSaid = answered;
    }
    link->close();
    wait.tryFailed();
    wait.linkEnded();
}
