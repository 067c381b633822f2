// SPDX-License-Identifier: GPL-3.0-or-later
// Takes the screenshots in docs/ of the real window and dialogs, connected to
// the simulated hub. Run it under a real X server (scripts/screenshots.sh
// starts one with xvfb-run): it grabs the whole screen, so windows on top of
// each other show as a user sees them.
#include "hubsimulator.h"
#include "mainwindow.h"
#include "testsupport.h"

#include <QtWidgets>

namespace {

void settle(int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
}

void shoot(const QString &directory, const QString &name)
{
    settle(300);
    const QPixmap screen = QGuiApplication::primaryScreen()->grabWindow(0);
    const QString path = directory + QLatin1Char('/') + name;
    if (!screen.save(path))
        qWarning("cannot write %s", qPrintable(path));
    else
        qInfo("%s", qPrintable(path));
}

void connectWindow(MainWindow &window, HubSimulator &hub)
{
    typePortAndConnect(&window, hub.portPath());
    waitForHubConfiguration(&window);
    settle(1000);
}

void disconnectWindow(MainWindow &window)
{
    child<QPushButton>(&window, "pushButtonConnect")->click();
    settle(300);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    const QString directory = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs");
    QDir().mkpath(directory);

    HubSimulator hub;
    hub.setSpeedFactor(1);
    hub.setCyclePeriodMs(50);
    hub.setMask(0xEF);
    hub.setIdentity("1234", "2.1.0", "STD");
    if (!hub.start())
        qFatal("cannot start the simulated hub");

    MainWindow window;
    window.move(0, 0);
    window.show();
    shoot(directory, QStringLiteral("mainwindow-disconnected.png"));

    hub.setOperatingMode('F');
    hub.setDisplayMode('B');
    connectWindow(window, hub);
    shoot(directory, QStringLiteral("mainwindow.png"));

    // Recording, and the history plot beside the window.
    QTemporaryDir recordings;
    answerNextFileDialog(&window, recordings.filePath(QStringLiteral("pellix-20261206-221500.csv")));
    child<QAction>(&window, "actionRecord")->trigger();
    child<QAction>(&window, "actionHistory")->trigger();
    if (QWidget *history = visibleTopLevel("HistoryWindow")) {
        history->resize(700, 320);
        history->move(300, 340);
    }
    settle(6000);
    shoot(directory, QStringLiteral("history-recording.png"));
    if (QWidget *history = visibleTopLevel("HistoryWindow"))
        history->close();
    child<QAction>(&window, "actionRecord")->trigger();
    disconnectWindow(window);

    hub.setOperatingMode('P');
    hub.setDisplayMode('T');
    connectWindow(window, hub);
    shoot(directory, QStringLiteral("mainwindow-text-precise.png"));

    child<QAction>(&window, "actionAbout")->trigger();
    if (QWidget *about = visibleTopLevel("About"))
        about->move(220, 120);
    shoot(directory, QStringLiteral("about.png"));
    if (QWidget *about = visibleTopLevel("About"))
        about->close();

    // The upgrade: both dialogs, then a run part-way through.
    QTemporaryDir temporary;
    const QString firmware = temporary.filePath(QStringLiteral("hub-2.2.0.binary"));
    QFile file(firmware);
    file.open(QIODevice::WriteOnly);
    file.write(QByteArray(32768, '\x5A'));
    file.close();

    child<QAction>(&window, "actionUpload_Firmware")->trigger();
    QWidget *upgrade = visibleTopLevel("FW_Upgrade");
    QWidget *restart = visibleTopLevel("Restart");
    if (!upgrade || !restart)
        qFatal("the upgrade dialogs did not open");
    upgrade->move(250, 100);
    restart->move(295, 260);
    shoot(directory, QStringLiteral("upgrade-restart.png"));
    restart->close();

    answerNextFileDialog(upgrade, firmware);
    child<QPushButton>(upgrade, "SelectFW")->click();
    child<QPushButton>(upgrade, "upgrade_button")->click();
    settle(3000);   // at the wire's pace 32 KiB take about 8 s
    shoot(directory, QStringLiteral("upgrade-running.png"));
    settle(9000);
    shoot(directory, QStringLiteral("upgrade-finished.png"));
    upgrade->close();

    // A hub that answers the erase with something else: the dialog says what
    // to do and the window that the upgrade did not finish.
    hub.setStartInBootLoader(false);
    connectWindow(window, hub);
    child<QAction>(&window, "actionUpload_Firmware")->trigger();
    upgrade = visibleTopLevel("FW_Upgrade");
    if (QWidget *restart = visibleTopLevel("Restart"))
        restart->close();
    if (!upgrade)
        qFatal("the upgrade dialog did not open");
    upgrade->move(250, 100);
    settle(500);
    hub.setEraseReply('Z');
    answerNextFileDialog(upgrade, firmware);
    child<QPushButton>(upgrade, "SelectFW")->click();
    child<QPushButton>(upgrade, "upgrade_button")->click();
    settle(1500);
    shoot(directory, QStringLiteral("upgrade-refused.png"));
    return 0;
}
