#ifndef CONTROLLER_H
#define CONTROLLER_H

#include "device.h"
#include "updatefw.h"

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QString>
#include <QTimer>

// Drives the device through its three exchanges (PC mode, version query,
// image transfer), one request at a time, in the GUI thread. It owns the
// serial link, the firmware server check and the image file.
class Controller : public QObject
{
    Q_OBJECT

public:
    enum State {
        Idle = 0,
        WaitVersion = 1,
        WaitPcMode = 2,
        WaitStart = 3,
        OpenImage = 4,
        WaitBlock = 5,
        WaitEnd = 6,
    };

    explicit Controller(QObject *parent = nullptr);

    bool isUpgrading() const;
    void setPortName(const QString &name);
    void switchPcMode();
    void checkVersion();
    void startUpgrade();

    UpdateFW updateFW;

signals:
    void progressUpdated(int progress);
    void msgUpdated(QString msg);
    void labelFWUpdated(QString msg);
    void upgradeFinished();
    void pcModeSwitched();
    void timeOut();
    void btUpgrade(bool can);

private slots:
    void handleResponse(QByteArray packet);
    void onTimeOut();
    void onlabelFW(QString msg);
    void onCanUpgrade(bool can);
    void onSetFwName(QString path);

private:
    void sendStartCommand();
    void sendNextBlock();
    void sendEndCommand();
    void onVersionReply(const QByteArray &packet);
    void onPcModeReply(const QByteArray &packet);
    void onStartReply(const QByteArray &packet);
    void onBlockReply(const QByteArray &packet);
    void onEndReply(const QByteArray &packet);

    bool imageIsVerified();

    int state = Idle;
    Device device;
    QFile fwFile;
    bool upgrading = false;
    // Runs from every write of a transfer until the awaited reply is
    // recognised. The link's own window stops at any chunk, so without this a
    // corrupt, split or unexpected reply would leave the transfer waiting for
    // ever with the window unable to close.
    QTimer transferWindow;

    static int blockCount;
    static quint16 blockAddress;
};

#endif // CONTROLLER_H
