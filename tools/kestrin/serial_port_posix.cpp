#include "serial_port.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

namespace kestrin {

namespace {

int descriptor(const SerialPort& port)
{
    return static_cast<int>(reinterpret_cast<std::intptr_t>(port.handle));
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

std::string systemError(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

bool startsWith(const std::string& text, const char* prefix)
{
    return text.rfind(prefix, 0) == 0;
}

} // namespace

bool openSerialPort(const std::string& name, const PortSettings& settings, SerialPort& port, std::string& error)
{
    speed_t speed = B0;
    if (!speedFor(settings.baud, speed)) {
        error = "baud rate " + std::to_string(settings.baud) + " is not available here";
        return false;
    }
    // Non-blocking only while opening, so that a modem line without carrier
    // cannot hang the open; reads then follow VMIN/VTIME.
    const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = systemError("cannot open");
        return false;
    }
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        error = errno == ENOTTY ? "not a serial port" : systemError("cannot read its settings");
        ::close(fd);
        return false;
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
        error = systemError("cannot apply the port settings");
        ::close(fd);
        return false;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        error = systemError("cannot make reads wait");
        ::close(fd);
        return false;
    }
    port.name = name;
    port.handle = reinterpret_cast<void*>(static_cast<std::intptr_t>(fd));
    port.open = true;
    return true;
}

bool discardInput(SerialPort& port, std::string& error)
{
    if (tcflush(descriptor(port), TCIFLUSH) != 0) {
        error = systemError("cannot discard stale input");
        return false;
    }
    return true;
}

bool writeBytes(SerialPort& port, const Bytes& bytes, std::string& error)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(descriptor(port), bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = systemError("cannot send");
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void closeSerialPort(SerialPort& port)
{
    if (port.open) {
        ::close(descriptor(port));
    }
    port = SerialPort{};
}

std::vector<PortListing> listSerialPorts()
{
    std::vector<PortListing> ports;
    const std::string byId = "/dev/serial/by-id";
    if (DIR* dir = opendir(byId.c_str())) {
        std::vector<PortListing> links;
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') {
                continue;
            }
            const std::string link = byId + "/" + entry->d_name;
            char target[PATH_MAX];
            char* resolved = realpath(link.c_str(), target);
            links.push_back({link, resolved != nullptr ? std::string(resolved) : std::string()});
        }
        closedir(dir);
        std::sort(links.begin(), links.end(), [](const PortListing& a, const PortListing& b) { return a.name < b.name; });
        ports.insert(ports.end(), links.begin(), links.end());
    }
    if (DIR* dir = opendir("/dev")) {
        std::vector<std::string> names;
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (startsWith(name, "ttyS") || startsWith(name, "ttyUSB") || startsWith(name, "ttyACM")) {
                struct stat info {};
                if (stat(("/dev/" + name).c_str(), &info) == 0 && S_ISCHR(info.st_mode)) {
                    names.push_back(name);
                }
            }
        }
        closedir(dir);
        // ttyS2 before ttyS10.
        std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
            const auto digits = [](const std::string& s) { return s.find_first_of("0123456789"); };
            const auto da = digits(a), db = digits(b);
            const std::string pa = a.substr(0, da), pb = b.substr(0, db);
            if (pa != pb) {
                return pa < pb;
            }
            if (a.size() != b.size()) {
                return a.size() < b.size();
            }
            return a < b;
        });
        for (const auto& name : names) {
            ports.push_back({"/dev/" + name, {}});
        }
    }
    return ports;
}

} // namespace kestrin
