// Every write the tool makes to stdout or stderr. A write that fails (a
// closed pipe, a full disk) is an Error like any other, so that the command
// ends as after any error, its port put back, rather than with a crash, a
// signal, or a success nobody read.
#ifndef KESTRIN_TOOL_VIEWS_OUTPUT_H
#define KESTRIN_TOOL_VIEWS_OUTPUT_H

#include <string>
#include <string_view>

namespace kestrin {

// Writes `text` and flushes it. Throws Error when it could not.
void writeOut(std::string_view text);
void writeErr(std::string_view text);

// Whether stdout has failed: a report then goes to stderr instead.
bool outFailed();

// Where a file that takes `path` only once it is whole (a JUnit record, a
// recording) is written first: beside it, under a name of this process's
// own, so that no other file is touched. Throws a usage Error naming
// `option` when `path` exists and is not a regular file (a device, a
// directory, a link), which the rename would replace.
std::string partialBeside(const std::string& path, const char* option);

// Whether a person is watching stderr: the live status is only for them.
bool stderrIsTerminal();

} // namespace kestrin

#endif
