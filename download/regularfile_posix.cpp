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

RegularFile refused(RegularFile::Outcome outcome, const QString &detail, qint64 size = 0)
{
    RegularFile file;
    file.outcome = outcome;
    file.detail = detail;
    file.size = size;
    return file;
}

RegularFile systemRefusal(int error)
{
    return refused(error == ENOENT || error == ENOTDIR ? RegularFile::Missing
                                                       : RegularFile::Unreadable,
                   qt_error_string(error));
}

} // namespace

RegularFile readRegularFile(const QString &path, qint64 limit)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat info;
    // Opening a device node may already act on the device, so it is never
    // opened at all when its type can be seen first.
    if (::stat(name.constData(), &info) != 0)
        return systemRefusal(errno);
    if (!S_ISREG(info.st_mode))
        return refused(RegularFile::NotRegular, kindOfFile(info.st_mode));

    // Without O_NONBLOCK a FIFO put there since would hold the open until
    // some writer came; on a regular file the flag changes nothing.
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return systemRefusal(errno);
    RegularFile file;
    if (::fstat(fd, &info) != 0)
        file = systemRefusal(errno);
    else if (!S_ISREG(info.st_mode))
        file = refused(RegularFile::NotRegular, kindOfFile(info.st_mode));
    else if (info.st_size > limit)
        file = refused(RegularFile::TooLarge, QString(), info.st_size);
    else
        file.outcome = RegularFile::Read;

    // One byte more than the limit tells a file that grew since fstat.
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
    if (file.outcome == RegularFile::Read && total > limit) {
        file = refused(RegularFile::TooLarge, QString(), total);
    } else if (file.outcome == RegularFile::Read) {
        content.truncate(total);
        file.content = content;
    }
    ::close(fd);
    return file;
}
