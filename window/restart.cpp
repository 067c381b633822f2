// SPDX-License-Identifier: GPL-3.0-or-later
#include "restart.h"
#include "ui_restart.h"

#include "stylesheet.h"

Restart::Restart(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::Restart)
{
    ui->setupUi(this);
    setStyleSheet(StyleSheet::load(StyleSheet::Restart));
}

Restart::~Restart()
{
    delete ui;
}

void Restart::on_restart_button_clicked()
{
    close();
}
