// kestrin demo: a sim polled through the real library, with a few lines of
// narration. Needs no hardware.
#include "commands/command.h"
#include "commands/options.h"
#include "commands/polling.h"

#include "host/library.h"
#include "sim/pty.h"
#include "sim/script.h"
#include "views/output.h"
#include "views/text.h"

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
    Status wanted;
};

const Round rounds[] = {
    {"PING\r\n", "PONG\r\n", 2000, "The device answers \"PONG\\r\\n\" after 200 ms.", Status::matched},
    {"READ?\r\n", "OK\r\n", 1500, "The device answers \"NO\\r\\n\" instead, every 100 ms.", Status::noMatch},
};

// Done when the right reply matched and the wrong one did not.
void runDemo(const std::string& libraryPath, Run& run)
{
    const Library library = Library::load(libraryPath);
    const sim::BackgroundSim background(sim::parseScript(demoScript, "the demo's own script: "));
    Outcome& outcome = run.outcome;
    outcome.subject = background.path();
    outcome.library = LibraryInfo{library.path(), library.version()};
    Background worker(run.interrupts);

    writeOut(fmt::format("Kestrin demo: a simulated device on {},\npolled through {} (version {}).\n",
                         background.path(), library.path(), dottedVersion(library.version())));
    bool asWanted = true;
    int step = 1;
    for (const Round& round : rounds) {
        PollRequest& request = outcome.request.emplace();
        request.port = background.path();
        request.expect = toBytes(round.expect);
        request.send = toBytes(round.request);
        request.timeoutMs = round.timeoutMs;
        writeOut(fmt::format("\n{}. The host sends \"{}\" and expects \"{}\" within {} ms.\n   {}\n", step++,
                             escapeBytes(request.send), escapeBytes(request.expect), round.timeoutMs, round.says));
        PollSession session(library, request, SerialPort::open(request.port, request.settings));
        const PollResult poll = pollWatched(run, session, worker, false);
        if (isFailure(poll.status)) {
            throw Error(poll.error, poll.status);
        }
        writeOut(fmt::format("   pollUart returned {}: {}\n", poll.result, resultLine(request, poll)));
        asWanted = asWanted && poll.status == round.wanted;
    }
    if (asWanted) {
        writeOut("\nKestrin told the right reply from the wrong one. "
                 "Try your own: kestrin sim --help, kestrin poll --help.\n");
    } else {
        writeOut("\nThat is not what this device should give: something is wrong.\n");
    }
    // The request was the demo's own: a report of it would say nothing.
    outcome.request.reset();
    outcome.status = asWanted ? Status::ok : Status::noMatch;
}

} // namespace

Command makeDemoCommand(CLI::App& app)
{
    auto library = std::make_shared<std::string>();
    CLI::App* demo = app.add_subcommand(
        "demo", "Poll a simulated device through the real library: a matching reply, then a wrong one");
    addLibraryOption(*demo, *library);
    demo->footer(helpFooter("Exit status: 0 when the right reply matched and the wrong one did not.",
                            {
                                {"demo", "Through the library beside the tool, or the installed one (about 2 s)."},
                                {"demo --library /opt/kestrin/lib/libkestrin.so.1", "Through another copy."},
                            }));
    return {demo, [library](Run& run) { runDemo(*library, run); }, nullptr, {}};
}

} // namespace kestrin
