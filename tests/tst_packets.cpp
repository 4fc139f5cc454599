#include "packets.h"

#include <QtTest>

namespace {

using Reply = Packets::Reply;

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

QByteArray counting(int from, int count)
{
    QByteArray bytes;
    for (int i = 0; i < count; ++i)
        bytes.append(char(from + i));
    return bytes;
}

} // namespace

class tst_Packets : public QObject
{
    Q_OBJECT

private slots:
    void fixedPackets_data();
    void fixedPackets();
    void verifyChecksum_data();
    void verifyChecksum();
    void frameBody_data();
    void frameBody();
    void dataBlock_data();
    void dataBlock();
    void versionReply_data();
    void versionReply();
};

void tst_Packets::fixedPackets_data()
{
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("pc-mode request") << Packets::bytes(Packets::PcModeRequest)
                                     << QByteArray("\x02\x07"
                                                   "eDLMODE?",
                                                   10);
    QTest::newRow("pc-mode reply") << Packets::bytes(Packets::PcModeReply) << hex("b0000000");
    QTest::newRow("version request") << Packets::bytes(Packets::VersionRequest) << hex("0201bbba");
    QTest::newRow("start command") << Packets::startCommand() << hex("fe004d0449");
    QTest::newRow("start ack") << Packets::bytes(Packets::StartAck) << hex("fe014d8400c8");
    QTest::newRow("block ack") << Packets::bytes(Packets::BlockAck) << hex("fe014d8100cd");
    QTest::newRow("end command") << Packets::endCommand() << hex("fe004d034e");
    QTest::newRow("end ack") << Packets::bytes(Packets::EndAck) << hex("fe014d8300cf");
}

void tst_Packets::fixedPackets()
{
    QFETCH(QByteArray, packet);
    QFETCH(QByteArray, expected);
    QCOMPARE(packet.toHex(' '), expected.toHex(' '));
}

void tst_Packets::verifyChecksum_data()
{
    QTest::addColumn<QByteArray>("chunk");
    QTest::addColumn<bool>("passes");
    // What the controller makes of the chunk in any state but WaitVersion.
    QTest::addColumn<Reply::Kind>("kind");

    QTest::newRow("one byte 00") << hex("00") << true << Reply::Other;
    QTest::newRow("one byte 01") << hex("01") << false << Reply::Other;
    QTest::newRow("two bytes ending 00") << hex("7f00") << true << Reply::Other;
    QTest::newRow("two bytes ending 7f") << hex("7f7f") << false << Reply::Other;
    QTest::newRow("pc-mode reply") << hex("b0000000") << true << Reply::PcModeReply;
    QTest::newRow("other pc-mode reply") << hex("b1000000") << true << Reply::Other;
    QTest::newRow("version request") << hex("0201bbba") << true << Reply::Other;
    QTest::newRow("pc-mode request has no checksum")
        << Packets::bytes(Packets::PcModeRequest) << false << Reply::Other;
    QTest::newRow("start ack") << hex("fe014d8400c8") << true << Reply::StartAck;
    QTest::newRow("block ack") << hex("fe014d8100cd") << true << Reply::BlockAck;
    QTest::newRow("end ack") << hex("fe014d8300cf") << true << Reply::EndAck;
    QTest::newRow("ack with stray 00") << hex("fe014d8100cd00") << true << Reply::Other;
    QTest::newRow("ack with corrupt checksum") << hex("fe014d8100cc") << false << Reply::Other;
    QTest::newRow("first half of an ack") << hex("fe014d") << false << Reply::Other;
    QTest::newRow("second half of an ack") << hex("8100cd") << false << Reply::Other;
}

void tst_Packets::verifyChecksum()
{
    QFETCH(QByteArray, chunk);
    QFETCH(bool, passes);
    QFETCH(Reply::Kind, kind);
    QCOMPARE(::verifyChecksum(chunk), passes);
    QCOMPARE(Packets::classify(chunk).checksumHolds, passes);
    QCOMPARE(Packets::classify(chunk).kind, kind);
}

