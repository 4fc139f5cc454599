#ifndef CHECKCOMMAND_H
#define CHECKCOMMAND_H

#include "updatefw.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QString>

class CliContext;

// check: the firmware server's latest firmware, or with --from a bundle's,
// verified and told. Every command that sends or saves firmware verifies it
// here first.
class CheckCommand
{
    Q_DECLARE_TR_FUNCTIONS(CliApplication)

public:
    explicit CheckCommand(CliContext &context) : context(context) { }

    int run();
    // From the server, or with --from from a bundle: the same rules either
    // way. Tells the outcome; true once the firmware is verified.
    bool verify();

private:
    void tellVerified(int version, const QString &name, const QString &digest);
    void tellFailed(UpdateFW::Failure failure, const QString &reason);
    QJsonObject sourceFields() const;

    CliContext &context;
};

#endif // CHECKCOMMAND_H
