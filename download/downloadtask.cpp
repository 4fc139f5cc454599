#include "downloadtask.h"

#include "filereplace.h"

#include <QAuthenticator>
#include <QDebug>
#include <QFile>
#include <QLoggingCategory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTemporaryFile>
#include <QTimer>

namespace {

Q_LOGGING_CATEGORY(lcStore, "ql7420.firmware")

// A virus scanner or the search indexer looks into every new file, for
// seconds on a busy PC; one that holds a file longer than this is no passing
// look, and the store fails.
constexpr int RenameRetryStepMs = 50;
constexpr int RenameRetryLimitMs = 10000;

} // namespace

DownloadTask::DownloadTask(QObject *parent) : QObject(parent)
{
    // Qt 6 follows redirects unless told not to; the server's own answer is
    // what gets stored and judged.
    manager.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);

    connect(&manager, &QNetworkAccessManager::authenticationRequired, this,
            &DownloadTask::provideAuthenication);
    connect(&manager, &QNetworkAccessManager::finished, this, &DownloadTask::httpReply);
    connect(&manager, &QNetworkAccessManager::sslErrors, this,
            &DownloadTask::noteCertificateErrors);
}

void DownloadTask::download(QUrl url, QString fileName, qint64 sizeLimit, int transferTimeout)
{
    QNetworkRequest request(url);
    if (transferTimeout > 0)
        request.setTransferTimeout(transferTimeout);
    if (pinnedTls)
        request.setSslConfiguration(*pinnedTls);
    this->fileName = fileName;
    limit = sizeLimit;
    received.clear();
    limitPassed = false;
    announced = -1;
    tlsErrors.clear();
    qDebug() << fileName;
    qDebug() << url.toString();
    QNetworkReply *reply = manager.get(request);
    // Taken as it arrives, rather than left to gather in the reply, so that
    // the limit is kept the moment it is passed.
    connect(reply, &QNetworkReply::metaDataChanged, this,
            [this, reply] { judgeAnnouncedSize(reply); });
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] { takeArrived(reply); });
}

void DownloadTask::pinAuthorities(const QList<QSslCertificate> &authorities)
{
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    // Setting the list also stops Qt from consulting the system's store.
    tls.setCaCertificates(authorities);
    pinnedTls = tls;
}

void DownloadTask::provideAuthenication(QNetworkReply *, QAuthenticator *) { }

void DownloadTask::httpReply(QNetworkReply *reply)
{
    // A reply abandoned by its transfer time-out is closed, and what it
    // brought counts for nothing.
    if (reply->isOpen())
        takeArrived(reply);
    else
        received.clear();
    replyError = reply->error();
    replyErrorText = reply->errorString();
    status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // Nothing else reads a finished reply; kept, each would hold its buffers
    // until the tool ends.
    reply->deleteLater();

    if (limitPassed) {
        received.clear();
        bodyStored = false;
        storeError.clear();
        emit done();
        return;
    }
    store(received);
}

void DownloadTask::judgeAnnouncedSize(QNetworkReply *reply)
{
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() > limit) {
        announced = length.toLongLong();
        refuse(reply);
    }
}

// Never more than one byte past the limit is read: enough to know it passed.
void DownloadTask::takeArrived(QNetworkReply *reply)
{
    if (limitPassed)
        return;
    received += reply->read(limit + 1 - received.size());
    if (received.size() > limit)
        refuse(reply);
}

// Abandoned at once; the reply then finishes, which ends in httpReply().
void DownloadTask::refuse(QNetworkReply *reply)
{
    limitPassed = true;
    if (reply->isRunning())
        reply->abort();
}

void DownloadTask::noteCertificateErrors(QNetworkReply *, const QList<QSslError> &errors)
{
    for (const QSslError &error : errors)
        tlsErrors << error.errorString();
}

// The body goes to a file this task creates new in the same folder, which is
// then renamed over the path: the path never holds half a body, and whatever
// someone planted there, a symbolic link or a hard link to their own file, is
// replaced and never written through, since a rename does not follow a link.
void DownloadTask::store(const QByteArray &body)
{
    bodyStored = false;
    storeError.clear();
    {
        QTemporaryFile file(fileName + QStringLiteral(".XXXXXX"));
        if (!file.open() || file.write(body) != body.size() || !file.flush()) {
            storeError = file.errorString();
            emit done();
            return;
        }
        // On Windows a temporary file keeps its handle, opened without
        // leave to delete or rename, even past close(), until the object
        // goes: only then may the file be renamed.
        file.setAutoRemove(false);
        written = file.fileName();
    }
    putInPlace();
}

// done() comes once the body stands at its name or never will: a rename that
// another program's passing look at the new file refused is tried again from
// the event loop, for a bounded time.
void DownloadTask::putInPlace()
{
    bool busy = false;
    const bool firstTry = !renameRetried.isValid();
    if (firstTry)
        renameRetried.start();
    bodyStored = replaceFile(written, fileName, &storeError, &busy);
    if (!bodyStored && busy && renameRetried.elapsed() < RenameRetryLimitMs) {
        if (firstTry)
            qCDebug(lcStore).noquote()
                << "held by another program, trying again for up to" << RenameRetryLimitMs / 1000
                << "s:" << fileName << "-" << storeError;
        QTimer::singleShot(RenameRetryStepMs, this, &DownloadTask::putInPlace);
        return;
    }
    if (!bodyStored)
        QFile::remove(written);
    written.clear();
    renameRetried.invalidate();
    emit done();
}
