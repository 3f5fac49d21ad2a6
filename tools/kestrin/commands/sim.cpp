// kestrin sim: a simulated device on a new pseudo-terminal, for tests, the
// demo and engineers without hardware to poll like a real one.
#include "commands/command.h"

#include "views/output.h"

#include "sim/model.h"
#include "sim/pty.h"
#include "sim/script.h"

#include <fmt/format.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

namespace kestrin {

namespace {

struct SimOptions {
    std::vector<std::string> rules;
    std::string scriptFile;
    std::string link;
    std::uint64_t rounds = 0;
    bool trace = false;
};

std::vector<sim::Rule> loadRules(const SimOptions& options)
{
    std::vector<sim::Rule> rules;
    for (std::size_t i = 0; i < options.rules.size(); ++i) {
        rules.push_back(sim::parseRule(options.rules[i], fmt::format("rule {} ({}): ", i + 1, options.rules[i])));
    }
    if (!options.scriptFile.empty()) {
        std::ifstream file(options.scriptFile, std::ios::binary);
        if (!file) {
            throw Error(fmt::format("cannot read the script {}: {}", options.scriptFile, std::strerror(errno)));
        }
        std::stringstream text;
        text << file.rdbuf();
        std::vector<sim::Rule> fromFile = sim::parseScript(text.str(), options.scriptFile + ": ");
        rules.insert(rules.end(), fromFile.begin(), fromFile.end());
    }
    return rules;
}

// A symbolic link to the port for as long as the object lives. It replaces
// a stale link from an earlier run, never anything else, and is removed
// only while it still points to this port.
class PortLink {
public:
    PortLink(std::string link, std::string target) : link_(std::move(link)), target_(std::move(target))
    {
        if (link_.empty()) {
            return;
        }
        struct stat info {};
        if (lstat(link_.c_str(), &info) == 0) {
            if (!S_ISLNK(info.st_mode)) {
                throw Error(fmt::format("{} exists and is not a symbolic link", link_));
            }
            unlink(link_.c_str());
        }
        if (symlink(target_.c_str(), link_.c_str()) != 0) {
            throw Error(fmt::format("cannot link {}: {}", link_, std::strerror(errno)));
        }
    }
    ~PortLink()
    {
        char points[4096];
        const ssize_t n = link_.empty() ? -1 : readlink(link_.c_str(), points, sizeof points);
        if (n > 0 && std::string(points, static_cast<std::size_t>(n)) == target_) {
            unlink(link_.c_str());
        }
    }
    PortLink(const PortLink&) = delete;
    PortLink& operator=(const PortLink&) = delete;

private:
    std::string link_;
    std::string target_;
};

void runSim(const SimOptions& options, Run& run)
{
    std::vector<sim::Rule> rules = loadRules(options);
    const sim::StopPipe stop = sim::StopPipe::open();
    const InterruptWaker waker(run.interrupts, [&stop] { stop.stop(); });
    sim::Pty pty = sim::Pty::open();
    const PortLink link(options.link, pty.path());
    // Whoever started the sim waits for this line: the port is ready.
    writeOut(pty.path() + "\n");

    sim::Model model(std::move(rules), sim::clockMs());
    sim::play(model, pty, stop.readEnd(), options.rounds, options.trace ? stdout : nullptr);
    // SIGTERM, SIGINT and SIGHUP are how a sim is meant to be stopped.
    run.outcome.status = run.interrupts.interrupted() ? Status::stopped : Status::done;
}

} // namespace

Command makeSimCommand(CLI::App& app)
{
    auto options = std::make_shared<SimOptions>();
    CLI::App* sim = app.add_subcommand(
        "sim", "Play a simulated device on a new pseudo-terminal; prints its port path on the first line");
    sim->add_option("rules", options->rules, "Rules of the sim's script (see below)");
    sim->add_option("--script", options->scriptFile, "Read rules from FILE, one per line");
    sim->add_option("--link", options->link, "Also make a symbolic link PATH to the port, removed at exit");
    sim->add_option("--rounds", options->rounds,
                    "Exit after N triggers answered, once the host closes the port (default: run until killed)");
    sim->add_flag("--trace", options->trace, "Print every chunk received (rx HEX) and sent (tx HEX) on stdout");
    sim->footer(helpFooter(
        std::string(sim::scriptSyntax())
            + "Stops cleanly on SIGTERM, SIGINT or SIGHUP, or once a hangup rule has closed the port;\n"
              "exit status 0, or 2 for a bad script.",
        {
            {"sim \"on PING\\r\\n reply PONG\\r\\n after 50\"", "Answer PING with PONG after 50 ms."},
            {"sim \"on READ? reply OK times 1\" \"on READ? reply BUSY\" --link /tmp/ttyDEVICE",
             "Right once, then wrong; also reachable as /tmp/ttyDEVICE."},
            {"sim \"send READY\\r\\n every 500\" --trace", "Chatter unprompted, showing every byte in and out."},
        }));
    return {sim, [options](Run& run) { runSim(*options, run); }, nullptr, {}};
}

} // namespace kestrin
