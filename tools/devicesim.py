#!/usr/bin/env python3
"""QL-7420 device simulator on a pseudo-terminal (or on a tty given to it).

Plays the device's side of the firmware update protocol byte for byte, so the
update tool and its tests can talk to a "device" over a real tty. It is driven
and inspected through line commands on stdin; see --help.

Written from the protocol's byte listing alone, without the tool's packet
code, so that a mistake in that code shows up here instead of being mirrored.
"""

import argparse
import hashlib
import heapq
import json
import os
import select
import signal
import sys
import termios
import time

IMAGE_SIZE = 216064
BLOCK_COUNT = 3376
BLOCK_DATA_SIZE = 64
ADDRESS_STEP = 16
# A block address counts 4-byte words, so the image offset is address * 4.
ADDRESS_TO_OFFSET = 4

PCMODE_REQUEST = bytes([0x02, 0x07]) + b"eDLMODE?"
VERSION_REQUEST = bytes([0x02, 0x01, 0xBB, 0xBA])
DEFAULT_PCMODE_REPLY = bytes([0xB0, 0x00, 0x00, 0x00])
VERSION_REPLY_START = 0xBB
VERSION_TEXT_MIN = 16

FRAME_START = 0xFE
FRAME_MARK = 0x4D
CODE_BLOCK = 0x01
CODE_END = 0x03
CODE_START = 0x04
# Payload length each command must carry; anything else cannot be a frame.
FRAME_PAYLOAD = {CODE_START: 0x00, CODE_END: 0x00, CODE_BLOCK: 0x42}
FRAME_KIND = {CODE_START: "start", CODE_END: "end", CODE_BLOCK: "block"}
ACKS = {
    "start": bytes.fromhex("FE 01 4D 84 00 C8"),
    "block": bytes.fromhex("FE 01 4D 81 00 CD"),
    "end": bytes.fromhex("FE 01 4D 83 00 CF"),
}

FAULT_KINDS = ("silence", "corrupt", "split", "late", "stray", "hangup")
NAMED_TARGETS = ("start", "end", "version", "pcmode", "*")
SPLIT_GAP = 0.020
# The kernel throws away whatever the tool has not read yet when the pty
# hangs up, so the unplug waits long enough for a 5 ms poller to read the
# answer first, even on a loaded machine, as with a real device that answers
# and is then pulled out. Requests in that time go unanswered.
HANGUP_GRACE = 0.100
# A request left incomplete this long will never be finished: the tool gave
# up on it. Dropping it keeps the next request from being read as its tail.
STALE_REQUEST = 1.0
# How soon a --tty that could not be opened is tried again.
TTY_REOPEN = 0.1

USAGE_EPILOG = """\
fault KIND@TARGET:
  KIND@TARGET, or late@TARGET:MS
  TARGET  a block number (0-based, counted from the last start command),
          start, end, version, pcmode, or * for every request
  silence never answer the request
  corrupt answer with the last byte inverted (a wrong checksum)
  split   answer in two writes: first half, the rest 20 ms later
  late    answer after MS milliseconds
  stray   answer followed by one extra 0x00 byte in the same write
  hangup  answer, ignore all input, unplug 100 ms later: the pty
          disappears (see replug)
  Faults stay in force until clear or reset; several may hit one request.

With --tty PATH it serves that tty instead of a pty of its own (the
device's end of a USB gadget's serial line, /dev/ttyGS0): a hang-up of it
(the host let go) is an unplug, and the tty is opened again at once for the
next connection.

stdout: the first line is "PTY <slave path>"; after that exactly one line
answers each stdin command:
  report        REPORT <one-line JSON>: pcModeRequests, versionRequests,
                startCommands, dataBlocks (since the last start),
                totalDataBlocks, endCommands, badChecksums, garbageBytes,
                violations, nextAddress, imageMd5, connected, answersSent,
                silencedRequests, faults, portPath
  save PATH     write the 216064-byte image buffer to PATH; OK
  send HEX      write these bytes to the tool in one write; OK
  fault F       add a fault F (as above); OK
  clear         remove all faults; OK
  reset         clear counters, violations, image, faults and pending answers; OK
  replug        after a hang-up make a fresh pty; PTY <path> (the current
                path if still plugged in)
  quit          OK, then exit 0 (so do EOF on stdin and SIGTERM)
  other         ERROR <reason>

Checks: every frame checksum (a bad one is recorded and not answered), block
addresses in order from 0x0000 by 0x10 (a wrong one is recorded, then stored
and acknowledged), blocks only between start and end, exactly 3376 blocks
before end. Bytes that cannot start a request are counted as garbage; an
incomplete request idle for 1 s is dropped as garbage.
"""


