// Waiting for a port on Linux: one that appears is opened as the system
// tells of it, a busy one is tried again, and the wait ends on time or on
// an interrupt, saying what it waited for.
#include "base/error.h"
#include "host/interrupt.h"
#include "host/port_open.h"
#include "sim/pty.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace kestrin {
namespace {

namespace fs = std::filesystem;

// A folder of this test's own, gone with it.
class WaitFolder {
public:
    WaitFolder() : path_(fs::temp_directory_path() / ("kestrin-wait-" + std::to_string(getpid())))
    {
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~WaitFolder() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Runs `later` on a thread after `ms`, joined when it goes.
class Later {
public:
    Later(int ms, std::function<void()> later)
        : thread_([ms, later = std::move(later)] {
              std::this_thread::sleep_for(std::chrono::milliseconds(ms));
              later();
          })
    {
    }
    ~Later() { thread_.join(); }

private:
    std::thread thread_;
};

long long msSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

TEST(PortOpen, ALinkThatAppearsInAFolderStillToBeMadeIsOpenedWhenItComes)
{
    const WaitFolder folder;
    const sim::Pty pty = sim::Pty::open();
    const fs::path link = folder.path() / "by-id" / "port";
    const InterruptGuard interrupts;
    const Later plug(200, [&] {
        fs::create_directory(link.parent_path());
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        fs::create_symlink(pty.path(), link);
    });
    const OpenedPort opened = openPort(parseSelector(link.string()), PortSettings{}, 10000, interrupts);
    EXPECT_TRUE(opened.port.isOpen());
    EXPECT_EQ(opened.identity.port, link.string()) << "a pseudo-terminal is not listed: just the name";
    EXPECT_GE(opened.waitedMs, 250);
    EXPECT_LT(opened.waitedMs, 5000) << "woken by the folder's watch as the link came, not at the wait's end";
}

TEST(PortOpen, ABusyPortIsTriedAgainUntilItIsFree)
{
    const sim::Pty pty = sim::Pty::open();
    SerialPort holder = SerialPort::open(pty.path(), PortSettings{});
    const InterruptGuard interrupts;
    const Later release(300, [&holder] { holder = SerialPort(); });
    const OpenedPort opened = openPort(parseSelector(pty.path()), PortSettings{}, 10000, interrupts);
    EXPECT_GE(opened.waitedMs, 250);
    EXPECT_LT(opened.waitedMs, 5000);
}

TEST(PortOpen, NothingWithinTheWaitSaysWhatWasWaitedFor)
{
    const WaitFolder folder;
    const std::string missing = (folder.path() / "none").string();
    const InterruptGuard interrupts;
    const auto failure = [&](int waitMs) {
        try {
            openPort(parseSelector(missing), PortSettings{}, waitMs, interrupts);
        } catch (const Error& error) {
            return std::string(statusName(error.status())) + ": " + error.what();
        }
        return std::string("opened");
    };
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(failure(0), "error: cannot open: No such file or directory") << "no wait: as without one";
    EXPECT_LT(msSince(start), 200);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(failure(300), "error: waited 300 ms for the port to appear: cannot open: No such file or directory");
    EXPECT_GE(msSince(start), 300);
    EXPECT_LT(msSince(start), 2000);

    std::ofstream(missing) << "not a port";
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(failure(10000), "error: not a serial port") << "what waiting cannot change is said at once";
    EXPECT_LT(msSince(start), 2000);
}

TEST(PortOpen, AnInterruptEndsTheWait)
{
    const WaitFolder folder;
    const InterruptGuard interrupts;
    const Later interrupt(100, [] { kill(getpid(), SIGINT); });
    const auto start = std::chrono::steady_clock::now();
    try {
        openPort(parseSelector((folder.path() / "none").string()), PortSettings{}, 10000, interrupts);
        FAIL() << "opened";
    } catch (const Error& error) {
        EXPECT_EQ(error.status(), Status::interrupted) << error.what();
    }
    EXPECT_LT(msSince(start), 2000);
}

} // namespace
} // namespace kestrin
