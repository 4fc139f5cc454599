#include "cliapplication.h"

#include "deviceupdate.h"
#include "firmwarebundle.h"
#include "firmwaresignature.h"
#include "packets.h"
#include "platformconsole.h"
#include "progressboard.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QLocale>
#include <QLoggingCategory>
#include <QMetaEnum>
#include <QTranslator>

#include <algorithm>
#include <memory>

namespace {

// What the device holds; the transfer would cut a longer image short, so no
// bundle may hold one.
constexpr qint64 DeviceImageSize = qint64(Packets::BlockCount) * Packets::BlockSize;

QStringList portNames(const QList<PortRecord> &ports)
{
    QStringList names;
    for (const PortRecord &port : ports)
        names.append(port.portName);
    return names;
}

// The host lists a port by its name (ttyACM0); a user may give its path.
bool namesPort(const QString &name, const PortRecord &port)
{
    return PlatformConsole::samePortName(name, port.portName)
        || PlatformConsole::samePortName(QFileInfo(name).fileName(), port.portName);
}

// One unit on one port: the host gives a freed port's name to the next
// device plugged in.
bool sameUnit(const PortRecord &a, const PortRecord &b)
{
    return a.portName == b.portName && a.serialNumber == b.serialNumber;
}

} // namespace

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
    qDeleteAll(devices);
    delete console;
}

int CliApplication::run()
{
    CommandLine line;
    const bool parsed = line.parse(arguments);
    command = line.command();
    console = new Console(out, err, command.json);
    if (!parsed) {
        console->note(tr("%1: %2\nSee: %1 --help")
                          .arg(QCoreApplication::applicationName(), line.errorText()));
        return UsageError;
    }

    switch (command.kind) {
    case CliCommand::Help:
        std::fputs(line.helpText().toUtf8().constData(), out);
        return Success;
    case CliCommand::Version:
        std::fprintf(out, "%s %s\n", qUtf8Printable(QCoreApplication::applicationName()),
                     qUtf8Printable(QCoreApplication::applicationVersion()));
        if (const QStringList ids = FirmwareSignature(FirmwareSignature::buildKeys()).keyIds();
            !ids.isEmpty())
            std::fprintf(out, "%s\n",
                         qUtf8Printable(tr("Takes only firmware signed with the maker's key %1")
                                            .arg(ids.join(tr(" or ")))));
        return Success;
    default:
        break;
    }

    PlatformConsole::catchInterrupts(this, [this](bool closing) { onInterrupt(closing); });
    switch (command.kind) {
    case CliCommand::Check:
        return runCheck();
    case CliCommand::List:
        return runList();
    case CliCommand::Fetch:
        return runFetch();
    default:
        return runUpdate();
    }
}

int CliApplication::runCheck()
{
    if (checkFirmware())
        return Success;
    return interrupted ? Interrupted : CheckFailed;
}

int CliApplication::runList()
{
    const QList<PortRecord> ports = enumerator.attachedDevices();
    if (ports.isEmpty()) {
        console->note(tr("No QL-7420 is attached."));
        return NoDevice;
    }
    if (command.versions)
        return runDevices(ports, nullptr);
    for (const PortRecord &port : ports) {
        // The USB identifiers it was found by, as the host reported them.
        const auto hex = [](int id) {
            return QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0')).toUpper();
        };
        const QString vendor = hex(port.vendorID);
        const QString product = hex(port.productID);
        console->result(
            tr("%1, USB %2:%3").arg(deviceName(port.portName, port.serialNumber), vendor, product));
        QJsonObject event = deviceEvent(port.portName, port.serialNumber);
        event.insert("vendorId", vendor);
        event.insert("productId", product);
        console->event(event);
    }
    return Success;
}

int CliApplication::runUpdate()
{
    if (command.watch)
        return runWatch();
    int refusal = Success;
    const QList<PortRecord> ports = chooseDevices(&refusal);
    if (refusal != Success)
        return refusal;
    // Refused before anything happens: a script without --yes must not
    // start a download it will never use.
    if (!command.yes && !PlatformConsole::isTerminal(stdin)) {
        console->note(tr("Not updating: there is no terminal to confirm on. Add --yes to update "
                         "without asking."));
        return UsageError;
    }
    if (!checkFirmware())
        return interrupted ? Interrupted : CheckFailed;
    if (!confirm(ports))
        return interrupted ? Interrupted : UsageError;
    return runDevices(ports, &check);
}

