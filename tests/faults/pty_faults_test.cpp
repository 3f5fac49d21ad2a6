// Faults only the real platform shows, against real pseudo-terminals and the
// real clock: handles that are no open port, a device that hangs up in the
// middle of a reply, and reads interrupted by signals. Each case waits out
// the 5 s idle limit at most once; ctest runs the cases side by side.
#include "host_calls.h"
#include "kestrin.h"
#include "pseudo_terminal.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr double idleLimitMs = 5000;
constexpr double readWaitMs = 100; // VTIME 1 on the pseudo-terminals
// Room for the scheduler on a loaded machine (sanitizers, parallel tests).
// The exact bounds are proven on the virtual clock; here it is only about
// returning at all, and not early.
constexpr double slackMs = 400;

void* handleOf(std::intptr_t value)
{
    return reinterpret_cast<void*>(value);
}

// A descriptor number that is certainly not open in this process.
int closedDescriptor()
{
    const int fd = open("/dev/null", O_RDONLY);
    close(fd);
    return fd;
}

TEST(BadHandle, NoOpenPortBehindTheHandleGivesUpAfterTheIdleLimit)
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const auto highestAllowed = static_cast<std::intptr_t>(std::min<rlim_t>(limit.rlim_cur, 1u << 20)) - 1;
    struct Case {
        const char* what;
        void* handle;
    };
    // Nothing can ever be read on these: each poll waits out the idle limit
    // without reading (a failed read answered at once and retried would
    // spin), side by side so the test waits it out only once.
    std::vector<Case> cases = {
        {"closed", handleOf(closedDescriptor())},
        {"never opened", handleOf(highestAllowed)},
        {"negative", handleOf(-1)},
    };
    // Only where a pointer is wider than an int can a handle lie above INT_MAX.
    if (sizeof(void*) > sizeof(int)) {
        cases.push_back({"above INT_MAX", handleOf(static_cast<std::intptr_t>(static_cast<std::uintptr_t>(INT_MAX) + 1u))});
    }
    for (const Case& c : cases) {
        ASSERT_EQ(fcntl(static_cast<int>(reinterpret_cast<std::intptr_t>(c.handle)), F_GETFD), -1) << c.what;
    }
    std::vector<MeasuredPoll> polled(std::size(cases));
    std::vector<std::thread> polls;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        polls.emplace_back([&, i] { polled[i] = measurePoll(cases[i].handle, "OK", 0); });
    }
    for (std::thread& t : polls) {
        t.join();
    }
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(polled[i].result, 0) << cases[i].what;
        EXPECT_GT(polled[i].ms, idleLimitMs) << cases[i].what;
        EXPECT_LT(polled[i].ms, idleLimitMs + 2 * slackMs) << cases[i].what;
        EXPECT_EQ(polled[i].reads, 0) << cases[i].what;
    }
}

TEST(BadHandle, LengthChecksComeBeforeAnyRead)
{
    // No read is made, so a bad handle costs nothing here.
    const auto start = Clock::now();
    EXPECT_EQ(poll(handleOf(-1), "", 1000), 1);
    unsigned char pattern[32] = {};
    EXPECT_EQ(pollUart(handleOf(-1), 21, pattern, 1000), 0);
    EXPECT_EQ(pollUart(handleOf(closedDescriptor()), 3, nullptr, 1000), 0);
    EXPECT_LT(msSince(start), 100);
}

TEST(DeviceHangsUp, InTheMiddleOfAReplyThePollEndsOnTheIdleLimit)
{
    PseudoTerminal pty;
    auto lastByteSent = Clock::now();
    std::thread device([&] {
        lastByteSent = Clock::now();
        pty.deviceSends("HEL");
        // Once the poll has taken the bytes, the device side goes away: every
        // read on the port would now return at once. Closing it earlier would
        // throw the bytes away, which a loaded machine or an emulator can
        // make happen if the device only waits a fixed time.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        int unread = 0;
        while (ioctl(pty.slave(), FIONREAD, &unread) == 0 && unread > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        pty.closeMaster();
    });
    const MeasuredPoll polled = measurePoll(pty.port(), "HELLO", 1000);
    device.join();
    const double took = msSince(lastByteSent);
    EXPECT_EQ(polled.result, 0);
    EXPECT_GT(took, idleLimitMs);
    EXPECT_LE(took, idleLimitMs + readWaitMs + slackMs);
    // One read per byte, one that waits out VTIME once the reply pauses
    // (bytes that follow one another are read directly), then one that finds
    // the end of file, and no more: the rest of the idle limit is slept out.
    EXPECT_LE(polled.reads, 3 + 2);
}

std::atomic<int> signalsHandled{0};

void onSignal(int)
{
    signalsHandled.fetch_add(1, std::memory_order_relaxed);
}

// Sends SIGUSR1 to one thread every millisecond, with a handler installed
// without SA_RESTART, so that blocking reads end early with EINTR.
class SignalStorm {
public:
    explicit SignalStorm(pthread_t target) : target_(target)
    {
        struct sigaction action {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(SIGUSR1, &action, &previous_);
        sender_ = std::thread([this] {
            while (!stop_.load()) {
                pthread_kill(target_, SIGUSR1);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    ~SignalStorm()
    {
        stop_ = true;
        sender_.join();
        sigaction(SIGUSR1, &previous_, nullptr);
    }
    SignalStorm(const SignalStorm&) = delete;
    SignalStorm& operator=(const SignalStorm&) = delete;

private:
    pthread_t target_;
    struct sigaction previous_ {};
    std::atomic<bool> stop_{false};
    std::thread sender_;
};

TEST(Signals, InterruptedReadsStillFindATricklingReplyAndLeaveWhatFollows)
{
    PseudoTerminal pty;
    signalsHandled = 0;
    int result = -1;
    {
        // Paced by the storm rather than the clock: each byte comes only
        // after three more signals have been handled by the polling thread,
        // so reads are interrupted between all bytes however slowly a loaded
        // machine or an emulator runs the threads.
        // A storm that stops is reported rather than waited for forever.
        bool stormKeptUp = true;
        std::thread device([&] {
            const auto giveUp = Clock::now() + std::chrono::seconds(10);
            for (const char c : std::string("SIGNALS!")) {
                const int seen = signalsHandled.load();
                while (signalsHandled.load() < seen + 3 && stormKeptUp) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    stormKeptUp = Clock::now() < giveUp;
                }
                pty.deviceSends(std::string(1, c));
            }
            pty.deviceSends("tail");
        });
        SignalStorm storm(pthread_self());
        result = poll(pty.port(), "SIGNALS!", 0);
        device.join();
        EXPECT_TRUE(stormKeptUp) << "fewer than 3 signals between two bytes within 10 s";
    }
    EXPECT_EQ(result, 1);
    EXPECT_EQ(pty.hostReadsRest(), "tail");
}

TEST(Signals, InterruptedReadsDoNotRestartOrCutShortTheIdleLimit)
{
    PseudoTerminal pty;
    signalsHandled = 0;
    int result = -1;
    double took = 0;
    {
        SignalStorm storm(pthread_self());
        const auto start = Clock::now();
        result = poll(pty.port(), "OK", 0);
        took = msSince(start);
    }
    EXPECT_EQ(result, 0);
    EXPECT_GT(took, idleLimitMs);
    EXPECT_LE(took, idleLimitMs + readWaitMs + slackMs);
    EXPECT_GT(signalsHandled.load(), 500);
}

} // namespace
