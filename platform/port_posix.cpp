#include "port_io.h"

#include <climits>
#include <time.h>
#include <unistd.h>

int readPort(void* port, unsigned char* destination, int count, int* delivered, std::uint32_t)
{
    *delivered = 0;
    // The handle carries a file descriptor. A value that is no descriptor at
    // all must fail like a closed one rather than be truncated into some
    // other, possibly open, descriptor.
    const auto value = reinterpret_cast<std::intptr_t>(port);
    if (value < 0 || value > INT_MAX || count <= 0) {
        return 0;
    }
    // EAGAIN, EINTR, EIO, EBADF and end of file all deliver no byte; the
    // caller treats them like any empty read.
    const ssize_t got = ::read(static_cast<int>(value), destination, static_cast<size_t>(count));
    if (got < 0) {
        return 0;
    }
    *delivered = static_cast<int>(got);
    return 1;
}

std::uint32_t tickCount()
{
    // Monotonic, so that setting the wall clock cannot end a poll early or
    // stretch it; truncated to wrap the same way GetTickCount does.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}
