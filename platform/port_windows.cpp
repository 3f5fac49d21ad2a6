#include "port_io.h"

#include <windows.h>

int readPort(void* port, unsigned char* destination, int count, int* delivered, std::uint32_t)
{
    // Synchronous on purpose: no OVERLAPPED, so the host's COMMTIMEOUTS decide
    // how long a read waits for a byte.
    DWORD got = 0;
    const BOOL ok = ReadFile(static_cast<HANDLE>(port), destination, static_cast<DWORD>(count), &got, nullptr);
    *delivered = static_cast<int>(got);
    return ok;
}

std::uint32_t tickCount()
{
    return GetTickCount();
}
