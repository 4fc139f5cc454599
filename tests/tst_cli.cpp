#include "cliapplication.h"
#include "deviceenumerator.h"
#include "firmwarerelease.h"
#include "firmwaresignature.h"
#include "inhibitstandin.h"
#include "minisignkey.h"
#include "ptypair.h"
#include "simulatorprocess.h"
#include "testfiles.h"
#include "updatefw.h"

#include <QJsonDocument>
#include <QLockFile>
#include <QProcess>
#include <QSaveFile>
#include <QTemporaryFile>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <linux/capability.h>
#include <memory>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int DeviceCount = 3;
constexpr int BlockCount = 3376;
// Guards against a run that hangs, not timings: each wait ends with the
// event it waits for, and a step may span a whole update on a busy machine.
constexpr int RunLimitMs = 300000;

struct CliRun
{
    int exitCode = -1;
    QString out;
    QString err;
    // The run's own TMPDIR, and what it left there.
    QString temp;
    QStringList leftInTemp;
};

// The folders below temp that a run's downloads went to, from its debug
// lines, where each download's path stands alone in quotes.
QStringList downloadFolders(const QString &err, const QString &temp)
{
    QStringList folders;
    for (const QString &line : err.split('\n')) {
        if (line.startsWith('"' + temp + '/') && line.endsWith('"')) {
            const QString folder
                = QDir(temp).relativeFilePath(QFileInfo(line.mid(1).chopped(1)).path());
            if (!folders.contains(folder))
                folders.append(folder);
        }
    }
    return folders;
}

// Runs the command line in this process, its output in out, with the seams
// given.
int runHere(const QStringList &arguments, const CliApplication::Seams &seams, QByteArray *out)
{
    QTemporaryFile outFile;
    QTemporaryFile errFile;
    if (!outFile.open() || !errFile.open())
        return -1;
    std::FILE *outStream = std::fopen(QFile::encodeName(outFile.fileName()).constData(), "w");
    std::FILE *errStream = std::fopen(QFile::encodeName(errFile.fileName()).constData(), "w");
    if (!outStream || !errStream)
        return -1;
    int exitCode = -1;
    {
        CliApplication cli(QStringList {"ql7420-fwupdate-cli"} + arguments, outStream, errStream,
                           seams);
        exitCode = cli.run();
    }
    std::fclose(outStream);
    std::fclose(errStream);
    *out = readFile(outFile.fileName());
    if (exitCode != 0)
        qWarning("%s", readFile(errFile.fileName()).constData());
    return exitCode;
}

// The files in folder by name, with the MD5 of what they hold; none where
// folder is empty or gone.
QMap<QString, QString> filesIn(const QString &folder)
{
    QMap<QString, QString> files;
    if (!folder.isEmpty()) {
        for (const QString &name : QDir(folder).entryList(QDir::Files | QDir::Hidden))
            files.insert(name, FirmwareRelease::md5(readFile(folder + '/' + name)));
    }
    return files;
}

// Waits until what the process wrote to the channel, gathered in seen,
// holds text.
bool waitForOutput(QProcess &process, QByteArray &seen, QProcess::ProcessChannel channel,
                   const QByteArray &text, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    process.setReadChannel(channel);
    process.waitForStarted();
    while (!seen.contains(text) && !deadline.hasExpired() && process.state() == QProcess::Running) {
        process.waitForReadyRead(100);
        seen += process.readAll();
    }
    return seen.contains(text);
}

} // namespace

// The command line as its users run it: the demo build of the command,
// which differs from the shipped one only in where the server and the
// devices come from, as a child process over simulated devices and a
// loopback firmware server; and the same run in this process, where the
// port list can be replaced.
class tst_Cli : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void noPortOpened_data();
    void noPortOpened();
    void interruptDuringHandshake();
    void threeDevicesAtOnceJson_data();
    void threeDevicesAtOnceJson();
    void stalledDeviceWhileInterrupted();
    void watch_data();
    void watch();
    void noWindowSystemLinked();

private:
    QProcess *startCli(const QStringList &arguments, int attached,
                       const QString &baseUrl = QString(), const QString &language = "C",
                       const QString &terminal = QString());
    CliRun finish(QProcess *process);
    QString spoiledBundle(const QString &fault);
    bool noByteSent();
    QString expectedDeviceMd5() const;

    QByteArray image = FirmwareRelease::randomImage(150000);
    FirmwareRelease release;
    // The same image, signed with the key the keyed command line holds;
    // published for the rows that run that program.
    FirmwareRelease keyedRelease;
    bool keyedReleasePublished = false;
    SimulatorProcess simulators[DeviceCount];
    // Stands in for logind on the system bus of every run here.
    InhibitStandin logind;
    QTemporaryDir runsTemp;
    int runs = 0;
    // Fetched from the release at the start; rows spoil copies of it.
    QString bundle = runsTemp.filePath("bundle");
    int bundleCopies = 0;
    // Held as another fetch saving a bundle would hold it.
    std::unique_ptr<QLockFile> saving;
    // The maker's key, the next one, which signs the release, and someone
    // else's; and the keys that the next run holds, by name.
    MinisignKey makerKey;
    MinisignKey successorKey;
    MinisignKey strangerKey;
    QString signingKeys;
    // The key that the keyed command line holds from its build, and whether
    // the next run is that program's.
    MinisignKey buildKey;
    bool keyedProgram = false;
    // Where a watching run lists its devices, read again at every scan;
    // such a run's two outputs come as one.
    QString devicesFile;
    // What the next run's environment adds: the demo's seams, and the
    // settings of support/failingcalls.c (QL7420_FAULT_...), which is then
    // preloaded.
    QMap<QString, QString> runEnvironment;
    // A bundle beside the folder that the next run must leave as it is.
    QString untouchedBundle;
};

void tst_Cli::initTestCase()
{
    QVERIFY(makerKey.generate(runsTemp.path(), "maker"));
    QVERIFY(successorKey.generate(runsTemp.path(), "successor"));
    QVERIFY(strangerKey.generate(runsTemp.path(), "stranger"));
    QVERIFY(buildKey.load(BUILD_KEY));
    QVERIFY(release.publish(image, 12, {}, successorKey.publisherSigning()));
    for (SimulatorProcess &simulator : simulators)
        QVERIFY(simulator.start());
    QVERIFY(logind.start());
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", logind.busAddress().toUtf8());
    const CliRun fetch = finish(startCli({"fetch", bundle}, 0));
    QVERIFY2(fetch.exitCode == 0, qPrintable(fetch.err));
}

