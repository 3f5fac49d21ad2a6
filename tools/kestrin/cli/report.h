// What a poll prints: the result line people read and the JSON object test
// stations parse.
#ifndef KESTRIN_TOOL_CLI_REPORT_H
#define KESTRIN_TOOL_CLI_REPORT_H

#include "host/poll_run.h"

#include <nlohmann/json.hpp>

#include <string>

namespace kestrin {

// "PORT: matched in 12 ms", or "PORT: no match within 1000 ms (the poll took
// 5003 ms)".
std::string resultLine(const PollRequest& request, const PollOutcome& outcome);

// The request as given: port, budget, bytes (escaped and as hex) and port
// settings. Every poll object carries these, an error's too.
nlohmann::json requestJson(const PollRequest& request);

// The library that was loaded: its path and dotted version.
nlohmann::json libraryJson(const std::string& path, int version);

// One object with the request, the outcome and, when it was loaded, the
// library. `libraryVersion` is 0 when the library was not loaded.
nlohmann::json resultJson(const PollRequest& request, const PollOutcome& outcome, const std::string& libraryPath,
                          int libraryVersion);

// 0x01000000 as "1.0.0.0": one number per byte, most significant first.
std::string dottedVersion(int version);

} // namespace kestrin

#endif
