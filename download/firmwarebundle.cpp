#include "firmwarebundle.h"

#include "filereplace.h"
#include "regularfile.h"
#include "updatefw.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTemporaryDir>

namespace {

// A description is a few lines; nothing larger is read.
constexpr qint64 DescriptionLimit = 64 * 1024;

const QDir::Filters EveryEntry
    = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;

// What a bundle's folder may hold: its own files, and images of any version.
bool isBundleFile(const QFileInfo &entry)
{
    static const QRegularExpression imageName(QStringLiteral("^K-DMX-47--?[0-9]+\\.ghx$"));
    const QString name = entry.fileName();
    return entry.isFile()
        && (name == QLatin1String(FirmwareBundle::VersionFileName)
            || name == QLatin1String(FirmwareBundle::ChecksumsName)
            || name == QLatin1String(FirmwareBundle::DescriptionName)
            || imageName.match(name).hasMatch());
}

QStringList otherEntries(const QString &folder)
{
    QStringList others;
    for (const QFileInfo &entry : QDir(folder).entryInfoList(EveryEntry, QDir::Name)) {
        if (!isBundleFile(entry))
            others << entry.fileName();
    }
    return others;
}

// A bundle moved aside goes; anything else found in it keeps the folder.
void removeBundle(const QString &folder)
{
    for (const QFileInfo &entry : QDir(folder).entryInfoList(EveryEntry)) {
        if (isBundleFile(entry))
            QFile::remove(entry.filePath());
    }
    QDir().rmdir(folder);
}

// What a save that was cut off (a crash, a stick pulled out) left beside the
// bundle's folder: its staging folder, or the bundle it had moved aside. A
// later save clears them; one holding anything but a bundle's files stays.
void removeLeftovers(const QString &parent, const QString &name)
{
    const QRegularExpression leftover(
        QStringLiteral("^\\.%1\\.[A-Za-z0-9]{6}(\\.old)?$").arg(QRegularExpression::escape(name)));
    for (const QFileInfo &entry :
         QDir(parent).entryInfoList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)) {
        if (!entry.isSymLink() && leftover.match(entry.fileName()).hasMatch())
            removeBundle(entry.filePath());
    }
}

// Where the bundle goes: a link to a folder is followed, and keeps naming it.
struct Place
{
    explicit Place(const QString &folder)
        : given(folder),
          path(given.exists() ? given.canonicalFilePath()
                              : QDir::cleanPath(given.absoluteFilePath())),
          shown(QDir::toNativeSeparators(path)),
          parent(QFileInfo(path).path()),
          name(QFileInfo(path).fileName())
    { }

    const QFileInfo given;
    const QString path;
    const QString shown;
    const QString parent;
    const QString name;
};

QString md5Hex(const QByteArray &content)
{
    return QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex());
}

// One line of md5sum's own format, which md5sum -c reads back.
QByteArray checksumLine(const QByteArray &content, const QString &name)
{
    return md5Hex(content).toLatin1() + "  " + name.toUtf8() + '\n';
}

QByteArray descriptionJson(const FirmwareBundle::Description &description)
{
    return QJsonDocument(
               QJsonObject {{"url", description.url},
                            {"fetched", description.fetched.toUTC().toString(Qt::ISODate)},
                            {"tool", description.tool}})
        .toJson(QJsonDocument::Indented);
}

// Why a bundle cannot be saved in the place as it is now; empty if it can.
QString refusal(const Place &place)
{
    const bool replacing = place.given.exists();
    if (replacing && !place.given.isDir())
        return QStringLiteral("%1 is not a folder").arg(place.shown);
    if (replacing && !place.given.isReadable())
        return QStringLiteral("the folder %1 cannot be read").arg(place.shown);
    const QStringList others = replacing ? otherEntries(place.path) : QStringList();
    if (!others.isEmpty())
        return QStringLiteral("%1 holds files that are not a bundle's (%2); give a new or "
                              "empty folder, or one that holds a bundle")
            .arg(place.shown, others.join(QStringLiteral(", ")));
    if (!QFileInfo(place.parent).isDir())
        return QStringLiteral("there is no folder %1 to make %2 in")
            .arg(QDir::toNativeSeparators(place.parent), place.name);
    return QString();
}

} // namespace