void tst_Cli::init()
{
    saving.reset();
    signingKeys.clear();
    keyedProgram = false;
    devicesFile.clear();
    runEnvironment.clear();
    untouchedBundle.clear();
    // Plugged in again after a test that unplugged one.
    for (SimulatorProcess &simulator : simulators) {
        QVERIFY(simulator.command("reset"));
        QVERIFY(!simulator.replug().isEmpty());
    }
}

// The demo build over the first `attached` simulators, listed as attached
// devices with the USB serial numbers SIM-1, SIM-2 and SIM-3, with a terminal as its standard input
// or none, and a temporary folder of its own, which is also its working folder. Debug lines are
// switched on, so that an opened port and each download's path show.
QProcess *tst_Cli::startCli(const QStringList &arguments, int attached, const QString &baseUrl,
                            const QString &language, const QString &terminal)
{
    QStringList ports;
    for (int i = 0; i < attached; ++i)
        ports << QStringLiteral("%1=SIM-%2").arg(simulators[i].portPath()).arg(i + 1);
    auto *process = new QProcess(this);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QL7420_DEMO_BASE_URL", baseUrl.isEmpty() ? release.baseUrl() : baseUrl);
    environment.insert("QL7420_DEMO_DEVICES", ports.join(','));
    environment.insert("QT_LOGGING_RULES", "default.debug=true");
    if (!signingKeys.isEmpty())
        environment.insert("QL7420_DEMO_SIGNING_KEYS", signingKeys);
    if (!devicesFile.isEmpty()) {
        environment.insert("QL7420_DEMO_DEVICES_FILE", devicesFile);
        process->setProcessChannelMode(QProcess::MergedChannels);
    }
    for (auto setting = runEnvironment.cbegin(); setting != runEnvironment.cend(); ++setting) {
        environment.insert(setting.key(), setting.value());
        if (setting.key().startsWith("QL7420_FAULT_"))
            environment.insert("LD_PRELOAD", FAILING_CALLS_PRELOAD);
    }
    environment.insert("LANG", language);
    environment.remove("LC_ALL");
    environment.remove("LC_MESSAGES");
    environment.remove("LANGUAGE");
    const QString temp = runsTemp.filePath(QString::number(++runs));
    QDir().mkpath(temp);
    environment.insert("TMPDIR", QDir(temp).canonicalPath());
    // Where a keyed run records the versions it verified, unless the row
    // gives it a record.
    if (!runEnvironment.contains("XDG_DATA_HOME"))
        environment.insert("XDG_DATA_HOME", QDir(temp).canonicalPath() + "-data");
    process->setProperty("tmpdir", QDir(temp).canonicalPath());
    process->setProcessEnvironment(environment);
    process->setWorkingDirectory(temp);
    if (!terminal.isEmpty())
        process->setStandardInputFile(terminal);
    // Root may read any file whatever its mode; the tool runs as a technician,
    // who may not.
    process->setChildProcessModifier([] {
        if (::geteuid() == 0) {
            ::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
            ::prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0);
        }
    });
    process->start(keyedProgram ? CLI_KEYED : CLI_DEMO, arguments);
    if (terminal.isEmpty())
        process->closeWriteChannel();
    return process;
}

CliRun tst_Cli::finish(QProcess *process)
{
    CliRun run;
    if (!process->waitForFinished(RunLimitMs)) {
        process->kill();
        process->waitForFinished();
    }
    run.exitCode = process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -1;
    run.out = QString::fromUtf8(process->readAllStandardOutput());
    if (process->processChannelMode() != QProcess::MergedChannels)
        run.err = QString::fromUtf8(process->readAllStandardError());
    run.temp = process->property("tmpdir").toString();
    run.leftInTemp
        = QDir(run.temp).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    process->deleteLater();
    return run;
}

// A copy of the bundle fetched at the start, spoiled as the fault says.
QString tst_Cli::spoiledBundle(const QString &fault)
{
    const QString folder = runsTemp.filePath(QStringLiteral("spoiled-%1").arg(++bundleCopies));
    if (fault == "missing folder")
        return folder;
    const QString staging
        = QStringLiteral("%1/.spoiled-%2.ql7420-fetch-").arg(runsTemp.path()).arg(bundleCopies);
    if (fault == "being saved by another fetch") {
        saving.reset(new QLockFile(staging.chopped(1) + ".lock"));
        saving->tryLock();
    }
    QDir().mkpath(folder);
    if (fault == "empty folder")
        return folder;
    for (const QString &name : QDir(bundle).entryList(QDir::Files))
        QFile::copy(bundle + '/' + name, folder + '/' + name);
    const QString version = folder + "/version.txt";
    const QString image = folder + "/K-DMX-47-12.ghx";
    const auto replaceImage = [&](const QByteArray &bytes) {
        writeFile(image, bytes);
        writeFile(version, "12 " + FirmwareRelease::md5(bytes).toLatin1() + '\n');
    };
    // A signed bundle, as a build with the maker's keys fetches one, spoiled
    // in its signature.
    const QString signature = image + ".minisig";
    if (fault.startsWith("signed")) {
        const MinisignKey &key = fault.contains("another key") ? strangerKey
            : fault.contains("second key")                     ? successorKey
            : fault.contains("build's key")                    ? buildKey
                                                               : makerKey;
        if (!fault.contains("missing"))
            key.sign(image, signature, MinisignKey::comment(fault.contains("version 11") ? 11 : 12),
                     fault.contains("legacy"));
        if (fault.contains("malformed")) {
            writeFile(signature, "untrusted comment: signature\nRWQ=\n");
        } else if (fault.contains("comment altered")) {
            QByteArray content = readFile(signature);
            writeFile(signature, content.replace("version:12", "version:13"));
        } else if (fault.contains("MD5 rewritten")) {
            replaceImage(FirmwareRelease::randomImage(150001));
        }
        return folder;
    }
    if (fault == "no version file") {
        QFile::remove(version);
    } else if (fault == "version file in JSON") {
        writeFile(version,
                  "{\"version\": 12, \"md5\": \"" + FirmwareRelease::md5(this->image).toLatin1()
                      + "\"}\n");
    } else if (fault == "one byte changed") {
        QByteArray changed = this->image;
        changed[1000] = char(changed[1000] ^ 0x01);
        writeFile(image, changed);
    } else if (fault == "device's size") {
        replaceImage(FirmwareRelease::randomImage(BlockCount * 64));
    } else if (fault == "one byte too long") {
        replaceImage(FirmwareRelease::randomImage(BlockCount * 64 + 1));
    } else if (fault == "image of version 13") {
        QFile::rename(image, folder + "/K-DMX-47-13.ghx");
    } else if (fault == "image a FIFO") {
        QFile::remove(image);
        ::mkfifo(QFile::encodeName(image).constData(), 0644);
    } else if (fault == "image a device node") {
        QFile::remove(image);
        QFile::link("/dev/zero", image);
    } else if (fault == "version file unreadable") {
        QFile::setPermissions(version, {});
    } else if (fault == "a file of the user's") {
        writeFile(folder + "/notes.txt", "mine");
    } else if (fault == "moved aside by a cut-off fetch") {
        writeFile(staging + "Ab12Cd/.ql7420-fetch", "");
        QDir().rename(folder, staging + "Ab12Cd/old");
    } else if (fault == "beside a cut-off fetch's new bundle, swapped for a link while cleared") {
        // The link leads to another bundle, which the clean-up must never reach.
        untouchedBundle = spoiledBundle("intact");
        const QString cutOff = staging + "Ab12Cd/bundle";
        writeFile(staging + "Ab12Cd/.ql7420-fetch", "");
        QDir().mkpath(cutOff);
        for (const QString &name : QDir(bundle).entryList(QDir::Files))
            QFile::copy(bundle + '/' + name, cutOff + '/' + name);
        runEnvironment.insert("QL7420_FAULT_LINK_AT_UNLINK",
                              QFileInfo(cutOff).canonicalFilePath() + '=' + untouchedBundle);
    }
    return folder;
}

