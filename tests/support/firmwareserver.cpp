#include "firmwareserver.h"

#include <QDeadlineTimer>
#include <QStandardPaths>

FirmwareServer::~FirmwareServer()
{
    stop();
}

bool FirmwareServer::start(const QString &root, const QStringList &switches)
{
    stop();
    paths.clear();
    pendingOutput.clear();
    scheme = switches.contains(QStringLiteral("--tls-cert")) ? QStringLiteral("https")
                                                             : QStringLiteral("http");

    const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"));
    if (python.isEmpty()) {
        qWarning("FirmwareServer: python3 not found in PATH");
        return false;
    }
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(python,
                  QStringList {QStringLiteral("-u"), QStringLiteral(TOOLS_DIR "/fwserver.py"), root}
                      + switches);
    if (!process.waitForStarted(10000)) {
        qWarning("FirmwareServer: %s", qPrintable(process.errorString()));
        return false;
    }

    // The first line names the port; nothing is served before it is printed.
    const QDeadlineTimer deadline(10000);
    while (!pendingOutput.contains('\n')) {
        if (deadline.hasExpired() || !process.waitForReadyRead(int(deadline.remainingTime()))) {
            qWarning("FirmwareServer: no port announced");
            stop();
            return false;
        }
        pendingOutput += process.readAllStandardOutput();
    }
    const int end = pendingOutput.indexOf('\n');
    const QByteArray first = pendingOutput.left(end).trimmed();
    pendingOutput.remove(0, end + 1);
    bool ok = false;
    if (first.startsWith("PORT "))
        serverPort = first.mid(5).toUShort(&ok);
    if (!ok || serverPort == 0) {
        qWarning("FirmwareServer: unexpected first line '%s'", first.constData());
        stop();
        return false;
    }
    return true;
}

void FirmwareServer::stop()
{
    if (process.state() == QProcess::NotRunning)
        return;
    // End of input stops the server; a terminate is the fallback.
    process.closeWriteChannel();
    if (!process.waitForFinished(3000)) {
        process.terminate();
        if (!process.waitForFinished(3000)) {
            process.kill();
            process.waitForFinished(3000);
        }
    }
    readLog();
}

QString FirmwareServer::baseUrl() const
{
    return QStringLiteral("%1://127.0.0.1:%2/data").arg(scheme).arg(serverPort);
}

QStringList FirmwareServer::requestedPaths()
{
    // The server logs a request before answering it, so everything asked so
    // far is already in the pipe; take what is there without waiting long.
    while (process.state() == QProcess::Running && process.waitForReadyRead(20)) { }
    readLog();
    return paths;
}

void FirmwareServer::readLog()
{
    pendingOutput += process.readAllStandardOutput();
    int end;
    while ((end = pendingOutput.indexOf('\n')) >= 0) {
        const QByteArray line = pendingOutput.left(end).trimmed();
        pendingOutput.remove(0, end + 1);
        if (line.startsWith("GET "))
            paths << QString::fromUtf8(line.mid(4));
    }
}
