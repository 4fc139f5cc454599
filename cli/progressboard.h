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
// device, redrawn in place at most ten times a second; elsewhere a plain
// line per device at every tenth of the transfer; with --json a progress
// event at every percent.
class ProgressBoard : public QObject
{
    Q_OBJECT

public:
    ProgressBoard(Console &console, const QList<DeviceUpdate *> &devices,
                  QObject *parent = nullptr);
    ~ProgressBoard() override;

private:
    void onProgress(DeviceUpdate *device);
    void redraw();
    QString line(const DeviceUpdate *device) const;

    Console &console;
    QList<DeviceUpdate *> devices;
    QHash<const DeviceUpdate *, int> shownPercent;
    QTimer redrawTimer;
    bool dirty = false;
};

#endif // PROGRESSBOARD_H
