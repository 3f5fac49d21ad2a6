// Signals on Linux: while a guard lives they are blocked in every thread of
// the tool (its threads are all started under the guard and inherit that),
// and a watcher thread takes them from a signalfd. No handler runs in the
// middle of other code, and none is held back by a thread blocked in a
// system call, as a sanitizer would hold it.
#include "host/interrupt.h"

#include "base/error.h"

#include <fmt/format.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace kestrin {

namespace {

const int stopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The handlers' part of the process-wide state: one guard at a time
// installs them (interrupt.cpp sees to that).
sigset_t stopSet;
sigset_t previousMask;
struct sigaction previous[std::size(stopSignals)];
struct sigaction previousPipe;
int signalFd = -1;
int quitFds[2] = {-1, -1};
std::thread watcher;

// Never runs while the signals are blocked; it is there so that a signal
// that was ignored before the guard is kept pending for the signalfd rather
// than thrown away.
extern "C" void onSignal(int) {}

void watch()
{
    for (;;) {
        pollfd ready[2] = {{signalFd, POLLIN, 0}, {quitFds[0], POLLIN, 0}};
        if (::poll(ready, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        if (ready[1].revents != 0) {
            return;
        }
        signalfd_siginfo info{};
        if ((ready[0].revents & POLLIN) != 0 && ::read(signalFd, &info, sizeof info) == sizeof info) {
            interrupts::noteInterrupt();
        }
    }
}

void closeAll() noexcept
{
    for (int* fd : {&signalFd, &quitFds[0], &quitFds[1]}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

} // namespace

void interrupts::install()
{
    sigemptyset(&stopSet);
    for (const int signal : stopSignals) {
        sigaddset(&stopSet, signal);
    }
    pthread_sigmask(SIG_BLOCK, &stopSet, &previousMask);
    signalFd = signalfd(-1, &stopSet, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd < 0 || pipe2(quitFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        const int cause = errno;
        closeAll();
        pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
        throw Error(fmt::format("cannot watch for Ctrl-C: {}", std::strerror(cause)));
    }
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < std::size(stopSignals); ++i) {
        sigaction(stopSignals[i], &action, &previous[i]);
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &previousPipe);
    watcher = std::thread(watch);
}

void interrupts::remove() noexcept
{
    const char quit = 'q';
    [[maybe_unused]] const ssize_t ignored = ::write(quitFds[1], &quit, 1);
    watcher.join();
    closeAll();
    sigaction(SIGPIPE, &previousPipe, nullptr);
    for (std::size_t i = 0; i < std::size(stopSignals); ++i) {
        sigaction(stopSignals[i], &previous[i], nullptr);
    }
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
}

void holdStopSignals() noexcept
{
    // Blocked already; kept so when the guard goes.
    sigorset(&previousMask, &previousMask, &stopSet);
}

void endProcess(int exitCode)
{
    // Not exit(): another thread is still inside the library's poll and
    // must not see its objects destroyed under it.
    _exit(exitCode);
}

} // namespace kestrin
