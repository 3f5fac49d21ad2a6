// One poll on a scripted port, decoded from fuzzer input: what the caller
// passes, how the clock and the port behave, and what the device sends when.
#ifndef KESTRIN_TESTS_FUZZ_SCENARIO_H
#define KESTRIN_TESTS_FUZZ_SCENARIO_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct Scenario {
    // Bytes that arrive from `atMs` on, `gapMs` apart.
    struct Burst {
        std::uint64_t atMs;
        std::string bytes;
        std::uint64_t gapMs;
    };
    struct Outage {
        std::uint64_t fromMs;
        std::uint64_t toMs;
        std::uint32_t costMs;
    };

    int length = 0;
    bool nullPattern = false;
    // Exactly the bytes the caller owns: min(length, 64) of them, none when
    // the length is 0 or less, so reading past them is caught.
    std::vector<unsigned char> pattern;
    int budgetMs = 0;
    std::uint32_t startTick = 0;
    std::uint32_t readWaitMs = 1;
    // Reads wait as long as the reader lets them, and failed ones sleep that
    // out: the Linux platform layer (VirtualPort::honourWait).
    bool honourWait = false;
    std::vector<Burst> bursts; // in the order they were scheduled
    std::vector<Outage> outages;

    std::string describe() const;
};

// Input layout, every field optional (missing bytes read as zero):
//   [length code] [pattern bytes] [budget code + value] [tick code + value]
//   [read wait code + value] (bit 3 of the code: honour the reader's wait)
//   then events until the input ends, each
//   [op] [delta ms, 2 bytes] [operands]:
//     op%6 == 0  the pattern, bytes `gap` ms apart          operands: gap
//     op%6 == 1  the pattern with one byte replaced          operands: gap, index, byte
//     op%6 == 2  the first k bytes of the pattern            operands: gap, k
//     op%6 == 3  raw bytes                                   operands: gap, n, n bytes
//     op%6 == 4  failing reads for a while                   operands: duration (2 bytes, x10 ms), cost
//     op%6 == 5  a pause: the cursor moves on delta x100 ms  operands: none
// Event times accumulate from 0 (the poll's entry). tests/fuzz/make_seeds.py
// writes inputs in this layout.
Scenario decodeScenario(const std::uint8_t* data, std::size_t size);

// Caps that keep one input cheap.
constexpr std::size_t maxEvents = 48;
constexpr std::uint32_t maxReadWaitMs = 1u << 20;

#endif
