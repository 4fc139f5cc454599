#include "regularfile.h"

#include <QFile>
#include <QFileInfo>

// A file in a folder is never a pipe or a device here: those live in
// namespaces of their own (\\.\pipe\, \\.\COM3), and the names read are
// fixed ones, none of them a reserved device name such as COM1.
RegularFile readRegularFile(const QString &path, qint64 limit)
{
    RegularFile file;
    const QFileInfo info(path);
    if (!info.exists())
        return file;
    if (!info.isFile()) {
        file.outcome = RegularFile::NotRegular;
        file.detail
            = info.isDir() ? QStringLiteral("a folder") : QStringLiteral("not a regular file");
        return file;
    }
    QFile opened(path);
    if (!opened.open(QIODevice::ReadOnly)) {
        file.outcome = RegularFile::Unreadable;
        file.detail = opened.errorString();
        return file;
    }
    // One byte more than the limit tells a file that grew since it was looked at.
    const QByteArray content = opened.read(limit + 1);
    if (opened.error() != QFileDevice::NoError) {
        file.outcome = RegularFile::Unreadable;
        file.detail = opened.errorString();
    } else if (content.size() > limit || info.size() > limit) {
        file.outcome = RegularFile::TooLarge;
        file.size = qMax<qint64>(content.size(), info.size());
    } else {
        file.outcome = RegularFile::Read;
        file.content = content;
    }
    return file;
}
