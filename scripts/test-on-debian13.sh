#!/bin/bash
# Runs the README's test command on Debian 13 ("trixie") as a new user would
# meet it: in a minimal Debian 13 tree (debootstrap --variant=minbase) with a
# fresh clone of this repository's committed state, as root. Then installs the
# two packages built here on Debian 12 in that tree, starts the installed
# window and command line, has the installed command line check for and
# send the firmware to a simulated device from a test server under the
# firmware server's own name and port (in a network of its own, where the
# tree's /etc/hosts names it 127.0.0.1), and purges both, since one build
# serves both releases.
# The tree, and how it is kept apart from this machine: debian13-tree.sh.
#   scripts/test-on-debian13.sh
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
    echo "test-on-debian13.sh: needs root (debootstrap, chroot and mounts)" >&2
    exit 1
fi

# shellcheck source=debian13-tree.sh
source scripts/debian13-tree.sh
# The packages to try there: built from this tree, on this release. Those of
# other versions that earlier runs left in build/ stay out.
bash scripts/package.sh >/dev/null
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' build/CPackConfig.cmake)
debs=(build/ql7420-fwupdate-cli_"${version}"_amd64.deb build/ql7420-fwupdate_"${version}"_amd64.deb)
ls "${debs[@]}" >/dev/null

server=$(sed -n 's/^FW_SERVER_BASE_URL:STRING=//p' build/CMakeCache.txt)
root=$debian13_cache/root
debian13_tree "$root"
mkdir -m 755 "$root/debs"
cp "${debs[@]}" "$root/debs/"
chmod 644 "$root"/debs/*

start=$(date +%s)
status=0
debian13_run "$root" "server=$server"'
    echo "== Debian $(cat /etc/debian_version): bash scripts/test.sh"
    bash scripts/test.sh

    echo "== The Debian 12 packages on Debian 13: install, start, purge"
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -q /debs/*.deb >/tmp/install.log ||
        { cat /tmp/install.log >&2; exit 1; }
    packages=$(for deb in /debs/*.deb; do dpkg-deb -f "$deb" Package; done | tr "\n" " ")
    mkdir -p /tmp/tool
    QT_QPA_PLATFORM=offscreen TMPDIR=/tmp/tool /usr/bin/ql7420-fwupdate 2>/tmp/tool.log &
    tool=$!
    sleep 3
    if ! kill -0 "$tool" 2>/dev/null; then
        echo "the installed tool ended within 3 s:" >&2
        cat /tmp/tool.log >&2
        exit 1
    fi
    kill "$tool"
    wait "$tool" || true
    /usr/bin/ql7420-fwupdate-cli --version >/tmp/cli.log 2>&1 ||
        { echo "ql7420-fwupdate-cli --version failed:" >&2; cat /tmp/cli.log >&2; exit 1; }
    python3 scripts/loopback-urls.py --expect "$server" /usr/bin/ql7420-fwupdate /usr/bin/ql7420-fwupdate-cli

    echo "== The installed command line and $server, here on 127.0.0.1"
    bash scripts/install-deps.sh --only iproute2 >/tmp/install.log || { cat /tmp/install.log >&2; exit 1; }
    echo "127.0.0.1 $(echo "$server" | sed "s,^[a-z]*://\([^:/]*\).*,\1,")" >>/etc/hosts
    unshare --net bash -c "ip link set lo up && exec python3 - \"\$0\"" "$server" <<"EOF"
import hashlib, json, os, subprocess, sys, tempfile, urllib.parse
url = urllib.parse.urlsplit(sys.argv[1])
site = tempfile.mkdtemp()
image = os.urandom(200000)
with open(site + "/image.ghx", "wb") as out:
    out.write(image)
subprocess.run(["python3", "tools/publish-firmware.py", site + "/image.ghx", "12", site],
               check=True, stdout=subprocess.DEVNULL)
server = subprocess.Popen(["python3", "-u", "tools/fwserver.py", "--port", str(url.port or 80), site],
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
assert server.stdout.readline().startswith("PORT "), "the firmware server did not start"
device = subprocess.Popen(["python3", "-u", "tools/devicesim.py"], stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE, text=True, bufsize=1)
pty = device.stdout.readline().split()[1]
cli = "/usr/bin/ql7420-fwupdate-cli"
check = subprocess.run([cli, "check"], capture_output=True, text=True, timeout=60)
print("   check: " + check.stdout.strip())
update = subprocess.run([cli, "update", "--port", pty, "--yes"], capture_output=True, text=True,
                        timeout=300)
device.stdin.write("report\n")
report = json.loads(device.stdout.readline().partition(" ")[2])
expected = hashlib.md5(image + b"\xff" * (3376 * 64 - len(image))).hexdigest()
print("   update: exit %d, the device holds %s" % (update.returncode, report["imageMd5"]))
device.kill()
server.stdin.close()
server.wait(timeout=10)
if check.returncode != 0 or "K-DMX-47-12" not in check.stdout or update.returncode != 0 \
        or report["imageMd5"] != expected or report["endCommands"] != 1:
    sys.exit("the installed command line failed against the firmware server:\n"
             + check.stderr + update.stdout + update.stderr)
EOF
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 purge -y -q $packages >/tmp/purge.log ||
        { cat /tmp/purge.log >&2; exit 1; }
    for package in $packages; do
        if dpkg-query -W -f="\${Status}" "$package" 2>/dev/null | grep -q installed; then
            echo "$package is still installed after the purge" >&2
            exit 1
        fi
    done
    for path in /usr/bin/ql7420-fwupdate /usr/bin/ql7420-fwupdate-cli /usr/lib/udev/rules.d/70-ql7420.rules; do
        [ ! -e "$path" ] || { echo "$path left behind" >&2; exit 1; }
    done
    echo "   installed, ran and purged: $packages"
' || status=$?
echo "== Debian 13 lane: $(($(date +%s) - start)) s, status $status"
exit "$status"
