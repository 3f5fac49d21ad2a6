// kestrin: a host program for the Kestrin library, for real serial ports and
// simulated devices.
#include "commands.h"

#include <cstdio>
#include <iostream>

int main(int argc, char** argv)
{
    CLI::App app("kestrin: checks whether a device on a serial port answers with the bytes you expect,\n"
                 "through the Kestrin library loaded the way a host program loads it.",
                 "kestrin");
    app.footer("Exit status: 0 matched (or success), 1 no match within the budget, 2 usage, port or library error.");
    app.require_subcommand(0, 1);

    bool version = false;
    std::string library;
    app.add_flag("--version", version, "Print the tool's and the library's version");
    app.add_option("--library", library, "The library to load for --version (default: beside this program)");

    int exitStatus = 0;
    kestrin::addCommonCommands(app, exitStatus);
    kestrin::addPlatformCommands(app, exitStatus);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::cerr << "kestrin: " << e.what() << " (see kestrin --help)\n";
        return 2;
    }
    if (version) {
        return kestrin::printVersions(library);
    }
    if (app.get_subcommands().empty()) {
        std::cerr << app.help();
        return 2;
    }
    return exitStatus;
}
