#include "serialport.h"

#include <QLoggingCategory>
#include <QMutexLocker>

namespace {

Q_LOGGING_CATEGORY(lcSerial, "ql7420.link")

} // namespace

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
    const std::string timerNote = NativeSerial::keepTimerFine();
    if (!timerNote.empty())
        qCDebug(lcSerial).noquote() << QString::fromStdString(timerNote);
    std::string error;
    handle = NativeSerial::open(name.toStdString(), error);
    const bool opened = handle != NativeSerial::InvalidHandle;
    setError(opened ? NoError : OpenError, opened ? std::string() : error);
    return opened;
}

SerialPort::Error SerialPort::error() const
{
    QMutexLocker locker(&mutex);
    return lastError;
}

QString SerialPort::errorString() const
{
    QMutexLocker locker(&mutex);
    return lastErrorText;
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

qint64 SerialPort::bytesAvailable()
{
    QMutexLocker locker(&mutex);
    if (handle == NativeSerial::InvalidHandle)
        return 0;
    std::string error;
    const qint64 count = NativeSerial::bytesWaiting(handle, error);
    if (count < 0)
        setError(ResourceError, error);
    return count;
}

QByteArray SerialPort::read(qint64 maxSize)
{
    QMutexLocker locker(&mutex);
    if (handle == NativeSerial::InvalidHandle || maxSize <= 0)
        return {};
    QByteArray data(maxSize, Qt::Uninitialized);
    std::string error;
    const qint64 count = NativeSerial::read(handle, data.data(), maxSize, error);
    if (count < 0)
        setError(ResourceError, error);
    data.truncate(qMax<qint64>(count, 0));
    return data;
}

qint64 SerialPort::write(const QByteArray &data)
{
    QMutexLocker locker(&mutex);
    if (handle == NativeSerial::InvalidHandle)
        return -1;
    std::string error;
    switch (NativeSerial::writeAll(handle, data.constData(), data.size(), error)) {
    case NativeSerial::WriteResult::Written:
        return data.size();
    case NativeSerial::WriteResult::Stalled:
        setError(TimeoutError,
                 error.empty() ? "the port did not take the bytes within a second" : error);
        break;
    case NativeSerial::WriteResult::Gone:
        setError(ResourceError, error);
        break;
    }
    return -1;
}

// Called with the mutex held.
void SerialPort::setError(Error kind, const std::string &text)
{
    lastError = kind;
    lastErrorText = QString::fromStdString(text);
}
