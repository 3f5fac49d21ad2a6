// Times as people type them: 500ms, 2s, 1.5s, 10m, 1h, or a plain number of
// milliseconds as earlier versions of the tool took.
#ifndef KESTRIN_TOOL_BASE_DURATION_H
#define KESTRIN_TOOL_BASE_DURATION_H

#include <string>
#include <string_view>

namespace kestrin {

// The duration in whole milliseconds, at most INT_MAX (what pollUart takes).
// Anything else is a usage Error saying what is wrong, after `context`
// ("--timeout: ").
int parseDurationMs(std::string_view text, std::string_view context = {});

} // namespace kestrin

#endif
