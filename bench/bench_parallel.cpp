// Several devices updated at once through the command line's engine: one
// firmware check, then a DeviceUpdate per simulated device, each with its
// own link polling every 5 ms, all driven from one thread. Prints, for 1, 2,
// 4 and 8 devices, the wall time from the start of the handshakes to the
// last device updated, its ratio to one device, and this process's CPU time
// per device (the simulators' own is not counted).
//   bench_parallel [largest N, default 8]

#include "benchclock.h"
#include "deviceupdate.h"
#include "firmwarerelease.h"
#include "simulatorprocess.h"
#include "updatefw.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QSignalSpy>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int Blocks = 3376;

struct Round
{
    double wallSeconds = 0;
    double transferSeconds = 0;
    double cpuSecondsPerDevice = 0;
};

bool updateAll(int count, const UpdateFW &check, const QString &expectedMd5, Round &round)
{
    std::vector<std::unique_ptr<SimulatorProcess>> simulators;
    std::vector<std::unique_ptr<DeviceUpdate>> devices;
    for (int i = 0; i < count; ++i) {
        simulators.push_back(std::make_unique<SimulatorProcess>());
        if (!simulators.back()->start())
            return false;
        devices.push_back(
            std::make_unique<DeviceUpdate>(PortRecord {simulators.back()->portPath()}, &check));
    }

    int finished = 0;
    qint64 firstTransferMs = -1;
    QElapsedTimer clock;
    for (auto &device : devices) {
        QObject::connect(device.get(), &DeviceUpdate::transferStarted, device.get(), [&] {
            if (firstTransferMs < 0)
                firstTransferMs = clock.elapsed();
        });
        QObject::connect(device.get(), &DeviceUpdate::finished, device.get(), [&] {
            if (++finished == count)
                QCoreApplication::exit(0);
        });
    }
    const double cpuBefore = clockSeconds(CLOCK_PROCESS_CPUTIME_ID);
    clock.start();
    for (auto &device : devices)
        device->start();
    QCoreApplication::exec();
    round.wallSeconds = clock.elapsed() / 1000.0;
    round.transferSeconds = (clock.elapsed() - firstTransferMs) / 1000.0;
    round.cpuSecondsPerDevice = (clockSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuBefore) / count;

    for (int i = 0; i < count; ++i) {
        if (devices[i]->stage() != DeviceUpdate::Updated) {
            fprintf(stderr, "bench_parallel: device %d failed: %s\n", i,
                    qPrintable(devices[i]->errorString()));
            return false;
        }
        if (simulators[i]->report().value("imageMd5").toString() != expectedMd5) {
            fprintf(stderr, "bench_parallel: device %d holds another image\n", i);
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    const int largest = argc > 1 ? atoi(argv[1]) : 8;

    const QByteArray image = FirmwareRelease::randomImage(Blocks * 64);
    FirmwareRelease release;
    if (!release.publish(image)) {
        fprintf(stderr, "bench_parallel: could not publish the sample release\n");
        return 1;
    }
    UpdateFW check;
    // Away from a real run's downloads, as the command line's are.
    check.useOwnFolder();
    check.setBaseUrl(release.baseUrl());
    QSignalSpy verified(&check, &UpdateFW::imageVerified);
    check.checkServerFW();
    if (!verified.wait(30000)) {
        fprintf(stderr, "bench_parallel: the firmware check failed: %s\n",
                qPrintable(check.errorString()));
        return 1;
    }
    const QString expectedMd5 = FirmwareRelease::md5(FirmwareRelease::deviceImage(image));

    printf("devices  wall (handshake + transfer)  ratio to 1  transfer phase  CPU per device\n");
    double single = 0;
    for (int count = 1; count <= largest; count *= 2) {
        Round round;
        if (!updateAll(count, check, expectedMd5, round))
            return 1;
        if (count == 1)
            single = round.wallSeconds;
        printf("%7d  %25.2f s  %10.3f  %12.2f s  %12.3f s\n", count, round.wallSeconds,
               round.wallSeconds / single, round.transferSeconds, round.cpuSecondsPerDevice);
        fflush(stdout);
    }
    return 0;
}
