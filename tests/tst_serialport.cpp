#include "ptypair.h"
#include "serialport.h"

#include <QElapsedTimer>
#include <QTemporaryFile>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

class tst_SerialPort : public QObject
{
    Q_OBJECT

private slots:
    void failsToOpen_data();
    void failsToOpen();
    void bareNameOpensUnderDev();
    void everyByteValueCrossesUnchanged();
    void writeHandsOverEveryByte();
    void stalledWriteEndsWithinItsSecond();
    void openDiscardsWhatArrivedWhileClosed();
    void secondOpenerIsRefused();
    void peerGoneIsNotACrash();
};

void tst_SerialPort::failsToOpen_data()
{
    // "<pty>" and "<file>" stand for a pseudo-terminal and a regular file
    // made for the row.
    QTest::addColumn<QString>("name");
    // Who else holds the pseudo-terminal: another copy of this tool, or a
    // program that took it for itself (TIOCEXCL).
    QTest::addColumn<QString>("holder");
    // How the reason begins: what happened, then the system's own words.
    QTest::addColumn<QString>("reason");

    const QString missing = QStringLiteral("No such file or directory");
    const QString notSerial = QStringLiteral("not a serial port: Inappropriate ioctl for device");
    QTest::newRow("unnamed") << QString() << QString() << "no port name";
    QTest::newRow("missing") << QStringLiteral("/dev/no-such-port-here") << QString() << missing;
    QTest::newRow("missing bare name") << QStringLiteral("ttyNoSuchPort9") << QString() << missing;
    QTest::newRow("not a terminal") << QStringLiteral("/dev/null") << QString() << notSerial;
    QTest::newRow("regular file") << QStringLiteral("<file>") << QString() << notSerial;
    // Its lock, or for a user other than root its TIOCEXCL, keeps this out.
    QTest::newRow("in use by this tool") << QStringLiteral("<pty>") << "tool"
                                         << "in use by another program: ";
    QTest::newRow("in use by a terminal program")
        << QStringLiteral("<pty>") << "exclusive"
        << "in use by another program: Device or resource busy";
}

void tst_SerialPort::failsToOpen()
{
    QFETCH(QString, name);
    QFETCH(QString, holder);
    QFETCH(QString, reason);

    PtyPair pty;
    SerialPort tool;
    int exclusive = -1;
    const auto release = qScopeGuard([&] {
        if (exclusive >= 0) {
            ::ioctl(exclusive, TIOCNXCL);
            ::close(exclusive);
        }
    });
    QTemporaryFile file;
    if (name == "<pty>")
        name = pty.slavePath();
    if (name == "<file>") {
        QVERIFY(file.open());
        name = file.fileName();
    }
    if (holder == "tool") {
        tool.setPortName(name);
        QVERIFY(tool.open());
    } else if (holder == "exclusive") {
        if (::geteuid() == 0)
            QSKIP("TIOCEXCL does not keep out root");
        exclusive = ::open(QFile::encodeName(name).constData(), O_RDWR | O_NOCTTY);
        QVERIFY(exclusive >= 0);
        QCOMPARE(::ioctl(exclusive, TIOCEXCL), 0);
    }

    SerialPort port;
    port.setPortName(name);
    QVERIFY(!port.open());
    QVERIFY(!port.isOpen());
    QCOMPARE(port.error(), SerialPort::OpenError);
    QVERIFY2(port.errorString().startsWith(reason), qPrintable(port.errorString()));
    // A closed port answers every call at once and harmlessly.
    QCOMPARE(port.bytesAvailable(), 0);
    QVERIFY(port.read(64).isEmpty());
    QCOMPARE(port.write("abc"), -1);
    port.close();
}

void tst_SerialPort::bareNameOpensUnderDev()
{
    PtyPair pty;
    QVERIFY(pty.isValid());
    QVERIFY(pty.slavePath().startsWith("/dev/"));

    SerialPort port;
    port.setPortName(pty.slavePath().mid(5));
    QVERIFY(port.open());
    QCOMPARE(port.write("ping"), 4);
    QCOMPARE(pty.readFromSlave(4), QByteArray("ping"));
}

void tst_SerialPort::everyByteValueCrossesUnchanged()
{
    // Raw mode: no CR/LF translation, no XON/XOFF, no echo, no line editing.
    PtyPair pty;
    SerialPort port;
    port.setPortName(pty.slavePath());
    QVERIFY(port.open());

    QByteArray all;
    for (int value = 0; value < 256; ++value)
        all.append(char(value));

    QCOMPARE(port.write(all), 256);
    QCOMPARE(pty.readFromSlave(256).toHex(), all.toHex());

    QVERIFY(pty.writeToSlave(all));
    QByteArray back;
    QTRY_VERIFY((back += port.read(port.bytesAvailable()), back.size() >= 256));
    QCOMPARE(back.toHex(), all.toHex());
    QCOMPARE(pty.readFromSlave(1, 100), QByteArray());
}

