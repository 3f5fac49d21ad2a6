#include "sim/pty.h"

#include "base/error.h"

#include <fmt/format.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace kestrin::sim {

namespace {

// Best effort: a reader of the trace that goes away must not stop the
// device.
void traceLine(std::FILE* trace, const std::string& line)
{
    if (trace != nullptr) {
        std::fputs(line.c_str(), trace);
        std::fflush(trace);
    }
}

void traceBytes(std::FILE* trace, const char* direction, const std::uint8_t* bytes, std::size_t count)
{
    if (count > 0) {
        traceLine(trace, fmt::format("{} {}\n", direction, hexBytes(Bytes(bytes, bytes + count))));
    }
}

// What the host's input queue took of the bytes, at once.
std::size_t sendToHost(const Pty& pty, const std::uint8_t* bytes, std::size_t count, std::FILE* trace)
{
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(pty.master(), bytes + done, count - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    traceBytes(trace, "tx", bytes, done);
    return done;
}

// After the last round: waits until the host has closed the port, so that
// closing the master (a hang-up, which throws unread input away) cannot cut
// off the last reply before the host has read it. The sim's own slave is
// closed first, so the host's close is what leaves the slave unused.
void waitForHostToClose(Pty& pty, int stopFd, std::uint64_t limitMs)
{
    pty.closeSlave();
    const std::uint64_t until = clockMs() + limitMs;
    std::uint8_t ignored[256];
    for (std::uint64_t now = clockMs(); now < until; now = clockMs()) {
        pollfd fds[2] = {{pty.master(), POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (::poll(fds, 2, static_cast<int>(until - now)) < 0 && errno != EINTR) {
            return;
        }
        if (fds[1].revents != 0 || (fds[0].revents & (POLLHUP | POLLERR)) != 0) {
            return;
        }
        if ((fds[0].revents & POLLIN) != 0 && ::read(pty.master(), ignored, sizeof ignored) <= 0) {
            return;
        }
    }
}

} // namespace

std::uint64_t clockMs()
{
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

Pty Pty::open()
{
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        throw Error(fmt::format("cannot make a pseudo-terminal: {}", std::strerror(errno)));
    }
    Pty pty;
    pty.master_ = UniqueFd(master);
    pty.slave_ = UniqueFd(slave);
    // Raw until the host configures its side, so that nothing is echoed back
    // to the sim or translated on the way.
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    const char* name = ptsname(master);
    pty.path_ = name != nullptr ? name : "";
    // Watched only after the sim's own open, which is then never counted.
    pty.hosts_ = UniqueFd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (pty.hosts_ && inotify_add_watch(pty.hosts_.get(), pty.path_.c_str(), IN_OPEN | IN_CLOSE) < 0) {
        pty.hosts_.reset();
    }
    return pty;
}

void Pty::noteHosts()
{
    alignas(inotify_event) char events[4096];
    for (;;) {
        const ssize_t n = ::read(hosts_.get(), events, sizeof events);
        if (n <= 0) {
            return;
        }
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            hostsOpen_ += (event->mask & IN_OPEN) != 0 ? 1 : 0;
            hostsOpen_ -= (event->mask & IN_CLOSE) != 0 ? 1 : 0;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
        if (hostsOpen_ <= 0) {
            hostsOpen_ = 0;
            ioctl(slave_.get(), TIOCNXCL);
        }
    }
}

StopPipe StopPipe::open()
{
    int fds[2] = {-1, -1};
    // Non-blocking, so that a signal handler's write can never hang.
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw Error(fmt::format("cannot make a pipe: {}", std::strerror(errno)));
    }
    StopPipe pipe;
    pipe.read_ = UniqueFd(fds[0]);
    pipe.write_ = UniqueFd(fds[1]);
    return pipe;
}

void StopPipe::stop() const noexcept
{
    const int saved = errno;
    const char byte = 's';
    [[maybe_unused]] const ssize_t ignored = ::write(write_.get(), &byte, 1);
    errno = saved;
}

void play(Model& model, Pty& pty, int stopFd, const PlayOptions& options)
{
    // Taken from the model a turn at a time, so that an answer of any
    // length is made as it is sent, and the stop pipe and the host are
    // heard between turns.
    const std::size_t turnBytes = 4096;
    // How long bytes wait for room in the host's input queue. A host that
    // reads gets every byte, however long the answer; from one that does
    // not, what is due is lost, like a real UART overrun, rather than
    // piling up.
    const std::uint64_t roomWaitMs = 100;
    std::FILE* const trace = options.trace;
    std::uint8_t buffer[4096];
    Bytes out; // taken from the model, not yet sent
    std::size_t sent = 0;
    bool full = false; // since fullSinceMs, the host's queue has taken nothing
    std::uint64_t fullSinceMs = 0;
    std::uint64_t vanishes = model.vanishes();
    for (;;) {
        const std::uint64_t now = clockMs();
        if (out.empty()) {
            out = model.takeDue(now, turnBytes);
            sent = 0;
        }
        if (!out.empty() && pty.connected()) {
            const std::size_t taken = sendToHost(pty, out.data() + sent, out.size() - sent, trace);
            sent += taken;
            if (sent == out.size()) {
                out.clear();
                full = false;
            } else if (!full || taken > 0) {
                full = true;
                fullSinceMs = now;
            } else if (now - fullSinceMs >= roomWaitMs) {
                out.clear();
                full = false;
                model.dropDue(now);
            }
        }
        if (model.hungUp()) {
            pty.hangUp();
            traceLine(trace, "hangup\n");
            return;
        }
        if (model.vanishes() != vanishes) {
            vanishes = model.vanishes();
            // What the old port did not take goes with it.
            out.clear();
            full = false;
            if (pty.connected()) {
                pty.hangUp();
                if (options.link != nullptr) {
                    options.link->remove();
                }
                traceLine(trace, "vanish\n");
            }
        }
        if (!pty.connected() && !model.away()) {
            pty = Pty::open();
            if (options.link != nullptr) {
                options.link->point(pty.path());
            }
            traceLine(trace, fmt::format("back {}\n", pty.path()));
        }
        if (options.rounds != 0 && model.rounds() >= options.rounds && out.empty()) {
            if (pty.connected()) {
                // A poll that missed its reply ends within one idle limit.
                waitForHostToClose(pty, stopFd, 10000);
            }
            return;
        }
        int timeoutMs = -1;
        const std::uint64_t later = clockMs();
        const auto until = [later](std::uint64_t when) {
            return when <= later ? 0 : static_cast<int>(std::min<std::uint64_t>(when - later, 60000));
        };
        if (!out.empty()) {
            timeoutMs = until((full ? fullSinceMs : later) + roomWaitMs);
        } else if (const auto next = model.nextDueMs()) {
            timeoutMs = until(*next);
        }
        pollfd fds[3] = {{stopFd, POLLIN, 0}, {-1, 0, 0}, {-1, POLLIN, 0}};
        if (pty.connected()) {
            fds[1] = {pty.master(), static_cast<short>(POLLIN | (out.empty() ? 0 : POLLOUT)), 0};
            fds[2].fd = pty.hostsFd();
        }
        // A negative descriptor is skipped by poll().
        if (::poll(fds, 3, timeoutMs) < 0 && errno != EINTR) {
            return;
        }
        if (fds[0].revents != 0) {
            return;
        }
        if ((fds[2].revents & POLLIN) != 0) {
            pty.noteHosts();
        }
        if ((fds[1].revents & POLLIN) != 0) {
            const ssize_t n = ::read(pty.master(), buffer, sizeof buffer);
            if (n > 0) {
                traceBytes(trace, "rx", buffer, static_cast<std::size_t>(n));
                model.receive(buffer, static_cast<std::size_t>(n), clockMs());
            }
        }
    }
}

BackgroundSim::BackgroundSim(std::vector<Rule> rules)
    : pty_(Pty::open()), stop_(StopPipe::open()), model_(std::move(rules), clockMs())
{
    thread_ = std::thread([this] {
            play(model_, pty_, stop_.readEnd(), PlayOptions{});
    });
}

BackgroundSim::~BackgroundSim()
{
    stop_.stop();
    thread_.join();
}

} // namespace kestrin::sim
