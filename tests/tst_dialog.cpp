#include "deviceenumerator.h"
#include "dialog.h"
#include "firmwarerelease.h"
#include "inhibitstandin.h"
#include "simulatorprocess.h"

#include <QLabel>
#include <QLocalServer>
#include <QMessageBox>
#include <QMutex>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <QtTest>

#include <atomic>
#include <cstdio>
#include <memory>

namespace {

constexpr int PublishedVersion = 12;
constexpr int ImageSize = 200000;
const QString DeviceVersion = QStringLiteral("2.5.1");
const QString Connected = QStringLiteral("デバイスが接続されました。");
const QString NotConnected = QStringLiteral("デバイスが接続されていません。");
const QString NoDeviceVersion = QStringLiteral("現在のFWバージョン : ");
const QString DeviceVersionLine = QStringLiteral("現在のFWバージョン : 2.5.1");
const QString LatestVersionLine = QStringLiteral("最新のFWバージョン : K-DMX-47-12");
// What the window asks the desktop for: log-out, user switching, suspend and
// idle held off, with no window named, and why.
const QString DesktopAsked
    = QStringLiteral("portal-inhibit 15 |FW更新中です。更新が終わるまでお待ちください。");
// Set for a run of this program that busesThatNeverAnswer() starts.
const char ChildRun[] = "QL7420_FIRST_BLOCK_RUN";
// Long enough for a tick's slot to run and its request to reach the
// simulator, well short of the 1000 ms between ticks.
constexpr int TickSettleMs = 500;

// The host's serial ports as the dialog's enumerator sees them: the
// simulator's pty with the device's USB identifiers, or nothing. Scan n
// (from 0) follows letter n of the pattern, the last letter repeating:
// P present, A absent.
class Ports
{
public:
    DeviceEnumerator::PortLister lister()
    {
        return [this] {
            QMutexLocker locker(&mutex);
            const int scan = scanCount++;
            const QChar letter = pattern.at(qMin(scan, int(pattern.size()) - 1));
            if (letter != QLatin1Char('P'))
                return QList<PortRecord> {};
            PortRecord device;
            device.portName = port;
            device.vendorID = 0x0451;
            device.productID = 0x16AA;
            return QList<PortRecord> {device};
        };
    }

    void restart(const QString &portPath, const QString &presence)
    {
        QMutexLocker locker(&mutex);
        port = portPath;
        pattern = presence;
        scanCount = 0;
    }

    void setPresent(bool present)
    {
        QMutexLocker locker(&mutex);
        pattern = present ? QStringLiteral("P") : QStringLiteral("A");
        scanCount = 0;
    }

    int scans() const { return scanCount; }

private:
    QMutex mutex;
    QString port;
    QString pattern = QStringLiteral("A");
    std::atomic<int> scanCount {0};
};

// Every text a label shows, in order, looked at each millisecond: a progress
// step stays up for dozens of device round trips, a tick's text for a second.
class TextRecorder : public QObject
{
public:
    explicit TextRecorder(QLabel *label) : label(label)
    {
        connect(&timer, &QTimer::timeout, this, &TextRecorder::look);
        timer.setTimerType(Qt::PreciseTimer);
        timer.start(1);
        look();
    }

    QStringList texts;

private:
    void look()
    {
        if (texts.isEmpty() || texts.constLast() != label->text())
            texts.append(label->text());
    }

    QLabel *label;
    QTimer timer;
};

// Plays the user for every message box: notes what it said and what the
// window showed behind it, then presses OK.
class BoxCloser : public QObject
{
    Q_OBJECT

public:
    struct Seen
    {
        QString title;
        QString text;
        int progress = -1;
        bool progressEnabled = false;
    };

    explicit BoxCloser(QWidget *window) : window(window)
    {
        connect(&timer, &QTimer::timeout, this, &BoxCloser::look);
        timer.start(20);
    }

    // The device may answer a PC-mode request before the link closes again,
    // and then the window says so in a box of its own; these are the others.
    QList<Seen> titled(const QString &title) const
    {
        QList<Seen> boxes;
        for (const Seen &box : seen) {
            if (box.title == title)
                boxes.append(box);
        }
        return boxes;
    }

