// kestrin monitor: print what arrives on a port, as it arrives, until Ctrl-C
// or --duration. The tool reads the port itself here; no library is loaded.
#include "commands/command.h"
#include "commands/options.h"

#include "host/serial_port.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <memory>

namespace kestrin {

namespace {

// How long one read waits: short enough that --duration and Ctrl-C end the
// monitor on time.
const int sliceMs = 100;

struct MonitorOptions {
    std::string port;
    PortOptions portOptions;
    BytesOption send;
    std::string duration;
    bool json = false;
    bool reconnect = false;
    std::vector<std::string> labels;
};

void runMonitor(const MonitorOptions& options, Run& run)
{
    Outcome& outcome = run.outcome;
    outcome.subject = options.port;
    const PortSelector selector = parseSelector(options.port);
    const PortSettings settings = options.portOptions.settings();
    checkSettings(settings);
    const Bytes send = options.send.bytes("request");
    const int durationMs = options.duration.empty() ? -1 : durationOption(options.duration, "--duration");
    const std::vector<LineStep> lines = options.portOptions.lineSteps();
    const int waitMs = options.portOptions.waitPortMs(0);
    recordRun(outcome, options.labels);

    SerialPort port = openNoted(outcome, selector, settings, waitMs, run.interrupts);
    run.view.opened(outcome);
    MonitorTally& tally = outcome.monitor.emplace();
    run.view.monitoring(outcome, settings.baud, durationMs < 0);
    port.discardInput();
    port.driveLines(lines);
    port.write(send);

    const auto start = std::chrono::steady_clock::now();
    const auto sinceStartUs = [&start] {
        return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start)
            .count();
    };
    const auto msLeft = [&] {
        return durationMs < 0 ? std::numeric_limits<int>::max()
                              : static_cast<int>(std::max<std::int64_t>(durationMs - sinceStartUs() / 1000, 0));
    };
    unsigned char buffer[4096];
    for (;;) {
        if (run.interrupts.interrupted()) {
            outcome.status = Status::interrupted;
            return;
        }
        const int left = msLeft();
        if (left <= 0) {
            break;
        }
        std::size_t n = 0;
        try {
            n = port.read(buffer, sizeof buffer, std::min(left, sliceMs));
        } catch (const Error& error) {
            if (error.status() != Status::deviceGone || !options.reconnect) {
                throw;
            }
            // A reset adapter goes away and comes back, maybe as another
            // node: wait for it, for as long as the monitor has left.
            run.view.deviceEvent(outcome, sinceStartUs(), false, error.what());
            port = SerialPort();
            try {
                port = openNoted(outcome, selector, settings, msLeft(), run.interrupts);
            } catch (const Error& waited) {
                if (waited.status() == Status::interrupted || durationMs < 0 || msLeft() > 0) {
                    throw;
                }
                break; // --duration ran out while it waited
            }
            run.view.deviceEvent(outcome, sinceStartUs(), true, "");
            continue;
        }
        tally.elapsedUs = sinceStartUs();
        if (n > 0) {
            tally.bytes += n;
            run.view.arrived(tally.elapsedUs, Bytes(buffer, buffer + n));
        }
    }
    tally.elapsedUs = sinceStartUs();
    outcome.status = Status::done;
}

} // namespace

Command makeMonitorCommand(CLI::App& app)
{
    auto options = std::make_shared<MonitorOptions>();
    CLI::App* monitor = app.add_subcommand("monitor", "Print what arrives on a port, as it arrives");
    monitor->add_option("port", options->port,
                        "The serial port: /dev/ttyUSB0, COM3, ...; or the adapter behind it: usb:VID:PID[:SERIAL], "
                        "location:LOC")
        ->required();
    options->portOptions.add(*monitor);
    addSendOption(*monitor, options->send);
    monitor->add_option("-d,--duration", options->duration, "Stop after this long: 500ms, 10s, 5m (default: Ctrl-C)");
    monitor->add_flag("--reconnect", options->reconnect,
                      "When the device goes away, say so, wait for it to come back (the same port or the same "
                      "adapter) and go on");
    addLabelOption(*monitor, options->labels);
    addJsonOption(*monitor, options->json, "One JSON object per arrival ({\"ms\", \"hex\", \"text\"}), and one at the end");
    monitor->footer(helpFooter(
        "Each line: the time since the monitor began, the bytes as hex, and as text with escapes.\n"
        "Exit status: 0 after --duration, 2 usage or port error (JSON status busy, device_gone or error),\n"
        "130 on Ctrl-C.",
        {
            {"monitor " KESTRIN_EXAMPLE_PORT " -b 115200", "Everything the device says at 115200 baud, until Ctrl-C."},
            {"monitor " KESTRIN_EXAMPLE_PORT " -s \"STATUS?\\r\" -d 2s", "Ask for the status, then watch for 2 s."},
            {"monitor " KESTRIN_EXAMPLE_PORT " -d 10m --json", "Ten minutes of traffic as JSON lines, for a log."},
        }));
    return {monitor, [options](Run& run) { runMonitor(*options, run); },
            std::shared_ptr<const bool>(options, &options->json), {}};
}

} // namespace kestrin