def xor_of(data):
    value = 0
    for byte in data:
        value ^= byte
    return value


class Fault:
    def __init__(self, text):
        self.text = text.strip()
        kind, at, target = self.text.partition("@")
        kind = kind.strip().lower()
        if not at:
            raise ValueError("fault needs KIND@TARGET")
        if kind not in FAULT_KINDS:
            raise ValueError("unknown fault kind '%s'" % kind)
        self.delay = 0.0
        if kind == "late":
            target, colon, ms = target.rpartition(":")
            if not colon or not ms.strip().isdigit():
                raise ValueError("late needs late@TARGET:MS")
            self.delay = int(ms) / 1000.0
        target = target.strip().lower()
        if target not in NAMED_TARGETS and not target.isdigit():
            raise ValueError("unknown fault target '%s'" % target)
        self.kind = kind
        self.target = int(target) if target.isdigit() else target

    def hits(self, kind, block_index):
        if self.target == "*":
            return True
        if kind == "block":
            return self.target == block_index
        return self.target == kind


def make_raw(fd):
    # cfmakeraw(), so nothing is echoed back to the tool or translated.
    iflag, oflag, cflag, lflag, _, _, cc = termios.tcgetattr(fd)
    iflag &= ~(termios.IGNBRK | termios.BRKINT | termios.PARMRK | termios.ISTRIP
               | termios.INLCR | termios.IGNCR | termios.ICRNL | termios.IXON)
    oflag &= ~termios.OPOST
    lflag &= ~(termios.ECHO | termios.ECHONL | termios.ICANON | termios.ISIG | termios.IEXTEN)
    cflag &= ~(termios.CSIZE | termios.PARENB)
    cflag |= termios.CS8
    cc[termios.VMIN] = 1
    cc[termios.VTIME] = 0
    termios.tcsetattr(fd, termios.TCSANOW,
                      [iflag, oflag, cflag, lflag, termios.B115200, termios.B115200, cc])


