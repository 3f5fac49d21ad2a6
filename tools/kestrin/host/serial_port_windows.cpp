#include "host/serial_port.h"

#include "base/error.h"
#include "host/port_names_windows.h"
#include "host/windows_text.h"

#include <windows.h>

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <utility>

namespace kestrin {

// What an open port needs beyond its handle: the settings to put back, the
// time-outs the tool's reads use, and the claim that keeps other instances
// out, released only after the port itself is closed.
struct SavedSettings {
    DCB state{};
    COMMTIMEOUTS timeouts{};
    COMMTIMEOUTS readTimeouts{};
    UniqueHandle claim;
    // The modem lines (lineBit): their levels as the tool set them or found
    // them in the DCB, since Windows cannot read an output line back; those
    // driveLines changed, which the saved DCB alone need not put back.
    // Atomic where restoreSettings, on an interrupt's thread, reads what
    // driveLines writes. RTS/CTS flow control drives RTS.
    bool rtsByFlow = false;
    mutable std::atomic<int> presentLines{0};
    mutable std::atomic<int> changedLines{0};
};

namespace {

Error systemError(const std::string& what, DWORD code)
{
    return Error(fmt::format("{}: {}", what, windowsErrorText(code)));
}

Error systemError(const char* what)
{
    return systemError(what, GetLastError());
}

Error deviceGoneError()
{
    return Error("the device went away", Status::deviceGone);
}

BYTE parityCode(Parity parity)
{
    switch (parity) {
    case Parity::even: return EVENPARITY;
    case Parity::odd: return ODDPARITY;
    case Parity::mark: return MARKPARITY;
    case Parity::space: return SPACEPARITY;
    case Parity::none: break;
    }
    return NOPARITY;
}

// Windows refuses a second open of a port on its own, but Wine does not:
// a named object per port keeps a second kestrin off it there too. The
// system drops it with the process, however that ends. Throws Error with
// Status::busy when another kestrin holds it.
UniqueHandle claimPort(const std::string& port)
{
    UniqueHandle claim(CreateMutexW(nullptr, FALSE, wide(portClaimName(port)).c_str()));
    const DWORD code = GetLastError();
    // One made by another user's kestrin is there but not ours to open; any
    // other failure leaves the check to the system's own.
    if ((claim && code == ERROR_ALREADY_EXISTS) || (!claim && code == ERROR_ACCESS_DENIED)) {
        throw Error("busy: another kestrin has it open", Status::busy);
    }
    return claim;
}

// Why CreateFile refused the port. Serial drivers answer a second open with
// "access denied", as the system does a port one may not open and a
// directory: an open that asks for no access at all tells them apart, since
// it needs no rights but still meets the driver's refusal of a port in use.
Error openFailure(const std::wstring& path, DWORD code)
{
    if (code == ERROR_SHARING_VIOLATION) {
        return Error(fmt::format("busy: another program has it open: {}", windowsErrorText(code)), Status::busy);
    }
    if (code != ERROR_ACCESS_DENIED) {
        return Error(fmt::format("cannot open: {}", windowsErrorText(code)));
    }
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return Error("not a serial port (a directory)");
    }
    const UniqueHandle probe = ownFile(
        CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    const DWORD probeCode = GetLastError();
    if (probe) {
        return Error(fmt::format("cannot open: {} (the port is not yours to open)", windowsErrorText(code)));
    }
    if (probeCode == ERROR_ACCESS_DENIED) {
        return Error(fmt::format("busy: another program has it open: {}", windowsErrorText(code)), Status::busy);
    }
    return Error(fmt::format("cannot open: {}", windowsErrorText(code)));
}

// A read returns a waiting byte (all of them, up to the count) at once, the
// first byte to arrive within `waitMs`, or nothing after it.
COMMTIMEOUTS readTimeouts(int waitMs)
{
    COMMTIMEOUTS timeouts{};
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 5000;
    timeouts.ReadIntervalTimeout = MAXDWORD;
    if (waitMs <= 0) {
        // No wait at all: what is there, or nothing.
        return timeouts;
    }
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(std::min<long long>(waitMs, MAXDWORD - 1));
    return timeouts;
}

bool sameTimeouts(const COMMTIMEOUTS& a, const COMMTIMEOUTS& b)
{
    return a.ReadIntervalTimeout == b.ReadIntervalTimeout &&
           a.ReadTotalTimeoutMultiplier == b.ReadTotalTimeoutMultiplier &&
           a.ReadTotalTimeoutConstant == b.ReadTotalTimeoutConstant &&
           a.WriteTotalTimeoutMultiplier == b.WriteTotalTimeoutMultiplier &&
           a.WriteTotalTimeoutConstant == b.WriteTotalTimeoutConstant;
}

// The settings as a summary for an error: "250000 baud 8E1".
std::string describe(const PortSettings& settings)
{
    return fmt::format("{} baud {}{}{}", settings.baud, settings.dataBits,
                       static_cast<char>(std::toupper(static_cast<unsigned char>(parityName(settings.parity)[0]))),
                       settings.stopBits);
}

void applyLines(DCB& dcb, const PortSettings& settings)
{
    // DTR/DSR handshaking is no option of the tool's: a port left in it
    // gets DTR simply on.
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    switch (settings.dtr) {
    case Line::on: dcb.fDtrControl = DTR_CONTROL_ENABLE; break;
    case Line::off: dcb.fDtrControl = DTR_CONTROL_DISABLE; break;
    case Line::keep:
        if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) {
            dcb.fDtrControl = DTR_CONTROL_ENABLE;
        }
        break;
    }

