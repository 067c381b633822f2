// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef SENSORCOLOURS_H
#define SENSORCOLOURS_H

#include <QColor>

// One colour a sensor, the same in the history plot and in the swatch beside
// the sensor's group: bright enough on the window's near-black.
inline QColor sensorColour(int sensor)
{
    static const QRgb colours[8] = {0xe6e600, 0xff8c1a, 0xff4d4d, 0xe05ce0,
                                    0x5c8cff, 0x33d6d6, 0x5cd65c, 0xd9d9d9};
    return QColor(colours[sensor & 7]);
}

#endif // SENSORCOLOURS_H
