#!/bin/bash
# The tool for Windows, with its installer and zip (cpack), in build-windows/
# for the firmware server URL given; run in the Debian 13 tree of
# debian13-tree.sh, whose MinGW-w64 (GCC 14) and NSIS it uses, by
# test-windows.sh and release.sh. Qt 6.8.0 for Windows comes from the cache
# or is built (build-qt-windows.sh, from the sources in $1).
# With a certificate in the environment (packaging/windows/sign.sh) the two
# programs, the uninstaller and the installer are signed, and with
# QL7420_SIGN_CA (the authority's PEM certificate) every signature is
# verified against it.
# With KEYS, the maker's minisign public keys (FW_SIGNING_KEYS), the programs
# take only firmware signed with them, verified by libsodium, which is then
# built for Windows too (build-libsodium-windows.sh) and linked in.
#   scripts/build-windows.sh QT_SOURCES URL [KEYS]
set -euo pipefail
cd "$(dirname "$0")/.."
sources=$1 server=$2 keys=${3:-}
# Logs and the unpacked zip, in a folder of this run's, gone however it ends.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

bash scripts/install-deps.sh g++-mingw-w64-x86-64-posix wine wine64 nsis osslsigncode unzip \
    >"$work/install.log" || { cat "$work/install.log" >&2; exit 1; }
qt=$(bash scripts/build-qt-windows.sh "$sources/qtbase-6.8.0-b839e9b3.tar.xz" \
    "$sources/qtserialport-6.8.0.tar.xz")
# pkg-config finds libsodium among the Windows builds, never the tree's own.
if [ -n "$keys" ]; then
    sodium=$(bash scripts/build-libsodium-windows.sh)
    export PKG_CONFIG_LIBDIR=$sodium/lib/pkgconfig
fi

echo "== Building for Windows, for $server"
began=$(date +%s)
# qt-cmake of the Windows Qt names Qt, its host tools and its toolchain,
# which loads ours.
"$qt/windows/bin/qt-cmake" -S . -B build-windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DQT_CHAINLOAD_TOOLCHAIN_FILE="$(pwd)/cmake/toolchain-mingw-w64.cmake" \
    -DQt6LinguistTools_DIR=/usr/lib/x86_64-linux-gnu/cmake/Qt6LinguistTools \
    -DCMAKE_CROSSCOMPILING_EMULATOR=wine -DFW_SERVER_BASE_URL="$server" \
    -DFW_SIGNING_KEYS="$keys" \
    >"$work/configure.log" || { cat "$work/configure.log" >&2; exit 1; }
cmake --build build-windows >"$work/build.log" || { tail -n 50 "$work/build.log" >&2; exit 1; }
grep "warning:" "$work/build.log" || true
(cd build-windows && cpack) >"$work/cpack.log" || { cat "$work/cpack.log" >&2; exit 1; }
grep "CPack: - package\|signed:" "$work/cpack.log"
echo "   built in $(($(date +%s) - began)) s"

if [ -z "${QL7420_SIGN_PKCS12:-}${QL7420_SIGN_CERT:-}" ]; then
    echo "   NOT SIGNED: no code-signing certificate given"
elif [ -n "${QL7420_SIGN_CA:-}" ]; then
    # The uninstaller exists only once the installer has written it: the
    # Windows lane verifies the installed one.
    mkdir "$work/zip"
    unzip -q build-windows/ql7420-fwupdate-*-windows-x64.zip -d "$work/zip"
    for program in "$work"/zip/*/ql7420-fwupdate.exe "$work"/zip/*/ql7420-fwupdate-cli.exe \
            build-windows/ql7420-fwupdate-*-setup.exe; do
        osslsigncode verify -CAfile "$QL7420_SIGN_CA" -in "$program" >"$work/verify.log" 2>&1 ||
            { cat "$work/verify.log" >&2; echo "the signature of $program does not verify" >&2; exit 1; }
        echo "   signature verified: $(basename "$program")"
    done
fi
