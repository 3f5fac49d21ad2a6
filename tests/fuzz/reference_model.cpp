#include "reference_model.h"

#include <algorithm>

namespace {

constexpr int bufferSize = 20;
constexpr std::uint64_t idleLimit = 5000;

struct Arrival {
    std::uint64_t atMs;
    unsigned char byte;
};

// The scripted port in plain terms: a read that starts inside an outage
// fails after the outage's cost; otherwise it returns the next byte if one is
// waiting or arrives within the read wait, else nothing after the wait. A
// port that honours the reader's wait uses that instead of its read wait,
// and for a failed read instead of the outage's cost.
struct Port {
    std::vector<Arrival> queue; // by arrival time, ties in schedule order
    std::size_t next = 0;
    std::vector<Scenario::Outage> outages;
    std::uint64_t readWaitMs = 1;
    bool honourWait = false;
    std::uint64_t now = 0;

    bool read(unsigned char& byte, std::uint64_t readerWaitMs)
    {
        const std::uint64_t waitMs = honourWait ? readerWaitMs : readWaitMs;
        for (const Scenario::Outage& o : outages) {
            if (o.fromMs <= now && now < o.toMs) {
                now += honourWait ? readerWaitMs : o.costMs;
                return false;
            }
        }
        if (next < queue.size() && queue[next].atMs <= now + waitMs) {
            if (queue[next].atMs > now) {
                now = queue[next].atMs;
            }
            byte = queue[next].byte;
            ++next;
            return true;
        }
        now += waitMs;
        return false;
    }
};

// The poll's elapsed time is a 32-bit tick difference read as a signed value.
long long signed32(std::uint64_t ms)
{
    const long long low = static_cast<long long>(ms % 4294967296ull);
    return low >= 2147483648ll ? low - 4294967296ll : low;
}

} // namespace

ModelOutcome referencePoll(const Scenario& s, std::size_t readCap)
{
    ModelOutcome out;

    Port port;
    for (const Scenario::Burst& b : s.bursts) {
        for (std::size_t i = 0; i < b.bytes.size(); ++i) {
            port.queue.push_back({b.atMs + i * b.gapMs, static_cast<unsigned char>(b.bytes[i])});
        }
    }
    std::stable_sort(port.queue.begin(), port.queue.end(),
                     [](const Arrival& a, const Arrival& b) { return a.atMs < b.atMs; });
    port.outages = s.outages;
    port.readWaitMs = std::max<std::uint32_t>(s.readWaitMs, 1);
    port.honourWait = s.honourWait;

    auto finish = [&](int result) {
        out.result = result;
        out.endMs = port.now;
        for (std::size_t i = port.next; i < port.queue.size(); ++i) {
            out.unread.push_back(static_cast<char>(port.queue[i].byte));
        }
        return out;
    };

    if (s.length <= 0) {
        return finish(1);
    }
    if (s.length > bufferSize || s.nullPattern) {
        return finish(0);
    }

    unsigned char buffer[bufferSize] = {};
    for (;;) {
        ++out.attempts;
        out.lastAttemptStartMs = port.now;
        std::uint64_t lastByteAt = port.now;
        int received = 0;
        while (received < s.length) {
            if (out.reads.size() == readCap) {
                out.gaveUp = true;
                return out;
            }
            unsigned char byte = 0;
            const std::uint64_t startedAt = port.now;
            // The reader stops once more than the idle limit has passed
            // since the last byte: a read need not wait past that moment.
            const std::uint64_t readerWaitMs = lastByteAt + idleLimit + 1 - startedAt;
            const bool got = port.read(byte, readerWaitMs);
            out.reads.push_back({startedAt, received, got, readerWaitMs});
            if (got) {
                buffer[received] = byte;
                ++received;
                ++out.bytesConsumed;
                lastByteAt = port.now;
            } else if (port.now - lastByteAt > idleLimit) {
                break;
            }
        }

        bool same = true;
        for (int i = 0; i < s.length; ++i) {
            if (buffer[i] != s.pattern[static_cast<std::size_t>(i)]) {
                same = false;
            }
        }
        if (same) {
            return finish(1);
        }
        if (signed32(port.now) >= s.budgetMs) {
            return finish(0);
        }
    }
}
