#ifndef DEVICEUPDATE_H
#define DEVICEUPDATE_H

#include "controller.h"
#include "deviceenumerator.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

class UpdateFW;

// One device's whole course, as the window would take it: four PC-mode
// requests a second apart, the version request, and, given a verified image,
// the transfer. Each device has a controller, and so a link, of its own, so
// that devices go in parallel without waiting for one another. GUI thread.
class DeviceUpdate : public QObject
{
    Q_OBJECT

public:
    enum Stage { Waiting, Handshake, Transfer, Updated, Failed, Skipped };
    Q_ENUM(Stage)

    // Without an image the course ends once the version is read. The check
    // must outlive this object.
    explicit DeviceUpdate(const PortRecord &attached, const UpdateFW *image = nullptr,
                          QObject *parent = nullptr);

    // Before start(); the hold must outlive this object.
    void shareSystemHold(SystemHold &hold) { controller.shareSystemHold(hold); }
    // Before start(): asked once the version is read for the serial number
    // the host lists on the port now (empty for none). The host gives a
    // freed port's name to the next device plugged in, and the image must
    // reach the unit the course began with. A course without a serial
    // number has nothing to compare, and does not ask.
    void setListedSerial(std::function<QString()> lookup) { listedSerial = std::move(lookup); }
    void start();
    // Ends the course before it starts, for a device that is not to be
    // touched (one already updated, plugged in again).
    void skip(const QString &reason);
    // Ends a course in its handshake whose port now leads to another unit:
    // its own unit was not updated.
    void deviceChanged();

    QString portName() const { return port; }
    // Which unit it is, where the host knows (a service bench must know
    // which one got which firmware); empty otherwise.
    QString serialNumber() const { return serial; }
    Stage stage() const { return current; }
    bool isDone() const { return current >= Updated; }
    // As the device reports it; empty until then.
    QString deviceVersion() const { return version; }
    int percent() const { return progress; }
    // Why it failed or was skipped.
    QString errorString() const { return failure; }
    // Whether it failed because its device was disconnected.
    bool lostItsDevice() const { return disconnected; }
    // From the start to the end, once ended: a device done early is not
    // charged for the others' transfers.
    qint64 elapsedMs() const;
    struct Result;
    Result result() const;

signals:
    void versionRead();
    void transferStarted();
    void progressChanged();
    void finished();

private:
    void handshakeStep();
    void onVersionRead(const QString &deviceVersion);
    void onTimeOut();
    void fail(const QString &reason);
    void finish(Stage stage);

    QString port;
    QString serial;
    const UpdateFW *image = nullptr;
    std::function<QString()> listedSerial;
    Controller controller;
    QTimer handshakeTimer;
    int pcModeRequests = 0;
    Stage current = Waiting;
    QString version;
    int progress = 0;
    QString failure;
    bool disconnected = false;
    QElapsedTimer clock;
    qint64 endedMs = -1;
};

// How a device's course ended, kept once the course itself is gone.
struct DeviceUpdate::Result
{
    QString portName;
    QString serialNumber;
    Stage stage = Waiting;
    QString deviceVersion;
    QString reason;
    qint64 elapsedMs = 0;
};

#endif // DEVICEUPDATE_H
