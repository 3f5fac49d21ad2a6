// What the library read: every byte its platform reads delivered from one
// port during a poll, with when it came. The real library does the polling,
// and its reads are the same with a trace as without; the trace only looks.
// One file per platform: Linux sees the library's read(2) calls, Windows the
// library's ReadFile calls, each routed through the tool.
#ifndef KESTRIN_TOOL_HOST_READ_TRACE_H
#define KESTRIN_TOOL_HOST_READ_TRACE_H

#include "host/library.h"

#include <cstdint>
#include <vector>

namespace kestrin {

struct TracedByte {
    std::int64_t atUs; // since the trace began
    unsigned char byte;
};

// Traces `library`'s reads of the port `portHandle` while it lives. One at a
// time in a process. Throws Error when this build cannot trace.
class ReadTrace {
public:
    ReadTrace(const Library& library, void* portHandle);
    ~ReadTrace();
    ReadTrace(const ReadTrace&) = delete;
    ReadTrace& operator=(const ReadTrace&) = delete;

    // The bytes so far, in the order the library read them.
    std::vector<TracedByte> bytes() const;
};

} // namespace kestrin

#endif
