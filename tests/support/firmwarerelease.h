#ifndef FIRMWARERELEASE_H
#define FIRMWARERELEASE_H

#include "firmwareserver.h"

#include <QByteArray>
#include <QStringList>
#include <QTemporaryDir>

// A firmware release as the maker publishes it (tools/publish-firmware.py),
// served by a real HTTP server on 127.0.0.1.
class FirmwareRelease
{
public:
    // publisherOptions: publish-firmware.py's own (MinisignKey::publisherSigning()).
    bool publish(const QByteArray &image, int version = 12, const QStringList &serverSwitches = {},
                 const QStringList &publisherOptions = {});
    // Where the server's files lie: version.txt, K-DMX-47-12.ghx, ...
    QString publishedFile(const QString &name) const;
    QString baseUrl() const { return fwServer.baseUrl(); }
    FirmwareServer &server() { return fwServer; }

    // What the device must hold after a transfer of this image: its first
    // 216,064 bytes, filled up with 0xFF.
    static QByteArray deviceImage(const QByteArray &image);
    static QString md5(const QByteArray &bytes);
    static QByteArray randomImage(int size);

private:
    QTemporaryDir root;
    FirmwareServer fwServer;
};

// Whether this process has a file descriptor open on the file at path.
bool isOpenInThisProcess(const QString &path);

#endif // FIRMWARERELEASE_H
