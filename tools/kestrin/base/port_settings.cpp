#include "base/port_settings.h"

#include "base/error.h"

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

void checkSettings(const PortSettings& settings)
{
    if (settings.baud == 0) {
        throw usageError("the baud rate must be at least 1");
    }
    if (settings.dataBits < 5 || settings.dataBits > 8) {
        throw usageError(fmt::format("data bits must be 5 to 8, not {}", settings.dataBits));
    }
    if (settings.stopBits != 1 && settings.stopBits != 2) {
        throw usageError(fmt::format("stop bits must be 1 or 2, not {}", settings.stopBits));
    }
    if (settings.readWaitMs < minReadWaitMs || settings.readWaitMs > maxReadWaitMs) {
        throw usageError(fmt::format("read wait must be {} to {} ms, not {}", minReadWaitMs, maxReadWaitMs,
                                     settings.readWaitMs));
    }
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

Parity parseParity(std::string_view name)
{
    const std::string lower = lowerCase(name);
    for (const Parity p : {Parity::none, Parity::even, Parity::odd, Parity::mark, Parity::space}) {
        const std::string full = parityName(p);
        // N, E, O, M, S as in "8N1".
        if (lower == full || (lower.size() == 1 && lower[0] == full[0])) {
            return p;
        }
    }
    throw usageError(fmt::format("parity must be none, even, odd, mark or space, not '{}'", name));
}

Flow parseFlow(std::string_view name)
{
    const std::string lower = lowerCase(name);
    for (const Flow f : {Flow::none, Flow::rtsCts, Flow::xonXoff}) {
        if (lower == flowName(f)) {
            return f;
        }
    }
    throw usageError(fmt::format("flow control must be none, rtscts or xonxoff, not '{}'", name));
}

Line parseLine(std::string_view name, std::string_view option)
{
    const std::string lower = lowerCase(name);
    if (lower == "on" || lower == "off") {
        return lower == "on" ? Line::on : Line::off;
    }
    throw usageError(fmt::format("{} must be on or off, not '{}'", option, name));
}

} // namespace kestrin
