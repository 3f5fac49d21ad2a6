#include "port_io.h"

#include <windows.h>

namespace {

// A handle that was closed, never valid, or whose device went away fails
// every read at once; retried at once, it would spin. A short pause keeps the
// retries cheap while the idle limit still ends the attempt on time.
const DWORD failedReadPauseMs = 10;

} // namespace

int readPort(void* port, unsigned char* destination, int count, int* delivered, std::uint32_t waitMs,
             PortNotes* /*notes*/)
{
    // Synchronous on purpose: no OVERLAPPED, so the host's COMMTIMEOUTS decide
    // how long a read waits for a byte.
    DWORD got = 0;
    const BOOL ok = ReadFile(static_cast<HANDLE>(port), destination, static_cast<DWORD>(count), &got, nullptr);
    *delivered = static_cast<int>(got);
    if (!ok) {
        Sleep(waitMs < failedReadPauseMs ? static_cast<DWORD>(waitMs) : failedReadPauseMs);
    }
    return ok;
}

std::uint32_t tickCount()
{
    return GetTickCount();
}
