#include "core/jlinkage/JLinkageClusterer.h"
#include "core/jlinkage/VPCluster.h"
#include "core/jlinkage/VPSample.h"
#include "core/jlinkage/vp_models.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <algorithm>
#include <cmath>
#include <random>

namespace {

std::vector<SamplerPoint> samplerPoints(const std::vector<std::vector<float>>& segs)
{
    std::vector<SamplerPoint> pts(segs.size());
    for (std::size_t i = 0; i < segs.size(); ++i) {
        pts[i].ownCoordinates = segs[i];
        pts[i].coords = &pts[i].ownCoordinates;
    }
    return pts;
}

// Segments of random length and direction whose lines pass through vp, with
// end points jittered by up to `noise` pixels.
std::vector<std::vector<float>> segmentsTowards(cv::Point2f vp, int n, float noise, std::mt19937& rng)
{
    std::uniform_real_distribution<float> pos(50, 590), len(20, 80), jitter(-noise, noise);
    std::bernoulli_distribution flip(0.5);
    std::vector<std::vector<float>> segs;
    for (int i = 0; i < n; ++i) {
        const float y = pos(rng) * 0.75f, x = pos(rng);
        const cv::Point2f a(x, y);
        cv::Point2f d = vp - a;
        d *= 1.f / std::hypot(d.x, d.y);
        const cv::Point2f b = a + d * len(rng);
        std::vector<float> s{a.x + jitter(rng), a.y + jitter(rng), b.x + jitter(rng), b.y + jitter(rng)};
        if (flip(rng))
            s = {s[2], s[3], s[0], s[1]};
        segs.push_back(s);
    }
    return segs;
}

} // namespace

TEST(VpModels, DegenerateAndParallelPairs)
{
    // two segments on one line: no finite model, nobody prefers it
    auto pts = samplerPoints({{0, 0, 10, 0}, {20, 0, 30, 0}});
    const auto m = vpFromSegments(pts, {0, 1});
    EXPECT_FALSE(std::isfinite(m[0]) && std::isfinite(m[1]) && std::isfinite(m[2]));
    EXPECT_FALSE(vpSegmentResidual(m, {0, 5, 10, 5}) < 2.f);

    // parallel segments: a direction, which parallel segments fit exactly
    pts = samplerPoints({{0, 0, 10, 10}, {0, 5, 10, 15}});
    const auto d = vpFromSegments(pts, {0, 1});
    EXPECT_FLOAT_EQ(d[2], 0.f);
    EXPECT_NEAR(std::hypot(d[0], d[1]), 1.f, 1e-6);
    EXPECT_NEAR(vpSegmentResidual(d, {100, 3, 110, 13}), 0.f, 1e-4);
}

TEST(VpModels, ResidualIsTheEndPointDistanceWhicheverWayTheSegmentPoints)
{
    const std::vector<float> vp{0.f, 0.f, 1.f}; // the image origin
    // segment along y = 10 from x = 100 to 120: the line from its midpoint
    // (110, 10) to the origin is y = x / 11; its end points are 10/11 * ... away
    const std::vector<float> s{100, 10, 120, 10}, r{120, 10, 100, 10};
    const float expected = std::fabs(10.f - 100.f / 11.f) / std::sqrt(1.f + 1.f / 121.f);
    EXPECT_NEAR(vpSegmentResidual(vp, s), expected, 1e-4);
    EXPECT_NEAR(vpSegmentResidual(vp, r), vpSegmentResidual(vp, s), 1e-5);
}

TEST(VPSample, CountsAndRefusals)
{
    VPSample sampler;
    sampler.setSeed(1);
    std::mt19937 rng(1);
    const auto segs = segmentsTowards({320, -2000}, 3, 0.f, rng);
    EXPECT_EQ(sampler.sample(segs, 10, nullptr, 3, 1.0, 10, 0.8, 0.2).size(), 10u);
    EXPECT_TRUE(sampler.sample({segs[0], segs[1]}, 10, nullptr, 3, 1.0, 10, 0.8, 0.2).empty());
    EXPECT_TRUE(sampler.sample(segs, 0, nullptr, 3, 1.0, 10, 0.8, 0.2).empty());
    EXPECT_TRUE(sampler.sample(segs, 10, nullptr, 4, 1.0, 10, 0.8, 0.2).empty());
    EXPECT_TRUE(sampler.sample(segs, 10, nullptr, 3, 1.0, 0, 0.8, 0.2).empty());
    EXPECT_TRUE(sampler.sample(segs, 10, nullptr, 1, -1.0, 10, 0.8, 0.2).empty());
}

