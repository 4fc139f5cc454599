#include "controller.h"

#include "packets.h"

#include <QDebug>
#include <QHash>
#include <QLoggingCategory>

namespace {

// Why an image was not sent, where the firmware check's own reasons go.
Q_LOGGING_CATEGORY(lcFirmware, "ql7420.firmware")

static_assert(UpdateFW::ImageLimit == qint64(Packets::BlockCount) * Packets::BlockSize,
              "the firmware check holds images to what the device takes");

constexpr int ReplyWindowMs = 3000;
// Enough of a wrong answer for whoever reads the reason to recognise it, and
// room for the longest answer, the version reply.
constexpr int MaxShownBytes = 24;
constexpr int MaxKeptBytes = 512;

} // namespace

Controller::Controller(QObject *parent) : QObject(parent)
{
    connect(&device, &Device::received, this, &Controller::handleResponse);
    connect(&device, &Device::timeOut, this, &Controller::onTimeOut);
    connect(&updateFW, &UpdateFW::labelFW, this, &Controller::onlabelFW);
    connect(&updateFW, &UpdateFW::canUpgrade, this, &Controller::onCanUpgrade);
    connect(&device, &Device::linkLost, this, &Controller::onLinkLost);

    transferWindow.setSingleShot(true);
    transferWindow.setTimerType(Qt::PreciseTimer);
    transferWindow.setInterval(ReplyWindowMs);
    connect(&transferWindow, &QTimer::timeout, this, &Controller::onTimeOut);
}

// A shared hold outlives the controller, and must not count a transfer that
// nothing can end any more.
Controller::~Controller()
{
    hold->transferEnded(this);
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
    request(Packets::bytes(Packets::PcModeRequest));
    device.close();
}

void Controller::checkVersion()
{
    emit msgUpdated(QString());
    emit btUpgrade(false);
    state = WaitVersion;
    openDevice();
    request(Packets::bytes(Packets::VersionRequest));
}

// Judged before the start command: that command puts the device in its
// update state, where it would wait for blocks that never come.
void Controller::startUpgrade()
{
    upgrading = true;
    if (imageCheck->verifiedDigest().isEmpty()) {
        setError(ImageNotVerified,
                 QStringLiteral("firmware image not sent: no image has been verified, as the "
                                "firmware check has not succeeded"));
        qCDebug(lcFirmware).noquote() << lastErrorText;
        // Told after startUpgrade() has returned, as every other end of a
        // transfer is.
        QTimer::singleShot(0, this, &Controller::onTimeOut);
        return;
    }
    image = imageCheck->verifiedImage();
    hold->transferStarted(this);
    sendStartCommand();
}

void Controller::useImageFrom(const UpdateFW &check)
{
    imageCheck = &check;
}

void Controller::shareSystemHold(SystemHold &shared)
{
    hold = &shared;
}

void Controller::handleResponse(QByteArray packet)
{
    // Kept as far as a reason can use it: a device that chatters on, never
    // leaving the reply window to run out, must not fill the memory.
    answerSoFar.append(packet.left(qMax(0, MaxKeptBytes - int(answerSoFar.size()))));
    ++answerPieces;
    const Packets::Reply reply = Packets::classify(packet);
    // Nothing more will be answered in this exchange; the reply window ends
    // it.
    if (!reply.checksumHolds && state != WaitVersion) {
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
    if (lastError == NoError)
        noteMissingAnswer();
    state = Idle;
    device.close();
    upgrading = false;
    hold->transferEnded(this);
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
                 .arg(portName, awaitedAnswer(requestState), reason));
    state = Idle;
    // Nothing more can reach the device: the computer need not stay up for
    // the rest of the reply window.
    hold->transferEnded(this);
    emit linkLost(reason);
}

void Controller::sendStartCommand()
{
    state = WaitStart;
    openDevice();
    request(Packets::startCommand());
    transferWindow.start();
}

void Controller::sendNextBlock()
{
    if (state == OpenImage) {
        blockAddress = 0;
        blockCount = 0;
        state = WaitBlock;
    }

    emit progressUpdated(int(blockCount / double(Packets::BlockCount) * 100.0));

    if (blockCount > Packets::BlockCount - 1) {
        blockAddress = 0;
        blockCount = 0;
        sendEndCommand();
        return;
    }

    request(Packets::dataBlock(
        blockAddress, image.mid(qsizetype(blockCount) * Packets::BlockSize, Packets::BlockSize)));
    transferWindow.start();
    blockAddress += 16;
    ++blockCount;
}

void Controller::sendEndCommand()
{
    state = WaitEnd;
    request(Packets::endCommand());
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
    upgrading = false;
    hold->transferEnded(this);
    emit upgradeFinished();
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

void Controller::request(const QByteArray &packet)
{
    requestState = state;
    answerSoFar.clear();
    answerPieces = 0;
    device.write(packet);
}

// Why the reply window ran out: the device's silence, or what it sent instead
// of the one chunk it owed.
void Controller::noteMissingAnswer()
{
    const QString request = awaitedAnswer(requestState);
    static const QHash<int, Packets::Reply::Kind> awaitedReply = {
        {WaitPcMode, Packets::Reply::PcModeReply}, {WaitVersion, Packets::Reply::VersionReply},
        {WaitStart, Packets::Reply::StartAck},     {WaitBlock, Packets::Reply::BlockAck},
        {WaitEnd, Packets::Reply::EndAck},
    };
    const bool transfer = requestState == WaitBlock || requestState == WaitEnd;
    QString shown = QString::fromLatin1(answerSoFar.left(MaxShownBytes).toHex(' '));
    if (answerSoFar.size() > MaxShownBytes)
        shown += QStringLiteral(" ...");
    if (answerSoFar.isEmpty() && transfer)
        setError(StoppedAnswering,
                 QStringLiteral("the device on %1 stopped answering at %2").arg(portName, request));
    else if (answerSoFar.isEmpty())
        setError(NoAnswer,
                 QStringLiteral("no answer from the device on %1 to %2 within 3 s")
                     .arg(portName, request));
    else if (answerPieces > 1
             && Packets::classify(answerSoFar).kind == awaitedReply.value(requestState))
        setError(UnexpectedReply,
                 QStringLiteral("the device on %1 answered %2 in %3 pieces instead of one: %4")
                     .arg(portName, request)
                     .arg(answerPieces)
                     .arg(shown));
    else if (answerPieces == 1 && !verifyChecksum(answerSoFar))
        setError(UnexpectedReply,
                 QStringLiteral("the device on %1 answered %2 with a reply that failed its "
                                "checksum: %3")
                     .arg(portName, request, shown));
    else
        setError(UnexpectedReply,
                 QStringLiteral("the device on %1 answered %2 with an unexpected reply: %3")
                     .arg(portName, request, shown));
}

void Controller::setError(Error error, const QString &text)
{
    lastError = error;
    lastErrorText = text;
}

QString Controller::awaitedAnswer(int exchange) const
{
    switch (exchange) {
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
