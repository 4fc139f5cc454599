#include "deviceenumerator.h"

#include "portfingerprint.h"

#include <QDeadlineTimer>
#include <QMutex>
#include <QMutexLocker>
#include <QSerialPortInfo>

namespace {

constexpr int ScanPeriodMs = 1000;

} // namespace

QList<PortRecord> DeviceEnumerator::hostPorts()
{
    QList<PortRecord> ports;
    const QList<QSerialPortInfo> infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : infos) {
        PortRecord port;
        port.portName = info.portName();
        // A port without USB identifiers (a built-in UART) must never match.
        port.vendorID = info.hasVendorIdentifier() ? info.vendorIdentifier() : 0;
        port.productID = info.hasProductIdentifier() ? info.productIdentifier() : 0;
        port.serialNumber = info.serialNumber();
        ports.append(port);
    }
    return ports;
}

DeviceEnumerator::DeviceEnumerator(QObject *parent)
    : QThread(parent), portLister(hostPorts), portFingerprinter(PortFingerprint::current)
{ }

DeviceEnumerator::~DeviceEnumerator()
{
    stopScanning();
}

void DeviceEnumerator::startScanning()
{
    running = true;
    start(QThread::InheritPriority);
}

void DeviceEnumerator::stopScanning()
{
    {
        QMutexLocker locker(&pauseMutex);
        running = false;
        stopRequested.wakeAll();
    }
    wait();
}

void DeviceEnumerator::setPortSource(PortLister lister, PortFingerprinter fingerprinter)
{
    QMutexLocker locker(&sourceMutex);
    if (lister) {
        portLister = std::move(lister);
        portFingerprinter = std::move(fingerprinter);
    } else {
        portLister = hostPorts;
        portFingerprinter = PortFingerprint::current;
    }
    ++portSourceId;
}

void DeviceEnumerator::setFullListingPeriod(int ms)
{
    fullListingPeriodMs = ms;
}

void DeviceEnumerator::run()
{
    while (running) {
        scanPorts();
        pauseBetweenScans();
    }
}

void DeviceEnumerator::pauseBetweenScans()
{
    // A wait that a stop ends at once, unlike a sleep: the window's destructor
    // waits for this thread, and the window must close without a pause.
    const QDeadlineTimer nextScan(ScanPeriodMs, Qt::PreciseTimer);
    QMutexLocker locker(&pauseMutex);
    while (running && !nextScan.hasExpired())
        stopRequested.wait(&pauseMutex, nextScan);
}

QList<PortRecord> DeviceEnumerator::listPorts()
{
    // The lister runs under the lock, so that once a setter returns the
    // lister it replaced is never called again (tests hand over lambdas on
    // their stack).
    QMutexLocker locker(&sourceMutex);
    // Taken before the listing: a change during the listing then shows in
    // the next tick's fingerprint.
    const std::optional<std::string> fingerprint
        = portFingerprinter ? portFingerprinter() : std::nullopt;
    const bool unchanged
        = fingerprint && portSourceId == listedSourceId && fingerprint == listedFingerprint;
    // The host may still be filling in a new port's details (udev writes the
    // USB identifiers a little after the port appears), so a new fingerprint
    // is trusted only once a listing a tick later has confirmed it. The next
    // tick comes a scan period from now: listing now keeps within the period.
    if (unchanged && listedFingerprintConfirmed
        && sinceFullListing.elapsed() <= fullListingPeriodMs - ScanPeriodMs)
        return listedPorts;

    listedPorts = portLister();
    listedSourceId = portSourceId;
    listedFingerprint = fingerprint;
    listedFingerprintConfirmed = unchanged;
    sinceFullListing.start();
    return listedPorts;
}

QList<PortRecord> DeviceEnumerator::attachedDevices()
{
    // Listed apart from the scan's own listing, whose remembered state
    // belongs to the scanning thread.
    QMutexLocker locker(&sourceMutex);
    return devicesAmong(portLister());
}

QList<PortRecord> DeviceEnumerator::devicesAmong(const QList<PortRecord> &ports)
{
    QList<PortRecord> matches;
    for (const PortRecord &port : ports) {
        if (port.vendorID == VendorId && port.productID == ProductId)
            matches.append(port);
    }
    return matches;
}

void DeviceEnumerator::scanPorts()
{
    const QList<PortRecord> matches = devicesAmong(listPorts());
    emit devicesListed(matches);
    if (!matches.isEmpty())
        emit deviceAvailable(matches.first().portName);
    else
        emit deviceNotFound();
}
