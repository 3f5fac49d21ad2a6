// The Linux library on every kind of descriptor a host may hand it, on the
// real clock. Whether a port is silent, set up in a way that makes reads
// return at once or block for ever, or gone, an attempt ends just past the
// idle limit, as on a silent port with the tool's settings, and the port is
// neither read nor looked at in a loop meanwhile: the polling thread's read
// system calls, and its poll() and ioctl() calls, are counted. Replies still come through on
// every kind that can carry one, at one read per byte. Each silent case
// waits out the 5 s idle limit once; ctest runs them side by side.
#include "host_calls.h"
#include "host_ports.h"
#include "kestrin.h"
#include "port_io.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <string>
#include <thread>
#include <vector>

// The library's objects are linked into this test with poll(), ioctl(),
// read() and tcgetattr() wrapped (-Wl,--wrap=...): every call passes here.
// poll() and ioctl() calls are counted per thread. On the descriptor a test
// watches, the calls are also written down in order: i a count of waiting
// bytes, t a read of the terminal settings, p a poll, r a read.
thread_local long looksAtThePort = 0;
thread_local int watched = -1;
thread_local std::string calls;
std::atomic<bool> pollerWaits{false};

void note(int fd, char call)
{
    if (fd >= 0 && fd == watched) {
        calls.push_back(call);
    }
}

extern "C" int __real_poll(pollfd* fds, nfds_t count, int timeoutMs);
extern "C" int __wrap_poll(pollfd* fds, nfds_t count, int timeoutMs)
{
    ++looksAtThePort;
    const int fd = count > 0 ? fds[0].fd : -1;
    note(fd, 'p');
    pollerWaits = pollerWaits || (fd == watched && timeoutMs != 0);
    return __real_poll(fds, count, timeoutMs);
}
extern "C" ssize_t __real_read(int fd, void* buffer, size_t count);
extern "C" ssize_t __wrap_read(int fd, void* buffer, size_t count)
{
    note(fd, 'r');
    return __real_read(fd, buffer, count);
}
extern "C" int __real_tcgetattr(int fd, termios* settings);
extern "C" int __wrap_tcgetattr(int fd, termios* settings)
{
    note(fd, 't');
    return __real_tcgetattr(fd, settings);
}
extern "C" int __real_ioctl(int fd, unsigned long request, ...);
extern "C" int __wrap_ioctl(int fd, unsigned long request, ...)
{
    ++looksAtThePort;
    note(fd, 'i');
    va_list rest;
    va_start(rest, request);
    void* argument = va_arg(rest, void*);
    va_end(rest);
    return __real_ioctl(fd, request, argument);
}

