// Checks the Windows serial backend against the device simulator, run under
// Wine on Linux with the simulator's pseudo-terminal mapped as COM12. Built
// without Qt by the MinGW-w64 cross compiler; run_under_wine.py starts it.
//
// Talks to its driver by lines: "SIM <command>" on stdout asks for a
// simulator command, whose one-line answer comes back on stdin. Prints one
// PASS or FAIL line per case and exits non-zero on any failure. What reached
// the simulator (counts, image, violations) is judged by the driver from the
// simulator's own record.
#include "nativeserial_windows.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <initializer_list>
#include <iostream>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;
using NativeSerial::Handle;
using NativeSerial::InvalidHandle;
using NativeSerial::WriteResult;

// The device's whole image: an end command after fewer blocks is an error.
constexpr int BlockCount = 3376;
constexpr int BlockDataSize = 64;
constexpr int AddressStep = 16;
constexpr std::int64_t BigWriteSize = 64 * 1024;
constexpr auto ReplyWait = std::chrono::seconds(5);
// The contract's bound for a port that went away.
constexpr auto GoneBound = std::chrono::seconds(1);
// The simulator unplugs this long after its last answer.
constexpr auto HangupGrace = std::chrono::milliseconds(100);

int failures = 0;

void verdict(bool passed, const std::string &name, const std::string &detail)
{
    std::cout << (passed ? "PASS " : "FAIL ") << name << ": " << detail << std::endl;
    if (!passed)
        ++failures;
}

std::string bytes(std::initializer_list<int> values)
{
    std::string result;
    for (int value : values)
        result += char(value);
    return result;
}

std::string hex(const std::string &data)
{
    std::string result;
    char digits[3];
    for (unsigned char byte : data) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        result += digits;
    }
    return result;
}

std::string simulator(const std::string &command)
{
    std::cout << "SIM " << command << std::endl;
    std::string answer;
    std::getline(std::cin, answer);
    return answer;
}

long long millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Polls as the link does until count bytes have come, or the wait is over.
std::string receive(Handle port, std::size_t count)
{
    std::string received;
    std::string error;
    const auto deadline = Clock::now() + ReplyWait;
    while (received.size() < count && Clock::now() < deadline) {
        const std::int64_t waiting = NativeSerial::bytesWaiting(port, error);
        if (waiting < 0)
            break;
        if (waiting == 0) {
            ::Sleep(1);
            continue;
        }
        std::string chunk(std::size_t(waiting), '\0');
        const std::int64_t got = NativeSerial::read(port, chunk.data(), waiting, error);
        if (got < 0)
            break;
        received += chunk.substr(0, std::size_t(got));
    }
    return received;
}

// Sends a request and compares the whole answer, byte for byte.
bool exchange(Handle port, const std::string &request, const std::string &expected,
              std::string &detail)
{
    std::string error;
    if (NativeSerial::writeAll(port, request.data(), std::int64_t(request.size()), error)
        != WriteResult::Written) {
        detail = "write of " + hex(request) + " failed: " + error;
        return false;
    }
    const std::string answer = receive(port, expected.size());
    detail = hex(request) + " -> " + hex(answer);
    return answer == expected;
}

std::string frame(int code, const std::string &payload)
{
    std::string result = bytes({0xFE, int(payload.size()), 0x4D, code}) + payload;
    char check = 0;
    for (std::size_t i = 1; i < result.size(); ++i)
        check ^= result[i];
    return result + check;
}

