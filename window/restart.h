// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef RESTART_H
#define RESTART_H

#include <QDialog>

namespace Ui {
class Restart;
}

// Asks the user to power-cycle the hub so that it comes up in its boot loader.
class Restart : public QDialog
{
    Q_OBJECT

public:
    explicit Restart(QWidget *parent = nullptr);
    ~Restart() override;

private slots:
    void on_restart_button_clicked();

private:
    Ui::Restart *ui;
};

#endif // RESTART_H
