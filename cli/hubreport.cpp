// SPDX-License-Identifier: GPL-3.0-or-later
#include "hubreport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

const char *const Unknown = "unknown";

QJsonValue orNull(bool known, const QString &text)
{
    return known ? QJsonValue(text) : QJsonValue();
}

} // namespace

QString HubReport::output() const
{
    if (!reported.displayMode)
        return QLatin1String(Unknown);
    return displayMode == HubProtocol::Binary ? QStringLiteral("binary") : QStringLiteral("text");
}

QString HubReport::mode() const
{
    if (!reported.operatingMode)
        return QLatin1String(Unknown);
    return operatingMode == HubProtocol::Fast ? QStringLiteral("fast") : QStringLiteral("precise");
}

QString HubReport::maskText() const
{
    if (!reported.mask)
        return QLatin1String(Unknown);
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
    const auto identityField = [this](const QString &value) {
        return reported.identity ? value : QLatin1String(Unknown);
    };
    return {QStringLiteral("port: ") + port,
            QStringLiteral("device: ") + identityField(identity.DeviceName),
            QStringLiteral("serial: ") + identityField(identity.SerialNo),
            QStringLiteral("firmware: ") + identityField(identity.FirmwareVersion),
            QStringLiteral("firmware_type: ") + identityField(identity.FirmwareType),
            QStringLiteral("output: ") + output(),
            QStringLiteral("mode: ") + mode(),
            QStringLiteral("sensor_mask: ") + maskText(),
            QStringLiteral("sensors: ") + (reported.mask ? numbers.join(QLatin1Char(',')) : QLatin1String(Unknown))};
}

QByteArray HubReport::json() const
{
    QJsonArray numbers;
    for (int i : sensors())
        numbers.append(i);
    const QJsonObject object{{QStringLiteral("port"), port},
                             {QStringLiteral("device"), orNull(reported.identity, identity.DeviceName)},
                             {QStringLiteral("serial"), orNull(reported.identity, identity.SerialNo)},
                             {QStringLiteral("firmware"), orNull(reported.identity, identity.FirmwareVersion)},
                             {QStringLiteral("firmware_type"), orNull(reported.identity, identity.FirmwareType)},
                             {QStringLiteral("output"), orNull(reported.displayMode, output())},
                             {QStringLiteral("mode"), orNull(reported.operatingMode, mode())},
                             {QStringLiteral("sensor_mask"), orNull(reported.mask, maskText())},
                             {QStringLiteral("sensors"), reported.mask ? QJsonValue(numbers) : QJsonValue()}};
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}