bool tst_Cli::noByteSent()
{
    for (SimulatorProcess &simulator : simulators) {
        const QJsonObject report = simulator.report();
        if (report.value("pcModeRequests").toInt() != 0
            || report.value("versionRequests").toInt() != 0
            || report.value("startCommands").toInt() != 0)
            return false;
    }
    return true;
}

QString tst_Cli::expectedDeviceMd5() const
{
    return FirmwareRelease::md5(FirmwareRelease::deviceImage(image));
}

// Runs that end before any port is opened: refusals, and the plain list.
void tst_Cli::noPortOpened_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("attached");
    // A firmware server's switches (tools/fwserver.py); none: the release.
    QTest::addColumn<QStringList>("serverSwitches");
    QTest::addColumn<QString>("language");
    // What a terminal on the standard input answers; null: no terminal.
    QTest::addColumn<QByteArray>("terminalAnswer");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("says");

    const QStringList none;
    const QByteArray noTerminal;
    QTest::newRow("no command") << QStringList() << 1 << none << "C" << noTerminal << 2
                                << "no command given";
    QTest::newRow("unknown option") << QStringList({"update", "--frob"}) << 1 << none << "C"
                                    << noTerminal << 2 << "Unknown option 'frob'";
    QTest::newRow("--watch with --all") << QStringList({"update", "--watch", "--all"}) << 1 << none
                                        << "C" << noTerminal << 2 << "it excludes --port and --all";
    QTest::newRow("--count 0") << QStringList({"update", "--watch", "--count", "0"}) << 1 << none
                               << "C" << noTerminal << 2 << "--count needs a number of devices";
    QTest::newRow("--watch, firmware server answers 404")
        << QStringList({"update", "--watch"}) << 1 << QStringList({"--status-version", "404"})
        << "C" << noTerminal << 1 << "Firmware check failed";
    QTest::newRow("--port and --all") << QStringList({"update", "--all", "--port", "COM3"}) << 1
                                      << none << "C" << noTerminal << 2 << "exclude each other";
    QTest::newRow("no device attached") << QStringList({"update", "--yes"}) << 0 << none << "C"
                                        << noTerminal << 3 << "No QL-7420 is attached.";
    QTest::newRow("list, no device") << QStringList({"list"}) << 0 << none << "C" << noTerminal << 3
                                     << "No QL-7420 is attached.";
    QTest::newRow("list") << QStringList({"list"}) << 2 << none << "C" << noTerminal << 0
                          << " (serial SIM-2), USB 0451:16AA\n";
    QTest::newRow("list, Japanese") << QStringList({"list"}) << 1 << none << "ja_JP.UTF-8"
                                    << noTerminal << 0 << " (シリアル番号 SIM-1)、USB 0451:16AA\n";
    QTest::newRow("two attached, none named")
        << QStringList({"update", "--yes"}) << 2 << none << "C" << noTerminal << 2
        << "update them all with --all";
    QTest::newRow("no terminal, no --yes")
        << QStringList({"update"}) << 1 << none << "C" << noTerminal << 2 << "Add --yes";
    QTest::newRow("no terminal, Japanese") << QStringList({"update"}) << 1 << none << "ja_JP.UTF-8"
                                           << noTerminal << 2 << "確認を求める端末がありません";
    QTest::newRow("not confirmed at the question")
        << QStringList({"update"}) << 1 << none << "C" << QByteArray("n\n") << 2
        << "Not confirmed; nothing was sent";
    QTest::newRow("firmware server answers 404")
        << QStringList({"update", "--yes"}) << 1 << QStringList({"--status-version", "404"}) << "C"
        << noTerminal << 1 << "HTTP status 404";

    // A bundle fetched before, spoiled as the text after "bundle:" says.
    QTest::newRow("fetch, no folder") << QStringList({"fetch"}) << 0 << none << "C" << noTerminal
                                      << 2 << "fetch needs the folder";
    QTest::newRow("--from with list") << QStringList({"list", "--from", "DIR"}) << 1 << none << "C"
                                      << noTerminal << 2 << "--from goes with check and update";
    // Into the working folder, which must then hold nothing.
    QTest::newRow("fetch, firmware server answers 404")
        << QStringList({"fetch", "bundle"}) << 0 << QStringList({"--status-version", "404"}) << "C"
        << noTerminal << 1 << "HTTP status 404";
    // Refused before the server is asked, which would answer 404.
    QTest::newRow("fetch into a folder of the user's")
        << QStringList({"fetch", "bundle:a file of the user's"}) << 0
        << QStringList({"--status-version", "404"}) << "C" << noTerminal << 1
        << "holds files that are not a bundle's (notes.txt)";
    // Waited for a few seconds, then refused, before the server is asked.
    QTest::newRow("fetch while another fetch saves there")
        << QStringList({"fetch", "bundle:being saved by another fetch"}) << 0
        << QStringList({"--status-version", "404"}) << "C" << noTerminal << 1
        << "tst_cli, process " + QString::number(QCoreApplication::applicationPid());
    QTest::newRow("check --from, image of the device's very size")
        << QStringList({"check", "--from", "bundle:device's size"}) << 0 << none << "C"
        << noTerminal << 0
        << "Firmware in the bundle: K-DMX-47-12, MD5 "
            + FirmwareRelease::md5(FirmwareRelease::randomImage(BlockCount * 64)) + " verified";
    const QList<std::pair<const char *, const char *>> badBundles = {
        {"missing folder", "bundle not found: there is no folder "},
        {"empty folder", " is empty; fetch a bundle into it first"},
        {"no version file", "file missing: "},
        {"version file in JSON",
         "version file malformed: expected a version number and an MD5 "
         "digest, got \"{\"version\": 12"},
        {"one byte changed", "image digest mismatch: "},
        {"one byte too long", "K-DMX-47-12.ghx holds 216065 bytes, more than the device's 216064"},
        {"image of version 13", "the version file names K-DMX-47-12.ghx, which "},
        {"image a FIFO", "K-DMX-47-12.ghx is a FIFO"},
        {"image a device node", "K-DMX-47-12.ghx is a character device"},
        {"version file unreadable", "version.txt: Permission denied"},
        {"moved aside by a cut-off fetch", "which the next fetch into "},
        // A build that holds the maker's two keys.
        {"signed, signature missing", "signature missing: "},
        {"signed, malformed", "signature malformed: "},
        {"signed, by another key", "signature by a key this build does not hold: "},
        {"signed, legacy Ed", "it is minisign's legacy kind (Ed)"},
        {"signed, trusted comment altered", "its trusted comment is not the one key "},
        {"signed, version 11's signature renamed for 12",
         "signature names another file, version or model"},
        {"signed, image changed, MD5 rewritten", "the image is not the one key "},
    };
    for (const auto &[fault, says] : badBundles) {
        QStringList arguments = {"update", "--yes", "--from", QStringLiteral("bundle:") + fault};
        if (QString(fault).startsWith("signed"))
            arguments << "keys:maker successor";
        QTest::addRow("update --from, %s", fault)
            << arguments << 1 << none << "C" << noTerminal << 1 << QString::fromUtf8(says);
    }
    QTest::newRow("check --from, signed with the second key")
        << QStringList(
               {"check", "--from", "bundle:signed with the second key", "keys:maker successor"})
        << 0 << none << "C" << noTerminal << 0 << "Firmware in the bundle: K-DMX-47-12";
    QTest::newRow("check --from, signed, build without keys")
        << QStringList({"check", "--from", "bundle:signed with the second key"}) << 0 << none << "C"
        << noTerminal << 0 << "Firmware in the bundle: K-DMX-47-12";
    // The command line as a release is built, holding a key of its own, and
    // its server's release signed with that key; "verified:N": version N
    // was verified on this PC before.
    const QString byBuildKey = "bundle:signed with the build's key";
    const QString older = "K-DMX-47-12.ghx is version 12, older than version 13, which this PC "
                          "has already verified";
    const QString olderTaken = "Older than version 13, which this PC has already verified: taken, "
                               "as --allow-older asks";
    QTest::newRow("keyed build: check, signed by its key")
        << QStringList({"check", "keyed"}) << 0 << none << "C" << noTerminal << 0
        << "Signed by the maker: key ";
    QTest::newRow("keyed build: check --from, signed by another key")
        << QStringList({"check", "--from", "bundle:signed by the maker", "keyed"}) << 0 << none
        << "C" << noTerminal << 1 << "signature by a key this build does not hold";
    QTest::newRow("keyed build: check --from, image forged, its MD5 rewritten")
        << QStringList({"check", "--from", byBuildKey + ", MD5 rewritten", "keyed"}) << 0 << none
        << "C" << noTerminal << 1 << "signature invalid";
    QTest::newRow("keyed build: check, older than a version verified")
        << QStringList({"check", "keyed", "verified:13"}) << 0 << none << "C" << noTerminal << 1
        << older;
    QTest::newRow("keyed build: check --from, older than a version verified")
        << QStringList({"check", "--from", byBuildKey, "keyed", "verified:13"}) << 0 << none << "C"
        << noTerminal << 1 << older;
    QTest::newRow("keyed build: check --allow-older, older than a version verified")
        << QStringList({"check", "--allow-older", "keyed", "verified:13"}) << 0 << none << "C"
        << noTerminal << 0 << olderTaken;
    QTest::newRow("keyed build: check --from --allow-older --json, older than a version verified")
        << QStringList(
               {"check", "--from", byBuildKey, "--allow-older", "--json", "keyed", "verified:13"})
        << 0 << none << "C" << noTerminal << 0 << "\"olderThanVerified\":13";
    // Over a signed bundle, the release's own signature saved byte for byte;
    // also as on a file system that cannot swap two folders in one step.
    QTest::newRow("fetch with keys, over a bundle signed by the first key")
        << QStringList({"fetch", "bundle:signed by the maker", "keys:maker successor"}) << 0 << none
        << "C" << noTerminal << 0 << "Bundle saved in ";
    const QString noSwap = "env:QL7420_DEMO_NO_ONE_STEP_SWAP=1";
    QTest::newRow("fetch with keys, over a bundle signed by the first key, no one-step swap")
        << QStringList({"fetch", "bundle:signed by the maker", "keys:maker successor", noSwap}) << 0
        << none << "C" << noTerminal << 0 << "Bundle saved in ";
    // "env:" adds to the run's environment; {folder} is the bundle's
    // folder, {parent} the folder it lies in. A fetch that fails leaves the
    // bundle there as it was, or where the reason says it lies.
    QTest::newRow("fetch, every flush failing")
        << QStringList({"fetch", "bundle:intact", "env:QL7420_FAULT_FSYNC=*"}) << 0 << none << "C"
        << noTerminal << 1 << "/.ql7420-fetch: Input/output error";
    QTest::newRow("fetch, the flush of the bundle's parent folder failing")
        << QStringList({"fetch", "bundle:intact", "env:QL7420_FAULT_FSYNC={parent}"}) << 0 << none
        << "C" << noTerminal << 1 << "to the disk: Input/output error";
    QTest::newRow("fetch, no one-step swap, neither bundle can be renamed into the folder")
        << QStringList({"fetch", "bundle:intact", noSwap, "env:QL7420_FAULT_RENAME={folder}"}) << 0
        << none << "C" << noTerminal << 1 << "cannot be put back either (Input/output error)";
    QTest::newRow("fetch beside a cut-off fetch's new bundle, swapped for a link while cleared")
        << QStringList({"fetch",
                        "bundle:beside a cut-off fetch's new bundle, swapped for a link while "
                        "cleared"})
        << 0 << none << "C" << noTerminal << 0 << "Bundle saved in ";
    // A mount point cannot be renamed: refused before the server is asked.
    QTest::newRow("fetch into the root of a file system")
        << QStringList({"fetch", "/dev/shm"}) << 0 << QStringList({"--status-version", "404"})
        << "C" << noTerminal << 1
        << "/dev/shm is the root of a file system (a USB stick's, a drive's), which cannot be "
           "replaced as a whole; give a folder in it instead, such as /dev/shm/ql7420";
}

