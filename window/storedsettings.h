// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef STOREDSETTINGS_H
#define STOREDSETTINGS_H

#include <QByteArray>
#include <QString>
#include <QVariant>

class QSettings;

// Reads what an earlier run left in the settings file, as what each value
// should be or not at all. The file is the user's, to edit or to break: a
// value of another type, out of range, or one whose decoding fails (a list
// that claims more entries than memory holds) is ignored, never a reason for
// the program not to start.
class StoredSettings
{
public:
    explicit StoredSettings(QSettings *settings)
        : settings(settings) { }

    // The value as text, or empty.
    QString text(const QString &key) const;
    // A whole number within min and max, or fallback.
    int number(const QString &key, int min, int max, int fallback) const;
    bool flag(const QString &key, bool fallback) const;
    // Bytes the program stored (window geometry), or none.
    QByteArray bytes(const QString &key) const;

private:
    QVariant value(const QString &key) const;

    QSettings *settings;
};

#endif // STOREDSETTINGS_H
