// A bench's long watch: the command line's `update --watch` in this process,
// over four simulated devices, as on a four-port hub, each plugged in again
// and again as another unit (a serial number of its own), updated, and
// unplugged, until a hundred are updated. Prints, every ten devices, this
// process's resident memory, open descriptors and threads, which should stay
// flat; and first the CPU the watch takes while it waits with nothing
// plugged in.
//   bench_watch [devices, default 100]

#include "benchclock.h"
#include "cliapplication.h"
#include "deviceenumerator.h"
#include "firmwarerelease.h"
#include "simulatorprocess.h"
#include "updatefw.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

constexpr int Blocks = 3376;
constexpr int IdleSeconds = 10;
constexpr int HubPorts = 4;

// A field of /proc/self/status, such as VmRSS (in kB) or Threads.
long statusField(const char *name)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(name) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').first().toLong();
    }
    return -1;
}

long openDescriptors()
{
    return long(QDir(QStringLiteral("/proc/self/fd"))
                    .entryList(QDir::NoDotAndDotDot | QDir::System)
                    .size());
}

// What the enumerator lists: each hub port's device, set by the thread that
// plugs it in and out.
struct Hub
{
    QMutex mutex;
    PortRecord ports[HubPorts];

    void plug(int slot, const PortRecord &port)
    {
        QMutexLocker locker(&mutex);
        ports[slot] = port;
    }
    QList<PortRecord> plugged()
    {
        QMutexLocker locker(&mutex);
        QList<PortRecord> listed;
        for (const PortRecord &port : ports) {
            if (!port.portName.isEmpty())
                listed.append(port);
        }
        return listed;
    }
};

bool waitFor(SimulatorProcess &simulator, const char *field, int value, int limitMs)
{
    QElapsedTimer clock;
    clock.start();
    while (simulator.report().value(QLatin1String(field)).toInt() < value) {
        if (clock.elapsed() > limitMs)
            return false;
        QThread::msleep(200);
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    const int devices = argc > 1 ? atoi(argv[1]) : 100;

    const QByteArray image = FirmwareRelease::randomImage(Blocks * 64);
    FirmwareRelease release;
    if (!release.publish(image)) {
        fprintf(stderr, "bench_watch: could not publish the sample release\n");
        return 1;
    }
    Hub hub;
    std::FILE *discard = std::fopen("/dev/null", "w");
    CliApplication cli(
        {QStringLiteral("bench_watch"), QStringLiteral("update"), QStringLiteral("--watch"),
         QStringLiteral("--count"), QString::number(devices)},
        discard, discard, [&](DeviceEnumerator &enumerator, UpdateFW &check, FirmwareBundle &) {
            check.setBaseUrl(release.baseUrl());
            enumerator.setPortSource([&hub] { return hub.plugged(); });
        });

    std::atomic<bool> failed {false};
    std::atomic<int> nextDevice {1};
    std::atomic<int> updated {0};
    QElapsedTimer clock;
    // Each simulator is driven from its own thread alone.
    const auto plugAgainAndAgain = [&](int slot) {
        SimulatorProcess simulator;
        if (!simulator.start()) {
            failed = true;
            return;
        }
        QThread::msleep(slot * 5000);
        for (int n = nextDevice++; n <= devices && !failed; n = nextDevice++) {
            const int before = simulator.report().value(QLatin1String("endCommands")).toInt();
            hub.plug(slot,
                     {simulator.portPath(), DeviceEnumerator::VendorId, DeviceEnumerator::ProductId,
                      QStringLiteral("BENCH-%1").arg(n, 3, 10, QLatin1Char('0'))});
            if (!waitFor(simulator, "endCommands", before + 1, 120000)) {
                failed = true;
                fprintf(stderr, "bench_watch: device %d was not updated\n", n);
                return;
            }
            // The result told, then the device taken away and seen gone.
            QThread::msleep(1500);
            hub.plug(slot, {});
            QThread::msleep(1500);
            const int done = ++updated;
            if (done == 1 || done % 10 == 0) {
                printf("%7d  %11ld  %11ld  %7ld  %7.0f\n", done, statusField("VmRSS"),
                       openDescriptors(), statusField("Threads"), clock.elapsed() / 1000.0);
                fflush(stdout);
            }
        }
    };
    std::thread bench([&] {
        QThread::sleep(3);
        const double idleBefore = clockSeconds(CLOCK_PROCESS_CPUTIME_ID);
        QThread::sleep(IdleSeconds);
        printf("waiting with nothing plugged in: %.3f %% of a core\n",
               (clockSeconds(CLOCK_PROCESS_CPUTIME_ID) - idleBefore) / IdleSeconds * 100);
        printf("devices  resident kB  descriptors  threads  seconds\n");
        fflush(stdout);
        clock.start();
        std::vector<std::thread> ports;
        for (int slot = 0; slot < HubPorts; ++slot)
            ports.emplace_back(plugAgainAndAgain, slot);
        for (std::thread &port : ports)
            port.join();
    });
    const int exitCode = cli.run();
    bench.join();
    std::fclose(discard);
    if (failed || exitCode != 0) {
        fprintf(stderr, "bench_watch: the watch ended with %d\n", exitCode);
        return 1;
    }
    return 0;
}
