#!/bin/bash
# Shows the tool's whole course on any machine: builds everything, publishes
# a sample firmware image on a loopback firmware server, starts the device
# simulator on a pseudo-terminal, and runs the demo build of the tool, which
# finds the "device", shows the versions, updates it and says what it sees.
# Without a display it runs under Xvfb (or Qt's offscreen platform) and keeps
# screenshots of each step.
#   bash scripts/run.sh        the window
#   bash scripts/run.sh cli    the command line, updating three simulated
#                              devices at once
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
mode=${1:-window}
if [ "$mode" != window ] && [ "$mode" != cli ]; then
    echo "usage: $0 [cli]" >&2
    exit 2
fi

extra=(qt6-qpa-plugins fontconfig)
if [ "$mode" = window ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    extra+=(xvfb xauth)
fi
bash scripts/install-deps.sh "${extra[@]}"
# Without a Japanese font every label and box shows empty squares.
if [ "$mode" = window ] && ! fc-list :lang=ja | grep -q .; then
    bash scripts/install-deps.sh fonts-ipafont-gothic
fi
bash scripts/build.sh

demo="$repo/build/demo/ql7420-fwupdate-demo"
shots="$repo/build/demo-shots"
version=12
device_version="1.0.0"
rm -rf "$shots"
mkdir -p "$shots"

work=$(mktemp -d)
server_pid=""
simulator_pid=""
# shellcheck disable=SC2317  # run by the EXIT trap
cleanup() {
    for pid in $simulator_pid $server_pid; do
        kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# Waits up to 15 s for a line starting with $2 in file $1 and prints its rest.
wait_for_line() {
    local file=$1 prefix=$2 line
    for _ in $(seq 150); do
        line=$(grep -m1 "^$prefix " "$file" 2>/dev/null || true)
        if [ -n "$line" ]; then
            echo "${line#"$prefix "}"
            return 0
        fi
        sleep 0.1
    done
    echo "run.sh: no '$prefix' line in $file" >&2
    return 1
}

echo
echo "== Sample firmware (200,000 random bytes), published as version $version"
head -c 200000 /dev/urandom >"$work/sample.ghx"
python3 tools/publish-firmware.py "$work/sample.ghx" "$version" "$work/site"

# The helpers stop when their input ends, so each reads from a FIFO that
# stays open until they are stopped at the end (SIGTERM).
mkfifo "$work/server.in"
exec 7<>"$work/server.in"
python3 -u tools/fwserver.py "$work/site" <&7 >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
port=$(wait_for_line "$work/server.out" PORT)
base_url="http://127.0.0.1:$port/data"
echo "== Firmware server: $base_url"

# One simulated device for the window, three for the command line.
devices=1
[ "$mode" = cli ] && devices=3
ptys=()
attached=()
simulator_inputs=()
for n in $(seq "$devices"); do
    mkfifo "$work/simulator$n.in"
    exec {input}<>"$work/simulator$n.in"
    simulator_inputs+=("$input")
    python3 -u tools/devicesim.py --version-text "$device_version" \
        <&"$input" >"$work/simulator$n.out" 2>"$work/simulator$n.err" &
    simulator_pid="$simulator_pid $!"
    ptys+=("$(wait_for_line "$work/simulator$n.out" PTY)")
    attached+=("${ptys[-1]}=SIM-000$n")
    echo "== Device simulator: ${ptys[-1]} (reports firmware $device_version)"
done

status=0
if [ "$mode" = cli ]; then
    echo "== ql7420-fwupdate-cli update --all --yes"
    echo "   (its demo build, which lists the three simulators as attached QL-7420s,"
    echo "   with the USB serial numbers SIM-0001 to SIM-0003)"
    echo
    QL7420_DEMO_BASE_URL="$base_url" QL7420_DEMO_DEVICES=$(IFS=,; echo "${attached[*]}") \
        TMPDIR="$work" "$repo/build/demo/ql7420-fwupdate-cli-demo" update --all --yes ||
        status=$?
    echo
    echo "== Exit code: $status"
else
    run=("$demo" --port "${ptys[0]}" --base-url "$base_url" --screenshots "$shots")
    if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
        echo "== Running the tool on your display"
    elif command -v xvfb-run >/dev/null; then
        echo "== No display (DISPLAY is not set): running the tool on a virtual one (Xvfb)"
        run=(xvfb-run -a -s "-screen 0 1024x768x24" "${run[@]}")
    else
        echo "== No display (DISPLAY is not set) and no Xvfb: running the tool off-screen"
        export QT_QPA_PLATFORM=offscreen
    fi
    echo "   (the tool's debug output goes to $shots/debug.log)"
    echo
    "${run[@]}" 2>"$shots/debug.log" || status=$?
    echo
    echo "== Screenshots of each step: $shots/"
fi

echo "== What the device simulators received"
for n in $(seq "$devices"); do
    echo report >&"${simulator_inputs[$((n - 1))]}"
    report=$(wait_for_line "$work/simulator$n.out" REPORT)
    python3 - "$report" "$work/sample.ghx" <<'EOF' || status=1
import hashlib, json, sys

report = json.loads(sys.argv[1])
image = open(sys.argv[2], "rb").read()
# The device holds 3376 blocks of 64 bytes; the rest of a shorter image is 0xFF.
expected = hashlib.md5(image + b"\xff" * (3376 * 64 - len(image))).hexdigest()
print(f"   {report['portPath']}: PC-mode requests {report['pcModeRequests']}, "
      f"version requests {report['versionRequests']}, start commands {report['startCommands']}, "
      f"data blocks {report['dataBlocks']}, end commands {report['endCommands']}")
print(f"   image MD5 on the device    : {report['imageMd5']}")
print(f"   published image, padded    : {expected}")
print("   They match: the device holds the published firmware." if report["imageMd5"] == expected
      else "   They differ: the device does not hold the published firmware.")
sys.exit(0 if report["imageMd5"] == expected else 1)
EOF
done
[ "$status" -eq 0 ] || echo "run.sh: the demo ended with status $status" >&2
exit "$status"