    QList<Seen> seen;

signals:
    void closed(QString text);

private:
    void look()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        const auto *bar = window->findChild<QProgressBar *>(QStringLiteral("progressBar"));
        seen.append({box->windowTitle(), box->text(), bar->value(), bar->isEnabled()});
        box->button(QMessageBox::Ok)->click();
        emit closed(box->text());
    }

    QWidget *window;
    QTimer timer;
};

QStringList progressTexts(int from, int to)
{
    QStringList texts;
    for (int percent = from; percent <= to; ++percent)
        texts.append(QStringLiteral("更新... %1 %").arg(percent));
    return texts;
}

} // namespace

class tst_Dialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void form_data();
    void form();
    void handshake_data();
    void handshake();
    void wholeUpdate();
    void timeOutDuringUpdate_data();
    void timeOutDuringUpdate();
    void transferHoldsTheDesktop_data();
    void transferHoldsTheDesktop();
    void busesThatNeverAnswer_data();
    void busesThatNeverAnswer();
    void firstBlockAfterClick();

private:
    Dialog::Seams seams();
    void openDialog(const QString &presence);
    bool waitForScans(int count);
    bool readyForUpdate();
    void dismiss(const QString &way);

    template <typename T> T *widget(const char *name)
    {
        return dialog->findChild<T *>(QLatin1String(name));
    }

    Ports ports;
    QByteArray image;
    std::unique_ptr<FirmwareRelease> release;
    std::unique_ptr<SimulatorProcess> simulator;
    std::unique_ptr<Dialog> dialog;
    std::unique_ptr<BoxCloser> closer;
    // On the system bus and the session bus of every window here.
    InhibitStandin logind;
    InhibitStandin portal;
};

void tst_Dialog::initTestCase()
{
    image = FirmwareRelease::randomImage(ImageSize);
    release = std::make_unique<FirmwareRelease>();
    QVERIFY(release->publish(image, PublishedVersion));
    // A child run keeps the buses it was given.
    if (qEnvironmentVariableIsSet(ChildRun))
        return;
    QVERIFY(logind.start(QStringLiteral("logind")));
    QVERIFY(portal.start(QStringLiteral("portal")));
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", logind.busAddress().toUtf8());
    qputenv("DBUS_SESSION_BUS_ADDRESS", portal.busAddress().toUtf8());
}

void tst_Dialog::init()
{
    simulator = std::make_unique<SimulatorProcess>();
    QVERIFY(simulator->start({QStringLiteral("--version-text"), DeviceVersion}));
}

void tst_Dialog::cleanup()
{
    if (dialog) {
        // The PC-mode counter belongs to the process, not the window: an
        // absence tick sets it back before the next test's window starts.
        ports.setPresent(false);
        waitForScans(1);
        QTest::qWait(TickSettleMs);
    }
    closer.reset();
    dialog.reset();
    simulator.reset();
}

// Each window sees the ports above and checks the published release.
Dialog::Seams tst_Dialog::seams()
{
    return [this](DeviceEnumerator &enumerator, UpdateFW &check) {
        enumerator.setPortSource(ports.lister());
        check.setBaseUrl(release->baseUrl());
    };
}

void tst_Dialog::openDialog(const QString &presence)
{
    ports.restart(simulator->portPath(), presence);
    dialog = std::make_unique<Dialog>(nullptr, seams());
    closer = std::make_unique<BoxCloser>(dialog.get());
    dialog->show();
}

bool tst_Dialog::waitForScans(int count)
{
    QDeadlineTimer deadline(5000);
    while (ports.scans() < count && !deadline.hasExpired())
        QTest::qWait(10);
    return ports.scans() >= count;
}

bool tst_Dialog::readyForUpdate()
{
    return widget<QPushButton>("upgradeButton")->isEnabled()
        && widget<QLabel>("lbServerFW")->text() == LatestVersionLine
        && widget<QLabel>("msgLabel")->text() == DeviceVersionLine;
}

void tst_Dialog::dismiss(const QString &way)
{
    if (way == QLatin1String("close"))
        dialog->close();
    else if (way == QLatin1String("escape"))
        QTest::keyClick(dialog.get(), Qt::Key_Escape);
    else if (way == QLatin1String("reject"))
        dialog->reject();
    else if (way == QLatin1String("accept"))
        dialog->accept();
    else
        QFAIL(qPrintable(QStringLiteral("no way to dismiss called ") + way));
}

