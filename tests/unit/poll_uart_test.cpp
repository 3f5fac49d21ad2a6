// The response poll on a virtual clock.
#include "kestrin.h"
#include "virtual_port.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

int poll(VirtualPort& port, std::string pattern, int timeoutMs)
{
    return pollUart(port.handle(), static_cast<int>(pattern.size()),
                    reinterpret_cast<unsigned char*>(pattern.data()), timeoutMs);
}

TEST(PollUart, NonPositiveLengthMatchesWithoutReading)
{
    unsigned char pattern[] = {'x'};
    for (const int length : {0, -1, INT_MIN}) {
        VirtualPort port;
        port.send(0, "abc");
        EXPECT_EQ(pollUart(port.handle(), length, pattern, 1000), 1);
        EXPECT_EQ(pollUart(port.handle(), length, nullptr, 1000), 1);
        EXPECT_EQ(port.reads(), 0u);
    }
}

TEST(PollUart, RefusesWhatWouldOverrunOrDereferenceNull)
{
    unsigned char pattern[32] = {};
    for (const int length : {kestrinMaxLength + 1, 1000, INT_MAX}) {
        VirtualPort port;
        port.send(0, std::string(32, '\0'));
        EXPECT_EQ(pollUart(port.handle(), length, pattern, 1000), 0) << length;
        EXPECT_EQ(port.reads(), 0u);
        EXPECT_EQ(port.elapsedMs(), 0u);
    }
    VirtualPort port;
    port.send(0, std::string(3, '\0'));
    EXPECT_EQ(pollUart(port.handle(), 3, nullptr, 1000), 0);
    EXPECT_EQ(port.reads(), 0u);
}

TEST(PollUart, ImmediateReplyMatchesInOneAttemptAndLeavesWhatFollows)
{
    VirtualPort port;
    port.send(0, "OK\r\nnext line");
    EXPECT_EQ(poll(port, "OK\r\n", 1000), 1);
    EXPECT_EQ(port.reads(), 4u);
    EXPECT_EQ(port.unread(), "next line");
}

TEST(PollUart, LongestPatternAndExtremeByteValues)
{
    std::string reply(kestrinMaxLength, '\0');
    for (int i = 0; i < kestrinMaxLength; ++i) {
        reply[static_cast<std::size_t>(i)] = static_cast<char>(i % 2 ? 0xFF : 0x00);
    }
    VirtualPort port;
    port.send(5, reply + "tail");
    EXPECT_EQ(poll(port, reply, 0), 1);
    EXPECT_EQ(port.unread(), "tail");

    // 0xFF must not compare equal to 0x7F or to a sign-extended value.
    VirtualPort other;
    other.send(0, "\x7F");
    EXPECT_EQ(poll(other, "\xFF", 0), 0);
}

TEST(PollUart, NonPositiveBudgetMakesExactlyOneAttempt)
{
    for (const int timeoutMs : {0, -1, INT_MIN}) {
        VirtualPort port;
        port.send(0, "BADOK!");
        EXPECT_EQ(poll(port, "OK!", timeoutMs), 0);
        EXPECT_EQ(port.reads(), 3u);
        EXPECT_EQ(port.unread(), "OK!");
    }
}

TEST(PollUart, MismatchThenMatchWithinBudget)
{
    VirtualPort port;
    port.send(0, "BAD");
    port.send(100, "OK!");
    EXPECT_EQ(poll(port, "OK!", 1000), 1);
    EXPECT_EQ(port.bytesDelivered(), 6u);
    EXPECT_EQ(port.elapsedMs(), 100u);
}

TEST(PollUart, AttemptInProgressIsNotCutShortByTheBudget)
{
    // The second attempt starts inside the budget and its bytes come long
    // after it: the poll waits for them and matches.
    VirtualPort port;
    port.send(0, "BAD");
    port.send(4000, "OK!");
    EXPECT_EQ(poll(port, "OK!", 1000), 1);
    EXPECT_EQ(port.elapsedMs(), 4000u);
}

TEST(PollUart, RepeatedMismatchesEndOnceTheBudgetIsSpent)
{
    // A wrong reply every 300 ms: attempts end at 0, 300, ..., 1200 ms; the
    // one ending at 1200 ms is the first to find the 1000 ms budget spent.
    VirtualPort port;
    for (int i = 0; i < 10; ++i) {
        port.send(static_cast<std::uint64_t>(i) * 300, "NO!");
    }
    EXPECT_EQ(poll(port, "OK!", 1000), 0);
    EXPECT_EQ(port.bytesDelivered(), 15u);
    EXPECT_EQ(port.elapsedMs(), 1200u);
}

TEST(PollUart, AttemptEndingExactlyOnTheBudgetIsTheLast)
{
    VirtualPort port;
    for (int i = 0; i < 10; ++i) {
        port.send(static_cast<std::uint64_t>(i) * 300, "NO!");
    }
    EXPECT_EQ(poll(port, "OK!", 900), 0);
    EXPECT_EQ(port.elapsedMs(), 900u);
}

TEST(PollUart, BudgetIsMeasuredAcrossATickWrap)
{
    VirtualPort port(0xFFFFFFFFu - 499, 10);
    for (int i = 0; i < 10; ++i) {
        port.send(static_cast<std::uint64_t>(i) * 300, "NO!");
    }
    EXPECT_EQ(poll(port, "OK!", 1000), 0);
    EXPECT_EQ(port.elapsedMs(), 1200u);
}

TEST(PollUart, SilentPortEndsOnTheIdleLimitPastAShortBudget)
{
    VirtualPort port(1000, 10);
    EXPECT_EQ(poll(port, "OK", 3000), 0);
    EXPECT_EQ(port.elapsedMs(), 5010u);
    EXPECT_EQ(port.reads(), 501u);
}

TEST(PollUart, SilentPortWithBudgetBeyondIdleLimitMakesMoreAttempts)
{
    VirtualPort port(1000, 10);
    EXPECT_EQ(poll(port, "OK", 6000), 0);
    EXPECT_EQ(port.elapsedMs(), 2u * 5010u);
}

TEST(PollUart, AllZeroPatternMatchesASilentPort)
{
    // The buffer is zero-filled on entry, so silence compares equal.
    VirtualPort port(1000, 10);
    EXPECT_EQ(poll(port, std::string(4, '\0'), 100), 1);
    EXPECT_EQ(port.elapsedMs(), 5010u);
}

TEST(PollUart, ShortAttemptIsComparedWithBytesLeftByAnEarlierOne)
{
    // Attempt 1 reads "ABC"; attempt 2 reads only "X" before the device goes
    // quiet, so its buffer holds "XBC".
    VirtualPort port;
    port.send(0, "ABCX");
    EXPECT_EQ(poll(port, "XBC", 10000), 1);
    EXPECT_EQ(port.elapsedMs(), 5010u);

    // Where no attempt reached, the buffer still holds zeros.
    VirtualPort quiet;
    quiet.send(0, "A");
    EXPECT_EQ(poll(quiet, std::string("A\0\0", 3), 0), 1);
}

TEST(PollUart, FailingPortReturnsZeroAfterTheIdleLimit)
{
    VirtualPort port(1000, 1);
    port.failReads();
    EXPECT_EQ(poll(port, "OK", 100), 0);
    EXPECT_EQ(port.elapsedMs(), 5001u);
}

} // namespace
