#!/usr/bin/env python3
"""Self-check of devicesim.py: drives it over its pseudo-terminal the way the
update tool does, and through its stdin commands the way the tests do.

Expected bytes are written out from the protocol's byte listing, not taken
from the simulator, so a slip in either shows up as a mismatch.
"""

import errno
import hashlib
import json
import os
import select
import signal
import subprocess
import sys
import tempfile
import termios
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
DEVICESIM = os.path.join(HERE, "devicesim.py")

IMAGE_SIZE = 216064
BLOCK_COUNT = 3376

PCMODE = "02 07 65 44 4C 4D 4F 44 45 3F"
VERSION = "02 01 BB BA"
START = "FE 00 4D 04 49"
END = "FE 00 4D 03 4E"
START_ACK = "FE 01 4D 84 00 C8"
BLOCK_ACK = "FE 01 4D 81 00 CD"
END_ACK = "FE 01 4D 83 00 CF"
PCMODE_REPLY = "B0 00 00 00"
VERSION_REPLY = "BB 10 31 2E 30 2E 30" + " 00" * 11 + " 21"
# "10.20.30-beta.4+ü": 18 UTF-8 bytes, longer than the 16-byte minimum.
LONG_VERSION_REPLY = "BB 12 31 30 2E 32 30 2E 33 30 2D 62 65 74 61 2E 34 2B C3 BC 63"
# Block at address 0x0010 carrying 64 zero bytes.
ZERO_BLOCK_0010 = "FE 42 4D 01 10 00" + " 00" * 64 + " 1E"

QUIET = 0.2
PIECE_GAP = 0.03
STEP_TIMEOUT = 2.0


def xor_of(data):
    value = 0
    for byte in data:
        value ^= byte
    return value


def block_frame(address, data=bytes(64), checksum_error=0):
    body = bytes([0x42, 0x4D, 0x01, address & 0xFF, address >> 8]) + data
    return (b"\xfe" + body + bytes([xor_of(body) ^ checksum_error])).hex()


def h(text):
    return bytes.fromhex(text)


