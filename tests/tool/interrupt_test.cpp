// Ctrl-C while a command runs: the handler runs once, on a thread of its
// own while the main thread is stuck in a read (as in the library's poll),
// and the process ends with 130. Each case runs in a child process.
#include "host/interrupt.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace kestrin {
namespace {

class InterruptTest : public ::testing::Test {
protected:
    // Children are started afresh rather than forked from a process that
    // may have threads; under qemu-user a program cannot start itself
    // afresh (no binfmt handler), and these tests start no threads.
    void SetUp() override
    {
#if defined(__SANITIZE_THREAD__)
        // ThreadSanitizer holds an asynchronous signal back until the thread
        // leaves its blocking call, and these children block for ever.
        GTEST_SKIP() << "ThreadSanitizer delays signals while a read blocks";
#endif
#ifdef KESTRIN_TEST_EMULATED
        GTEST_FLAG_SET(death_test_style, "fast");
#else
        GTEST_FLAG_SET(death_test_style, "threadsafe");
#endif
    }
};

// Blocks in read() the way the library's poll does, never to return.
[[noreturn]] void blockInARead()
{
    int fds[2];
    if (pipe(fds) != 0) {
        std::abort();
    }
    char byte = 0;
    for (;;) {
        [[maybe_unused]] const auto ignored = ::read(fds[0], &byte, 1);
    }
}

void interruptSoon(int signal)
{
    std::thread([signal] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        kill(getpid(), signal);
    }).detach();
}

TEST_F(InterruptTest, EachStopSignalRunsTheHandlerOnceAndExits130)
{
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        EXPECT_EXIT(
            {
                const InterruptGuard guard([] { std::fputs("[settings restored]", stderr); });
                interruptSoon(signal);
                blockInARead();
            },
            ::testing::ExitedWithCode(interruptedExitCode), "^\\[settings restored\\]$")
            << signal;
    }
}

TEST_F(InterruptTest, ASecondCtrlCWhileTheHandlerRunsDoesNotRunItAgain)
{
    EXPECT_EXIT(
        {
            const InterruptGuard guard([] {
                std::fputs("[once]", stderr);
                kill(getpid(), SIGINT);
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            });
            interruptSoon(SIGINT);
            blockInARead();
        },
        ::testing::ExitedWithCode(interruptedExitCode), "^\\[once\\]$");
}

TEST_F(InterruptTest, AfterTheGuardTheSignalsAreHandledAsBefore)
{
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    struct sigaction saved {};
    ASSERT_EQ(sigaction(SIGHUP, &ignore, &saved), 0);
    {
        const InterruptGuard guard([] {});
        struct sigaction during {};
        sigaction(SIGHUP, nullptr, &during);
        EXPECT_NE(during.sa_handler, SIG_IGN) << "the guard handles the signal while it lives";
    }
    struct sigaction after {};
    sigaction(SIGHUP, nullptr, &after);
    EXPECT_EQ(after.sa_handler, SIG_IGN);
    // Ignored again: this must not end the test.
    kill(getpid(), SIGHUP);
    sigaction(SIGHUP, &saved, nullptr);

    // And a guard can be made again, its handler not run by the old one.
    EXPECT_EXIT(
        {
            { const InterruptGuard first([] { std::fputs("[first]", stderr); }); }
            const InterruptGuard second([] { std::fputs("[second]", stderr); });
            interruptSoon(SIGTERM);
            blockInARead();
        },
        ::testing::ExitedWithCode(interruptedExitCode), "^\\[second\\]$");
}

} // namespace
} // namespace kestrin