    dcb.fOutxCtsFlow = settings.flow == Flow::rtsCts;
    if (settings.flow == Flow::rtsCts) {
        if (settings.rts != Line::keep) {
            throw usageError("RTS cannot be set on or off while RTS/CTS flow control drives it");
        }
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else {
        switch (settings.rts) {
        case Line::on: dcb.fRtsControl = RTS_CONTROL_ENABLE; break;
        case Line::off: dcb.fRtsControl = RTS_CONTROL_DISABLE; break;
        case Line::keep:
            // Handshaking or toggling RTS is flow control the user did not
            // ask for.
            if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE || dcb.fRtsControl == RTS_CONTROL_TOGGLE) {
                dcb.fRtsControl = RTS_CONTROL_ENABLE;
            }
            break;
        }
    }
}

int lineBit(ModemLine line)
{
    return line == ModemLine::rts ? 2 : 1;
}

const char* bitName(int bit)
{
    return bit == 2 ? "RTS" : "DTR";
}

// The level a DCB gives a line, or -1 where the driver drives it
// (handshaking, toggling).
int dcbLevel(const DCB& dcb, int bit)
{
    if (bit == lineBit(ModemLine::dtr)) {
        return dcb.fDtrControl == DTR_CONTROL_ENABLE ? 1 : dcb.fDtrControl == DTR_CONTROL_DISABLE ? 0 : -1;
    }
    return dcb.fRtsControl == RTS_CONTROL_ENABLE ? 1 : dcb.fRtsControl == RTS_CONTROL_DISABLE ? 0 : -1;
}

void noteLevel(const SavedSettings& saved, int bit, bool on)
{
    if (on) {
        saved.presentLines.fetch_or(bit);
    } else {
        saved.presentLines.fetch_and(~bit);
    }
}

BOOL escapeLine(HANDLE handle, int bit, bool on)
{
    const DWORD function = bit == lineBit(ModemLine::dtr) ? (on ? SETDTR : CLRDTR) : (on ? SETRTS : CLRRTS);
    return EscapeCommFunction(handle, function);
}

// Sleep() counts in the system's ticks, 15.6 ms unless a program asks for
// finer: a high-resolution timer (Windows 10 1803 on) keeps a pulse's length
// to what was asked.
void sleepMs(int ms)
{
    if (ms <= 0) {
        return;
    }
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif
    const UniqueHandle timer(
        CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS));
    LARGE_INTEGER due{};
    due.QuadPart = -10000LL * ms; // relative, in 100 ns
    if (timer && SetWaitableTimer(timer.get(), &due, 0, nullptr, nullptr, FALSE)) {
        WaitForSingleObject(timer.get(), INFINITE);
    } else {
        Sleep(static_cast<DWORD>(ms));
    }
}

