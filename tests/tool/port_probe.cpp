#include "port_probe.h"

#include "host/serial_port_posix.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <stdexcept>

namespace probe {

bool PortState::operator==(const PortState& other) const
{
    return iflag == other.iflag && oflag == other.oflag && cflag == other.cflag && lflag == other.lflag
           && cc == other.cc && ispeed == other.ispeed && ospeed == other.ospeed && exclusive == other.exclusive;
}

PortState stateOf(int fd)
{
    const termios2 tio = kestrin::readTermios(fd);
    PortState state;
    state.iflag = tio.c_iflag;
    state.oflag = tio.c_oflag;
    state.cflag = tio.c_cflag;
    state.lflag = tio.c_lflag;
    state.cc.assign(reinterpret_cast<const char*>(tio.c_cc), sizeof tio.c_cc);
    state.ispeed = tio.c_ispeed;
    state.ospeed = tio.c_ospeed;
    int exclusive = 0;
    state.exclusive = ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
    return state;
}

bool takesAnyRate(int fd)
{
    termios2 tio{};
    return ioctl(fd, TCGETS2, &tio) == 0 || errno != ENOSYS;
}

bool showsExclusiveMode(int fd)
{
    int exclusive = 0;
    return ioctl(fd, TIOCGEXCL, &exclusive) == 0 || errno != ENOSYS;
}

bool hasRtsCts(const PortState& state)
{
    return (state.cflag & CRTSCTS) != 0;
}

bool isRaw(const PortState& state)
{
    return (state.lflag & (ICANON | ECHO | ISIG)) == 0 && (state.oflag & OPOST) == 0 && (state.iflag & ICRNL) == 0;
}

int readWaitDeciseconds(const PortState& state)
{
    return static_cast<unsigned char>(state.cc[VTIME]);
}

int minBytes(const PortState& state)
{
    return static_cast<unsigned char>(state.cc[VMIN]);
}

void setCooked(int fd)
{
    termios2 tio = kestrin::readTermios(fd);
    tio.c_lflag |= ICANON | ECHO | ISIG;
    tio.c_iflag |= ICRNL;
    tio.c_oflag |= OPOST;
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | CSTOPB);
    tio.c_cflag |= B4800;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    kestrin::writeTermios(fd, tio);
}

} // namespace probe
