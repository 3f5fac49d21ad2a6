// How the host configures a serial port before it polls: line settings and
// the read wait that decides how long one read waits for a byte.
#ifndef KESTRIN_TOOL_BASE_PORT_SETTINGS_H
#define KESTRIN_TOOL_BASE_PORT_SETTINGS_H

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrin {

enum class Parity { none, even, odd, mark, space };

enum class Flow { none, rtsCts, xonXoff };

// A modem control line the host drives: left as the port has it, or set.
enum class Line { keep, on, off };

struct PortSettings {
    // Any rate the driver accepts, standard or not (250000 for DMX, ...).
    std::uint32_t baud = 9600;
    int dataBits = 8;
    Parity parity = Parity::none;
    int stopBits = 1;
    Flow flow = Flow::none;
    Line dtr = Line::keep;
    Line rts = Line::keep;
    // How long one read waits for a byte. Kestrin reads one byte at a time,
    // so this is the pace of its loop while the line is quiet.
    int readWaitMs = 100;
};

const int minReadWaitMs = 1;
// Linux counts the wait in tenths of a second, 255 at most.
const int maxReadWaitMs = 25500;

// A usage Error saying why when the settings are not usable. Whether the
// driver takes the baud rate only the port can tell.
void checkSettings(const PortSettings& settings);

const char* parityName(Parity parity);
const char* flowName(Flow flow);
const char* lineName(Line line);

// The names people type, in any case: parity none, even, odd, mark, space or
// their first letters; flow none, rtscts, xonxoff; a line on or off. Anything
// else is a usage Error naming the setting (for a line, `option`: "--dtr").
Parity parseParity(std::string_view name);
Flow parseFlow(std::string_view name);
Line parseLine(std::string_view name, std::string_view option);

} // namespace kestrin

#endif
