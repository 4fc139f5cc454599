#include "regularfile.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString kindOfFile(mode_t mode)
{
    if (S_ISDIR(mode))
        return QStringLiteral("a folder");
    if (S_ISFIFO(mode))
        return QStringLiteral("a FIFO");
    if (S_ISCHR(mode))
        return QStringLiteral("a character device");
    if (S_ISBLK(mode))
        return QStringLiteral("a block device");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    return QStringLiteral("not a regular file");
}

RegularFile systemRefusal(int error)
{
    return RegularFile::refused(error == ENOENT || error == ENOTDIR ? RegularFile::Missing
                                                                    : RegularFile::Unreadable,
                                qt_error_string(error));
}

} // namespace

RegularFile readRegularFile(const QString &path, qint64 limit)
{
    const QByteArray name = QFile::encodeName(path);
    // Opening a device node may already act on the device, so it is never
    // opened for reading: the file is first only named (O_PATH, which opens
    // nothing), its type looked at, and then that very file opened through
    // the descriptor, so that nothing put at its name since is ever opened.
    const int named = ::open(name.constData(), O_PATH | O_CLOEXEC);
    if (named < 0)
        return systemRefusal(errno);
    struct stat info;
    const bool lookedAt = ::fstat(named, &info) == 0;
    if (!lookedAt || !S_ISREG(info.st_mode)) {
        const RegularFile refusal = lookedAt
            ? RegularFile::refused(RegularFile::NotRegular, kindOfFile(info.st_mode))
            : systemRefusal(errno);
        ::close(named);
        return refusal;
    }
    // Without O_NONBLOCK a FIFO would hold the open until some writer came;
    // on a regular file the flag changes nothing.
    const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = ::open(("/proc/self/fd/" + QByteArray::number(named)).constData(), flags);
    // Without /proc (a bare chroot) the name is opened again, and what was
    // opened is judged by its type below.
    if (fd < 0 && errno == ENOENT)
        fd = ::open(name.constData(), flags);
    const int openError = errno;
    ::close(named);
    if (fd < 0)
        return systemRefusal(openError);
    RegularFile file;
    if (::fstat(fd, &info) != 0)
        file = systemRefusal(errno);
    else if (!S_ISREG(info.st_mode))
        file = RegularFile::refused(RegularFile::NotRegular, kindOfFile(info.st_mode));
    else if (info.st_size > limit)
        file = RegularFile::refused(RegularFile::TooLarge, QString(), info.st_size);
    else
        file.outcome = RegularFile::Read;

    QByteArray content(limit + 1, Qt::Uninitialized);
    qint64 total = 0;
    while (file.outcome == RegularFile::Read && total < content.size()) {
        const ssize_t got = ::read(fd, content.data() + total, size_t(content.size() - total));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            file = systemRefusal(errno);
        else if (got == 0)
            break;
        else
            total += got;
    }
    if (file.outcome == RegularFile::Read)
        file = RegularFile::whole(content, total, limit);
    ::close(fd);
    return file;
}
