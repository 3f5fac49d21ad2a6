// kestrin ports: the serial ports this machine has.
#include "commands/command.h"

#include "host/port_list.h"

#include <fmt/format.h>

namespace kestrin {

namespace {

int runPorts()
{
    const auto ports = listSerialPorts();
    if (ports.empty()) {
        // Not an error: a machine may well have none.
        fmt::print(stderr, "kestrin: no serial ports found\n");
    }
    for (const auto& port : ports) {
        const std::string& detail = port.stableName.empty() ? port.description : port.stableName;
        if (detail.empty()) {
            fmt::print("{}\n", port.port);
        } else {
            fmt::print("{} -> {}\n", port.port, detail);
        }
    }
    return 0;
}

} // namespace

Command makePortsCommand(CLI::App& app)
{
    CLI::App* ports = app.add_subcommand("ports", "List the serial ports this machine has");
    ports->footer(helpFooter("", {
        {"ports", "One port per line; a stable name shows where it points."},
        {"poll " KESTRIN_EXAMPLE_PORT " --expect OK", "Then poll one of them."},
    }));
    return {ports, [](ErrorReport&) { return runPorts(); }, nullptr};
}

} // namespace kestrin