void applyXonXoff(HANDLE handle, DCB& dcb, bool on)
{
    dcb.fOutX = on;
    dcb.fInX = on;
    if (!on) {
        return;
    }
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    // Stop the sender with a quarter of the input buffer still free, and
    // let it go on once three quarters are free again.
    COMMPROP properties{};
    DWORD queue = 4096;
    if (GetCommProperties(handle, &properties) && properties.dwCurrentRxQueue >= 64) {
        queue = properties.dwCurrentRxQueue;
    }
    dcb.XoffLim = static_cast<WORD>(std::min<DWORD>(queue / 4, 0xFFFF));
    dcb.XonLim = static_cast<WORD>(std::min<DWORD>(queue / 4, 0xFFFF));
}

// The bytes already in the port's input queue, up to `most`, without
// waiting. A port whose state cannot be read is one whose device is gone.
std::size_t readWaiting(HANDLE handle, unsigned char* into, std::size_t most)
{
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(handle, &errors, &status)) {
        throw deviceGoneError();
    }
    const DWORD count = static_cast<DWORD>(std::min<std::size_t>(most, status.cbInQue));
    DWORD got = 0;
    if (count > 0 && !ReadFile(handle, into, count, &got, nullptr)) {
        const DWORD code = GetLastError();
        if (!ClearCommError(handle, &errors, &status)) {
            throw deviceGoneError();
        }
        throw systemError("cannot read", code);
    }
    return got;
}

} // namespace

SerialPort SerialPort::open(const std::string& name, const PortSettings& settings)
{
    auto saved = std::make_shared<SavedSettings>();
    saved->claim = claimPort(name);
    const std::wstring path = wide(portDevicePath(name));
    UniqueHandle h = ownFile(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                         nullptr));
    if (!h) {
        throw openFailure(path, GetLastError());
    }
    const HANDLE handle = h.get();
    // What it had is noted before anything is changed; from the moment the
    // object holds it, closing puts that back, even after a half-applied
    // configuration.
    saved->state.DCBlength = sizeof saved->state;
    if (!GetCommState(handle, &saved->state)) {
        throw systemError("not a serial port");
    }
    if (!GetCommTimeouts(handle, &saved->timeouts)) {
        throw systemError("cannot read its time-outs");
    }
    saved->readTimeouts = readTimeouts(settings.readWaitMs);
    SerialPort port(name, std::move(h));
    port.saved_ = saved;

    DCB dcb = saved->state;
    dcb.BaudRate = settings.baud;
    dcb.ByteSize = static_cast<BYTE>(settings.dataBits);
    dcb.Parity = parityCode(settings.parity);
    dcb.StopBits = settings.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = settings.parity != Parity::none;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    applyLines(dcb, settings);
    applyXonXoff(handle, dcb, settings.flow == Flow::xonXoff);
    if (!SetCommState(handle, &dcb)) {
        const DWORD code = GetLastError();
        throw systemError(fmt::format("cannot apply the port settings ({})", describe(settings)), code);
    }
    saved->rtsByFlow = settings.flow == Flow::rtsCts;
    for (const ModemLine line : {ModemLine::dtr, ModemLine::rts}) {
        noteLevel(*saved, lineBit(line), dcbLevel(dcb, lineBit(line)) == 1);
    }
    // A port keeps whatever time-outs the previous program left, so they
    // are always set.
    COMMTIMEOUTS timeouts = saved->readTimeouts;
    if (!SetCommTimeouts(handle, &timeouts)) {
        throw systemError("cannot set the read time-outs");
    }
    return port;
}

void SerialPort::discardInput()
{
    if (!PurgeComm(handle_.get(), PURGE_RXCLEAR | PURGE_RXABORT)) {
        if (deviceGone()) {
            throw deviceGoneError();
        }
        throw systemError("cannot discard stale input");
    }
}

void SerialPort::write(const Bytes& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        if (!WriteFile(handle_.get(), bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written,
                       nullptr)) {
            if (deviceGone()) {
                throw deviceGoneError();
            }
            throw systemError("cannot send");
        }
        if (written == 0) {
            throw Error("cannot send: the write timed out");
        }
        done += written;
    }
}

