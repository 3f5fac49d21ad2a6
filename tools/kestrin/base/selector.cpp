#include "base/selector.h"

#include "base/error.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace kestrin {

namespace {

char lower(char c)
{
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool sameIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return lower(x) == lower(y);
           });
}

// The part after `prefix` ("usb:"), in any case, or nothing.
bool after(std::string_view text, std::string_view prefix, std::string_view& rest)
{
    if (text.size() < prefix.size() || !sameIgnoringCase(text.substr(0, prefix.size()), prefix)) {
        return false;
    }
    rest = text.substr(prefix.size());
    return true;
}

// One to four hex digits, as lsusb and Device Manager show the ids.
bool usbIdOf(std::string_view text, unsigned& id)
{
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, id, 16);
    return !text.empty() && text.size() <= 4 && error == std::errc() && stop == end;
}

bool sameName(std::string_view a, std::string_view b)
{
#ifdef _WIN32
    // COM3, com3 and \\.\COM3 are one port to Windows.
    const auto bare = [](std::string_view name) {
        return name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name;
    };
    return sameIgnoringCase(bare(a), bare(b));
#else
    return a == b;
#endif
}

} // namespace

PortSelector parseSelector(std::string_view text)
{
    PortSelector selector;
    selector.text = std::string(text);
    std::string_view rest;
    if (after(text, "usb:", rest)) {
        selector.kind = PortSelector::Kind::usb;
        const auto first = rest.find(':');
        const auto second = first == std::string_view::npos ? first : rest.find(':', first + 1);
        const std::string_view serial =
            second == std::string_view::npos ? std::string_view() : rest.substr(second + 1);
        if (first == std::string_view::npos || !usbIdOf(rest.substr(0, first), selector.vendorId)
            || !usbIdOf(rest.substr(first + 1, second - first - 1), selector.productId)
            || (second != std::string_view::npos && serial.empty())) {
            throw usageError("\"" + selector.text
                             + "\": a USB adapter is named usb:VID:PID or usb:VID:PID:SERIAL, the ids in hex "
                               "(usb:0403:6001)");
        }
        selector.serial = std::string(serial);
    } else if (after(text, "location:", rest)) {
        selector.kind = PortSelector::Kind::location;
        if (rest.empty()) {
            throw usageError("\"" + selector.text
                             + "\": give the port's location as kestrin ports shows it (location:1-1.4:1.0)");
        }
        selector.location = std::string(rest);
    }
    return selector;
}

bool selects(const PortSelector& selector, const PortListing& port)
{
    switch (selector.kind) {
    case PortSelector::Kind::name:
        return sameName(selector.text, port.port) || (!port.stableName.empty() && sameName(selector.text, port.stableName));
    case PortSelector::Kind::usb:
        // A port with no USB device behind it has no ids to match, not 0000.
        return (port.usbVendorId != 0 || port.usbProductId != 0) && port.usbVendorId == selector.vendorId
               && port.usbProductId == selector.productId
               && (selector.serial.empty() || sameIgnoringCase(selector.serial, port.serialNumber));
    case PortSelector::Kind::location:
        return !port.location.empty() && sameIgnoringCase(selector.location, port.location);
    }
    return false;
}

std::vector<PortListing> selected(const PortSelector& selector, const std::vector<PortListing>& listed)
{
    std::vector<PortListing> found;
    std::copy_if(listed.begin(), listed.end(), std::back_inserter(found),
                 [&selector](const PortListing& port) { return selects(selector, port); });
    return found;
}

} // namespace kestrin