// Segments towards three vanishing points fall into three clusters, the
// largest first; the same seed gives the same hypotheses and labels.
TEST(VPCluster, FindsTheGroupsOfSegmentsAndRanksThemBySize)
{
    std::mt19937 rng(5);
    std::vector<std::vector<float>> segs;
    std::vector<int> truth;
    const cv::Point2f vps[] = {{-900, 260}, {1600, 200}, {330, 5000}};
    const int counts[] = {60, 40, 25};
    for (int g = 0; g < 3; ++g)
        for (const auto& s : segmentsTowards(vps[g], counts[g], 0.3f, rng)) {
            segs.push_back(s);
            truth.push_back(g);
        }

    std::vector<std::vector<int>> labelsPerRun;
    std::vector<std::vector<std::vector<float>>> hypsPerRun;
    for (int run = 0; run < 2; ++run) {
        VPSample sampler;
        sampler.setSeed(77);
        std::vector<int> progress;
        QObject::connect(&sampler, &VPSample::progress, [&](int v) { progress.push_back(v); });
        const auto hyps = sampler.sample(segs, 5000, nullptr, 3, 1.0, 10, 0.8, 0.2);
        ASSERT_EQ(hyps.size(), 5000u);
        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(progress.front(), 1);
        EXPECT_EQ(progress.back(), 24);

        VPCluster clusterer;
        QObject::connect(&clusterer, &VPCluster::progress, [&](int v) { progress.push_back(v); });
        std::vector<int> labels;
        std::vector<std::pair<unsigned, unsigned>> sizes;
        std::vector<std::vector<int>> clusterHyps;
        const int n = clusterer.cluster(labels, sizes, clusterHyps, segs, hyps, 2.0f, -1, {});
        ASSERT_GE(n, 3);
        EXPECT_EQ(progress.back(), 100);
        EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
        ASSERT_EQ(labels.size(), segs.size());
        ASSERT_EQ(sizes.size(), std::size_t(n));
        ASSERT_EQ(clusterHyps.size(), std::size_t(n));
        // the three largest clusters are the three groups, in order of size
        for (int g = 0; g < 3; ++g) {
            SCOPED_TRACE(testing::Message() << "group " << g);
            // segments near the line through two vanishing points fit both
            int agree = 0, labelled = 0;
            for (std::size_t i = 0; i < segs.size(); ++i) {
                if (truth[i] == g)
                    agree += labels[i] == g;
                labelled += labels[i] == g;
            }
            EXPECT_GE(agree, counts[g] * 3 / 4);
            EXPECT_GE(agree * 100, labelled * 85) << "cluster " << g << " is mostly its group";
            EXPECT_FALSE(clusterHyps[std::size_t(g)].empty());
        }
        labelsPerRun.push_back(labels);
        hypsPerRun.push_back(hyps);
    }
    EXPECT_EQ(hypsPerRun[0], hypsPerRun[1]);
    EXPECT_EQ(labelsPerRun[0], labelsPerRun[1]);
}

TEST(VPCluster, ThresholdZeroAndSingletons)
{
    std::vector<std::vector<float>> segs{{0, 0, 10, 0}, {0, 50, 0, 60}, {100, 100, 110, 90}};
    std::vector<int> labels{7};
    std::vector<std::pair<unsigned, unsigned>> sizes;
    std::vector<std::vector<int>> hyps;
    VPCluster c;
    EXPECT_EQ(c.cluster(labels, sizes, hyps, segs, {{0, 0, 1}}, 0.f, -1, {}), 0);
    EXPECT_EQ(labels, std::vector<int>{7}); // untouched

    // no hypotheses: every segment alone; the last inserted ranks first
    VPCluster c2;
    EXPECT_EQ(c2.cluster(labels, sizes, hyps, segs, {}, 2.f, -1, {}), 3);
    EXPECT_EQ(labels, (std::vector<int>{2, 1, 0}));
    ASSERT_EQ(sizes.size(), 3u);
    EXPECT_EQ(sizes[0], std::make_pair(1u, 2u));
}

// Pairs only between near segments (tree mode): the clusters still hold one
// group each, every segment is in exactly one cluster, and each cluster's set
// is the AND of its members'.
TEST(VPCluster, NeighbourPairsKeepTheGroupsApart)
{
    std::mt19937 rng(8);
    std::vector<std::vector<float>> segs;
    std::vector<int> truth;
    const cv::Point2f vps[] = {{-900, 260}, {1600, 200}, {330, 5000}};
    for (int g = 0; g < 3; ++g)
        for (const auto& s : segmentsTowards(vps[g], 50, 0.2f, rng)) {
            segs.push_back(s);
            truth.push_back(g);
        }
    VPSample sampler;
    sampler.setSeed(3);
    const auto hyps = sampler.sample(segs, 3000, nullptr, 3, 1.0, 10, 0.8, 0.2);

    JLinkageClusterer c(vpSegmentResidual, 2.f, std::uint32_t(hyps.size()), true, 4, 10);
    for (const auto& h : hyps)
        c.addHypothesis(h);
    for (const auto& s : segs)
        c.insertPoint(s);
    const auto clusters = c.runClustering();
    std::size_t members = 0;
    for (const PreferenceCluster* cl : clusters) {
        members += cl->members.size();
        BitSet and_ = cl->members.front()->preferenceSet;
        int perGroup[3] = {0, 0, 0};
        for (const PreferencePoint* m : cl->members) {
            EXPECT_EQ(m->cluster, cl);
            and_ &= m->preferenceSet;
            ++perGroup[truth[m->index]];
        }
        EXPECT_TRUE(and_ == cl->preferenceSet);
        // segments near the line through two vanishing points fit both
        const int most = *std::max_element(perGroup, perGroup + 3);
        if (cl->members.size() >= 10) {
            EXPECT_GE(most * 4, int(cl->members.size()) * 3) << "a large cluster mixes groups";
        }
    }
    EXPECT_EQ(members, segs.size());
    for (const auto& p : c.points())
        EXPECT_FALSE(p->pendingNeighbourSearch);
}
