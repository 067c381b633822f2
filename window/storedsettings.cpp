// SPDX-License-Identifier: GPL-3.0-or-later
#include "storedsettings.h"

#include <QSettings>

#include <new>

QVariant StoredSettings::value(const QString &key) const
{
    if (!settings)
        return QVariant();
    try {
        return settings->value(key);
    } catch (const std::bad_alloc &) {
        return QVariant();
    }
}

// Only text and numbers were ever stored as these; a list or a map that
// converts to text by accident is not the user's port.
QString StoredSettings::text(const QString &key) const
{
    const QVariant v = value(key);
    return v.userType() == QMetaType::QString ? v.toString() : QString();
}

int StoredSettings::number(const QString &key, int min, int max, int fallback) const
{
    const QVariant v = value(key);
    if (v.userType() != QMetaType::QString && v.userType() != QMetaType::Int)
        return fallback;
    bool ok = false;
    const int n = v.toString().toInt(&ok);
    return ok && n >= min && n <= max ? n : fallback;
}

bool StoredSettings::flag(const QString &key, bool fallback) const
{
    const QString v = text(key);
    if (v == QLatin1String("true"))
        return true;
    if (v == QLatin1String("false"))
        return false;
    const QVariant stored = value(key);
    return stored.userType() == QMetaType::Bool ? stored.toBool() : fallback;
}

QByteArray StoredSettings::bytes(const QString &key) const
{
    const QVariant v = value(key);
    return v.userType() == QMetaType::QByteArray ? v.toByteArray() : QByteArray();
}
