#include "powerinhibitor.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>

#include <fcntl.h>
#include <unistd.h>

namespace {

// The lid switch is listed apart: logind by default lets it ignore locks on
// sleep alone.
const QString What = QStringLiteral("sleep:shutdown:idle:handle-lid-switch");
const QString Why = QStringLiteral("Writing firmware to a QL-7420; stopping now would leave it "
                                   "without firmware");

} // namespace

PowerInhibitor::PowerInhibitor(QObject *parent) : QObject(parent) { }

PowerInhibitor::~PowerInhibitor()
{
    release();
}

// logind keeps the lock while any copy of the descriptor it hands out is
// open, so the answer is kept as a descriptor of our own and every copy in
// the reply is dropped with it.
void PowerInhibitor::hold()
{
    wanted = true;
    if (asking || handle >= 0)
        return;
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        emit refused(QStringLiteral("no system bus: %1").arg(bus.lastError().message()));
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    call << What << QCoreApplication::applicationName() << Why << QStringLiteral("block");
    asking = true;
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher *answer) {
                asking = false;
                const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *answer;
                answer->deleteLater();
                if (reply.isError()) {
                    if (wanted)
                        emit refused(reply.error().message());
                    return;
                }
                // A transfer that ended while the bus was asked leaves
                // nothing to keep: the reply's copy closes with it.
                if (wanted)
                    handle = ::fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0);
            });
}

void PowerInhibitor::release()
{
    wanted = false;
    if (handle >= 0)
        ::close(handle);
    handle = -1;
}