int CliApplication::runFetch()
{
    const auto refused = [this] {
        console->note(tr("Bundle not saved: %1").arg(bundle.errorString()));
        console->event({{"event", "fetch"}, {"ok", false}, {"reason", bundle.errorString()}});
        return CheckFailed;
    };
    if (!bundle.canSaveIn(command.folder))
        return refused();
    if (!checkFirmware())
        return interrupted ? Interrupted : CheckFailed;
    const FirmwareBundle::Description description {check.baseUrl(), QDateTime::currentDateTimeUtc(),
                                                   QCoreApplication::applicationName()
                                                       + QLatin1Char(' ')
                                                       + QCoreApplication::applicationVersion()};
    if (!bundle.save(command.folder, check, description, DeviceImageSize))
        return refused();
    const QString fetched = description.fetched.toString(Qt::ISODate);
    console->result(tr("Bundle saved in %1: %2, MD5 %3, fetched %4")
                        .arg(bundlePath(), check.imageFileName(), check.verifiedDigest(), fetched));
    console->event({{"event", "fetch"},
                    {"ok", true},
                    {"path", bundlePath()},
                    {"version", check.latestVersion()},
                    {"digest", check.verifiedDigest()},
                    {"fetched", fetched}});
    return Success;
}

// From the server, or with --from from a bundle: the same rules either way.
bool CliApplication::checkFirmware()
{
    bool done = false;
    connect(&check, &UpdateFW::imageVerified, this,
            [this, &done](int version, const QString &name, const QString &digest) {
                const QJsonObject source = sourceFields();
                if (command.from.isEmpty()) {
                    console->result(tr("Latest firmware: %1, MD5 %2 verified, from %3")
                                        .arg(name, digest, check.baseUrl()));
                } else {
                    // Anyone can write bundle.json; only the image is vouched for.
                    const QString fetched = source.value("fetched").toString();
                    const QString url = source.value("url").toString();
                    console->result(
                        tr("Firmware in the bundle: %1, MD5 %2 verified, from %3 (fetched %4 "
                           "from %5, as its bundle.json says, which nothing verifies)")
                            .arg(name, digest, bundlePath(),
                                 fetched.isEmpty() ? tr("at an unknown time") : fetched,
                                 url.isEmpty() ? tr("an unknown server") : url));
                }
                if (const QString key = check.signatureKeyId(); !key.isEmpty())
                    console->result(tr("Signed by the maker: key %1").arg(key));
                QJsonObject event = source;
                event.insert("event", "check");
                event.insert("ok", true);
                event.insert("version", version);
                event.insert("digest", digest);
                if (const QString key = check.signatureKeyId(); !key.isEmpty())
                    event.insert("signedBy", key);
                console->event(event);
                done = true;
                wake();
            });
    connect(&check, &UpdateFW::failed, this,
            [this, &done](UpdateFW::Failure failure, const QString &reason) {
                console->note(tr("Firmware check failed: %1").arg(reason));
                QJsonObject event = sourceFields();
                event.insert("event", "check");
                event.insert("ok", false);
                event.insert("failure",
                             QMetaEnum::fromType<UpdateFW::Failure>().valueToKey(failure));
                event.insert("reason", reason);
                console->event(event);
                done = true;
                wake();
            });
    if (command.from.isEmpty())
        check.checkServerFW();
    else
        check.checkBundle(command.from, DeviceImageSize);
    waitUntil([&done] { return done; });
    disconnect(&check, nullptr, this, nullptr);
    return !check.verifiedDigest().isEmpty();
}

// The folder of the bundle being checked or saved, as the output names it.
QString CliApplication::bundlePath() const
{
    const QString folder = command.kind == CliCommand::Fetch ? command.folder : command.from;
    return QDir::toNativeSeparators(QFileInfo(folder).absoluteFilePath());
}

