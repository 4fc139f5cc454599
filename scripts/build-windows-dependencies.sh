#!/bin/bash
# Builds what the Windows build takes from the cache (libsodium as a static
# library, build-libsodium-windows.sh, the small one first, and Qt 6.8.0 for
# Windows, build-qt-windows.sh) in a Debian 13 tree of its own, as root, so
# that it can be built ahead of the release and the Windows lane, which then
# find it there. CI runs this in the background while the Linux stages run.
#   scripts/build-windows-dependencies.sh
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
    echo "build-windows-dependencies.sh: needs root (debootstrap, chroot and mounts)" >&2
    exit 1
fi

# shellcheck source=debian13-tree.sh
source scripts/debian13-tree.sh
sources=$(qt_windows_sources)
cache=${QL7420_QT_CACHE:-/var/cache/ql7420-fwupdate}
mkdir -p "$cache"
root=$debian13_cache/dependencies-root
debian13_tree "$root"
debian13_binds=("$sources" "$cache")
debian13_run "$root" "
    export QL7420_QT_CACHE=$(printf %q "$cache")
    bash scripts/build-libsodium-windows.sh >/dev/null
    bash scripts/build-qt-windows.sh $(printf '%q ' "$sources/qtbase-6.8.0-b839e9b3.tar.xz" \
        "$sources/qtserialport-6.8.0.tar.xz") >/dev/null
"
rm -rf "$root"
