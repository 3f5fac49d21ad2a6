// Linux: which ttys `kestrin ports` lists, decided from what sysfs says of
// each (gathered through libudev) apart from libudev itself, so that tests
// can give it ports this machine does not have.
#ifndef KESTRIN_TOOL_HOST_PORT_LIST_POSIX_H
#define KESTRIN_TOOL_HOST_PORT_LIST_POSIX_H

#include "host/port_list.h"

#include <optional>
#include <string>
#include <vector>

namespace kestrin {

struct TtyFacts {
    std::string devnode;      // /dev/ttyUSB0
    std::string syspath;      // /sys/devices/...
    bool nodeExists = false;  // a character device at devnode
    bool hasParent = false;   // a device behind the tty at all
    std::string driver;       // the parent device's driver
    // Serial core ports only: the UART type, "0" when no UART answered at
    // the address (the four ttyS every PC kernel makes).
    std::string uartType;
    // From the USB device and interface above the tty, if any.
    std::string usbVendorId;  // "0403"
    std::string usbProductId; // "6001"
    std::string manufacturer;
    std::string product;
    std::string serial;
    std::string interface;
    std::vector<std::string> links; // /dev/serial/by-id/..., /dev/serial/by-path/...
};

// The listing for a tty, or none when it has no device behind it.
std::optional<PortListing> listingFor(const TtyFacts& facts);

// ttyS2 before ttyS10; each port once.
void sortPorts(std::vector<PortListing>& ports);

} // namespace kestrin

#endif
