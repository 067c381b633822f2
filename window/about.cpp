#include "about.h"
#include "ui_about.h"

#include "stylesheet.h"

About::About(const HubProtocol::Identity &info, QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::About)
{
    ui->setupUi(this);
    setStyleSheet(StyleSheet::load(StyleSheet::About));
    ui->label_name->setText(info.deviceName);
    ui->label_serial->setText(info.serialNo);
    ui->label_firmware->setText(info.firmwareVersion + QStringLiteral(" (") + info.firmwareType
                                + QStringLiteral(") "));
}

About::~About()
{
    delete ui;
}
