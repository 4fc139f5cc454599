#ifndef PROGRESSBOARD_H
#define PROGRESSBOARD_H

#include <QCoreApplication>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTimer>

class Console;
class DeviceUpdate;

// Shows how each device of a run is getting on: on a terminal a line per
// device, redrawn in place at most ten times a second, and a footer below
// them; elsewhere a plain line per device at every tenth of the transfer;
// with --json a progress event at every percent. Devices may come and go.
class ProgressBoard : public QObject
{
    Q_OBJECT

public:
    ProgressBoard(Console &console, const QList<DeviceUpdate *> &devices,
                  QObject *parent = nullptr);
    ~ProgressBoard() override;

    // The device must outlive its place on the board.
    void addDevice(DeviceUpdate *device);
    void removeDevice(DeviceUpdate *device);
    // Shown below the devices on a terminal.
    void setFooter(const QString &text);

private:
    void onProgress(DeviceUpdate *device);
    void redraw();
    QString line(const DeviceUpdate *device) const;

    Console &console;
    QList<DeviceUpdate *> devices;
    QHash<const DeviceUpdate *, int> shownPercent;
    QString footer;
    QTimer redrawTimer;
    bool dirty = false;
};

#endif // PROGRESSBOARD_H
