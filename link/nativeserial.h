#ifndef NATIVESERIAL_H
#define NATIVESERIAL_H

#include <QString>
#include <QtGlobal>

// The operating system's side of a serial port: every OS call the link makes
// lives behind these functions, one source file per platform. None of them
// locks; SerialPort serialises the calls.
namespace NativeSerial {

using Handle = qintptr;
inline constexpr Handle InvalidHandle = -1;

// Opens the port for reading and writing at 115200 8N1, raw, without flow
// control, for this process alone, with whatever had already arrived
// discarded. Returns InvalidHandle if the port is missing, busy or not a
// serial port.
Handle open(const QString &portName);
void close(Handle handle);

// Bytes waiting to be read; negative on error (a port that went away).
qint64 bytesWaiting(Handle handle);
// Never waits: returns what has arrived, up to maxSize; negative on error.
qint64 read(Handle handle, char *data, qint64 maxSize);
// Hands every byte to the OS; false if that failed or took too long.
bool writeAll(Handle handle, const char *data, qint64 size);

} // namespace NativeSerial

#endif // NATIVESERIAL_H
