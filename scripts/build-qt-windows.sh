#!/bin/bash
# Builds Qt 6.8.0 for 64-bit Windows from the Qt Project's sources, for the
# tool's Windows build: qtbase (shared libraries: Core, Gui, Widgets, Network
# with Schannel, Test, the Windows platform and style plugins) and Qt Serial
# Port, with Debian's MinGW-w64 cross compiler. First come the host tools of
# the same release (moc, rcc, uic and the rest that a cross build runs),
# since another Qt version's tools do not serve.
#
#   scripts/build-qt-windows.sh [QTBASE QTSERIALPORT]
#
# QTBASE and QTSERIALPORT are the release's source archives (.tar.xz) or
# unpacked source folders; by default the archives in third_party/qt/ beside
# the repository (../shared/third_party/qt). The result goes to a cache
# outside the clone, in a folder named after the sources' SHA-256 and the
# content of this script and of the toolchain file, and is reused while
# those stay the same. The folder's name is printed last, on stdout; it
# holds host/ (the host tools, for QT_HOST_PATH) and windows/ (Qt for
# Windows, for CMAKE_PREFIX_PATH). The cache's parent folder is
# $QL7420_QT_CACHE, by default /var/cache/ql7420-fwupdate as root and
# ~/.cache/ql7420-fwupdate otherwise.
#
# Needs MinGW-w64's GCC 13 or later, as Debian 13 has it: Debian 12's GCC 12
# stops with an internal compiler error on Qt's bundled code. On Debian 12,
# scripts/test-windows.sh runs this script inside a Debian 13 tree.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
release=6.8.0

say() { echo "build-qt-windows: $*" >&2; }
fail() { say "$*"; exit 1; }

qtbase=${1:-$repo/../shared/third_party/qt/qtbase-6.8.0-b839e9b3.tar.xz}
qtserialport=${2:-$repo/../shared/third_party/qt/qtserialport-6.8.0.tar.xz}
for source in "$qtbase" "$qtserialport"; do
    [ -e "$source" ] || fail "no Qt source at $source (give the qtbase and qtserialport archives or folders)"
done

# An archive by its own digest, a folder by the digests of its files.
digest() {
    if [ -d "$1" ]; then
        (cd "$1" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum | sha256sum)
    else
        sha256sum <"$1"
    fi | cut -c1-64
}
toolchain=$repo/cmake/toolchain-mingw-w64.cmake
key=$( (digest "$qtbase"; digest "$qtserialport"; sha256sum <"$0"; sha256sum <"$toolchain") |
    sha256sum | cut -c1-16)
if [ "$(id -u)" -eq 0 ]; then
    cache_root=${QL7420_QT_CACHE:-/var/cache/ql7420-fwupdate}
else
    cache_root=${QL7420_QT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/ql7420-fwupdate}
fi
cache=$cache_root/qt-$release-windows-$key
# One build of a cache at a time: a second run (the release while CI's
# early build is still at work) waits for the first, then takes its result.
mkdir -p "$cache_root"
exec 9>"$cache.lock"
flock -n 9 || { say "waiting for another run's build of $cache"; flock 9; }
if [ -e "$cache/.complete" ]; then
    say "Qt $release for Windows from the cache"
    echo "$cache"
    exit 0
fi

[ "$(id -u)" -ne 0 ] || export DEBIAN_FRONTEND=noninteractive
bash scripts/install-deps.sh --only cmake ninja-build g++ g++-mingw-w64-x86-64-posix xz-utils >&2
gcc_major=$(x86_64-w64-mingw32-g++-posix -dumpversion | sed "s/[^0-9].*//")
[ "$gcc_major" -ge 13 ] ||
    fail "MinGW-w64 GCC $gcc_major crashes on Qt's bundled code; build on Debian 13 or later (scripts/test-windows.sh does so in a Debian 13 tree)"

say "building Qt $release for Windows into $cache"
rm -rf "$cache"
work=$cache/work
mkdir -p "$work"
start=$(date +%s)

