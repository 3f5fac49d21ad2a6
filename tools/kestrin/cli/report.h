// What the commands print: the lines people read and the JSON objects test
// stations parse.
#ifndef KESTRIN_TOOL_CLI_REPORT_H
#define KESTRIN_TOOL_CLI_REPORT_H

#include "host/poll_run.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace kestrin {

// "PORT: matched in 12 ms", "PORT: matched in 1502 ms, late: after the
// budget of 1000 ms", or "PORT: no match within 1000 ms (the poll took
// 5003 ms)".
std::string resultLine(const PollRequest& request, const PollOutcome& outcome);

// The request as given: port, budget, bytes (escaped and as hex) and port
// settings. Every poll object carries these, an error's too.
nlohmann::json requestJson(const PollRequest& request);

// The library that was loaded: its path and dotted version.
nlohmann::json libraryJson(const std::string& path, int version);

// One poll's outcome: status, exit code, and for a poll that ran its
// result, time, lateness and, when traced, what the library read; for one
// that failed the error.
nlohmann::json outcomeJson(const PollOutcome& outcome, bool strict);

// One object with the request, the outcome and, when it was loaded, the
// library. `libraryVersion` is 0 when the library was not loaded.
nlohmann::json resultJson(const PollRequest& request, const PollOutcome& outcome, const std::string& libraryPath,
                          int libraryVersion, bool strict = false);

// What the library read, for people: a heading, then one line per group of
// bytes that came together, with the time since the poll began, the bytes
// as hex and as escaped text:
//   /dev/ttyUSB0: the library read 8 bytes:
//        2.107 ms  4e 4f 50 45  "NOPE"
std::string traceText(const std::string& port, const std::vector<TracedByte>& trace);

// The same as a list: [{"ms": 2.107, "byte": "4e", "char": "N"}, ...].
nlohmann::json traceJson(const std::vector<TracedByte>& trace);

// The end of --repeat:
//   PORT: 20 polls: 18 matched (1 late), 2 no match, 0 errors
//   PORT: time to match: min 10 ms, median 12 ms, p90 15 ms, max 31 ms
std::string summaryText(const std::string& port, const RepeatSummary& summary);
nlohmann::json summaryJson(const RepeatSummary& summary);

// What arrived on a monitored port at `atUs` since it began: a line
// "   0.012 s  4f 4b 0d 0a  "OK\r\n"", or an object {"ms", "hex", "text"}.
std::string arrivalLine(std::int64_t atUs, const Bytes& bytes);
nlohmann::json arrivalJson(std::int64_t atUs, const Bytes& bytes);

// 0x01000000 as "1.0.0.0": one number per byte, most significant first.
std::string dottedVersion(int version);

} // namespace kestrin

#endif
