#!/bin/bash
# The Windows lane: proves the Windows release files of the commit checked
# out, the very installer and zip that release.sh made (build/release/), in
# the Debian 13 tree that release.sh left with their build in it
# (build/debian13/release-root; debian13-tree.sh), whose MinGW-w64 (GCC 14),
# Wine 10 and NSIS it uses. Where build/release/ holds no release of this
# commit, it makes one first, signed with keys made for the run
# (release.sh --throwaway-keys). There:
#   1. the command line for Linux, for the same server, to time against;
#   2. the installer of the released 1.2.0, for the same server, to upgrade
#      from: from the cache or built (with Qt 6.8.0 for Windows from the
#      cache or built, build-qt-windows.sh);
#   3. the command line for Windows once more, for an https server whose
#      test authority it pins;
#   4. tests/windows/lane.py: the Windows test programs, the installer, the
#      command line and the window's demo, an upgrade from 1.2.0, all under
#      Wine, in a network of their own where the URL's host name is
#      127.0.0.1 (the tree's /etc/hosts) and the test firmware server
#      listens on the URL's port.
# The pictures of the window under Wine are copied to build/windows/.
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
root=$debian13_cache/release-root
release=$(pwd)/build/release-work
commit=$(git rev-parse HEAD)
if [ "$(cat "$release/commit" 2>/dev/null)" != "$commit" ] ||
        [ ! -d "$root/root/ql7420-fwupdate/build-windows" ]; then
    echo "== No release files of $(git rev-parse --short HEAD) yet: making them"
    bash scripts/release.sh --throwaway-keys
fi
# What the lane installs is what was released, byte for byte.
build=$root/root/ql7420-fwupdate/build-windows
for file in "$build"/ql7420-fwupdate-*-{setup.exe,windows-x64.zip}; do
    grep -qx "$(sha256sum "$file" | cut -d" " -f1)  $(basename "$file")" build/release/SHA256SUMS ||
        { echo "test-windows.sh: $(basename "$file") in the tree is not the released one" >&2; exit 1; }
done
server=$(sed -n 's/^FW_SERVER_BASE_URL:STRING=//p' "$build/CMakeCache.txt")
authority=""
[ ! -e "$release/signing-authority.pem" ] || authority=$release/signing-authority.pem
debian13_binds=("$sources" "$cache" "$release")
# The released 1.2.0, to upgrade from, for the same server as a user has it:
# built in the tree unless kept from an earlier run. The tree has no git and
# the clone no tags.
earlier=3b87ad53c8cbc2e7a9d4a7b559ee28b51c69c62e
earlier_setup=$cache/ql7420-fwupdate-$earlier-$(printf %s "$server" | sha256sum | cut -c1-12)/ql7420-fwupdate-1.2.0-setup.exe
rm -rf "$root/root/earlier"
mkdir "$root/root/earlier"
git archive "$earlier" | tar -x -C "$root/root/earlier"

start=$(date +%s)
status=0
# The firmware signing key that the release's programs hold, made for the
# run: the lane signs the firmware it serves with it.
firmware_key=""
[ ! -e "$release/firmware-key/firmware.key" ] || firmware_key=$release/firmware-key/firmware.key
debian13_run "$root" "
    export QL7420_QT_CACHE=$(printf %q "$cache") QL7420_SIGN_CA=$(printf %q "$authority")
    export QL7420_LANE_FIRMWARE_KEY=$(printf %q "$firmware_key")
    sources=$(printf %q "$sources") server=$(printf %q "$server")
    earlier_setup=$(printf %q "$earlier_setup")
