// The serial port as the tool holds it on Linux: its alone while open, the
// settings asked for applied, and the settings it had put back on every
// way out; reads that wait, and a device that went away told apart.
#include "base/error.h"
#include "host/serial_port.h"
#include "port_probe.h"
#include "pseudo_terminal.h"
#include "sim/pty.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace kestrin {
namespace {

// The status of the Error that opening `path` throws, or "" when it opens.
std::string openFailure(const std::string& path, const PortSettings& settings = {}, std::string* what = nullptr)
{
    try {
        SerialPort::open(path, settings);
    } catch (const Error& error) {
        if (what != nullptr) {
            *what = error.what();
        }
        return statusName(error.status());
    }
    return "";
}

// Another program's hold on the port: its own open file description.
class OtherHolder {
public:
    explicit OtherHolder(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {}
    ~OtherHolder() { ::close(fd_); }
    OtherHolder(const OtherHolder&) = delete;
    OtherHolder& operator=(const OtherHolder&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

TEST(OwnedPort, ASecondOpenIsRefusedAsBusyUntilTheFirstCloses)
{
    const sim::Pty pty = sim::Pty::open();
    {
        const SerialPort first = SerialPort::open(pty.path(), PortSettings{});
        std::string why;
        EXPECT_EQ(openFailure(pty.path(), {}, &why), "busy");
        EXPECT_EQ(why.rfind("busy: ", 0), 0u) << why;
    }
    EXPECT_EQ(openFailure(pty.path()), "") << "closing must let go of the port";
}

TEST(OwnedPort, AnotherProgramsLockMakesItBusy)
{
    const sim::Pty pty = sim::Pty::open();
    {
        const OtherHolder locker(pty.path());
        ASSERT_EQ(flock(locker.fd(), LOCK_EX | LOCK_NB), 0);
        std::string why;
        EXPECT_EQ(openFailure(pty.path(), {}, &why), "busy");
        EXPECT_NE(why.find("lock"), std::string::npos) << why;
    }
    EXPECT_EQ(openFailure(pty.path()), "");
}

TEST(OwnedPort, AnotherProgramsExclusiveModeMakesItBusy)
{
    const sim::Pty pty = sim::Pty::open();
    if (!probe::showsExclusiveMode(pty.slave())) {
        GTEST_SKIP() << "this emulator does not pass TIOCGEXCL on";
    }
    {
        // Exclusive mode keeps only others than root out; the tool looks.
        const OtherHolder exclusive(pty.path());
        ASSERT_EQ(ioctl(exclusive.fd(), TIOCEXCL), 0);
        EXPECT_EQ(openFailure(pty.path()), "busy");
        ASSERT_EQ(ioctl(exclusive.fd(), TIOCNXCL), 0);
    }
    EXPECT_EQ(openFailure(pty.path()), "");
}

TEST(OwnedPort, TheSettingsAskedForReachTheKernel)
{
    // Which flags each setting makes is termios_settings_test's; here, that
    // they are applied, a rate without a B constant included.
    const sim::Pty pty = sim::Pty::open();
    PortSettings settings;
    settings.baud = probe::takesAnyRate(pty.slave()) ? 250000 : 230400;
    settings.flow = Flow::rtsCts;
    settings.readWaitMs = 300;
    const SerialPort port = SerialPort::open(pty.path(), settings);
    const probe::PortState state = probe::stateOf(probe::descriptorOf(port.handle()));
    EXPECT_EQ(state.ospeed, settings.baud);
    EXPECT_EQ(state.ispeed, settings.baud);
    EXPECT_TRUE(probe::hasRtsCts(state));
    EXPECT_TRUE(probe::isRaw(state));
    EXPECT_EQ(probe::readWaitDeciseconds(state), 3);
    EXPECT_EQ(probe::minBytes(state), 0);
    if (probe::showsExclusiveMode(pty.slave())) {
        EXPECT_TRUE(state.exclusive);
    }
}

TEST(OwnedPort, WithoutTermios2ARateWithoutABConstantIsRefusedByName)
{
    const sim::Pty pty = sim::Pty::open();
    if (probe::takesAnyRate(pty.slave())) {
        GTEST_SKIP() << "this kernel takes any rate";
    }
    const probe::PortState before = probe::stateOf(pty.slave());
    PortSettings settings;
    settings.baud = 250000;
    std::string why;
    EXPECT_EQ(openFailure(pty.path(), settings, &why), "error");
    EXPECT_EQ(why, "the port cannot run at 250000 baud");
    EXPECT_EQ(probe::stateOf(pty.slave()), before);
}

TEST(OwnedPort, ThePreviousSettingsComeBackOnCloseOnRestoreAndAfterAFailedOpen)
{
    const sim::Pty pty = sim::Pty::open();
    probe::setCooked(pty.slave());
    const probe::PortState before = probe::stateOf(pty.slave());
    ASSERT_FALSE(probe::isRaw(before));
    PortSettings settings;
    settings.baud = probe::takesAnyRate(pty.slave()) ? 31250 : 38400;
    settings.parity = Parity::space;
    {
        SerialPort port = SerialPort::open(pty.path(), settings);
        EXPECT_NE(probe::stateOf(pty.slave()), before) << "the test's premise: the tool changes them";
        // What Ctrl-C does while a poll runs: back at once, the port still open.
        port.restoreSettings();
        EXPECT_EQ(probe::stateOf(pty.slave()), before);
    }
    {
        const SerialPort port = SerialPort::open(pty.path(), settings);
    }
    EXPECT_EQ(probe::stateOf(pty.slave()), before) << "closing must put every setting back, exclusive mode too";

    // A pseudo-terminal has no modem lines: the open fails after claiming
    // the port, and must leave nothing changed.
    settings.dtr = Line::on;
    std::string why;
    EXPECT_EQ(openFailure(pty.path(), settings, &why), "error");
    EXPECT_NE(why.find("DTR"), std::string::npos) << why;
    EXPECT_EQ(probe::stateOf(pty.slave()), before);
    EXPECT_EQ(openFailure(pty.path()), "") << "a failed open must not leave the port held";
}

TEST(PortReads, BytesThatArriveSilenceAndADeviceThatWentAway)
{
    PseudoTerminal device;
    const std::string path = ptsname(device.master());
    SerialPort port = SerialPort::open(path, PortSettings{});
    unsigned char buffer[16] = {};

    device.deviceSends("OK\r\n");
    std::size_t got = 0;
    for (int i = 0; i < 10 && got < 4; ++i) {
        got += port.read(buffer + got, sizeof buffer - got, 500);
    }
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), got), "OK\r\n");

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port.read(buffer, sizeof buffer, 150), 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(140)) << "a read waits on silence";
    EXPECT_FALSE(port.deviceGone());

    device.closeMaster();
    EXPECT_TRUE(port.deviceGone());
    try {
        port.read(buffer, sizeof buffer, 150);
        ADD_FAILURE() << "a read from a port that hung up returned";
    } catch (const Error& error) {
        EXPECT_EQ(error.status(), Status::deviceGone);
        EXPECT_NE(std::string(error.what()).find("went away"), std::string::npos) << error.what();
    }
    try {
        port.write(toBytes("PING"));
        ADD_FAILURE() << "a write to a port that hung up returned";
    } catch (const Error& error) {
        EXPECT_EQ(error.status(), Status::deviceGone) << error.what();
    }
}

} // namespace
} // namespace kestrin
