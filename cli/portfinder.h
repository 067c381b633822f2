// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef PORTFINDER_H
#define PORTFINDER_H

#include <QList>
#include <QSerialPortInfo>
#include <QString>

// Which port the tool talks to. A port the user did not name is only ever
// used when it is the one port that looks like a hub.
class PortFinder
{
public:
    // The port named with --port, else PELLIX_PORT, else the single port
    // that looks like a hub: port as the user knows it, device the path to
    // open (the device itself, links resolved). False, with a sentence and an
    // exit code, when there is none to use.
    bool resolve(const QString &named, QString &port, QString &device, QString &error,
                 int &exitCode) const;

    // A hub: a USB description or manufacturer that names Pellix, or the
    // vendor:product pair given in PELLIX_USB_ID (four hex digits each).
    static bool looksLikeHub(const QSerialPortInfo &info);
    static QString usbId(const QSerialPortInfo &info); // "vvvv:pppp", or empty
    static QList<QSerialPortInfo> ports();
};

#endif // PORTFINDER_H
