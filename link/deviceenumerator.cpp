#include "deviceenumerator.h"

#include <QDeadlineTimer>
#include <QMutex>
#include <QMutexLocker>
#include <QSerialPortInfo>

namespace {

constexpr int VendorId = 0x0451;
constexpr int ProductId = 0x16AA;
constexpr int ScanPeriodMs = 1000;

QMutex listerMutex;
DeviceEnumerator::PortLister portLister;

QList<PortRecord> hostPorts()
{
    QList<PortRecord> ports;
    const QList<QSerialPortInfo> infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : infos) {
        PortRecord port;
        port.portName = info.portName();
        // A port without USB identifiers (a built-in UART) must never match.
        port.vendorID = info.hasVendorIdentifier() ? info.vendorIdentifier() : 0;
        port.productID = info.hasProductIdentifier() ? info.productIdentifier() : 0;
        ports.append(port);
    }
    return ports;
}

QList<PortRecord> listPorts()
{
    QMutexLocker locker(&listerMutex);
    return portLister ? portLister() : hostPorts();
}

} // namespace

DeviceEnumerator::DeviceEnumerator(QObject *parent) : QThread(parent) { }

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

void DeviceEnumerator::setPortLister(PortLister lister)
{
    QMutexLocker locker(&listerMutex);
    portLister = std::move(lister);
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

void DeviceEnumerator::scanPorts()
{
    QStringList matches;
    const QList<PortRecord> ports = listPorts();
    for (const PortRecord &port : ports) {
        if (port.vendorID == VendorId && port.productID == ProductId)
            matches.append(port.portName);
    }
    if (!matches.isEmpty())
        emit deviceAvailable(matches.first());
    else
        emit deviceNotFound();
}