class Simulator:
    """The device: its pty, what it has received and the faults in force.
    Single-threaded: everything happens in run()'s select loop, and delayed
    answers wait in a deadline list so that stdin stays responsive."""

    def __init__(self, options):
        text = options.version_text.encode("utf-8")
        field = text + bytes(max(0, VERSION_TEXT_MIN - len(text)))
        body = bytes([len(field)]) + field
        self.version_reply = bytes([VERSION_REPLY_START]) + body + bytes([xor_of(body)])
        self.pcmode_reply = options.pcmode_reply
        self.baud = options.baud
        self.verbose = options.verbose
        self.write_log = open(options.write_log, "a", encoding="utf-8") if options.write_log else None
        self.faults = list(options.fault)
        self.tty = options.tty
        self.master = None
        self.slave = None
        self.port_path = ""
        self.timers = []
        self.timer_sequence = 0
        self.unplug_pending = False
        self.rx = bytearray()
        self.last_rx = 0.0
        self.stdin_buffer = bytearray()
        self.terminated = False
        self.clear_record()

    def clear_record(self):
        self.counts = {
            "pcModeRequests": 0, "versionRequests": 0, "startCommands": 0,
            "dataBlocks": 0, "totalDataBlocks": 0, "endCommands": 0,
            "badChecksums": 0, "garbageBytes": 0, "answersSent": 0,
            "silencedRequests": 0,
        }
        self.violations = []
        self.next_address = 0
        self.in_transfer = False
        self.image = bytearray(b"\xff" * IMAGE_SIZE)

    def log(self, message):
        if self.verbose:
            sys.stderr.write("devicesim: %s\n" % message)
            sys.stderr.flush()

    def plug(self):
        if self.tty:
            self.open_tty()
            return
        master, slave = os.openpty()
        make_raw(slave)
        os.set_blocking(master, False)
        self.master, self.slave = master, slave
        self.port_path = os.ttyname(slave)
        self.rx.clear()

    def open_tty(self):
        # The device's end of a USB gadget's serial line (/dev/ttyGS0): the
        # kernel hangs it up when the host lets go of the gadget, and a fresh
        # open serves the next connection.
        try:
            fd = os.open(self.tty, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        except OSError as error:
            sys.stderr.write("devicesim: %s: %s\n" % (self.tty, error.strerror))
            self.schedule(TTY_REOPEN, self.open_tty)
            return
        make_raw(fd)
        self.master, self.slave = fd, None
        self.port_path = self.tty
        self.rx.clear()

    def unplug(self):
        self.unplug_pending = False
        plugged = self.master is not None
        for fd in (self.master, self.slave):
            if fd is not None:
                os.close(fd)
        self.master = self.slave = None
        if self.write_log and plugged:
            self.write_log.write("%d unplug\n" % time.monotonic_ns())
            self.write_log.flush()
        self.rx.clear()
        # Answers still queued belong to a device that is gone.
        self.timers.clear()
        self.log("unplugged")

    def schedule(self, delay, action):
        self.timer_sequence += 1
        heapq.heappush(self.timers, (time.monotonic() + delay, self.timer_sequence, action))

    def write_answer(self, data, kind):
        if self.master is None:
            return
        try:
            written = os.write(self.master, data)
        except BlockingIOError:
            written = 0
        stamp = time.monotonic_ns()
        if written < len(data):
            sys.stderr.write("devicesim: pty buffer full, %d of %d answer bytes lost\n"
                             % (len(data) - written, len(data)))
        if self.write_log and kind:
            self.write_log.write("%d %s\n" % (stamp, kind))
            self.write_log.flush()

    def answer(self, kind, block_index, request_size, reply):
        faults = [f for f in self.faults if f.hits(kind, block_index)]
        kinds = {f.kind for f in faults}
        if "silence" in kinds:
            self.counts["silencedRequests"] += 1
            self.log("%s: silenced" % kind)
            return
        data = bytearray(reply)
        if "corrupt" in kinds:
            data[-1] ^= 0xFF
        if "stray" in kinds:
            data.append(0x00)
        delay = sum(f.delay for f in faults)
        if self.baud:
            delay += (request_size + len(data)) * 10.0 / self.baud
        pieces = [bytes(data)]
        if "split" in kinds and len(data) > 1:
            half = len(data) // 2
            pieces = [bytes(data[:half]), bytes(data[half:])]
        hangup = "hangup" in kinds
        self.counts["answersSent"] += 1

        def send(index=0):
            self.write_answer(pieces[index], kind)
            if index + 1 < len(pieces):
                self.schedule(SPLIT_GAP, lambda: send(index + 1))
            elif hangup:
                self.unplug_pending = True
                self.schedule(HANGUP_GRACE, self.unplug)

        self.log("%s: answer %s%s" % (kind, bytes(data).hex(), " after %.3f s" % delay if delay else ""))
        if delay > 0:
            self.schedule(delay, send)
        else:
            send()

    def violation(self, text):
        self.violations.append(text)
        self.log("violation: " + text)

    def handle_request(self, kind, frame):
        block_index = None
        if kind == "pcmode":
            self.counts["pcModeRequests"] += 1
            reply = self.pcmode_reply
        elif kind == "version":
            self.counts["versionRequests"] += 1
            reply = self.version_reply
        elif kind == "start":
            self.counts["startCommands"] += 1
            self.counts["dataBlocks"] = 0
            self.next_address = 0
            self.in_transfer = True
            self.image = bytearray(b"\xff" * IMAGE_SIZE)
            reply = ACKS[kind]
        elif kind == "end":
            self.counts["endCommands"] += 1
            if not self.in_transfer:
                self.violation("end: no start command before it")
            elif self.counts["dataBlocks"] != BLOCK_COUNT:
                self.violation("end: after %d blocks, expected %d" % (self.counts["dataBlocks"], BLOCK_COUNT))
            self.in_transfer = False
            reply = ACKS[kind]
        else:
            block_index = self.counts["dataBlocks"]
            self.store_block(block_index, frame[4:-1])
            self.counts["dataBlocks"] += 1
            self.counts["totalDataBlocks"] += 1
            reply = ACKS[kind]
        self.answer(kind, block_index, len(frame), reply)

    def store_block(self, index, payload):
        address = payload[0] | (payload[1] << 8)
        if not self.in_transfer:
            self.violation("block %d: address 0x%04x outside a transfer (no start command)" % (index, address))
        if address != self.next_address:
            self.violation("block %d: address 0x%04x, expected 0x%04x" % (index, address, self.next_address))
        offset = address * ADDRESS_TO_OFFSET
        if offset + BLOCK_DATA_SIZE <= IMAGE_SIZE:
            self.image[offset:offset + BLOCK_DATA_SIZE] = payload[2:]
        else:
            self.violation("block %d: address 0x%04x beyond the image" % (index, address))
        # Expect the successor of what came, so one skipped block is one violation.
        self.next_address = (address + ADDRESS_STEP) & 0xFFFF

    def frame_size(self):
        """Size of the command frame at the head of rx, 0 if more bytes are
        needed to tell, None if the head cannot start a command frame."""
        rx = self.rx
        if len(rx) >= 2 and rx[1] not in FRAME_PAYLOAD.values():
            return None
        if len(rx) >= 3 and rx[2] != FRAME_MARK:
            return None
        if len(rx) < 4:
            return 0
        if FRAME_PAYLOAD.get(rx[3]) != rx[1]:
            return None
        return 5 + rx[1]

    def drop_garbage(self, count):
        self.counts["garbageBytes"] += count
        self.log("garbage: %s" % bytes(self.rx[:count]).hex())
        del self.rx[:count]

    def parse(self):
        while self.rx:
            head = self.rx[0]
            if head == PCMODE_REQUEST[0]:
                waiting = False
                for kind, pattern in (("pcmode", PCMODE_REQUEST), ("version", VERSION_REQUEST)):
                    seen = min(len(self.rx), len(pattern))
                    if self.rx[:seen] != pattern[:seen]:
                        continue
                    if seen < len(pattern):
                        waiting = True
                        break
                    del self.rx[:len(pattern)]
                    self.handle_request(kind, pattern)
                    break
                else:
                    self.drop_garbage(1)
                    continue
                if waiting:
                    return
            elif head == FRAME_START:
                size = self.frame_size()
                if size is None:
                    self.drop_garbage(1)
                    continue
                if size == 0 or len(self.rx) < size:
                    return
                frame = bytes(self.rx[:size])
                del self.rx[:size]
                kind = FRAME_KIND[frame[3]]
                expected = xor_of(frame[1:-1])
                if frame[-1] != expected:
                    self.counts["badChecksums"] += 1
                    index = " %d" % self.counts["dataBlocks"] if kind == "block" else ""
                    self.violation("%s%s: checksum 0x%02x, expected 0x%02x" % (kind, index, frame[-1], expected))
                    continue
                self.handle_request(kind, frame)
            else:
                self.drop_garbage(1)

    def read_master(self):
        try:
            data = os.read(self.master, 4096)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            data = b""
        if not data and self.tty:
            self.unplug()
            self.open_tty()
            return
        if not data or self.unplug_pending:
            return
        self.rx += data
        self.last_rx = time.monotonic()
        self.parse()

    def report(self):
        record = dict(self.counts)
        record.update({
            "violations": self.violations,
            "nextAddress": self.next_address,
            "imageMd5": hashlib.md5(self.image).hexdigest(),
            "connected": self.master is not None,
            "faults": [f.text for f in self.faults],
            "portPath": self.port_path if self.master is not None else "",
        })
        return json.dumps(record, separators=(",", ":"), ensure_ascii=False)

    def command(self, line):
        """Returns the response line, and whether to exit afterwards."""
        name, _, argument = line.strip().partition(" ")
        argument = argument.strip()
        if name == "report":
            return "REPORT " + self.report(), False
        if name == "save":
            if not argument:
                return "ERROR save needs a path", False
            try:
                with open(argument, "wb") as out:
                    out.write(self.image)
            except OSError as error:
                return "ERROR %s" % error, False
            return "OK", False
        if name == "send":
            try:
                data = bytes.fromhex(argument)
            except ValueError:
                return "ERROR send needs hex bytes", False
            if not data:
                return "ERROR send needs hex bytes", False
            if self.master is None:
                return "ERROR unplugged", False
            self.write_answer(data, None)
            return "OK", False
        if name == "fault":
            try:
                self.faults.append(Fault(argument))
            except ValueError as error:
                return "ERROR %s" % error, False
            return "OK", False
        if name == "clear":
            self.faults.clear()
            return "OK", False
        if name == "reset":
            self.faults.clear()
            self.clear_record()
            self.rx.clear()
            # A hang-up already under way still happens; queued answers do not.
            self.timers = [timer for timer in self.timers if timer[2] == self.unplug]
            heapq.heapify(self.timers)
            return "OK", False
        if name == "replug":
            if self.unplug_pending:
                self.unplug()
            if self.master is None:
                self.plug()
            return "PTY " + self.port_path, False
        if name == "quit":
            return "OK", True
        return "ERROR unknown command '%s'" % line.strip(), False

    def run_timers(self):
        now = time.monotonic()
        while self.timers and self.timers[0][0] <= now:
            _, _, action = heapq.heappop(self.timers)
            action()
        if self.rx and now - self.last_rx >= STALE_REQUEST:
            self.violation("incomplete request dropped: %s" % bytes(self.rx).hex())
            self.drop_garbage(len(self.rx))

    def wait_time(self):
        deadlines = [self.timers[0][0]] if self.timers else []
        if self.rx:
            deadlines.append(self.last_rx + STALE_REQUEST)
        if not deadlines:
            return None
        return max(0.0, min(deadlines) - time.monotonic())

    def run(self, wakeup):
        self.plug()
        emit("PTY " + self.port_path)
        stdin = sys.stdin.fileno()
        while not self.terminated:
            watched = [stdin, wakeup] + ([self.master] if self.master is not None else [])
            readable, _, _ = select.select(watched, [], [], self.wait_time())
            if wakeup in readable:
                os.read(wakeup, 512)
                continue
            if self.master is not None and self.master in readable:
                self.read_master()
            if stdin in readable:
                chunk = os.read(stdin, 4096)
                if not chunk:
                    return
                self.stdin_buffer += chunk
                while b"\n" in self.stdin_buffer:
                    raw, _, rest = self.stdin_buffer.partition(b"\n")
                    self.stdin_buffer = bytearray(rest)
                    response, finished = self.command(raw.decode("utf-8", "replace").rstrip("\r"))
                    emit(response)
                    if finished:
                        return
            self.run_timers()

    def close(self):
        if self.master is not None:
            self.unplug()
        if self.write_log:
            self.write_log.close()


def emit(line):
    sys.stdout.buffer.write(line.encode("utf-8") + b"\n")
    sys.stdout.buffer.flush()


def parse_arguments(argv):
    def hex_bytes(text):
        try:
            data = bytes.fromhex(text)
        except ValueError:
            raise argparse.ArgumentTypeError("not hex bytes: '%s'" % text)
        if not data:
            raise argparse.ArgumentTypeError("empty reply")
        return data

    def fault(text):
        try:
            return Fault(text)
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error))

    def positive(text):
        if not text.isdigit() or int(text) == 0:
            raise argparse.ArgumentTypeError("not a positive number: '%s'" % text)
        return int(text)

    parser = argparse.ArgumentParser(
        description="Simulates the QL-7420 on a pseudo-terminal: answers the PC-mode and\n"
                    "version requests and the start/block/end commands of a firmware\n"
                    "transfer, records what it received, and injects faults on request.",
        epilog=USAGE_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version-text", default="1.0.0", metavar="TEXT",
                        help="firmware version in the version reply (UTF-8, padded with "
                             "0x00 to at least 16 bytes; default 1.0.0)")
    parser.add_argument("--pcmode-reply", type=hex_bytes, default=DEFAULT_PCMODE_REPLY,
                        metavar="HEX", help="answer to the PC-mode request (default B0 00 00 00)")
    parser.add_argument("--fault", type=fault, action="append", default=[], metavar="KIND@TARGET",
                        help="inject a fault, repeatable; written as below")
    parser.add_argument("--baud", type=positive, default=0, metavar="N",
                        help="wire-speed mode: delay each answer by the time the request and "
                             "the answer take at N baud, 10 bits per byte")
    parser.add_argument("--write-log", metavar="FILE",
                        help="append '<time.monotonic_ns()> <kind>' to FILE right after each "
                             "answer write (kind: pcmode, version, start, block, end) and "
                             "'<time.monotonic_ns()> unplug' right after the pty is gone")
    parser.add_argument("--tty", metavar="PATH",
                        help="serve this existing tty in raw mode instead of a pty of its own")
    parser.add_argument("-v", "--verbose", action="store_true",
                        help="log requests, answers and violations to stderr")
    options = parser.parse_args(argv)
    if len(options.version_text.encode("utf-8")) > 255:
        parser.error("--version-text is longer than 255 bytes in UTF-8")
    return options


def main(argv):
    options = parse_arguments(argv)

    simulator = Simulator(options)

    def terminate(signum, frame):
        simulator.terminated = True

    # A signal landing just before select() would only be seen once select()
    # returns; the wakeup pipe makes it return at once.
    wakeup, wakeup_write = os.pipe()
    os.set_blocking(wakeup, False)
    os.set_blocking(wakeup_write, False)
    signal.set_wakeup_fd(wakeup_write, warn_on_full_buffer=False)
    signal.signal(signal.SIGTERM, terminate)
    signal.signal(signal.SIGINT, terminate)
    try:
        simulator.run(wakeup)
    except BrokenPipeError:
        pass
    finally:
        simulator.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
