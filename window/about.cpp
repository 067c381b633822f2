// SPDX-License-Identifier: GPL-3.0-or-later
#include "about.h"
#include "ui_about.h"

#include "stylesheet.h"

About::About(const HubProtocol::Identity &info, QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::About)
{
    ui->setupUi(this);
    setStyleSheet(StyleSheet::load(StyleSheet::About));
    ui->label_name->setText(info.DeviceName);
    ui->label_serial->setText(info.SerialNo);
    ui->label_firmware->setText(info.FirmwareVersion + QStringLiteral(" (") + info.FirmwareType
                                + QStringLiteral(") "));
}

About::~About()
{
    delete ui;
}
