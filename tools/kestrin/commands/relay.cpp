// kestrin relay: a pseudo-terminal for a host program, every byte passed on
// to and from a real port and shown as it goes; with --record, the device's
// side of the conversation written as a sim script.
#include "commands/command.h"
#include "commands/options.h"

#include "host/serial_port.h"
#include "sim/link.h"
#include "sim/pty.h"
#include "sim/recording.h"
#include "views/output.h"

#include <fmt/format.h>

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

namespace kestrin {

namespace {

struct RelayOptions {
    std::string port;
    PortOptions portOptions;
    std::string link;
    std::string record;
    bool reconnect = false;
    bool json = false;
};

// How long the host's side may stay full before the device's bytes for it
// are dropped: a host that does not read loses input as on a real line,
// rather than holding the device's side up.
const int hostRoomMs = 100;

void sendToHost(const sim::Pty& pty, const Bytes& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(pty.master(), bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        pollfd room{pty.master(), POLLOUT, 0};
        if (n < 0 && errno == EAGAIN && ::poll(&room, 1, hostRoomMs) > 0) {
            continue;
        }
        return;
    }
}

// Bytes the host sent to a device that is away are lost, as they would be
// on the line.
void dropFromHost(const sim::Pty& pty)
{
    unsigned char ignored[4096];
    while (::read(pty.master(), ignored, sizeof ignored) > 0) {
    }
}

// The recording, written beside its path and renamed once whole.
class RecordFile {
public:
    explicit RecordFile(std::string path) : path_(std::move(path))
    {
        if (path_.empty()) {
            return;
        }
        partial_ = partialBeside(path_, "--record");
        // Made now, so that a path it cannot write fails before the relay
        // starts rather than after a conversation nobody can play again.
        std::FILE* file = std::fopen(partial_.c_str(), "w");
        if (file == nullptr) {
            throw Error(fmt::format("--record: cannot write {}: {}", partial_, std::strerror(errno)));
        }
        std::fclose(file);
    }
    ~RecordFile()
    {
        if (!path_.empty()) {
            std::remove(partial_.c_str());
        }
    }
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;

    void write(const std::string& script) const
    {
        if (path_.empty()) {
            return;
        }
        std::FILE* file = std::fopen(partial_.c_str(), "w");
        const bool written = file != nullptr && std::fputs(script.c_str(), file) >= 0;
        if (file == nullptr || std::fclose(file) != 0 || !written ||
            std::rename(partial_.c_str(), path_.c_str()) != 0) {
            throw Error(fmt::format("--record: cannot write {}: {}", path_, std::strerror(errno)));
        }
    }

private:
    std::string path_;
    std::string partial_;
};

void relay(const RelayOptions& options, Run& run, sim::Recording& recording)
{
    Outcome& outcome = run.outcome;
    outcome.subject = options.port;
    const PortSelector selector = parseSelector(options.port);
    const PortSettings settings = options.portOptions.settings();
    checkSettings(settings);
    const std::vector<LineStep> lines = options.portOptions.lineSteps();
    const int waitMs = options.portOptions.waitPortMs(0);

    sim::PortLink link(options.link);
    const sim::StopPipe stop = sim::StopPipe::open();
    const InterruptWaker waker(run.interrupts, [&stop] { stop.stop(); });
    SerialPort port = openNoted(outcome, selector, settings, waitMs, run.interrupts);
    run.view.opened(outcome);
    port.discardInput();
    port.driveLines(lines);

    // The host's side appears only once the device's is ready, so that a
    // host waiting for the link finds the relay working.
    sim::Pty pty = sim::Pty::open();
    link.point(pty.path());
    MonitorTally& tally = outcome.monitor.emplace();
    tally.link = options.link;
    run.view.monitoring(outcome, settings.baud, true);

    const auto start = std::chrono::steady_clock::now();
    const auto sinceStartUs = [&start] {
        return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start)
            .count();
    };
    unsigned char buffer[4096];
    for (;;) {
        pollfd fds[4] = {{stop.readEnd(), POLLIN, 0},
                         {pty.master(), POLLIN, 0},
                         {port.descriptor(), POLLIN, 0},
                         {pty.hostsFd(), POLLIN, 0}};
        if (::poll(fds, 4, -1) < 0 && errno != EINTR) {
            throw Error(fmt::format("cannot wait for the ports: {}", std::strerror(errno)));
        }
        tally.elapsedUs = sinceStartUs();
        if (fds[0].revents != 0 || run.interrupts.interrupted()) {
            break;
        }
        if ((fds[3].revents & POLLIN) != 0) {
            pty.noteHosts();
        }
        std::size_t n = 0;
        try {
            if ((fds[1].revents & POLLIN) != 0) {
                const ssize_t sent = ::read(pty.master(), buffer, sizeof buffer);
                if (sent > 0) {
                    const Bytes bytes(buffer, buffer + sent);
                    port.write(bytes);
                    tally.sentBytes += bytes.size();
                    recording.hostSent(bytes, static_cast<std::uint64_t>(tally.elapsedUs / 1000));
                    run.view.relayed(tally.elapsedUs, bytes, true);
                }
            }
            if (fds[2].revents != 0) {
                n = port.read(buffer, sizeof buffer, 0);
            }
        } catch (const Error& error) {
            if (error.status() != Status::deviceGone || !options.reconnect) {
                throw;
            }
            // A reset adapter goes away and comes back, maybe as another
            // node; the host keeps its side meanwhile.
            run.view.deviceEvent(outcome, sinceStartUs(), false, error.what());
            port = SerialPort();
            port = openNoted(outcome, selector, settings, std::numeric_limits<int>::max(), run.interrupts);
            port.discardInput();
            dropFromHost(pty);
            run.view.deviceEvent(outcome, sinceStartUs(), true, "");
            continue;
        }
        if (n > 0) {
            const Bytes bytes(buffer, buffer + n);
            sendToHost(pty, bytes);
            tally.bytes += bytes.size();
            recording.deviceSent(bytes, static_cast<std::uint64_t>(tally.elapsedUs / 1000));
            run.view.relayed(tally.elapsedUs, bytes, false);
        }
    }
    tally.elapsedUs = sinceStartUs();
    // Stopping is how a relay is meant to end, as a sim's.
    outcome.status = Status::stopped;
}

void runRelay(const RelayOptions& options, Run& run)
{
    const RecordFile record(options.record);
    sim::Recording recording;
    try {
        relay(options, run, recording);
    } catch (const Error& error) {
        // What was said before the device went away is worth keeping too.
        record.write(recording.script());
        if (error.status() == Status::interrupted) {
            run.outcome.status = Status::stopped;
            return;
        }
        throw;
    }
    record.write(recording.script());
}

} // namespace

