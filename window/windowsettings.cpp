// SPDX-License-Identifier: GPL-3.0-or-later
#include "windowsettings.h"

#include "historywindow.h"
#include "storedsettings.h"

#include <QAction>
#include <QComboBox>
#include <QScreen>
#include <QSettings>
#include <QSpinBox>

#include <new>

namespace {

int storedValue(const StoredSettings &stored, const QString &key, const QSpinBox *box)
{
    return stored.number(key, box->minimum(), box->maximum(), box->value());
}

// A window many times its screen's size is no window the user left: a broken
// or foreign file's geometry (100000 x 100000 made a window of four gigabytes
// that crashed when drawn) is passed over. Qt already brings back one that
// lies beyond the screens.
void restoreFitting(QWidget *widget, const QByteArray &geometry)
{
    const QByteArray before = widget->saveGeometry();
    if (geometry.isEmpty() || !widget->restoreGeometry(geometry))
        return;
    const QScreen *screen = widget->screen();
    const QSize room = screen ? screen->availableVirtualSize() : QSize();
    if (room.isValid() && (widget->width() > 4 * room.width() || widget->height() > 4 * room.height()))
        widget->restoreGeometry(before);
}

} // namespace

WindowSettings::WindowSettings(QSettings *settings, const Controls &controls)
    : settings(settings)
    , controls(controls)
{
}

bool WindowSettings::restore() const
{
    const StoredSettings stored(settings);
    const QString port = stored.text(QStringLiteral("port"));
    if (!port.isEmpty())
        controls.port->setEditText(port);
    controls.maximum->setValue(storedValue(stored, QStringLiteral("maximum"), controls.maximum));
    controls.average->setValue(storedValue(stored, QStringLiteral("average"), controls.average));
    restoreFitting(controls.window, stored.bytes(QStringLiteral("geometry")));
    controls.reconnect->setChecked(stored.flag(QStringLiteral("reconnect"), false));
    return stored.flag(QStringLiteral("history/open"), false);
}

void WindowSettings::restoreHistory(HistoryWindow *history) const
{
    const StoredSettings stored(settings);
    history->setSpanIndex(stored.number(QStringLiteral("history/span"), 0, 2, 1));
    restoreFitting(history, stored.bytes(QStringLiteral("history/geometry")));
}

void WindowSettings::save(const HistoryWindow *history) const
{
    settings->setValue(QStringLiteral("port"), controls.port->currentText());
    settings->setValue(QStringLiteral("maximum"), controls.maximum->value());
    settings->setValue(QStringLiteral("average"), controls.average->value());
    settings->setValue(QStringLiteral("geometry"), controls.window->saveGeometry());
    settings->setValue(QStringLiteral("reconnect"), controls.reconnect->isChecked());
    settings->setValue(QStringLiteral("history/open"), history && history->isVisible());
    if (history) {
        settings->setValue(QStringLiteral("history/span"), history->spanIndex());
        settings->setValue(QStringLiteral("history/geometry"), history->saveGeometry());
    }
    // Writing merges with what the file holds: a file that cannot be read
    // (see StoredSettings) is left as it is rather than end the program.
    try {
        settings->sync();
    } catch (const std::bad_alloc &) {
    }
}
