#include "firmwarebundle.h"

#include "filereplace.h"
#include "firmwaresignature.h"
#include "heldfolder.h"
#include "regularfile.h"
#include "verifiedfirmware.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>

namespace {

// A description is a few lines; nothing larger is read.
constexpr qint64 DescriptionLimit = 64 * 1024;

const QDir::Filters EveryEntry
    = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;

// What a bundle's folder may hold: its own files, and images of any version
// with their signatures.
bool isBundleFileName(const QString &name)
{
    static const QRegularExpression imageName(
        QStringLiteral("^K-DMX-47--?[0-9]+\\.ghx(\\.minisig)?$"));
    return name == QLatin1String(FirmwareBundle::VersionFileName)
        || name == QLatin1String(FirmwareBundle::ChecksumsName)
        || name == QLatin1String(FirmwareBundle::DescriptionName)
        || imageName.match(name).hasMatch();
}

QStringList otherEntries(const QString &folder)
{
    QStringList others;
    for (const QFileInfo &entry : QDir(folder).entryInfoList(EveryEntry, QDir::Name)) {
        if (!entry.isFile() || !isBundleFileName(entry.fileName()))
            others << entry.fileName();
    }
    return others;
}

// A save makes its bundle whole in a staging folder beside the bundle's,
// named ".NAME.ql7420-fetch-XXXXXX" and marked as the save's own by this
// file, written in it first. The new bundle is made in its "bundle" folder;
// the bundle it replaces ends in its "old" folder, or, where the two were
// swapped in one step, in "bundle". Nothing else beside the bundle is ever
// taken for the save's own.
constexpr char StagingTag[] = "ql7420-fetch";
constexpr char StagingMark[] = ".ql7420-fetch";
constexpr char NewBundle[] = "bundle";
constexpr char MovedAside[] = "old";
// A save takes milliseconds; one that holds the lock longer than this has
// died, which QLockFile sees sooner where the process is on this PC.
constexpr int LockWaitMs = 5000;
constexpr int FolderRenameRetryStepMs = 50;
constexpr int FolderRenameRetryLimitMs = 10000;

QString stagingPattern(const QString &name)
{
    return QStringLiteral(".%1.%2-XXXXXX").arg(name, QLatin1String(StagingTag));
}

bool isStagingName(const QString &entry, const QString &name)
{
    static const QRegularExpression suffix(QStringLiteral("^[A-Za-z0-9]{6}$"));
    const QString prefix = stagingPattern(name).chopped(6);
    return entry.startsWith(prefix) && suffix.match(entry.mid(prefix.size())).hasMatch();
}

// A folder of a save's own: its name, its mark, and no link on the way.
bool isStagingFolder(const QFileInfo &entry, const QString &name)
{
    const QString mark = entry.filePath() + QLatin1Char('/') + QLatin1String(StagingMark);
    return isStagingName(entry.fileName(), name) && entry.isDir() && !isLink(entry.filePath())
        && QFileInfo(mark).isFile() && !isLink(mark);
}

// Whether a folder holds nothing but a bundle's own files, none of them a
// link.
bool holdsOnlyBundleFiles(const HeldFolder &folder)
{
    const QList<HeldFolder::Entry> entries = folder.entries();
    return std::all_of(entries.cbegin(), entries.cend(), [](const HeldFolder::Entry &entry) {
        return entry.kind == HeldFolder::File && isBundleFileName(entry.name);
    });
}

// Removes a bundle's files from the folder name in staging, then the
// folder, which stays where anything else is left in it.
void removeBundleFolder(HeldFolder &staging, const QString &name)
{
    {
        HeldFolder folder(staging, name);
        for (const HeldFolder::Entry &entry : folder.entries()) {
            if (isBundleFileName(entry.name))
                folder.removeFile(entry.name);
        }
    }
    staging.removeFolder(name);
}

// What a clean-up of a staging folder takes with it.
enum class Clearing { Whole, KeepingMovedAside };

// A staging folder goes whole, or, where it holds anything but what a save
// puts there (a file someone added to the bundle moved aside), not at all;
// kept moved aside, the old bundle stays in it with its mark, for the next
// save to put back. Everything is looked at and removed through the folders
// held open, and only where it is a save's own: no link is followed, and
// nothing swapped in at a path meanwhile is ever reached.
void removeStagingFolder(const QString &parent, const QString &name,
                         Clearing clearing = Clearing::Whole)
{
    HeldFolder above(parent);
    {
        HeldFolder staging(above, name);
        if (!staging.isHeld())
            return;
        const QStringList folders = {QLatin1String(NewBundle), QLatin1String(MovedAside)};
        for (const HeldFolder::Entry &entry : staging.entries()) {
            const bool isOurs = entry.name == QLatin1String(StagingMark)
                ? entry.kind == HeldFolder::File
                : folders.contains(entry.name) && entry.kind == HeldFolder::Folder
                    && holdsOnlyBundleFiles(HeldFolder(staging, entry.name));
            if (!isOurs)
                return;
        }
        removeBundleFolder(staging, QLatin1String(NewBundle));
        if (clearing == Clearing::KeepingMovedAside)
            return;
        removeBundleFolder(staging, QLatin1String(MovedAside));
        staging.removeFile(QLatin1String(StagingMark));
    }
    // Held no more: Windows removes no folder that anyone holds.
    above.removeFolder(name);
}

QList<QFileInfo> stagingFolders(const QString &parent, const QString &name)
{
    QList<QFileInfo> found;
    for (const QFileInfo &entry :
         QDir(parent).entryInfoList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name)) {
        if (isStagingFolder(entry, name))
            found << entry;
    }
    return found;
}

