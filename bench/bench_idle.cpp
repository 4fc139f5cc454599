// What the port scan costs while nothing happens, against the host's real
// ports: the CPU of one full listing and of one fingerprint, then the whole
// enumerator's share of a core with every tick a full listing (no
// fingerprint) and as it runs in the tool.
//
//   build/bench/bench_idle [idle-seconds]

#include "benchclock.h"
#include "deviceenumerator.h"
#include "portfingerprint.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace {

// Mean CPU seconds of one call.
template <typename Call> double cpuPerCall(int calls, Call call)
{
    const double start = clockSeconds(CLOCK_PROCESS_CPUTIME_ID);
    for (int i = 0; i < calls; ++i)
        call();
    return (clockSeconds(CLOCK_PROCESS_CPUTIME_ID) - start) / calls;
}

struct IdleFigures
{
    double coreShare = 0;
    int ticks = 0;
};

// A fresh enumerator left alone for the given time, its reports delivered to
// this thread as they are to the window.
IdleFigures idleRun(int seconds, bool fullListingEveryTick)
{
    IdleFigures figures;
    DeviceEnumerator enumerator;
    if (fullListingEveryTick)
        enumerator.setPortSource(DeviceEnumerator::hostPorts);
    QObject receiver;
    QObject::connect(&enumerator, &DeviceEnumerator::deviceAvailable, &receiver,
                     [&figures] { ++figures.ticks; });
    QObject::connect(&enumerator, &DeviceEnumerator::deviceNotFound, &receiver,
                     [&figures] { ++figures.ticks; });

    const double cpuStart = clockSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const double wallStart = clockSeconds(CLOCK_MONOTONIC);
    enumerator.startScanning();
    QEventLoop idle;
    QTimer::singleShot(seconds * 1000, &idle, &QEventLoop::quit);
    idle.exec();
    enumerator.stopScanning();
    QCoreApplication::processEvents();
    figures.coreShare = (clockSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuStart)
        / (clockSeconds(CLOCK_MONOTONIC) - wallStart);
    return figures;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int idleSeconds = argc > 1 ? std::atoi(argv[1]) : 60;

    // The first listing loads what the later ones reuse.
    const qsizetype ports = DeviceEnumerator::hostPorts().size();
    const double listingCpu = cpuPerCall(50, [] { DeviceEnumerator::hostPorts(); });
    const std::optional<std::string> first = PortFingerprint::current();
    bool steady = true;
    const double fingerprintCpu = cpuPerCall(
        5000, [&first, &steady] { steady = steady && PortFingerprint::current() == first; });

    printf("full listing (QSerialPortInfo::availablePorts, %lld ports): %.3f ms CPU per tick\n",
           qlonglong(ports), listingCpu * 1e3);
    printf("fingerprint (%s): %.2f us CPU per tick, %.0f times cheaper\n",
           !first ? "unavailable: every tick lists in full"
                  : (steady ? "steady while nothing changes" : "CHANGED while nothing changed"),
           fingerprintCpu * 1e6, listingCpu / fingerprintCpu);
    fflush(stdout);

    const IdleFigures before = idleRun(idleSeconds, true);
    printf("idle, %d s, full listing every tick: CPU %.3f %% of one core (%d ticks)\n", idleSeconds,
           before.coreShare * 100, before.ticks);
    fflush(stdout);
    const IdleFigures after = idleRun(idleSeconds, false);
    printf("idle, %d s, fingerprint first:       CPU %.3f %% of one core (%d ticks), "
           "%.1f times less\n",
           idleSeconds, after.coreShare * 100, after.ticks, before.coreShare / after.coreShare);
    return 0;
}
