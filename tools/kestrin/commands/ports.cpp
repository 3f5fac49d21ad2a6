// kestrin ports: the serial ports this machine has, with what is known of
// the device behind each.
#include "commands/command.h"

#include "host/port_list.h"

#include <fmt/format.h>

#include <memory>

namespace kestrin {

namespace {

std::string usbIds(const PortListing& port)
{
    return port.usbVendorId == 0 && port.usbProductId == 0
               ? ""
               : fmt::format("USB {:04x}:{:04x}", port.usbVendorId, port.usbProductId);
}

nlohmann::json portJson(const PortListing& port)
{
    nlohmann::json j = {{"port", port.port}, {"description", port.description}, {"manufacturer", port.manufacturer},
                        {"serial_number", port.serialNumber}};
    // Ids as USB tools print them, and null where there is no USB device.
    const bool usb = port.usbVendorId != 0 || port.usbProductId != 0;
    j["usb_vendor_id"] = usb ? nlohmann::json(fmt::format("{:04x}", port.usbVendorId)) : nlohmann::json(nullptr);
    j["usb_product_id"] = usb ? nlohmann::json(fmt::format("{:04x}", port.usbProductId)) : nlohmann::json(nullptr);
    j["stable_name"] = port.stableName;
    j["hardware_id"] = port.hardwareId;
    return j;
}

// "PORT: description, manufacturer, USB 0403:6001, serial X", then the
// stable name, where there is one, on a line of its own.
std::string portText(const PortListing& port)
{
    std::vector<std::string> facts;
    for (const std::string& fact : {port.description, port.manufacturer, usbIds(port),
                                    port.serialNumber.empty() ? std::string() : "serial " + port.serialNumber,
                                    port.hardwareId}) {
        if (!fact.empty()) {
            facts.push_back(fact);
        }
    }
    std::string text = facts.empty() ? port.port : fmt::format("{}: {}", port.port, fmt::join(facts, ", "));
    if (!port.stableName.empty()) {
        text += "\n    " + port.stableName;
    }
    return text;
}

int runPorts(bool json)
{
    const auto ports = listSerialPorts();
    if (json) {
        nlohmann::json list = nlohmann::json::array();
        for (const auto& port : ports) {
            list.push_back(portJson(port));
        }
        printJson(list);
        return 0;
    }
    if (ports.empty()) {
        // Not an error: a machine may well have none.
        fmt::print(stderr, "kestrin: no serial ports found\n");
    }
    for (const auto& port : ports) {
        fmt::print("{}\n", portText(port));
    }
    return 0;
}

} // namespace

Command makePortsCommand(CLI::App& app)
{
    auto json = std::make_shared<bool>(false);
    CLI::App* ports = app.add_subcommand("ports", "List the serial ports this machine has, with a device behind them");
    ports->add_flag("-j,--json", *json,
                    "A JSON array of objects: port, description, manufacturer, serial_number, usb_vendor_id, "
                    "usb_product_id, stable_name, hardware_id");
    ports->footer(helpFooter("", {
        {"ports", "One port per line, with what is known of its device; a stable name below it."},
        {"ports --json", "The same as a JSON array, [] when there are none."},
        {"poll " KESTRIN_EXAMPLE_PORT " --expect OK", "Then poll one of them."},
    }));
    return {ports, [json](ErrorReport&) { return runPorts(*json); }, json};
}

} // namespace kestrin
