// What Windows' device ids tell about a serial port's hardware, and how the
// two lists of ports the system keeps are merged into one. Plain text work,
// apart from the system calls in port_list_windows.cpp, so that it can be
// checked against the ids real adapters carry.
#ifndef KESTRIN_TOOL_HOST_DEVICE_IDS_WINDOWS_H
#define KESTRIN_TOOL_HOST_DEVICE_IDS_WINDOWS_H

#include "host/port_list.h"

#include <string>
#include <utility>
#include <vector>

namespace kestrin {

struct UsbIds {
    unsigned vendor = 0;
    unsigned product = 0;
};

// VID_xxxx and PID_xxxx of a USB device's hardware or instance id, in
// either form: USB\VID_0403&PID_6001&REV_0600 or, from FTDI's own bus
// driver, FTDIBUS\VID_0403+PID_6001+A50285BIA\0000. Zero where absent.
UsbIds usbIdsIn(const std::string& id);

// The serial number a USB device's instance id carries, or empty when it
// carries none: Windows then makes the last part up, with '&' in it, and a
// composite device's interface (…&MI_00\…) has it only on its parent.
std::string serialNumberIn(const std::string& instanceId);

// Whether an instance id is one interface of a composite USB device, whose
// serial number is on the parent device.
bool isUsbInterface(const std::string& instanceId);

// The first string of a REG_MULTI_SZ value of `count` wide characters, as
// SetupAPI returns hardware ids (the most specific one), in UTF-8.
std::string firstOfMultiString(const wchar_t* data, std::size_t count);

// The ports SetupAPI reported, each once, then those that only the
// SERIALCOMM key names (device name, port name), so that nothing the
// system knows is lost; COM ports in number order, then any others by name.
std::vector<PortListing> mergePortLists(std::vector<PortListing> fromSetupApi,
                                        const std::vector<std::pair<std::string, std::string>>& fromSerialComm);

} // namespace kestrin

#endif
