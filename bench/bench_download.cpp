// The firmware check against a server that sends one of its files without
// end, or announces it far beyond its limit: for each file, how long the
// check took to fail, and the process's resident memory at its peak. Each
// limit lies below a megabyte, so the check must fail within a second and
// the memory stay where a check that succeeds leaves it.
//
//   build/bench/bench_download

#include "firmwarerelease.h"
#include "updatefw.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QMetaEnum>
#include <QNetworkProxy>
#include <QSignalSpy>

#include <cstdio>

namespace {

// Far longer than a refusal takes: a check still running then was never
// refused.
constexpr int GiveUpMs = 30000;
// Any key of minisign's form makes the check ask for the signature; the
// endless one is refused before anything is verified.
const QString SomeKey = QStringLiteral("RWQa17pY0Y1Ja5R3MczelK2LrSvJrTInCecQLScXswFZPVlHOfPJDQiH");

// The kernel's count of this process's resident memory, in MB: now (VmRSS)
// and at its peak so far (VmHWM), read at one moment.
struct Resident
{
    double now = -1;
    double peak = -1;
};

Resident resident()
{
    Resident memory;
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return memory;
    for (const QByteArray &line : status.readAll().split('\n')) {
        const double mb = line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024;
        if (line.startsWith("VmRSS:"))
            memory.now = mb;
        else if (line.startsWith("VmHWM:"))
            memory.peak = mb;
    }
    return memory;
}

struct Outcome
{
    double seconds = -1;
    QString failure;
};

Outcome check(const QStringList &serverSwitches, bool signedRelease)
{
    Outcome outcome;
    FirmwareRelease release;
    if (!release.publish(FirmwareRelease::randomImage(150000), 12, serverSwitches))
        return outcome;
    UpdateFW check;
    check.useOwnFolder();
    check.setBaseUrl(release.baseUrl());
    if (signedRelease)
        check.setSigningKeys({SomeKey});
    QSignalSpy failed(&check, &UpdateFW::failed);
    QElapsedTimer clock;
    clock.start();
    check.checkServerFW();
    if (!failed.wait(GiveUpMs)) {
        outcome.failure = QStringLiteral("NOT REFUSED");
        return outcome;
    }
    outcome.seconds = clock.nsecsElapsed() / 1e9;
    outcome.failure = QString::fromLatin1(QMetaEnum::fromType<UpdateFW::Failure>().valueToKey(
        failed.first().first().value<UpdateFW::Failure>()));
    return outcome;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));

    // A check that succeeds, for the memory that any check takes.
    {
        FirmwareRelease release;
        UpdateFW check;
        check.useOwnFolder();
        QSignalSpy verified(&check, &UpdateFW::imageVerified);
        if (release.publish(FirmwareRelease::randomImage(UpdateFW::ImageLimit))) {
            check.setBaseUrl(release.baseUrl());
            check.checkServerFW();
            verified.wait(GiveUpMs);
        }
        const Resident memory = resident();
        printf("a whole image (216064 bytes) verified: %s, resident %.1f MB, peak %.1f MB\n",
               verified.isEmpty() ? "FAILED" : "yes", memory.now, memory.peak);
        fflush(stdout);
    }

    for (const char *file : {"version", "image", "signature"}) {
        for (const bool announced : {false, true}) {
            QStringList switches = {QStringLiteral("--endless"), QLatin1String(file)};
            if (announced)
                switches << QStringLiteral("--declare-length") << QStringLiteral("1000000000");
            const Outcome outcome = check(switches, qstrcmp(file, "signature") == 0);
            const Resident memory = resident();
            printf("%-9s %-28s failed after %7.3f s (%s), resident %.1f MB, peak %.1f MB\n", file,
                   announced ? "announcing 1 GB, endless:" : "endless, no Content-Length:",
                   outcome.seconds, qPrintable(outcome.failure), memory.now, memory.peak);
            fflush(stdout);
        }
    }
    return 0;
}
