// Driving a port's modem lines, on pseudo-terminals that the preloaded
// modem_lines_shim gives lines and records the changes of: the order, the
// waits, a pulse's length and the levels put back. main() preloads the shim
// into this program if it is not yet.
#include "base/error.h"
#include "base/lines.h"
#include "host/serial_port.h"
#include "sim/pty.h"

#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kestrin {
namespace {

// One line of the shim's record.
struct Change {
    double seconds = 0;
    bool dtr = false;
    bool rts = false;
};

// A pulse's length in ms, and the other waits': at least what was asked,
// and not much more even under a sanitizer on a busy machine (a wait done
// twice would not pass).
const double slackMs = 70;

class ModemLines : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string path = ::testing::TempDir() + "modem-lines-XXXXXX";
        const int fd = mkstemp(path.data());
        ASSERT_GE(fd, 0);
        ::close(fd);
        log_ = path;
        setenv("KESTRIN_MODEM_LINES_LOG", log_.c_str(), 1);
        int bits = 0;
        ASSERT_EQ(ioctl(pty_.slave(), TIOCMGET, &bits), 0) << "the shim is not preloaded";
    }

    void TearDown() override
    {
        unsetenv("KESTRIN_MODEM_LINES_LOG");
        ::unlink(log_.c_str());
    }

    // The changes recorded for this test's terminal, in order.
    std::vector<Change> changes() const
    {
        std::vector<Change> found;
        std::ifstream log(log_);
        std::string line;
        while (std::getline(log, line)) {
            std::istringstream fields(line);
            Change change;
            std::string pid, port, request, dtr, rts;
            fields >> change.seconds >> pid >> port >> request >> dtr >> rts;
            if (port == pty_.path()) {
                change.dtr = dtr == "dtr=on";
                change.rts = rts == "rts=on";
                found.push_back(change);
            }
        }
        return found;
    }

    // The levels the terminal has now, as a test sees them from outside.
    std::pair<bool, bool> levels() const
    {
        int bits = 0;
        EXPECT_EQ(ioctl(pty_.slave(), TIOCMGET, &bits), 0);
        return {(bits & TIOCM_DTR) != 0, (bits & TIOCM_RTS) != 0};
    }

    static double msBetween(const Change& from, const Change& to) { return (to.seconds - from.seconds) * 1000; }

    const sim::Pty pty_ = sim::Pty::open();
    std::string log_;
};

// The levels as "dtr rts", on or off: changes compare at a glance.
std::string levelsOf(const Change& change)
{
    return std::string(change.dtr ? "on" : "off") + " " + (change.rts ? "on" : "off");
}

TEST_F(ModemLines, ASequenceSetsTheLinesInOrderAndWaitsBetween)
{
    SerialPort port = SerialPort::open(pty_.path(), PortSettings{});
    port.driveLines(parseLineSequence("dtr=off rts=off 50ms rts=on dtr=on"));
    const std::vector<Change> seen = changes();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(levelsOf(seen[0]), "off on");
    EXPECT_EQ(levelsOf(seen[1]), "off off");
    EXPECT_EQ(levelsOf(seen[2]), "off on");
    EXPECT_EQ(levelsOf(seen[3]), "on on");
    EXPECT_GE(msBetween(seen[1], seen[2]), 50);
    EXPECT_LT(msBetween(seen[1], seen[2]), 50 + slackMs);
    EXPECT_LT(msBetween(seen[2], seen[3]), slackMs) << "no wait was asked for";
}

TEST_F(ModemLines, APulseLeavesThePresentLevelForItsLengthAndComesBack)
{
    // DTR as the tool set it at open, RTS as it found it.
    PortSettings settings;
    settings.dtr = Line::off;
    SerialPort port = SerialPort::open(pty_.path(), settings);
    port.driveLines({parsePulse("dtr=100ms"), parsePulse("rts=100ms")});
    const std::vector<Change> seen = changes();
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(levelsOf(seen[0]), "off on");
    EXPECT_EQ(levelsOf(seen[1]), "on on");
    EXPECT_EQ(levelsOf(seen[2]), "off on");
    EXPECT_EQ(levelsOf(seen[3]), "off off");
    EXPECT_EQ(levelsOf(seen[4]), "off on");
    for (const int at : {1, 3}) {
        const double ms = msBetween(seen[at], seen[at + 1]);
        EXPECT_GE(ms, 100);
        EXPECT_LT(ms, 100 + slackMs);
    }
}

TEST_F(ModemLines, TheLevelsFoundAtOpenComeBackWithTheSettings)
{
    // Another program left DTR off.
    int dtr = TIOCM_DTR;
    ASSERT_EQ(ioctl(pty_.slave(), TIOCMBIC, &dtr), 0);
    PortSettings settings;
    settings.rts = Line::off;
    {
        SerialPort port = SerialPort::open(pty_.path(), settings);
        port.driveLines(parseLineSequence("dtr=on"));
        EXPECT_EQ(levels(), std::make_pair(true, false));
        port.restoreSettings();
        EXPECT_EQ(levels(), std::make_pair(false, true));
        // Taken from the level put back, which is the level now.
        port.driveLines({parsePulse("dtr=20ms")});
        EXPECT_EQ(levels(), std::make_pair(false, true));
        port.driveLines(parseLineSequence("rts=off"));
    }
    EXPECT_EQ(levels(), std::make_pair(false, true)) << "closing must put them back too";
}

TEST_F(ModemLines, ARestoreOnAnotherThreadPutsTheLevelsBackMidSequence)
{
    // What an interrupt does while the lines are driven; closing then puts
    // back what the sequence changed after it.
    {
        SerialPort port = SerialPort::open(pty_.path(), PortSettings{});
        std::thread driver([&port] { port.driveLines(parseLineSequence("dtr=off 300ms rts=off")); });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        port.restoreSettings();
        EXPECT_EQ(levels(), std::make_pair(true, true));
        driver.join();
        EXPECT_EQ(levels(), std::make_pair(true, false));
    }
    EXPECT_EQ(levels(), std::make_pair(true, true));
}

TEST_F(ModemLines, RtsIsNotDrivenWhileFlowControlDrivesIt)
{
    PortSettings settings;
    settings.flow = Flow::rtsCts;
    SerialPort port = SerialPort::open(pty_.path(), settings);
    try {
        port.driveLines({parsePulse("rts=50ms")});
        ADD_FAILURE() << "RTS was pulsed under RTS/CTS flow control";
    } catch (const Error& error) {
        EXPECT_EQ(error.status(), Status::usage);
        EXPECT_STREQ(error.what(), "cannot set RTS: RTS/CTS flow control drives it");
    }
    port.driveLines({parsePulse("dtr=10ms")});
    EXPECT_EQ(changes().size(), 2u) << "DTR stays the tool's";
}

} // namespace
} // namespace kestrin

// The shim must be in the program from its start: preloaded, then run again.
int main(int argc, char** argv)
{
    const char* preloaded = std::getenv("LD_PRELOAD");
    if (preloaded == nullptr || std::string(preloaded).find(KESTRIN_MODEM_LINES_SHIM) == std::string::npos) {
        setenv("LD_PRELOAD", KESTRIN_MODEM_LINES_SHIM, 1);
        // A sanitizer's runtime would otherwise insist on coming first.
        const char* asan = std::getenv("ASAN_OPTIONS");
        setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":verify_asan_link_order=0").c_str(), 1);
        execv("/proc/self/exe", argv);
        std::perror("cannot run again with the shim");
        return 2;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
