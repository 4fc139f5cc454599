#!/bin/bash
# Builds the two Debian packages from the build tree, the command line with
# the udev rule and the window that depends on it, and checks what lintian
# does not: the file lists and modes, the dependencies (no window system and
# no font for the command line), the udev rule's tag, where the maintainer
# scripts are, the bash completion, the icon and ids the menu entry and
# AppStream data point at. Then the validators and lintian judge both. On a
# disposable machine, as root, it also installs the last release of the
# single package, upgrades it to the pair, starts both installed programs and
# purges the pair, checking that nothing of either stays behind.
#   tests/tst_debian_package.sh BUILD_DIR WORK_DIR
set -euo pipefail

build=$1
work=$2
source=$(cd "$(dirname "$0")/.." && pwd)
cli=ql7420-fwupdate-cli
gui=ql7420-fwupdate
app_id=com.example.ql7420.fwupdate
# The release before the split, whose one package held the udev rule.
old_version=1.0.0
old_commit=43a1b5abc4a89ade7576554744465f904f18abcd

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

rm -rf "$work"
mkdir -p "$work"
cpack --config "$build/CPackConfig.cmake" -B "$work/cpack" >"$work/cpack.log" ||
    { cat "$work/cpack.log" >&2; exit 1; }
# Readable by every user: lintian runs as nobody and apt as _apt.
debs=$(mktemp -d)
chmod 755 "$debs"
cp "$work"/cpack/*.deb "$debs/"
cli_deb=$(echo "$debs/${cli}"_*.deb)
gui_deb=$(echo "$debs/${gui}"_*.deb)
for deb in "$cli_deb" "$gui_deb"; do
    [ -f "$deb" ] || { echo "FAIL: cpack made no $(basename "$deb")" >&2; exit 1; }
done
version=$(dpkg-deb -f "$gui_deb" Version)
echo "== $(basename "$cli_deb") $(basename "$gui_deb")"
[ "$(dpkg-deb -f "$cli_deb" Version)" = "$version" ] || fail "the two packages' versions differ"

installed=""
tool_pid=""
# shellcheck disable=SC2317  # run by the EXIT trap
cleanup() {
    [ -n "$tool_pid" ] && kill "$tool_pid" 2>/dev/null
    [ -n "$installed" ] && purge
    rm -rf "$debs"
}
# shellcheck disable=SC2317  # also run by the EXIT trap
purge() {
    local present
    mapfile -t present < <(known "$cli" "$gui")
    [ ${#present[@]} -eq 0 ] ||
        DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 purge -y -q "${present[@]}" \
            >"$work/purge.log" || { cat "$work/purge.log" >&2; return 1; }
    installed=""
}
# known PACKAGE...: those that dpkg has in any state but not-installed.
known() {
    { dpkg-query -W -f='${Package} ${db:Status-Abbrev}\n' "$@" 2>/dev/null || true; } |
        awk '$2 !~ /^.n/ { print $1 }'
}
trap cleanup EXIT

echo "== File lists and modes"
# check_files DEB EXPECTED: directories are all drwxr-xr-x root/root; the
# files are exactly EXPECTED.
check_files() {
    local contents files expected
    contents=$(dpkg-deb -c "$1" | awk '{ print $1, $2, $6 }')
    files=$(grep -v '^d' <<<"$contents" | sort || true)
    expected=$(sort <<<"$2")
    [ "$files" = "$expected" ] ||
        fail "$(basename "$1"): files differ from the expected list:$(diff <(echo "$expected") <(echo "$files") | grep '^[<>]')"
    local odd_folders
    odd_folders=$(grep '^d' <<<"$contents" | grep -v '^drwxr-xr-x root/root ' || true)
    [ -z "$odd_folders" ] || fail "$(basename "$1"): folder modes or owners: $odd_folders"
}
check_files "$cli_deb" "-rwxr-xr-x root/root ./usr/bin/$cli
-rw-r--r-- root/root ./usr/lib/udev/rules.d/70-ql7420.rules
-rw-r--r-- root/root ./usr/share/bash-completion/completions/$cli
-rw-r--r-- root/root ./usr/share/doc/$cli/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/$cli/copyright
-rw-r--r-- root/root ./usr/share/man/man1/$cli.1.gz
-rw-r--r-- root/root ./usr/share/metainfo/$app_id.cli.metainfo.xml"
check_files "$gui_deb" "-rwxr-xr-x root/root ./usr/bin/$gui
-rw-r--r-- root/root ./usr/share/applications/$app_id.desktop
-rw-r--r-- root/root ./usr/share/doc/$gui/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/$gui/copyright
-rw-r--r-- root/root ./usr/share/icons/hicolor/scalable/apps/$app_id.svg
-rw-r--r-- root/root ./usr/share/man/man1/$gui.1.gz
-rw-r--r-- root/root ./usr/share/metainfo/$app_id.metainfo.xml"

echo "== Maintainer scripts"
# The udev rule's package refreshes udev; the window's package has nothing to do.
for script in postinst postrm; do
    dpkg-deb -I "$cli_deb" "$script" >/dev/null 2>&1 || fail "$cli has no $script"
done
for script in preinst postinst prerm postrm; do
    ! dpkg-deb -I "$gui_deb" "$script" >/dev/null 2>&1 || fail "$gui has a $script"
done

echo "== Dependencies"
cli_depends=$(dpkg-deb -f "$cli_deb" Depends)
gui_depends=$(dpkg-deb -f "$gui_deb" Depends)
echo "   $cli: $cli_depends"
echo "   $gui: $gui_depends"
for needed in libqt6core6 libqt6network6 libqt6serialport6 libqt6dbus6; do
    grep -qF "$needed" <<<"$cli_depends" || fail "$cli: Depends lacks $needed"
done
# A service PC without a desktop installs the command line alone.
for unwanted in libqt6gui6 libqt6widgets6 font; do
    ! grep -qF "$unwanted" <<<"$cli_depends" || fail "$cli: Depends has $unwanted"
done
# A build without the maker's keys never verifies a signature, and ships
# nothing to verify one with.
if grep -q "^FW_SIGNING_KEYS:STRING=$" "$build/CMakeCache.txt"; then
    for deb in "$cli_deb" "$gui_deb"; do
        ! dpkg-deb -f "$deb" Depends | grep -qF libsodium ||
            fail "$(basename "$deb"): Depends has libsodium in a build without signing keys"
    done
fi
for needed in "$cli (= $version)" libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 \
    libqt6serialport6 libqt6dbus6 "fonts-noto-cjk | fonts-ipafont-gothic"; do
    grep -qF "$needed" <<<"$gui_depends" || fail "$gui: Depends lacks $needed"
done
# The udev rule moved from the window's package to the command line's.
for field in Replaces Breaks; do
    grep -qF "$gui (<< 1.1.0)" <<<"$(dpkg-deb -f "$cli_deb" "$field")" ||
        fail "$cli: $field lacks $gui (<< 1.1.0)"
done

cli_root="$work/root-cli"
gui_root="$work/root-gui"
dpkg-deb -x "$cli_deb" "$cli_root"
dpkg-deb -x "$gui_deb" "$gui_root"

echo "== udev rule"
rule=$(grep -v '^#' "$cli_root/usr/lib/udev/rules.d/70-ql7420.rules")
for match in 'SUBSYSTEM=="tty"' 'ATTRS{idVendor}=="0451"' 'ATTRS{idProduct}=="16aa"' \
    'TAG+="uaccess"' 'ENV{ID_MM_DEVICE_IGNORE}="1"'; do
    grep -qF "$match" <<<"$rule" || fail "udev rule lacks $match"
done

echo "== Hardening"
# lintian only mentions these, as information.
for binary in "$cli_root/usr/bin/$cli" "$gui_root/usr/bin/$gui"; do
    name=$(basename "$binary")
    elf=$(readelf -lW -dW --dyn-syms "$binary")
    grep -q GNU_RELRO <<<"$elf" || fail "$name: no read-only relocations (relro)"
    grep -q 'FLAGS_1.*NOW' <<<"$elf" || fail "$name: not bound at start (bindnow)"
    grep -q __stack_chk_fail <<<"$elf" || fail "$name: no stack protector"
done

echo "== Manual pages and bash completion"
for page in "$cli_root/usr/share/man/man1/$cli.1.gz" "$gui_root/usr/share/man/man1/$gui.1.gz"; do
    warnings=$(LC_ALL=C.UTF-8 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null) ||
        fail "man cannot format $(basename "$page")"
    [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
done
completion="$cli_root/usr/share/bash-completion/completions/$cli"
bash -n "$completion" || fail "bash -n $completion"
# complete_words WORD...: what the completion offers for the last word.
complete_words() {
    # shellcheck disable=SC2016  # expanded by the inner bash
    bash -c 'source "$1"; shift
        function=$(complete -p "$1" | sed -n "s/.* -F \([^ ]*\) .*/\1/p")
        COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
        "$function" "$1" "${!#}" "${COMP_WORDS[COMP_CWORD - 1]}"
        echo "${COMPREPLY[*]}"' _ "$completion" "$cli" "$@"
}
[ "$(complete_words "")" = "check list update fetch --json --help --version" ] ||
    fail "completion of a first word: $(complete_words "")"
