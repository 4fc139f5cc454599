#include "systemhold.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcPower, "ql7420.power")

void SystemHold::setWindow(const NativeWindow &handle)
{
    window = handle;
}

void SystemHold::setReason(const QString &text)
{
    reason = text;
}

void SystemHold::transferStarted(const QObject *transfer)
{
    const bool wasRunning = transfersRunning();
    transfers.insert(transfer);
    if (wasRunning)
        return;
    qCDebug(lcPower) << "holding off sleep and the session's end for the transfer";
    holdSystem();
    emit transfersRunningChanged(true);
}

void SystemHold::transferEnded(const QObject *transfer)
{
    if (!transfers.remove(transfer) || transfersRunning())
        return;
    qCDebug(lcPower) << "sleep and the session's end no longer held off";
    releaseSystem();
    emit transfersRunningChanged(false);
}

void SystemHold::refuse(const QString &why)
{
    qCDebug(lcPower).noquote() << "not held off during the transfer:" << why;
    emit refused(why);
}
