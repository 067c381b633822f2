// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef ABOUT_H
#define ABOUT_H

#include "hubprotocol.h"

#include <QDialog>

namespace Ui {
class About;
}

// The program's notice and the identity of the hub last connected, as the
// window copied it when the hub identified itself.
class About : public QDialog
{
    Q_OBJECT

public:
    About(const HubProtocol::Identity &info, QWidget *parent = nullptr);
    ~About() override;

private:
    Ui::About *ui;
};

#endif // ABOUT_H
