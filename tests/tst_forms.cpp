// SPDX-License-Identifier: GPL-3.0-or-later
// The generated forms and style sheets on bare windows: what the controllers
// find by class, creation order and text, what the window starts with, and
// the resources the forms and sheets name.

#include <QtTest>
#include <QtWidgets>

#include "ui_fw_upgrade.h"
#include "ui_mainwindow.h"

#include "fw_upgrade.h"
#include "stylesheet.h"
#include "upgradetexts.h"

namespace {

template <typename T>
QStringList childNames(const QWidget *root, const QString &text = QString())
{
    QStringList names;
    for (const T *w : root->findChildren<T *>())
        if (text.isNull() || w->property("text").toString() == text)
            names << w->objectName();
    return names;
}

} // namespace

class TstForms : public QObject
{
    Q_OBJECT

private slots:
    // The controller takes sensor i's widgets by class in creation order.
    void mainWindow()
    {
        QMainWindow w;
        Ui::MainWindow ui;
        ui.setupUi(&w);
        const QWidget *c = ui.centralWidget;
        QCOMPARE(childNames<QSpinBox>(c), QStringList({"spinBox_9", "spinBox_8", "spinBox_7", "spinBox_6", "spinBox_5",
                                                       "spinBox_4", "spinBox_3", "spinBox_2", "spinBox", "spinBoxMeanNbVal"}));
        QStringList checks, browsers, bars, timeoutLabels;
        for (int i = 0; i < 8; ++i) {
            checks << QString("checkBoxPX%1").arg(i);
            browsers << QString("textBrowserPX%1").arg(i);
            bars << QString("progressBarPX%1").arg(i);
            timeoutLabels << QString("labelPX_%1").arg(i == 7 ? 8 : i);
        }
        QCOMPARE(childNames<QCheckBox>(c), checks);
        QCOMPARE(childNames<QTextBrowser>(c), browsers);
        QCOMPARE(childNames<QProgressBar>(c), bars);
        QCOMPARE(childNames<QLabel>(c, "Time Out Value"), timeoutLabels);

        // What the window starts with: the longest timeout, a 4000 mm scale, a mean of three.
        for (const QSpinBox *timeout : c->findChildren<QSpinBox *>().mid(0, 8))
            QVERIFY(timeout->value() == 500 && timeout->maximum() == 500);
        QCOMPARE(ui.spinBox->value(), 4000);
        QCOMPARE(ui.horizontalSlider->value(), 4000);
        QCOMPARE(ui.spinBoxMeanNbVal->value(), 3);
        QCOMPARE(ui.horizontalSliderMeanNbVal->value(), 3);
        for (QRadioButton *mode : ui.centralWidget->findChildren<QRadioButton *>())
            QVERIFY2(!mode->isChecked(), qPrintable(mode->objectName()));   // until the hub reports
        QVERIFY(!w.windowIcon().pixmap(16).isNull());
        QVERIFY(!ui.pushButtonRefresh->icon().pixmap(16).isNull());
    }

    // The upgrade erases the hub first: an erased hub and no image is the worst outcome.
    void upgradeStartsDisabled()
    {
        QDialog upgrade;
        Ui::FW_Upgrade ui;
        ui.setupUi(&upgrade);
        QVERIFY(!ui.upgrade_button->isEnabled());
    }

    // The upgrade dialog's label is one line: a message that does not fit
    // loses what the user is to do.
    void upgradeMessagesFit_data()
    {
        QTest::addColumn<QString>("message");
        for (const QString &message : UpgradeTexts::widest())
            QTest::newRow(qPrintable(message)) << message;
    }
    void upgradeMessagesFit()
    {
        QFETCH(QString, message);
        FW_Upgrade dialog;
        dialog.slot_progress_message(message);
        auto *label = dialog.findChild<QLabel *>(QStringLiteral("label"));
        QVERIFY2(label->sizeHint().width() <= label->width(), qPrintable(QString::number(label->sizeHint().width())));
    }

    // Each window's sheets must parse, and every image they name must exist.
    void styleSheets()
    {
        static QStringList warnings;
        const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext &, const QString &msg) {
                if (type == QtWarningMsg)
                    warnings << msg;
            });
        for (auto window : {StyleSheet::MainWindow, StyleSheet::About, StyleSheet::FwUpgrade, StyleSheet::Restart}) {
            const QString sheet = StyleSheet::load(window);
            QWidget w;
            w.setStyleSheet(sheet);
            w.ensurePolished();
            for (auto it = QRegularExpression("url\\(([^)]+)\\)").globalMatch(sheet); it.hasNext();) {
                const QString image = it.next().captured(1);
                // Named for a tool bar the window does not have; never drawn.
                if (image == QLatin1String(":/images/handle.png"))
                    continue;
                if (QPixmap(image).isNull())
                    warnings << "no image " + image;
            }
        }
        qInstallMessageHandler(previous);
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join('\n')));
    }
};

QTEST_MAIN(TstForms)
#include "tst_forms.moc"
