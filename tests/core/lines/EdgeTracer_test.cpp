#include "core/lines/EdgeTracer.h"

#include "box_room.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

EdgeTracer traceWithDefaults(const cv::Mat& img, int minPathLength = 10)
{
    return EdgeTracer(img, SOBEL_OPERATOR, 36, 8, 1, minPathLength, 1.0, true);
}

// dark above y = edgeY, bright below (anti-aliased)
cv::Mat horizontalStep(cv::Size size, double edgeY)
{
    return synth::renderGreyFunction(size, [=](double, double y) { return y < edgeY ? 60.0 : 180.0; });
}

bool eightConnected(const std::vector<cv::Point>& c)
{
    for (size_t i = 1; i < c.size(); ++i) {
        const cv::Point d = c[i] - c[i - 1];
        if (std::abs(d.x) > 1 || std::abs(d.y) > 1 || (d.x == 0 && d.y == 0))
            return false;
    }
    return true;
}

} // namespace

TEST(EdgeTracer, UniformImageHasNoAnchorsAndNoChains)
{
    const cv::Mat img(40, 50, CV_8UC1, cv::Scalar(128));
    const EdgeTracer t = traceWithDefaults(img);
    EXPECT_TRUE(t.anchorPoints().empty());
    EXPECT_EQ(t.chainCount(), 0);
    EXPECT_EQ(cv::countNonZero(t.edgeImage()), 0);
}

TEST(EdgeTracer, TinyImagesAndBadArguments)
{
    EXPECT_EQ(traceWithDefaults(horizontalStep({4, 30}, 14.7)).chainCount(), 0);
    EXPECT_EQ(traceWithDefaults(cv::Mat()).chainCount(), 0);
    const cv::Mat img = horizontalStep({40, 30}, 14.7);
    EXPECT_THROW(EdgeTracer(img, SOBEL_OPERATOR, 36, 8, 0, 10, 1.0, true), cv::Exception);
    EXPECT_THROW(EdgeTracer(img, 100, 36, 8, 1, 10, 1.0, true), cv::Exception);
    cv::Mat colour;
    cv::merge(std::vector<cv::Mat>{img, img, img}, colour);
    EXPECT_THROW(traceWithDefaults(colour), cv::Exception);
}

TEST(EdgeTracer, PixelAlignedStepGivesNoAnchors)
{
    // the gradient of a sharp step is equal on both rows beside it: no pixel peaks across the edge
    cv::Mat img(30, 40, CV_8UC1, cv::Scalar(60));
    img.rowRange(15, 30).setTo(180);
    const EdgeTracer t = traceWithDefaults(img);
    EXPECT_TRUE(t.anchorPoints().empty());
    EXPECT_EQ(t.chainCount(), 0);
}

TEST(EdgeTracer, StepEdgeAcrossTheImageIsOneChainFromRightToLeft)
{
    const cv::Size size(64, 40);
    const double edgeY = 19.8;
    for (int op : {PREWITT_OPERATOR, SOBEL_OPERATOR, TWO_BY_TWO_OPERATOR}) {
        SCOPED_TRACE(op);
        const EdgeTracer t(horizontalStep(size, edgeY), op, 36, 8, 1, 10, 1.0, true);
        // many anchors along the edge, each later one already on the traced edge and skipped
        EXPECT_GT(t.anchorPoints().size(), 20u);
        ASSERT_EQ(t.chainCount(), 1);
        const std::vector<cv::Point> c = t.chains()[0];
        EXPECT_TRUE(eightConnected(c));
        EXPECT_GE(c.front().x, size.width - 3);
        EXPECT_LE(c.back().x, 2);
        EXPECT_EQ((int)c.size(), c.front().x - c.back().x + 1);
        for (const auto& p : c)
            EXPECT_LE(std::abs(p.y - edgeY), 1.0) << p;
    }
}

TEST(EdgeTracer, ShortTraceLeavesNoChainAndFreesItsPixels)
{
    const cv::Mat img = horizontalStep({64, 40}, 19.8);
    // the edge has about 60 pixels: a minimum path of 61 or more drops it
    const EdgeTracer kept = traceWithDefaults(img, 55);
    ASSERT_EQ(kept.chainCount(), 1);
    const EdgeTracer dropped = traceWithDefaults(img, 70);
    EXPECT_EQ(dropped.chainCount(), 0);
    EXPECT_EQ(cv::countNonZero(dropped.edgeImage() == 255), 0);
    EXPECT_EQ(cv::countNonZero(kept.edgeImage() == 255), kept.chainLength(0));
}

