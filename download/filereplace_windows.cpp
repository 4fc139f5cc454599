#include "filereplace.h"

#include <QDir>

#include <windows.h>

bool replaceFile(const QString &source, const QString &target, QString *error, bool *busy)
{
    // Unlike the C library's rename, MoveFileEx may replace an existing file;
    // on a symbolic link it replaces the link itself.
    const QString from = QDir::toNativeSeparators(source);
    const QString to = QDir::toNativeSeparators(target);
    if (::MoveFileExW(reinterpret_cast<const wchar_t *>(from.utf16()),
                      reinterpret_cast<const wchar_t *>(to.utf16()),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    const DWORD code = ::GetLastError();
    *error = qt_error_string(int(code));
    // A scanner or the indexer holding either file open, or a file still
    // pending deletion, gives the one as well as the other.
    *busy = code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED;
    return false;
}

bool renameFolder(const QString &source, const QString &target, QString *error, bool *busy)
{
    // MOVEFILE_REPLACE_EXISTING is refused for folders; none is replaced here.
    const QString from = QDir::toNativeSeparators(source);
    const QString to = QDir::toNativeSeparators(target);
    if (::MoveFileExW(reinterpret_cast<const wchar_t *>(from.utf16()),
                      reinterpret_cast<const wchar_t *>(to.utf16()), MOVEFILE_WRITE_THROUGH))
        return true;
    const DWORD code = ::GetLastError();
    *error = qt_error_string(int(code));
    // A folder that Explorer shows, or that the indexer or a scanner is
    // reading, gives the one as well as the other while it is open.
    *busy = code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED;
    return false;
}

// Windows has no step that swaps two folders.
bool exchangeFolders(const QString &, const QString &, QString *error, bool *unsupported)
{
    *unsupported = true;
    *error = qt_error_string(ERROR_NOT_SUPPORTED);
    return false;
}

bool isLink(const QString &path)
{
    const DWORD attributes = ::GetFileAttributesW(
        reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// NTFS keeps its folders' entries in its journal, and the renames above are
// written through; there is no documented flush of a folder to add.
bool syncFolder(const QString &, QString *)
{
    return true;
}

bool writeNewFile(const QString &path, const QByteArray &content, QString *error)
{
    const HANDLE file
        = ::CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
                        GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = qt_error_string(int(::GetLastError()));
        return false;
    }
    qint64 written = 0;
    bool done = true;
    while (done && written < content.size()) {
        DWORD put = 0;
        const DWORD chunk = DWORD(qMin<qint64>(content.size() - written, 1 << 20));
        done = ::WriteFile(file, content.constData() + written, chunk, &put, nullptr) && put > 0;
        written += put;
    }
    // FlushFileBuffers has the file's data and its size on the disk, and
    // tells a device that failed to take them.
    done = done && ::FlushFileBuffers(file);
    if (!done)
        *error = qt_error_string(int(::GetLastError()));
    ::CloseHandle(file);
    return done;
}

// GetVolumePathName gives the folder where the volume holding path is
// mounted: a drive's root, or a folder a volume is mounted at.
bool isFileSystemRoot(const QString &path)
{
    QString native = QDir::toNativeSeparators(path);
    if (!native.endsWith(QLatin1Char('\\')))
        native += QLatin1Char('\\');
    wchar_t volume[MAX_PATH + 1];
    return ::GetVolumePathNameW(reinterpret_cast<const wchar_t *>(native.utf16()), volume,
                                MAX_PATH + 1)
        && QString::fromWCharArray(volume).compare(native, Qt::CaseInsensitive) == 0;
}
