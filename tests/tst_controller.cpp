#include "controller.h"
#include "firmwarebundle.h"
#include "firmwarerelease.h"
#include "inhibitstandin.h"
#include "minisignkey.h"
#include "simulatorprocess.h"
#include "testfiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QtTest>

#include <memory>

namespace {

constexpr int BlockCount = 3376;
// What logind is asked to block, in what mode, by whom and why.
const QString LockTaken = QStringLiteral(
    "inhibit sleep:shutdown:idle:handle-lid-switch block tst_controller|Writing firmware to a "
    "QL-7420; stopping now would leave it without firmware");
const QStringList Held = {QStringLiteral("inhibit")};
const QStringList HeldOnce = {QStringLiteral("inhibit"), QStringLiteral("released")};
const QString ImagePath = QDir::tempPath() + QStringLiteral("/hello_Update.ghx");
// Two different blocks of one MD5 (Wang and Yu, 2004).
const QByteArray CollidingImages[] = {
    QByteArray::fromHex("d131dd02c5e6eec4693d9a0698aff95c2fcab58712467eab4004583eb8fb7f89"
                        "55ad340609f4b30283e488832571415a085125e8f7cdc99fd91dbdf280373c5b"
                        "d8823e3156348f5bae6dacd436c919c6dd53e2b487da03fd02396306d248cda0"
                        "e99f33420f577ee8ce54b67080a80d1ec69821bcb6a8839396f9652b6ff72a70"),
    QByteArray::fromHex("d131dd02c5e6eec4693d9a0698aff95c2fcab50712467eab4004583eb8fb7f89"
                        "55ad340609f4b30283e4888325f1415a085125e8f7cdc99fd91dbd7280373c5b"
                        "d8823e3156348f5bae6dacd436c919c6dd53e23487da03fd02396306d248cda0"
                        "e99f33420f577ee8ce54b67080280d1ec69821bcb6a8839396f965ab6ff72a70"),
};

// The signals a dialog would see, in the order they came.
class Observer : public QObject
{
public:
    explicit Observer(Controller *controller)
    {
        connect(controller, &Controller::progressUpdated, this, [this](int value) {
            progress.append(value);
            sinceProgress.start();
        });
        connect(controller, &Controller::msgUpdated, this,
                [this](const QString &text) { events.append("msg:" + text); });
        connect(controller, &Controller::btUpgrade, this,
                [this](bool can) { events.append(can ? "button:on" : "button:off"); });
        connect(controller, &Controller::upgradeFinished, this,
                [this] { events.append("finished"); });
        connect(controller, &Controller::pcModeSwitched, this, [this] { events.append("pcmode"); });
        connect(controller, &Controller::timeOut, this, [this] { events.append("timeout"); });
        connect(controller, &Controller::versionRead, this,
                [this](const QString &version) { events.append("version:" + version); });
        connect(controller, &Controller::linkLost, this, [this] {
            events.append("linklost");
            linkLostAfterProgressMs = sinceProgress.elapsed();
        });
    }

    int count(const QString &event) const { return int(events.count(event)); }

    QList<int> progress;
    QStringList events;
    QElapsedTimer sinceProgress;
    qint64 linkLostAfterProgressMs = -1;
};

} // namespace

class tst_Controller : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void completeTransfer_data();
    void completeTransfer();
    void twoControllersAtOnce();
    void stallEndsTheTransfer_data();
    void stallEndsTheTransfer();
    void unverifiedImageIsNeverSent_data();
    void unverifiedImageIsNeverSent();
    void pcModeExchange_data();
    void pcModeExchange();
    void versionExchange_data();
    void versionExchange();
    void holdAgainstLogind_data();
    void holdAgainstLogind();

private:
    // A controller whose firmware check has verified the published image.
    bool verify(Controller &controller, const QByteArray &image);

    SimulatorProcess simulator;
    QScopedPointer<FirmwareRelease> release;
    // Stands in for logind on the system bus of every controller here.
    InhibitStandin logind;
    // Where a keyed check records the versions it verified.
    QTemporaryDir dataHome;
};

