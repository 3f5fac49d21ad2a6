// The Linux library against real pseudo-terminals and the real clock.
#include "kestrin.h"
#include "pseudo_terminal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

int poll(const PseudoTerminal& pty, std::string pattern, int timeoutMs)
{
    return pollUart(pty.port(), static_cast<int>(pattern.size()), reinterpret_cast<unsigned char*>(pattern.data()),
                    timeoutMs);
}

long long millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(PtyPoll, MatchingReplyArrivingDuringThePoll)
{
    PseudoTerminal pty;
    const auto start = Clock::now();
    std::thread device([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        pty.deviceSends("READY\r\n");
    });
    EXPECT_EQ(poll(pty, "READY\r\n", 2000), 1);
    device.join();
    EXPECT_GE(millisecondsSince(start), 150);
    EXPECT_LT(millisecondsSince(start), 2000);
}

TEST(PtyPoll, WrongRepliesUntilTheBudgetIsSpent)
{
    PseudoTerminal pty;
    std::atomic<bool> stop{false};
    std::thread device([&] {
        while (!stop) {
            pty.deviceSends("NOPE");
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    const auto start = Clock::now();
    EXPECT_EQ(poll(pty, "OKAY", 300), 0);
    const auto took = millisecondsSince(start);
    stop = true;
    device.join();
    EXPECT_GE(took, 300);
    EXPECT_LT(took, 2000);
}

TEST(PtyPoll, BytesAfterTheReplyStayForTheHost)
{
    PseudoTerminal pty;
    pty.deviceSends("OK\r\nTRAILER");
    EXPECT_EQ(poll(pty, "OK\r\n", 1000), 1);
    EXPECT_EQ(pty.hostReadsRest(), "TRAILER");
}

TEST(PtyPoll, SilentPortStopsJustPastTheIdleLimit)
{
    PseudoTerminal pty;
    const auto start = Clock::now();
    EXPECT_EQ(poll(pty, "OK", 0), 0);
    const auto took = millisecondsSince(start);
    EXPECT_GT(took, 5000);
    EXPECT_LT(took, 5000 + 1000);
}

} // namespace
