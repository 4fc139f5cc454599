#ifndef PLATFORMCONSOLE_H
#define PLATFORMCONSOLE_H

#include <cstdio>
#include <functional>

class QObject;

// What the command line needs of the operating system's console, one source
// file per platform.
namespace PlatformConsole {

// Readies the console for UTF-8 text (Windows consoles default to a code
// page of their own; elsewhere there is nothing to do).
void prepare();

// Whether the stream is a terminal (a console window on Windows) rather than
// a file or a pipe.
bool isTerminal(std::FILE *stream);

// From now on an interrupt (Ctrl-C, SIGTERM and SIGHUP on POSIX; Ctrl-C,
// Ctrl-Break and closing the console on Windows) no longer ends the process
// at once: onInterrupt runs in the thread of receiver, from its event loop,
// and decides. A blocking read of the standard input returns early.
void catchInterrupts(QObject *receiver, std::function<void()> onInterrupt);

// Whether an interrupt came since the last call; for code that was blocked
// outside the event loop (the confirmation question).
bool takeInterrupt();

} // namespace PlatformConsole

#endif // PLATFORMCONSOLE_H
