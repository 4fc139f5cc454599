#!/bin/bash
# Builds Qt 6.8.0 for 64-bit Windows from the Qt Project's sources, for the
# tool's Windows build: qtbase (shared libraries: Core, Gui, Widgets, Network
# with Schannel, Test, the Windows platform and style plugins) and Qt Serial
# Port, with Debian's MinGW-w64 cross compiler. The host tools that a cross
# build runs (moc, rcc, uic, syncqt and the rest) are Debian's own Qt 6.8's,
# a patch release the same or newer, which Qt's packages accept as host
# tools: building them as well would take a fresh machine a quarter of an
# hour more.
#
#   scripts/build-qt-windows.sh [QTBASE QTSERIALPORT]
#
# QTBASE and QTSERIALPORT are the release's source archives (.tar.xz) or
# unpacked source folders; by default the archives in third_party/qt/ beside
# the repository (../shared/third_party/qt). The result goes to the cache of
# windows-build-cache.sh, in a folder named after the sources' SHA-256, the
# host tools' version and the content of this script, of the toolchain file
# and of qtbase-harfbuzz-shaping-only.cmake. The folder's name is printed
# last, on stdout; it holds windows/ (Qt for Windows, for CMAKE_PREFIX_PATH),
# whose qt-cmake names the host tools in /usr.
#
# Needs MinGW-w64's GCC 13 or later and Qt 6.8, as Debian 13 has them:
# Debian 12's GCC 12 stops with an internal compiler error on Qt's bundled
# code. On Debian 12, scripts/test-windows.sh runs this script inside a
# Debian 13 tree.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
release=6.8.0

say() { echo "build-qt-windows: $*" >&2; }
fail() { say "$*"; exit 1; }
# shellcheck source=windows-build-cache.sh
source scripts/windows-build-cache.sh

qtbase=${1:-$repo/../shared/third_party/qt/qtbase-6.8.0-b839e9b3.tar.xz}
qtserialport=${2:-$repo/../shared/third_party/qt/qtserialport-6.8.0.tar.xz}
for source in "$qtbase" "$qtserialport"; do
    [ -e "$source" ] || fail "no Qt source at $source (give the qtbase and qtserialport archives or folders)"
done

[ "$(id -u)" -ne 0 ] || export DEBIAN_FRONTEND=noninteractive
bash scripts/install-deps.sh --only cmake ninja-build g++-mingw-w64-x86-64-posix xz-utils \
    qt6-base-dev >&2
gcc_major=$(x86_64-w64-mingw32-g++-posix -dumpversion | sed "s/[^0-9].*//")
[ "$gcc_major" -ge 13 ] ||
    fail "MinGW-w64 GCC $gcc_major crashes on Qt's bundled code; build on Debian 13 or later (scripts/test-windows.sh does so in a Debian 13 tree)"
# Host tools of another minor release write code for their own headers.
host_version=$(dpkg-query -W -f='${Version}' qt6-base-dev-tools)
host_release=${host_version#*:}
case $host_release in
6.8.*) ;;
*) fail "the host tools are Qt $host_release (qt6-base-dev-tools); Qt $release for Windows needs Qt 6.8's, as Debian 13 has them" ;;
esac
host_cmake=$(dirname "$(dpkg -L qt6-base-dev | grep -m1 '/cmake/Qt6HostInfo$')")

# An archive by its own digest, a folder by the digests of its files.
digest() {
    if [ -d "$1" ]; then
        (cd "$1" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum | sha256sum)
    else
        sha256sum <"$1"
    fi | cut -c1-64
}
toolchain=$repo/cmake/toolchain-mingw-w64.cmake
harfbuzz=$repo/cmake/qtbase-harfbuzz-shaping-only.cmake
key=$( (digest "$qtbase"; digest "$qtserialport"; echo "$host_version"; sha256sum <"$0"
    sha256sum <"$toolchain"; sha256sum <"$harfbuzz") | sha256sum | cut -c1-16)
cache_open "Qt $release for Windows" "qt-$release-windows-$key"

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
# without them; only the Direct2D platform plugin goes. Of the widgets, the
# tool shows a dialog, labels, a progress bar, buttons and message boxes;
# those the Windows style plugin names (graphics view and effects, input
# dialog, date editor, command link button, item views, tabs, tool bars)
# stay.
unused=(sql dbus vulkan printsupport concurrent xml openssl jpeg gif networklistmanager
    tuiotouch textmarkdownreader textmarkdownwriter textodfwriter pdf zstd brotli gssapi sctp
    dtls freetype direct2d1_1 icu batch_test_support movie undocommand undostack undogroup
    mdiarea dockwidget statusbar menubar splitter toolbox columnview listwidget tablewidget
    treewidget undoview dial lcdnumber splashscreen keysequenceedit syntaxhighlighter
    colordialog fontdialog fontcombobox filedialog fscompleter errormessage wizard)

windows=$cache/windows
off=()
for feature in "${unused[@]}"; do off+=(-DFEATURE_$feature=OFF); done
step qtbase-configure cmake -S "$qtbase_src" -B "$work/qtbase-build" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_UNITY_BUILD=ON \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DQT_HOST_PATH=/usr \
    -DQT_HOST_PATH_CMAKE_DIR="$host_cmake" -DCMAKE_INSTALL_PREFIX="$windows" \
    -DCMAKE_PROJECT_QtBase_INCLUDE="$harfbuzz" -DBUILD_SHARED_LIBS=ON -DINPUT_opengl=dynamic \
    -DFEATURE_schannel=ON "${off[@]}"
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

cache_close "Qt $release for Windows"
