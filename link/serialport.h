#ifndef SERIALPORT_H
#define SERIALPORT_H

#include "nativeserial.h"

#include <QByteArray>
#include <QMutex>
#include <QString>

// A serial port at the device's fixed line settings (115200 8N1, raw, no flow
// control), used by polling: a count of waiting bytes, reads that never wait,
// writes that hand over every byte. The link's reading thread and the GUI
// thread use one port at the same time, so every call holds the port's mutex.
class SerialPort
{
public:
    SerialPort() = default;
    ~SerialPort();

    void setPortName(const QString &name);
    QString portName() const;

    // False if the port could not be opened; errorString() then says why.
    bool open();
    bool isOpen() const;
    // The operating system's reason the last open failed; empty after an
    // open that succeeded.
    QString errorString() const;
    void close();

    qint64 bytesAvailable() const;
    QByteArray read(qint64 maxSize);
    qint64 write(const QByteArray &data);

private:
    Q_DISABLE_COPY(SerialPort)

    mutable QMutex mutex;
    QString name;
    QString openError;
    NativeSerial::Handle handle = NativeSerial::InvalidHandle;
};

#endif // SERIALPORT_H
