#include "device_pty.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace kestrin {

namespace {

void traceBytes(std::FILE* trace, const char* direction, const std::uint8_t* bytes, std::size_t count)
{
    if (trace == nullptr || count == 0) {
        return;
    }
    std::fprintf(trace, "%s %s\n", direction, hexBytes(Bytes(bytes, bytes + count)).c_str());
    std::fflush(trace);
}

void sendToHost(const DevicePty& pty, const Bytes& bytes, std::FILE* trace)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(pty.master, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            // The host's input queue is full: like a real UART overrun, the
            // rest is lost rather than holding the device up.
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    traceBytes(trace, "tx", bytes.data(), done);
}

// After the last round: waits until the host has closed the port, so that
// closing the master (a hang-up, which throws unread input away) cannot cut
// off the last reply before the host has read it. The device's own slave is
// closed first, so the host's close is what leaves the slave unused.
void waitForHostToClose(DevicePty& pty, int stopFd, std::uint64_t limitMs)
{
    ::close(pty.slave);
    pty.slave = -1;
    const std::uint64_t until = deviceClockMs() + limitMs;
    std::uint8_t ignored[256];
    for (std::uint64_t now = deviceClockMs(); now < until; now = deviceClockMs()) {
        pollfd fds[2] = {{pty.master, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (::poll(fds, 2, static_cast<int>(until - now)) < 0 && errno != EINTR) {
            return;
        }
        if (fds[1].revents != 0 || (fds[0].revents & (POLLHUP | POLLERR)) != 0) {
            return;
        }
        if ((fds[0].revents & POLLIN) != 0 && ::read(pty.master, ignored, sizeof ignored) <= 0) {
            return;
        }
    }
}

} // namespace

std::uint64_t deviceClockMs()
{
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

bool openDevicePty(DevicePty& pty, std::string& error)
{
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        error = std::string("cannot make a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    // Raw until the host configures its side, so that nothing is echoed back
    // to the device or translated on the way.
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    const char* name = ptsname(master);
    pty.master = master;
    pty.slave = slave;
    pty.path = name != nullptr ? name : "";
    return true;
}

void closeDevicePty(DevicePty& pty)
{
    if (pty.master >= 0) {
        ::close(pty.master);
    }
    if (pty.slave >= 0) {
        ::close(pty.slave);
    }
    pty = DevicePty{};
}

void runDevice(SimulatedDevice& device, DevicePty& pty, int stopFd, std::uint64_t rounds, std::FILE* trace)
{
    std::uint8_t buffer[4096];
    for (;;) {
        const Bytes due = device.takeDue(deviceClockMs());
        if (!due.empty()) {
            sendToHost(pty, due, trace);
        }
        if (rounds != 0 && device.rounds() >= rounds) {
            // A poll that missed its reply ends within one idle limit.
            waitForHostToClose(pty, stopFd, 10000);
            return;
        }
        int timeoutMs = -1;
        if (const auto next = device.nextDueMs()) {
            const std::uint64_t now = deviceClockMs();
            timeoutMs = *next <= now ? 0 : static_cast<int>(std::min<std::uint64_t>(*next - now, 60000));
        }
        pollfd fds[2] = {{pty.master, POLLIN, 0}, {stopFd, POLLIN, 0}};
        const int ready = ::poll(fds, 2, timeoutMs);
        if (ready < 0 && errno != EINTR) {
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            const ssize_t n = ::read(pty.master, buffer, sizeof buffer);
            if (n > 0) {
                traceBytes(trace, "rx", buffer, static_cast<std::size_t>(n));
                device.receive(buffer, static_cast<std::size_t>(n), deviceClockMs());
            }
        }
    }
}

} // namespace kestrin
