// kestrin demo: a sim polled through the real library, with a few lines of
// narration. Needs no hardware.
#include "commands/command.h"

#include "cli/live_status.h"
#include "cli/report.h"
#include "host/library.h"
#include "host/poll_run.h"
#include "sim/pty.h"
#include "sim/script.h"

#include <fmt/format.h>

#include <memory>

namespace kestrin {

namespace {

// The sim: a quick right answer to PING, and to READ? a wrong answer that it
// keeps repeating for longer than the second poll's budget.
const char demoScript[] = "on PING\\r\\n reply PONG\\r\\n after 200\n"
                          "on READ?\\r\\n reply NO\\r\\n after 100 repeat 30 every 100\n";

struct Round {
    const char* request;
    const char* expect;
    int timeoutMs;
    const char* says;
    PollStatus wanted;
};

const Round rounds[] = {
    {"PING\r\n", "PONG\r\n", 2000, "The device answers \"PONG\\r\\n\" after 200 ms.", PollStatus::matched},
    {"READ?\r\n", "OK\r\n", 1500, "The device answers \"NO\\r\\n\" instead, every 100 ms.", PollStatus::noMatch},
};

// 0 when the right reply matched and the wrong one did not.
int runDemo(const std::string& libraryPath, ErrorReport& report)
{
    const Library library = Library::load(libraryPath);
    std::vector<sim::Rule> rules;
    std::string error;
    if (!sim::parseScript(demoScript, rules, error)) {
        throw Error(fmt::format("the demo's own script: {}", error));
    }
    const sim::BackgroundSim background(std::move(rules));
    report.subject = background.path();

    fmt::print("Kestrin demo: a simulated device on {},\npolled through {} (version {}).\n", background.path(),
               library.path(), dottedVersion(library.version()));
    int status = 0;
    int step = 1;
    for (const Round& round : rounds) {
        PollRequest request;
        request.port = background.path();
        request.expect = toBytes(round.expect);
        request.send = toBytes(round.request);
        request.timeoutMs = round.timeoutMs;
        fmt::print("\n{}. The host sends \"{}\" and expects \"{}\" within {} ms.\n   {}\n", step++,
                   escapeBytes(request.send), escapeBytes(request.expect), round.timeoutMs, round.says);
        std::fflush(stdout);
        const PollOutcome outcome = runPoll(library, request, stderrIsTerminal());
        fmt::print("   pollUart returned {}: {}\n", outcome.result, resultLine(request, outcome));
        if (outcome.status != round.wanted) {
            status = 1;
        }
    }
    if (status == 0) {
        fmt::print("\nKestrin told the right reply from the wrong one. "
                   "Try your own: kestrin sim --help, kestrin poll --help.\n");
    } else {
        fmt::print("\nThat is not what this device should give: something is wrong.\n");
    }
    return status;
}

} // namespace

Command makeDemoCommand(CLI::App& app)
{
    auto library = std::make_shared<std::string>();
    CLI::App* demo = app.add_subcommand(
        "demo", "Poll a simulated device through the real library: a matching reply, then a wrong one");
    demo->add_option("--library", *library, "The Kestrin library to load (default: beside this program)");
    demo->footer(helpFooter("Exit status: 0 when the right reply matched and the wrong one did not.",
                            {
                                {"demo", "Through the library beside the tool, or the installed one (about 2 s)."},
                                {"demo --library /opt/kestrin/lib/libkestrin.so.1", "Through another copy."},
                            }));
    return {demo, [library](ErrorReport& report) { return runDemo(*library, report); }, nullptr};
}

} // namespace kestrin
