// The timed byte reader on a virtual clock.
#include "read_uart.h"
#include "virtual_port.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using Buffer = std::array<unsigned char, 8>;

Buffer filled(unsigned char value)
{
    Buffer b;
    b.fill(value);
    return b;
}

std::string text(const Buffer& b, int n)
{
    return std::string(b.begin(), b.begin() + n);
}

TEST(ReadUart, NonPositiveCountReadsNothing)
{
    for (const int count : {0, -1, -2147483647 - 1}) {
        VirtualPort port;
        port.send(0, "abc");
        Buffer buffer = filled(0xEE);
        EXPECT_EQ(readUart(port.handle(), buffer.data(), count).received, 0);
        EXPECT_EQ(port.reads(), 0u);
        EXPECT_EQ(buffer, filled(0xEE));
        EXPECT_EQ(port.unread(), "abc");
    }
}

TEST(ReadUart, WaitingBytesTakeExactlyOneReadEach)
{
    VirtualPort port;
    port.send(0, "hello, world");
    Buffer buffer = filled(0xEE);
    const ReadResult r = readUart(port.handle(), buffer.data(), 5);
    EXPECT_EQ(r.received, 5);
    EXPECT_EQ(r.end, ReadEnd::complete);
    EXPECT_EQ(port.reads(), 5u);
    EXPECT_EQ(text(buffer, 5), "hello");
    EXPECT_EQ(buffer[5], 0xEE);
    EXPECT_EQ(port.unread(), ", world");
    EXPECT_EQ(port.elapsedMs(), 0u);
}

TEST(ReadUart, SilentPortStopsAtFirstCheckBeyondIdleLimit)
{
    // Reads end at 1000, 2000, ... ms. At 5000 ms the port has been silent
    // for exactly the limit, which is not yet beyond it.
    VirtualPort port(1000, 1000);
    Buffer buffer = filled(0xEE);
    const ReadResult r = readUart(port.handle(), buffer.data(), 4);
    EXPECT_EQ(r.received, 0);
    EXPECT_EQ(r.end, ReadEnd::idleStop);
    EXPECT_EQ(port.elapsedMs(), 6000u);
    EXPECT_EQ(port.reads(), 6u);
    EXPECT_EQ(buffer, filled(0xEE));
}

TEST(ReadUart, ExactlyTheIdleLimitOfSilenceKeepsReading)
{
    VirtualPort port(0, 5000);
    port.send(7000, "x");
    Buffer buffer{};
    EXPECT_EQ(readUart(port.handle(), buffer.data(), 1).received, 1);
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_EQ(port.reads(), 2u);
}

TEST(ReadUart, OneMillisecondBeyondTheIdleLimitStops)
{
    VirtualPort port(0, 5001);
    port.send(7000, "x");
    Buffer buffer{};
    EXPECT_EQ(readUart(port.handle(), buffer.data(), 1).received, 0);
    EXPECT_EQ(port.reads(), 1u);
    EXPECT_EQ(port.unread(), "x");
}

TEST(ReadUart, SpinningPortStopsOneMillisecondPastTheLimit)
{
    // Reads that return at once (1 ms here) poll until the first check past
    // the limit; a byte due 1 ms later is left in the port.
    VirtualPort port(0, 1);
    port.send(5002, "x");
    Buffer buffer{};
    EXPECT_EQ(readUart(port.handle(), buffer.data(), 1).received, 0);
    EXPECT_EQ(port.elapsedMs(), 5001u);
    EXPECT_EQ(port.reads(), 5001u);
    EXPECT_EQ(port.unread(), "x");
}

TEST(ReadUart, TricklingBytesKeepTheReaderWaiting)
{
    // 6 bytes, 4990 ms apart: almost 25 s for the whole transfer.
    VirtualPort port(0, 10);
    port.send(4990, "abcdef", 4990);
    Buffer buffer{};
    EXPECT_EQ(readUart(port.handle(), buffer.data(), 6).received, 6);
    EXPECT_EQ(text(buffer, 6), "abcdef");
    EXPECT_EQ(port.elapsedMs(), 6u * 4990u);
}

TEST(ReadUart, LongGapKeepsEarlierBytesAndLeavesTheRestUntouched)
{
    VirtualPort port(0, 10);
    port.send(0, "abc");
    port.send(9000, "def");
    Buffer buffer = filled(0xEE);
    const ReadResult r = readUart(port.handle(), buffer.data(), 6);
    EXPECT_EQ(r.received, 3);
    EXPECT_EQ(r.end, ReadEnd::idleStop);
    EXPECT_EQ(text(buffer, 3), "abc");
    EXPECT_EQ(buffer[3], 0xEE);
    EXPECT_EQ(buffer[5], 0xEE);
    EXPECT_EQ(port.unread(), "def");
    EXPECT_EQ(port.elapsedMs(), 5010u);
}

TEST(ReadUart, TickWrapDoesNotEndTheReadEarly)
{
    // The tick wraps 100 ms after entry, then again in the middle of a gap.
    VirtualPort silent(0xFFFFFFFFu - 99, 10);
    Buffer buffer{};
    EXPECT_EQ(readUart(silent.handle(), buffer.data(), 2).received, 0);
    EXPECT_EQ(silent.elapsedMs(), 5010u);

    VirtualPort trickle(0xFFFFFFFFu - 2999, 10);
    trickle.send(2000, "ab", 4000);
    EXPECT_EQ(readUart(trickle.handle(), buffer.data(), 2).received, 2);
    EXPECT_EQ(text(buffer, 2), "ab");
}

