// Every write the tool makes to stdout or stderr. A write that fails (a
// closed pipe, a full disk) is an Error like any other, so that the command
// ends as after any error, its port put back, rather than with a crash, a
// signal, or a success nobody read.
#ifndef KESTRIN_TOOL_VIEWS_OUTPUT_H
#define KESTRIN_TOOL_VIEWS_OUTPUT_H

#include <string_view>

namespace kestrin {

// Writes `text` and flushes it. Throws Error when it could not.
void writeOut(std::string_view text);
void writeErr(std::string_view text);

// Whether stdout has failed: a report then goes to stderr instead.
bool outFailed();

// Whether a person is watching stderr: the live status is only for them.
bool stderrIsTerminal();

} // namespace kestrin

#endif
