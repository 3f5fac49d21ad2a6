#include "simulator.h"

#include "device_pty.h"
#include "device_script.h"
#include "simulated_device.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

namespace kestrin {

namespace {

int stopPipe[2] = {-1, -1};

extern "C" void onStopSignal(int)
{
    const int saved = errno;
    const char byte = 's';
    [[maybe_unused]] const ssize_t ignored = ::write(stopPipe[1], &byte, 1);
    errno = saved;
}

bool installStopSignals(std::string& error)
{
    if (pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
    // A reader of the trace that goes away must not kill the device.
    ::signal(SIGPIPE, SIG_IGN);
    return true;
}

bool loadRules(const SimArguments& args, std::vector<DeviceRule>& rules, std::string& error)
{
    for (std::size_t i = 0; i < args.rules.size(); ++i) {
        DeviceRule rule;
        std::string why;
        if (!parseRule(args.rules[i], rule, why)) {
            error = "rule " + std::to_string(i + 1) + " (" + args.rules[i] + "): " + why;
            return false;
        }
        rules.push_back(std::move(rule));
    }
    if (!args.scriptFile.empty()) {
        std::ifstream file(args.scriptFile, std::ios::binary);
        if (!file) {
            error = "cannot read the script " + args.scriptFile + ": " + std::strerror(errno);
            return false;
        }
        std::stringstream text;
        text << file.rdbuf();
        std::vector<DeviceRule> fromFile;
        std::string why;
        if (!parseScript(text.str(), fromFile, why)) {
            error = args.scriptFile + ": " + why;
            return false;
        }
        rules.insert(rules.end(), fromFile.begin(), fromFile.end());
    }
    return true;
}

// Replaces a stale link from an earlier run, never anything else.
bool makeLink(const std::string& link, const std::string& target, std::string& error)
{
    struct stat info {};
    if (lstat(link.c_str(), &info) == 0) {
        if (!S_ISLNK(info.st_mode)) {
            error = link + " exists and is not a symbolic link";
            return false;
        }
        unlink(link.c_str());
    }
    if (symlink(target.c_str(), link.c_str()) != 0) {
        error = "cannot link " + link + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void removeLink(const std::string& link, const std::string& target)
{
    char points[4096];
    const ssize_t n = readlink(link.c_str(), points, sizeof points);
    if (n > 0 && std::string(points, static_cast<std::size_t>(n)) == target) {
        unlink(link.c_str());
    }
}

} // namespace

int runSimulator(const SimArguments& args)
{
    std::vector<DeviceRule> rules;
    std::string error;
    DevicePty pty;
    if (!loadRules(args, rules, error) || !installStopSignals(error) || !openDevicePty(pty, error)) {
        std::cerr << "kestrin sim: " << error << std::endl;
        return 2;
    }
    if (!args.link.empty() && !makeLink(args.link, pty.path, error)) {
        std::cerr << "kestrin sim: " << error << std::endl;
        closeDevicePty(pty);
        return 2;
    }
    // Whoever started the device waits for this line: the port is ready.
    std::cout << pty.path << std::endl;

    SimulatedDevice device(std::move(rules), deviceClockMs());
    runDevice(device, pty, stopPipe[0], args.rounds, args.trace ? stdout : nullptr);

    if (!args.link.empty()) {
        removeLink(args.link, pty.path);
    }
    closeDevicePty(pty);
    return 0;
}

} // namespace kestrin
