#include "heldfolder.h"

#include <QFile>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int FolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

HeldFolder::Kind kindOf(const struct stat &info)
{
    if (S_ISREG(info.st_mode))
        return HeldFolder::File;
    return S_ISDIR(info.st_mode) ? HeldFolder::Folder : HeldFolder::Other;
}

} // namespace

HeldFolder::HeldFolder(const QString &path)
    : handle(::open(QFile::encodeName(path).constData(), FolderFlags)), path(path)
{ }

// O_NOFOLLOW: a link at name is refused, not followed.
HeldFolder::HeldFolder(const HeldFolder &parent, const QString &name)
    : handle(parent.isHeld() ? ::openat(int(parent.handle), QFile::encodeName(name).constData(),
                                        FolderFlags | O_NOFOLLOW)
                             : -1),
      path(parent.path + QLatin1Char('/') + name)
{ }

HeldFolder::~HeldFolder()
{
    if (isHeld())
        ::close(int(handle));
}

bool HeldFolder::isHeld() const
{
    return handle >= 0;
}

QList<HeldFolder::Entry> HeldFolder::entries() const
{
    QList<Entry> found;
    // A stream of its own, which closes the copy of the descriptor; the
    // copy shares the position in the folder, hence the rewind.
    const int copy = isHeld() ? ::fcntl(int(handle), F_DUPFD_CLOEXEC, 0) : -1;
    DIR *stream = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (!stream) {
        if (copy >= 0)
            ::close(copy);
        return found;
    }
    ::rewinddir(stream);
    while (const struct dirent *entry = ::readdir(stream)) {
        const QByteArray name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        struct stat info;
        const bool lookedAt
            = ::fstatat(int(handle), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0;
        found.append({QFile::decodeName(name), lookedAt ? kindOf(info) : Other});
    }
    ::closedir(stream);
    return found;
}

// Should the file be swapped for anything else after it was looked at,
// unlinkat() removes that name alone: never what a link leads to, and no
// folder without AT_REMOVEDIR.
bool HeldFolder::removeFile(const QString &name)
{
    const QByteArray entry = QFile::encodeName(name);
    struct stat info;
    return isHeld() && ::fstatat(int(handle), entry.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0
        && S_ISREG(info.st_mode) && ::unlinkat(int(handle), entry.constData(), 0) == 0;
}

// AT_REMOVEDIR fails on a link and on a folder that holds anything.
bool HeldFolder::removeFolder(const QString &name)
{
    return isHeld()
        && ::unlinkat(int(handle), QFile::encodeName(name).constData(), AT_REMOVEDIR) == 0;
}
