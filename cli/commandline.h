#ifndef COMMANDLINE_H
#define COMMANDLINE_H

#include <QCoreApplication>
#include <QString>
#include <QStringList>

// What the user asked of the command line, read from its arguments.
struct CliCommand
{
    enum Kind { Check, List, Update, Fetch, Help, Version };

    Kind kind = Help;
    bool json = false;
    bool versions = false;
    bool all = false;
    bool yes = false;
    // update: every device plugged in from now on, until count of them are
    // updated (0: until interrupted).
    bool watch = false;
    int count = 0;
    QStringList ports;
    // fetch: the folder to save the bundle in.
    QString folder;
    // check, update: the bundle to take the firmware from instead of the
    // server; empty for the server.
    QString from;
    // check, update, fetch: take a signed image older than a version this PC
    // has verified before.
    bool allowOlder = false;
};

// Reads the arguments (the program's name first) into a command; an
// argument that makes no sense for the command is a usage error.
class CommandLine
{
    Q_DECLARE_TR_FUNCTIONS(CommandLine)

public:
    bool parse(const QStringList &arguments);

    CliCommand command() const { return parsed; }
    // Why the arguments were refused, in one line.
    QString errorText() const { return error; }
    // The whole --help text, the exit codes included.
    QString helpText() const;

private:
    bool refuse(const QString &text);

    CliCommand parsed;
    QString error;
};

#endif // COMMANDLINE_H
