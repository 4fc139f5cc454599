#include "watchcommand.h"

#include "checkcommand.h"
#include "clicontext.h"
#include "console.h"
#include "progressboard.h"

#include <QJsonArray>

#include <algorithm>

namespace {

// One unit on one port: the host gives a freed port's name to the next
// device plugged in.
bool sameUnit(const PortRecord &a, const PortRecord &b)
{
    return a.portName == b.portName && a.serialNumber == b.serialNumber;
}

} // namespace

WatchCommand::WatchCommand(CliContext &context) : context(context)
{
    context.setStopStarting([this] { stopStarting(); });
}

WatchCommand::~WatchCommand()
{
    context.setStopStarting(nullptr);
}

int WatchCommand::run()
{
    const CliCommand &command = context.command;
    Console &console = context.console;
    if (!CheckCommand(context).verify())
        return context.stoppedWith(CliContext::CheckFailed);
    context.warnOfDataLoss();
    console.note(command.count > 0
                     ? tr("Waiting for devices: each one plugged in is updated, until %1 are "
                          "updated. Ctrl-C ends the watch.")
                           .arg(command.count)
                     : tr("Waiting for devices: each one plugged in is updated. Ctrl-C ends the "
                          "watch."));
    context.setUpSystemHold();
    {
        ProgressBoard progress(console, {});
        board = &progress;
        showTally(false);
        QObject::connect(&context.enumerator, &DeviceEnumerator::devicesListed, &context,
                         [this](const QList<PortRecord> &listed) { onDevicesListed(listed); });
        context.enumerator.startScanning();
        context.waitUntil(
            [this] { return ending() && context.countOf(DeviceUpdate::Transfer) == 0; });
        context.enumerator.stopScanning();
        QObject::disconnect(&context.enumerator, nullptr, &context, nullptr);
        leaveUnstarted(
            context.isInterrupted()
                ? tr("not updated: the watch was interrupted before its transfer")
                : tr("not updated: %1 devices were updated, as --count asked").arg(updatedCount));
        for (DeviceUpdate *device : std::as_const(context.devices))
            progress.removeDevice(device);
        board = nullptr;
    }
    // The ports close with them, and with those forgotten on the way.
    qDeleteAll(context.devices);
    context.devices.clear();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    if (context.isInterrupted() && !context.transferHasBegun()) {
        console.note(tr("Interrupted; no firmware was sent, and the ports are closed."));
        return CliContext::Interrupted;
    }
    return summarize();
}

// Each device's last result, and how many ended each way.
int WatchCommand::summarize()
{
    Console &console = context.console;
    int updated = 0;
    int failed = 0;
    QJsonArray summary;
    console.result(tr("The watch ended. Each device's last result:"));
    for (const DeviceUpdate::Result &result : std::as_const(results)) {
        console.result(context.resultLine(result));
        QJsonObject fields = context.resultEvent(result);
        fields.remove("event");
        summary.append(fields);
        updated += result.stage == DeviceUpdate::Updated;
        failed += result.stage == DeviceUpdate::Failed;
    }
    console.result(tr("Devices by their last result: updated %1, failed %2, left as they were %3")
                       .arg(updated)
                       .arg(failed)
                       .arg(results.size() - updated - failed));
    console.event({{"event", "summary"},
                   {"updated", updated},
                   {"failed", failed},
                   {"skipped", int(results.size()) - updated - failed},
                   {"devices", summary}});
    return failed == 0 ? CliContext::Success : CliContext::DeviceFailed;
}

// After every scan: the devices gone since the last, then the new ones. A
// port listed with another serial number than before is the one device
// leaving and the other appearing.
void WatchCommand::onDevicesListed(const QList<PortRecord> &listed)
{
    // A scan's word that was on its way when the watch ended.
    if (!board)
        return;
    const QList<PortRecord> before = plugged;
    for (const PortRecord &unit : before) {
        if (std::none_of(listed.cbegin(), listed.cend(),
                         [&unit](const PortRecord &port) { return sameUnit(port, unit); }))
            onDeviceLeft(unit);
    }
    if (!ending()) {
        for (const PortRecord &port : listed) {
            if (!isPlugged(port))
                onDeviceAppeared(port);
        }
        startWaitingDevices();
    }
    showTally(false);
}

