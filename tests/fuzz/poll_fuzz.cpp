// Fuzz target: pollUart on the virtual-clock port, held read by read to the
// reference model. Any difference prints "DISAGREEMENT" with the scenario and
// aborts, so libFuzzer keeps the input as a crash.
#include "kestrin.h"
#include "reference_model.h"
#include "scenario.h"
#include "virtual_port.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

// Inputs whose poll would take more reads than this are skipped: a silent
// port read every millisecond for a budget of hours is no more telling than
// one read for seconds, only slower.
constexpr std::size_t readCap = 100'000;

long long signed32(std::uint64_t ms)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(ms));
}

[[noreturn]] void disagree(const Scenario& s, const ModelOutcome& want, const VirtualPort& port, int got,
                           const std::string& what)
{
    std::fprintf(stderr,
                 "DISAGREEMENT: %s\n%s"
                 "module: result %d, %zu reads, %zu bytes consumed, returned at %llu ms, left \"%s\"\n"
                 "model:  result %d, %zu reads, %zu bytes consumed, returned at %llu ms, left \"%s\", %d attempts\n",
                 what.c_str(), s.describe().c_str(), got, port.reads(), port.bytesDelivered(),
                 static_cast<unsigned long long>(port.elapsedMs()), port.unread().c_str(), want.result,
                 want.reads.size(), want.bytesConsumed, static_cast<unsigned long long>(want.endMs),
                 want.unread.c_str(), want.attempts);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const Scenario s = decodeScenario(data, size);
    const ModelOutcome want = referencePoll(s, readCap);
    if (want.gaveUp) {
        return -1;
    }

    VirtualPort port(s.startTick, s.readWaitMs);
    if (s.honourWait) {
        port.honourWait();
    }
    for (const Scenario::Burst& b : s.bursts) {
        port.send(b.atMs, b.bytes, b.gapMs);
    }
    for (const Scenario::Outage& o : s.outages) {
        port.failReadsBetween(o.fromMs, o.toMs, o.costMs);
    }
    port.recordReads();
    // One read more than the model makes aborts at once, so a reader that
    // never stops shows up as a disagreement instead of a hang.
    port.limitReads(want.reads.size());

    // A buffer of exactly the bytes the caller owns: a read past them is
    // an AddressSanitizer report.
    std::unique_ptr<unsigned char[]> pattern(new unsigned char[s.pattern.size()]);
    for (std::size_t i = 0; i < s.pattern.size(); ++i) {
        pattern[i] = s.pattern[i];
    }
    const int got = pollUart(port.handle(), s.length, s.nullPattern ? nullptr : pattern.get(), s.budgetMs);

    if (got != want.result) {
        disagree(s, want, port, got, "result");
    }
    if (port.reads() != want.reads.size()) {
        disagree(s, want, port, got, "number of one-byte reads");
    }
    const std::vector<VirtualPort::Read>& log = port.readLog();
    for (std::size_t i = 0; i < log.size(); ++i) {
        const std::ptrdiff_t offset = log[i].destination - log[0].destination;
        if (offset < 0 || offset >= s.length) {
            disagree(s, want, port, got, "read " + std::to_string(i) + " writes outside the attempt's bytes");
        }
        if (log[i].atMs != want.reads[i].atMs || offset != want.reads[i].offset ||
            log[i].delivered != want.reads[i].delivered || log[i].waitMs != want.reads[i].waitMs) {
            disagree(s, want, port, got,
                     "read " + std::to_string(i) + " (at " + std::to_string(log[i].atMs) + " ms, offset " +
                         std::to_string(offset) + ", " + (log[i].delivered ? "a byte" : "nothing") + ", wait " +
                         std::to_string(log[i].waitMs) + " ms) differs from the model's (at " +
                         std::to_string(want.reads[i].atMs) + " ms, offset " + std::to_string(want.reads[i].offset) +
                         ", " + (want.reads[i].delivered ? "a byte" : "nothing") + ", wait " +
                         std::to_string(want.reads[i].waitMs) + " ms)");
        }
    }
    if (port.bytesDelivered() != want.bytesConsumed || port.unread() != want.unread) {
        disagree(s, want, port, got, "bytes consumed from the port");
    }
    if (port.bytesDelivered() > static_cast<std::size_t>(want.attempts) * static_cast<std::size_t>(std::max(s.length, 0))) {
        disagree(s, want, port, got, "consumed more bytes than its attempts asked for");
    }
    if (port.elapsedMs() != want.endMs) {
        disagree(s, want, port, got, "return time");
    }
    // Within one attempt of the budget: every attempt after the first started
    // before the budget was spent, and a poll that gave up had spent it.
    if (want.attempts > 1 && signed32(want.lastAttemptStartMs) >= s.budgetMs) {
        disagree(s, want, port, got, "an attempt started after the budget was spent");
    }
    if (got == 0 && s.length > 0 && s.length <= kestrinMaxLength && !s.nullPattern &&
        signed32(port.elapsedMs()) < s.budgetMs) {
        disagree(s, want, port, got, "gave up before the budget was spent");
    }
    return 0;
}
