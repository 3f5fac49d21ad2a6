#include "commands.h"

#include "demo.h"
#include "device_script.h"
#include "simulator.h"

#include <memory>

namespace kestrin {

void addPlatformCommands(CLI::App& app, int& exitStatus)
{
    auto sim = std::make_shared<SimArguments>();
    CLI::App* simCommand = app.add_subcommand(
        "sim", "Play a simulated device on a new pseudo-terminal; prints its port path on the first line");
    simCommand->add_option("rules", sim->rules, "Rules of the device's script (see below)");
    simCommand->add_option("--script", sim->scriptFile, "Read rules from FILE, one per line");
    simCommand->add_option("--link", sim->link, "Also make a symbolic link PATH to the port, removed at exit");
    simCommand->add_option("--rounds", sim->rounds, "Exit after N triggers answered, once the host closes the port (default: run until killed)");
    simCommand->add_flag("--trace", sim->trace, "Print every chunk received (rx HEX) and sent (tx HEX) on stdout");
    simCommand->footer(std::string(scriptSyntax()) + "Stops cleanly on SIGTERM, SIGINT or SIGHUP; exit status 0, or 2 for a bad script.");
    simCommand->callback([sim, &exitStatus] { exitStatus = runSimulator(*sim); });

    auto library = std::make_shared<std::string>();
    CLI::App* demo = app.add_subcommand(
        "demo", "Poll a simulated device through the real library: a matching reply, then a wrong one");
    demo->add_option("--library", *library, "The Kestrin library to load (default: beside this program)");
    demo->callback([library, &exitStatus] { exitStatus = runDemo(*library); });
}

} // namespace kestrin