namespace {

constexpr double idleLimitMs = 5000;
// Room for the scheduler on a loaded machine (sanitizers, parallel tests);
// the exact moment is proven on the virtual clock.
constexpr double slackMs = 400;

struct Counted {
    MeasuredPoll poll;
    long looks = 0; // poll() and ioctl() calls: waits, and counts of waiting bytes
};

Counted measure(void* port, const std::string& pattern, int timeoutMs)
{
    const long before = looksAtThePort;
    Counted c;
    c.poll = measurePoll(port, pattern, timeoutMs);
    c.looks = looksAtThePort - before;
    return c;
}

// The poll found no match, and its one attempt ended just past the idle
// limit after the last byte the device sent.
void expectNoMatchJustPastTheIdleLimit(const Counted& c, Clock::time_point lastByteSent)
{
    const double took = msSince(lastByteSent);
    EXPECT_EQ(c.poll.result, 0);
    EXPECT_GT(took, idleLimitMs);
    EXPECT_LT(took, idleLimitMs + slackMs);
}

// A terminal that poll() reports readable only at VMIN bytes is waited on in
// slices, so that a lone byte is seen: at most this many wake-ups a second,
// each with a look at the count of waiting bytes.
constexpr long slicedWaitsPerSecond = 100;

// The calls on the watched descriptor since the last look at them, each
// run of polls written as one: how often a wait wakes depends on the load.
std::string callsSoFar()
{
    std::string so;
    for (const char call : calls) {
        if (call != 'p' || so.empty() || so.back() != 'p') {
            so.push_back(call);
        }
    }
    calls.clear();
    return so;
}

std::string kindName(const ::testing::TestParamInfo<PortKind>& info)
{
    return portKindInfo(info.param).name;
}

std::vector<PortKind> kindsThatCarryBytes()
{
    std::vector<PortKind> kinds;
    for (const PortKindInfo& info : allPortKinds()) {
        if (!info.gone) {
            kinds.push_back(info.kind);
        }
    }
    return kinds;
}

std::vector<PortKind> everyKind()
{
    std::vector<PortKind> kinds;
    for (const PortKindInfo& info : allPortKinds()) {
        kinds.push_back(info.kind);
    }
    return kinds;
}

// ---- Nothing arrives ----------------------------------------------------------

class NothingArrives : public ::testing::TestWithParam<PortKind> {};

TEST_P(NothingArrives, TheAttemptEndsJustPastTheIdleLimitWithoutReadingInALoop)
{
    HostPort port(GetParam());
    SCOPED_TRACE(portKindInfo(GetParam()).description);
    const Counted c = measure(port.handle(), "OK\r\n", 0);
    EXPECT_EQ(c.poll.result, 0);
    EXPECT_GT(c.poll.ms, idleLimitMs);
    EXPECT_LT(c.poll.ms, idleLimitMs + slackMs);
    // A silent port is not read at all; one that is gone is read once at
    // most, to find the end of file.
    EXPECT_LE(c.poll.reads, 1);
    // A count of waiting bytes, a short first wait, then one for the rest;
    // only the count where nothing can be waited for.
    EXPECT_LE(c.looks, GetParam() == PortKind::blockingVmin4 ? 2 * 5 * slicedWaitsPerSecond + 3 : 3);
}

INSTANTIATE_TEST_SUITE_P(EveryKind, NothingArrives, ::testing::ValuesIn(everyKind()), kindName);

TEST(NothingArrives, EveryAttemptOnAPortThatIsGoneRunsToTheIdleLimit)
{
    // A budget just over one attempt: two attempts, each waited out in full,
    // as they always were, but without reading.
    HostPort port(PortKind::hungUp);
    const Counted c = measure(port.handle(), "OK\r\n", 6000);
    EXPECT_EQ(c.poll.result, 0);
    EXPECT_GT(c.poll.ms, 2 * idleLimitMs);
    EXPECT_LT(c.poll.ms, 2 * idleLimitMs + slackMs);
    EXPECT_LE(c.poll.reads, 2);
    EXPECT_LE(c.looks, 2 * 3);
}

// ---- A reply arrives ------------------------------------------------------------

class ReplyArrives : public ::testing::TestWithParam<PortKind> {};

TEST_P(ReplyArrives, ItMatchesAtOnceWithOneReadPerByteAndWhatFollowsStays)
{
    HostPort port(GetParam());
    SCOPED_TRACE(portKindInfo(GetParam()).description);
    // A terminal in canonical mode hands over whole lines only.
    const bool lines = GetParam() == PortKind::canonical;
    const std::string reply = lines ? "OK\n" : "OK\r\n";
    const std::string after = lines ? "MORE\n" : "MORE";
    std::thread device([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        port.deviceSends(reply + after);
    });
    const Counted c = measure(port.handle(), reply, 2000);
    device.join();
    EXPECT_EQ(c.poll.result, 1);
    EXPECT_LT(c.poll.ms, 1000);
    EXPECT_EQ(c.poll.reads, static_cast<long>(reply.size()));
    // A count of waiting bytes before each read, and the waits before the
    // reply came; on a sliced port, the slices while it had not yet come.
    const long slices =
        GetParam() == PortKind::blockingVmin4 ? 2 * (static_cast<long>(c.poll.ms) * slicedWaitsPerSecond / 1000 + 1) : 0;
    EXPECT_LE(c.looks, static_cast<long>(reply.size()) + 2 + slices);
    EXPECT_EQ(port.hostReadsRest(), after);
}

INSTANTIATE_TEST_SUITE_P(EveryKindThatCarriesBytes, ReplyArrives, ::testing::ValuesIn(kindsThatCarryBytes()), kindName);

TEST(ReplyArrives, ATerminalThatWakesPollersOnlyAtVminStillHandsOverEveryByte)
{
    // VMIN 4, VTIME 0: poll() reports the port readable only once 4 bytes are
    // in, although a one-byte read takes the first at once. Bytes that come
    // one by one never add up to 4 unread ones.
    HostPort port(PortKind::blockingVmin4);
    std::thread device([&] {
        for (const char c : std::string("OK\r\n+")) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            port.deviceSends(std::string(1, c));
        }
    });
    const Counted c = measure(port.handle(), "OK\r\n", 0);
    device.join();
    EXPECT_EQ(c.poll.result, 1);
    EXPECT_LT(c.poll.ms, 1000);
    EXPECT_EQ(c.poll.reads, 4);
    EXPECT_EQ(port.hostReadsRest(), "+");
}