void tst_Controller::initTestCase()
{
    QVERIFY(simulator.start({"--version-text", "2.5.1"}));
    QVERIFY(logind.start());
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", logind.busAddress().toUtf8());
    QVERIFY(dataHome.isValid());
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome.path()));
}

void tst_Controller::init()
{
    QVERIFY(simulator.command("reset"));
    release.reset(new FirmwareRelease);
    for (const char *answer : {"grant", "delay 0", "present"})
        QVERIFY(logind.command(answer));
    logind.clearEvents();
}

bool tst_Controller::verify(Controller &controller, const QByteArray &image)
{
    if (!release->publish(image))
        return false;
    controller.updateFW.setBaseUrl(release->baseUrl());
    QSignalSpy label(&controller, &Controller::labelFWUpdated);
    controller.updateFW.checkServerFW();
    return label.wait(15000) && !controller.updateFW.verifiedDigest().isEmpty();
}

void tst_Controller::completeTransfer_data()
{
    QTest::addColumn<int>("imageSize");

    QTest::newRow("exactly the device's size") << BlockCount * 64;
    QTest::newRow("100 bytes") << 100;
}

void tst_Controller::completeTransfer()
{
    QFETCH(int, imageSize);
    const QByteArray image = FirmwareRelease::randomImage(imageSize);

    Controller controller;
    Observer observer(&controller);
    QVERIFY(verify(controller, image));
    controller.setPortName(simulator.portPath());
    QCOMPARE(logind.events(), QStringList());
    controller.startUpgrade();
    QVERIFY(controller.isUpgrading());
    // Held while the blocks go over, given back with the end.
    QTRY_COMPARE(logind.eventKinds(), Held);
    QCOMPARE(observer.count("finished"), 0);

    QTRY_COMPARE_WITH_TIMEOUT(observer.count("finished"), 1, 120000);
    QVERIFY(!controller.isUpgrading());
    QCOMPARE(observer.count("timeout"), 0);
    QTRY_COMPARE(logind.eventKinds(), HeldOnce);

    QList<int> expected;
    for (int sent = 0; sent <= BlockCount; ++sent)
        expected.append(100 * sent / BlockCount);
    QCOMPARE(observer.progress.size(), BlockCount + 1);
    QCOMPARE(observer.progress, expected);

    const QJsonObject report = simulator.report();
    QCOMPARE(report.value("startCommands").toInt(), 1);
    QCOMPARE(report.value("dataBlocks").toInt(), BlockCount);
    QCOMPARE(report.value("endCommands").toInt(), 1);
    QCOMPARE(report.value("badChecksums").toInt(), 0);
    QCOMPARE(report.value("violations").toArray().size(), 0);
    QCOMPARE(report.value("imageMd5").toString(),
             FirmwareRelease::md5(FirmwareRelease::deviceImage(image)));

    QVERIFY(portIsFree(simulator.portPath()));
    QVERIFY(!isOpenInThisProcess(ImagePath));
}

void tst_Controller::twoControllersAtOnce()
{
    const QByteArray image = FirmwareRelease::randomImage(BlockCount * 64);
    SimulatorProcess secondSimulator;
    QVERIFY(secondSimulator.start({}));
    Controller first;
    Controller second;
    Observer firstObserver(&first);
    Observer secondObserver(&second);
    QVERIFY(verify(first, image));
    second.useImageFrom(first.updateFW);
    second.shareSystemHold(first.systemHold());

    first.setPortName(simulator.portPath());
    second.setPortName(secondSimulator.portPath());
    // The second starts a while after the first, so that the first ends
    // while the second still runs: one lock for both, held until the last
    // transfer ends.
    first.startUpgrade();
    QTRY_VERIFY_WITH_TIMEOUT(
        !firstObserver.progress.isEmpty() && firstObserver.progress.last() >= 20, 60000);
    second.startUpgrade();
    QTRY_COMPARE_WITH_TIMEOUT(firstObserver.count("finished"), 1, 120000);
    QTest::qWait(500);
    QCOMPARE(secondObserver.count("finished"), 0);
    QCOMPARE(logind.events(), QStringList {LockTaken});
    QTRY_COMPARE_WITH_TIMEOUT(secondObserver.count("finished"), 1, 120000);
    QTRY_COMPARE(logind.eventKinds(), HeldOnce);

    const QString expected = FirmwareRelease::md5(FirmwareRelease::deviceImage(image));
    for (SimulatorProcess *device : {&simulator, &secondSimulator}) {
        const QJsonObject report = device->report();
        QCOMPARE(report.value("dataBlocks").toInt(), BlockCount);
        QCOMPARE(report.value("violations").toArray().size(), 0);
        QCOMPARE(report.value("imageMd5").toString(), expected);
    }
}

