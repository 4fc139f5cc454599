#include "portfingerprint.h"

#include <cerrno>
#include <dirent.h>
#include <sys/stat.h>

namespace {

// Every tty the kernel knows has an entry here, serial ports included; the
// full listing walks the same entries. Not there on macOS.
constexpr const char *TtyClassDir = "/sys/class/tty";

// The port's USB identifiers reach the full listing through udev's database,
// which udev writes a little after the port's entry appears in /sys, and
// never in place: every write renames a new file into this folder.
constexpr const char *UdevDatabaseDir = "/run/udev/data";

template <typename Number> void appendNumber(std::string &fingerprint, Number number)
{
    fingerprint.append(reinterpret_cast<const char *>(&number), sizeof number);
}

} // namespace

namespace PortFingerprint {

std::optional<std::string> current()
{
    DIR *ttys = ::opendir(TtyClassDir);
    if (!ttys)
        return std::nullopt;
    std::string fingerprint;
    bool complete = true;
    while (true) {
        errno = 0;
        const dirent *entry = ::readdir(ttys);
        if (!entry) {
            complete = errno == 0;
            break;
        }
        // A device that takes over the name of one just unplugged gets a new
        // entry under the same name, and sysfs never hands a removed entry's
        // inode number straight to the next one.
        fingerprint.append(entry->d_name);
        fingerprint.push_back('\0');
        appendNumber(fingerprint, entry->d_ino);
    }
    ::closedir(ttys);
    if (!complete)
        return std::nullopt;

    // Without udev (a container, a minimal system) the full listing reads
    // /sys alone; udev starting later still changes the fingerprint.
    struct stat database = {};
    if (::stat(UdevDatabaseDir, &database) == 0) {
        appendNumber(fingerprint, database.st_ino);
        appendNumber(fingerprint, database.st_size);
        // Whole seconds, as macOS has them too: two writes within a second
        // look alike, but the scan trusts a new fingerprint only once it has
        // listed again a tick later, when that second is over.
        appendNumber(fingerprint, database.st_mtime);
    }
    return fingerprint;
}

} // namespace PortFingerprint
