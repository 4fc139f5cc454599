#ifndef DOWNLOADTASK_H
#define DOWNLOADTASK_H

#include <QElapsedTimer>
#include <QList>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>

class QAuthenticator;

// Fetches one file at a time with a plain GET and stores whatever body the
// reply brought at a local path, then signals done() whatever the outcome:
// its user judges the body itself. No body is taken past the size limit its
// download names. GUI thread only.
class DownloadTask : public QObject
{
    Q_OBJECT

public:
    explicit DownloadTask(QObject *parent = nullptr);

    // sizeLimit: the most bytes the body may hold. A reply whose
    // Content-Length announces more, or that sends more, is abandoned at
    // once and nothing is stored (tooLarge()): the transfer time-out counts
    // only silence, and a server that never stops would fill the memory.
    // transferTimeout: milliseconds without data after which the request is
    // abandoned; 0 waits for ever.
    void download(QUrl url, QString fileName, qint64 sizeLimit, int transferTimeout = 0);

    // From now on an https server's certificate must come from one of these
    // authorities and no other, however widely trusted; an empty list
    // trusts none. Without this the system's authorities apply.
    void pinAuthorities(const QList<QSslCertificate> &authorities);

    // Whether the body of the last finished reply now stands at its file
    // name. When it does not, whatever is at that path is not ours.
    bool stored() const { return bodyStored; }
    // That body, as it was stored: what the user judges, and never the file,
    // which others may change once it is there.
    QByteArray body() const { return received; }
    // Whether the last reply was abandoned for passing its size limit, and
    // the size its Content-Length announced then (-1 when it sent more than
    // it announced, or announced nothing).
    bool tooLarge() const { return limitPassed; }
    qint64 announcedSize() const { return announced; }
    // Whether the server's answer is in and only its storing is still to
    // end, as it does within seconds, with done().
    bool isStoring() const { return !written.isEmpty(); }

    // How the last finished request went, for a caller that must say why
    // its body is missing or wrong: Qt's network error and its text, the
    // certificate errors that refused an https server, the HTTP status (0
    // without an answer), and why the body could not be stored.
    QNetworkReply::NetworkError networkError() const { return replyError; }
    QString networkErrorString() const { return replyErrorText; }
    QStringList certificateErrors() const { return tlsErrors; }
    int httpStatus() const { return status; }
    QString storeErrorString() const { return storeError; }

signals:
    void done();

private slots:
    void provideAuthenication(QNetworkReply *, QAuthenticator *);
    void httpReply(QNetworkReply *reply);

private:
    void judgeAnnouncedSize(QNetworkReply *reply);
    void takeArrived(QNetworkReply *reply);
    void refuse(QNetworkReply *reply);
    void store(const QByteArray &body);
    void putInPlace();
    void noteCertificateErrors(QNetworkReply *, const QList<QSslError> &errors);

    // Parented as well as held, so that the replies still in its hands
    // show among the task's children.
    QNetworkAccessManager manager {this};
    QString fileName;
    qint64 limit = 0;
    // The body so far, read as it arrives.
    QByteArray received;
    bool limitPassed = false;
    qint64 announced = -1;
    bool bodyStored = false;
    QNetworkReply::NetworkError replyError = QNetworkReply::NoError;
    QString replyErrorText;
    QStringList tlsErrors;
    int status = 0;
    QString storeError;
    // The body written beside fileName, waiting to be renamed over it.
    QString written;
    QElapsedTimer renameRetried;
    std::optional<QSslConfiguration> pinnedTls;
};

#endif // DOWNLOADTASK_H
