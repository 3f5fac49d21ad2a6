// The sim's script as a fuzz target. A recording, a colleague's script or a
// file passed by mistake is parsed by the sim: any bytes must parse or be
// refused as a usage error, never crash; and a script that parses must play
// in bounded time and memory. It is played on a virtual clock with its own
// bytes as what the host sends (its triggers are among them), in pieces,
// while the clock steps or jumps to the next moment something is due. The
// same bytes, cut into turns of a conversation, are recorded as the relay
// records, and the recording must parse back with every byte the device said.
#include "base/error.h"
#include "base/random.h"
#include "sim/model.h"
#include "sim/recording.h"
#include "sim/script.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "sim script fuzz: %s\n", what);
    std::abort();
}

void checkRecording(const std::uint8_t* data, std::size_t size)
{
    using namespace kestrin;
    sim::Recording recording;
    Random turns(size ^ 0x5eedu);
    std::uint64_t now = 0;
    std::uint64_t deviceBytes = 0;
    for (std::size_t at = 0; at < size;) {
        const std::size_t piece = std::min<std::size_t>(size - at, 1 + static_cast<std::size_t>(turns.below(64)));
        const Bytes bytes(data + at, data + at + piece);
        now += turns.below(200);
        if (turns.below(2) == 0) {
            recording.hostSent(bytes, now);
        } else {
            recording.deviceSent(bytes, now);
            deviceBytes += piece;
        }
        at += piece;
    }
    std::vector<sim::Rule> rules;
    try {
        rules = sim::parseScript(recording.script(), "recording: ");
    } catch (const Error&) {
        fail("a recording does not parse");
    }
    std::uint64_t said = 0;
    for (const sim::Rule& rule : rules) {
        std::uint64_t once = rule.text.size() * rule.repeat;
        for (const sim::Rule::Piece& then : rule.then) {
            once += then.text.size();
        }
        said += once * std::max<std::uint64_t>(rule.times, 1);
    }
    if (said != deviceBytes) {
        fail("a recording lost bytes the device said, or made some up");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace kestrin;
    checkRecording(data, size);
    std::vector<sim::Rule> rules;
    try {
        rules = sim::parseScript(std::string_view(reinterpret_cast<const char*>(data), size), "fuzz: ");
    } catch (const Error& error) {
        if (error.status() != Status::usage) {
            fail("a script's mistake is not a usage error");
        }
        return 0;
    }
    const std::uint64_t start = 1000;
    const std::uint64_t turnBytes = 1024;
    sim::Model model(std::move(rules), start, size);
    Random steps(size);
    std::uint64_t now = start;
    std::size_t at = 0;
    std::uint64_t rounds = 0;
    for (int turn = 0; turn < 64 && !model.hungUp(); ++turn) {
        if (size > 0) {
            const std::size_t piece = std::min<std::size_t>(size - at, 1 + static_cast<std::size_t>(steps.below(512)));
            model.receive(data + at, piece, now);
            at = (at + piece) % size;
        }
        if (model.takeDue(now, turnBytes).size() > turnBytes) {
            fail("more taken than asked for");
        }
        if (steps.below(4) == 0) {
            model.dropDue(now);
            const auto next = model.nextDueMs();
            if (!model.hungUp() && next && *next <= now) {
                fail("something due is left after dropping what is due");
            }
        }
        if (model.pending() > sim::Model::pendingLimit) {
            fail("more answers waiting than the limit");
        }
        if (model.rounds() < rounds) {
            fail("rounds went back");
        }
        rounds = model.rounds();
        const auto next = model.nextDueMs();
        const std::uint64_t day = 86400000;
        now += next && *next > now && steps.below(2) == 0 ? std::min(*next - now, day) : steps.below(50);
    }
    return 0;
}
