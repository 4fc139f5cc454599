#!/bin/bash
# Installs the Debian packages the build, the tests and the tool need, plus
# any named on the command line; with --only first, just those named. Does
# nothing when all are present.
set -euo pipefail

# python3-dbus, python3-gi and dbus-daemon: the tests' stand-in for logind
# on a bus of its own. libsodium-dev and pkg-config: verifying the maker's
# signature, in a build that holds the maker's keys; minisign: the tests'
# and the release's own keys and signatures.
packages=(cmake ninja-build g++ qt6-base-dev qt6-serialport-dev qt6-tools-dev qt6-l10n-tools libgl-dev python3 openssl
    python3-dbus python3-gi dbus-daemon libsodium-dev pkg-config minisign)
if [ "${1:-}" = --only ]; then
    shift
    packages=()
fi
packages+=("$@")

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
# Debian 13 trees that run at once share one folder of downloaded packages,
# whose lock apt does not wait for: such installs take turns.
$sudo flock /var/cache/apt/archives/lock apt-get -o DPkg::Lock::Timeout=600 update
DEBIAN_FRONTEND=noninteractive $sudo flock /var/cache/apt/archives/lock \
    apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends "${missing[@]}"
