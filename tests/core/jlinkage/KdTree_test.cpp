#include "core/jlinkage/KdTree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace {

struct Pt {
    std::vector<float> c;
    bool excludedFromSearch = false;
    float coordinate(std::size_t i) const { return c[i]; }
};

constexpr float kFar = std::numeric_limits<float>::max();

float dist(const Pt& a, const Pt& b, std::size_t dim)
{
    float s = 0;
    for (std::size_t i = 0; i < dim; ++i)
        s += (a.c[i] - b.c[i]) * (a.c[i] - b.c[i]);
    return std::sqrt(s);
}

} // namespace

TEST(KdTree, EmptyOrAllExcludedFindsNothing)
{
    KdTree<Pt> tree(2);
    Pt q{{0, 0}};
    EXPECT_EQ(tree.findNearest(q, kFar).first, nullptr);
    std::vector<Pt> pts{{{1, 1}}, {{2, 2}}};
    for (auto& p : pts) {
        p.excludedFromSearch = true;
        tree.insert(&p);
    }
    EXPECT_EQ(tree.findNearest(q, kFar).first, nullptr);
}

// k-nearest search against brute force, before and after a rebuild, with
// the exclusion marks cleared afterwards.
TEST(KdTree, NearestPointsMatchBruteForce)
{
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(0, 100);
    for (std::size_t dim : {1u, 2u, 3u}) {
        std::vector<Pt> pts(300);
        for (auto& p : pts)
            p.c = {u(rng), u(rng), u(rng), u(rng)}; // 4 coordinates, only dim of them count
        KdTree<Pt> tree(dim);
        for (auto& p : pts)
            tree.insert(&p);
        for (bool rebuilt : {false, true}) {
            if (rebuilt)
                tree.rebuild();
            SCOPED_TRACE(testing::Message() << "dimension " << dim << (rebuilt ? ", rebuilt" : ""));
            EXPECT_EQ(tree.size(), pts.size());
            for (std::size_t qi = 0; qi < pts.size(); qi += 37) {
                auto found = tree.nearestPoints(pts[qi], kFar, 8, pts.size());
                std::vector<float> expected;
                for (std::size_t j = 0; j < pts.size(); ++j)
                    if (j != qi)
                        expected.push_back(dist(pts[qi], pts[j], dim));
                std::sort(expected.begin(), expected.end());
                ASSERT_EQ(found.size(), 8u);
                for (std::size_t k = 0; k < found.size(); ++k) {
                    EXPECT_NE(found[k], &pts[qi]);
                    EXPECT_FLOAT_EQ(dist(pts[qi], *found[k], dim), expected[k]);
                }
            }
            for (const auto& p : pts)
                EXPECT_FALSE(p.excludedFromSearch);
        }
    }
}

TEST(KdTree, KAboveCountReturnsAllOthersNearestFirst)
{
    std::vector<Pt> pts{{{0, 0}}, {{5, 0}}, {{1, 0}}, {{3, 0}}};
    KdTree<Pt> tree(2);
    for (auto& p : pts)
        tree.insert(&p);
    const auto found = tree.nearestPoints(pts[0], kFar, 10, pts.size());
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0], &pts[2]);
    EXPECT_EQ(found[1], &pts[3]);
    EXPECT_EQ(found[2], &pts[1]);
    for (const auto& p : pts)
        EXPECT_FALSE(p.excludedFromSearch);
}

TEST(KdTree, IdenticalPointsAndIgnoredCoordinates)
{
    // three copies of one place are found one per step
    std::vector<Pt> pts{{{2, 2}}, {{2, 2}}, {{2, 2}}, {{9, 9}}};
    KdTree<Pt> tree(2);
    for (auto& p : pts)
        tree.insert(&p);
    Pt q{{2, 2}};
    tree.insert(&q);
    const auto found = tree.nearestPoints(q, kFar, 3, 5);
    ASSERT_EQ(found.size(), 3u);
    for (const Pt* f : found)
        EXPECT_EQ(f->c, (std::vector<float>{2, 2}));

    // a dimension of 2 ignores the third coordinate
    std::vector<Pt> two{{{1, 1, 0}}, {{1, 1, 50}}};
    KdTree<Pt> t2(2);
    t2.insert(&two[0]);
    two[1].excludedFromSearch = false;
    two[0].excludedFromSearch = false;
    const auto r = t2.findNearest(two[1], kFar);
    EXPECT_EQ(r.first, &two[0]);
    EXPECT_FLOAT_EQ(r.second, 0.f);
}

TEST(KdTree, RebuildBalancesSevenPoints)
{
    std::vector<Pt> pts;
    for (int i = 0; i < 7; ++i)
        pts.push_back({{float(i), float((i * 3) % 7) + 0.5f}});
    KdTree<Pt> tree(2);
    for (auto& p : pts)
        tree.insert(&p); // a chain on x first ...
    EXPECT_GT(tree.levels(), 3u);
    tree.rebuild(); // ... three levels after the rebuild
    EXPECT_EQ(tree.levels(), 3u);
    EXPECT_EQ(tree.size(), 7u);
    for (auto& p : pts)
        EXPECT_EQ(tree.findNearest(p, kFar).first, &p);
}

// A point exactly at the maximum distance is found (only points farther away
// are left out), also when it lies below an excluded node or a node beyond
// the limit.
TEST(KdTree, PointAtExactlyTheMaximumDistanceIsFound)
{
    struct Case {
        const char* what;
        std::vector<std::vector<float>> points; // inserted in this order
        std::size_t query;                      // index of the query point (a member of the tree)
        float maxDistance;
        std::size_t expected;
    };
    const Case cases[] = {
        {"child of the excluded query", {{0, 0}, {3, 4}}, 0, 5.f, 1},
        {"upper child of the excluded query", {{0, 0}, {0, 5}}, 0, 5.f, 1},
        {"lower child of the excluded query", {{0, 0}, {-5, 0}}, 0, 5.f, 1},
        {"below a node beyond the limit", {{0, 0}, {20, 0}, {3, 4}}, 0, 5.f, 2},
        {"one dimension", {{1}, {3}}, 0, 2.f, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<Pt> pts;
        for (const auto& p : c.points)
            pts.push_back({p});
        KdTree<Pt> tree(c.points.front().size());
        for (auto& p : pts)
            tree.insert(&p);
        const std::vector<Pt*> found = tree.nearestPoints(pts[c.query], c.maxDistance, 1, pts.size());
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found.front(), &pts[c.expected]);
        pts[c.query].excludedFromSearch = true;
        const auto nearest = tree.findNearest(pts[c.query], c.maxDistance);
        EXPECT_EQ(nearest.first, &pts[c.expected]);
        EXPECT_EQ(nearest.second, c.maxDistance);
        // a little nearer limit leaves it out
        EXPECT_EQ(tree.findNearest(pts[c.query], std::nextafter(c.maxDistance, 0.f)).first, nullptr);
        pts[c.query].excludedFromSearch = false;
    }
}
