#include "downloadtask.h"

#include <QAuthenticator>
#include <QDebug>
#include <QFileInfo>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>

DownloadTask::DownloadTask(QObject *parent) : QObject(parent)
{
    // Qt 6 follows redirects unless told not to; the server's own answer is
    // what gets stored and judged.
    manager.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);

    connect(&manager, &QNetworkAccessManager::authenticationRequired, this,
            &DownloadTask::provideAuthenication);
    connect(&manager, &QNetworkAccessManager::finished, this, &DownloadTask::httpReply);
}

void DownloadTask::download(QUrl url, QString fileName, int transferTimeout)
{
    QNetworkRequest request(url);
    if (transferTimeout > 0)
        request.setTransferTimeout(transferTimeout);
    if (pinnedTls)
        request.setSslConfiguration(*pinnedTls);
    this->fileName = fileName;
    qDebug() << fileName;
    qDebug() << url.toString();
    manager.get(request);
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
    // A reply abandoned by its transfer time-out is closed and holds nothing.
    const QByteArray body = reply->isOpen() ? reply->readAll() : QByteArray();
    // Nothing else reads a finished reply; kept, each would hold its buffers
    // until the tool ends.
    reply->deleteLater();

    // The body goes to a temporary file that is renamed over the path, so
    // the path never holds half a body and a file planted there (a hard link
    // to someone's file, say) is replaced, never written through. A symbolic
    // link is refused outright, because the save would follow it.
    bodyStored = false;
    if (!QFileInfo(fileName).isSymLink()) {
        QSaveFile file(fileName);
        bodyStored
            = file.open(QIODevice::WriteOnly) && file.write(body) == body.size() && file.commit();
    }
    emit done();
}
