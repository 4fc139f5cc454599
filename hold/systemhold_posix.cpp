#include "systemhold.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QDeadlineTimer>
#include <QList>
#include <QLoggingCategory>
#include <QObject>
#include <QRandomGenerator>
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
#include <utility>

Q_DECLARE_LOGGING_CATEGORY(lcHold)

namespace {

// The lid switch is listed apart: logind by default lets it ignore locks on
// sleep alone.
const QString LogindWhat = QStringLiteral("sleep:shutdown:idle:handle-lid-switch");
// logind asks polkit once for a whole lock, under the lid switch's action
// for any mix that names it, so that a site denying that action denies the
// rest with it: the rest is then asked for alone.
const QString LogindWhatButLid = QStringLiteral("sleep:shutdown:idle");
const QString LogindWhy = QStringLiteral("Writing firmware to a QL-7420; stopping now would "
                                         "leave it without firmware");
const QString AccessDenied = QStringLiteral("org.freedesktop.DBus.Error.AccessDenied");
// Log-out, user switching, suspend and idle.
constexpr uint PortalFlags = 1 | 2 | 4 | 8;
const QString PortalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString PortalRequest = QStringLiteral("org.freedesktop.portal.Request");

constexpr int GreetingWaitMs = 5000;

// The socket that a D-Bus address names, for the kinds that name one for a
// client: unix:path= and unix:abstract=. 0 for any other kind (tcp:,
// autolaunch: and the rest); libdbus refuses a client's unix:runtime=yes at
// once, a key for a bus's own listening address only.
socklen_t socketNamed(const QByteArray &address, sockaddr_un &place)
{
    if (!address.startsWith("unix:"))
        return 0;
    for (const QByteArray &pair : address.mid(5).split(',')) {
        const QByteArray key = pair.left(pair.indexOf('='));
        if (key != "path" && key != "abstract")
            continue;
        const QByteArray value = QByteArray::fromPercentEncoding(pair.mid(key.size() + 1));
        if (value.size() + 1 > qsizetype(sizeof place.sun_path))
            return 0;
        place = {};
        place.sun_family = AF_UNIX;
        std::memcpy(place.sun_path + (key == "abstract" ? 1 : 0), value.constData(), value.size());
        return socklen_t(offsetof(sockaddr_un, sun_path) + value.size() + 1);
    }
    return 0;
}

// Whether the socket has something to read within the time, however often a
// signal cuts the wait short.
bool answersWithin(int socket, int ms)
{
    const QDeadlineTimer deadline(ms);
    pollfd answer = {socket, POLLIN, 0};
    int ready = 0;
    do
        ready = ::poll(&answer, 1, int(deadline.remainingTime()));
    while (ready < 0 && errno == EINTR);
    char reply[64];
    return ready == 1 && ::read(socket, reply, sizeof reply) > 0;
}

// The session bus that libdbus takes where none is named, if there is one.
QByteArray userBus()
{
    const QByteArray folder = qgetenv("XDG_RUNTIME_DIR");
    if (folder.isEmpty())
        return QByteArray();
    return "unix:path=" + folder.toPercentEncoding("/") + "/bus";
}

// Whether the bus at the address in the variable, or at unset where the
// variable is empty, answers the start of a greeting (an AUTH that names no
// mechanism, which a bus rejects at once) within GreetingWaitMs. libdbus
// waits for a bus's greeting without limit, and Qt's D-Bus thread with it,
// so that a process that handed it a bus that never answers could never
// end. An address that names no socket is left to libdbus.
bool greets(const char *variable, const QByteArray &unset, QString *why)
{
    QByteArray addresses = qgetenv(variable);
    if (addresses.isEmpty())
        addresses = unset;
    for (const QByteArray &address : addresses.split(';')) {
        sockaddr_un place;
        const socklen_t length = socketNamed(address, place);
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
        const bool answered = ::send(bus, greeting, sizeof greeting - 1, MSG_NOSIGNAL) > 0
            && answersWithin(bus, GreetingWaitMs);
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
        // Where no session bus is named, libdbus takes the one in
        // $XDG_RUNTIME_DIR, and failing that starts one of its own, which is
        // left to it.
        if (!greets(system ? "DBUS_SYSTEM_BUS_ADDRESS" : "DBUS_SESSION_BUS_ADDRESS",
                    system ? QByteArrayLiteral("unix:path=/var/run/dbus/system_bus_socket")
                           : userBus(),
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

// Listens for the desktop's verdicts on our requests, which the portal gives
// in a Response signal on the request after it has already returned the
// request's path: 0 when it holds, another number when it declines or its
// backend cannot hold (some inhibit idle only). Lives in a thread of its
// own: Qt connects and disconnects a signal, and forgets a receiver at its
// end, by a blocking call into its one D-Bus thread, which may be stuck
// connecting the other bus, and the GUI thread must never wait on that.
class DesktopVerdicts : public QObject
{
    Q_OBJECT

public:
    explicit DesktopVerdicts(const QDBusConnection &bus) : bus(bus) { }

    // From any sender: for a name like the portal's, Qt would first ask the
    // bus who owns it; the sender is judged when a verdict comes instead.
    void listen(const QString &request)
    {
        bus.connect(QString(), request, PortalRequest, QStringLiteral("Response"), this,
                    SLOT(onResponse(uint, QVariantMap, QDBusMessage)));
        emit listening(request);
    }
    void forget(const QString &request)
    {
        bus.disconnect(QString(), request, PortalRequest, QStringLiteral("Response"), this,
                       SLOT(onResponse(uint, QVariantMap, QDBusMessage)));
    }

signals:
    void listening(QString request);
    void answered(QString request, QString sender, uint response);

private slots:
    void onResponse(uint response, const QVariantMap &, const QDBusMessage &message)
    {
        emit answered(message.path(), message.service(), response);
    }

private:
    QDBusConnection bus;
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

    explicit Native(SystemHold &owner) : owner(owner) { }
    ~Native();

    void askLogind();
    void askDesktop();
    bool connected(Bus &bus, void (Native::*ask)());
    QString portalWindow() const;
    void callDesktop(const QString &request);
    void desktopReplied(QDBusPendingCallWatcher *answer);
    void portalNamed(const QString &path, const QString &name);
    void desktopAnswered(const QString &request, const QString &sender, uint response);
    void listenToDesktopRequest(const QString &path);
    void forgetDesktopRequest();
    void closeDesktopRequest();

    SystemHold &owner;
    Bus systemBus {QDBusConnection::SystemBus, "system"};
    Bus sessionBus {QDBusConnection::SessionBus, "session"};
    bool askingLogind = false;
    // Set once logind has denied a lock with the lid switch in it: later
    // locks leave it out.
    bool lidSwitchDenied = false;
    // A copy of our own of the descriptor that logind hands out: logind keeps
    // the lock while any copy is open. -1 while none is held.
    int logindLock = -1;
    // From the request's path until the portal's reply to the call, and who
    // the portal is, are known.
    bool askingDesktop = false;
    // The portal's request object, which stands for the inhibition until it
    // is closed, listened to from before the call goes out; empty while none
    // is asked for or held.
    QString desktopRequest;
    // The portal's unique name on the bus, the owner of its well-known name
    // once it has replied: a verdict from anyone else is not the desktop's.
    QString portal;
    // Verdicts that came before the bus told who the portal is.
    QList<std::pair<QString, uint>> earlyVerdicts;
    // Made with the session bus's first request; see DesktopVerdicts.
    QThread *verdictThread = nullptr;
    DesktopVerdicts *verdicts = nullptr;
};

// The verdicts are ended in their own thread, which a blocking call there may
// hold up: nothing here waits for it.
SystemHold::Native::~Native()
{
    if (!verdictThread)
        return;
    QObject::connect(verdictThread, &QThread::finished, verdicts, &QObject::deleteLater);
    QObject::connect(verdictThread, &QThread::finished, verdictThread, &QObject::deleteLater);
    verdictThread->quit();
}

SystemHold::SystemHold(QObject *parent) : QObject(parent), native(std::make_unique<Native>(*this))
{ }

SystemHold::~SystemHold()
{
    releaseSystem();
}

void SystemHold::holdSystem()
{
    native->askLogind();
    // The command line often runs without a desktop. A window's user is at
    // one, whose own Suspend and Log Out heed the portal's inhibitions,
    // while logind before systemd 257 lets them through a block lock taken
    // by the same user.
    if (window)
        native->askDesktop();
}

void SystemHold::releaseSystem()
{
    if (native->logindLock >= 0)
        ::close(native->logindLock);
    native->logindLock = -1;
    // A request still being asked for is closed when the portal has replied.
    if (!native->askingDesktop)
        native->closeDesktopRequest();
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
    call << (lidSwitchDenied ? LogindWhatButLid : LogindWhat) << QCoreApplication::applicationName()
         << LogindWhy << QStringLiteral("block");
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
                         if (reply.isError() && reply.error().name() == AccessDenied
                             && !lidSwitchDenied) {
                             qCDebug(lcHold).noquote()
                                 << "logind's lock was denied with the lid switch in it, asking "
                                    "without:"
                                 << reply.error().message();
                             lidSwitchDenied = true;
                             askLogind();
                             return;
                         }
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

// The window as the portal's documentation names one: an X11 window by its
// XID in hex, and nothing where the window system gives no handle that the
// desktop could know (Wayland without an exported handle, offscreen); the
// desktop then shows the reason without pointing at a window. A program
// with a window runs a QGuiApplication, whose platform names the window
// system: this layer links no GUI module to ask it.
QString SystemHold::Native::portalWindow() const
{
    if (QCoreApplication::instance()->property("platformName").toString() != QLatin1String("xcb"))
        return QString();
    return QStringLiteral("x11:%1").arg(owner.window(), 0, 16);
}

// The request's path is made of our name on the bus and a token of ours, so
// that the desktop's verdict, which may come right after the path, is
// listened for before the call goes out. The token is unguessable, as the
// portal asks: a program that could name our request could listen in.
void SystemHold::Native::askDesktop()
{
    if (askingDesktop || !desktopRequest.isEmpty() || !connected(sessionBus, &Native::askDesktop))
        return;
    if (!verdicts) {
        verdictThread = new QThread;
        verdicts = new DesktopVerdicts(sessionBus.connection);
        verdicts->moveToThread(verdictThread);
        QObject::connect(verdicts, &DesktopVerdicts::listening, &owner,
                         [this](const QString &request) { callDesktop(request); });
        QObject::connect(verdicts, &DesktopVerdicts::answered, &owner,
                         [this](const QString &request, const QString &sender, uint response) {
                             desktopAnswered(request, sender, response);
                         });
        verdictThread->start();
    }
    askingDesktop = true;
    portal.clear();
    listenToDesktopRequest(
        QStringLiteral("/org/freedesktop/portal/desktop/request/%1/ql7420_%2")
            .arg(sessionBus.connection.baseService().mid(1).replace(QLatin1Char('.'),
                                                                    QLatin1Char('_')))
            .arg(QRandomGenerator::system()->generate64(), 16, 16, QLatin1Char('0')));
}

void SystemHold::Native::callDesktop(const QString &request)
{
    // Listening again to a path that a portal older than the token gave.
    if (request != desktopRequest || !askingDesktop)
        return;
    if (!owner.transfersRunning()) {
        askingDesktop = false;
        forgetDesktopRequest();
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        PortalService, QStringLiteral("/org/freedesktop/portal/desktop"),
        QStringLiteral("org.freedesktop.portal.Inhibit"), QStringLiteral("Inhibit"));
    call << portalWindow() << PortalFlags
         << QVariantMap {{QStringLiteral("handle_token"), request.section(QLatin1Char('/'), -1)},
                         {QStringLiteral("reason"), owner.reason}};
    auto *watcher = new QDBusPendingCallWatcher(sessionBus.connection.asyncCall(call), &owner);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &owner,
                     [this](QDBusPendingCallWatcher *answer) { desktopReplied(answer); });
}

void SystemHold::Native::desktopReplied(QDBusPendingCallWatcher *answer)
{
    answer->deleteLater();
    const QDBusPendingReply<QDBusObjectPath> reply = *answer;
    if (reply.isError()) {
        askingDesktop = false;
        forgetDesktopRequest();
        if (owner.transfersRunning())
            owner.refuse(QStringLiteral("the desktop portal: %1").arg(reply.error().message()));
        return;
    }
    // Qt names no sender of a reply (6.8 leaves it empty), so the bus is
    // asked who holds the portal's name, which it has since it replied;
    // verdicts wait until then.
    const QString path = reply.value().path();
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetNameOwner"));
    ask << PortalService;
    auto *watcher = new QDBusPendingCallWatcher(sessionBus.connection.asyncCall(ask), &owner);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &owner,
                     [this, path](QDBusPendingCallWatcher *named) {
                         named->deleteLater();
                         const QDBusPendingReply<QString> name = *named;
                         portalNamed(path, name.isError() ? QString() : name.value());
                     });
}

void SystemHold::Native::portalNamed(const QString &path, const QString &name)
{
    askingDesktop = false;
    portal = name;
    const auto early = std::exchange(earlyVerdicts, {});
    const QString request = desktopRequest;
    // A portal older than the token names the request itself.
    if (path != request)
        listenToDesktopRequest(path);
    else
        for (const auto &[sender, response] : early)
            desktopAnswered(request, sender, response);
    if (!owner.transfersRunning())
        closeDesktopRequest();
}

void SystemHold::Native::desktopAnswered(const QString &request, const QString &sender,
                                         uint response)
{
    if (request != desktopRequest)
        return;
    if (askingDesktop) {
        earlyVerdicts.append({sender, response});
        return;
    }
    if (sender != portal) {
        qCDebug(lcHold) << "a verdict on the desktop request from" << sender
                        << "is not the portal's, ignored";
        return;
    }
    if (response == 0)
        return;
    closeDesktopRequest();
    if (owner.transfersRunning())
        owner.refuse(
            QStringLiteral("the desktop declined to hold off log-out, user switching, suspend "
                           "and idle (portal response %1)")
                .arg(response));
}

void SystemHold::Native::listenToDesktopRequest(const QString &path)
{
    forgetDesktopRequest();
    desktopRequest = path;
    QMetaObject::invokeMethod(verdicts, [verdicts = verdicts, path] { verdicts->listen(path); });
}

void SystemHold::Native::forgetDesktopRequest()
{
    earlyVerdicts.clear();
    if (desktopRequest.isEmpty())
        return;
    QMetaObject::invokeMethod(
        verdicts, [verdicts = verdicts, path = std::exchange(desktopRequest, QString())] {
            verdicts->forget(path);
        });
}

// Fire and forget: the portal answers Close with nothing worth waiting for.
// A declined request is closed too, so that nothing of it is left to the
// portal's care.
void SystemHold::Native::closeDesktopRequest()
{
    if (desktopRequest.isEmpty())
        return;
    sessionBus.connection.send(QDBusMessage::createMethodCall(
        PortalService, desktopRequest, PortalRequest, QStringLiteral("Close")));
    forgetDesktopRequest();
}

#include "systemhold_posix.moc"
