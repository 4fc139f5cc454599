#include "firmwarerelease.h"

#include "testfiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>

namespace {

constexpr int DeviceImageSize = 3376 * 64;

} // namespace

bool FirmwareRelease::publish(const QByteArray &image, int version,
                              const QStringList &serverSwitches,
                              const QStringList &publisherOptions)
{
    if (!root.isValid())
        return false;
    const QString imagePath = root.filePath(QStringLiteral("release.ghx"));
    if (!writeFile(imagePath, image))
        return false;

    const QString site = root.filePath(QStringLiteral("site"));
    QProcess publisher;
    publisher.setProcessChannelMode(QProcess::ForwardedChannels);
    publisher.start(QStringLiteral("python3"),
                    QStringList {QStringLiteral(TOOLS_DIR "/publish-firmware.py"), imagePath,
                                 QString::number(version), site}
                        + publisherOptions);
    if (!publisher.waitForFinished(30000) || publisher.exitCode() != 0)
        return false;
    return fwServer.start(site, serverSwitches);
}

QString FirmwareRelease::publishedFile(const QString &name) const
{
    return root.filePath(QStringLiteral("site/data/hello/TPX-KLN04/") + name);
}

QByteArray FirmwareRelease::deviceImage(const QByteArray &image)
{
    QByteArray padded = image.left(DeviceImageSize);
    padded.append(DeviceImageSize - padded.size(), char(0xFF));
    return padded;
}

QString FirmwareRelease::md5(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

QByteArray FirmwareRelease::randomImage(int size)
{
    QByteArray image(size, Qt::Uninitialized);
    QRandomGenerator generator(size);
    for (char &byte : image)
        byte = char(generator.bounded(256));
    return image;
}

bool isOpenInThisProcess(const QString &path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    const QDir fds(QStringLiteral("/proc/self/fd"));
    const QStringList entries = fds.entryList(QDir::Files | QDir::System);
    for (const QString &entry : entries) {
        if (QFileInfo(fds.filePath(entry)).symLinkTarget() == target)
            return true;
    }
    return false;
}
