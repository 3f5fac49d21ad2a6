#include "host/serial_port.h"

#include "cli/error.h"

#include <fmt/format.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace kestrin {

namespace {

int descriptor(void* handle)
{
    return static_cast<int>(reinterpret_cast<std::intptr_t>(handle));
}

bool speedFor(std::uint32_t baud, speed_t& speed)
{
    struct Rate {
        std::uint32_t baud;
        speed_t speed;
    };
    static const Rate rates[] = {
        {50, B50},          {75, B75},          {110, B110},        {134, B134},        {150, B150},
        {200, B200},        {300, B300},        {600, B600},        {1200, B1200},      {1800, B1800},
        {2400, B2400},      {4800, B4800},      {9600, B9600},      {19200, B19200},    {38400, B38400},
        {57600, B57600},    {115200, B115200},  {230400, B230400},  {460800, B460800},  {500000, B500000},
        {576000, B576000},  {921600, B921600},  {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
        {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
    };
    for (const Rate& r : rates) {
        if (r.baud == baud) {
            speed = r.speed;
            return true;
        }
    }
    return false;
}

tcflag_t sizeFlag(int dataBits)
{
    switch (dataBits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
    }
}

Error systemError(const char* what)
{
    return Error(fmt::format("{}: {}", what, std::strerror(errno)));
}

} // namespace

SerialPort SerialPort::open(const std::string& name, const PortSettings& settings)
{
    speed_t speed = B0;
    if (!speedFor(settings.baud, speed)) {
        throw Error(fmt::format("baud rate {} is not available here", settings.baud));
    }
    // Non-blocking only while opening, so that a modem line without carrier
    // cannot hang the open; reads then follow VMIN/VTIME.
    const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == EACCES) {
            // The usual cause on a fresh machine, and a fix people look up.
            throw Error(fmt::format("cannot open: {} (serial ports belong to the dialout group: "
                                    "sudo usermod -aG dialout $USER, then log in again)",
                                    std::strerror(errno)));
        }
        throw systemError("cannot open");
    }
    // Owned from here, so that any failure below closes it.
    SerialPort port(name, reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        if (errno == ENOTTY) {
            throw Error("not a serial port");
        }
        throw systemError("cannot read its settings");
    }
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio.c_cflag |= sizeFlag(settings.dataBits) | CLOCAL | CREAD;
    if (settings.parity != Parity::none) {
        tio.c_cflag |= PARENB;
        if (settings.parity == Parity::odd) {
            tio.c_cflag |= PARODD;
        }
    }
    if (settings.stopBits == 2) {
        tio.c_cflag |= CSTOPB;
    }
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    // VMIN 0 with VTIME t: a read returns a waiting byte at once, the first
    // byte to arrive within t tenths of a second, or nothing after them.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = static_cast<cc_t>(std::min(255, (settings.readWaitMs + 99) / 100));
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        throw systemError("cannot apply the port settings");
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        throw systemError("cannot make reads wait");
    }
    return port;
}

void SerialPort::discardInput()
{
    if (tcflush(descriptor(handle_), TCIFLUSH) != 0) {
        throw systemError("cannot discard stale input");
    }
}

void SerialPort::write(const Bytes& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(descriptor(handle_), bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw systemError("cannot send");
        }
        done += static_cast<std::size_t>(n);
    }
}

void SerialPort::close() noexcept
{
    if (open_) {
        ::close(descriptor(handle_));
        open_ = false;
        handle_ = nullptr;
    }
}

} // namespace kestrin
