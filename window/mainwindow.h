// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "hubprotocol.h"
#include "upgrade_logic.h"
#include "workerthread.h"

#include <QElapsedTimer>
#include <QList>
#include <QMainWindow>
#include <QMetaObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <memory>

class About;
class HistoryControl;
class FW_Upgrade;
class Restart;
class QCheckBox;
class QSettings;
class ReconnectWait;
class RecordingControl;
class WindowSettings;
class QLabel;
class QProgressBar;
class QSpinBox;
class QTextBrowser;
class ThreadCom;

namespace Ui {
class MainWindow;
}

// The controller of the main window: connects and disconnects a serial worker
// on a thread of its own, shows the hub's configuration and distances, and
// turns the user's changes into signals for the worker.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // For tests of a boot loader that stops answering: the limits (ms) of the
    // waits of the upgrade runs this window starts from now on, instead of the
    // defaults that leave a real boot loader ample room.
    void setUpgradeWaitLimits(const Upgrade_logic::WaitLimits &limits);

    // From now on the window keeps the port, the display maximum, the
    // averaging count, its geometry and the reconnect choice in settings,
    // and it takes them from there now. A window without settings keeps
    // nothing.
    void useSettings(QSettings *settings);
    // The port box shows port, as if it had been typed.
    void choosePort(const QString &port);
    // As a press on "Connect".
    void connectNow();

protected:
    // Saved while the window and its history plot are still shown: once it is
    // closed, the plot is hidden with it.
    void closeEvent(QCloseEvent *event) override;

signals:
    void ConfigSet();
    void Discon();
    void ChangingofDisplayMode(bool DisplayM);
    void ChangingofOperatingMode();
    void ChangingofConnectedPX(qint8 Pellplg);
    void SendNewTIMO(qint8 PellNumber, int value);
    void Upgrade();
    void begin_upgrade(QString File_path);

private slots:
    void SetConfig(qint8 PellPlg, uchar OMode, uchar DMode);
    void DisplayBinMode();
    void DisplayTextMode();
    void OpencloseSerialPort();
    void Update_comboBoxPortName();
    void DetectChangingofDisplayMode();
    void DetectChangingofOperatingMode();
    void DetectChangingofConnectedPX();
    void HandleError(QString error);
    void TIMOChanged();
    void ChangeMeanValuenumber(int MeanValue);
    void launch_upgrade();
    void on_actionUpload_Firmware_triggered();
    void EnterUploadMode();
    void disco();
    void on_actionAbout_triggered();
    void upgradeDialogClosed();
    void on_actionRecord_triggered();
    void on_actionHistory_triggered();
    void upgradeEnded(Upgrade_logic::Outcome outcome);
    void workerOpenFailed();
    void tryAwaitedHub(const QString &port);

private:
    // The connection's life as the window knows it. The caption, the status
    // bar and which controls may speak to the hub all follow from it, and a
    // signal from the worker counts only in the states that expect it.
    enum class Link {
        Disconnected,
        Connecting,       // worker started, the hub's configuration not yet shown
        Connected,        // configuration shown, readings live
        HandedOver,       // the port is the boot loader's, the upgrade dialogs are up
        Upgrading,        // a run is going on the worker's thread
        UpgradeUnfinished // the hub sits in its boot loader without a new image
    };
    void addFeatures();
    void setLink(Link next);
    QString linkMessage() const;
    bool controlsSpeakToHub() const;
    bool fromOtherWorker() const;
    bool fromCurrentWorker() const;
    void cancelUnstartedWorker();
    ThreadCom *worker() const { return connection.worker(); }
    void saveSettings();
    void unlinkUpgradeDialog();

    void connectToHub(const QString &port);
    void disconnectFromHub();
    void blankSensors();
    void scheduleDistances(bool hexadecimal);
    void showDistancesNow();
    void showDistances(bool hexadecimal);
    void setBar(int sensor, int value);
    void showTimeouts(bool shown);
    bool hasLiveWorker() const;
    void stopWorkerAtExit();
    void dropClosedUpgradeDialog();
    void closeUnusedUpgradeDialogs();

    Ui::MainWindow *ui;
    QList<QCheckBox *> checkBoxes;
    QList<QTextBrowser *> textBrowsers;
    QList<QProgressBar *> progressBars;
    QList<QSpinBox *> timeoutSpinBoxes;
    QList<QLabel *> timeoutLabels;
    // Nothing is known of the hub before its first report.
    bool binaryMode = false;
    bool fastMode = false;
    qint8 connectedMask = 0;
    About *about = nullptr;
    HubProtocol::Identity deviceInfo;
    // The dialog of the latest trigger; it deletes itself once closed, unless
    // its run is still going (then the next trigger deletes it).
    QPointer<FW_Upgrade> fw_upgrade;
    QPointer<Restart> restart;
    // "Upgrade" was pressed in fw_upgrade.
    bool upgradeStarted = false;
    Link link = Link::Disconnected;
    // The current connection's worker on its thread; both delete themselves
    // when the link ends, and the window never reaches one that has gone.
    WorkerThread connection;
    // The thread of a connection the user left that still held the port when
    // the current one was made: the current one starts once it has let go.
    QPointer<QThread> portHolder;
    // The links to the current worker that end when the user leaves it.
    QList<QMetaObject::Connection> hubConnections;
    // The values and form last put on screen. A hub faster than the screen
    // queues notifications quicker than the window can redraw; those that
    // would put the same on screen again are passed over.
    HubProtocol::Readings shownValues{};
    bool shownHexadecimal = false;
    bool shownValid = false;
    // Redrawing the sixteen sensor widgets takes the GUI thread about a
    // millisecond, and a hub at full speed sends some 600 records a second:
    // the widgets are redrawn at most once per display interval, with the
    // newest values.
    QTimer displayTimer;
    QElapsedTimer sinceDisplay;
    bool displayHexadecimal = false;
    RecordingControl *recording = nullptr;
    std::unique_ptr<WindowSettings> settings;
    // What the window showed when the user closed it is what is kept.
    bool savedAtClose = false;
    HistoryControl *history = nullptr;
    ReconnectWait *reconnect = nullptr;
    Upgrade_logic::WaitLimits upgradeWaitLimits;
};

#endif // MAINWINDOW_H
