// Random choices that a seed replays the same on every platform and with
// every compiler: SplitMix64 (Steele, Lea and Flood, 2014) and numbers below
// a bound by rejection, both written out here. The standard library's
// distributions are not used: their output is each implementation's own.
#ifndef KESTRIN_TOOL_BASE_RANDOM_H
#define KESTRIN_TOOL_BASE_RANDOM_H

#include <cstdint>

namespace kestrin {

class Random {
public:
    explicit Random(std::uint64_t seed = 0) : state_(seed) {}

    // The next 64 bits of the sequence the seed defines.
    std::uint64_t next();

    // Uniform in [0, bound), bound at least 1: draws until a value falls
    // below the largest multiple of bound that 2^64 holds, then takes it
    // modulo bound.
    std::uint64_t below(std::uint64_t bound);

    // A generator of its own for item `index` of a family that `seed`
    // names: the same pair always gives the same one, and neighbouring
    // indices do not give shifted copies of one sequence.
    static Random derived(std::uint64_t seed, std::uint64_t index);

private:
    std::uint64_t state_;
};

} // namespace kestrin

#endif
