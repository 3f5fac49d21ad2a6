#include "host/poll_run.h"

#include "cli/error.h"
#include "kestrin.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>

namespace kestrin {

namespace {

// The nearest-rank percentile of sorted values: the smallest value with at
// least `percent` of them at or below it.
long long percentile(const std::vector<long long>& sorted, int percent)
{
    const std::size_t rank = (sorted.size() * static_cast<std::size_t>(percent) + 99) / 100;
    return sorted[std::max<std::size_t>(rank, 1) - 1];
}

} // namespace

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

int exitCode(const PollOutcome& outcome, bool strict)
{
    if (strict && outcome.status == PollStatus::matched && outcome.late) {
        return 1;
    }
    return exitCode(outcome.status);
}

PollSession::PollSession(const Library& library, const PollRequest& request)
    : library_(library), request_(request), port_(SerialPort::open(request.port, request.settings))
{
}

PollOutcome PollSession::poll(bool liveStatus, bool trace)
{
    PollOutcome outcome;
    try {
        port_.discardInput();
        port_.write(request_.send);
        // pollUart only reads the pattern, but its parameter is not const.
        Bytes pattern = request_.expect;
        LiveStatus status(liveStatus, request_.port, request_.timeoutMs);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            status_ = &status;
        }
        std::optional<ReadTrace> reads;
        if (trace) {
            reads.emplace(library_, port_.handle());
        }
        const auto start = std::chrono::steady_clock::now();
        outcome.result = library_.pollUart(port_.handle(), static_cast<int>(pattern.size()), pattern.data(),
                                           request_.timeoutMs);
        // Rounded up: the library counts whole ticks, and a budget it saw
        // spent must not read as a shorter poll here.
        const auto us =
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
        outcome.elapsedMs = (us + 999) / 1000;
        if (reads) {
            outcome.traced = true;
            outcome.trace = reads->bytes();
            reads.reset();
        }
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            status_ = nullptr;
        }
        if (outcome.result == 1) {
            outcome.status = PollStatus::matched;
            // The budget is checked only between attempts: an attempt that
            // began within it may match well after it.
            outcome.late = outcome.elapsedMs > request_.timeoutMs;
        } else if (port_.deviceGone()) {
            // A hung-up port reads like a silent one to the library.
            outcome.status = PollStatus::error;
            outcome.error = "the device went away during the poll (the port hung up or failed)";
            outcome.errorStatus = "device_gone";
        } else {
            outcome.status = PollStatus::noMatch;
        }
    } catch (const Error& error) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            status_ = nullptr;
        }
        outcome.status = PollStatus::error;
        outcome.error = error.what();
        outcome.errorStatus = error.status();
    }
    return outcome;
}

void PollSession::interrupt() noexcept
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (status_ != nullptr) {
            status_->finish();
        }
    }
    port_.restoreSettings();
}

PollOutcome runPoll(const Library& library, const PollRequest& request, bool liveStatus)
{
    PollSession session(library, request);
    PollOutcome outcome = session.poll(liveStatus, false);
    if (outcome.status == PollStatus::error) {
        throw Error(outcome.error, outcome.errorStatus);
    }
    return outcome;
}

RepeatSummary summarize(const std::vector<PollOutcome>& outcomes)
{
    RepeatSummary summary;
    std::vector<long long> times;
    for (const PollOutcome& outcome : outcomes) {
        ++summary.polls;
        switch (outcome.status) {
        case PollStatus::matched:
            ++summary.matched;
            summary.late += outcome.late ? 1 : 0;
            times.push_back(outcome.elapsedMs);
            break;
        case PollStatus::noMatch: ++summary.noMatch; break;
        case PollStatus::error: ++summary.errors; break;
        }
    }
    if (!times.empty()) {
        std::sort(times.begin(), times.end());
        summary.latency = LatencySpread{times.front(), percentile(times, 50), percentile(times, 90), times.back()};
    }
    return summary;
}

int exitCode(const RepeatSummary& summary, bool strict)
{
    if (summary.errors > 0) {
        return 2;
    }
    if (summary.noMatch > 0 || (strict && summary.late > 0)) {
        return 1;
    }
    return 0;
}

} // namespace kestrin