// Where the firmware came from, for the check's events: the server, or the
// bundle with what its description says of where and when it was fetched.
QJsonObject CliApplication::sourceFields() const
{
    if (command.from.isEmpty())
        return {{"source", "server"}, {"url", check.baseUrl()}};
    const FirmwareBundle::Description about = FirmwareBundle::readDescription(command.from);
    const auto orNull
        = [](const QString &text) { return text.isEmpty() ? QJsonValue() : QJsonValue(text); };
    return {{"source", "bundle"},
            {"path", bundlePath()},
            {"fetched", orNull(about.fetched.toUTC().toString(Qt::ISODate))},
            {"url", orNull(about.url)},
            {"unverified", QJsonArray {"fetched", "url"}}};
}

QList<PortRecord> CliApplication::chooseDevices(int *refusal)
{
    const QList<PortRecord> attached = enumerator.attachedDevices();
    if (!command.ports.isEmpty()) {
        // A named port that is an attached device is known with its serial
        // number; any other port is taken as it is, without one.
        QList<PortRecord> named;
        for (const QString &name : std::as_const(command.ports)) {
            const auto device
                = std::find_if(attached.cbegin(), attached.cend(),
                               [&name](const PortRecord &port) { return namesPort(name, port); });
            named.append(
                {name, 0, 0, device != attached.cend() ? device->serialNumber : QString()});
        }
        return named;
    }
    if (attached.isEmpty()) {
        console->note(tr("No QL-7420 is attached."));
        *refusal = NoDevice;
    } else if (attached.size() > 1 && !command.all) {
        console->note(tr("%1 devices are attached: %2\nName the ones to update with --port, or "
                         "update them all with --all.")
                          .arg(attached.size())
                          .arg(portNames(attached).join(QStringLiteral(", "))));
        *refusal = UsageError;
    }
    return attached;
}

void CliApplication::warnOfDataLoss()
{
    console->note(tr("Updating the firmware may reset the device's data.\n"
                     "Synchronise the data with the app before you update the firmware."));
}

bool CliApplication::confirm(const QList<PortRecord> &ports)
{
    warnOfDataLoss();
    if (command.yes)
        return true;
    console->ask(tr("Update the firmware on %1 now? [y/N] ")
                     .arg(portNames(ports).join(QStringLiteral(", "))));
    char answer[64] = {};
    const bool read = std::fgets(answer, sizeof answer, stdin) != nullptr;
    if (PlatformConsole::takeInterrupt(!read)) {
        interrupted = true;
        return false;
    }
    const QString word = read ? QString::fromLocal8Bit(answer).trimmed().toLower() : QString();
    if (word == QLatin1String("y") || word == QLatin1String("yes"))
        return true;
    console->note(tr("Not confirmed; nothing was sent to any device."));
    return false;
}

// One hold for all the devices: the system is asked once, however many
// transfers run, and told again only once none runs.
void CliApplication::setUpSystemHold()
{
    systemHold.setReason(tr("A firmware transfer is running. Stopping it would leave the device "
                            "without firmware."));
    connect(&systemHold, &SystemHold::transfersRunningChanged, this,
            [](bool running) { PlatformConsole::setClosable(!running); });
    connect(&systemHold, &SystemHold::refused, this, [this](const QString &reason) {
        if (!holdNoteShown)
            console->note(tr("Note: nothing keeps the computer from sleeping or shutting down "
                             "during the transfer: %1")
                              .arg(reason));
        holdNoteShown = true;
    });
}

int CliApplication::runDevices(const QList<PortRecord> &ports, const UpdateFW *image)
{
    setUpSystemHold();
    for (const PortRecord &port : ports) {
        DeviceUpdate *device = addDevice(port, image);
        connect(device, &DeviceUpdate::finished, this, [this, device] {
            if (!interrupted)
                console->event(resultEvent(device->result()));
            wake();
        });
    }
    {
        const bool showProgress = image != nullptr;
        std::unique_ptr<ProgressBoard> board;
        if (showProgress)
            board = std::make_unique<ProgressBoard>(*console, devices);
        for (DeviceUpdate *device : std::as_const(devices))
            device->start();
        waitUntil([this] {
            return std::all_of(devices.cbegin(), devices.cend(),
                               [](const DeviceUpdate *device) { return device->isDone(); });
        });
    }
    if (interrupted) {
        qDeleteAll(devices);
        devices.clear();
        console->note(tr("Interrupted; no firmware was sent, and the ports are closed."));
        return Interrupted;
    }

    int updated = 0;
    for (const DeviceUpdate *device : std::as_const(devices)) {
        console->result(resultLine(device->result()));
        if (device->stage() == DeviceUpdate::Updated)
            ++updated;
    }
    if (image)
        console->result(tr("%1 of %2 devices updated").arg(updated).arg(devices.size()));
    return updated == devices.size() ? Success : DeviceFailed;
}

