// The modem lines a host drives to reset a device or put it in its boot
// mode: --pulse dtr=100ms, and --lines "dtr=off rts=on 100ms rts=off".
#ifndef KESTRIN_TOOL_BASE_LINES_H
#define KESTRIN_TOOL_BASE_LINES_H

#include <string>
#include <string_view>
#include <vector>

namespace kestrin {

enum class ModemLine { dtr, rts };

const char* lineName(ModemLine line); // "DTR", "RTS"

struct LineStep {
    enum class Kind {
        set,   // the line to `on`
        pulse, // the line to the opposite of its present level for `ms`, then back
        wait,  // `ms` with the lines as they are
    };
    Kind kind = Kind::wait;
    ModemLine line = ModemLine::dtr;
    bool on = false;
    int ms = 0;
};

// "dtr=100ms": one pulse. A usage Error names --pulse.
LineStep parsePulse(std::string_view text);

// "dtr=off rts=on 100ms rts=off": levels and waits, in order. A usage Error
// names --lines and the word.
std::vector<LineStep> parseLineSequence(std::string_view text);

} // namespace kestrin

#endif
