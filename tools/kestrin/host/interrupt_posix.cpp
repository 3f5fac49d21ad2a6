// Ctrl-C on Linux: the signal handler only writes a byte to a pipe (all it
// may safely do); a watcher thread reads it and does the real work.
#include "host/interrupt.h"

#include "cli/error.h"

#include <fmt/format.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

namespace kestrin {

namespace {

const int signals[] = {SIGINT, SIGTERM, SIGHUP};
const char interruptByte = 'i';
const char quitByte = 'q';

// The one guard's state; a guard lives on one thread and there is only one
// at a time, so no lock is needed beyond the atomic the handler reads.
std::atomic<int> wakeFd{-1};
int watchFd = -1;
struct sigaction previous[std::size(signals)];
std::thread watcher;

extern "C" void onSignal(int)
{
    const int saved = errno;
    const int fd = wakeFd.load();
    if (fd >= 0) {
        [[maybe_unused]] const ssize_t ignored = ::write(fd, &interruptByte, 1);
    }
    errno = saved;
}

void watch(int fd, std::function<void()> onInterrupt)
{
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, -1) < 0 && errno != EINTR) {
            return;
        }
        char byte = 0;
        const ssize_t n = ::read(fd, &byte, 1);
        if (n == 1 && byte == quitByte) {
            return;
        }
        if (n == 1 && byte == interruptByte) {
            onInterrupt();
            std::fflush(stdout);
            std::fflush(stderr);
            // Not exit(): the main thread is still inside the library's poll
            // and must not see its objects destroyed under it.
            _exit(interruptedExitCode);
        }
    }
}

} // namespace

InterruptGuard::InterruptGuard(std::function<void()> onInterrupt)
{
    int fds[2] = {-1, -1};
    // Non-blocking, so that a signal handler's write can never hang.
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw Error(fmt::format("cannot make a pipe: {}", std::strerror(errno)));
    }
    watchFd = fds[0];
    wakeFd.store(fds[1]);
    watcher = std::thread(watch, fds[0], std::move(onInterrupt));
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    // Restarted, so that the tool's own reads and writes are not cut short.
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(signals); ++i) {
        sigaction(signals[i], &action, &previous[i]);
    }
}

InterruptGuard::~InterruptGuard()
{
    for (std::size_t i = 0; i < std::size(signals); ++i) {
        sigaction(signals[i], &previous[i], nullptr);
    }
    const int fd = wakeFd.exchange(-1);
    // A Ctrl-C already written is read first, and ends the process there.
    [[maybe_unused]] const ssize_t ignored = ::write(fd, &quitByte, 1);
    watcher.join();
    ::close(fd);
    ::close(watchFd);
    watchFd = -1;
}

} // namespace kestrin
