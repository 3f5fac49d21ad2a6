// Figures for how fast a reply is seen and what waiting costs. Run:
//   build/linux/poll_benchmark
// The pseudo-terminals use the settings a test station would (raw, VMIN=0,
// VTIME=1). The round trip also reports the CPU the whole process used.
#include "kestrin.h"
#include "pseudo_terminal.h"

#include <benchmark/benchmark.h>

#include <poll.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

std::string reply = "READY\r\n";

unsigned char* patternOf(std::string& s)
{
    return reinterpret_cast<unsigned char*>(s.data());
}

// The reply is already in the port when the poll starts: the cost of the
// one-byte reads themselves.
void BM_ReplyAlreadyWaiting(benchmark::State& state)
{
    PseudoTerminal pty;
    for (auto _ : state) {
        state.PauseTiming();
        pty.deviceSends(reply);
        state.ResumeTiming();
        benchmark::DoNotOptimize(pollUart(pty.port(), static_cast<int>(reply.size()), patternOf(reply), 1000));
    }
    state.SetItemsProcessed(state.iterations());
}

// A device thread answers each request: request write to poll return, the
// latency a test station sees per exchange.
void BM_RequestReplyRoundTrip(benchmark::State& state)
{
    PseudoTerminal pty;
    std::atomic<bool> done{false};
    std::thread device([&] {
        pollfd p{pty.master(), POLLIN, 0};
        char c = 0;
        while (!done) {
            if (poll(&p, 1, 50) > 0 && read(pty.master(), &c, 1) == 1 && c == '?') {
                pty.deviceSends(reply);
            }
        }
    });
    for (auto _ : state) {
        if (write(pty.slave(), "?", 1) != 1) {
            state.SkipWithError("request write failed");
            break;
        }
        if (pollUart(pty.port(), static_cast<int>(reply.size()), patternOf(reply), 1000) != 1) {
            state.SkipWithError("no match");
            break;
        }
    }
    done = true;
    device.join();
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK(BM_ReplyAlreadyWaiting)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RequestReplyRoundTrip)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime()->UseRealTime();

BENCHMARK_MAIN();
