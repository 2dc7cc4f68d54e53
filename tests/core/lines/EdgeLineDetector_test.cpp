#include "core/lines/EdgeLineDetector.h"

#include "box_room.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <cmath>

namespace {

const double kFitError = 1.0, kGap = 6.0, kLineError = 1.3;

FittedLine record(cv::Point2d s, cv::Point2d e, int chain, int first, int count)
{
    FittedLine l;
    l.start = s;
    l.end = e;
    l.chain = chain;
    l.firstPixel = first;
    l.pixelCount = count;
    EdgeLineDetector::refreshLineEquation(l);
    return l;
}

void split(const std::vector<cv::Point>& chain, int L, std::vector<FittedLine>& out)
{
    std::vector<double> x, y;
    for (const auto& p : chain) {
        x.push_back(p.x);
        y.push_back(p.y);
    }
    EdgeLineDetector::splitChain(x.data(), y.data(), (int)chain.size(), 0, L, kFitError, out);
}

} // namespace

TEST(EdgeLineDetector, MinimumLineLength)
{
    // (requested, width, height, expected)
    const int cases[][4] = {{0, 640, 480, 9},         {5, 640, 480, 9},       {8, 640, 480, 9},
                            {9, 640, 480, 9},         {30, 640, 480, 30},     {-1, 1000, 1000, 9},
                            {-1, 100000, 100000, 11}, {-1, 31623, 31623, 10}, {-1, 4000, 3000, 9}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c[0] << " " << c[1] << "x" << c[2]);
        EXPECT_EQ(EdgeLineDetector::minimumLineLength(c[0], c[1], c[2]), c[3]);
    }
}

TEST(EdgeLineDetector, LeastSquaresLineAndDistance)
{
    // y = 2 + 0.5 x, flat: not inverted
    std::vector<double> x, y;
    for (int i = 0; i < 12; ++i) {
        x.push_back(i);
        y.push_back(2 + 0.5 * i);
    }
    auto f = EdgeLineDetector::leastSquaresLine(x.data(), y.data(), 12);
    EXPECT_EQ(f.inverted, 0);
    EXPECT_NEAR(f.a, 2, 1e-12);
    EXPECT_NEAR(f.b, 0.5, 1e-12);
    EXPECT_NEAR(f.error, 0, 1e-12);
    // steep: x = 1 + 0.2 y, inverted; swapped arrays
    f = EdgeLineDetector::leastSquaresLine(y.data(), x.data(), 12);
    EXPECT_EQ(f.inverted, 1);
    // a horizontal row of pixels with one off by one: b = 0 gives the mean absolute residual
    std::vector<double> hx{0, 1, 2, 3}, hy{5, 5, 5, 5};
    f = EdgeLineDetector::leastSquaresLine(hx.data(), hy.data(), 4);
    EXPECT_EQ(f.b, 0);
    EXPECT_NEAR(f.a, 5, 1e-12);

    // distances and feet: to y = 1 + x from (0, 3) is sqrt(2), foot (1, 2)
    cv::Point2d foot;
    EXPECT_NEAR(EdgeLineDetector::distanceToLine(0, 3, 1, 1, 0, &foot), std::sqrt(2.0), 1e-12);
    EXPECT_NEAR(cv::norm(foot - cv::Point2d(1, 2)), 0, 1e-12);
    // to x = 4 (inverted, b = 0) from (1, 7): 3, foot (4, 7)
    EXPECT_NEAR(EdgeLineDetector::distanceToLine(1, 7, 4, 0, 1, &foot), 3, 1e-12);
    EXPECT_NEAR(cv::norm(foot - cv::Point2d(4, 7)), 0, 1e-12);
}

TEST(EdgeLineDetector, ChainOfExactlyTheMinimumLengthGivesNoSegment)
{
    std::vector<cv::Point> chain;
    for (int i = 0; i < 9; ++i)
        chain.emplace_back(10 + i, 5);
    std::vector<FittedLine> out;
    split(chain, 9, out);
    EXPECT_TRUE(out.empty());
    chain.emplace_back(19, 5);
    split(chain, 9, out);
    EXPECT_EQ(out.size(), 1u);
}