// A device's course, under the run's hold, telling of its version once read.
DeviceUpdate *CliApplication::addDevice(const PortRecord &port, const UpdateFW *image)
{
    auto *device = new DeviceUpdate(port, image);
    device->shareSystemHold(systemHold);
    devices.append(device);
    connect(device, &DeviceUpdate::transferStarted, this, [this] { transferBegun = true; });
    connect(device, &DeviceUpdate::versionRead, this, [this, device] {
        QJsonObject event = deviceEvent(device->portName(), device->serialNumber());
        event.insert("version", device->deviceVersion());
        console->event(event);
    });
    return device;
}

// A bench's run: the firmware is checked once, then every device plugged in
// is updated as it comes, each on its own, while the others go on. A device
// is known again by its serial number: one updated in this run is not
// updated again, and one that failed is tried again.
int CliApplication::runWatch()
{
    if (!checkFirmware())
        return interrupted ? Interrupted : CheckFailed;
    warnOfDataLoss();
    console->note(command.count > 0
                      ? tr("Waiting for devices: each one plugged in is updated, until %1 are "
                           "updated. Ctrl-C ends the watch.")
                            .arg(command.count)
                      : tr("Waiting for devices: each one plugged in is updated. Ctrl-C ends the "
                           "watch."));
    setUpSystemHold();
    {
        ProgressBoard progress(*console, {});
        board = &progress;
        showTally(false);
        connect(&enumerator, &DeviceEnumerator::devicesListed, this,
                &CliApplication::onDevicesListed);
        enumerator.startScanning();
        waitUntil([this] { return watchEnding() && countOf(DeviceUpdate::Transfer) == 0; });
        enumerator.stopScanning();
        disconnect(&enumerator, nullptr, this, nullptr);
        leaveUnstarted(interrupted ? tr("not updated: the watch was interrupted before its transfer")
                                   : tr("not updated: %1 devices were updated, as --count asked")
                                         .arg(updatedCount));
        for (DeviceUpdate *device : std::as_const(devices))
            progress.removeDevice(device);
        board = nullptr;
    }
    // The ports close with them, and with those forgotten on the way.
    qDeleteAll(devices);
    devices.clear();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    if (interrupted && !transferBegun) {
        console->note(tr("Interrupted; no firmware was sent, and the ports are closed."));
        return Interrupted;
    }

    int updated = 0;
    int failed = 0;
    QJsonArray summary;
    console->result(tr("The watch ended. Each device's last result:"));
    for (const DeviceUpdate::Result &result : std::as_const(watchResults)) {
        console->result(resultLine(result));
        QJsonObject fields = resultEvent(result);
        fields.remove("event");
        summary.append(fields);
        updated += result.stage == DeviceUpdate::Updated;
        failed += result.stage == DeviceUpdate::Failed;
    }
    console->result(tr("Devices by their last result: updated %1, failed %2, left as they were %3")
                        .arg(updated)
                        .arg(failed)
                        .arg(watchResults.size() - updated - failed));
    console->event({{"event", "summary"},
                    {"updated", updated},
                    {"failed", failed},
                    {"skipped", int(watchResults.size()) - updated - failed},
                    {"devices", summary}});
    return failed == 0 ? Success : DeviceFailed;
}

