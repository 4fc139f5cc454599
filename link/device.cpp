#include "device.h"

#include <QDebug>
#include <QLoggingCategory>

namespace {

// The reason an open failed, for whoever reads the debug output; apart from
// the link's own lines, so that those keep their fixed form.
Q_LOGGING_CATEGORY(lcLink, "ql7420.link")

constexpr int PollPeriodMs = 5;
constexpr int ReplyWindowMs = 3000;

} // namespace

Device::Device(QObject *parent) : QThread(parent)
{
    // A coarse timer may fire up to 5 % early, which would cut the device's
    // 3000 ms to answer short.
    responseTimer.setTimerType(Qt::PreciseTimer);
    connect(&responseTimer, &QTimer::timeout, this, &Device::onTimeOut);
    // Connected before any owner can connect: queued deliveries of one chunk
    // run in connection order, so the reply window is stopped before the
    // owner sees the chunk, and a write made in answer to it keeps its window.
    connect(this, &Device::received, this, &Device::onReceived);
}

Device::~Device()
{
    close();
}

void Device::setPortName(const QString &name)
{
    portName = name;
}

bool Device::open()
{
    configurePort();
    qDebug() << "open: " << portName;
    ++opening;
    lossReported = false;
    const bool opened = serialPort.open();
    if (!opened)
        qCDebug(lcLink).noquote() << "cannot open" << portName << "-" << serialPort.errorString();
    if (!running)
        startReading();
    return opened;
}

QString Device::errorString() const
{
    return serialPort.errorString();
}

void Device::write(const QByteArray &packet)
{
    if (serialPort.write(packet) < 0 && serialPort.error() == SerialPort::ResourceError)
        reportLoss(serialPort.errorString());
    responseTimer.start(ReplyWindowMs);
}

void Device::close()
{
    if (running)
        stopReading();
    qDebug() << "close: " << portName;
    serialPort.close();
}

void Device::onTimeOut()
{
    responseTimer.stop();
    emit timeOut();
}

void Device::onReceived(QByteArray)
{
    responseTimer.stop();
}

void Device::run()
{
    // Polling instead of waiting on the port keeps close() prompt: the loop
    // notices the cleared flag within one period. 5 ms is short against the
    // device's answer time and costs little while the line is quiet.
    while (running) {
        const qint64 waiting = serialPort.bytesAvailable();
        if (waiting < 0)
            reportLoss(serialPort.errorString());
        if (waiting > 0) {
            readBuffer = serialPort.read(waiting);
            if (!readBuffer.isEmpty())
                emit received(readBuffer);
            else if (serialPort.error() == SerialPort::ResourceError)
                reportLoss(serialPort.errorString());
        }
        QThread::msleep(PollPeriodMs);
    }
}

void Device::configurePort()
{
    // The line settings are the device's and fixed in the port class.
    serialPort.setPortName(portName);
}

void Device::startReading()
{
    running = true;
    start(QThread::InheritPriority);
}

void Device::stopReading()
{
    running = false;
    wait();
}

void Device::reportLoss(const QString &reason)
{
    if (lossReported.exchange(true))
        return;
    // Queued from either thread: after the chunks read before it, and never
    // inside the owner's own call to write().
    QMetaObject::invokeMethod(
        this,
        [this, reason, lostOpening = quint64(opening)] {
            if (lostOpening != opening)
                return;
            qCDebug(lcLink).noquote() << "lost" << portName << "-" << reason;
            emit linkLost(reason);
        },
        Qt::QueuedConnection);
}
