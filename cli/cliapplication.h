#ifndef CLIAPPLICATION_H
#define CLIAPPLICATION_H

#include "deviceenumerator.h"
#include "firmwarebundle.h"
#include "updatefw.h"

#include <QObject>
#include <QStringList>

#include <cstdio>
#include <functional>
#include <memory>

class CliContext;
class Console;
class QCoreApplication;

// One run of the command line: reads the command and hands it to its own
// class (check, list, update, update --watch, fetch), which checks the
// firmware server (or a bundle saved from it), finds the devices, and
// updates them or tells of them. The exit code (CliContext::ExitCode) tells
// scripts the outcome. GUI thread; waits in event loops of its own, so that
// tests can run it in their own process.
class CliApplication : public QObject
{
    Q_OBJECT

public:
    // Hands a test or the demo the parts that look for devices, check the
    // firmware server and save bundles, to point them at simulated ports and
    // a loopback server, or to take a file system's other way, through their
    // own setters. The shipped command passes none. The window takes the
    // first two.
    using Seams = std::function<void(DeviceEnumerator &enumerator, UpdateFW &check,
                                     FirmwareBundle &bundle)>;

    explicit CliApplication(const QStringList &arguments, std::FILE *out = stdout,
                            std::FILE *err = stderr, const Seams &seams = {},
                            QObject *parent = nullptr);
    ~CliApplication() override;

    int run();

private:
    QStringList arguments;
    std::FILE *out;
    std::FILE *err;
    DeviceEnumerator enumerator;
    UpdateFW check;
    FirmwareBundle bundle;
    std::unique_ptr<Console> console;
    // Made once the command is read; ends before the parts it holds.
    std::unique_ptr<CliContext> context;
};

// The command line's whole run on an existing application object: its
// translation, its arguments, its exit code. The seams go to the run.
int runCli(QCoreApplication &app, const CliApplication::Seams &seams = {});

#endif // CLIAPPLICATION_H
