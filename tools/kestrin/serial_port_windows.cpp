#include "serial_port.h"
#include "windows_error.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace kestrin {

namespace {

HANDLE handleOf(const SerialPort& port)
{
    return static_cast<HANDLE>(port.handle);
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
    case Parity::none: break;
    }
    return NOPARITY;
}

int comNumber(const std::string& name)
{
    // Windows numbers COM ports up to 255; longer digit runs are no port.
    if (name.size() < 4 || name.size() > 8 || _strnicmp(name.c_str(), "COM", 3) != 0) {
        return -1;
    }
    int number = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) {
            return -1;
        }
        number = number * 10 + (name[i] - '0');
    }
    return number;
}

} // namespace

bool openSerialPort(const std::string& name, const PortSettings& settings, SerialPort& port, std::string& error)
{
    const HANDLE h = CreateFileA(devicePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                 nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = "cannot open: " + windowsErrorText(GetLastError());
        return false;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb)) {
        error = "not a serial port: " + windowsErrorText(GetLastError());
        CloseHandle(h);
        return false;
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
        error = "cannot apply the port settings: " + windowsErrorText(GetLastError());
        CloseHandle(h);
        return false;
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
        error = "cannot set the read time-outs: " + windowsErrorText(GetLastError());
        CloseHandle(h);
        return false;
    }
    port.name = name;
    port.handle = h;
    port.open = true;
    return true;
}

bool discardInput(SerialPort& port, std::string& error)
{
    if (!PurgeComm(handleOf(port), PURGE_RXCLEAR | PURGE_RXABORT)) {
        error = "cannot discard stale input: " + windowsErrorText(GetLastError());
        return false;
    }
    return true;
}

bool writeBytes(SerialPort& port, const Bytes& bytes, std::string& error)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        if (!WriteFile(handleOf(port), bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written,
                       nullptr)) {
            error = "cannot send: " + windowsErrorText(GetLastError());
            return false;
        }
        if (written == 0) {
            error = "cannot send: the write timed out";
            return false;
        }
        done += written;
    }
    return true;
}

void closeSerialPort(SerialPort& port)
{
    if (port.open) {
        CloseHandle(handleOf(port));
    }
    port = SerialPort{};
}

std::vector<PortListing> listSerialPorts()
{
    // Every DOS device name, as a double-null-terminated list; grown until
    // it fits.
    std::vector<char> names(16 * 1024);
    for (;;) {
        const DWORD n = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
        if (n != 0) {
            break;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || names.size() > (1u << 22)) {
            return {};
        }
        names.resize(names.size() * 2);
    }
    std::vector<std::pair<int, PortListing>> found;
    for (const char* p = names.data(); *p != '\0'; p += std::strlen(p) + 1) {
        const std::string name = p;
        const int number = comNumber(name);
        if (number < 0) {
            continue;
        }
        char target[1024];
        const DWORD t = QueryDosDeviceA(name.c_str(), target, sizeof target);
        found.push_back({number, {name, t != 0 ? std::string(target) : std::string()}});
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<PortListing> ports;
    for (auto& f : found) {
        ports.push_back(std::move(f.second));
    }
    return ports;
}

} // namespace kestrin
