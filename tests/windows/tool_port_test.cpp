// The tool's serial port and read trace on COM ports under Wine, each
// scenario with a device of its own played from Linux (the scripts are in
// CMakeLists.txt under the same names). Real time, as what is tested is
// what Windows' serial calls do.
#include "com_ports.h"

#include "base/bytes.h"
#include "base/error.h"
#include "host/import_table_windows.h"
#include "host/library.h"
#include "host/read_trace.h"
#include "host/serial_port.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace kestrin {
namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

const Library& library()
{
    static const Library loaded = Library::load("");
    return loaded;
}

PortSettings readWaitOf(int ms)
{
    PortSettings settings;
    settings.readWaitMs = ms;
    return settings;
}

// What arrives until `count` bytes are in or `withinMs` has passed.
std::string readUpTo(SerialPort& port, std::size_t count, int withinMs)
{
    std::string got;
    const auto start = Clock::now();
    unsigned char buffer[64];
    while (got.size() < count && msSince(start) < withinMs) {
        const std::size_t n = port.read(buffer, std::min(sizeof buffer, count - got.size()), 50);
        got.append(reinterpret_cast<const char*>(buffer), n);
    }
    return got;
}

// The port as a plain handle, to see what the tool's SerialPort leaves.
class RawPort {
public:
    explicit RawPort(const std::string& name)
        : handle_(CreateFileA(("\\\\.\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                              nullptr))
    {
    }
    ~RawPort()
    {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
    }
    RawPort(const RawPort&) = delete;
    RawPort& operator=(const RawPort&) = delete;
    bool isOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE handle() const { return handle_; }

private:
    HANDLE handle_;
};

DCB stateOf(HANDLE handle)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    EXPECT_TRUE(GetCommState(handle, &dcb));
    return dcb;
}

COMMTIMEOUTS timeoutsOf(HANDLE handle)
{
    COMMTIMEOUTS timeouts{};
    EXPECT_TRUE(GetCommTimeouts(handle, &timeouts));
    return timeouts;
}

std::string describe(const COMMTIMEOUTS& t)
{
    return std::to_string(t.ReadIntervalTimeout) + "/" + std::to_string(t.ReadTotalTimeoutMultiplier) + "/" +
           std::to_string(t.ReadTotalTimeoutConstant) + "/" + std::to_string(t.WriteTotalTimeoutMultiplier) + "/" +
           std::to_string(t.WriteTotalTimeoutConstant);
}

// Wine keeps only some of a DCB in the pseudo-terminal behind the port (a
// pty has no parity or character size of its own): the rate, the stop bits
// and the flow control are what it reports back faithfully.
void expectLineSettings(const DCB& dcb, DWORD baud, BYTE stopBits, bool xonXoff, bool ctsFlow)
{
    EXPECT_EQ(dcb.BaudRate, baud);
    EXPECT_EQ(dcb.StopBits, stopBits);
    EXPECT_EQ(bool(dcb.fOutX), xonXoff);
    EXPECT_EQ(bool(dcb.fInX), xonXoff);
    EXPECT_EQ(bool(dcb.fOutxCtsFlow), ctsFlow);
}

#define PORT_FOR(scenario)                                                                                    \
    const std::string portName = comPortFor(scenario);                                                      \
    ASSERT_FALSE(portName.empty()) << "no port for this scenario: pass " scenario "=COMn"

TEST(SerialPortOnCom, PutsBackTheSettingsItFound)
{
    PORT_FOR("restore");
    COMMTIMEOUTS found{};
    {
        // What some other program left: 4800 baud, two stop bits.
        RawPort before(portName);
        ASSERT_TRUE(before.isOpen());
        DCB dcb = stateOf(before.handle());
        dcb.BaudRate = 4800;
        dcb.StopBits = TWOSTOPBITS;
        dcb.fOutX = dcb.fInX = dcb.fOutxCtsFlow = FALSE;
        ASSERT_TRUE(SetCommState(before.handle(), &dcb));
        found = timeoutsOf(before.handle());
    }
    {
        PortSettings settings = readWaitOf(50);
        settings.baud = 115200;
        settings.flow = Flow::xonXoff;
        SerialPort port = SerialPort::open(portName, settings);
        expectLineSettings(stateOf(port.handle()), 115200, ONESTOPBIT, true, false);
        const COMMTIMEOUTS polling = timeoutsOf(port.handle());
        EXPECT_EQ(describe(polling), describe({MAXDWORD, MAXDWORD, 50, 0, 5000}));

        // What an interrupt handler does while the port is still open.
        port.restoreSettings();
        expectLineSettings(stateOf(port.handle()), 4800, TWOSTOPBITS, false, false);
        EXPECT_EQ(describe(timeoutsOf(port.handle())), describe(found));
    }
    RawPort after(portName);
    ASSERT_TRUE(after.isOpen()) << "the port stayed open";
    expectLineSettings(stateOf(after.handle()), 4800, TWOSTOPBITS, false, false);
}

TEST(SerialPortOnCom, ClosingPutsThemBackToo)
{
    PORT_FOR("restore");
    {
        RawPort before(portName);
        DCB dcb = stateOf(before.handle());
        dcb.BaudRate = 2400;
        dcb.StopBits = ONESTOPBIT;
        dcb.fOutX = dcb.fInX = dcb.fOutxCtsFlow = FALSE;
        ASSERT_TRUE(SetCommState(before.handle(), &dcb));
    }
    {
        PortSettings settings = readWaitOf(20);
        settings.baud = 250000; // no standard rate: Windows takes any in the DCB
        settings.stopBits = 2;
        settings.flow = Flow::rtsCts;
        SerialPort port = SerialPort::open(portName, settings);
        EXPECT_EQ(stateOf(port.handle()).StopBits, TWOSTOPBITS);
        EXPECT_TRUE(stateOf(port.handle()).fOutxCtsFlow);
    }
    RawPort after(portName);
    expectLineSettings(stateOf(after.handle()), 2400, ONESTOPBIT, false, false);
}

TEST(SerialPortOnCom, RtsCannotBeSetWhileRtsCtsDrivesIt)
{
    PORT_FOR("restore");
    PortSettings settings = readWaitOf(20);
    settings.flow = Flow::rtsCts;
    settings.rts = Line::on;
    EXPECT_THROW(SerialPort::open(portName, settings), Error);
    // And the refusal left the port free.
    settings.rts = Line::keep;
    EXPECT_NO_THROW(SerialPort::open(portName, settings));
}

TEST(SerialPortOnCom, ASecondOpenIsBusyHoweverThePortIsNamed)
{
    PORT_FOR("busy");
    std::string lower = portName;
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    {
        const SerialPort first = SerialPort::open(portName, readWaitOf(20));
        for (const std::string& again : {portName, lower, "\\\\.\\" + portName}) {
            try {
                SerialPort::open(again, readWaitOf(20));
                ADD_FAILURE() << again << " opened while the port was in use";
            } catch (const Error& error) {
                EXPECT_EQ(error.status(), Status::busy) << again;
                EXPECT_EQ(std::string(error.what()).rfind("busy: ", 0), 0u) << error.what();
            }
        }
    }
    // Free again once the first is closed; a port moved on keeps it, and
    // what it was moved from lets nothing go.
    SerialPort moved;
    {
        SerialPort second = SerialPort::open(portName, readWaitOf(20));
        moved = std::move(second);
    }
    EXPECT_THROW(SerialPort::open(portName, readWaitOf(20)), Error);
}

TEST(SerialPortOnCom, AFailedOpenLeavesThePortFree)
{
    PORT_FOR("busy");
    PortSettings impossible = readWaitOf(20);
    impossible.dataBits = 4; // refused by the driver's SetCommState
    try {
        SerialPort::open(portName, impossible);
        ADD_FAILURE() << "4 data bits were accepted";
    } catch (const Error& error) {
        EXPECT_EQ(error.status(), Status::error);
        EXPECT_NE(std::string(error.what()).find("cannot apply the port settings (9600 baud 4N1)"),
                  std::string::npos)
            << error.what();
    }
    EXPECT_NO_THROW(SerialPort::open(portName, readWaitOf(20)));
}

TEST(SerialPortOnCom, ReadsWhatArrivesWithinItsWait)
{
    PORT_FOR("reader");
    SerialPort port = SerialPort::open(portName, readWaitOf(20));
    port.write(toBytes("GO"));
    EXPECT_EQ(readUpTo(port, 3, 3000), "abc");

    // The next byte comes 400 ms after them: a shorter wait ends empty.
    unsigned char buffer[8];
    auto start = Clock::now();
    EXPECT_EQ(port.read(buffer, sizeof buffer, 100), 0u);
    EXPECT_GE(msSince(start), 80);
    EXPECT_LT(msSince(start), 350);
    EXPECT_FALSE(port.deviceGone());

    // A longer one returns as soon as it comes.
    start = Clock::now();
    ASSERT_EQ(port.read(buffer, sizeof buffer, 3000), 1u);
    EXPECT_EQ(buffer[0], 'd');
    EXPECT_LT(msSince(start), 1000);

    // The poll's own time-outs are back after reads with other waits.
    EXPECT_EQ(describe(timeoutsOf(port.handle())), describe({MAXDWORD, MAXDWORD, 20, 0, 5000}));
}

TEST(SerialPortOnCom, ADeviceThatHangsUpIsGone)
{
    PORT_FOR("gone");
    SerialPort port = SerialPort::open(portName, readWaitOf(20));
    port.write(toBytes("GO"));
    EXPECT_EQ(readUpTo(port, 1, 3000), "x");
    EXPECT_FALSE(port.deviceGone());
    // It hangs up 200 ms after its byte; reads until then find the line quiet.
    const auto start = Clock::now();
    unsigned char buffer[8];
    try {
        while (msSince(start) < 3000) {
            port.read(buffer, sizeof buffer, 50);
        }
        ADD_FAILURE() << "reads went on after the device hung up";
    } catch (const Error& error) {
        EXPECT_EQ(error.status(), Status::deviceGone);
        EXPECT_STREQ(error.what(), "the device went away");
    }
    EXPECT_TRUE(port.deviceGone());
}

TEST(SerialPortOnCom, APortWithoutModemLinesRefusesThemByName)
{
    PORT_FOR("nolines");
    SerialPort port = SerialPort::open(portName, readWaitOf(20));
    try {
        port.driveLines({parsePulse("rts=50ms")});
        ADD_FAILURE() << "a pulse on a pseudo-terminal's RTS went through";
    } catch (const Error& error) {
        EXPECT_EQ(error.status(), Status::error);
        // Wine answers ERROR_NOT_SUPPORTED for a line its terminal lacks.
        EXPECT_EQ(std::string(error.what()).rfind("cannot set RTS: the port has no modem lines (", 0), 0u)
            << error.what();
    }
}

// The record modem_lines_shim keeps when it is preloaded into Wine, which
// then gives the pseudo-terminal behind a COM port modem lines: each change
// as its time and the levels after it ("dtr rts", on or off).
struct LineChange {
    double ms = 0;
    std::string levels;
};

std::string shimLog()
{
    const char* path = std::getenv("KESTRIN_MODEM_LINES_LOG");
    std::string windows = path == nullptr ? "" : std::string("Z:") + path;
    std::replace(windows.begin(), windows.end(), '/', '\\');
    return windows;
}

std::vector<LineChange> lineChanges()
{
    std::vector<LineChange> changes;
    std::ifstream log(shimLog());
    std::string line;
    while (std::getline(log, line)) {
        std::istringstream fields(line);
        double seconds = 0;
        std::string pid, port, request, dtr, rts;
        fields >> seconds >> pid >> port >> request >> dtr >> rts;
        changes.push_back({seconds * 1000, dtr.substr(4) + " " + rts.substr(4)});
    }
    return changes;
}

// Drives the lines through EscapeCommFunction: Wine's serial calls are then
// what the shim sees.
class ComModemLines : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(shimLog().empty()) << "KESTRIN_MODEM_LINES_LOG is not set";
        // Both lines on, as a port's usually are, whatever a test before
        // left; the record starts after.
        const RawPort port(comPortFor("lines"));
        ASSERT_TRUE(port.isOpen());
        ASSERT_TRUE(EscapeCommFunction(port.handle(), SETDTR)) << "is the shim preloaded into Wine?";
        ASSERT_TRUE(EscapeCommFunction(port.handle(), SETRTS));
        std::ofstream(shimLog(), std::ios::trunc);
    }
};

