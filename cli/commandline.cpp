#include "commandline.h"

#include <QCommandLineParser>

namespace {

struct Options
{
    QCommandLineOption json {QStringLiteral("json"),
                             CommandLine::tr("Print one JSON object per line on stdout, for "
                                             "scripts.")};
    QCommandLineOption versions {QStringLiteral("versions"),
                                 CommandLine::tr("list: switch each device to PC mode, as the "
                                                 "window does, and read its firmware version.")};
    QCommandLineOption port {QStringLiteral("port"),
                             CommandLine::tr("update: the device on this serial port (any port "
                                             "name, also one without the USB identifiers); may "
                                             "be repeated."),
                             QStringLiteral("NAME")};
    QCommandLineOption all {QStringLiteral("all"),
                            CommandLine::tr("update: every attached device.")};
    QCommandLineOption yes {QStringLiteral("yes"),
                            CommandLine::tr("update: do not ask for confirmation.")};
    QCommandLineOption watch {QStringLiteral("watch"),
                              CommandLine::tr("update: wait for devices and update each one "
                                              "plugged in, until interrupted or --count are "
                                              "updated; one already updated is not updated "
                                              "again.")};
    QCommandLineOption count {QStringLiteral("count"),
                              CommandLine::tr("update --watch: end once this many devices are "
                                              "updated."),
                              QStringLiteral("N")};
    QCommandLineOption from {QStringLiteral("from"),
                             CommandLine::tr("check, update: the firmware of the bundle in this "
                                             "folder, saved before with fetch, instead of the "
                                             "firmware server's."),
                             QStringLiteral("DIR")};
    QCommandLineOption allowOlder {QStringLiteral("allow-older"),
                                   CommandLine::tr("check, update, fetch: take signed firmware "
                                                   "older than a version this PC has verified "
                                                   "before.")};
    QCommandLineOption help {{QStringLiteral("h"), QStringLiteral("help")},
                             CommandLine::tr("Show this help.")};
    QCommandLineOption version {{QStringLiteral("v"), QStringLiteral("version")},
                                CommandLine::tr("Show the program's version.")};
};

void setUp(QCommandLineParser &parser, const Options &options)
{
    parser.setApplicationDescription(CommandLine::tr(
        "Updates the firmware of QL-7420 devices (USB 0451:16aa) from the firmware server.\n"
        "\n"
        "Commands:\n"
        "  check      check the firmware server: latest version, digest verified\n"
        "  list       list the attached devices\n"
        "  update     check the server, then update the devices, in parallel; with\n"
        "             --watch, each device as it is plugged in\n"
        "  fetch DIR  check the server, then save its firmware in DIR as a bundle, for\n"
        "             check and update --from DIR on a PC without the internet"));
    parser.addPositionalArgument(QStringLiteral("command"),
                                 CommandLine::tr("check, list, update or fetch"));
    parser.addPositionalArgument(QStringLiteral("DIR"),
                                 CommandLine::tr("fetch: the folder to save the bundle in"),
                                 QStringLiteral("[DIR]"));
    parser.addOptions({options.json, options.versions, options.port, options.all, options.yes,
                       options.watch, options.count, options.from, options.allowOlder, options.help,
                       options.version});
}

} // namespace

bool CommandLine::parse(const QStringList &arguments)
{
    Options options;
    QCommandLineParser parser;
    setUp(parser, options);
    if (!parser.parse(arguments))
        return refuse(parser.errorText());

    parsed = {};
    parsed.json = parser.isSet(options.json);
    if (parser.isSet(options.help)) {
        parsed.kind = CliCommand::Help;
        return true;
    }
    if (parser.isSet(options.version)) {
        parsed.kind = CliCommand::Version;
        return true;
    }

    const QStringList words = parser.positionalArguments();
    if (words.isEmpty())
        return refuse(tr("no command given: check, list, update or fetch"));
    const QString word = words.first();
    if (word == QLatin1String("check"))
        parsed.kind = CliCommand::Check;
    else if (word == QLatin1String("list"))
        parsed.kind = CliCommand::List;
    else if (word == QLatin1String("update"))
        parsed.kind = CliCommand::Update;
    else if (word == QLatin1String("fetch"))
        parsed.kind = CliCommand::Fetch;
    else
        return refuse(tr("unknown command: %1").arg(word));
    const int wordsTaken = parsed.kind == CliCommand::Fetch ? 2 : 1;
    if (words.size() > wordsTaken)
        return refuse(tr("unexpected argument: %1").arg(words.at(wordsTaken)));
    if (parsed.kind == CliCommand::Fetch && words.value(1).isEmpty())
        return refuse(tr("fetch needs the folder to save the bundle in: fetch DIR"));
    parsed.folder = words.value(1);

    parsed.versions = parser.isSet(options.versions);
    parsed.ports = parser.values(options.port);
    parsed.all = parser.isSet(options.all);
    parsed.yes = parser.isSet(options.yes);
    parsed.watch = parser.isSet(options.watch);
    parsed.from = parser.value(options.from);
    if (parsed.versions && parsed.kind != CliCommand::List)
        return refuse(tr("--versions goes with list"));
    if ((!parsed.ports.isEmpty() || parsed.all || parsed.yes) && parsed.kind != CliCommand::Update)
        return refuse(tr("--port, --all and --yes go with update"));
    if (!parsed.ports.isEmpty() && parsed.all)
        return refuse(tr("--port and --all exclude each other"));
    if (parsed.ports.contains(QString()))
        return refuse(tr("--port needs a port name"));
    if (parser.isSet(options.from) && parsed.kind != CliCommand::Check
        && parsed.kind != CliCommand::Update)
        return refuse(tr("--from goes with check and update"));
    if (parser.isSet(options.from) && parsed.from.isEmpty())
        return refuse(tr("--from needs the folder of a bundle"));
    parsed.allowOlder = parser.isSet(options.allowOlder);
    if (parsed.allowOlder && parsed.kind == CliCommand::List)
        return refuse(tr("--allow-older goes with check, update and fetch"));
    if (parsed.watch && parsed.kind != CliCommand::Update)
        return refuse(tr("--watch goes with update"));
    if (parsed.watch && (!parsed.ports.isEmpty() || parsed.all))
        return refuse(tr("--watch takes every device plugged in; it excludes --port and --all"));
    if (parser.isSet(options.count)) {
        bool number = false;
        parsed.count = parser.value(options.count).toInt(&number);
        if (!parsed.watch)
            return refuse(tr("--count goes with update --watch"));
        if (!number || parsed.count < 1)
            return refuse(tr("--count needs a number of devices, 1 or more"));
    }
    parsed.ports.removeDuplicates();
    return true;
}

QString CommandLine::helpText() const
{
    Options options;
    QCommandLineParser parser;
    setUp(parser, options);
    return parser.helpText()
        + tr("\nExit codes:\n"
             "  0    every device updated (or the check or list succeeded)\n"
             "  1    the firmware check failed (of the server or of a bundle), or fetch\n"
             "       could not save the bundle\n"
             "  2    usage error, or the update was not confirmed\n"
             "  3    no device attached\n"
             "  4    at least one device failed (with --watch: failed when last tried)\n"
             "  130  interrupted before any transfer began\n");
}

bool CommandLine::refuse(const QString &text)
{
    error = text;
    return false;
}
