// kestrin poll: send a request, if any, and wait for the expected reply
// through the library, as a host does; once, or --repeat times with a
// summary at the end.
#include "commands/command.h"
#include "commands/port_options.h"

#include "cli/live_status.h"
#include "cli/report.h"
#include "host/interrupt.h"
#include "host/library.h"
#include "host/poll_run.h"

#include <fmt/format.h>

#include <memory>
#include <mutex>

namespace kestrin {

namespace {

struct PollOptions {
    PollRequest request;
    PortOptions port;
    std::string expect, expectHex, send, sendHex, timeout = "1s";
    std::string library;
    int repeat = 0; // 0: one poll, reported on its own
    bool json = false;
    bool trace = false;
    bool strict = false;
};

// Bytes from whichever of the text and hex forms was given.
Bytes bytesFrom(const std::string& text, const std::string& hex, const char* what)
{
    Bytes bytes;
    std::string why;
    if (!hex.empty()) {
        if (!parseHex(hex, bytes, why)) {
            throw UsageError(fmt::format("bad hex in the {}: {}", what, why));
        }
    } else if (!parseEscaped(text, bytes, why)) {
        throw UsageError(fmt::format("bad escape in the {}: {}", what, why));
    }
    return bytes;
}

// The request from the options, refused with a usage error before anything
// is loaded or opened. The report learns each part as it is known.
void buildRequest(PollOptions& options, ErrorReport& report)
{
    PollRequest& request = options.request;
    report.subject = request.port;
    report.fields = requestJson(request);
    if (options.expect.empty() && options.expectHex.empty()) {
        throw UsageError("the expected reply is empty (give --expect TEXT or --expect-hex HEX)");
    }
    request.expect = bytesFrom(options.expect, options.expectHex, "expected reply");
    report.fields = requestJson(request);
    request.send = bytesFrom(options.send, options.sendHex, "request");
    request.timeoutMs = durationOption(options.timeout, "--timeout");
    request.settings = options.port.settings();
    report.fields = requestJson(request);
    if (const std::string why = checkRequest(request); !why.empty()) {
        throw UsageError(why);
    }
}

// One poll, reported on its own: what the library read first, if traced,
// then the result.
int reportOne(const PollOptions& options, const PollOutcome& outcome, ErrorReport& report)
{
    const PollRequest& request = options.request;
    if (outcome.status == PollStatus::error) {
        if (outcome.traced) {
            report.fields["trace"] = traceJson(outcome.trace);
            if (!options.json) {
                fmt::print("{}", traceText(request.port, outcome.trace));
            }
        }
        throw Error(outcome.error, outcome.errorStatus);
    }
    if (options.json) {
        nlohmann::json j = report.fields;
        j.update(outcomeJson(outcome, options.strict));
        printJson(j);
    } else {
        if (outcome.traced) {
            fmt::print("{}", traceText(request.port, outcome.trace));
        }
        fmt::print("{}\n", resultLine(request, outcome));
    }
    return exitCode(outcome, options.strict);
}

nlohmann::json pollsJson(const std::vector<PollOutcome>& outcomes, bool strict)
{
    nlohmann::json polls = nlohmann::json::array();
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        nlohmann::json j = {{"poll", i + 1}};
        j.update(outcomeJson(outcomes[i], strict));
        polls.push_back(std::move(j));
    }
    return polls;
}

// The end of --repeat: the summary, and an error if a poll failed.
int reportRepeat(const PollOptions& options, const std::vector<PollOutcome>& outcomes, ErrorReport& report)
{
    const RepeatSummary summary = summarize(outcomes);
    report.fields["repeat"] = options.repeat;
    report.fields["polls"] = pollsJson(outcomes, options.strict);
    report.fields["summary"] = summaryJson(summary);
    if (!options.json) {
        fmt::print("{}", summaryText(options.request.port, summary));
    }
    const int status = exitCode(summary, options.strict);
    if (summary.errors > 0) {
        const PollOutcome* last = nullptr;
        for (const PollOutcome& outcome : outcomes) {
            last = outcome.status == PollStatus::error ? &outcome : last;
        }
        if (summary.errors == 1) {
            throw Error(last->error, last->errorStatus);
        }
        throw Error(fmt::format("{} of {} polls failed, the last: {}", summary.errors, summary.polls, last->error),
                    last->errorStatus);
    }
    if (options.json) {
        nlohmann::json j = report.fields;
        j["status"] = status == 0 ? "matched" : "no_match";
        j["exit_code"] = status;
        printJson(j);
    }
    return status;
}

int runPollCommand(PollOptions& options, ErrorReport& report)
{
    buildRequest(options, report);
    const PollRequest& request = options.request;
    const Library library = Library::load(options.library);
    report.fields.update(libraryJson(library.path(), library.version()));

    PollSession session(library, request);
    std::mutex mutex; // the outcomes, and stdout between a poll and Ctrl-C
    std::vector<PollOutcome> outcomes;
    const InterruptGuard guard([&] {
        session.interrupt();
        const std::lock_guard<std::mutex> lock(mutex);
        nlohmann::json j = report.fields;
        if (options.repeat > 0) {
            const RepeatSummary summary = summarize(outcomes);
            j["repeat"] = options.repeat;
            j["polls"] = pollsJson(outcomes, options.strict);
            j["summary"] = summaryJson(summary);
            if (!options.json) {
                fmt::print("{}", summaryText(request.port, summary));
            }
        }
        if (options.json) {
            j["status"] = "interrupted";
            j["exit_code"] = interruptedExitCode;
            printJson(j);
        } else {
            fmt::print(stderr, "kestrin: {}: interrupted\n", request.port);
        }
    });

    const int polls = options.repeat > 0 ? options.repeat : 1;
    for (int i = 1; i <= polls; ++i) {
        PollOutcome outcome = session.poll(stderrIsTerminal(), options.trace);
        const std::lock_guard<std::mutex> lock(mutex);
        if (options.repeat == 0) {
            return reportOne(options, outcome, report);
        }
        if (!options.json) {
            if (outcome.traced) {
                fmt::print("{}", traceText(request.port, outcome.trace));
            }
            fmt::print("[{}/{}] {}\n", i, polls, resultLine(request, outcome));
            std::fflush(stdout);
        }
        outcomes.push_back(std::move(outcome));
        if (outcomes.back().errorStatus == "device_gone") {
            // Every poll after it would fail the same way.
            break;
        }
    }
    const std::lock_guard<std::mutex> lock(mutex);
    return reportRepeat(options, outcomes, report);
}

} // namespace

