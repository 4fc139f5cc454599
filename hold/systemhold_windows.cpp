#include "systemhold.h"

#include <windows.h>

namespace {

// Windows asks every top-level window of a program whether the session may
// end, hidden ones too (a message-only window is never asked), and lets a
// program that has no visible window be ended all the same: for the command
// line this is the best it can do.
LRESULT CALLBACK onSessionMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_QUERYENDSESSION) {
        const auto *hold
            = reinterpret_cast<const SystemHold *>(::GetWindowLongPtrW(window, GWLP_USERDATA));
        return hold && hold->transfersRunning() ? FALSE : TRUE;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

} // namespace

struct SystemHold::Native
{
    explicit Native(SystemHold &owner) : owner(owner) { }
    ~Native();

    HWND sessionWindow();

    SystemHold &owner;
    // The hidden window of a front end that gave none; made on first use.
    HWND ownWindow = nullptr;
};

// Only a hold that still runs gives the thread's state back: a controller's
// own hold, unused beside the command line's shared one, goes while the
// shared one still keeps the computer up from the same thread.
SystemHold::Native::~Native()
{
    if (owner.transfersRunning())
        ::SetThreadExecutionState(ES_CONTINUOUS);
    if (ownWindow)
        ::DestroyWindow(ownWindow);
}

// The front end's own window where it has one: Windows may end a program with
// no visible window however it answers.
HWND SystemHold::Native::sessionWindow()
{
    if (owner.window)
        return reinterpret_cast<HWND>(owner.window());
    if (!ownWindow) {
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = onSessionMessage;
        windowClass.hInstance = ::GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"ql7420-fwupdate-session";
        ::RegisterClassW(&windowClass);
        ownWindow
            = ::CreateWindowExW(0, windowClass.lpszClassName, L"ql7420-fwupdate", WS_OVERLAPPED, 0,
                                0, 0, 0, nullptr, nullptr, windowClass.hInstance, nullptr);
        if (ownWindow)
            ::SetWindowLongPtrW(ownWindow, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&owner));
    }
    return ownWindow;
}

SystemHold::SystemHold(QObject *parent) : QObject(parent), native(std::make_unique<Native>(*this))
{ }

SystemHold::~SystemHold() = default;

// Windows counts the execution state per thread and has no answer to wait
// for; every transfer runs in the GUI thread, so one call holds for all of
// them. It holds off the idle timer's sleep only: the lid, the power button
// and Start > Sleep still put the computer to sleep. It returns the thread's
// previous state, of which 0 is one, so its answer is no verdict; and so the
// release gives the state back whatever the hold was told.
void SystemHold::holdSystem()
{
    ::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    // The window that refuses shows this beside its name on the shutdown
    // screen; the window's refusal itself is its answer to the query (Qt's
    // session manager for the window, onSessionMessage for our own).
    const HWND handle = native->sessionWindow();
    if (!handle)
        refuse(QStringLiteral("no window to refuse the session's end through"));
    else if (!::ShutdownBlockReasonCreate(handle, reinterpret_cast<LPCWSTR>(reason.utf16())))
        refuse(QStringLiteral("ShutdownBlockReasonCreate failed: %1")
                   .arg(qt_error_string(int(::GetLastError()))));
}

void SystemHold::releaseSystem()
{
    ::SetThreadExecutionState(ES_CONTINUOUS);
    if (const HWND handle = native->sessionWindow())
        ::ShutdownBlockReasonDestroy(handle);
}
