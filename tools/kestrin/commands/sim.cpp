// kestrin sim: a simulated device on a new pseudo-terminal, for tests, the
// demo and engineers without hardware to poll like a real one.
#include "commands/command.h"
#include "commands/options.h"

#include "views/output.h"

#include "base/random.h"
#include "host/handles.h"
#include "sim/link.h"
#include "sim/model.h"
#include "sim/pty.h"
#include "sim/script.h"

#include <fmt/format.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>

namespace kestrin {

namespace {

struct SimOptions {
    std::vector<std::string> rules;
    // Empty when not given: an empty value is refused as it is parsed.
    std::string scriptFile;
    std::string link;
    std::uint64_t rounds = 0;
    std::string seed;
    bool trace = false;
};

// A script is read whole, so only a regular file of a bounded size is: a
// device, a pipe or a directory passed by mistake is refused before any of
// it is read.
std::string readScript(const std::string& path)
{
    const std::size_t limit = 1024 * 1024;
    // Not blocking: opening a pipe with no writer would wait for one.
    const UniqueFd file(::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!file) {
        throw Error(fmt::format("cannot read the script {}: {}", path, std::strerror(errno)));
    }
    struct stat info {};
    if (fstat(file.get(), &info) != 0) {
        throw Error(fmt::format("cannot read the script {}: {}", path, std::strerror(errno)));
    }
    if (!S_ISREG(info.st_mode)) {
        throw usageError(fmt::format("--script: {} is {}, not a regular file", path,
                                     S_ISDIR(info.st_mode) ? "a directory" : "a special file"));
    }
    const auto tooLarge = [&] { return usageError(fmt::format("--script: {} is larger than 1 MB", path)); };
    if (static_cast<std::uint64_t>(info.st_size) > limit) {
        throw tooLarge();
    }
    // One byte over the limit tells a file that grew since.
    std::string text(limit + 1, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(file.get(), text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw Error(fmt::format("cannot read the script {}: {}", path, std::strerror(errno)));
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    if (got > limit) {
        throw tooLarge();
    }
    text.resize(got);
    return text;
}

std::vector<sim::Rule> loadRules(const SimOptions& options)
{
    std::vector<sim::Rule> rules;
    for (std::size_t i = 0; i < options.rules.size(); ++i) {
        rules.push_back(sim::parseRule(options.rules[i], fmt::format("rule {} ({}): ", i + 1, options.rules[i])));
    }
    if (!options.scriptFile.empty()) {
        std::vector<sim::Rule> fromFile = sim::parseScript(readScript(options.scriptFile), options.scriptFile + ": ");
        rules.insert(rules.end(), std::make_move_iterator(fromFile.begin()), std::make_move_iterator(fromFile.end()));
    }
    return rules;
}

// --seed N, or one from the clock.
std::uint64_t seedFrom(const std::string& typed)
{
    if (typed.empty()) {
        const auto now = std::chrono::system_clock::now().time_since_epoch().count();
        Random mixer(static_cast<std::uint64_t>(now) ^ (static_cast<std::uint64_t>(getpid()) << 32));
        return mixer.next();
    }
    std::uint64_t seed = 0;
    const char* end = typed.data() + typed.size();
    const auto [stop, failure] = std::from_chars(typed.data(), end, seed);
    if (stop != end || failure != std::errc()) {
        throw usageError(fmt::format("--seed: '{}' is not a whole number from 0 to {}", typed, UINT64_MAX));
    }
    return seed;
}

void runSim(const SimOptions& options, Run& run)
{
    std::vector<sim::Rule> rules = loadRules(options);
    const std::uint64_t seed = seedFrom(options.seed);
    sim::PortLink link(options.link);
    const sim::StopPipe stop = sim::StopPipe::open();
    const InterruptWaker waker(run.interrupts, [&stop] { stop.stop(); });
    sim::Pty pty = sim::Pty::open();
    link.point(pty.path());
    // So that a run that failed can be played again exactly.
    writeErr(fmt::format("kestrin sim: seed {}\n", seed));
    // Whoever started the sim waits for this line: the port is ready.
    writeOut(pty.path() + "\n");

    sim::Model model(std::move(rules), sim::clockMs(), seed);
    sim::play(model, pty, stop.readEnd(), {options.rounds, options.trace ? stdout : nullptr, &link});
    // SIGTERM, SIGINT and SIGHUP are how a sim is meant to be stopped.
    run.outcome.status = run.interrupts.interrupted() ? Status::stopped : Status::done;
}

} // namespace

Command makeSimCommand(CLI::App& app)
{
    auto options = std::make_shared<SimOptions>();
    const CLI::Validator given = nonEmpty();
    CLI::App* sim = app.add_subcommand(
        "sim", "Play a simulated device on a new pseudo-terminal; prints its port path on the first line");
    sim->add_option("rules", options->rules, "Rules of the sim's script (see below)");
    sim->add_option("--script", options->scriptFile, "Read rules from FILE, one per line (a regular file, 1 MB at most)")
        ->check(given);
    sim->add_option("--link", options->link,
                    "Also make a symbolic link PATH to the port, removed at exit; PATH must not exist, unless it is "
                    "a link to a pseudo-terminal that is gone")
        ->check(given);
    sim->add_option("--rounds", options->rounds,
                    "Exit after N triggers answered, once the host closes the port (default: run until killed)")
        ->check(CLI::Range(std::uint64_t{1}, std::uint64_t{1000000000}));
    sim->add_option("--seed", options->seed,
                    "Make every random choice (chance, corrupt) from N, to play a run again exactly (default: from "
                    "the clock); the seed in use is printed on stderr")
        ->type_name("UINT")
        ->check(given);
    sim->add_flag("--trace", options->trace,
                  "Print every chunk received (rx HEX) and sent (tx HEX) on stdout, and hangup, vanish, back PATH");
    sim->footer(helpFooter(
        std::string(sim::scriptSyntax())
            + "Stops cleanly on SIGTERM, SIGINT or SIGHUP, or once a hangup rule has closed the port;\n"
              "exit status 0, or 2 for a bad script or option.",
        {
            {"sim \"on PING\\r\\n reply PONG\\r\\n after 50\"", "Answer PING with PONG after 50 ms."},
            {"sim \"on READ? reply OK times 1\" \"on READ? reply BUSY\" --link /tmp/ttyDEVICE",
             "Right once, then wrong; also reachable as /tmp/ttyDEVICE."},
            {"sim \"on PING reply PONG chance 90% corrupt 1\" \"on RESET vanish 2s\" --seed 7 --trace",
             "A flaky device that RESET takes away for 2 s; --seed 7 plays it again, every byte shown."},
        }));
    return {sim, [options](Run& run) { runSim(*options, run); }, nullptr, {}};
}

} // namespace kestrin