void WatchCommand::onDeviceAppeared(const PortRecord &unit)
{
    plugged.append(unit);
    context.console.note(
        tr("%1: plugged in").arg(context.deviceName(unit.portName, unit.serialNumber)));
    QJsonObject event = context.deviceEvent(unit.portName, unit.serialNumber);
    event.insert("event", "appeared");
    context.console.event(event);
    // A course still running for it is its own: the device came back before
    // its course noticed it had gone.
    if (courseOf(unit))
        return;
    // Another unit's handshake on the port would go on with this one.
    const QList<DeviceUpdate *> present = context.devices;
    for (DeviceUpdate *device : present) {
        if (device->portName() == unit.portName)
            device->deviceChanged();
    }

    DeviceUpdate *device = context.addDevice(unit, &context.check);
    device->setListedSerial([this, port = unit.portName] { return serialListedOn(port); });
    board->addDevice(device);
    QObject::connect(device, &DeviceUpdate::finished, &context,
                     [this, device] { onDeviceFinished(device); });
    const bool updatedBefore = !unit.serialNumber.isEmpty()
        && std::any_of(results.cbegin(), results.cend(),
                       [&unit](const DeviceUpdate::Result &result) {
                           return result.serialNumber == unit.serialNumber
                               && result.stage == DeviceUpdate::Updated;
                       });
    if (updatedBefore)
        device->skip(tr("already updated in this run"));
}

void WatchCommand::onDeviceLeft(const PortRecord &unit)
{
    plugged.removeIf([&unit](const PortRecord &port) { return sameUnit(port, unit); });
    context.console.note(
        tr("%1: unplugged").arg(context.deviceName(unit.portName, unit.serialNumber)));
    QJsonObject event = context.deviceEvent(unit.portName, unit.serialNumber);
    event.insert("event", "left");
    context.console.event(event);
    // A running course notices by itself, and is forgotten once it ends.
    DeviceUpdate *device = courseOf(unit);
    if (device && (device->isDone() || device->stage() == DeviceUpdate::Waiting))
        forgetDevice(device);
}

void WatchCommand::onDeviceFinished(DeviceUpdate *device)
{
    tellResult(device->result());
    const PortRecord unit {device->portName(), 0, 0, device->serialNumber()};
    // A lost link is its device leaving, whether or not a scan saw it gone:
    // listed at a later scan, it was plugged in again. Either way the course
    // is forgotten.
    if (!isPlugged(unit))
        forgetDevice(device);
    else if (device->lostItsDevice())
        onDeviceLeft(unit);
    startWaitingDevices();
    showTally(true);
    context.wake();
}

// As many as may run: all of them, or with --count no more than would
// reach it if every one succeeded; and one at a time on a port, as a unit
// plugged in where another's transfer has not yet noticed its end must
// wait for it.
void WatchCommand::startWaitingDevices()
{
    const int count = context.command.count;
    const QList<DeviceUpdate *> present = context.devices;
    for (DeviceUpdate *device : present) {
        if (ending() || (count > 0 && updatedCount + runningCount() >= count))
            return;
        if (context.devices.contains(device) && device->stage() == DeviceUpdate::Waiting
            && !portInUse(device->portName()))
            device->start();
    }
}

// Interrupted, or its console closed, during a transfer: the transfers run
// on, and no other device starts.
void WatchCommand::stopStarting()
{
    stopping = true;
    leaveUnstarted(tr("not updated: the watch was ending before its transfer"));
    showTally(false);
}

// Ends the courses that have not begun a transfer, which leaves their
// devices as they were.
void WatchCommand::leaveUnstarted(const QString &reason)
{
    const QList<DeviceUpdate *> present = context.devices;
    for (DeviceUpdate *device : present) {
        if (device->stage() != DeviceUpdate::Waiting && device->stage() != DeviceUpdate::Handshake)
            continue;
        DeviceUpdate::Result result = device->result();
        result.stage = DeviceUpdate::Skipped;
        result.reason = reason;
        tellResult(result);
        forgetDevice(device);
    }
}

