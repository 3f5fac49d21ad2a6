// The port options that poll and monitor share: line settings, flow
// control, the modem lines and the read wait, as typed and then checked.
#ifndef KESTRIN_TOOL_COMMANDS_PORT_OPTIONS_H
#define KESTRIN_TOOL_COMMANDS_PORT_OPTIONS_H

#include "host/port_settings.h"

#include <CLI/CLI.hpp>

#include <string>

namespace kestrin {

class PortOptions {
public:
    // Declares the options on `command`; the values land in this object,
    // which must outlive the parse.
    void add(CLI::App& command);

    // The settings typed, over the defaults. Throws UsageError naming the
    // option for a value it cannot take.
    PortSettings settings() const;

private:
    PortSettings typed_;
    std::string parity_ = "none";
    std::string flow_ = "none";
    std::string dtr_;
    std::string rts_;
    std::string readWait_ = "100ms";
};

// A time option's value in ms, or a UsageError naming `option`.
int durationOption(const std::string& value, const char* option);

} // namespace kestrin

#endif
