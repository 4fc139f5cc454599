# Sourced by the scripts that work in a minimal Debian 13 ("trixie") tree
# (debootstrap --variant=minbase), as root on this machine.
#
# debian13_tree ROOT: a fresh copy of the bare tree at ROOT, with a clone of
#   this repository's committed state in /root/ql7420-fwupdate. The bare
#   tree is kept in build/debian13/base and made again once it is a week
#   old; every run works on a copy, so that nothing one run installs leaks
#   into the next.
# debian13_run ROOT SCRIPT: runs the bash text SCRIPT as root in the tree,
#   in a private mount and process namespace: everything mounted for it is
#   gone, and every process left inside is ended, when it ends, on failure
#   and on interrupt as well. Downloaded packages are kept for the next run
#   on this machine. Host folders named in the array debian13_binds are
#   mounted at the same path inside.

# The archives come from this machine's own apt sources (deb822 .sources
# files, or sources.list), so that a machine behind a company mirror builds
# the tree from that mirror; QL7420_DEBIAN_MIRROR and
# QL7420_DEBIAN_SECURITY_MIRROR override them. An apt proxy the machine
# has is used for the tree, and kept in it.

debian13_cache=$(pwd)/build/debian13
debian13_binds=()

# apt_source_suites: "URI SUITE", one a line, for every enabled binary
# source of this machine, in the order apt reads them.
apt_source_suites() {
    local file
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -e "$file" ] || continue
        awk '$1 == "deb" {
                 i = 2
                 if ($i ~ /^\[/) { while ($i !~ /\]$/ && i < NF) i++; i++ }
                 print $i, $(i + 1)
             }' "$file"
    done
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -e "$file" ] || continue
        awk 'function stanza(   u, s, nu, ns, i, j) {
                 if (" " fields["types"] " " ~ / deb / && tolower(fields["enabled"]) != "no") {
                     nu = split(fields["uris"], u, " ")
                     ns = split(fields["suites"], s, " ")
                     for (i = 1; i <= nu; i++)
                         for (j = 1; j <= ns; j++)
                             print u[i], s[j]
                 }
                 delete fields
             }
             /^#/ { next }
             /^[ \t]*$/ { stanza(); next }
             /^[ \t]/ { fields[key] = fields[key] " " $0; next }
             {
                 key = tolower(substr($0, 1, index($0, ":") - 1))
                 fields[key] = substr($0, index($0, ":") + 1)
                 gsub(/^[ \t]+|[ \t]+$/, "", fields[key])
             }
             END { stanza() }' "$file"
    done
}

# apt_archive KIND: the machine's main archive (KIND main) or security
# archive (KIND security), without a trailing slash; nothing if it has none.
# A mirror list (mirror+file:, as cloud images have) gives its first mirror.
apt_archive() {
    local uri
    uri=$(apt_source_suites | awk -v kind="$1" '
        ($2 ~ /-security$|\/updates$/) == (kind == "security") { print $1; exit }')
    case $uri in
    mirror+file:*) uri=$(awk '$1 ~ /^[a-z]+:\/\// { print $1; exit }' "${uri#mirror+file:}") ;;
    esac
    echo "${uri%/}"
}

# debian13_archives: "MAIN SECURITY", the archives the tree is made from;
# SECURITY is "-" where there is none.
debian13_archives() {
    local main security
    main=${QL7420_DEBIAN_MIRROR:-$(apt_archive main)}
    security=${QL7420_DEBIAN_SECURITY_MIRROR:-$(apt_archive security)}
    if [ -z "$main" ]; then
        echo "no Debian archive in this machine's apt sources; set QL7420_DEBIAN_MIRROR" \
            "to the URL of one (the folder that holds dists/ and pool/)" >&2
        return 1
    fi
    echo "${main%/} ${security:--}"
}