void tst_Dialog::form_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("enabled");

    QTest::newRow("status line") << "statusLabel"
                                 << "QLabel" << NotConnected << true;
    QTest::newRow("latest version") << "lbServerFW"
                                    << "QLabel"
                                    << "最新のFWバージョン :" << true;
    QTest::newRow("device version") << "msgLabel"
                                    << "QLabel"
                                    << "現在のFWバージョン :" << true;
    QTest::newRow("update button") << "upgradeButton"
                                   << "QPushButton"
                                   << "更新" << false;
    QTest::newRow("progress bar") << "progressBar"
                                  << "QProgressBar" << QString() << false;
}

void tst_Dialog::form()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, text);
    QFETCH(bool, enabled);

    // Looked at before any event is handled: what the form itself sets up.
    ports.restart(simulator->portPath(), QStringLiteral("A"));
    dialog = std::make_unique<Dialog>(nullptr, seams());
    const QStringList order {"statusLabel", "lbServerFW", "msgLabel", "upgradeButton",
                             "progressBar"};
    auto *layout = dialog->findChild<QVBoxLayout *>(QStringLiteral("verticalLayout"));
    QVERIFY(layout);
    QCOMPARE(layout->count(), order.size());
    QWidget *shown = layout->itemAt(int(order.indexOf(name)))->widget();
    QVERIFY(shown);
    QCOMPARE(shown->objectName(), name);
    QCOMPARE(shown->metaObject()->className(), className);
    QCOMPARE(shown->isEnabled(), enabled);
    if (auto *label = qobject_cast<QLabel *>(shown))
        QCOMPARE(label->text(), text);
    if (auto *button = qobject_cast<QPushButton *>(shown))
        QCOMPARE(button->text(), text);
    if (auto *bar = qobject_cast<QProgressBar *>(shown)) {
        QCOMPARE(bar->value(), 0);
        QVERIFY(!bar->isTextVisible());
    }
}

void tst_Dialog::handshake_data()
{
    QTest::addColumn<QString>("presence");
    // What the simulator has received, and whether the button is enabled,
    // after each tick.
    QTest::addColumn<QList<int>>("pcModeRequests");
    QTest::addColumn<QList<int>>("versionRequests");
    QTest::addColumn<QString>("buttonEnabled");
    QTest::addColumn<int>("versionAnswerDelayMs");
    QTest::addColumn<QString>("finalDeviceVersion");

    QTest::newRow("attached from the start")
        << "PPPPPPP" << QList<int> {1, 2, 3, 4, 4, 4, 4} << QList<int> {0, 0, 0, 0, 1, 1, 1}
        << "0000111" << 1500 << DeviceVersionLine;
    QTest::newRow("gone after two ticks, then back")
        << "PPAPPPPP" << QList<int> {1, 2, 2, 3, 4, 5, 6, 6} << QList<int> {0, 0, 0, 0, 0, 0, 0, 1}
        << "00000001" << 0 << DeviceVersionLine;
    QTest::newRow("gone after the handshake")
        << "PPPPPA" << QList<int> {1, 2, 3, 4, 4, 4} << QList<int> {0, 0, 0, 0, 1, 1} << "000010"
        << 0 << NoDeviceVersion;
}