TEST(EdgeTracer, NextPixelTieRules)
{
    // 5 x 5 maps, the trace at the centre (offset 12); gradient 50 on both diagonals ahead, 40 straight
    const int W = 5, centre = 12;
    struct Case {
        const char* what;
        int dir;
        int diagA, straight, diagC;
        int expected;
    };
    const Case cases[] = {
        {"left goes to the lower row", 1, 6, 11, 16, 16},
        {"right goes to the lower row", 2, 8, 13, 18, 18},
        {"up goes to the right column", 3, 6, 7, 8, 8},
        {"down goes to the right column", 4, 16, 17, 18, 18},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        unsigned char edge[25] = {};
        short grad[25] = {};
        grad[c.diagA] = 50;
        grad[c.diagC] = 50;
        grad[c.straight] = 40;
        EXPECT_EQ(EdgeTracer::nextTracePixel(edge, grad, W, centre, c.dir), c.expected);
        // a straight pixel as strong as the diagonals wins
        grad[c.straight] = 50;
        EXPECT_EQ(EdgeTracer::nextTracePixel(edge, grad, W, centre, c.dir), c.straight);
        // a stronger diagonal wins
        grad[c.straight] = 40;
        grad[c.diagA] = 51;
        EXPECT_EQ(EdgeTracer::nextTracePixel(edge, grad, W, centre, c.dir), c.diagA);
        // an edge pixel ahead wins over any gradient
        edge[c.diagC] = 255;
        EXPECT_EQ(EdgeTracer::nextTracePixel(edge, grad, W, centre, c.dir), c.diagC);
        edge[c.straight] = 254;
        EXPECT_EQ(EdgeTracer::nextTracePixel(edge, grad, W, centre, c.dir), c.straight);
    }
    // both diagonals ahead are edge pixels: left takes the upper, right the lower, up the left, down the
    // right
    const int bothMarked[4][3] = {{1, 6, 16}, {2, 18, 8}, {3, 6, 8}, {4, 18, 16}};
    for (const auto& b : bothMarked) {
        SCOPED_TRACE(b[0]);
        unsigned char edge[25] = {};
        short grad[25] = {};
        edge[b[1]] = 254;
        edge[b[2]] = 254;
        EXPECT_EQ(EdgeTracer::nextTracePixel(edge, grad, W, centre, b[0]), b[1]);
    }
}

TEST(EdgeTracer, SideBranchBecomesAChainWhenLongEnough)
{
    // A strong horizontal edge (y = junction, x > 29.7) runs left into a vertical edge (x = 29.7)
    // that goes both up and down from the junction: the trace from the horizontal edge forks there.
    // The longer side stays on the main chain; the other becomes a chain of its own only with 10
    // pixels or more.
    const cv::Size size(60, 70);
    auto scene = [](double junction) {
        return [=](double x, double y) {
            if (x < 29.7)
                return 100.0;
            return y < junction ? 250.0 : 20.0;
        };
    };
    struct Case {
        const char* what;
        double junction;
        int chains;
    };
    const Case cases[] = {{"long branch below", 40.3, 2}, {"short branch below", 62.3, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const EdgeTracer t = traceWithDefaults(synth::renderGreyFunction(size, scene(c.junction)));
        const auto chains = t.chains();
        ASSERT_EQ((int)chains.size(), c.chains);
        // the main chain: from the right end along the horizontal edge, then up the vertical edge
        const auto& main = chains[0];
        EXPECT_TRUE(eightConnected(main));
        EXPECT_GE(main.front().x, size.width - 3);
        EXPECT_LE(std::abs(main.front().y - c.junction), 1.0);
        EXPECT_LE(main.back().y, 3);
        EXPECT_LE(std::abs(main.back().x - 29.7), 1.0);
        if (c.chains == 2) {
            // the branch below the junction, on the vertical edge (its first pixel at the corner)
            EXPECT_TRUE(eightConnected(chains[1]));
            EXPECT_GE((int)chains[1].size(), 10);
            for (const auto& p : chains[1]) {
                EXPECT_GT(p.y, c.junction);
                EXPECT_LE(std::abs(p.x - 29.7), 1.5) << p;
            }
        }
    }
}
