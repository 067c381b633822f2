// SPDX-License-Identifier: GPL-3.0-or-later
#include "hubreport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

QString HubReport::output() const
{
    return displayMode == HubProtocol::Binary ? QStringLiteral("binary") : QStringLiteral("text");
}

QString HubReport::mode() const
{
    return operatingMode == HubProtocol::Fast ? QStringLiteral("fast") : QStringLiteral("precise");
}

QString HubReport::maskText() const
{
    return QString::fromLatin1(HubProtocol::connectedSensorsCommand(mask).mid(1));
}

QList<int> HubReport::sensors() const
{
    QList<int> numbers;
    for (int i = 0; i < HubProtocol::SensorCount; ++i)
        if ((static_cast<quint8>(mask) >> i) & 1)
            numbers << i;
    return numbers;
}

QStringList HubReport::lines() const
{
    QStringList numbers;
    for (int i : sensors())
        numbers << QString::number(i);
    return {QStringLiteral("port: ") + port,
            QStringLiteral("device: ") + identity.DeviceName,
            QStringLiteral("serial: ") + identity.SerialNo,
            QStringLiteral("firmware: ") + identity.FirmwareVersion,
            QStringLiteral("firmware_type: ") + identity.FirmwareType,
            QStringLiteral("output: ") + output(),
            QStringLiteral("mode: ") + mode(),
            QStringLiteral("sensor_mask: ") + maskText(),
            QStringLiteral("sensors: ") + numbers.join(QLatin1Char(','))};
}

QByteArray HubReport::json() const
{
    QJsonArray numbers;
    for (int i : sensors())
        numbers.append(i);
    const QJsonObject object{{QStringLiteral("port"), port},
                             {QStringLiteral("device"), identity.DeviceName},
                             {QStringLiteral("serial"), identity.SerialNo},
                             {QStringLiteral("firmware"), identity.FirmwareVersion},
                             {QStringLiteral("firmware_type"), identity.FirmwareType},
                             {QStringLiteral("output"), output()},
                             {QStringLiteral("mode"), mode()},
                             {QStringLiteral("sensor_mask"), maskText()},
                             {QStringLiteral("sensors"), numbers}};
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}
