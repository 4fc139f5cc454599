#include "platformconsole.h"

#include <QObject>
#include <QSocketNotifier>
#include <QString>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The handler may only write to a pipe; the event loop reads the other end.
int wakeUpPipe[2] = {-1, -1};
volatile std::sig_atomic_t interrupted = 0;

extern "C" void onSignal(int)
{
    interrupted = 1;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeUpPipe[1], &byte, 1);
}

// Neither end blocks (a full pipe must not stop the handler, an empty one
// the reader) nor passes to a child program. pipe2 would do it in one call,
// but macOS lacks it.
bool makeWakeUpPipe()
{
    if (::pipe(wakeUpPipe) != 0)
        return false;
    for (int fd : wakeUpPipe) {
        if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0
            || ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
            ::close(wakeUpPipe[0]);
            ::close(wakeUpPipe[1]);
            wakeUpPipe[0] = wakeUpPipe[1] = -1;
            return false;
        }
    }
    return true;
}

} // namespace

namespace PlatformConsole {

void prepare() { }

bool isTerminal(std::FILE *stream)
{
    return ::isatty(::fileno(stream)) == 1;
}

bool redrawsInPlace(std::FILE *stream)
{
    return isTerminal(stream);
}

bool samePortName(const QString &given, const QString &listed)
{
    return given == listed;
}

void setClosable(bool) { }

void catchInterrupts(QObject *receiver, std::function<void(bool closing)> onInterrupt)
{
    if (wakeUpPipe[0] < 0 && !makeWakeUpPipe())
        return;
    auto *notifier = new QSocketNotifier(wakeUpPipe[0], QSocketNotifier::Read, receiver);
    QObject::connect(notifier, &QSocketNotifier::activated, receiver,
                     [onInterrupt = std::move(onInterrupt)] {
                         char drained[64];
                         while (::read(wakeUpPipe[0], drained, sizeof drained) > 0) { }
                         // Nothing ends the process after a signal that
                         // it caught, not even a hang-up.
                         onInterrupt(false);
                     });
    // No SA_RESTART: a read of the standard input that the user interrupts
    // returns instead of waiting on.
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

// The signal handler has run by the time the interrupted read returns.
bool takeInterrupt(bool)
{
    const bool came = interrupted != 0;
    interrupted = 0;
    return came;
}

} // namespace PlatformConsole
