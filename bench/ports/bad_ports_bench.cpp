// What one poll costs on ports that are gone or set up badly: wall time, CPU
// time and read() calls of the polling thread, for any build of the library.
//
//   kestrin_bad_ports_bench --library PATH [--budget MS] [--stop-after S] [--jobs N] [--kinds A,B]
//       one poll of "OK\r\n" on each kind of port (tests/pty/host_ports.h),
//       each in a process of its own, up to N at once; prints a JSON array.
//
// A poll that has not returned after --stop-after seconds (a read that
// blocks for ever) is reported as such, with what it cost until then.
#include "host_calls.h"
#include "host_ports.h"
#include "spawn_with_pipe.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <dlfcn.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string pattern = "OK\r\n";

double threadCpuMs(pthread_t thread)
{
    clockid_t clock{};
    timespec t{};
    if (pthread_getcpuclockid(thread, &clock) != 0 || clock_gettime(clock, &t) != 0) {
        return -1;
    }
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

[[noreturn]] void fail(const std::string& why)
{
    std::cerr << "kestrin_bad_ports_bench: " << why << "\n";
    std::exit(2);
}

// One poll on one kind of port, in this process. The poll runs on a thread of
// its own so that one that never returns can still be measured from outside.
int runOne(const std::string& kindName, const std::string& library, int budgetMs, int stopAfterS)
{
    const PortKindInfo* info = nullptr;
    for (const PortKindInfo& k : allPortKinds()) {
        if (kindName == k.name) {
            info = &k;
        }
    }
    if (info == nullptr) {
        fail("unknown port kind " + kindName);
    }
    void* module = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        fail(library + ": " + dlerror());
    }
    auto pollUart = reinterpret_cast<kestrin_poll_uart_fn>(dlsym(module, KESTRIN_POLL_UART_NAME));
    if (pollUart == nullptr) {
        fail(library + ": no pollUart");
    }
    HostPort port(info->kind);

    std::atomic<pid_t> tid{0};
    std::atomic<long> readsAtStart{0};
    std::atomic<bool> started{false};
    std::atomic<double> cpuAtStart{0};
    Clock::time_point start;
    struct Measured {
        MeasuredPoll poll;
        double cpuMs = 0;
    };
    std::promise<Measured> done;
    auto outcome = done.get_future();
    std::thread poller([&] {
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        // Each look at the count is a read call of its own, counted in the
        // next look: the baseline is the count once the last look is done.
        const long calibration = readCallsOfThisThread();
        const long before = readCallsOfThisThread();
        readsAtStart = before + (before - calibration);
        std::string expected = pattern;
        cpuAtStart = threadCpuMs(pthread_self());
        start = Clock::now();
        started = true;
        Measured m;
        m.poll.result = pollUart(port.handle(), static_cast<int>(expected.size()),
                                 reinterpret_cast<unsigned char*>(expected.data()), budgetMs);
        m.poll.ms = msSince(start);
        m.cpuMs = threadCpuMs(pthread_self()) - cpuAtStart;
        m.poll.reads = readCallsOfThisThread() - readsAtStart;
        done.set_value(m);
    });
    const pthread_t pollThread = poller.native_handle();

    nlohmann::json row = {{"kind", info->name}, {"description", info->description}, {"budget_ms", budgetMs}};
    if (outcome.wait_for(std::chrono::seconds(stopAfterS)) == std::future_status::ready) {
        const Measured m = outcome.get();
        poller.join();
        row["returned"] = true;
        row["result"] = m.poll.result;
        row["wall_ms"] = m.poll.ms;
        row["reads"] = m.poll.reads;
        row["cpu_ms"] = m.cpuMs;
    } else if (started) {
        // Still in the library: measured from here, then left behind.
        row["returned"] = false;
        row["wall_ms"] = msSince(start);
        row["reads"] = readCallsOfThread(tid) - readsAtStart;
        row["cpu_ms"] = threadCpuMs(pollThread) - cpuAtStart;
        poller.detach();
    } else {
        fail("the poll did not start");
    }
    row["cpu_percent"] = 100.0 * row["cpu_ms"].get<double>() / row["wall_ms"].get<double>();
    std::cout << row.dump() << std::endl;
    std::_Exit(0);
}

struct Child : bench::Spawned {
    std::string kind;
};

Child spawnOne(const std::string& self, const std::string& kind, const std::string& library, int budgetMs,
               int stopAfterS)
{
    Child child{bench::spawnWithPipe({self, "--run-one", kind, "--library", library, "--budget",
                                      std::to_string(budgetMs), "--stop-after", std::to_string(stopAfterS)}),
                kind};
    if (child.pid < 0) {
        fail("cannot start " + self);
    }
    return child;
}

nlohmann::json collect(Child& child)
{
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(child.output, buffer, sizeof buffer)) != 0;) {
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        } else if (errno != EINTR) {
            break;
        }
    }
    close(child.output);
    int status = 0;
    waitpid(child.pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || text.empty()) {
        return {{"kind", child.kind}, {"error", "the measuring process failed"}};
    }
    return nlohmann::json::parse(text);
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Wall time, CPU and read() calls of one poll on ports that are gone or set up badly"};
    std::string library;
    int budgetMs = 12000;
    int stopAfterS = 30;
    int jobs = 1;
    std::vector<std::string> kinds;
    std::string one;
    app.add_option("--library", library, "The library to load (libkestrin.so of any build)")->required();
    app.add_option("--budget", budgetMs, "The poll's time budget in ms");
    app.add_option("--stop-after", stopAfterS, "Give up on a poll that has not returned after this many seconds")
        ->check(CLI::Range(1, 3600));
    app.add_option("--jobs", jobs, "Polls measured at once (each in its own process)")->check(CLI::Range(1, 64));
    app.add_option("--kinds", kinds, "Kinds of port (default: all)")->delimiter(',');
    app.add_option("--run-one", one, "Measure one kind in this process (used by the tool itself)");
    CLI11_PARSE(app, argc, argv);

    if (!one.empty()) {
        return runOne(one, library, budgetMs, stopAfterS);
    }
    if (kinds.empty()) {
        for (const PortKindInfo& k : allPortKinds()) {
            kinds.emplace_back(k.name);
        }
    }
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) {
        fail("cannot find this program");
    }
    std::vector<nlohmann::json> rows(kinds.size());
    std::vector<std::pair<std::size_t, Child>> running;
    std::size_t next = 0;
    while (next < kinds.size() || !running.empty()) {
        while (next < kinds.size() && running.size() < static_cast<std::size_t>(jobs)) {
            running.emplace_back(next, spawnOne(self, kinds[next], library, budgetMs, stopAfterS));
            ++next;
        }
        // Children end in about the order they started; wait for the oldest.
        auto [index, child] = running.front();
        running.erase(running.begin());
        rows[index] = collect(child);
    }
    std::cout << nlohmann::json(rows).dump() << "\n";
    return 0;
}
