// Nothing lost: thousands of back-to-back request/reply rounds against
// `kestrin sim`, a simulated device on a pseudo-terminal that sends trailing
// bytes after every reply. After each poll, the bytes the poll had no need to
// read must all still be there for the host, in order, and nothing else.
#include "kestrin.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr int rounds = 2000;


std::string hex(const std::string& bytes)
{
    std::string out;
    char two[3];
    for (const char c : bytes) {
        std::snprintf(two, sizeof two, "%02x", static_cast<unsigned char>(c));
        out += two;
    }
    return out;
}

// One kind of exchange: what the host expects and with what budget, what the
// device sends (a wrong reply first, for some), and the trailing bytes that
// must be left for the host.
struct Exchange {
    std::string request;
    std::string pattern;
    int timeoutMs;
    int expected;
    std::string deviceSends; // without the trailer
    std::string trailer;
    const char* timing;      // how the device sends it
};

std::vector<Exchange> exchanges()
{
    std::mt19937 random(2024);
    auto bytes = [&](std::size_t n) {
        std::string s(n, '\0');
        for (char& c : s) {
            c = static_cast<char>(random() % 256);
        }
        return s;
    };
    const char* timings[] = {"", "", "", "after 2", "", "", "", "gap 1"};
    std::vector<Exchange> kinds;
    for (int k = 0; k < 16; ++k) {
        char request[8];
        std::snprintf(request, sizeof request, "Q%02d\r", k);
        Exchange e;
        e.request = request;
        e.pattern = bytes(1 + random() % kestrinMaxLength);
        e.trailer = bytes(1 + random() % 12);
        e.timing = timings[k % 8];
        std::string wrong = e.pattern;
        wrong[0] = static_cast<char>(wrong[0] ^ 0x5A);
        switch (k % 3) {
        case 0: // the reply at once
            e.deviceSends = e.pattern;
            e.timeoutMs = 2000;
            e.expected = 1;
            break;
        case 1: // a wrong reply, then the right one
            e.deviceSends = wrong + e.pattern;
            e.timeoutMs = 2000;
            e.expected = 1;
            break;
        default: // a wrong reply and no time for more
            e.deviceSends = wrong;
            e.timeoutMs = 0;
            e.expected = 0;
            break;
        }
        kinds.push_back(e);
    }
    return kinds;
}

class SimulatedDevice {
public:
    explicit SimulatedDevice(const std::string& scriptPath)
    {
        int out[2];
        if (pipe(out) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        // With --rounds it exits 0 only once it has answered them all and
        // the host has closed the port. A tool built for another processor
        // starts through its emulator, which the command begins with.
        const std::string roundsArg = std::to_string(rounds);
        std::vector<const char*> argv = {KESTRIN_CLI_COMMAND};
        for (const char* arg : {"sim", "--script", scriptPath.c_str(), "--rounds", roundsArg.c_str()}) {
            argv.push_back(arg);
        }
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, argv[0], &actions, nullptr, const_cast<char**>(argv.data()), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        // The port is ready once its path is printed.
        char c = 0;
        while (read(out[0], &c, 1) == 1 && c != '\n') {
            path_.push_back(c);
        }
        close(out[0]);
    }
    ~SimulatedDevice()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    SimulatedDevice(const SimulatedDevice&) = delete;
    SimulatedDevice& operator=(const SimulatedDevice&) = delete;

    const std::string& path() const { return path_; }

    // Its exit status once it has stopped by itself, or -1.
    int waitForExit(std::chrono::seconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        int status = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            usleep(10'000);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    std::string path_;
};

// Up to `count` bytes within two seconds.
std::string readBytes(int fd, std::size_t count)
{
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    char c = 0;
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
        if (read(fd, &c, 1) == 1) {
            got.push_back(c);
        }
    }
    return got;
}

TEST(NothingLost, TrailingBytesStayForTheHostOverThousandsOfRounds)
{
    const std::vector<Exchange> kinds = exchanges();
    char dir[] = "/tmp/kestrin-nothing-lost-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string script = std::string(dir) + "/device.script";
    {
        std::ofstream out(script);
        for (const Exchange& e : kinds) {
            out << "on hex:" << hex(e.request) << " reply hex:" << hex(e.deviceSends + e.trailer) << " " << e.timing
                << "\n";
        }
    }

    SimulatedDevice device(script);
    ASSERT_FALSE(device.path().empty()) << "kestrin sim printed no port";
    const int fd = open(device.path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0) << device.path();
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 1;
    tcsetattr(fd, TCSANOW, &settings);

    std::mt19937 random(7);
    int wrongResults = 0;
    int lostOrChanged = 0;
    std::string firstFailure;
    for (int r = 0; r < rounds; ++r) {
        const Exchange& e = kinds[random() % kinds.size()];
        ASSERT_EQ(write(fd, e.request.data(), e.request.size()), static_cast<ssize_t>(e.request.size()));
        std::string pattern = e.pattern;
        const int got = pollUart(reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)),
                                 static_cast<int>(pattern.size()), reinterpret_cast<unsigned char*>(pattern.data()),
                                 e.timeoutMs);
        const std::string rest = readBytes(fd, e.trailer.size());
        if (got != e.expected || rest != e.trailer) {
            // Later rounds would only pile up on the first fault.
            wrongResults += got != e.expected;
            lostOrChanged += rest != e.trailer;
            firstFailure = "round " + std::to_string(r) + " (" + e.request.substr(0, 3) + "): result " +
                           std::to_string(got) + ", left " + hex(rest) + ", expected " + hex(e.trailer);
            break;
        }
    }
    char extra = 0;
    const ssize_t more = read(fd, &extra, 1);
    close(fd);

    EXPECT_EQ(wrongResults, 0) << firstFailure;
    EXPECT_EQ(lostOrChanged, 0) << firstFailure;
    EXPECT_EQ(more, 0) << "a byte nobody expected is left in the port";
    EXPECT_EQ(device.waitForExit(std::chrono::seconds(15)), 0) << "kestrin sim did not answer every round";
    std::remove(script.c_str());
    rmdir(dir);
}

} // namespace
