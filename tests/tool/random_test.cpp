// The sim's random choices are defined to the bit, so that a seed plays a
// run again the same on every platform: these values are the definition.
#include "base/random.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace kestrin {
namespace {

std::vector<std::uint64_t> firstOf(Random random, int count)
{
    std::vector<std::uint64_t> values;
    for (int i = 0; i < count; ++i) {
        values.push_back(random.next());
    }
    return values;
}

TEST(Random, IsSplitMix64)
{
    EXPECT_EQ(firstOf(Random(0), 3),
              (std::vector<std::uint64_t>{0xe220a8397b1dcdafu, 0x6e789e6aa1b965f4u, 0x06c45d188009454fu}));
    EXPECT_EQ(firstOf(Random(1234567), 3),
              (std::vector<std::uint64_t>{0x599ed017fb08fc85u, 0x2c73f08458540fa5u, 0x883ebce5a3f27c77u}));
}

TEST(Random, BelowABoundTakesTheValueModuloTheBound)
{
    Random random(42);
    std::vector<std::uint64_t> digits;
    for (int i = 0; i < 10; ++i) {
        digits.push_back(random.below(10));
    }
    EXPECT_EQ(digits, (std::vector<std::uint64_t>{3, 1, 8, 4, 0, 2, 5, 8, 5, 4}));
    Random one(5);
    EXPECT_EQ(one.below(1), 0u);
}

TEST(Random, BelowABoundRejectsTheValuesThatWouldFavourSomeResults)
{
    // 2^63 + 1: every value under 2^63 - 1 is drawn again, so the second
    // and third values of seed 0 are passed over.
    const std::uint64_t bound = (std::uint64_t{1} << 63) + 1;
    Random random(0);
    EXPECT_EQ(random.below(bound), 0x6220a8397b1dcdaeu);
    EXPECT_EQ(random.below(bound), 0x788bb8a8724c81ebu);
    EXPECT_EQ(random.below(bound), 0x4584133ac916ab3bu);
}

TEST(Random, DerivedGeneratorsAreFixedAndNotShiftedCopiesOfEachOther)
{
    EXPECT_EQ(firstOf(Random::derived(7, 0), 2), (std::vector<std::uint64_t>{0xb8b4c2977eabce45u, 0xa65305fd338ec8feu}));
    EXPECT_EQ(firstOf(Random::derived(7, 1), 2), (std::vector<std::uint64_t>{0x8254fd5b2111dce4u, 0xc052c5bc0d7f2360u}));
    EXPECT_EQ(firstOf(Random::derived(7, 1), 2), firstOf(Random::derived(7, 1), 2));
}

} // namespace
} // namespace kestrin
