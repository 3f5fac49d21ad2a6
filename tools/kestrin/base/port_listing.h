// A serial port as the system lists it, with what is known of the device
// behind it.
#ifndef KESTRIN_TOOL_BASE_PORT_LISTING_H
#define KESTRIN_TOOL_BASE_PORT_LISTING_H

#include <string>

namespace kestrin {

// Fields the system does not know are empty (ids are 0).
struct PortListing {
    std::string port;         // what `kestrin poll` takes: /dev/ttyUSB0, COM3
    std::string description;  // product or friendly name
    std::string manufacturer;
    std::string serialNumber;
    unsigned usbVendorId = 0;
    unsigned usbProductId = 0;
    std::string stableName;   // Linux: the /dev/serial/by-id link
    std::string hardwareId;   // Windows: the device's hardware id
    // Its place on the USB tree, which tells identical adapters (and the
    // UARTs of one dual adapter) apart: on Linux the interface's sysfs name
    // (1-1.4:1.0), on Windows the device's location path where the system
    // gives one, else its location information.
    std::string location;
};

} // namespace kestrin

#endif
