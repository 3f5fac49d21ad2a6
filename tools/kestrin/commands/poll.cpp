// kestrin poll: send a request, if any, and wait for the expected reply
// through the library, as a host does.
#include "commands/command.h"

#include "cli/live_status.h"
#include "cli/report.h"
#include "host/library.h"
#include "host/poll_run.h"

#include <fmt/format.h>

#include <memory>

namespace kestrin {

namespace {

struct PollOptions {
    PollRequest request;
    std::string expect, expectHex, send, sendHex, parity = "none";
    std::string library;
    bool json = false;
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

Parity parityFrom(const std::string& name)
{
    if (name == "none" || name == "even" || name == "odd") {
        return name == "even" ? Parity::even : name == "odd" ? Parity::odd : Parity::none;
    }
    throw UsageError(fmt::format("parity must be none, even or odd, not '{}'", name));
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
    request.settings.parity = parityFrom(options.parity);
    report.fields = requestJson(request);
    if (const std::string why = checkRequest(request); !why.empty()) {
        throw UsageError(why);
    }
}

int runPollCommand(PollOptions& options, ErrorReport& report)
{
    buildRequest(options, report);
    const PollRequest& request = options.request;
    const Library library = Library::load(options.library);
    const int version = library.version();
    report.fields.update(libraryJson(library.path(), version));

    const PollOutcome outcome = runPoll(library, request, stderrIsTerminal());
    if (options.json) {
        printJson(resultJson(request, outcome, library.path(), version));
    } else {
        fmt::print("{}\n", resultLine(request, outcome));
    }
    return exitCode(outcome.status);
}

} // namespace

Command makePollCommand(CLI::App& app)
{
    auto options = std::make_shared<PollOptions>();
    CLI::App* poll = app.add_subcommand("poll", "Send a request, if any, and wait for the expected reply");
    poll->add_option("port", options->request.port, "The serial port: /dev/ttyUSB0, COM3, ...")->required();
    auto* expect = poll->add_option("--expect", options->expect,
                                    "The expected reply, 1 to 20 bytes (escapes: \\r \\n \\t \\\\ \\xHH)");
    auto* expectHex =
        poll->add_option("--expect-hex", options->expectHex, "The expected reply as hex bytes: \"4f 4b 0d 0a\"");
    expect->excludes(expectHex);
    auto* send = poll->add_option("--send", options->send, "Bytes to send first (same escapes as --expect)");
    auto* sendHex = poll->add_option("--send-hex", options->sendHex, "Bytes to send first, as hex");
    send->excludes(sendHex);
    poll->add_option("--timeout", options->request.timeoutMs, "Time budget in ms; one attempt is always made")
        ->capture_default_str();
    poll->add_option("--baud", options->request.settings.baud, "Baud rate")->capture_default_str();
    poll->add_option("--data-bits", options->request.settings.dataBits, "Data bits, 5 to 8")->capture_default_str();
    poll->add_option("--parity", options->parity, "none, even or odd")->capture_default_str();
    poll->add_option("--stop-bits", options->request.settings.stopBits, "1 or 2")->capture_default_str();
    poll->add_option("--read-wait", options->request.settings.readWaitMs,
                     "How long one read waits for a byte, in ms (Linux rounds up to tenths of a second)")
        ->capture_default_str();
    poll->add_option("--library", options->library, "The Kestrin library to load (default: beside this program)");
    poll->add_flag("--json", options->json, "Print one JSON object instead of the result line, errors included");
    poll->footer(helpFooter(
        "Exit status: 0 matched, 1 no match within the budget, 2 usage, port or library error.\n"
        "The budget is checked between attempts, so a poll can outlast it by one attempt:\n"
        "the expected number of bytes, or 5 s of silence.",
        {
            {"poll " KESTRIN_EXAMPLE_PORT " --send \"AT\\r\" --expect \"OK\\r\\n\" --timeout 2000",
             "Send AT and wait up to 2 s for OK."},
            {"poll " KESTRIN_EXAMPLE_PORT " --baud 115200 --send-hex \"01 03\" --expect-hex 06 --json",
             "Bytes in hex at 115200 baud; the result as one JSON object."},
            {"poll " KESTRIN_EXAMPLE_PORT " --expect \"READY\\r\\n\" --timeout 10000",
             "Send nothing; wait up to 10 s for the device to say READY."},
        }));
    return {poll, [options](ErrorReport& report) { return runPollCommand(*options, report); },
            std::shared_ptr<const bool>(options, &options->json)};
}

} // namespace kestrin
