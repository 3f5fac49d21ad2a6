#include "host/device_ids_windows.h"

#include "host/port_names_windows.h"
#include "host/windows_text.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace kestrin {

namespace {

std::string upper(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

bool sameName(const std::string& a, const std::string& b)
{
    return upper(a) == upper(b);
}

// The four hex digits after `key` ("VID_"), when they are there and end
// the field.
unsigned hexAfter(const std::string& id, const char* key)
{
    const std::string upperId = upper(id);
    const std::string k = key;
    for (std::size_t at = upperId.find(k); at != std::string::npos; at = upperId.find(k, at + 1)) {
        // Only at the start of a field: "XVID_" is something else.
        if (at > 0 && std::isalnum(static_cast<unsigned char>(upperId[at - 1]))) {
            continue;
        }
        const std::size_t from = at + k.size();
        if (from + 4 > id.size()) {
            continue;
        }
        unsigned value = 0;
        const char* first = id.data() + from;
        const auto [stop, error] = std::from_chars(first, first + 4, value, 16);
        const bool fieldEnds = from + 4 == id.size() || !std::isxdigit(static_cast<unsigned char>(id[from + 4]));
        if (error == std::errc() && stop == first + 4 && fieldEnds) {
            return value;
        }
    }
    return 0;
}

bool startsWithUpper(const std::string& text, const char* prefix)
{
    return upper(text).rfind(prefix, 0) == 0;
}

// "USB\VID_0403&PID_6001\A50285BI" as its three backslash-separated parts.
std::vector<std::string> parts(const std::string& id)
{
    std::vector<std::string> found;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = id.find('\\', start);
        found.push_back(id.substr(start, end - start));
        if (end == std::string::npos) {
            return found;
        }
        start = end + 1;
    }
}

} // namespace

UsbIds usbIdsIn(const std::string& id)
{
    UsbIds ids;
    ids.vendor = hexAfter(id, "VID_");
    ids.product = hexAfter(id, "PID_");
    return ids;
}

bool isUsbInterface(const std::string& instanceId)
{
    const auto p = parts(instanceId);
    return startsWithUpper(instanceId, "USB\\") && p.size() == 3 && upper(p[1]).find("&MI_") != std::string::npos;
}

std::string serialNumberIn(const std::string& instanceId)
{
    const auto p = parts(instanceId);
    if (p.size() != 3) {
        return {};
    }
    if (startsWithUpper(instanceId, "USB\\")) {
        if (isUsbInterface(instanceId) || p[2].empty() || p[2].find('&') != std::string::npos) {
            return {};
        }
        return p[2];
    }
    if (startsWithUpper(instanceId, "FTDIBUS\\")) {
        // VID_0403+PID_6001+A50285BIA: FTDI's driver appends the channel
        // letter (A, B, ...) to the serial number.
        const std::string& fields = p[1];
        const std::size_t second = fields.find('+', fields.find('+') + 1);
        if (fields.find('+') == std::string::npos || second == std::string::npos) {
            return {};
        }
        std::string serial = fields.substr(second + 1);
        if (serial.size() > 1 && serial.back() >= 'A' && serial.back() <= 'H') {
            serial.pop_back();
        }
        return serial;
    }
    // ACPI\PNP0501\1 and the like: the last part is an index, not a serial.
    return {};
}

std::string firstOfMultiString(const wchar_t* data, std::size_t count)
{
    std::size_t n = 0;
    while (n < count && data[n] != L'\0') {
        ++n;
    }
    return utf8(data, n);
}

std::vector<PortListing> mergePortLists(std::vector<PortListing> fromSetupApi,
                                        const std::vector<std::pair<std::string, std::string>>& fromSerialComm)
{
    std::vector<PortListing> merged;
    const auto known = [&](const std::string& port) {
        return std::find_if(merged.begin(), merged.end(),
                            [&](const PortListing& p) { return sameName(p.port, port); });
    };
    for (PortListing& listing : fromSetupApi) {
        if (listing.port.empty()) {
            continue;
        }
        const auto it = known(listing.port);
        if (it == merged.end()) {
            merged.push_back(std::move(listing));
            continue;
        }
        // Found twice (as a Ports device and as a COM port interface): one
        // listing with what either knew.
        for (auto field : {&PortListing::description, &PortListing::manufacturer, &PortListing::serialNumber,
                           &PortListing::hardwareId}) {
            if ((*it).*field == "") {
                (*it).*field = listing.*field;
            }
        }
        if (it->usbVendorId == 0 && it->usbProductId == 0) {
            it->usbVendorId = listing.usbVendorId;
            it->usbProductId = listing.usbProductId;
        }
    }
    for (const auto& [device, port] : fromSerialComm) {
        if (!port.empty() && known(port) == merged.end()) {
            PortListing listing;
            listing.port = port;
            // The kernel's name for it (\Device\Serial0, \Device\VCP0) at
            // least says which driver serves it.
            listing.description = device;
            merged.push_back(listing);
        }
    }
    std::stable_sort(merged.begin(), merged.end(), [](const PortListing& a, const PortListing& b) {
        const int na = comPortNumber(a.port), nb = comPortNumber(b.port);
        if ((na < 0) != (nb < 0)) {
            return na >= 0;
        }
        if (na >= 0) {
            return na < nb;
        }
        return upper(a.port) < upper(b.port);
    });
    return merged;
}

} // namespace kestrin
