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
    void cleanup() { DeviceEnumerator::setPortLister({}); }
    void firstScanPicksTheDevice_data();
    void firstScanPicksTheDevice();
    void oneReportPerScan();
    void destructionDuringPauseEndsItAtOnce();
};

Q_DECLARE_METATYPE(QList<PortRecord>)

void tst_DeviceEnumerator::firstScanPicksTheDevice_data()
{
    QTest::addColumn<QList<PortRecord>>("ports");
    QTest::addColumn<QString>("report");

    const PortRecord device1 {"ttyACM0", Vendor, Product};
    const PortRecord device2 {"ttyACM1", Vendor, Product};
    const PortRecord vendorOnly {"ttyACM2", Vendor, 0x16AB};
    const PortRecord productOnly {"ttyACM3", 0x0452, Product};
    const PortRecord builtIn {"ttyS0", 0, 0};

    QTest::newRow("no ports") << QList<PortRecord>() << "<none>";
    QTest::newRow("only the device") << QList<PortRecord> {device1} << "ttyACM0";
    QTest::newRow("first of two devices") << QList<PortRecord> {device2, device1} << "ttyACM1";
    QTest::newRow("device behind others")
        << QList<PortRecord> {builtIn, vendorOnly, productOnly, device2} << "ttyACM1";
    QTest::newRow("vendor only") << QList<PortRecord> {vendorOnly} << "<none>";
    QTest::newRow("product only") << QList<PortRecord> {productOnly} << "<none>";
    QTest::newRow("ids swapped") << QList<PortRecord> {{"ttyACM4", Product, Vendor}} << "<none>";
}

void tst_DeviceEnumerator::firstScanPicksTheDevice()
{
    QFETCH(QList<PortRecord>, ports);
    QFETCH(QString, report);

    DeviceEnumerator::setPortLister([ports] { return ports; });
    DeviceEnumerator enumerator;
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
    DeviceEnumerator::setPortLister([&scans] {
        // Present on every other scan, so both reports show up.
        const int scan = scans++;
        return scan % 2 ? QList<PortRecord>() : QList<PortRecord> {{"ttyACM0", Vendor, Product}};
    });
    DeviceEnumerator enumerator;
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
    DeviceEnumerator::setPortLister([&scans] {
        ++scans;
        return QList<PortRecord>();
    });
    QElapsedTimer destruction;
    {
        DeviceEnumerator enumerator;
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

QTEST_GUILESS_MAIN(tst_DeviceEnumerator)
#include "tst_deviceenumerator.moc"
