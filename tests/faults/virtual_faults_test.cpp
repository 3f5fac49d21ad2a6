// Bad input and faults on the virtual clock: budgets at the ends of their
// range, tick counters that wrap or cross the signed boundary mid-poll,
// ports that fail for a while, and bytes that C-string habits get wrong.
#include "kestrin.h"
#include "virtual_port.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

namespace {

constexpr std::uint64_t minute = 60'000;
constexpr std::uint64_t day = 24 * 60 * minute;

int poll(VirtualPort& port, std::string pattern, int timeoutMs)
{
    return pollUart(port.handle(), static_cast<int>(pattern.size()), reinterpret_cast<unsigned char*>(pattern.data()),
                    timeoutMs);
}

TEST(Budget, IntMaxStillPollsPastTheSignedRangeOfTheTick)
{
    // 30 days of silence is past 2^31 ms, where the elapsed time read as a
    // signed 32-bit value turns negative: the poll is still going, and takes
    // the reply when it finally comes. One read waits a minute here, so each
    // silent attempt is a single read.
    VirtualPort port(0xFFFFFFFFu - 1000, static_cast<std::uint32_t>(minute));
    port.send(30 * day, "OK");
    EXPECT_EQ(poll(port, "OK", INT_MAX), 1);
    EXPECT_EQ(port.elapsedMs(), 30 * day);
    EXPECT_EQ(port.unread(), "");
}

TEST(Budget, IntMaxAfterHoursOfWrongRepliesMatches)
{
    // A wrong reply every minute for six hours, silence in between.
    VirtualPort port(1000, 100);
    for (std::uint64_t t = 0; t < 6 * 60 * minute; t += minute) {
        port.send(t, "NO");
    }
    port.send(6 * 60 * minute, "OKtail");
    EXPECT_EQ(poll(port, "OK", INT_MAX), 1);
    EXPECT_EQ(port.elapsedMs(), 6 * 60 * minute);
    EXPECT_EQ(port.unread(), "tail");
}

TEST(Budget, IntMinAndMinusOneStillMatchOnTheOneAttempt)
{
    for (const int timeoutMs : {INT_MIN, -1}) {
        VirtualPort port;
        port.send(300, "OK!");
        EXPECT_EQ(poll(port, "OK!", timeoutMs), 1) << timeoutMs;
        EXPECT_EQ(port.reads(), 32u); // 29 empty reads of 10 ms, then the three bytes
    }
}

// One scenario with a mismatch, a partial attempt ended by the idle limit and
// a late match, run from several points of the tick counter: where the
// counter stands, or whether it wraps mid-poll, must not change anything.
TEST(TickWrap, OutcomeDoesNotDependOnWhereTheCounterStands)
{
    struct Outcome {
        int result;
        std::size_t reads;
        std::uint64_t elapsedMs;
        std::string unread;
    };
    auto run = [](std::uint32_t startTick) {
        VirtualPort port(startTick, 10);
        port.send(0, "NOPE");          // attempt 1: NOPE
        port.send(1000, "RE");         // attempt 2: RE, then the idle limit: REPE
        port.send(7000, "RED!");       // attempt 3: RED!
        port.send(9000, "READ", 3000); // attempt 4: READ, trickling, done at 18 s
        port.send(30000, "tail");
        const int result = poll(port, "READ", 20000);
        return Outcome{result, port.reads(), port.elapsedMs(), port.unread()};
    };
    const Outcome reference = run(1000);
    EXPECT_EQ(reference.result, 1);
    // 4 + (99 + 2 + 501) + (98 + 4) + (199 + 1 + 3 * 300) reads.
    EXPECT_EQ(reference.reads, 1808u);
    EXPECT_EQ(reference.elapsedMs, 18000u);
    EXPECT_EQ(reference.unread, "tail");
    for (const std::uint32_t start : {0u, 0x7FFFFFFFu - 6000, 0x7FFFFFFFu, 0xFFFFFFFFu - 6000, 0xFFFFFFFFu}) {
        const Outcome o = run(start);
        EXPECT_EQ(o.result, reference.result) << start;
        EXPECT_EQ(o.reads, reference.reads) << start;
        EXPECT_EQ(o.elapsedMs, reference.elapsedMs) << start;
        EXPECT_EQ(o.unread, reference.unread) << start;
    }
}

TEST(TickWrap, BudgetRunsOutOnTimeAcrossTheWrap)
{
    // Wrong replies every 500 ms, the counter wrapping 700 ms in: the budget
    // of 2000 ms ends the poll with the attempt that ends at 2000 ms.
    VirtualPort port(0xFFFFFFFFu - 699, 10);
    for (int i = 0; i < 20; ++i) {
        port.send(static_cast<std::uint64_t>(i) * 500, "NO");
    }
    EXPECT_EQ(poll(port, "OK", 2000), 0);
    EXPECT_EQ(port.elapsedMs(), 2000u);
    EXPECT_EQ(port.bytesDelivered(), 10u);
}

TEST(PatternBytes, AreComparedAsPlainEightBitValues)
{
    struct Case {
        std::string pattern;
        std::string reply;
        int result;
    };
    const Case cases[] = {
        {std::string("A\0B", 3), std::string("A\0C", 3), 0}, // differs after a NUL
        {std::string("\0\0X", 3), std::string("\0\0X", 3), 1},
        {"\xFF\xFF\xFF", "\xFF\xFF\xFF", 1},
        {"\xFF", "\x7F", 0},
        {"\xFF", "\xFE", 0},
        {"\x80", std::string("\x00", 1), 0}, // the sign bit alone
        {std::string("\x00\xFF\x00\xFF", 4), std::string("\x00\xFF\x00\xFF", 4), 1},
    };
    for (const Case& c : cases) {
        VirtualPort port;
        port.send(0, c.reply + "rest");
        EXPECT_EQ(poll(port, c.pattern, 0), c.result);
        EXPECT_EQ(port.unread(), "rest");
    }
}

TEST(FailingReads, ShortOutageMidReplyIsWaitedOut)
{
    // Reads fail for 3 s after the first two bytes; the rest of the reply is
    // already waiting when the port comes back, inside the idle limit.
    VirtualPort port(1000, 10);
    port.send(0, "HE");
    port.send(500, "LLO+");
    port.failReadsBetween(10, 3010, 1);
    EXPECT_EQ(poll(port, "HELLO", 0), 1);
    EXPECT_EQ(port.elapsedMs(), 3010u);
    EXPECT_EQ(port.unread(), "+");
}

TEST(FailingReads, OutagePastTheIdleLimitEndsTheAttempt)
{
    // Same reply, but the port fails for 6 s: the attempt ends on the idle
    // limit with "HE", the budget is spent, and the rest stays in the port.
    VirtualPort port(1000, 10);
    port.send(0, "HE");
    port.send(500, "LLO+");
    port.failReadsBetween(10, 6010, 1);
    EXPECT_EQ(poll(port, "HELLO", 1000), 0);
    EXPECT_EQ(port.elapsedMs(), 5001u);
    EXPECT_EQ(port.unread(), "LLO+");
}

TEST(FailingReads, ReadsCutShortOverAndOverStillFindTheReply)
{
    // Like reads interrupted by signals: every other millisecond a read
    // fails at once (1 ms), between bytes that trickle in 40 ms apart.
    VirtualPort port(1000, 10);
    port.send(0, "SIGNALS!tail", 40);
    for (std::uint64_t t = 0; t < 1000; t += 2) {
        port.failReadsBetween(t, t + 1, 1);
    }
    EXPECT_EQ(poll(port, "SIGNALS!", 0), 1);
    EXPECT_EQ(port.elapsedMs(), 7u * 40u);
    EXPECT_EQ(port.unread(), "tail");
}

// A port that is gone, on a platform whose failed reads sleep out the wait
// the reader gives them (Linux): one read per attempt, and each attempt as
// long as on a silent port, so the result and the poll's duration are those
// of a port that reads fail on at once.
TEST(DeadPort, EachAttemptIsOneReadThatSleepsOutTheIdleLimit)
{
    for (const bool dead : {false, true}) {
        VirtualPort port(1000, 1);
        port.honourWait();
        if (dead) {
            port.failReads();
        }
        EXPECT_EQ(poll(port, "OK", 12000), 0) << dead;
        EXPECT_EQ(port.reads(), 3u) << dead;
        EXPECT_EQ(port.failedReads(), dead ? 3u : 0u) << dead;
        EXPECT_EQ(port.elapsedMs(), 3u * 5001u) << dead;
    }
}

TEST(DeadPort, HangUpInTheMiddleOfAReplyCostsOneReadMore)
{
    // HE at once, L 300 ms later, and from then on the port is gone.
    VirtualPort port(1000, 100);
    port.honourWait();
    port.send(0, "HE");
    port.send(300, "L");
    port.failReadsBetween(300, 365 * day, 1);
    EXPECT_EQ(poll(port, "HELLO", 0), 0);
    EXPECT_EQ(port.reads(), 4u);
    EXPECT_EQ(port.failedReads(), 1u);
    EXPECT_EQ(port.elapsedMs(), 300u + 5001u);
}

TEST(DeadPort, BudgetIntMaxWaitsOneReadPerIdleLimitUntilThePortComesBack)
{
    // 30 days gone: past 2^31 ms, so the poll is still going, and it reads
    // once per attempt all along, then takes the reply.
    VirtualPort port(1000, 1);
    port.honourWait();
    port.failReadsBetween(0, 30 * day, 1);
    port.send(30 * day, "OK");
    EXPECT_EQ(poll(port, "OK", INT_MAX), 1);
    const std::uint64_t attempts = (30 * day + 5000) / 5001;
    EXPECT_EQ(port.failedReads(), attempts);
    EXPECT_EQ(port.reads(), attempts + 2);
    EXPECT_EQ(port.elapsedMs(), attempts * 5001);
}

} // namespace