void tst_Controller::stallEndsTheTransfer_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<Controller::Error>("error");
    // What the controller's reason must say, %1 standing for the port.
    QTest::addColumn<QString>("reason");

    const Controller::Error stopped = Controller::StoppedAnswering;
    const Controller::Error unexpected = Controller::UnexpectedReply;
    const QString block = QStringLiteral("the device on %1 answered block 101 of 3376 ");
    QTest::newRow("silence mid-transfer")
        << "silence@100" << stopped << "the device on %1 stopped answering at block 101 of 3376";
    QTest::newRow("corrupt block ack")
        << "corrupt@100" << unexpected
        << block + "with a reply that failed its checksum: fe 01 4d 81 00 32";
    QTest::newRow("split block ack")
        << "split@100" << unexpected << block + "in 2 pieces instead of one: fe 01 4d 81 00 cd";
    QTest::newRow("stray byte after ack")
        << "stray@100" << unexpected << block + "with an unexpected reply: fe 01 4d 81 00 cd 00";
    QTest::newRow("ack after the window")
        << "late@100:3500" << stopped << "the device on %1 stopped answering at block 101 of 3376";
    // Block 100 is still answered; the next block's write finds the port gone.
    QTest::newRow("unplugged") << "hangup@100" << Controller::LinkLost
                               << "device disconnected from %1 at block 102 of 3376: "
                                  "Input/output error";
    QTest::newRow("corrupt start ack")
        << "corrupt@start" << unexpected
        << "the device on %1 answered the start command with a reply that failed its checksum: "
           "fe 01 4d 84 00 37";
    QTest::newRow("split end ack")
        << "split@end" << unexpected
        << "the device on %1 answered the end command in 2 pieces instead of one: "
           "fe 01 4d 83 00 cf";
    QTest::newRow("silent end") << "silence@end" << stopped
                                << "the device on %1 stopped answering at the end command";
}

void tst_Controller::stallEndsTheTransfer()
{
    QFETCH(QString, fault);
    QFETCH(Controller::Error, error);
    QFETCH(QString, reason);
    const QByteArray image = FirmwareRelease::randomImage(50000);

    Controller controller;
    Observer observer(&controller);
    QVERIFY(verify(controller, image));
    QVERIFY(simulator.addFault(fault));
    controller.setPortName(simulator.portPath());
    int releasedBeforeTimeOut = 0;
    connect(&controller, &Controller::timeOut, this,
            [&] { releasedBeforeTimeOut += int(logind.eventKinds().count("released")); });
    controller.startUpgrade();

    QTRY_COMPARE_WITH_TIMEOUT(observer.count("timeout"), 1, 60000);
    QVERIFY(!controller.isUpgrading());
    QCOMPARE(observer.count("finished"), 0);
    QCOMPARE(controller.error(), error);
    QCOMPARE(controller.errorString(), reason.arg(simulator.portPath()));
    QTRY_COMPARE(logind.eventKinds(), HeldOnce);
    // A lost link is told at once, the reply window's time-out later as for
    // any other end. The simulator unplugs 100 ms after its last answer.
    QCOMPARE(observer.count("linklost"), error == Controller::LinkLost ? 1 : 0);
    if (error == Controller::LinkLost) {
        // Nothing more can reach the device: the hold went with the link,
        // before the window ran out.
        QCOMPARE(releasedBeforeTimeOut, 1);
        QVERIFY(observer.events.indexOf("linklost") < observer.events.indexOf("timeout"));
        qInfo("lost link told %lld ms after the last acknowledgement",
              observer.linkLostAfterProgressMs);
        QVERIFY2(observer.linkLostAfterProgressMs < 1500,
                 qPrintable(QString::number(observer.linkLostAfterProgressMs)));
    }
    QVERIFY(!isOpenInThisProcess(ImagePath));
    QTest::qWait(3500);
    QCOMPARE(observer.count("timeout"), 1);

    // The next attempt starts from block 0 with the file read from its start.
    QVERIFY(simulator.command("clear"));
    QString port = simulator.replug();
    QVERIFY(!port.isEmpty());
    QVERIFY(portIsFree(port));
    QVERIFY(simulator.addFault("silence@40"));
    controller.setPortName(port);
    controller.startUpgrade();
    QTRY_COMPARE_WITH_TIMEOUT(observer.count("timeout"), 2, 10000);
    QTRY_COMPARE(logind.eventKinds(), HeldOnce + HeldOnce);

    const QJsonObject report = simulator.report();
    QCOMPARE(report.value("dataBlocks").toInt(), 41);
    QCOMPARE(report.value("violations").toArray().size(), 0);
    QTemporaryDir scratch;
    const QString saved = scratch.filePath("device.bin");
    QVERIFY(simulator.saveImage(saved));
    QFile received(saved);
    QVERIFY(received.open(QIODevice::ReadOnly));
    QCOMPARE(received.read(41 * 64), image.left(41 * 64));
}

