#ifndef WATCHCOMMAND_H
#define WATCHCOMMAND_H

#include "deviceenumerator.h"
#include "deviceupdate.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QList>

class CliContext;
class ProgressBoard;

// update --watch, a bench's run: the firmware is checked once, then every
// device plugged in is updated as it comes, each on its own, while the
// others go on. A device is known again by its serial number: one updated in
// this run is not updated again, and one that failed is tried again.
class WatchCommand
{
    Q_DECLARE_TR_FUNCTIONS(CliApplication)

public:
    explicit WatchCommand(CliContext &context);
    ~WatchCommand();

    int run();

private:
    void onDevicesListed(const QList<PortRecord> &listed);
    void onDeviceAppeared(const PortRecord &unit);
    void onDeviceLeft(const PortRecord &unit);
    void onDeviceFinished(DeviceUpdate *device);
    void startWaitingDevices();
    void stopStarting();
    void leaveUnstarted(const QString &reason);
    void forgetDevice(DeviceUpdate *device);
    bool isPlugged(const PortRecord &unit) const;
    DeviceUpdate *courseOf(const PortRecord &unit) const;
    bool portInUse(const QString &port) const;
    QString serialListedOn(const QString &port);
    int runningCount() const;
    bool ending() const;
    void tellResult(const DeviceUpdate::Result &result);
    void recordResult(const DeviceUpdate::Result &result);
    void showTally(bool asNote);
    int summarize();

    CliContext &context;
    // The devices plugged in, each as it appeared, by its port and its
    // serial number (the host gives a freed port's name to the next device
    // plugged in); each device's last result (by its serial number where it
    // has one); and how many attempts ended each way.
    ProgressBoard *board = nullptr;
    QList<PortRecord> plugged;
    QList<DeviceUpdate::Result> results;
    int updatedCount = 0;
    int failedCount = 0;
    int skippedCount = 0;
    bool stopping = false;
};

#endif // WATCHCOMMAND_H
