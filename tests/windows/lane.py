#!/usr/bin/env python3
"""The Windows build under Wine, end to end, against the device simulator
(each simulated device's pty mapped as a COM port) and a firmware server on
127.0.0.1, at the port of the URL the build was made for, whose host name
the machine resolves to 127.0.0.1:

1. the Windows test programs (ctest in the Windows build);
2. the installer, silently: files, Start menu entry, Apps & features entry,
   and with QL7420_SIGN_CA the Authenticode signatures of the installer and
   of the programs and the uninstaller it installed;
3. the installed command line: --version, check, a bundle fetched into a
   folder and fetched again over it, an update of three devices at once
   from that bundle, Ctrl-C at its confirmation question in a terminal, and a
   device that stops answering at block 100; with the maker's key, a
   bundle older than a version verified refused, and taken with
   --allow-older; devices plugged
   in as Plug and Play shows them, listed and updated by --all; the
   installed window, on a virtual X server, finding, dropping and updating
   a plugged device; a build for https, through Schannel;
4. the window's demo on a virtual X server, beside two command lines
   each updating a device of its own, with a screenshot of the window as
   Wine draws it;
5. the uninstaller, silently: refused while the window runs, with every
   file and the entry left; then nothing may be left;
6. one whole transfer through the Windows command line and through the
   Linux one, timed from the first progress event to the result;
7. the session's end (wineboot --end-session) refused by the command line
   and by the window while each transfers, and accepted before and after;
8. an upgrade from an earlier release: cancelled at the first page, tried
   silently and interactively while the installed tool runs, then done.

usage: lane.py WINDOWS_BUILD LINUX_CLI URL OUTDIR EARLIER_SETUP HTTPS_BUILD

WINDOWS_BUILD is the cross build (with its installer and zip made by
cpack), built for the firmware server URL, as are LINUX_CLI, the Linux
command line, and EARLIER_SETUP, the installer of an earlier release. The
screenshot goes to OUTDIR/window-wine.png. HTTPS_BUILD is a cross build of
the command line alone, for https://firmware.example.com:18443/data (that
name resolving to 127.0.0.1), pinning HTTPS_BUILD/certificates/authority.pem.
"""

import base64
import glob
import hashlib
import json
import os
import queue
import pty
import re
import select
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import zipfile

import run_under_wine as wine

TOOLS_DIR = wine.TOOLS_DIR
HOLDFILE = os.path.join(tempfile.gettempdir(), "holdfile.exe")
LINE_LIMIT = 120
HTTPS_PORT = 18443
IMAGE = os.urandom(200000)
# The device holds 3376 blocks of 64 bytes; the rest of a shorter image is 0xFF.
EXPECTED_MD5 = hashlib.md5(IMAGE + b"\xff" * (3376 * 64 - len(IMAGE))).hexdigest()
INSTALL_DIR = "Program Files/QL-7420 FW Update Tool"
SHORTCUT = "ProgramData/Microsoft/Windows/Start Menu/Programs/QL-7420 FW Update Tool.lnk"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\ql7420-fwupdate"
SETUP_TITLE = "QL-7420 FW Update Tool"
# The installer's exit codes when it stops for a running tool, or for an
# uninstaller of the installed version that failed.
EXIT_TOOL_RUNNING = 3
EXIT_UNINSTALL_FAILED = 4
failures = []
# The firmware signing key that the release's programs hold the public half
# of (release.sh --throwaway-keys); none for a build that takes unsigned
# firmware.
FIRMWARE_KEY = os.environ.get("QL7420_LANE_FIRMWARE_KEY", "")
# Its public half, which minisign made beside it.
FIRMWARE_PUBLIC_KEY = FIRMWARE_KEY[:-len(".key")] + ".pub"


def check(passed, what):
    print("%s %s" % ("PASS" if passed else "FAIL", what), flush=True)
    if not passed:
        failures.append(what)
    return passed


class Simulator:
    """A simulated device, mapped into the prefix as COM<number>."""

    def __init__(self, prefix, number, *options):
        self.process, self.pty = wine.start_simulator(*options)
        self.name = "COM%d" % number
        wine.map_com_port(prefix, self.name, self.pty)

    def report(self):
        return json.loads(wine.ask(self.process, "report").partition(" ")[2])

    def holds_the_image(self, who):
        report = self.report()
        return check(report["imageMd5"] == EXPECTED_MD5 and report["endCommands"] == 1,
                     "%s: the device simulator holds the published image (%s)"
                     % (who, report["imageMd5"]))

    def stop(self):
        self.process.kill()
        self.process.wait()


class Program:
    """A program run in the background, its output read line by line, each
    line with the time it arrived."""

    def __init__(self, command, env):
        self.process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.lines = queue.Queue()
        self.errors = []
        threading.Thread(target=self._read, args=(self.process.stdout, self.lines.put),
                         daemon=True).start()
        threading.Thread(target=self._read, args=(self.process.stderr, self.errors.append),
                         daemon=True).start()

    @staticmethod
    def _read(stream, put):
        for line in stream:
            put((time.monotonic(), line.decode(errors="replace").rstrip("\r\n")))

    def next_line(self, limit=LINE_LIMIT):
        """The next line, or None once the program has ended and said all:
        the end of the program counts, not of its output, which anything it
        started may still hold."""
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            try:
                return self.lines.get(timeout=0.2)
            except queue.Empty:
                if self.process.poll() is not None and self.lines.empty():
                    time.sleep(0.2)
                    if self.lines.empty():
                        return None
        self.process.kill()
        wine.fail("%s: no output for %d s" % (self.process.args[1], limit))

    def all_lines(self):
        lines = []
        while (line := self.next_line()) is not None:
            lines.append(line)
        return lines

    def status(self):
        return self.process.wait(timeout=LINE_LIMIT)


def run(command, env, limit=LINE_LIMIT):
    return subprocess.run(command, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=limit)


def json_events(lines):
    return [(stamp, json.loads(text)) for stamp, text in lines if text.startswith("{")]


def transfer_seconds(events):
    """From the first progress event to the result."""
    progress = [stamp for stamp, event in events if event["event"] == "progress"]
    result = [stamp for stamp, event in events if event["event"] == "result"]
    return result[0] - progress[0] if progress and result else float("nan")


def installed(prefix, path=""):
    return os.path.join(prefix, "drive_c", INSTALL_DIR, path)


def cpack_setting(build, name):
    config = open(os.path.join(build, "CPackConfig.cmake"), encoding="utf-8").read()
    return re.search(r'^set\(%s "(.*)"\)$' % name, config, re.MULTILINE).group(1)


def registry_values(text):
    """The values of a `reg query` answer, by name."""
    found = re.findall(r"^\s+(\S+)\s+REG_\w+\s+(.*?)\s*$", text, re.MULTILINE)
    return dict(found)


def folder_kib(folder):
    return sum(os.path.getsize(os.path.join(top, name))
               for top, _, names in os.walk(folder) for name in names) // 1024


def install(prefix, env, setup, build):
    result = run(["wine", setup, "/S"], env)
    check(result.returncode == 0, "the installer ends with 0 (%d)" % result.returncode)
    for path in ("ql7420-fwupdate.exe", "ql7420-fwupdate-cli.exe", "uninstall.exe", "Qt6Core.dll",
                 "Qt6SerialPort.dll", "libstdc++-6.dll", "platforms/qwindows.dll",
                 "styles/qmodernwindowsstyle.dll", "tls/qschannelbackend.dll",
                 "licenses/qt/qtbase/LGPL-3.0-only.txt"):
        check(os.path.exists(installed(prefix, path)), "installed: %s" % path)
    check(os.path.exists(os.path.join(prefix, "drive_c", SHORTCUT)), "the Start menu entry")
    entry = registry_values(run(["wine", "reg", "query", UNINSTALL_KEY], env).stdout
                            .decode(errors="replace"))
    folder = "C:\\" + INSTALL_DIR.replace("/", "\\")
    for name, expected in (
            ("DisplayName", cpack_setting(build, "CPACK_NSIS_DISPLAY_NAME")),
            ("DisplayVersion", cpack_setting(build, "CPACK_PACKAGE_VERSION")),
            ("Publisher", cpack_setting(build, "CPACK_PACKAGE_VENDOR")),
            ("DisplayIcon", folder + "\\ql7420-fwupdate.exe,0"),
            ("UninstallString", '"%s\\uninstall.exe"' % folder)):
        check(entry.get(name) == expected,
              "Apps & features entry: %s is %r (%r)" % (name, expected, entry.get(name)))
    size, on_disk = int(entry.get("EstimatedSize", "0"), 0), folder_kib(installed(prefix))
    check(abs(size - on_disk) <= on_disk // 50,
          "Apps & features entry: EstimatedSize %d KiB is the installed folder's %d KiB"
          % (size, on_disk))


