// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef THREADCOM_H
#define THREADCOM_H

#include "hubprotocol.h"
#include "recordsplitter.h"
#include "upgrade_logic.h"

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QSerialPort>
#include <QString>

class FirmwareImage;
class RecordSink;

// The serial worker: the one object that owns the hub's port. It lives on a
// thread of its own for one connection; the window reaches it only through
// queued signals and reads its measurement store under DataMutex.
class ThreadCom : public QObject
{
    Q_OBJECT

public:
    explicit ThreadCom(QString portName, QObject *parent = nullptr);
    ~ThreadCom();

    // Called by the window with DataMutex held.
    void setMeanValueNumber(int n);

    // Every whole record from the next read on also goes to sink, on this
    // worker's thread, until it is taken away. Call both there, or before the
    // thread starts; a sink must outlive the worker or be taken away first.
    void addRecordSink(RecordSink *sink);
    void removeRecordSink(RecordSink *sink);

    // Guarded so that a port released by the upgrade (which deletes it on the
    // worker's thread) is seen as gone rather than used.
    QPointer<QSerialPort> SerialPort;
    qint16 DistanceValue[HubProtocol::SensorCount];
    QString DeviceName;
    QString SerialNo;
    QString FirmwareVersion;
    QString FirmwareType;
    Upgrade_logic *upgrade_logic = nullptr;
    QMutex DataMutex;
    int MeanValueNumber = 1;
    QString PortName;
    // No value before the hub's first configuration reply: start from precise
    // text output, the mode whose reader copes with anything.
    qint8 PellPlg = 0;
    uchar OMode = HubProtocol::Precise;
    uchar DMode = HubProtocol::Text;
    QList<QList<qint16>> SampleLists;

    // Which of the values above the hub itself sent in this connection's
    // handshake; the rest are the host's own assumptions. Written on the
    // worker's thread before Set_GUIConfiguration, read after it.
    struct Reported
    {
        bool mask = false;
        bool operatingMode = false;
        bool displayMode = false;
        bool identity = false;
    };
    Reported reported;

public slots:
    void process();
    void ConnectSerialRead();
    void SerialportDestroy();
    void exit();
    void SendChangingOfDisplayMode(bool NeedChangingDispModel);
    void SendChangingOfOperatingMode();
    void SendChangingofConnectedPX(qint8 PellPlug);
    void SetnewTIMO(qint8 PellNumber, int value);
    void Upgrade();
    void launch_upgrade(QString File_path);
    // The same run with an image the caller has read and checked itself.
    void launchUpgradeImage(QByteArray image);
    // Limits of the boot loader's waits for the runs from now on.
    void setUpgradeWaitLimits(const Upgrade_logic::WaitLimits &limits);
    // Hands whatever whole records still wait in the port to the record sink,
    // for a recording that ends now rather than at the next notification.
    void drainRecords();
    // Waits, up to the limit, until the commands sent so far have left.
    bool waitForCommandsWritten(int limitMs);

signals:
    void Set_GUIConfiguration(qint8 PellPlg, uchar OMode, uchar DMode);
    void errorSerialPort(QString error);
    void showdisco();
    void GoToUploadMode();
    // The port did not open; a window beeps.
    void openFailed();
    void finished();
    void SendDistanceValueBin();
    void SendDistanceValueText();
    // The upgrade run's progress and messages, passed on from the boot-loader
    // session this worker made last, so that the window never has to reach
    // into an object the worker may replace or delete.
    void upgradeProgress(int size);
    void upgradeMessage(QString message);
    // Every launch_upgrade() ends with this, whatever happened: Done when the
    // new image is in place.
    void upgradeEnded(Upgrade_logic::Outcome outcome);

private slots:
    void HandleError(QSerialPort::SerialPortError error);
    void ReadSerialPortDataBinary();
    void ReadSerialPortDataText();
    void BootLoaderPortError(QSerialPort::SerialPortError error);
    void discardBootLoaderOutput();

private:
    void IdentifyHub();
    Upgrade_logic::Outcome runUpgrade(const FirmwareImage &image);
    Upgrade_logic::Outcome runUpgrade(const QByteArray &image);
    void endUpgrade(Upgrade_logic::Outcome outcome);
    void applyUpgradeWaitLimits();
    void finish();
    struct AnswerSearch;
    bool readConfiguration();
    bool searchConfigAnswer(AnswerSearch &search);
    void listenOneAttempt(AnswerSearch &search);
    void settleQuietAnswer(QByteArray &buffer, HubProtocol::ConfigAnswer &answer);
    void discardInput();
    void readIdentification();
    bool takeIdentityLine();
    void configurePort(QSerialPort *port) const;
    bool canSendCommand() const;
    void sendCommand(const QByteArray &command);
    void dropTextBacklog();
    void dropStaleLines();
    QByteArray tapped(const QByteArray &bytes);
    void tapAhead();
    void storeReadings(const HubProtocol::Readings &values);
    int meanValueNumber();

    // Bytes of a binary frame whose header came too close to the end of a
    // chunk; the next notification completes the frame instead of losing it.
    QByteArray pendingFrame;
    // The text reader threw away the start of a line far too long to be a
    // record; the rest of that line, up to its "\n", goes the same way.
    bool skippingLongLine = false;
    // How far this worker's one connection has come (see the table at the
    // top of threadcom.cpp); every slot acts only in the phases that expect it.
    enum class Phase { Opening,
                       Identifying,
                       Streaming,
                       BootLoader,
                       HandedOver,
                       Upgrading,
                       Released };
    Phase phase = Phase::Opening;
    QList<RecordSink *> recordSinks;
    // What came after the configuration reply, searched for the identity.
    QByteArray identityBuffer;
    // Bytes the identification read past its line: records for the sinks.
    QByteArray afterHandshake;
    RecordSplitter recordSplitter;
    // Bytes at the front of the port's buffer that the record path has
    // already had, ahead of the one-line-a-notification reader.
    qint64 tappedAhead = 0;
    Upgrade_logic::WaitLimits upgradeWaitLimits;
};

#endif // THREADCOM_H