"'
    echo "== Debian $(cat /etc/debian_version): the Windows release files under Wine"
    bash scripts/install-deps.sh wine wine64 fonts-wine xvfb fonts-ipafont-gothic x11-apps \
        netpbm iproute2 xdotool >/tmp/install.log || { cat /tmp/install.log >&2; exit 1; }
    qt=$(bash scripts/build-qt-windows.sh "$sources/qtbase-6.8.0-b839e9b3.tar.xz" \
        "$sources/qtserialport-6.8.0.tar.xz" 2>/dev/null)
    cmake -S . -B build-linux -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DFW_SERVER_BASE_URL=$server >/tmp/configure.log || { cat /tmp/configure.log >&2; exit 1; }
    cmake --build build-linux --target ql7420-fwupdate-cli >/dev/null

    if [ ! -e "$earlier_setup" ]; then
        echo "== Building the installer of 1.2.0"
        # 1.2.0 took Debian'\''s hardening flags wherever dpkg-buildflags was,
        # which MinGW'\''s linker refuses; the tree has it for libsodium.
        began=$(date +%s)
        "$qt/windows/bin/qt-cmake" -S /root/earlier -B /tmp/earlier -G Ninja \
            -DCMAKE_BUILD_TYPE=Release -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
            -DQT_CHAINLOAD_TOOLCHAIN_FILE=/root/earlier/cmake/toolchain-mingw-w64.cmake \
            -DDPKG_BUILDFLAGS=OFF \
            -DQt6LinguistTools_DIR=/usr/lib/x86_64-linux-gnu/cmake/Qt6LinguistTools \
            -DFW_SERVER_BASE_URL=$server >/tmp/configure.log || { cat /tmp/configure.log >&2; exit 1; }
        cmake --build /tmp/earlier --target ql7420-fwupdate ql7420-fwupdate-cli >/tmp/build.log ||
            { tail -n 50 /tmp/build.log >&2; exit 1; }
        (cd /tmp/earlier && cpack -G NSIS) >/tmp/cpack.log || { cat /tmp/cpack.log >&2; exit 1; }
        mkdir -p "$(dirname "$earlier_setup")"
        cp /tmp/earlier/ql7420-fwupdate-1.2.0-setup.exe "$earlier_setup.part"
        mv "$earlier_setup.part" "$earlier_setup"
        echo "   built in $(($(date +%s) - began)) s"
    fi

    echo "== Building the command line for Windows, for https"
    # A test build: the command line alone, never packaged.
    began=$(date +%s)
    mkdir -p build-windows-https/certificates
    bash tests/support/make-test-certificates.sh build-windows-https/certificates
    "$qt/windows/bin/qt-cmake" -S . -B build-windows-https -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DQT_CHAINLOAD_TOOLCHAIN_FILE="$(pwd)/cmake/toolchain-mingw-w64.cmake" \
        -DQt6LinguistTools_DIR=/usr/lib/x86_64-linux-gnu/cmake/Qt6LinguistTools \
        -DFW_SERVER_BASE_URL=https://firmware.example.com:18443/data \
        -DFW_SERVER_CA_FILE="$PWD/build-windows-https/certificates/authority.pem" \
        >/tmp/configure.log || { cat /tmp/configure.log >&2; exit 1; }
    cmake --build build-windows-https --target ql7420-fwupdate-cli >/tmp/build.log ||
        { tail -n 50 /tmp/build.log >&2; exit 1; }
    echo "   built in $(($(date +%s) - began)) s"

    echo "== Under Wine"
    # In a network of its own, with only a loopback: the lane owns its ports,
    # whatever else runs on this machine, and nothing it starts reaches out.
    # There the firmware server is named this machine, for Wine as well,
    # which asks the resolver of the system it runs on.
    host=$(echo "$server" | sed "s,^[a-z]*://\([^:/]*\).*,\1,")
    echo "127.0.0.1 $host" >>/etc/hosts
    unshare --net bash -c "ip link set lo up && exec python3 tests/windows/lane.py \
        build-windows build-linux/cli/ql7420-fwupdate-cli $server build-windows/lane \
        $earlier_setup build-windows-https"
' || status=$?

mkdir -p build/windows
cp "$build"/lane/*.png build/windows/ 2>/dev/null || true
echo "== Windows lane: $(($(date +%s) - start)) s, status $status"
exit "$status"
