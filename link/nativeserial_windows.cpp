#include "nativeserial_windows.h"

#include <timeapi.h>

#include <algorithm>
#include <atomic>

namespace {

// A write that cannot hand its bytes over within this time finds a port that
// stopped draining (a device gone, a peer that stopped reading); the reply
// window then reports the failure, so waiting longer only freezes the window.
constexpr DWORD WriteTimeoutMs = 1000;

// The link polls every 5 ms; at the default timer resolution a 5 ms sleep
// lasts a whole 15.6 ms tick and a transfer takes three times as long.
constexpr UINT TimerResolutionMs = 1;

// SetProcessInformation's power throttling, as Windows 11's SDK declares it;
// older MinGW headers lack the timer's flag.
constexpr int ProcessPowerThrottlingClass = 4;
constexpr ULONG PowerThrottlingVersion = 1;
constexpr ULONG IgnoreTimerResolution = 0x4;
struct PowerThrottlingState
{
    ULONG version;
    ULONG controlMask;
    ULONG stateMask;
};
using SetProcessInformationCall = BOOL(WINAPI *)(HANDLE, int, LPVOID, DWORD);

// How a call that Windows refused is taken. usbser.sys fails a write that
// the device held off past the write time-out with a time-out error, where
// the classic driver returns it short; after an unplug each driver fails
// calls with an error of its own. An error named nowhere here is a port that
// refused the call, from which nothing more can be expected either.
const struct
{
    DWORD code;
    NativeSerial::WriteResult result;
} CallFailures[] = {
    {ERROR_SEM_TIMEOUT, NativeSerial::WriteResult::Stalled},
    {ERROR_COUNTER_TIMEOUT, NativeSerial::WriteResult::Stalled},
    {ERROR_TIMEOUT, NativeSerial::WriteResult::Stalled},
    {ERROR_BAD_COMMAND, NativeSerial::WriteResult::Gone},
    {ERROR_GEN_FAILURE, NativeSerial::WriteResult::Gone},
    {ERROR_ACCESS_DENIED, NativeSerial::WriteResult::Gone},
    {ERROR_DEVICE_NOT_CONNECTED, NativeSerial::WriteResult::Gone},
    {ERROR_OPERATION_ABORTED, NativeSerial::WriteResult::Gone},
    {ERROR_DEVICE_REMOVED, NativeSerial::WriteResult::Gone},
};

std::wstring devicePath(const std::string &portName)
{
    // COM10 and above open only through the device namespace, and COM1 to
    // COM9 open there too; names already in it are used as they are.
    const std::string prefix = R"(\\.\)";
    const std::string path = portName.rfind(prefix, 0) == 0 ? portName : prefix + portName;
    const int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(),
                                             int(path.size()), nullptr, 0);
    if (length <= 0)
        return {};
    std::wstring wide(size_t(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), int(path.size()), wide.data(),
                          length);
    return wide;
}

bool configure(HANDLE port, const DCB &current)
{
    // A driver that cannot say leaves 0, and so limits that fit any queue.
    COMMPROP properties {};
    if (!::GetCommProperties(port, &properties))
        properties.dwCurrentRxQueue = 0;
    DCB settings = NativeSerial::deviceSettings(current, properties.dwCurrentRxQueue);
    if (!::SetCommState(port, &settings))
        return false;

    // Reads return at once with whatever has arrived; a write as a whole
    // either finishes or times out, however many bytes it carries.
    COMMTIMEOUTS timeouts {};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.WriteTotalTimeoutConstant = WriteTimeoutMs;
    return ::SetCommTimeouts(port, &timeouts);
}

// The system's own message for an error code, in UTF-8 without the line
// break that FormatMessage ends it with.
std::string systemMessage(DWORD code)
{
    wchar_t *buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    std::string message;
    if (length > 0) {
        const int size
            = ::WideCharToMultiByte(CP_UTF8, 0, buffer, int(length), nullptr, 0, nullptr, nullptr);
        message.resize(size_t(size > 0 ? size : 0));
        ::WideCharToMultiByte(CP_UTF8, 0, buffer, int(length), message.data(), size, nullptr,
                              nullptr);
    }
    ::LocalFree(buffer);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
        message.pop_back();
    return message.empty() ? "system error " + std::to_string(code) : message;
}

HANDLE toPort(NativeSerial::Handle handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

// A read or a look at the port that failed, taken as a write's failure is:
// a port that has gone reports so at once, one that only timed out has
// nothing to read yet.
std::int64_t readFailure(DWORD code, std::string &error)
{
    if (NativeSerial::callFailure(code) == NativeSerial::WriteResult::Stalled)
        return 0;
    error = systemMessage(code);
    return -1;
}

} // namespace

