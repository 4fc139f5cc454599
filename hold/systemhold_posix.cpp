#include "systemhold.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QThread>
#include <QVariantMap>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <functional>
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
const QString PortalRequest = QStringLiteral("org.freedesktop.portal.Request");

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

// The desktop's verdict on an inhibition, which the portal gives in a
// Response signal on the request after it has already returned the request's
// path: 0 when it holds, another number when it declines or its backend
// cannot hold (some inhibit idle only).
class PortalResponse : public QObject
{
    Q_OBJECT

public:
    explicit PortalResponse(std::function<void(uint)> answered) : answered(std::move(answered)) { }

public slots:
    void onResponse(uint response, const QVariantMap &) { answered(response); }

private:
    std::function<void(uint)> answered;
};

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

    explicit Native(SystemHold &owner)
        : owner(owner), desktopVerdict([this](uint response) { desktopAnswered(response); })
    { }
    ~Native() { release(); }

    void hold();
    void release();
    void askLogind();
    void askDesktop();
    bool connected(Bus &bus, void (Native::*ask)());
    void listenToDesktopRequest(const QString &path);
    void forgetDesktopRequest();
    void desktopAnswered(uint response);

    SystemHold &owner;
    Bus systemBus {QDBusConnection::SystemBus, "system"};
    Bus sessionBus {QDBusConnection::SessionBus, "session"};
    bool askingLogind = false;
    // A copy of our own of the descriptor that logind hands out: logind keeps
    // the lock while any copy is open. -1 while none is held.
    int logindLock = -1;
    bool askingDesktop = false;
    // The portal's request object, which stands for the inhibition until it
    // is closed, listened to from the moment it is asked for; empty while
    // none is asked for or held.
    QString desktopRequest;
    // Numbers the tokens that name the requests.
    quint64 desktopTokens = 0;
    PortalResponse desktopVerdict;
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
    // A request still being asked for is closed when its path comes back.
    if (askingDesktop || desktopRequest.isEmpty())
        return;
    // Fire and forget: the portal answers Close with nothing worth waiting
    // for.
    sessionBus.connection.send(QDBusMessage::createMethodCall(
        PortalService, desktopRequest, PortalRequest, QStringLiteral("Close")));
    forgetDesktopRequest();
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
// without pointing at a window. The request's path is made of our name on
// the bus and a token of ours, so that the desktop's verdict, which may come
// right after the path, is listened for before the call goes out.
void SystemHold::Native::askDesktop()
{
    if (askingDesktop || !desktopRequest.isEmpty() || !connected(sessionBus, &Native::askDesktop))
        return;
    const QString token = QStringLiteral("ql7420_%1").arg(++desktopTokens);
    listenToDesktopRequest(QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2")
                               .arg(sessionBus.connection.baseService().mid(1).replace(
                                        QLatin1Char('.'), QLatin1Char('_')),
                                    token));
    QDBusMessage call = QDBusMessage::createMethodCall(
        PortalService, QStringLiteral("/org/freedesktop/portal/desktop"),
        QStringLiteral("org.freedesktop.portal.Inhibit"), QStringLiteral("Inhibit"));
    call << QString() << PortalFlags
         << QVariantMap {{QStringLiteral("handle_token"), token},
                         {QStringLiteral("reason"), owner.reason}};
    askingDesktop = true;
    auto *watcher = new QDBusPendingCallWatcher(sessionBus.connection.asyncCall(call), &owner);
    QObject::connect(
        watcher, &QDBusPendingCallWatcher::finished, &owner,
        [this](QDBusPendingCallWatcher *answer) {
            askingDesktop = false;
            answer->deleteLater();
            const QDBusPendingReply<QDBusObjectPath> reply = *answer;
            if (reply.isError()) {
                forgetDesktopRequest();
                if (owner.transfersRunning())
                    owner.refuse(
                        QStringLiteral("the desktop portal: %1").arg(reply.error().message()));
                return;
            }
            // A declining desktop may have answered already.
            if (desktopRequest.isEmpty())
                return;
            // A portal older than the token names the request itself.
            if (reply.value().path() != desktopRequest)
                listenToDesktopRequest(reply.value().path());
            if (!owner.transfersRunning())
                release();
        });
}

void SystemHold::Native::listenToDesktopRequest(const QString &path)
{
    forgetDesktopRequest();
    desktopRequest = path;
    // From any sender: for a name like the portal's, Qt would first ask the
    // bus who owns it, and wait for the answer.
    sessionBus.connection.connect(QString(), path, PortalRequest, QStringLiteral("Response"),
                                  &desktopVerdict, SLOT(onResponse(uint, QVariantMap)));
}

void SystemHold::Native::forgetDesktopRequest()
{
    if (desktopRequest.isEmpty())
        return;
    sessionBus.connection.disconnect(QString(), desktopRequest, PortalRequest,
                                     QStringLiteral("Response"), &desktopVerdict,
                                     SLOT(onResponse(uint, QVariantMap)));
    desktopRequest.clear();
}

// A declined request is over on the portal's side: there is nothing to
// close.
void SystemHold::Native::desktopAnswered(uint response)
{
    if (response == 0)
        return;
    forgetDesktopRequest();
    if (owner.transfersRunning())
        owner.refuse(
            QStringLiteral("the desktop declined to hold off log-out, user switching, suspend "
                           "and idle (portal response %1)")
                .arg(response));
}

#include "systemhold_posix.moc"
