# Sourced by build-qt-windows.sh and build-libsodium-windows.sh, which keep
# what they build for Windows in a cache outside the clone, in a folder
# named after everything the build is made from, and reuse it while that
# stays the same. The cache's parent folder is $QL7420_QT_CACHE, by default
# /var/cache/ql7420-fwupdate as root and ~/.cache/ql7420-fwupdate otherwise.
# The sourcing script defines say and fail.
#
# cache_open LABEL NAME: sets cache to the folder NAME in the cache. Where
#   a complete build is there already, prints its path on stdout and ends
#   the script; otherwise starts the folder afresh, with work/ in it for
#   the build's own files. One build of a folder at a time: a second run
#   (the release while CI's early build is still at work) waits for the
#   first, then takes its result.
# step NAME COMMAND...: runs a step of the build, its output in a log of
#   its own, shown in part only if it fails.
# cache_close LABEL: marks the build complete and prints its path on stdout.

if [ "$(id -u)" -eq 0 ]; then
    cache_root=${QL7420_QT_CACHE:-/var/cache/ql7420-fwupdate}
else
    cache_root=${QL7420_QT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/ql7420-fwupdate}
fi

cache_open() {
    local label=$1
    cache=$cache_root/$2
    mkdir -p "$cache_root"
    exec 9>"$cache.lock"
    flock -n 9 || { say "waiting for another run's build of $cache"; flock 9; }
    if [ -e "$cache/.complete" ]; then
        say "$label from the cache"
        echo "$cache"
        exit 0
    fi
    say "building $label into $cache"
    rm -rf "$cache"
    work=$cache/work
    mkdir -p "$work"
    cache_began=$(date +%s)
}

step() {
    local name=$1 log=$work/$1.log began
    shift
    began=$(date +%s)
    "$@" >"$log" 2>&1 || { tail -n 40 "$log" >&2; fail "$name failed (log: $log)"; }
    say "$name: $(($(date +%s) - began)) s"
}

cache_close() {
    rm -rf "$work"
    touch "$cache/.complete"
    say "$1 built in $(($(date +%s) - cache_began)) s"
    echo "$cache"
}
