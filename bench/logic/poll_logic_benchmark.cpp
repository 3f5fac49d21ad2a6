// Time per byte of the polling logic on the virtual clock. Run:
//   build/linux/poll_logic_benchmark
// Each poll finds its reply already waiting, so no virtual time passes and
// the figure is CPU only. It includes the fake's own reads and ticks and the
// batched refill; callgrind (logic_cost.py) separates the fake's share.
#include "kestrin.h"
#include "waiting_replies.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

namespace {

constexpr int timeoutMs = 1000;
constexpr int batch = 64;

unsigned char* patternOf(std::string& s)
{
    return reinterpret_cast<unsigned char*>(s.data());
}

void run(benchmark::State& state, const std::string& waiting, std::string reply)
{
    WaitingReplies replies(waiting, batch);
    const int length = static_cast<int>(reply.size());
    for (auto _ : state) {
        replies.refill();
        if (pollUart(replies.handle(), length, patternOf(reply), timeoutMs) != 1) {
            state.SkipWithError("poll did not match");
            break;
        }
    }
    const auto bytes = static_cast<std::int64_t>(waiting.size()) * state.iterations();
    state.SetItemsProcessed(bytes);
    state.SetBytesProcessed(bytes);
    state.counters["bytes_per_poll"] = static_cast<double>(waiting.size());
}

// The reply is all there: one attempt, one read per byte.
void BM_Matched(benchmark::State& state)
{
    const std::string reply = replyOfLength(static_cast<int>(state.range(0)));
    run(state, reply, reply);
}

// The first attempt differs only in its last byte, so it is compared in full
// before the second attempt matches.
void BM_MismatchThenMatch(benchmark::State& state)
{
    const std::string reply = replyOfLength(static_cast<int>(state.range(0)));
    std::string wrong = reply;
    wrong.back() = static_cast<char>(wrong.back() ^ 1);
    run(state, wrong + reply, reply);
}

} // namespace

BENCHMARK(BM_Matched)->Arg(1)->Arg(7)->Arg(20);
BENCHMARK(BM_MismatchThenMatch)->Arg(7);

BENCHMARK_MAIN();
