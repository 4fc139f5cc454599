#ifndef CLIAPPLICATION_H
#define CLIAPPLICATION_H

#include "commandline.h"
#include "console.h"
#include "deviceenumerator.h"
#include "deviceupdate.h"
#include "firmwarebundle.h"
#include "systemhold.h"
#include "updatefw.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QStringList>

#include <cstdio>
#include <functional>

class ProgressBoard;
class QCoreApplication;
class QEventLoop;

// One run of the command line: reads the command, checks the firmware
// server (or a bundle saved from it), finds the devices, asks for
// confirmation and updates them all at once, then tells how each fared; or,
// on a bench, waits for devices and updates each as it is plugged in. The
// exit code tells scripts the outcome. GUI thread; waits in event loops of
// its own, so that tests can run it in their own process.
class CliApplication : public QObject
{
    Q_OBJECT

public:
    enum ExitCode {
        Success = 0,
        CheckFailed = 1,
        UsageError = 2,
        NoDevice = 3,
        DeviceFailed = 4,
        Interrupted = 130,
    };

    // Hands a test or the demo the parts that look for devices, check the
    // firmware server and save bundles, to point them at simulated ports and
    // a loopback server, or to take a file system's other way, through their
    // own setters. The shipped command passes none. The window takes the
    // first two.
    using Seams = std::function<void(DeviceEnumerator &enumerator, UpdateFW &check,
                                     FirmwareBundle &bundle)>;

    explicit CliApplication(const QStringList &arguments, std::FILE *out = stdout,
                            std::FILE *err = stderr, const Seams &seams = {},
                            QObject *parent = nullptr);
    ~CliApplication() override;

    int run();

private:
    int runCheck();
    int runList();
    int runUpdate();
    int runFetch();
    bool checkFirmware();
    QString bundlePath() const;
    QJsonObject sourceFields() const;
    QList<PortRecord> chooseDevices(int *refusal);
    void warnOfDataLoss();
    bool confirm(const QList<PortRecord> &ports);
    void setUpSystemHold();
    DeviceUpdate *addDevice(const PortRecord &port, const UpdateFW *image);
    int runDevices(const QList<PortRecord> &ports, const UpdateFW *image);
    int runWatch();
    void onDevicesListed(const QList<PortRecord> &listed);
    void onDeviceAppeared(const PortRecord &unit);
    void onDeviceLeft(const PortRecord &unit);
    void onWatchedDeviceFinished(DeviceUpdate *device);
    void startWaitingDevices();
    void leaveUnstarted(const QString &reason);
    void forgetDevice(DeviceUpdate *device);
    bool isPlugged(const PortRecord &unit) const;
    DeviceUpdate *courseOf(const PortRecord &unit) const;
    bool portInUse(const QString &port) const;
    QString serialListedOn(const QString &port);
    int countOf(DeviceUpdate::Stage stage) const;
    int runningCount() const;
    bool watchEnding() const;
    void tellResult(const DeviceUpdate::Result &result);
    void recordResult(const DeviceUpdate::Result &result);
    void showTally(bool asNote);
    QString deviceName(const QString &port, const QString &serialNumber) const;
    QJsonObject deviceEvent(const QString &port, const QString &serialNumber) const;
    QString resultLine(const DeviceUpdate::Result &result) const;
    QJsonObject resultEvent(const DeviceUpdate::Result &result) const;
    void onInterrupt(bool closing);
    // Runs the event loop until done() holds, checked whenever wake() is
    // called, or until an interrupt.
    void waitUntil(const std::function<bool()> &done);
    void wake();

    QStringList arguments;
    std::FILE *out;
    std::FILE *err;
    CliCommand command;
    Console *console = nullptr;
    DeviceEnumerator enumerator;
    UpdateFW check;
    FirmwareBundle bundle;
    // One for every device: the system is asked once, however many there are.
    SystemHold systemHold;
    QList<DeviceUpdate *> devices;
    QEventLoop *waiting = nullptr;
    std::function<bool()> waitCondition;
    bool interrupted = false;
    bool transferBegun = false;
    bool holdNoteShown = false;

    // update --watch: the devices plugged in, each as it appeared, by its
    // port and its serial number (the host gives a freed port's name to the
    // next device plugged in); each device's last result (by its serial
    // number where it has one); and how many attempts ended each way.
    ProgressBoard *board = nullptr;
    QList<PortRecord> plugged;
    QList<DeviceUpdate::Result> watchResults;
    int updatedCount = 0;
    int failedCount = 0;
    int skippedCount = 0;
    bool stopWatching = false;
};

// The command line's whole run on an existing application object: its
// translation, its arguments, its exit code. The seams go to the run.
int runCli(QCoreApplication &app, const CliApplication::Seams &seams = {});

#endif // CLIAPPLICATION_H
