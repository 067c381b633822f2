// SPDX-License-Identifier: GPL-3.0-or-later
#include "fw_upgrade.h"
#include "ui_fw_upgrade.h"

#include "firmwareimage.h"
#include "stylesheet.h"
#include "upgradetexts.h"

#include <QFileDialog>
#include <QFileInfo>

#include <utility>

FW_Upgrade::FW_Upgrade(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::FW_Upgrade)
{
    ui->setupUi(this);
    setStyleSheet(StyleSheet::load(StyleSheet::FwUpgrade));
    ui->progressBar->setMinimum(0);
    ui->progressBar->setValue(0);
    ui->label->setText(tr("Please disconnect reconnect your device"));
}

FW_Upgrade::~FW_Upgrade()
{
    delete ui;
}

QString FW_Upgrade::get_file_path() const
{
    return file_path;
}

void FW_Upgrade::on_SelectFW_clicked()
{
    file_path = QFileDialog::getOpenFileName(parentWidget(), tr("Open File"), QStringLiteral(" "),
                                             tr("FW Files (*.binary)"));
    // "Upgrade" stays off until there is something to write: the run erases
    // the hub first, and an erased hub with no image is the worst outcome.
    // The bytes read here are the ones the run sends, and the bar's range is
    // their count.
    const FirmwareImage image = FirmwareImage::read(file_path);
    file_size = image.isUsable() ? image.size() : 0;
    chosenImage = image.bytes();
    if (!image.isUsable()) {
        if (beforeRefusal.isNull())
            beforeRefusal = ui->label->text();
        ui->progressBar->setRange(0, 0);
        ui->upgrade_button->setEnabled(false);
        const QString name = QFileInfo(file_path).fileName();
        switch (image.problem()) {
        case FirmwareImage::Problem::Unreadable:
            if (!file_path.isEmpty())
                ui->label->setText(UpgradeTexts::text(UpgradeTexts::NamedFileUnreadable, name));
            break;
        case FirmwareImage::Problem::Empty:
            ui->label->setText(UpgradeTexts::text(UpgradeTexts::NamedFileEmpty, name));
            break;
        default:
            ui->label->setText(image.describe());
            break;
        }
        return;
    }
    if (!beforeRefusal.isNull())
        ui->label->setText(std::exchange(beforeRefusal, QString()));
    ui->upgrade_button->setEnabled(true);
    ui->progressBar->setRange(0, static_cast<int>(file_size));
}

void FW_Upgrade::on_upgrade_button_clicked()
{
    emit begin_upgrade();
    ui->upgrade_button->setEnabled(false);
    ui->SelectFW->setEnabled(false);
    ui->textBrowser->setEnabled(false);
}

void FW_Upgrade::slot_progress_update(int counter)
{
    ui->progressBar->setValue(counter);
}

void FW_Upgrade::slot_progress_message(QString message)
{
    ui->label->setText(message);
}
