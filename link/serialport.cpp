#include "serialport.h"

#include <QMutexLocker>

SerialPort::~SerialPort()
{
    close();
}

void SerialPort::setPortName(const QString &portName)
{
    QMutexLocker locker(&mutex);
    name = portName;
}

QString SerialPort::portName() const
{
    QMutexLocker locker(&mutex);
    return name;
}

bool SerialPort::open()
{
    QMutexLocker locker(&mutex);
    if (handle != NativeSerial::InvalidHandle)
        return true;
    std::string error;
    handle = NativeSerial::open(name.toStdString(), error);
    openError = handle == NativeSerial::InvalidHandle ? QString::fromStdString(error) : QString();
    return handle != NativeSerial::InvalidHandle;
}

QString SerialPort::errorString() const
{
    QMutexLocker locker(&mutex);
    return openError;
}

bool SerialPort::isOpen() const
{
    QMutexLocker locker(&mutex);
    return handle != NativeSerial::InvalidHandle;
}

void SerialPort::close()
{
    QMutexLocker locker(&mutex);
    NativeSerial::close(handle);
    handle = NativeSerial::InvalidHandle;
}

qint64 SerialPort::bytesAvailable() const
{
    QMutexLocker locker(&mutex);
    if (handle == NativeSerial::InvalidHandle)
        return 0;
    return NativeSerial::bytesWaiting(handle);
}

QByteArray SerialPort::read(qint64 maxSize)
{
    QMutexLocker locker(&mutex);
    if (handle == NativeSerial::InvalidHandle || maxSize <= 0)
        return {};
    QByteArray data(maxSize, Qt::Uninitialized);
    const qint64 count = NativeSerial::read(handle, data.data(), maxSize);
    data.truncate(qMax<qint64>(count, 0));
    return data;
}

qint64 SerialPort::write(const QByteArray &data)
{
    QMutexLocker locker(&mutex);
    if (handle == NativeSerial::InvalidHandle)
        return -1;
    return NativeSerial::writeAll(handle, data.constData(), data.size()) ? data.size() : -1;
}
