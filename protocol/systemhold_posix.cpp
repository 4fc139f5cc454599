#include "systemhold.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QThread>
#include <QVariantMap>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The lid switch is listed apart: logind by default lets it ignore locks on
// sleep alone.
const QString LogindWhat = QStringLiteral("sleep:shutdown:idle:handle-lid-switch");
const QString LogindWhy = QStringLiteral("Writing firmware to a QL-7420; stopping now would "
                                         "leave it without firmware");
// Log-out, user switching, suspend and idle.
constexpr uint PortalFlags = 1 | 2 | 4 | 8;
const QString PortalService = QStringLiteral("org.freedesktop.portal.Desktop");

constexpr int GreetingWaitMs = 5000;

// Whether the bus at the address in the variable answers the start of a
// greeting (an AUTH that names no mechanism, which a bus rejects at once)
// within GreetingWaitMs. libdbus waits for a bus's greeting without limit,
// and Qt's D-Bus thread with it, so that a process that handed it a bus that
// never answers could never end. An address that is not a socket path is
// left to libdbus.
bool greets(const char *variable, const QByteArray &fallback, QString *why)
{
    QByteArray addresses = qgetenv(variable);
    if (addresses.isEmpty())
        addresses = fallback;
    for (const QByteArray &address : addresses.split(';')) {
        if (!address.startsWith("unix:"))
            return true;
        sockaddr_un place = {};
        place.sun_family = AF_UNIX;
        socklen_t length = 0;
        for (const QByteArray &pair : address.mid(5).split(',')) {
            const QByteArray value
                = QByteArray::fromPercentEncoding(pair.mid(pair.indexOf('=') + 1));
            const bool abstract = pair.startsWith("abstract=");
            if ((!abstract && !pair.startsWith("path="))
                || value.size() + 1 > qsizetype(sizeof place.sun_path))
                continue;
            std::memcpy(place.sun_path + (abstract ? 1 : 0), value.constData(), value.size());
            length = socklen_t(offsetof(sockaddr_un, sun_path) + value.size() + 1);
        }
        if (length == 0)
            return true;
        const int bus = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (bus < 0)
            return true;
        // One that refuses the connection fails in libdbus at once.
        if (::connect(bus, reinterpret_cast<sockaddr *>(&place), length) != 0) {
            ::close(bus);
            continue;
        }
        static const char greeting[] = "\0AUTH\r\n";
        pollfd answer = {bus, POLLIN, 0};
        char reply[64];
        const bool answered = ::send(bus, greeting, sizeof greeting - 1, MSG_NOSIGNAL) > 0
            && ::poll(&answer, 1, GreetingWaitMs) == 1 && ::read(bus, reply, sizeof reply) > 0;
        ::close(bus);
        if (!answered)
            *why = QStringLiteral("%1 took the connection and did not answer within %2 s")
                       .arg(QString::fromLocal8Bit(address))
                       .arg(GreetingWaitMs / 1000);
        return answered;
    }
    return true;
}

// The first connection to a bus blocks its caller until the bus has answered
// the greeting, and a bus that is slow to do so must not hold up the
// transfer's thread: a thread of its own connects, and then calls done with
// the connection, or with why there is none, in the context's thread, unless
// the context has gone by then.
template <typename Done>
void connectAside(QDBusConnection::BusType type, QObject *context, Done done)
{
    struct Outcome
    {
        std::optional<QDBusConnection> connection;
        QString failure;
    };
    auto outcome = std::make_shared<Outcome>();
    QThread *thread = QThread::create([type, outcome] {
        const bool system = type == QDBusConnection::SystemBus;
        if (!greets(system ? "DBUS_SYSTEM_BUS_ADDRESS" : "DBUS_SESSION_BUS_ADDRESS",
                    system ? QByteArrayLiteral("unix:path=/var/run/dbus/system_bus_socket")
                           : QByteArray(),
                    &outcome->failure))
            return;
        outcome->connection.emplace(system ? QDBusConnection::systemBus()
                                           : QDBusConnection::sessionBus());
        if (!outcome->connection->isConnected())
            outcome->failure = outcome->connection->lastError().message();
    });
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    QObject::connect(thread, &QThread::finished, context, [outcome, done] {
        done(outcome->connection.value_or(QDBusConnection(QString())), outcome->failure);
    });
    thread->start();
}

} // namespace

struct SystemHold::Native
{
    struct Bus
    {
        enum State { Unasked, Connecting, Ready };

        Bus(QDBusConnection::BusType type, const char *name) : type(type), name(name) { }

        State state = Unasked;
        QDBusConnection::BusType type;
        const char *name;
        QDBusConnection connection {QString()};
        QString failure;
    };

    explicit Native(SystemHold &owner) : owner(owner) { }
    ~Native() { release(); }

    void hold();
    void release();
    void askLogind();
    void askDesktop();
    bool connected(Bus &bus, void (Native::*ask)());
    void closeDesktopRequest(const QString &path);

