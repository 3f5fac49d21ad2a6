#include "commands/command.h"

#include "host/port_open.h"
#include "views/output.h"
#include "views/text.h"

#include <fmt/format.h>

#include <exception>
#include <optional>

namespace kestrin {

namespace {

std::unique_ptr<View> viewFor(bool json)
{
    return json ? makeJsonView() : makeTextView();
}

// Reports the outcome; a report that cannot be written is the failure
// then, said on stderr if stderr still takes it.
int report(View& view, const Outcome& outcome)
{
    try {
        view.finished(outcome);
        return exitCode(outcome);
    } catch (const std::exception& error) {
        Outcome failed = outcome;
        failed.status = outcome.status == Status::interrupted ? Status::interrupted : Status::error;
        failed.error = error.what();
        try {
            writeErr(errorLine(failed) + "\n");
        } catch (const std::exception&) {
            // Nowhere left to say it: the exit status does.
        }
        return exitCode(failed);
    }
}

} // namespace

SerialPort openNoted(Outcome& outcome, const PortSelector& selector, const PortSettings& settings, int waitMs,
                     InterruptGuard& interrupts)
{
    OpenedPort opened = openPort(selector, settings, waitMs, interrupts);
    if (selector.kind != PortSelector::Kind::name) {
        outcome.selector = selector.text;
    }
    outcome.identity = opened.identity;
    outcome.waitedMs = opened.waitedMs;
    return std::move(opened.port);
}

int runCommand(const Command& command)
{
    Outcome outcome;
    outcome.command = command.app->get_parent() != nullptr ? command.app->get_name() : "";
    std::unique_ptr<View> view = viewFor(command.json && *command.json);
    std::optional<InterruptGuard> interrupts;
    try {
        interrupts.emplace();
        if (command.record) {
            if (std::unique_ptr<View> record = command.record()) {
                view = bothViews(std::move(view), std::move(record));
            }
        }
        Run run{outcome, *view, *interrupts};
        command.run(run);
    } catch (const Error& error) {
        outcome.status = error.status();
        outcome.error = error.what();
    } catch (const std::exception& error) {
        // Not the tool's own words, but still its one report.
        outcome.status = Status::error;
        outcome.error = error.what();
    }
    // Still under the guard: a closed output is an error here, not a signal.
    const int status = report(*view, outcome);
    if (interrupts) {
        holdStopSignals();
    }
    return status;
}

int reportParseError(const CLI::App& app, const CLI::ParseError& error)
{
    Outcome outcome;
    outcome.status = Status::usage;
    outcome.error = error.what();
    bool json = false;
    // The subcommand the words were for, and whether its --json came before
    // the mistake, as the parser left them.
    for (const CLI::App* command : app.get_subcommands()) {
        outcome.command = command->get_name();
        const CLI::Option* option = command->get_option_no_throw("--json");
        json = option != nullptr && option->count() > 0;
    }
    return report(*viewFor(json), outcome);
}

int reportHelp(const std::string& help)
{
    try {
        writeOut(help);
        return 0;
    } catch (const Error& error) {
        Outcome outcome;
        outcome.status = error.status();
        outcome.error = error.what();
        return report(*viewFor(false), outcome);
    }
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
