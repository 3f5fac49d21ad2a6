#include "host/port_settings.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>

namespace kestrin {

namespace {

std::string lowerCase(std::string_view text)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

} // namespace

std::string checkSettings(const PortSettings& settings)
{
    if (settings.baud == 0) {
        return "the baud rate must be at least 1";
    }
    if (settings.dataBits < 5 || settings.dataBits > 8) {
        return fmt::format("data bits must be 5 to 8, not {}", settings.dataBits);
    }
    if (settings.stopBits != 1 && settings.stopBits != 2) {
        return fmt::format("stop bits must be 1 or 2, not {}", settings.stopBits);
    }
    if (settings.readWaitMs < minReadWaitMs || settings.readWaitMs > maxReadWaitMs) {
        return fmt::format("read wait must be {} to {} ms, not {}", minReadWaitMs, maxReadWaitMs,
                           settings.readWaitMs);
    }
    return {};
}

const char* parityName(Parity parity)
{
    switch (parity) {
    case Parity::even: return "even";
    case Parity::odd: return "odd";
    case Parity::mark: return "mark";
    case Parity::space: return "space";
    case Parity::none: break;
    }
    return "none";
}

const char* flowName(Flow flow)
{
    switch (flow) {
    case Flow::rtsCts: return "rtscts";
    case Flow::xonXoff: return "xonxoff";
    case Flow::none: break;
    }
    return "none";
}

const char* lineName(Line line)
{
    switch (line) {
    case Line::on: return "on";
    case Line::off: return "off";
    case Line::keep: break;
    }
    return "keep";
}

bool parseParity(std::string_view name, Parity& parity)
{
    const std::string lower = lowerCase(name);
    for (const Parity p : {Parity::none, Parity::even, Parity::odd, Parity::mark, Parity::space}) {
        const std::string full = parityName(p);
        // N, E, O, M, S as in "8N1".
        if (lower == full || (lower.size() == 1 && lower[0] == full[0])) {
            parity = p;
            return true;
        }
    }
    return false;
}

bool parseFlow(std::string_view name, Flow& flow)
{
    const std::string lower = lowerCase(name);
    for (const Flow f : {Flow::none, Flow::rtsCts, Flow::xonXoff}) {
        if (lower == flowName(f)) {
            flow = f;
            return true;
        }
    }
    return false;
}

bool parseLine(std::string_view name, Line& line)
{
    const std::string lower = lowerCase(name);
    if (lower == "on" || lower == "off") {
        line = lower == "on" ? Line::on : Line::off;
        return true;
    }
    return false;
}

} // namespace kestrin
