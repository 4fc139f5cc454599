#include "clicontext.h"

#include "console.h"
#include "platformconsole.h"

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>

CliContext::CliContext(const CliCommand &command, Console &console, DeviceEnumerator &enumerator,
                       UpdateFW &check, FirmwareBundle &bundle)
    : command(command), console(console), enumerator(enumerator), check(check), bundle(bundle)
{
    PlatformConsole::catchInterrupts(this, [this](bool closing) { onInterrupt(closing); });
}

CliContext::~CliContext()
{
    qDeleteAll(devices);
}

void CliContext::warnOfDataLoss()
{
    console.note(tr("Updating the firmware may reset the device's data.\n"
                    "Synchronise the data with the app before you update the firmware."));
}

// One hold for all the devices: the system is asked once, however many
// transfers run, and told again only once none runs.
void CliContext::setUpSystemHold()
{
    systemHold.setReason(tr("A firmware transfer is running. Stopping it would leave the device "
                            "without firmware."));
    connect(&systemHold, &SystemHold::transfersRunningChanged, this,
            [](bool running) { PlatformConsole::setClosable(!running); });
    connect(&systemHold, &SystemHold::refused, this, [this](const QString &reason) {
        if (!holdNoteShown)
            console.note(tr("Note: nothing keeps the computer from sleeping or shutting down "
                            "during the transfer: %1")
                             .arg(reason));
        holdNoteShown = true;
    });
}

// A device's course, under the run's hold, telling of its version once read.
DeviceUpdate *CliContext::addDevice(const PortRecord &port, const UpdateFW *image)
{
    auto *device = new DeviceUpdate(port, image);
    device->shareSystemHold(systemHold);
    devices.append(device);
    connect(device, &DeviceUpdate::transferStarted, this, [this] { transferBegun = true; });
    connect(device, &DeviceUpdate::versionRead, this, [this, device] {
        QJsonObject event = deviceEvent(device->portName(), device->serialNumber());
        event.insert("version", device->deviceVersion());
        console.event(event);
    });
    return device;
}

int CliContext::countOf(DeviceUpdate::Stage stage) const
{
    return int(std::count_if(devices.cbegin(), devices.cend(), [stage](const DeviceUpdate *device) {
        return device->stage() == stage;
    }));
}

QString CliContext::bundlePath() const
{
    const QString folder = command.kind == CliCommand::Fetch ? command.folder : command.from;
    return QDir::toNativeSeparators(QFileInfo(folder).absoluteFilePath());
}

// The port, and the device's USB serial number where the host knows it.
QString CliContext::deviceName(const QString &port, const QString &serialNumber) const
{
    if (serialNumber.isEmpty())
        return tr("%1 (no USB serial number)").arg(port);
    return tr("%1 (serial %2)").arg(port, serialNumber);
}

// The fields that name a device in an event; the serial is null where the
// host knows none.
QJsonObject CliContext::deviceEvent(const QString &port, const QString &serialNumber) const
{
    return {{"event", "device"},
            {"port", port},
            {"serial", serialNumber.isEmpty() ? QJsonValue() : QJsonValue(serialNumber)}};
}

QString CliContext::resultLine(const DeviceUpdate::Result &result) const
{
    const QString name = deviceName(result.portName, result.serialNumber);
    switch (result.stage) {
    case DeviceUpdate::Updated:
        if (command.kind == CliCommand::Update)
            return tr("%1: updated in %2 s").arg(name).arg(result.elapsedMs / 1000.0, 0, 'f', 1);
        return tr("%1: firmware %2").arg(name, result.deviceVersion);
    case DeviceUpdate::Skipped:
        return tr("%1: skipped: %2").arg(name, result.reason);
    default:
        return tr("%1: failed: %2").arg(name, result.reason);
    }
}

QJsonObject CliContext::resultEvent(const DeviceUpdate::Result &result) const
{
    QJsonObject event = deviceEvent(result.portName, result.serialNumber);
    event.insert("event", "result");
    switch (result.stage) {
    case DeviceUpdate::Updated:
        event.insert("ok", true);
        if (command.kind == CliCommand::Update)
            event.insert("seconds", qRound(result.elapsedMs / 100.0) / 10.0);
        else
            event.insert("version", result.deviceVersion);
        break;
    case DeviceUpdate::Skipped:
        // Left as it was, which is what was asked: an updated device, or
        // one the run ended before.
        event.insert("ok", true);
        event.insert("skipped", true);
        event.insert("reason", result.reason);
        break;
    default:
        event.insert("ok", false);
        event.insert("reason", result.reason);
        if (command.kind == CliCommand::Update)
            event.insert("seconds", qRound(result.elapsedMs / 100.0) / 10.0);
        break;
    }
    return event;
}

void CliContext::onInterrupt(bool closing)
{
    // A watch between devices may stop; an update stops only before its
    // first transfer.
    const bool transferring = command.watch ? countOf(DeviceUpdate::Transfer) > 0 : transferBegun;
    if (transferring && closing) {
        // The system ends the process within seconds whatever it does: the
        // transfers run on for those seconds, and a log that the output
        // goes to says which devices they will most likely leave unfinished.
        QStringList running;
        for (const DeviceUpdate *device : std::as_const(devices)) {
            if (device->stage() == DeviceUpdate::Transfer)
                running.append(tr("%1 at %2 %")
                                   .arg(deviceName(device->portName(), device->serialNumber()))
                                   .arg(device->percent()));
        }
        console.note(tr("The console was closed during the firmware transfer (%1). The system "
                        "ends this program within seconds, most likely before the transfer "
                        "ends: update those devices again.")
                         .arg(running.join(QStringLiteral(", "))));
    } else if (transferring && command.watch) {
        console.note(tr("Not stopping yet: a firmware transfer is running, and stopping it "
                        "would leave the device without firmware. The watch ends once the "
                        "transfers have ended, and starts no other device."));
    } else if (transferring) {
        console.note(tr("Not stopping: a firmware transfer is running, and stopping it would "
                        "leave the device without firmware. Please wait until it ends."));
    }
    if (transferring) {
        // Closing the console ends the watch as an interrupt does: the
        // seconds left are the running transfers', no other device's.
        if (stopStarting)
            stopStarting();
        return;
    }
    interrupted = true;
    if (waiting)
        waiting->quit();
}

void CliContext::waitUntil(const std::function<bool()> &done)
{
    if (done() || interrupted)
        return;
    QEventLoop loop;
    waiting = &loop;
    waitCondition = done;
    loop.exec();
    waiting = nullptr;
    waitCondition = nullptr;
}

void CliContext::wake()
{
    if (waiting && waitCondition())
        waiting->quit();
}
