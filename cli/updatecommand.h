#ifndef UPDATECOMMAND_H
#define UPDATECOMMAND_H

#include "deviceenumerator.h"

#include <QCoreApplication>
#include <QList>

class CliContext;
class UpdateFW;

// update: the devices named, or the one attached, or with --all every one,
// updated all at once once the firmware is verified and the user has
// confirmed; then how each fared.
class UpdateCommand
{
    Q_DECLARE_TR_FUNCTIONS(CliApplication)

public:
    explicit UpdateCommand(CliContext &context) : context(context) { }

    int run();
    // Takes each of the ports through its course at once, and tells how each
    // ended. Without an image a course ends once the device's version is
    // read.
    int runDevices(const QList<PortRecord> &ports, const UpdateFW *image);

private:
    QList<PortRecord> chooseDevices(int *refusal);
    bool confirm(const QList<PortRecord> &ports);

    CliContext &context;
};

#endif // UPDATECOMMAND_H
