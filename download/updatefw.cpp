#include "updatefw.h"

#include "firmwarebundle.h"
#include "firmwaresignature.h"
#include "highestverifiedversion.h"
#include "regularfile.h"
#include "serverauthority.h"
#include "versionfile.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

#include <utility>

#ifndef FW_SERVER_BASE_URL
#error "FW_SERVER_BASE_URL must be defined by the build"
#endif

namespace {

// The reason a check failed, for whoever reads the debug output; apart from
// the check's own lines, so that those keep their fixed form.
Q_LOGGING_CATEGORY(lcFirmware, "ql7420.firmware")

const char *const serverDir = "hello";
const char *const modelDir = "TPX-KLN04";
const int httpTimeOut = 5000;
// Far more than any version file holds, from the server or from a bundle.
constexpr qint64 VersionFileLimit = 4 * 1024;

// The first bytes of what came instead of a version file, readable in one
// line whatever they hold.
QString excerpt(const QByteArray &content)
{
    const int shown = 40;
    QString text;
    for (char c : content.left(shown)) {
        if (c >= ' ' && c < 127)
            text += QLatin1Char(c);
        else
            text += QStringLiteral("\\x%1").arg(quint8(c), 2, 16, QLatin1Char('0'));
    }
    return content.size() > shown ? text + QStringLiteral("...") : text;
}

// Qt reports a TMPDIR that does not exist as an empty path, which would put
// the downloads in the root directory; no directory at all is no better.
bool isUsableDirectory(const QString &path)
{
    return !path.isEmpty() && QFileInfo(path).isDir();
}

QString tooLargeReason(const QString &origin, const QString &holds, const QString &limitName,
                       qint64 limit)
{
    return QStringLiteral("file too large: %1 %2, more than %3 %4")
        .arg(origin, holds, limitName)
        .arg(limit);
}

} // namespace

UpdateFW::UpdateFW(QObject *parent)
    : QObject(parent),
      serverBaseUrl(QStringLiteral(FW_SERVER_BASE_URL)),
      serverAuthority(pinnedServerAuthorityPem)
{
    signingKeys = FirmwareSignature::buildKeys();
    connect(&task, &DownloadTask::done, this, &UpdateFW::onDone);
    // A coarse timer may fire up to 5 % early and give the server less than
    // its 5000 ms.
    httpTimer.setTimerType(Qt::PreciseTimer);
    connect(&httpTimer, &QTimer::timeout, this, &UpdateFW::onHttpTimeOut);
}

UpdateFW::~UpdateFW() = default;

void UpdateFW::setBaseUrl(const QString &baseUrl)
{
    serverBaseUrl = baseUrl.isEmpty() ? QStringLiteral(FW_SERVER_BASE_URL) : baseUrl;
}

void UpdateFW::setPinnedAuthority(const QByteArray &pem)
{
    serverAuthority = pem.isEmpty() ? QByteArray(pinnedServerAuthorityPem) : pem;
}

void UpdateFW::checkServerFW()
{
    const QString folder = downloadFolder();
    if (folder.isEmpty()) {
        // Reported from the event loop, as a reply would be: the check starts
        // inside the dialog's constructor, before any loop could take the
        // quit request.
        QTimer::singleShot(0, this, &UpdateFW::reportUnusableTempDir);
        return;
    }
    // A pinned authority that does not parse pins nothing, so it trusts no
    // server rather than every server the system trusts.
    if (!serverAuthority.isEmpty())
        task.pinAuthorities(QSslCertificate::fromData(serverAuthority, QSsl::Pem));
    filePath = folder + QLatin1Char('/') + QLatin1String("fw_version.txt");
    origin = QString::asprintf("%s/%s/%s/version.txt", qUtf8Printable(serverBaseUrl), serverDir,
                               modelDir);
    QFile::remove(filePath);
    httpTimer.start(httpTimeOut);
    download(filePath, VersionFileLimit, QStringLiteral("a version file's"), 0);
}

