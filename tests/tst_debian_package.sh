#!/bin/bash
# Builds the Debian package from the build tree and checks what lintian does
# not: the file list and modes, the Qt and font dependencies, the udev rule's
# tag, the icon and ids the menu entry and AppStream data point at. Then the
# validators and lintian judge it. On a disposable machine, as root, it also
# installs the package, starts the installed tool and removes the package
# again, checking that nothing of it stays behind.
#   tests/tst_debian_package.sh BUILD_DIR WORK_DIR
set -euo pipefail

build=$1
work=$2
package=ql7420-fwupdate
app_id=com.example.ql7420.fwupdate

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
deb=$(echo "$debs"/*.deb)
echo "== $(basename "$deb")"

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
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 purge -y -q "$package" \
        >"$work/purge.log" || { cat "$work/purge.log" >&2; return 1; }
    installed=""
}
trap cleanup EXIT

echo "== File list and modes"
# Directories are all drwxr-xr-x root/root; the files are these.
expected_files="-rwxr-xr-x root/root ./usr/bin/ql7420-fwupdate
-rw-r--r-- root/root ./usr/lib/udev/rules.d/70-ql7420.rules
-rw-r--r-- root/root ./usr/share/applications/$app_id.desktop
-rw-r--r-- root/root ./usr/share/doc/$package/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/$package/copyright
-rw-r--r-- root/root ./usr/share/icons/hicolor/scalable/apps/$app_id.svg
-rw-r--r-- root/root ./usr/share/man/man1/ql7420-fwupdate.1.gz
-rw-r--r-- root/root ./usr/share/metainfo/$app_id.metainfo.xml"
contents=$(dpkg-deb -c "$deb" | awk '{ print $1, $2, $6 }')
files=$(grep -v '^d' <<<"$contents" | sort || true)
expected_files=$(sort <<<"$expected_files")
[ "$files" = "$expected_files" ] ||
    fail "files differ from the expected list:$(diff <(echo "$expected_files") <(echo "$files") | grep '^[<>]')"
odd_folders=$(grep '^d' <<<"$contents" | grep -v '^drwxr-xr-x root/root ' || true)
[ -z "$odd_folders" ] || fail "folder modes or owners: $odd_folders"
for script in postinst postrm; do
    dpkg-deb -I "$deb" "$script" >/dev/null 2>&1 || fail "no $script"
done

echo "== Dependencies"
depends=$(dpkg-deb -f "$deb" Depends)
echo "   $depends"
for needed in libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 libqt6serialport6 \
    "fonts-noto-cjk | fonts-ipafont-gothic"; do
    grep -qF "$needed" <<<"$depends" || fail "Depends lacks $needed"
done

root="$work/root"
dpkg-deb -x "$deb" "$root"

echo "== udev rule"
rule=$(grep -v '^#' "$root/usr/lib/udev/rules.d/70-ql7420.rules")
for match in 'SUBSYSTEM=="tty"' 'ATTRS{idVendor}=="0451"' 'ATTRS{idProduct}=="16aa"' \
    'TAG+="uaccess"' 'ENV{ID_MM_DEVICE_IGNORE}="1"'; do
    grep -qF "$match" <<<"$rule" || fail "udev rule lacks $match"
done

echo "== Menu entry and AppStream data"
desktop="$root/usr/share/applications/$app_id.desktop"
metainfo="$root/usr/share/metainfo/$app_id.metainfo.xml"
icon=$(sed -n 's/^Icon=//p' "$desktop")
compgen -G "$root/usr/share/icons/hicolor/*/apps/$icon.*" >/dev/null ||
    fail "the menu entry's icon '$icon' is not in the package"
exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
[ -x "$root/usr/bin/$exec_name" ] || fail "the menu entry runs '$exec_name', not in /usr/bin"
grep -qF "<id>$app_id</id>" "$metainfo" || fail "the AppStream id is not $app_id"
grep -qF "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" ||
    fail "the AppStream data does not launch $app_id.desktop"
desktop-file-validate "$desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate --no-net"

echo "== lintian"
lintian=(lintian --display-info --fail-on "error,warning" "$deb")
# lintian warns against running as root. As nobody, it also needs a working
# folder it may enter, which a clone in /root is not.
[ "$(id -u)" -eq 0 ] && lintian=(setpriv --reuid=nobody --regid=nogroup --clear-groups
    env HOME="$debs" "${lintian[@]}")
(cd "$debs" && "${lintian[@]}") || fail "lintian reports errors or warnings"
echo "   (end of lintian's output)"

if [ "$(id -u)" -ne 0 ] || [ "${QL7420_DISPOSABLE_MACHINE:-}" != 1 ]; then
    echo "== SKIPPED: installing, starting and removing the package. That step runs only"
    echo "   as root with QL7420_DISPOSABLE_MACHINE=1 (as .ci/run sets it), since it"
    echo "   changes the machine."
    exit $((failures > 0))
fi

echo "== Install"
if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
    fail "$package was installed before the test; remove it first"
    exit 1
fi
installed=yes
DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -q "$deb" \
    >"$work/install.log" || { cat "$work/install.log" >&2; exit 1; }
mapfile -t owned < <(dpkg -L "$package")

echo "== Start the installed tool"
mkdir -p "$work/tmp"
QT_QPA_PLATFORM=offscreen TMPDIR="$work/tmp" /usr/bin/ql7420-fwupdate 2>"$work/tool.log" &
tool_pid=$!
sleep 3
if kill -0 "$tool_pid" 2>/dev/null; then
    echo "   running after 3 s"
    kill "$tool_pid"
else
    fail "the installed tool ended within 3 s:"
    cat "$work/tool.log" >&2
fi
wait "$tool_pid" 2>/dev/null || true
tool_pid=""

echo "== Remove"
purge
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
