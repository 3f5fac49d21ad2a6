// The one result model: how a command ended, with everything its reports
// show. Text and JSON (and a JUnit file) are views of it; the exit status
// comes from it through exitCode(), and nothing else decides one.
#ifndef KESTRIN_TOOL_BASE_OUTCOME_H
#define KESTRIN_TOOL_BASE_OUTCOME_H

#include "base/port_listing.h"
#include "base/request.h"
#include "base/status.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrin {

// A byte the library read, and when (since the poll began).
struct TracedByte {
    std::int64_t atUs;
    unsigned char byte;
};
using Trace = std::vector<TracedByte>;

// One poll through the library.
struct PollResult {
    Status status = Status::error; // matched, noMatch, or a failure (deviceGone, error, ...)
    int result = 0;                // what pollUart answered
    long long elapsedMs = 0;       // how long it ran
    // Matched in an attempt that began within the budget but ended after it.
    bool late = false;
    std::string error;             // the cause, for a failure
    std::optional<Trace> trace;    // what the library read, when traced
};

struct LatencySpread {
    long long minMs = 0, medianMs = 0, p90Ms = 0, maxMs = 0;
};

// The times to match of any number of polls in constant memory: to the
// millisecond below exactBelowMs, and within 1/4096 of the time above it.
class MatchTimes {
public:
    static const long long exactBelowMs = 8192;
    void add(long long ms);
    // Nearest-rank percentiles (the smallest time with at least that share
    // of the matches at or below it), the min and max exact; none when empty.
    std::optional<LatencySpread> spread() const;

private:
    std::vector<std::uint32_t> counts_; // by bucket, grown as times come
    std::uint64_t total_ = 0;
    long long min_ = 0, max_ = 0;
};

// What --repeat counts, whatever the number of polls.
struct PollSummary {
    std::int64_t polls = 0, matched = 0, late = 0, noMatch = 0, errors = 0;
    MatchTimes times; // of the matches, late ones included
    // The last failure's status and cause, for the summary's own.
    Status lastFailure = Status::error;
    std::string lastError;

    void add(const PollResult& poll);
    // The run's status: the last failure's if a poll failed, else no match
    // if one did not match (or, with `strict`, matched late), else matched.
    Status status(bool strict) const;
};

struct LibraryInfo {
    std::string path;
    int version = 0;
};

// What a monitor saw.
struct MonitorTally {
    std::uint64_t bytes = 0;
    std::int64_t elapsedUs = 0;
};

// How a command ended, and what its reports show. A command fills it in as
// it learns more, so that a failure says as much as is known.
struct Outcome {
    std::string command;                 // "poll": a usage error points to its help
    Status status = Status::ok;
    std::string error;                   // the cause, for a failure
    std::string subject;                 // leads the error line: the port
    bool strict = false;                 // --strict: a late match fails
    std::optional<PollRequest> request;  // a poll's request, as far as read
    std::optional<LibraryInfo> library;  // the library, once loaded
    std::optional<PollResult> poll;      // the one poll, without --repeat
    int repeat = 0;                      // --repeat N
    std::optional<PollSummary> summary;  // with --repeat
    std::optional<MonitorTally> monitor; // monitor
    std::optional<std::string> about;    // about: the library's about text
    std::optional<std::vector<PortListing>> ports; // ports
};

int exitCode(const Outcome& outcome);

// 0x01000000 as "1.0.0.0": one number per byte, most significant first.
std::string dottedVersion(int version);

} // namespace kestrin

#endif
