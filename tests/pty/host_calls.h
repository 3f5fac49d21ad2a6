// What a host sees of a poll on a real port and the real clock: how long it
// took and how many read system calls the polling thread made for it.
#ifndef KESTRIN_TESTS_HOST_CALLS_H
#define KESTRIN_TESTS_HOST_CALLS_H

#include "kestrin.h"

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

using Clock = std::chrono::steady_clock;

// In microseconds: the module's tick counts whole milliseconds, so a poll
// that ends on the first tick past the idle limit may have run 5000.1 ms.
inline double msSince(Clock::time_point start)
{
    return static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count()) /
           1000.0;
}

inline int poll(void* port, std::string pattern, int timeoutMs)
{
    return pollUart(port, static_cast<int>(pattern.size()), reinterpret_cast<unsigned char*>(pattern.data()),
                    timeoutMs);
}

// Read system calls made so far by one thread of this process (syscr in its
// io file), or -1 when the kernel does not say. Reading the file is itself
// one read call, counted in the next figure.
inline long readCallsOf(const std::string& ioFile)
{
    const int fd = open(ioFile.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    char text[1024] = {};
    const ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    const char* at = got > 0 ? std::strstr(text, "syscr:") : nullptr;
    return at != nullptr ? std::strtol(at + 6, nullptr, 10) : -1;
}

inline long readCallsOfThisThread()
{
    return readCallsOf("/proc/thread-self/io");
}

inline long readCallsOfThread(pid_t tid)
{
    return readCallsOf("/proc/self/task/" + std::to_string(tid) + "/io");
}

// One poll on the calling thread: its result, how long it took and how many
// read calls it made, those of the measurement taken out.
struct MeasuredPoll {
    int result = -1;
    double ms = 0;
    long reads = 0;
};

template <typename PollFunction>
MeasuredPoll measurePoll(PollFunction pollFunction, void* port, std::string pattern, int timeoutMs)
{
    const long calibration = readCallsOfThisThread();
    const long before = readCallsOfThisThread();
    const auto start = Clock::now();
    MeasuredPoll m;
    m.result = pollFunction(port, static_cast<int>(pattern.size()), reinterpret_cast<unsigned char*>(pattern.data()),
                            timeoutMs);
    m.ms = msSince(start);
    const long after = readCallsOfThisThread();
    m.reads = (after - before) - (before - calibration);
    return m;
}

inline MeasuredPoll measurePoll(void* port, std::string pattern, int timeoutMs)
{
    return measurePoll(static_cast<kestrin_poll_uart_fn>(pollUart), port, std::move(pattern), timeoutMs);
}

#endif
