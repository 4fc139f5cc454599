#include "platformconsole.h"

#include <QMetaObject>
#include <QObject>
#include <QPointer>

#include <atomic>
#include <io.h>
#include <windows.h>

namespace {

std::atomic<bool> interrupted {false};
QPointer<QObject> interruptReceiver;
std::function<void()> interruptHandler;

// Runs in a thread of its own that Windows starts for the event.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    interrupted = true;
    if (QObject *receiver = interruptReceiver.data())
        QMetaObject::invokeMethod(
            receiver, [] { interruptHandler(); }, Qt::QueuedConnection);
    // Handled: the process goes on. Windows still ends it a few seconds
    // after the console window is closed, whatever this returns.
    return TRUE;
}

} // namespace

namespace PlatformConsole {

void prepare()
{
    ::SetConsoleOutputCP(CP_UTF8);
    // The progress is redrawn in place with the terminal's escape sequences.
    const HANDLE errors = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (::GetConsoleMode(errors, &mode))
        ::SetConsoleMode(errors, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

bool isTerminal(std::FILE *stream)
{
    return ::_isatty(::_fileno(stream)) != 0;
}

void catchInterrupts(QObject *receiver, std::function<void()> onInterrupt)
{
    interruptReceiver = receiver;
    interruptHandler = std::move(onInterrupt);
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

bool takeInterrupt()
{
    return interrupted.exchange(false);
}

} // namespace PlatformConsole
