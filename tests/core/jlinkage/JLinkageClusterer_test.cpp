#include "core/jlinkage/JLinkageClusterer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <vector>

namespace {

// Points are {id}, models are {hypothesis number}; a table says which point
// prefers which hypothesis, so tests state preference sets directly.
struct Table {
    std::vector<std::set<int>> prefs; // per point
    int hypotheses = 0;

    JLinkageClusterer::DistanceFunction residual() const
    {
        return [this](const std::vector<float>& m, const std::vector<float>& p) {
            return prefs[std::size_t(p[0])].count(int(m[0])) ? 0.f : 1.f;
        };
    }
};

using Partition = std::set<std::set<int>>;

Partition partitionOf(const std::vector<PreferenceCluster*>& clusters)
{
    Partition part;
    for (const PreferenceCluster* c : clusters) {
        std::set<int> members;
        for (const PreferencePoint* m : c->members)
            members.insert(int(m->coordinates()[0]));
        part.insert(members);
    }
    return part;
}

Partition cluster(const Table& t, int kNeighbours = -1, std::uint32_t ring = 0)
{
    JLinkageClusterer c(t.residual(), 0.5f, ring, true, 1, kNeighbours);
    for (int h = 0; h < t.hypotheses; ++h)
        c.addHypothesis({float(h)});
    for (std::size_t i = 0; i < t.prefs.size(); ++i)
        c.insertPoint({float(i)});
    return partitionOf(c.runClustering());
}

// Reference: after every merge, the distances of all pairs are computed
// afresh and the smallest one is merged. Sets *tie when the smallest
// distance is not unique at some step.
Partition naiveClusters(const Table& t, bool* tie)
{
    std::vector<BitSet> sets;
    std::vector<std::set<int>> members;
    for (std::size_t i = 0; i < t.prefs.size(); ++i) {
        BitSet b(std::size_t(t.hypotheses));
        for (int h : t.prefs[i])
            b.set(std::size_t(h));
        sets.push_back(b);
        members.push_back({int(i)});
    }
    *tie = false;
    for (;;) {
        float best = 2.f;
        int bi = -1, bj = -1, count = 0;
        for (std::size_t i = 0; i < sets.size(); ++i)
            for (std::size_t j = i + 1; j < sets.size(); ++j) {
                std::uint32_t u, n;
                const float d = JLinkageClusterer::jaccardDistance(sets[i], sets[j], u, n);
                if (n == 0)
                    continue;
                if (d < best) {
                    best = d;
                    bi = int(i);
                    bj = int(j);
                    count = 1;
                } else if (d == best) {
                    ++count;
                }
            }
        if (bi < 0)
            break;
        if (count > 1)
            *tie = true;
        sets[std::size_t(bi)] &= sets[std::size_t(bj)];
        members[std::size_t(bi)].insert(members[std::size_t(bj)].begin(), members[std::size_t(bj)].end());
        sets.erase(sets.begin() + bj);
        members.erase(members.begin() + bj);
    }
    return Partition(members.begin(), members.end());
}

// Groups of points around a few structures: each point prefers most of its
// group's hypotheses and a few random others.
Table randomTable(std::mt19937& rng, int points, int hypotheses, int groups)
{
    Table t;
    t.hypotheses = hypotheses;
    std::uniform_int_distribution<int> group(0, groups - 1), hyp(0, hypotheses - 1);
    std::bernoulli_distribution keep(0.6), noise(0.05);
    for (int i = 0; i < points; ++i) {
        const int g = group(rng);
        std::set<int> s;
        for (int h = 0; h < hypotheses; ++h)
            if ((h % groups == g && keep(rng)) || noise(rng))
                s.insert(h);
        t.prefs.push_back(s);
    }
    return t;
}

} // namespace

