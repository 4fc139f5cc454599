#include "platformconsole.h"

#include <QObject>
#include <QSocketNotifier>

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

} // namespace

namespace PlatformConsole {

void prepare() { }

bool isTerminal(std::FILE *stream)
{
    return ::isatty(::fileno(stream)) == 1;
}

void catchInterrupts(QObject *receiver, std::function<void()> onInterrupt)
{
    if (wakeUpPipe[0] < 0 && ::pipe2(wakeUpPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(wakeUpPipe[0], QSocketNotifier::Read, receiver);
    QObject::connect(notifier, &QSocketNotifier::activated, receiver,
                     [onInterrupt = std::move(onInterrupt)] {
                         char drained[64];
                         while (::read(wakeUpPipe[0], drained, sizeof drained) > 0) { }
                         onInterrupt();
                     });
    // No SA_RESTART: a read of the standard input that the user interrupts
    // returns instead of waiting on.
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

bool takeInterrupt()
{
    const bool came = interrupted != 0;
    interrupted = 0;
    return came;
}

} // namespace PlatformConsole
