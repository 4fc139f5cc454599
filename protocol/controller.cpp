#include "controller.h"

#include "packets.h"

#include <QCryptographicHash>
#include <QDebug>

namespace {

constexpr int ReplyWindowMs = 3000;

} // namespace

Controller::Controller(QObject *parent) : QObject(parent)
{
    connect(&device, &Device::received, this, &Controller::handleResponse);
    connect(&device, &Device::timeOut, this, &Controller::onTimeOut);
    connect(&updateFW, &UpdateFW::labelFW, this, &Controller::onlabelFW);
    connect(&updateFW, &UpdateFW::canUpgrade, this, &Controller::onCanUpgrade);
    connect(&updateFW, &UpdateFW::setFwName, this, &Controller::onSetFwName);
    connect(&device, &Device::linkLost, this, &Controller::onLinkLost);

    transferWindow.setSingleShot(true);
    transferWindow.setTimerType(Qt::PreciseTimer);
    transferWindow.setInterval(ReplyWindowMs);
    connect(&transferWindow, &QTimer::timeout, this, &Controller::onTimeOut);
}

bool Controller::isUpgrading() const
{
    return upgrading;
}

void Controller::setPortName(const QString &name)
{
    portName = name;
    device.setPortName(name);
}

void Controller::switchPcMode()
{
    state = WaitPcMode;
    openDevice();
    device.write(Packets::bytes(Packets::PcModeRequest));
    device.close();
}

void Controller::checkVersion()
{
    emit msgUpdated(QString());
    emit btUpgrade(false);
    state = WaitVersion;
    openDevice();
    device.write(Packets::bytes(Packets::VersionRequest));
}

void Controller::startUpgrade()
{
    upgrading = true;
    sendStartCommand();
}

void Controller::useImageFrom(const UpdateFW &check)
{
    imageCheck = &check;
    fwFile.setFileName(check.verifiedImagePath());
}

void Controller::handleResponse(QByteArray packet)
{
    const Packets::Reply reply = Packets::classify(packet);
    if (!reply.checksumHolds && state != WaitVersion) {
        // Nothing more will be answered in this exchange; the reply window
        // ends it, and this is why.
        if (state != Idle) {
            setError(state == WaitBlock || state == WaitEnd ? StoppedAnswering : NoAnswer,
                     QStringLiteral("the device on %1 answered %2 with a reply that failed its "
                                    "checksum")
                         .arg(portName, awaitedAnswer()));
        }
        state = Idle;
        return;
    }
    switch (state) {
    case WaitVersion:
        onVersionReply(packet, reply.kind);
        break;
    case WaitPcMode:
        onPcModeReply(reply.kind);
        break;
    case WaitStart:
        onStartReply(reply.kind);
        break;
    case WaitBlock:
        onBlockReply(reply.kind);
        break;
    case WaitEnd:
        onEndReply(reply.kind);
        break;
    default:
        break;
    }
}

void Controller::onTimeOut()
{
    if (lastError == NoError) {
        if (state == WaitBlock || state == WaitEnd)
            setError(StoppedAnswering,
                     QStringLiteral("the device on %1 stopped answering at %2")
                         .arg(portName, awaitedAnswer()));
        else
            setError(NoAnswer,
                     QStringLiteral("no answer from the device on %1 to %2 within 3 s")
                         .arg(portName, awaitedAnswer()));
    }
    state = Idle;
    device.close();
    fwFile.close();
    upgrading = false;
    transferWindow.stop();
    emit timeOut();
}

void Controller::onlabelFW(QString msg)
{
    emit labelFWUpdated(msg);
}

void Controller::onCanUpgrade(bool can)
{
    emit btUpgrade(can);
}

void Controller::onSetFwName(QString path)
{
    fwFile.setFileName(path);
}

// Nothing sent now can arrive and no answer can come back, so the exchange
// ends here and whoever can say so hears it at once. The rest of the end, the
// link's closing and the transfer's, waits for the reply window as it did
// before the loss could be told apart: the window's course stays as it was.
void Controller::onLinkLost(QString reason)
{
    if (state == Idle)
        return;
    setError(LinkLost,
             QStringLiteral("device disconnected from %1 at %2: %3")
                 .arg(portName, awaitedAnswer(), reason));
    state = Idle;
    fwFile.close();
    emit linkLost(reason);
}