[ "$(complete_words update --)" = "--port --all --yes --watch --count --from --allow-older --json --help --version" ] ||
    fail "completion of update's options: $(complete_words update --)"
[ "$(complete_words list --v)" = "--versions --version" ] ||
    fail "completion of list's options: $(complete_words list --v)"

echo "== Menu entry and AppStream data"
desktop="$gui_root/usr/share/applications/$app_id.desktop"
metainfo="$gui_root/usr/share/metainfo/$app_id.metainfo.xml"
icon=$(sed -n 's/^Icon=//p' "$desktop")
compgen -G "$gui_root/usr/share/icons/hicolor/*/apps/$icon.*" >/dev/null ||
    fail "the menu entry's icon '$icon' is not in the package"
exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
[ -x "$gui_root/usr/bin/$exec_name" ] || fail "the menu entry runs '$exec_name', not in /usr/bin"
grep -qF "<id>$app_id</id>" "$metainfo" || fail "the AppStream id is not $app_id"
grep -qF "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" ||
    fail "the AppStream data does not launch $app_id.desktop"
desktop-file-validate "$desktop" || fail "desktop-file-validate"
for data in "$metainfo" "$cli_root/usr/share/metainfo/$app_id.cli.metainfo.xml"; do
    appstreamcli validate --no-net "$data" || fail "appstreamcli validate --no-net $(basename "$data")"
