#ifndef TRANSFERLOCK_H
#define TRANSFERLOCK_H

#include "powerinhibitor.h"

#include <QObject>
#include <QString>

// The one hold on the computer's sleep and shutdown that every transfer in
// the process shares: taken when the first transfer starts, given back when
// the last one ends, so that several devices updated at once ask the system
// once. Each controller takes and gives back its own share. GUI thread.
class TransferLock : public QObject
{
    Q_OBJECT

public:
    static TransferLock &instance();

    void acquire();
    void release();
    bool isHeld() const { return holders > 0; }

signals:
    // Whether any transfer runs: the front ends block the session's end
    // through their own windows while it does.
    void heldChanged(bool held);
    // The system would not hold the computer awake; the transfers go on.
    void unavailable(QString reason);

private:
    TransferLock();

    int holders = 0;
    PowerInhibitor inhibitor;
};

#endif // TRANSFERLOCK_H
