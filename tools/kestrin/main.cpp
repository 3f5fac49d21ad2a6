// kestrin: a host program for the Kestrin library, for real serial ports and
// simulated devices.
#include "commands/command.h"

#include <fmt/format.h>

#include <string>
#include <vector>

int main(int argc, char** argv)
{
    CLI::App app("kestrin: checks whether a device on a serial port answers with the bytes you expect,\n"
                 "through the Kestrin library loaded the way a host program loads it.",
                 "kestrin");
    app.footer("Exit status: 0 matched (or success), 1 no match within the budget, 2 usage, port or library error,\n"
               "130 interrupted.\n"
               "kestrin SUBCOMMAND --help shows each one's options and examples.");
    app.require_subcommand(0, 1);

    bool version = false;
    std::string library;
    app.add_flag("--version", version, "Print the tool's and the library's version");
    app.add_option("--library", library, "The library to load for --version (default: beside this program)");

    const std::vector<kestrin::Command> commands = {
        kestrin::makePollCommand(app),
        kestrin::makeAboutCommand(app),
        kestrin::makePortsCommand(app),
        kestrin::makeMonitorCommand(app),
#ifndef _WIN32
        kestrin::makeSimCommand(app),
        kestrin::makeDemoCommand(app),
#endif
    };

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return kestrin::reportParseError(commands, std::vector<std::string>(argv + 1, argv + argc), e);
    }
    if (version) {
        return kestrin::runCommand(kestrin::makeVersionCommand(app, library));
    }
    for (const kestrin::Command& command : commands) {
        if (command.app->parsed()) {
            return kestrin::runCommand(command);
        }
    }
    fmt::print(stderr, "{}", app.help());
    return 2;
}
