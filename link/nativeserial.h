#ifndef NATIVESERIAL_H
#define NATIVESERIAL_H

#include <cstdint>
#include <string>

// The operating system's side of a serial port: every OS call the link makes
// lives behind these functions, one source file per platform. Plain C++, so
// that a backend and its checks build without Qt (the Windows one is checked
// with a cross compiler). None of them locks; SerialPort serialises the calls.
namespace NativeSerial {

using Handle = std::intptr_t;
inline constexpr Handle InvalidHandle = -1;

// What open() puts before the system's own words where those do not say
// plainly what happened.
inline constexpr char InUse[] = "in use by another program";
inline constexpr char NotSerial[] = "not a serial port";
inline constexpr char NoAccess[] = "no access (the user logged in at the computer's own screen "
                                   "has it; elsewhere join the dialout group)";

// Opens the port named in UTF-8 (ttyACM0 or a path on POSIX, COM3 on
// Windows) for reading and writing at 115200 8N1, raw, without flow control,
// for this process alone, with whatever had already arrived discarded.
// Returns InvalidHandle if the name is empty or the port is missing, busy or
// not a serial port, and then sets error to the operating system's own
// account of why, in UTF-8 (for example "Permission denied"), after InUse,
// NotSerial or NoAccess and ": " where that is what happened; error is left
// alone on success. DTR and RTS are raised: many USB serial devices keep
// silent until the host raises DTR, and Windows' own USB serial driver does
// not at opening.
Handle open(const std::string &portName, std::string &error);
// Does nothing for InvalidHandle, so a port that never opened can be closed.
void close(Handle handle);

// Bytes waiting to be read; negative once the port has gone (an unplugged
// device), and then error says why in the system's words.
std::int64_t bytesWaiting(Handle handle, std::string &error);
// Never waits: returns what has arrived, up to maxSize; negative once the
// port has gone, and then error says why in the system's words.
std::int64_t read(Handle handle, char *data, std::int64_t maxSize, std::string &error);
// How a write ended: the link reports a port that stopped taking bytes (a
// device that holds them off) as a time-out, and a port that has gone (an
// unplugged device) as a lost link.
enum class WriteResult { Written, Stalled, Gone };

// Hands every byte to the OS within one second of the call: Written, or
// Stalled if the second ran out first, or Gone if the system refused the
// bytes. error then says why in the system's words where it gave some.
WriteResult writeAll(Handle handle, const char *data, std::int64_t size, std::string &error);

// Asks the system, once per process, to keep the fine timer that the link's
// 5 ms poll needs even while the program's windows are hidden, minimised or
// covered, which a newer Windows otherwise coarsens to its 15.6 ms tick.
// Returns what happened in words for the debug output; empty after the first
// call, and where no system coarsens the timer (POSIX).
std::string keepTimerFine();

} // namespace NativeSerial

#endif // NATIVESERIAL_H