// Fetches origin to path, to be judged by what arrived.
void UpdateFW::download(const QString &path, qint64 limit, const QString &limitName,
                        int transferTimeout)
{
    storedPath = path;
    sizeLimit = limit;
    sizeLimitName = limitName;
    task.download(QUrl(origin), path, limit, transferTimeout);
}

void UpdateFW::onHttpTimeOut()
{
    // The server answered in time; storing its answer, which another
    // program may hold up for seconds, ends with onDone().
    if (task.isStoring())
        return;
    httpTimer.stop();
    qDebug() << "Http Time out";
    fail(NoAnswerInTime,
         QStringLiteral("no answer in time: the firmware server sent no version file within %1 s "
                        "(%2)")
             .arg(httpTimeOut / 1000)
             .arg(origin));
}

void UpdateFW::onDone()
{
    qDebug() << "onDone";
    httpTimer.stop();
    if (signatureAwaited)
        verifySignature();
    else if (!fwHash.isEmpty())
        verifyFW();
    else
        readVersionFile();
}

void UpdateFW::readVersionFile()
{
    if (acceptVersionFile(task.stored() ? task.body() : QByteArray()))
        downloadFW();
}

// Takes the number and the digest the version file announces, or fails the
// check.
bool UpdateFW::acceptVersionFile(const QByteArray &content)
{
    int version = 0;
    QByteArray token;
    if (parseVersionFile(content, &version, &token)) {
        fwVersion = version;
        fwHash = QString::fromLatin1(token);
        versionFile = content;
        return true;
    }
    qDebug() << "file error";
    Failure failure = VersionFileMalformed;
    QString reason;
    if (!transferFailed(&failure, &reason))
        reason = QStringLiteral("version file malformed: expected a version number and an MD5 "
                                "digest, got \"%1\" (%2)")
                     .arg(excerpt(content), origin);
    fail(failure, reason);
    return false;
}

void UpdateFW::downloadFW()
{
    const QString folder = downloadFolder();
    if (folder.isEmpty()) {
        reportUnusableTempDir();
        return;
    }
    const QString fwName = imageFileName();
    filePath = QString::asprintf("%s/%s_Update.ghx", qUtf8Printable(folder), serverDir);
    origin = QString::asprintf("%s/%s/%s/%s", qUtf8Printable(serverBaseUrl), serverDir, modelDir,
                               qUtf8Printable(fwName));
    QFile::remove(filePath);
    emit setFwName(filePath);
    // A server that stops sending would otherwise leave the user waiting for
    // ever; the abandoned reply then fails the digest check like any other.
    download(filePath, ImageLimit, QStringLiteral("the device's"), imageTransferTimeout);
}

// Judged by the bytes that arrived, which are the ones kept and sent: the
// file may change once it is stored.
void UpdateFW::verifyFW()
{
    const QByteArray content = task.body();
    if (!imageMatches(content, task.stored()))
        return;
    if (signingKeys.isEmpty())
        announceImage(content);
    else
        downloadSignature(content);
}

// The maker's signature, published beside the image, is fetched once the
// image has arrived whole.
void UpdateFW::downloadSignature(const QByteArray &image)
{
    imageAwaitingSignature = image;
    signatureAwaited = true;
    const QString path = filePath + QStringLiteral(".minisig");
    origin += QStringLiteral(".minisig");
    QFile::remove(path);
    download(path, FirmwareSignature::FileLimit, QStringLiteral("a signature's"),
             imageTransferTimeout);
}

void UpdateFW::verifySignature()
{
    signatureAwaited = false;
    const QByteArray image = std::exchange(imageAwaitingSignature, {});
    const int status = task.httpStatus();
    if (status == 404 || status == 410) {
        failSignature(SignatureMissing,
                      QStringLiteral("signature missing: the firmware server has no signature "
                                     "of the image (HTTP status %1 for %2), and this build takes "
                                     "only firmware that the maker signed")
                          .arg(status)
                          .arg(origin));
        return;
    }
    Failure failure = SignatureMissing;
    QString reason;
    if (transferFailed(&failure, &reason)) {
        fail(failure, reason);
        return;
    }
    if (signatureAccepted(task.body(), image))
        announceImage(image);
}

