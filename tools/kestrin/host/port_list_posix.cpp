// The ports through libudev, which reads sysfs: it works without the udev
// daemon (in containers, say), where only the device links are missing,
// and those are read from /dev/serial/by-id instead.
#include "host/port_list_posix.h"

#include "base/error.h"

#include <libudev.h>
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <map>
#include <memory>
#include <system_error>

namespace kestrin {

namespace {

namespace fs = std::filesystem;

const char byIdFolder[] = "/dev/serial/by-id";

bool startsWith(const std::string& text, const std::string& prefix)
{
    return text.rfind(prefix, 0) == 0;
}

// "0403" as 0x0403; 0 for anything that is not four hex digits.
unsigned usbId(const std::string& text)
{
    unsigned value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, 16);
    return text.size() == 4 && error == std::errc() && stop == end ? value : 0;
}

// The serial core's names for the UART types a PC is likely to have.
std::string uartName(const std::string& type)
{
    static const std::map<std::string, std::string> names = {
        {"1", "8250"},     {"2", "16450"},    {"3", "16550"},  {"4", "16550A"},
        {"6", "16650"},    {"7", "16650V2"},  {"8", "16750"},  {"10", "16C950"},
    };
    const auto found = names.find(type);
    return found != names.end() ? found->second + " UART" : "UART";
}

// ttyUSB10 as ("ttyUSB", 10), for natural order.
std::pair<std::string, unsigned long> nameAndNumber(const std::string& port)
{
    const auto digits = port.find_last_not_of("0123456789") + 1;
    unsigned long number = 0;
    std::from_chars(port.data() + digits, port.data() + port.size(), number);
    return {port.substr(0, digits), number};
}

struct UdevDeleter {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
template <typename T>
using UdevPtr = std::unique_ptr<T, UdevDeleter>;

std::string attribute(udev_device* device, const char* name)
{
    const char* value = device != nullptr ? udev_device_get_sysattr_value(device, name) : nullptr;
    return value != nullptr ? value : "";
}

std::string text(const char* value)
{
    return value != nullptr ? value : "";
}

// The by-id links by the node they point to, for when udev's database is
// not there to name them.
std::multimap<std::string, std::string> byIdLinks()
{
    std::multimap<std::string, std::string> links;
    std::error_code error;
    for (fs::directory_iterator it(byIdFolder, error), end; !error && it != end; it.increment(error)) {
        std::error_code ignored;
        const fs::path target = fs::canonical(it->path(), ignored);
        if (!ignored) {
            links.emplace(target.string(), it->path().string());
        }
    }
    return links;
}

TtyFacts factsOf(udev_device* tty, const std::multimap<std::string, std::string>& byId)
{
    TtyFacts facts;
    facts.devnode = text(udev_device_get_devnode(tty));
    facts.syspath = text(udev_device_get_syspath(tty));
    struct stat info {};
    facts.nodeExists = !facts.devnode.empty() && stat(facts.devnode.c_str(), &info) == 0 && S_ISCHR(info.st_mode);
    udev_device* parent = udev_device_get_parent(tty);
    facts.hasParent = parent != nullptr;
    facts.driver = parent != nullptr ? text(udev_device_get_driver(parent)) : "";
    if (udev_device_get_sysattr_value(tty, "type") != nullptr) {
        facts.uartType = attribute(tty, "type");
    }
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device");
    facts.usbVendorId = attribute(usb, "idVendor");
    facts.usbProductId = attribute(usb, "idProduct");
    facts.manufacturer = attribute(usb, "manufacturer");
    facts.product = attribute(usb, "product");
    facts.serial = attribute(usb, "serial");
    facts.interface = attribute(udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_interface"), "interface");
    for (udev_list_entry* link = udev_device_get_devlinks_list_entry(tty); link != nullptr;
         link = udev_list_entry_get_next(link)) {
        facts.links.push_back(text(udev_list_entry_get_name(link)));
    }
    const auto [first, last] = byId.equal_range(facts.devnode);
    for (auto it = first; it != last; ++it) {
        facts.links.push_back(it->second);
    }
    return facts;
}

// A USB interface's sysfs name: the bus, the ports from the root hub down,
// then configuration and interface (1-1.4:1.0).
bool isUsbInterfaceName(const std::string& name)
{
    std::size_t at = 0;
    const auto number = [&] {
        const std::size_t from = at;
        while (at < name.size() && name[at] >= '0' && name[at] <= '9') {
            ++at;
        }
        return at > from;
    };
    const auto mark = [&](char c) {
        const bool there = at < name.size() && name[at] == c;
        at += there ? 1 : 0;
        return there;
    };
    if (!number() || !mark('-') || !number()) {
        return false;
    }
    while (mark('.')) {
        if (!number()) {
            return false;
        }
    }
    return mark(':') && number() && mark('.') && number() && at == name.size();
}

// The USB interface a tty hangs from, as its sysfs path names it; empty
// for a tty with none above it.
std::string usbInterfaceIn(const std::string& syspath)
{
    std::string found;
    for (const fs::path& part : fs::path(syspath)) {
        if (isUsbInterfaceName(part.string())) {
            found = part.string();
        }
    }
    return found;
}

} // namespace

std::optional<PortListing> listingFor(const TtyFacts& facts)
{
    // Virtual consoles, /dev/tty, /dev/console and ptmx have no device;
    // a ttyS without a UART answers nothing.
    if (facts.devnode.empty() || !facts.nodeExists || !facts.hasParent || startsWith(facts.syspath, "/sys/devices/virtual/")
        || facts.uartType == "0") {
        return std::nullopt;
    }
    PortListing listing;
    listing.port = facts.devnode;
    listing.manufacturer = facts.manufacturer;
    listing.serialNumber = facts.serial;
    listing.usbVendorId = usbId(facts.usbVendorId);
    listing.usbProductId = usbId(facts.usbProductId);
    listing.location = usbInterfaceIn(facts.syspath);
    if (!facts.product.empty()) {
        listing.description = facts.product;
    } else if (!facts.interface.empty()) {
        listing.description = facts.interface;
    } else if (!facts.uartType.empty()) {
        listing.description = uartName(facts.uartType);
    } else {
        listing.description = facts.driver;
    }
    for (const std::string& link : facts.links) {
        if (startsWith(link, std::string(byIdFolder) + "/") && (listing.stableName.empty() || link < listing.stableName)) {
            listing.stableName = link;
        }
    }
    return listing;
}

void sortPorts(std::vector<PortListing>& ports)
{
    std::sort(ports.begin(), ports.end(), [](const PortListing& a, const PortListing& b) {
        return std::pair(nameAndNumber(a.port), a.port) < std::pair(nameAndNumber(b.port), b.port);
    });
    ports.erase(std::unique(ports.begin(), ports.end(),
                            [](const PortListing& a, const PortListing& b) { return a.port == b.port; }),
                ports.end());
}

std::vector<PortListing> listSerialPorts()
{
    const UdevPtr<udev> context(udev_new());
    if (!context) {
        throw Error("cannot list the ports: libudev could not start");
    }
    const UdevPtr<udev_enumerate> ttys(udev_enumerate_new(context.get()));
    if (!ttys || udev_enumerate_add_match_subsystem(ttys.get(), "tty") < 0
        || udev_enumerate_scan_devices(ttys.get()) < 0) {
        throw Error("cannot list the ports: libudev could not read the devices");
    }
    const auto byId = byIdLinks();
    std::vector<PortListing> ports;
    for (udev_list_entry* entry = udev_enumerate_get_list_entry(ttys.get()); entry != nullptr;
         entry = udev_list_entry_get_next(entry)) {
        const UdevPtr<udev_device> tty(udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
        if (!tty) {
            continue; // gone since the scan
        }
        if (auto listing = listingFor(factsOf(tty.get(), byId))) {
            ports.push_back(std::move(*listing));
        }
    }
    sortPorts(ports);
    return ports;
}

} // namespace kestrin
