#!/usr/bin/env python3
"""Runs the Windows serial check (nativeserial_check.exe) under Wine against
the device simulator, which appears in the Wine prefix as COM12.

usage: run_under_wine.py CHECK_EXE PREFIX

PREFIX is the Wine prefix to use, made on first use (a few seconds). The check
prints its own verdicts; this script relays its simulator commands and then
judges what the simulator received, from the simulator's record. Fails, never
skips, when the check could not be built or Wine cannot run it.
"""

import hashlib
import json
import os
import queue
import shutil
import subprocess
import sys
import tempfile
import threading
import time

TOOLS_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools")
PREFIX_LIMIT = 120
RUN_LIMIT = 60
# What the check sends: the whole image, the byte values 0-255 over and
# over, and 64 KiB of zero bytes, which the simulator counts as garbage.
SENT_IMAGE = bytes(range(256)) * (216064 // 256)
EXPECTED = {
    "pcModeRequests": 1,
    "versionRequests": 2,
    "startCommands": 1,
    "dataBlocks": 3376,
    "endCommands": 1,
    "badChecksums": 0,
    "garbageBytes": 64 * 1024,
    "violations": [],
    "imageMd5": hashlib.md5(SENT_IMAGE).hexdigest(),
}


def fail(message):
    print("FAIL " + message)
    sys.exit(1)


def wine_environment(prefix):
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
    # Without a display the Mono and Gecko installers would only stall.
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
    env.pop("DISPLAY", None)
    return env


def prepare_prefix(prefix):
    """Keeps a complete prefix of ours, else clears the way for a new one:
    Wine refuses a prefix that belongs to another user. Returns whether the
    prefix still has to be made."""
    made = os.path.join(prefix, "made")
    if os.path.exists(made) and os.stat(prefix).st_uid == os.getuid():
        return False
    shutil.rmtree(prefix, ignore_errors=True)
    os.makedirs(prefix)
    return True


def make_prefix(prefix, env):
    start = time.monotonic()
    # A file, not a pipe: the programs wineboot leaves running keep its
    # output open until the server ends.
    with tempfile.TemporaryFile() as output:
        try:
            status = subprocess.run(["wineboot", "-i"], env=env, stdin=subprocess.DEVNULL,
                                    stdout=output, stderr=output, timeout=PREFIX_LIMIT).returncode
        except subprocess.TimeoutExpired:
            status = "no end within %d s" % PREFIX_LIMIT
        output.seek(0)
        if status != 0 or not os.path.isdir(os.path.join(prefix, "dosdevices")):
            fail("Wine could not make its prefix (wineboot -i, status %s):\n%s"
                 % (status, output.read().decode(errors="replace")))
    open(os.path.join(prefix, "made"), "w").close()
    return time.monotonic() - start


def start_simulator(*options):
    simulator = subprocess.Popen([sys.executable, os.path.join(TOOLS_DIR, "devicesim.py"), *options],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
    first = simulator.stdout.readline().split()
    if len(first) != 2 or first[0] != "PTY":
        simulator.kill()
        fail("the device simulator did not start")
    return simulator, first[1]


def map_com_port(prefix, name, pty):
    """Makes the pty the prefix's COM port of that name (COM12)."""
    link = os.path.join(prefix, "dosdevices", name.lower())
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(pty, link)


# What Plug and Play leaves in the registry for a USB serial device, as far
# as Wine's setupapi and Qt read it: the device's key under Enum\USB, which
# Wine takes as present while it exists, its PortName, and the driver's entry
# in SERIALCOMM, the system's list of present ports.
USB_KEY = r"HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB"
SERIALCOMM_KEY = r"HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM"
PORTS_CLASS = "{4d36e978-e325-11ce-bfc1-08002be10318}"


def load_registry(env, text):
    """Applies REGEDIT4 text: a "Version 5.00" file would have to be UTF-16,
    and Wine reads multi-string values of an ASCII one wrongly."""
    with tempfile.NamedTemporaryFile("w", suffix=".reg", delete=False) as out:
        out.write("REGEDIT4\r\n\r\n" + text.replace("\n", "\r\n"))
    try:
        # Z: is the prefix's drive for the Unix root.
        status = subprocess.run(["wine", "regedit", "/S", "Z:" + out.name.replace("/", "\\")], env=env, stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=60).returncode
    finally:
        os.remove(out.name)
    if status != 0:
        fail("regedit could not load:\n" + text)


def usb_instance(vendor, product, serial):
    # Wine's CM_Get_Parent is a stub: Qt finds the serial number only as the
    # instance id's last part, as Windows names a device that has one.
    return "%s\\VID_%04X&PID_%04X\\%s" % (USB_KEY, vendor, product, serial)


def plug_usb_serial(prefix, env, name, pty, serial, slot, vendor=0x0451, product=0x16AA):
    """Shows the pty to Windows programs as the USB serial device SERIAL on
    port NAME (COM41), as Plug and Play would: the port first, the driver's
    entry last, since a change of that entry makes programs list again. SLOT
    numbers the driver's entry, one per plugged device."""
    map_com_port(prefix, name, pty)
    instance = usb_instance(vendor, product, serial)
    load_registry(env, "[%s]\n\"ClassGUID\"=\"%s\"\n\"DeviceDesc\"=\"USB Serial Device\"\n"
                       "\"Mfg\"=\"QL\"\n\n[%s\\Device Parameters]\n\"PortName\"=\"%s\"\n\n"
                       "[%s]\n\"\\\\Device\\\\USBSER%03d\"=\"%s\"\n"
                       % (instance, PORTS_CLASS, instance, name, SERIALCOMM_KEY, slot, name))


def unplug_usb_serial(prefix, env, name, serial, slot, vendor=0x0451, product=0x16AA):
    """Takes away what plug_usb_serial() made, in the opposite order."""
    load_registry(env, "[%s]\n\"\\\\Device\\\\USBSER%03d\"=-\n\n[-%s]\n"
                       % (SERIALCOMM_KEY, slot, usb_instance(vendor, product, serial)))
    link = os.path.join(prefix, "dosdevices", name.lower())
    if os.path.lexists(link):
        os.remove(link)


def clear_usb_serials(env, slots, vendor=0x0451, product=0x16AA):
    """Removes every device of that kind and the driver's entries of those
    slots: they stay in the prefix from an earlier run."""
    load_registry(env, "[-%s\\VID_%04X&PID_%04X]\n\n[%s]\n%s"
                       % (USB_KEY, vendor, product, SERIALCOMM_KEY,
                          "".join("\"\\\\Device\\\\USBSER%03d\"=-\n" % slot for slot in slots)))


def ask(simulator, command):
    simulator.stdin.write(command + "\n")
    return simulator.stdout.readline().rstrip("\n")


def run_check(check, env, simulator):
    """Runs the check, relaying its SIM lines; returns its exit status and
    whether it printed a failure."""
    program = subprocess.Popen(["wine", check], env=env, stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, bufsize=1)
    # The Wine services the check starts inherit its output and keep it open
    # until the server ends: the check is over when it exits, not at the end
    # of its output.
    lines = queue.Queue()
    threading.Thread(target=lambda: [lines.put(line) for line in program.stdout], daemon=True).start()
    deadline = time.monotonic() + RUN_LIMIT
    failed = False
    while True:
        if time.monotonic() > deadline:
            program.kill()
            program.wait()
            fail("the check hung: stopped after %d s" % RUN_LIMIT)
        try:
            line = lines.get(timeout=0.5 if program.poll() is None else 0.2).rstrip("\n")
        except queue.Empty:
            if program.poll() is not None:
                return program.returncode, failed
            continue
        if line.startswith("SIM "):
            program.stdin.write(ask(simulator, line[4:]) + "\n")
            continue
        print(line, flush=True)
        failed = failed or line.startswith("FAIL")


def main(argv):
    if len(argv) != 3:
        fail("usage: run_under_wine.py CHECK_EXE PREFIX")
    check, prefix = os.path.abspath(argv[1]), os.path.abspath(argv[2])
    if not os.path.exists(check):
        fail("%s was not built: the MinGW-w64 cross compiler (x86_64-w64-mingw32-g++-posix, package "
             "g++-mingw-w64-x86-64-posix) was missing when the build was configured. scripts/test.sh "
             "installs it; configure the build again." % check)
    for program in ("wine", "wineboot", "wineserver"):
        if not shutil.which(program):
            fail("%s is not installed (packages wine and wine64; scripts/test.sh installs them)" % program)

    env = wine_environment(prefix)
    new_prefix = prepare_prefix(prefix)
    # Started here rather than by the first Wine program, so that it ends with
    # the test and its messages stay out of the output: it dumps its whole
    # state to its error output when the serial port hangs up.
    server = subprocess.Popen(["wineserver", "--foreground", "--persistent"], env=env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    simulator = None
    try:
        if new_prefix:
            print("Wine prefix %s made in %.1f s" % (prefix, make_prefix(prefix, env)), flush=True)
        simulator, pty = start_simulator()
        map_com_port(prefix, "COM12", pty)
        start = time.monotonic()
        status, failed = run_check(check, env, simulator)
        print("The check ran in %.1f s under Wine (exit status %d)" % (time.monotonic() - start, status))
        report = json.loads(ask(simulator, "report").partition(" ")[2])
    finally:
        if simulator:
            simulator.kill()
            simulator.wait()
        # Ends the server and every Wine process in this prefix.
        subprocess.run(["wineserver", "--kill"], env=env, check=False)
        try:
            server.wait(timeout=30)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()

    for key, expected in EXPECTED.items():
        passed = report[key] == expected
        failed = failed or not passed
        print("%s simulator's record, %s: %s%s" % ("PASS" if passed else "FAIL", key, json.dumps(report[key]),
                                                    "" if passed else ", expected %s" % json.dumps(expected)))
    if status != 0 or failed:
        fail("the Windows serial backend under Wine")
    print("PASS the Windows serial backend under Wine")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
