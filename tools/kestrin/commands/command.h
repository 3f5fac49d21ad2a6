// The subcommands, one file each: a make function declares the command's
// options on the main app and returns how to run it. A new command is a file
// here with its make function, declared below and listed in tool.cpp and
// tools/CMakeLists.txt.
#ifndef KESTRIN_TOOL_COMMANDS_COMMAND_H
#define KESTRIN_TOOL_COMMANDS_COMMAND_H

#include "base/error.h"
#include "base/outcome.h"
#include "base/port_settings.h"
#include "base/selector.h"
#include "host/interrupt.h"
#include "host/serial_port.h"
#include "views/view.h"

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

// What a command runs with: the outcome it fills in as it learns more (a
// failure then says as much as is known), the view it reports to as it
// goes, and the interrupt it watches for.
struct Run {
    Outcome& outcome;
    View& view;
    InterruptGuard& interrupts;
};

struct Command {
    CLI::App* app = nullptr;
    // Sets run.outcome's status at the end; a failure is thrown as Error.
    std::function<void(Run&)> run;
    // The command's --json flag, when it has one.
    std::shared_ptr<const bool> json;
    // A record the command writes beside its report (--junit), if asked.
    std::function<std::unique_ptr<View>()> record;
};

Command makePollCommand(CLI::App& app);
Command makeAboutCommand(CLI::App& app);
Command makePortsCommand(CLI::App& app);
Command makeMonitorCommand(CLI::App& app);
#ifndef _WIN32
// Pseudo-terminals are Linux's: on Windows the tool is a host only.
Command makeSimCommand(CLI::App& app);
Command makeRelayCommand(CLI::App& app);
Command makeDemoCommand(CLI::App& app);
#endif

// --version: the tool's and the library's version, run like a command.
Command makeVersionCommand(CLI::App& app, const std::string& libraryPath);

// Opens the port `selector` names, waiting for it up to `waitMs`, and notes
// in the outcome what was opened: the selector (unless it is a plain name),
// the port's identity and how long it was waited for.
SerialPort openNoted(Outcome& outcome, const PortSelector& selector, const PortSettings& settings, int waitMs,
                     InterruptGuard& interrupts);

// Runs the command with Ctrl-C watched from before it touches anything to
// after it has put everything back, and reports its outcome once, in its
// form. Returns the exit status.
int runCommand(const Command& command);

// Reports a failed parse as a usage error of the subcommand it was for, in
// that command's form.
int reportParseError(const CLI::App& app, const CLI::ParseError& error);

// Writes the help asked for on stdout: 0, or 2 when it could not be written
// (a full disk, a closed pipe), as for any other output.
int reportHelp(const std::string& help);

struct Example {
    const char* command; // as typed, after "kestrin "
    const char* what;
};

// The end of a subcommand's help: the text given, then "Examples:" and each
// example with what it does.
std::string helpFooter(const std::string& text, std::initializer_list<Example> examples);

} // namespace kestrin

#endif
