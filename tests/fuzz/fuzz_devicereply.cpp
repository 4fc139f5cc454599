// libFuzzer target for the device's replies, the bytes the tool takes from
// the serial link. Checks that the classification reads nothing past the
// chunk (AddressSanitizer, on a copy of exactly the input's size) and agrees
// with the rules written out afresh here from the device's packet list, and
// that a version reply always makes a version line.
#include "fuzzinput.h"
#include "packets.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstring>

namespace {

struct FixedReply
{
    Packets::Reply::Kind kind;
    uint8_t bytes[6];
    size_t size;
};

const FixedReply fixedReplies[] = {
    {Packets::Reply::PcModeReply, {0xB0, 0x00, 0x00, 0x00}, 4},
    {Packets::Reply::StartAck, {0xFE, 0x01, 0x4D, 0x84, 0x00, 0xC8}, 6},
    {Packets::Reply::BlockAck, {0xFE, 0x01, 0x4D, 0x81, 0x00, 0xCD}, 6},
    {Packets::Reply::EndAck, {0xFE, 0x01, 0x4D, 0x83, 0x00, 0xCF}, 6},
};

// The last byte is the XOR of all between the first and the last.
bool checksumHolds(const uint8_t *data, size_t size)
{
    if (size == 0)
        return false;
    uint8_t sum = 0;
    for (size_t i = 1; i + 1 < size; ++i)
        sum ^= data[i];
    return sum == data[size - 1];
}

Packets::Reply::Kind expectedKind(const uint8_t *data, size_t size)
{
    if (size >= 19 && data[0] == 0xBB)
        return Packets::Reply::VersionReply;
    for (const FixedReply &fixed : fixedReplies) {
        if (size == fixed.size && std::memcmp(data, fixed.bytes, size) == 0)
            return fixed.kind;
    }
    return Packets::Reply::Other;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const FuzzInput input(data, size);
    const QByteArray &chunk = input.bytes();

    const Packets::Reply reply = Packets::classify(chunk);
    FuzzInput::require(reply.kind == expectedKind(data, size), "kind differs from the packet list");
    FuzzInput::require(reply.checksumHolds == checksumHolds(data, size), "checksum judged wrongly");
    if (reply.kind != Packets::Reply::Other && reply.kind != Packets::Reply::VersionReply)
        FuzzInput::require(reply.checksumHolds, "fixed reply without a good checksum");

    if (reply.kind == Packets::Reply::VersionReply) {
        const QString prefix = QStringLiteral("現在のFWバージョン : ");
        const QString line = Packets::versionLine(chunk);
        FuzzInput::require(line.startsWith(prefix), "version line lost its label");
        FuzzInput::require(!line.contains(QChar(0)), "version line holds a NUL");
        // The text is the bytes between the first two and the last, and UTF-8
        // never decodes to more UTF-16 units than it has bytes.
        FuzzInput::require(line.size() - prefix.size() <= qsizetype(size) - 3,
                           "version line too long");
    }
    return 0;
}
