#!/bin/bash
# Builds, from the commit checked out, every file a user downloads, for the
# firmware server URL given (by default the project's own, FW_SERVER_BASE_URL
# in CMakeLists.txt), into build/release/:
#   ql7420-fwupdate-cli_<version>_amd64.deb, ql7420-fwupdate_<version>_amd64.deb
#       built on this machine (Debian 12), as scripts/package.sh does;
#   ql7420-fwupdate-<version>-setup.exe, ql7420-fwupdate-<version>-windows-x64.zip
#       built in a fresh Debian 13 tree (debian13-tree.sh, build-windows.sh);
#   SHA256SUMS over them, and SHA256SUMS.asc when it is signed.
# A URL on a loopback address gives files named -test, never a release. The
# Debian 13 tree with the Windows build stays in build/debian13/release-root
# for the Windows lane (test-windows.sh), which installs these very files.
#
# Signing (each also from the environment variable named):
#   --pkcs12 FILE [--password-file FILE]   QL7420_SIGN_PKCS12, QL7420_SIGN_PASSWORD_FILE
#   --cert FILE --key FILE                 QL7420_SIGN_CERT, QL7420_SIGN_KEY
#       Authenticode (osslsigncode) for both programs, the uninstaller and
#       the installer; --ca FILE (QL7420_SIGN_CA) verifies them against that
#       authority, --timestamp URL (QL7420_SIGN_TIMESTAMP) time-stamps them;
#   --gpg-key ID                           QL7420_GPG_KEY (and GNUPGHOME)
#       a detached, armored OpenPGP signature of SHA256SUMS, verified.
#   --throwaway-keys   signs with a certificate and a key made for the run
#       and verifies every signature (what CI does); proves the steps only.
# Without them the files are unsigned, and the script says so.
#
# The maker's firmware signing key:
#   --signing-key FILE                     QL7420_SIGNING_KEYS (the key lines)
#       a minisign public key file (given twice for a key change): the
#       programs take only firmware signed with it (FW_SIGNING_KEYS). With
#       --throwaway-keys, a key made for the run, whose secret key stays in
#       build/release-work/firmware-key/ for the Windows lane to sign with.
#
#   scripts/release.sh [--url URL] [signing options]
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2; }
url=$(sed -n 's/^set(FW_SERVER_BASE_URL "\(.*\)" CACHE STRING$/\1/p' CMakeLists.txt)
throwaway=""
while [ $# -gt 0 ]; do
    case $1 in
        --throwaway-keys) throwaway=1; shift; continue ;;
        --*) [ $# -ge 2 ] || usage ;;
    esac
    case $1 in
        --url) url=$2 ;;
        --pkcs12) export QL7420_SIGN_PKCS12=$2 ;;
        --password-file) export QL7420_SIGN_PASSWORD_FILE=$2 ;;
        --cert) export QL7420_SIGN_CERT=$2 ;;
        --key) export QL7420_SIGN_KEY=$2 ;;
        --ca) export QL7420_SIGN_CA=$2 ;;
        --timestamp) export QL7420_SIGN_TIMESTAMP=$2 ;;
        --gpg-key) export QL7420_GPG_KEY=$2 ;;
        --signing-key)
            [ -r "$2" ] || { echo "release.sh: cannot read the signing key $2" >&2; exit 2; }
            # Named, never shown: the configuration judges the key line, and
            # shows no key either.
            if grep -q "^untrusted comment:.*secret key" "$2"; then
                echo "release.sh: $2 is a minisign secret key file; give the public key made" \
                    "with it (its minisign.pub), and keep the secret key to the machine that" \
                    "signs the firmware" >&2
                exit 2
            fi
            # A minisign.pub's second line, or a file of the key line alone.
            key=$(grep -v -e "^untrusted comment:" -e "^[[:space:]]*$" "$2" | head -n 1 || true)
            [ -n "$key" ] || {
                echo "release.sh: $2 holds no key line (a minisign.pub's second line, RW...)" >&2
                exit 2
            }
            QL7420_SIGNING_KEYS="${QL7420_SIGNING_KEYS:-} $key" ;;
        *) usage ;;
    esac
    shift 2
