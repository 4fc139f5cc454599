#include "listcommand.h"

#include "clicontext.h"
#include "console.h"
#include "updatecommand.h"

int ListCommand::run()
{
    const QList<PortRecord> ports = context.enumerator.attachedDevices();
    if (ports.isEmpty()) {
        context.console.note(tr("No QL-7420 is attached."));
        return CliContext::NoDevice;
    }
    // The course of an update, without an image.
    if (context.command.versions)
        return UpdateCommand(context).runDevices(ports, nullptr);
    for (const PortRecord &port : ports) {
        // The USB identifiers it was found by, as the host reported them.
        const auto hex = [](int id) {
            return QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0')).toUpper();
        };
        const QString vendor = hex(port.vendorID);
        const QString product = hex(port.productID);
        context.console.result(
            tr("%1, USB %2:%3")
                .arg(context.deviceName(port.portName, port.serialNumber), vendor, product));
        QJsonObject event = context.deviceEvent(port.portName, port.serialNumber);
        event.insert("vendorId", vendor);
        event.insert("productId", product);
        context.console.event(event);
    }
    return CliContext::Success;
}
