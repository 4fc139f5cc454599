#include "controller.h"

#include "packets.h"

#include <QCryptographicHash>
#include <QDebug>

namespace {

constexpr int ReplyWindowMs = 3000;

} // namespace

int Controller::blockCount = 0;
quint16 Controller::blockAddress = 0;

Controller::Controller(QObject *parent) : QObject(parent)
{
    connect(&device, &Device::received, this, &Controller::handleResponse);
    connect(&device, &Device::timeOut, this, &Controller::onTimeOut);
    connect(&updateFW, &UpdateFW::labelFW, this, &Controller::onlabelFW);
    connect(&updateFW, &UpdateFW::canUpgrade, this, &Controller::onCanUpgrade);
    connect(&updateFW, &UpdateFW::setFwName, this, &Controller::onSetFwName);

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
    device.setPortName(name);
}

void Controller::switchPcMode()
{
    state = WaitPcMode;
    device.open();
    device.write(Packets::bytes(Packets::PcModeRequest));
    device.close();
}

void Controller::checkVersion()
{
    emit msgUpdated(QString());
    emit btUpgrade(false);
    state = WaitVersion;
    device.open();
    device.write(Packets::bytes(Packets::VersionRequest));
}

void Controller::startUpgrade()
{
    upgrading = true;
    sendStartCommand();
}

void Controller::handleResponse(QByteArray packet)
{
    if (!verifyChecksum(packet) && state != WaitVersion) {
        state = Idle;
        return;
    }
    switch (state) {
    case WaitVersion:
        onVersionReply(packet);
        break;
    case WaitPcMode:
        onPcModeReply(packet);
        break;
    case WaitStart:
        onStartReply(packet);
        break;
    case WaitBlock:
        onBlockReply(packet);
        break;
    case WaitEnd:
        onEndReply(packet);
        break;
    default:
        break;
    }
}

void Controller::onTimeOut()
{
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

void Controller::sendStartCommand()
{
    state = WaitStart;
    device.open();
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

void Controller::onVersionReply(const QByteArray &packet)
{
    qDebug() << "Version: " << packet;
    if (!Packets::isVersionReply(packet))
        return;
    state = Idle;
    device.close();
    emit msgUpdated(Packets::versionLine(packet));
}

void Controller::onPcModeReply(const QByteArray &packet)
{
    if (packet == Packets::bytes(Packets::PcModeReply)) {
        state = Idle;
        device.close();
    }
    emit pcModeSwitched();
}

void Controller::onStartReply(const QByteArray &packet)
{
    if (packet != Packets::bytes(Packets::StartAck))
        return;
    state = OpenImage;
    sendNextBlock();
}

void Controller::onBlockReply(const QByteArray &packet)
{
    if (packet == Packets::bytes(Packets::BlockAck))
        sendNextBlock();
}

void Controller::onEndReply(const QByteArray &packet)
{
    if (packet != Packets::bytes(Packets::EndAck))
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
    const QString expected = updateFW.verifiedDigest();
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (expected.isEmpty() || !hash.addData(&fwFile) || !fwFile.seek(0))
        return false;
    return QString::fromLatin1(hash.result().toHex()) == expected;
}
