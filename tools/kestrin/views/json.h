// The JSON test stations parse: one object per command (one per line for
// monitor's arrivals), every error as such an object too.
#ifndef KESTRIN_TOOL_VIEWS_JSON_H
#define KESTRIN_TOOL_VIEWS_JSON_H

#include "base/outcome.h"

#include <nlohmann/json.hpp>

namespace kestrin {

// The request as far as it was read: port, budget, bytes (escaped and as
// hex) and port settings.
nlohmann::json requestJson(const PollRequest& request);

// The library that was loaded: its path and dotted version.
nlohmann::json libraryJson(const LibraryInfo& library);

// One poll's result: status and exit code, then for a poll that ran its
// result, time and lateness, for one that failed the error; and, when
// traced, what the library read.
nlohmann::json pollJson(const PollResult& poll, bool strict, bool withTrace);

// What a test station's record needs beyond the result: the selector and the
// port's identity, how long it was waited for, when and where the run began,
// and its labels.
nlohmann::json recordJson(const Outcome& outcome);

// [{"ms": 2.107, "byte": "4e", "char": "N"}, ...]
nlohmann::json traceJson(const Trace& trace);

// The counts of --repeat and the matches' times (null without a match).
nlohmann::json summaryJson(const PollSummary& summary);

// What arrived on a monitored port: {"ms", "hex", "text"}.
nlohmann::json arrivalJson(std::int64_t atUs, const Bytes& bytes);

// A port as `ports` lists it; ids as USB tools print them, null without one.
nlohmann::json portJson(const PortListing& port);

// The whole report of an outcome, as one object (or, for ports, an array).
nlohmann::json outcomeJson(const Outcome& outcome);

// One line of JSON. Text that is not UTF-8 (a port's name may be anything)
// is never a failure: it is replaced.
std::string jsonLine(const nlohmann::json& j);

} // namespace kestrin

#endif