void tst_Dialog::handshake()
{
    QFETCH(QString, presence);
    QFETCH(QList<int>, pcModeRequests);
    QFETCH(QList<int>, versionRequests);
    QFETCH(QString, buttonEnabled);
    QFETCH(int, versionAnswerDelayMs);
    QFETCH(QString, finalDeviceVersion);

    if (versionAnswerDelayMs > 0)
        QVERIFY(simulator->addFault(QStringLiteral("late@version:%1").arg(versionAnswerDelayMs)));
    openDialog(presence);
    auto *status = widget<QLabel>("statusLabel");
    auto *message = widget<QLabel>("msgLabel");
    auto *button = widget<QPushButton>("upgradeButton");

    // What the window and the simulator show after each tick.
    QList<int> pcModeSeen;
    QList<int> versionSeen;
    QString buttonSeen;
    QString statusSeen;
    QStringList messageSeen;
    for (int tick = 1; tick <= presence.size(); ++tick) {
        QVERIFY2(waitForScans(tick), qPrintable(QStringLiteral("tick %1 never came").arg(tick)));
        QTest::qWait(TickSettleMs);
        const QJsonObject received = simulator->report();
        pcModeSeen.append(received.value("pcModeRequests").toInt());
        versionSeen.append(received.value("versionRequests").toInt());
        buttonSeen.append(button->isEnabled() ? QLatin1Char('1') : QLatin1Char('0'));
        statusSeen.append(status->text() == Connected          ? QLatin1Char('P')
                              : status->text() == NotConnected ? QLatin1Char('A')
                                                               : QLatin1Char('?'));
        messageSeen.append(message->text());
    }
    QCOMPARE(pcModeSeen, pcModeRequests);
    QCOMPARE(versionSeen, versionRequests);
    QCOMPARE(buttonSeen, buttonEnabled);
    QCOMPARE(statusSeen, presence);
    for (int tick = 1; tick <= presence.size(); ++tick) {
        if (presence.at(tick - 1) == QLatin1Char('A'))
            QCOMPARE(messageSeen.at(tick - 1), NoDeviceVersion);
        // Cleared by the version request, filled only by the device's answer.
        const bool versionAsked
            = versionRequests.at(tick - 1) > (tick > 1 ? versionRequests.at(tick - 2) : 0);
        if (versionAsked && versionAnswerDelayMs > 0)
            QCOMPARE(messageSeen.at(tick - 1), QString());
    }
    QTRY_COMPARE(message->text(), finalDeviceVersion);
}

void tst_Dialog::wholeUpdate()
{
    openDialog(QStringLiteral("P"));
    QTRY_VERIFY_WITH_TIMEOUT(readyForUpdate(), 15000);
    auto *status = widget<QLabel>("statusLabel");
    auto *message = widget<QLabel>("msgLabel");
    auto *button = widget<QPushButton>("upgradeButton");
    auto *bar = widget<QProgressBar>("progressBar");

    QSignalSpy boxClosed(closer.get(), &BoxCloser::closed);
    QVERIFY(boxClosed.isValid());
    TextRecorder statusTexts(status);
    TextRecorder messageTexts(message);
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(!button->isEnabled());
    QVERIFY(bar->isEnabled());

    // Halfway: the device seems to vanish for two ticks, and the user tries
    // every way of getting rid of the window.
    QTRY_VERIFY_WITH_TIMEOUT(bar->value() >= 30, 30000);
    ports.setPresent(false);
    for (const char *way : {"close", "escape", "reject", "accept"}) {
        dismiss(way);
        QVERIFY2(dialog->isVisible(), way);
    }
    QVERIFY(waitForScans(2));
    QTest::qWait(TickSettleMs);
    QVERIFY(bar->isEnabled());
    QVERIFY(!button->isEnabled());
    ports.setPresent(true);

    QDeadlineTimer deadline(60000);
    while (closer->titled(QStringLiteral("FW更新")).isEmpty() && !deadline.hasExpired())
        boxClosed.wait(int(qMax(qint64(1), deadline.remainingTime())));
    const QList<BoxCloser::Seen> finishBoxes = closer->titled(QStringLiteral("FW更新"));
    QCOMPARE(finishBoxes.size(), 1);
    const BoxCloser::Seen finished = finishBoxes.constFirst();
    QCOMPARE(finished.text, QStringLiteral("FWが更新されました。"));
    QCOMPARE(finished.progress, 100);
    QVERIFY(finished.progressEnabled);
    QTRY_COMPARE(bar->value(), 0);
    QVERIFY(!bar->isEnabled());
    QVERIFY(!button->isEnabled());

    // Every step from 0 to 100, and nothing from the ticks in between.
    const qsizetype end = statusTexts.texts.indexOf(QStringLiteral("更新... 100 %"));
    QVERIFY(end >= 0);
    QCOMPARE(statusTexts.texts.mid(0, end + 1), QStringList {Connected} + progressTexts(0, 100));
    QCOMPARE(messageTexts.texts, QStringList {DeviceVersionLine});

    const QJsonObject received = simulator->report();
    QCOMPARE(received.value("startCommands").toInt(), 1);
    QCOMPARE(received.value("dataBlocks").toInt(), 3376);
    QCOMPARE(received.value("endCommands").toInt(), 1);
    QCOMPARE(received.value("violations").toArray().size(), 0);
    QCOMPARE(received.value("imageMd5").toString(),
             FirmwareRelease::md5(FirmwareRelease::deviceImage(image)));

    // Once the update is over the window may go.
    dismiss(QStringLiteral("escape"));
    QVERIFY(!dialog->isVisible());
    dialog->show();
    QVERIFY(dialog->close());
    QVERIFY(!dialog->isVisible());
}