TEST(ReadUart, FailingReadsCountAsSilence)
{
    VirtualPort port(0, 1);
    port.send(0, "abc");
    port.failReads();
    Buffer buffer = filled(0xEE);
    const ReadResult r = readUart(port.handle(), buffer.data(), 3);
    EXPECT_EQ(r.received, 0);
    EXPECT_EQ(r.end, ReadEnd::idleStopAfterFailedReads);
    EXPECT_EQ(port.elapsedMs(), 5001u);
    EXPECT_EQ(buffer, filled(0xEE));
}

// Only reads that failed in the silence that ended the call say it ended on
// a failing port: an outage before the last byte did no lasting harm.
TEST(ReadUart, FailedReadsSinceTheLastByteMarkAnIdleStop)
{
    for (const std::uint64_t outageEndsMs : {1000u, 9000u}) {
        VirtualPort port(0, 10);
        port.send(0, "a");
        port.failReadsBetween(10, outageEndsMs, 10);
        port.send(2000, "b");
        Buffer buffer{};
        const ReadResult r = readUart(port.handle(), buffer.data(), 3);
        EXPECT_EQ(r.received, outageEndsMs < 2000 ? 2 : 1) << outageEndsMs;
        EXPECT_EQ(r.end, outageEndsMs < 2000 ? ReadEnd::idleStop : ReadEnd::idleStopAfterFailedReads) << outageEndsMs;
    }
}

// The platform's notes belong to one call: each call starts with them
// zeroed, and all its reads share them.
TEST(ReadUart, EachCallHostsFreshNotesThatItsReadsShare)
{
    VirtualPort port(0, 10);
    port.send(0, "ab");
    port.send(40, "cd");
    port.recordReads();
    Buffer buffer{};
    EXPECT_EQ(readUart(port.handle(), buffer.data(), 3).received, 3);
    EXPECT_EQ(readUart(port.handle(), buffer.data(), 1).received, 1);
    // a, b, three empty reads, c; then d.
    const std::vector<VirtualPort::Read>& log = port.readLog();
    ASSERT_EQ(log.size(), 7u);
    for (std::size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i].freshNotes, i == 0 || i == 6) << "read " << i;
    }
}

// The wait each read is given, read by read: it ends exactly where the idle
// test would stop the reader, 5001 ms after the last byte (or the entry),
// however the bytes come and wherever the tick counter stands.
TEST(ReadUart, EveryReadMayWaitExactlyUntilTheIdleStop)
{
    for (const std::uint32_t startTick : {1000u, 0xFFFFFFFFu - 2999}) {
        VirtualPort port(startTick, 10);
        port.send(0, "ab");
        port.send(2000, "c");
        port.send(6000, "de", 4990);
        port.recordReads();
        Buffer buffer{};
        EXPECT_EQ(readUart(port.handle(), buffer.data(), 5).received, 5);
        const std::vector<VirtualPort::Read>& log = port.readLog();
        ASSERT_GT(log.size(), 1000u);
        std::uint64_t lastByteAt = 0;
        for (std::size_t i = 0; i < log.size(); ++i) {
            ASSERT_EQ(log[i].atMs + log[i].waitMs, lastByteAt + 5001) << "read " << i << ", tick " << startTick;
            if (log[i].delivered) {
                // The clock moves only in reads: the next one starts when
                // this one's byte came.
                lastByteAt = i + 1 < log.size() ? log[i + 1].atMs : port.elapsedMs();
            }
        }
    }
}

// Reads that wait as long as the reader lets them, as on Linux: a silent
// port costs one read, and the reader stops exactly 5001 ms after the last
// byte, not at the end of some later read wait.
TEST(ReadUart, ReadsThatWaitAsLongAsAllowedStopExactlyPastTheIdleLimit)
{
    VirtualPort silent(0, 10);
    silent.honourWait();
    Buffer buffer = filled(0xEE);
    EXPECT_EQ(readUart(silent.handle(), buffer.data(), 4).received, 0);
    EXPECT_EQ(silent.reads(), 1u);
    EXPECT_EQ(silent.elapsedMs(), 5001u);
    EXPECT_EQ(buffer, filled(0xEE));

    // b comes as the wait ends and is taken; c comes 1 ms after it.
    VirtualPort trickle(0, 10);
    trickle.honourWait();
    trickle.send(0, "a");
    trickle.send(5001, "b");
    trickle.send(5001 + 5002, "c");
    EXPECT_EQ(readUart(trickle.handle(), buffer.data(), 3).received, 2);
    EXPECT_EQ(text(buffer, 2), "ab");
    EXPECT_EQ(trickle.reads(), 3u);
    EXPECT_EQ(trickle.elapsedMs(), 5001u + 5001u);
    EXPECT_EQ(trickle.unread(), "c");
}

TEST(ReadUart, FailingPortIsReadOnceWhenAFailedReadSleepsOutItsWait)
{
    VirtualPort port(0, 1);
    port.honourWait();
    port.failReads();
    Buffer buffer = filled(0xEE);
    const ReadResult r = readUart(port.handle(), buffer.data(), 3);
    EXPECT_EQ(r.received, 0);
    EXPECT_EQ(r.end, ReadEnd::idleStopAfterFailedReads);
    EXPECT_EQ(port.reads(), 1u);
    EXPECT_EQ(port.failedReads(), 1u);
    EXPECT_EQ(port.elapsedMs(), 5001u);
}

} // namespace