class Simulator:
    """devicesim.py as a child process, spoken to through its stdin/stdout."""

    def __init__(self, *arguments):
        self.process = subprocess.Popen([sys.executable, DEVICESIM, *arguments],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.pending = b""
        first = self.line()
        if not first.startswith("PTY "):
            raise AssertionError("first line was %r" % first)
        self.path = first[4:]

    def line(self, timeout=5.0):
        deadline = time.monotonic() + timeout
        fd = self.process.stdout.fileno()
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                raise AssertionError("no line from the simulator")
            chunk = os.read(fd, 65536)
            if not chunk:
                raise AssertionError("simulator closed stdout")
            self.pending += chunk
        line, _, self.pending = self.pending.partition(b"\n")
        return line.decode("utf-8")

    def command(self, text):
        self.process.stdin.write(text.encode("utf-8") + b"\n")
        self.process.stdin.flush()
        return self.line()

    def report(self):
        answer = self.command("report")
        if not answer.startswith("REPORT "):
            raise AssertionError("report answered %r" % answer)
        return json.loads(answer[7:])

    def close(self):
        try:
            self.process.stdin.close()
        except BrokenPipeError:
            pass
        if self.process.poll() is None:
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()


class Port:
    """The tool's side of the pty, opened and flushed as the tool opens it."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        termios.tcflush(self.fd, termios.TCIFLUSH)

    def write(self, data):
        os.write(self.fd, data)

    def read(self, size, timeout):
        """Reads until size bytes came or timeout passed; returns a list of
        (arrival time, chunk)."""
        chunks = []
        got = 0
        deadline = time.monotonic() + timeout
        while got < size:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                break
            try:
                chunk = os.read(self.fd, 4096)
            except OSError as error:
                if error.errno != errno.EIO:
                    raise
                chunk = b""
            if not chunk:
                break
            chunks.append((time.monotonic(), chunk))
            got += len(chunk)
        return chunks

    def hung_up(self, timeout=2.0):
        """Whether the device side went away within timeout. The pty's path
        cannot tell: with simulators running side by side its number is
        taken again at once."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            select.select([self.fd], [], [], 0.1)
            try:
                if os.read(self.fd, 64) == b"":
                    return True
            except BlockingIOError:
                pass
            except OSError as error:
                if error.errno == errno.EIO:
                    return True
                raise
        return False

    def close(self):
        os.close(self.fd)


def joined(chunks):
    return b"".join(chunk for _, chunk in chunks)


class DeviceSimTest(unittest.TestCase):
    def simulator(self, *arguments):
        sim = Simulator(*arguments)
        self.addCleanup(sim.close)
        return sim

    def port(self, path):
        port = Port(path)
        self.addCleanup(lambda: os.close(port.fd) if port.fd is not None else None)
        return port

    def exchange(self, port, pieces, answer, at_least=0.0, pause=0.0):
        """Writes the request pieces PIECE_GAP apart, checks that nothing comes
        back before the last one, then that the answer is exactly `answer`
        (None: nothing at all) and came no sooner than `at_least`."""
        if pause:
            time.sleep(pause)
        for piece in pieces[:-1]:
            port.write(h(piece))
            self.assertEqual(joined(port.read(1, PIECE_GAP)), b"", "answer before the request was complete")
        # Before the write: the simulator counts a late answer's delay from
        # when it read the request, which a loaded machine may let happen
        # before the write here has even returned.
        sent = time.monotonic()
        port.write(h(pieces[-1]))
        if answer is None:
            self.assertEqual(joined(port.read(1, QUIET)), b"")
            return []
        chunks = port.read(len(h(answer)), STEP_TIMEOUT)
        self.assertEqual(joined(chunks).hex(" "), h(answer).hex(" "))
        self.assertGreaterEqual(chunks[0][0] - sent, at_least)
        self.assertEqual(joined(port.read(1, 0.05)), b"", "bytes after the answer")
        return chunks

    def test_frame_builder_matches_listing(self):
        self.assertEqual(block_frame(0x0010), ZERO_BLOCK_0010.replace(" ", "").lower())

    def test_conversations(self):
        # (name, simulator arguments, steps, expected report fields); a step is
        # (request pieces, answer or None, earliest answer in s, pause before in s)
        rows = [
            ("pcmode request", [], [([PCMODE], PCMODE_REPLY, 0, 0)],
             {"pcModeRequests": 1}),
            ("pcmode reply override", ["--pcmode-reply", "B1 02 03"], [([PCMODE], "B1 02 03", 0, 0)],
             {"pcModeRequests": 1}),
            ("version default", [], [([VERSION], VERSION_REPLY, 0, 0)],
             {"versionRequests": 1}),
            ("version long utf-8 text", ["--version-text", "10.20.30-beta.4+ü"],
             [([VERSION], LONG_VERSION_REPLY, 0, 0)], {"versionRequests": 1}),
            ("start then end too early", [], [([START], START_ACK, 0, 0), ([END], END_ACK, 0, 0)],
             {"startCommands": 1, "endCommands": 1, "violations": ["end: after 0 blocks, expected 3376"]}),
            ("end without start", [], [([END], END_ACK, 0, 0)],
             {"endCommands": 1, "violations": ["end: no start command before it"]}),
            ("blocks in order", [], [([START], START_ACK, 0, 0), ([block_frame(0x0000)], BLOCK_ACK, 0, 0),
                                     ([ZERO_BLOCK_0010], BLOCK_ACK, 0, 0)],
             {"dataBlocks": 2, "totalDataBlocks": 2, "nextAddress": 0x20, "violations": []}),
            ("bad checksum block", [], [([START], START_ACK, 0, 0),
                                        ([block_frame(0x0000, checksum_error=0x01)], None, 0, 0),
                                        ([block_frame(0x0000)], BLOCK_ACK, 0, 0)],
             {"badChecksums": 1, "dataBlocks": 1, "nextAddress": 0x10,
              "violations": ["block 0: checksum 0x0f, expected 0x0e"]}),
            ("bad checksum start", [], [(["FE 00 4D 04 48"], None, 0, 0), ([START], START_ACK, 0, 0)],
             {"badChecksums": 1, "startCommands": 1, "violations": ["start: checksum 0x48, expected 0x49"]}),
            ("skipped block address", [], [([START], START_ACK, 0, 0), ([block_frame(0x0000)], BLOCK_ACK, 0, 0),
                                           ([block_frame(0x0020)], BLOCK_ACK, 0, 0),
                                           ([block_frame(0x0030)], BLOCK_ACK, 0, 0)],
             {"dataBlocks": 3, "nextAddress": 0x40,
              "violations": ["block 1: address 0x0020, expected 0x0010"]}),
            ("block before start", [], [([block_frame(0x0000)], BLOCK_ACK, 0, 0)],
             {"dataBlocks": 1, "violations": ["block 0: address 0x0000 outside a transfer (no start command)"]}),
            ("start restarts addresses", [], [([START], START_ACK, 0, 0), ([block_frame(0x0000)], BLOCK_ACK, 0, 0),
                                              ([START], START_ACK, 0, 0), ([block_frame(0x0000)], BLOCK_ACK, 0, 0)],
             {"startCommands": 2, "dataBlocks": 1, "totalDataBlocks": 2, "violations": []}),
            ("block in three pieces", [], [([START], START_ACK, 0, 0),
                                           (["FE 42", block_frame(0)[4:80], block_frame(0)[80:]], BLOCK_ACK, 0, 0)],
             {"dataBlocks": 1, "garbageBytes": 0}),
            ("version request in three pieces", [], [(["02", "01 BB", "BA"], VERSION_REPLY, 0, 0)],
             {"versionRequests": 1, "garbageBytes": 0}),
            ("garbage before a frame", [], [(["00 11 FE FE 00 4D 04 49"], START_ACK, 0, 0)],
             {"startCommands": 1, "garbageBytes": 3}),
            ("broken pcmode prefix", [], [(["02 07 65 FF 02 01 BB BA"], VERSION_REPLY, 0, 0)],
             {"versionRequests": 1, "pcModeRequests": 0, "garbageBytes": 4}),
            ("unknown command code", [], [(["FE 00 4D 07 4A", START], START_ACK, 0, 0)],
             {"startCommands": 1, "garbageBytes": 5}),
            ("abandoned request dropped", [], [(["FE 42 4D 01 00 00"], None, 0, 0), ([START], START_ACK, 0, 1.0)],
             {"startCommands": 1, "garbageBytes": 6, "violations": ["incomplete request dropped: fe424d010000"]}),
            ("silence start", ["--fault", "silence@start"], [([START], None, 0, 0), ([VERSION], VERSION_REPLY, 0, 0)],
             {"startCommands": 1, "silencedRequests": 1}),
            ("silence everything", ["--fault", "silence@*"], [([PCMODE], None, 0, 0), ([VERSION], None, 0, 0)],
             {"pcModeRequests": 1, "versionRequests": 1, "answersSent": 0}),
            ("corrupt version", ["--fault", "corrupt@version"],
             [([VERSION], VERSION_REPLY[:-2] + "DE", 0, 0)], {}),
            ("corrupt block 2 only", ["--fault", "corrupt@2"],
             [([START], START_ACK, 0, 0)] + [([block_frame(16 * k)], BLOCK_ACK, 0, 0) for k in range(2)]
             + [([block_frame(0x20)], "FE 01 4D 81 00 32", 0, 0), ([block_frame(0x30)], BLOCK_ACK, 0, 0)],
             {"dataBlocks": 4}),
            ("stray after pcmode", ["--fault", "stray@pcmode"], [([PCMODE], "B0 00 00 00 00", 0, 0)], {}),
            ("corrupt and stray together", ["--fault", "corrupt@end", "--fault", "stray@end"],
             [([END], "FE 01 4D 83 00 30 00", 0, 0)], {}),
            ("late end", ["--fault", "late@end:250"], [([END], END_ACK, 0.25, 0)], {}),
            ("late block 0", ["--fault", "late@0:150"],
             [([START], START_ACK, 0, 0), ([block_frame(0)], BLOCK_ACK, 0.15, 0)], {}),
            ("wire speed 9600", ["--baud", "9600"], [([VERSION], VERSION_REPLY, 23 * 10 / 9600, 0)], {}),
        ]
        for name, arguments, steps, expected in rows:
            with self.subTest(name):
                sim = self.simulator(*arguments)
                port = self.port(sim.path)
                for pieces, answer, at_least, pause in steps:
                    self.exchange(port, pieces, answer, at_least, pause)
                report = sim.report()
                expected = dict({"garbageBytes": 0, "badChecksums": 0}, **expected)
                for key, value in expected.items():
                    self.assertEqual(report[key], value, key)

    def test_split_answer_arrives_in_two_writes(self):
        # The simulator's write log, not the reader, times the two writes: a
        # reader held up on a busy machine would see them as one chunk.
        for target, request, answer in [("version", VERSION, VERSION_REPLY), ("start", START, START_ACK)]:
            with self.subTest(target):
                log_path = os.path.join(self.temporary_directory(), "split-%s.log" % target)
                sim = self.simulator("--fault", "split@" + target, "--write-log", log_path)
                port = self.port(sim.path)
                self.exchange(port, [request], answer)
                with open(log_path) as log:
                    entries = [line.split() for line in log]
                self.assertEqual([kind for _, kind in entries], [target, target])
                self.assertGreaterEqual(int(entries[1][0]) - int(entries[0][0]), 20_000_000)

    def test_runtime_faults(self):
        sim = self.simulator()
        port = self.port(sim.path)
        # (stdin command, request, answer afterwards)
        rows = [
            ("fault corrupt@start", START, "FE 01 4D 84 00 37"),
            ("fault stray@start", START, "FE 01 4D 84 00 37 00"),
            ("clear", START, START_ACK),
            ("fault silence@pcmode", PCMODE, None),
            ("reset", PCMODE, PCMODE_REPLY),
            ("fault late@version:100", VERSION, VERSION_REPLY),
        ]
        for command, request, answer in rows:
            with self.subTest(command):
                self.assertEqual(sim.command(command), "OK")
                self.exchange(port, [request], answer, 0.1 if "late" in command else 0)

    def test_full_transfer(self):
        log_path = os.path.join(self.temporary_directory(), "writes.log")
        image_path = os.path.join(self.temporary_directory(), "image.bin")
        sim = self.simulator("--write-log", log_path)
        port = self.port(sim.path)
        firmware = b"".join(hashlib.sha256(i.to_bytes(4, "little")).digest() for i in range(6250))
        image = firmware + b"\xff" * (IMAGE_SIZE - len(firmware))
        began = time.monotonic_ns()
        self.exchange(port, [START], START_ACK)
        for k in range(BLOCK_COUNT):
            port.write(h(block_frame(16 * k, image[64 * k:64 * k + 64])))
            self.assertEqual(joined(port.read(6, STEP_TIMEOUT)), h(BLOCK_ACK), "block %d" % k)
        self.exchange(port, [END], END_ACK)
        finished = time.monotonic_ns()
        report = sim.report()
        self.assertEqual(report["imageMd5"], hashlib.md5(image).hexdigest())
        self.assertEqual((report["dataBlocks"], report["totalDataBlocks"], report["nextAddress"]),
                         (BLOCK_COUNT, BLOCK_COUNT, 0xD300))
        self.assertEqual(report["violations"], [])
        self.assertEqual(report["garbageBytes"], 0)
        self.assertEqual(sim.command("save " + image_path), "OK")
        with open(image_path, "rb") as saved:
            self.assertEqual(saved.read(), image)
        with open(log_path) as log:
            entries = [line.split() for line in log]
        self.assertEqual([kind for _, kind in entries], ["start"] + ["block"] * BLOCK_COUNT + ["end"])
        stamps = [int(stamp) for stamp, _ in entries]
        self.assertEqual(stamps, sorted(stamps))
        self.assertTrue(began <= stamps[0] and stamps[-1] <= finished, "log not on CLOCK_MONOTONIC")

    def test_reset_clears_the_record(self):
        sim = self.simulator()
        port = self.port(sim.path)
        self.exchange(port, [START], START_ACK)
        self.exchange(port, [block_frame(0x40)], BLOCK_ACK)
        self.assertEqual(sim.command("reset"), "OK")
        report = sim.report()
        self.assertEqual(report["imageMd5"], hashlib.md5(b"\xff" * IMAGE_SIZE).hexdigest())
        self.assertEqual((report["startCommands"], report["totalDataBlocks"], report["violations"]), (0, 0, []))

    def test_hangup_and_replug(self):
        log_path = os.path.join(self.temporary_directory(), "hangup.log")
        sim = self.simulator("--fault", "hangup@version", "--write-log", log_path)
        port = self.port(sim.path)
        self.exchange(port, [VERSION], VERSION_REPLY)
        self.exchange(port, [PCMODE], None)
        self.assertTrue(port.hung_up(), "the tool's side did not see the hang-up")
        port.close()
        port.fd = None
        self.assertFalse(sim.report()["connected"])
        # The log times the unplug, for measuring how soon the tool notices;
        # the report's answer shows the unplug, and so its line, is done.
        with open(log_path) as log:
            entries = [line.split() for line in log]
        self.assertEqual([kind for _, kind in entries], ["version", "unplug"])
        self.assertGreaterEqual(int(entries[1][0]) - int(entries[0][0]), 100_000_000)
        self.assertTrue(sim.command("send 00").startswith("ERROR"))
        self.assertEqual(sim.command("clear"), "OK")
        answer = sim.command("replug")
        self.assertTrue(answer.startswith("PTY /"), answer)
        sim.path = answer[4:]
        self.assertEqual(sim.command("replug"), answer, "replug while plugged in must keep the pty")
        port = self.port(sim.path)
        self.exchange(port, [PCMODE], PCMODE_REPLY)
        report = sim.report()
        self.assertTrue(report["connected"])
        # The request sent while the device was going away was never seen.
        self.assertEqual((report["versionRequests"], report["pcModeRequests"]), (1, 1))

    def test_tool_closes_and_reopens(self):
        log_path = os.path.join(self.temporary_directory(), "writes.log")
        sim = self.simulator("--fault", "late@pcmode:50", "--write-log", log_path)
        for cycle in range(5):
            with self.subTest(cycle=cycle):
                # The tool's open/write/close for a PC-mode request: the answer
                # comes after the close and must be gone by the next open.
                port = Port(sim.path)
                port.write(h(PCMODE))
                port.close()
                self.wait_for_log(log_path, ["pcmode", "version"] * cycle + ["pcmode"])
                port = Port(sim.path)
                port.write(h(VERSION))
                self.assertEqual(joined(port.read(19, STEP_TIMEOUT)), h(VERSION_REPLY))
                self.assertEqual(joined(port.read(1, 0.05)), b"")
                port.close()
        report = sim.report()
        self.assertEqual((report["pcModeRequests"], report["versionRequests"], report["garbageBytes"]), (5, 5, 0))
        self.assertTrue(report["connected"])

    def wait_for_log(self, path, kinds):
        deadline = time.monotonic() + STEP_TIMEOUT
        while True:
            with open(path) as log:
                written = [line.split()[1] for line in log]
            if written == kinds or time.monotonic() > deadline:
                break
            time.sleep(0.01)
        self.assertEqual(written, kinds)

    def test_send_injects_bytes(self):
        sim = self.simulator()
        port = self.port(sim.path)
        self.assertEqual(sim.command("send FE 01 4D"), "OK")
        self.assertEqual(sim.command("send 84"), "OK")
        self.assertEqual(joined(port.read(4, STEP_TIMEOUT)), h("FE 01 4D 84"))
        self.assertEqual(sim.report()["garbageBytes"], 0, "injected bytes came back as input")

    def test_stdin_commands(self):
        sim = self.simulator()
        rows = [
            ("unknown command", "bogus", "ERROR"),
            ("empty line", "", "ERROR"),
            ("fault without target", "fault silence", "ERROR"),
            ("fault unknown kind", "fault explode@start", "ERROR"),
            ("fault unknown target", "fault silence@middle", "ERROR"),
            ("late without delay", "fault late@start", "ERROR"),
            ("delay on another kind", "fault silence@start:5", "ERROR"),
            ("send without hex", "send zz", "ERROR"),
            ("save without path", "save", "ERROR"),
            ("save to a missing folder", "save /nonexistent/folder/image.bin", "ERROR"),
            ("fault on a block", "fault split@12", "OK"),
            ("late on every request", "fault late@*:10", "OK"),
            ("clear", "clear", "OK"),
            ("replug while plugged", "replug", "PTY " + sim.path),
        ]
        for name, command, answer in rows:
            with self.subTest(name):
                self.assertTrue(sim.command(command).startswith(answer))
        self.assertEqual(sim.report()["faults"], [])

    def test_exit_paths(self):
        rows = [
            ("quit", lambda sim: self.assertEqual(sim.command("quit"), "OK")),
            ("end of input", lambda sim: sim.process.stdin.close()),
            ("SIGTERM", lambda sim: sim.process.send_signal(signal.SIGTERM)),
        ]
        for name, stop in rows:
            with self.subTest(name):
                sim = self.simulator()
                port = self.port(sim.path)
                stop(sim)
                self.assertEqual(sim.process.wait(5), 0)
                self.assertTrue(port.hung_up())

    def test_command_line(self):
        help_text = subprocess.run([sys.executable, DEVICESIM, "--help"], capture_output=True,
                                   text=True, check=True).stdout
        for word in ["--version-text", "--pcmode-reply", "--fault", "--baud", "--write-log",
                     "silence", "corrupt", "split", "late", "stray", "hangup",
                     "report", "save", "send", "clear", "reset", "replug", "quit"]:
            with self.subTest(word):
                self.assertIn(word, help_text)
        for bad in [["--fault", "explode@start"], ["--pcmode-reply", "xyz"], ["--baud", "0"]]:
            with self.subTest(" ".join(bad)):
                result = subprocess.run([sys.executable, DEVICESIM, *bad], capture_output=True,
                                        stdin=subprocess.DEVNULL)
                self.assertEqual(result.returncode, 2)

    def temporary_directory(self):
        if not hasattr(self, "_directory"):
            directory = tempfile.TemporaryDirectory()
            self.addCleanup(directory.cleanup)
            self._directory = directory.name
        return self._directory


if __name__ == "__main__":
    unittest.main()
