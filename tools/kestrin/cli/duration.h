// Times as people type them: 500ms, 2s, 1.5s, 10m, 1h, or a plain number of
// milliseconds as earlier versions of the tool took.
#ifndef KESTRIN_TOOL_CLI_DURATION_H
#define KESTRIN_TOOL_CLI_DURATION_H

#include <string>
#include <string_view>

namespace kestrin {

// The duration in whole milliseconds, at most INT_MAX (what pollUart takes).
// On failure `error` says what is wrong and `ms` is left alone.
bool parseDurationMs(std::string_view text, int& ms, std::string& error);

} // namespace kestrin

#endif
