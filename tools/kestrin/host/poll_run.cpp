#include "host/poll_run.h"

#include "cli/live_status.h"
#include "host/serial_port.h"
#include "kestrin.h"

#include <fmt/format.h>

#include <chrono>

namespace kestrin {

std::string checkRequest(const PollRequest& request)
{
    if (request.expect.empty()) {
        return "the expected reply is empty";
    }
    if (request.expect.size() > static_cast<std::size_t>(kestrinMaxLength)) {
        return fmt::format("the expected reply is {} bytes; the most is {}", request.expect.size(), kestrinMaxLength);
    }
    if (request.timeoutMs < 0) {
        return "the time-out must not be negative";
    }
    return checkSettings(request.settings);
}

int exitCode(PollStatus status)
{
    switch (status) {
    case PollStatus::matched: return 0;
    case PollStatus::noMatch: return 1;
    case PollStatus::error: break;
    }
    return 2;
}

PollOutcome runPoll(const Library& library, const PollRequest& request, bool liveStatus)
{
    SerialPort port = SerialPort::open(request.port, request.settings);
    port.discardInput();
    port.write(request.send);
    // pollUart only reads the pattern, but its parameter is not const.
    Bytes pattern = request.expect;
    PollOutcome outcome;
    {
        LiveStatus status(liveStatus, request.port, request.timeoutMs);
        const auto start = std::chrono::steady_clock::now();
        outcome.result = library.pollUart(port.handle(), static_cast<int>(pattern.size()), pattern.data(),
                                          request.timeoutMs);
        // Rounded up: the library counts whole ticks, and a budget it saw
        // spent must not read as a shorter poll here.
        const auto us =
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
        outcome.elapsedMs = (us + 999) / 1000;
    }
    outcome.status = outcome.result == 1 ? PollStatus::matched : PollStatus::noMatch;
    return outcome;
}

} // namespace kestrin
