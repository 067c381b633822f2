// SPDX-License-Identifier: GPL-3.0-or-later
// Draws the five interface images into the directory given as the first argument and,
// when a second one is given, the application icon at the desktop's usual sizes into
// that hicolor theme directory. Built and run by make-images.sh; not part of the
// program's build. Everything is drawn from geometry so the PNGs can be regenerated
// byte for byte with the same Qt.

#include <QColor>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QRadialGradient>
#include <QString>
#include <QtMath>

#include <cstdio>

namespace {

const QColor accent(0xe6, 0xe6, 0x00);
const QColor accentLight(0xff, 0xff, 0x7c);
const QColor accentDark(0x64, 0x64, 0x00);
const QColor light(0xe1, 0xe1, 0xe1);
const QColor outline(0x14, 0x14, 0x14);

QImage blank(int w, int h)
{
    QImage img(w, h, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    return img;
}

bool save(const QImage &img, const QString &dir, const char *name)
{
    const QString path = dir + QLatin1Char('/') + QLatin1String(name);
    if (!img.save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

// A hub with eight sensors around it: the rays are drawn twice, dark and wide
// first, so the picture stays readable on light title bars as well as dark panels.
// The geometry is laid out on a 64 px grid and scaled for the other sizes; at 64 px
// no transform is set at all, so the compiled-in icon stays byte for byte the same.
QImage appIcon(int pixels = 64)
{
    const int size = 64;
    const QPointF c(size / 2.0, size / 2.0);
    QImage img = blank(pixels, pixels);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    if (pixels != size)
        p.scale(double(pixels) / size, double(pixels) / size);

    const double rayFrom = 12.0, rayTo = 22.0, sensorAt = 25.5, sensorR = 4.6;
    for (int pass = 0; pass < 2; ++pass) {
        p.setPen(QPen(pass == 0 ? outline : light, pass == 0 ? 5.0 : 2.6, Qt::SolidLine, Qt::RoundCap));
        for (int i = 0; i < 8; ++i) {
            const double a = qDegreesToRadians(i * 45.0);
            const QPointF dir(qCos(a), -qSin(a));
            p.drawLine(c + dir * rayFrom, c + dir * rayTo);
        }
    }
    for (int i = 0; i < 8; ++i) {
        const double a = qDegreesToRadians(i * 45.0);
        const QPointF at = c + QPointF(qCos(a), -qSin(a)) * sensorAt;
        QRadialGradient g(at - QPointF(1.2, 1.2), sensorR * 1.6);
        g.setColorAt(0.0, accentLight);
        g.setColorAt(0.6, accent);
        g.setColorAt(1.0, accentDark);
        p.setPen(QPen(outline, 1.4));
        p.setBrush(g);
        p.drawEllipse(at, sensorR, sensorR);
    }

    // The hub body: a yellow disc with a dark ring and a lit core.
    QRadialGradient body(c - QPointF(3, 3), 16);
    body.setColorAt(0.0, Qt::white);
    body.setColorAt(0.35, accentLight);
    body.setColorAt(0.75, accent);
    body.setColorAt(1.0, accentDark);
    p.setPen(QPen(outline, 2.0));
    p.setBrush(body);
    p.drawEllipse(c, 12.5, 12.5);
    p.setPen(QPen(QColor(0x32, 0x32, 0x32), 1.6));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(c, 7.0, 7.0);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x32, 0x32, 0x32));
    p.drawEllipse(c, 2.6, 2.6);
    return img;
}

// Sized to fill the 14 x 14 content box of the check-box indicator one to one.
QImage checkMark()
{
    QImage img = blank(14, 14);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath tick;
    tick.moveTo(2.5, 7.5);
    tick.lineTo(5.5, 10.5);
    tick.lineTo(11.5, 3.0);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(outline, 3.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(tick);
    p.setPen(QPen(accent, 2.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(tick);
    return img;
}

// Set pixel by pixel: at this size any smoothing only blurs the point.
QImage arrow(bool up)
{
    const int w = 9, h = 5;
    QImage img = blank(w, h);
    for (int row = 0; row < h; ++row) {
        const int y = up ? row : h - 1 - row;
        for (int x = (w - 1) / 2 - row; x <= (w - 1) / 2 + row; ++x)
            img.setPixelColor(x, y, light);
    }
    return img;
}

// A three-quarter circle whose open end carries the arrow head, turning clockwise.
QImage refresh()
{
    const int size = 18;
    const QPointF c(size / 2.0, size / 2.0);
    const double r = 5.6;
    QImage img = blank(size, size);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);

    const QRectF box(c.x() - r, c.y() - r, 2 * r, 2 * r);
    const int startDeg = 345, spanDeg = -280;     // Qt angles: counter-clockwise positive
    const double endA = qDegreesToRadians(double(startDeg + spanDeg));
    const QPointF end = c + QPointF(qCos(endA), -qSin(endA)) * r;
    const QPointF tangent(qSin(endA), qCos(endA));  // direction of travel at the end
    const QPointF normal(qCos(endA), -qSin(endA));
    const QPolygonF head({end + tangent * 3.6, end + normal * 3.4 - tangent * 1.2,
                          end - normal * 3.4 - tangent * 1.2});

    for (int pass = 0; pass < 2; ++pass) {
        const QColor col = pass == 0 ? outline : accent;
        p.setPen(QPen(col, pass == 0 ? 4.0 : 2.2, Qt::SolidLine, Qt::FlatCap));
        p.setBrush(Qt::NoBrush);
        p.drawArc(box, startDeg * 16, spanDeg * 16);
        p.setPen(pass == 0 ? QPen(col, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin) : Qt::NoPen);
        p.setBrush(col);
        p.drawPolygon(head);
    }
    return img;
}

// The sizes menus, docks, launchers and software centres ask the icon theme for.
const int themeIconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

// Writes HICOLOR/NxN/apps/pellix-hub-controler.png for every theme size.
bool saveThemeIcons(const QString &hicolor)
{
    for (const int px : themeIconSizes) {
        const QString apps = QStringLiteral("%1/%2x%2/apps").arg(hicolor).arg(px);
        if (!QDir().mkpath(apps)) {
            std::fprintf(stderr, "cannot create %s\n", qPrintable(apps));
            return false;
        }
        if (!save(appIcon(px), apps, "pellix-hub-controler.png"))
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR [HICOLOR_DIR]\n", argv[0]);
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    const bool ok = save(appIcon(), dir, "app-icon.png")
            && save(checkMark(), dir, "check-mark.png")
            && save(arrow(true), dir, "arrow-up.png")
            && save(arrow(false), dir, "arrow-down.png")
            && save(refresh(), dir, "refresh.png")
            && (argc < 3 || saveThemeIcons(QString::fromLocal8Bit(argv[2])));
    return ok ? 0 : 1;
}
