// The idle cost of the 5 ms poll, how long a reply takes from the device's
// write to the GUI thread, and how long stopping the port scan holds up the
// GUI thread (the window's close waits for it).
//
//   build/bench/bench_link [idle-seconds] [replies]

#include "device.h"
#include "deviceenumerator.h"
#include "simulatorprocess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <sys/resource.h>

namespace {

qint64 monotonicNs()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

double percentile(QList<double> values, double share)
{
    std::sort(values.begin(), values.end());
    return values.at(qMin(values.size() - 1, int(share * values.size())));
}

// Stops the scan at random points of its one-second pause.
QList<double> scanStopTimesMs(int rounds)
{
    QList<double> times;
    for (int i = 0; i < rounds; ++i) {
        DeviceEnumerator enumerator;
        enumerator.setPortSource([] { return QList<PortRecord>(); });
        enumerator.startScanning();
        runFor(QRandomGenerator::global()->bounded(50, 950));
        QElapsedTimer stopping;
        stopping.start();
        enumerator.stopScanning();
        times.append(stopping.nsecsElapsed() / 1e6);
    }
    return times;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int idleSeconds = argc > 1 ? atoi(argv[1]) : 10;
    const int replies = argc > 2 ? atoi(argv[2]) : 400;

    QTemporaryDir scratch;
    const QString writeLog = scratch.filePath("writes.log");
    SimulatorProcess simulator;
    if (!simulator.start({"--write-log", writeLog})) {
        fprintf(stderr, "bench_link: the device simulator did not start\n");
        return 1;
    }

    Device device;
    device.setPortName(simulator.portPath());
    if (!device.open()) {
        fprintf(stderr, "bench_link: cannot open %s\n", qPrintable(simulator.portPath()));
        return 1;
    }

    const double cpuBefore = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    runFor(idleSeconds * 1000);
    const double cpuShare = (cpuSeconds() - cpuBefore) / (wall.nsecsElapsed() / 1e9);

    // One version request at a time, each at a random point of the poll cycle.
    QList<qint64> arrivals;
    bool awaiting = false;
    const QByteArray request = QByteArray::fromHex("0201bbba");
    QEventLoop done;
    auto sendNext = [&] {
        awaiting = true;
        device.write(request);
    };
    QObject::connect(&device, &Device::received, &app, [&] {
        if (!awaiting)
            return;
        awaiting = false;
        arrivals.append(monotonicNs());
        if (arrivals.size() == replies)
            done.quit();
        else
            QTimer::singleShot(QRandomGenerator::global()->bounded(1, 10), &app, sendNext);
    });
    sendNext();
    QTimer::singleShot(replies * 100 + 10000, &done, &QEventLoop::quit);
    done.exec();
    device.close();

    QFile log(writeLog);
    if (!log.open(QIODevice::ReadOnly)) {
        fprintf(stderr, "bench_link: no write log from the simulator\n");
        return 1;
    }
    QList<qint64> writes;
    for (const QByteArray &line : log.readAll().split('\n')) {
        if (line.endsWith(" version"))
            writes.append(line.split(' ').first().toLongLong());
    }
    QList<double> delaysMs;
    for (int i = 0; i < qMin(writes.size(), arrivals.size()); ++i)
        delaysMs.append((arrivals.at(i) - writes.at(i)) / 1e6);
    if (delaysMs.isEmpty()) {
        fprintf(stderr, "bench_link: no replies measured\n");
        return 1;
    }

    const QList<double> stopTimesMs = scanStopTimesMs(10);

    printf("idle link, %d s: CPU %.3f %% of one core\n", idleSeconds, cpuShare * 100);
    printf("reply delay, device write to GUI thread, %lld replies: median %.2f ms, "
           "p90 %.2f ms, max %.2f ms (poll period 5 ms)\n",
           qlonglong(delaysMs.size()), percentile(delaysMs, 0.5), percentile(delaysMs, 0.9),
           percentile(delaysMs, 1.0));
    printf("stopping the port scan during its pause, %lld stops: median %.2f ms, max %.2f ms\n",
           qlonglong(stopTimesMs.size()), percentile(stopTimesMs, 0.5),
           percentile(stopTimesMs, 1.0));
    return 0;
}
