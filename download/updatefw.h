#ifndef UPDATEFW_H
#define UPDATEFW_H

#include "downloadtask.h"
#include "verifiedfirmware.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>

class QTemporaryDir;
struct RegularFile;

// Finds the latest firmware on the firmware server once per run: fetches the
// version file, then the image it names into the temporary directory, and
// checks the image against the announced MD5 digest. The command line may
// instead check a bundle saved from the server before, by the same rules.
// No file is taken past the size its kind may have, from either source. The
// image that passed is held as it was verified (VerifiedFirmware, what a
// bundle is saved from), and only those bytes go on.
// Every failure ends the check with failed() and its reason; the window turns
// that into its one notice and the request to quit. GUI thread only.
class UpdateFW : public QObject, public VerifiedFirmware
{
    Q_OBJECT

public:
    // Why a check failed, for callers that must tell the causes apart.
    enum Failure {
        TempDirUnusable,
        ServerUnreachable,
        ConnectionCut,
        CertificateRefused,
        HttpStatus,
        NoAnswerInTime,
        VersionFileMalformed,
        DigestMismatch,
        FileNotWritable,
        // A version file, an image or a signature longer than its kind may
        // be, from the server or from a bundle.
        FileTooLarge,
        // Only a bundle's check fails for these.
        BundleNotFound,
        FileMissing,
        NotRegularFile,
        FileUnreadable,
        // Only a build that holds the maker's keys fails for these.
        SignatureMissing,
        SignatureMalformed,
        SignatureKeyUnknown,
        SignatureInvalid,
        SignatureMismatch,
        // An image older than one whose signature this PC has verified, and
        // the record of those versions unreadable.
        OlderThanVerified,
        VersionRecordUnusable,
    };
    Q_ENUM(Failure)

    // The most an image may hold: what the device takes, 3376 blocks of 64
    // bytes.
    static constexpr qint64 ImageLimit = 3376 * 64;

    explicit UpdateFW(QObject *parent = nullptr);
    ~UpdateFW() override;

    void checkServerFW();
    // Checks the bundle in folder (see FirmwareBundle) instead of the server,
    // as the server's files are checked: its version file by the same parser,
    // the image it names against its digest, and no image longer than
    // imageLimit. Nothing goes to the network, and nothing is written.
    // Judged at once: failed() or imageVerified() has come when it returns.
    void checkBundle(const QString &folder, qint64 imageLimit);

    // Downloads into a folder made for this check below the temporary
    // directory, and removed with the check, instead of to the two fixed
    // names there that every run shares. The command line does, so that runs
    // side by side, or beside the window, never delete or replace each
    // other's files (Windows lets nobody replace a file another program holds
    // open); the window keeps the fixed names.
    void useOwnFolder() { ownFolderWanted = true; }

    // The reason of the last failure in plain English, naming the cause and
    // its detail; empty while the check has not failed.
    QString errorString() const { return failureText; }

    // The server this check asks.
    QString baseUrl() const { return serverBaseUrl; }

    // A build that holds the maker's keys takes no image older than the
    // highest version whose signature this PC has verified, unless allowed
    // to here; it then takes it without forgetting that version.
    void setOlderAllowed(bool allowed) { olderAllowed = allowed; }
    // That version, where the verified image is older than it; 0 otherwise.
    int newerVersionVerified() const { return newerVerified; }

    // Seams for tests and the demo; the tool itself never calls them.
    // Points this check at another server (a loopback one); an empty text
    // goes back to the build's own.
    void setBaseUrl(const QString &baseUrl);
    // Pins another certificate authority (PEM) for the firmware server, as a
    // build with FW_SERVER_CA_FILE does; an empty text goes back to the
    // build's own choice.
    void setPinnedAuthority(const QByteArray &pem);
    // Takes the maker's public keys (minisign's) instead of the build's own;
    // with none, no signature is asked for.
    void setSigningKeys(const QStringList &keys) { signingKeys = keys; }
    // How long the image request may go without data before it is abandoned.
    void setImageTransferTimeout(int msecs) { imageTransferTimeout = msecs; }

signals:
    void labelFW(QString);
    void canUpgrade(bool);
    void setFwName(QString);
    void failed(UpdateFW::Failure failure, QString reason);
    // The facts behind labelFW(): the image of this version, published under
    // this name (K-DMX-47-12), with this digest, is now held, verified, in
    // verifiedImage().
    void imageVerified(int version, QString name, QString digest);

private slots:
    void onHttpTimeOut();
    void onDone();

private:
    void download(const QString &path, qint64 limit, const QString &limitName, int transferTimeout);
    void readVersionFile();
    bool acceptVersionFile(const QByteArray &content);
    void downloadFW();
    void verifyFW();
    bool imageMatches(const QByteArray &content, bool readable);
    void downloadSignature(const QByteArray &image);
    void verifySignature();
    bool signatureAccepted(const QByteArray &signature, const QByteArray &image);
    bool versionGoesForward();
    void failSignature(Failure failure, const QString &reason);
    void announceImage(const QByteArray &image);
    bool bundleFileRead(const RegularFile &file, qint64 limit, const QString &limitName);
    QString downloadFolder();
    void reportUnusableTempDir();
    bool transferFailed(Failure *failure, QString *reason) const;
    void fail(Failure failure, const QString &reason);

    DownloadTask task;
    QString filePath;
    // Where the last download was stored, for the reason when it could not be,
    // and the size it was held to, for the reason when it passed it.
    QString storedPath;
    qint64 sizeLimit = 0;
    QString sizeLimitName;
    QString fwHash;
    QTimer httpTimer;
    QStringList signingKeys;
    // The image whose signature is being fetched, matched already.
    QByteArray imageAwaitingSignature;
    bool signatureAwaited = false;
    bool olderAllowed = false;
    int newerVerified = 0;
    // Where the file being judged came from, for the reasons: its URL, or its
    // path in a bundle.
    QString origin;
    bool fromBundle = false;
    QString failureText;
    QString serverBaseUrl;
    QByteArray serverAuthority;
    int imageTransferTimeout = 30000;
    bool ownFolderWanted = false;
    std::unique_ptr<QTemporaryDir> ownFolder;
};

#endif // UPDATEFW_H
