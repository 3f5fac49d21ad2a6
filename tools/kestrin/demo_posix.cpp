#include "demo.h"

#include "device_pty.h"
#include "device_script.h"
#include "library.h"
#include "poll_run.h"
#include "report.h"
#include "simulated_device.h"
#include "terminal.h"

#include <fcntl.h>
#include <unistd.h>

#include <iostream>
#include <thread>

namespace kestrin {

namespace {

// The device: a quick right answer to PING, and to READ? a wrong answer that
// it keeps repeating for longer than the second poll's budget.
const char demoScript[] = "on PING\\r\\n reply PONG\\r\\n after 200\n"
                          "on READ?\\r\\n reply NO\\r\\n after 100 repeat 30 every 100\n";

struct Round {
    const char* request;
    const char* expect;
    int timeoutMs;
    const char* device;
    PollStatus wanted;
};

const Round rounds[] = {
    {"PING\r\n", "PONG\r\n", 2000, "The device answers \"PONG\\r\\n\" after 200 ms.", PollStatus::matched},
    {"READ?\r\n", "OK\r\n", 1500, "The device answers \"NO\\r\\n\" instead, every 100 ms.", PollStatus::noMatch},
};

} // namespace

int runDemo(const std::string& libraryPath)
{
    Library library;
    std::string error;
    std::vector<DeviceRule> rules;
    if (!loadLibrary(libraryPath, library, error) || !parseScript(demoScript, rules, error)) {
        std::cerr << "kestrin demo: " << error << std::endl;
        return 2;
    }
    DevicePty pty;
    int stop[2] = {-1, -1};
    if (!openDevicePty(pty, error) || pipe2(stop, O_CLOEXEC) != 0) {
        std::cerr << "kestrin demo: " << (error.empty() ? "cannot make a pipe" : error) << std::endl;
        unloadLibrary(library);
        return 2;
    }
    SimulatedDevice device(std::move(rules), deviceClockMs());
    std::thread deviceThread([&] { runDevice(device, pty, stop[0], 0, nullptr); });

    const int version = library.version();
    std::cout << "Kestrin demo: a simulated device on " << pty.path << ",\n"
              << "polled through " << library.path << " (version " << dottedVersion(version) << ").\n";
    int status = 0;
    int step = 1;
    for (const Round& round : rounds) {
        PollRequest request;
        request.port = pty.path;
        request.expect = toBytes(round.expect);
        request.send = toBytes(round.request);
        request.timeoutMs = round.timeoutMs;
        std::cout << "\n" << step++ << ". The host sends \"" << escapeBytes(request.send) << "\" and expects \""
                  << escapeBytes(request.expect) << "\" within " << round.timeoutMs << " ms.\n"
                  << "   " << round.device << std::endl;
        const PollOutcome outcome = runPoll(library, request, stderrIsTerminal());
        if (outcome.status == PollStatus::error) {
            std::cerr << errorLine(request.port, outcome.error) << std::endl;
            status = 2;
            break;
        }
        std::cout << "   pollUart returned " << outcome.result << ": " << resultLine(request, outcome) << std::endl;
        if (outcome.status != round.wanted) {
            status = 1;
        }
    }
    if (status == 0) {
        std::cout << "\nKestrin told the right reply from the wrong one. Try your own: kestrin sim --help, kestrin poll --help." << std::endl;
    } else if (status == 1) {
        std::cout << "\nThat is not what this device should give: something is wrong." << std::endl;
    }

    [[maybe_unused]] const ssize_t ignored = ::write(stop[1], "s", 1);
    deviceThread.join();
    ::close(stop[0]);
    ::close(stop[1]);
    closeDevicePty(pty);
    unloadLibrary(library);
    return status;
}

} // namespace kestrin