// Renames a folder, trying again while another program has it open.
bool renameFolderPatiently(const QString &source, const QString &target, QString *error)
{
    QElapsedTimer tried;
    tried.start();
    bool busy = false;
    while (!renameFolder(source, target, error, &busy)) {
        if (!busy || tried.elapsed() > FolderRenameRetryLimitMs)
            return false;
        QThread::msleep(FolderRenameRetryStepMs);
    }
    return true;
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
    if (replacing && isFileSystemRoot(place.path))
        return QStringLiteral("%1 is the root of a file system (a USB stick's, a drive's), which "
                              "cannot be replaced as a whole; give a folder in it instead, such "
                              "as %2")
            .arg(place.shown,
                 QDir::toNativeSeparators(QDir(place.path).filePath(QStringLiteral("ql7420"))));
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

// One save into a folder at a time: two at once would each move the other's
// bundle aside or clear it away. The lock lies beside the folder, where the
// staging folders are made.
QString lockReason(QLockFile &lock, const Place &place)
{
    // Refused before the lock, which would lie above a file system's root.
    if (!QFileInfo(place.parent).isDir() || (place.given.isDir() && isFileSystemRoot(place.path)))
        return refusal(place);
    if (lock.tryLock(LockWaitMs))
        return QString();
    qint64 pid = 0;
    QString host;
    QString program;
    if (lock.error() == QLockFile::LockFailedError && lock.getLockInfo(&pid, &host, &program))
        return QStringLiteral("another fetch (%1, process %2 on %3) is saving a bundle in %4; "
                              "try again when it has ended")
            .arg(program)
            .arg(pid)
            .arg(host, place.shown);
    return QStringLiteral("cannot lock %1 for the save: cannot write %2")
        .arg(place.shown, QDir::toNativeSeparators(lock.fileName()));
}

QString lockPath(const Place &place)
{
    return QStringLiteral("%1/.%2.%3.lock")
        .arg(place.parent, place.name, QLatin1String(StagingTag));
}

// The bundle that a save cut off between its two renames left in its staging
// folder, where the folder itself is gone; empty where there is none.
QString movedAside(const Place &place)
{
    if (place.given.exists() || isLink(place.path))
        return QString();
    for (const QFileInfo &staging : stagingFolders(place.parent, place.name)) {
        const QString old = staging.filePath() + QLatin1Char('/') + QLatin1String(MovedAside);
        if (QFileInfo(old).isDir() && !isLink(old))
            return old;
    }
    return QString();
}

// Locks the place and puts back a bundle that a save cut off left moved
// aside, so that nothing that follows takes the folder for a new one.
QString lockAndRecover(QLockFile &lock, const Place &place)
{
    if (const QString why = lockReason(lock, place); !why.isEmpty())
        return why;
    if (const QString old = movedAside(place); !old.isEmpty()) {
        QString ignored;
        renameFolderPatiently(old, place.path, &ignored);
    }
    return QString();
}

// Puts the bundle made in fresh in the place of the folder, the bundle that
// stood there going to aside; the folder's name is never free where the
// two are swapped in one step, and otherwise only between two renames,
// which lockAndRecover() mends after a cut. Where the second rename fails
// and the old bundle cannot be put back either, it stays aside, the only
// copy: *clearing says so, and the reason says where it lies.
QString putInPlace(const QString &fresh, const QString &aside, const Place &place, bool replacing,
                   bool swap, Clearing *clearing)
{
    QString why;
    bool unsupported = true;
    if (replacing && swap && exchangeFolders(fresh, place.path, &why, &unsupported)) {
        // So that "bundle" only ever holds a bundle being made; where this
        // fails, the clean-up takes the old one from there as well.
        bool busy = false;
        renameFolder(fresh, aside, &why, &busy);
        return QString();
    }
    if (!unsupported)
        return QStringLiteral("cannot put the new bundle in place of %1: %2").arg(place.shown, why);
    if (replacing && !renameFolderPatiently(place.path, aside, &why))
        return QStringLiteral("cannot move the bundle in %1 aside: %2").arg(place.shown, why);
    if (renameFolderPatiently(fresh, place.path, &why))
        return QString();
    const QString failed = QStringLiteral("cannot rename %1 to %2: %3")
                               .arg(QDir::toNativeSeparators(fresh), place.shown, why);
    if (!replacing || renameFolderPatiently(aside, place.path, &why))
        return failed;
    *clearing = Clearing::KeepingMovedAside;
    return QStringLiteral("%1; the bundle that stood there cannot be put back either (%2): it "
                          "lies moved aside in %3, which the next fetch into %4 puts back")
        .arg(failed, why, QDir::toNativeSeparators(aside), place.shown);
}

} // namespace

