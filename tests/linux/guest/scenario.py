#!/usr/bin/env python3
"""The Linux guests lane's scenario, run as root in the guest at boot.

Four USB devices made by the kernel itself (dummy_hcd, a configfs gadget
each with the device's ids, a serial number and an ACM function), each
served by the simulator on the gadget's /dev/ttyGS<n>, reach the installed
tool through the real cdc_acm, udev with our rule, ModemManager, logind and
polkit. Each case appends one line to /lane/out/results.jsonl:
{"case", "ok", "detail"}.
"""

import glob
import hashlib
import json
import os
import pwd
import shutil
import subprocess
import sys
import threading
import time

LANE = "/lane"
OUT = LANE + "/out"
GADGETS = "/sys/kernel/config/usb_gadget"
CLI = "/usr/bin/ql7420-fwupdate-cli"
IMAGE_SIZE = 216064
UNITS = 4


def log(text):
    print("scenario: " + text, flush=True)


def write(path, text):
    with open(path, "w") as out:
        out.write(text)


def read(path):
    with open(path) as source:
        return source.read().strip()


def wait_for(what, check, timeout):
    """check() until it returns something true, at most timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("no %s within %d s" % (what, timeout))
        time.sleep(0.1)


def run(command, **options):
    return subprocess.run(command, capture_output=True, text=True, timeout=options.pop("timeout", 60),
                          **options)


class Unit:
    """One gadget on its own dummy UDC, and the simulator on its ttyGS."""

    def __init__(self, index, udc):
        self.index = index
        self.udc = udc
        self.folder = "%s/g%d" % (GADGETS, index)
        os.makedirs(self.folder + "/strings/0x409")
        write(self.folder + "/idVendor", "0x0451")
        write(self.folder + "/idProduct", "0x16aa")
        write(self.folder + "/strings/0x409/manufacturer", "QL")
        write(self.folder + "/strings/0x409/product", "QL-7420")
        os.makedirs(self.folder + "/configs/c.1")
        os.makedirs(self.folder + "/functions/acm.usb0")
        os.symlink(self.folder + "/functions/acm.usb0", self.folder + "/configs/c.1/acm.usb0")
        self.tty = "/dev/ttyGS" + read(self.folder + "/functions/acm.usb0/port_num")
        self.set_serial("QL%04d" % (index + 1))
        self.sim = subprocess.Popen(["python3", LANE + "/tools/devicesim.py", "--tty", self.tty],
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
        self.sim.stdout.readline()

    def set_serial(self, serial):
        # Only while unbound: the host reads it when the device is plugged in.
        self.serial = serial
        write(self.folder + "/strings/0x409/serialnumber", serial)

    def command(self, line):
        self.sim.stdin.write(line + "\n")
        answer = self.sim.stdout.readline().strip()
        return json.loads(answer[len("REPORT "):]) if line == "report" else answer

    def report(self):
        return self.command("report")

    def plug(self):
        write(self.folder + "/UDC", self.udc)
        return self.wait_port()

    def pull(self):
        write(self.folder + "/UDC", "\n")
        wait_for("port gone", lambda: self.host_port() is None, 20)

    def host_port(self):
        """The ttyACM that this gadget is on the host's side, once udev has
        made its node, named as the tool names it (ttyACM0)."""
        for tty in glob.glob("/sys/class/tty/ttyACM*"):
            if "/%s/" % self.udc.replace("udc", "hcd") in os.path.realpath(tty):
                name = os.path.basename(tty)
                return name if os.path.exists("/dev/" + name) else None
        return None

    def wait_port(self):
        port = wait_for("ttyACM for gadget %d" % self.index, self.host_port, 20)
        run(["udevadm", "settle", "--timeout=20"], timeout=30)
        self.port = port
        return port


class Run:
    """The command line running, its JSON events kept with their arrival."""

    def __init__(self, arguments, user=None):
        command = [CLI] + arguments + ["--json"]
        if user:
            command = ["runuser", "-u", user, "--"] + command
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                        env=dict(os.environ, TMPDIR="/tmp"))
        self.events = []
        self.stderr = ""
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()
        self.errors = threading.Thread(target=self.read_errors, daemon=True)
        self.errors.start()

    def read(self):
        for line in self.process.stdout:
            try:
                self.events.append((time.monotonic(), json.loads(line)))
            except ValueError:
                pass

    def read_errors(self):
        self.stderr = self.process.stderr.read()

    def wait(self, timeout):
        code = self.process.wait(timeout=timeout)
        self.reader.join(10)
        self.errors.join(10)
        return code

    def results(self):
        return [event for _, event in self.events if event.get("event") == "result"]

    def result_for(self, port):
        for stamp, event in self.events:
            if event.get("event") == "result" and event.get("port") == port:
                return stamp, event
        return None


class Scenario:
    def __init__(self):
        self.failed = False
        self.results = open(OUT + "/results.jsonl", "a")

    def record(self, case, ok, detail):
        self.failed |= not ok
        self.results.write(json.dumps({"case": case, "ok": ok, "detail": detail}) + "\n")
        self.results.flush()
        log("%s %s: %s" % ("PASS" if ok else "FAIL", case, detail))

    def case(self, name, function):
        try:
            ok, detail = function()
        except Exception as error:
            ok, detail = False, "%s: %s" % (type(error).__name__, error)
        self.record(name, ok, detail)

    def setup(self):
        for module in ("dummy_hcd num=%d" % UNITS, "libcomposite", "usb_f_acm"):
            subprocess.run(["modprobe"] + module.split(), check=True)
        udcs = sorted(os.listdir("/sys/class/udc"))
        self.units = [Unit(index, udc) for index, udc in enumerate(udcs[:UNITS])]
        site = "/tmp/site"
        os.makedirs(site)
        image = os.urandom(200000)
        with open("/tmp/image.ghx", "wb") as out:
            out.write(image)
        subprocess.run(["python3", LANE + "/tools/publish-firmware.py", "/tmp/image.ghx", "12", site],
                       check=True, stdout=subprocess.DEVNULL)
        self.expected = hashlib.md5(image + b"\xff" * (IMAGE_SIZE - len(image))).hexdigest()
        self.server = subprocess.Popen(["python3", "-u", LANE + "/tools/fwserver.py", "--port", "80", site],
                                       stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        assert self.server.stdout.readline().startswith("PORT "), "the firmware server did not start"
        self.tech_session()

    def tech_session(self):
        """tech logged in on tty1 by autologin, its shell handing over to the
        agent that runs the scenario's commands in that session."""
        home = pwd.getpwnam("tech").pw_dir
        agent = home + "/agent.sh"
        shutil.copy(LANE + "/guest/agent.sh", agent)
        write(home + "/.bash_profile", "exec bash %s\n" % agent)
        os.makedirs("/tmp/agent", exist_ok=True)
        shutil.chown("/tmp/agent", "tech", "tech")
        # The autologin may have come before the profile was there.
        run(["loginctl", "terminate-user", "tech"])
        run(["systemctl", "restart", "getty@tty1.service"])
        wait_for("an active seat0 session of tech", self.tech_active, 60)

    def tech_active(self):
        sessions = run(["loginctl", "list-sessions", "--no-legend"]).stdout
        for line in sessions.splitlines():
            fields = line.split()
            if len(fields) >= 4 and fields[2] == "tech" and "seat0" in fields:
                state = run(["loginctl", "show-session", fields[0], "-p", "Active", "--value"]).stdout
                if state.strip() == "yes":
                    return True
        return False

    def as_tech(self, name, script):
        """Starts script in tech's session; returns a function that says
        (exit code, output) once it has ended, None before."""
        write("/tmp/agent/%s.job.new" % name, script)
        shutil.chown("/tmp/agent/%s.job.new" % name, "tech", "tech")
        os.rename("/tmp/agent/%s.job.new" % name, "/tmp/agent/%s.job" % name)

        def ended():
            if not os.path.exists("/tmp/agent/%s.rc" % name):
                return None
            return int(read("/tmp/agent/%s.rc" % name)), read("/tmp/agent/%s.out" % name)
        return ended

    def whole(self, unit):
        return unit.report()["imageMd5"] == self.expected

    # 6. ModemManager leaves the port alone: nothing but the tool's bytes.
    def plug_in_with_modemmanager(self):
        active = run(["systemctl", "is-active", "ModemManager"]).stdout.strip()
        plugged = time.monotonic()
        for unit in self.units:
            unit.plug()
        self.case("1 enumeration", self.enumeration)
        # The other cases wait for nothing but their own events; this one
        # is about what happens in a span of time.
        time.sleep(max(0.0, plugged + 30 - time.monotonic()))
        received = {unit.port: {key: value for key, value in unit.report().items()
                                if key in ("pcModeRequests", "versionRequests", "startCommands",
                                           "garbageBytes") and value}
                    for unit in self.units}
        modems = run(["mmcli", "-L"]).stdout.strip()
        quiet = not any(received.values())
        # What the rule told ModemManager, and what ModemManager said of the ports.
        ignored = sorted({self.udev_property(unit.port, "ID_MM_DEVICE_IGNORE") for unit in self.units},
                         key=str)
        journal = run(["journalctl", "-b", "-u", "ModemManager", "-o", "cat", "--no-pager"]).stdout
        said = [line for line in journal.splitlines() if "ttyACM" in line or "dummy_hcd" in line]
        ok = active == "active" and quiet and "No modems were found" in modems
        return ok, ("ModemManager %s, ID_MM_DEVICE_IGNORE %s; in the 30 s after plug-in the devices received %s; "
                    "mmcli -L: %s; ModemManager on the ports: %s") % (
            active, ignored, "nothing" if quiet else received, modems, said[-4:] or "nothing")

    @staticmethod
    def udev_property(port, name):
        properties = run(["udevadm", "info", "--query=property", "/dev/" + port]).stdout
        return dict(line.split("=", 1) for line in properties.splitlines() if "=" in line).get(name)

    # 1. list names the four with udev's serial numbers.
    def enumeration(self):
        listing = Run(["list"])
        code = listing.wait(60)
        listed = {event["port"]: event.get("serial") for _, event in listing.events
                  if event.get("event") == "device"}
        udev = {unit.port: self.udev_property(unit.port, "ID_SERIAL_SHORT") for unit in self.units}
        ok = code == 0 and listed == udev and len(listed) == UNITS and None not in udev.values()
        return ok, "listed %s; udev's database %s; exit code %d" % (listed, udev, code)

    # 2. Four at once, each image whole.
    def four_at_once(self):
        update = Run(["update", "--all", "--yes"])
        code = update.wait(600)
        results = update.results()
        whole = [self.whole(unit) for unit in self.units]
        seconds = [result.get("seconds") for result in results]
        ok = code == 0 and len(results) == UNITS and all(r["ok"] for r in results) and all(whole)
        return ok, "exit code %d; times %s s; images whole (MD5) %s" % (code, seconds, whole)

    # 3. A pull near block 1000.
    def pull_mid_transfer(self):
        for unit in self.units:
            unit.command("reset")
        pulled = self.units[0]
        update = Run(["update", "--all", "--yes"])
        wait_for("block 1000 on %s" % pulled.port, lambda: pulled.report()["dataBlocks"] >= 1000, 300)
        at = pulled.report()["dataBlocks"]
        port = pulled.port
        unplugged = time.monotonic()
        pulled.pull()
        code = update.wait(600)
        stamp, result = update.result_for(port) or (None, {})
        reason = result.get("reason", "")
        delay = stamp - unplugged if stamp else None
        others = [self.whole(unit) and (update.result_for(unit.port) or (0, {}))[1].get("ok")
                  for unit in self.units[1:]]
        again_port = pulled.plug()
        again = Run(["update", "--port", again_port, "--yes"])
        again_code = again.wait(300)
        # One device alone: the figure beside the pty lane's.
        self.transfer_seconds = (again.results() or [{}])[0].get("seconds", 0)
        ok = (code == 4 and "disconnected" in reason and delay is not None and delay < 1.0 and all(others)
              and again_code == 0 and self.whole(pulled))
        return ok, ("pulled at block %d: '%s' %.3f s after the pull; the other three whole: %s; "
                    "plugged in again as %s: exit code %d, whole: %s") % (
            at, reason, delay if delay is not None else -1, others, again_port, again_code,
            self.whole(pulled))

    # 4. The bench: a unit moved to another port is skipped, a new one on a
    # freed port name is updated.
    def bench(self):
        for unit in self.units:
            unit.pull()
            unit.command("reset")
        first, second, third, fourth = self.units
        first.set_serial("QLW001")
        second.set_serial("QLW002")
        watch = Run(["update", "--watch", "--count", "4"])
        wait_for("the watch's check", lambda: any(e.get("event") == "check" for _, e in watch.events), 60)
        first.plug()
        second.plug()

        def updated(serial):
            return any(e.get("event") == "result" and e.get("serial") == serial and e.get("ok")
                       and not e.get("skipped") for _, e in watch.events)
        wait_for("QLW001 and QLW002 updated", lambda: updated("QLW001") and updated("QLW002"), 400)
        freed = first.port
        first.pull()
        first.set_serial("QLW003")
        taken = first.plug()
        third.set_serial("QLW001")
        moved = third.plug()
        fourth.set_serial("QLW004")
        fourth.plug()
        code = watch.wait(600)
        results = [(e.get("port"), e.get("serial"), "skipped" if e.get("skipped") else
                    "updated" if e.get("ok") else "failed") for e in watch.results()]
        ok = (code == 0 and taken == freed and (moved, "QLW001", "skipped") in results
              and (taken, "QLW003", "updated") in results and updated("QLW004")
              and self.whole(first) and self.whole(fourth))
        return ok, "exit code %d; results %s; %s freed and taken by QLW003" % (code, results, freed)

    # 5 and 7. The port is the seat's user's; logind's lock while it runs.
    def permissions_and_logind(self):
        unit = self.units[1]
        unit.command("reset")
        port = unit.port
        node = "/dev/" + port
        acl = run(["getfacl", "-p", node]).stdout
        groups = run(["id", "-nG", "tech"]).stdout.split()
        job = self.as_tech("update", "exec %s update --port %s --yes\n" % (CLI, port))
        locks = []

        def inhibited():
            listing = run(["systemd-inhibit", "--list", "--no-pager"]).stdout
            if "QL-7420" in listing:
                locks.append(listing)
            return job()
        code, output = wait_for("tech's update", inhibited, 600)
        after = run(["systemd-inhibit", "--list", "--no-pager"]).stdout
        logind_ok = bool(locks) and "QL-7420" not in after
        self.record("7 logind", logind_ok,
                    "during the transfer: %s; after it: %s" % (
                        next((line.strip() for line in locks[0].splitlines() if "QL-7420" in line), "no lock")
                        if locks else "no lock", "gone" if "QL-7420" not in after else "still there"))
        in_session = code == 0 and self.whole(unit)
        # No session for tech: the ACL goes with it.
        run(["systemctl", "stop", "getty@tty1.service"])
        run(["loginctl", "terminate-user", "tech"])
        wait_for("tech's ACL on %s gone" % port, lambda: "user:tech:" not in run(["getfacl", "-p", node]).stdout, 30)
        refused = Run(["update", "--port", port, "--yes"], user="tech")
        refused_code = refused.wait(120)
        reason = (refused.results() or [{}])[0].get("reason", "")
        ok = ("user:tech:rw" in acl and "dialout" not in groups and in_session and refused_code == 4
              and "dialout" in reason)
        return ok, ("getfacl in tech's seat0 session: %s; tech's groups: %s; updated as tech there: "
                    "exit code %d, whole %s; without a session: exit code %d, '%s'") % (
            [line for line in acl.splitlines() if line.startswith("user:")], groups, code,
            self.whole(unit), refused_code, reason)

    def main(self):
        self.transfer_seconds = 0
        try:
            self.setup()
        except Exception as error:
            self.record("setup", False, "%s: %s" % (type(error).__name__, error))
            return 1
        self.case("6 ModemManager", self.plug_in_with_modemmanager)
        self.case("2 four at once", self.four_at_once)
        self.case("3 pull mid-transfer", self.pull_mid_transfer)
        self.case("5 permissions", self.permissions_and_logind)
        self.case("4 bench", self.bench)
        write(OUT + "/transfer-seconds", str(self.transfer_seconds))
        return 1 if self.failed else 0


if __name__ == "__main__":
    sys.exit(Scenario().main())
