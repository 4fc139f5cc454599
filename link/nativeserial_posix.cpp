#include "nativeserial.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace {

// A write that cannot hand its bytes over within this time finds a port that
// stopped draining (a device gone, a peer that stopped reading); the reply
// window then reports the failure, so waiting longer only freezes the window.
constexpr int WriteTimeoutMs = 1000;

using Clock = std::chrono::steady_clock;

std::string devicePath(const std::string &portName)
{
    // The port list names ports as ttyACM0; tests hand over whole paths.
    return portName.front() == '/' ? portName : "/dev/" + portName;
}

bool configure(int fd)
{
    termios settings {};
    if (::tcgetattr(fd, &settings) != 0)
        return false;
    ::cfmakeraw(&settings);
    settings.c_iflag &= ~(IXON | IXOFF | IXANY);
    settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    if (::cfsetispeed(&settings, B115200) != 0 || ::cfsetospeed(&settings, B115200) != 0)
        return false;
    return ::tcsetattr(fd, TCSANOW, &settings) == 0;
}

// Closes a descriptor whose opening failed and reports why, what happened
// first if known, before close() can change errno.
int failed(int fd, const char *what, std::string &error)
{
    const std::string reason = std::generic_category().message(errno);
    error = what ? std::string(what) + ": " + reason : reason;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

} // namespace

namespace NativeSerial {

Handle open(const std::string &portName, std::string &error)
{
    if (portName.empty()) {
        error = "no port name";
        return InvalidHandle;
    }
    const int fd = ::open(devicePath(portName).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    // A terminal that another program took for itself (TIOCEXCL, as a
    // terminal program or ModemManager may) refuses every other opener.
    // Without dialout, the package's udev rule (uaccess) gives the port to
    // the user of the active session at a seat alone, not to one over SSH.
    if (fd < 0 && errno == EACCES)
        return failed(fd, NoAccess, error);
    if (fd < 0)
        return failed(fd, errno == EBUSY ? InUse : nullptr, error);
    // flock keeps out a second copy of this tool even when run as root, whom
    // TIOCEXCL does not stop.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return failed(fd, errno == EWOULDBLOCK ? InUse : nullptr, error);
    // Anything but a terminal (a regular file, /dev/null) has no line settings.
    if (!configure(fd))
        return failed(fd, errno == ENOTTY ? NotSerial : nullptr, error);
    // A reply that came after the previous close would otherwise be taken for
    // the answer to the next request.
    ::tcflush(fd, TCIOFLUSH);
    // TIOCEXCL keeps out every other program. It comes last: the flag belongs
    // to the terminal, so set before a step that fails it would outlive this
    // descriptor and lock the terminal for whoever else holds it open.
    if (::ioctl(fd, TIOCEXCL) != 0)
        return failed(fd, nullptr, error);
    return fd;
}

void close(Handle handle)
{
    if (handle == InvalidHandle)
        return;
    const int fd = int(handle);
    // The exclusive flag belongs to the terminal, not to this descriptor; a
    // terminal that someone else keeps open would stay locked without this.
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

std::int64_t bytesWaiting(Handle handle, std::string &error)
{
    // A terminal that hung up (the far end of an unplugged device) refuses
    // every ioctl from then on, so the poll finds out within its period.
    int count = 0;
    if (::ioctl(int(handle), FIONREAD, &count) != 0) {
        error = std::generic_category().message(errno);
        return -1;
    }
    return count;
}

std::int64_t read(Handle handle, char *data, std::int64_t maxSize, std::string &error)
{
    for (;;) {
        const ssize_t n = ::read(int(handle), data, size_t(maxSize));
        if (n >= 0)
            return n;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN)
            return 0;
        error = std::generic_category().message(errno);
        return -1;
    }
}

WriteResult writeAll(Handle handle, const char *data, std::int64_t size, std::string &error)
{
    // Counted from the start, so that signals interrupting the waits below
    // cannot stretch the write while the caller holds the port.
    const auto deadline = Clock::now() + std::chrono::milliseconds(WriteTimeoutMs);
    const int fd = int(handle);
    std::int64_t written = 0;
    while (written < size) {
        const ssize_t n = ::write(fd, data + written, size_t(size - written));
        if (n > 0) {
            written += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            error = std::generic_category().message(errno);
            return WriteResult::Gone;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return WriteResult::Stalled;
        pollfd waitForRoom {fd, POLLOUT, 0};
        const int ready = ::poll(&waitForRoom, 1, int(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0) {
            error = std::generic_category().message(errno);
            return WriteResult::Gone;
        }
        if (ready == 0)
            return WriteResult::Stalled;
        // Room, or a port that went away while the write waited (POLLHUP,
        // POLLERR): the next write takes the bytes or says why it cannot.
    }
    return WriteResult::Written;
}

// Linux keeps a sleeping process's timers as fine as it asked for them.
std::string keepTimerFine()
{
    return {};
}

} // namespace NativeSerial
