// What the tool prints: the result line people read and the JSON object test
// stations parse.
#ifndef KESTRIN_TOOL_REPORT_H
#define KESTRIN_TOOL_REPORT_H

#include "poll_run.h"

#include <nlohmann/json.hpp>

#include <string>

namespace kestrin {

// "PORT: matched in 12 ms", or "PORT: no match within 1000 ms (the poll took
// 5003 ms)".
std::string resultLine(const PollRequest& request, const PollOutcome& outcome);

// One object with the request, the outcome and, when it was loaded, the
// library. `libraryVersion` is 0 when the library was not loaded.
nlohmann::json resultJson(const PollRequest& request, const PollOutcome& outcome, const std::string& libraryPath,
                          int libraryVersion);

// The one line on stderr for a failed poll: "kestrin: PORT: cause".
std::string errorLine(const std::string& port, const std::string& cause);

// 0x01000000 as "1.0.0.0": one number per byte, most significant first.
std::string dottedVersion(int version);

} // namespace kestrin

#endif
