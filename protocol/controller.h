#ifndef CONTROLLER_H
#define CONTROLLER_H

#include "device.h"
#include "packets.h"
#include "systemhold.h"
#include "updatefw.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

// Drives the device through its three exchanges (PC mode, version query,
// image transfer), one request at a time, in the GUI thread. It owns the
// serial link and the firmware server check, and sends the image that check
// verified, from the bytes it holds.
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

    // Why the last exchange ended without its answer, kept from the moment
    // it is known until the next exchange begins; timeOut() reports it, and
    // linkLost() at once for LinkLost.
    enum Error {
        NoError,
        PortNotOpened,
        NoAnswer,
        StoppedAnswering,
        UnexpectedReply,
        ImageNotVerified,
        LinkLost,
    };
    Q_ENUM(Error)

    // The handshake that readies a device: this many PC-mode requests, a
    // second apart, then the version request.
    static constexpr int PcModeRequests = 4;

    explicit Controller(QObject *parent = nullptr);
    ~Controller() override;

    bool isUpgrading() const;
    Error error() const { return lastError; }
    // A plain English account of error(), naming the port, the request or
    // the block.
    QString errorString() const { return lastErrorText; }
    void setPortName(const QString &name);
    void switchPcMode();
    void checkVersion();
    // Starts the transfer of the verified image. Without one, nothing is sent
    // and the device is left as it was: the transfer ends with timeOut() and
    // ImageNotVerified, from the event loop, as a silent device's would.
    void startUpgrade();
    // Sends the image that another firmware check verified instead of the
    // one this controller's own check would fetch: several devices updated
    // from one download. The check must outlive the transfers.
    void useImageFrom(const UpdateFW &check);
    // The hold that keeps the computer up while the transfer runs: the
    // controller's own, or one that several controllers share (the command
    // line's devices), which must outlive them; shared before the transfer.
    SystemHold &systemHold() { return *hold; }
    void shareSystemHold(SystemHold &shared);

    UpdateFW updateFW;

signals:
    void progressUpdated(int progress);
    void msgUpdated(QString msg);
    void labelFWUpdated(QString msg);
    void upgradeFinished();
    void pcModeSwitched();
    void timeOut();
    void btUpgrade(bool can);
    // The device's firmware version, as a fact beside the window's line.
    void versionRead(QString version);
    // The port went away during an exchange (an unplugged device), in the
    // system's words: the exchange ended at once with LinkLost. timeOut()
    // still follows when the reply window runs out, as for any other end.
    void linkLost(QString reason);

private slots:
    void handleResponse(QByteArray packet);
    void onTimeOut();
    void onlabelFW(QString msg);
    void onCanUpgrade(bool can);
    void onLinkLost(QString reason);

private:
    void sendStartCommand();
    void sendNextBlock();
    void sendEndCommand();
    void onVersionReply(const QByteArray &packet, Packets::Reply::Kind kind);
    void onPcModeReply(Packets::Reply::Kind kind);
    void onStartReply(Packets::Reply::Kind kind);
    void onBlockReply(Packets::Reply::Kind kind);
    void onEndReply(Packets::Reply::Kind kind);

    void openDevice();
    void request(const QByteArray &packet);
    void noteMissingAnswer();
    void setError(Error error, const QString &text);
    QString awaitedAnswer(int exchange) const;

    int state = Idle;
    Device device;
    const UpdateFW *imageCheck = &updateFW;
    // The image being sent, as its check verified it.
    QByteArray image;
    bool upgrading = false;
    SystemHold ownSystemHold;
    SystemHold *hold = &ownSystemHold;
    // Runs from every write of a transfer until the awaited reply is
    // recognised. The link's own window stops at any chunk, so without this a
    // corrupt, split or unexpected reply would leave the transfer waiting for
    // ever with the window unable to close.
    QTimer transferWindow;

    // The exchange of the last request and what came back since, whole: a
    // chunk that fails its checksum sets the state to Idle at once, and the
    // reason given when the window runs out still names the request and what
    // the device did answer.
    int requestState = Idle;
    QByteArray answerSoFar;
    int answerPieces = 0;

    int blockCount = 0;
    quint16 blockAddress = 0;
    QString portName;
    Error lastError = NoError;
    QString lastErrorText;
};

#endif // CONTROLLER_H
