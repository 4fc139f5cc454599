#include "simulatorprocess.h"

#include "serialport.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QtDebug>

namespace {
// Python's start-up on a loaded CI machine can take seconds; an answer that
// has not come by then is not coming.
constexpr int AnswerWaitMs = 10000;
constexpr int QuitWaitMs = 3000;
} // namespace

SimulatorProcess::SimulatorProcess()
{
    // The simulator's diagnostics end up beside the test's own output.
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

SimulatorProcess::~SimulatorProcess()
{
    stop();
}

bool SimulatorProcess::start(const QStringList &arguments)
{
    stop();
    path.clear();
    process.start(QStringLiteral("python3"),
                  QStringList {QStringLiteral(TOOLS_DIR "/devicesim.py")} + arguments);
    if (!process.waitForStarted(AnswerWaitMs)) {
        qWarning() << "devicesim.py did not start:" << process.errorString();
        return false;
    }
    const QString line = readLine();
    if (!line.startsWith(QLatin1String("PTY "))) {
        qWarning() << "devicesim.py did not announce its pty:" << line;
        stop();
        return false;
    }
    path = line.mid(4);
    return true;
}

void SimulatorProcess::stop()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.write("quit\n");
    if (!process.waitForFinished(QuitWaitMs)) {
        process.kill();
        process.waitForFinished(QuitWaitMs);
    }
}

QJsonObject SimulatorProcess::report()
{
    const QString answer = ask(QStringLiteral("report"));
    if (!answer.startsWith(QLatin1String("REPORT "))) {
        qWarning() << "devicesim.py report failed:" << answer;
        return {};
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(answer.mid(7).toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        qWarning() << "devicesim.py report is not a JSON object:" << error.errorString();
        return {};
    }
    return document.object();
}

bool SimulatorProcess::command(const QString &line)
{
    const QString answer = ask(line);
    if (answer == QLatin1String("OK"))
        return true;
    qWarning() << "devicesim.py:" << line << "->" << answer;
    return false;
}

bool SimulatorProcess::send(const QByteArray &bytes)
{
    return command(QStringLiteral("send ") + QString::fromLatin1(bytes.toHex()));
}

bool SimulatorProcess::addFault(const QString &fault)
{
    return command(QStringLiteral("fault ") + fault);
}

bool SimulatorProcess::saveImage(const QString &path)
{
    return command(QStringLiteral("save ") + path);
}

QString SimulatorProcess::replug()
{
    const QString answer = ask(QStringLiteral("replug"));
    if (!answer.startsWith(QLatin1String("PTY "))) {
        qWarning() << "devicesim.py replug failed:" << answer;
        return {};
    }
    path = answer.mid(4);
    return path;
}

QString SimulatorProcess::ask(const QString &line)
{
    if (process.state() != QProcess::Running)
        return {};
    // The simulator speaks only when spoken to, so a line already waiting is
    // the late answer to a command that timed out; it must not pass for this
    // command's answer.
    while (process.canReadLine())
        process.readLine();
    process.write(line.toUtf8() + '\n');
    return readLine();
}

QString SimulatorProcess::readLine()
{
    const QDeadlineTimer deadline(AnswerWaitMs);
    while (!process.canReadLine()) {
        if (process.state() != QProcess::Running || deadline.hasExpired())
            return {};
        process.waitForReadyRead(int(deadline.remainingTime()));
    }
    QByteArray line = process.readLine();
    line.chop(1);
    return QString::fromUtf8(line);
}

bool portIsFree(const QString &path)
{
    SerialPort probe;
    probe.setPortName(path);
    const bool free = probe.open();
    probe.close();
    return free;
}
