#include "cliapplication.h"
#include "deviceenumerator.h"
#include "updatefw.h"

#include <QCoreApplication>

// The command line as shipped, pointed at a loopback firmware server
// (QL7420_DEMO_BASE_URL) and at simulated devices, which it lists as
// attached QL-7420s (QL7420_DEMO_DEVICES, port paths separated by commas,
// each with =SERIAL after it for a USB serial number), taking firmware signed
// with the maker's keys QL7420_DEMO_SIGNING_KEYS (separated by spaces) where
// that is set. Arguments and output are the real command's.
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString baseUrl = qEnvironmentVariable("QL7420_DEMO_BASE_URL");
    const QString signingKeys = qEnvironmentVariable("QL7420_DEMO_SIGNING_KEYS");
    const QStringList devices
        = qEnvironmentVariable("QL7420_DEMO_DEVICES").split(QLatin1Char(','), Qt::SkipEmptyParts);
    return runCli(app, [&](DeviceEnumerator &enumerator, UpdateFW &check) {
        if (!baseUrl.isEmpty())
            check.setBaseUrl(baseUrl);
        if (!signingKeys.isEmpty())
            check.setSigningKeys(signingKeys.split(QLatin1Char(' '), Qt::SkipEmptyParts));
        enumerator.setPortSource([devices] {
            QList<PortRecord> ports;
            for (const QString &device : devices)
                ports.append({device.section(QLatin1Char('='), 0, 0), DeviceEnumerator::VendorId,
                              DeviceEnumerator::ProductId, device.section(QLatin1Char('='), 1)});
            return ports;
        });
    });
}
