#!/bin/bash
# Runs the README's test command on Debian 13 ("trixie") as a new user would
# meet it: in a minimal Debian 13 tree (debootstrap --variant=minbase) with a
# fresh clone of this repository's committed state, as root. Then installs the
# two packages built here on Debian 12 in that tree, starts the installed
# window and command line and purges both, since one build serves both
# releases.
#
# The bare tree is kept in build/debian13/ and made again once it is a week
# old; every run works on a copy of it, so that nothing one run installs
# leaks into the next. Everything mounted for the tree lives in a private
# mount and process namespace: it is gone, and every process left inside is
# ended, when the run ends, on failure and on interrupt as well.
#   scripts/test-on-debian13.sh
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

if [ "$(id -u)" -ne 0 ]; then
    echo "test-on-debian13.sh: needs root (debootstrap, chroot and mounts)" >&2
    exit 1
fi

bash scripts/install-deps.sh debootstrap
# The packages to try there: built from this tree, on this release. Those of
# other versions that earlier runs left in build/ stay out.
bash scripts/package.sh >/dev/null
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' build/CPackConfig.cmake)
debs=(build/ql7420-fwupdate-cli_"${version}"_amd64.deb build/ql7420-fwupdate_"${version}"_amd64.deb)
ls "${debs[@]}" >/dev/null

cache=$repo/build/debian13
base=$cache/base
root=$cache/root
mkdir -p "$cache"

if [ ! -e "$base/.complete" ] || [ -n "$(find "$base/.complete" -mtime +7)" ]; then
    echo "== Making a minimal Debian 13 tree in $base"
    rm -rf "$base"
    debootstrap --variant=minbase trixie "$base" http://deb.debian.org/debian >"$cache/debootstrap.log" ||
        { tail -n 30 "$cache/debootstrap.log" >&2; exit 1; }
    # Updates and security fixes, as an installed Debian 13 has them.
    cat >"$base/etc/apt/sources.list" <<'EOF'
deb http://deb.debian.org/debian trixie main
deb http://deb.debian.org/debian trixie-updates main
deb http://deb.debian.org/debian-security trixie-security main
EOF
    touch "$base/.complete"
fi

echo "== Fresh copy of the tree, with a clone of $(git rev-parse --short HEAD)"
rm -rf "$root"
cp -a "$base" "$root"
cp /etc/resolv.conf "$root/etc/resolv.conf"
git clone --quiet "$repo" "$root/root/ql7420-fwupdate"
mkdir -m 755 "$root/debs"
cp "${debs[@]}" "$root/debs/"
chmod 644 "$root"/debs/*
# Downloaded packages are kept for the next run on this machine.
mkdir -p "$cache/apt-archives"

# Inside the namespaces: mounts only the tree sees, then the tests.
inside() {
    set -euo pipefail
    mount -t proc proc "$root/proc"
    mount -t sysfs -o ro sysfs "$root/sys"
    # A /dev of its own: the usual nodes, and ptys from a devpts instance
    # that the host's terminals are not part of.
    mount -t tmpfs -o mode=755,nosuid dev "$root/dev"
    for node in null zero full random urandom tty; do
        touch "$root/dev/$node"
        mount --bind "/dev/$node" "$root/dev/$node"
    done
    mkdir "$root/dev/pts" "$root/dev/shm"
    mount -t devpts -o newinstance,ptmxmode=0666,mode=620,gid=5 devpts "$root/dev/pts"
    ln -s pts/ptmx "$root/dev/ptmx"
    ln -s /proc/self/fd "$root/dev/fd"
    ln -s /proc/self/fd/0 "$root/dev/stdin"
    ln -s /proc/self/fd/1 "$root/dev/stdout"
    ln -s /proc/self/fd/2 "$root/dev/stderr"
    mount -t tmpfs -o mode=1777,nosuid,nodev shm "$root/dev/shm"
    mount -t tmpfs -o mode=755,nosuid,nodev run "$root/run"
    mount --bind "$cache/apt-archives" "$root/var/cache/apt/archives"

    chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        QL7420_DISPOSABLE_MACHINE=1 /bin/bash -euo pipefail -c '
        echo "== Debian $(cat /etc/debian_version): bash scripts/test.sh"
        cd /root/ql7420-fwupdate
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
    '
}

export root cache
export -f inside
start=$(date +%s)
status=0
unshare --mount --pid --fork --propagation private bash -c inside || status=$?
echo "== Debian 13 lane: $(($(date +%s) - start)) s, status $status"
exit "$status"
