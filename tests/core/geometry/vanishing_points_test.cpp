// The vanishing point of a cluster: which way segments are drawn, segments
// without a direction, and segments too short for single precision.

#include "core/geometry/vanishing_points.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <random>
#include <vector>

namespace {

const cv::Matx33d kCamera(700, 0, 433.5, 0, 700, 299.5, 0, 0, 1); // building.jpg's size, fx = fy = 700

// Angle in degrees between the rays of two image points seen by kCamera.
double rayAngleDeg(const cv::Point2d& a, const cv::Point2d& b)
{
    const cv::Vec3d ra = kCamera.inv() * cv::Vec3d(a.x, a.y, 1), rb = kCamera.inv() * cv::Vec3d(b.x, b.y, 1);
    const double c = std::abs(ra.dot(rb)) / (cv::norm(ra) * cv::norm(rb));
    return std::acos(std::min(1.0, c)) * 180.0 / CV_PI;
}

// n segments towards vp from random places, computed in double, every other
// one drawn away from it.
std::vector<cv::Vec4f> alternatingSegmentsTowards(const cv::Point2d& vp, int n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> place(0, 800), length(20, 200);
    std::vector<cv::Vec4f> segments;
    for (int i = 0; i < n; ++i) {
        const double y = place(rng), x = place(rng);
        const cv::Point2d p(x, y);
        const cv::Point2d q = p + length(rng) * (vp - p) / cv::norm(vp - p);
        if (i % 2)
            segments.emplace_back(float(q.x), float(q.y), float(p.x), float(p.y));
        else
            segments.emplace_back(float(p.x), float(p.y), float(q.x), float(q.y));
    }
    return segments;
}

cv::Vec4f reversed(const cv::Vec4f& s)
{
    return {s[2], s[3], s[0], s[1]};
}

// Intersection of the lines of two segments, in double.
cv::Point2d intersection(const cv::Vec4f& a, const cv::Vec4f& b)
{
    const cv::Vec3d la = cv::Vec3d(a[0], a[1], 1).cross(cv::Vec3d(a[2], a[3], 1));
    const cv::Vec3d lb = cv::Vec3d(b[0], b[1], 1).cross(cv::Vec3d(b[2], b[3], 1));
    const cv::Vec3d v = la.cross(lb);
    return {v[0] / v[2], v[1] / v[2]};
}

} // namespace

// Exact segments towards one vanishing point give that point whichever way
// each is drawn; the line fit once missed it by degrees when the segments
// were drawn both ways.
TEST(VanishingPointFitLine, SegmentsDrawnBothWaysGiveTheirPoint)
{
    struct Case {
        const char* what;
        std::vector<cv::Vec4f> segments;
        cv::Point2d vp;
    };
    std::vector<Case> cases = {
        {"six segments found by a search, three reversed",
         {{326.118683f, 1.68442607f, 387.989471f, 131.975235f},
          {97.8694f, 223.238708f, 4.34354258f, 51.6053696f},
          {11.7354774f, 76.3256836f, 57.7817459f, 160.635529f},
          {723.225098f, 734.197388f, 657.766724f, 592.902466f},
          {446.109344f, 398.005096f, 478.122803f, 463.373169f},
          {796.412476f, 176.245193f, 757.749634f, 78.1859436f}},
         {2691.84, 4983.54}},
    };
    for (unsigned seed = 1; seed <= 20; ++seed) {
        const cv::Point2d vp(-4000.0 + 400.0 * seed, seed % 2 ? 4500 : -3500);
        cases.push_back({"random", alternatingSegmentsTowards(vp, 2 + int(seed % 5), seed), vp});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.what << ", vanishing point " << c.vp);
        float rms = -1;
        const cv::Point2f vp = vanishingPointFitLine(c.segments, rms, cv::DIST_L2);
        EXPECT_LT(rayAngleDeg(vp, c.vp), 0.02);
        // the same segments all drawn one way give the same point
        std::vector<cv::Vec4f> oneWay = c.segments;
        for (std::size_t i = 1; i < oneWay.size(); i += 2)
            oneWay[i] = reversed(oneWay[i]);
        float rmsOneWay = -1;
        const cv::Point2f vpOneWay = vanishingPointFitLine(oneWay, rmsOneWay, cv::DIST_L2);
        EXPECT_LT(rayAngleDeg(vp, vpOneWay), 1e-5);
        EXPECT_NEAR(rms, rmsOneWay, 1e-6 + 1e-6 * rms);
    }
}

