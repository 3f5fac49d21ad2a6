// Ctrl-C while a command runs: the stop signals are noted and wake the
// command's waits (its own thread then puts everything back), one guard at
// a time, and the signals are handled as before once it goes.
#include "base/error.h"
#include "host/background.h"
#include "host/interrupt.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace kestrin {
namespace {

void signalSoon(int signal)
{
    std::thread([signal] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        kill(getpid(), signal);
    }).detach();
}

TEST(Interrupt, EachStopSignalEndsAWaitThatWouldNeverEnd)
{
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        InterruptGuard guard;
        int wakes = 0;
        const InterruptWaker waker(guard, [&wakes] { ++wakes; });
        signalSoon(signal);
        EXPECT_FALSE(guard.waitFor([] { return false; }, 10, {})) << signal;
        EXPECT_TRUE(guard.interrupted());
        // A second signal is the same interrupt.
        kill(getpid(), signal);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(wakes, 1) << signal;
    }
}

TEST(Interrupt, OneGuardAtATimeAndTheSignalsAsBeforeAfterIt)
{
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    struct sigaction saved {};
    ASSERT_EQ(sigaction(SIGHUP, &ignore, &saved), 0);
    struct sigaction pipeBefore {};
    sigaction(SIGPIPE, nullptr, &pipeBefore);
    {
        const InterruptGuard guard;
        EXPECT_THROW(InterruptGuard(), Error) << "a second guard is refused, not a crash";
        struct sigaction during {};
        sigaction(SIGHUP, nullptr, &during);
        EXPECT_NE(during.sa_handler, SIG_IGN) << "the guard handles the signal while it lives";
        sigaction(SIGPIPE, nullptr, &during);
        EXPECT_EQ(during.sa_handler, SIG_IGN) << "a closed output is an error, not a signal";
    }
    struct sigaction after {};
    sigaction(SIGHUP, nullptr, &after);
    EXPECT_EQ(after.sa_handler, SIG_IGN);
    sigaction(SIGPIPE, nullptr, &after);
    EXPECT_EQ(after.sa_handler, pipeBefore.sa_handler);
    sigaction(SIGHUP, &saved, nullptr);

    const InterruptGuard again;
    EXPECT_FALSE(again.interrupted()) << "a new guard starts without the old one's interrupt";
}

TEST(Background, TheCallerWaitsForTheCallOrAnInterruptWhicheverComesFirst)
{
    InterruptGuard guard;
    Background worker(guard);
    int ticks = 0;
    bool ran = false;
    EXPECT_TRUE(worker.run(
        [&ran] {
            std::this_thread::sleep_for(std::chrono::milliseconds(120));
            ran = true;
        },
        20, [&ticks] { ++ticks; }));
    EXPECT_TRUE(ran);
    EXPECT_GE(ticks, 3) << "the caller's thread ticks while it waits";
    EXPECT_THROW(worker.run([] { throw Error("gone"); }, 20, {}), Error) << "a failure reaches the caller";

    std::atomic<bool> release{false};
    signalSoon(SIGINT);
    EXPECT_FALSE(worker.run(
        [&release] {
            while (!release) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        },
        20, {}));
    release = true; // so that the worker can be joined here
}

} // namespace
} // namespace kestrin