bool FirmwareBundle::canSaveIn(const QString &folder)
{
    const QString why = refusal(Place(folder));
    return why.isEmpty() || fail(why);
}

bool FirmwareBundle::save(const QString &folder, const UpdateFW &check,
                          const Description &description, qint64 imageLimit)
{
    const Place place(folder);
    // Asked again: the folder may have changed during the download.
    if (const QString why = refusal(place); !why.isEmpty())
        return fail(why);
    const bool replacing = place.given.exists();

    const RegularFile image = readRegularFile(check.verifiedImagePath(), imageLimit);
    if (image.outcome == RegularFile::TooLarge)
        return fail(QStringLiteral("the image %1 holds %2 bytes, more than the device's %3")
                        .arg(check.imageFileName())
                        .arg(image.size)
                        .arg(imageLimit));
    if (image.outcome != RegularFile::Read)
        return fail(QStringLiteral("the verified image %1 cannot be read: %2")
                        .arg(check.verifiedImagePath(), image.detail));
    if (md5Hex(image.content) != check.verifiedDigest())
        return fail(QStringLiteral("the image %1 changed after it was verified")
                        .arg(check.verifiedImagePath()));

    // Beside the folder, so that the rename stays within one file system.
    QTemporaryDir staging(place.parent + QStringLiteral("/.") + place.name
                          + QStringLiteral(".XXXXXX"));
    if (!staging.isValid())
        return fail(QStringLiteral("cannot make a folder in %1: %2")
                        .arg(QDir::toNativeSeparators(place.parent), staging.errorString()));
    const QByteArray about = descriptionJson(description);
    const QByteArray versionFile = check.versionFileContent();
    const QString versionName = QString::fromLatin1(VersionFileName);
    const QString descriptionName = QString::fromLatin1(DescriptionName);
    const QList<QPair<QString, QByteArray>> files = {
        {check.imageFileName(), image.content},
        {versionName, versionFile},
        {descriptionName, about},
        {QString::fromLatin1(ChecksumsName),
         checksumLine(image.content, check.imageFileName()) + checksumLine(versionFile, versionName)
             + checksumLine(about, descriptionName)},
    };
    for (const auto &[name, content] : files) {
        // QSaveFile has each file on the disk before the folder is renamed.
        QSaveFile file(staging.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size()
            || !file.commit())
            return fail(QStringLiteral("cannot write %1: %2")
                            .arg(QDir::toNativeSeparators(file.fileName()), file.errorString()));
    }
    // A made-up folder is its owner's alone; a bundle is for everyone who
    // updates devices on this PC, as the folder it replaces was.
    QFile::setPermissions(staging.path(),
                          replacing ? QFileInfo(place.path).permissions()
                                    : QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                  | QFileDevice::ExeOwner | QFileDevice::ReadGroup
                                  | QFileDevice::ExeGroup | QFileDevice::ReadOther
                                  | QFileDevice::ExeOther);

    QString why;
    const QString old = staging.path() + QStringLiteral(".old");
    if (replacing && !renameFolder(place.path, old, &why))
        return fail(QStringLiteral("cannot move the bundle in %1 aside: %2").arg(place.shown, why));
    if (!renameFolder(staging.path(), place.path, &why)) {
        QString ignored;
        if (replacing)
            renameFolder(old, place.path, &ignored);
        return fail(QStringLiteral("cannot rename %1 to %2: %3")
                        .arg(QDir::toNativeSeparators(staging.path()), place.shown, why));
    }
    staging.setAutoRemove(false);
    if (replacing)
        removeBundle(old);
    removeLeftovers(place.parent, place.name);
    return true;
}

FirmwareBundle::Description FirmwareBundle::readDescription(const QString &folder)
{
    Description description;
    const RegularFile file = readRegularFile(
        QDir(folder).filePath(QString::fromLatin1(DescriptionName)), DescriptionLimit);
    const QJsonObject about = QJsonDocument::fromJson(file.content).object();
    description.url = about.value(QStringLiteral("url")).toString();
    description.fetched
        = QDateTime::fromString(about.value(QStringLiteral("fetched")).toString(), Qt::ISODate);
    description.tool = about.value(QStringLiteral("tool")).toString();
    return description;
}

bool FirmwareBundle::fail(const QString &text)
{
    error = text;
    return false;
}
