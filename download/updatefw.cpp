#include "updatefw.h"

#include "serverauthority.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QSslCertificate>
#include <QTimer>
#include <QUrl>

#include <climits>

#ifndef FW_SERVER_BASE_URL
#error "FW_SERVER_BASE_URL must be defined by the build"
#endif

namespace {

const char *const serverDir = "hello";
const char *const modelDir = "TPX-KLN04";
const int httpTimeOut = 5000;
const int digestRoom = 32;

QString &baseUrlOverride()
{
    static QString url;
    return url;
}

QByteArray &authorityOverride()
{
    static QByteArray pem;
    return pem;
}

int &imageTransferTimeout()
{
    static int msecs = 30000;
    return msecs;
}

QString baseUrl()
{
    const QString &url = baseUrlOverride();
    return url.isEmpty() ? QStringLiteral(FW_SERVER_BASE_URL) : url;
}

QByteArray pinnedAuthority()
{
    const QByteArray &pem = authorityOverride();
    return pem.isEmpty() ? QByteArray(pinnedServerAuthorityPem) : pem;
}

// Qt reports a TMPDIR that does not exist as an empty path, which would put
// the downloads in the root directory; no directory at all is no better.
bool isUsableDirectory(const QString &path)
{
    return !path.isEmpty() && QFileInfo(path).isDir();
}

bool isBlank(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The version file is read by the rules of sscanf's "%d %s": optional blanks,
// an optional sign and decimal digits, any run of blanks (an empty one too),
// then a run of non-blank characters; the rest is ignored, and the text ends
// at a NUL byte as a C string would. Where sscanf would overrun the digest's
// room or leave an out-of-range number undefined, this refuses the file.
bool parseVersionText(const QByteArray &text, int *number, QByteArray *token)
{
    const char *p = text.constData();
    while (isBlank(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    if (!isDigit(*p))
        return false;
    const qint64 limit = negative ? -qint64(INT_MIN) : qint64(INT_MAX);
    qint64 magnitude = 0;
    for (; isDigit(*p); ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > limit)
            return false;
    }
    while (isBlank(*p))
        ++p;
    const char *start = p;
    while (*p != '\0' && !isBlank(*p))
        ++p;
    if (p == start || p - start > digestRoom)
        return false;
    *number = int(negative ? -magnitude : magnitude);
    *token = QByteArray(start, p - start);
    return true;
}

} // namespace

UpdateFW::UpdateFW(QObject *parent) : QObject(parent)
{
    connect(&task, &DownloadTask::done, this, &UpdateFW::onDone);
    // A coarse timer may fire up to 5 % early and give the server less than
    // its 5000 ms.
    httpTimer.setTimerType(Qt::PreciseTimer);
    connect(&httpTimer, &QTimer::timeout, this, &UpdateFW::onHttpTimeOut);
}

void UpdateFW::overrideBaseUrl(const QString &baseUrl)
{
    baseUrlOverride() = baseUrl;
}

void UpdateFW::overridePinnedAuthority(const QByteArray &pem)
{
    authorityOverride() = pem;
}

void UpdateFW::overrideImageTransferTimeout(int msecs)
{
    imageTransferTimeout() = msecs;
}

void UpdateFW::checkServerFW()
{
    const QString temp = QDir::tempPath();
    if (!isUsableDirectory(temp)) {
        // Reported from the event loop, as a reply would be: the check starts
        // inside the dialog's constructor, before any loop could take the
        // quit request.
        QTimer::singleShot(0, this, &UpdateFW::reportFileError);
        return;
    }
    // A pinned authority that does not parse pins nothing, so it trusts no
    // server rather than every server the system trusts.
    const QByteArray authority = pinnedAuthority();
    if (!authority.isEmpty())
        task.pinAuthorities(QSslCertificate::fromData(authority, QSsl::Pem));
    filePath = temp + QLatin1Char('/') + QLatin1String("fw_version.txt");
    const QString url
        = QString::asprintf("%s/%s/%s/version.txt", qUtf8Printable(baseUrl()), serverDir, modelDir);
    QFile::remove(filePath);
    httpTimer.start(httpTimeOut);
    task.download(QUrl(url), filePath);
}

void UpdateFW::onHttpTimeOut()
{
    httpTimer.stop();
    qDebug() << "Http Time out";
    showNoticeAndQuit();
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
    content.removeIf([](char c) { return c == '\r' || c == '\n'; });

    int version = 0;
    QByteArray token;
    if (parseVersionText(content, &version, &token)) {
        fwVersion = version;
        fwHash = QString::fromLatin1(token);
        downloadFW();
    } else {
        reportFileError();
    }
}

void UpdateFW::downloadFW()
{
    const QString temp = QDir::tempPath();
    if (!isUsableDirectory(temp)) {
        reportFileError();
        return;
    }
    const QString fwName = QString::asprintf("K-DMX-47-%d.ghx", fwVersion);
    filePath = QString::asprintf("%s/%s_Update.ghx", qUtf8Printable(temp), serverDir);
    const QString url = QString::asprintf("%s/%s/%s/%s", qUtf8Printable(baseUrl()), serverDir,
                                          modelDir, qUtf8Printable(fwName));
    QFile::remove(filePath);
    emit setFwName(filePath);
    // A server that stops sending would otherwise leave the user waiting for
    // ever; the abandoned reply then fails the digest check like any other.
    task.download(QUrl(url), filePath, imageTransferTimeout());
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
        emit labelFW(QString::asprintf("最新のFWバージョン : K-DMX-47-%d", fwVersion));
        fwHash.clear();
    } else {
        emit canUpgrade(false);
        showNoticeAndQuit();
    }
}

void UpdateFW::reportFileError()
{
    qDebug() << "file error";
    showNoticeAndQuit();
}

void UpdateFW::showNoticeAndQuit()
{
    QMessageBox::information(
        nullptr, QStringLiteral("FWアップデートツール"),
        QStringLiteral("インターネットに接続されているかどうかご確認ください。 "), QMessageBox::Ok);
    QCoreApplication::quit();
}