void tst_Controller::unverifiedImageIsNeverSent_data()
{
    QTest::addColumn<QString>("situation");
    // Why nothing is sent; empty where the verified image is, whatever
    // became of its file.
    QTest::addColumn<QString>("refusal");

    const QString none = QStringLiteral("firmware image not sent: no image has been verified, as "
                                        "the firmware check has not succeeded");
    QTest::newRow("no image checked") << "unchecked" << none;
    QTest::newRow("image failed its check") << "failed" << none;
    QTest::newRow("image removed after its check") << "removed" << QString();
    QTest::newRow("image changed after its check") << "changed" << QString();
    QTest::newRow("image replaced after its check") << "replaced" << QString();
    // By another image of the same MD5 (Wang and Yu's collision), after a
    // check that verified the maker's signature.
    QTest::newRow("signed image replaced by one of the same MD5") << "collision" << QString();
}

// Only the bytes that the firmware check verified go to the device, or into
// a bundle that a fetch saves; without them the device hears nothing at all.
void tst_Controller::unverifiedImageIsNeverSent()
{
    QFETCH(QString, situation);
    QFETCH(QString, refusal);
    QByteArray image = FirmwareRelease::randomImage(4096);

    Controller controller;
    Observer observer(&controller);
    if (situation == "unchecked") {
        QVERIFY(writeFile(ImagePath, image));
        emit controller.updateFW.setFwName(ImagePath);
    } else if (situation == "collision") {
        image = CollidingImages[0];
        QTemporaryDir keys;
        MinisignKey maker;
        QVERIFY(maker.generate(keys.path(), "maker"));
        QVERIFY(release->publish(image, 12, {}, maker.publisherSigning()));
        controller.updateFW.setBaseUrl(release->baseUrl());
        controller.updateFW.setSigningKeys({maker.publicKey()});
        QSignalSpy label(&controller, &Controller::labelFWUpdated);
        controller.updateFW.checkServerFW();
        QVERIFY(label.wait(15000));
        QVERIFY(QFile::remove(ImagePath));
        QVERIFY(writeFile(ImagePath, CollidingImages[1]));
    } else if (situation == "failed") {
        // Cut short, the image fails its digest where the window would see it.
        QVERIFY(release->publish(image, 12, {"--truncate-image", "100"}));
        controller.updateFW.setBaseUrl(release->baseUrl());
        QSignalSpy failed(&controller.updateFW, &UpdateFW::failed);
        controller.updateFW.checkServerFW();
        QVERIFY(failed.wait(15000));
    } else {
        QVERIFY(verify(controller, image));
    }
    if (situation == "removed")
        QVERIFY(QFile::remove(ImagePath));
    if (situation == "changed") {
        QFile file(ImagePath);
        QVERIFY(file.open(QIODevice::ReadWrite));
        file.seek(100);
        file.write("X");
    }
    if (situation == "replaced") {
        QVERIFY(QFile::remove(ImagePath));
        QVERIFY(writeFile(ImagePath, FirmwareRelease::randomImage(4097)));
    }
    if (refusal.isEmpty()) {
        QTemporaryDir bundles;
        const QString folder = bundles.filePath("bundle");
        FirmwareBundle bundle;
        QVERIFY2(bundle.save(folder, controller.updateFW, {}, BlockCount * 64),
                 qPrintable(bundle.errorString()));
        QCOMPARE(readFile(folder + "/K-DMX-47-12.ghx"), image);
        // The image is whole on the device once its last block is in; the
        // rest of the transfer would only add blocks of 0xFF.
        QVERIFY(simulator.addFault(QStringLiteral("silence@%1").arg((image.size() - 1) / 64)));
    } else {
        QTest::ignoreMessage(QtDebugMsg, qPrintable(refusal));
    }

    controller.setPortName(simulator.portPath());
    controller.startUpgrade();

    QTRY_COMPARE_WITH_TIMEOUT(observer.count("timeout"), 1, 15000);
    QTRY_COMPARE(logind.eventKinds().count("released"), logind.eventKinds().count("inhibit"));
    QVERIFY(!controller.isUpgrading());
    QVERIFY(portIsFree(simulator.portPath()));
    const QJsonObject report = simulator.report();
    if (!refusal.isEmpty()) {
        QCOMPARE(controller.error(), Controller::ImageNotVerified);
        QCOMPARE(controller.errorString(), refusal);
        // The device was never put in its update state, nor the computer
        // asked to stay up.
        QCOMPARE(report.value("startCommands").toInt(), 0);
        QVERIFY(observer.progress.isEmpty());
        QVERIFY(logind.events().isEmpty());
        return;
    }
    QCOMPARE(controller.error(), Controller::StoppedAnswering);
    QCOMPARE(report.value("dataBlocks").toInt(), (image.size() + 63) / 64);
    QTemporaryDir scratch;
    const QString received = scratch.filePath("device.bin");
    QVERIFY(simulator.saveImage(received));
    QCOMPARE(readFile(received).left(image.size()), image);
}

