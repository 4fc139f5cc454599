#!/bin/bash
# Builds libsodium for 64-bit Windows as a static library, for the tool's
# Windows build, with Debian's MinGW-w64 cross compiler, from Debian's own
# libsodium source package: apt checks that against the archive's signed
# index, so no archive of our own has to be kept and vouched for.
#
#   scripts/build-libsodium-windows.sh
#
# Runs as root in a Debian 13 tree (scripts/debian13-tree.sh), since it adds
# the source archive to the tree's apt sources and installs what it lacks.
# The result goes to the cache of windows-build-cache.sh, in a folder named
# after the source package's .dsc (which names the digests of all its
# files) and the content of this script and of the toolchain file. The
# folder's name is printed last, on stdout; it holds include/,
# lib/libsodium.a, lib/pkgconfig/libsodium.pc (for PKG_CONFIG_LIBDIR) and
# licenses/libsodium/.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

say() { echo "build-libsodium-windows: $*" >&2; }
fail() { say "$*"; exit 1; }
# shellcheck source=windows-build-cache.sh
source scripts/windows-build-cache.sh

[ "$(id -u)" -eq 0 ] ||
    fail "needs root, in a Debian 13 tree (it changes the tree's apt sources)"
export DEBIAN_FRONTEND=noninteractive

# The sources of what the tree installs from: every archive of the tree's
# binary packages, security fixes included, since a fix to libsodium comes
# from there before a point release takes it into the main archive.
grep -Eq '^deb [^ ]+ trixie main' /etc/apt/sources.list 2>/dev/null ||
    fail "no Debian 13 archive in /etc/apt/sources.list; run this in a Debian 13 tree (scripts/debian13-tree.sh)"
sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >/etc/apt/sources.list.d/ql7420-deb-src.list
# The tree's folder of downloaded packages may be shared with trees that run
# at once, and apt does not wait for its lock: as in install-deps.sh.
flock /var/cache/apt/archives/lock apt-get -q -o DPkg::Lock::Timeout=600 update >&2
bash scripts/install-deps.sh --only dpkg-dev xz-utils autoconf automake libtool make \
    gcc-mingw-w64-x86-64-posix >&2

# The source package comes first, small as it is: the cache's name needs
# its .dsc. apt downloads as its own user, who must be able to write here.
download=$(mktemp -d)
trap 'rm -rf "$download"' EXIT
chown _apt "$download" 2>/dev/null || true
(cd "$download" && apt-get -q source --download-only libsodium >&2) ||
    fail "could not download Debian's libsodium source package"
dscs=("$download"/libsodium_*.dsc)
if [ ${#dscs[@]} -ne 1 ] || [ ! -e "${dscs[0]}" ]; then
    fail "no single libsodium .dsc in $download"
fi
dsc=${dscs[0]}
package_version=$(sed -n 's/^Version: *//p' "$dsc")
version=${package_version#*:}
version=${version%-*}
[ -n "$version" ] || fail "no version in $dsc"

toolchain=$repo/cmake/toolchain-mingw-w64.cmake
key=$( (sha256sum <"$dsc"; sha256sum <"$0"; sha256sum <"$toolchain") | sha256sum | cut -c1-16)
cache_open "libsodium $version (Debian's $package_version) for Windows" \
    "libsodium-$version-windows-$key"

# With Debian's patches applied, as Debian's own libsodium has them. The
# source is upstream's git tree, without the generated build files: they
# come from autoreconf, as in Debian's build.
src=$work/libsodium
step unpack dpkg-source -x "$dsc" "$src"
cd "$src"
step autoreconf autoreconf -fi
# Only libsodium's high-level functions, of which the tool uses two: the
# generic hash and signature verification.
step configure ./configure --host=x86_64-w64-mingw32 --prefix="$cache" --disable-shared \
    --enable-static --enable-minimal --disable-dependency-tracking CC=x86_64-w64-mingw32-gcc-posix
step build make -j"$(nproc)"
step install make install
cd "$repo"
# A static library has no use for libtool's notes, which only name the
# build's paths.
rm -f "$cache/lib/libsodium.la"

# Without SODIUM_STATIC, libsodium's headers declare every function
# dllimport on Windows, and a program then looks for a DLL's import
# symbols that the static library does not have.
pc=$cache/lib/pkgconfig/libsodium.pc
[ -e "$pc" ] || fail "make install left no $pc"
grep -q '^Cflags:.*-DSODIUM_STATIC' "$pc" || sed -i '/^Cflags:/ s/$/ -DSODIUM_STATIC/' "$pc"
grep -q '^Cflags:.*-DSODIUM_STATIC' "$pc" || fail "no Cflags line in $pc to carry -DSODIUM_STATIC"

# libsodium ships inside the tool: its licence goes with it.
licenses=$cache/licenses/libsodium
mkdir -p "$licenses"
cp "$src/LICENSE" "$licenses/LICENSE"
cp "$src/debian/copyright" "$licenses/copyright"

cache_close "libsodium $version (Debian's $package_version) for Windows"