done
if [ "$(id -u)" -ne 0 ]; then
    echo "release.sh: needs root (the Windows build's Debian 13 tree: debootstrap, chroot, mounts)" >&2
    exit 1
fi

start=$(date +%s)
commit=$(git rev-parse HEAD)
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
    echo "release.sh: uncommitted changes are left out: building commit $commit as committed" >&2
fi
work=$(pwd)/build/release-work
out=$(pwd)/build/release
rm -rf "$work" "$out"
mkdir -p "$work" "$out"

# Every signing file is copied to one folder that the Debian 13 tree sees.
keys=$work/keys
mkdir -m 700 "$keys"
throwaway_gnupg=""
forget_keys() {
    rm -rf "$keys"
    [ -z "$throwaway_gnupg" ] || { GNUPGHOME=$throwaway_gnupg gpgconf --kill gpg-agent; rm -rf "$throwaway_gnupg"; }
}
trap forget_keys EXIT
if [ -n "$throwaway" ]; then
    bash scripts/throwaway-keys.sh "$keys"
    throwaway_gnupg=$(readlink -f "$keys/gnupg")
    export QL7420_SIGN_PKCS12=$keys/signing.p12 QL7420_SIGN_PASSWORD_FILE=$keys/password \
        QL7420_SIGN_CA=$keys/ca.pem GNUPGHOME=$throwaway_gnupg QL7420_GPG_KEY=release@example.com
    unset QL7420_SIGN_CERT QL7420_SIGN_KEY
    # Kept past the run, for the Windows lane to sign the firmware it serves.
    mkdir -p "$work/firmware-key"
    cp "$keys/firmware.key" "$keys/firmware.pub" "$work/firmware-key/"
    QL7420_SIGNING_KEYS=$(sed -n 2p "$keys/firmware.pub")
fi
signing_keys=$(xargs <<<"${QL7420_SIGNING_KEYS:-}")
inside=()
for variable in QL7420_SIGN_PKCS12 QL7420_SIGN_PASSWORD_FILE QL7420_SIGN_CERT QL7420_SIGN_KEY \
        QL7420_SIGN_CA; do
    if [ -n "${!variable:-}" ]; then
        copy=$keys/$variable
        [ -e "$copy" ] || cp "${!variable}" "$copy"
        inside+=("$variable=$copy")
    fi
done
[ -z "${QL7420_SIGN_TIMESTAMP:-}" ] || inside+=("QL7420_SIGN_TIMESTAMP=$QL7420_SIGN_TIMESTAMP")

echo "== Release files of $(git rev-parse --short HEAD) for $url"
echo "== Debian packages, on Debian $(cat /etc/debian_version)"
bash scripts/install-deps.sh dpkg-dev file unzip >/dev/null
git clone --quiet "$(pwd)" "$work/source"
git -C "$work/source" checkout --quiet "$commit"
began=$(date +%s)
# Only what the packages hold is built: no test and no benchmark. In build/
# of the clone, where the test command builds, so that the same commit
# gives the same packages.
linux=$work/source/build
cmake -S "$work/source" -B "$linux" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON -DFW_SERVER_BASE_URL="$url" \
    -DFW_SIGNING_KEYS="$signing_keys" >"$work/configure.log" ||
    { cat "$work/configure.log" >&2; exit 1; }
# The keys the release's programs hold, for whoever compares its builds;
# written once the configuration has taken them for public keys.
echo "$signing_keys" >"$work/signing-keys"
nice cmake --build "$linux" --target ql7420-fwupdate ql7420-fwupdate-cli \
    gzip_ql7420-fwupdate.1 gzip_ql7420-fwupdate-cli.1 gzip_changelog >"$work/build.log" ||
    { tail -n 50 "$work/build.log" >&2; exit 1; }
