#include "minisignkey.h"

#include "testfiles.h"

#include <QDir>
#include <QProcess>

namespace {

bool minisign(const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral("minisign"), arguments);
    process.closeWriteChannel();
    return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
}

} // namespace

bool MinisignKey::generate(const QString &folder, const QString &name)
{
    const QString stem = QDir(folder).filePath(name);
    return minisign({"-G", "-W", "-f", "-p", stem + QStringLiteral(".pub"), "-s",
                     stem + QStringLiteral(".key")})
        && load(stem);
}

bool MinisignKey::load(const QString &stem)
{
    publicPath = stem + QStringLiteral(".pub");
    secretPath = stem + QStringLiteral(".key");
    keyLine = QString::fromLatin1(readFile(publicPath).split('\n').value(1));
    return !keyLine.isEmpty();
}

bool MinisignKey::sign(const QString &file, const QString &signature, const QString &trustedComment,
                       bool legacy) const
{
    QStringList arguments
        = {"-S", "-s", secretPath, "-m", file, "-x", signature, "-t", trustedComment};
    if (legacy)
        arguments << "-l";
    return minisign(arguments);
}

QString MinisignKey::comment(int version)
{
    return QStringLiteral("timestamp:1765238400 file:K-DMX-47-%1.ghx version:%1 model:TPX-KLN04")
        .arg(version);
}
