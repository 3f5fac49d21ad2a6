// The options more than one command takes, each declared here once: the
// port's settings, the library, --json, and the bytes to send.
#ifndef KESTRIN_TOOL_COMMANDS_OPTIONS_H
#define KESTRIN_TOOL_COMMANDS_OPTIONS_H

#include "base/bytes.h"
#include "base/lines.h"
#include "base/outcome.h"
#include "base/port_settings.h"

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace kestrin {

// Line settings, flow control, the modem lines and the read wait; how long
// to wait for the port to be there; and the pulses and sequences of modem
// line levels that reset a device.
class PortOptions {
public:
    // Declares the options on `command`; the values land in this object,
    // which must outlive the parse.
    void add(CLI::App& command);

    // The settings typed, over the defaults. Throws a usage Error naming the
    // option for a value it cannot take.
    PortSettings settings() const;

    // --wait-port in ms, or `otherwise` when it was not given.
    int waitPortMs(int otherwise) const;

    // --pulse and --lines, in the order they were typed.
    std::vector<LineStep> lineSteps() const;

private:
    PortSettings typed_;
    std::string parity_ = "none";
    std::string flow_ = "none";
    std::string dtr_;
    std::string rts_;
    std::string readWait_ = "100ms";
    std::string waitPort_;
    // (is a pulse, the words), as typed.
    std::vector<std::pair<bool, std::string>> lines_;
};

// Bytes given as escaped text or as hex, one or the other.
struct BytesOption {
    std::string text;
    std::string hex;
    // The bytes; a usage Error names `what` ("request").
    Bytes bytes(std::string_view what) const { return bytesFrom(text, hex, what); }
};

// -s/--send and --send-hex: what is sent first.
void addSendOption(CLI::App& command, BytesOption& send);

// --library: the Kestrin library to load.
void addLibraryOption(CLI::App& command, std::string& path);

// -j/--json, saying what the command prints then.
void addJsonOption(CLI::App& command, bool& json, const std::string& what);

// What a test station's record carries: --label KEY=VALUE (repeatable).
void addLabelOption(CLI::App& command, std::vector<std::string>& labels);

// The record's facts that every run has: when and where it began, and its
// labels. A usage Error for a label that is not KEY=VALUE.
void recordRun(Outcome& outcome, const std::vector<std::string>& labels);

// Refuses an empty value, which would otherwise read as the option not given.
CLI::Validator nonEmpty();

// A time option's value in ms; a usage Error names `option`.
int durationOption(const std::string& value, const char* option);

} // namespace kestrin

#endif
