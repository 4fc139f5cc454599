#include "filereplace.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

bool replaceFile(const QString &source, const QString &target, QString *error, bool *busy)
{
    // Nobody's open file stops a rename here.
    *busy = false;
    if (std::rename(QFile::encodeName(source).constData(), QFile::encodeName(target).constData())
        == 0)
        return true;
    *error = qt_error_string(errno);
    return false;
}

// rename(2) moves a folder as it does a file, and the target is free.
bool renameFolder(const QString &source, const QString &target, QString *error, bool *busy)
{
    return replaceFile(source, target, error, busy);
}

bool exchangeFolders(const QString &a, const QString &b, QString *error, bool *unsupported)
{
    *unsupported = false;
#ifdef SYS_renameat2
    // Through the system call itself: not every C library wraps it.
    if (::syscall(SYS_renameat2, AT_FDCWD, QFile::encodeName(a).constData(), AT_FDCWD,
                  QFile::encodeName(b).constData(), RENAME_EXCHANGE)
        == 0)
        return true;
    // An old kernel, or a file system without the swap (FAT, some network
    // shares), says so with one of these.
    *unsupported = errno == ENOSYS || errno == EINVAL || errno == ENOTSUP;
    *error = qt_error_string(errno);
#else
    *unsupported = true;
    *error = qt_error_string(ENOSYS);
#endif
    return false;
}

bool isLink(const QString &path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISLNK(info.st_mode);
}

bool syncFolder(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}