void tst_Controller::pcModeExchange_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("switchedAfterTwoReplies");

    // The awaited reply ends the exchange, so a second chunk is not looked at;
    // another reply that passes the checksum leaves the exchange open.
    QTest::newRow("B0 00 00 00") << QByteArray::fromHex("b0000000") << 1;
    QTest::newRow("B1 00 00 00") << QByteArray::fromHex("b1000000") << 2;
    QTest::newRow("failing the checksum") << QByteArray::fromHex("b0000001") << 0;
}

void tst_Controller::pcModeExchange()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, switchedAfterTwoReplies);

    // The device's own answer could be read in the moment before the link
    // closes; keep it out so that only the chunks below reach the controller.
    QVERIFY(simulator.addFault("silence@pcmode"));
    Controller controller;
    Observer observer(&controller);
    controller.setPortName(simulator.portPath());
    controller.switchPcMode();
    QTRY_COMPARE(simulator.report().value("pcModeRequests").toInt(), 1);
    QVERIFY(portIsFree(simulator.portPath()));

    // The link is closed at once after the request, so the device's answer is
    // handed to the controller as the link would hand it over.
    for (int i = 0; i < 2; ++i)
        QMetaObject::invokeMethod(&controller, "handleResponse", Q_ARG(QByteArray, reply));
    QCOMPARE(observer.count("pcmode"), switchedAfterTwoReplies);

    // The request's reply window still runs out as for any unanswered write.
    QTRY_COMPARE_WITH_TIMEOUT(observer.count("timeout"), 1, 4500);
    // The handshake keeps nobody from sleeping.
    QCOMPARE(logind.events(), QStringList());
}

void tst_Controller::versionExchange_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QByteArray>("strayChunk");

    QTest::newRow("plain reply") << QString() << QByteArray();
    QTest::newRow("reply failing the checksum") << "corrupt@version" << QByteArray();
    QTest::newRow("short chunk first")
        << "late@version:300" << QByteArray::fromHex("bb10") + QByteArray(15, 'x') + '\0';
}

