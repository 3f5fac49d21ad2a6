// The library's reads on Linux: the tool exports a read() of its own (see
// read_trace_posix.list), and the dynamic linker binds the dlopen'ed library's
// calls to it before the C library's. It hands every call on unchanged and
// notes the bytes delivered on the traced descriptor; the library reads
// exactly what it would without the trace. A relay through a second
// pseudo-terminal would have changed what the library consumes.

// A fortified <unistd.h> defines read() inline, which would clash with the
// definition here; this file only hands reads on, so it needs no checks.
#undef _FORTIFY_SOURCE

#include "host/read_trace.h"

#include "base/error.h"

#include <dlfcn.h>
#include <sys/types.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <mutex>

namespace {

using ReadFunction = ssize_t (*)(int, void*, size_t);

// The read() that would have been called: the C library's, or a
// sanitizer's in front of it. Found on the first call.
std::atomic<ReadFunction> nextRead{nullptr};

ReadFunction resolveNextRead()
{
    ReadFunction next = nextRead.load();
    if (next == nullptr) {
        void* found = dlsym(RTLD_NEXT, "read");
        // Object to function pointer, as dlsym requires.
        next = reinterpret_cast<ReadFunction>(found);
        nextRead.store(next);
    }
    return next;
}

struct TraceState {
    std::atomic<int> fd{-1};
    std::chrono::steady_clock::time_point start;
    std::mutex mutex;
    kestrin::ReadRecord record{0, false};
};

// Never destroyed: read() may still be called by a thread while the
// process exits.
TraceState& traceState()
{
    static TraceState* traced = new TraceState;
    return *traced;
}

void note(const void* buffer, ssize_t count)
{
    TraceState& traced = traceState();
    const auto atUs = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now()
                                                                             - traced.start)
                          .count();
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    const std::lock_guard<std::mutex> lock(traced.mutex);
    // Nothing may be thrown back through the library's frames; a byte
    // that finds no memory is left out of the record.
    try {
        for (ssize_t i = 0; i < count; ++i) {
            traced.record.add(static_cast<std::int64_t>(atUs), bytes[i]);
        }
    } catch (...) {
    }
}

} // namespace

// Every read() of the process comes through here, the tool's own included.
extern "C" ssize_t read(int fd, void* buffer, size_t count)
{
    ReadFunction next = nextRead.load();
    if (next == nullptr) {
        next = resolveNextRead();
    }
    const ssize_t got = next(fd, buffer, count);
    if (got > 0 && fd == traceState().fd.load()) {
        const int saved = errno;
        note(buffer, got);
        errno = saved;
    }
    return got;
}

namespace kestrin {

ReadTrace::ReadTrace(const Library& library, void* portHandle, std::size_t replyLength, bool keepAll)
{
    // The library binds to the first read() in the global scope; unless
    // that is the one above (the executable exports it), nothing would be
    // seen, and an empty trace would lie.
    void* first = dlsym(RTLD_DEFAULT, "read");
    if (!library.loaded() || first != reinterpret_cast<void*>(&::read) || resolveNextRead() == nullptr) {
        throw Error("this build of the tool cannot trace the library's reads (read() is not exported)");
    }
    TraceState& traced = traceState();
    const std::lock_guard<std::mutex> lock(traced.mutex);
    if (traced.fd.load() >= 0) {
        throw Error("cannot trace two polls at once");
    }
    traced.record = ReadRecord(replyLength, keepAll);
    traced.start = std::chrono::steady_clock::now();
    traced.fd.store(static_cast<int>(reinterpret_cast<std::intptr_t>(portHandle)));
}

ReadTrace::~ReadTrace()
{
    traceState().fd.store(-1);
}

ReadRecord ReadTrace::record() const
{
    TraceState& traced = traceState();
    const std::lock_guard<std::mutex> lock(traced.mutex);
    return traced.record;
}

} // namespace kestrin