void tst_Dialog::timeOutDuringUpdate_data()
{
    QTest::addColumn<QString>("way");
    QTest::newRow("close button") << "close";
    QTest::newRow("Escape key") << "escape";
}

void tst_Dialog::timeOutDuringUpdate()
{
    QFETCH(QString, way);

    openDialog(QStringLiteral("P"));
    QTRY_VERIFY_WITH_TIMEOUT(readyForUpdate(), 15000);
    QVERIFY(simulator->addFault(QStringLiteral("silence@100")));
    auto *button = widget<QPushButton>("upgradeButton");
    auto *bar = widget<QProgressBar>("progressBar");

    QTest::mouseClick(button, Qt::LeftButton);
    dismiss(way);
    QVERIFY(dialog->isVisible());

    QTRY_VERIFY_WITH_TIMEOUT(!bar->isEnabled(), 15000);
    QCOMPARE(bar->value(), 0);
    const QJsonObject received = simulator->report();
    QCOMPARE(received.value("dataBlocks").toInt(), 101);
    QCOMPARE(received.value("endCommands").toInt(), 0);
    QVERIFY(closer->titled(QStringLiteral("FW更新")).isEmpty());

    // Only a new connection enables the button again.
    const int scansBefore = ports.scans();
    QVERIFY(waitForScans(scansBefore + 2));
    QTest::qWait(TickSettleMs);
    QVERIFY(!button->isEnabled());
    QCOMPARE(widget<QLabel>("statusLabel")->text(), Connected);

    dismiss(way);
    QVERIFY(!dialog->isVisible());
}

void tst_Dialog::transferHoldsTheDesktop_data()
{
    QTest::addColumn<QString>("fault");
    // How the desktop takes the request, and what the portal sees of it.
    QTest::addColumn<QString>("desktop");
    QTest::addColumn<QStringList>("desktopEvents");
    const QStringList closed = {"portal-inhibit", "portal-closed"};
    QTest::newRow("done") << QString() << "grant" << closed;
    QTest::newRow("stalled") << "silence@100"
                             << "grant" << closed;
    QTest::newRow("unplugged") << "hangup@100"
                               << "grant" << closed;
    QTest::newRow("declined by the desktop")
        << QString() << "decline"
        << QStringList {"portal-inhibit", "portal-declined", "portal-closed"};
    QTest::newRow("confirmed by the desktop")
        << QString() << "confirm"
        << QStringList {"portal-inhibit", "portal-confirmed", "portal-closed"};
    QTest::newRow("declined by another program")
        << QString() << "forge" << QStringList {"portal-inhibit", "portal-forged", "portal-closed"};
}

