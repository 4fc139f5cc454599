#!/bin/bash
# Makes the Debian 12 and Debian 13 guests of the Linux guests lane, as root:
# for each, a root file system image (ext4, made from a debootstrap tree with
# mke2fs -d, never mounted) and its release's own kernel and initramfs, for
# qemu -kernel/-initrd. Only Debian packages go in, from this machine's own
# apt sources (see debian13-tree.sh), with the runtime dependencies of the
# given packages; the packages themselves are installed at each boot, so
# that a new build of them needs no new guest.
#   scripts/build-linux-guests.sh DEB...
# Without DEB it makes the bare trees only, the part that takes long.
# Prints, for each release, "guest RELEASE FOLDER". The guests are kept
# outside the clone, in $QL7420_GUEST_CACHE (default
# /var/cache/ql7420-fwupdate/guests), named by a digest of what goes into
# them (this script, the archives and the packages' dependencies), so that
# every clone on this machine shares them; a build takes a lock, so a second
# one waits for the first and takes its result.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
    echo "build-linux-guests.sh: needs root (debootstrap and chroot)" >&2
    exit 1
fi

# shellcheck source=debian13-tree.sh
source scripts/debian13-tree.sh
cache=${QL7420_GUEST_CACHE:-/var/cache/ql7420-fwupdate/guests}
mkdir -p "$cache/apt-archives"
bash scripts/install-deps.sh --only debootstrap e2fsprogs >/dev/null

# What a desktop PC with the packages has that the lane looks at: systemd
# with udev and logind, polkit, ModemManager, an X server for the window,
# getfacl for the port's access list. The font satisfies the window's font
# dependency with the smaller of its two choices.
packages="linux-image-amd64 systemd systemd-sysv udev dbus libpam-systemd polkitd
    modemmanager xvfb xauth acl python3 kmod procps fonts-ipafont-gothic"
# Every dependency of the given packages but their own pair.
depends=$(for deb in "$@"; do dpkg-deb -f "$deb" Depends; done |
    tr ',' '\n' | sed 's/^ *//; /^ql7420-/d' | sort -u | paste -sd, -)
archives=$(debian13_archives)
read -r main security <<<"$archives"
eval "$(apt-config shell proxy Acquire::http::Proxy)"
proxy=${proxy:-}

# The first line the lane runs in the guest, at every boot: it mounts the
# host's folder and hands over to the scenario there, and powers off
# whatever happens.
read -r -d '' unit <<'EOF' || true
[Unit]
Description=QL-7420 Linux guests lane: the scenario from the host
# What a PC has running by the time a user plugs a device in; not after
# multi-user.target, which waits for the units it wants.
After=systemd-user-sessions.service systemd-logind.service dbus.service polkit.service
After=ModemManager.service systemd-udev-settle.service getty@tty1.service
[Service]
Type=oneshot
StandardOutput=journal+console
StandardError=journal+console
ExecStart=/bin/sh -c 'mkdir -p /lane && mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 lane /lane && exec /bin/bash /lane/guest/boot.sh'
ExecStopPost=/bin/systemctl --no-block poweroff
[Install]
WantedBy=multi-user.target
EOF

# bare_tree RELEASE SUITE: prints the folder of a tree with the packages
# above, made once for each digest of them and kept for a week (then made
# again, with the archive's updates), so that new dependencies of our
# packages need no new debootstrap.
bare_tree() {
    local release=$1 suite=$2 digest folder
    digest=$(printf '%s\n' "$release" "$archives" "$proxy" "$packages" | sha256sum | cut -c1-16)
    folder=$cache/$release-bare-$digest
    exec 8>"$folder.lock"
    flock 8
    if [ ! -e "$folder/.complete" ] || [ -n "$(find "$folder/.complete" -mtime +7)" ]; then
        rm -rf "$folder"
        mkdir -p "$folder"
        echo "== Making a bare Debian $release tree in $folder from $main" >&2
        http_proxy=${http_proxy:-$proxy} debootstrap --variant=minbase \
            --cache-dir="$cache/apt-archives" "$suite" "$folder/tree" "$main" \
            >"$folder/debootstrap.log" 2>&1 ||
            { tail -n 30 "$folder/debootstrap.log" >&2; return 1; }
        {
            echo "deb $main $suite main"
            echo "deb $main $suite-updates main"
            [ "$security" = - ] || echo "deb $security $suite-security main"
        } >"$folder/tree/etc/apt/sources.list"
        [ -z "$proxy" ] ||
            echo "Acquire::http::Proxy \"$proxy\";" >"$folder/tree/etc/apt/apt.conf.d/01proxy"
        in_tree "$folder/tree" "
            apt-get update -q >/dev/null
            apt-get install -y -q --no-install-recommends $(echo $packages) >/tmp/install.log ||
                { tail -n 40 /tmp/install.log >&2; exit 1; }
            useradd --create-home --shell /bin/bash tech
            passwd --delete root >/dev/null
            " >"$folder/install.log" 2>&1 || { tail -n 40 "$folder/install.log" >&2; return 1; }
        date +%s >"$folder/.complete"
    fi
    exec 8>&-
    echo "$folder/tree"
}