void Controller::sendStartCommand()
{
    state = WaitStart;
    openDevice();
    device.write(Packets::startCommand());
    transferWindow.start();
}

void Controller::sendNextBlock()
{
    if (state == OpenImage) {
        blockAddress = 0;
        blockCount = 0;
        if (!fwFile.open(QIODevice::ReadOnly) || !imageIsVerified()) {
            // Nothing would come back to end the transfer: end it now, the
            // same way as a device that stopped answering.
            setError(ImageNotVerified,
                     QStringLiteral("the firmware image %1 is missing or changed after it was "
                                    "verified; nothing of it was sent")
                         .arg(fwFile.fileName()));
            onTimeOut();
            return;
        }
        state = WaitBlock;
    }

    emit progressUpdated(int(blockCount / double(Packets::BlockCount) * 100.0));

    if (blockCount > Packets::BlockCount - 1) {
        blockAddress = 0;
        blockCount = 0;
        fwFile.close();
        sendEndCommand();
        return;
    }

    device.write(Packets::dataBlock(blockAddress, fwFile.read(Packets::BlockSize)));
    transferWindow.start();
    blockAddress += 16;
    ++blockCount;
}

void Controller::sendEndCommand()
{
    state = WaitEnd;
    device.write(Packets::endCommand());
    transferWindow.start();
}

void Controller::onVersionReply(const QByteArray &packet, Packets::Reply::Kind kind)
{
    qDebug() << "Version: " << packet;
    if (kind != Packets::Reply::VersionReply)
        return;
    state = Idle;
    device.close();
    emit msgUpdated(Packets::versionLine(packet));
    emit versionRead(Packets::versionText(packet));
}

void Controller::onPcModeReply(Packets::Reply::Kind kind)
{
    if (kind == Packets::Reply::PcModeReply) {
        state = Idle;
        device.close();
    }
    emit pcModeSwitched();
}

void Controller::onStartReply(Packets::Reply::Kind kind)
{
    if (kind != Packets::Reply::StartAck)
        return;
    state = OpenImage;
    sendNextBlock();
}

void Controller::onBlockReply(Packets::Reply::Kind kind)
{
    if (kind == Packets::Reply::BlockAck)
        sendNextBlock();
}

void Controller::onEndReply(Packets::Reply::Kind kind)
{
    if (kind != Packets::Reply::EndAck)
        return;
    transferWindow.stop();
    state = Idle;
    device.close();
    fwFile.close();
    upgrading = false;
    emit upgradeFinished();
}

// Only the image whose digest the firmware check confirmed may go to the
// device. The file is hashed through the handle the blocks are then read
// from, so a file swapped in at the same path afterwards is never sent.
bool Controller::imageIsVerified()
{
    const QString expected = imageCheck->verifiedDigest();
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (expected.isEmpty() || !hash.addData(&fwFile) || !fwFile.seek(0))
        return false;
    return QString::fromLatin1(hash.result().toHex()) == expected;
}

// Every exchange starts afresh: a reason belongs to the exchange it ended.
void Controller::openDevice()
{
    setError(NoError, QString());
    if (!device.open())
        setError(PortNotOpened,
                 QStringLiteral("the port %1 could not be opened: %2")
                     .arg(portName, device.errorString()));
}

void Controller::setError(Error error, const QString &text)
{
    lastError = error;
    lastErrorText = text;
}

QString Controller::awaitedAnswer() const
{
    switch (state) {
    case WaitPcMode:
        return QStringLiteral("the PC-mode request");
    case WaitVersion:
        return QStringLiteral("the version request");
    case WaitStart:
        return QStringLiteral("the start command");
    case WaitBlock:
        return QStringLiteral("block %1 of %2").arg(blockCount).arg(Packets::BlockCount);
    case WaitEnd:
        return QStringLiteral("the end command");
    default:
        return QStringLiteral("the last request");
    }
}
