// The serial ports this machine has, for `kestrin ports`; one file per
// platform.
#ifndef KESTRIN_TOOL_HOST_PORT_LIST_H
#define KESTRIN_TOOL_HOST_PORT_LIST_H

#include <string>
#include <vector>

namespace kestrin {

// A port with a device behind it. Fields the system does not know are empty
// (ids are 0).
struct PortListing {
    std::string port;         // what `kestrin poll` takes: /dev/ttyUSB0, COM3
    std::string description;  // product or friendly name
    std::string manufacturer;
    std::string serialNumber;
    unsigned usbVendorId = 0;
    unsigned usbProductId = 0;
    std::string stableName;   // Linux: the /dev/serial/by-id link
    std::string hardwareId;   // Windows: the device's hardware id
};

// Each port once, in a stable order.
std::vector<PortListing> listSerialPorts();

} // namespace kestrin

#endif
