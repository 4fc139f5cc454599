#include "inhibitstandin.h"

#include <QDeadlineTimer>
#include <QtDebug>

namespace {
constexpr int StartWaitMs = 10000;
} // namespace

InhibitStandin::~InhibitStandin()
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
bool InhibitStandin::start(const QString &service)
{
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral("/usr/bin/python3"),
                  {QStringLiteral(TOOLS_DIR "/inhibit-standin.py"), service});
    if (!process.waitForStarted(StartWaitMs)) {
        qWarning() << "inhibit-standin.py did not start:" << process.errorString();
        return false;
    }
    while (!process.canReadLine() && process.waitForReadyRead(StartWaitMs)) { }
    address = QString::fromUtf8(process.readLine()).trimmed();
    if (!address.startsWith(QLatin1String("unix:"))) {
        qWarning() << "inhibit-standin.py gave no bus address:" << address;
        return false;
    }
    return true;
}

bool InhibitStandin::command(const QString &line)
{
    const QString taken = QStringLiteral("set ") + line;
    process.write(line.toUtf8() + '\n');
    process.waitForBytesWritten(StartWaitMs);
    QDeadlineTimer deadline(StartWaitMs);
    while (!events().contains(taken) && !deadline.hasExpired())
        process.waitForReadyRead(100);
    return seen.removeOne(taken);
}

QStringList InhibitStandin::events()
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

QStringList InhibitStandin::eventKinds()
{
    QStringList kinds;
    for (const QString &event : events())
        kinds.append(event.section(QLatin1Char(' '), 0, 0));
    return kinds;
}

void InhibitStandin::clearEvents()
{
    events();
    seen.clear();
}