void tst_Cli::noPortOpened()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, attached);
    QFETCH(QStringList, serverSwitches);
    QFETCH(QString, language);
    QFETCH(QByteArray, terminalAnswer);
    QFETCH(int, exitCode);
    QFETCH(QString, says);

    QString folder;
    for (QString &argument : arguments) {
        if (argument.startsWith("bundle:"))
            argument = folder = spoiledBundle(argument.mid(7));
    }
    for (const QString &setting : arguments.filter(QRegularExpression("^env:"))) {
        QString value = setting.section('=', 1);
        value.replace("{folder}", QFileInfo(folder).canonicalFilePath());
        value.replace("{parent}", QFileInfo(runsTemp.path()).canonicalFilePath());
        runEnvironment.insert(setting.mid(4).section('=', 0, 0), value);
        arguments.removeOne(setting);
    }
    // What a fetch's folder holds before the run; the bundles of the other
    // rows are spoiled, one with a link to /dev/zero, and never read whole.
    const bool fetching = arguments.value(0) == "fetch";
    const QMap<QString, QString> bundleBefore = filesIn(fetching ? folder : QString());
    const QMap<QString, QString> besideBefore = filesIn(untouchedBundle);
    keyedProgram = arguments.removeAll("keyed") > 0;
    if (keyedProgram && !keyedReleasePublished)
        QVERIFY(keyedReleasePublished
                = keyedRelease.publish(image, 12, {}, buildKey.publisherSigning()));
    QString baseUrl = keyedProgram ? keyedRelease.baseUrl() : QString();
    for (const QString &verified : arguments.filter(QRegularExpression("^verified:"))) {
        const QString home = runsTemp.filePath(QStringLiteral("%1-data").arg(runs + 1));
        QVERIFY(writeFile(home + "/ql7420-fwupdate/verified-versions.json",
                          QStringLiteral("{\"highest verified versions\": [{\"server\": \"%1\", "
                                         "\"model\": \"TPX-KLN04\", \"version\": %2}]}")
                              .arg(baseUrl, verified.mid(9))
                              .toUtf8()));
        runEnvironment.insert("XDG_DATA_HOME", home);
        arguments.removeOne(verified);
    }
    // "keys:" names the maker's keys that the run holds.
    for (const QString &held : arguments.filter(QRegularExpression("^keys:"))) {
        for (const QString &name : held.mid(5).split(' ')) {
            signingKeys += (name == "maker" ? makerKey : successorKey).publicKey() + ' ';
        }
        arguments.removeOne(held);
    }
    QTemporaryDir empty;
    FirmwareServer failingServer;
    if (!serverSwitches.isEmpty()) {
        QVERIFY(failingServer.start(empty.path(), serverSwitches));
        baseUrl = failingServer.baseUrl();
    }
    PtyPair terminal;
    if (!terminalAnswer.isNull())
        QVERIFY(terminal.writeToSlave(terminalAnswer));
    QProcess *process = startCli(arguments, attached, baseUrl, language,
                                 terminalAnswer.isNull() ? QString() : terminal.slavePath());
    const CliRun run = finish(process);

    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2((exitCode == 0 ? run.out : run.err).contains(says), qPrintable(run.out + run.err));
    if (fetching && exitCode == 0 && !signingKeys.isEmpty()) {
        const QString saved = arguments.last() + "/K-DMX-47-12.ghx.minisig";
        QCOMPARE(readFile(saved), readFile(release.publishedFile("K-DMX-47-12.ghx.minisig")));
        QVERIFY(readFile(arguments.last() + "/MD5SUMS")
                    .contains(FirmwareRelease::md5(readFile(saved)).toLatin1()
                              + "  K-DMX-47-12.ghx.minisig\n"));
    }
    if (fetching && exitCode != 0) {
        const QRegularExpressionMatch aside
            = QRegularExpression("moved aside in (.+), which the next fetch").match(run.err);
        QCOMPARE(filesIn(aside.hasMatch() ? aside.captured(1) : folder), bundleBefore);
    }
    QCOMPARE(filesIn(untouchedBundle), besideBefore);
    QVERIFY2(!run.err.contains("open: "), "a port was opened");
    QVERIFY(noByteSent());
    QCOMPARE(run.leftInTemp, QStringList());
}