// Whether the signature is the maker's, of this very image in its place; if
// not, the check fails saying why.
bool UpdateFW::signatureAccepted(const QByteArray &signature, const QByteArray &image)
{
    const FirmwareSignature::Verdict verdict
        = FirmwareSignature(signingKeys)
              .verify(signature, image, imageFileName(), fwVersion, QLatin1String(modelDir));
    switch (verdict.outcome) {
    case FirmwareSignature::Verified:
        if (!versionGoesForward())
            return false;
        signatureFile = signature;
        signedHash = verdict.hash;
        signerKeyId = verdict.keyId;
        return true;
    case FirmwareSignature::Malformed:
        failSignature(SignatureMalformed,
                      QStringLiteral("signature malformed: %1: %2").arg(origin, verdict.detail));
        break;
    case FirmwareSignature::UnknownKey:
        failSignature(SignatureKeyUnknown,
                      QStringLiteral("signature by a key this build does "
                                     "not hold: %1: %2")
                          .arg(origin, verdict.detail));
        break;
    case FirmwareSignature::Invalid:
        failSignature(SignatureInvalid,
                      QStringLiteral("signature invalid: %1: %2").arg(origin, verdict.detail));
        break;
    case FirmwareSignature::OtherPlace:
        failSignature(SignatureMismatch,
                      QStringLiteral("signature names another file, version or model: %1: %2")
                          .arg(origin, verdict.detail));
        break;
    }
    return false;
}

// Only once the signature is the maker's does the version count: nobody else
// can raise what this PC remembers.
bool UpdateFW::versionGoesForward()
{
    const HighestVerifiedVersion record(serverBaseUrl, QLatin1String(modelDir));
    int highest = 0;
    QString reason;
    if (!record.read(&highest, &reason)) {
        failSignature(VersionRecordUnusable,
                      QStringLiteral("record of verified versions unusable: ") + reason);
        return false;
    }
    newerVerified = fwVersion < highest ? highest : 0;
    if (newerVerified && !olderAllowed) {
        failSignature(OlderThanVerified,
                      QStringLiteral("older firmware refused: %1 is version %2, older than "
                                     "version %3, which this PC has already verified")
                          .arg(imageFileName())
                          .arg(fwVersion)
                          .arg(highest));
        return false;
    }
    // The image is genuine all the same: a record that cannot be written
    // costs only the memory of this version.
    if (!record.raise(fwVersion, &reason))
        qCWarning(lcFirmware) << "the version verified is not recorded:" << reason;
    return true;
}

// An image without the maker's signature is refused as one that does not
// match its digest is.
void UpdateFW::failSignature(Failure failure, const QString &reason)
{
    emit canUpgrade(false);
    fail(failure, reason);
}

// Whether the image is the one the version file announced; if not, the check
// fails.
bool UpdateFW::imageMatches(const QByteArray &content, bool readable)
{
    const QString digest
        = QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex());
    qDebug() << digest;
    qDebug() << fwHash;

    // An image that was never stored is not taken for an empty one, whose
    // digest a version file could name.
    if (readable && digest == fwHash)
        return true;
    emit canUpgrade(false);
    Failure failure = DigestMismatch;
    QString reason;
    if (!transferFailed(&failure, &reason))
        reason = QStringLiteral("image digest mismatch: %1 has MD5 %2, the version file "
                                "announced %3")
                     .arg(origin, digest, fwHash);
    fail(failure, reason);
    return false;
}

// The image matched: it is the verified one from now on.
void UpdateFW::announceImage(const QByteArray &image)
{
    verifiedHash = fwHash;
    verifiedBytes = image;
    emit imageVerified(fwVersion, imageName(), verifiedHash);
    emit labelFW(QStringLiteral("最新のFWバージョン : ") + imageName());
    fwHash.clear();
}