    SystemHold &owner;
    Bus systemBus {QDBusConnection::SystemBus, "system"};
    Bus sessionBus {QDBusConnection::SessionBus, "session"};
    bool askingLogind = false;
    // A copy of our own of the descriptor that logind hands out: logind keeps
    // the lock while any copy is open. -1 while none is held.
    int logindLock = -1;
    bool askingDesktop = false;
    // The portal's request object, which stands for the inhibition until it
    // is closed; empty while none is held.
    QString desktopRequest;
};

SystemHold::SystemHold(QObject *parent) : QObject(parent), native(std::make_unique<Native>(*this))
{ }

SystemHold::~SystemHold() = default;

void SystemHold::holdSystem()
{
    native->hold();
}

void SystemHold::releaseSystem()
{
    native->release();
}

void SystemHold::Native::hold()
{
    askLogind();
    // The command line often runs without a desktop. A window's user is at
    // one, whose own Suspend and Log Out heed the portal's inhibitions,
    // while logind before systemd 257 lets them through a block lock taken
    // by the same user.
    if (owner.window)
        askDesktop();
}

void SystemHold::Native::release()
{
    if (logindLock >= 0)
        ::close(logindLock);
    logindLock = -1;
    if (!desktopRequest.isEmpty())
        closeDesktopRequest(desktopRequest);
    desktopRequest.clear();
}

// Whether the bus can be asked now. A bus not yet tried is connected aside,
// and asked when it is, if a transfer still runs.
bool SystemHold::Native::connected(Bus &bus, void (Native::*ask)())
{
    if (bus.state == Bus::Unasked) {
        bus.state = Bus::Connecting;
        connectAside(bus.type, &owner,
                     [this, &bus, ask](const QDBusConnection &connection, const QString &failure) {
                         bus.connection = connection;
                         bus.failure = failure;
                         bus.state = Bus::Ready;
                         if (owner.transfersRunning())
                             (this->*ask)();
                     });
    }
    if (bus.state != Bus::Ready)
        return false;
    if (!bus.failure.isEmpty()) {
        owner.refuse(QStringLiteral("no %1 bus: %2").arg(QLatin1String(bus.name), bus.failure));
        return false;
    }
    return true;
}

void SystemHold::Native::askLogind()
{
    if (askingLogind || logindLock >= 0 || !connected(systemBus, &Native::askLogind))
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    call << LogindWhat << QCoreApplication::applicationName() << LogindWhy
         << QStringLiteral("block");
    askingLogind = true;
    auto *watcher = new QDBusPendingCallWatcher(systemBus.connection.asyncCall(call), &owner);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &owner,
                     [this](QDBusPendingCallWatcher *answer) {
                         askingLogind = false;
                         answer->deleteLater();
                         const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *answer;
                         // After the last transfer's end there is nothing to
                         // keep: the reply's copies close with the answer.
                         if (!owner.transfersRunning())
                             return;
                         if (reply.isError()) {
                             owner.refuse(reply.error().message());
                             return;
                         }
                         logindLock = ::fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0);
                         if (logindLock < 0)
                             owner.refuse(QStringLiteral("logind's lock could not be kept: %1")
                                              .arg(QString::fromLocal8Bit(std::strerror(errno))));
                     });
}

// The window identifier may be empty: the desktop then shows the reason
// without pointing at a window. A desktop that declines says so later in a
// Response signal on the request, which is not listened for: the transfer
// goes on either way, and the request is closed at its end all the same.
void SystemHold::Native::askDesktop()
{
    if (askingDesktop || !desktopRequest.isEmpty() || !connected(sessionBus, &Native::askDesktop))
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        PortalService, QStringLiteral("/org/freedesktop/portal/desktop"),
        QStringLiteral("org.freedesktop.portal.Inhibit"), QStringLiteral("Inhibit"));
    call << QString() << PortalFlags << QVariantMap {{QStringLiteral("reason"), owner.reason}};
    askingDesktop = true;
    auto *watcher = new QDBusPendingCallWatcher(sessionBus.connection.asyncCall(call), &owner);
    QObject::connect(
        watcher, &QDBusPendingCallWatcher::finished, &owner,
        [this](QDBusPendingCallWatcher *answer) {
            askingDesktop = false;
            answer->deleteLater();
            const QDBusPendingReply<QDBusObjectPath> reply = *answer;
            if (reply.isError()) {
                if (owner.transfersRunning())
                    owner.refuse(
                        QStringLiteral("the desktop portal: %1").arg(reply.error().message()));
                return;
            }
            desktopRequest = reply.value().path();
            if (!owner.transfersRunning())
                release();
        });
}

// Fire and forget: the portal answers Close with nothing worth waiting for.
void SystemHold::Native::closeDesktopRequest(const QString &path)
{
    sessionBus.connection.send(QDBusMessage::createMethodCall(
        PortalService, path, QStringLiteral("org.freedesktop.portal.Request"),
        QStringLiteral("Close")));
}