void tst_Cli::interruptDuringHandshake()
{
    QProcess *process = startCli({"update", "--yes", "--all"}, 2);
    QByteArray err;
    // The first PC-mode requests are out; the transfer is seconds away.
    QVERIFY(waitForOutput(*process, err, QProcess::StandardError, "open: ", RunLimitMs));
    QTest::qWait(1500);
    ::kill(process->processId(), SIGINT);
    const CliRun run = finish(process);

    QCOMPARE(run.exitCode, 130);
    QVERIFY2(run.err.contains("Interrupted; no firmware was sent"), qPrintable(run.err));
    QCOMPARE(run.leftInTemp, QStringList());
    for (int i = 0; i < 2; ++i) {
        const QJsonObject report = simulators[i].report();
        QVERIFY(report.value("pcModeRequests").toInt() >= 1);
        QCOMPARE(report.value("startCommands").toInt(), 0);
        QVERIFY(portIsFree(simulators[i].portPath()));
    }
}

// In this process, so that the port list can be replaced: --all takes the
// devices among the ports and nothing else. The firmware comes from the
// server, or from a bundle fetched from a server that has gone since, while
// the server the run is pointed at must never be asked.
void tst_Cli::threeDevicesAtOnceJson_data()
{
    QTest::addColumn<bool>("fromBundle");
    QTest::newRow("from the firmware server") << false;
    QTest::newRow("from a bundle, its server gone") << true;
}

