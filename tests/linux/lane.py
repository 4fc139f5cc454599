#!/usr/bin/env python3
"""The Linux guests lane, host side: boots each guest (qemu under TCG, its
root file system read-only behind a throw-away overlay), hands it the
packages, the scenario and the simulator in a 9p folder, and reads the
results it leaves there before it powers off. Prints each case's PASS or
FAIL, and the guest's journal when one fails.

  lane.py --deb DEB --deb DEB --guest 12=FOLDER --guest 13=FOLDER
          [--variant no-uaccess|no-modemmanager] [--pty-cli DEMO_CLI]

FOLDER holds vmlinuz, initrd.img and root.img (scripts/build-linux-guests.sh).
Exit code 0 when every case passed on every guest.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
CASES = ["1 enumeration", "2 four at once", "3 pull mid-transfer", "4 bench", "5 permissions",
         "6 ModemManager", "7 logind"]
# The whole scenario, boot to power-off, on a loaded machine; far more than
# it needs, so that only a hang reaches it.
GUEST_LIMIT = 1500


def share_for(work, release, options):
    share = os.path.join(work, release)
    for folder in ("debs", "tools", "out"):
        os.makedirs(os.path.join(share, folder))
    for deb in options.deb:
        shutil.copy(deb, os.path.join(share, "debs"))
    shutil.copytree(os.path.join(HERE, "guest"), os.path.join(share, "guest"))
    for tool in ("devicesim.py", "fwserver.py", "publish-firmware.py"):
        shutil.copy(os.path.join(ROOT, "tools", tool), os.path.join(share, "tools"))
    with open(os.path.join(share, "variant"), "w") as out:
        out.write(options.variant or "")
    return share


def boot(folder, share):
    console = open(os.path.join(share, "console.log"), "w")
    command = ["qemu-system-x86_64", "-accel", "tcg", "-smp", "2", "-m", "1024",
               "-display", "none", "-monitor", "none", "-serial", "stdio", "-no-reboot", "-nic", "none",
               "-kernel", os.path.join(folder, "vmlinuz"), "-initrd", os.path.join(folder, "initrd.img"),
               "-append", "root=/dev/vda rw console=ttyS0 quiet systemd.firstboot=off",
               "-drive", "file=%s,format=raw,if=virtio,snapshot=on" % os.path.join(folder, "root.img"),
               "-virtfs", "local,path=%s,mount_tag=lane,security_model=none,id=lane" % share]
    return subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=console, stderr=subprocess.STDOUT)


def report(release, share, seconds):
    out = os.path.join(share, "out")
    results = {}
    path = os.path.join(out, "results.jsonl")
    if os.path.exists(path):
        with open(path) as source:
            for line in source:
                record = json.loads(line)
                results[record["case"]] = record
    failed = False
    for case in list(results) + [case for case in CASES if case not in results]:
        record = results.get(case, {"ok": False, "detail": "no result (the scenario did not get there)"})
        failed |= not record["ok"]
        print("%s Debian %s, case %s: %s" % ("PASS" if record["ok"] else "FAIL", release, case,
                                            record["detail"]), flush=True)
    if not os.path.exists(os.path.join(out, "done")):
        failed = True
        print("FAIL Debian %s: the guest did not finish its scenario" % release)
    if failed:
        for name, label in (("boot.log", "the scenario's output"), ("install.log", "the packages' install"),
                            ("journal.txt", "the guest's journal"), ("../console.log", "the serial console")):
            path = os.path.join(out, name)
            if os.path.exists(path):
                print("== Debian %s: %s" % (release, label))
                with open(path, errors="replace") as source:
                    # The journal's end: the scenario's time, not the boot's.
                    sys.stdout.write("".join(source.readlines()[-400:]))
    figure = os.path.join(out, "transfer-seconds")
    if os.path.exists(figure):
        with open(figure) as source:
            print("Debian %s: one whole transfer through cdc_acm and the gadget's tty: %s s"
                  % (release, source.read().strip()))
    print("Debian %s: guest ran %d s, boot to power-off" % (release, seconds), flush=True)
    return not failed


def pty_transfer(cli):
    """One whole transfer to the simulator on a pseudo-terminal, the figure
    the guests' is set beside."""
    site = tempfile.mkdtemp(prefix="ql7420-pty-")
    try:
        with open(os.path.join(site, "image.ghx"), "wb") as out:
            out.write(os.urandom(200000))
        subprocess.run(["python3", os.path.join(ROOT, "tools", "publish-firmware.py"),
                        os.path.join(site, "image.ghx"), "12", os.path.join(site, "www")],
                       check=True, stdout=subprocess.DEVNULL)
        server = subprocess.Popen(["python3", "-u", os.path.join(ROOT, "tools", "fwserver.py"),
                                   os.path.join(site, "www")],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        device = subprocess.Popen(["python3", "-u", os.path.join(ROOT, "tools", "devicesim.py")],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            port = server.stdout.readline().split()[1]
            pty = device.stdout.readline().split()[1]
            env = dict(os.environ, QL7420_DEMO_BASE_URL="http://127.0.0.1:%s/data" % port)
            update = subprocess.run([cli, "update", "--port", pty, "--yes", "--json"], env=env,
                                    capture_output=True, text=True, timeout=300)
            seconds = [json.loads(line).get("seconds") for line in update.stdout.splitlines()
                       if '"result"' in line]
            return seconds[0] if update.returncode == 0 and seconds else None
        finally:
            for process in (server, device):
                process.terminate()
                process.wait()
    finally:
        shutil.rmtree(site)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--deb", action="append", required=True)
    parser.add_argument("--guest", action="append", required=True, metavar="RELEASE=FOLDER")
    parser.add_argument("--variant", choices=("no-uaccess", "no-modemmanager"))
    parser.add_argument("--pty-cli", metavar="DEMO_CLI")
    parser.add_argument("--keep", metavar="DIR", help="leave the guests' folders (results, journal) here")
    options = parser.parse_args()

    if options.pty_cli:
        seconds = pty_transfer(options.pty_cli)
        print("pty lane: one whole transfer to the simulator on a pseudo-terminal: %s s"
              % (seconds if seconds is not None else "failed"), flush=True)
    work = options.keep or tempfile.mkdtemp(prefix="ql7420-guests-")
    try:
        guests = []
        for entry in options.guest:
            release, folder = entry.split("=", 1)
            share = share_for(work, release, options)
            # Both at once: each guest's two virtual processors mostly wait
            # on the other's link in its own USB stack.
            guests.append((release, share, boot(folder, share), time.monotonic()))
        ok = True
        for release, share, qemu, started in guests:
            try:
                qemu.wait(timeout=max(1, started + GUEST_LIMIT - time.monotonic()))
            except subprocess.TimeoutExpired:
                qemu.kill()
                qemu.wait()
                print("FAIL Debian %s: still running after %d s, stopped" % (release, GUEST_LIMIT))
            ok &= report(release, share, time.monotonic() - started)
    finally:
        if not options.keep:
            shutil.rmtree(work, ignore_errors=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
