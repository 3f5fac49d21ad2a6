#include "scenario.h"

#include <algorithm>
#include <climits>
#include <cstdio>

namespace {

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return at_ >= size_; }
    std::uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
    // Little-endian; the reads are sequenced, not operands of one expression.
    std::uint16_t u16()
    {
        const std::uint16_t low = u8();
        return static_cast<std::uint16_t>(low | u8() << 8);
    }
    std::uint32_t u32()
    {
        const std::uint32_t low = u16();
        return low | static_cast<std::uint32_t>(u16()) << 16;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

struct LengthCode {
    int length;
    bool nullPattern;
};

// Lengths outside 0..20 and null patterns, reached from codes 0xE0 and up.
const LengthCode specialLengths[] = {
    {-1, false},      {INT_MIN, false}, {21, false},     {22, false}, {100, false},
    {INT_MAX, false}, {1, true},        {20, true},      {0, true},   {-1, true},
    {INT_MIN, true},  {21, true},       {INT_MAX, true},
};

int decodeBudget(Reader& in)
{
    switch (in.u8() % 8) {
    case 0: return in.u16();
    case 1: return 0;
    case 2: return -1;
    case 3: return INT_MIN;
    case 4: return INT_MAX;
    case 5: return static_cast<int>(in.u32());
    case 6: return -static_cast<int>(in.u16());
    default: return static_cast<int>(in.u8()) * 1000;
    }
}

std::uint32_t decodeStartTick(Reader& in)
{
    switch (in.u8() % 5) {
    case 0: return 1000;
    case 1: return 0xFFFFFFFFu - in.u16(); // wraps within about a minute
    case 2: return 0x7FFFFFFFu - in.u16(); // crosses the signed boundary
    case 3: return in.u32();
    default: return 0;
    }
}

std::uint32_t decodeReadWait(std::uint8_t code, Reader& in)
{
    switch (code % 8) {
    case 0: return 1;
    case 1: return 10;
    case 2: return 100;
    case 3: return 1000;
    case 4: return 5000;
    case 5: return 5001;
    case 6: return in.u16() + 1u;
    default: return (in.u32() % maxReadWaitMs) + 1u;
    }
}

} // namespace

Scenario decodeScenario(const std::uint8_t* data, std::size_t size)
{
    Reader in(data, size);
    Scenario s;

    const std::uint8_t code = in.u8();
    if (code < 0xE0) {
        s.length = code % 21;
    } else {
        const std::size_t n = sizeof specialLengths / sizeof specialLengths[0];
        const LengthCode& special = specialLengths[(code - 0xE0u) % n];
        s.length = special.length;
        s.nullPattern = special.nullPattern;
    }
    const int owned = std::clamp(s.length, 0, 64);
    for (int i = 0; i < owned; ++i) {
        s.pattern.push_back(in.u8());
    }
    s.budgetMs = decodeBudget(in);
    s.startTick = decodeStartTick(in);
    const std::uint8_t waitCode = in.u8();
    s.honourWait = (waitCode & 8) != 0;
    s.readWaitMs = decodeReadWait(waitCode, in);

    // What the device sends is built from the pattern's first 20 bytes (or
    // one stand-in byte), so matches are as easy to reach as mismatches.
    std::vector<unsigned char> reply(s.pattern.begin(), s.pattern.begin() + std::min<int>(owned, 20));
    if (reply.empty()) {
        reply.push_back('K');
    }
    std::uint64_t cursor = 0;
    auto sendBytes = [&](const std::vector<unsigned char>& bytes, std::uint64_t gap) {
        if (!bytes.empty()) {
            s.bursts.push_back({cursor, std::string(bytes.begin(), bytes.end()), gap});
        }
    };

    for (std::size_t e = 0; e < maxEvents && !in.done(); ++e) {
        const std::uint8_t op = in.u8();
        const std::uint16_t delta = in.u16();
        switch (op % 6) {
        case 0: {
            cursor += delta;
            sendBytes(reply, in.u8());
            break;
        }
        case 1: {
            cursor += delta;
            const std::uint8_t gap = in.u8();
            std::vector<unsigned char> wrong = reply;
            const std::size_t index = in.u8() % wrong.size();
            wrong[index] = in.u8();
            sendBytes(wrong, gap);
            break;
        }
        case 2: {
            cursor += delta;
            const std::uint8_t gap = in.u8();
            const std::size_t k = in.u8() % reply.size();
            sendBytes(std::vector<unsigned char>(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(k)), gap);
            break;
        }
        case 3: {
            cursor += delta;
            const std::uint8_t gap = in.u8();
            std::vector<unsigned char> raw(in.u8() % 25u);
            for (unsigned char& b : raw) {
                b = in.u8();
            }
            sendBytes(raw, gap);
            break;
        }
        case 4: {
            cursor += delta;
            const std::uint64_t duration = static_cast<std::uint64_t>(in.u16()) * 10u;
            const std::uint32_t cost = in.u8() + 1u;
            s.outages.push_back({cursor, cursor + duration, cost});
            break;
        }
        default:
            cursor += static_cast<std::uint64_t>(delta) * 100u;
            break;
        }
    }
    return s;
}

std::string Scenario::describe() const
{
    std::string d;
    char line[200];
    std::snprintf(line, sizeof line, "length %d%s, budget %d ms, start tick %u, read wait %u ms%s\npattern:", length,
                  nullPattern ? " (null pattern)" : "", budgetMs, startTick, readWaitMs,
                  honourWait ? " (reads wait as long as the reader lets them)" : "");
    d += line;
    for (const unsigned char b : pattern) {
        std::snprintf(line, sizeof line, " %02x", b);
        d += line;
    }
    d += "\nbursts (from ms, every gap ms: bytes):";
    for (const Burst& b : bursts) {
        std::snprintf(line, sizeof line, "\n  %llu, every %llu:", static_cast<unsigned long long>(b.atMs),
                      static_cast<unsigned long long>(b.gapMs));
        d += line;
        for (const char c : b.bytes) {
            std::snprintf(line, sizeof line, " %02x", static_cast<unsigned char>(c));
            d += line;
        }
    }
    d += "\nfailing reads:";
    for (const Outage& o : outages) {
        std::snprintf(line, sizeof line, " [%llu,%llu) cost %u", static_cast<unsigned long long>(o.fromMs),
                      static_cast<unsigned long long>(o.toMs), o.costMs);
        d += line;
    }
    d += "\n";
    return d;
}
