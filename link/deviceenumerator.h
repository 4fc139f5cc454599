#ifndef DEVICEENUMERATOR_H
#define DEVICEENUMERATOR_H

#include <QElapsedTimer>
#include <QList>
#include <QMutex>
#include <QString>
#include <QThread>
#include <QWaitCondition>

#include <atomic>
#include <functional>
#include <optional>
#include <string>

// One serial port as the host lists it, with the USB identifiers of the
// device behind it (0 where there is none) and its USB serial number (empty
// where the host knows none), which tells one unit from another.
struct PortRecord
{
    QString portName;
    int vendorID = 0;
    int productID = 0;
    QString serialNumber {};
};

// Looks for the device among the serial ports once per second, from its own
// thread, and reports after every scan whether it is there. A full listing
// of the host's ports costs about 10 ms of CPU, so a scan first takes a
// cheap fingerprint of the ports and, while it stays the same, reports what
// the last full listing found.
class DeviceEnumerator : public QThread
{
    Q_OBJECT

public:
    // The device's USB identifiers.
    static constexpr int VendorId = 0x0451;
    static constexpr int ProductId = 0x16AA;

    using PortLister = std::function<QList<PortRecord>()>;
    // Equal fingerprints promise that the lister would give the same list;
    // an empty one promises nothing, and the scan lists in full.
    using PortFingerprinter = std::function<std::optional<std::string>()>;

    explicit DeviceEnumerator(QObject *parent = nullptr);
    ~DeviceEnumerator() override;

    void startScanning();
    void stopScanning();

    // Replaces the host's port list for this enumerator: a pseudo-terminal
    // has no USB identifiers, so tests and the demo describe their ports
    // here. Without a fingerprinter every scan lists the replacement in full.
    // An empty lister restores the host's list. May be called while it scans.
    void setPortSource(PortLister lister, PortFingerprinter fingerprinter = {});
    // The ports as the host lists them in full, for a lister that builds on
    // them.
    static QList<PortRecord> hostPorts();
    // The ports with the device behind them, from one full listing of this
    // enumerator's source, in the listing's order; for a caller that looks
    // once instead of scanning.
    QList<PortRecord> attachedDevices();

    // However long the fingerprint stays the same, the ports are listed in
    // full at least this often, so that a change it misses does not last.
    void setFullListingPeriod(int ms);

signals:
    void deviceAvailable(QString portName);
    void deviceNotFound();
    // After every scan, every device found, in the listing's order.
    void devicesListed(QList<PortRecord> devices);

protected:
    void run() override;

private:
    static QList<PortRecord> devicesAmong(const QList<PortRecord> &ports);
    QList<PortRecord> listPorts();
    void scanPorts();
    void pauseBetweenScans();

    std::atomic<bool> running {false};
    QMutex pauseMutex;
    QWaitCondition stopRequested;

    QMutex sourceMutex;
    PortLister portLister;
    PortFingerprinter portFingerprinter;
    // Tells a replaced source from its predecessor, whose fingerprints say
    // nothing about the new one's.
    quint64 portSourceId = 0;
    std::atomic<int> fullListingPeriodMs {60000};

    // The last full listing, touched by the scanning thread alone.
    quint64 listedSourceId = 0;
    std::optional<std::string> listedFingerprint;
    bool listedFingerprintConfirmed = false;
    QList<PortRecord> listedPorts;
    QElapsedTimer sinceFullListing;
};

#endif // DEVICEENUMERATOR_H
