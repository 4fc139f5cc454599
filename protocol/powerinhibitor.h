#ifndef POWERINHIBITOR_H
#define POWERINHIBITOR_H

#include <QObject>
#include <QString>

// Asks the system to keep the computer from sleeping, and from shutting down
// or logging off where the system lets a program block that, for as long as
// it is held: a logind inhibitor lock on Linux, the thread's execution state
// on Windows. One source file per system. Holding never fails the caller:
// what the system refuses is reported, and the work goes on unprotected.
// GUI thread.
class PowerInhibitor : public QObject
{
    Q_OBJECT

public:
    explicit PowerInhibitor(QObject *parent = nullptr);
    ~PowerInhibitor() override;

    // Asks without waiting for the answer; a second hold() while held or
    // asked does nothing.
    void hold();
    // Gives the hold back at once, or, while the system has not answered
    // yet, as soon as it does.
    void release();

signals:
    // The system did not grant the hold, in its own words.
    void refused(QString reason);

private:
    bool wanted = false;
    bool asking = false;
    // The system's handle on the hold, where it gives one (logind's
    // descriptor); -1 while none is held.
    int handle = -1;
};

#endif // POWERINHIBITOR_H
