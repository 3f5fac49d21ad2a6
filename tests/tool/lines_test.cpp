// Modem line steps as people type them (--pulse, --lines), and a port
// without modem lines refusing them by name. Driving real levels needs the
// shim: modem_lines_test.cpp.
#include "base/error.h"
#include "base/lines.h"
#include "host/serial_port.h"
#include "sim/pty.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrin {
namespace {

using Kind = LineStep::Kind;

// The usage Error's text, or "" when `parse` took the text.
template <typename Parse>
std::string usageText(Parse parse)
{
    try {
        parse();
    } catch (const Error& error) {
        EXPECT_EQ(error.status(), Status::usage) << error.what();
        return error.what();
    }
    return "";
}

TEST(LineSteps, ASequenceIsLevelsAndWaitsInOrderInAnyCase)
{
    const std::vector<LineStep> steps = parseLineSequence("  dtr=off RTS=On\t100ms rts=OFF 1.5s Dtr=on ");
    ASSERT_EQ(steps.size(), 6u);
    EXPECT_TRUE(steps[0].kind == Kind::set && steps[0].line == ModemLine::dtr && !steps[0].on);
    EXPECT_TRUE(steps[1].kind == Kind::set && steps[1].line == ModemLine::rts && steps[1].on);
    EXPECT_TRUE(steps[2].kind == Kind::wait && steps[2].ms == 100);
    EXPECT_TRUE(steps[3].kind == Kind::set && steps[3].line == ModemLine::rts && !steps[3].on);
    EXPECT_TRUE(steps[4].kind == Kind::wait && steps[4].ms == 1500);
    EXPECT_TRUE(steps[5].kind == Kind::set && steps[5].line == ModemLine::dtr && steps[5].on);
}

TEST(LineSteps, APulseIsALineAndADuration)
{
    const LineStep dtr = parsePulse("dtr=100ms");
    EXPECT_TRUE(dtr.kind == Kind::pulse && dtr.line == ModemLine::dtr && dtr.ms == 100);
    const LineStep rts = parsePulse("RTS=1s");
    EXPECT_TRUE(rts.kind == Kind::pulse && rts.line == ModemLine::rts && rts.ms == 1000);
    EXPECT_STREQ(lineName(ModemLine::dtr), "DTR");
    EXPECT_STREQ(lineName(ModemLine::rts), "RTS");
}

TEST(LineSteps, AWrongSequenceWordIsNamedWithTheOption)
{
    // The word at fault, and what is wrong with it.
    const struct {
        const char* text;
        const char* says;
    } cases[] = {
        {"dtr=off cts=on", "--lines 'cts=on': the line must be dtr or rts, not 'cts'"},
        {"dtr=maybe", "--lines 'dtr=maybe': the level must be on or off, not 'maybe'"},
        {"rts=100ms", "--lines 'rts=100ms': the level must be on or off (a pulse is --pulse rts=100ms)"},
        {"dtr=on 100xs", "--lines '100xs': '100xs' is not a duration"},
        {" \t", "--lines: no steps given"},
    };
    for (const auto& c : cases) {
        const std::string text = usageText([&] { parseLineSequence(c.text); });
        EXPECT_EQ(text.rfind(c.says, 0), 0u) << c.text << " gave: " << text;
    }
}

TEST(LineSteps, AWrongPulseIsNamedWithTheOption)
{
    const struct {
        const char* text;
        const char* says;
    } cases[] = {
        {"dtr", "--pulse 'dtr': write LINE=DURATION"},
        {"dsr=100ms", "--pulse 'dsr=100ms': the line must be dtr or rts, not 'dsr'"},
        {"dtr=on", "--pulse 'dtr=on': 'on' is not a duration"},
        {"rts=", "--pulse 'rts=': '' is not a duration"},
        {"dtr=0ms", "--pulse 'dtr=0ms': a pulse lasts at least 1 ms"},
    };
    for (const auto& c : cases) {
        const std::string text = usageText([&] { parsePulse(c.text); });
        EXPECT_EQ(text.rfind(c.says, 0), 0u) << c.text << " gave: " << text;
    }
}

TEST(LineSteps, APortWithoutModemLinesRefusesThemByName)
{
    // A pseudo-terminal opens (nothing asked for its lines), but cannot
    // drive them.
    const sim::Pty pty = sim::Pty::open();
    SerialPort port = SerialPort::open(pty.path(), PortSettings{});
    for (const char* line : {"dtr", "rts"}) {
        try {
            port.driveLines({parsePulse(std::string(line) + "=50ms")});
            ADD_FAILURE() << "a pulse on a pseudo-terminal's " << line << " went through";
        } catch (const Error& error) {
            EXPECT_EQ(error.status(), Status::error);
            EXPECT_EQ(std::string(error.what()),
                      std::string("cannot set ") + lineName(parsePulse(std::string(line) + "=1ms").line) +
                          ": the port has no modem lines (Inappropriate ioctl for device)");
        }
    }
}

} // namespace
} // namespace kestrin
