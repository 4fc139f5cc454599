#include "highestverifiedversion.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QSaveFile>
#include <QStandardPaths>

#include <limits>

namespace {

const char *const folderName = "ql7420-fwupdate";
const char *const fileName = "verified-versions.json";
const QLatin1String versionsKey("highest verified versions");
// Long enough for another run to write the few bytes the file holds.
const int lockWait = 10000;

// The entries of a record, or why they are not.
bool parseRecord(const QByteArray &content, QJsonArray *entries, QString *reason)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(content, &error);
    if (error.error != QJsonParseError::NoError) {
        *reason = QStringLiteral("%1 at byte %2").arg(error.errorString()).arg(error.offset);
        return false;
    }
    const QJsonValue list = document.object().value(versionsKey);
    if (!document.isObject() || !list.isArray()) {
        *reason = QStringLiteral("it holds no list \"%1\"").arg(versionsKey);
        return false;
    }
    for (const QJsonValue entry : list.toArray()) {
        const QJsonObject fields = entry.toObject();
        const double version = fields.value(QLatin1String("version")).toDouble(-1);
        if (!fields.value(QLatin1String("server")).isString()
            || !fields.value(QLatin1String("model")).isString() || version < 0
            || version > std::numeric_limits<int>::max() || version != int(version)) {
            *reason = QStringLiteral("an entry is not a server, a model and a version number");
            return false;
        }
    }
    *entries = list.toArray();
    return true;
}

bool isEntryFor(const QJsonValue &entry, const QString &server, const QString &model)
{
    return entry[QLatin1String("server")].toString() == server
        && entry[QLatin1String("model")].toString() == model;
}

} // namespace

HighestVerifiedVersion::HighestVerifiedVersion(const QString &server, const QString &model)
    : server(server), model(model)
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (!data.isEmpty())
        filePath = QDir(data).filePath(
            QStringLiteral("%1/%2").arg(QLatin1String(folderName), QLatin1String(fileName)));
}

bool HighestVerifiedVersion::read(int *version, QString *reason) const
{
    QJsonArray entries;
    return readRecord(version, &entries, reason);
}

// Read with the lock or without it: the file is only ever replaced whole.
bool HighestVerifiedVersion::readRecord(int *version, QJsonArray *entries, QString *reason) const
{
    *version = 0;
    const QString shown = QDir::toNativeSeparators(filePath);
    if (filePath.isEmpty()) {
        *reason = QStringLiteral("this system names no per-user data folder");
        return false;
    }
    QFile file(filePath);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        *reason = QStringLiteral("%1 cannot be read: %2").arg(shown, file.errorString());
        return false;
    }
    const QByteArray content = file.read(FileLimit + 1);
    QString detail;
    if (content.size() > FileLimit)
        detail = QStringLiteral("it holds more than %1 bytes").arg(FileLimit);
    else if (file.error() != QFile::NoError)
        detail = file.errorString();
    else if (parseRecord(content, entries, &detail)) {
        for (const QJsonValue entry : std::as_const(*entries))
            if (isEntryFor(entry, server, model))
                *version = entry[QLatin1String("version")].toInt();
        return true;
    }
    *reason = QStringLiteral("%1 is damaged (%2); remove it, and this PC forgets which "
                             "firmware versions it has verified")
                  .arg(shown, detail);
    return false;
}

bool HighestVerifiedVersion::raise(int version, QString *reason) const
{
    if (filePath.isEmpty() || !QDir().mkpath(QFileInfo(filePath).absolutePath())) {
        *reason = QStringLiteral("the folder of %1 cannot be made")
                      .arg(QDir::toNativeSeparators(filePath));
        return false;
    }
    QLockFile lock(filePath + QStringLiteral(".lock"));
    if (!lock.tryLock(lockWait)) {
        *reason = QStringLiteral("%1 stays locked by another run")
                      .arg(QDir::toNativeSeparators(filePath));
        return false;
    }
    int recorded = 0;
    QJsonArray entries;
    if (!readRecord(&recorded, &entries, reason))
        return false;
    if (recorded >= version)
        return true;

    for (qsizetype i = entries.size() - 1; i >= 0; --i)
        if (isEntryFor(entries.at(i), server, model))
            entries.removeAt(i);
    entries.append(QJsonObject {{QLatin1String("server"), server},
                                {QLatin1String("model"), model},
                                {QLatin1String("version"), version}});
    QSaveFile file(filePath);
    if (!file.open(QIODevice::WriteOnly)
        || file.write(QJsonDocument(QJsonObject {{versionsKey, entries}}).toJson()) < 0
        || !file.commit()) {
        *reason = QStringLiteral("%1 cannot be written: %2")
                      .arg(QDir::toNativeSeparators(filePath), file.errorString());
        return false;
    }
    return true;
}
