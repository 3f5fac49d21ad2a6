// kestrin.dll calls ReadFile through its import address table; while a
// trace lives, that entry points at tracedReadFile below, which makes the
// very same call and notes the bytes it delivered. The library's code and
// its reads are untouched: only who forwards them changes.
#include "host/read_trace.h"

#include "base/error.h"
#include "host/import_table_windows.h"
#include "host/windows_text.h"

#include <windows.h>

#include <fmt/format.h>

#include <atomic>
#include <mutex>

namespace kestrin {

namespace {

using ReadFileFunction = BOOL(WINAPI*)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);

struct TraceState {
    std::mutex mutex;
    bool active = false;
    HANDLE port = nullptr;
    void** slot = nullptr;
    LARGE_INTEGER start{};
    LARGE_INTEGER frequency{};
    ReadRecord record{0, false};
};

// Never destroyed: a read may still come through the hook while the
// process exits.
TraceState& trace()
{
    static TraceState* const t = new TraceState;
    return *t;
}

// Set once and never cleared: a read already inside the hook when the trace
// ends still needs somewhere to go.
std::atomic<ReadFileFunction> realReadFile{nullptr};

std::int64_t microsecondsSince(const LARGE_INTEGER& start, const LARGE_INTEGER& frequency)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const std::int64_t ticks = now.QuadPart - start.QuadPart;
    // In two parts, so that a long trace cannot overflow the product.
    return ticks / frequency.QuadPart * 1000000 + ticks % frequency.QuadPart * 1000000 / frequency.QuadPart;
}

BOOL WINAPI tracedReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD delivered, LPOVERLAPPED overlapped)
{
    const BOOL ok = realReadFile.load()(file, buffer, toRead, delivered, overlapped);
    // The caller judges the read by its result and GetLastError: both must
    // be what ReadFile left, whatever the recording does.
    const DWORD error = GetLastError();
    // An overlapped read's bytes arrive later; the library makes none.
    if (delivered != nullptr && *delivered > 0 && overlapped == nullptr) {
        TraceState& t = trace();
        std::lock_guard<std::mutex> lock(t.mutex);
        if (t.active && file == t.port) {
            const std::int64_t atUs = microsecondsSince(t.start, t.frequency);
            const auto* bytes = static_cast<const unsigned char*>(buffer);
            // Nothing may be thrown back through the library's frames; a
            // byte that finds no memory is left out of the trace.
            try {
                for (DWORD i = 0; i < *delivered; ++i) {
                    t.record.add(atUs, bytes[i]);
                }
            } catch (...) {
            }
        }
    }
    SetLastError(error);
    return ok;
}

} // namespace

ReadTrace::ReadTrace(const Library& library, void* portHandle, std::size_t replyLength, bool keepAll)
{
    void** slot = importSlot(static_cast<HMODULE>(library.module()), "kernel32.dll", "ReadFile");
    if (slot == nullptr) {
        throw Error(fmt::format("cannot trace the reads of {}: it does not import ReadFile from KERNEL32.dll",
                                library.path()));
    }
    TraceState& t = trace();
    std::lock_guard<std::mutex> lock(t.mutex);
    if (t.active) {
        throw Error("cannot trace two polls at once");
    }
    // What the loader bound: normally KERNEL32's ReadFile, but whatever it
    // is, the traced reads go on to it.
    ReadFileFunction bound = reinterpret_cast<ReadFileFunction>(*slot);
    if (bound == &tracedReadFile) {
        throw Error("cannot trace: the library's reads are already routed through the tool");
    }
    realReadFile.store(bound);
    t.port = static_cast<HANDLE>(portHandle);
    t.slot = slot;
    t.record = ReadRecord(replyLength, keepAll);
    QueryPerformanceFrequency(&t.frequency);
    QueryPerformanceCounter(&t.start);
    t.active = true;
    if (exchangeImport(slot, reinterpret_cast<void*>(&tracedReadFile)) == nullptr) {
        t.active = false;
        throw Error(fmt::format("cannot trace the reads of {}: {}", library.path(), windowsErrorText(GetLastError())));
    }
}

ReadTrace::~ReadTrace()
{
    TraceState& t = trace();
    std::lock_guard<std::mutex> lock(t.mutex);
    exchangeImport(t.slot, reinterpret_cast<void*>(realReadFile.load()));
    t.active = false;
    t.slot = nullptr;
    t.port = nullptr;
}

ReadRecord ReadTrace::record() const
{
    TraceState& t = trace();
    std::lock_guard<std::mutex> lock(t.mutex);
    return t.record;
}

} // namespace kestrin
