#include "core/jlinkage/BitSet.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

namespace {

BitSet fromSet(std::size_t size, const std::set<int>& bits)
{
    BitSet b(size);
    for (int i : bits)
        b.set(std::size_t(i));
    return b;
}

std::set<int> randomSet(std::mt19937& rng, int size, double density)
{
    std::bernoulli_distribution on(density);
    std::set<int> s;
    for (int i = 0; i < size; ++i)
        if (on(rng))
            s.insert(i);
    return s;
}

} // namespace

// Counts, AND and bit lists agree with std::set arithmetic, also for sizes
// that are not multiples of 64 and for two sets of different sizes.
TEST(BitSet, CountsMatchSetArithmetic)
{
    std::mt19937 rng(7);
    const int sizes[][2] = {{1, 1}, {63, 64}, {64, 65}, {130, 70}, {5000, 5000}, {5000, 4990}};
    for (const auto& sz : sizes) {
        for (double density : {0.0, 0.02, 0.5, 1.0}) {
            SCOPED_TRACE(testing::Message() << sz[0] << "/" << sz[1] << " bits, density " << density);
            const auto sa = randomSet(rng, sz[0], density), sb = randomSet(rng, sz[1], density);
            const BitSet a = fromSet(std::size_t(sz[0]), sa), b = fromSet(std::size_t(sz[1]), sb);
            std::set<int> inter, uni = sa;
            for (int i : sb) {
                uni.insert(i);
                if (sa.count(i))
                    inter.insert(i);
            }
            std::uint32_t ca = 0, co = 0;
            BitSet::andOrCount(a, b, ca, co);
            EXPECT_EQ(ca, inter.size());
            EXPECT_EQ(co, uni.size());
            EXPECT_EQ(BitSet::andCount(b, a), inter.size());
            EXPECT_EQ(BitSet::orCount(b, a), uni.size());
            EXPECT_EQ(a.count(), sa.size());
            EXPECT_EQ(a.any(), !sa.empty());
            BitSet c = a;
            c &= b;
            EXPECT_EQ(c.setBits(), std::vector<int>(inter.begin(), inter.end()));
        }
    }
}

TEST(BitSet, SetResetResize)
{
    BitSet b(100);
    b.set(99);
    b.set(3);
    EXPECT_TRUE(b.test(99));
    b.reset(99);
    EXPECT_FALSE(b.test(99));
    EXPECT_FALSE(b.test(1000)); // beyond the size: not set
    b.set(70);
    b.resize(65);  // shrinking drops bit 70 ...
    b.resize(128); // ... and it does not come back
    EXPECT_FALSE(b.test(70));
    EXPECT_EQ(b.count(), 1u);
    b.clear();
    EXPECT_EQ(b.size(), 128u);
    EXPECT_FALSE(b.any());
}
