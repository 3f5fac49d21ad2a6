#include "host/serial_port.h"

#include "cli/error.h"
#include "host/port_names_windows.h"
#include "host/windows_error.h"

#include <windows.h>

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace kestrin {

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
    return Error("the device went away", "device_gone");
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
// system drops it with the process, however that ends.
class Claim {
public:
    explicit Claim(const std::string& port)
    {
        const std::string name = portClaimName(port);
        handle_ = CreateMutexA(nullptr, FALSE, name.c_str());
        const DWORD code = GetLastError();
        if (handle_ != nullptr && code == ERROR_ALREADY_EXISTS) {
            CloseHandle(handle_);
            handle_ = nullptr;
            busy_ = true;
        } else if (handle_ == nullptr) {
            // One made by another user's kestrin is there but not ours to
            // open; any other failure leaves the check to the system's own.
            busy_ = code == ERROR_ACCESS_DENIED;
        }
    }
    ~Claim()
    {
        if (handle_ != nullptr) {
            CloseHandle(handle_);
        }
    }
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;

    bool busy() const { return busy_; }
    HANDLE release() { return std::exchange(handle_, nullptr); }

private:
    HANDLE handle_ = nullptr;
    bool busy_ = false;
};

// What an open port needs beyond its handle: the settings to put back, the
// time-outs the tool's reads use, and the claim that keeps other instances
// out. Kept here, by handle, so that the restore an interrupt handler makes
// needs nothing from the thread that owns the port.
struct PortState {
    HANDLE handle = nullptr;
    HANDLE claim = nullptr;
    DCB savedState{};
    COMMTIMEOUTS savedTimeouts{};
    COMMTIMEOUTS readTimeouts{};
};

struct OpenPorts {
    std::mutex mutex;
    std::vector<PortState> states;

    std::vector<PortState>::iterator at(HANDLE handle)
    {
        return std::find_if(states.begin(), states.end(), [&](const PortState& s) { return s.handle == handle; });
    }
};

// Never destroyed: an interrupt handler may restore a port while the
// process exits.
OpenPorts& openPorts()
{
    static OpenPorts* const ports = new OpenPorts;
    return *ports;
}

void remember(const PortState& state)
{
    OpenPorts& ports = openPorts();
    std::lock_guard<std::mutex> lock(ports.mutex);
    ports.states.push_back(state);
}

std::optional<PortState> find(HANDLE handle)
{
    OpenPorts& ports = openPorts();
    std::lock_guard<std::mutex> lock(ports.mutex);
    const auto it = ports.at(handle);
    return it == ports.states.end() ? std::nullopt : std::optional<PortState>(*it);
}

std::optional<PortState> forget(HANDLE handle)
{
    OpenPorts& ports = openPorts();
    std::lock_guard<std::mutex> lock(ports.mutex);
    const auto it = ports.at(handle);
    if (it == ports.states.end()) {
        return std::nullopt;
    }
    PortState state = *it;
    ports.states.erase(it);
    return state;
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
            throw UsageError("RTS cannot be set on or off while RTS/CTS flow control drives it");
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
    Claim claim(name);
    if (claim.busy()) {
        throw Error("busy: another kestrin has it open", "busy");
    }
    const HANDLE h = CreateFileA(portDevicePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        // A port is opened exclusively, so one in use is refused with one of
        // these (access denied, from serial drivers).
        if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION) {
            throw Error(fmt::format("busy: another program has it open: {}", windowsErrorText(code)), "busy");
        }
        throw Error(fmt::format("cannot open: {}", windowsErrorText(code)));
    }
    // Owned from here, so that any failure below closes it; and what it
    // had is noted before anything is changed, so that the close puts it
    // back even after a half-applied configuration.
    SerialPort port(name, h);
    PortState state;
    state.handle = h;
    state.savedState.DCBlength = sizeof state.savedState;
    if (!GetCommState(h, &state.savedState)) {
        throw systemError("not a serial port");
    }
    if (!GetCommTimeouts(h, &state.savedTimeouts)) {
        throw systemError("cannot read its time-outs");
    }
    state.claim = claim.release();
    state.readTimeouts = readTimeouts(settings.readWaitMs);
    remember(state);

    DCB dcb = state.savedState;
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
    applyXonXoff(h, dcb, settings.flow == Flow::xonXoff);
    if (!SetCommState(h, &dcb)) {
        const DWORD code = GetLastError();
        throw systemError(fmt::format("cannot apply the port settings ({})", describe(settings)), code);
    }
    // A port keeps whatever time-outs the previous program left, so they
    // are always set.
    if (!SetCommTimeouts(h, &state.readTimeouts)) {
        throw systemError("cannot set the read time-outs");
    }
    return port;
}

void SerialPort::discardInput()
{
    if (!PurgeComm(handle_, PURGE_RXCLEAR | PURGE_RXABORT)) {
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
        if (!WriteFile(handle_, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written, nullptr)) {
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
    const std::optional<PortState> state = find(handle_);
    if (!state || most == 0) {
        return 0;
    }
    // Bytes already there are taken at once, as many as fit. Asking for
    // more than are there would wait out the whole time-out under Wine,
    // even after one arrived, so an empty line is waited on for one byte.
    const std::size_t got = readWaiting(handle_, into, most);
    if (got > 0) {
        return got;
    }
    // The port's own time-outs are the poll's; a read with another wait
    // sets its own for the call and puts the poll's back after it.
    const COMMTIMEOUTS wanted = readTimeouts(waitMs);
    const bool other = !sameTimeouts(wanted, state->readTimeouts);
    if (other) {
        COMMTIMEOUTS timeouts = wanted;
        if (!SetCommTimeouts(handle_, &timeouts)) {
            if (deviceGone()) {
                throw deviceGoneError();
            }
            throw systemError("cannot set the read time-outs");
        }
    }
    DWORD one = 0;
    const BOOL ok = ReadFile(handle_, into, 1, &one, nullptr);
    const DWORD readError = GetLastError();
    if (other) {
        COMMTIMEOUTS timeouts = state->readTimeouts;
        SetCommTimeouts(handle_, &timeouts);
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
    return 1 + readWaiting(handle_, into + 1, most - 1);
}

bool SerialPort::deviceGone() const
{
    if (!open_) {
        return false;
    }
    DWORD errors = 0;
    COMSTAT status{};
    return !ClearCommError(handle_, &errors, &status);
}

void SerialPort::restoreSettings() const noexcept
{
    if (!open_) {
        return;
    }
    const std::optional<PortState> state = find(handle_);
    if (!state) {
        return;
    }
    DCB dcb = state->savedState;
    COMMTIMEOUTS timeouts = state->savedTimeouts;
    SetCommState(handle_, &dcb);
    SetCommTimeouts(handle_, &timeouts);
}

void SerialPort::close() noexcept
{
    if (open_) {
        restoreSettings();
        const std::optional<PortState> state = forget(handle_);
        CloseHandle(handle_);
        // Only now may another instance have it.
        if (state && state->claim != nullptr) {
            CloseHandle(state->claim);
        }
        open_ = false;
        handle_ = nullptr;
    }
}

} // namespace kestrin