(cd "$linux" && cpack) >"$work/cpack.log" || { cat "$work/cpack.log" >&2; exit 1; }
cp "$linux"/*.deb "$out/"
echo "   built in $(($(date +%s) - began)) s"

echo "== Windows installer and zip, in a Debian 13 tree"
# shellcheck source=debian13-tree.sh
source scripts/debian13-tree.sh
root=$debian13_cache/release-root
debian13_tree "$root"
if [ "$(git -C "$root/root/ql7420-fwupdate" rev-parse HEAD)" != "$commit" ]; then
    echo "release.sh: the Debian 13 tree holds another commit than $commit" >&2
    exit 1
fi
sources=$(qt_windows_sources)
cache=${QL7420_QT_CACHE:-/var/cache/ql7420-fwupdate}
# Empty on a machine that has never built Qt for Windows; filled below.
mkdir -p "$cache"
debian13_binds=("$sources" "$cache" "$keys")
# Quoted for the shell in the tree, which runs as root.
exports="QL7420_QT_CACHE=$(printf %q "$cache")"
for setting in "${inside[@]}"; do
    exports+=" ${setting%%=*}=$(printf %q "${setting#*=}")"
done
debian13_run "$root" "
    export $exports
    bash scripts/build-windows.sh $(printf '%q %q %q' "$sources" "$url" "$signing_keys")
"
cp "$root"/root/ql7420-fwupdate/build-windows/ql7420-fwupdate-*-{setup.exe,windows-x64.zip} "$out/"
# The tree stays, with the Windows build in it, for the Windows lane, which
# proves these very files as installed (test-windows.sh); with the authority
# that verifies their signatures, where one was given.
[ -z "${QL7420_SIGN_CA:-}" ] || cp "$QL7420_SIGN_CA" "$work/signing-authority.pem"

echo "== Checks and checksums"
cd "$out"
# No file under a release name may send the device's users to this machine.
for file in *; do
    case $file in *-test[_-]*)
        echo "   $file: a TEST BUILD for a server on this machine, not for release"
        continue ;;
    esac
    mkdir "$work/look"
    case $file in
        *.deb) dpkg-deb -x "$file" "$work/look" ;;
        *.zip) unzip -q "$file" -d "$work/look" ;;
        *) cp "$file" "$work/look/" ;;
    esac
    python3 ../../scripts/loopback-urls.py "$work/look" ||
        { echo "release.sh: $file holds a loopback URL under a release name" >&2; exit 1; }
    rm -rf "$work/look"
done
sha256sum -- * >SHA256SUMS
if [ -n "${QL7420_GPG_KEY:-}" ]; then
    gpg --batch --yes --armor --detach-sign --local-user "$QL7420_GPG_KEY" \
        --output SHA256SUMS.asc SHA256SUMS
    gpg --batch --verify SHA256SUMS.asc SHA256SUMS 2>"$work/gpg.log" ||
        { cat "$work/gpg.log" >&2; exit 1; }
    echo "   SHA256SUMS signed by $QL7420_GPG_KEY; signature verified"
else
    echo "   SHA256SUMS NOT SIGNED: no OpenPGP key given (--gpg-key)"
fi
if [ -z "${QL7420_SIGN_PKCS12:-}${QL7420_SIGN_CERT:-}" ]; then
    echo "   Windows programs, uninstaller and installer NOT SIGNED: no certificate given"
fi
if [ -n "$signing_keys" ]; then
    echo "   Firmware must be signed with the maker's key: $signing_keys"
else
    echo "   Firmware NOT VERIFIED BY SIGNATURE: no signing key given (--signing-key)"
fi
stat -c "   %10s  %n" -- *
echo "$commit" >"$work/commit"
echo "== Release files of $commit in build/release/: $(($(date +%s) - start)) s"
