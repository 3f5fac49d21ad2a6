// pollUart on real COM ports under Wine, with ReadFile's time-outs and
// GetTickCount in place of the virtual clock. Each scenario has its own port
// and a device played from the Linux side (see CMakeLists.txt); all of them
// run at once, so the run lasts about as long as the idle stop.
//
// Command line: GoogleTest's options, then NAME=COMn for each scenario's port.
#include "com_ports.h"
#include "kestrin_dll.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <map>
#include <string>

namespace {

// What the host sends once its port is ready; the devices answer it.
const char* const request = "PING\r\n";
// How long one ReadFile waits for a byte.
const DWORD readWaitMs = 20;

struct Outcome {
    std::string error;
    int result = -1;
    long long elapsedMs = 0;  // wall clock, around the call
    DWORD tickElapsedMs = 0;  // GetTickCount, around the call: pollUart's own clock
    std::string rest;         // what the port still held afterwards
};

std::string describe(const Outcome& outcome)
{
    return "result " + std::to_string(outcome.result) + " after " + std::to_string(outcome.elapsedMs) + " ms (" +
           std::to_string(outcome.tickElapsedMs) + " ticks), left in the port: \"" + outcome.rest + "\"";
}

class Port {
public:
    explicit Port(const std::string& name)
        : handle_(CreateFileA(("\\\\.\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr))
    {
    }
    ~Port()
    {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
    }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;
    HANDLE handle() const { return handle_; }

private:
    HANDLE handle_;
};

std::string lastError(const char* call)
{
    return std::string(call) + " failed, error " + std::to_string(GetLastError());
}

// Opens, configures (9600 8N1, no flow control) and starts the exchange the
// way a host program does, then polls for `reply`.
Outcome exchange(const std::string& portName, const std::string& reply, int timeoutMs)
{
    Outcome outcome;
    const KestrinDll& dll = kestrinDll();
    if (dll.poll == nullptr) {
        outcome.error = "kestrin.dll or its pollUart did not load";
        return outcome;
    }
    const Port port(portName);
    if (port.handle() == INVALID_HANDLE_VALUE) {
        outcome.error = lastError(("CreateFile " + portName).c_str());
        return outcome;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port.handle(), &dcb)) {
        outcome.error = lastError("GetCommState");
        return outcome;
    }
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    if (!SetCommState(port.handle(), &dcb)) {
        outcome.error = lastError("SetCommState");
        return outcome;
    }
    // A read returns at once with a waiting byte, as soon as one arrives, or
    // empty after readWaitMs.
    COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, readWaitMs, 0, 1000};
    if (!SetCommTimeouts(port.handle(), &timeouts)) {
        outcome.error = lastError("SetCommTimeouts");
        return outcome;
    }
    PurgeComm(port.handle(), PURGE_RXCLEAR | PURGE_TXCLEAR);
    DWORD written = 0;
    if (!WriteFile(port.handle(), request, static_cast<DWORD>(std::strlen(request)), &written, nullptr) ||
        written != std::strlen(request)) {
        outcome.error = lastError("WriteFile");
        return outcome;
    }

    std::string pattern = reply;
    const auto start = std::chrono::steady_clock::now();
    const DWORD startTick = GetTickCount();
    outcome.result = dll.poll(port.handle(), static_cast<int>(pattern.size()),
                              reinterpret_cast<unsigned char*>(pattern.data()), timeoutMs);
    outcome.tickElapsedMs = GetTickCount() - startTick;
    outcome.elapsedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();

    char byte = 0;
    DWORD got = 0;
    while (ReadFile(port.handle(), &byte, 1, &got, nullptr) && got == 1) {
        outcome.rest.push_back(byte);
    }
    return outcome;
}

struct Scenario {
    std::string reply;
    int timeoutMs;
};

// The devices' side of each scenario is in CMakeLists.txt, under the same name.
const std::map<std::string, Scenario> scenarios = {
    {"reply", {"READY\r\n", 3000}},   // READY\r\nMORE, 200 ms after the request
    {"retry", {"OKAY", 3000}},        // FAIL after 100 ms, OKAY 300 ms later, a byte every 50 ms
    {"budget", {"OKAY", 500}},        // FAIL every 100 ms, for longer than the budget
    {"idle", {"OK", 0}},              // nothing at all
};

class ComPort : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        for (const auto& [name, scenario] : scenarios) {
            const auto port = comPorts().find(name);
            if (port != comPorts().end()) {
                running()[name] = std::async(std::launch::async, exchange, port->second, scenario.reply,
                                             scenario.timeoutMs);
            }
        }
    }

    // Waits for the scenario to end.
    static Outcome outcomeOf(const std::string& name)
    {
        auto run = running().find(name);
        if (run == running().end()) {
            Outcome missing;
            missing.error = "no port given for this scenario (pass " + name + "=COMn)";
            return missing;
        }
        return run->second.get();
    }

private:
    static std::map<std::string, std::future<Outcome>>& running()
    {
        static std::map<std::string, std::future<Outcome>> futures;
        return futures;
    }
};

TEST_F(ComPort, MatchingReplyLeavesWhatFollowsInThePort)
{
    const Outcome outcome = outcomeOf("reply");
    ASSERT_EQ(outcome.error, "");
    SCOPED_TRACE(describe(outcome));
    EXPECT_EQ(outcome.result, 1);
    // Awaited, and taken as soon as it came: each ReadFile returns on a byte.
    EXPECT_GE(outcome.elapsedMs, 100);
    EXPECT_LT(outcome.elapsedMs, 1000);
    EXPECT_EQ(outcome.rest, "MORE");
}

TEST_F(ComPort, MismatchThenMatchWithinTheBudget)
{
    const Outcome outcome = outcomeOf("retry");
    ASSERT_EQ(outcome.error, "");
    SCOPED_TRACE(describe(outcome));
    EXPECT_EQ(outcome.result, 1);
    EXPECT_GE(outcome.elapsedMs, 500);
    EXPECT_LT(outcome.elapsedMs, 2000);
    // The wrong reply was read as an attempt of its own.
    EXPECT_EQ(outcome.rest, "");
}

TEST_F(ComPort, WrongRepliesUntilTheBudgetIsSpent)
{
    const Outcome outcome = outcomeOf("budget");
    ASSERT_EQ(outcome.error, "");
    SCOPED_TRACE(describe(outcome));
    EXPECT_EQ(outcome.result, 0);
    EXPECT_GE(outcome.tickElapsedMs, 500u);
    // Over by one attempt at most: one wrong reply, 100 ms.
    EXPECT_LT(outcome.elapsedMs, 500 + 1000);
}

TEST_F(ComPort, SilentPortStopsAfterTheIdleLimit)
{
    const Outcome outcome = outcomeOf("idle");
    ASSERT_EQ(outcome.error, "");
    SCOPED_TRACE(describe(outcome));
    EXPECT_EQ(outcome.result, 0);
    EXPECT_GT(outcome.tickElapsedMs, 5000u);
    EXPECT_LT(outcome.elapsedMs, 5000 + 1500);
    EXPECT_EQ(outcome.rest, "");
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (!readComPortArguments(argc, argv)) {
        return 2;
    }
    return RUN_ALL_TESTS();
}