TEST(OrientSegmentsConsistently, ResultDoesNotDependOnTheInputDirections)
{
    const std::vector<cv::Vec4f> segments = alternatingSegmentsTowards({1500, -800}, 7, 4);
    const std::vector<cv::Vec4f> oriented = orientSegmentsConsistently(segments);
    ASSERT_EQ(oriented.size(), segments.size());
    std::mt19937 rng(9);
    std::bernoulli_distribution flip(0.5);
    for (int trial = 0; trial < 10; ++trial) {
        std::vector<cv::Vec4f> mixed = segments;
        for (auto& s : mixed)
            if (flip(rng))
                s = reversed(s);
        EXPECT_EQ(orientSegmentsConsistently(mixed), oriented);
    }
    for (std::size_t i = 0; i < segments.size(); ++i)
        EXPECT_TRUE(oriented[i] == segments[i] || oriented[i] == reversed(segments[i]));
}

// Segments without a direction are left out before the outlier step, which
// once kept two zero-length segments and dropped the real ones; a very short
// segment keeps its direction (it is not rounded away in single precision).
TEST(ClusterVanishingPoint, ShortAndZeroLengthSegments)
{
    const cv::Vec4f a(243.063599f, -207.494507f, 776.649292f, 10.1270752f);
    const cv::Vec4f b(-776.638672f, -545.33252f, -858.88269f, -734.960083f);
    const cv::Vec4f dotA(-64.2362671f, 906.62439f, -64.2362671f, 906.62439f);
    const cv::Vec4f dotB(228.241943f, 610.778076f, 228.241943f, 610.778076f);
    const cv::Vec4f tinyAtOrigin(0, 0, 1e-7f, 1e-7f); // along y = x
    const cv::Vec4f diagonal(100, 0, 200, 50);        // meets y = x at (-100, -100)
    struct Case {
        const char* what;
        std::vector<cv::Vec4f> cluster;
        cv::Point2d vp;
    };
    const Case cases[] = {
        {"two segments and two zero-length ones", {a, dotA, dotB, b}, intersection(a, b)},
        {"a segment of 1e-7 px and a long one", {diagonal, tinyAtOrigin}, {-100, -100}},
        {"two segments of 1e-7 px far apart",
         {tinyAtOrigin, {500, 0, 500 + 6.103515625e-5f, -6.103515625e-5f}},
         {250, 250}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        float rms = -1;
        cv::Point2f vp;
        ASSERT_NO_THROW(vp = clusterVanishingPoint(c.cluster, rms));
        EXPECT_LT(cv::norm(cv::Point2d(vp) - c.vp), 1e-3 * std::max(1.0, cv::norm(c.vp)));
        double sum = 0;
        for (const auto& s : c.cluster)
            sum += std::pow(pointLineDistance(vp, s), 2);
        EXPECT_NEAR(rms, std::sqrt(sum / double(c.cluster.size())), 1e-3 * std::max(1.f, rms));
    }
    // fewer than two segments with a direction: the documented refusal
    for (const auto& cluster : {std::vector<cv::Vec4f>{a, dotA, dotB}, std::vector<cv::Vec4f>{dotA}}) {
        float rms = -1;
        try {
            clusterVanishingPoint(cluster, rms);
            ADD_FAILURE() << "no error";
        } catch (const cv::Exception& e) {
            EXPECT_EQ(e.code, cv::Error::StsBadSize);
        }
        EXPECT_EQ(rms, -1);
    }
}

// Segments on one line: every point of the line is their vanishing point;
// the line fit once refused them. Both fits give a finite point on the line.
TEST(VanishingPoint, SegmentsOnOneLineGiveAPointOfIt)
{
    const std::vector<std::vector<cv::Vec4f>> cases = {
        {{0, 0, 10, 10}, {20, 20, 35, 35}, {60, 60, 50, 50}},
        {{100, 7, 300, 7}, {400, 7, 350, 7}},
        {{5, -40, 5, 900}, {5, 1000, 5, 1200}},
    };
    for (const auto& segments : cases) {
        SCOPED_TRACE(testing::Message() << "first segment " << segments.front());
        for (bool weighted : {false, true}) {
            SCOPED_TRACE(weighted ? "weighted" : "line fit");
            float rms = -1;
            cv::Point2f vp;
            ASSERT_NO_THROW(vp = weighted ? vanishingPointSvd(segments, rms)
                                          : vanishingPointFitLine(segments, rms, cv::DIST_L2));
            ASSERT_TRUE(std::isfinite(vp.x) && std::isfinite(vp.y));
            for (const auto& s : segments)
                EXPECT_LT(pointLineDistance(vp, s), 1e-6 * std::max(1.0, cv::norm(cv::Point2d(vp))));
            EXPECT_LT(rms, 1e-6 * std::max(1.0, cv::norm(cv::Point2d(vp))));
        }
    }
}
