// The generated forms, images and style sheets, checked on bare windows:
// what the controllers find by class, creation order, name and text, and the
// wiring that setupUi itself makes.

#include <QtTest>
#include <QtWidgets>

#include "ui_about.h"
#include "ui_fw_upgrade.h"
#include "ui_mainwindow.h"
#include "ui_restart.h"

namespace {

QStringList namesOf(const QList<QWidget *> &widgets)
{
    QStringList names;
    for (const QWidget *w : widgets)
        names << w->objectName();
    return names;
}

template <typename T>
QStringList childNames(QWidget *root)
{
    QList<QWidget *> list;
    for (T *w : root->findChildren<T *>())
        list << w;
    return namesOf(list);
}

QString readSheet(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly | QIODevice::Text) ? QString::fromUtf8(f.readAll()) : QString();
}

struct MainForm
{
    QMainWindow w;
    Ui::MainWindow ui;
    MainForm() { ui.setupUi(&w); }
};

QStringList parseWarnings;
void catchParseWarnings(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    if (type == QtWarningMsg && msg.contains(QLatin1String("parse")))
        parseWarnings << msg;
}

} // namespace

class TstForms : public QObject
{
    Q_OBJECT

private slots:
    // The controller gathers its per-sensor lists by class and creation order.
    void sensorWidgetsInCreationOrder()
    {
        MainForm f;
        auto &ui = f.ui;
        QStringList checks, browsers, bars, timeoutLabels;
        for (int i = 0; i < 8; ++i) {
            checks << QString("checkBoxPX%1").arg(i);
            browsers << QString("textBrowserPX%1").arg(i);
            bars << QString("progressBarPX%1").arg(i);
            timeoutLabels << QString("labelPX_%1").arg(i == 7 ? 8 : i);
        }
        QCOMPARE(childNames<QSpinBox>(ui.centralWidget),
                 QStringList({"spinBox_9", "spinBox_8", "spinBox_7", "spinBox_6", "spinBox_5",
                              "spinBox_4", "spinBox_3", "spinBox_2", "spinBox", "spinBoxMeanNbVal"}));
        QCOMPARE(childNames<QCheckBox>(ui.centralWidget), checks);
        QCOMPARE(childNames<QTextBrowser>(ui.centralWidget), browsers);
        QCOMPARE(childNames<QProgressBar>(ui.centralWidget), bars);
        QList<QWidget *> labels;
        for (QLabel *l : ui.centralWidget->findChildren<QLabel *>())
            if (l->text() == "Time Out Value")
                labels << l;
        QCOMPARE(namesOf(labels), timeoutLabels);
    }

    void aboutForm()
    {
        QDialog d;
        Ui::About ui;
        ui.setupUi(&d);
        const QString notice = ui.textBrowser->toPlainText();
        QVERIFY(notice.contains("Pellix Hub Controler"));
        QVERIFY(notice.contains("GNU Lesser General Public License version 3"));
        QVERIFY(!notice.contains("http") && !notice.contains("www"));
        QCOMPARE(ui.buttonBox->buttons().size(), 1);
        d.show();
        ui.buttonBox->button(QDialogButtonBox::Ok)->click();
        QCOMPARE(d.result(), int(QDialog::Accepted));
        QVERIFY(!d.isVisible());
    }

    void upgradeForms()
    {
        QDialog d;
        Ui::FW_Upgrade ui;
        ui.setupUi(&d);
        QVERIFY(!ui.upgrade_button->isEnabled());
        const QString text = ui.textBrowser->toPlainText();
        for (const char *line : {"WARNING",
                                 "You are about to launch a firmware upgrade of your device. Ensure you have "
                                 "selected the correct firmware version for your device before pressing UPGRADE. ",
                                 "1. Wait for the LED's on the Hub to begin flashing",
                                 "2. Select the firmware file.", "3. Press Upgrade to launch upgrade."})
            QVERIFY2(text.contains(QLatin1String(line)), line);
        const QVariant icon = ui.textBrowser->document()->resource(
            QTextDocument::ImageResource, QUrl(":/new/prefix1/ressource/corvane_icon.png"));
        QVERIFY(!icon.value<QImage>().isNull() || !icon.value<QPixmap>().isNull());

        QDialog r;
        Ui::Restart rui;
        rui.setupUi(&r);
        QCOMPARE(rui.restart_label->text(), QString("Please disconnect and reconnect your device..."));
    }

    void images_data()
    {
        QTest::addColumn<QString>("path");
        for (const char *p : {":/new/prefix1/ressource/corvane_icon.png", ":/new/prefix1/ressource/checked.png",
                              ":/new/prefix1/ressource/up_arrow.png", ":/new/prefix1/ressource/down_arrow.png",
                              ":/prefix2/ressource/refresh.png"})
            QTest::newRow(p) << QString(p);
    }
    void images()
    {
        QFETCH(QString, path);
        QVERIFY(!QPixmap(path).isNull());
    }

    // Each window gets the base sheet followed by its own; both must parse and
    // every image they name must exist.
    void styleSheets_data()
    {
        QTest::addColumn<QString>("sheet");
        for (const char *s : {"mainwindow", "about", "fw_upgrade", "restart"})
            QTest::newRow(s) << QString(":/styles/%1.qss").arg(s);
    }
    void styleSheets()
    {
        QFETCH(QString, sheet);
        const QString base = readSheet(":/styles/dark-base.qss");
        const QString own = readSheet(sheet);
        QVERIFY(!base.trimmed().isEmpty());
        QVERIFY(!own.trimmed().isEmpty());
        QRegularExpression url("url\\(([^)]+)\\)");
        for (auto it = url.globalMatch(base + own); it.hasNext();) {
            const QString image = it.next().captured(1);
            QVERIFY2(!QPixmap(image).isNull(), qPrintable(image));
        }
        parseWarnings.clear();
        QtMessageHandler previous = qInstallMessageHandler(catchParseWarnings);
        QWidget w;
        w.setStyleSheet(base + QLatin1Char('\n') + own);
        w.ensurePolished();
        qInstallMessageHandler(previous);
        QVERIFY2(parseWarnings.isEmpty(), qPrintable(parseWarnings.join('\n')));
    }

    // Window sheets come after the base sheet: their ground colour must not
    // override the widget rules of the base (equal specificity would let it).
    void mainWindowLook()
    {
        MainForm f;
        auto &ui = f.ui;
        auto &w = f.w;
        w.setStyleSheet(readSheet(":/styles/dark-base.qss") + '\n' + readSheet(":/styles/mainwindow.qss"));
        ui.textBrowserPX0->setEnabled(false);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const QImage shot = w.grab().toImage();
        auto at = [&](QWidget *child, QPoint p) {
            return QColor(shot.pixel(child->mapTo(&w, p))).name();
        };
        QCOMPARE(at(ui.centralWidget, QPoint(2, 2)), QString("#000000"));
        QCOMPARE(at(ui.textBrowserPX0, QPoint(25, 10)), QString("#242424"));
        const QColor button(at(ui.pushButtonConnect, QPoint(4, ui.pushButtonConnect->height() / 2)));
        QVERIFY2(button.value() > 0x20, qPrintable(button.name()));
        const QColor groove(at(ui.progressBarPX0, QPoint(ui.progressBarPX0->width() - 6,
                                                          ui.progressBarPX0->height() - 4)));
        QVERIFY2(groove.value() > 0x20, qPrintable(groove.name()));
    }
};

QTEST_MAIN(TstForms)
#include "tst_forms.moc"