// Whatever a driver or the last program left, the port gets the device's
// line settings with DTR and RTS raised, and flow-control characters and
// limits that SetCommState and the driver accept.
void settingsWritten()
{
    DCB read {};
    read.DCBlength = sizeof read;
    read.BaudRate = 115200;
    read.ByteSize = 8;
    read.fBinary = TRUE;
    read.XonLim = 2048;
    read.XoffLim = 512;
    read.XonChar = 0x11;
    read.XoffChar = 0x13;
    constexpr DWORD Queue = 4096;
    const struct
    {
        const char *name;
        DWORD queue;
        WORD limit;
        void (*change)(DCB &);
    } rows[] = {
        {"as read", Queue, 1024, [](DCB &) {}},
        {"DTR off", Queue, 1024, [](DCB &d) { d.fDtrControl = DTR_CONTROL_DISABLE; }},
        {"DTR handshake", Queue, 1024, [](DCB &d) { d.fDtrControl = DTR_CONTROL_HANDSHAKE; }},
        {"RTS off", Queue, 1024, [](DCB &d) { d.fRtsControl = RTS_CONTROL_DISABLE; }},
        {"RTS toggle", Queue, 1024, [](DCB &d) { d.fRtsControl = RTS_CONTROL_TOGGLE; }},
        {"CTS flow on", Queue, 1024, [](DCB &d) { d.fOutxCtsFlow = TRUE; }},
        {"DSR flow and sensitivity on", Queue, 1024,
         [](DCB &d) { d.fOutxDsrFlow = d.fDsrSensitivity = TRUE; }},
        {"XON/XOFF on", Queue, 1024, [](DCB &d) { d.fOutX = d.fInX = TRUE; }},
        {"parity on", Queue, 1024, [](DCB &d) { d.fParity = TRUE, d.Parity = EVENPARITY; }},
        {"9600 baud 7E2", Queue, 1024,
         [](DCB &d) { d.BaudRate = 9600, d.ByteSize = 7, d.StopBits = TWOSTOPBITS; }},
        {"abort on error", Queue, 1024,
         [](DCB &d) { d.fAbortOnError = d.fErrorChar = d.fNull = TRUE; }},
        // SetCommState fails with error 87 on equal characters.
        {"XON and XOFF both 0 (a USB virtual COM driver)", Queue, 1024,
         [](DCB &d) { d.XonChar = d.XoffChar = 0; }},
        {"XON and XOFF both 0x13", Queue, 1024, [](DCB &d) { d.XonChar = 0x13; }},
        {"limits 0", Queue, 1024, [](DCB &d) { d.XonLim = d.XoffLim = 0; }},
        {"limits beyond the queue", Queue, 1024, [](DCB &d) { d.XonLim = d.XoffLim = 65535; }},
        {"no queue size from the driver", 0, 0, [](DCB &) {}},
        {"a 1 MiB queue", 1 << 20, 65535, [](DCB &) {}},
    };
    for (const auto &row : rows) {
        DCB given = read;
        row.change(given);
        const DCB w = NativeSerial::deviceSettings(given, row.queue);
        // Known answers: DTR_CONTROL_ENABLE and RTS_CONTROL_ENABLE are 1,
        // NOPARITY and ONESTOPBIT 0, XON 0x11 and XOFF 0x13.
        const bool device = w.BaudRate == 115200 && w.ByteSize == 8 && w.Parity == 0
            && w.StopBits == 0 && w.fBinary && !w.fParity && w.fDtrControl == 1
            && w.fRtsControl == 1 && !w.fOutxCtsFlow && !w.fOutxDsrFlow && !w.fDsrSensitivity
            && !w.fOutX && !w.fInX && !w.fErrorChar && !w.fNull && !w.fAbortOnError;
        const bool flowFields = w.DCBlength == sizeof w && w.XonChar == 0x11 && w.XoffChar == 0x13
            && w.XonLim == row.limit && w.XoffLim == row.limit;
        verdict(device && flowFields, std::string("settings written, ") + row.name,
                "DTR " + std::to_string(w.fDtrControl) + ", RTS " + std::to_string(w.fRtsControl)
                    + ", " + std::to_string(w.BaudRate) + " baud, "
                    + std::to_string(int(w.ByteSize)) + " bits, parity "
                    + std::to_string(int(w.Parity)) + ", stop " + std::to_string(int(w.StopBits))
                    + ", XON " + std::to_string(int(w.XonChar)) + " XOFF "
                    + std::to_string(int(w.XoffChar)) + ", limits " + std::to_string(w.XonLim)
                    + " and " + std::to_string(w.XoffLim) + " of a " + std::to_string(row.queue)
                    + "-byte queue");
    }
}

// A decision of ours from a system error code, against known answers.
template <typename Answer> struct ErrorRow
{
    const char *name;
    DWORD code;
    Answer expected;
};

template <typename Answer, std::size_t Count>
void decided(const std::string &table, const ErrorRow<Answer> (&rows)[Count],
             Answer (*decide)(DWORD), const char *const names[])
{
    for (const auto &row : rows) {
        const Answer answer = decide(row.code);
        verdict(answer == row.expected, table + ", " + row.name,
                "error " + std::to_string(row.code) + " is " + names[int(answer)]);
    }
}