Command makePollCommand(CLI::App& app)
{
    auto options = std::make_shared<PollOptions>();
    CLI::App* poll = app.add_subcommand("poll", "Send a request, if any, and wait for the expected reply");
    poll->add_option("port", options->request.port, "The serial port: /dev/ttyUSB0, COM3, ...")->required();
    auto* expect = poll->add_option("-e,--expect", options->expect,
                                    "The expected reply, 1 to 20 bytes (escapes: \\r \\n \\t \\\\ \\xHH)");
    auto* expectHex =
        poll->add_option("--expect-hex", options->expectHex, "The expected reply as hex bytes: \"4f 4b 0d 0a\"");
    expect->excludes(expectHex);
    auto* send = poll->add_option("-s,--send", options->send, "Bytes to send first (same escapes as --expect)");
    auto* sendHex = poll->add_option("--send-hex", options->sendHex, "Bytes to send first, as hex");
    send->excludes(sendHex);
    poll->add_option("-t,--timeout", options->timeout,
                     "Time budget: 500ms, 2s, ... (a plain number is ms); one attempt is always made")
        ->capture_default_str();
    options->port.add(*poll);
    poll->add_option("-r,--repeat", options->repeat, "Poll N times, then print a summary")
        ->check(CLI::Range(1, 1000000000));
    poll->add_flag("--trace", options->trace,
                   "Show every byte the library read, with its time since the poll began");
    poll->add_flag("--strict", options->strict, "Count a late match as no match (exit status 1)");
    poll->add_option("--library", options->library, "The Kestrin library to load (default: beside this program)");
    poll->add_flag("-j,--json", options->json,
                   "Print one JSON object instead of the result line, errors included");
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
    return {poll, [options](ErrorReport& report) { return runPollCommand(*options, report); },
            std::shared_ptr<const bool>(options, &options->json)};
}

} // namespace kestrin
