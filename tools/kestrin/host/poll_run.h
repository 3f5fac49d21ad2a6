// Polls as a host does them: check the request, open and configure the port,
// then for each poll discard stale input, send the request, call pollUart,
// time it, and tell a device that went away from one that did not answer.
#ifndef KESTRIN_TOOL_HOST_POLL_RUN_H
#define KESTRIN_TOOL_HOST_POLL_RUN_H

#include "cli/bytes.h"
#include "cli/live_status.h"
#include "host/library.h"
#include "host/port_settings.h"
#include "host/read_trace.h"
#include "host/serial_port.h"

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kestrin {

struct PollRequest {
    std::string port;
    PortSettings settings;
    Bytes expect;
    Bytes send;
    int timeoutMs = 1000;
};

// `error` is for an outcome recorded rather than thrown, when one poll of
// several fails.
enum class PollStatus { matched, noMatch, error };

struct PollOutcome {
    PollStatus status = PollStatus::error;
    int result = 0;           // what pollUart answered
    long long elapsedMs = 0;  // how long pollUart ran
    // Matched in an attempt that began within the budget but ended after it.
    bool late = false;
    std::string error;        // the cause, when status is error
    std::string errorStatus;  // its status for the JSON report: "error", "device_gone"
    // What the library read, when the poll was traced.
    bool traced = false;
    std::vector<TracedByte> trace;
};

// Empty when the request can be polled, otherwise why not. Nothing is
// touched: this runs before the library is loaded or the port opened.
std::string checkRequest(const PollRequest& request);

// The exit status a poll outcome maps to: 0 matched, 1 not, 2 error.
int exitCode(PollStatus status);
// The same for an outcome; with `strict` a late match counts as none.
int exitCode(const PollOutcome& outcome, bool strict);

// A port opened for one or more polls of one request. Ctrl-C may call
// interrupt() from another thread while a poll runs.
class PollSession {
public:
    // Opens the port. Throws Error (a busy port with the status "busy").
    PollSession(const Library& library, const PollRequest& request);
    PollSession(const PollSession&) = delete;
    PollSession& operator=(const PollSession&) = delete;

    // One poll. With `liveStatus`, a status line on stderr tells how long
    // it has run once it takes a while; with `trace`, the outcome holds
    // what the library read. A port that fails or a device that goes away
    // is an outcome with the status error, not an exception.
    PollOutcome poll(bool liveStatus, bool trace);

    // Wipes the live status line and puts the port's settings back, for an
    // interrupt that ends the process.
    void interrupt() noexcept;

private:
    const Library& library_;
    const PollRequest& request_;
    SerialPort port_;
    std::mutex mutex_;
    LiveStatus* status_ = nullptr; // while a poll shows one
};

// One poll through `library`, for the demo. Throws Error for a port that
// cannot be opened or a poll that fails.
PollOutcome runPoll(const Library& library, const PollRequest& request, bool liveStatus);

// What --repeat reports at the end. Late matches are counted among the
// matches too.
struct LatencySpread {
    long long minMs = 0, medianMs = 0, p90Ms = 0, maxMs = 0;
};

struct RepeatSummary {
    int polls = 0, matched = 0, noMatch = 0, late = 0, errors = 0;
    // Of the matches' times, each percentile the nearest rank; none without
    // a match.
    std::optional<LatencySpread> latency;
};

RepeatSummary summarize(const std::vector<PollOutcome>& outcomes);

// 2 with an error, else 1 with a poll that did not match (or, with
// `strict`, matched late), else 0.
int exitCode(const RepeatSummary& summary, bool strict);

} // namespace kestrin

#endif
