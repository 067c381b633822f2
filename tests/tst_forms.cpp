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
    void mainWindowAndMenu()
    {
        MainForm f;
        auto &ui = f.ui;
        auto &w = f.w;
        QCOMPARE(w.size(), QSize(968, 706));
        QCOMPARE(w.windowTitle(), QString("Pellix Hub Controler"));
        QVERIFY(!w.windowIcon().isNull());
        QCOMPARE(w.font().pointSize(), 8);
        QCOMPARE(w.locale(), QLocale(QLocale::English, QLocale::UnitedStates));
        QVERIFY(w.styleSheet().isEmpty());  // the controller loads the sheets
        QCOMPARE(ui.pushButtonConnect->text(), QString("Connect"));
        QCOMPARE(ui.pushButtonRefresh->toolTip(), QString("Refresh the port list"));
        QVERIFY(!ui.pushButtonRefresh->icon().isNull());
        QVERIFY(ui.comboBoxPortName->isEditable());
        QCOMPARE(ui.comboBoxPortName->maximumSize(), QSize(75, 22));
        QCOMPARE(ui.menuBar->actions(), QList<QAction *>({ui.menuFile->menuAction()}));
        QCOMPARE(ui.menuFile->title(), QString("File"));
        QCOMPARE(ui.menuFile->actions(), QList<QAction *>({ui.actionUpload_Firmware, ui.actionAbout}));
        QCOMPARE(ui.actionUpload_Firmware->text(), QString("Upload Firmware"));
        QVERIFY(!ui.actionUpload_Firmware->isEnabled());
        QCOMPARE(ui.actionAbout->text(), QString("About"));
    }

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

    void sensorGroupLayout()
    {
        MainForm f;
        auto &ui = f.ui;
        auto &w = f.w;
        auto spins = ui.centralWidget->findChildren<QSpinBox *>();
        for (int i = 0; i < 8; ++i) {
            auto *box = w.findChild<QGroupBox *>(QString("groupBoxPX%1").arg(i));
            QVERIFY2(box, qPrintable(QString::number(i)));
            QCOMPARE(box->title(), QString("Pellix %1").arg(i));
            auto *grid = qobject_cast<QGridLayout *>(box->layout());
            QVERIFY(grid);
            QCOMPARE(grid->objectName(), QString("gridLayout_%1").arg(i + 3));
            QCOMPARE(grid->horizontalSpacing(), 20);
            QCOMPARE(grid->verticalSpacing(), i == 0 ? 3 : 5);
            QCOMPARE(grid->contentsMargins().top(), 0);

            auto *maxLabel = box->findChild<QLabel *>(QString("label_%1").arg(i + 3));
            auto *browser = box->findChild<QTextBrowser *>();
            auto *bar = box->findChild<QProgressBar *>();
            QSpinBox *timeout = spins.at(i);
            QCOMPARE(timeout->parent(), box);
            const QList<QPair<QWidget *, QPoint>> cells = {
                {maxLabel, {0, 2}}, {box->findChild<QCheckBox *>(), {1, 0}},
                {browser, {1, 1}}, {bar, {1, 2}}, {timeout, {1, 3}}};
            for (const auto &cell : cells) {
                QVERIFY(cell.first);
                int row, col, rowSpan, colSpan;
                grid->getItemPosition(grid->indexOf(cell.first), &row, &col, &rowSpan, &colSpan);
                QCOMPARE(QPoint(row, col), cell.second);
            }
            QCOMPARE(maxLabel->text(), QString("4000"));
            QCOMPARE(browser->maximumSize(), QSize(51, 21));
            QCOMPARE(browser->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
            QCOMPARE(browser->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
            QCOMPARE(bar->value(), 24);
            QVERIFY(!bar->isTextVisible() && bar->maximumHeight() == 33);
            QCOMPARE(QList<int>({timeout->minimum(), timeout->maximum(), timeout->singleStep(), timeout->value()}),
                     QList<int>({0, 500, 10, 500}));
            QCOMPARE(timeout->suffix(), QString(" ms"));
        }
    }

    void maximumDisplayValueReachesBarsAndLabels()
    {
        MainForm f;
        auto &ui = f.ui;
        auto &w = f.w;
        QCOMPARE(QList<int>({ui.spinBox->minimum(), ui.spinBox->maximum(), ui.horizontalSlider->minimum(),
                             ui.horizontalSlider->maximum()}),
                 QList<int>({1000, 14000, 1000, 14000}));
        QCOMPARE(ui.spinBox->suffix(), QString(" mm"));

        ui.spinBox->setValue(5000);
        QCOMPARE(ui.horizontalSlider->value(), 5000);
        for (int i = 0; i < 8; ++i) {
            QCOMPARE(w.findChild<QProgressBar *>(QString("progressBarPX%1").arg(i))->maximum(), 5000);
            QCOMPARE(w.findChild<QLabel *>(QString("label_%1").arg(i + 3))->text(), QString("5000 mm"));
        }
        ui.spinBox->stepBy(1);  // the spin box steps by 10
        QCOMPARE(ui.horizontalSlider->value(), 5010);
        ui.horizontalSlider->setValue(14000);
        QCOMPARE(ui.spinBox->value(), 14000);
        QCOMPARE(ui.progressBarPX7->maximum(), 14000);
        QCOMPARE(ui.label_10->text(), QString("14000 mm"));
    }

    void averagingControlsMirrorEachOther()
    {
        MainForm f;
        auto &ui = f.ui;
        QCOMPARE(ui.spinBoxMeanNbVal->value(), 3);
        QCOMPARE(ui.horizontalSliderMeanNbVal->value(), 3);
        QCOMPARE(ui.horizontalSliderMeanNbVal->pageStep(), 5);
        ui.horizontalSliderMeanNbVal->setValue(20);
        QCOMPARE(ui.spinBoxMeanNbVal->value(), 20);
        ui.spinBoxMeanNbVal->setValue(25);
        QCOMPARE(ui.spinBoxMeanNbVal->value(), 20);
        ui.spinBoxMeanNbVal->setValue(0);
        QCOMPARE(ui.horizontalSliderMeanNbVal->value(), 1);
    }

    void aboutForm()
    {
        QDialog d;
        Ui::About ui;
        ui.setupUi(&d);
        QCOMPARE(d.size(), QSize(519, 444));
        QCOMPARE(d.windowTitle(), QString("About"));
        QCOMPARE(ui.textBrowser->geometry(), QRect(10, 30, 501, 281));
        QCOMPARE(ui.label_serial->geometry(), QRect(180, 350, 311, 16));
        QCOMPARE(ui.label_name->textFormat(), Qt::RichText);
        QCOMPARE(ui.label_serial->textFormat(), Qt::PlainText);
        QVERIFY(ui.label_serial->textInteractionFlags() & Qt::TextSelectableByMouse);
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
        QCOMPARE(d.size(), QSize(473, 452));
        QCOMPARE(d.windowTitle(), QString("Device Upgrade"));
        QCOMPARE(ui.verticalLayoutWidget->geometry(), QRect(10, 0, 451, 361));
        QCOMPARE(ui.upgrade_button->geometry(), QRect(320, 380, 75, 23));
        QCOMPARE(ui.SelectFW->geometry(), QRect(80, 380, 75, 23));
        QVERIFY(!ui.upgrade_button->isEnabled());
        QCOMPARE(ui.SelectFW->text(), QString("Select FW"));
        QCOMPARE(ui.progressBar->maximum(), 100);
        QCOMPARE(ui.progressBar->value(), 24);
        QVERIFY(!ui.progressBar->isTextVisible());
        QCOMPARE(ui.label->font().family(), QString("Microsoft JhengHei Light"));
        QCOMPARE(ui.label->font().pointSize(), 10);
        QCOMPARE(ui.label->textFormat(), Qt::RichText);
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
        QCOMPARE(r.size(), QSize(382, 131));
        QCOMPARE(r.windowTitle(), QString("Confirm Restart"));
        QCOMPARE(rui.restart_label->text(), QString("Please disconnect and reconnect your device..."));
        QCOMPARE(rui.restart_label->alignment(), Qt::AlignCenter);
        QCOMPARE(rui.restart_button->text(), QString("OK"));
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
