#include "platformconsole.h"

#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QString>

#include <atomic>
#include <cstdlib>
#include <io.h>
#include <windows.h>

namespace {

// How long a console read that Ctrl-C cut short may come back before the
// handler's thread has said so; Windows starts that thread at once.
constexpr DWORD HandlerWaitMs = 1000;

std::atomic<bool> interrupted {false};
// Set with interrupted, for a thread that waits for the handler's word.
HANDLE interruptSignal = nullptr;
QPointer<QObject> interruptReceiver;
std::function<void(bool closing)> interruptHandler;
UINT originalOutputCodePage = 0;

// Runs in a thread of its own that Windows starts for the event.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    interrupted = true;
    ::SetEvent(interruptSignal);
    const bool closing = event == CTRL_CLOSE_EVENT;
    if (QObject *receiver = interruptReceiver.data())
        QMetaObject::invokeMethod(
            receiver, [closing] { interruptHandler(closing); }, Qt::QueuedConnection);
    // Windows ends the process as soon as the handler of a closed console
    // returns, or after its own limit (about 5 s), whichever comes first.
    // Never returning lets the run end its own way meanwhile: the ports
    // closed, its folder removed, a transfer given every second there is.
    if (event == CTRL_CLOSE_EVENT)
        ::Sleep(INFINITE);
    return TRUE;
}

void restoreOutputCodePage()
{
    ::SetConsoleOutputCP(originalOutputCodePage);
}

} // namespace

namespace PlatformConsole {

void prepare()
{
    if (originalOutputCodePage == 0) {
        originalOutputCodePage = ::GetConsoleOutputCP();
        if (originalOutputCodePage != 0)
            std::atexit(restoreOutputCodePage);
    }
    ::SetConsoleOutputCP(CP_UTF8);
    // The progress is redrawn in place with the terminal's escape sequences.
    const HANDLE errors = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (::GetConsoleMode(errors, &mode))
        ::SetConsoleMode(errors, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

// _isatty takes any character device for a terminal, NUL and COM ports
// included; only a console has a console mode.
bool isTerminal(std::FILE *stream)
{
    DWORD mode = 0;
    return ::GetConsoleMode(reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream))), &mode);
}

// A console older than Windows 10's, or one that refused the mode in
// prepare(), would print the escape sequences as text.
bool redrawsInPlace(std::FILE *stream)
{
    DWORD mode = 0;
    const HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
    return ::GetConsoleMode(handle, &mode) && (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

bool samePortName(const QString &given, const QString &listed)
{
    return given.compare(listed, Qt::CaseInsensitive) == 0;
}

// Greyed, not removed: putting a removed item back means resetting the
// menu, which drops the classic console host's Edit, Defaults and
// Properties from that window for good.
void setClosable(bool closable)
{
    if (const HWND console = ::GetConsoleWindow()) {
        ::EnableMenuItem(::GetSystemMenu(console, FALSE), SC_CLOSE,
                         MF_BYCOMMAND | (closable ? MF_ENABLED : MF_GRAYED));
        ::DrawMenuBar(console);
    }
}

void catchInterrupts(QObject *receiver, std::function<void(bool closing)> onInterrupt)
{
    interruptReceiver = receiver;
    interruptHandler = std::move(onInterrupt);
    if (!interruptSignal)
        interruptSignal = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

bool takeInterrupt(bool afterEmptyRead)
{
    if (afterEmptyRead && !interrupted && interruptSignal)
        ::WaitForSingleObject(interruptSignal, HandlerWaitMs);
    if (interruptSignal)
        ::ResetEvent(interruptSignal);
    return interrupted.exchange(false);
}

} // namespace PlatformConsole