// After every scan: the devices gone since the last, then the new ones. A
// port listed with another serial number than before is the one device
// leaving and the other appearing.
void CliApplication::onDevicesListed(const QList<PortRecord> &listed)
{
    // A scan's word that was on its way when the watch ended.
    if (!board)
        return;
    const QList<PortRecord> before = plugged;
    for (const PortRecord &unit : before) {
        if (std::none_of(listed.cbegin(), listed.cend(),
                         [&unit](const PortRecord &port) { return sameUnit(port, unit); }))
            onDeviceLeft(unit);
    }
    if (!watchEnding()) {
        for (const PortRecord &port : listed) {
            if (!isPlugged(port))
                onDeviceAppeared(port);
        }
        startWaitingDevices();
    }
    showTally(false);
}

void CliApplication::onDeviceAppeared(const PortRecord &unit)
{
    plugged.append(unit);
    console->note(tr("%1: plugged in").arg(deviceName(unit.portName, unit.serialNumber)));
    QJsonObject event = deviceEvent(unit.portName, unit.serialNumber);
    event.insert("event", "appeared");
    console->event(event);
    // A course still running for it is its own: the device came back before
    // its course noticed it had gone.
    if (courseOf(unit))
        return;
    // Another unit's handshake on the port would go on with this one.
    const QList<DeviceUpdate *> present = devices;
    for (DeviceUpdate *device : present) {
        if (device->portName() == unit.portName)
            device->deviceChanged();
    }

    DeviceUpdate *device = addDevice(unit, &check);
    device->setListedSerial([this, port = unit.portName] { return serialListedOn(port); });
    board->addDevice(device);
    connect(device, &DeviceUpdate::finished, this,
            [this, device] { onWatchedDeviceFinished(device); });
    const bool updatedBefore = !unit.serialNumber.isEmpty()
        && std::any_of(watchResults.cbegin(), watchResults.cend(),
                       [&unit](const DeviceUpdate::Result &result) {
                           return result.serialNumber == unit.serialNumber
                               && result.stage == DeviceUpdate::Updated;
                       });
    if (updatedBefore)
        device->skip(tr("already updated in this run"));
}

void CliApplication::onDeviceLeft(const PortRecord &unit)
{
    plugged.removeIf([&unit](const PortRecord &port) { return sameUnit(port, unit); });
    console->note(tr("%1: unplugged").arg(deviceName(unit.portName, unit.serialNumber)));
    QJsonObject event = deviceEvent(unit.portName, unit.serialNumber);
    event.insert("event", "left");
    console->event(event);
    // A running course notices by itself, and is forgotten once it ends.
    DeviceUpdate *device = courseOf(unit);
    if (device && (device->isDone() || device->stage() == DeviceUpdate::Waiting))
        forgetDevice(device);
}

void CliApplication::onWatchedDeviceFinished(DeviceUpdate *device)
{
    tellResult(device->result());
    const PortRecord unit {device->portName(), 0, 0, device->serialNumber()};
    // A lost link is its device leaving, whether or not a scan saw it gone:
    // listed at a later scan, it was plugged in again. Either way the course
    // is forgotten.
    if (!isPlugged(unit))
        forgetDevice(device);
    else if (device->lostItsDevice())
        onDeviceLeft(unit);
    startWaitingDevices();
    showTally(true);
    wake();
}

// As many as may run: all of them, or with --count no more than would
// reach it if every one succeeded; and one at a time on a port, as a unit
// plugged in where another's transfer has not yet noticed its end must
// wait for it.
void CliApplication::startWaitingDevices()
{
    const QList<DeviceUpdate *> present = devices;
    for (DeviceUpdate *device : present) {
        if (watchEnding() || (command.count > 0 && updatedCount + runningCount() >= command.count))
            return;
        if (devices.contains(device) && device->stage() == DeviceUpdate::Waiting
            && !portInUse(device->portName()))
            device->start();
    }
}

// Ends the courses that have not begun a transfer, which leaves their
// devices as they were.
void CliApplication::leaveUnstarted(const QString &reason)
{
    const QList<DeviceUpdate *> present = devices;
    for (DeviceUpdate *device : present) {
        if (device->stage() != DeviceUpdate::Waiting && device->stage() != DeviceUpdate::Handshake)
            continue;
        DeviceUpdate::Result result = device->result();
        result.stage = DeviceUpdate::Skipped;
        result.reason = reason;
        tellResult(result);
        forgetDevice(device);
    }
}

