#include "device.h"
#include "simulatorprocess.h"

#include <QElapsedTimer>
#include <QtTest>

namespace {

const QByteArray Ack = QByteArray::fromHex("fe014d8100cd");
const QByteArray VersionRequest = QByteArray::fromHex("0201bbba");
// Bytes the simulated device takes for line noise and never answers.
const QByteArray Unanswered = QByteArray::fromHex("000000");

QStringList debugLines;

// Takes the link's chunks in the test's thread, queued, as its owner does.
class Chunks : public QObject
{
public:
    explicit Chunks(Device *device)
    {
        connect(device, &Device::received, this,
                [this](const QByteArray &chunk) { list.append(chunk); });
    }

    QList<QByteArray> list;
};

void keepDebugLines(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg)
        debugLines.append(message);
}

} // namespace

class tst_Device : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void chunkPerPass_data();
    void chunkPerPass();
    void timeOutComesOnceAfterTheLastWrite();
    void firstPartOfAReplyStopsTheWindow();
    void writeThenCloseStillSends();
    void openWithoutNameTimesOut();
    void openTwiceRunsOneLoop();
    void chunksReadBeforeCloseAreStillDelivered();
    void lossOfAnEarlierOpeningIsNotReported();
    void destroyingANeverOpenedLinkLogsClose();

private:
    SimulatorProcess simulator;
};

void tst_Device::initTestCase()
{
    QVERIFY(simulator.start());
}

void tst_Device::init()
{
    QVERIFY(simulator.command("reset"));
    debugLines.clear();
}

void tst_Device::cleanup()
{
    qInstallMessageHandler(nullptr);
}

void tst_Device::chunkPerPass_data()
{
    // Each part is written once the one before has come through, so that a
    // busy machine, which may read late, still reads them apart.
    QTest::addColumn<QList<QByteArray>>("parts");

    QTest::newRow("reply in one piece") << QList<QByteArray> {Ack};
    QTest::newRow("reply in two parts") << QList<QByteArray> {Ack.left(3), Ack.mid(3)};
    QTest::newRow("two replies in one write") << QList<QByteArray> {Ack + Ack};
    QTest::newRow("three replies apart") << QList<QByteArray> {Ack, Ack, Ack};
}

void tst_Device::chunkPerPass()
{
    QFETCH(QList<QByteArray>, parts);

    Device device;
    Chunks received(&device);
    device.setPortName(simulator.portPath());
    QVERIFY(device.open());

    for (int i = 0; i < parts.size(); ++i) {
        QVERIFY(simulator.send(parts.at(i)));
        QTRY_COMPARE(received.list.size(), i + 1);
    }
    QTest::qWait(50);
    QCOMPARE(received.list, parts);
    device.close();
}

void tst_Device::timeOutComesOnceAfterTheLastWrite()
{
    Device device;
    QSignalSpy timeOut(&device, &Device::timeOut);
    QVERIFY(timeOut.isValid());
    device.setPortName(simulator.portPath());
    QVERIFY(device.open());

    device.write(Unanswered);
    QTest::qWait(1000);
    QElapsedTimer sinceSecondWrite;
    sinceSecondWrite.start();
    device.write(Unanswered);

    QVERIFY(timeOut.wait(5000));
    QVERIFY2(sinceSecondWrite.elapsed() >= 2990,
             qPrintable(QString::number(sinceSecondWrite.elapsed())));
    QTest::qWait(1500);
    QCOMPARE(timeOut.size(), 1);
    device.close();
}

void tst_Device::firstPartOfAReplyStopsTheWindow()
{
    Device device;
    Chunks received(&device);
    QSignalSpy timeOut(&device, &Device::timeOut);
    QVERIFY(timeOut.isValid());
    device.setPortName(simulator.portPath());
    QVERIFY(device.open());

    device.write(Unanswered);
    QVERIFY(simulator.send(Ack.left(3)));
    QTRY_COMPARE(received.list.size(), 1);
    QTest::qWait(3500);
    QCOMPARE(timeOut.size(), 0);
    device.close();
}

void tst_Device::writeThenCloseStillSends()
{
    Device device;
    QSignalSpy timeOut(&device, &Device::timeOut);
    QVERIFY(timeOut.isValid());
    device.setPortName(simulator.portPath());
    // The reply comes once the link is closed, however loaded the machine;
    // read before, it would stop the window.
    QVERIFY(simulator.addFault("late@version:500"));
    device.open();
    device.write(VersionRequest);
    device.close();

    QTRY_COMPARE(simulator.report().value("versionRequests").toInt(), 1);
    // The window outlives the close: the reply came after it and was not read.
    // On a loaded machine the window may already have run out while the
    // simulator was asked.
    QTRY_COMPARE_WITH_TIMEOUT(timeOut.size(), 1, 4000);
}

void tst_Device::openWithoutNameTimesOut()
{
    Device device;
    QSignalSpy timeOut(&device, &Device::timeOut);
    QVERIFY(timeOut.isValid());

    QVERIFY(!device.open());
    QVERIFY(device.isRunning());
    device.write(VersionRequest);
    QVERIFY(timeOut.wait(4000));
    device.close();
    QVERIFY(device.isFinished());
}

void tst_Device::openTwiceRunsOneLoop()
{
    qInstallMessageHandler(keepDebugLines);
    {
        Device device;
        Chunks received(&device);
        device.setPortName(simulator.portPath());
        QVERIFY(device.open());
        QVERIFY(device.open());

        QVERIFY(simulator.send(Ack));
        QTRY_COMPARE(received.list.size(), 1);
        QTest::qWait(50);
        QCOMPARE(received.list.size(), 1);

        device.close();
        QVERIFY(device.isFinished());
    }
    const QString quoted = '"' + simulator.portPath() + '"';
    QCOMPARE(debugLines,
             (QStringList {"open:  " + quoted, "open:  " + quoted, "close:  " + quoted,
                           "close:  " + quoted}));
}

void tst_Device::chunksReadBeforeCloseAreStillDelivered()
{
    Device device;
    Chunks received(&device);
    device.setPortName(simulator.portPath());
    QVERIFY(device.open());

    QVERIFY(simulator.send(Ack));
    // Without running the event loop: the reading thread reads and queues.
    QThread::msleep(200);
    device.close();
    QCOMPARE(received.list.size(), 0);
    QTRY_COMPARE(received.list.size(), 1);
    QCOMPARE(received.list.first(), Ack);
}

// A device unplugged and plugged in again before the event loop ran: the
// loss belongs to the port that went, not to the one open now.
void tst_Device::lossOfAnEarlierOpeningIsNotReported()
{
    Device device;
    QSignalSpy lost(&device, &Device::linkLost);
    QVERIFY(lost.isValid());
    QVERIFY(simulator.addFault("hangup@version"));
    device.setPortName(simulator.portPath());
    QVERIFY(device.open());
    device.write(VersionRequest);
    // Without running the event loop: the simulator unplugs 100 ms after its
    // answer, and the reading thread notices within a poll and queues.
    QThread::msleep(400);
    device.close();
    device.setPortName(simulator.replug());
    QVERIFY(device.open());
    QTest::qWait(100);
    QCOMPARE(lost.count(), 0);
    device.close();
}

void tst_Device::destroyingANeverOpenedLinkLogsClose()
{
    qInstallMessageHandler(keepDebugLines);
    {
        Device device;
    }
    QCOMPARE(debugLines, QStringList {"close:  \"\""});
}

QTEST_GUILESS_MAIN(tst_Device)
#include "tst_device.moc"
