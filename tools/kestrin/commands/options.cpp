#include "commands/options.h"

#include "base/duration.h"
#include "host/machine.h"

#include <fmt/format.h>

namespace kestrin {

void PortOptions::add(CLI::App& command)
{
    command.add_option("-b,--baud", typed_.baud, "Baud rate: any rate the port's driver takes (250000, 31250, ...)")
        ->capture_default_str();
    command.add_option("--data-bits", typed_.dataBits, "Data bits, 5 to 8")->capture_default_str();
    command.add_option("-p,--parity", parity_, "none, even, odd, mark or space (or N, E, O, M, S; any case)")
        ->capture_default_str();
    command.add_option("--stop-bits", typed_.stopBits, "1 or 2")->capture_default_str();
    command.add_option("--flow", flow_, "Flow control: none, rtscts or xonxoff")->capture_default_str();
    command.add_option("--dtr", dtr_, "Set DTR on or off (default: as the port has it)");
    command.add_option("--rts", rts_, "Set RTS on or off (default: as the port has it)");
    command.add_option("--read-wait", readWait_,
                       "How long one read waits for a byte: 100ms, 1s, ... (Linux rounds up to tenths of a second)")
        ->capture_default_str();
    command.add_option("--wait-port", waitPort_,
                       "Wait up to this long for a port that is not there yet, not yet openable or busy: 5s, 1m");
    // Kept in the order typed, across both options: the callbacks run as
    // each is parsed.
    command.add_option_function<std::vector<std::string>>(
               "--pulse",
               [this](const std::vector<std::string>& words) { lines_.emplace_back(true, words.back()); },
               "LINE=DURATION: drive dtr or rts to the opposite of its level for that long, then back; "
               "repeatable, e.g. --pulse dtr=100ms")
        ->expected(1)
        ->trigger_on_parse();
    command.add_option_function<std::vector<std::string>>(
               "--lines",
               [this](const std::vector<std::string>& words) { lines_.emplace_back(false, words.back()); },
               "Levels and waits in order, e.g. \"dtr=off rts=on 100ms rts=off\"; after the port is set up, before "
               "--send")
        ->expected(1)
        ->trigger_on_parse();
}

int PortOptions::waitPortMs(int otherwise) const
{
    return waitPort_.empty() ? otherwise : durationOption(waitPort_, "--wait-port");
}

std::vector<LineStep> PortOptions::lineSteps() const
{
    std::vector<LineStep> steps;
    for (const auto& [pulse, words] : lines_) {
        if (pulse) {
            steps.push_back(parsePulse(words));
        } else {
            const std::vector<LineStep> sequence = parseLineSequence(words);
            steps.insert(steps.end(), sequence.begin(), sequence.end());
        }
    }
    return steps;
}

PortSettings PortOptions::settings() const
{
    PortSettings settings = typed_;
    settings.parity = parseParity(parity_);
    settings.flow = parseFlow(flow_);
    if (!dtr_.empty()) {
        settings.dtr = parseLine(dtr_, "--dtr");
    }
    if (!rts_.empty()) {
        settings.rts = parseLine(rts_, "--rts");
    }
    settings.readWaitMs = durationOption(readWait_, "--read-wait");
    return settings;
}

void addSendOption(CLI::App& command, BytesOption& send)
{
    auto* text = command.add_option("-s,--send", send.text, "Bytes to send first (escapes \\r \\n \\t \\\\ \\xHH)");
    auto* hex = command.add_option("--send-hex", send.hex, "Bytes to send first, as hex: \"01 03\"");
    text->excludes(hex);
}

void addLibraryOption(CLI::App& command, std::string& path)
{
    command.add_option("--library", path, "The Kestrin library to load (default: beside this program)");
}

void addJsonOption(CLI::App& command, bool& json, const std::string& what)
{
    command.add_flag("-j,--json", json, what);
}

void addLabelOption(CLI::App& command, std::vector<std::string>& labels)
{
    command.add_option("--label", labels,
                       "KEY=VALUE for the record (JSON labels, JUnit properties); repeatable: --label dut=SN1234 "
                       "--label station=3");
}

void recordRun(Outcome& outcome, const std::vector<std::string>& labels)
{
    outcome.startedAt = isoUtc(std::chrono::system_clock::now());
    outcome.host = machineName();
    for (const std::string& label : labels) {
        outcome.labels.push_back(parseLabel(label));
    }
}

int durationOption(const std::string& value, const char* option)
{
    return parseDurationMs(value, fmt::format("{}: ", option));
}

CLI::Validator nonEmpty()
{
    return CLI::Validator(
        [](std::string& value) { return value.empty() ? std::string("must not be empty") : std::string(); }, "");
}

} // namespace kestrin