void CliApplication::forgetDevice(DeviceUpdate *device)
{
    devices.removeOne(device);
    if (board)
        board->removeDevice(device);
    disconnect(device, nullptr, this, nullptr);
    // It may be telling of its end right now.
    device->deleteLater();
}

bool CliApplication::isPlugged(const PortRecord &unit) const
{
    return std::any_of(plugged.cbegin(), plugged.cend(),
                       [&unit](const PortRecord &port) { return sameUnit(port, unit); });
}

DeviceUpdate *CliApplication::courseOf(const PortRecord &unit) const
{
    for (DeviceUpdate *device : devices) {
        if (sameUnit({device->portName(), 0, 0, device->serialNumber()}, unit))
            return device;
    }
    return nullptr;
}

bool CliApplication::portInUse(const QString &port) const
{
    return std::any_of(devices.cbegin(), devices.cend(), [&port](const DeviceUpdate *device) {
        return device->portName() == port
            && (device->stage() == DeviceUpdate::Handshake
                || device->stage() == DeviceUpdate::Transfer);
    });
}

// As the host lists it now, not as the last scan found it: a unit swapped
// in since then must not be taken for the one before.
QString CliApplication::serialListedOn(const QString &port)
{
    const QList<PortRecord> attached = enumerator.attachedDevices();
    const auto listed
        = std::find_if(attached.cbegin(), attached.cend(),
                       [&port](const PortRecord &device) { return device.portName == port; });
    return listed != attached.cend() ? listed->serialNumber : QString();
}

int CliApplication::countOf(DeviceUpdate::Stage stage) const
{
    return int(std::count_if(devices.cbegin(), devices.cend(),
                             [stage](const DeviceUpdate *device) {
                                 return device->stage() == stage;
                             }));
}

// Started and not yet ended: greeting the device or sending it the image.
int CliApplication::runningCount() const
{
    return countOf(DeviceUpdate::Handshake) + countOf(DeviceUpdate::Transfer);
}

bool CliApplication::watchEnding() const
{
    return interrupted || stopWatching || (command.count > 0 && updatedCount >= command.count);
}

// Counted in the tally, kept for the summary, and told at once.
void CliApplication::tellResult(const DeviceUpdate::Result &result)
{
    updatedCount += result.stage == DeviceUpdate::Updated;
    failedCount += result.stage == DeviceUpdate::Failed;
    skippedCount += result.stage == DeviceUpdate::Skipped;
    recordResult(result);
    console->note(resultLine(result));
    console->event(resultEvent(result));
}

// One line per device in the summary: a device with a serial number keeps
// its place, and a later result replaces an earlier one, except that
// leaving it alone changes nothing of what happened to it before.
void CliApplication::recordResult(const DeviceUpdate::Result &result)
{
    if (!result.serialNumber.isEmpty()) {
        for (DeviceUpdate::Result &earlier : watchResults) {
            if (earlier.serialNumber == result.serialNumber) {
                if (result.stage != DeviceUpdate::Skipped)
                    earlier = result;
                return;
            }
        }
    }
    watchResults.append(result);
}

// Below the devices on a terminal, brought up to date after every scan and
// result; elsewhere, after each result, a line or an event.
void CliApplication::showTally(bool asNote)
{
    const int running = runningCount();
    const int waiting = countOf(DeviceUpdate::Waiting);
    const QString text = tr("Attempts so far: updated %1, failed %2, skipped %3; in progress %4, "
                            "waiting %5")
                             .arg(updatedCount)
                             .arg(failedCount)
                             .arg(skippedCount)
                             .arg(running)
                             .arg(waiting);
    if (board)
        board->setFooter(text);
    if (!asNote)
        return;
    if (!console->drawsInPlace())
        console->note(text);
    console->event({{"event", "tally"},
                    {"updated", updatedCount},
                    {"failed", failedCount},
                    {"skipped", skippedCount},
                    {"inProgress", running},
                    {"waiting", waiting}});
}

// The port, and the device's USB serial number where the host knows it.
QString CliApplication::deviceName(const QString &port, const QString &serialNumber) const
{
    if (serialNumber.isEmpty())
        return tr("%1 (no USB serial number)").arg(port);
    return tr("%1 (serial %2)").arg(port, serialNumber);
}

