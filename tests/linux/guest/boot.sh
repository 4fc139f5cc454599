#!/bin/bash
# Run in the guest at boot, as root, by the unit the guest was made with:
# installs the packages the host handed over in /lane, as a user would, and
# runs the scenario. The unit powers the guest off when this ends.
set -u
out=/lane/out
exec >>"$out/boot.log" 2>&1
echo "== $(. /etc/os-release && echo "$PRETTY_NAME"), kernel $(uname -r)," \
    "systemd $(systemctl --version | sed -n '1s/^systemd \([0-9]*\).*/\1/p')"
# The guest has no network: apt finds every dependency installed already.
mkdir /tmp/debs && cp /lane/debs/*.deb /tmp/debs/
if DEBIAN_FRONTEND=noninteractive apt-get install -y -q /tmp/debs/*.deb >"$out/install.log" 2>&1; then
    # A broken variant of the rule, for showing that a case can fail.
    rule=/usr/lib/udev/rules.d/70-ql7420.rules
    case $(cat /lane/variant 2>/dev/null) in
    no-uaccess) sed -i 's/TAG+="uaccess", //' "$rule" ;;
    no-modemmanager) sed -i 's/, ENV{ID_MM_DEVICE_IGNORE}="1"//' "$rule" ;;
    esac
    udevadm control --reload
    python3 /lane/guest/scenario.py
else
    echo '{"case": "install", "ok": false, "detail": "apt-get install of the packages failed"}' >>"$out/results.jsonl"
fi
journalctl -b --no-pager >"$out/journal.txt"
touch "$out/done"
sync
