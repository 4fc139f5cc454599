#include "deviceenumerator.h"

#include <QElapsedTimer>
#include <QtTest>

#include <atomic>

namespace {

constexpr int Vendor = 0x0451;
constexpr int Product = 0x16AA;

// Receives the enumerator's reports in the test's thread, as the dialog does.
class Reports : public QObject
{
    Q_OBJECT

public:
    explicit Reports(DeviceEnumerator *enumerator)
    {
        connect(enumerator, &DeviceEnumerator::deviceAvailable, this,
                [this](const QString &port) { events.append(port); });
        connect(enumerator, &DeviceEnumerator::deviceNotFound, this,
                [this] { events.append(QStringLiteral("<none>")); });
    }

    QStringList events;
};

} // namespace

class tst_DeviceEnumerator : public QObject
{
    Q_OBJECT

private slots:
    void firstScanPicksTheDevice_data();
    void firstScanPicksTheDevice();
    void oneReportPerScan();
    void destructionDuringPauseEndsItAtOnce();
    void fullListingOnlyOnChange_data();
    void fullListingOnlyOnChange();
};

Q_DECLARE_METATYPE(QList<PortRecord>)

void tst_DeviceEnumerator::firstScanPicksTheDevice_data()
{
    QTest::addColumn<QList<PortRecord>>("ports");
    QTest::addColumn<QString>("report");
    // Every device among the ports, as the command line lists them once.
    QTest::addColumn<QStringList>("attached");

    const PortRecord device1 {"ttyACM0", Vendor, Product, "A1"};
    const PortRecord device2 {"ttyACM1", Vendor, Product, "B2"};
    const PortRecord vendorOnly {"ttyACM2", Vendor, 0x16AB};
    const PortRecord productOnly {"ttyACM3", 0x0452, Product};
    const PortRecord builtIn {"ttyS0", 0, 0};
    const QStringList none;

    QTest::newRow("no ports") << QList<PortRecord>() << "<none>" << none;
    QTest::newRow("only the device")
        << QList<PortRecord> {device1} << "ttyACM0" << QStringList {"ttyACM0 A1"};
    QTest::newRow("first of two devices") << QList<PortRecord> {device2, device1} << "ttyACM1"
                                          << QStringList {"ttyACM1 B2", "ttyACM0 A1"};
    QTest::newRow("device behind others")
        << QList<PortRecord> {builtIn, vendorOnly, productOnly, device2} << "ttyACM1"
        << QStringList {"ttyACM1 B2"};
    QTest::newRow("vendor only") << QList<PortRecord> {vendorOnly} << "<none>" << none;
    QTest::newRow("product only") << QList<PortRecord> {productOnly} << "<none>" << none;
    QTest::newRow("ids swapped") << QList<PortRecord> {{"ttyACM4", Product, Vendor}} << "<none>"
                                 << none;
}

void tst_DeviceEnumerator::firstScanPicksTheDevice()
{
    QFETCH(QList<PortRecord>, ports);
    QFETCH(QString, report);
    QFETCH(QStringList, attached);

    DeviceEnumerator enumerator;
    enumerator.setPortSource([ports] { return ports; });
    QStringList listed;
    for (const PortRecord &port : enumerator.attachedDevices())
        listed.append(port.portName + ' ' + port.serialNumber);
    QCOMPARE(listed, attached);
    Reports reports(&enumerator);
    QElapsedTimer sinceStart;
    sinceStart.start();
    enumerator.startScanning();

    // The first scan comes before the first sleep.
    QTRY_COMPARE_WITH_TIMEOUT(reports.events.size(), 1, 900);
    QCOMPARE(reports.events.first(), report);
    QVERIFY(sinceStart.elapsed() < 900);
}

void tst_DeviceEnumerator::oneReportPerScan()
{
    std::atomic<int> scans {0};
    DeviceEnumerator enumerator;
    enumerator.setPortSource([&scans] {
        // Present on every other scan, so both reports show up.
        const int scan = scans++;
        return scan % 2 ? QList<PortRecord>() : QList<PortRecord> {{"ttyACM0", Vendor, Product}};
    });
    Reports reports(&enumerator);
    enumerator.startScanning();

    QTRY_COMPARE_WITH_TIMEOUT(reports.events.size(), 3, 5000);
    enumerator.stopScanning();
    QCoreApplication::processEvents();

    QCOMPARE(reports.events.size(), scans.load());
    QCOMPARE(reports.events.mid(0, 3), (QStringList {"ttyACM0", "<none>", "ttyACM0"}));
}