// The fields that name a device in an event; the serial is null where the
// host knows none.
QJsonObject CliApplication::deviceEvent(const QString &port, const QString &serialNumber) const
{
    return {{"event", "device"},
            {"port", port},
            {"serial", serialNumber.isEmpty() ? QJsonValue() : QJsonValue(serialNumber)}};
}

QString CliApplication::resultLine(const DeviceUpdate::Result &result) const
{
    const QString name = deviceName(result.portName, result.serialNumber);
    switch (result.stage) {
    case DeviceUpdate::Updated:
        if (command.kind == CliCommand::Update)
            return tr("%1: updated in %2 s").arg(name).arg(result.elapsedMs / 1000.0, 0, 'f', 1);
        return tr("%1: firmware %2").arg(name, result.deviceVersion);
    case DeviceUpdate::Skipped:
        return tr("%1: skipped: %2").arg(name, result.reason);
    default:
        return tr("%1: failed: %2").arg(name, result.reason);
    }
}

QJsonObject CliApplication::resultEvent(const DeviceUpdate::Result &result) const
{
    QJsonObject event = deviceEvent(result.portName, result.serialNumber);
    event.insert("event", "result");
    switch (result.stage) {
    case DeviceUpdate::Updated:
        event.insert("ok", true);
        if (command.kind == CliCommand::Update)
            event.insert("seconds", qRound(result.elapsedMs / 100.0) / 10.0);
        else
            event.insert("version", result.deviceVersion);
        break;
    case DeviceUpdate::Skipped:
        // Left as it was, which is what was asked: an updated device, or
        // one the run ended before.
        event.insert("ok", true);
        event.insert("skipped", true);
        event.insert("reason", result.reason);
        break;
    default:
        event.insert("ok", false);
        event.insert("reason", result.reason);
        if (command.kind == CliCommand::Update)
            event.insert("seconds", qRound(result.elapsedMs / 100.0) / 10.0);
        break;
    }
    return event;
}

void CliApplication::onInterrupt(bool closing)
{
    // A watch between devices may stop; an update stops only before its
    // first transfer.
    const bool transferring
        = command.watch ? countOf(DeviceUpdate::Transfer) > 0 : transferBegun;
    if (transferring && closing) {
        // The system ends the process within seconds whatever it does: the
        // transfers run on for those seconds, and a log that the output
        // goes to says which devices they will most likely leave unfinished.
        QStringList running;
        for (const DeviceUpdate *device : std::as_const(devices)) {
            if (device->stage() == DeviceUpdate::Transfer)
                running.append(tr("%1 at %2 %")
                                   .arg(deviceName(device->portName(), device->serialNumber()))
                                   .arg(device->percent()));
        }
        console->note(tr("The console was closed during the firmware transfer (%1). The system "
                         "ends this program within seconds, most likely before the transfer "
                         "ends: update those devices again.")
                          .arg(running.join(QStringLiteral(", "))));
    } else if (transferring && command.watch) {
        console->note(tr("Not stopping yet: a firmware transfer is running, and stopping it "
                         "would leave the device without firmware. The watch ends once the "
                         "transfers have ended, and starts no other device."));
    } else if (transferring) {
        console->note(tr("Not stopping: a firmware transfer is running, and stopping it would "
                         "leave the device without firmware. Please wait until it ends."));
    }
    if (transferring) {
        // Closing the console ends the watch as an interrupt does: the
        // seconds left are the running transfers', no other device's.
        if (command.watch) {
            stopWatching = true;
            leaveUnstarted(tr("not updated: the watch was ending before its transfer"));
            showTally(false);
        }
        return;
    }
    interrupted = true;
    if (waiting)
        waiting->quit();
}

void CliApplication::waitUntil(const std::function<bool()> &done)
{
    if (done() || interrupted)
        return;
    QEventLoop loop;
    waiting = &loop;
    waitCondition = done;
    loop.exec();
    waiting = nullptr;
    waitCondition = nullptr;
}

void CliApplication::wake()
{
    if (waiting && waitCondition())
        waiting->quit();
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