// The desktop is asked for exactly the transfer, beside logind; an unplugged
// device gives both back before the window learns of it from the reply
// window. A desktop that declines is told of in the debug output, and the
// transfer goes on; only the portal's own verdict counts.
void tst_Dialog::transferHoldsTheDesktop()
{
    QFETCH(QString, fault);
    QFETCH(QString, desktop);
    QFETCH(QStringList, desktopEvents);

    logind.clearEvents();
    QVERIFY(portal.command(desktop));
    portal.clearEvents();
    if (desktop == "decline")
        QTest::ignoreMessage(QtDebugMsg,
                             QRegularExpression("^not held off during the transfer: the desktop "
                                                "declined .*\\(portal response 2\\)$"));
    openDialog(QStringLiteral("P"));
    QTRY_VERIFY_WITH_TIMEOUT(readyForUpdate(), 15000);
    if (!fault.isEmpty())
        QVERIFY(simulator->addFault(fault));
    auto *bar = widget<QProgressBar>("progressBar");
    QCOMPARE(portal.events(), QStringList());
    QCOMPARE(logind.events(), QStringList());

    QTest::mouseClick(widget<QPushButton>("upgradeButton"), Qt::LeftButton);
    QTRY_COMPARE(portal.events().value(0), DesktopAsked);
    QTRY_COMPARE(logind.eventKinds(), QStringList {"inhibit"});

    QTRY_COMPARE_WITH_TIMEOUT(portal.eventKinds(), desktopEvents, 60000);
    if (fault.startsWith(QLatin1String("hangup")))
        QVERIFY(bar->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(logind.eventKinds(), (QStringList {"inhibit", "released"}), 60000);
    QTRY_VERIFY_WITH_TIMEOUT(!bar->isEnabled(), 10000);
    QCOMPARE(closer->titled(QStringLiteral("FW更新")).size(), fault.isEmpty() ? 1 : 0);
    QCOMPARE(portal.eventKinds(), desktopEvents);
}

// A bus that takes the connection and never answers must not hold up the
// transfer, nor the program's end: the first block goes out as soon after
// the click as it does with no bus at all. A process connects to a bus once, so each case is a
// run of its own of firstBlockAfterClick().
void tst_Dialog::busesThatNeverAnswer_data()
{
    // How the session bus is named, "<runtime>" standing for the runtime
    // folder whose "bus" is the bus; none for no address at all. The system
    // bus is named by its path: never the machine's own.
    QTest::addColumn<QString>("sessionAddress");
    QTest::newRow("a path") << "unix:path=<runtime>/bus";
    QTest::newRow("no session address") << QString();
}

void tst_Dialog::busesThatNeverAnswer()
{
    QFETCH(QString, sessionAddress);
    // A socket's path must fit in 108 bytes, which the test's own TMPDIR,
    // deep in the build folder and named after the row, may not leave room
    // for.
    QTemporaryDir folder(QStringLiteral("/tmp/ql7420-bus-XXXXXX"));
    // Never accepted: the kernel takes the connection, and nobody answers.
    QLocalServer silent;
    QVERIFY(silent.listen(folder.filePath(QStringLiteral("bus"))));
    const auto firstBlockMs = [&sessionAddress](const QString &runtime) {
        QProcess run;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(ChildRun), QStringLiteral("1"));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
                           QStringLiteral("unix:path=%1/bus").arg(runtime));
        environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        if (!sessionAddress.isEmpty())
            environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                               QString(sessionAddress).replace("<runtime>", runtime));
        // Nor one that libdbus would start for the X display.
        environment.remove(QStringLiteral("DISPLAY"));
        run.setProcessEnvironment(environment);
        run.start(QCoreApplication::applicationFilePath(),
                  {QStringLiteral("firstBlockAfterClick")});
        QByteArray output;
        QDeadlineTimer deadline(60000);
        while (!output.contains("first block after ") && !deadline.hasExpired()
               && run.waitForReadyRead(int(qMax(qint64(1), deadline.remainingTime()))))
            output += run.readAllStandardOutput();
        // The run ends by itself too, with nothing of the bus left waiting.
        const bool ended = run.waitForFinished(20000) && run.exitCode() == 0;
        run.kill();
        run.waitForFinished();
        const int at = output.indexOf("first block after ");
        return at < 0 || !ended ? -1 : output.mid(at + 18).split(' ').first().toInt();
    };

    const int withoutBus = firstBlockMs(folder.filePath(QStringLiteral("none")));
    const int silentBuses = firstBlockMs(folder.path());
    qInfo("first block %d ms after the click with no bus, %d ms with buses that never answer",
          withoutBus, silentBuses);
    QVERIFY(withoutBus >= 0);
    QVERIFY(silentBuses >= 0);
    QVERIFY2(silentBuses <= 3 * withoutBus + 2000, qPrintable(QString::number(silentBuses)));
}

void tst_Dialog::firstBlockAfterClick()
{
    if (!qEnvironmentVariableIsSet(ChildRun))
        QSKIP("a run of its own, started by busesThatNeverAnswer()");
    openDialog(QStringLiteral("P"));
    QTRY_VERIFY_WITH_TIMEOUT(readyForUpdate(), 15000);
    auto *status = widget<QLabel>("statusLabel");
    QElapsedTimer sinceClick;
    sinceClick.start();
    QTest::mouseClick(widget<QPushButton>("upgradeButton"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(status->text().startsWith(QStringLiteral("更新... ")), 60000);
    std::printf("first block after %lld ms\n", sinceClick.elapsed());
    std::fflush(stdout);
}

QTEST_MAIN(tst_Dialog)
#include "tst_dialog.moc"
