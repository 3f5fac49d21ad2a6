// kestrin monitor: print what arrives on a port, as it arrives, until Ctrl-C
// or --duration. The tool reads the port itself here; no library is loaded.
#include "commands/command.h"
#include "commands/port_options.h"

#include "cli/bytes.h"
#include "cli/report.h"
#include "host/interrupt.h"
#include "host/serial_port.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>

namespace kestrin {

namespace {

// How long one read waits: short enough that --duration ends on time.
const int sliceMs = 100;

struct MonitorOptions {
    std::string port;
    PortOptions portOptions;
    std::string send, sendHex, duration;
    bool json = false;
};

struct Totals {
    std::uint64_t bytes = 0;
    std::int64_t elapsedUs = 0;
};

nlohmann::json endJson(const std::string& port, const Totals& totals, const char* status, int exitCode)
{
    return {{"port", port},
            {"status", status},
            {"exit_code", exitCode},
            {"bytes", totals.bytes},
            {"elapsed_ms", static_cast<double>(totals.elapsedUs) / 1000.0}};
}

int runMonitor(const MonitorOptions& options, ErrorReport& report)
{
    report.subject = options.port;
    report.fields = {{"port", options.port}};
    const PortSettings settings = options.portOptions.settings();
    if (const std::string why = checkSettings(settings); !why.empty()) {
        throw UsageError(why);
    }
    Bytes send;
    std::string why;
    if (!options.sendHex.empty() ? !parseHex(options.sendHex, send, why) : !parseEscaped(options.send, send, why)) {
        throw UsageError(fmt::format("bad {} in the request: {}", options.sendHex.empty() ? "escape" : "hex", why));
    }
    const int durationMs = options.duration.empty() ? -1 : durationOption(options.duration, "--duration");

    SerialPort port = SerialPort::open(options.port, settings);
    std::mutex mutex; // the totals, and stdout between a read and Ctrl-C
    Totals totals;
    const InterruptGuard guard([&] {
        port.restoreSettings();
        const std::lock_guard<std::mutex> lock(mutex);
        if (options.json) {
            printJson(endJson(options.port, totals, "interrupted", interruptedExitCode));
        } else {
            fmt::print(stderr, "kestrin: {}: interrupted after {} bytes\n", options.port, totals.bytes);
        }
    });
    if (!options.json) {
        fmt::print(stderr, "kestrin: monitoring {} at {} baud{}\n", options.port, settings.baud,
                   durationMs < 0 ? ", Ctrl-C to stop" : "");
    }
    port.discardInput();
    port.write(send);

    const auto start = std::chrono::steady_clock::now();
    const auto sinceStartUs = [&start] {
        return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start)
            .count();
    };
    unsigned char buffer[4096];
    for (;;) {
        int waitMs = sliceMs;
        if (durationMs >= 0) {
            const auto left = durationMs - sinceStartUs() / 1000;
            if (left <= 0) {
                break;
            }
            waitMs = static_cast<int>(std::min<std::int64_t>(left, sliceMs));
        }
        const std::size_t n = port.read(buffer, sizeof buffer, waitMs);
        const std::int64_t at = sinceStartUs();
        const std::lock_guard<std::mutex> lock(mutex);
        totals.elapsedUs = at;
        if (n == 0) {
            continue;
        }
        const Bytes bytes(buffer, buffer + n);
        totals.bytes += n;
        if (options.json) {
            printJson(arrivalJson(at, bytes));
        } else {
            fmt::print("{}\n", arrivalLine(at, bytes));
            std::fflush(stdout);
        }
    }
    const std::lock_guard<std::mutex> lock(mutex);
    if (options.json) {
        printJson(endJson(options.port, totals, "done", 0));
    } else {
        fmt::print(stderr, "kestrin: {}: {} bytes in {:.1f} s\n", options.port, totals.bytes,
                   static_cast<double>(totals.elapsedUs) / 1e6);
    }
    return 0;
}

} // namespace

Command makeMonitorCommand(CLI::App& app)
{
    auto options = std::make_shared<MonitorOptions>();
    CLI::App* monitor = app.add_subcommand("monitor", "Print what arrives on a port, as it arrives");
    monitor->add_option("port", options->port, "The serial port: /dev/ttyUSB0, COM3, ...")->required();
    options->portOptions.add(*monitor);
    auto* send = monitor->add_option("-s,--send", options->send, "Bytes to send first (escapes \\r \\n \\t \\\\ \\xHH)");
    auto* sendHex = monitor->add_option("--send-hex", options->sendHex, "Bytes to send first, as hex");
    send->excludes(sendHex);
    monitor->add_option("-d,--duration", options->duration, "Stop after this long: 500ms, 10s, 5m (default: Ctrl-C)");
    monitor->add_flag("-j,--json", options->json,
                      "One JSON object per arrival ({\"ms\", \"hex\", \"text\"}), and one at the end");
    monitor->footer(helpFooter(
        "Each line: the time since the monitor began, the bytes as hex, and as text with escapes.\n"
        "Exit status: 0 after --duration, 2 usage or port error (JSON status busy, device_gone or error),\n"
        "130 on Ctrl-C.",
        {
            {"monitor " KESTRIN_EXAMPLE_PORT " -b 115200", "Everything the device says at 115200 baud, until Ctrl-C."},
            {"monitor " KESTRIN_EXAMPLE_PORT " -s \"STATUS?\\r\" -d 2s", "Ask for the status, then watch for 2 s."},
            {"monitor " KESTRIN_EXAMPLE_PORT " -d 10m --json", "Ten minutes of traffic as JSON lines, for a log."},
        }));
    return {monitor, [options](ErrorReport& report) { return runMonitor(*options, report); },
            std::shared_ptr<const bool>(options, &options->json)};
}

} // namespace kestrin
