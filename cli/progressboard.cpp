#include "progressboard.h"

#include "console.h"
#include "deviceupdate.h"

#include <QJsonObject>

namespace {

// Ten redraws a second keep the bar smooth without flooding a slow
// terminal (a serial console, a remote session).
constexpr int RedrawPeriodMs = 100;
constexpr int BarWidth = 20;
constexpr int PlainStep = 10;

} // namespace

ProgressBoard::ProgressBoard(Console &console, const QList<DeviceUpdate *> &devices,
                             QObject *parent)
    : QObject(parent), console(console)
{
    for (DeviceUpdate *device : devices)
        addDevice(device);
    if (console.drawsInPlace()) {
        connect(&redrawTimer, &QTimer::timeout, this, &ProgressBoard::redraw);
        redrawTimer.start(RedrawPeriodMs);
        dirty = true;
        redraw();
    }
}

ProgressBoard::~ProgressBoard()
{
    if (console.drawsInPlace()) {
        redraw();
        console.endBlock();
    }
}

void ProgressBoard::addDevice(DeviceUpdate *device)
{
    devices.append(device);
    shownPercent.insert(device, -1);
    connect(device, &DeviceUpdate::progressChanged, this, [this, device] { onProgress(device); });
    for (auto signal :
         {&DeviceUpdate::versionRead, &DeviceUpdate::transferStarted, &DeviceUpdate::finished})
        connect(device, signal, this, [this] { dirty = true; });
    dirty = true;
}

void ProgressBoard::removeDevice(DeviceUpdate *device)
{
    devices.removeOne(device);
    shownPercent.remove(device);
    disconnect(device, nullptr, this, nullptr);
    dirty = true;
}

void ProgressBoard::setFooter(const QString &text)
{
    dirty = dirty || text != footer;
    footer = text;
}

void ProgressBoard::onProgress(DeviceUpdate *device)
{
    const int percent = device->percent();
    int &shown = shownPercent[device];
    if (console.isJson() && percent != shown) {
        console.event({{"event", "progress"}, {"port", device->portName()}, {"percent", percent}});
        shown = percent;
    } else if (!console.isJson() && !console.drawsInPlace()
               && percent / PlainStep != shown / PlainStep) {
        console.note(tr("%1: %2 %").arg(device->portName()).arg(percent / PlainStep * PlainStep));
        shown = percent;
    }
    dirty = true;
}

void ProgressBoard::redraw()
{
    if (!dirty)
        return;
    dirty = false;
    QStringList lines;
    for (const DeviceUpdate *device : std::as_const(devices))
        lines << line(device);
    if (!footer.isEmpty())
        lines << footer;
    console.drawBlock(lines);
}

QString ProgressBoard::line(const DeviceUpdate *device) const
{
    QString state;
    switch (device->stage()) {
    case DeviceUpdate::Waiting:
        state = tr("waiting");
        break;
    case DeviceUpdate::Handshake:
        state = tr("switching to PC mode");
        break;
    case DeviceUpdate::Transfer:
        state = tr("updating");
        break;
    case DeviceUpdate::Updated:
        state = tr("updated");
        break;
    case DeviceUpdate::Failed:
        state = tr("failed");
        break;
    case DeviceUpdate::Skipped:
        state = tr("skipped: %1").arg(device->errorString());
        break;
    }
    const int filled = device->percent() * BarWidth / 100;
    const QString bar = QString(filled, QLatin1Char('#')) + QString(BarWidth - filled, '.');
    const QString serial = device->serialNumber();
    return QStringLiteral("%1  %2  %3  [%4] %5 %  %6")
        .arg(device->portName(), -14)
        .arg(serial.isEmpty() ? QStringLiteral("-") : serial, -12)
        .arg(device->deviceVersion(), -10)
        .arg(bar)
        .arg(device->percent(), 3)
        .arg(state);
}
