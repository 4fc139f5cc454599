#ifndef NATIVESERIAL_WINDOWS_H
#define NATIVESERIAL_WINDOWS_H

#include "nativeserial.h"

#include <windows.h>

// The Windows backend's decisions that Wine cannot show: it reports a pty's
// lines as raised whatever was asked, and its serial writes fail in its own
// way. Pure functions apart from the calls, so that tables can check them.
namespace NativeSerial {

// The settings to write to a port, from those GetCommState read and the
// driver's input queue in bytes (GetCommProperties' dwCurrentRxQueue, 0 where
// it names none): the device's line settings (115200 8N1, binary, no flow
// control of any kind, no abort on error) with DTR and RTS raised, whatever
// the driver or the last program left there, and flow-control characters
// and limits that every driver accepts.
DCB deviceSettings(DCB current, DWORD inputQueue);

// What a read, a write or a look at the port that failed with the system's
// error code means for the link: Stalled for a port that held the bytes off
// (nothing lost yet; the reply window tells the rest), Gone otherwise.
WriteResult callFailure(DWORD code);

// What the system's answer to keeping the fine timer while the windows are
// hidden means, from the error it left: ERROR_SUCCESS where it took the
// request, ERROR_PROC_NOT_FOUND where it has no SetProcessInformation.
enum class TimerAnswer { Kept, NotNeeded, Refused };
TimerAnswer timerAnswer(DWORD code);

} // namespace NativeSerial

#endif // NATIVESERIAL_WINDOWS_H
