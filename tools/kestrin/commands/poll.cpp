// kestrin poll: send a request, if any, and wait for the expected reply
// through the library, as a host does; once, or --repeat times with a
// summary at the end.
#include "commands/command.h"
#include "commands/options.h"
#include "commands/polling.h"

#include "host/library.h"

#include <fmt/format.h>

#include <memory>

namespace kestrin {

namespace {

struct PollOptions {
    std::string port;
    PortOptions portOptions;
    BytesOption expect, send;
    std::string timeout = "1s";
    std::string library;
    int repeat = 0; // 0: one poll, reported on its own
    bool json = false;
    bool trace = false;
    bool strict = false;
    bool reconnect = false;
    std::string junit;
    std::string name;
    std::vector<std::string> labels;
};

// The request from the options, refused with a usage error before anything
// is loaded or opened. The outcome learns each part as it is read.
void readRequest(const PollOptions& options, Outcome& outcome)
{
    outcome.subject = options.port;
    PollRequest& request = outcome.request.emplace();
    request.port = options.port;
    if (options.expect.text.empty() && options.expect.hex.empty()) {
        throw usageError("the expected reply is empty (give --expect TEXT or --expect-hex HEX)");
    }
    request.expect = options.expect.bytes("expected reply");
    request.expectRead = true;
    request.send = options.send.bytes("request");
    request.sendRead = true;
    request.timeoutMs = durationOption(options.timeout, "--timeout");
    request.timeoutRead = true;
    request.settings = options.portOptions.settings();
    request.settingsRead = true;
    checkRequest(request);
}

// How long a poll waits for a device that went away to come back, when
// --reconnect is given without --wait-port.
const int defaultReconnectWaitMs = 10000;

void runPoll(const PollOptions& options, Run& run)
{
    Outcome& outcome = run.outcome;
    outcome.strict = options.strict;
    outcome.showTrace = options.trace;
    outcome.name = options.name;
    const PortSelector selector = parseSelector(options.port);
    readRequest(options, outcome);
    const std::vector<LineStep> lines = options.portOptions.lineSteps();
    const int waitMs = options.portOptions.waitPortMs(0);
    // After the device went away, the next poll waits for it to come back.
    const int reconnectWaitMs = options.portOptions.waitPortMs(defaultReconnectWaitMs);
    recordRun(outcome, options.labels);
    // A JUnit file keeps each poll's trace as the case's output.
    const bool trace = options.trace || !options.junit.empty();
    const Library library = Library::load(options.library);
    outcome.library = LibraryInfo{library.path(), library.version()};
    PollRequest& request = *outcome.request;
    SerialPort port = openNoted(outcome, selector, request.settings, waitMs, run.interrupts);
    request.port = outcome.identity->port;
    run.view.opened(outcome);
    PollSession session(library, request, std::move(port));
    Background worker(run.interrupts);

    if (options.repeat == 0) {
        const PollResult poll = pollWatched(run, session, worker, trace, lines);
        outcome.status = poll.status;
        outcome.error = poll.error;
        outcome.poll = poll;
        return;
    }
    outcome.repeat = options.repeat;
    PollSummary& summary = outcome.summary.emplace();
    bool gone = false;
    for (int i = 1; i <= options.repeat; ++i) {
        if (run.interrupts.interrupted()) {
            outcome.status = Status::interrupted;
            return;
        }
        PollResult poll;
        try {
            if (gone) {
                // Waiting for the device to come back, whatever node it
                // comes back as, belongs to this poll. The old port goes
                // first: its claim would keep the new one busy.
                session.replacePort(SerialPort());
                session.replacePort(openNoted(outcome, selector, request.settings, reconnectWaitMs, run.interrupts));
                request.port = outcome.identity->port;
                ++summary.reconnects;
                gone = false;
            }
            poll = pollWatched(run, session, worker, trace, lines);
        } catch (const Error& error) {
            if (error.status() == Status::interrupted) {
                throw;
            }
            // One poll of many failed: that is its result, and the run
            // goes on.
            poll.status = error.status();
            poll.error = error.what();
        }
        summary.add(poll);
        run.view.pollDone(outcome, i, poll);
        if (poll.status == Status::deviceGone && options.reconnect) {
            gone = true;
        } else if (poll.status == Status::deviceGone || gone) {
            // Every poll after it would fail the same way.
            break;
        }
    }
    outcome.status = summary.status(options.strict);
    if (!isFailure(outcome.status)) {
        return;
    }
    if (summary.errors == 1) {
        outcome.error = summary.lastError;
    } else {
        outcome.error =
            fmt::format("{} of {} polls failed, the last: {}", summary.errors, summary.polls, summary.lastError);
    }
}

} // namespace

Command makePollCommand(CLI::App& app)
{
    auto options = std::make_shared<PollOptions>();
    CLI::App* poll = app.add_subcommand("poll", "Send a request, if any, and wait for the expected reply");
    poll->add_option("port", options->port,
                     "The serial port: /dev/ttyUSB0, COM3, ...; or the adapter behind it: usb:VID:PID[:SERIAL], "
                     "location:LOC (as kestrin ports shows them)")
        ->required();
    auto* expect = poll->add_option("-e,--expect", options->expect.text,
                                    "The expected reply, 1 to 20 bytes (escapes: \\r \\n \\t \\\\ \\xHH)");
    auto* expectHex = poll->add_option("--expect-hex", options->expect.hex,
                                       "The expected reply as hex bytes: \"4f 4b 0d 0a\"");
    expect->excludes(expectHex);
    addSendOption(*poll, options->send);
    poll->add_option("-t,--timeout", options->timeout,
                     "Time budget: 500ms, 2s, ... (a plain number is ms); one attempt is always made")
        ->capture_default_str();
    options->portOptions.add(*poll);
    poll->add_option("-r,--repeat", options->repeat,
                     "Poll N times, then print a summary; its times are exact to the millisecond up to 8 s, and "
                     "within 1/4096 above")
        ->check(CLI::Range(1, 1000000000));
    poll->add_flag("--trace", options->trace, "Show every byte the library read, with its time since the poll began");
    poll->add_flag("--strict", options->strict, "Count a late match as no match (exit status 1)");
    poll->add_flag("--reconnect", options->reconnect,
                   "With --repeat: a device that went away (a reset adapter) counts as an error, and the next poll "
                   "waits for it to come back (up to --wait-port, else 10 s)");
    poll->add_option("--junit", options->junit,
                     "Also write a JUnit XML file: one test case per poll, the trace as its output, the versions, "
                     "port and labels as properties");
    poll->add_option("--name", options->name, "What the test case is called in the JUnit file (default: poll PORT)");
    addLabelOption(*poll, options->labels);
    addLibraryOption(*poll, options->library);
    addJsonOption(*poll, options->json, "Print one JSON object instead of the result line, errors included");
    poll->footer(helpFooter(
        "Each attempt reads as many bytes as the expected reply holds and ends early after 5000 ms without a "
        "byte.\n"
        "The budget is checked only between attempts, so a poll can run past it by one attempt, and a match\n"
        "in that attempt is reported as late.\n"
        "Exit status: 0 matched, 1 no match within the budget (or late with --strict), 2 usage, port or\n"
        "library error (JSON status busy, device_gone or error), 130 interrupted.",
        {
            {"poll " KESTRIN_EXAMPLE_PORT " -s \"AT\\r\" -e \"OK\\r\\n\" -t 2s --trace",
             "Send AT, wait up to 2 s for OK, and show every byte the library read."},
            {"poll " KESTRIN_EXAMPLE_PORT " -b 115200 --send-hex \"01 03\" --expect-hex 06 --json",
             "Bytes in hex at 115200 baud; the result as one JSON object."},
            {"poll " KESTRIN_EXAMPLE_PORT " -e \"READY\\r\\n\" -t 10s --repeat 100 --strict",
             "Wait for READY 100 times in a row; a summary of the times at the end."},
        }));
    return {poll, [options](Run& run) { runPoll(*options, run); }, std::shared_ptr<const bool>(options, &options->json),
            [options]() { return options->junit.empty() ? nullptr : makeJUnitView(options->junit); }};
}

} // namespace kestrin