// At least what was asked, and not much more on a busy machine.
const double slackMs = 70;

TEST_F(ComModemLines, APulseLeavesThePresentLevelForItsLengthAndComesBack)
{
    PORT_FOR("lines");
    // DTR as the tool set it at open, RTS as it found it.
    PortSettings settings = readWaitOf(20);
    settings.dtr = Line::off;
    std::vector<LineChange> seen;
    {
        SerialPort port = SerialPort::open(portName, settings);
        port.driveLines({parsePulse("dtr=100ms"), parsePulse("rts=100ms")});
        seen = lineChanges();
    }
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[0].levels, "off on");
    EXPECT_EQ(seen[1].levels, "on on");
    EXPECT_EQ(seen[2].levels, "off on");
    EXPECT_EQ(seen[3].levels, "off off");
    EXPECT_EQ(seen[4].levels, "off on");
    for (const int at : {1, 3}) {
        EXPECT_GE(seen[at + 1].ms - seen[at].ms, 100);
        EXPECT_LT(seen[at + 1].ms - seen[at].ms, 100 + slackMs);
    }
}

TEST_F(ComModemLines, TheLevelsFoundAtOpenComeBackWithTheSettings)
{
    PORT_FOR("lines");
    {
        // Another program left DTR off.
        const RawPort other(portName);
        ASSERT_TRUE(EscapeCommFunction(other.handle(), CLRDTR));
    }
    {
        SerialPort port = SerialPort::open(portName, readWaitOf(20));
        port.driveLines(parseLineSequence("dtr=on rts=off"));
        ASSERT_FALSE(lineChanges().empty());
        EXPECT_EQ(lineChanges().back().levels, "on off");
        port.restoreSettings();
        EXPECT_EQ(lineChanges().back().levels, "off on");
        // Taken from the level put back, which is the level now.
        port.driveLines({parsePulse("dtr=20ms")});
        EXPECT_EQ(lineChanges().back().levels, "off on");
        port.driveLines(parseLineSequence("rts=off"));
    }
    EXPECT_EQ(lineChanges().back().levels, "off on") << "closing must put them back too";
}