Command makeRelayCommand(CLI::App& app)
{
    auto options = std::make_shared<RelayOptions>();
    const CLI::Validator given = nonEmpty();
    CLI::App* relay = app.add_subcommand(
        "relay", "Put a real port behind a pseudo-terminal, pass every byte on, show it and record it");
    relay->add_option("port", options->port,
                      "The serial port: /dev/ttyUSB0, ...; or the adapter behind it: usb:VID:PID[:SERIAL], "
                      "location:LOC")
        ->required();
    relay->add_option("--link", options->link,
                      "The path host programs open: a symbolic link to the relay's pseudo-terminal, removed at exit; "
                      "PATH must not exist, unless it is a link to a pseudo-terminal that is gone")
        ->required()
        ->check(given);
    options->portOptions.add(*relay);
    relay->add_option("--record", options->record,
                      "Write what the device said to what the host sent as a sim script to FILE at the end, for "
                      "kestrin sim --script FILE")
        ->check(given);
    relay->add_flag("--reconnect", options->reconnect,
                    "When the device goes away, say so, wait for it to come back (the same port or the same "
                    "adapter) and go on; host programs keep their side open meanwhile");
    addJsonOption(*relay, options->json,
                  "One JSON object per chunk ({\"ms\", \"from\": \"host\" or \"device\", \"hex\", \"text\"}), and "
                  "one at the end");
    relay->footer(helpFooter(
        "Each line: the time since the relay began, -> for bytes the host sent to the device or <- for\n"
        "the device's, the bytes as hex, and as text with escapes. The port's settings are the options\n"
        "above: what a host program sets on the relay's terminal is not passed on to it.\n"
        "A recording keeps the device's pauses: each request (what the host sent since the device last\n"
        "spoke) becomes an 'on' rule answered with what the device sent until the host spoke again.\n"
        "Stops cleanly on SIGTERM, SIGINT or SIGHUP: exit status 0; 2 for a usage or port error, or\n"
        "when the device goes away without --reconnect (JSON status device_gone).",
        {
            {"relay /dev/ttyUSB0 -b 115200 --link /tmp/ttyDUT",
             "Point the host program at /tmp/ttyDUT and watch the conversation."},
            {"relay usb:0403:6001:A9XK3 --link /tmp/ttyDUT --record dut.sim",
             "Record the device; kestrin sim --script dut.sim plays it back."},
        }));
    return {relay, [options](Run& run) { runRelay(*options, run); },
            std::shared_ptr<const bool>(options, &options->json), {}};
}

} // namespace kestrin
