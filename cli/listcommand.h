#ifndef LISTCOMMAND_H
#define LISTCOMMAND_H

#include <QCoreApplication>

class CliContext;

// list: the attached devices as the host lists them, or with --versions
// each one's firmware version, read as the window reads it.
class ListCommand
{
    Q_DECLARE_TR_FUNCTIONS(CliApplication)

public:
    explicit ListCommand(CliContext &context) : context(context) { }

    int run();

private:
    CliContext &context;
};

#endif // LISTCOMMAND_H
