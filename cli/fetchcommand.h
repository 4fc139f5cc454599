#ifndef FETCHCOMMAND_H
#define FETCHCOMMAND_H

#include <QCoreApplication>

class CliContext;

// fetch: the firmware server's latest firmware, verified, saved as a bundle
// in a folder for a PC without the internet.
class FetchCommand
{
    Q_DECLARE_TR_FUNCTIONS(CliApplication)

public:
    explicit FetchCommand(CliContext &context) : context(context) { }

    int run();

private:
    CliContext &context;
};

#endif // FETCHCOMMAND_H
