// The one result model: how a command ended, with everything its reports
// show. Text and JSON (and a JUnit file) are views of it; the exit status
// comes from it through exitCode(), and nothing else decides one.
#ifndef KESTRIN_TOOL_BASE_OUTCOME_H
#define KESTRIN_TOOL_BASE_OUTCOME_H

#include "base/port_listing.h"
#include "base/request.h"
#include "base/status.h"

#include <chrono>
#include <cstdint>
#include <string_view>
#include <utility>
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

// What came of a poll that did not match: nothing at all, too few bytes for
// any attempt (each ended on the idle limit first), or the wrong ones. Each
// is a different failure on the line: no power or cable, a slow or cut-off
// device, a wrong device or baud rate.
enum class ReplyKind { silent, tooShort, wrong };

const char* replyName(ReplyKind kind); // "silent", "short", "wrong"

// What the library read in one poll: every byte with its time when asked
// to keep them, and in any case, in constant memory, how many, the first
// few, and whether an attempt ever had all the bytes it reads.
class ReadRecord {
public:
    static constexpr std::size_t firstKept = 16;
    // `replyLength`: the bytes each attempt reads.
    ReadRecord(std::size_t replyLength, bool keepAll);
    void add(std::int64_t atUs, unsigned char byte);

    std::uint64_t count() const { return count_; }
    const Bytes& first() const { return first_; }
    ReplyKind kind() const;
    const std::optional<Trace>& all() const { return all_; }

private:
    std::size_t replyLength_;
    std::uint64_t count_ = 0;
    Bytes first_;
    std::size_t inAttempt_ = 0;
    std::int64_t lastUs_ = 0;
    bool attemptFilled_ = false;
    std::optional<Trace> all_;
};

// One poll through the library.
struct PollResult {
    Status status = Status::error; // matched, noMatch, or a failure (deviceGone, error, ...)
    int result = 0;                // what pollUart answered
    long long elapsedMs = 0;       // how long it ran
    // Matched in an attempt that began within the budget but ended after it.
    bool late = false;
    std::string error;             // the cause, for a failure
    std::optional<Trace> trace;    // what the library read, when traced
    // What the library read, when its reads could be seen (always, in the
    // tool as built): how many bytes, the first of them, and for a poll
    // that did not match, what kind of reply that was.
    std::optional<std::uint64_t> receivedBytes;
    Bytes firstBytes;
    std::optional<ReplyKind> reply;
};

struct LatencySpread {
    long long minMs = 0, medianMs = 0, p90Ms = 0, maxMs = 0;
};

// The times to match of any number of polls in constant memory: to the
// millisecond below exactBelowMs, and within 1/4096 of the time above it.
class MatchTimes {
public:
    static constexpr long long exactBelowMs = 8192;
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
    // Device-gone events that the port came back from (--reconnect).
    std::int64_t reconnects = 0;

    void add(const PollResult& poll);
    // The run's status: the last failure's if a poll failed (other than a
    // device gone that came back), else no match if one did not match (or,
    // with `strict`, matched late), else matched.
    Status status(bool strict) const;
};

struct LibraryInfo {
    std::string path;
    int version = 0;
};

// What a monitor saw, or what a relay passed on.
struct MonitorTally {
    std::uint64_t bytes = 0; // from the device
    std::int64_t elapsedUs = 0;
    // relay: the path its host programs open, and the bytes they sent.
    std::string link;
    std::uint64_t sentBytes = 0;
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
    bool showTrace = false;              // --trace: every byte read is shown

    // For the records a test station keeps (JSON, JUnit).
    std::string selector;                // the port as named, when by identity
    std::optional<PortListing> identity; // what the system lists of the port opened
    std::optional<long long> waitedMs;   // how long --wait-port waited
    std::string startedAt;               // UTC, ISO 8601
    std::string host;                    // this machine's name
    std::vector<std::pair<std::string, std::string>> labels; // --label KEY=VALUE, in order
    std::string name;                    // --name: what the run is called in a JUnit file
};

int exitCode(const Outcome& outcome);

// "2026-12-10T08:30:05.123Z": a moment in UTC, as ISO 8601 writes it.
std::string isoUtc(std::chrono::system_clock::time_point at);

// "KEY=VALUE" as a label; a usage Error for anything else.
std::pair<std::string, std::string> parseLabel(std::string_view text);

// 0x01000000 as "1.0.0.0": one number per byte, most significant first.
std::string dottedVersion(int version);

} // namespace kestrin

#endif
