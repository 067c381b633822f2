// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef STYLESHEET_H
#define STYLESHEET_H

#include <QString>

// The dark style sheets compiled into the program. Every window shares one
// base sheet and adds its own colours after it.
class StyleSheet
{
public:
    enum Window { MainWindow,
                  About,
                  FwUpgrade,
                  Restart };

    static QString load(Window window);
};

#endif // STYLESHEET_H