void tst_Cli::threeDevicesAtOnceJson()
{
    QFETCH(bool, fromBundle);
    PtyPair otherPort;
    QString server = release.baseUrl();
    bool oneStepSwap = true;
    const auto seams = [this, &otherPort, &server, &oneStepSwap](
                           DeviceEnumerator &enumerator, UpdateFW &check, FirmwareBundle &bundle) {
        enumerator.setPortSource([this, &otherPort] {
            QList<PortRecord> ports = {{otherPort.slavePath(), 0x0403, 0x6001}};
            for (int i = 0; i < DeviceCount; ++i)
                ports.append({simulators[i].portPath(), 0x0451, 0x16AA, QString::number(1000 + i)});
            return ports;
        });
        check.setBaseUrl(server);
        bundle.setOneStepSwap(oneStepSwap);
    };
    QStringList arguments = {"update", "--all", "--yes", "--json"};
    QTemporaryDir bundles;
    QString folder;
    QByteArray out;
    // A fetch cut off between its two renames left no folder, and the older
    // bundle moved aside in its staging folder: put back, then replaced as a
    // whole, with the two folders swapped in one step and, as on a file
    // system that cannot, in two. Beside it, only what fetches marked as
    // their own and left holding nothing else goes; the technician's own
    // folders, named much like them, are never touched.
    if (fromBundle) {
        for (const bool swap : {true, false}) {
            oneStepSwap = swap;
            const QDir place(bundles.filePath(swap ? "swapped" : "moved"));
            folder = place.filePath("ql7420");
            const QString cutOff = place.filePath(".ql7420.ql7420-fetch-Ab12Cd/");
            QVERIFY(writeFile(cutOff + ".ql7420-fetch", ""));
            QVERIFY(writeFile(cutOff + "old/K-DMX-47-11.ghx", "old"));
            QVERIFY(writeFile(cutOff + "old/version.txt",
                              "11 " + FirmwareRelease::md5("old").toLatin1()));
            QVERIFY(writeFile(place.filePath(".ql7420.ql7420-fetch-Ef34Gh/.ql7420-fetch"), ""));
            QVERIFY(
                writeFile(place.filePath(".ql7420.ql7420-fetch-Ef34Gh/bundle/version.txt"), "12"));
            QVERIFY(writeFile(place.filePath(".ql7420.ql7420-fetch-Ij56Kl/.ql7420-fetch"), ""));
            QVERIFY(writeFile(place.filePath(".ql7420.ql7420-fetch-Ij56Kl/old/notes.txt"), "mine"));
            QVERIFY(
                writeFile(place.filePath(".ql7420.ql7420-fetch-Mn78Op/bundle/version.txt"), "12"));
            const QStringList users
                = {".ql7420.backup/K-DMX-47-11.ghx", ".ql7420.backup/notes.txt",
                   ".ql7420.backup/version.txt", ".ql7420.2024Q3/K-DMX-47-11.ghx",
                   ".ql7420.2024Q3/version.txt"};
            for (const QString &file : users)
                QVERIFY(writeFile(place.filePath(file), file.toUtf8()));
            {
                FirmwareRelease gone;
                QVERIFY(gone.publish(image));
                server = gone.baseUrl();
                QCOMPARE(runHere({"fetch", folder}, seams, &out), 0);
            }
            QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                                            QDir::Name),
                     QStringList({"K-DMX-47-12.ghx", "MD5SUMS", "bundle.json", "version.txt"}));
            QCOMPARE(
                place.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name),
                QStringList({".ql7420.2024Q3", ".ql7420.backup", ".ql7420.ql7420-fetch-Ij56Kl",
                             ".ql7420.ql7420-fetch-Mn78Op", "ql7420"}));
            for (const QString &file : users)
                QCOMPARE(readFile(place.filePath(file)), file.toUtf8());
            QCOMPARE(readFile(folder + "/version.txt"),
                     "12 " + FirmwareRelease::md5(image).toLatin1() + "\n");
            QCOMPARE(readFile(folder + "/K-DMX-47-12.ghx"), image);
            QProcess md5sum;
            md5sum.setWorkingDirectory(folder);
            md5sum.start("md5sum", {"-c", "MD5SUMS"});
            QVERIFY(md5sum.waitForFinished());
            QCOMPARE(md5sum.exitCode(), 0);
            QVERIFY(md5sum.readAllStandardOutput().contains("K-DMX-47-12.ghx: OK\n"));
        }
        arguments << "--from" << folder;
    }
    const QString fetchedFrom = server;
    server = release.baseUrl();
    const int requestsBefore = release.server().requestedPaths().size();
    logind.clearEvents();
    const int exitCode = runHere(arguments, seams, &out);
    QCOMPARE(exitCode, 0);
    // One lock for the three transfers, given back when the last ended.
    QTRY_COMPARE(logind.eventKinds(), (QStringList {"inhibit", "released"}));

    QMap<QString, int> events;
    QMap<QString, int> lastPercent;
    QCOMPARE(release.server().requestedPaths().size(), requestsBefore + (fromBundle ? 0 : 2));
    for (const QByteArray &line : out.split('\n')) {
        if (line.isEmpty())
            continue;
        QJsonParseError error;
        const QJsonObject event = QJsonDocument::fromJson(line, &error).object();
        QVERIFY2(error.error == QJsonParseError::NoError, line.constData());
        const QString kind = event.value("event").toString();
        ++events[kind];
        // Each device's events name it by its USB serial number too.
        if (kind == "device" || kind == "result") {
            bool known = false;
            for (int i = 0; i < DeviceCount; ++i) {
                known = known
                    || (event.value("port") == simulators[i].portPath()
                        && event.value("serial") == QString::number(1000 + i));
            }
            QVERIFY2(known, line.constData());
        }
        if (kind == "check") {
            QVERIFY(event.value("ok").toBool());
            QCOMPARE(event.value("version").toInt(), 12);
            QCOMPARE(event.value("digest").toString(), FirmwareRelease::md5(image));
            QCOMPARE(event.value("source").toString(), fromBundle ? "bundle" : "server");
            QCOMPARE(event.value("url").toString(), fetchedFrom);
            if (fromBundle) {
                QCOMPARE(event.value("path").toString(), folder);
                const QDateTime fetched
                    = QDateTime::fromString(event.value("fetched").toString(), Qt::ISODate);
                QVERIFY2(fetched.isValid() && fetched <= QDateTime::currentDateTimeUtc(),
                         line.constData());
            }
        } else if (kind == "device") {
            QCOMPARE(event.value("version").toString(), QStringLiteral("1.0.0"));
        } else if (kind == "progress") {
            const int percent = event.value("percent").toInt();
            QVERIFY(percent >= lastPercent.value(event.value("port").toString(), 0));
            lastPercent[event.value("port").toString()] = percent;
        } else {
            QCOMPARE(kind, QStringLiteral("result"));
            QVERIFY2(event.value("ok").toBool(), line.constData());
        }
    }
    QCOMPARE(events.value("check"), 1);
    QCOMPARE(events.value("device"), DeviceCount);
    QCOMPARE(events.value("result"), DeviceCount);
    QCOMPARE(lastPercent.size(), DeviceCount);
    for (int percent : lastPercent)
        QCOMPARE(percent, 100);
    for (SimulatorProcess &simulator : simulators)
        QCOMPARE(simulator.report().value("imageMd5").toString(), expectedDeviceMd5());
    // The other port was never touched.
    QVERIFY(otherPort.readFromSlave(1, 100).isEmpty());
}

