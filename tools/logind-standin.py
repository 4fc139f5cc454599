#!/usr/bin/python3
"""A stand-in for systemd-logind's inhibitor locks, on a private bus.

Starts a dbus-daemon of its own (a session-like bus with a config written
here, listening in a temporary folder), prints its address as the first line
on stdout, and serves org.freedesktop.login1.Manager.Inhibit on
/org/freedesktop/login1 as logind does: the caller gets one end of a pipe,
and the lock lasts until every copy of that end is closed. Each event is a
line on stdout, with milliseconds since the start:

    <ms> inhibit <what> <mode> <who>|<why>
    <ms> released
    <ms> refused <what>

--refuse answers every Inhibit with an access-denied error, as logind does
for a caller that polkit refuses; --no-logind leaves the bus without the
name, as a machine without logind. The bus stops with the stand-in (stdin
closed or SIGTERM).
"""

import argparse
import os
import signal
import subprocess
import sys
import tempfile
import time

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>custom</type>
  <listen>unix:dir={folder}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
"""

MANAGER = "org.freedesktop.login1.Manager"
started = time.monotonic()


def say(line):
    print("%d %s" % ((time.monotonic() - started) * 1000, line), flush=True)


class Manager(dbus.service.Object):
    def __init__(self, bus, refuse):
        super().__init__(bus, "/org/freedesktop/login1")
        self.refuse = refuse

    @dbus.service.method(MANAGER, in_signature="ssss", out_signature="h")
    def Inhibit(self, what, who, why, mode):
        if self.refuse:
            say("refused %s" % what)
            raise dbus.exceptions.DBusException(
                "Permission denied", name="org.freedesktop.DBus.Error.AccessDenied")
        kept, handed = os.pipe()
        say("inhibit %s %s %s|%s" % (what, mode, who, why))

        def closed(fd, condition):
            say("released")
            os.close(fd)
            return False

        GLib.io_add_watch(kept, GLib.IO_HUP | GLib.IO_ERR, closed)
        handle = dbus.types.UnixFd(handed)
        os.close(handed)
        return handle


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--refuse", action="store_true")
    parser.add_argument("--no-logind", action="store_true")
    options = parser.parse_args()

    # The bus's socket goes in this folder, and a socket's path must fit in
    # 108 bytes, which a test's own deep TMPDIR may not leave room for.
    folder = tempfile.mkdtemp(prefix="logind-standin-", dir="/tmp")
    config = os.path.join(folder, "bus.conf")
    with open(config, "w") as file:
        file.write(BUS_CONFIG.format(folder=folder))
    daemon = subprocess.Popen(
        ["dbus-daemon", "--config-file=" + config, "--nofork", "--print-address=1"],
        stdout=subprocess.PIPE, text=True)
    address = daemon.stdout.readline().strip()
    if not address:
        sys.exit("dbus-daemon did not start")

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    loop = GLib.MainLoop()
    bus = dbus.bus.BusConnection(address)
    held = []
    if not options.no_logind:
        held = [dbus.service.BusName("org.freedesktop.login1", bus), Manager(bus, options.refuse)]
    print(address, flush=True)

    def stop(*_):
        loop.quit()
        return False

    GLib.io_add_watch(sys.stdin.fileno(), GLib.IO_HUP | GLib.IO_IN, stop)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, stop)
    try:
        loop.run()
    finally:
        # The name is given back while the bus still runs.
        held.clear()
        daemon.terminate()
        daemon.wait()
        for entry in os.listdir(folder):
            os.unlink(os.path.join(folder, entry))
        os.rmdir(folder)


if __name__ == "__main__":
    main()
