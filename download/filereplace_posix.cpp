#include "filereplace.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool failWith(int code, QString *error)
{
    *error = qt_error_string(code);
    return false;
}

} // namespace

bool replaceFile(const QString &source, const QString &target, QString *error, bool *busy)
{
    // Nobody's open file stops a rename here.
    *busy = false;
    if (std::rename(QFile::encodeName(source).constData(), QFile::encodeName(target).constData())
        == 0)
        return true;
    return failWith(errno, error);
}

// rename(2) moves a folder as it does a file, and the target is free.
bool renameFolder(const QString &source, const QString &target, QString *error, bool *busy)
{
    return replaceFile(source, target, error, busy);
}

bool exchangeFolders(const QString &a, const QString &b, QString *error, bool *unsupported)
{
    *unsupported = false;
    if (::renameat2(AT_FDCWD, QFile::encodeName(a).constData(), AT_FDCWD,
                    QFile::encodeName(b).constData(), RENAME_EXCHANGE)
        == 0)
        return true;
    // An old kernel, or a file system without the swap, says so with one of
    // these.
    *unsupported = errno == ENOSYS || errno == EINVAL || errno == ENOTSUP;
    return failWith(errno, error);
}

bool isLink(const QString &path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISLNK(info.st_mode);
}

bool syncFolder(const QString &path, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return failWith(errno, error);
    const int code = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    // EINVAL: a file system that has nothing of a folder to flush, in
    // fsync(2)'s words one that "does not support synchronization"; no
    // failure of the disk.
    return code == 0 || code == EINVAL || failWith(code, error);
}

bool writeNewFile(const QString &path, const QByteArray &content, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return failWith(errno, error);
    qint64 written = 0;
    while (written < content.size()) {
        const ssize_t put
            = ::write(fd, content.constData() + written, size_t(content.size() - written));
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0) {
            const int code = errno;
            ::close(fd);
            return failWith(code, error);
        }
        written += put;
    }
    // A failed write-back may be told by fsync() or only by close(); either
    // loses the file. close() interrupted has closed it all the same.
    const int flushed = ::fsync(fd) == 0 ? 0 : errno;
    const int closed = ::close(fd) == 0 ? 0 : errno;
    if (flushed != 0)
        return failWith(flushed, error);
    return closed == 0 || closed == EINTR || failWith(closed, error);
}

// A mount point is told by the kernel where it can (bind mounts too), and
// otherwise by its device differing from that of the folder above it; the
// root folder is its own parent.
bool isFileSystemRoot(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
#ifdef STATX_ATTR_MOUNT_ROOT
    struct statx extended;
    if (::statx(AT_FDCWD, name.constData(), 0, STATX_INO, &extended) == 0
        && (extended.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT))
        return extended.stx_attributes & STATX_ATTR_MOUNT_ROOT;
#endif
    struct stat folder;
    struct stat above;
    return ::stat(name.constData(), &folder) == 0 && ::stat(name + "/..", &above) == 0
        && (folder.st_dev != above.st_dev || folder.st_ino == above.st_ino);
}