void tst_Controller::versionExchange()
{
    QFETCH(QString, fault);
    QFETCH(QByteArray, strayChunk);

    if (!fault.isEmpty())
        QVERIFY(simulator.addFault(fault));
    Controller controller;
    Observer observer(&controller);
    controller.setPortName(simulator.portPath());
    controller.checkVersion();
    QCOMPARE(observer.events, (QStringList {"msg:", "button:off"}));
    if (!strayChunk.isEmpty())
        QVERIFY(simulator.send(strayChunk));

    QTRY_COMPARE(observer.events.size(), 4);
    QCOMPARE(observer.events.mid(2),
             (QStringList {QStringLiteral("msg:現在のFWバージョン : 2.5.1"), "version:2.5.1"}));
    QCOMPARE(simulator.report().value("versionRequests").toInt(), 1);
    QVERIFY(portIsFree(simulator.portPath()));
}

void tst_Controller::holdAgainstLogind_data()
{
    // How the stand-in answers, and how the transfer ends: "destroyed" with
    // the controller a while into it, "stall" 3 s after block 20.
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("ending");
    QTest::addColumn<QStringList>("events");
    // How the refusal reported by the hold begins; none if empty.
    QTest::addColumn<QString>("refusal");

    QTest::newRow("controller destroyed mid-transfer") << "grant"
                                                       << "destroyed" << HeldOnce << QString();
    QTest::newRow("lock granted after the transfer ended") << "delay 5000"
                                                           << "stall" << HeldOnce << QString();
    QTest::newRow("refused over D-Bus")
        << "refuse"
        << "stall" << QStringList {"inhibit", "refused", "inhibit", "refused"}
        << "Permission denied";
    QTest::newRow("lid switch refused by polkit")
        << "refuse-lid"
        << "stall" << QStringList {"inhibit", "refused", "inhibit", "released"} << QString();
    QTest::newRow("no logind on the bus")
        << "absent"
        << "stall" << QStringList() << "The name org.freedesktop.login1 was not provided";
}

// The hold is shared, as the command line shares it, so that it outlives the
// controller; every check is made while the hold still stands.
void tst_Controller::holdAgainstLogind()
{
    QFETCH(QString, answer);
    QFETCH(QString, ending);
    QFETCH(QStringList, events);
    QFETCH(QString, refusal);

    QVERIFY(logind.command(answer));
    SystemHold hold;
    QSignalSpy refused(&hold, &SystemHold::refused);
    QVERIFY(refused.isValid());
    auto controller = std::make_unique<Controller>();
    controller->shareSystemHold(hold);
    Observer observer(controller.get());
    QVERIFY(verify(*controller, FirmwareRelease::randomImage(50000)));
    if (ending == "stall")
        QVERIFY(simulator.addFault("silence@20"));
    controller->setPortName(simulator.portPath());
    controller->startUpgrade();
    QVERIFY(hold.transfersRunning());

    if (ending == "destroyed") {
        QTRY_VERIFY_WITH_TIMEOUT(!observer.progress.isEmpty() && observer.progress.last() >= 2,
                                 30000);
        QCOMPARE(logind.eventKinds(), Held);
        controller.reset();
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(observer.count("timeout"), 1, 10000);
    }
    QVERIFY(!hold.transfersRunning());
    QTRY_COMPARE(logind.eventKinds(), events);
    // Nothing comes later either, such as a lock kept from a late answer.
    QTest::qWait(500);
    QCOMPARE(logind.eventKinds(), events);
    QCOMPARE(refused.size(), refusal.isEmpty() ? 0 : 1);
    if (!refusal.isEmpty())
        QVERIFY2(refused.first().first().toString().startsWith(refusal),
                 qPrintable(refused.first().first().toString()));
    // The transfer went on without the hold.
    if (ending == "stall")
        QCOMPARE(simulator.report().value("dataBlocks").toInt(), 21);
}

QTEST_MAIN(tst_Controller)
#include "tst_controller.moc"
