// How soon a host knows that a device's reply has arrived, measured the same
// way for Kestrin, a plain poll(2)+read(2) loop and pyserial.
//
//   kestrin_reply_bench device --ports N --rounds R [--hold-ms H] [--gap-us G] [--byte-us B] -- POLLER...
//       plays N simulated devices on pseudo-terminals and runs POLLER with
//       "--rounds R PATH..." appended; prints the counts and every sample as JSON.
//   kestrin_reply_bench poll --kind kestrin|poll-read|poll-read1 --rounds R PATH...
//       the C++ pollers, one thread per port. poll-read1 is the loop read one
//       byte per read(2), as Kestrin reads: the least one-byte reads can cost.
//   kestrin_reply_bench read-wait --waits 0,100,1000
//       what a silent port costs Kestrin for each read wait, up to its idle stop.
//
// Each round, every poller thread writes '?' and starts polling; once all
// ports have asked, the device waits --hold-ms (so that every poller is
// blocked in its read) and answers the ports in a shuffled order, --gap-us
// apart. Like a UART, a device sends its reply one byte at a time, --byte-us
// apart (87 us: 115200 baud); 0 sends the reply in one write, as a USB adapter
// hands over a whole packet. Latency runs from the return of the device's
// write() of the last reply byte to the moment the poller has compared the
// reply, both on CLOCK_MONOTONIC.
#include "base/error.h"
#include "base/port_settings.h"
#include "host/serial_port.h"
#include "kestrin.h"
#include "sim/pty.h"
#include "spawn_with_pipe.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string reply = "READY\r\n";
const int pollBudgetMs = 10000;

std::int64_t nowNs(clockid_t clock = CLOCK_MONOTONIC)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void sleepUntilNs(std::int64_t ns)
{
    const timespec ts{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// Read system calls this thread has made so far.
long readCallsOfThisThread()
{
    std::ifstream io("/proc/thread-self/io");
    std::string key;
    long value = 0;
    while (io >> key >> value) {
        if (key == "syscr:") {
            return value;
        }
    }
    return -1;
}

[[noreturn]] void fail(const std::string& why)
{
    std::cerr << "kestrin_reply_bench: " << why << "\n";
    std::exit(2);
}

// ---- Pollers ----------------------------------------------------------------

struct Sample {
    std::size_t port = 0;
    int round = 0;
    std::int64_t startNs = 0;
    std::int64_t matchNs = 0;
    std::int64_t cpuNs = 0;
    bool matched = false;
};

// Opened as the kestrin tool opens a port by default, into `port`, which
// keeps it open.
int openForKestrin(const std::string& path, kestrin::SerialPort& port)
{
    try {
        port = kestrin::SerialPort::open(path, kestrin::PortSettings{});
    } catch (const kestrin::Error& error) {
        fail(path + ": " + error.what());
    }
    return static_cast<int>(reinterpret_cast<std::intptr_t>(port.handle()));
}

bool pollWithKestrin(int fd, unsigned char* pattern)
{
    return pollUart(reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)), static_cast<int>(reply.size()), pattern,
                    pollBudgetMs) == 1;
}

// The way one would write it by hand: sleep in poll(2) until the port is
// readable, then take as much of the reply as has arrived, never more.
int openForPollRead(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios tio{};
    if (fd < 0 || tcgetattr(fd, &tio) != 0) {
        fail(path + ": " + std::strerror(errno));
    }
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        fail(path + ": " + std::strerror(errno));
    }
    return fd;
}

