#include "cliapplication.h"
#include "deviceenumerator.h"
#include "firmwarebundle.h"
#include "updatefw.h"

#include <QCoreApplication>
#include <QFile>

// The command line as shipped, pointed at a loopback firmware server
// (QL7420_DEMO_BASE_URL) and at simulated devices, which it lists as
// attached QL-7420s (QL7420_DEMO_DEVICES, port paths separated by commas,
// each with =SERIAL after it for a USB serial number; or the same list in the
// file QL7420_DEMO_DEVICES_FILE, read again at every listing, so that devices
// come and go while it runs), taking firmware signed with the maker's keys
// QL7420_DEMO_SIGNING_KEYS (separated by spaces) where that is set, and
// saving bundles as on a file system that cannot swap two folders in one step
// where QL7420_DEMO_NO_ONE_STEP_SWAP is set. Arguments and output are the
// real command's.
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString baseUrl = qEnvironmentVariable("QL7420_DEMO_BASE_URL");
    const QString signingKeys = qEnvironmentVariable("QL7420_DEMO_SIGNING_KEYS");
    const QString devices = qEnvironmentVariable("QL7420_DEMO_DEVICES");
    const QString devicesFile = qEnvironmentVariable("QL7420_DEMO_DEVICES_FILE");
    const bool oneStepSwap = !qEnvironmentVariableIsSet("QL7420_DEMO_NO_ONE_STEP_SWAP");
    return runCli(app, [&](DeviceEnumerator &enumerator, UpdateFW &check, FirmwareBundle &bundle) {
        bundle.setOneStepSwap(oneStepSwap);
        if (!baseUrl.isEmpty())
            check.setBaseUrl(baseUrl);
        if (!signingKeys.isEmpty())
            check.setSigningKeys(signingKeys.split(QLatin1Char(' '), Qt::SkipEmptyParts));
        enumerator.setPortSource([devices, devicesFile] {
            QString list = devices;
            if (!devicesFile.isEmpty()) {
                QFile file(devicesFile);
                list = file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed()
                                                       : QString();
            }
            QList<PortRecord> ports;
            for (const QString &device : list.split(QLatin1Char(','), Qt::SkipEmptyParts))
                ports.append({device.section(QLatin1Char('='), 0, 0), DeviceEnumerator::VendorId,
                              DeviceEnumerator::ProductId, device.section(QLatin1Char('='), 1)});
            return ports;
        });
    });
}