TEST(EdgeLineDetector, LongStraightChainGivesOneSegmentBetweenProjectedEnds)
{
    // a digital line of slope 0.2 over 40 pixels
    std::vector<cv::Point> chain;
    for (int i = 0; i < 40; ++i)
        chain.emplace_back(3 + i, 7 + (int)std::lround(0.2 * i));
    std::vector<FittedLine> out;
    split(chain, 9, out);
    ASSERT_EQ(out.size(), 1u);
    const FittedLine& l = out[0];
    EXPECT_EQ(l.firstPixel, 0);
    EXPECT_EQ(l.pixelCount, 40);
    std::vector<double> x, y;
    for (const auto& p : chain) {
        x.push_back(p.x);
        y.push_back(p.y);
    }
    double a, b;
    EdgeLineDetector::refitLine(x.data(), y.data(), 40, 0, a, b);
    EXPECT_NEAR(l.a, a, 1e-12);
    EXPECT_NEAR(l.b, b, 1e-12);
    cv::Point2d s, e;
    EdgeLineDetector::distanceToLine(chain.front().x, chain.front().y, a, b, 0, &s);
    EdgeLineDetector::distanceToLine(chain.back().x, chain.back().y, a, b, 0, &e);
    EXPECT_NEAR(cv::norm(l.start - s), 0, 1e-9);
    EXPECT_NEAR(cv::norm(l.end - e), 0, 1e-9);
    EXPECT_NEAR(b, 0.2, 0.01);
}

TEST(EdgeLineDetector, RightAngleChainGivesTwoSegmentsThatStaySeparate)
{
    std::vector<cv::Point> chain;
    for (int i = 0; i < 25; ++i)
        chain.emplace_back(10 + i, 10);
    for (int i = 1; i < 25; ++i)
        chain.emplace_back(34, 10 + i);
    std::vector<FittedLine> out;
    split(chain, 9, out);
    ASSERT_EQ(out.size(), 2u);
    EdgeLineDetector::mergeCollinearLines(out, kGap, kLineError);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].inverted, 0);
    EXPECT_EQ(out[1].inverted, 1);
}

