#include "nativeserial.h"

#include <windows.h>

#include <timeapi.h>

namespace {

// A write that cannot hand its bytes over within this time finds a port that
// stopped draining (a device gone, a peer that stopped reading); the reply
// window then reports the failure, so waiting longer only freezes the window.
constexpr DWORD WriteTimeoutMs = 1000;

// The link polls every 5 ms; at the default timer resolution a 5 ms sleep
// lasts a whole 15.6 ms tick and a transfer takes three times as long.
constexpr UINT TimerResolutionMs = 1;

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

// Takes the settings the port has (the DCB that GetCommState gave) to the
// device's.
bool configure(HANDLE port, DCB settings)
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
    // DTR and RTS keep the state the driver gave them at opening; only their
    // handshake modes are flow control, and those leave the line raised.
    if (settings.fDtrControl == DTR_CONTROL_HANDSHAKE)
        settings.fDtrControl = DTR_CONTROL_ENABLE;
    if (settings.fRtsControl == RTS_CONTROL_HANDSHAKE)
        settings.fRtsControl = RTS_CONTROL_ENABLE;
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

} // namespace

namespace NativeSerial {

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
    if (!::ClearCommError(toPort(handle), &errors, &status)) {
        error = systemMessage(::GetLastError());
        return -1;
    }
    return status.cbInQue;
}

std::int64_t read(Handle handle, char *data, std::int64_t maxSize)
{
    DWORD count = 0;
    const DWORD wanted = DWORD(maxSize < std::int64_t(MAXDWORD) ? maxSize : std::int64_t(MAXDWORD));
    if (!::ReadFile(toPort(handle), data, wanted, &count, nullptr))
        return -1;
    return count;
}

bool writeAll(Handle handle, const char *data, std::int64_t size, std::string &error)
{
    // One call, so that the write time-out bounds the whole write; it ends
    // short instead of failing when the time runs out.
    if (size < 0 || size > std::int64_t(MAXDWORD))
        return false;
    DWORD written = 0;
    if (!::WriteFile(toPort(handle), data, DWORD(size), &written, nullptr)) {
        error = systemMessage(::GetLastError());
        return false;
    }
    return written == DWORD(size);
}

} // namespace NativeSerial
