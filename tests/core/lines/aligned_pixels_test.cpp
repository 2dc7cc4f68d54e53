#include "core/lines/aligned_pixels.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <set>

TEST(AlignedPixels, LevelLineAngleIsAnOrientationFromTheTable)
{
    EXPECT_DOUBLE_EQ(levelLineAngle(0, 0), 0.0);
    EXPECT_DOUBLE_EQ(levelLineAngle(1, 1), std::atan(1.0));
    EXPECT_DOUBLE_EQ(levelLineAngle(-1, -1), std::atan(1.0));
    cv::RNG rng(3);
    for (int i = 0; i < 2000; ++i) {
        const double y = rng.uniform(-100.0, 100.0), x = rng.uniform(-100.0, 100.0);
        double ref = std::atan2(y, x);
        if (ref < 0)
            ref += CV_PI;
        const double a = levelLineAngle(y, x);
        ASSERT_GE(a, 0.0);
        ASSERT_LE(a, CV_PI);
        // table resolution: one entry of 1/1024 in the tangent
        double d = std::abs(a - ref);
        d = std::min(d, CV_PI - d);
        ASSERT_LT(d, 1.0 / 1024 + 1e-12) << y << " " << x;
        ASSERT_DOUBLE_EQ(levelLineAngle(-y, -x), a);
    }
}

TEST(AlignedPixels, SupportRectangleOfAHorizontalSegment)
{
    std::vector<cv::Point> px;
    supportRectanglePixels({10, 20}, {20, 20}, px);
    std::vector<cv::Point> expected;
    for (int x = 10; x <= 20; ++x)
        for (int y = 19; y <= 21; ++y)
            expected.emplace_back(x, y);
    EXPECT_EQ(px, expected);
}

TEST(AlignedPixels, SupportRectangleHoldsThePixelsWithinOneOfTheSegment)
{
    // every direction (all four corner rotations): exactly the pixels whose centres lie in the
    // rectangle of half-width 1 around the segment, except those on its boundary
    const cv::Point2d c(50.3, 40.7);
    for (int deg = 0; deg < 360; deg += 15) {
        SCOPED_TRACE(deg);
        const double a = (deg + 0.37) * CV_PI / 180;
        const cv::Point2d d(std::cos(a), std::sin(a));
        const cv::Point2d s = c - 12.0 * d, e = c + 12.0 * d;
        std::vector<cv::Point> px;
        supportRectanglePixels(s, e, px);
        const std::set<std::pair<int, int>> got = [&] {
            std::set<std::pair<int, int>> g;
            for (const auto& p : px)
                g.insert({p.x, p.y});
            return g;
        }();
        EXPECT_EQ(got.size(), px.size()) << "a pixel appears twice";
        for (int y = 20; y < 62; ++y)
            for (int x = 30; x < 72; ++x) {
                const cv::Point2d w = cv::Point2d(x, y) - s;
                const double along = w.dot(d), across = std::abs(w.x * d.y - w.y * d.x);
                const bool inside = along > 1e-6 && along < 24 - 1e-6 && across < 1 - 1e-6;
                const bool outside = along < -1e-6 || along > 24 + 1e-6 || across > 1 + 1e-6;
                if (inside) {
                    EXPECT_TRUE(got.count({x, y})) << x << "," << y << " missing";
                }
                if (outside) {
                    EXPECT_FALSE(got.count({x, y})) << x << "," << y << " outside";
                }
            }
    }
}

TEST(AlignedPixels, CountsPixelsAlignedWithTheLine)
{
    // an anti-aliased step edge at 30 degrees through the image centre
    const int W = 80, H = 60, ss = 8;
    const double theta = 30 * CV_PI / 180;
    const cv::Point2d c(40.2, 30.4), n(-std::sin(theta), std::cos(theta));
    cv::Mat img(H, W, CV_8U);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            int bright = 0;
            for (int j = 0; j < ss; ++j)
                for (int i = 0; i < ss; ++i) {
                    const cv::Point2d p(x + (i + 0.5) / ss - 0.5, y + (j + 0.5) / ss - 0.5);
                    bright += (p - c).dot(n) > 0;
                }
            img.at<uchar>(y, x) = cv::saturate_cast<uchar>(60 + 120.0 * bright / (ss * ss));
        }
    std::vector<cv::Point> onEdge;
    for (int x = 20; x <= 60; ++x)
        onEdge.emplace_back(x, (int)std::lround(c.y + (x - c.x) * std::tan(theta)));
    const AlignedCount along = countAlignedPixels(img, theta, onEdge.data(), onEdge.size());
    EXPECT_EQ(along.count, (int)onEdge.size());
    EXPECT_GE(along.aligned, along.count - 2);
    const AlignedCount across = countAlignedPixels(img, theta + CV_PI / 2, onEdge.data(), onEdge.size());
    EXPECT_LE(across.aligned, 2);
    // border pixels are not counted
    const std::vector<cv::Point> border{{0, 10}, {W - 1, 10}, {10, 0}, {10, H - 1}, {10, 10}};
    EXPECT_EQ(countAlignedPixels(img, theta, border.data(), border.size()).count, 1);
}
