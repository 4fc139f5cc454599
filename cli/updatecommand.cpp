#include "updatecommand.h"

#include "checkcommand.h"
#include "clicontext.h"
#include "console.h"
#include "platformconsole.h"
#include "progressboard.h"

#include <QFileInfo>

#include <algorithm>
#include <memory>

namespace {

QStringList portNames(const QList<PortRecord> &ports)
{
    QStringList names;
    for (const PortRecord &port : ports)
        names.append(port.portName);
    return names;
}

// The host lists a port by its name (ttyACM0); a user may give its path.
bool namesPort(const QString &name, const PortRecord &port)
{
    return PlatformConsole::samePortName(name, port.portName)
        || PlatformConsole::samePortName(QFileInfo(name).fileName(), port.portName);
}

} // namespace

int UpdateCommand::run()
{
    int refusal = CliContext::Success;
    const QList<PortRecord> ports = chooseDevices(&refusal);
    if (refusal != CliContext::Success)
        return refusal;
    // Refused before anything happens: a script without --yes must not
    // start a download it will never use.
    if (!context.command.yes && !PlatformConsole::isTerminal(stdin)) {
        context.console.note(tr("Not updating: there is no terminal to confirm on. Add --yes to "
                                "update without asking."));
        return CliContext::UsageError;
    }
    if (!CheckCommand(context).verify())
        return context.stoppedWith(CliContext::CheckFailed);
    if (!confirm(ports))
        return context.stoppedWith(CliContext::UsageError);
    return runDevices(ports, &context.check);
}

QList<PortRecord> UpdateCommand::chooseDevices(int *refusal)
{
    const CliCommand &command = context.command;
    const QList<PortRecord> attached = context.enumerator.attachedDevices();
    if (!command.ports.isEmpty()) {
        // A named port that is an attached device is known with its serial
        // number; any other port is taken as it is, without one.
        QList<PortRecord> named;
        for (const QString &name : std::as_const(command.ports)) {
            const auto device
                = std::find_if(attached.cbegin(), attached.cend(),
                               [&name](const PortRecord &port) { return namesPort(name, port); });
            named.append(
                {name, 0, 0, device != attached.cend() ? device->serialNumber : QString()});
        }
        return named;
    }
    if (attached.isEmpty()) {
        context.console.note(tr("No QL-7420 is attached."));
        *refusal = CliContext::NoDevice;
    } else if (attached.size() > 1 && !command.all) {
        context.console.note(tr("%1 devices are attached: %2\nName the ones to update with "
                                "--port, or update them all with --all.")
                                 .arg(attached.size())
                                 .arg(portNames(attached).join(QStringLiteral(", "))));
        *refusal = CliContext::UsageError;
    }
    return attached;
}

bool UpdateCommand::confirm(const QList<PortRecord> &ports)
{
    context.warnOfDataLoss();
    if (context.command.yes)
        return true;
    context.console.ask(tr("Update the firmware on %1 now? [y/N] ")
                            .arg(portNames(ports).join(QStringLiteral(", "))));
    char answer[64] = {};
    const bool read = std::fgets(answer, sizeof answer, stdin) != nullptr;
    if (PlatformConsole::takeInterrupt(!read)) {
        context.interrupt();
        return false;
    }
    const QString word = read ? QString::fromLocal8Bit(answer).trimmed().toLower() : QString();
    if (word == QLatin1String("y") || word == QLatin1String("yes"))
        return true;
    context.console.note(tr("Not confirmed; nothing was sent to any device."));
    return false;
}

int UpdateCommand::runDevices(const QList<PortRecord> &ports, const UpdateFW *image)
{
    QList<DeviceUpdate *> &devices = context.devices;
    context.setUpSystemHold();
    for (const PortRecord &port : ports) {
        DeviceUpdate *device = context.addDevice(port, image);
        QObject::connect(device, &DeviceUpdate::finished, &context, [this, device] {
            if (!context.isInterrupted())
                context.console.event(context.resultEvent(device->result()));
            context.wake();
        });
    }
    {
        const bool showProgress = image != nullptr;
        std::unique_ptr<ProgressBoard> board;
        if (showProgress)
            board = std::make_unique<ProgressBoard>(context.console, devices);
        for (DeviceUpdate *device : std::as_const(devices))
            device->start();
        context.waitUntil([&devices] {
            return std::all_of(devices.cbegin(), devices.cend(),
                               [](const DeviceUpdate *device) { return device->isDone(); });
        });
    }
    if (context.isInterrupted()) {
        qDeleteAll(devices);
        devices.clear();
        context.console.note(tr("Interrupted; no firmware was sent, and the ports are closed."));
        return CliContext::Interrupted;
    }

    int updated = 0;
    for (const DeviceUpdate *device : std::as_const(devices)) {
        context.console.result(context.resultLine(device->result()));
        if (device->stage() == DeviceUpdate::Updated)
            ++updated;
    }
    if (image)
        context.console.result(tr("%1 of %2 devices updated").arg(updated).arg(devices.size()));
    return updated == devices.size() ? CliContext::Success : CliContext::DeviceFailed;
}