bool FirmwareBundle::canSaveIn(const QString &folder)
{
    const Place asked(folder);
    QLockFile lock(lockPath(asked));
    if (const QString why = lockAndRecover(lock, asked); !why.isEmpty())
        return fail(why);
    // Looked at again: a bundle put back has changed what the folder is.
    const QString why = refusal(Place(folder));
    return why.isEmpty() || fail(why);
}

bool FirmwareBundle::save(const QString &folder, const VerifiedFirmware &firmware,
                          const Description &description, qint64 imageLimit)
{
    const Place asked(folder);
    QLockFile lock(lockPath(asked));
    if (const QString why = lockAndRecover(lock, asked); !why.isEmpty())
        return fail(why);
    // Looked at again: a bundle put back has changed what the folder is.
    const Place place(folder);
    // Asked again: the folder may have changed during the download.
    if (const QString why = refusal(place); !why.isEmpty())
        return fail(why);
    const bool replacing = place.given.exists();

    // The bytes the check verified, which no one can have changed since,
    // unlike the file it left.
    const QByteArray image = firmware.verifiedImage();
    if (image.size() > imageLimit)
        return fail(QStringLiteral("the image %1 holds %2 bytes, more than the device's %3")
                        .arg(firmware.imageFileName())
                        .arg(image.size())
                        .arg(imageLimit));
    const QByteArray signedHash = firmware.signedImageHash();
    if (firmware.verifiedDigest().isEmpty() || md5Hex(image) != firmware.verifiedDigest()
        || (!signedHash.isEmpty() && FirmwareSignature::hash(image) != signedHash))
        return fail(QStringLiteral("the image %1 is not the one the firmware check verified")
                        .arg(firmware.imageFileName()));

    // Beside the folder, so that the renames stay within one file system.
    QTemporaryDir made(place.parent + QLatin1Char('/') + stagingPattern(place.name));
    if (!made.isValid())
        return fail(QStringLiteral("cannot make a folder in %1: %2")
                        .arg(QDir::toNativeSeparators(place.parent), made.errorString()));
    // From here on only removeStagingFolder() clears it, which spares
    // anything that is not the save's own.
    made.setAutoRemove(false);
    const QString staging = made.path();
    const QString stagingName = QFileInfo(staging).fileName();
    const QDir stage(staging);
    const QString fresh = stage.filePath(QLatin1String(NewBundle));
    const auto failInStaging
        = [this, &place, &stagingName](const QString &why, Clearing clearing = Clearing::Whole) {
              removeStagingFolder(place.parent, stagingName, clearing);
              return fail(why);
          };
    const auto shown = [](const QString &path) { return QDir::toNativeSeparators(path); };
    QString why;
    const QString markPath = stage.filePath(QLatin1String(StagingMark));
    if (!writeNewFile(markPath, "ql7420-fwupdate-cli fetch\n", &why))
        return failInStaging(QStringLiteral("cannot write %1: %2").arg(shown(markPath), why));
    if (!stage.mkdir(QLatin1String(NewBundle)))
        return failInStaging(QStringLiteral("cannot make the folder %1").arg(shown(fresh)));

    const QByteArray about = descriptionJson(description);
    const QByteArray versionFile = firmware.versionFileContent();
    const QString versionName = QString::fromLatin1(VersionFileName);
    const QString descriptionName = QString::fromLatin1(DescriptionName);
    QList<QPair<QString, QByteArray>> files = {
        {firmware.imageFileName(), image},
        {versionName, versionFile},
        {descriptionName, about},
    };
    // The maker's signature, where the check asked for one, travels with the
    // image, so that a PC updating from the bundle verifies it as well.
    if (const QByteArray signature = firmware.signatureFileContent(); !signature.isEmpty())
        files.insert(1, {firmware.signatureFileName(), signature});
    QByteArray checksums;
    for (const auto &[name, content] : files)
        checksums += checksumLine(content, name);
    files.append({QString::fromLatin1(ChecksumsName), checksums});
    for (const auto &[name, content] : files) {
        const QString path = fresh + QLatin1Char('/') + name;
        if (!writeNewFile(path, content, &why))
            return failInStaging(QStringLiteral("cannot write %1: %2").arg(shown(path), why));
    }
    // A made-up folder is its owner's alone; a bundle is for everyone who
    // updates devices on this PC, as the folder it replaces was.
    QFile::setPermissions(fresh,
                          replacing ? QFileInfo(place.path).permissions()
                                    : QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                  | QFileDevice::ExeOwner | QFileDevice::ReadGroup
                                  | QFileDevice::ExeGroup | QFileDevice::ReadOther
                                  | QFileDevice::ExeOther);
    // The new bundle's files, the staging folder's mark and the staging
    // folder itself are on the disk before anything is renamed, so that a
    // power cut between the renames leaves the old bundle where the next
    // save finds it.
    for (const QString &path : {fresh, staging, place.parent}) {
        if (!syncFolder(path, &why))
            return failInStaging(
                QStringLiteral("cannot flush %1 to the disk: %2").arg(shown(path), why));
    }

    const QString aside = stage.filePath(QLatin1String(MovedAside));
    Clearing clearing = Clearing::Whole;
    why = putInPlace(fresh, aside, place, replacing, oneStepSwap, &clearing);
    if (!why.isEmpty())
        return failInStaging(why, clearing);
    // "Bundle saved" is said only of a bundle that a power cut now keeps;
    // until then the old bundle stays where the renames left it.
    for (const QString &path : {place.parent, staging}) {
        if (!syncFolder(path, &why))
            return fail(QStringLiteral("the new bundle is in %1, but the disk has not confirmed "
                                       "it: cannot flush %2: %3")
                            .arg(place.shown, shown(path), why));
    }
    removeStagingFolder(place.parent, stagingName);
    // What saves cut off before this one left.
    for (const QFileInfo &leftover : stagingFolders(place.parent, place.name))
        removeStagingFolder(place.parent, leftover.fileName());
    return true;
}

QString FirmwareBundle::movedAsideBundle(const QString &folder)
{
    return movedAside(Place(folder));
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
