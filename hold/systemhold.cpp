#include "systemhold.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcHold, "ql7420.hold")

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
    qCDebug(lcHold) << "holding off sleep and the session's end for the transfer";
    holdSystem();
    emit transfersRunningChanged(true);
}

void SystemHold::transferEnded(const QObject *transfer)
{
    if (!transfers.remove(transfer) || transfersRunning())
        return;
    qCDebug(lcHold) << "sleep and the session's end no longer held off";
    releaseSystem();
    emit transfersRunningChanged(false);
}

void SystemHold::refuse(const QString &why)
{
    qCDebug(lcHold).noquote() << "not held off during the transfer:" << why;
    emit refused(why);
}
