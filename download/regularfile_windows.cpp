#include "regularfile.h"

#include <QDir>
#include <QFileInfo>

#include <windows.h>

namespace {

RegularFile systemRefusal(DWORD code)
{
    return RegularFile::refused(code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND
                                    ? RegularFile::Missing
                                    : RegularFile::Unreadable,
                                qt_error_string(int(code)));
}

QString kindOfHandle(DWORD type)
{
    switch (type) {
    case FILE_TYPE_CHAR:
        return QStringLiteral("a character device");
    case FILE_TYPE_PIPE:
        return QStringLiteral("a pipe");
    default:
        return QStringLiteral("not a regular file");
    }
}

} // namespace

// A file in a folder is seldom a pipe or a device here: those live in
// namespaces of their own (\\.\pipe\, \\.\COM3), and the names read are
// fixed ones, none of them a reserved device name such as COM1. Yet a link
// may lead there, so what was opened is asked for its type before a byte is
// read.
RegularFile readRegularFile(const QString &path, qint64 limit)
{
    const QFileInfo info(path);
    if (!info.exists())
        return RegularFile();
    if (info.isDir())
        return RegularFile::refused(RegularFile::NotRegular, QStringLiteral("a folder"));
    const HANDLE handle
        = ::CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
                        GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return systemRefusal(::GetLastError());

    RegularFile file;
    LARGE_INTEGER size = {};
    const DWORD type = ::GetFileType(handle);
    if (type != FILE_TYPE_DISK)
        file = RegularFile::refused(RegularFile::NotRegular, kindOfHandle(type));
    else if (!::GetFileSizeEx(handle, &size))
        file = systemRefusal(::GetLastError());
    else if (size.QuadPart > limit)
        file = RegularFile::refused(RegularFile::TooLarge, QString(), size.QuadPart);
    else
        file.outcome = RegularFile::Read;

    QByteArray content(limit + 1, Qt::Uninitialized);
    qint64 total = 0;
    while (file.outcome == RegularFile::Read && total < content.size()) {
        DWORD got = 0;
        const DWORD wanted = DWORD(qMin<qint64>(content.size() - total, 1 << 20));
        if (!::ReadFile(handle, content.data() + total, wanted, &got, nullptr))
            file = systemRefusal(::GetLastError());
        else if (got == 0)
            break;
        else
            total += got;
    }
    if (file.outcome == RegularFile::Read)
        file = RegularFile::whole(content, total, limit);
    ::CloseHandle(handle);
    return file;
}