void WatchCommand::forgetDevice(DeviceUpdate *device)
{
    context.devices.removeOne(device);
    if (board)
        board->removeDevice(device);
    QObject::disconnect(device, nullptr, &context, nullptr);
    // It may be telling of its end right now.
    device->deleteLater();
}

bool WatchCommand::isPlugged(const PortRecord &unit) const
{
    return std::any_of(plugged.cbegin(), plugged.cend(),
                       [&unit](const PortRecord &port) { return sameUnit(port, unit); });
}

DeviceUpdate *WatchCommand::courseOf(const PortRecord &unit) const
{
    for (DeviceUpdate *device : context.devices) {
        if (sameUnit({device->portName(), 0, 0, device->serialNumber()}, unit))
            return device;
    }
    return nullptr;
}

bool WatchCommand::portInUse(const QString &port) const
{
    return std::any_of(context.devices.cbegin(), context.devices.cend(),
                       [&port](const DeviceUpdate *device) {
                           return device->portName() == port
                               && (device->stage() == DeviceUpdate::Handshake
                                   || device->stage() == DeviceUpdate::Transfer);
                       });
}

// As the host lists it now, not as the last scan found it: a unit swapped
// in since then must not be taken for the one before.
QString WatchCommand::serialListedOn(const QString &port)
{
    const QList<PortRecord> attached = context.enumerator.attachedDevices();
    const auto listed
        = std::find_if(attached.cbegin(), attached.cend(),
                       [&port](const PortRecord &device) { return device.portName == port; });
    return listed != attached.cend() ? listed->serialNumber : QString();
}

// Started and not yet ended: greeting the device or sending it the image.
int WatchCommand::runningCount() const
{
    return context.countOf(DeviceUpdate::Handshake) + context.countOf(DeviceUpdate::Transfer);
}

bool WatchCommand::ending() const
{
    const int count = context.command.count;
    return context.isInterrupted() || stopping || (count > 0 && updatedCount >= count);
}

// Counted in the tally, kept for the summary, and told at once.
void WatchCommand::tellResult(const DeviceUpdate::Result &result)
{
    updatedCount += result.stage == DeviceUpdate::Updated;
    failedCount += result.stage == DeviceUpdate::Failed;
    skippedCount += result.stage == DeviceUpdate::Skipped;
    recordResult(result);
    context.console.note(context.resultLine(result));
    context.console.event(context.resultEvent(result));
}

// One line per device in the summary: a device with a serial number keeps
// its place, and a later result replaces an earlier one, except that
// leaving it alone changes nothing of what happened to it before.
void WatchCommand::recordResult(const DeviceUpdate::Result &result)
{
    if (!result.serialNumber.isEmpty()) {
        for (DeviceUpdate::Result &earlier : results) {
            if (earlier.serialNumber == result.serialNumber) {
                if (result.stage != DeviceUpdate::Skipped)
                    earlier = result;
                return;
            }
        }
    }
    results.append(result);
}

// Below the devices on a terminal, brought up to date after every scan and
// result; elsewhere, after each result, a line or an event.
void WatchCommand::showTally(bool asNote)
{
    const int running = runningCount();
    const int waiting = context.countOf(DeviceUpdate::Waiting);
    const QString text = tr("Attempts so far: updated %1, failed %2, skipped %3; in progress %4, "
                            "waiting %5")
                             .arg(updatedCount)
                             .arg(failedCount)
                             .arg(skippedCount)
                             .arg(running)
                             .arg(waiting);
    if (board)
        board->setFooter(text);
    if (!asNote)
        return;
    if (!context.console.drawsInPlace())
        context.console.note(text);
    context.console.event({{"event", "tally"},
                           {"updated", updatedCount},
                           {"failed", failedCount},
                           {"skipped", skippedCount},
                           {"inProgress", running},
                           {"waiting", waiting}});
}
