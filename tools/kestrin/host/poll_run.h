// One poll as a host does it: check the request, open and configure the port,
// discard stale input, send the request, call pollUart, time it.
#ifndef KESTRIN_TOOL_HOST_POLL_RUN_H
#define KESTRIN_TOOL_HOST_POLL_RUN_H

#include "cli/bytes.h"
#include "host/library.h"
#include "host/port_settings.h"

#include <string>

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
    std::string error;        // the cause, when status is error
};

// Empty when the request can be polled, otherwise why not. Nothing is
// touched: this runs before the library is loaded or the port opened.
std::string checkRequest(const PollRequest& request);

// The exit status a poll outcome maps to: 0 matched, 1 not, 2 error.
int exitCode(PollStatus status);

// Runs the poll through `library`. With `liveStatus`, a status line on
// stderr tells how long the poll has run once it takes a while. A port that
// cannot be opened, configured or written throws Error.
PollOutcome runPoll(const Library& library, const PollRequest& request, bool liveStatus);

} // namespace kestrin

#endif
