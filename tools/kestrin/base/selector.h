// How a port is named on the command line: by its path or name
// (/dev/ttyUSB0, COM3), or by the USB adapter behind it, which stays the same
// whatever node the system gives it and whichever socket it is plugged into.
#ifndef KESTRIN_TOOL_BASE_SELECTOR_H
#define KESTRIN_TOOL_BASE_SELECTOR_H

#include "base/port_listing.h"

#include <string>
#include <string_view>
#include <vector>

namespace kestrin {

struct PortSelector {
    enum class Kind {
        name,     // a path or port name, opened as it is
        usb,      // usb:VID:PID or usb:VID:PID:SERIAL
        location, // location:LOC, as `kestrin ports` shows it
    };
    Kind kind = Kind::name;
    std::string text;     // as typed
    unsigned vendorId = 0;
    unsigned productId = 0;
    std::string serial;   // usb: empty when not given
    std::string location; // location:
};

// "usb:0403:6001", "usb:0403:6001:A50285BI", "location:1-1.4:1.0", or else a
// name. A malformed usb: or location: is a usage Error.
PortSelector parseSelector(std::string_view text);

// Whether `port` is one `selector` names: hex ids and serial numbers are
// compared without regard to case (Windows upper-cases serials in its
// instance ids), a name as the system compares its names.
bool selects(const PortSelector& selector, const PortListing& port);

// The listed ports a selector names. A name need not be listed to be
// opened (a simulator's link, a pseudo-terminal): for a name this is empty
// or the one listing of that port.
std::vector<PortListing> selected(const PortSelector& selector, const std::vector<PortListing>& listed);

} // namespace kestrin

#endif