# The sources, unpacked unless given as folders, and checked to be of the
# release this script was written for.
source_folder() {
    local source=$1 name=$2
    if [ -d "$source" ]; then
        (cd "$source" && pwd)
    else
        mkdir -p "$work/$name"
        tar -xf "$source" -C "$work/$name" --strip-components=1
        echo "$work/$name"
    fi
}
qtbase_src=$(source_folder "$qtbase" qtbase)
qtserialport_src=$(source_folder "$qtserialport" qtserialport)
for src in "$qtbase_src" "$qtserialport_src"; do
    grep -q "QT_REPO_MODULE_VERSION \"$release\"" "$src/.cmake.conf" ||
        fail "$src is not Qt $release"
done

# Switched off: whatever the tool does not use, for a shorter build. OpenGL
# (dynamic: no GL library is needed to build) and Direct2D stay on, since
# Qt 6.8.0's Windows platform plugin and font database do not compile
# without them; only the Direct2D platform plugin goes.
unused=(sql dbus vulkan printsupport concurrent xml openssl jpeg gif networklistmanager
    tuiotouch textmarkdownreader textmarkdownwriter textodfwriter pdf zstd brotli gssapi sctp
    dtls freetype direct2d1_1 icu batch_test_support)
common=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF
    -DQT_UNITY_BUILD=ON)

step() {
    local name=$1 log=$work/$1.log
    shift
    local began=$(date +%s)
    "$@" >"$log" 2>&1 || { tail -n 40 "$log" >&2; fail "$name failed (log: $log)"; }
    say "$name: $(($(date +%s) - began)) s"
}

# The host tools, built in place: the build folder is the host Qt that the
# cross builds name. Only the tools that those builds run are built (not
# qmake, qtpaths, qlalr or qvkgen, which nothing here runs), and of the
# host's libraries only what they link.
host=$cache/host
mkdir -p "$host"
step host-configure cmake -S "$qtbase_src" -B "$host" "${common[@]}" -DCMAKE_INSTALL_PREFIX="$host" \
    -DINPUT_opengl=no -DFEATURE_sql=OFF -DFEATURE_icu=OFF -DFEATURE_dbus=OFF -DFEATURE_vulkan=OFF \
    -DFEATURE_xcb=OFF -DFEATURE_wayland=OFF -DFEATURE_glib=OFF -DFEATURE_openssl=OFF \
    -DFEATURE_network=OFF -DFEATURE_testlib=OFF -DFEATURE_printsupport=OFF \
    -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_androiddeployqt=OFF
step host-build cmake --build "$host" --target syncqt moc rcc uic tracegen tracepointgen \
    cmake_automoc_parser

windows=$cache/windows
off=()
for feature in "${unused[@]}"; do off+=(-DFEATURE_$feature=OFF); done
step qtbase-configure cmake -S "$qtbase_src" -B "$work/qtbase-build" "${common[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DQT_HOST_PATH="$host" -DCMAKE_INSTALL_PREFIX="$windows" \
    -DBUILD_SHARED_LIBS=ON -DINPUT_opengl=dynamic -DFEATURE_schannel=ON "${off[@]}"
step qtbase-build cmake --build "$work/qtbase-build"
step qtbase-install cmake --install "$work/qtbase-build"

step qtserialport-configure "$windows/bin/qt-cmake" -S "$qtserialport_src" -B "$work/qtserialport-build" \
    -G Ninja -DCMAKE_BUILD_TYPE=Release -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF
step qtserialport-build cmake --build "$work/qtserialport-build"
step qtserialport-install cmake --install "$work/qtserialport-build"
# Qt is shipped under the LGPL: whatever ships its DLLs ships these beside.
mkdir -p "$windows/licenses"
cp -r "$qtbase_src/LICENSES" "$windows/licenses/qtbase"
cp -r "$qtserialport_src/LICENSES" "$windows/licenses/qtserialport"

rm -rf "$work"
touch "$cache/.complete"
say "Qt $release for Windows built in $(($(date +%s) - start)) s"
echo "$cache"