# in_tree TREE SCRIPT: runs SCRIPT as root in TREE, with the apt cache shared.
in_tree() {
    cp /etc/resolv.conf "$1/etc/resolv.conf"
    mkdir -p "$1/root/ql7420-fwupdate"
    debian13_cache=$cache debian13_run "$1" "export DEBIAN_FRONTEND=noninteractive; $2"
    rmdir "$1/root/ql7420-fwupdate"
    : >"$1/etc/resolv.conf"
}

build_guest() {
    local release=$1 suite=$2 digest folder tree bare start
    start=$(date +%s)
    bare=$(bare_tree "$release" "$suite")
    # A bare tree made again makes its guests again.
    digest=$(printf '%s\n' "$bare" "$depends" | cat - "$(dirname "$bare")/.complete" "$0" |
        sha256sum | cut -c1-16)
    folder=$cache/$release-$digest
    exec 9>"$folder.lock"
    flock 9
    if [ -e "$folder/.complete" ]; then
        echo "guest $release $folder"
        exec 9>&-
        return
    fi
    rm -rf "$folder"
    mkdir -p "$folder"
    tree=$folder/tree
    echo "== Making the Debian $release guest in $folder" >&2
    # Under the bare tree's lock: another build may be making it again.
    flock "$(dirname "$bare").lock" cp -a "$bare" "$tree"
    in_tree "$tree" "
        apt-get satisfy -y -q --no-install-recommends '$depends' >/tmp/install.log ||
            { tail -n 40 /tmp/install.log >&2; exit 1; }
        apt-get clean
        " >"$folder/install.log" 2>&1 || { tail -n 40 "$folder/install.log" >&2; return 1; }
    echo "$unit" >"$tree/etc/systemd/system/ql7420-lane.service"
    ln -sf /etc/systemd/system/ql7420-lane.service \
        "$tree/etc/systemd/system/multi-user.target.wants/ql7420-lane.service"
    # tech logs in on tty1 by itself: a real session on seat0.
    mkdir -p "$tree/etc/systemd/system/getty@tty1.service.d"
    printf '[Service]\nExecStart=\nExecStart=-/sbin/agetty --autologin tech --noclear %%I $TERM\n' \
        >"$tree/etc/systemd/system/getty@tty1.service.d/autologin.conf"
    # Nothing that would only slow the boot down or change the guest behind
    # the lane's back.
    for unit_name in apt-daily.timer apt-daily-upgrade.timer man-db.timer e2scrub_all.timer \
        fstrim.timer systemd-timesyncd.service serial-getty@ttyS0.service; do
        ln -sf /dev/null "$tree/etc/systemd/system/$unit_name"
    done
    echo "/dev/vda / ext4 rw,errors=remount-ro 0 1" >"$tree/etc/fstab"
    echo "guest-$release" >"$tree/etc/hostname"
    # The configured firmware server's name, answered by the lane's own server.
    echo "127.0.0.1 firmware.example.com" >>"$tree/etc/hosts"
    : >"$tree/etc/resolv.conf"
    local kernel
    kernel=$(basename "$(ls "$tree"/boot/vmlinuz-*)")
    cp "$tree/boot/$kernel" "$folder/vmlinuz"
    cp "$tree/boot/initrd.img-${kernel#vmlinuz-}" "$folder/initrd.img"
    # Room to spare for the packages installed at boot and the scenario's files.
    mke2fs -q -t ext4 -L root -d "$tree" "$folder/root.img" \
        "$(($(du -sm "$tree" | cut -f1) + 1024))M" >"$folder/mke2fs.log" 2>&1 ||
        { cat "$folder/mke2fs.log" >&2; return 1; }
    rm -rf "$tree"
    echo "$(date +%s) $(($(date +%s) - start))" >"$folder/.complete"
    echo "== The Debian $release guest took $(($(date +%s) - start)) s" >&2
    echo "guest $release $folder"
    exec 9>&-
}

# Without packages, the bare trees only: CI makes them while it builds.
if [ $# -eq 0 ]; then
    bare_tree 12 bookworm >/dev/null
    bare_tree 13 trixie >/dev/null
    exit
fi
build_guest 12 bookworm
build_guest 13 trixie
