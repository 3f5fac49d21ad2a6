// What a test can see of a serial port from outside the tool: the settings
// the kernel holds (through termios2, which <termios.h> cannot show for a
// custom baud rate) and whether the port is held exclusively.
#ifndef KESTRIN_TESTS_TOOL_PORT_PROBE_H
#define KESTRIN_TESTS_TOOL_PORT_PROBE_H

#include <cstdint>
#include <string>

namespace probe {

// The descriptor a port handle carries (SerialPort::handle() on Linux).
inline int descriptorOf(const void* handle)
{
    return static_cast<int>(reinterpret_cast<std::intptr_t>(handle));
}

struct PortState {
    std::uint32_t iflag = 0, oflag = 0, cflag = 0, lflag = 0;
    std::string cc;          // the control characters, VMIN and VTIME among them
    std::uint32_t ispeed = 0, ospeed = 0;
    bool exclusive = false;  // TIOCEXCL
    bool operator==(const PortState& other) const;
    bool operator!=(const PortState& other) const { return !(*this == other); }
};

PortState stateOf(int fd);

// A few flags by name, so that tests need not include the kernel's headers.
bool hasRtsCts(const PortState& state);
bool isRaw(const PortState& state);
int readWaitDeciseconds(const PortState& state); // VTIME
int minBytes(const PortState& state);            // VMIN

// qemu-user, which runs the ARM builds' tests, passes neither termios2 nor
// TIOCGEXCL on to the kernel: there a port takes only the standard rates,
// and another program's exclusive mode cannot be seen.
bool takesAnyRate(int fd);
bool showsExclusiveMode(int fd);

// Gives the port settings nothing like the tool's: canonical, echoing,
// 4800 baud, reads that wait for a byte.
void setCooked(int fd);

} // namespace probe

#endif
