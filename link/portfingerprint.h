#ifndef PORTFINGERPRINT_H
#define PORTFINGERPRINT_H

#include <optional>
#include <string>

// Listing the host's serial ports in full costs about a thousand times more
// than asking the OS whether its set of ports changed, so the port scan asks
// first. One source file per platform, in plain C++ like NativeSerial.
namespace PortFingerprint {

// A summary of the host's serial ports that changes whenever a port appears,
// disappears or is taken over by another device under the same name. Only its
// equality with an earlier summary means anything. Empty where the host has
// no cheap way to tell or the way failed: the caller then lists the ports in
// full.
std::optional<std::string> current();

} // namespace PortFingerprint

#endif // PORTFINGERPRINT_H
