// The kestrin program: its subcommands on one command line, parsed and run.
#include "commands/tool.h"

#include "commands/command.h"
#include "commands/options.h"

#include "views/output.h"

#include <string>
#include <vector>

#ifdef _WIN32
#include "host/windows_text.h"

#include <windows.h>

#include <shellapi.h>
#endif

namespace {

#ifdef _WIN32
// The command line as UTF-8, whatever the ANSI code page: a port's or a
// file's name may hold any character.
std::vector<std::string> arguments(int, char**)
{
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> args;
    for (int i = 0; i < count; ++i) {
        args.push_back(kestrin::utf8(std::wstring(wide[i])));
    }
    LocalFree(wide);
    return args;
}

// What the tool writes is UTF-8; a console shows it so while the tool runs.
class Utf8Console {
public:
    Utf8Console() : previous_(GetConsoleOutputCP()) { SetConsoleOutputCP(CP_UTF8); }
    ~Utf8Console() { SetConsoleOutputCP(previous_); }
    Utf8Console(const Utf8Console&) = delete;
    Utf8Console& operator=(const Utf8Console&) = delete;

private:
    UINT previous_;
};
#else
std::vector<std::string> arguments(int argc, char** argv)
{
    return std::vector<std::string>(argv, argv + argc);
}
#endif

} // namespace

int kestrin::runTool(int argc, char** argv)
{
#ifdef _WIN32
    const Utf8Console console;
#endif
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
    kestrin::addLibraryOption(app, library);

    const std::vector<kestrin::Command> commands = {
        kestrin::makePollCommand(app),
        kestrin::makeAboutCommand(app),
        kestrin::makePortsCommand(app),
        kestrin::makeMonitorCommand(app),
#ifndef _WIN32
        kestrin::makeSimCommand(app),
        kestrin::makeRelayCommand(app),
        kestrin::makeDemoCommand(app),
#endif
    };

    std::vector<std::string> args = arguments(argc, argv);
    try {
        // CLI11 takes the arguments after the program's name, last first.
        std::vector<std::string> rest(args.rbegin(), args.rend() - 1);
        app.parse(std::move(rest));
    } catch (const CLI::CallForHelp&) {
        return kestrin::reportHelp(app.help());
    } catch (const CLI::ParseError& e) {
        return kestrin::reportParseError(app, e);
    }
    if (version) {
        return kestrin::runCommand(kestrin::makeVersionCommand(app, library));
    }
    for (const kestrin::Command& command : commands) {
        if (command.app->parsed()) {
            return kestrin::runCommand(command);
        }
    }
    try {
        kestrin::writeErr(app.help());
    } catch (const std::exception&) {
    }
    return 2;
}