// What a failed read or write means, for each error a driver gives (numbers
// from Microsoft's list of system error codes).
void callFailuresNamed()
{
    const ErrorRow<WriteResult> rows[] = {
        {"held off past the time-out (usbser.sys)", 121, WriteResult::Stalled},
        {"serial time-out counter expired", 1121, WriteResult::Stalled},
        {"time-out period expired", 1460, WriteResult::Stalled},
        {"unplugged: bad command", 22, WriteResult::Gone},
        {"unplugged: general failure", 31, WriteResult::Gone},
        {"unplugged: access denied", 5, WriteResult::Gone},
        {"unplugged: device not connected", 1167, WriteResult::Gone},
        {"unplugged: operation aborted", 995, WriteResult::Gone},
        {"unplugged: device removed", 1617, WriteResult::Gone},
        {"an error named nowhere", 87, WriteResult::Gone},
    };
    const char *const names[] = {"written", "stalled", "gone"};
    decided("failed call", rows, NativeSerial::callFailure, names);
}

// What each system's answer to keeping the timer fine while hidden means.
void timerAnswersNamed()
{
    using NativeSerial::TimerAnswer;
    const ErrorRow<TimerAnswer> rows[] = {
        {"Windows 11 takes the request", 0, TimerAnswer::Kept},
        {"Windows 10 knows no such flag, and throttles no timer", 87, TimerAnswer::NotNeeded},
        {"Windows 7 has no SetProcessInformation", 127, TimerAnswer::NotNeeded},
        {"Wine 8: invalid function", 1, TimerAnswer::Refused},
        {"access denied", 5, TimerAnswer::Refused},
    };
    const char *const names[] = {"kept", "not needed", "refused"};
    decided("timer answer", rows, NativeSerial::timerAnswer, names);
}

void refusesWhatIsNoSerialPort()
{
    // The reason begins with what happened where the system's words alone
    // would not say it.
    const struct
    {
        const char *name;
        const char *port;
        const char *what;
    } rows[] = {{"missing port", "COM250", ""},
                {"empty name", "", "no port name"},
                {"not a serial port", R"(\\.\NUL)", "not a serial port: "}};
    for (const auto &row : rows) {
        std::string error;
        const Handle port = NativeSerial::open(row.port, error);
        verdict(port == InvalidHandle && !error.empty() && error.rfind(row.what, 0) == 0,
                std::string("refused: ") + row.name, std::string("'") + row.port + "': " + error);
        NativeSerial::close(port);
    }
}

void discardsWhatCameBeforeOpening()
{
    simulator("send b0000000");
    std::string error;
    const Handle port = NativeSerial::open("COM12", error);
    if (port == InvalidHandle) {
        verdict(false, "stale input discarded", "COM12 did not open: " + error);
        return;
    }
    simulator("send " + hex("fresh"));
    const std::string got = receive(port, 5);
    verdict(got == "fresh", "stale input discarded", "after opening read " + hex(got));
    NativeSerial::close(port);
}

void everyByteValueArrives(Handle port)
{
    std::string all;
    for (int value = 0; value < 256; ++value)
        all += char(value);
    simulator("send " + hex(all));
    const auto deadline = Clock::now() + ReplyWait;
    std::int64_t waiting = 0;
    std::string error;
    while ((waiting = NativeSerial::bytesWaiting(port, error)) >= 0 && waiting < 256
           && Clock::now() < deadline)
        ::Sleep(1);
    std::string got(512, '\0');
    got.resize(
        std::size_t(std::max<std::int64_t>(NativeSerial::read(port, got.data(), 512, error), 0)));
    verdict(waiting == 256 && got == all, "bytes 0-255 from the device",
            std::to_string(waiting) + " waiting, " + std::to_string(got.size()) + " read"
                + (got == all ? ", unchanged" : ", changed"));
}

void bigWriteGoesWhole(Handle port)
{
    // Zero bytes cannot start a request: the simulator counts each one.
    const std::string big(std::size_t(BigWriteSize), '\0');
    const auto start = Clock::now();
    std::string error;
    const bool written
        = NativeSerial::writeAll(port, big.data(), BigWriteSize, error) == WriteResult::Written;
    verdict(written, "64 KiB write handed over",
            "in " + std::to_string(millisecondsSince(start)) + " ms"
                + (error.empty() ? "" : ": " + error));
}

const std::string VersionRequest = bytes({0x02, 0x01, 0xBB, 0xBA});
// "1.0.0" padded to 16 bytes, after its length and before the XOR of both.
const std::string VersionReply
    = bytes({0xBB, 0x10}) + "1.0.0" + std::string(11, '\0') + bytes({0x21});