// With `oneByte`, each read takes one byte, and the loop waits in poll(2)
// only when a read found none.
bool pollWithPollRead(int fd, unsigned char* pattern, bool oneByte)
{
    unsigned char buffer[32];
    std::size_t got = 0;
    bool wait = true;
    const std::int64_t deadline = nowNs() + std::int64_t{pollBudgetMs} * 1'000'000;
    while (got < reply.size()) {
        const std::int64_t left = deadline - nowNs();
        if (left <= 0) {
            return false;
        }
        pollfd p{fd, POLLIN, 0};
        if (wait && ::poll(&p, 1, static_cast<int>(left / 1'000'000) + 1) < 0 && errno != EINTR) {
            return false;
        }
        const ssize_t n = ::read(fd, buffer + got, oneByte ? 1 : reply.size() - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        wait = !oneByte || n <= 0;
    }
    return std::memcmp(buffer, pattern, reply.size()) == 0;
}

int runPoller(const std::string& kind, int rounds, const std::vector<std::string>& paths)
{
    if (kind != "kestrin" && kind != "poll-read" && kind != "poll-read1") {
        fail("unknown poller " + kind);
    }
    const bool kestrin = kind == "kestrin";
    std::vector<std::vector<Sample>> samples(paths.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        threads.emplace_back([&, i] {
            kestrin::SerialPort kestrinPort;
            const int fd = kestrin ? openForKestrin(paths[i], kestrinPort) : openForPollRead(paths[i]);
            std::string pattern = reply;
            auto* expected = reinterpret_cast<unsigned char*>(pattern.data());
            for (int r = 0; r < rounds; ++r) {
                if (::write(fd, "?", 1) != 1) {
                    fail(paths[i] + ": cannot ask for a reply");
                }
                Sample s{i, r, nowNs(), 0, nowNs(CLOCK_THREAD_CPUTIME_ID), false};
                s.matched = kestrin ? pollWithKestrin(fd, expected)
                                    : pollWithPollRead(fd, expected, kind == "poll-read1");
                s.matchNs = nowNs();
                s.cpuNs = nowNs(CLOCK_THREAD_CPUTIME_ID) - s.cpuNs;
                samples[i].push_back(s);
            }
            if (!kestrin) {
                ::close(fd);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    for (const auto& port : samples) {
        for (const Sample& s : port) {
            std::printf("%zu %d %lld %lld %lld %d\n", s.port, s.round, static_cast<long long>(s.startNs),
                        static_cast<long long>(s.matchNs), static_cast<long long>(s.cpuNs), s.matched ? 1 : 0);
        }
    }
    return 0;
}

// ---- Device -----------------------------------------------------------------

using Poller = bench::Spawned;

Poller spawnPoller(std::vector<std::string> command, int rounds, const std::vector<kestrin::sim::Pty>& ptys)
{
    command.push_back("--rounds");
    command.push_back(std::to_string(rounds));
    for (const auto& pty : ptys) {
        command.push_back(pty.path());
    }
    const Poller poller = bench::spawnWithPipe(command);
    if (poller.pid < 0) {
        fail("cannot start " + command[0]);
    }
    return poller;
}

// Waits until every port has asked for its reply of this round.
void collectRequests(std::vector<kestrin::sim::Pty>& ptys, std::vector<int>& asked, const Poller& poller)
{
    std::vector<pollfd> fds;
    for (const auto& pty : ptys) {
        fds.push_back({pty.master(), POLLIN, 0});
    }
    fds.push_back({poller.output, POLLIN, 0});
    const auto ready = [&] { return std::all_of(asked.begin(), asked.end(), [](int n) { return n > 0; }); };
    while (!ready()) {
        const int n = ::poll(fds.data(), fds.size(), 30000);
        if (n == 0) {
            fail("the poller stopped asking for replies");
        }
        if (n < 0) {
            continue;
        }
        if (fds.back().revents != 0) {
            fail("the poller ended early");
        }
        for (std::size_t i = 0; i < ptys.size(); ++i) {
            if ((fds[i].revents & POLLIN) == 0) {
                continue;
            }
            char buffer[64];
            const ssize_t got = ::read(ptys[i].master(), buffer, sizeof buffer);
            for (ssize_t k = 0; k < got; ++k) {
                if (buffer[k] != '?') {
                    fail("unexpected byte from the poller on " + ptys[i].path());
                }
                ++asked[i];
            }
        }
    }
    for (int& n : asked) {
        --n;
    }
}

void sendBytes(const kestrin::sim::Pty& pty, std::size_t from, std::size_t to)
{
    std::size_t done = from;
    while (done < to) {
        const ssize_t n = ::write(pty.master(), reply.data() + done, to - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
            fail("cannot write to " + pty.path());
        }
    }
}

struct Send {
    std::int64_t atNs;
    std::size_t port;
    std::size_t from; // reply bytes [from, to)
    std::size_t to;
};

int runDevice(int ports, int rounds, int holdMs, int gapUs, int byteUs, const std::vector<std::string>& command)
{
    // The pacing is the device's own; without this the kernel may let each
    // sleep run 50 us late.
    prctl(PR_SET_TIMERSLACK, 1UL);
    std::vector<kestrin::sim::Pty> ptys;
    for (int i = 0; i < ports; ++i) {
        try {
            ptys.push_back(kestrin::sim::Pty::open());
        } catch (const kestrin::Error& error) {
            fail(error.what());
        }
    }
    const Poller poller = spawnPoller(command, rounds, ptys);
    // A poller woken by a reply would otherwise often preempt the device
    // between its write() and the clock reading after it, which makes
    // latencies come out too short, even negative, on a 2-core machine.
    // Only after the spawn, which would pass the policy on to the poller.
    const sched_param realtime{sched_get_priority_min(SCHED_FIFO)};
    const bool deviceRealtime = sched_setscheduler(0, SCHED_FIFO, &realtime) == 0;
    std::vector<std::vector<std::int64_t>> written(ptys.size(), std::vector<std::int64_t>(static_cast<std::size_t>(rounds)));
    std::vector<int> asked(ptys.size(), 0);
    std::vector<std::size_t> order(ptys.size());
    std::mt19937 shuffle(12345);
    for (int r = 0; r < rounds; ++r) {
        collectRequests(ptys, asked, poller);
        const std::int64_t start = nowNs() + std::int64_t{holdMs} * 1'000'000;
        for (std::size_t i = 0; i < order.size(); ++i) {
            order[i] = i;
        }
        std::shuffle(order.begin(), order.end(), shuffle);
        std::vector<Send> sends;
        for (std::size_t k = 0; k < order.size(); ++k) {
            const std::int64_t replyAt = start + static_cast<std::int64_t>(k) * gapUs * 1000;
            if (byteUs == 0) {
                sends.push_back({replyAt, order[k], 0, reply.size()});
                continue;
            }
            for (std::size_t b = 0; b < reply.size(); ++b) {
                sends.push_back({replyAt + static_cast<std::int64_t>(b) * byteUs * 1000, order[k], b, b + 1});
            }
        }
        std::stable_sort(sends.begin(), sends.end(), [](const Send& a, const Send& b) { return a.atNs < b.atNs; });
        for (const Send& send : sends) {
            sleepUntilNs(send.atNs);
            sendBytes(ptys[send.port], send.from, send.to);
            if (send.to == reply.size()) {
                written[send.port][static_cast<std::size_t>(r)] = nowNs();
            }
        }
    }

    std::string text;
    char buffer[65536];
    for (ssize_t n; (n = ::read(poller.output, buffer, sizeof buffer)) != 0;) {
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        } else if (errno != EINTR) {
            fail("cannot read the poller's results");
        }
    }
    int status = 0;
    waitpid(poller.pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fail("the poller failed");
    }

    std::vector<double> latencyUs;
    std::vector<double> cpuUs;
    std::vector<double> cpuShare;
    long matched = 0;
    long reported = 0;
    std::istringstream lines(text);
    std::size_t port = 0;
    int round = 0;
    long long startNs = 0, matchNs = 0, cpuNs = 0;
    int ok = 0;
    while (lines >> port >> round >> startNs >> matchNs >> cpuNs >> ok) {
        if (port >= ptys.size() || round < 0 || round >= rounds) {
            fail("a result for a port or round that does not exist");
        }
        ++reported;
        cpuUs.push_back(static_cast<double>(cpuNs) / 1e3);
        if (matchNs > startNs) {
            cpuShare.push_back(100.0 * static_cast<double>(cpuNs) / static_cast<double>(matchNs - startNs));
        }
        if (ok == 1) {
            ++matched;
            latencyUs.push_back(static_cast<double>(matchNs - written[port][static_cast<std::size_t>(round)]) / 1e3);
        }
    }
    ptys.clear();
    const long replies = static_cast<long>(ports) * rounds;
    const nlohmann::json summary = {
        {"ports", ports},
        {"rounds", rounds},
        {"hold_ms", holdMs},
        {"gap_us", gapUs},
        {"byte_us", byteUs},
        {"device_realtime", deviceRealtime},
        {"replies", replies},
        {"reported", reported},
        {"matched", matched},
        // Every sample: bench/run.py pools the runs and takes the percentiles.
        {"samples", {{"latency_us", latencyUs}, {"cpu_us_per_poll", cpuUs},
                     {"cpu_percent_of_core_while_polling", cpuShare}}},
    };
    std::cout << summary.dump() << "\n";
    return matched == replies && reported == replies ? 0 : 1;
}

// ---- Read wait --------------------------------------------------------------

// A silent port polled until Kestrin's idle stop, for each read wait: how
// late the stop comes, how often the thread wakes and what the wait costs.
int runReadWaits(const std::vector<int>& waits)
{
    std::vector<nlohmann::json> rows(waits.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < waits.size(); ++i) {
        threads.emplace_back([&, i] {
            kestrin::sim::Pty pty;
            kestrin::SerialPort port;
            kestrin::PortSettings settings;
            settings.readWaitMs = waits[i];
            try {
                pty = kestrin::sim::Pty::open();
                port = kestrin::SerialPort::open(pty.path(), settings);
            } catch (const kestrin::Error& error) {
                fail(error.what());
            }
            unsigned char expected = 'K';
            const long reads0 = readCallsOfThisThread();
            const std::int64_t cpu0 = nowNs(CLOCK_THREAD_CPUTIME_ID);
            const std::int64_t start = nowNs();
            const int result = pollUart(port.handle(), 1, &expected, 0);
            const double wallMs = static_cast<double>(nowNs() - start) / 1e6;
            const double cpuMs = static_cast<double>(nowNs(CLOCK_THREAD_CPUTIME_ID) - cpu0) / 1e6;
            const long reads = readCallsOfThisThread() - reads0;
            port = kestrin::SerialPort();
            pty = kestrin::sim::Pty();
            if (result != 0) {
                fail("a silent port matched");
            }
            rows[i] = {{"read_wait_ms", waits[i]},
                       {"vtime", (waits[i] + 99) / 100},
                       {"idle_stop_ms", wallMs},
                       {"cpu_percent_of_core", 100.0 * cpuMs / wallMs},
                       {"reads_per_second", static_cast<double>(reads) / (wallMs / 1000.0)}};
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    std::cout << nlohmann::json(rows).dump() << "\n";
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Reply latency and waiting cost of Kestrin and its peers on pseudo-terminals"};
    app.require_subcommand(1);

    int ports = 1, rounds = 100, holdMs = 1, gapUs = 400, byteUs = 87;
    std::vector<std::string> command;
    auto* device = app.add_subcommand("device", "Play the devices and run a poller against them");
    device->add_option("--ports", ports)->check(CLI::Range(1, 1024));
    device->add_option("--rounds", rounds)->check(CLI::Range(1, 1000000));
    device->add_option("--hold-ms", holdMs, "Pause between the last request and the first reply")->check(CLI::Range(0, 60000));
    device->add_option("--gap-us", gapUs, "Pause between replies to different ports")->check(CLI::Range(0, 1000000));
    device->add_option("--byte-us", byteUs, "Pause between the bytes of a reply (0: the reply in one write)")
        ->check(CLI::Range(0, 100000));
    device->add_option("poller", command, "Poller command; --rounds and the port paths are appended")->required();

    std::string kind;
    std::vector<std::string> paths;
    auto* poller = app.add_subcommand("poll", "Poll ports the device side plays");
    poller->add_option("--kind", kind)->required();
    poller->add_option("--rounds", rounds)->check(CLI::Range(1, 1000000));
    poller->add_option("paths", paths)->required();

    std::vector<int> waits{0, 100, 1000};
    auto* readWait = app.add_subcommand("read-wait", "Cost of a silent port for each read wait");
    readWait->add_option("--waits", waits)->delimiter(',')->check(CLI::Range(0, 25500));

    CLI11_PARSE(app, argc, argv);
    if (*device) {
        return runDevice(ports, rounds, holdMs, gapUs, byteUs, command);
    }
    if (*poller) {
        return runPoller(kind, rounds, paths);
    }
    return runReadWaits(waits);
}
