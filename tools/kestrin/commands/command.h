// The subcommands, one file each under commands/: a make function declares
// the command's options on the main app and returns how to run it.
//
// A run function returns the exit status: 0 success (or matched), 1 not
// matched. It reports a failure by throwing Error (UsageError for a mistake
// in what was typed); runCommand then prints it once, with exit status 2.
// A new command is a file here with its make function, declared below and
// listed in main.cpp and tools/CMakeLists.txt.
#ifndef KESTRIN_TOOL_COMMANDS_COMMAND_H
#define KESTRIN_TOOL_COMMANDS_COMMAND_H

#include "cli/error.h"

#include <CLI/CLI.hpp>

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

// Where examples point on this platform.
#ifdef _WIN32
#define KESTRIN_EXAMPLE_PORT "COM3"
#else
#define KESTRIN_EXAMPLE_PORT "/dev/ttyUSB0"
#endif

namespace kestrin {

struct Command {
    CLI::App* app = nullptr;
    // Fills in the report as it learns what an error should carry.
    std::function<int(ErrorReport&)> run;
    // The command's --json flag, when it has one.
    std::shared_ptr<const bool> json;
};

Command makePollCommand(CLI::App& app);
Command makeAboutCommand(CLI::App& app);
Command makePortsCommand(CLI::App& app);
Command makeMonitorCommand(CLI::App& app);
#ifndef _WIN32
// Pseudo-terminals are Linux's: on Windows the tool is a host only.
Command makeSimCommand(CLI::App& app);
Command makeDemoCommand(CLI::App& app);
#endif

// --version: the tool's and the library's version, run like a command.
Command makeVersionCommand(CLI::App& app, const std::string& libraryPath);

// Runs the command, reporting what it throws as its one error.
int runCommand(const Command& command);

// Reports a failed parse of `args` (everything after the program name) as
// a usage error of the subcommand it was for, in that command's form.
int reportParseError(const std::vector<Command>& commands, const std::vector<std::string>& args,
                     const CLI::ParseError& error);

struct Example {
    const char* command; // as typed, after "kestrin "
    const char* what;
};

// The end of a subcommand's help: the text given, then "Examples:" and each
// example with what it does.
std::string helpFooter(const std::string& text, std::initializer_list<Example> examples);

} // namespace kestrin

#endif
