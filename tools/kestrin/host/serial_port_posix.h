// Linux: the termios2 settings the tool gives a port, apart from the port
// so that tests can check what a pseudo-terminal would not keep (data bits,
// parity). Includes the kernel's termios2, which cannot share a file with
// <termios.h>.
#ifndef KESTRIN_TOOL_HOST_SERIAL_PORT_POSIX_H
#define KESTRIN_TOOL_HOST_SERIAL_PORT_POSIX_H

#include "base/port_settings.h"

#include <asm/termbits.h>

namespace kestrin {

// Raw bytes, the line settings, any baud rate (BOTHER), and VMIN 0 with
// VTIME from the read wait, over what the port had.
termios2 configuredTermios(termios2 previous, const PortSettings& settings);

// A port's settings through termios2 where the kernel answers it, and
// through libc's classic calls where it does not: qemu-user, which runs our
// ARM builds, has no termios2, and umockdev's emulated adapters refuse
// every ioctl() of ours they do not know while libc's own calls reach the
// terminal behind them. The classic calls carry only the standard rates,
// so another one is refused there by name. Both throw Error: a descriptor
// that is no terminal is "not a serial port", one that hung up is a device
// gone.
termios2 readTermios(int fd);
void writeTermios(int fd, const termios2& tio);

} // namespace kestrin

#endif
