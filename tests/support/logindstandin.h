#ifndef LOGINDSTANDIN_H
#define LOGINDSTANDIN_H

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

// tools/logind-standin.py as a child process: a private bus of its own with
// a stand-in for logind's inhibitor locks on it. Its events come as lines
// ("inhibit <what> <mode> <who>|<why>", "released", "refused <what>"). The bus and
// the stand-in stop with the object.
class LogindStandin
{
public:
    LogindStandin() = default;
    ~LogindStandin();
    LogindStandin(const LogindStandin &) = delete;
    LogindStandin &operator=(const LogindStandin &) = delete;

    // The switches are the stand-in's own (--refuse, --no-logind).
    bool start(const QStringList &arguments = {});
    // For DBUS_SYSTEM_BUS_ADDRESS.
    QString busAddress() const { return address; }
    // The events since the start or the last clearEvents(), in order,
    // without their times.
    QStringList events();
    void clearEvents();

private:
    QProcess process;
    QString address;
    QByteArray unread;
    QStringList seen;
};

#endif // LOGINDSTANDIN_H
