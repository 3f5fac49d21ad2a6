#include "base/random.h"

namespace kestrin {

namespace {

const std::uint64_t golden = 0x9E3779B97F4A7C15u;

std::uint64_t mix(std::uint64_t z)
{
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

} // namespace

std::uint64_t Random::next()
{
    state_ += golden;
    return mix(state_);
}

std::uint64_t Random::below(std::uint64_t bound)
{
    // 2^64 mod bound: the values under it would make small results likelier.
    const std::uint64_t skip = (0 - bound) % bound;
    for (;;) {
        const std::uint64_t value = next();
        if (value >= skip) {
            return value % bound;
        }
    }
}

Random Random::derived(std::uint64_t seed, std::uint64_t index)
{
    // Seeds a step apart would give one sequence shifted by a step: the
    // index goes through the mixer first.
    return Random(mix(seed + (index + 1) * golden));
}

} // namespace kestrin
