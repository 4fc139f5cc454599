#!/bin/bash
# The Windows lane: builds the tool for Windows and proves it under Wine, in
# a fresh Debian 13 tree (debian13-tree.sh), whose MinGW-w64 (GCC 14), Wine
# 10 and NSIS it uses; Debian 12's MinGW GCC cannot build Qt. There:
#   1. Qt 6.8.0 for Windows, from the cache or built (build-qt-windows.sh);
#   2. the window, the command line and the two demos for Windows, against
#      a firmware server on 127.0.0.1:18480, and with cpack the installer
#      and the zip; the command line for Linux too, to time against;
#   3. the command line for Windows once more, for an https server whose
#      test authority it pins;
#   4. tests/windows/lane.py: the Windows test programs, the installer, the
#      command line and the window's demo, all under Wine.
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

sources=${QL7420_QT_SOURCES:-}
if [ -z "$sources" ]; then
    origin=$(git config --get remote.origin.url || true)
    for candidate in "$(pwd)/../shared/third_party/qt" "$origin/../shared/third_party/qt"; do
        if [ -e "$candidate/qtbase-6.8.0-b839e9b3.tar.xz" ]; then
            sources=$(cd "$candidate" && pwd)
            break
        fi
    done
fi
if [ -z "$sources" ]; then
    echo "test-windows.sh: no Qt 6.8.0 sources found; set QL7420_QT_SOURCES to the folder" \
        "with qtbase-6.8.0-b839e9b3.tar.xz and qtserialport-6.8.0.tar.xz" >&2
    exit 1
fi
cache=${QL7420_QT_CACHE:-/var/cache/ql7420-fwupdate}
mkdir -p "$cache"

# shellcheck source=debian13-tree.sh
source scripts/debian13-tree.sh
root=$debian13_cache/windows-root
debian13_tree "$root"
debian13_binds=("$sources" "$cache")

start=$(date +%s)
status=0
debian13_run "$root" "
    export QL7420_QT_CACHE=$cache
    sources=$sources
"'
    echo "== Debian $(cat /etc/debian_version): the Windows build under Wine"
    bash scripts/install-deps.sh g++-mingw-w64-x86-64-posix wine wine64 fonts-wine xvfb nsis \
        fonts-ipafont-gothic x11-apps netpbm iproute2 xdotool >/tmp/install.log || { cat /tmp/install.log >&2; exit 1; }
    qt=$(bash scripts/build-qt-windows.sh "$sources/qtbase-6.8.0-b839e9b3.tar.xz" \
        "$sources/qtserialport-6.8.0.tar.xz")
    server=http://127.0.0.1:18480/data

    echo "== Building for Windows"
    began=$(date +%s)
    cmake -S . -B build-windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-w64.cmake \
        -DCMAKE_PREFIX_PATH="$qt/windows" -DQT_HOST_PATH="$qt/host" \
        -DQt6LinguistTools_DIR=/usr/lib/x86_64-linux-gnu/cmake/Qt6LinguistTools \
        -DCMAKE_CROSSCOMPILING_EMULATOR=wine -DFW_SERVER_BASE_URL=$server >/tmp/configure.log || { cat /tmp/configure.log >&2; exit 1; }
    cmake --build build-windows >/tmp/build.log || { tail -n 50 /tmp/build.log >&2; exit 1; }
    grep "warning:" /tmp/build.log || true
    (cd build-windows && cpack) >/tmp/cpack.log || { cat /tmp/cpack.log >&2; exit 1; }
    grep "CPack: - package" /tmp/cpack.log
    cmake -S . -B build-linux -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DFW_SERVER_BASE_URL=$server >/tmp/configure.log || { cat /tmp/configure.log >&2; exit 1; }
    cmake --build build-linux --target ql7420-fwupdate-cli >/dev/null
    echo "   built in $(($(date +%s) - began)) s"

    echo "== Building the command line for Windows, for https"
    # A test build: the command line alone, never packaged.
    began=$(date +%s)
    mkdir -p build-windows-https/certificates
    bash tests/support/make-test-certificates.sh build-windows-https/certificates
    cmake -S . -B build-windows-https -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-w64.cmake \
        -DCMAKE_PREFIX_PATH="$qt/windows" -DQT_HOST_PATH="$qt/host" \
        -DQt6LinguistTools_DIR=/usr/lib/x86_64-linux-gnu/cmake/Qt6LinguistTools \
        -DFW_SERVER_BASE_URL=https://firmware.example.com:18443/data \
        -DFW_SERVER_CA_FILE="$PWD/build-windows-https/certificates/authority.pem" \
        >/tmp/configure.log || { cat /tmp/configure.log >&2; exit 1; }
    cmake --build build-windows-https --target ql7420-fwupdate-cli >/tmp/build.log ||
        { tail -n 50 /tmp/build.log >&2; exit 1; }
    # Wine resolves names as this system does, through /etc/hosts.
    grep -qs " firmware.example.com$" /etc/hosts || echo "127.0.0.1 firmware.example.com" >>/etc/hosts
    echo "   built in $(($(date +%s) - began)) s"

    echo "== Under Wine"
    # In a network of its own, with only a loopback: the lane owns its ports,
    # whatever else runs on this machine, and nothing it starts reaches out.
    unshare --net bash -c "ip link set lo up && exec python3 tests/windows/lane.py \
        build-windows build-linux/cli/ql7420-fwupdate-cli 18480 build-windows/lane build-windows-https"
' || status=$?

mkdir -p build/windows
cp "$root"/root/ql7420-fwupdate/build-windows/ql7420-fwupdate-*-{setup.exe,windows-x64.zip} \
    "$root"/root/ql7420-fwupdate/build-windows/lane/*.png build/windows/ 2>/dev/null || true
echo "== Windows lane: $(($(date +%s) - start)) s, status $status"
exit "$status"
