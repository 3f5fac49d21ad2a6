// The tool's Windows host parts under test: GoogleTest's cases, given their
// COM ports as NAME=COMn, or one of the probes that interrupt_test.py drives
// from Linux, since only a signal from outside makes a real Ctrl-C here.
//
//   kestrin_tool_host_test [GoogleTest options] [NAME=COMn]...
//   kestrin_tool_host_test interrupt-probe COMn   opens COMn at 115200 baud and
//       two stop bits, says "polling", and polls for a reply that never comes
//   kestrin_tool_host_test released-probe        a guard made and gone, then waits
#include "com_ports.h"

#include "host/background.h"
#include "host/interrupt.h"
#include "host/library.h"
#include "host/serial_port.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <exception>

namespace {

int interruptProbe(const char* portName)
{
    const kestrin::Library library = kestrin::Library::load("");
    kestrin::PortSettings settings;
    settings.baud = 115200;
    settings.stopBits = 2;
    settings.readWaitMs = 20;
    kestrin::InterruptGuard guard;
    kestrin::SerialPort port = kestrin::SerialPort::open(portName, settings);
    kestrin::Background worker(guard);
    port.write(kestrin::toBytes("PING"));
    std::printf("polling\n");
    std::fflush(stdout);
    unsigned char never[] = {'N', 'E', 'V', 'E', 'R'};
    // A budget that never runs out: only Ctrl-C ends this, while the poll
    // goes on on the worker's thread.
    const DWORD mainThread = GetCurrentThreadId();
    DWORD pollingThread = 0;
    if (!worker.run(
            [&] {
                pollingThread = GetCurrentThreadId();
                library.pollUart(port.handle(), 5, never, INT_MAX);
            },
            100, {})) {
        port.restoreSettings();
        std::printf("interrupted on %s thread\n",
                    GetCurrentThreadId() == mainThread && pollingThread != mainThread ? "the main" : "another");
        std::fflush(stdout);
        kestrin::endProcess(130);
    }
    std::printf("the poll returned\n");
    return 3;
}

int releasedProbe()
{
    { const kestrin::InterruptGuard guard; }
    std::printf("waiting\n");
    std::fflush(stdout);
    Sleep(30000);
    return 3;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "interrupt-probe") == 0) {
        try {
            return interruptProbe(argv[2]);
        } catch (const std::exception& error) {
            std::printf("%s: %s\n", argv[2], error.what());
            return 2;
        }
    }
    if (argc == 2 && std::strcmp(argv[1], "released-probe") == 0) {
        return releasedProbe();
    }
    ::testing::InitGoogleTest(&argc, argv);
    if (!readComPortArguments(argc, argv)) {
        return 2;
    }
    return RUN_ALL_TESTS();
}
