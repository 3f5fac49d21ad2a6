#include "commands/command.h"

#include <fmt/format.h>

#include <algorithm>
#include <exception>

namespace kestrin {

namespace {

// The command `args` invoke: the first word naming one, skipping the value
// of the main app's --library.
const Command* invoked(const std::vector<Command>& commands, const std::vector<std::string>& args,
                       std::size_t& at)
{
    for (std::size_t i = 0; i < args.size() && args[i] != "--"; ++i) {
        if (args[i] == "--library") {
            ++i;
            continue;
        }
        for (const Command& command : commands) {
            if (args[i] == command.app->get_name()) {
                at = i;
                return &command;
            }
        }
    }
    return nullptr;
}

} // namespace

int runCommand(const Command& command)
{
    ErrorReport report;
    report.command = command.app->get_parent() != nullptr ? command.app->get_name() : "";
    report.json = command.json && *command.json;
    try {
        return command.run(report);
    } catch (const Error& error) {
        reportError(report, error);
    } catch (const std::exception& error) {
        // Not the tool's own words, but still its one report.
        reportError(report, Error(error.what()));
    }
    return errorExitCode;
}

int reportParseError(const std::vector<Command>& commands, const std::vector<std::string>& args,
                     const CLI::ParseError& error)
{
    ErrorReport report;
    std::size_t at = 0;
    if (const Command* command = invoked(commands, args, at)) {
        report.command = command->app->get_name();
        // The flag may not have been parsed yet, so the words decide.
        const auto begin = args.begin() + static_cast<std::ptrdiff_t>(at);
        const auto end = std::find(begin, args.end(), "--");
        report.json = command->json && std::any_of(begin, end, [](const std::string& arg) {
                          return arg == "--json" || arg == "-j";
                      });
    }
    reportError(report, UsageError(error.what()));
    return errorExitCode;
}

std::string helpFooter(const std::string& text, std::initializer_list<Example> examples)
{
    std::string footer = text.empty() ? "" : text + "\n\n";
    footer += "Examples:";
    for (const Example& example : examples) {
        fmt::format_to(std::back_inserter(footer), "\n  kestrin {}\n      {}", example.command, example.what);
    }
    return footer + "\n";
}

} // namespace kestrin
