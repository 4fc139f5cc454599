#include "cliapplication.h"

#include "checkcommand.h"
#include "clicontext.h"
#include "commandline.h"
#include "console.h"
#include "fetchcommand.h"
#include "firmwaresignature.h"
#include "listcommand.h"
#include "platformconsole.h"
#include "updatecommand.h"
#include "watchcommand.h"

#include <QCoreApplication>
#include <QLocale>
#include <QLoggingCategory>
#include <QTranslator>

CliApplication::CliApplication(const QStringList &arguments, std::FILE *out, std::FILE *err,
                               const Seams &seams, QObject *parent)
    : QObject(parent), arguments(arguments), out(out), err(err)
{
    // Apart from every other run's downloads and the window's.
    check.useOwnFolder();
    if (seams)
        seams(enumerator, check, bundle);
}

CliApplication::~CliApplication()
{
    // The device updates hold the links; the ports close with them.
    context.reset();
}

int CliApplication::run()
{
    CommandLine line;
    const bool parsed = line.parse(arguments);
    const CliCommand command = line.command();
    console = std::make_unique<Console>(out, err, command.json);
    if (!parsed) {
        console->note(tr("%1: %2\nSee: %1 --help")
                          .arg(QCoreApplication::applicationName(), line.errorText()));
        return CliContext::UsageError;
    }

    switch (command.kind) {
    case CliCommand::Help:
        std::fputs(line.helpText().toUtf8().constData(), out);
        return CliContext::Success;
    case CliCommand::Version:
        std::fprintf(out, "%s %s\n", qUtf8Printable(QCoreApplication::applicationName()),
                     qUtf8Printable(QCoreApplication::applicationVersion()));
        if (const QStringList ids = FirmwareSignature(FirmwareSignature::buildKeys()).keyIds();
            !ids.isEmpty())
            std::fprintf(out, "%s\n",
                         qUtf8Printable(tr("Takes only firmware signed with the maker's key %1")
                                            .arg(ids.join(tr(" or ")))));
        return CliContext::Success;
    default:
        break;
    }

    context = std::make_unique<CliContext>(command, *console, enumerator, check, bundle);
    switch (command.kind) {
    case CliCommand::Check:
        return CheckCommand(*context).run();
    case CliCommand::List:
        return ListCommand(*context).run();
    case CliCommand::Fetch:
        return FetchCommand(*context).run();
    default:
        if (command.watch)
            return WatchCommand(*context).run();
        return UpdateCommand(*context).run();
    }
}

int runCli(QCoreApplication &app, const CliApplication::Seams &seams)
{
    QCoreApplication::setApplicationName(QStringLiteral("ql7420-fwupdate-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QL7420_VERSION));
    PlatformConsole::prepare();
    // The machinery's debug lines are for support, not for the person at
    // the terminal; QT_LOGGING_RULES="*.debug=true" brings them back.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    QTranslator translator;
    if (translator.load(QLocale(), QStringLiteral("ql7420-fwupdate-cli"), QStringLiteral("_"),
                        QStringLiteral(":/i18n")))
        QCoreApplication::installTranslator(&translator);
    CliApplication cli(app.arguments(), stdout, stderr, seams);
    return cli.run();
}
