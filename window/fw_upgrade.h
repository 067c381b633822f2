// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef FW_UPGRADE_H
#define FW_UPGRADE_H

#include <QDialog>
#include <QString>

namespace Ui {
class FW_Upgrade;
}

// The upgrade dialog: the user picks the firmware file, starts the run and
// follows it in the label and the bar.
class FW_Upgrade : public QDialog
{
    Q_OBJECT

public:
    explicit FW_Upgrade(QWidget *parent = nullptr);
    ~FW_Upgrade() override;

    QString get_file_path() const;
    // The image as it was read and checked when it was chosen: what the run
    // sends, whatever happens to the file after.
    QByteArray image() const { return chosenImage; }

signals:
    void begin_upgrade();

public slots:
    void slot_progress_update(int counter);
    void slot_progress_message(QString message);

private slots:
    void on_SelectFW_clicked();
    void on_upgrade_button_clicked();

private:
    Ui::FW_Upgrade *ui;
    QString file_path;
    qint64 file_size = 0;
    QByteArray chosenImage;
    // What the line said before a picked file was refused: a usable pick puts
    // it back, so no refusal stands beside an enabled "Upgrade".
    QString beforeRefusal;
};

#endif // FW_UPGRADE_H
