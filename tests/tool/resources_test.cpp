// The library, serial ports and the sim's pseudo-terminal are owned by
// move-only objects: whatever is opened is closed exactly when its last
// owner goes, on every path, failures included.
#include "base/error.h"
#include "host/library.h"
#include "host/serial_port.h"
#include "sim/pty.h"

#include <fmt/format.h>
#include "port_probe.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <utility>

namespace kestrin {
namespace {

namespace fs = std::filesystem;

// How many descriptors this process has open.
std::size_t openDescriptors()
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

bool isOpen(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

bool isLoaded(const char* path)
{
    void* probe = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (probe != nullptr) {
        dlclose(probe);
    }
    return probe != nullptr;
}

// The lowest descriptor numbers free now, in order.
std::pair<int, int> twoLowestFree()
{
    const int a = dup(STDIN_FILENO);
    const int b = dup(STDIN_FILENO);
    close(a);
    close(b);
    return {a, b};
}

// Lets the process open descriptors below `limit` only, while it lives.
class DescriptorLimit {
public:
    explicit DescriptorLimit(int limit)
    {
        getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit lowered = saved_;
        lowered.rlim_cur = static_cast<rlim_t>(limit);
        EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    }
    ~DescriptorLimit() { setrlimit(RLIMIT_NOFILE, &saved_); }

private:
    rlimit saved_{};
};

TEST(PtyResources, BothEndsCloseWhenThePtyGoes)
{
    const std::size_t before = openDescriptors();
    int master = -1;
    int slave = -1;
    {
        const sim::Pty pty = sim::Pty::open();
        master = pty.master();
        slave = pty.slave();
        EXPECT_TRUE(isOpen(master));
        EXPECT_TRUE(isOpen(slave));
        // The third: the watch on the hosts' opens and closes.
        EXPECT_EQ(openDescriptors(), before + 3);
    }
    EXPECT_FALSE(isOpen(master));
    EXPECT_FALSE(isOpen(slave));
    EXPECT_EQ(openDescriptors(), before);
}

TEST(PtyResources, MovingHandsTheEndsOnAndAssigningOverOneClosesIt)
{
    const std::size_t before = openDescriptors();
    sim::Pty first = sim::Pty::open();
    const int master = first.master();
    const std::string path = first.path();

    sim::Pty second = std::move(first);
    EXPECT_EQ(second.master(), master);
    EXPECT_EQ(second.path(), path);
    EXPECT_EQ(first.master(), -1) << "the moved-from pty must not close the ends";
    { const sim::Pty emptied = std::move(first); }
    EXPECT_TRUE(isOpen(master));

    second = sim::Pty::open();
    EXPECT_FALSE(isOpen(master)) << "the ends it held before must be closed";
    EXPECT_EQ(openDescriptors(), before + 3);
}

TEST(PtyResources, ASimThatCannotStartLeavesItsPtyClosed)
{
#ifdef KESTRIN_NO_SPARE_DESCRIPTORS
    GTEST_SKIP() << "UBSan's type checks need descriptors of their own, and this test leaves none";
#endif
    // Room for a pseudo-terminal's two ends and nothing more: the stop pipe
    // that the sim needs next cannot be made.
    const auto [first, second] = twoLowestFree();
    const std::size_t before = openDescriptors();
    {
        const DescriptorLimit limit(second + 1);
        {
            const sim::Pty alone = sim::Pty::open();
            ASSERT_EQ(alone.master(), first) << "the test's premise: the pty takes the two free numbers";
            EXPECT_THROW(sim::StopPipe::open(), Error) << "the test's premise: no pipe fits beside it";
        }
        try {
            const sim::BackgroundSim running({});
            ADD_FAILURE() << "the sim started without its stop pipe";
        } catch (const Error& error) {
            EXPECT_NE(std::string(error.what()).find("pipe"), std::string::npos) << error.what();
        }
    }
    EXPECT_FALSE(isOpen(first));
    EXPECT_FALSE(isOpen(second));
    EXPECT_EQ(openDescriptors(), before);
}

TEST(PtyResources, ARunningSimStopsAndClosesEverythingWhenItGoes)
{
    const std::size_t before = openDescriptors();
    {
        const sim::BackgroundSim running({});
        EXPECT_EQ(running.path().rfind("/dev/pts/", 0), 0u) << running.path();
        EXPECT_EQ(openDescriptors(), before + 5) << "the pty's two ends, its watch, and the stop pipe's two";
    }
    EXPECT_EQ(openDescriptors(), before);
}

TEST(SerialPortResources, ThePortClosesOnceWhenItsLastOwnerGoes)
{
    const sim::Pty pty = sim::Pty::open();
    // A port is the tool's alone, so the one assigned over it is another.
    const sim::Pty other = sim::Pty::open();
    const std::size_t before = openDescriptors();
    int fd = -1;
    {
        SerialPort port = SerialPort::open(pty.path(), PortSettings{});
        fd = probe::descriptorOf(port.handle());
        SerialPort owner = std::move(port);
        EXPECT_FALSE(port.isOpen());
        EXPECT_TRUE(owner.isOpen());
        EXPECT_EQ(probe::descriptorOf(owner.handle()), fd);
        EXPECT_EQ(owner.name(), pty.path());
        EXPECT_EQ(openDescriptors(), before + 1);

        owner = SerialPort::open(other.path(), PortSettings{});
        EXPECT_FALSE(isOpen(fd)) << "assigning over an open port must close it";
        EXPECT_EQ(openDescriptors(), before + 1);
    }
    EXPECT_EQ(openDescriptors(), before);
}

TEST(SerialPortResources, AFileThatIsNoPortIsClosedAgain)
{
    const fs::path file = fs::temp_directory_path() / fmt::format("kestrin-not-a-port-{}", getpid());
    std::ofstream(file) << "not a tty";
    const std::size_t before = openDescriptors();
    try {
        SerialPort::open(file.string(), PortSettings{});
        ADD_FAILURE() << "a regular file opened as a serial port";
    } catch (const Error& error) {
        EXPECT_STREQ(error.what(), "not a serial port");
    }
    EXPECT_EQ(openDescriptors(), before);
    fs::remove(file);
}

TEST(LibraryResources, TheLibraryIsUnloadedWhenItsLastOwnerGoes)
{
    ASSERT_FALSE(isLoaded(KESTRIN_LIBRARY_PATH)) << "the test's premise: nothing else loads it";
    {
        Library library = Library::load(KESTRIN_LIBRARY_PATH);
        Library owner = std::move(library);
        EXPECT_FALSE(library.loaded());
        EXPECT_TRUE(owner.loaded());
        EXPECT_EQ(owner.version(), 0x01000000);
        EXPECT_EQ(owner.path(), KESTRIN_LIBRARY_PATH);
        EXPECT_TRUE(isLoaded(KESTRIN_LIBRARY_PATH));
    }
    EXPECT_FALSE(isLoaded(KESTRIN_LIBRARY_PATH));
}

TEST(LibraryResources, ALibraryWithoutTheExportsIsUnloadedAgain)
{
    ASSERT_FALSE(isLoaded(KESTRIN_NO_EXPORTS_PATH));
    try {
        Library::load(KESTRIN_NO_EXPORTS_PATH);
        ADD_FAILURE() << "a library without Kestrin's exports loaded";
    } catch (const Error& error) {
        EXPECT_NE(std::string(error.what()).find("does not export _Z8pollUartPviPhi"), std::string::npos)
            << error.what();
    }
    EXPECT_FALSE(isLoaded(KESTRIN_NO_EXPORTS_PATH));
}

} // namespace
} // namespace kestrin