std::size_t SerialPort::read(unsigned char* into, std::size_t most, int waitMs)
{
    if (!saved_ || most == 0) {
        return 0;
    }
    const HANDLE handle = handle_.get();
    // Bytes already there are taken at once, as many as fit. Asking for
    // more than are there would wait out the whole time-out under Wine,
    // even after one arrived, so an empty line is waited on for one byte.
    const std::size_t got = readWaiting(handle, into, most);
    if (got > 0) {
        return got;
    }
    // The port's own time-outs are the poll's; a read with another wait
    // sets its own for the call and puts the poll's back after it.
    const COMMTIMEOUTS wanted = readTimeouts(waitMs);
    const bool other = !sameTimeouts(wanted, saved_->readTimeouts);
    if (other) {
        COMMTIMEOUTS timeouts = wanted;
        if (!SetCommTimeouts(handle, &timeouts)) {
            if (deviceGone()) {
                throw deviceGoneError();
            }
            throw systemError("cannot set the read time-outs");
        }
    }
    DWORD one = 0;
    const BOOL ok = ReadFile(handle, into, 1, &one, nullptr);
    const DWORD readError = GetLastError();
    if (other) {
        COMMTIMEOUTS timeouts = saved_->readTimeouts;
        SetCommTimeouts(handle, &timeouts);
    }
    // A removed adapter fails its reads; under Wine a hung-up line instead
    // reads nothing, quietly. The port's state tells either apart from a
    // silent device.
    if (!ok || one == 0) {
        if (deviceGone()) {
            throw deviceGoneError();
        }
        if (!ok) {
            throw systemError("cannot read", readError);
        }
        return 0;
    }
    // And whatever came with it.
    return 1 + readWaiting(handle, into + 1, most - 1);
}

void SerialPort::driveLines(const std::vector<LineStep>& steps)
{
    if (!saved_) {
        throw Error("cannot set the modem lines: the port is not open");
    }
    const HANDLE handle = handle_.get();
    // Noted as changed before the change, so that a restore on another
    // thread cannot miss it.
    const auto set = [&](int bit, bool on) {
        if (bit == lineBit(ModemLine::rts) && saved_->rtsByFlow) {
            throw usageError("cannot set RTS: RTS/CTS flow control drives it");
        }
        saved_->changedLines.fetch_or(bit);
        if (!escapeLine(handle, bit, on)) {
            const DWORD code = GetLastError();
            if (deviceGone()) {
                throw deviceGoneError();
            }
            // What drivers without the lines answer.
            if (code == ERROR_INVALID_FUNCTION || code == ERROR_NOT_SUPPORTED || code == ERROR_INVALID_PARAMETER) {
                throw Error(fmt::format("cannot set {}: the port has no modem lines ({})", bitName(bit),
                                        windowsErrorText(code)));
            }
            throw systemError(fmt::format("cannot set {}", bitName(bit)), code);
        }
        noteLevel(*saved_, bit, on);
    };
    for (const LineStep& step : steps) {
        const int bit = lineBit(step.line);
        switch (step.kind) {
        case LineStep::Kind::set: set(bit, step.on); break;
        case LineStep::Kind::pulse: {
            const bool was = (saved_->presentLines.load() & bit) != 0;
            set(bit, !was);
            sleepMs(step.ms);
            set(bit, was);
            break;
        }
        case LineStep::Kind::wait: sleepMs(step.ms); break;
        }
    }
}

bool SerialPort::deviceGone() const
{
    if (!handle_) {
        return false;
    }
    DWORD errors = 0;
    COMSTAT status{};
    return !ClearCommError(handle_.get(), &errors, &status);
}

void SerialPort::restoreSettings() const noexcept
{
    if (!handle_ || !saved_) {
        return;
    }
    DCB dcb = saved_->state;
    COMMTIMEOUTS timeouts = saved_->timeouts;
    SetCommState(handle_.get(), &dcb);
    SetCommTimeouts(handle_.get(), &timeouts);
    // A driver re-applies a DCB's line level only when its mode changes, so
    // a line driveLines moved is put back by hand, unless the driver drives
    // it.
    const int changed = saved_->changedLines.load();
    for (const ModemLine line : {ModemLine::dtr, ModemLine::rts}) {
        const int bit = lineBit(line);
        const int found = dcbLevel(saved_->state, bit);
        if (found < 0) {
            continue;
        }
        if ((changed & bit) != 0) {
            escapeLine(handle_.get(), bit, found == 1);
        }
        noteLevel(*saved_, bit, found == 1);
    }
}

} // namespace kestrin
