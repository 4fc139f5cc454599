#include "shutdownblock.h"

#include "transferlock.h"

#include <QWidget>

#include <windows.h>

namespace {

// Shown by Windows beside the window's name when a log-off or shutdown waits
// for it.
const wchar_t Reason[] = L"FW更新中です。更新が終わるまでお待ちください。";

} // namespace

ShutdownBlock::ShutdownBlock(QWidget *window) : QObject(window), window(window)
{
    connect(&TransferLock::instance(), &TransferLock::heldChanged, this, &ShutdownBlock::follow);
}

void ShutdownBlock::follow(bool transferRunning)
{
    const HWND handle = reinterpret_cast<HWND>(window->winId());
    if (transferRunning)
        ::ShutdownBlockReasonCreate(handle, Reason);
    else
        ::ShutdownBlockReasonDestroy(handle);
}