void tst_SerialPort::writeHandsOverEveryByte()
{
    PtyPair pty;
    SerialPort port;
    port.setPortName(pty.slavePath());
    QVERIFY(port.open());

    // More than a terminal buffers at once: the write must wait for room.
    QByteArray big(64 * 1024, '\0');
    for (int i = 0; i < big.size(); ++i)
        big[i] = char(i * 7);
    QByteArray received;
    std::thread reader([&] { received = pty.readFromSlave(big.size(), 10000); });
    const qint64 written = port.write(big);
    reader.join();
    QCOMPARE(written, big.size());
    QCOMPARE(received.size(), big.size());
    QVERIFY(received == big);
}

void tst_SerialPort::stalledWriteEndsWithinItsSecond()
{
    PtyPair pty;
    SerialPort port;
    port.setPortName(pty.slavePath());
    QVERIFY(port.open());

    // A stream of signals, each interrupting the wait for room, must not
    // restart the write's second. The stream ends by itself after 10 s, so
    // a write that did restart still returns and fails the time check.
    struct sigaction ignore
    {
    };
    ignore.sa_handler = [](int) {};
    sigemptyset(&ignore.sa_mask);
    struct sigaction previous
    {
    };
    QCOMPARE(::sigaction(SIGUSR1, &ignore, &previous), 0);
    const pthread_t writer = ::pthread_self();
    std::atomic<bool> writing {true};
    std::thread signaller([&] {
        for (int i = 0; i < 100 && writing; ++i) {
            ::pthread_kill(writer, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });

    QElapsedTimer clock;
    clock.start();
    // Nobody reads the far side, so the terminal's buffer fills and stays full.
    const qint64 written = port.write(QByteArray(1 << 20, 'x'));
    const qint64 elapsedMs = clock.elapsed();
    writing = false;
    signaller.join();
    ::sigaction(SIGUSR1, &previous, nullptr);

    QCOMPARE(written, -1);
    QCOMPARE(port.error(), SerialPort::TimeoutError);
    QVERIFY2(elapsedMs < 3000, qPrintable(QString::number(elapsedMs)));
}

void tst_SerialPort::openDiscardsWhatArrivedWhileClosed()
{
    PtyPair pty;
    SerialPort port;
    port.setPortName(pty.slavePath());
    QVERIFY(port.open());
    port.close();

    QVERIFY(pty.writeToSlave(QByteArray::fromHex("b0000000")));
    QVERIFY(port.open());
    QVERIFY(pty.writeToSlave("fresh"));
    QByteArray got;
    QTRY_VERIFY((got += port.read(port.bytesAvailable()), got.size() >= 5));
    QCOMPARE(got, QByteArray("fresh"));
}

void tst_SerialPort::secondOpenerIsRefused()
{
    PtyPair pty;
    SerialPort first;
    SerialPort second;
    first.setPortName(pty.slavePath());
    second.setPortName(pty.slavePath());

    QVERIFY(first.open());
    QVERIFY(!second.open());
    QVERIFY(second.errorString().startsWith("in use by another program: "));
    first.close();
    QVERIFY(second.open());
    QVERIFY(second.errorString().isEmpty());
    QVERIFY(!first.open());
    second.close();
    QVERIFY(first.open());
}

void tst_SerialPort::peerGoneIsNotACrash()
{
    PtyPair pty;
    SerialPort port;
    port.setPortName(pty.slavePath());
    QVERIFY(port.open());
    QCOMPARE(port.error(), SerialPort::NoError);
    pty.closeMaster();

    // The terminal hangs up with its far end: the link's sign of an unplug.
    QCOMPARE(port.bytesAvailable(), -1);
    QCOMPARE(port.error(), SerialPort::ResourceError);
    QCOMPARE(port.errorString(), QStringLiteral("Input/output error"));
    QVERIFY(port.read(64).isEmpty());
    QCOMPARE(port.write(QByteArray(71, 'x')), -1);
    QCOMPARE(port.error(), SerialPort::ResourceError);
    QCOMPARE(port.errorString(), QStringLiteral("Input/output error"));
    port.close();
    QVERIFY(!port.isOpen());
}

QTEST_GUILESS_MAIN(tst_SerialPort)
#include "tst_serialport.moc"