// One device updated, one unplugged, one that stops answering, and an
// interrupt that must not stop the transfers.
void tst_Cli::stalledDeviceWhileInterrupted()
{
    QVERIFY(simulators[1].addFault("hangup@50"));
    QVERIFY(simulators[2].addFault("silence@100"));
    QStringList arguments = {"update", "--yes"};
    for (SimulatorProcess &simulator : simulators)
        arguments << "--port" << simulator.portPath();
    // No system bus at all: the transfers go on unprotected, and the run
    // says so once for its three devices.
    const QByteArray bus = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
    qputenv("DBUS_SYSTEM_BUS_ADDRESS",
            "unix:path=" + QFile::encodeName(runsTemp.filePath("no-bus")));
    QProcess *process = startCli(arguments, 0);
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", bus);
    QByteArray err;
    QVERIFY(waitForOutput(*process, err, QProcess::StandardError, ": 10 %", RunLimitMs));
    ::kill(process->processId(), SIGINT);
    const CliRun run = finish(process);

    QCOMPARE(run.exitCode, 4);
    QVERIFY2(run.err.contains("Not stopping: a firmware transfer is running"), qPrintable(run.err));
    QCOMPARE((QString::fromUtf8(err) + run.err)
                 .count("Note: nothing keeps the computer from sleeping or shutting down during "
                        "the transfer: no system bus: "),
             1);
    const QString unplugged = simulators[1].portPath();
    // Ports named with --port carry no USB identifiers, and so no serial number.
    const QString unknown = QStringLiteral(" (no USB serial number)");
    QVERIFY2(run.out.contains(unplugged + unknown + ": failed: device disconnected from "
                              + unplugged + " at block 52 of 3376: Input/output error"),
             qPrintable(run.out));
    const QString stalled = simulators[2].portPath();
    QVERIFY2(run.out.contains(stalled + unknown + ": failed: the device on " + stalled
                              + " stopped answering at block 101 of 3376"),
             qPrintable(run.out));
    QVERIFY2(run.out.contains("1 of 3 devices updated"), qPrintable(run.out));
    QVERIFY(run.out.contains(simulators[0].portPath() + unknown + ": updated in "));
    QCOMPARE(simulators[0].report().value("imageMd5").toString(), expectedDeviceMd5());
    QCOMPARE(simulators[1].report().value("dataBlocks").toInt(), 51);
    QCOMPARE(simulators[2].report().value("dataBlocks").toInt(), 101);
    QVERIFY(portIsFree(stalled));
    // Both downloads went to one folder of the run's own below TMPDIR, and
    // nothing is left there.
    const QStringList folders = downloadFolders(QString::fromUtf8(err) + run.err, run.temp);
    QCOMPARE(folders.size(), 1);
    QVERIFY2(folders.first().startsWith("ql7420-fwupdate-cli") && !folders.first().contains('/'),
             qPrintable(folders.first()));
    QCOMPARE(run.leftInTemp, QStringList());
}

// A bench's watch: the steps plug simulators in and out (N is SIM-N, the
// order of plugging is the order of listing), add faults, wait for output
// ({N} is SIM-N's port) and send an interrupt. One port name, {hub}, is
// listed last and leads to whichever simulator a step puts there, as the
// host gives a freed port's name to the next device: "hub N as M" lists it
// with SIM-M. Each simulator's count of start commands tells whether it was
// updated, and again; the system's hold is counted in locks taken.
void tst_Cli::watch_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("says");
    QTest::addColumn<QList<int>>("starts");
    QTest::addColumn<int>("holds");

    QTest::newRow("one after another, one plugged in twice, two at once")
        << QStringList {"update", "--watch", "--json", "--count", "3"}
        << QStringList {"plug 1",   R"(await "event":"result","ok":true,"port":"{1}")",
                        "unplug 1", R"(await "event":"left","port":"{1}")",
                        "plug 1",   "await already updated in this run",
                        "plug 2",   "plug 3"}
        << 0
        << QStringList {R"("event":"appeared","port":"{1}","serial":"SIM-1")",
                        R"("event":"summary","failed":0,"skipped":0,"updated":3)",
                        R"("event":"tally","failed":0,"inProgress":0,"skipped":1,"updated":3)"}
        << QList<int> {1, 1, 1} << 2;
    QTest::newRow("another unit on the port before a scan saw it free")
        << QStringList {"update", "--watch", "--json", "--count", "2"}
        << QStringList {"hub 1 as 1", R"(await "event":"result","ok":true,"port":"{hub}")",
                        "hub 2 as 2", R"(await "event":"appeared","port":"{hub}","serial":"SIM-2")"}
        << 0
        << QStringList {R"("event":"left","port":"{hub}","serial":"SIM-1")",
                        R"("event":"summary","failed":0,"skipped":0,"updated":2)"}
        << QList<int> {1, 1, 0} << 2;
    QTest::newRow("another unit on the port during the handshake")
        << QStringList {"update", "--watch", "--json", "--count", "2"}
        << QStringList {"hub 1 as 1",
                        R"(await "event":"appeared","port":"{hub}")",
                        "hub 2 as 2",
                        "await device changed during the handshake",
                        R"(await "event":"result","ok":true,"port":"{hub}")",
                        "plug 1"}
        << 0
        << QStringList {R"("event":"result","ok":false,"port":"{hub}","reason":"device changed during the handshake")",
                        R"("event":"result","ok":true,"port":"{1}")",
                        R"("event":"summary","failed":0,"skipped":0,"updated":2)"}
        << QList<int> {1, 1, 0} << 2;
    QTest::newRow("pulled mid-transfer and back before a scan saw it gone")
        << QStringList {"update", "--watch", "--json", "--count", "1"}
        << QStringList {"fault 1 hangup@1000", "hub 1 as 1", R"(await "percent":10,"port":"{hub}")",
                        "hub 2 as 1", R"(await "event":"left","port":"{hub}","serial":"SIM-1")"}
        << 0
        << QStringList {R"("event":"tally","failed":1,"inProgress":0,"skipped":0,"updated":0)",
                        R"("event":"summary","failed":0,"skipped":0,"updated":1)"}
        << QList<int> {1, 1, 0} << 2;
    QTest::newRow("unplugged mid-transfer, updated when plugged in again")
        << QStringList {"update", "--watch", "--count", "1"}
        << QStringList {"fault 1 hangup@1000",
                        "plug 1",
                        "await : 10 %",
                        "unplug 1",
                        "await failed: device disconnected",
                        "replug 1"}
        << 0
        << QStringList {"(serial SIM-1): plugged in", "(serial SIM-1): unplugged",
                        "Attempts so far: updated 0, failed 1, skipped 0; in progress 0, waiting 0",
                        "{1} (serial SIM-1): updated in",
                        "Devices by their last result: updated 1, failed 0, left as they were 0"}
        << QList<int> {2, 0, 0} << 2;
    QTest::newRow("--count 2 with three devices, from a bundle, its server gone")
        << QStringList {"update", "--watch", "--json", "--count", "2", "--from", "bundle:intact"}
        << QStringList {"plug 1", "plug 2", "plug 3"} << 0
        << QStringList {R"("inProgress":1,"skipped":0,"updated":1,"waiting":1)",
                        R"("reason":"not updated: 2 devices were updated, as --count asked","serial":"SIM-3")",
                        R"("event":"result","ok":true,"port":"{3}","reason":"not updated: 2 devices)"}
        << QList<int> {1, 1, 0} << 1;
    QTest::newRow("interrupted while waiting")
        << QStringList {"update", "--watch"} << QStringList {"await Waiting for devices", "signal"}
        << 130 << QStringList {"Interrupted; no firmware was sent"} << QList<int> {0, 0, 0} << 0;
    QTest::newRow("interrupted mid-transfer, ends with it")
        << QStringList {"update", "--watch", "--json"}
        << QStringList {"plug 1",
                        R"(await "percent":10,"port":"{1}")",
                        "plug 2",
                        R"(await "event":"appeared","port":"{2}")",
                        "signal",
                        "await Not stopping yet",
                        "plug 3",
                        "unplug 2",
                        R"(await "event":"left","port":"{2}")"}
        << 0
        << QStringList {R"("event":"result","ok":true,"port":"{2}","reason":"not updated: the watch was ending)",
                        R"("event":"left","port":"{2}","serial":"SIM-2")",
                        R"("event":"summary","failed":0,"skipped":1,"updated":1)"}
        << QList<int> {1, 0, 0} << 1;
}

