// kestrin ports: the serial ports this machine has, with what is known of
// the device behind each.
#include "commands/command.h"
#include "commands/options.h"

#include "host/port_list.h"

#include <memory>

namespace kestrin {

Command makePortsCommand(CLI::App& app)
{
    auto json = std::make_shared<bool>(false);
    CLI::App* ports = app.add_subcommand("ports", "List the serial ports this machine has, with a device behind them");
    addJsonOption(*ports, *json,
                  "A JSON array of objects: port, description, manufacturer, serial_number, usb_vendor_id, "
                  "usb_product_id, stable_name, hardware_id, location");
    ports->footer(helpFooter("", {
        {"ports", "One port per line, with what is known of its device; a stable name below it."},
        {"ports --json", "The same as a JSON array, [] when there are none."},
        {"poll " KESTRIN_EXAMPLE_PORT " --expect OK", "Then poll one of them."},
    }));
    return {ports,
            [](Run& run) {
                run.outcome.ports = listSerialPorts();
                run.outcome.status = Status::ok;
            },
            json, {}};
}

} // namespace kestrin
