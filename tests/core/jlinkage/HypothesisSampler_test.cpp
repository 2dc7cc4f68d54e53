#include "core/jlinkage/HypothesisSampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>

namespace {

// A model that records the set it was made from.
std::vector<float> setModel(const std::vector<SamplerPoint>&, const std::vector<unsigned>& set)
{
    return std::vector<float>(set.begin(), set.end());
}

std::vector<std::vector<float>> line(int n)
{
    std::vector<std::vector<float>> pts;
    for (int i = 0; i < n; ++i)
        pts.push_back({float(i), 0.f, 0.f});
    return pts;
}

} // namespace

TEST(HypothesisSampler, NeedsMorePointsThanTheSetSize)
{
    HypothesisSampler two(setModel, 2, 2);
    EXPECT_EQ(two.assignPoints(line(2)), -1);
    std::vector<std::vector<float>> out;
    EXPECT_FALSE(two.drawHypotheses(5, 0, out));
    EXPECT_TRUE(out.empty());

    HypothesisSampler three(setModel, 2, 2);
    EXPECT_EQ(three.assignPoints(line(3)), 3);
    EXPECT_TRUE(three.drawHypotheses(5, 2, out));
    ASSERT_EQ(out.size(), 7u);
    for (std::size_t i = 2; i < 7; ++i) {
        ASSERT_EQ(out[i].size(), 2u);
        EXPECT_NE(out[i][0], out[i][1]);
    }
}

// Draws cover [0, 1] evenly: the generator's full range is used, not a
// 15-bit one (values above 32767/32768 occur, the mean is one half).
TEST(HypothesisSampler, DrawsCoverTheUnitInterval)
{
    HypothesisSampler s(setModel, 2, 2);
    s.setSeed(5);
    double sum = 0, maxR = 0, minR = 1;
    std::set<float> distinct;
    const int n = 200000;
    for (int i = 0; i < n; ++i) {
        const float r = s.draw();
        ASSERT_GE(r, 0.f);
        ASSERT_LE(r, 1.f);
        sum += r;
        maxR = std::max(maxR, double(r));
        minR = std::min(minR, double(r));
        distinct.insert(r);
    }
    EXPECT_NEAR(sum / n, 0.5, 0.005);
    EXPECT_GT(maxR, 32767.0 / 32768.0);
    EXPECT_LT(minR, 1.0 / 32768.0);
    EXPECT_GT(distinct.size(), 100000u);
}

TEST(HypothesisSampler, SameSeedSameSets)
{
    std::vector<std::vector<std::vector<float>>> runs;
    for (int run = 0; run < 3; ++run) {
        HypothesisSampler s(setModel, 3, 2);
        s.setSeed(run < 2 ? 42 : 43);
        s.assignPoints(line(50));
        s.useNeighbourSampling(10, 0.8f, 0.2f, true);
        std::vector<std::vector<float>> out;
        s.drawHypotheses(200, 0, out);
        runs.push_back(out);
    }
    EXPECT_EQ(runs[0], runs[1]);
    EXPECT_NE(runs[0], runs[2]);
}

TEST(HypothesisSampler, CumulativeWeights)
{
    std::vector<float> cdf(4);
    HypothesisSampler::cumulative({1, 1, 1, 1}, cdf);
    EXPECT_FLOAT_EQ(cdf[0], 0.25f);
    EXPECT_FLOAT_EQ(cdf[3], 1.f);
    HypothesisSampler::cumulative({0, 3, 0, 1}, cdf);
    EXPECT_FLOAT_EQ(cdf[0], 0.f);
    EXPECT_FLOAT_EQ(cdf[1], 0.75f);
    EXPECT_EQ(HypothesisSampler::drawFrom(cdf, 0.f), 1u); // weight 0 is never the first one ...
    EXPECT_EQ(HypothesisSampler::drawFrom(cdf, 0.8f), 3u);
    EXPECT_EQ(HypothesisSampler::drawFrom(cdf, 1.f), 3u); // ... except through the last index
}

// With equal weights the first point is uniform; in mode 0 the second point
// is another point, never a repeat.
TEST(HypothesisSampler, UniformModes)
{
    HypothesisSampler s(setModel, 2, 2);
    s.setSeed(1);
    s.assignPoints(line(4));
    std::map<unsigned, int> firsts;
    for (int i = 0; i < 8000; ++i) {
        const auto set = s.pickMinimalSet();
        ++firsts[set[0]];
        ASSERT_NE(set[0], set[1]);
        ASSERT_LT(set[1], 4u);
    }
    for (unsigned p = 0; p < 4; ++p)
        EXPECT_NEAR(firsts[p], 2000, 200) << "point " << p;
}

// Points all at one place have exponential weight 0 for each other; every
// draw of a further point then falls back to the last index, which repeats
// when the first point is the last one, and after 1000 rejections the set is
// completed with the point after it (point 0 after the last).
TEST(HypothesisSampler, RejectedDrawsCompleteTheSetInOrder)
{
    HypothesisSampler s(setModel, 2, 2);
    s.setSeed(9);
    std::vector<std::vector<float>> same(3, {1.f, 1.f});
    s.assignPoints(same);
    s.useExponentialSampling(1.f);
    bool sawLastFirst = false;
    for (int i = 0; i < 50; ++i) {
        const auto set = s.pickMinimalSet();
        if (set[0] == 2) {
            sawLastFirst = true;
            EXPECT_EQ(set[1], 0u);
        } else {
            EXPECT_EQ(set[1], 2u);
        }
    }
    EXPECT_TRUE(sawLastFirst);
}

// Exponential mode: a far point is more likely as the second point.
TEST(HypothesisSampler, ExponentialPrefersFarPoints)
{
    HypothesisSampler s(setModel, 2, 2);
    s.setSeed(2);
    s.assignPoints({{0, 0}, {1, 0}, {10, 0}});
    s.useExponentialSampling(2.f);
    int near = 0, far = 0;
    for (int i = 0; i < 5000; ++i) {
        const auto set = s.pickMinimalSet();
        if (set[0] != 0)
            continue;
        (set[1] == 1 ? near : far)++;
    }
    EXPECT_GT(far, 2 * near);
}

// Mode 3 with far = 0: the second point is one of the 2nd to k-th nearest
// neighbours of the first.
TEST(HypothesisSampler, NeighbourDrawSkipsTheNearest)
{
    HypothesisSampler s(setModel, 1, 2);
    s.setSeed(4);
    s.assignPoints(line(40));
    s.useNeighbourSampling(5, 1.f, 0.f, true);
    EXPECT_FLOAT_EQ(s.nearProbability(), 1.f);
    for (int i = 0; i < 2000; ++i) {
        const auto set = s.pickMinimalSet();
        const int d = std::abs(int(set[1]) - int(set[0]));
        // neighbours on a line at unit spacing: the nearest is 1 away, the 5th at most 3
        if (set[0] >= 3 && set[0] <= 36) {
            ASSERT_TRUE(d >= 1 && d <= 3) << set[0] << " " << set[1];
        }
        ASSERT_NE(set[0], set[1]);
    }
}