void tst_Cli::watch()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, steps);
    QFETCH(int, exitCode);
    QFETCH(QStringList, says);
    QFETCH(QList<int>, starts);
    QFETCH(int, holds);

    const QString hub = runsTemp.filePath(QStringLiteral("hub-%1").arg(runs + 1));
    const auto withPorts = [this, &hub](QString text) {
        for (int i = 0; i < DeviceCount; ++i)
            text.replace(QStringLiteral("{%1}").arg(i + 1), simulators[i].portPath());
        return text.replace("{hub}", hub);
    };
    QList<int> plugged;
    int onHub = 0;
    devicesFile = runsTemp.filePath(QStringLiteral("plugged-%1").arg(runs + 1));
    const auto listPlugged = [this, &plugged, &onHub, &hub] {
        QStringList entries;
        for (int n : std::as_const(plugged))
            entries << QStringLiteral("%1=SIM-%2").arg(simulators[n - 1].portPath()).arg(n);
        if (onHub > 0)
            entries << QStringLiteral("%1=SIM-%2").arg(hub).arg(onHub);
        QSaveFile file(devicesFile);
        return file.open(QIODevice::WriteOnly) && file.write(entries.join(',').toUtf8()) >= 0
            && file.commit();
    };
    QVERIFY(listPlugged());
    QString baseUrl;
    for (QString &argument : arguments) {
        if (argument.startsWith("bundle:")) {
            argument = spoiledBundle(argument.mid(7));
            // Nothing listens there.
            baseUrl = "http://127.0.0.1:1/";
        }
    }
    logind.clearEvents();
    QProcess *process = startCli(arguments, 0, baseUrl);
    QByteArray seen;
    for (const QString &step : steps) {
        const QString verb = step.section(' ', 0, 0);
        const int n = step.section(' ', 1, 1).toInt();
        if (verb == "plug") {
            plugged.append(n);
        } else if (verb == "unplug") {
            plugged.removeOne(n);
        } else if (verb == "replug") {
            QVERIFY(simulators[n - 1].command("clear"));
            QVERIFY(!simulators[n - 1].replug().isEmpty());
            plugged.append(n);
        } else if (verb == "hub") {
            // Replaced in one step, so that the name never leads nowhere.
            const QByteArray next = QFile::encodeName(hub + ".next");
            QVERIFY(::symlink(QFile::encodeName(simulators[n - 1].portPath()).constData(),
                              next.constData())
                    == 0);
            QVERIFY(::rename(next.constData(), QFile::encodeName(hub).constData()) == 0);
            onHub = step.section(' ', 3, 3).toInt();
        } else if (verb == "fault") {
            QVERIFY(simulators[n - 1].addFault(step.section(' ', 2)));
        } else if (verb == "signal") {
            ::kill(process->processId(), SIGINT);
        } else {
            const QByteArray text = withPorts(step.section(' ', 1)).toUtf8();
            QVERIFY2(waitForOutput(*process, seen, QProcess::StandardOutput, text, RunLimitMs),
                     qPrintable(step + '\n' + QString::fromUtf8(seen)));
        }
        QVERIFY(listPlugged());
    }
    const CliRun run = finish(process);
    const QString output = QString::fromUtf8(seen) + run.out;

    QCOMPARE(run.exitCode, exitCode);
    for (const QString &text : std::as_const(says))
        QVERIFY2(output.contains(withPorts(text)), qPrintable(output));
    for (int i = 0; i < DeviceCount; ++i) {
        const QJsonObject report = simulators[i].report();
        QCOMPARE(report.value("startCommands").toInt(), starts.at(i));
        // One pulled out mid-transfer, and not plugged in again, holds part
        // of the image.
        if (starts.at(i) > 0 && report.value("connected").toBool())
            QCOMPARE(report.value("imageMd5").toString(), expectedDeviceMd5());
    }
    // Taken for the transfers, given back between them and at the end.
    QTRY_COMPARE(logind.eventKinds().count("inhibit"), holds);
    QCOMPARE(logind.eventKinds().count("released"), holds);
    QCOMPARE(run.leftInTemp, QStringList());
}

void tst_Cli::noWindowSystemLinked()
{
    QProcess ldd;
    ldd.start("ldd", {CLI_BINARY});
    QVERIFY(ldd.waitForFinished());
    const QString libraries = QString::fromUtf8(ldd.readAllStandardOutput());
    QVERIFY(libraries.contains("libQt6Core"));
    QStringList unwanted = {"libQt6Gui",  "libQt6Widgets", "libX11",       "libxcb",
                            "libwayland", "libGL",         "libxkbcommon", "libEGL"};
    // Nor, in a build without the maker's keys, which never asks for a
    // signature, anything to verify one with.
    if (FirmwareSignature::buildKeys().isEmpty())
        unwanted << "libsodium";
    for (const QString &library : std::as_const(unwanted))
        QVERIFY2(!libraries.contains(library), qPrintable(library));
}

QTEST_GUILESS_MAIN(tst_Cli)
#include "tst_cli.moc"
