// Linux: libc's classic terminal calls, for a port that refuses termios2
// (see readTermios). Plain integers: the unit that makes the calls includes
// <termios.h>, which cannot share one with the kernel's termios2.
#ifndef KESTRIN_TOOL_HOST_SERIAL_PORT_POSIX_LIBC_H
#define KESTRIN_TOOL_HOST_SERIAL_PORT_POSIX_LIBC_H

#include <cstdint>

namespace kestrin {

// termios2's first part, the rates as codes in cflag.
struct ClassicTermios {
    std::uint32_t iflag = 0, oflag = 0, cflag = 0, lflag = 0;
    std::uint8_t line = 0;
    std::uint8_t cc[19] = {}; // the kernel's NCCS
};

// tcgetattr, tcsetattr (at once) and tcflush of the input: 0, or errno.
int libcGetTermios(int fd, ClassicTermios& tio);
int libcSetTermios(int fd, const ClassicTermios& tio);
int libcDiscardInput(int fd);

} // namespace kestrin

#endif
