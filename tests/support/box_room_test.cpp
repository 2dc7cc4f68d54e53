// The box room is the ground truth of the line detector, the vanishing
// points and the Manhattan pose: check that the image shows edges where the
// truth says, and that the truth is self-consistent.
#include "box_room.h"

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>

namespace {

double sampleGrey(const cv::Mat& img, cv::Point2d p)
{
    cv::Mat patch;
    cv::getRectSubPix(img, {1, 1}, cv::Point2f((float)p.x, (float)p.y), patch, CV_32F);
    return patch.at<float>(0, 0);
}

// Grey step across the middle of world edge e (from 2.5 px on either side), in the rendered image.
double stepAcross(const synth::BoxRoomScene& s, const synth::RoomEdge& e)
{
    const cv::Point3d m = 0.5 * (e.a + e.b);
    cv::Point3d dir = e.b - e.a;
    dir *= 1.0 / cv::norm(dir);
    const cv::Point2d pm = synth::projectToImage(s, m);
    const cv::Point2d pd = synth::projectToImage(s, m + 10.0 * dir) - pm;
    cv::Point2d nrm(-pd.y, pd.x);
    nrm *= 1.0 / cv::norm(nrm);
    return std::abs(sampleGrey(s.image, pm + 2.5 * nrm) - sampleGrey(s.image, pm - 2.5 * nrm));
}

} // namespace

