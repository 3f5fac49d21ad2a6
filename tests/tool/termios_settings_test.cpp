// The termios2 the tool sets on Linux, for what a pseudo-terminal does not
// keep: data bits and parity. The kernel's termios2 cannot share a file with
// <termios.h>, so these cases are here and not with the port's.
#include "host/serial_port_posix.h"

#include <gtest/gtest.h>

namespace kestrin {
namespace {

// A port as a previous program may leave it: canonical, echoing, 7E2 at
// 4800 baud with hardware flow control and reads that wait for a byte.
termios2 cooked()
{
    termios2 tio{};
    tio.c_iflag = ICRNL | IXON | ISTRIP | INPCK;
    tio.c_oflag = OPOST | ONLCR;
    tio.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
    tio.c_cflag = B4800 | CS7 | PARENB | CSTOPB | CRTSCTS | HUPCL;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    tio.c_cc[VINTR] = 3;
    return tio;
}

termios2 with(void (*change)(PortSettings&))
{
    PortSettings settings;
    change(settings);
    return configuredTermios(cooked(), settings);
}

TEST(Termios, RawEightNoneOneAtTheBaudAskedWithTheReadWait)
{
    const termios2 tio = with([](PortSettings& s) { s.readWaitMs = 250; });
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_iflag & (ICRNL | IXON | ISTRIP | INPCK), 0u);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS), 0u);
    EXPECT_NE(tio.c_cflag & (CLOCAL | CREAD), 0u);
    EXPECT_NE(tio.c_cflag & HUPCL, 0u) << "what the tool does not set stays as it was";
    EXPECT_EQ(tio.c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER));
    EXPECT_EQ(tio.c_ospeed, 9600u);
    EXPECT_EQ(tio.c_ispeed, 9600u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 3) << "250 ms rounds up to three tenths";
    EXPECT_EQ(tio.c_cc[VINTR], 3);
}

TEST(Termios, EachParityDataBitsAndStopBits)
{
    const auto parity = [](Parity p) {
        PortSettings settings;
        settings.parity = p;
        return configuredTermios(cooked(), settings).c_cflag & (PARENB | PARODD | CMSPAR);
    };
    EXPECT_EQ(parity(Parity::none), 0u);
    EXPECT_EQ(parity(Parity::even), static_cast<tcflag_t>(PARENB));
    EXPECT_EQ(parity(Parity::odd), static_cast<tcflag_t>(PARENB | PARODD));
    EXPECT_EQ(parity(Parity::mark), static_cast<tcflag_t>(PARENB | PARODD | CMSPAR));
    EXPECT_EQ(parity(Parity::space), static_cast<tcflag_t>(PARENB | CMSPAR));
    EXPECT_EQ(with([](PortSettings& s) { s.dataBits = 5; }).c_cflag & CSIZE, static_cast<tcflag_t>(CS5));
    EXPECT_EQ(with([](PortSettings& s) { s.dataBits = 7; }).c_cflag & CSIZE, static_cast<tcflag_t>(CS7));
    EXPECT_NE(with([](PortSettings& s) { s.stopBits = 2; }).c_cflag & CSTOPB, 0u);
}

TEST(Termios, AnyBaudRateAndEachFlowControl)
{
    const termios2 dmx = with([](PortSettings& s) { s.baud = 250000; });
    EXPECT_EQ(dmx.c_ospeed, 250000u);
    EXPECT_EQ((dmx.c_cflag >> IBSHIFT) & CBAUD, static_cast<tcflag_t>(BOTHER)) << "the input rate too";
    const termios2 hardware = with([](PortSettings& s) { s.flow = Flow::rtsCts; });
    EXPECT_NE(hardware.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(hardware.c_iflag & (IXON | IXOFF), 0u);
    const termios2 software = with([](PortSettings& s) { s.flow = Flow::xonXoff; });
    EXPECT_EQ(software.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(software.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_EQ(software.c_cc[VSTART], 0x11);
    EXPECT_EQ(software.c_cc[VSTOP], 0x13);
}

} // namespace
} // namespace kestrin
