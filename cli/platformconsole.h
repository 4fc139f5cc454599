#ifndef PLATFORMCONSOLE_H
#define PLATFORMCONSOLE_H

#include <cstdio>
#include <functional>

class QObject;
class QString;

// What the command line needs of the operating system's console and session,
// one source file per platform.
namespace PlatformConsole {

// Readies the console for UTF-8 text and escape sequences (Windows consoles
// default to a code page of their own, given back at exit; elsewhere there is
// nothing to do).
void prepare();

// Whether the stream is a terminal (a console on Windows) rather than a file,
// a pipe or a device such as NUL.
bool isTerminal(std::FILE *stream);

// Whether lines on the stream may be redrawn in place: a terminal that
// follows escape sequences (a Windows console may refuse them).
bool redrawsInPlace(std::FILE *stream);

// Whether two port names name the same port, as the system compares them
// (Windows ignores case: com3 is COM3).
bool samePortName(const QString &given, const QString &listed);

// Whether the console window's Close item (its close button too) may be
// used: greyed out while a transfer runs on Windows, the menu otherwise left
// as the console host made it; elsewhere there is no such item. Windows
// Terminal has no such item: its tabs close whatever this says.
void setClosable(bool closable);

// From now on an interrupt (Ctrl-C, SIGTERM and SIGHUP on POSIX; Ctrl-C,
// Ctrl-Break and closing the console on Windows) no longer ends the process
// at once: onInterrupt runs in the thread of receiver, from its event loop,
// and decides. A blocking read of the standard input returns early. A closed
// Windows console (a console window, or a Windows Terminal tab) still ends
// the process once it has finished, or when Windows's own limit of a few
// seconds runs out: onInterrupt is then told closing, as it cannot refuse.
void catchInterrupts(QObject *receiver, std::function<void(bool closing)> onInterrupt);

// Whether an interrupt came since the last call; for code that was blocked
// outside the event loop (the confirmation question). After a read that
// came back without a line, pass true: a Windows console read returns as
// soon as Ctrl-C is pressed, while its handler runs in a thread of its own,
// so this then waits a moment for the handler's word.
bool takeInterrupt(bool afterEmptyRead = false);

} // namespace PlatformConsole

#endif // PLATFORMCONSOLE_H
