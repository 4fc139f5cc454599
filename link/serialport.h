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
    // What the last failed call met: an open that failed, a port that went
    // away while open (an unplugged device), or a write that the port did not
    // take within its second. Calls on a closed port leave it alone.
    enum Error { NoError, OpenError, ResourceError, TimeoutError };

    SerialPort() = default;
    ~SerialPort();

    void setPortName(const QString &name);
    QString portName() const;

    // False if the port could not be opened; errorString() then says why.
    bool open();
    bool isOpen() const;
    Error error() const;
    // The reason for error(), in the operating system's words where it gave
    // some; empty after an open that succeeded.
    QString errorString() const;
    void close();

    // Negative once the port has gone.
    qint64 bytesAvailable();
    // Empty if nothing came, and also once the port has gone: error() is
    // then ResourceError.
    QByteArray read(qint64 maxSize);
    // Every byte, or -1.
    qint64 write(const QByteArray &data);

private:
    Q_DISABLE_COPY(SerialPort)

    void setError(Error kind, const std::string &text);

    mutable QMutex mutex;
    QString name;
    Error lastError = NoError;
    QString lastErrorText;
    NativeSerial::Handle handle = NativeSerial::InvalidHandle;
};

#endif // SERIALPORT_H
