#include "packets.h"

namespace {

constexpr char FrameStart = char(0xFE);
constexpr char Group = 0x4D;
constexpr char StartCode = 0x04;
constexpr char DataCode = 0x01;
constexpr char EndCode = 0x03;
constexpr int VersionReplyMinimum = 19;
constexpr char VersionReplyStart = char(0xBB);

// Length, group, code and payload, with their checksum behind them and the
// start byte in front: the one layout of every frame that begins with 0xFE.
QByteArray commandFrame(char code, const QByteArray &payload = {})
{
    QByteArray frame;
    frame.reserve(payload.size() + 5);
    frame.append(char(payload.size()));
    frame.append(Group);
    frame.append(code);
    frame.append(payload);
    frame.append(char(checksum(frame)));
    frame.prepend(FrameStart);
    return frame;
}

} // namespace

quint8 checksum(const QByteArray &bytes)
{
    quint8 sum = 0;
    for (char byte : bytes)
        sum ^= quint8(byte);
    return sum;
}

QByteArray frameBody(const QByteArray &packet)
{
    if (packet.size() < 2)
        return {};
    return packet.mid(1, packet.size() - 2);
}

bool verifyChecksum(const QByteArray &chunk)
{
    if (chunk.isEmpty())
        return false;
    return checksum(frameBody(chunk)) == quint8(chunk.back());
}

namespace Packets {

QByteArray bytes(const char *hexText)
{
    return QByteArray::fromHex(hexText);
}

QByteArray startCommand()
{
    return commandFrame(StartCode);
}

QByteArray dataBlock(quint16 address, const QByteArray &data)
{
    QByteArray payload;
    payload.reserve(2 + BlockSize);
    payload.append(char(address & 0xFF));
    payload.append(char(address >> 8));
    payload.append(data.left(BlockSize));
    payload.append(BlockSize - qMin<qsizetype>(data.size(), BlockSize), char(0xFF));
    return commandFrame(DataCode, payload);
}

QByteArray endCommand()
{
    return commandFrame(EndCode);
}

bool isVersionReply(const QByteArray &chunk)
{
    return chunk.size() >= VersionReplyMinimum && chunk.front() == VersionReplyStart;
}

Reply classify(const QByteArray &chunk)
{
    static const struct
    {
        QByteArray packet;
        Reply::Kind kind;
    } fixedReplies[] = {
        {bytes(PcModeReply), Reply::PcModeReply},
        {bytes(StartAck), Reply::StartAck},
        {bytes(BlockAck), Reply::BlockAck},
        {bytes(EndAck), Reply::EndAck},
    };
    Reply reply;
    reply.checksumHolds = verifyChecksum(chunk);
    if (isVersionReply(chunk)) {
        reply.kind = Reply::VersionReply;
        return reply;
    }
    for (const auto &fixed : fixedReplies) {
        if (chunk == fixed.packet) {
            reply.kind = fixed.kind;
            break;
        }
    }
    return reply;
}

QString versionText(const QByteArray &versionReply)
{
    QByteArray text = versionReply.mid(2, versionReply.size() - 3);
    // The device ends a short version text with 0x00; nothing after it is text.
    const qsizetype end = text.indexOf('\0');
    if (end >= 0)
        text.truncate(end);
    return QString::fromUtf8(text);
}

QString versionLine(const QByteArray &versionReply)
{
    return QString::fromUtf8(VersionLinePrefix) + versionText(versionReply);
}

} // namespace Packets