def signatures(prefix, setup):
    """Each signed file verifies against the authority that signed it, the
    uninstaller as the installer wrote it."""
    authority = os.environ.get("QL7420_SIGN_CA")
    if not authority:
        print("NOT SIGNED: the installer and the programs carry no signature", flush=True)
        return
    for path in (setup, installed(prefix, "ql7420-fwupdate.exe"),
                 installed(prefix, "ql7420-fwupdate-cli.exe"), installed(prefix, "uninstall.exe")):
        verify = subprocess.run(["osslsigncode", "verify", "-CAfile", authority, "-in", path],
                                capture_output=True, text=True)
        check(verify.returncode == 0, "Authenticode signature verified: %s" % os.path.basename(path))
        if verify.returncode != 0:
            print(verify.stdout + verify.stderr)


def server_in_programs(prefix, base_url):
    """The installed programs hold the firmware server's URL and no loopback
    URL."""
    script = os.path.join(TOOLS_DIR, "..", "scripts", "loopback-urls.py")
    search = subprocess.run([sys.executable, script, "--expect", base_url,
                             installed(prefix, "ql7420-fwupdate.exe"),
                             installed(prefix, "ql7420-fwupdate-cli.exe")],
                            capture_output=True, text=True)
    check(search.returncode == 0, "the installed programs hold %s and no loopback URL %s"
          % (base_url, search.stdout.strip()))


def uninstall(prefix, env):
    # The uninstaller copies itself away and returns at once; the copy
    # removes the folder.
    run(["wine", installed(prefix, "uninstall.exe"), "/S"], env)
    deadline = time.monotonic() + 60
    while os.path.exists(installed(prefix)) and time.monotonic() < deadline:
        time.sleep(0.5)
    check(not os.path.exists(installed(prefix)), "uninstalled: the program folder is gone")
    check(not os.path.exists(os.path.join(prefix, "drive_c", SHORTCUT)),
          "uninstalled: the Start menu entry is gone")
    check(run(["wine", "reg", "query", UNINSTALL_KEY], env).returncode != 0,
          "uninstalled: the Apps & features entry is gone")


