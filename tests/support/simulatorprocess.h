#ifndef SIMULATORPROCESS_H
#define SIMULATORPROCESS_H

#include <QByteArray>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>

// The device simulator (tools/devicesim.py) as a child process: it serves a
// pseudo-terminal for the tool to open, records what it received and takes
// line commands on stdin, one answer line each. Every call blocks for at
// most a few seconds waiting for that answer, so it suits the test's own
// thread; use one object from one thread only. The process stops with it.
class SimulatorProcess
{
public:
    SimulatorProcess();
    ~SimulatorProcess();
    SimulatorProcess(const SimulatorProcess &) = delete;
    SimulatorProcess &operator=(const SimulatorProcess &) = delete;

    // The switches are devicesim.py's own (--fault, --version-text, ...).
    bool start(const QStringList &arguments = {});
    QString portPath() const { return path; }

    QJsonObject report();
    bool command(const QString &line);
    bool send(const QByteArray &bytes);
    bool addFault(const QString &fault);
    bool saveImage(const QString &path);
    QString replug();

private:
    void stop();
    QString ask(const QString &line);
    QString readLine();

    QProcess process;
    QString path;
};

// Whether nobody holds the port: the link takes it for itself while open.
bool portIsFree(const QString &path);

#endif // SIMULATORPROCESS_H
