#!/bin/bash
# The Windows lane: builds the tool for Windows and proves it under Wine, in
# a fresh Debian 13 tree (debian13-tree.sh), whose MinGW-w64 (GCC 14), Wine
# 10 and NSIS it uses; Debian 12's MinGW GCC cannot build Qt. There:
#   1. Qt 6.8.0 for Windows, from the cache or built, and the window, the
#      command line and the two demos for Windows, for the project's
#      firmware server URL as a release is built (build-windows.sh), with
#      the installer and the zip signed by a certificate made for the run;
#      the command line for Linux too, to time against;
#   2. tests/windows/lane.py: the Windows test programs, the installer, the
#      command line and the window's demo, all under Wine, in a network of
#      their own where the URL's host name is 127.0.0.1 (the tree's
#      /etc/hosts) and the test firmware server listens on the URL's port.
# The installer, the zip and the screenshot of the window under Wine are
# copied to build/windows/.
#
#   scripts/test-windows.sh
#
# The Qt sources: $QL7420_QT_SOURCES, or third_party/qt/ in the shared
# folder beside this repository or beside the one it was cloned from. The
# cache of Qt builds: $QL7420_QT_CACHE, by default /var/cache/ql7420-fwupdate.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
    echo "test-windows.sh: needs root (debootstrap, chroot and mounts)" >&2
    exit 1
fi

cache=${QL7420_QT_CACHE:-/var/cache/ql7420-fwupdate}
mkdir -p "$cache"

# shellcheck source=debian13-tree.sh
source scripts/debian13-tree.sh
sources=$(qt_windows_sources)
root=$debian13_cache/windows-root
debian13_tree "$root"
keys=$(mktemp -d)
trap 'rm -rf "$keys"' EXIT
bash scripts/throwaway-keys.sh "$keys"
debian13_binds=("$sources" "$cache" "$keys")
server=$(sed -n 's/^set(FW_SERVER_BASE_URL "\(.*\)" CACHE STRING$/\1/p' CMakeLists.txt)

start=$(date +%s)
status=0
debian13_run "$root" "
    export QL7420_QT_CACHE=$cache QL7420_SIGN_PKCS12=$keys/signing.p12 \
        QL7420_SIGN_PASSWORD_FILE=$keys/password QL7420_SIGN_CA=$keys/ca.pem
    sources=$sources server=$server
"'
    echo "== Debian $(cat /etc/debian_version): the Windows build under Wine"
    bash scripts/install-deps.sh wine wine64 fonts-wine xvfb fonts-ipafont-gothic x11-apps \
        netpbm iproute2 >/tmp/install.log || { cat /tmp/install.log >&2; exit 1; }
    bash scripts/build-windows.sh "$sources" "$server"
    cmake -S . -B build-linux -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DFW_SERVER_BASE_URL=$server >/tmp/configure.log || { cat /tmp/configure.log >&2; exit 1; }
    cmake --build build-linux --target ql7420-fwupdate-cli >/dev/null

    echo "== Under Wine"
    # In a network of its own, with only a loopback: the lane owns its ports,
    # whatever else runs on this machine, and nothing it starts reaches out.
    # There the firmware server is named this machine, for Wine as well,
    # which asks the resolver of the system it runs on.
    host=$(echo "$server" | sed "s,^[a-z]*://\([^:/]*\).*,\1,")
    echo "127.0.0.1 $host" >>/etc/hosts
    unshare --net bash -c "ip link set lo up && exec python3 tests/windows/lane.py \
        build-windows build-linux/cli/ql7420-fwupdate-cli $server build-windows/lane"
' || status=$?

mkdir -p build/windows
cp "$root"/root/ql7420-fwupdate/build-windows/ql7420-fwupdate-*-{setup.exe,windows-x64.zip} \
    "$root"/root/ql7420-fwupdate/build-windows/lane/*.png build/windows/ 2>/dev/null || true
echo "== Windows lane: $(($(date +%s) - start)) s, status $status"
exit "$status"