// The clusterer merges exactly as the reference that recomputes every pair
// after each merge, in all-pairs mode and in tree mode with every point a
// neighbour of every other.
TEST(JLinkageClusterer, SamePartitionAsNaiveReference)
{
    std::mt19937 rng(11);
    int compared = 0;
    for (int trial = 0; trial < 1000 && compared < 40; ++trial) {
        const int points = 8 + trial % 30, hypotheses = 40 + (trial * 7) % 200;
        const Table t = randomTable(rng, points, hypotheses, 2 + trial % 4);
        bool tie = false;
        const Partition expected = naiveClusters(t, &tie);
        if (tie)
            continue;
        ++compared;
        SCOPED_TRACE(testing::Message() << "trial " << trial << ": " << points << " points, " << hypotheses
                                        << " hypotheses, " << expected.size() << " clusters");
        EXPECT_EQ(cluster(t), expected);
        EXPECT_EQ(cluster(t, points), expected);
    }
    EXPECT_GE(compared, 20) << "too few tie-free sets to compare";
}

// After a merge raises the next sorted pair's distance to "no common
// hypothesis", a pair further down the list that still shares one is merged.
TEST(JLinkageClusterer, GoesOnPastAPairThatLostItsCommonHypothesis)
{
    Table t;
    t.hypotheses = 19;
    t.prefs = {
        {0, 1, 2, 3, 9, 10, 11, 12, 13},     // a
        {0, 1, 2, 3},                        // b: merges with a first (0.56)
        {9},                                 // x: 0.89 from a, disjoint from a AND b
        {4, 5, 6, 7, 8, 14, 15, 16, 17, 18}, // y
        {18},                                // z: 0.9 from y
    };
    EXPECT_EQ(cluster(t), (Partition{{0, 1}, {2}, {3, 4}}));
}

