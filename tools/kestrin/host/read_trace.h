// What the library read: every byte its platform reads delivered from one
// port during a poll, with when it came. The real library does the polling,
// and its reads are the same with a trace as without; the trace only looks.
// One file per platform: Linux sees the library's read(2) calls, Windows the
// library's ReadFile calls, each routed through the tool.
#ifndef KESTRIN_TOOL_HOST_READ_TRACE_H
#define KESTRIN_TOOL_HOST_READ_TRACE_H

#include "base/outcome.h"
#include "host/library.h"

namespace kestrin {

// Traces `library`'s reads of the port `portHandle` while it lives, into a
// record of polls of `replyLength` bytes that keeps every byte when
// `keepAll`. One at a time in a process: a second is refused with an Error,
// as is a build that cannot trace.
class ReadTrace {
public:
    ReadTrace(const Library& library, void* portHandle, std::size_t replyLength, bool keepAll);
    ~ReadTrace();
    ReadTrace(const ReadTrace&) = delete;
    ReadTrace& operator=(const ReadTrace&) = delete;

    // What the library has read so far.
    ReadRecord record() const;
};

} // namespace kestrin

#endif
