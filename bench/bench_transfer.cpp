// A whole image transfer against the simulated device: wall time, time per
// block, and how close both come to the floors that the 5 ms poll and the
// wire set.
//
//   build/bench/bench_transfer

#include "controller.h"
#include "firmwarerelease.h"
#include "simulatorprocess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int Blocks = 3376;
constexpr int Exchanges = Blocks + 2;
constexpr double PollFloorSeconds = Exchanges * 0.005;

struct Transfer
{
    double seconds = 0;
    QList<double> blockMs;
};

bool transfer(const QStringList &simulatorArguments, FirmwareRelease &release, Transfer &result)
{
    SimulatorProcess simulator;
    if (!simulator.start(simulatorArguments))
        return false;
    Controller controller;
    controller.updateFW.setBaseUrl(release.baseUrl());
    QSignalSpy verified(&controller.updateFW, &UpdateFW::imageVerified);
    controller.updateFW.checkServerFW();
    if (!verified.wait(30000))
        return false;

    QElapsedTimer clock;
    qint64 previous = -1;
    QObject::connect(&controller, &Controller::progressUpdated, &controller, [&](int) {
        const qint64 now = clock.nsecsElapsed();
        if (previous >= 0)
            result.blockMs.append((now - previous) / 1e6);
        previous = now;
    });
    QSignalSpy finished(&controller, &Controller::upgradeFinished);
    QSignalSpy timeOut(&controller, &Controller::timeOut);
    controller.setPortName(simulator.portPath());
    clock.start();
    controller.startUpgrade();
    while (finished.isEmpty() && timeOut.isEmpty())
        finished.wait(1000);
    result.seconds = clock.nsecsElapsed() / 1e9;
    return !finished.isEmpty();
}

double percentile(QList<double> values, double share)
{
    std::sort(values.begin(), values.end());
    return values.at(qMin(values.size() - 1, int(share * values.size())));
}

void print(const char *title, const Transfer &run, double floorSeconds, const char *floorName)
{
    printf("%s: %.2f s for %d exchanges; per block median %.2f ms, p99 %.2f ms; "
           "wall / %s (%.2f s) = %.3f\n",
           title, run.seconds, Exchanges, percentile(run.blockMs, 0.5),
           percentile(run.blockMs, 0.99), floorName, floorSeconds, run.seconds / floorSeconds);
}

} // namespace

int main(int argc, char **argv)
{
    // The firmware check downloads to fixed names in the temporary folder;
    // keep those of a benchmark away from a real run's.
    QTemporaryDir temporary;
    qputenv("TMPDIR", QFile::encodeName(temporary.path()));
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));

    FirmwareRelease release;
    if (!release.publish(FirmwareRelease::randomImage(Blocks * 64))) {
        fprintf(stderr, "bench_transfer: could not publish the sample release\n");
        return 1;
    }

    Transfer polled;
    if (!transfer({}, release, polled)) {
        fprintf(stderr, "bench_transfer: the transfer did not finish\n");
        return 1;
    }
    print("simulator at full speed", polled, PollFloorSeconds, "poll floor");

    Transfer wire;
    if (!transfer({"--baud", "115200"}, release, wire)) {
        fprintf(stderr, "bench_transfer: the wire-speed transfer did not finish\n");
        return 1;
    }
    const double wireSeconds = (2 * (5 + 6) + Blocks * (71 + 6)) * 10 / 115200.0;
    print("simulator at 115200 baud", wire, wireSeconds + PollFloorSeconds, "wire + poll floor");
    return 0;
}
