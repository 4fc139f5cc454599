#!/bin/bash
# The Linux guests lane: the packages built here, installed and run in a
# Debian 12 and a Debian 13 guest (qemu), on USB devices that the guest's own
# kernel makes (dummy_hcd and a configfs gadget each, the real cdc_acm on the
# PC's side), with udev, ModemManager, logind and polkit as a PC has them.
# The guests: scripts/build-linux-guests.sh; the cases: tests/linux/.
#   scripts/test-linux-guests.sh [--variant no-uaccess|no-modemmanager]
# The variants break the installed rule, to show that a case fails.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
    echo "test-linux-guests.sh: needs root (debootstrap and chroot)" >&2
    exit 1
fi
bash scripts/install-deps.sh --only qemu-system-x86 >/dev/null
start=$(date +%s)
bash scripts/package.sh >/dev/null
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' build/CPackConfig.cmake)
debs=(build/ql7420-fwupdate-cli_"${version}"_amd64.deb build/ql7420-fwupdate_"${version}"_amd64.deb)
guests=()
while read -r word release folder; do
    [ "$word" = guest ] && guests+=(--guest "$release=$folder")
done < <(bash scripts/build-linux-guests.sh "${debs[@]}")
echo "== Packages and guests ready in $(($(date +%s) - start)) s"
python3 tests/linux/lane.py --deb "${debs[0]}" --deb "${debs[1]}" "${guests[@]}" \
    --pty-cli build/demo/ql7420-fwupdate-cli-demo "$@"
