// How a command ended. The exit status and the name a script reads are
// derived from it here, and nowhere else.
#ifndef KESTRIN_TOOL_BASE_STATUS_H
#define KESTRIN_TOOL_BASE_STATUS_H

namespace kestrin {

enum class Status {
    ok,          // a command that shows something: about, ports, --version
    matched,     // the expected reply came
    noMatch,     // it did not, within the budget
    done,        // monitor: --duration ran out; sim: its rounds, or its hang-up
    stopped,     // sim: stopped by a signal, which is how it is meant to end
    interrupted, // Ctrl-C, SIGTERM, SIGHUP while a port was held
    usage,       // a mistake in what was typed: points to the command's help
    error,       // anything else that went wrong
    busy,        // the port is another program's
    deviceGone,  // the device went away (hung up, removed, failed)
};

// The name in JSON ("no_match", "device_gone"; a usage error is an "error").
const char* statusName(Status status);

// 0 success, 1 no match, 2 error, 130 interrupted. With `strictLate`, a
// match that came after the budget counts as none (--strict).
int exitCode(Status status, bool strictLate = false);

// Whether the status is a failure with a cause to tell (exit status 2).
bool isFailure(Status status);

} // namespace kestrin

#endif
