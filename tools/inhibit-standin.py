#!/usr/bin/python3
"""A stand-in for the services that hold off sleep and the session's end, on
a private bus.

Starts a dbus-daemon of its own (a bus with a config written here, listening
in a temporary folder), prints its address as the first line on stdout, and
serves one of:

  logind  org.freedesktop.login1.Manager.Inhibit on /org/freedesktop/login1,
          as systemd-logind does on the system bus: the caller gets one end
          of a pipe, and the lock lasts until every copy of that end is
          closed;
  portal  org.freedesktop.portal.Inhibit.Inhibit on
          /org/freedesktop/portal/desktop, as xdg-desktop-portal does on the
          session bus: the caller gets a request object, and the inhibition
          lasts until it calls org.freedesktop.portal.Request.Close on it or
          leaves the bus.

Each event is a line on stdout, with milliseconds since the start:

    <ms> inhibit <what> <mode> <who>|<why>      (logind)
    <ms> released
    <ms> portal-inhibit <flags> <window>|<reason>
    <ms> portal-closed                          (Close called)
    <ms> portal-declined                        (Response 2 sent)
    <ms> portal-confirmed                       (Response 0 sent)
    <ms> portal-forged                          (Response 2 sent by another)
    <ms> portal-abandoned                       (the caller left, not closed)
    <ms> refused
    <ms> set <command>                          (a command below taken)

Commands, one a line on stdin, change how later calls are answered:
"refuse" (access denied, as for a caller that polkit refuses), "refuse-lid"
(access denied for any lock that names handle-lid-switch, as logind answers
where polkit denies that action alone), "grant" (the default), "delay <ms>"
(answer that much later), "decline" (the portal returns the request, then
sends a Response of 2 on it, as a desktop whose backend cannot inhibit),
"confirm" (the portal returns the request, then sends a Response of 0 on
it, as xdg-desktop-portal's frontend does after an inhibition it made),
"forge" (the portal returns the request, then another connection on the
bus sends a Response of 2 on it), "absent" (the service's name given back,
as a machine without it), "present". A request stays until it is closed or
its caller leaves, whatever Response it had. The bus stops with the
stand-in (stdin closed or SIGTERM).
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

SERVICES = {
    "logind": ("org.freedesktop.login1", "/org/freedesktop/login1"),
    "portal": ("org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop"),
}
started = time.monotonic()


def say(line):
    print("%d %s" % ((time.monotonic() - started) * 1000, line), flush=True)


class Answers:
    """How the next calls are answered, as the commands set it."""

    def __init__(self):
        self.refuse = False
        self.refuse_lid = False
        self.response = None
        self.forge = False
        self.delay_ms = 0

    def answer(self, make, reply, error, lid=False):
        def now():
            if self.refuse or (lid and self.refuse_lid):
                say("refused")
                error(dbus.exceptions.DBusException(
                    "Permission denied", name="org.freedesktop.DBus.Error.AccessDenied"))
            else:
                reply(make())
            return False

        if self.delay_ms:
            GLib.timeout_add(self.delay_ms, now)
        else:
            now()


class Manager(dbus.service.Object):
    def __init__(self, bus, path, answers):
        super().__init__(bus, path)
        self.answers = answers

    @dbus.service.method("org.freedesktop.login1.Manager", in_signature="ssss",
                         out_signature="h", async_callbacks=("reply", "error"))
    def Inhibit(self, what, who, why, mode, reply, error):
        say("inhibit %s %s %s|%s" % (what, mode, who, why))

        def lock():
            kept, handed = os.pipe()

            def closed(fd, condition):
                say("released")
                os.close(fd)
                return False

            GLib.io_add_watch(kept, GLib.IO_HUP | GLib.IO_ERR, closed)
            handle = dbus.types.UnixFd(handed)
            os.close(handed)
            return handle

        self.answers.answer(lock, reply, error, lid="handle-lid-switch" in what.split(":"))


class Request(dbus.service.Object):
    def __init__(self, bus, path, caller):
        super().__init__(bus, path)
        self.open = True

        def left(owner):
            if not owner and self.open:
                say("portal-abandoned")
                self.end()

        self.watch = bus.watch_name_owner(caller, left)

    def end(self):
        self.open = False
        self.watch.cancel()
        self.remove_from_connection()

    @dbus.service.signal("org.freedesktop.portal.Request", signature="ua{sv}")
    def Response(self, response, results):
        pass

    def respond(self, response):
        say("portal-confirmed" if response == 0 else "portal-declined")
        self.Response(dbus.UInt32(response), dbus.Dictionary({}, signature="sv"))
        return False

    @dbus.service.method("org.freedesktop.portal.Request", in_signature="", out_signature="")
    def Close(self):
        if self.open:
            say("portal-closed")
            self.end()


class Stranger(dbus.service.Object):
    """Another program on the bus, answering for the portal on its request."""

    @dbus.service.signal("org.freedesktop.portal.Request", signature="ua{sv}")
    def Response(self, response, results):
        pass


def forge(bus, path):
    say("portal-forged")
    stranger = Stranger(bus, path)
    stranger.Response(dbus.UInt32(2), dbus.Dictionary({}, signature="sv"))
    stranger.remove_from_connection()
    return False


class Portal(dbus.service.Object):
    def __init__(self, bus, path, answers, stranger):
        super().__init__(bus, path)
        self.bus = bus
        self.answers = answers
        self.stranger = stranger
        self.count = 0

    @dbus.service.method("org.freedesktop.portal.Inhibit", in_signature="sua{sv}",
                         out_signature="o", sender_keyword="sender",
                         async_callbacks=("reply", "error"))
    def Inhibit(self, window, flags, options, sender, reply, error):
        say("portal-inhibit %d %s|%s" % (flags, window, options.get("reason", "")))

        def request():
            self.count += 1
            path = "/org/freedesktop/portal/desktop/request/%s/%s" % (
                sender[1:].replace(".", "_"), options.get("handle_token", "t%d" % self.count))
            made = Request(self.bus, path, sender)
            # After the reply, as the portal's own verdict comes.
            if self.answers.response is not None:
                GLib.idle_add(made.respond, self.answers.response)
            if self.answers.forge:
                GLib.idle_add(forge, self.stranger, path)
            return dbus.ObjectPath(path)

        self.answers.answer(request, reply, error)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("service", nargs="?", choices=sorted(SERVICES), default="logind")
    options = parser.parse_args()

    # The bus's socket goes in this folder, and a socket's path must fit in
    # 108 bytes, which a test's own deep TMPDIR may not leave room for.
    folder = tempfile.mkdtemp(prefix="inhibit-standin-", dir="/tmp")
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
    name, path = SERVICES[options.service]
    answers = Answers()
    if options.service == "logind":
        served = Manager(bus, path, answers)
    else:
        served = Portal(bus, path, answers, dbus.bus.BusConnection(address))
    owned = [dbus.service.BusName(name, bus)]
    print(address, flush=True)

    def command(line):
        words = line.split()
        if words == ["refuse"]:
            answers.refuse = True
        elif words == ["refuse-lid"]:
            answers.refuse_lid = True
        elif words == ["grant"]:
            answers.refuse = answers.refuse_lid = answers.forge = False
            answers.response = None
        elif words in (["decline"], ["confirm"], ["forge"]):
            answers.response = {"decline": 2, "confirm": 0, "forge": None}[words[0]]
            answers.forge = words == ["forge"]
        elif len(words) == 2 and words[0] == "delay":
            answers.delay_ms = int(words[1])
        elif words == ["absent"]:
            owned.clear()
        elif words == ["present"]:
            if not owned:
                owned.append(dbus.service.BusName(name, bus))
        else:
            say("unknown %s" % line.strip())
            return
        say("set %s" % " ".join(words))

    def stop(*_):
        loop.quit()
        return False

    unread = [b""]

    def readable(fd, condition):
        data = os.read(fd, 4096)
        if not data:
            return stop()
        lines = (unread[0] + data).split(b"\n")
        unread[0] = lines.pop()
        for line in lines:
            command(line.decode())
        return True

    GLib.io_add_watch(sys.stdin.fileno(), GLib.IO_HUP | GLib.IO_IN, readable)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, stop)
    try:
        loop.run()
    finally:
        # The name is given back while the bus still runs.
        owned.clear()
        del served
        daemon.terminate()
        daemon.wait()
        for entry in os.listdir(folder):
            os.unlink(os.path.join(folder, entry))
        os.rmdir(folder)


if __name__ == "__main__":
    main()
