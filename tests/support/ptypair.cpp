#include "ptypair.h"

#include <QDeadlineTimer>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

PtyPair::PtyPair()
{
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0)
        return;
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        closeMaster();
        return;
    }
    path = QString::fromLocal8Bit(::ptsname(master));
}

PtyPair::~PtyPair()
{
    closeMaster();
}

bool PtyPair::writeToSlave(const QByteArray &bytes)
{
    return ::write(master, bytes.constData(), size_t(bytes.size())) == bytes.size();
}

QByteArray PtyPair::readFromSlave(int count, int timeoutMs)
{
    QByteArray received;
    QDeadlineTimer deadline(timeoutMs);
    while (received.size() < count && !deadline.hasExpired()) {
        pollfd ready {master, POLLIN, 0};
        if (::poll(&ready, 1, int(deadline.remainingTime())) <= 0)
            break;
        char buffer[4096];
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0)
            break;
        received.append(buffer, n);
    }
    return received;
}

void PtyPair::closeMaster()
{
    if (master >= 0)
        ::close(master);
    master = -1;
}
