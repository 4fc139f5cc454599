#ifndef DEVICEENUMERATOR_H
#define DEVICEENUMERATOR_H

#include <QList>
#include <QMutex>
#include <QString>
#include <QThread>
#include <QWaitCondition>

#include <atomic>
#include <functional>

// One serial port as the host lists it, with the USB identifiers of the
// device behind it (0 where there is none).
struct PortRecord
{
    QString portName;
    int vendorID = 0;
    int productID = 0;
};

// Looks for the device among the serial ports once per second, from its own
// thread, and reports after every scan whether it is there.
class DeviceEnumerator : public QThread
{
    Q_OBJECT

public:
    using PortLister = std::function<QList<PortRecord>()>;

    explicit DeviceEnumerator(QObject *parent = nullptr);
    ~DeviceEnumerator() override;

    void startScanning();
    void stopScanning();

    // Replaces the host's port list for the whole process: a pseudo-terminal
    // has no USB identifiers, so tests and the demo describe their ports
    // here. An empty lister restores the host's list.
    static void setPortLister(PortLister lister);

signals:
    void deviceAvailable(QString portName);
    void deviceNotFound();

protected:
    void run() override;

private:
    void scanPorts();
    void pauseBetweenScans();

    std::atomic<bool> running {false};
    QMutex pauseMutex;
    QWaitCondition stopRequested;
};

#endif // DEVICEENUMERATOR_H