void tst_Packets::frameBody_data()
{
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("checksum");

    QTest::newRow("empty") << QByteArray() << QByteArray() << 0x00;
    QTest::newRow("one byte") << hex("fe") << QByteArray() << 0x00;
    QTest::newRow("two bytes") << hex("fecf") << QByteArray() << 0x00;
    QTest::newRow("end ack") << hex("fe014d8300cf") << hex("014d8300") << 0xcf;
    QTest::newRow("version request") << hex("0201bbba") << hex("01bb") << 0xba;
}

void tst_Packets::frameBody()
{
    QFETCH(QByteArray, packet);
    QFETCH(QByteArray, body);
    QFETCH(int, checksum);
    QCOMPARE(::frameBody(packet), body);
    QCOMPARE(int(::checksum(body)), checksum);
}

void tst_Packets::dataBlock_data()
{
    QTest::addColumn<int>("address");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray ones(64, char(0xFF));
    QTest::newRow("block 0 of 0xFF") << 0x0000 << ones << hex("fe424d010000") + ones + hex("0e");
    QTest::newRow("block 1 of 0xFF") << 0x0010 << ones << hex("fe424d011000") + ones + hex("1e");
    QTest::newRow("last block") << 0xD2F0 << ones << hex("fe424d01f0d2") + ones + hex("2c");
    QTest::newRow("100-byte image, block 0")
        << 0x0000 << counting(0, 64) << hex("fe424d010000") + counting(0, 64) + hex("0e");
    QTest::newRow("100-byte image, block 1 padded")
        << 0x0010 << counting(64, 36)
        << hex("fe424d011000") + counting(64, 36) + QByteArray(28, char(0xFF)) + hex("1e");
    QTest::newRow("past the end of the file")
        << 0x0020 << QByteArray() << hex("fe424d012000") + ones + hex("2e");
}

void tst_Packets::dataBlock()
{
    QFETCH(int, address);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, expected);

    const QByteArray block = Packets::dataBlock(quint16(address), data);
    QCOMPARE(block.size(), 71);
    QCOMPARE(block.toHex(' '), expected.toHex(' '));
    QVERIFY(::verifyChecksum(block));
}

void tst_Packets::versionReply_data()
{
    QTest::addColumn<QByteArray>("chunk");
    QTest::addColumn<bool>("isReply");
    QTest::addColumn<QString>("text");

    const QByteArray sixteen = "V1.23-4567890ABC";
    QTest::newRow("18 bytes") << hex("bb10") + sixteen.left(15) + hex("00") << false << QString();
    QTest::newRow("19 bytes") << hex("bb10") + sixteen + hex("00") << true
                              << QStringLiteral("V1.23-4567890ABC");
    QTest::newRow("wrong first byte") << hex("bc10") + sixteen + hex("00") << false << QString();
    QTest::newRow("text cut at 0x00") << hex("bb05") + QByteArray("1.0.5\0garbage12", 15)
            + hex("1111") << true << QStringLiteral("1.0.5");
    QTest::newRow("UTF-8 text") << hex("bb10") + QByteArray("版 2.0") + QByteArray(9, '\0')
            + hex("00") << true << QStringLiteral("版 2.0");
    QTest::newRow("checksum not required")
        << hex("bb10") + sixteen + hex("ff") << true << QStringLiteral("V1.23-4567890ABC");
}

void tst_Packets::versionReply()
{
    QFETCH(QByteArray, chunk);
    QFETCH(bool, isReply);
    QFETCH(QString, text);

    QCOMPARE(Packets::isVersionReply(chunk), isReply);
    QCOMPARE(Packets::classify(chunk).kind == Reply::VersionReply, isReply);
    if (isReply) {
        QCOMPARE(Packets::versionText(chunk), text);
        QCOMPARE(Packets::versionLine(chunk), QStringLiteral("現在のFWバージョン : ") + text);
    }
}

QTEST_GUILESS_MAIN(tst_Packets)
#include "tst_packets.moc"