debian13_tree() {
    local root=$1 base=$debian13_cache/base archives main security proxy=""
    bash scripts/install-deps.sh --only debootstrap git
    mkdir -p "$debian13_cache/apt-archives"
    archives=$(debian13_archives)
    read -r main security <<<"$archives"
    eval "$(apt-config shell proxy Acquire::http::Proxy)"
    # Trees made at once (CI's early Windows build beside a lane) are copied
    # from one bare tree, made by the first of them.
    exec 8>"$debian13_cache/base.lock"
    flock 8
    if [ ! -e "$base/.complete" ] || [ -n "$(find "$base/.complete" -mtime +7)" ] ||
        [ "$(cat "$base/.complete")" != "$archives" ]; then
        echo "== Making a minimal Debian 13 tree in $base from $main"
        rm -rf "$base"
        http_proxy=${http_proxy:-$proxy} \
            debootstrap --variant=minbase trixie "$base" "$main" \
            >"$debian13_cache/debootstrap.log" ||
            { tail -n 30 "$debian13_cache/debootstrap.log" >&2; return 1; }
        # Updates and security fixes, as an installed Debian 13 has them.
        {
            echo "deb $main trixie main"
            echo "deb $main trixie-updates main"
            if [ "$security" != - ]; then
                echo "deb $security trixie-security main"
            else
                echo "== No security archive in this machine's apt sources; the tree" \
                    "goes without security fixes (QL7420_DEBIAN_SECURITY_MIRROR names one)" >&2
            fi
        } >"$base/etc/apt/sources.list"
        if [ -n "$proxy" ]; then
            echo "Acquire::http::Proxy \"$proxy\";" >"$base/etc/apt/apt.conf.d/01proxy"
        fi
        echo "$archives" >"$base/.complete"
    fi
    echo "== Fresh copy of the tree, with a clone of $(git rev-parse --short HEAD)"
    rm -rf "$root"
    cp -a "$base" "$root"
    exec 8>&-
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    git clone --quiet "$(pwd)" "$root/root/ql7420-fwupdate"
}

debian13_inside() {
    set -euo pipefail
    local root=$1 script=$2 folder
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
    mount --bind "$debian13_cache/apt-archives" "$root/var/cache/apt/archives"
    for folder in $DEBIAN13_BINDS; do
        mkdir -p "$root$folder"
        mount --bind "$folder" "$root$folder"
    done

    chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        QL7420_DISPOSABLE_MACHINE=1 \
        /bin/bash -euo pipefail -c "cd /root/ql7420-fwupdate; $script"
}

debian13_run() {
    local folder
    for folder in "${debian13_binds[@]}"; do
        case $folder in /*[[:space:]]* | [!/]*)
            echo "debian13_run: $folder: give an absolute path without spaces" >&2
            return 1 ;;
        esac
    done
    DEBIAN13_BINDS="${debian13_binds[*]}" debian13_cache=$debian13_cache \
        unshare --mount --pid --fork --propagation private \
        bash -c "$(declare -f debian13_inside); debian13_inside \"\$@\"" debian13 "$1" "$2"
}

# qt_windows_sources: prints the folder of the Qt 6.8.0 sources for the
# Windows build: $QL7420_QT_SOURCES, or third_party/qt/ in the shared folder
# beside this repository or beside the one it was cloned from.
qt_windows_sources() {
    local candidate origin
    if [ -n "${QL7420_QT_SOURCES:-}" ]; then
        echo "$QL7420_QT_SOURCES"
        return
    fi
    origin=$(git config --get remote.origin.url || true)
    for candidate in "$(pwd)/../shared/third_party/qt" "$origin/../shared/third_party/qt"; do
        if [ -e "$candidate/qtbase-6.8.0-b839e9b3.tar.xz" ]; then
            (cd "$candidate" && pwd)
            return
        fi
    done
    echo "no Qt 6.8.0 sources found; set QL7420_QT_SOURCES to the folder" \
        "with qtbase-6.8.0-b839e9b3.tar.xz and qtserialport-6.8.0.tar.xz" >&2
    return 1
}