void UpdateFW::checkBundle(const QString &folder, qint64 imageLimit)
{
    fromBundle = true;
    const QFileInfo info(folder);
    const QDir bundle(info.absoluteFilePath());
    const QString shown = QDir::toNativeSeparators(bundle.absolutePath());
    if (!info.exists()) {
        QString reason = QStringLiteral("bundle not found: there is no folder %1").arg(shown);
        if (const QString aside = FirmwareBundle::movedAsideBundle(folder); !aside.isEmpty())
            reason += QStringLiteral("; a fetch into it was cut off and left its bundle moved "
                                     "aside in %1, which the next fetch into %2 puts back")
                          .arg(QDir::toNativeSeparators(aside), shown);
        fail(BundleNotFound, reason);
        return;
    }
    if (!info.isDir()) {
        fail(BundleNotFound, QStringLiteral("bundle not found: %1 is not a folder").arg(shown));
        return;
    }
    if (!info.isReadable()) {
        fail(FileUnreadable,
             QStringLiteral("file unreadable: the folder %1 cannot be read").arg(shown));
        return;
    }
    if (bundle.isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        fail(BundleNotFound,
             QStringLiteral("bundle not found: %1 is empty; fetch a bundle into it first")
                 .arg(shown));
        return;
    }

    const QString versionPath
        = bundle.filePath(QString::fromLatin1(FirmwareBundle::VersionFileName));
    origin = QDir::toNativeSeparators(versionPath);
    const RegularFile version = readRegularFile(versionPath, VersionFileLimit);
    if (!bundleFileRead(version, VersionFileLimit, QStringLiteral("a version file's"))
        || !acceptVersionFile(version.content))
        return;

    const QString imagePath = bundle.filePath(imageFileName());
    origin = QDir::toNativeSeparators(imagePath);
    const RegularFile image = readRegularFile(imagePath, imageLimit);
    if (image.outcome == RegularFile::Missing) {
        // The image of another version is no stand-in for the announced one.
        const QStringList others = bundle.entryList({QStringLiteral("K-DMX-47-*.ghx")},
                                                    QDir::Files | QDir::Hidden | QDir::System);
        QString reason = QStringLiteral("file missing: the version file names %1, which %2 does "
                                        "not hold")
                             .arg(imageFileName(), shown);
        if (!others.isEmpty())
            reason += QStringLiteral(" (it holds %1)").arg(others.join(QStringLiteral(", ")));
        fail(FileMissing, reason);
        return;
    }
    if (!bundleFileRead(image, imageLimit, QStringLiteral("the device's"))
        || !imageMatches(image.content, true))
        return;
    if (!signingKeys.isEmpty()) {
        const QString signaturePath = bundle.filePath(signatureFileName());
        origin = QDir::toNativeSeparators(signaturePath);
        const RegularFile signature = readRegularFile(signaturePath, FirmwareSignature::FileLimit);
        if (signature.outcome == RegularFile::Missing) {
            failSignature(SignatureMissing,
                          QStringLiteral("signature missing: %1 does not exist, and this build "
                                         "takes only firmware that the maker signed")
                              .arg(origin));
            return;
        }
        if (!bundleFileRead(signature, FirmwareSignature::FileLimit,
                            QStringLiteral("a signature's"))
            || !signatureAccepted(signature.content, image.content))
            return;
    }
    // The devices are sent these bytes, and the bundle's file is never read
    // again: a stick pulled out during the transfers, or a file put in its
    // place, changes nothing.
    announceImage(image.content);
}

// Whether a file of the bundle, the one at origin, was read whole; if not,
// the check fails saying why.
bool UpdateFW::bundleFileRead(const RegularFile &file, qint64 limit, const QString &limitName)
{
    switch (file.outcome) {
    case RegularFile::Read:
        return true;
    case RegularFile::Missing:
        fail(FileMissing, QStringLiteral("file missing: %1 does not exist").arg(origin));
        break;
    case RegularFile::NotRegular:
        fail(NotRegularFile,
             QStringLiteral("not a regular file: %1 is %2").arg(origin, file.detail));
        break;
    case RegularFile::Unreadable:
        fail(FileUnreadable, QStringLiteral("file unreadable: %1: %2").arg(origin, file.detail));
        break;
    case RegularFile::TooLarge:
        fail(FileTooLarge,
             tooLargeReason(origin, QStringLiteral("holds %1 bytes").arg(file.size), limitName,
                            limit));
        break;
    }
    return false;
}

