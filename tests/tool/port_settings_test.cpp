// The port settings the tool applies decide how busily Kestrin polls: a read
// that returns at once on a silent line makes its loop spin a whole core.
#include "host/serial_port.h"
#include "sim/pty.h"

#include "port_probe.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>

namespace {

using namespace kestrin;

struct OpenedPort {
    sim::Pty pty = sim::Pty::open();
    SerialPort port;

    explicit OpenedPort(const PortSettings& settings) : port(SerialPort::open(pty.path(), settings)) {}
};

TEST(PortSettings, DefaultReadsWaitOnASilentLine)
{
    OpenedPort opened{PortSettings{}};
    ASSERT_TRUE(opened.port.isOpen());
    const int fd = probe::descriptorOf(opened.port.handle());
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);

    unsigned char byte = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(read(fd, &byte, 1), 0);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(90));
}

TEST(PortSettings, NoAllowedReadWaitReturnsAtOnceOrShorterThanAsked)
{
    PortSettings settings;
    const sim::Pty pty = sim::Pty::open();
    for (const int wait : {minReadWaitMs, 99, 100, 101, 250, 1000, 25499, maxReadWaitMs}) {
        settings.readWaitMs = wait;
        const SerialPort port = SerialPort::open(pty.path(), settings);
        termios tio{};
        ASSERT_EQ(tcgetattr(probe::descriptorOf(port.handle()), &tio), 0);
        EXPECT_EQ(tio.c_cc[VMIN], 0) << wait;
        EXPECT_GE(tio.c_cc[VTIME], 1) << wait;
        EXPECT_GE(tio.c_cc[VTIME] * 100, wait) << wait;
    }
}

} // namespace