void tst_DeviceEnumerator::destructionDuringPauseEndsItAtOnce()
{
    std::atomic<int> scans {0};
    QElapsedTimer destruction;
    {
        DeviceEnumerator enumerator;
        enumerator.setPortSource([&scans] {
            ++scans;
            return QList<PortRecord>();
        });
        enumerator.startScanning();
        QTRY_COMPARE_WITH_TIMEOUT(scans.load(), 1, 900);
        destruction.start();
    }
    // Most of the second's pause was still ahead; the window's close waits
    // for none of it.
    QVERIFY2(destruction.elapsed() < 200, qPrintable(QString::number(destruction.elapsed())));
    QCOMPARE(scans.load(), 1);
    QTest::qWait(1200);
    QCOMPARE(scans.load(), 1);
}

// The host's ports switch from one list to another at a given tick, along
// with their fingerprint (none where the string is null).
void tst_DeviceEnumerator::fullListingOnlyOnChange_data()
{
    QTest::addColumn<QList<PortRecord>>("before");
    QTest::addColumn<QList<PortRecord>>("after");
    QTest::addColumn<QString>("fingerprintBefore");
    QTest::addColumn<QString>("fingerprintAfter");
    QTest::addColumn<int>("changeTick");
    QTest::addColumn<int>("fullListingPeriodMs");
    QTest::addColumn<QStringList>("reports");
    QTest::addColumn<QList<int>>("listedTicks");

    const QList<PortRecord> none;
    const QList<PortRecord> device {{"ttyACM0", Vendor, Product}};
    const QList<PortRecord> other {{"ttyACM0", 0x0452, Product}};
    const QString absent = QStringLiteral("<none>");
    const QString found = QStringLiteral("ttyACM0");
    const QString noFingerprint;

    // A new fingerprint is listed on its first tick and the next; tick 2,
    // with the fingerprint of tick 1, is not.
    QTest::newRow("port appears") << none << device << "a"
                                  << "a ttyACM0" << 3 << 60000
                                  << QStringList {absent, absent, absent, found}
                                  << QList<int> {0, 1, 3};
    QTest::newRow("port disappears")
        << device << none << "a ttyACM0"
        << "a" << 3 << 60000 << QStringList {found, found, found, absent} << QList<int> {0, 1, 3};
    QTest::newRow("another device under the same name")
        << other << device << "ttyACM0 inode 17"
        << "ttyACM0 inode 18" << 3 << 60000 << QStringList {absent, absent, absent, found}
        << QList<int> {0, 1, 3};
    QTest::newRow("no fingerprint")
        << none << device << noFingerprint << noFingerprint << 2 << 60000
        << QStringList {absent, absent, found, found} << QList<int> {0, 1, 2, 3};
    // Ticks come a second apart: the listing on tick 1 is due again within
    // 2.5 s, on tick 3, and finds what the fingerprint missed.
    QTest::newRow("change the fingerprint misses")
        << none << device << "a"
        << "a" << 2 << 2500 << QStringList {absent, absent, absent, found} << QList<int> {0, 1, 3};
}

void tst_DeviceEnumerator::fullListingOnlyOnChange()
{
    QFETCH(QList<PortRecord>, before);
    QFETCH(QList<PortRecord>, after);
    QFETCH(QString, fingerprintBefore);
    QFETCH(QString, fingerprintAfter);
    QFETCH(int, changeTick);
    QFETCH(int, fullListingPeriodMs);
    QFETCH(QStringList, reports);
    QFETCH(QList<int>, listedTicks);

    // Each tick takes one fingerprint, then perhaps one listing.
    std::atomic<int> ticks {0};
    QList<int> listed;
    auto fingerprinter = [&]() -> std::optional<std::string> {
        const QString fingerprint = ticks++ < changeTick ? fingerprintBefore : fingerprintAfter;
        if (fingerprint.isNull())
            return std::nullopt;
        return fingerprint.toStdString();
    };
    auto lister = [&] {
        const int tick = ticks - 1;
        listed.append(tick);
        return tick < changeTick ? before : after;
    };

    DeviceEnumerator enumerator;
    enumerator.setFullListingPeriod(fullListingPeriodMs);
    enumerator.setPortSource(lister, fingerprinter);
    Reports seen(&enumerator);
    enumerator.startScanning();
    QTRY_COMPARE_WITH_TIMEOUT(seen.events.size(), reports.size(), (reports.size() + 2) * 1000);
    enumerator.stopScanning();

    QCOMPARE(seen.events.mid(0, reports.size()), reports);
    listed.removeIf([&](int tick) { return tick >= reports.size(); });
    QCOMPARE(listed, listedTicks);
}

QTEST_GUILESS_MAIN(tst_DeviceEnumerator)
#include "tst_deviceenumerator.moc"