// The temporary directory, or this check's own folder below it, made on first
// use; empty where that is no usable folder.
QString UpdateFW::downloadFolder()
{
    const QString temp = QDir::tempPath();
    if (!isUsableDirectory(temp))
        return {};
    if (!ownFolderWanted)
        return temp;
    // Named after the program, readable by its user alone.
    if (!ownFolder)
        ownFolder = std::make_unique<QTemporaryDir>();
    return ownFolder->isValid() ? ownFolder->path() : QString();
}

void UpdateFW::reportUnusableTempDir()
{
    qDebug() << "file error";
    // Qt gives an empty path for a TMPDIR that names nothing; the user needs
    // to see what it names.
    QString temp = QDir::tempPath();
    if (temp.isEmpty())
        temp = qEnvironmentVariable("TMPDIR");
    if (ownFolder && isUsableDirectory(temp))
        fail(TempDirUnusable,
             QStringLiteral("temporary folder unusable: cannot make a folder in \"%1\": %2")
                 .arg(temp, ownFolder->errorString()));
    else
        fail(TempDirUnusable,
             QStringLiteral("temporary folder unusable: \"%1\" is not an existing folder")
                 .arg(temp));
}

// Why the last download brought no body fit to judge, where the transfer
// itself tells: a body that did arrive whole is judged by what it holds.
bool UpdateFW::transferFailed(Failure *failure, QString *reason) const
{
    // A bundle's files came through no transfer: they are judged by what
    // they hold.
    if (fromBundle)
        return false;
    const QNetworkReply::NetworkError error = task.networkError();
    const int status = task.httpStatus();
    if (task.tooLarge()) {
        // Abandoned by this end, which Qt reports as a cancelled request.
        const qint64 announced = task.announcedSize();
        *failure = FileTooLarge;
        *reason = tooLargeReason(origin,
                                 announced >= 0
                                     ? QStringLiteral("announces %1 bytes").arg(announced)
                                     : QStringLiteral("sent at least %1 bytes").arg(sizeLimit + 1),
                                 sizeLimitName, sizeLimit);
    } else if (!task.certificateErrors().isEmpty()
               || error == QNetworkReply::SslHandshakeFailedError) {
        const QStringList errors = task.certificateErrors();
        *failure = CertificateRefused;
        *reason
            = QStringLiteral("certificate refused: %1 (%2)")
                  .arg(errors.isEmpty() ? task.networkErrorString() : errors.join("; "), origin);
    } else if (error == QNetworkReply::OperationCanceledError
               || error == QNetworkReply::TimeoutError) {
        *failure = NoAnswerInTime;
        *reason = QStringLiteral("no answer in time: the firmware server stopped sending (%1)")
                      .arg(origin);
    } else if (status != 0 && status != 200) {
        *failure = HttpStatus;
        *reason = QStringLiteral("HTTP status %1 from the firmware server (%2)")
                      .arg(status)
                      .arg(origin);
    } else if (error != QNetworkReply::NoError && status == 0) {
        *failure = ServerUnreachable;
        *reason = QStringLiteral("firmware server unreachable: %1 (%2)")
                      .arg(task.networkErrorString(), origin);
    } else if (error != QNetworkReply::NoError) {
        // The server answered, then the body broke off: whatever part of it
        // arrived fails its check for that reason, not for its content.
        *failure = ConnectionCut;
        *reason = QStringLiteral("connection cut: the firmware server's answer broke off: %1 (%2)")
                      .arg(task.networkErrorString(), origin);
    } else if (!task.stored()) {
        *failure = FileNotWritable;
        *reason
            = QStringLiteral("file not writable: %1: %2").arg(storedPath, task.storeErrorString());
    } else {
        return false;
    }
    return true;
}

void UpdateFW::fail(Failure failure, const QString &reason)
{
    failureText = reason;
    qCDebug(lcFirmware).noquote() << "firmware check failed:" << reason;
    emit failed(failure, reason);
}
