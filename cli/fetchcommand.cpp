#include "fetchcommand.h"

#include "checkcommand.h"
#include "clicontext.h"
#include "console.h"
#include "firmwarebundle.h"
#include "updatefw.h"

#include <QDateTime>

int FetchCommand::run()
{
    const CliCommand &command = context.command;
    Console &console = context.console;
    UpdateFW &check = context.check;
    FirmwareBundle &bundle = context.bundle;
    const auto refused = [&] {
        console.note(tr("Bundle not saved: %1").arg(bundle.errorString()));
        console.event({{"event", "fetch"}, {"ok", false}, {"reason", bundle.errorString()}});
        return CliContext::CheckFailed;
    };
    if (!bundle.canSaveIn(command.folder))
        return refused();
    if (!CheckCommand(context).verify())
        return context.stoppedWith(CliContext::CheckFailed);
    const FirmwareBundle::Description description {check.baseUrl(), QDateTime::currentDateTimeUtc(),
                                                   QCoreApplication::applicationName()
                                                       + QLatin1Char(' ')
                                                       + QCoreApplication::applicationVersion()};
    if (!bundle.save(command.folder, check, description, CliContext::DeviceImageSize))
        return refused();
    const QString fetched = description.fetched.toString(Qt::ISODate);
    console.result(
        tr("Bundle saved in %1: %2, MD5 %3, fetched %4")
            .arg(context.bundlePath(), check.imageFileName(), check.verifiedDigest(), fetched));
    console.event({{"event", "fetch"},
                   {"ok", true},
                   {"path", context.bundlePath()},
                   {"version", check.latestVersion()},
                   {"digest", check.verifiedDigest()},
                   {"fetched", fetched}});
    return CliContext::Success;
}
