#include "transferlock.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcPower, "ql7420.power")

TransferLock &TransferLock::instance()
{
    static TransferLock lock;
    return lock;
}

TransferLock::TransferLock()
{
    connect(&inhibitor, &PowerInhibitor::refused, this, [this](const QString &reason) {
        qCDebug(lcPower).noquote()
            << "sleep and shutdown not blocked during the transfer:" << reason;
        emit unavailable(reason);
    });
}

void TransferLock::acquire()
{
    if (++holders > 1)
        return;
    qCDebug(lcPower) << "blocking sleep and shutdown for the transfer";
    inhibitor.hold();
    emit heldChanged(true);
}

void TransferLock::release()
{
    if (holders == 0 || --holders > 0)
        return;
    qCDebug(lcPower) << "sleep and shutdown no longer blocked";
    inhibitor.release();
    emit heldChanged(false);
}
