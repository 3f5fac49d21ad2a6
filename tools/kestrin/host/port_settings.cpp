#include "host/port_settings.h"

#include <fmt/format.h>

#include <algorithm>
#include <iterator>

namespace kestrin {

namespace {

const std::uint32_t bauds[] = {
    50,     75,     110,    134,    150,    200,     300,     600,     1200,    1800,
    2400,   4800,   9600,   19200,  38400,  57600,   115200,  230400,  460800,  500000,
    576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000,
};

} // namespace

bool isKnownBaud(std::uint32_t baud)
{
    return std::find(std::begin(bauds), std::end(bauds), baud) != std::end(bauds);
}

std::string knownBauds()
{
    return fmt::format("{}", fmt::join(std::begin(bauds), std::end(bauds), " "));
}

std::string checkSettings(const PortSettings& settings)
{
    if (!isKnownBaud(settings.baud)) {
        return fmt::format("unknown baud rate {} (known: {})", settings.baud, knownBauds());
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

} // namespace kestrin
