#include "host/poll_session.h"

#include "host/read_trace.h"

#include <chrono>
#include <optional>

namespace kestrin {

PollSession::PollSession(const Library& library, const PollRequest& request, SerialPort port)
    : library_(library), request_(request), port_(std::move(port))
{
}

void PollSession::prepare(const std::vector<LineStep>& lines)
{
    port_.discardInput();
    port_.driveLines(lines);
    port_.write(request_.send);
}

PollResult PollSession::poll(bool trace)
{
    // pollUart only reads the pattern, but its parameter is not const.
    Bytes pattern = request_.expect;
    // The reads are always watched, so that a poll that did not match can
    // say what it saw; they are the same with the watch as without. Only
    // --trace needs every byte kept, and needs the watch to work at all.
    std::optional<ReadTrace> reads;
    try {
        reads.emplace(library_, port_.handle(), pattern.size(), trace);
    } catch (const Error&) {
        if (trace) {
            throw;
        }
    }
    PollResult poll;
    const auto start = std::chrono::steady_clock::now();
    poll.result =
        library_.pollUart(port_.handle(), static_cast<int>(pattern.size()), pattern.data(), request_.timeoutMs);
    // Rounded up: the library counts whole ticks, and a budget it saw spent
    // must not read as a shorter poll here.
    const auto us =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
    poll.elapsedMs = (us + 999) / 1000;
    if (reads) {
        const ReadRecord record = reads->record();
        reads.reset();
        poll.trace = record.all();
        poll.receivedBytes = record.count();
        poll.firstBytes = record.first();
        if (poll.result != 1) {
            poll.reply = record.kind();
        }
    }
    if (poll.result == 1) {
        poll.status = Status::matched;
        // The budget is checked only between attempts: an attempt that
        // began within it may match well after it.
        poll.late = poll.elapsedMs > request_.timeoutMs;
    } else if (port_.deviceGone()) {
        // A hung-up port reads like a silent one to the library.
        poll.status = Status::deviceGone;
        poll.error = "the device went away during the poll (the port hung up or failed)";
    } else {
        poll.status = Status::noMatch;
    }
    return poll;
}

} // namespace kestrin
