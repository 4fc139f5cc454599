#include "heldfolder.h"

#include <QDir>

#include <windows.h>

namespace {

const wchar_t *wide(const QString &text)
{
    return reinterpret_cast<const wchar_t *>(text.utf16());
}

// Without FILE_SHARE_DELETE nobody may rename or remove the folder while it
// is held, and a folder that holds an open one cannot be renamed either: its
// path keeps naming it.
HANDLE openFolder(const QString &path, DWORD flags)
{
    return ::CreateFileW(wide(path), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

// The attributes of what the handle itself opened.
DWORD attributesOf(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION info;
    return ::GetFileInformationByHandle(handle, &info) ? info.dwFileAttributes
                                                       : INVALID_FILE_ATTRIBUTES;
}

HeldFolder::Kind kindOf(DWORD attributes)
{
    if (attributes == INVALID_FILE_ATTRIBUTES
        || (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)))
        return HeldFolder::Other;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? HeldFolder::Folder : HeldFolder::File;
}

// Opens the entry itself, never what a reparse point there leads to, and
// marks it for deletion where it is of the kind wanted; Windows removes it
// when the last handle to it closes.
bool removeEntry(const QString &path, HeldFolder::Kind wanted)
{
    const HANDLE entry = ::CreateFileW(
        wide(path), DELETE | FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_OPEN_REPARSE_POINT
            | (wanted == HeldFolder::Folder ? FILE_FLAG_BACKUP_SEMANTICS : 0),
        nullptr);
    if (entry == INVALID_HANDLE_VALUE)
        return false;
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = TRUE;
    // A folder that is not empty is refused here.
    const bool removed = kindOf(attributesOf(entry)) == wanted
        && ::SetFileInformationByHandle(entry, FileDispositionInfo, &disposition,
                                        sizeof disposition);
    ::CloseHandle(entry);
    return removed;
}

} // namespace

HeldFolder::HeldFolder(const QString &path)
    : handle(qintptr(openFolder(QDir::toNativeSeparators(path), 0))),
      path(QDir::toNativeSeparators(path))
{ }

HeldFolder::HeldFolder(const HeldFolder &parent, const QString &name)
    : path(parent.path + QLatin1Char('\\') + name)
{
    if (!parent.isHeld())
        return;
    const HANDLE folder = openFolder(path, FILE_FLAG_OPEN_REPARSE_POINT);
    if (folder == INVALID_HANDLE_VALUE)
        return;
    if (kindOf(attributesOf(folder)) != Folder) {
        ::CloseHandle(folder);
        return;
    }
    handle = qintptr(folder);
}

HeldFolder::~HeldFolder()
{
    if (isHeld())
        ::CloseHandle(HANDLE(handle));
}

bool HeldFolder::isHeld() const
{
    return HANDLE(handle) != INVALID_HANDLE_VALUE;
}

QList<HeldFolder::Entry> HeldFolder::entries() const
{
    QList<Entry> found;
    if (!isHeld())
        return found;
    WIN32_FIND_DATAW data;
    const HANDLE search = ::FindFirstFileExW(wide(path + QLatin1String("\\*")), FindExInfoBasic,
                                             &data, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return found;
    do {
        const QString name = QString::fromWCharArray(data.cFileName);
        if (name != QLatin1String(".") && name != QLatin1String(".."))
            found.append({name, kindOf(data.dwFileAttributes)});
    } while (::FindNextFileW(search, &data));
    ::FindClose(search);
    return found;
}

bool HeldFolder::removeFile(const QString &name)
{
    return isHeld() && removeEntry(path + QLatin1Char('\\') + name, File);
}

bool HeldFolder::removeFolder(const QString &name)
{
    return isHeld() && removeEntry(path + QLatin1Char('\\') + name, Folder);
}
