// Many polls at once, one per pseudo-terminal and thread, each port with its
// own device and its own script of matches and mismatches: every result must
// be the one its script calls for, and every port must keep exactly the bytes
// its polls had no need to read.
#include "kestrin.h"
#include "pseudo_terminal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#ifndef KESTRIN_CONCURRENT_PORTS
#define KESTRIN_CONCURRENT_PORTS 256
#endif

namespace {

struct Round {
    std::string pattern;
    int timeoutMs;
    std::string deviceSends; // in two writes, split at `split`
    std::size_t split;
    int expected;
};

// Rounds of three kinds, on patterns of 1 to 20 bytes of any value:
//   the reply at once                   -> 1
//   a wrong reply of the same length,
//   then the right one                  -> 1, after two attempts
//   a wrong reply and a budget of 0     -> 0, after exactly one attempt
std::vector<Round> scriptFor(unsigned port)
{
    std::mt19937 random(port * 7919u + 17u);
    auto below = [&](unsigned n) { return static_cast<unsigned>(random() % n); };
    std::vector<Round> rounds;
    for (int r = 0; r < 6; ++r) {
        std::string pattern(1 + below(kestrinMaxLength), '\0');
        for (char& c : pattern) {
            c = static_cast<char>(below(256));
        }
        std::string wrong = pattern;
        const std::size_t at = below(static_cast<unsigned>(pattern.size()));
        wrong[at] = static_cast<char>(wrong[at] ^ (1 + below(255)));
        Round round{pattern, 5000, pattern, 0, 1};
        switch (below(3)) {
        case 0:
            break;
        case 1:
            round.deviceSends = wrong + pattern;
            break;
        default:
            round.deviceSends = wrong;
            round.timeoutMs = 0;
            round.expected = 0;
            break;
        }
        round.split = below(static_cast<unsigned>(round.deviceSends.size()) + 1);
        rounds.push_back(round);
    }
    return rounds;
}

// What the host can still read: up to `count` bytes within two seconds, then
// anything beyond them that arrives within one read wait.
std::string hostReads(const PseudoTerminal& pty, std::size_t count)
{
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    char c = 0;
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
        if (read(pty.slave(), &c, 1) == 1) {
            got.push_back(c);
        }
    }
    while (read(pty.slave(), &c, 1) == 1) {
        got.push_back(c);
    }
    return got;
}

int poll(const PseudoTerminal& pty, std::string pattern, int timeoutMs)
{
    return pollUart(pty.port(), static_cast<int>(pattern.size()), reinterpret_cast<unsigned char*>(pattern.data()),
                    timeoutMs);
}

TEST(ManyPorts, EveryPollOnItsOwnPortAndThreadGetsItsOwnAnswer)
{
    const unsigned ports = KESTRIN_CONCURRENT_PORTS;
    std::vector<std::unique_ptr<PseudoTerminal>> ptys;
    std::vector<std::vector<Round>> scripts;
    for (unsigned p = 0; p < ports; ++p) {
        ptys.push_back(std::make_unique<PseudoTerminal>());
        scripts.push_back(scriptFor(p));
    }

    std::atomic<unsigned> started{0};
    std::atomic<unsigned> wrongResults{0};
    std::vector<std::string> failures(ports);
    std::vector<std::string> rest(ports);
    std::vector<std::thread> threads;
    for (unsigned p = 0; p < ports; ++p) {
        // The device: each round in two writes with pauses, while the polls
        // of every other port are waiting or reading.
        threads.emplace_back([&, p] {
            while (started.load() < ports) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            std::minstd_rand random(p + 1);
            for (const Round& r : scripts[p]) {
                std::this_thread::sleep_for(std::chrono::milliseconds(random() % 15));
                ptys[p]->deviceSends(r.deviceSends.substr(0, r.split));
                std::this_thread::sleep_for(std::chrono::milliseconds(random() % 5));
                ptys[p]->deviceSends(r.deviceSends.substr(r.split));
            }
            ptys[p]->deviceSends("END" + std::to_string(p));
        });
        // The host: polls round after round.
        threads.emplace_back([&, p] {
            started.fetch_add(1);
            for (std::size_t i = 0; i < scripts[p].size(); ++i) {
                const Round& r = scripts[p][i];
                const int got = poll(*ptys[p], r.pattern, r.timeoutMs);
                if (got != r.expected) {
                    wrongResults.fetch_add(1);
                    failures[p] += "round " + std::to_string(i) + ": " + std::to_string(got) + " ";
                }
            }
            rest[p] = hostReads(*ptys[p], ("END" + std::to_string(p)).size());
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }

    EXPECT_EQ(wrongResults.load(), 0u);
    for (unsigned p = 0; p < ports; ++p) {
        EXPECT_EQ(failures[p], "") << "port " << p;
        EXPECT_EQ(rest[p], "END" + std::to_string(p)) << "port " << p;
    }
}

} // namespace
