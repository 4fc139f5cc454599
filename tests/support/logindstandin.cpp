#include "logindstandin.h"

#include <QtDebug>

namespace {
constexpr int StartWaitMs = 10000;
} // namespace

LogindStandin::~LogindStandin()
{
    if (process.state() == QProcess::NotRunning)
        return;
    // The stand-in stops its bus when its input closes.
    process.closeWriteChannel();
    if (!process.waitForFinished(3000)) {
        process.kill();
        process.waitForFinished(3000);
    }
}

// Debian's D-Bus bindings belong to Debian's interpreter, not to whichever
// python3 comes first in PATH.
bool LogindStandin::start(const QStringList &arguments)
{
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral("/usr/bin/python3"),
                  QStringList {QStringLiteral(TOOLS_DIR "/logind-standin.py")} + arguments);
    if (!process.waitForStarted(StartWaitMs)) {
        qWarning() << "logind-standin.py did not start:" << process.errorString();
        return false;
    }
    while (!process.canReadLine() && process.waitForReadyRead(StartWaitMs)) { }
    address = QString::fromUtf8(process.readLine()).trimmed();
    if (!address.startsWith(QLatin1String("unix:"))) {
        qWarning() << "logind-standin.py gave no bus address:" << address;
        return false;
    }
    return true;
}

QStringList LogindStandin::events()
{
    process.waitForReadyRead(0);
    unread += process.readAllStandardOutput();
    int end = 0;
    while ((end = unread.indexOf('\n')) >= 0) {
        seen.append(QString::fromUtf8(unread.left(end)).section(QLatin1Char(' '), 1));
        unread.remove(0, end + 1);
    }
    return seen;
}

void LogindStandin::clearEvents()
{
    events();
    seen.clear();
}