void requestsAnswered(Handle port)
{
    std::string detail;
    const bool pcMode
        = exchange(port, bytes({0x02, 0x07}) + "eDLMODE?", bytes({0xB0, 0x00, 0x00, 0x00}), detail);
    verdict(pcMode, "PC-mode request answered", detail);
    verdict(exchange(port, VersionRequest, VersionReply, detail), "version request answered",
            detail);
}

void transferAcknowledged(Handle port)
{
    const std::string blockAck = bytes({0xFE, 0x01, 0x4D, 0x81, 0x00, 0xCD});
    std::string detail;
    bool acknowledged
        = exchange(port, frame(0x04, {}), bytes({0xFE, 0x01, 0x4D, 0x84, 0x00, 0xC8}), detail);
    // The image is the byte values 0-255 over and over, so that every value
    // crosses to the device; the driver compares the simulator's MD5 of it.
    for (int block = 0; acknowledged && block < BlockCount; ++block) {
        const int address = block * AddressStep;
        std::string payload = bytes({address & 0xFF, address >> 8});
        for (int i = 0; i < BlockDataSize; ++i)
            payload += char(block * BlockDataSize + i);
        acknowledged = exchange(port, frame(0x01, payload), blockAck, detail);
    }
    if (acknowledged)
        acknowledged
            = exchange(port, frame(0x03, {}), bytes({0xFE, 0x01, 0x4D, 0x83, 0x00, 0xCF}), detail);
    verdict(acknowledged, "transfer acknowledged",
            acknowledged ? "start, " + std::to_string(BlockCount) + " blocks, end" : detail);
}

void deviceGoneFailsFast(Handle port)
{
    simulator("fault hangup@version");
    std::string detail;
    if (!exchange(port, VersionRequest, VersionReply, detail)) {
        verdict(false, "device gone", "no answer before the hang-up: " + detail);
        return;
    }
    // The link reports a lost link with the reason each call gives.
    const auto answered = Clock::now();
    std::int64_t waiting = 0;
    std::string waitingError;
    while ((waiting = NativeSerial::bytesWaiting(port, waitingError)) >= 0
           && Clock::now() < answered + HangupGrace + GoneBound)
        ::Sleep(1);
    verdict(waiting < 0 && !waitingError.empty(), "device gone: bytes waiting negative, with why",
            "after " + std::to_string(millisecondsSince(answered))
                + " ms, unplugged 100 ms after its answer: '" + waitingError + "'");

    const auto start = Clock::now();
    std::string writeError;
    const WriteResult written = NativeSerial::writeAll(
        port, VersionRequest.data(), std::int64_t(VersionRequest.size()), writeError);
    const auto took = Clock::now() - start;
    verdict(written == WriteResult::Gone && !writeError.empty() && took <= GoneBound,
            "device gone: write fails, with why",
            std::string(written == WriteResult::Written ? "succeeded" : "failed") + " in "
                + std::to_string(millisecondsSince(start)) + " ms: '" + writeError + "'");

    char byte = 0;
    std::string readError;
    const std::int64_t read = NativeSerial::read(port, &byte, 1, readError);
    std::cout << "NOTE device gone: read returns " << read << " '" << readError
              << "' (Windows fails the read, which the link takes as the port gone; Wine reads 0 "
                 "bytes)"
              << std::endl;
}

} // namespace

int main()
{
    settingsWritten();
    callFailuresNamed();
    timerAnswersNamed();
    std::cout << "NOTE " << NativeSerial::keepTimerFine() << std::endl;
    refusesWhatIsNoSerialPort();
    discardsWhatCameBeforeOpening();

    std::string error;
    const Handle port = NativeSerial::open(R"(\\.\COM12)", error);
    verdict(port != InvalidHandle, R"(opens \\.\COM12)",
            port != InvalidHandle ? "the device-namespace name is used as it is" : error);
    if (port != InvalidHandle) {
        everyByteValueArrives(port);
        bigWriteGoesWhole(port);
        requestsAnswered(port);
        transferAcknowledged(port);
        deviceGoneFailsFast(port);
        NativeSerial::close(port);
    }
    std::cout << "NOT CHECKED second opener refused: Wine opens a COM port a second time even "
                 "without sharing,"
                 " where Windows refuses; this cannot be shown here\n"
                 "NOT CHECKED 1 ms timer resolution while open, and kept while the windows are "
                 "hidden: Wine sleeps on the host's clock and throttles nothing, so neither "
                 "timeBeginPeriod nor ProcessPowerThrottling changes anything measurable here"
              << std::endl;
    return failures == 0 ? 0 : 1;
}
