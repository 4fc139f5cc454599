#ifndef CLICONTEXT_H
#define CLICONTEXT_H

#include "commandline.h"
#include "deviceenumerator.h"
#include "deviceupdate.h"
#include "packets.h"
#include "systemhold.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>

class Console;
class FirmwareBundle;
class QEventLoop;
class UpdateFW;

// What the commands of one run share: the command as it was read, the
// output, the parts that look for devices, check the firmware and save
// bundles, the devices' courses under one hold, and the run's waits in event
// loops of its own, which an interrupt ends. A QObject only to receive the
// signals of those parts; its texts, as the commands' are, are the command
// line's own, in one translation context. GUI thread.
class CliContext : public QObject
{
    Q_DECLARE_TR_FUNCTIONS(CliApplication)

public:
    enum ExitCode {
        Success = 0,
        CheckFailed = 1,
        UsageError = 2,
        NoDevice = 3,
        DeviceFailed = 4,
        Interrupted = 130,
    };

    // What the device holds; the transfer would cut a longer image short, so
    // no bundle may hold one.
    static constexpr qint64 DeviceImageSize = qint64(Packets::BlockCount) * Packets::BlockSize;

    // The parts must outlive the context; it catches the interrupts.
    CliContext(const CliCommand &command, Console &console, DeviceEnumerator &enumerator,
               UpdateFW &check, FirmwareBundle &bundle);
    ~CliContext() override;

    const CliCommand command;
    Console &console;
    DeviceEnumerator &enumerator;
    UpdateFW &check;
    FirmwareBundle &bundle;
    // The courses of the run, ended with it; the ports close with them.
    QList<DeviceUpdate *> devices;

    bool isInterrupted() const { return interrupted; }
    // The code of a command that stopped short for this reason, or for an
    // interrupt.
    int stoppedWith(ExitCode code) const { return interrupted ? Interrupted : code; }
    // An interrupt taken outside the event loop (at the confirmation).
    void interrupt() { interrupted = true; }
    bool transferHasBegun() const { return transferBegun; }
    // Asked of a watch interrupted during a transfer: the transfers run on,
    // and no other device starts.
    void setStopStarting(std::function<void()> stop) { stopStarting = std::move(stop); }

    void warnOfDataLoss();
    void setUpSystemHold();
    DeviceUpdate *addDevice(const PortRecord &port, const UpdateFW *image);
    int countOf(DeviceUpdate::Stage stage) const;
    // The folder of the bundle being checked or saved, as the output names it.
    QString bundlePath() const;

    QString deviceName(const QString &port, const QString &serialNumber) const;
    QJsonObject deviceEvent(const QString &port, const QString &serialNumber) const;
    QString resultLine(const DeviceUpdate::Result &result) const;
    QJsonObject resultEvent(const DeviceUpdate::Result &result) const;

    // Runs the event loop until done() holds, checked whenever wake() is
    // called, or until an interrupt.
    void waitUntil(const std::function<bool()> &done);
    void wake();

private:
    void onInterrupt(bool closing);

    // One for every device: the system is asked once, however many there are.
    SystemHold systemHold;
    QEventLoop *waiting = nullptr;
    std::function<bool()> waitCondition;
    std::function<void()> stopStarting;
    bool interrupted = false;
    bool transferBegun = false;
    bool holdNoteShown = false;
};

#endif // CLICONTEXT_H
