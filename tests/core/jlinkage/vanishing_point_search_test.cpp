// The vanishing-point search: clusters of the box room's segments with
// their points, its progress and stop, and the inputs it refuses.

#include "core/jlinkage/vanishing_point_search.h"

#include "core/calib/manhattan_pose.h"

#include "box_room.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

TEST(VanishingPointSearch, FindsTheRoomsThreeDirectionsWithRisingProgress)
{
    const synth::BoxRoomScene scene = synth::renderBoxRoom();
    VanishingPointSearchInput in;
    in.segments = synth::noisySegments(scene, 0.1, 1);
    in.count = 3;
    in.seed = 7;
    std::vector<int> reported;
    const VanishingPointSearchResult r = searchVanishingPoints(in, [&](int p) {
        reported.push_back(p);
        return true;
    });
    ASSERT_TRUE(r.ok()) << r.message;
    ASSERT_EQ(r.clusters.size(), 3u);
    EXPECT_GE(r.found, 3);
    EXPECT_FALSE(r.firstWithoutPoint);
    std::size_t total = r.outliers.size();
    for (std::size_t i = 0; i < r.clusters.size(); ++i) {
        total += r.clusters[i].segments.size();
        if (i > 0) {
            EXPECT_GE(r.clusters[i - 1].segments.size(), r.clusters[i].segments.size()) << "largest first";
        }
    }
    EXPECT_EQ(total, in.segments.size());
    for (int axis = 0; axis < 3; ++axis) {
        double best = 180;
        for (const auto& c : r.clusters)
            best = std::min(best, synth::lineAngleDeg(vanishingDirection(scene.K, c.point),
                                                      scene.directions[std::size_t(axis)]));
        EXPECT_LT(best, 0.5) << "axis " << axis;
    }
    ASSERT_FALSE(reported.empty());
    EXPECT_TRUE(std::is_sorted(reported.begin(), reported.end()));
    EXPECT_EQ(reported.back(), 100);

    // the same seed, the same points
    const VanishingPointSearchResult again = searchVanishingPoints(in);
    ASSERT_EQ(again.clusters.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(again.clusters[i].point, r.clusters[i].point);
}

// A stop asked for at any stage ends the search with nothing found.
TEST(VanishingPointSearch, StopsWhenTheProgressCallbackSaysSo)
{
    const synth::BoxRoomScene scene = synth::renderBoxRoom();
    VanishingPointSearchInput in;
    in.segments = synth::noisySegments(scene, 0.1, 2);
    in.seed = 3;
    for (int stopAt : {1, 30, 60, 80}) {
        SCOPED_TRACE(testing::Message() << "stop at " << stopAt << " %");
        int last = -1, calls = 0;
        const VanishingPointSearchResult r = searchVanishingPoints(in, [&](int p) {
            last = p;
            ++calls;
            return p < stopAt;
        });
        EXPECT_EQ(r.error, VanishingPointSearchError::Aborted);
        EXPECT_TRUE(r.clusters.empty());
        EXPECT_GE(last, stopAt);
        EXPECT_LT(last, 100);
    }
}

TEST(VanishingPointSearch, RefusedInputs)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<cv::Vec4f> three{{0, 0, 100, 0}, {0, 10, 100, 12}, {0, 0, 0, 100}};
    struct Case {
        const char* what;
        std::vector<cv::Vec4f> segments;
        int count;
        VanishingPointSearchError error;
    };
    const Case cases[] = {
        {"no segment", {}, 3, VanishingPointSearchError::TooFewSegments},
        {"two segments", {{0, 0, 100, 0}, {0, 10, 100, 12}}, 3, VanishingPointSearchError::TooFewSegments},
        {"count 0", three, 0, VanishingPointSearchError::BadCount},
        {"a coordinate not a number",
         {{0, 0, 100, 0}, {0, nan, 100, 12}, {0, 0, 0, 100}},
         3,
         VanishingPointSearchError::InvalidSegment},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        VanishingPointSearchInput in;
        in.segments = c.segments;
        in.count = c.count;
        in.seed = 1;
        const VanishingPointSearchResult r = searchVanishingPoints(in);
        EXPECT_EQ(r.error, c.error);
        EXPECT_FALSE(r.message.empty());
        EXPECT_TRUE(r.clusters.empty());
    }
}
