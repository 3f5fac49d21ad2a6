// A simulated device on a new pseudo-terminal: the host opens the slave path
// like any serial port, and the device loop plays the master side.
#ifndef KESTRIN_TOOL_DEVICE_PTY_H
#define KESTRIN_TOOL_DEVICE_PTY_H

#include "simulated_device.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace kestrin {

struct DevicePty {
    int master = -1;
    // Held open so that the device survives hosts opening and closing the
    // port between polls (with no slave open, the master reads EIO).
    int slave = -1;
    std::string path;
};

bool openDevicePty(DevicePty& pty, std::string& error);
void closeDevicePty(DevicePty& pty);

// Plays `device` on the pseudo-terminal until `stopFd` turns readable or
// `rounds` rounds are done (0: no limit); in that case it returns once the
// host has closed the port (or after 10 s), having closed the device's own
// slave. With `trace`, every chunk in and out is written there as "rx HEX"
// or "tx HEX".
void runDevice(SimulatedDevice& device, DevicePty& pty, int stopFd, std::uint64_t rounds, std::FILE* trace);

// Milliseconds on the monotonic clock the device loop runs on.
std::uint64_t deviceClockMs();

} // namespace kestrin

#endif