TEST(ReplyArrives, EndOfFileCharacterOnACanonicalTerminalIsAnEmptyReadNotAHangUp)
{
    // ^D at the start of a line makes read() return 0 on a terminal that is
    // still there; the poll reads on rather than sleeping out the attempt.
    HostPort port(PortKind::canonical);
    std::thread device([&] {
        port.deviceSends("\x04");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        port.deviceSends("OK\n");
    });
    watched = port.descriptor();
    const Counted c = measure(port.handle(), "OK\n", 0);
    device.join();
    EXPECT_EQ(c.poll.result, 1);
    EXPECT_LT(c.poll.ms, 1000);
    // The empty read for ^D, then one per byte.
    EXPECT_EQ(c.poll.reads, 1 + 3);
    // The settings are read once, whether before a wait or for the empty
    // read, and not again once a byte has come.
    const std::string made = callsSoFar();
    EXPECT_EQ(std::count(made.begin(), made.end(), 't'), 1) << made;
}

// ---- A calm terminal (raw, VMIN 0, VTIME set) while a reply flows --------------

TEST(CalmTerminal, BytesThatFollowAreReadDirectlyAndAHangUpThenIsNotReadAgain)
{
    // Once a byte is in, read() waits by itself (up to VTIME): no count and
    // no poll() per byte. The device goes away while such a read waits.
    HostPort port(PortKind::rawVtime1);
    auto lastByteSent = Clock::now();
    std::thread device([&] {
        for (const char c : std::string("NOP")) {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            lastByteSent = Clock::now();
            port.deviceSends(std::string(1, c));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        port.deviceGoesAway();
    });
    const Counted c = measure(port.handle(), "OK\r\n", 0);
    device.join();
    expectNoMatchJustPastTheIdleLimit(c, lastByteSent);
    // The three bytes, then the one read that finds the hang-up.
    EXPECT_LE(c.poll.reads, 3 + 1);
    // The waits for the first byte, and one look that tells the hang-up.
    EXPECT_LE(c.looks, 3 + 1);
}

TEST(CalmTerminal, AReplyThatWakesTheReaderIsTakenWithNothingButReads)
{
    // The whole reply in one write, as a USB adapter hands over a packet.
    HostPort port(PortKind::rawVtime1);
    watched = port.descriptor();
    std::thread device([&] {
        for (int ms = 0; !pollerWaits && ms < 10000; ++ms) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        port.deviceSends("OK\r\nMORE");
    });
    const Counted c = measure(port.handle(), "OK\r\n", 2000);
    device.join();
    EXPECT_EQ(c.poll.result, 1);
    // A count and the settings, the wait, then a read per byte and nothing
    // else.
    const std::string made = callsSoFar();
    EXPECT_EQ(made, "itprrrr");
    EXPECT_EQ(port.hostReadsRest(), "MORE");
}

TEST(CalmTerminal, AReadWaitLongerThanTheIdleLimitDoesNotMakeTheAttemptLate)
{
    // VTIME 100: read() alone would wait 10 s, past the idle limit.
    PseudoTerminal pty(LineSettings{false, 0, 100, false});
    const auto byteSent = Clock::now();
    pty.deviceSends("O");
    const Counted c = measure(pty.port(), "OK\r\n", 0);
    expectNoMatchJustPastTheIdleLimit(c, byteSent);
    EXPECT_EQ(c.poll.reads, 1);
}

// ---- The device goes away in the middle of a reply -------------------------------

class DeviceGoesAway : public ::testing::TestWithParam<PortKind> {};

TEST_P(DeviceGoesAway, ThePollEndsTheIdleLimitAfterTheLastByteWithoutReadingInALoop)
{
    HostPort port(GetParam());
    SCOPED_TRACE(portKindInfo(GetParam()).description);
    auto lastByteSent = Clock::now();
    std::thread device([&] {
        lastByteSent = Clock::now();
        port.deviceSends("OK");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        port.deviceGoesAway();
    });
    const Counted c = measure(port.handle(), "OK\r\n", 0);
    device.join();
    expectNoMatchJustPastTheIdleLimit(c, lastByteSent);
    // The two bytes, then at most one read that finds the end of file.
    EXPECT_LE(c.poll.reads, 2 + 1);
    EXPECT_LE(c.looks, 2 * 3 + 3);
}

INSTANTIATE_TEST_SUITE_P(Descriptors, DeviceGoesAway,
                         ::testing::Values(PortKind::blockingVmin1, PortKind::nonBlockingVtime0, PortKind::socket,
                                           PortKind::pipe),
                         kindName);

// ---- What one read says ------------------------------------------------------------

// The success flag: 1 for a read that worked, even if its wait found
// nothing; 0 for one that failed, even when it slept out the wait.
int readOnce(const HostPort& port, std::uint32_t waitMs, PortNotes& notes, int& delivered)
{
    unsigned char byte = 0;
    return readPort(port.handle(), &byte, 1, &delivered, waitMs, &notes);
}

TEST(ReadPort, AQuietWaitWorksAndAPortThatIsGoneFailsOnceSleptOut)
{
    for (const PortKindInfo& info : allPortKinds()) {
        HostPort port(info.kind);
        PortNotes notes{};
        int delivered = -1;
        const auto start = Clock::now();
        EXPECT_EQ(readOnce(port, 50, notes, delivered), info.gone ? 0 : 1) << info.description;
        EXPECT_EQ(delivered, 0) << info.description;
        EXPECT_GE(msSince(start), 50) << info.description;
        EXPECT_LT(msSince(start), 50 + slackMs) << info.description;
    }
}

TEST(ReadPort, ACalmTerminalReadDirectlyTellsAPauseFromAHangUp)
{
    HostPort port(PortKind::rawVtime1);
    PortNotes notes{};
    int delivered = -1;
    watched = port.descriptor();
    EXPECT_EQ(readOnce(port, 30, notes, delivered), 1);
    port.deviceSends("AB");
    EXPECT_EQ(readOnce(port, 1000, notes, delivered), 1);
    const std::string made = callsSoFar();
    EXPECT_TRUE(made == "itpir" || made == "itpipr") << made;
    // B, then a pause: VTIME passes in a direct read, which found nothing
    // and worked.
    EXPECT_EQ(readOnce(port, 1000, notes, delivered), 1);
    EXPECT_EQ(readOnce(port, 1000, notes, delivered), 1);
    EXPECT_EQ(delivered, 0);
    EXPECT_EQ(callsSoFar(), "rrp");
    // C goes direct again; then the device goes away, and the direct read
    // that finds it sleeps out its wait and failed.
    port.deviceSends("C");
    EXPECT_EQ(readOnce(port, 1000, notes, delivered), 1);
    EXPECT_EQ(delivered, 1);
    port.deviceGoesAway();
    callsSoFar();
    const auto start = Clock::now();
    EXPECT_EQ(readOnce(port, 200, notes, delivered), 0);
    EXPECT_GE(msSince(start), 200);
    EXPECT_EQ(callsSoFar(), "rp");
}

} // namespace
