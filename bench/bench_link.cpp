// The idle cost of the 5 ms poll, how long a reply takes from the device's
// write to the GUI thread, how long an unplugged device takes to be reported
// as a lost link, and how long stopping the port scan holds up the GUI thread
// (the window's close waits for it).
//
//   build/bench/bench_link [idle-seconds] [replies] [unplugs]

#include "device.h"
#include "deviceenumerator.h"
#include "simulatorprocess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
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

// The monotonic times of the simulator's lines of this kind in its write log.
QList<qint64> loggedTimes(const QString &writeLog, const QByteArray &kind)
{
    QList<qint64> times;
    QFile log(writeLog);
    if (!log.open(QIODevice::ReadOnly))
        return times;
    for (const QByteArray &line : log.readAll().split('\n')) {
        if (line.endsWith(' ' + kind))
            times.append(line.split(' ').first().toLongLong());
    }
    return times;
}

// Unplugs the simulated device, each time at a random point of the poll
// cycle after its answer to a version request, and times the lost link from
// the unplug to the GUI thread.
QList<double> lostLinkDelaysMs(int unplugs)
{
    QTemporaryDir scratch;
    const QString writeLog = scratch.filePath("unplugs.log");
    SimulatorProcess simulator;
    if (!simulator.start({"--write-log", writeLog, "--fault", "hangup@version"}))
        return {};
    QList<qint64> reported;
    for (int i = 0; i < unplugs; ++i) {
        Device device;
        QEventLoop lost;
        QObject::connect(&device, &Device::linkLost, &lost, [&] {
            reported.append(monotonicNs());
            lost.quit();
        });
        device.setPortName(simulator.portPath());
        if (!device.open())
            return {};
        runFor(QRandomGenerator::global()->bounded(1, 10));
        device.write(QByteArray::fromHex("0201bbba"));
        QTimer::singleShot(5000, &lost, &QEventLoop::quit);
        lost.exec();
        device.close();
        if (simulator.replug().isEmpty())
            return {};
    }
    const QList<qint64> unplugged = loggedTimes(writeLog, "unplug");
    QList<double> delaysMs;
    for (int i = 0; i < qMin(unplugged.size(), reported.size()); ++i)
        delaysMs.append((reported.at(i) - unplugged.at(i)) / 1e6);
    return delaysMs;
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
    // The link's own lines would bury the figures.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    const int idleSeconds = argc > 1 ? atoi(argv[1]) : 10;
    const int replies = argc > 2 ? atoi(argv[2]) : 400;
    const int unplugs = argc > 3 ? atoi(argv[3]) : 50;

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

    const QList<qint64> writes = loggedTimes(writeLog, "version");
    QList<double> delaysMs;
    for (int i = 0; i < qMin(writes.size(), arrivals.size()); ++i)
        delaysMs.append((arrivals.at(i) - writes.at(i)) / 1e6);
    if (delaysMs.isEmpty()) {
        fprintf(stderr, "bench_link: no replies measured\n");
        return 1;
    }

    const QList<double> lostMs = lostLinkDelaysMs(unplugs);
    if (lostMs.isEmpty()) {
        fprintf(stderr, "bench_link: no lost link measured\n");
        return 1;
    }
    const QList<double> stopTimesMs = scanStopTimesMs(10);

    printf("idle link, %d s: CPU %.3f %% of one core\n", idleSeconds, cpuShare * 100);
    printf("reply delay, device write to GUI thread, %lld replies: median %.2f ms, "
           "p90 %.2f ms, max %.2f ms (poll period 5 ms)\n",
           qlonglong(delaysMs.size()), percentile(delaysMs, 0.5), percentile(delaysMs, 0.9),
           percentile(delaysMs, 1.0));
    printf("lost link, unplug to the GUI thread, %lld unplugs: median %.2f ms, p90 %.2f ms, "
           "max %.2f ms\n",
           qlonglong(lostMs.size()), percentile(lostMs, 0.5), percentile(lostMs, 0.9),
           percentile(lostMs, 1.0));
    printf("stopping the port scan during its pause, %lld stops: median %.2f ms, max %.2f ms\n",
           qlonglong(stopTimesMs.size()), percentile(stopTimesMs, 0.5),
           percentile(stopTimesMs, 1.0));
    return 0;
}
