// SPDX-License-Identifier: GPL-3.0-or-later
#include "stylesheet.h"

#include <QFile>

namespace {

QString readResource(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    return QString::fromUtf8(file.readAll());
}

} // namespace

QString StyleSheet::load(Window window)
{
    static const char *const names[] = {"mainwindow", "about", "fw_upgrade", "restart"};
    return readResource(QStringLiteral(":/styles/dark-base.qss")) + QLatin1Char('\n')
           + readResource(QStringLiteral(":/styles/%1.qss").arg(QLatin1String(names[window])));
}
