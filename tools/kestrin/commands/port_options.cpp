#include "commands/port_options.h"

#include "cli/duration.h"
#include "cli/error.h"

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
}

PortSettings PortOptions::settings() const
{
    PortSettings settings = typed_;
    if (!parseParity(parity_, settings.parity)) {
        throw UsageError(fmt::format("parity must be none, even, odd, mark or space, not '{}'", parity_));
    }
    if (!parseFlow(flow_, settings.flow)) {
        throw UsageError(fmt::format("flow control must be none, rtscts or xonxoff, not '{}'", flow_));
    }
    if (!dtr_.empty() && !parseLine(dtr_, settings.dtr)) {
        throw UsageError(fmt::format("--dtr must be on or off, not '{}'", dtr_));
    }
    if (!rts_.empty() && !parseLine(rts_, settings.rts)) {
        throw UsageError(fmt::format("--rts must be on or off, not '{}'", rts_));
    }
    settings.readWaitMs = durationOption(readWait_, "--read-wait");
    return settings;
}

int durationOption(const std::string& value, const char* option)
{
    int ms = 0;
    std::string why;
    if (!parseDurationMs(value, ms, why)) {
        throw UsageError(fmt::format("{}: {}", option, why));
    }
    return ms;
}

} // namespace kestrin