TEST(EdgeLineDetector, CollinearPiecesJoinAcrossSmallGapsOnly)
{
    struct Case {
        const char* what;
        double gap;
        double offset; // of the second piece across the line
        bool joined;
    };
    const Case cases[] = {{"5 px apart", 5, 0, true},
                          {"7 px apart", 7, 0, false},
                          {"5 px apart, 3 px aside", 5, 3, false},
                          {"5 px apart, 1 px aside", 5, 1, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FittedLine p = record({0, 10}, {40, 10}, 0, 0, 41);
        const FittedLine q =
            record({40 + c.gap, 10 + c.offset}, {80 + c.gap, 10 + c.offset}, 0, 41 + (int)c.gap, 41);
        const FittedLine before = p;
        ASSERT_EQ(EdgeLineDetector::tryMergeLines(p, q, kGap, kLineError), c.joined);
        if (c.joined) {
            EXPECT_EQ(p.start, cv::Point2d(0, 10));
            EXPECT_EQ(p.end, q.end);
            EXPECT_EQ(p.pixelCount, 82);
        } else {
            EXPECT_EQ(p.start, before.start);
            EXPECT_EQ(p.end, before.end);
            EXPECT_EQ(p.pixelCount, 41);
        }
        // through the list: records of one chain join, of different chains never
        std::vector<FittedLine> list{record({0, 10}, {40, 10}, 0, 0, 41), q};
        EdgeLineDetector::mergeCollinearLines(list, kGap, kLineError);
        EXPECT_EQ(list.size(), c.joined ? 1u : 2u);
        std::vector<FittedLine> twoChains{record({0, 10}, {40, 10}, 0, 0, 41), q};
        twoChains[1].chain = 1;
        EdgeLineDetector::mergeCollinearLines(twoChains, kGap, kLineError);
        EXPECT_EQ(twoChains.size(), 2u);
    }
}

TEST(EdgeLineDetector, ValidationKeepsLongRecordsAndAlignedShortOnes)
{
    // left half 60, right half 180, anti-aliased vertical edge at x = 50.3; elsewhere flat
    const cv::Mat img =
        synth::renderGreyFunction({100, 100}, [](double x, double) { return x < 50.3 ? 60.0 : 180.0; });
    // vertical chains: one on the edge, one in the flat part
    std::vector<cv::Point> data;
    std::vector<int> starts{0};
    for (int y = 5; y < 95; ++y)
        data.emplace_back(50, y);
    starts.push_back((int)data.size());
    for (int y = 5; y < 95; ++y)
        data.emplace_back(20, y);
    starts.push_back((int)data.size());
    const EdgeLineDetector::ChainView view{data.data(), starts.data()};
    struct Case {
        const char* what;
        int x, chain, count;
        bool valid;
    };
    const Case cases[] = {
        {"on the edge, 20 pixels", 50, 0, 20, true},   {"on the edge, 50 pixels", 50, 0, 50, true},
        {"flat, 20 pixels", 20, 1, 20, false},         {"flat, 50 pixels", 20, 1, 50, false},
        {"flat, 80 pixels: no test", 20, 1, 80, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<FittedLine> records{
            record({(double)c.x, 5}, {(double)c.x, 5.0 + c.count - 1}, c.chain, 0, c.count)};
        EdgeLineDetector::validateAllLines(img, records, view);
        EXPECT_EQ(records.size(), c.valid ? 1u : 0u);
    }
}

TEST(EdgeLineDetector, StepEdgeGivesOneSegmentAlongIt)
{
    const cv::Size size(120, 60);
    const cv::Mat img =
        synth::renderGreyFunction(size, [](double x, double y) { return y < 27.6 + 0.1 * x ? 50.0 : 170.0; });
    const EdgeLineDetector d(img, kFitError, 0, kGap, kLineError);
    EXPECT_EQ(d.minLength(), 9);
    const auto lines = d.lines();
    ASSERT_EQ(lines.size(), 1u);
    for (const cv::Point2d& p : {lines[0].first, lines[0].second})
        EXPECT_NEAR(p.y, 27.6 + 0.1 * p.x, 1.0) << p;
    EXPECT_GT(std::abs(lines[0].second.x - lines[0].first.x), size.width - 8);
}

TEST(EdgeLineDetector, UniformImageHasNoSegments)
{
    EXPECT_TRUE(EdgeLineDetector(cv::Mat(50, 60, CV_8UC1, cv::Scalar(90)), kFitError, -1, kGap, kLineError)
                    .lines()
                    .empty());
}

TEST(EdgeLineDetector, ArbitraryImagesGiveSegmentsInsideTheImage)
{
    // noise, a one-pixel checkerboard and random rectangles, at small and odd sizes
    cv::RNG rng(11);
    const cv::Size sizes[] = {{5, 5}, {6, 17}, {33, 7}, {64, 48}, {257, 129}};
    for (const cv::Size& size : sizes)
        for (int pattern = 0; pattern < 3; ++pattern) {
            SCOPED_TRACE(testing::Message() << size << " pattern " << pattern);
            cv::Mat img(size, CV_8UC1);
            if (pattern == 0) {
                rng.fill(img, cv::RNG::UNIFORM, 0, 256);
            } else if (pattern == 1) {
                for (int r = 0; r < size.height; ++r)
                    for (int c = 0; c < size.width; ++c)
                        img.at<uchar>(r, c) = ((r + c) % 2) ? 255 : 0;
            } else {
                img.setTo(100);
                for (int k = 0; k < 30; ++k) {
                    const int ay = rng.uniform(0, size.height), ax = rng.uniform(0, size.width);
                    const int by = rng.uniform(0, size.height), bx = rng.uniform(0, size.width);
                    const cv::Point a(ax, ay), b(bx, by);
                    cv::rectangle(img, a, b, cv::Scalar(rng.uniform(0, 256)), cv::FILLED);
                }
                cv::GaussianBlur(img, img, {3, 3}, 0.7);
            }
            for (int minLength : {-1, 0, 9, 40}) {
                const auto lines = EdgeLineDetector(img, kFitError, minLength, kGap, kLineError).lines();
                for (const auto& l : lines)
                    for (const cv::Point2d& p : {l.first, l.second}) {
                        ASSERT_TRUE(std::isfinite(p.x) && std::isfinite(p.y));
                        EXPECT_GE(p.x, -1.0);
                        EXPECT_GE(p.y, -1.0);
                        EXPECT_LE(p.x, size.width);
                        EXPECT_LE(p.y, size.height);
                    }
            }
        }
}
