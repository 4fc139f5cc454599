#include "deviceupdate.h"

#include "updatefw.h"

namespace {

// As the window's detection ticks send the handshake's requests.
constexpr int HandshakePeriodMs = 1000;

} // namespace

DeviceUpdate::DeviceUpdate(const PortRecord &attached, const UpdateFW *image, QObject *parent)
    : QObject(parent), port(attached.portName), serial(attached.serialNumber), image(image)
{
    controller.setPortName(port);
    handshakeTimer.setTimerType(Qt::PreciseTimer);
    handshakeTimer.setInterval(HandshakePeriodMs);
    connect(&handshakeTimer, &QTimer::timeout, this, &DeviceUpdate::handshakeStep);
    connect(&controller, &Controller::versionRead, this, &DeviceUpdate::onVersionRead);
    connect(&controller, &Controller::timeOut, this, &DeviceUpdate::onTimeOut);
    // An unplugged device is told at once, not when its reply window ends.
    connect(&controller, &Controller::linkLost, this, [this] {
        if (isDone())
            return;
        disconnected = true;
        fail(controller.errorString());
    });
    connect(&controller, &Controller::progressUpdated, this, [this](int value) {
        progress = value;
        emit progressChanged();
    });
    connect(&controller, &Controller::upgradeFinished, this, [this] { finish(Updated); });
}

void DeviceUpdate::start()
{
    clock.start();
    current = Handshake;
    handshakeStep();
    handshakeTimer.start();
}

void DeviceUpdate::skip(const QString &reason)
{
    if (current != Waiting)
        return;
    failure = reason;
    finish(Skipped);
}

void DeviceUpdate::deviceChanged()
{
    if (current == Handshake)
        fail(tr("device changed during the handshake"));
}

qint64 DeviceUpdate::elapsedMs() const
{
    if (endedMs >= 0)
        return endedMs;
    return clock.isValid() ? clock.elapsed() : 0;
}

DeviceUpdate::Result DeviceUpdate::result() const
{
    return {port, serial, current, version, failure, elapsedMs()};
}

void DeviceUpdate::handshakeStep()
{
    if (pcModeRequests < Controller::PcModeRequests) {
        ++pcModeRequests;
        controller.switchPcMode();
    } else {
        handshakeTimer.stop();
        controller.checkVersion();
    }
    // Nothing was sent; waiting out the reply window would tell no more.
    if (controller.error() == Controller::PortNotOpened)
        fail(controller.errorString());
}

void DeviceUpdate::onVersionRead(const QString &deviceVersion)
{
    if (current != Handshake)
        return;
    // The answer came from whatever is on the port now; the version is
    // not this unit's either if that is another one.
    if (!serial.isEmpty() && listedSerial && listedSerial() != serial) {
        deviceChanged();
        return;
    }
    version = deviceVersion;
    emit versionRead();
    if (!image) {
        finish(Updated);
        return;
    }
    current = Transfer;
    controller.useImageFrom(*image);
    emit transferStarted();
    controller.startUpgrade();
}

void DeviceUpdate::onTimeOut()
{
    // The reply window of an early PC-mode request may run out while the
    // handshake goes on; only the version request's and the transfer's count.
    if (current == Handshake && handshakeTimer.isActive())
        return;
    fail(controller.errorString());
}

void DeviceUpdate::fail(const QString &reason)
{
    if (isDone())
        return;
    failure = reason;
    finish(Failed);
}

void DeviceUpdate::finish(Stage stage)
{
    if (isDone())
        return;
    handshakeTimer.stop();
    endedMs = clock.isValid() ? clock.elapsed() : 0;
    current = stage;
    emit finished();
}