namespace NativeSerial {

DCB deviceSettings(DCB settings, DWORD inputQueue)
{
    settings.BaudRate = CBR_115200;
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    settings.fBinary = TRUE;
    settings.fParity = FALSE;
    settings.fOutxCtsFlow = FALSE;
    settings.fOutxDsrFlow = FALSE;
    settings.fDsrSensitivity = FALSE;
    settings.fOutX = FALSE;
    settings.fInX = FALSE;
    settings.fErrorChar = FALSE;
    settings.fNull = FALSE;
    settings.fAbortOnError = FALSE;
    // GetCommState reports whatever the driver or the last program left;
    // a device that waits for DTR would otherwise never answer.
    settings.fDtrControl = DTR_CONTROL_ENABLE;
    settings.fRtsControl = RTS_CONTROL_ENABLE;
    // Unused without flow control, yet checked by SetCommState all the same:
    // it refuses equal XON and XOFF characters (some USB virtual COM drivers
    // report both as 0), and the classic driver refuses a limit beyond its
    // queue. A quarter of the queue each way fits whatever queue it has.
    settings.XonChar = 0x11;
    settings.XoffChar = 0x13;
    const WORD limit = WORD(std::min<DWORD>(inputQueue / 4, 0xFFFF));
    settings.XonLim = limit;
    settings.XoffLim = limit;
    return settings;
}

WriteResult callFailure(DWORD code)
{
    for (const auto &failure : CallFailures) {
        if (failure.code == code)
            return failure.result;
    }
    return WriteResult::Gone;
}

TimerAnswer timerAnswer(DWORD code)
{
    switch (code) {
    case ERROR_SUCCESS:
        return TimerAnswer::Kept;
    // Only Windows 11 coarsens the timer of a hidden process, and only it
    // knows the flag that stops it: Windows 10 and 8 refuse the flag or the
    // class as an invalid parameter, Windows 7 has no such call.
    case ERROR_INVALID_PARAMETER:
    case ERROR_PROC_NOT_FOUND:
        return TimerAnswer::NotNeeded;
    default:
        return TimerAnswer::Refused;
    }
}

Handle open(const std::string &portName, std::string &error)
{
    if (portName.empty()) {
        error = "no port name";
        return InvalidHandle;
    }
    const std::wstring path = devicePath(portName);
    if (path.empty()) {
        error = systemMessage(::GetLastError());
        return InvalidHandle;
    }
    // No sharing: Windows refuses every other opener while this one lasts.
    const HANDLE port = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        // Windows gives a COM port to one program at a time and tells every
        // other "access is denied".
        const DWORD code = ::GetLastError();
        error = code == ERROR_ACCESS_DENIED ? std::string(InUse) + ": " + systemMessage(code)
                                            : systemMessage(code);
        return InvalidHandle;
    }
    // Anything but a serial port (NUL, a file, a pipe) has no comm state.
    DCB settings {};
    settings.DCBlength = sizeof settings;
    if (!::GetCommState(port, &settings)) {
        error = std::string(NotSerial) + ": " + systemMessage(::GetLastError());
        ::CloseHandle(port);
        return InvalidHandle;
    }
    if (!configure(port, settings)) {
        error = systemMessage(::GetLastError());
        ::CloseHandle(port);
        return InvalidHandle;
    }
    // A reply that came after the previous close would otherwise be taken for
    // the answer to the next request.
    ::PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
    // Only while a port is open: a finer timer costs power system-wide.
    ::timeBeginPeriod(TimerResolutionMs);
    return reinterpret_cast<Handle>(port);
}

void close(Handle handle)
{
    if (handle == InvalidHandle)
        return;
    ::CloseHandle(toPort(handle));
    ::timeEndPeriod(TimerResolutionMs);
}

std::int64_t bytesWaiting(Handle handle, std::string &error)
{
    // The link reads only what this announces, so this is where a device
    // that was unplugged shows: ClearCommError fails from then on.
    DWORD errors = 0;
    COMSTAT status {};
    if (!::ClearCommError(toPort(handle), &errors, &status))
        return readFailure(::GetLastError(), error);
    return status.cbInQue;
}

std::int64_t read(Handle handle, char *data, std::int64_t maxSize, std::string &error)
{
    DWORD count = 0;
    const DWORD wanted = DWORD(maxSize < std::int64_t(MAXDWORD) ? maxSize : std::int64_t(MAXDWORD));
    if (!::ReadFile(toPort(handle), data, wanted, &count, nullptr))
        return readFailure(::GetLastError(), error);
    return count;
}

WriteResult writeAll(Handle handle, const char *data, std::int64_t size, std::string &error)
{
    if (size < 0 || size > std::int64_t(MAXDWORD)) {
        error = "no write of " + std::to_string(size) + " bytes";
        return WriteResult::Gone;
    }
    // One call, so that the write time-out bounds the whole write.
    DWORD written = 0;
    if (!::WriteFile(toPort(handle), data, DWORD(size), &written, nullptr)) {
        const DWORD code = ::GetLastError();
        error = systemMessage(code);
        return callFailure(code);
    }
    return written == DWORD(size) ? WriteResult::Written : WriteResult::Stalled;
}

std::string keepTimerFine()
{
    static std::atomic<bool> asked {false};
    if (asked.exchange(true))
        return {};
    // Looked up, not linked: Windows before 8 has no such call, and the
    // programs must still start there.
    const auto setProcessInformation
        = reinterpret_cast<SetProcessInformationCall>(reinterpret_cast<void (*)()>(
            ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetProcessInformation")));
    DWORD code = ERROR_PROC_NOT_FOUND;
    if (setProcessInformation) {
        // The control bit says which behaviour this process decides, the
        // clear state bit that it is never throttled.
        PowerThrottlingState state {PowerThrottlingVersion, IgnoreTimerResolution, 0};
        code = setProcessInformation(::GetCurrentProcess(), ProcessPowerThrottlingClass, &state,
                                     sizeof state)
            ? DWORD(ERROR_SUCCESS)
            : ::GetLastError();
    }
    // With the error's number: the words come in the user's language.
    const std::string answer = " (error " + std::to_string(code) + "): " + systemMessage(code);
    switch (timerAnswer(code)) {
    case TimerAnswer::Kept:
        return "timer: kept at 1 ms while the windows are hidden (ProcessPowerThrottling)";
    case TimerAnswer::NotNeeded:
        return "timer: not needed, this Windows does not coarsen the timer of hidden windows"
            + answer;
    case TimerAnswer::Refused:
        break;
    }
    return "timer: ProcessPowerThrottling refused, the poll may slow to 15.6 ms while the "
           "windows are hidden"
        + answer;
}

} // namespace NativeSerial
