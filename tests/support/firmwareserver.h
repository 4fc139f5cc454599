#ifndef FIRMWARESERVER_H
#define FIRMWARESERVER_H

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

// A real HTTP server process (tools/fwserver.py) on 127.0.0.1 and a free
// port, serving a folder laid out by tools/publish-firmware.py. The switches
// are fwserver.py's failure switches (--status-image 404, --stall-image, ...)
// and its TLS switches (--tls-cert PEM --tls-key PEM, which make it https).
// The process stops with this object.
class FirmwareServer
{
public:
    FirmwareServer() = default;
    ~FirmwareServer();
    FirmwareServer(const FirmwareServer &) = delete;
    FirmwareServer &operator=(const FirmwareServer &) = delete;

    bool start(const QString &root, const QStringList &switches = {});
    void stop();

    quint16 port() const { return serverPort; }
    // "http://127.0.0.1:<port>/data" (or https), the form of the tool's base URL.
    QString baseUrl() const;
    // Every path requested so far, in order of arrival.
    QStringList requestedPaths();

private:
    void readLog();

    QProcess process;
    quint16 serverPort = 0;
    QString scheme;
    QByteArray pendingOutput;
    QStringList paths;
};

#endif // FIRMWARESERVER_H