def uninstall_while_window_runs(prefix, env):
    """Refused, silently, by the uninstaller run where it is (whose end the
    caller can wait for) and by the copy it runs from elsewhere (as Apps &
    features starts it): every file and the entry stay."""
    before = file_digests(installed(prefix))
    entries = tool_entries(env)
    window = subprocess.Popen(["wine", installed(prefix, "ql7420-fwupdate.exe")], env=env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        if not check(wait_for_window(env, "^FW") is not None, "the installed window runs"):
            return
        # _?= must stand unquoted at the end of the command line, which only
        # a batch file passes on as it is.
        folder = "C:\\" + INSTALL_DIR.replace("/", "\\")
        with open(os.path.join(prefix, "drive_c", "uninstall-here.bat"), "w") as batch:
            batch.write('"%s\\uninstall.exe" /S _?=%s\r\nexit /b %%ERRORLEVEL%%\r\n' % (folder, folder))
        result = run(["wine", "cmd", "/c", "C:\\uninstall-here.bat"], env)
        check(result.returncode == EXIT_TOOL_RUNNING, "uninstall while the window runs: ends with %d (%d)"
              % (EXIT_TOOL_RUNNING, result.returncode))
        run(["wine", installed(prefix, "uninstall.exe"), "/S"], env)
        # NSIS runs the copy as Un_A.exe (Au_.exe before NSIS 3): it has
        # ended once no such program is left in the session.
        deadline = time.monotonic() + 60
        time.sleep(3)
        while re.search(rb"(Un|Au)_[A-Z]?\.exe", run(["wine", "tasklist"], env).stdout) \
                and time.monotonic() < deadline:
            time.sleep(0.5)
        after = file_digests(installed(prefix)) if os.path.exists(installed(prefix)) else {}
        check(after == before and tool_entries(env) == entries,
              "uninstall while the window runs: every file and the Apps & features entry stay "
              "(missing %s)" % sorted(set(before) - set(after)))
    finally:
        window.kill()
        window.wait()
        run(["wine", "taskkill", "/f", "/im", "ql7420-fwupdate.exe"], env)


def command_line(prefix, env):
    cli = installed(prefix, "ql7420-fwupdate-cli.exe")
    version = run(["wine", cli, "--version"], env)
    check(version.returncode == 0 and b"ql7420-fwupdate-cli" in version.stdout
          and (not FIRMWARE_KEY or firmware_key_id().encode() in version.stdout),
          "cli --version, naming the firmware key it holds: %s"
          % version.stdout.decode(errors="replace").strip())
    latest = run(["wine", cli, "check"], env)
    check(latest.returncode == 0 and b"K-DMX-47-12" in latest.stdout,
          "cli check names K-DMX-47-12: %s" % latest.stdout.decode(errors="replace").strip())

    # The second fetch moves the first bundle aside and renames its own in.
    bundle = os.path.join(prefix, "drive_c", "ql7420-bundle")
    for attempt in ("fetch", "fetch over that bundle"):
        fetched = run(["wine", cli, "fetch", r"C:\ql7420-bundle"], env)
        check(fetched.returncode == 0 and b"K-DMX-47-12.ghx" in fetched.stdout,
              "cli %s: %s" % (attempt, (fetched.stdout + fetched.stderr).decode(errors="replace").strip()))
    files = ["K-DMX-47-12.ghx", "MD5SUMS", "bundle.json", "version.txt"]
    if FIRMWARE_KEY:
        files.insert(1, "K-DMX-47-12.ghx.minisig")
    check(sorted(os.listdir(bundle)) == files
          and subprocess.run(["md5sum", "--quiet", "-c", "MD5SUMS"], cwd=bundle).returncode == 0
          and not [name for name in os.listdir(os.path.dirname(bundle)) if name.startswith(".ql7420-bundle")],
          "the bundle: %s, which md5sum -c accepts, nothing left beside it" % ", ".join(files))

    devices = [Simulator(prefix, number) for number in (21, 22, 23)]
    try:
        ports = [argument for device in devices for argument in ("--port", device.name)]
        program = Program(["wine", cli, "update", "--from", r"C:\ql7420-bundle", *ports, "--yes", "--json"],
                          env)
        lines = program.all_lines()
        status = program.status()
        sources = [event.get("source") for _, event in json_events(lines) if event["event"] == "check"]
        check(status == 0 and sources == ["bundle"],
              "cli update of three devices at once from the bundle ends with 0 (%d, %s)" % (status, sources))
        if status != 0:
            print("\n".join(text for _, text in lines + program.errors))
        overlap(json_events(lines), [device.name for device in devices])
        for device in devices:
            device.holds_the_image("three at once, " + device.name)
    finally:
        for device in devices:
            device.stop()

    asked = Simulator(prefix, 25)
    try:
        interrupted_at_the_question(cli, env, asked)
    finally:
        asked.stop()

    stalling = Simulator(prefix, 24, "--fault", "silence@100")
    try:
        program = Program(["wine", cli, "update", "--port", stalling.name, "--yes", "--json"], env)
        events = json_events(program.all_lines())
        status = program.status()
        results = [event for _, event in events if event["event"] == "result"]
        check(status == 4 and results and "block 101 of 3376" in results[0].get("reason", ""),
              "a device silent from block 100 (0-based): exit 4, naming block 101 of 3376 (%d, %s)"
              % (status, json.dumps(results)))
    finally:
        stalling.stop()


def versions_only_go_forward(prefix, env):
    """The keyed build keeps the version it verified in the user's
    %LOCALAPPDATA%, and refuses a bundle older than one it has verified
    unless --allow-older; the record is put back as it was."""
    cli = installed(prefix, "ql7420-fwupdate-cli.exe")
    found = glob.glob(os.path.join(prefix, "drive_c", "users", "*", "AppData", "Local",
                                   "ql7420-fwupdate", "verified-versions.json"))
    check(len(found) == 1, "the versions verified, recorded in %%LOCALAPPDATA%%: %s" % found)
    if len(found) != 1:
        return
    with open(found[0], "rb") as record:
        kept = record.read()
    entries = json.loads(kept)["highest verified versions"]
    check(entries and all(entry["version"] == 12 for entry in entries),
          "version 12 recorded as verified: %s" % entries)
    for entry in entries:
        entry["version"] = 13
    try:
        with open(found[0], "w") as record:
            json.dump({"highest verified versions": entries}, record)
        refused = run(["wine", cli, "check", "--from", r"C:\ql7420-bundle"], env)
        check(refused.returncode == 1
              and b"older than version 13, which this PC has already verified" in refused.stderr,
              "cli check --from, the bundle older than a version verified: refused (%d, %s)"
              % (refused.returncode, refused.stderr.decode(errors="replace").strip()))
        taken = run(["wine", cli, "check", "--from", r"C:\ql7420-bundle", "--allow-older", "--json"], env)
        check(taken.returncode == 0 and b'"olderThanVerified":13' in taken.stdout,
              "cli check --from --allow-older: taken, and said (%d, %s)"
              % (taken.returncode, taken.stdout.decode(errors="replace").strip()))
    finally:
        with open(found[0], "wb") as record:
            record.write(kept)


def firmware_key_id():
    """The key id of FIRMWARE_KEY's public half, as minisign shows it."""
    with open(FIRMWARE_PUBLIC_KEY) as public:
        key = base64.b64decode(public.read().splitlines()[1])
    return key[2:10][::-1].hex().upper()


def forged_firmware(prefix, env, site):
    """A build that holds the maker's key sends the signed image, and refuses
    a forged one whose MD5 the version file was made to match, in the
    command line and in the window, before any port is opened."""
    cli = installed(prefix, "ql7420-fwupdate-cli.exe")
    folder = os.path.join(site, "data", "hello", "TPX-KLN04")
    served = {name: os.path.join(folder, name) for name in ("K-DMX-47-12.ghx", "version.txt")}
    published = {}
    for name, path in served.items():
        with open(path, "rb") as original:
            published[name] = original.read()
    forged = os.urandom(len(IMAGE))

    def forge(where):
        """Puts the forged image in the folder, with its MD5 in the version file."""
        with open(os.path.join(where, "K-DMX-47-12.ghx"), "wb") as out:
            out.write(forged)
        with open(os.path.join(where, "version.txt"), "w") as out:
            out.write("12 %s\n" % hashlib.md5(forged).hexdigest())

    def update(*options):
        """The exit status and the check events of an update of the device."""
        program = Program(["wine", cli, "update", *options, "--port", device.name, "--yes", "--json"], env)
        checks = [event for _, event in json_events(program.all_lines()) if event["event"] == "check"]
        return program.status(), checks

    def refused(what, *options):
        before = device.report()
        status, checks = update(*options)
        after = device.report()
        untouched = all(after[key] == before[key] for key in ("pcModeRequests", "startCommands"))
        check(status == 1 and checks and checks[0].get("failure") == "SignatureInvalid" and untouched,
              "cli update %s, its MD5 rewritten: exit 1, SignatureInvalid, the device untouched (%d, %s)"
              % (what, status, json.dumps(checks)))

    device = Simulator(prefix, 26)
    try:
        status, checks = update()
        check(status == 0 and checks and checks[0].get("signedBy") == firmware_key_id(),
              "cli update of the signed image ends with 0, signed by key %s (%d, %s)"
              % (firmware_key_id(), status, json.dumps(checks)))
        device.holds_the_image("the signed image")

        forge(folder)
        refused("of a forged image")
        # The same forgery in a copy of the bundle that command_line() fetched.
        forged_bundle = os.path.join(prefix, "drive_c", "ql7420-forged")
        shutil.rmtree(forged_bundle, ignore_errors=True)
        shutil.copytree(os.path.join(prefix, "drive_c", "ql7420-bundle"), forged_bundle)
        forge(forged_bundle)
        refused("--from a forged bundle", "--from", r"C:\ql7420-forged")
        shutil.rmtree(forged_bundle, ignore_errors=True)

        # The window's failure notice comes over its opening one; once it is
        # answered, both close and the window runs on with nothing to send.
        # Window titles reach X in the locale's encoding.
        window_env = dict(env, LANG="C.UTF-8")
        window = Program(["wine", installed(prefix, "ql7420-fwupdate.exe")], window_env)
        try:
            refused = next_output(window, ["firmware check failed", "signature invalid"], 60, since=0)
            notice = visible_window(window_env, WINDOW_TITLE)
            answered = notice is not None and press_return(window_env, notice, WINDOW_TITLE)
            time.sleep(3)
            opened = [text for _, text in window.errors if "open:" in text]
            check(refused is not None and answered and not opened,
                  "the window refuses the forged image with its one notice, no port opened "
                  "(refused: %s, notice answered: %s, opened: %s)" % (refused is not None, answered, opened))
        finally:
            run(["wine", "taskkill", "/f", "/im", "ql7420-fwupdate.exe"], env)
            ends(window.process, 30)
    finally:
        for name, path in served.items():
            with open(path, "wb") as out:
                out.write(published[name])
        device.stop()


def interrupted_at_the_question(cli, env, device):
    """Ctrl-C typed at the confirmation question, in a terminal, which Wine
    makes the program's console: the program ends as interrupted (130), not
    as not confirmed (2), and sends the device nothing."""
    pid, terminal = pty.fork()
    if pid == 0:
        os.execvpe("wine", ["wine", cli, "update", "--port", device.name], env)
    said = b""
    # Wine's console draws each character between escape sequences.
    asked = False
    deadline = time.monotonic() + LINE_LIMIT
    while not asked and time.monotonic() < deadline:
        if select.select([terminal], [], [], 1)[0]:
            try:
                said += os.read(terminal, 4096)
            except OSError:
                break
            asked = b"[y/N]" in re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", said)
    os.write(terminal, b"\x03")
    # Windows ends the console read at Ctrl-C, perhaps before the handler
    # has run; Wine's console echoes ^C and ends it only at Enter, by when
    # the handler has run, so the race cannot arise here.
    time.sleep(1)
    os.write(terminal, b"\r")
    print("WINE unlike Windows: Wine's console read ends at the Enter after Ctrl-C, not at Ctrl-C",
          flush=True)
    while time.monotonic() < deadline:
        if select.select([terminal], [], [], 1)[0]:
            try:
                if not os.read(terminal, 4096):
                    break
            except OSError:
                break
    os.close(terminal)
    status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
    report = device.report()
    check(asked and status == 130 and report["startCommands"] == 0 and report["pcModeRequests"] == 0,
          "Ctrl-C at the confirmation question: ends with 130 (%d), nothing sent (asked: %s)"
          % (status, asked if asked else said[-400:]))


def overlap(events, ports):
    """The transfers ran at the same time: each one's progress began before
    any other's ended."""
    spans = []
    for port in ports:
        stamps = [stamp for stamp, event in events
                  if event["event"] == "progress" and event.get("port") == port]
        spans.append((min(stamps), max(stamps)) if stamps else (float("inf"), float("-inf")))
    latest_start, earliest_end = max(span[0] for span in spans), min(span[1] for span in spans)
    check(latest_start < earliest_end,
          "the three transfers overlap: the last began %.1f s before the first ended"
          % (earliest_end - latest_start))


# Plugged devices: COM numbers above the host's own ports and those the
# other checks map, each with the slot of its driver's SERIALCOMM entry.
PLUGGED = [("COM41", "QL7420A001", 0), ("COM42", "QL7420A002", 1), ("COM43", "QL7420B001", 2)]
SLOTS = [slot for _, _, slot in PLUGGED]
WINDOW_TITLE = "FWアップデートツール"
BOX_TITLE = "FW更新"
PC_MODE_BOX_TITLE = "Firmware upgrade"
# Pixel rows of the dialog as Wine's desktop draws it, with its frame
# (458 × 334): the status line, the latest version, the device's version
# and the update button.
STATUS_ROWS, LATEST_ROWS, CURRENT_ROWS, BUTTON_ROWS = (50, 110), (125, 185), (200, 262), (266, 298)
BUTTON_SPOT = (229, 283)


class PluggedDevice(Simulator):
    """A simulated device that Windows programs see as plugged in over USB."""

    def __init__(self, prefix, env, plugged, product=0x16AA):
        name, self.serial, self.slot = plugged
        super().__init__(prefix, int(name[3:]))
        self.prefix, self.env, self.product = prefix, env, product
        self.plugged = False
        self.plug()

    def plug(self):
        wine.plug_usb_serial(self.prefix, self.env, self.name, self.pty, self.serial, self.slot,
                             product=self.product)
        self.plugged = True

    def unplug(self):
        wine.unplug_usb_serial(self.prefix, self.env, self.name, self.serial, self.slot,
                               product=self.product)
        self.plugged = False

    def stop(self):
        if self.plugged:
            self.unplug()
        super().stop()


def plugged_command_line(prefix, env):
    """The installed command line finds plugged devices by their USB
    identifiers and names each by its serial number."""
    started = time.monotonic()
    cli = installed(prefix, "ql7420-fwupdate-cli.exe")
    wine.clear_usb_serials(env, SLOTS)
    devices = []
    try:
        devices = [PluggedDevice(prefix, env, plugged) for plugged in PLUGGED[:2]]
        # Same vendor, another product: not ours.
        devices.append(PluggedDevice(prefix, env, PLUGGED[2], product=0x16AB))
        listed = run(["wine", cli, "list"], env)
        text = listed.stdout.decode(errors="replace")
        print(text.rstrip(), flush=True)
        check(listed.returncode == 0
              and all(re.search(r"%s \(.*%s\)(, |、)USB 0451:16AA" % (device.name, device.serial), text)
                      for device in devices[:2])
              and devices[2].name not in text and devices[2].serial not in text,
              "cli list: the two plugged devices with USB ids 0451:16AA, each with its serial number, "
              "not the one with 0451:16AB")
        program = Program(["wine", cli, "update", "--all", "--yes", "--json"], env)
        results = [event for _, event in json_events(program.all_lines()) if event["event"] == "result"]
        status = program.status()
        named = sorted((event.get("serial"), event.get("ok")) for event in results)
        check(status == 0 and named == [(device.serial, True) for device in devices[:2]],
              "cli update --all: both plugged devices, each named by its serial number (%d, %s)"
              % (status, named))
        for device in devices[:2]:
            device.holds_the_image("update --all, " + device.serial)
    finally:
        for device in devices:
            device.stop()
    print("   plugged devices through the command line: %.1f s" % (time.monotonic() - started), flush=True)


def watched_command_line(prefix, env):
    """The installed command line watching a bench: two devices plugged in
    one after the other, each updated whole as it comes."""
    started = time.monotonic()
    cli = installed(prefix, "ql7420-fwupdate-cli.exe")
    wine.clear_usb_serials(env, SLOTS)
    program = Program(["wine", cli, "update", "--watch", "--count", "2", "--json"], env)
    devices, events = [], []

    def next_event(kind):
        """The next event of the kind; with none, the end of the output."""
        while (line := program.next_line()) is not None:
            if line[1].startswith("{"):
                events.append(json.loads(line[1]))
                if events[-1]["event"] == kind:
                    return events[-1]
        return None

    try:
        checked = next_event("check")
        check(bool(checked and checked["ok"]), "cli update --watch: the firmware checked at the start")
        for plugged in PLUGGED[:2]:
            devices.append(PluggedDevice(prefix, env, plugged))
            result = next_event("result")
            check(bool(result and result.get("serial") == plugged[1] and result["ok"]),
                  "cli update --watch: %s updated once plugged in (%s)" % (plugged[1], result))
        next_event(None)
        status = program.status()
        appeared = [event.get("serial") for event in events if event["event"] == "appeared"]
        summary = [event for event in events if event["event"] == "summary"]
        check(status == 0 and appeared == [serial for _, serial, _ in PLUGGED[:2]]
              and len(summary) == 1 and summary[0]["updated"] == 2,
              "cli update --watch --count 2: each device seen as it was plugged in, then the end "
              "(%s, %s, %s)" % (status, appeared, summary))
        for device in devices:
            device.holds_the_image("update --watch, " + device.serial)
    finally:
        if program.process.poll() is None:
            program.process.kill()
        for device in devices:
            device.stop()
    print("   a watched bench through the command line: %.1f s" % (time.monotonic() - started),
          flush=True)


def xdotool(env, *arguments):
    # Window titles reach X in the locale's encoding.
    return subprocess.run(["xdotool", *arguments], env=dict(env, LC_ALL="C.UTF-8"),
                          capture_output=True, text=True, timeout=30).stdout.split()


def visible_window(env, title, limit=30):
    """The newest visible X window whose title holds TITLE, or None."""
    deadline = time.monotonic() + limit
    while True:
        found = xdotool(env, "search", "--onlyvisible", "--name", title)
        if found or time.monotonic() > deadline:
            return found[-1] if found else None
        time.sleep(0.2)


def press_return(env, window, title):
    """Answers a message box as a person would, with its OK key; returns
    whether the box went away."""
    xdotool(env, "windowfocus", "--sync", window)
    xdotool(env, "key", "Return")
    deadline = time.monotonic() + 10
    while visible_window(env, title, 0) == window:
        if time.monotonic() > deadline:
            return False
        time.sleep(0.2)
    return True


def window_pixels(env, window, png=None):
    """The window as drawn: its width and its RGB rows. Raised first: a part
    that another window covers (a program the lane ran leaves one behind
    now and then) reads back black."""
    xdotool(env, "windowraise", window)
    time.sleep(0.3)
    dump = subprocess.run(["xwd", "-id", window, "-display", env["DISPLAY"]], capture_output=True,
                          timeout=30)
    ppm = subprocess.run(["xwdtopnm"], input=dump.stdout, capture_output=True, timeout=30).stdout
    if png:
        with open(png, "wb") as out:
            out.write(subprocess.run(["pnmtopng"], input=ppm, capture_output=True, timeout=30).stdout)
    header = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", ppm)
    if not header:
        return 0, b""
    return int(header.group(1)), ppm[header.end():]


def band(image, rows):
    width, pixels = image
    return pixels[rows[0] * width * 3:rows[1] * width * 3]


def ink(image, rows):
    """How many pixels of those rows text has darkened."""
    part = band(image, rows)
    return sum(1 for i in range(0, len(part), 3) if part[i] + part[i + 1] + part[i + 2] < 300)


def picture_when(env, window, condition, png=None, limit=15):
    """The window as drawn once CONDITION holds for the picture, or as drawn
    LIMIT seconds on."""
    deadline = time.monotonic() + limit
    while True:
        picture = window_pixels(env, window, png)
        if condition(picture) or time.monotonic() > deadline:
            return picture
        time.sleep(0.3)


def print_window_said(window, lines, why=""):
    """The last LINES of the window's debug output, after WHY."""
    print("   %sthe window said:\n      " % (why + "; " if why else "")
          + "\n      ".join(text for _, text in window.errors[-lines:]), flush=True)


def next_output(program, words, limit=60, since=None):
    """The time of the first line of the program's debug output, from now on
    or from line SINCE, that holds all WORDS, or None."""
    seen = len(program.errors) if since is None else since
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        while seen < len(program.errors):
            stamp, text = program.errors[seen]
            seen += 1
            if all(word in text for word in words):
                return stamp
        time.sleep(0.1)
    return None


def plugged_window(prefix, env, outdir):
    """The installed window, started with no device, as a person uses it:
    it finds a device plugged in later, drops it when it is unplugged, and
    updates it once it is back."""
    started = time.monotonic()
    wine.clear_usb_serials(env, SLOTS)
    # Window titles reach X in the locale's encoding.
    env = dict(env, LANG="C.UTF-8")
    # A virus scanner looking into the image's file when the window puts the
    # download in its place: Wine refuses the rename with "access denied",
    # as Windows does for a scanner or the indexer.
    temp = run(["wine", "cmd", "/c", "echo", "%TEMP%"], env).stdout.decode().strip()
    holder = subprocess.Popen(["wine", HOLDFILE, temp + "\\hello_Update.ghx"], env=env,
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    check(holder.stdout.readline().strip() == b"held", "a scanner holds %s\\hello_Update.ghx" % temp)
    window = Program(["wine", installed(prefix, "ql7420-fwupdate.exe")], env)
    device = None
    try:
        held = next_output(window, ["held by another program", "hello_Update.ghx"], since=0)
        time.sleep(2)
        holder.communicate(b"\n", timeout=30)
        let_go = len(window.errors)
        stored = next_output(window, ["onDone"], 30, since=let_go)
        time.sleep(0.5)
        check(held is not None and stored is not None
              and not any("firmware check failed" in text for _, text in window.errors),
              "the image that a scanner held is stored once it lets go, 2 s later")
        notice = visible_window(env, BOX_TITLE)
        if not check(notice and press_return(env, notice, BOX_TITLE),
                     "the installed window's opening notice, answered with Return"):
            return
        dialog = visible_window(env, WINDOW_TITLE)
        if not check(dialog is not None, "the installed window shows, titled " + WINDOW_TITLE):
            return
        time.sleep(2)
        alone = window_pixels(env, dialog, os.path.join(outdir, "window-no-device.png"))

        device = PluggedDevice(prefix, env, PLUGGED[0])
        plugged = time.monotonic()
        found = next_output(window, ["open:", device.name])
        if not check(found is not None, "the window finds a device plugged in after it started"):
            return
        print("   the window found the plugged device in %.1f s" % (found - plugged), flush=True)
        # Windows 11 coarsens the timer of a process whose windows are
        # hidden or covered unless it asks not to, and keeps it when asked;
        # Wine throttles nothing and refuses the request as an invalid
        # function (error 1), so only the asking shows.
        timer = [text for _, text in window.errors if "ql7420.link: timer:" in text]
        timer = timer[0] if timer else "no such debug line"
        if "timer: ProcessPowerThrottling refused" in timer and "(error 1)" in timer:
            print("WINE unlike Windows: Wine refuses to keep the timer fine while hidden as an "
                  "invalid function, where Windows 11 keeps it: %s" % timer, flush=True)
        else:
            check("timer: kept at 1 ms" in timer,
                  "the window keeps its 1 ms timer while hidden: %s" % timer)
        answered = next_output(window, ["Version:"], 30)
        time.sleep(0.5)
        shown = window_pixels(env, dialog, os.path.join(outdir, "window-plugged.png"))
        check(answered is not None and ink(shown, CURRENT_ROWS) > ink(alone, CURRENT_ROWS) + 25
              and ink(shown, LATEST_ROWS) > ink(alone, CURRENT_ROWS) + 100,
              "the window shows the latest version and the device's (ink %d and %d, %d without)"
              % (ink(shown, LATEST_ROWS), ink(shown, CURRENT_ROWS), ink(alone, CURRENT_ROWS)))

        device.unplug()
        unplugged = time.monotonic()

        def as_alone(picture):
            return picture[1] and all(band(picture, rows) == band(alone, rows)
                                      for rows in (STATUS_ROWS, CURRENT_ROWS, BUTTON_ROWS))

        # A scan a second, and one more to trust a changed set of ports; a
        # loaded machine may take longer.
        dropped = picture_when(env, dialog, as_alone, os.path.join(outdir, "window-unplugged.png"))
        check(as_alone(dropped),
              "an unplugged device is dropped: status line, version line and disabled button "
              "as with no device (%.1f s after the unplug)" % (time.monotonic() - unplugged))

        device.plug()
        plugged = time.monotonic()
        found = next_output(window, ["open:", device.name])
        answered = next_output(window, ["Version:"], 30)
        check(found is not None and answered is not None,
              "the device plugged in again is found (%.1f s)" % ((found or plugged) - plugged))
        # The button drawn as when the device first showed: enabled.
        picture_when(env, dialog, lambda picture: band(picture, BUTTON_ROWS) == band(shown, BUTTON_ROWS))

        def click():
            # A device that answers a PC-mode request before the window has
            # closed the port gets the window's modal "PC Mode switched!"
            # box, which takes every click until someone answers it.
            for _ in range(3):
                box = visible_window(env, PC_MODE_BOX_TITLE, 0)
                if not box:
                    break
                print("   the window's \"PC Mode switched!\" box is open: answered with Return",
                      flush=True)
                press_return(env, box, PC_MODE_BOX_TITLE)
            # Without a window manager a click on a window that another
            # holds the focus from may only activate it: focused first, as a
            # person's first click would.
            xdotool(env, "windowraise", dialog)
            xdotool(env, "windowfocus", "--sync", dialog)
            time.sleep(0.3)
            since = len(window.errors)
            xdotool(env, "mousemove", "--window", dialog, *map(str, BUTTON_SPOT), "click", "1")
            return next_output(window, ["holding off sleep"], 10, since)

        clicked = time.monotonic()
        if click() is None:
            # Should a click still go astray, what the window said and its
            # picture show why.
            print_window_said(window, 15, "no transfer 10 s after the click on 更新, clicked again")
            window_pixels(env, dialog, os.path.join(outdir, "window-click-lost.png"))
            click()
        finish = visible_window(env, BOX_TITLE, 120)
        if not check(finish is not None, "after a click on 更新 the finish box shows (%.1f s)"
                     % (time.monotonic() - clicked)):
            print_window_said(window, 30)
            return
        # A box is mapped before it is painted; a picture of the whole
        # screen shows Wine's boxes black.
        time.sleep(1)
        window_pixels(env, finish, os.path.join(outdir, "window-finished.png"))
        check(press_return(env, finish, BOX_TITLE), "the finish box is closed with Return")
        device.holds_the_image("the installed window")
    finally:
        if holder.poll() is None:
            holder.kill()
        if device:
            device.stop()
        window.process.kill()
        window.process.wait()
    print("   the installed window with a plugged device: %.1f s" % (time.monotonic() - started),
          flush=True)


def https_through_schannel(prefix, env, https_build, site):
    """A build for an https server whose authority it pins, through Qt's
    Schannel backend and Wine's Schannel (GnuTLS) and crypt32."""
    started = time.monotonic()
    cli = os.path.join(https_build, "ql7420-fwupdate-cli.exe")
    certificates = os.path.join(https_build, "certificates")
    build_env = dict(env, WINEPATH=dll_folders(https_build))
    temps = glob.glob(os.path.join(prefix, "drive_c", "users", "*", "AppData", "Local", "Temp"))

    def files():
        return sorted(os.path.join(folder, name) for temp in temps
                      for folder, _, names in os.walk(temp) for name in names)

    def said(text):
        return "".join([line for line in text.splitlines() if "FW" in line][-1:])

    def check_against(certificate):
        server = serve(site, HTTPS_PORT, "--tls-cert", os.path.join(certificates, certificate + ".pem"),
                       "--tls-key", os.path.join(certificates, "server.key"))
        try:
            result = run(["wine", cli, "check"], build_env)
        finally:
            server.stdin.close()
            server.wait(timeout=10)
        return result.returncode, (result.stdout + result.stderr).decode(errors="replace").strip()

    before = files()
    status, text = check_against("trusted-name")
    # Qt's Schannel backend hands the pinned authority to crypt32 as a
    # PKCS#12 without a key, which Wine's PFXImportCertStore (GnuTLS) refuses
    # and Windows imports: the chain then lacks its issuer.
    wine_refuses_the_pin = (status == 1 and "GnuTLS error: The requested data were not available" in text
                            and "The issuer certificate could not be found" in text)
    if wine_refuses_the_pin:
        print("WINE unlike Windows: the pinned authority's server is refused too, as Wine's "
              "PFXImportCertStore takes no PKCS#12 without a private key, so Qt's Schannel backend "
              "never holds the pinned authority, unless the machine's trust store holds it too "
              "%s" % said(text), flush=True)
    else:
        check(status == 0 and "K-DMX-47-12" in text,
              "https through Schannel: check against the pinned authority's server (%d, %s)"
              % (status, text))
    status, text = check_against("other-authority-name")
    check(status == 1 and "certificate refused" in text,
          "https through Schannel: another authority's server refused with exit 1 %s" % said(text))

    # With both authorities in the machine's trust store, which Wine's crypt32
    # reads into its Root store, crypt32 finds the pinned one there, and Qt
    # holds the pin by comparing the chain's root with it.
    if not os.environ.get("QL7420_DISPOSABLE_MACHINE"):
        wine.fail("the https check adds authorities to this machine's trust store: run it in "
                  "the lane's own Debian tree")
    with open("/etc/ssl/certs/ca-certificates.crt", "a") as bundle:
        for authority in ("authority.pem", "other-authority.pem"):
            with open(os.path.join(certificates, authority)) as pem:
                bundle.write(pem.read())
    status, text = check_against("trusted-name")
    check(status == 0 and "K-DMX-47-12" in text,
          "https through Schannel, the pinned authority also in Wine's Root store: version file "
          "and image fetched (%d) %s" % (status, said(text)))
    status, text = check_against("other-authority-name")
    check(status == 1 and "certificate refused" in text,
          "https through Schannel: another authority's server refused although Wine's Root store "
          "trusts it %s" % said(text))
    check(temps and files() == before, "https through Schannel: nothing left in the temporary folder")
    print("   https through Schannel: %.1f s" % (time.monotonic() - started), flush=True)


def screenshot(display, path):
    dump = subprocess.run(["xwd", "-root", "-display", display], capture_output=True, timeout=30)
    png = subprocess.run(["sh", "-c", "xwdtopnm 2>/dev/null | pnmtopng"], input=dump.stdout,
                         capture_output=True, timeout=30)
    with open(path, "wb") as out:
        out.write(png.stdout)
    return dump.returncode == 0 and png.returncode == 0 and len(png.stdout) > 0


def demo_beside_command_lines(prefix, env, build, base_url, outdir):
    """The window's demo and, while it runs, two command lines, each program
    with a device of its own: none may trip over another's downloads."""
    demo = os.path.join(build, "ql7420-fwupdate-demo.exe")
    cli = installed(prefix, "ql7420-fwupdate-cli.exe")
    window_device = Simulator(prefix, 25)
    cli_devices = [Simulator(prefix, 26), Simulator(prefix, 27)]
    shot = os.path.join(outdir, "window-wine.png")
    try:
        window = Program(["wine", demo, "--port", window_device.name, "--base-url", base_url], env)
        beside = []
        shot_taken = None
        while (line := window.next_line()) is not None:
            text = line[1]
            print("   demo: " + text, flush=True)
            # The command lines start once the window's check has passed, so
            # that all three transfers overlap.
            if not beside and "Latest FW" in text:
                beside = [Program(["wine", cli, "update", "--port", device.name, "--yes", "--json"],
                                  env) for device in cli_devices]
            if shot_taken is None and "更新... 40 %" in text:
                shot_taken = check(screenshot(env["DISPLAY"], shot), "screenshot of the window: " + shot)
        check(shot_taken is not None, "the window's demo showed 更新... 40 % (for the screenshot)")
        status = window.status()
        check(status == 0, "the window's demo ends with 0 (%d)" % status)
        window_device.holds_the_image("the window's demo")
        check(len(beside) == 2, "two command lines ran beside the window")
        for program, device in zip(beside, cli_devices):
            program.all_lines()
            cli_status = program.status()
            check(cli_status == 0, "a command line beside the window ends with 0 (%d)" % cli_status)
            device.holds_the_image("a command line beside the window, " + device.name)
    finally:
        window_device.stop()
        for device in cli_devices:
            device.stop()


def one_transfer(command, env, device_name):
    program = Program(command + ["update", "--port", device_name, "--yes", "--json"], env)
    events = json_events(program.all_lines())
    return program.status(), transfer_seconds(events)


def speed(prefix, env, linux_cli):
    cli = installed(prefix, "ql7420-fwupdate-cli.exe")
    device = Simulator(prefix, 28)
    try:
        windows_status, windows_seconds = one_transfer(["wine", cli], env, device.name)
        linux_status, linux_seconds = one_transfer([linux_cli], dict(os.environ), device.pty)
    finally:
        device.stop()
    check(windows_status == 0 and linux_status == 0,
          "one transfer each through Windows and Linux (%d, %d)" % (windows_status, linux_status))
    print("SPEED one whole transfer: Linux %.2f s, Windows under Wine %.2f s, ratio %.3f (target 1.10)"
          % (linux_seconds, windows_seconds, windows_seconds / linux_seconds), flush=True)


def end_session(env):
    """Wine's way to ask every window whether the session may end: wineboot
    sends WM_QUERYENDSESSION to each top-level window and exits with 1 when
    one refuses, 0 when all agree (then WM_ENDSESSION follows)."""
    return run(["wine", "wineboot", "--end-session"], env).returncode


def end_session_mid_transfer(who, command, env, device, percent, before_transfer=None):
    """Runs command, asks to end the session once percent(line) of its output
    says 10 % or more, and checks that the session's end was refused and the
    transfer went on to the end; with before_transfer, also asks at the first
    line it accepts, where the end must be allowed, so that the refusal is
    the transfer's and not the program's mere presence."""
    program = Program(command, env)
    refused = accepted = None
    while (line := program.next_line()) is not None:
        done = percent(line[1])
        if before_transfer and accepted is None and before_transfer(line[1]):
            accepted = end_session(env)
        if refused is None and done is not None and done >= 10:
            refused = end_session(env)
    status = program.status()
    if before_transfer:
        check(accepted == 0, "%s lets the session end before its transfer (wineboot %s)"
              % (who, accepted))
    check(refused == 1, "%s refuses the session's end mid-transfer (wineboot %s)" % (who, refused))
    check(status == 0, "%s goes on to the end of its transfer (%d)" % (who, status))
    device.holds_the_image("%s asked to end the session" % who)


def json_percent(text):
    events = json_events([(0, text)])
    return events[0][1].get("percent") if events else None


def status_line_percent(text):
    shown = text.partition("更新... ")[2].partition(" %")[0]
    return int(shown) if shown.isdigit() else None


def session_end_during_transfers(prefix, env, build, base_url):
    """Log-off and shutdown refused while a transfer runs, by the window and
    by the command line. Wine keeps no power state: whether the computer is
    kept awake it cannot show."""
    check(end_session(env) == 0, "the session may end while nothing runs")
    cli = installed(prefix, "ql7420-fwupdate-cli.exe")
    device = Simulator(prefix, 29)
    try:
        end_session_mid_transfer(
            "the command line", ["wine", cli, "update", "--port", device.name, "--yes", "--json"],
            env, device, json_percent, lambda text: '"event":"check"' in text)
    finally:
        device.stop()
    demo = os.path.join(build, "ql7420-fwupdate-demo.exe")
    device = Simulator(prefix, 30)
    try:
        end_session_mid_transfer(
            "the window", ["wine", demo, "--port", device.name, "--base-url", base_url], env,
            device, status_line_percent)
    finally:
        device.stop()
    check(end_session(env) == 0, "the session may end again once the transfers are over")


def digest(data):
    """The SHA-256 of a file's content; of a Windows program or DLL without
    its time stamp and checksum, which strip sets anew at each run, and
    without its Authenticode signature, which holds the time of signing:
    cpack strips and signs for the installer and the zip apart."""
    if data[:2] == b"MZ":
        header = int.from_bytes(data[0x3C:0x40], "little")
        data = bytearray(data)
        data[header + 8:header + 12] = bytes(4)
        data[header + 88:header + 92] = bytes(4)
        # The certificate table's entry among the optional header's data
        # directories, of a 64-bit (PE32+) or a 32-bit image.
        pe32_plus = int.from_bytes(data[header + 24:header + 26], "little") == 0x20B
        entry = header + 24 + (144 if pe32_plus else 128)
        signature = int.from_bytes(data[entry:entry + 4], "little")
        if signature:
            del data[signature:]
            data[entry:entry + 8] = bytes(8)
    return hashlib.sha256(data).hexdigest()


def file_digests(folder):
    """Every file under the folder, by its path there, with its digest."""
    digests = {}
    for parent, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(parent, name)
            with open(path, "rb") as data:
                digests[os.path.relpath(path, folder)] = digest(data.read())
    return digests


def shipped_files(zip_path):
    """What the zip ships, by path inside its one folder, with each file's
    digest: the same files as the installer, which adds its uninstaller."""
    digests = {}
    with zipfile.ZipFile(zip_path) as archive:
        for member in archive.infolist():
            if not member.is_dir():
                path = os.path.normpath(member.filename.split("/", 1)[1])
                digests[path] = digest(archive.read(member))
    return digests


def tool_entries(env):
    """The values of each Apps & features entry that names the tool."""
    listing = run(["wine", "reg", "query", UNINSTALL_KEY.rpartition("\\")[0], "/s"], env)
    entries, values = [], None
    for line in listing.stdout.decode(errors="replace").splitlines():
        if line.startswith("HKEY_"):
            values = {}
            entries.append(values)
        elif values is not None and len(line.split(None, 2)) == 3:
            name, _, data = line.split(None, 2)
            values[name] = data
    return [values for values in entries if values.get("DisplayName", "").startswith(SETUP_TITLE)]


def wait_for_window(env, name, known=(), limit=60):
    """A shown window whose title matches the pattern, other than those
    known; None when none came within the limit."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        found = sorted(set(xdotool(env, "search", "--onlyvisible", "--name", name)) - set(known))
        if found:
            # Wine lays out a window's contents after showing it.
            time.sleep(1)
            return found[0]
        time.sleep(0.3)
    return None


def press(env, window, key):
    """Without a window manager Wine's windows take no activation; focus
    and keys reach them."""
    xdotool(env, "windowfocus", window)
    time.sleep(0.3)
    xdotool(env, "key", key)


def installed_as(prefix, env, version, files, who):
    """One Apps & features entry of that version, exactly those files
    beside the uninstaller, and a command line that starts."""
    versions = [entry.get("DisplayVersion") for entry in tool_entries(env)]
    check(versions == [version], "%s: one Apps & features entry, of %s (%s)" % (who, version, versions))
    found = file_digests(installed(prefix))
    found.pop("uninstall.exe", None)
    check(found == files, "%s: the installed files are those of %s (missing %s, extra or changed %s)"
          % (who, version, sorted(set(files) - set(found)),
             sorted(path for path in found if files.get(path) != found[path])))
    cli = run(["wine", installed(prefix, "ql7420-fwupdate-cli.exe"), "--version"], env)
    check(cli.returncode == 0 and version.encode() in cli.stdout,
          "%s: the installed command line starts: %s" % (who, cli.stdout.decode(errors="replace").strip()))


def ends(program, limit=LINE_LIMIT):
    try:
        return program.wait(timeout=limit)
    except subprocess.TimeoutExpired:
        program.kill()
        return "no end within %d s" % limit


def cancel_at_first_page(prefix, env, setup, earlier, earlier_files):
    began = time.monotonic()
    program = subprocess.Popen(["wine", setup], env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    page = wait_for_window(env, SETUP_TITLE)
    if check(page is not None, "the installer shows its first page"):
        press(env, page, "Escape")
        question = wait_for_window(env, SETUP_TITLE, known=[page])
        if check(question is not None, "cancelling asks whether to quit"):
            press(env, question, "Return")
    status = ends(program)
    check(status == 1, "cancelled at the first page: the installer ends with 1 (%s)" % status)
    installed_as(prefix, env, earlier, earlier_files, "cancelled at the first page")
    print("TIME cancel at the first page: %.1f s" % (time.monotonic() - began), flush=True)


def over_failing_uninstaller(prefix, env, setup, earlier, earlier_files):
    """The command line under the uninstaller's name stands for an
    uninstaller that fails: it refuses the uninstaller's arguments."""
    began = time.monotonic()
    uninstaller = installed(prefix, "uninstall.exe")
    shutil.copy(uninstaller, uninstaller + ".lane")
    shutil.copy(installed(prefix, "ql7420-fwupdate-cli.exe"), uninstaller)
    result = run(["wine", setup, "/S"], env)
    os.replace(uninstaller + ".lane", uninstaller)
    check(result.returncode == EXIT_UNINSTALL_FAILED,
          "silently, over a failing uninstaller: ends with %d (%d)" % (EXIT_UNINSTALL_FAILED, result.returncode))
    installed_as(prefix, env, earlier, earlier_files, "the earlier uninstaller failed")
    print("TIME a failing uninstaller: %.1f s" % (time.monotonic() - began), flush=True)


def upgrade_while_window_runs(prefix, env, setup, earlier, earlier_files):
    """Silently, the install stops; interactively, it asks to close the
    window and goes on when told to retry. Returns the installer, at its
    finish page, and that page's window, or None."""
    window = subprocess.Popen(["wine", installed(prefix, "ql7420-fwupdate.exe")], env=env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        check(wait_for_window(env, "^FW") is not None, "the installed window of %s runs" % earlier)
        began = time.monotonic()
        result = run(["wine", setup, "/S"], env)
        check(result.returncode == EXIT_TOOL_RUNNING, "silently, while the window runs: ends with %d (%d)"
              % (EXIT_TOOL_RUNNING, result.returncode))
        installed_as(prefix, env, earlier, earlier_files, "while the window runs, silently")
        print("TIME silent install while the window runs: %.1f s" % (time.monotonic() - began), flush=True)

        program = subprocess.Popen(["wine", setup], env=env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        page = wait_for_window(env, SETUP_TITLE)
        if not check(page is not None, "the installer shows its first page"):
            program.kill()
            return None
        press(env, page, "Return")  # the welcome page: next
        time.sleep(1)
        press(env, page, "Return")  # the folder: install
        question = wait_for_window(env, SETUP_TITLE, known=[page])
        if not check(question is not None, "while the window runs, the installer asks to close it"):
            program.kill()
            return None
    finally:
        window.kill()
        window.wait()
    press(env, question, "Return")  # retry, the window closed
    return program, page


def upgrade(prefix, env, earlier_setup, setup, zip_path):
    """The earlier release installed, then this one over it: cancelled at
    the first page, refused by the earlier uninstaller, stopped while the
    earlier window runs (silently, and by asking), and done."""
    earlier = os.path.basename(earlier_setup).split("-")[2]
    version = os.path.basename(setup).split("-")[2]
    began = time.monotonic()
    result = run(["wine", earlier_setup, "/S"], env)
    if not check(result.returncode == 0 and [entry.get("DisplayVersion") for entry in tool_entries(env)]
                 == [earlier], "%s installed silently (%d)" % (earlier, result.returncode)):
        return
    earlier_files = file_digests(installed(prefix))
    earlier_files.pop("uninstall.exe")
    print("TIME %s installed in %.1f s" % (earlier, time.monotonic() - began), flush=True)

    cancel_at_first_page(prefix, env, setup, earlier, earlier_files)
    over_failing_uninstaller(prefix, env, setup, earlier, earlier_files)
    began = time.monotonic()
    installer = upgrade_while_window_runs(prefix, env, setup, earlier, earlier_files)
    if installer is None:
        return
    program, page = installer
    new_files = shipped_files(zip_path)

    def done():
        entries = tool_entries(env)
        return len(entries) == 1 and "EstimatedSize" in entries[0] and file_digests(installed(
            prefix)).get("ql7420-fwupdate-cli.exe") == new_files["ql7420-fwupdate-cli.exe"]

    deadline = time.monotonic() + LINE_LIMIT
    while not done() and time.monotonic() < deadline:
        time.sleep(1)
    installed_as(prefix, env, version, new_files, "upgraded from %s" % earlier)
    print("TIME while the window runs, silently and then asked, to the upgrade done: %.1f s"
          % (time.monotonic() - began), flush=True)
    print("   installed: " + " ".join(sorted(new_files)), flush=True)
    # The finish page, its box to start the tool ticked.
    press(env, page, "Return")
    check(ends(program) == 0, "the installer ends with 0 after its finish page")
    check(wait_for_window(env, "^FW", limit=30) is not None, "the finish page started the installed window")
    run(["wine", "taskkill", "/f", "/im", "ql7420-fwupdate.exe"], env)


def start_firmware_server(port):
    site = tempfile.mkdtemp(prefix="ql7420-lane-site-")
    image = os.path.join(site, "image.ghx")
    with open(image, "wb") as out:
        out.write(IMAGE)
    signing = (["--minisign-key", FIRMWARE_KEY, "--public-key", FIRMWARE_PUBLIC_KEY]
               if FIRMWARE_KEY else [])
    subprocess.run([sys.executable, os.path.join(TOOLS_DIR, "publish-firmware.py"), image, "12", site,
                    *signing], check=True, stdout=subprocess.DEVNULL)
    return serve(site, port), site


def serve(site, port, *options):
    server = subprocess.Popen([sys.executable, "-u", os.path.join(TOOLS_DIR, "fwserver.py"),
                               "--port", str(port), *options, site],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    first = server.stdout.readline()
    if not first.startswith("PORT "):
        wine.fail("the firmware server did not start: %r" % first)
    threading.Thread(target=lambda: [None for _ in server.stdout], daemon=True).start()
    return server


def start_display():
    """A virtual X server on a display number of its own choosing."""
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "800x600x24",
                             "-nolisten", "tcp"], pass_fds=(write_end,),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as announced:
        number = announced.readline().strip()
    if not number:
        wine.fail("Xvfb did not start")
    return xvfb, ":" + number


def dll_folders(build):
    """Windows paths of the folders that hold the DLLs of the build tree's
    programs: Qt's and the compiler's runtime."""
    cache = open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8").read()
    qt_dir = next(line.split("=", 1)[1] for line in cache.splitlines() if line.startswith("Qt6_DIR:"))
    folders = [os.path.normpath(os.path.join(qt_dir, "..", "..", "..", "bin"))]
    for dll in ("libstdc++-6.dll", "libwinpthread-1.dll"):
        # The compiler that cmake/toolchain-mingw-w64.cmake names.
        found = subprocess.run(["x86_64-w64-mingw32-g++-posix", "-print-file-name=" + dll],
                               capture_output=True, text=True)
        folders.append(os.path.dirname(found.stdout.strip()))
    return ";".join("Z:" + folder.replace("/", "\\") for folder in folders)


def prepare_prefix(prefix, env):
    """Makes the prefix and sets it up; its Wine session is over on return,
    so that the next program starts a desktop that reads the settings."""
    print("Wine prefix made in %.1f s" % wine.make_prefix(prefix, env), flush=True)
    settings = [
        # Wine hands a Windows program none of the Unix environment's QT_
        # variables; Qt Test writes its results to standard output only
        # when told to, where Windows has no console window for it.
        (r"HKCU\Environment", "QT_FORCE_STDERR_LOGGING", "REG_SZ", "1"),
        # A desktop of Wine's own, which draws the windows' frames and titles.
        (r"HKCU\Software\Wine\Explorer", "Desktop", "REG_SZ", "Default"),
        (r"HKCU\Software\Wine\Explorer\Desktops", "Default", "REG_SZ", "800x600"),
        # Japanese in window titles: the font that a Japanese Windows draws
        # them with, which Wine does not have, is taken from this machine.
        (r"HKCU\Software\Wine\Fonts\Replacements", "MS UI Gothic", "REG_SZ", "IPAGothic"),
    ]
    for key, name, kind, value in settings:
        if run(["wine", "reg", "add", key, "/v", name, "/t", kind, "/d", value, "/f"],
               env).returncode != 0:
            wine.fail("could not set %s\\%s" % (key, name))
    subprocess.run(["wineserver", "--kill"], env=env, check=False)
    subprocess.run(["wineserver", "--wait"], env=env, check=False)


def main(argv):
    if len(argv) != 7:
        wine.fail("usage: lane.py WINDOWS_BUILD LINUX_CLI URL OUTDIR EARLIER_SETUP HTTPS_BUILD")
    build, linux_cli = os.path.abspath(argv[1]), os.path.abspath(argv[2])
    base_url, outdir = argv[3], os.path.abspath(argv[4])
    earlier_setup, https_build = os.path.abspath(argv[5]), os.path.abspath(argv[6])
    url = urllib.parse.urlsplit(base_url)
    port = url.port or {"http": 80, "https": 443}[url.scheme]
    setups = glob.glob(os.path.join(build, "ql7420-fwupdate-*-setup.exe"))
    zips = glob.glob(os.path.join(build, "ql7420-fwupdate-*-windows-x64.zip"))
    if len(setups) != 1 or len(zips) != 1:
        wine.fail("expected one installer and one zip in %s, found %s" % (build, setups + zips))
    os.makedirs(outdir, exist_ok=True)
    subprocess.run(["x86_64-w64-mingw32-g++-posix", "-O2", "-static", "-o", HOLDFILE,
                    os.path.join(os.path.dirname(os.path.abspath(__file__)), "holdfile.cpp")], check=True)

    prefix = os.path.join(build, "wineprefix")
    shutil.rmtree(prefix, ignore_errors=True)
    os.makedirs(prefix)
    xvfb, display = start_display()
    # A Japanese Windows: Wine then draws window titles with a Japanese font.
    # The display from the start: the desktop process that the prefix's
    # first program starts serves every later window, and one started
    # without a display shows none of them.
    env = dict(wine.wine_environment(prefix), LANG="ja_JP.UTF-8", DISPLAY=display)
    prepare_prefix(prefix, env)
    # Started here rather than by the first program, so that it ends with
    # the lane and its messages stay out of the output.
    server = subprocess.Popen(["wineserver", "--foreground", "--persistent"], env=env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    # The session's first program starts Wine's services, which inherit its
    # output and keep it open until the session ends: that program's output
    # goes nowhere, so that every later one's ends with the program.
    subprocess.run(["wine", "cmd", "/c", "exit"], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    firmware, site = start_firmware_server(port)
    try:
        # The build tree's programs find Qt's DLLs through Wine's search path.
        build_env = dict(env, WINEPATH=dll_folders(build))
        started = time.monotonic()
        ctest = subprocess.run(["ctest", "--test-dir", build, "--output-on-failure", "--timeout", "300"],
                               env=build_env)
        check(ctest.returncode == 0, "the Windows test programs under Wine (%.0f s)"
              % (time.monotonic() - started))
        install(prefix, env, setups[0], build)
        signatures(prefix, setups[0])
        server_in_programs(prefix, base_url)
        command_line(prefix, env)
        if FIRMWARE_KEY:
            forged_firmware(prefix, env, site)
            versions_only_go_forward(prefix, env)
        plugged_command_line(prefix, env)
        watched_command_line(prefix, env)
        plugged_window(prefix, env, outdir)
        https_through_schannel(prefix, env, https_build, site)
        demo_beside_command_lines(prefix, build_env, build, base_url, outdir)
        speed(prefix, env, linux_cli)
        session_end_during_transfers(prefix, build_env, build, base_url)
        uninstall_while_window_runs(prefix, env)
        uninstall(prefix, env)
        began = time.monotonic()
        upgrade(prefix, env, earlier_setup, setups[0], zips[0])
        uninstall(prefix, env)
        print("TIME the upgrade's cases: %.0f s" % (time.monotonic() - began), flush=True)
    finally:
        firmware.stdin.close()
        firmware.wait(timeout=10)
        shutil.rmtree(site, ignore_errors=True)
        subprocess.run(["wineserver", "--kill"], env=env, check=False)
        server.wait(timeout=30)
        xvfb.terminate()
        xvfb.wait()
    if failures:
        wine.fail("%d checks of the Windows build under Wine:\n  %s"
                  % (len(failures), "\n  ".join(failures)))
    print("PASS the Windows build under Wine")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