TEST(BoxRoom, ImageShowsEdgesWhereTheTruthSaysAndNothingElse)
{
    struct Case {
        const char* what;
        synth::RoomView view;
        bool distorted;
    };
    const Case cases[] = {{"corner", synth::RoomView::Corner, false},
                          {"level", synth::RoomView::Level, false},
                          {"corner distorted", synth::RoomView::Corner, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        synth::BoxRoomOptions o;
        o.view = c.view;
        o.distorted = c.distorted;
        o.noiseSigma = 0;
        const synth::BoxRoomScene s = synth::renderBoxRoom(o);
        ASSERT_EQ(s.image.size(), o.size);
        ASSERT_EQ(s.image.type(), CV_8UC1);
        ASSERT_GT(s.segments.size(), 60u);
        ASSERT_EQ(s.segments.size(), s.segmentAxes.size());

        // the middle of every edge that is well inside the image shows a step of 30 grey levels or more
        int checked = 0;
        for (const auto& e : s.textureEdges) {
            const cv::Point2d pm = synth::projectToImage(s, 0.5 * (e.a + e.b));
            cv::Point2d ideal;
            if (!synth::projectIdeal(s.K, s.R, s.t, 0.5 * (e.a + e.b), ideal))
                continue;
            if (pm.x < 10 || pm.y < 10 || pm.x > o.size.width - 11 || pm.y > o.size.height - 11)
                continue;
            // far edges are tiny; skip those whose 10 mm step is below a pixel-width precision
            const double step = stepAcross(s, e);
            EXPECT_GE(step, 30.0) << "edge at " << pm;
            ++checked;
        }
        EXPECT_GT(checked, 30);

        // away from every true edge (3 px or more), the image is flat
        cv::Mat nearEdge = cv::Mat::zeros(o.size, CV_8U);
        if (!c.distorted) {
            for (const auto& v : s.segments)
                cv::line(nearEdge, cv::Point2f(v[0], v[1]), cv::Point2f(v[2], v[3]), 255, 7);
            cv::Mat gx, gy, mag;
            cv::Sobel(s.image, gx, CV_32F, 1, 0);
            cv::Sobel(s.image, gy, CV_32F, 0, 1);
            cv::magnitude(gx, gy, mag);
            double maxGrad = 0;
            cv::minMaxLoc(mag(cv::Rect(1, 1, o.size.width - 2, o.size.height - 2)), nullptr, &maxGrad,
                          nullptr, nullptr, ~nearEdge(cv::Rect(1, 1, o.size.width - 2, o.size.height - 2)));
            EXPECT_LT(maxGrad, 1.0);
        }
    }
}

TEST(BoxRoom, VanishingPointsLieOnTheTrueSegments)
{
    struct Case {
        const char* what;
        synth::RoomView view;
        double pitch;
        bool finiteZ;
    };
    const Case cases[] = {{"corner", synth::RoomView::Corner, 0.2, true},
                          {"level, slight pitch", synth::RoomView::Level, 0.2, true},
                          {"level, no pitch", synth::RoomView::Level, 0.0, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        synth::BoxRoomOptions o;
        o.view = c.view;
        o.levelPitchDeg = c.pitch;
        o.supersample = 1;
        const synth::BoxRoomScene s = synth::renderBoxRoom(o);
        EXPECT_TRUE(s.vanishingFinite[0]);
        EXPECT_TRUE(s.vanishingFinite[1]);
        EXPECT_EQ(s.vanishingFinite[2], c.finiteZ);
        if (c.view == synth::RoomView::Corner) {
            // all three well away from infinity: within a few focal lengths of the principal point
            for (int i = 0; i < 3; ++i)
                EXPECT_LT(cv::norm(s.vanishingPoints[(size_t)i] - cv::Point2d(s.K(0, 2), s.K(1, 2))),
                          4 * s.K(0, 0))
                    << s.vanishingPoints[(size_t)i];
        } else if (c.finiteZ) {
            EXPECT_GT(std::abs(s.vanishingPoints[2].y - s.K(1, 2)), 100 * s.K(1, 1));
        }
        // R is a rotation whose columns are the directions
        EXPECT_NEAR(cv::determinant(cv::Mat(s.R)), 1.0, 1e-12);
        // each segment's line passes through its axis's vanishing point (homogeneous incidence)
        for (size_t k = 0; k < s.segments.size(); ++k) {
            const cv::Vec4f& v = s.segments[k];
            cv::Vec3d l = cv::Vec3d(v[0], v[1], 1).cross(cv::Vec3d(v[2], v[3], 1));
            l *= 1.0 / std::hypot(l[0], l[1]);
            const cv::Vec3d& vp = s.vanishingHomogeneous[(size_t)s.segmentAxes[k]];
            // signed distance of the vanishing point times its scale: sine of the angle at infinity
            const double mid[2] = {(v[0] + v[2]) / 2.0, (v[1] + v[3]) / 2.0};
            const cv::Vec3d toVp(vp[0] - vp[2] * mid[0], vp[1] - vp[2] * mid[1], 0);
            const double sinAngle = std::abs(l[0] * toVp[0] + l[1] * toVp[1]) / cv::norm(toVp);
            EXPECT_LT(sinAngle, 1e-4) << "segment " << k;
        }
        // the world origin, a floor corner, and the points 1 m from it along each room edge are in view
        for (const cv::Point3d& p :
             {s.corners[0], cv::Point3d(1000, 0, 0), cv::Point3d(0, 1000, 0), cv::Point3d(0, 0, 1000)}) {
            const cv::Point2d q = synth::projectToImage(s, p);
            EXPECT_TRUE(q.inside(cv::Rect2d(20, 20, o.size.width - 40, o.size.height - 40)))
                << p << " at " << q;
        }
    }
}

TEST(BoxRoom, RecallMeasuresCoveredTrueLength)
{
    const std::vector<cv::Vec4f> truth{{10, 10, 110, 10}, {200, 50, 200, 150}};
    EXPECT_DOUBLE_EQ(synth::segmentRecall(truth, truth), 1.0);
    EXPECT_DOUBLE_EQ(synth::segmentRecall(truth, {}), 0.0);
    EXPECT_DOUBLE_EQ(synth::segmentRecall({}, truth), 0.0);
    // half of the first line, 1 px off and reversed: a quarter of the total length
    EXPECT_NEAR(synth::segmentRecall(truth, {{60, 11, 10, 11}}), 0.25, 0.01);
    // 2 px off, or 3 degrees off: not covered
    EXPECT_DOUBLE_EQ(synth::segmentRecall(truth, {{10, 12, 110, 12}}), 0.0);
    const double dy = 100 * std::tan(3 * CV_PI / 180);
    EXPECT_LT(synth::segmentRecall(truth, {{10, 10, 110, float(10 + dy)}}), 0.05);
}
