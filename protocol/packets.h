#ifndef PACKETS_H
#define PACKETS_H

#include <QByteArray>
#include <QString>

// The bytes exchanged with the device. Fixed packets are kept as hex texts so
// that they read exactly as the device's documentation lists them; the
// command frames that carry data are built at run time.
namespace Packets {

inline constexpr char PcModeRequest[] = "02 07 65 44 4C 4D 4F 44 45 3F";
inline constexpr char PcModeReply[] = "B0 00 00 00";
inline constexpr char VersionRequest[] = "02 01 BB BA";
inline constexpr char StartAck[] = "FE 01 4D 84 00 C8";
inline constexpr char BlockAck[] = "FE 01 4D 81 00 CD";
inline constexpr char EndAck[] = "FE 01 4D 83 00 CF";

inline constexpr int BlockSize = 64;
inline constexpr int BlockCount = 3376;

QByteArray bytes(const char *hexText);

QByteArray startCommand();
QByteArray dataBlock(quint16 address, const QByteArray &data);
QByteArray endCommand();

bool isVersionReply(const QByteArray &chunk);
// The device's firmware version as its version reply gives it.
QString versionText(const QByteArray &versionReply);
// The window's line for it, which reads just this while no device is there.
inline constexpr char VersionLinePrefix[] = "現在のFWバージョン : ";
QString versionLine(const QByteArray &versionReply);

// What a chunk from the device is. A fixed reply is recognised only when the
// chunk is exactly its packet, so its checksum always holds; a version reply
// by its start and length alone, as the device's version text is taken
// whatever its checksum. Any other chunk whose checksum fails is noise.
struct Reply
{
    enum Kind { Other, VersionReply, PcModeReply, StartAck, BlockAck, EndAck };
    Kind kind = Other;
    bool checksumHolds = false;
};

Reply classify(const QByteArray &chunk);

} // namespace Packets

quint8 checksum(const QByteArray &bytes);
QByteArray frameBody(const QByteArray &packet);
bool verifyChecksum(const QByteArray &chunk);

#endif // PACKETS_H
