#include "powerinhibitor.h"

#include <windows.h>

// Windows counts the request per thread and has no answer to wait for;
// every transfer runs in the GUI thread, so one call holds for all of them.
// Shutdown and log-off are blocked by the front ends' windows, which Windows
// asks.
PowerInhibitor::PowerInhibitor(QObject *parent) : QObject(parent) { }

PowerInhibitor::~PowerInhibitor()
{
    release();
}

void PowerInhibitor::hold()
{
    if (wanted)
        return;
    wanted = true;
    if (::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) == 0)
        emit refused(QStringLiteral("SetThreadExecutionState refused the request"));
}

void PowerInhibitor::release()
{
    if (!wanted)
        return;
    wanted = false;
    ::SetThreadExecutionState(ES_CONTINUOUS);
}
