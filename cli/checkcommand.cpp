#include "checkcommand.h"

#include "clicontext.h"
#include "console.h"
#include "firmwarebundle.h"
#include "updatefw.h"

#include <QJsonArray>
#include <QMetaEnum>

int CheckCommand::run()
{
    if (verify())
        return CliContext::Success;
    return context.stoppedWith(CliContext::CheckFailed);
}

bool CheckCommand::verify()
{
    UpdateFW &check = context.check;
    bool done = false;
    QObject::connect(&check, &UpdateFW::imageVerified, &context,
                     [this, &done](int version, const QString &name, const QString &digest) {
                         tellVerified(version, name, digest);
                         done = true;
                         context.wake();
                     });
    QObject::connect(&check, &UpdateFW::failed, &context,
                     [this, &done](UpdateFW::Failure failure, const QString &reason) {
                         tellFailed(failure, reason);
                         done = true;
                         context.wake();
                     });
    check.setOlderAllowed(context.command.allowOlder);
    if (context.command.from.isEmpty())
        check.checkServerFW();
    else
        check.checkBundle(context.command.from, CliContext::DeviceImageSize);
    context.waitUntil([&done] { return done; });
    QObject::disconnect(&check, nullptr, &context, nullptr);
    return !check.verifiedDigest().isEmpty();
}

void CheckCommand::tellVerified(int version, const QString &name, const QString &digest)
{
    Console &console = context.console;
    const QJsonObject source = sourceFields();
    if (context.command.from.isEmpty()) {
        console.result(tr("Latest firmware: %1, MD5 %2 verified, from %3")
                           .arg(name, digest, context.check.baseUrl()));
    } else {
        // Anyone can write bundle.json; only the image is vouched for.
        const QString fetched = source.value("fetched").toString();
        const QString url = source.value("url").toString();
        console.result(tr("Firmware in the bundle: %1, MD5 %2 verified, from %3 (fetched %4 "
                          "from %5, as its bundle.json says, which nothing verifies)")
                           .arg(name, digest, context.bundlePath(),
                                fetched.isEmpty() ? tr("at an unknown time") : fetched,
                                url.isEmpty() ? tr("an unknown server") : url));
    }
    const QString key = context.check.signatureKeyId();
    if (!key.isEmpty())
        console.result(tr("Signed by the maker: key %1").arg(key));
    const int newer = context.check.newerVersionVerified();
    if (newer != 0)
        console.result(tr("Older than version %1, which this PC has already verified: taken, as "
                          "--allow-older asks")
                           .arg(newer));
    QJsonObject event = source;
    event.insert("event", "check");
    event.insert("ok", true);
    event.insert("version", version);
    event.insert("digest", digest);
    if (!key.isEmpty())
        event.insert("signedBy", key);
    if (newer != 0)
        event.insert("olderThanVerified", newer);
    console.event(event);
}

void CheckCommand::tellFailed(UpdateFW::Failure failure, const QString &reason)
{
    context.console.note(tr("Firmware check failed: %1").arg(reason));
    if (failure == UpdateFW::OlderThanVerified)
        context.console.note(tr("To take it all the same, run again with --allow-older."));
    QJsonObject event = sourceFields();
    event.insert("event", "check");
    event.insert("ok", false);
    event.insert("failure", QMetaEnum::fromType<UpdateFW::Failure>().valueToKey(failure));
    event.insert("reason", reason);
    context.console.event(event);
}

// Where the firmware came from, for the check's events: the server, or the
// bundle with what its description says of where and when it was fetched.
QJsonObject CheckCommand::sourceFields() const
{
    const CliCommand &command = context.command;
    if (command.from.isEmpty())
        return {{"source", "server"}, {"url", context.check.baseUrl()}};
    const FirmwareBundle::Description about = FirmwareBundle::readDescription(command.from);
    const auto orNull
        = [](const QString &text) { return text.isEmpty() ? QJsonValue() : QJsonValue(text); };
    return {{"source", "bundle"},
            {"path", context.bundlePath()},
            {"fetched", orNull(about.fetched.toUTC().toString(Qt::ISODate))},
            {"url", orNull(about.url)},
            {"unverified", QJsonArray {"fetched", "url"}}};
}
