#ifndef UPDATEFW_H
#define UPDATEFW_H

#include "downloadtask.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

// Finds the latest firmware on the firmware server once per run: fetches the
// version file, then the image it names into the temporary directory, and
// checks the image against the announced MD5 digest. Every failure ends in
// one notice and a request to quit. GUI thread only.
class UpdateFW : public QObject
{
    Q_OBJECT

public:
    explicit UpdateFW(QObject *parent = nullptr);

    void checkServerFW();

    // The digest (32 lowercase hex digits) of the image whose check succeeded,
    // empty until then. The controller refuses to send any image whose
    // digest differs from it.
    QString verifiedDigest() const { return verifiedHash; }

    // Seam for tests and the demo: points every UpdateFW in the process at
    // another server (a loopback one). The tool itself never calls it.
    static void overrideBaseUrl(const QString &baseUrl);

    // Seam for tests: pins another certificate authority (PEM) for the
    // firmware server, as a build with FW_SERVER_CA_FILE does; an empty
    // text goes back to the build's own choice.
    static void overridePinnedAuthority(const QByteArray &pem);

    // Seam for tests only: how long the image request may go without data
    // before it is abandoned (30000 ms in the tool).
    static void overrideImageTransferTimeout(int msecs);

signals:
    void labelFW(QString);
    void canUpgrade(bool);
    void setFwName(QString);

private slots:
    void onHttpTimeOut();
    void onDone();

private:
    void readVersionFile();
    void downloadFW();
    void verifyFW();
    void reportFileError();
    void showNoticeAndQuit();

    int fwVersion = 0;
    DownloadTask task;
    QString filePath;
    QString fwHash;
    QTimer httpTimer;
    QString verifiedHash;
};

#endif // UPDATEFW_H
