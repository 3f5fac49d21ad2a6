// A unit of its own: <termios.h> cannot share one with the kernel's termios2.
#include "host/serial_port_posix_libc.h"

#include <termios.h>

#include <algorithm>
#include <cerrno>

namespace kestrin {

int libcGetTermios(int fd, ClassicTermios& tio)
{
    termios classic{};
    if (tcgetattr(fd, &classic) != 0) {
        return errno;
    }
    tio.iflag = classic.c_iflag;
    tio.oflag = classic.c_oflag;
    tio.cflag = classic.c_cflag;
    tio.lflag = classic.c_lflag;
    tio.line = classic.c_line;
    std::copy_n(classic.c_cc, sizeof tio.cc, tio.cc);
    return 0;
}

int libcSetTermios(int fd, const ClassicTermios& tio)
{
    // Read first, so that what ClassicTermios does not carry (glibc's
    // control characters past the kernel's) stays as it is.
    termios classic{};
    if (tcgetattr(fd, &classic) != 0) {
        return errno;
    }
    classic.c_iflag = tio.iflag;
    classic.c_oflag = tio.oflag;
    classic.c_cflag = tio.cflag;
    classic.c_lflag = tio.lflag;
    classic.c_line = tio.line;
    std::copy_n(tio.cc, sizeof tio.cc, classic.c_cc);
    return tcsetattr(fd, TCSANOW, &classic) == 0 ? 0 : errno;
}

int libcDiscardInput(int fd)
{
    return tcflush(fd, TCIFLUSH) == 0 ? 0 : errno;
}

} // namespace kestrin
