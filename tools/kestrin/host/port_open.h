// Opening the port a selector names, waiting for it where asked: on a test
// station a device is plugged in or powered for every unit, and takes a
// moment to appear.
#ifndef KESTRIN_TOOL_HOST_PORT_OPEN_H
#define KESTRIN_TOOL_HOST_PORT_OPEN_H

#include "base/port_listing.h"
#include "base/port_settings.h"
#include "base/selector.h"
#include "host/interrupt.h"
#include "host/serial_port.h"

#include <vector>

namespace kestrin {

// The port a selector names now, and what the system lists of it (for a
// name that is not listed, just the name). Throws Error: a selector that
// names no port present says so and lists those present; one that names
// several names each, never picking one.
PortListing findPort(const PortSelector& selector);

// The one port of `listed` that a USB or location selector names; throws
// Error as findPort does, each port shown with the selectors that name it.
PortListing onePort(const PortSelector& selector, const std::vector<PortListing>& listed);

struct OpenedPort {
    SerialPort port;
    PortListing identity; // what the system lists of the port opened
    long long waitedMs = 0;
};

// Opens the port `selector` names with `settings`. With `waitMs` above 0, a
// port that is not there yet, not yet openable (its permissions still
// settling after it appeared) or busy is waited for, up to that long: woken
// by the system's notice of ports that come and go where it gives one, and
// tried again every 100 to 250 ms while busy, which no system announces.
// Throws Error: what failed, or, once the wait is over, what was waited for;
// with Status::interrupted when an interrupt ends the wait.
OpenedPort openPort(const PortSelector& selector, const PortSettings& settings, int waitMs,
                    const InterruptGuard& interrupts);

} // namespace kestrin

#endif
