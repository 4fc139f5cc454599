#include "demopilot.h"
#include "deviceenumerator.h"
#include "startup.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>

// The tool's own start-up, pointed at a loopback firmware server and a
// simulated device, with a pilot that plays the user.
int main(int argc, char *argv[])
{
    QApplication app(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Runs the QL-7420 firmware update tool unattended against a simulated "
                       "device and a loopback firmware server."));
    parser.addHelpOption();
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("Serial port of the (simulated) device."),
                                        QStringLiteral("PATH"));
    const QCommandLineOption baseUrlOption(
        QStringLiteral("base-url"),
        QStringLiteral("Firmware server base URL, e.g. http://127.0.0.1:8000/data."),
        QStringLiteral("URL"));
    const QCommandLineOption screenshotOption(QStringLiteral("screenshots"),
                                              QStringLiteral("Folder for the screenshots."),
                                              QStringLiteral("DIR"));
    parser.addOptions({portOption, baseUrlOption, screenshotOption});
    parser.process(app);
    if (!parser.isSet(portOption) || !parser.isSet(baseUrlOption)) {
        std::fputs("ql7420-fwupdate-demo: --port and --base-url are required\n", stderr);
        return 2;
    }

    const QString port = parser.value(portOption);
    const QString baseUrl = parser.value(baseUrlOption);
    const auto seams = [&](DeviceEnumerator &enumerator, UpdateFW &check) {
        check.setBaseUrl(baseUrl);
        enumerator.setPortSource([port] {
            PortRecord device;
            device.portName = port;
            device.vendorID = DeviceEnumerator::VendorId;
            device.productID = DeviceEnumerator::ProductId;
            return QList<PortRecord> {device};
        });
    };

    DemoPilot pilot(parser.value(screenshotOption));
    const int result = runTool(app, seams);
    return pilot.outcome() != 0 ? pilot.outcome() : result;
}
