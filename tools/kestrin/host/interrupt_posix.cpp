// Signals on Linux: the handler only writes a byte to a pipe (all it may
// safely do); a watcher thread reads it and notes the interrupt.
#include "host/interrupt.h"

#include "base/error.h"

#include <fmt/format.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

namespace kestrin {

namespace {

const int stopSignals[] = {SIGINT, SIGTERM, SIGHUP};
const char interruptByte = 'i';
const char quitByte = 'q';

// The handlers' part of the process-wide state: one guard at a time
// installs them (interrupt.cpp sees to that).
std::atomic<int> wakeFd{-1};
int watchFd = -1;
struct sigaction previous[std::size(stopSignals)];
struct sigaction previousPipe;
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

void watch(int fd)
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
            interrupts::noteInterrupt();
        }
    }
}

} // namespace

void interrupts::install()
{
    int fds[2] = {-1, -1};
    // Non-blocking, so that a signal handler's write can never hang.
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw Error(fmt::format("cannot make a pipe: {}", std::strerror(errno)));
    }
    watchFd = fds[0];
    wakeFd.store(fds[1]);
    watcher = std::thread(watch, fds[0]);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    // Restarted, so that the tool's own reads and writes are not cut short.
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(stopSignals); ++i) {
        sigaction(stopSignals[i], &action, &previous[i]);
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &previousPipe);
}

void interrupts::remove() noexcept
{
    sigaction(SIGPIPE, &previousPipe, nullptr);
    for (std::size_t i = 0; i < std::size(stopSignals); ++i) {
        sigaction(stopSignals[i], &previous[i], nullptr);
    }
    const int fd = wakeFd.exchange(-1);
    [[maybe_unused]] const ssize_t ignored = ::write(fd, &quitByte, 1);
    watcher.join();
    ::close(fd);
    ::close(watchFd);
    watchFd = -1;
}

void holdStopSignals() noexcept
{
    sigset_t held;
    sigemptyset(&held);
    for (const int signal : stopSignals) {
        sigaddset(&held, signal);
    }
    pthread_sigmask(SIG_BLOCK, &held, nullptr);
}

void endProcess(int exitCode)
{
    // Not exit(): another thread is still inside the library's poll and
    // must not see its objects destroyed under it.
    _exit(exitCode);
}

} // namespace kestrin