done

echo "== lintian"
lintian=(lintian --display-info --fail-on "error,warning" "$cli_deb" "$gui_deb")
# lintian warns against running as root. As nobody, it also needs a working
# folder it may enter, which a clone in /root is not.
[ "$(id -u)" -eq 0 ] && lintian=(setpriv --reuid=nobody --regid=nogroup --clear-groups
    env HOME="$debs" "${lintian[@]}")
(cd "$debs" && "${lintian[@]}") || fail "lintian reports errors or warnings"
echo "   (end of lintian's output)"

if [ "$(id -u)" -ne 0 ] || [ "${QL7420_DISPOSABLE_MACHINE:-}" != 1 ]; then
    echo "== SKIPPED: installing $old_version, upgrading to $version, starting and removing the"
    echo "   packages. That step runs only as root with QL7420_DISPOSABLE_MACHINE=1 (as .ci/run"
    echo "   sets it), since it changes the machine."
    exit $((failures > 0))
fi

left=$(known "$cli" "$gui")
if [ -n "$left" ]; then
    fail "installed before the test, purge first: $left"
    exit 1
fi

echo "== Build $old_version from ${old_commit:0:7}"
# Only what its package holds, so that this stays a fraction of the test.
started=$SECONDS
old="$work/old"
git clone --quiet --no-checkout "$source" "$old/source"
git -C "$old/source" -c advice.detachedHead=false checkout --quiet "$old_commit"
{
    cmake -S "$old/source" -B "$old/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON &&
        cmake --build "$old/build" --target "$gui" gzip_changelog "gzip_$gui.1" &&
        cpack --config "$old/build/CPackConfig.cmake" -B "$old/cpack"
} >"$old/build.log" 2>&1 || { tail -n 40 "$old/build.log" >&2; exit 1; }
old_deb="$debs/${gui}_${old_version}_amd64.deb"
cp "$old/cpack/${gui}_${old_version}"_*.deb "$old_deb"
echo "   $((SECONDS - started)) s"

echo "== Install $old_version"
installed=yes
DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -q "$old_deb" \
    >"$work/install-old.log" || { cat "$work/install-old.log" >&2; exit 1; }
[ "$(dpkg-query -W -f='${Version}' "$gui")" = "$old_version" ] || fail "$gui $old_version not installed"
mapfile -t owned < <(dpkg -L "$gui")

echo "== Upgrade to $version, both packages"
DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -q "$cli_deb" "$gui_deb" \
    >"$work/install.log" || { cat "$work/install.log" >&2; exit 1; }
for package in "$cli" "$gui"; do
    [ "$(dpkg-query -W -f='${Status} ${Version}' "$package")" = "install ok installed $version" ] ||
        fail "$package $version is not installed"
    mapfile -t -O "${#owned[@]}" owned < <(dpkg -L "$package")
done
rule_owner=$(dpkg-query -S /usr/lib/udev/rules.d/70-ql7420.rules | cut -d: -f1)
[ "$rule_owner" = "$cli" ] || fail "the udev rule belongs to '$rule_owner', not $cli"

echo "== Start the installed programs"
mkdir -p "$work/tmp"
QT_QPA_PLATFORM=offscreen TMPDIR="$work/tmp" /usr/bin/$gui 2>"$work/tool.log" &
tool_pid=$!
sleep 3
if kill -0 "$tool_pid" 2>/dev/null; then
    echo "   the window is running after 3 s"
    kill "$tool_pid"
else
    fail "the installed window ended within 3 s:"
    cat "$work/tool.log" >&2
fi
wait "$tool_pid" 2>/dev/null || true
tool_pid=""
if cli_version=$(/usr/bin/$cli --version 2>&1); then
    echo "   $cli --version: $cli_version"
    grep -qF "$version" <<<"$cli_version" || fail "$cli --version does not say $version"
else
    fail "$cli --version failed: $cli_version"
fi

echo "== Remove"
purge
left=$(known "$cli" "$gui")
[ -z "$left" ] || fail "still installed or configured after the purge: $left"
for path in "${owned[@]}"; do
    [ -e "$path" ] || continue
    # Folders shared with other packages stay.
    if [ -d "$path" ] && { dpkg-query -S "$path" >/dev/null 2>&1 || [ -n "$(ls -A "$path")" ]; }; then
        continue
    fi
    fail "left behind: $path"
done
echo "   ${#owned[@]} paths checked"
exit $((failures > 0))
