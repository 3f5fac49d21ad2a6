#include "host/serial_port.h"

#include "cli/error.h"
#include "host/windows_error.h"

#include <windows.h>

#include <fmt/format.h>

namespace kestrin {

namespace {

Error systemError(const char* what)
{
    return Error(fmt::format("{}: {}", what, windowsErrorText(GetLastError())));
}

// "COM12" needs the device namespace prefix; one already given is kept.
std::string devicePath(const std::string& name)
{
    if (name.rfind("\\\\", 0) == 0) {
        return name;
    }
    return "\\\\.\\" + name;
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

} // namespace

SerialPort SerialPort::open(const std::string& name, const PortSettings& settings)
{
    const HANDLE h = CreateFileA(devicePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                 nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        throw systemError("cannot open");
    }
    // Owned from here, so that any failure below closes it.
    SerialPort port(name, h);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb)) {
        throw systemError("not a serial port");
    }
    dcb.BaudRate = settings.baud;
    dcb.ByteSize = static_cast<BYTE>(settings.dataBits);
    dcb.Parity = parityCode(settings.parity);
    dcb.StopBits = settings.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = settings.parity != Parity::none;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(h, &dcb)) {
        throw systemError("cannot apply the port settings");
    }
    // A read returns a waiting byte at once, the first byte to arrive within
    // the constant, or nothing after it. A port keeps whatever time-outs the
    // previous program left, so they are always set.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(settings.readWaitMs);
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 5000;
    if (!SetCommTimeouts(h, &timeouts)) {
        throw systemError("cannot set the read time-outs");
    }
    return port;
}

void SerialPort::discardInput()
{
    if (!PurgeComm(handle_, PURGE_RXCLEAR | PURGE_RXABORT)) {
        throw systemError("cannot discard stale input");
    }
}

void SerialPort::write(const Bytes& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        if (!WriteFile(handle_, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written, nullptr)) {
            throw systemError("cannot send");
        }
        if (written == 0) {
            throw Error("cannot send: the write timed out");
        }
        done += written;
    }
}

void SerialPort::close() noexcept
{
    if (open_) {
        CloseHandle(handle_);
        open_ = false;
        handle_ = nullptr;
    }
}

} // namespace kestrin