TEST(JLinkageClusterer, EdgeCases)
{
    struct Case {
        const char* name;
        int hypotheses;
        std::vector<std::set<int>> prefs;
        Partition expected;
    };
    const std::vector<Case> cases = {
        {"no hypotheses", 0, {{}, {}, {}}, {{0}, {1}, {2}}},
        {"equal sets", 2, {{0, 1}, {0, 1}}, {{0, 1}}},
        {"disjoint sets stay apart", 2, {{0}, {1}}, {{0}, {1}}},
        {"empty sets stay apart", 2, {{}, {}}, {{0}, {1}}},
        // {0} and {1} both overlap {0, 1}; one pair merges and the rest is disjoint
        {"chain", 2, {{0}, {1}, {0, 1}}, {}},
        {"two then one at 1 - 1/3", 3, {{0, 1}, {0, 1}, {1, 2}}, {{0, 1, 2}}},
        {"one candidate", 5, {{3}, {3, 4}, {0}}, {{0, 1}, {2}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Table t;
        t.hypotheses = c.hypotheses;
        t.prefs = c.prefs;
        const Partition got = cluster(t);
        if (std::string(c.name) == "chain") {
            EXPECT_EQ(got.size(), 2u);
            EXPECT_TRUE(got.count({1}) || got.count({0})) << "point 2 joins one of the others";
        } else {
            EXPECT_EQ(got, c.expected);
        }
    }
}

TEST(JLinkageClusterer, JaccardDistance)
{
    BitSet a(10), b(10);
    std::uint32_t u = 9, n = 9;
    EXPECT_EQ(JLinkageClusterer::jaccardDistance(a, b, u, n), 1.f); // two empty sets
    EXPECT_EQ(u, 0u);
    EXPECT_EQ(n, 0u);
    a.set(1);
    a.set(2);
    b.set(2);
    b.set(3);
    EXPECT_FLOAT_EQ(JLinkageClusterer::jaccardDistance(a, b, u, n), 1.f - 1.f / 3.f);
    EXPECT_EQ(u, 3u);
    EXPECT_EQ(n, 1u);
}

// At 5000 hypotheses a pair sharing one hypothesis is 1 - 1/5000 apart, very
// close to 1 in single precision; it is still merged, and a pair sharing
// none is not.
TEST(JLinkageClusterer, OneCommonHypothesisOutOfFiveThousand)
{
    Table t;
    t.hypotheses = 5000;
    std::set<int> a, b;
    for (int h = 0; h < 2500; ++h)
        a.insert(h);
    for (int h = 2499; h < 5000; ++h)
        b.insert(h);
    t.prefs = {a, b, {}};
    EXPECT_EQ(cluster(t), (Partition{{0, 1}, {2}}));
}

// In ring mode the oldest slot is reused and its bit recomputed everywhere.
TEST(JLinkageClusterer, RingReusesTheOldestSlot)
{
    Table t;
    t.hypotheses = 3;
    t.prefs = {{0}, {0}, {2}};
    JLinkageClusterer c(t.residual(), 0.5f, 2, true, 1);
    for (float i : {0.f, 1.f})
        c.insertPoint({i});
    c.insertPoint({2.f});
    EXPECT_EQ(c.addHypothesis({0.f}), 0u);
    EXPECT_EQ(c.addHypothesis({1.f}), 1u);
    EXPECT_TRUE(c.points()[0]->preferenceSet.test(0));
    EXPECT_EQ(c.addHypothesis({2.f}), 0u); // replaces hypothesis 0
    EXPECT_FALSE(c.points()[0]->preferenceSet.test(0));
    EXPECT_TRUE(c.points()[2]->preferenceSet.test(0));
    EXPECT_TRUE(c.points()[2]->cluster->preferenceSet.test(0));
    EXPECT_EQ(partitionOf(c.runClustering()), (Partition{{0}, {1}, {2}}));
}

TEST(JLinkageClusterer, ManualMerges)
{
    Table t;
    t.hypotheses = 3;
    t.prefs = {{0, 1}, {0}, {2}, {0, 2}};
    JLinkageClusterer c(t.residual(), 0.5f, 0, true, 1);
    for (int h = 0; h < 3; ++h)
        c.addHypothesis({float(h)});
    for (int i = 0; i < 4; ++i)
        c.insertPoint({float(i)});
    EXPECT_FALSE(c.mergePointsManually({}));
    EXPECT_FALSE(c.mergePointsManually({0, 4})); // beyond the points
    EXPECT_FALSE(c.mergePointsManually({0, 2})); // nothing in common
    EXPECT_TRUE(c.mergePointsManually({1, 0}));
    EXPECT_EQ(c.liveClusters().size(), 3u);
    EXPECT_FALSE(c.mergePointsManually({1, 3})); // point 1 is already in a cluster of two
    EXPECT_EQ(c.points()[0]->cluster, c.points()[1]->cluster);
    EXPECT_EQ(c.points()[0]->cluster->preferenceSet.setBits(), std::vector<int>{0});
    // {0, 1} and {3} share hypothesis 0 (distance 1 - 1/2); {2} and {3} share 2 (1 - 1/2), the
    // earlier pair wins the tie, so one of the two joins point 3
    const Partition part = partitionOf(c.runClustering());
    EXPECT_EQ(part.size(), 2u);
}

TEST(JLinkageClusterer, CallbacksAndVeto)
{
    Table t;
    t.hypotheses = 2;
    t.prefs = {{0, 1}, {0, 1}, {0, 1}};
    int created = 0, merged = 0, destroyed = 0;
    {
        // clusters of more than two points are vetoed
        JLinkageClusterer c(
            t.residual(), 0.5f, 0, true, 1, -1,
            [](const PreferenceCluster& a, const PreferenceCluster& b) {
                return a.members.size() + b.members.size() <= 2;
            },
            [&](const PreferenceCluster&) { ++created; }, [&](const PreferenceCluster&) { ++merged; },
            [&](const PreferenceCluster&) { ++destroyed; });
        for (int h = 0; h < 2; ++h)
            c.addHypothesis({float(h)});
        for (int i = 0; i < 3; ++i)
            c.insertPoint({float(i)});
        EXPECT_EQ(c.runClustering().size(), 2u);
    }
    EXPECT_EQ(created, 3);
    EXPECT_EQ(merged, 1);
    EXPECT_EQ(destroyed, 3);
}
