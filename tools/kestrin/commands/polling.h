// One poll as the poll and demo commands make it: through the library on a
// thread of its own, while this thread shows the live status and watches
// for Ctrl-C.
#ifndef KESTRIN_TOOL_COMMANDS_POLLING_H
#define KESTRIN_TOOL_COMMANDS_POLLING_H

#include "commands/command.h"
#include "host/background.h"
#include "host/poll_session.h"

namespace kestrin {

// Drives the lines through `lines`, sends the request and polls. On Ctrl-C while the library polls, the port
// is put back, the outcome so far reported as interrupted and the process
// ended with 130 at once: the library's call cannot be cut short, and what
// it uses must not be torn down under it. Throws Error as the session does.
PollResult pollWatched(Run& run, PollSession& session, Background& worker, bool trace,
                       const std::vector<LineStep>& lines = {});

} // namespace kestrin

#endif
