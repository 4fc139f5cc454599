#include "updatefw.h"

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

} // namespace

UpdateFW::UpdateFW(QObject *parent)
    : QObject(parent),
      serverBaseUrl(QStringLiteral(FW_SERVER_BASE_URL)),
      serverAuthority(pinnedServerAuthorityPem)
{
    connect(&task, &DownloadTask::done, this, &UpdateFW::onDone);
    // A coarse timer may fire up to 5 % early and give the server less than
    // its 5000 ms.
    httpTimer.setTimerType(Qt::PreciseTimer);
    connect(&httpTimer, &QTimer::timeout, this, &UpdateFW::onHttpTimeOut);
}

UpdateFW::~UpdateFW() = default;

// The name the server publishes the announced version's image under.
QString UpdateFW::imageName() const
{
    return QString::asprintf("K-DMX-47-%d", fwVersion);
}

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
    requestUrl = QString::asprintf("%s/%s/%s/version.txt", qUtf8Printable(serverBaseUrl), serverDir,
                                   modelDir);
    QFile::remove(filePath);
    httpTimer.start(httpTimeOut);
    task.download(QUrl(requestUrl), filePath);
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
             .arg(requestUrl));
}

void UpdateFW::onDone()
{
    qDebug() << "onDone";
    httpTimer.stop();
    if (!fwHash.isEmpty())
        verifyFW();
    else
        readVersionFile();
}

void UpdateFW::readVersionFile()
{
    QByteArray content;
    QFile file(filePath);
    if (task.stored() && file.open(QIODevice::ReadOnly)) {
        content = file.readAll();
        file.close();
    }

    int version = 0;
    QByteArray token;
    if (parseVersionFile(content, &version, &token)) {
        fwVersion = version;
        fwHash = QString::fromLatin1(token);
        downloadFW();
        return;
    }
    qDebug() << "file error";
    Failure failure = VersionFileMalformed;
    QString reason;
    if (!transferFailed(&failure, &reason))
        reason = QStringLiteral("version file malformed: expected a version number and an MD5 "
                                "digest, got \"%1\" (%2)")
                     .arg(excerpt(content), requestUrl);
    fail(failure, reason);
}

void UpdateFW::downloadFW()
{
    const QString folder = downloadFolder();
    if (folder.isEmpty()) {
        reportUnusableTempDir();
        return;
    }
    const QString fwName = imageName() + QStringLiteral(".ghx");
    filePath = QString::asprintf("%s/%s_Update.ghx", qUtf8Printable(folder), serverDir);
    requestUrl = QString::asprintf("%s/%s/%s/%s", qUtf8Printable(serverBaseUrl), serverDir,
                                   modelDir, qUtf8Printable(fwName));
    QFile::remove(filePath);
    emit setFwName(filePath);
    // A server that stops sending would otherwise leave the user waiting for
    // ever; the abandoned reply then fails the digest check like any other.
    task.download(QUrl(requestUrl), filePath, imageTransferTimeout);
}

void UpdateFW::verifyFW()
{
    QByteArray content;
    QFile file(filePath);
    const bool readable = task.stored() && file.open(QIODevice::ReadOnly);
    if (readable) {
        content = file.readAll();
        file.close();
    }
    const QString digest
        = QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex());
    qDebug() << digest;
    qDebug() << fwHash;

    // An image that was never stored is not taken for an empty one, whose
    // digest a version file could name.
    if (readable && digest == fwHash) {
        verifiedHash = digest;
        verifiedPath = filePath;
        emit imageVerified(fwVersion, imageName(), digest);
        emit labelFW(QStringLiteral("最新のFWバージョン : ") + imageName());
        fwHash.clear();
    } else {
        emit canUpgrade(false);
        Failure failure = DigestMismatch;
        QString reason;
        if (!transferFailed(&failure, &reason))
            reason = QStringLiteral("image digest mismatch: %1 has MD5 %2, the version file "
                                    "announced %3")
                         .arg(requestUrl, digest, fwHash);
        fail(failure, reason);
    }
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
    const QNetworkReply::NetworkError error = task.networkError();
    const int status = task.httpStatus();
    if (!task.certificateErrors().isEmpty() || error == QNetworkReply::SslHandshakeFailedError) {
        const QStringList errors = task.certificateErrors();
        *failure = CertificateRefused;
        *reason = QStringLiteral("certificate refused: %1 (%2)")
                      .arg(errors.isEmpty() ? task.networkErrorString() : errors.join("; "),
                           requestUrl);
    } else if (error == QNetworkReply::OperationCanceledError
               || error == QNetworkReply::TimeoutError) {
        *failure = NoAnswerInTime;
        *reason = QStringLiteral("no answer in time: the firmware server stopped sending (%1)")
                      .arg(requestUrl);
    } else if (status != 0 && status != 200) {
        *failure = HttpStatus;
        *reason = QStringLiteral("HTTP status %1 from the firmware server (%2)")
                      .arg(status)
                      .arg(requestUrl);
    } else if (error != QNetworkReply::NoError && status == 0) {
        *failure = ServerUnreachable;
        *reason = QStringLiteral("firmware server unreachable: %1 (%2)")
                      .arg(task.networkErrorString(), requestUrl);
    } else if (error != QNetworkReply::NoError) {
        // The server answered, then the body broke off: whatever part of it
        // arrived fails its check for that reason, not for its content.
        *failure = ConnectionCut;
        *reason = QStringLiteral("connection cut: the firmware server's answer broke off: %1 (%2)")
                      .arg(task.networkErrorString(), requestUrl);
    } else if (!task.stored()) {
        *failure = FileNotWritable;
        *reason
            = QStringLiteral("file not writable: %1: %2").arg(filePath, task.storeErrorString());
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
