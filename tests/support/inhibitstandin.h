#ifndef INHIBITSTANDIN_H
#define INHIBITSTANDIN_H

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

// tools/inhibit-standin.py as a child process: a private bus of its own with
// a stand-in on it for logind's inhibitor locks or for the desktop portal's
// Inhibit. Its events come as lines ("inhibit <what> <mode> <who>|<why>",
// "released", "portal-inhibit <flags> <window>|<reason>", "portal-closed",
// "portal-declined", "portal-confirmed", "portal-forged", "refused"). The bus
// and the stand-in stop with the object.
class InhibitStandin
{
public:
    InhibitStandin() = default;
    ~InhibitStandin();
    InhibitStandin(const InhibitStandin &) = delete;
    InhibitStandin &operator=(const InhibitStandin &) = delete;

    // "logind" or "portal".
    bool start(const QString &service = QStringLiteral("logind"));
    // For DBUS_SYSTEM_BUS_ADDRESS or DBUS_SESSION_BUS_ADDRESS.
    QString busAddress() const { return address; }
    // One of the stand-in's commands ("refuse", "refuse-lid", "grant",
    // "delay <ms>", "decline", "confirm", "forge", "absent", "present"); true
    // once it has been taken.
    bool command(const QString &line);
    // The events since the start or the last clearEvents(), in order,
    // without their times.
    QStringList events();
    // Only the first word of each: what happened, not who asked for what.
    QStringList eventKinds();
    void clearEvents();

private:
    QProcess process;
    QString address;
    QByteArray unread;
    QStringList seen;
};

#endif // INHIBITSTANDIN_H