TEST(ReadTraceOnCom, ShowsEveryByteThePollReadAndNothingMore)
{
    PORT_FOR("trace");
    SerialPort port = SerialPort::open(portName, readWaitOf(20));
    void** slot = importSlot(static_cast<HMODULE>(library().module()), "kernel32.dll", "ReadFile");
    ASSERT_NE(slot, nullptr);
    void* const bound = *slot;
    port.write(toBytes("PING"));
    std::vector<TracedByte> traced;
    int result = -1;
    {
        const ReadTrace trace(library(), port.handle(), 4, true);
        unsigned char okay[] = {'O', 'K', 'A', 'Y'};
        result = library().pollUart(port.handle(), 4, okay, 3000);
        traced = *trace.record().all();
    }
    EXPECT_EQ(result, 1);
    EXPECT_EQ(*slot, bound) << "the library's import was not put back";

    // NOPE, then 300 ms later OKAY: both attempts, in order, with their times.
    std::string text;
    for (const TracedByte& b : traced) {
        text.push_back(static_cast<char>(b.byte));
    }
    ASSERT_EQ(text, "NOPEOKAY");
    for (std::size_t i = 1; i < traced.size(); ++i) {
        EXPECT_GE(traced[i].atUs, traced[i - 1].atUs) << i;
    }
    EXPECT_GE(traced[0].atUs, 50000);
    EXPECT_GE(traced[4].atUs - traced[3].atUs, 200000);
    EXPECT_LT(traced[7].atUs, 3000000);
    // What followed the reply is still in the port: the trace took nothing.
    EXPECT_EQ(readUpTo(port, 4, 2000), "REST");
}

TEST(ReadTraceOnCom, RecordsOnlyTheTracedPort)
{
    PORT_FOR("untraced");
    SerialPort port = SerialPort::open(portName, readWaitOf(20));
    port.write(toBytes("PING"));
    const HANDLE elsewhere = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const ReadTrace trace(library(), elsewhere, 4, true);
    unsigned char ok[] = {'O', 'K'};
    EXPECT_EQ(library().pollUart(port.handle(), 2, ok, 3000), 1);
    EXPECT_TRUE(trace.record().count() == 0);
    CloseHandle(elsewhere);
}

} // namespace
} // namespace kestrin
