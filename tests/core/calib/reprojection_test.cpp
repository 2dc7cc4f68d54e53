// Reprojection errors of a view and the board's first square as axes.

#include "core/calib/reprojection.h"

#include "synthetic.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

TEST(ReprojectView, ErrorsRangeAndOutliersOfMovedCorners)
{
    const synth::Camera cam = synth::makeCamera(cv::Size(800, 600), 900, {-0.1, 0.03, 0, 0, 0});
    const cv::Size pattern(9, 6);
    const synth::View view = synth::boardViews(cam, pattern, 25, 1, 4)[0];
    std::vector<cv::Point2f> measured = synth::projectBoard(cam, pattern, 25, view);
    measured[5] += cv::Point2f(3, 4);     // 5 px
    measured[20] += cv::Point2f(0, 1.5f); // 1.5 px
    const std::vector<cv::Point3f> object = synth::boardPoints(pattern, 25);
    const cv::Mat rvec(view.rvec), tvec(view.tvec);

    for (const double threshold : {-1.0, 1.0, 2.0, 5.0}) {
        SCOPED_TRACE(threshold);
        const ViewReprojection r =
            reprojectView(object, measured, rvec, tvec, cv::Mat(cam.K), cam.kc, threshold);
        ASSERT_EQ(r.errors.size(), measured.size());
        EXPECT_NEAR(r.errors[5], 5.0, 1e-3);
        EXPECT_NEAR(r.errors[20], 1.5, 1e-3);
        EXPECT_LT(r.smallest, 1e-3);
        EXPECT_NEAR(r.largest, 5.0, 1e-3);
        EXPECT_NEAR(r.rms, std::sqrt((25.0 + 2.25) / 54), 1e-3);
        std::vector<size_t> expected;
        if (threshold >= 0 && threshold < 1.5)
            expected.push_back(5), expected.push_back(20);
        else if (threshold >= 0 && threshold < 5.0)
            expected.push_back(5);
        EXPECT_EQ(r.outliers, expected) << "strictly above the threshold";
    }
    EXPECT_THROW(reprojectView(object, {}, rvec, tvec, cv::Mat(cam.K), cam.kc), cv::Exception);
    const ViewReprojection none = reprojectView({}, {}, rvec, tvec, cv::Mat(cam.K), cam.kc);
    EXPECT_EQ(none.smallest, 1e100);
    EXPECT_EQ(none.largest, 0);
}

// A board facing the camera straight on: the axes sit half a square outside
// the first square, along the board's x and y.
TEST(ProjectBoardAxes, HalfASquareOutsideTheFirstSquare)
{
    const cv::Mat K = (cv::Mat_<double>(3, 3) << 1000, 0, 400, 0, 1000, 300, 0, 0, 1);
    const cv::Mat rvec = cv::Mat::zeros(3, 1, CV_64F), tvec = (cv::Mat_<double>(3, 1) << 0, 0, 1000);
    // 1 mm at 1000 mm is 1 px: a 20 x 30 mm square spans 20 x 30 px from (400, 300).
    const BoardAxes axes = projectBoardAxes(rvec, tvec, K, cv::Mat(), 20, 30);
    EXPECT_NEAR(axes.origin.x, 390, 1e-3);
    EXPECT_NEAR(axes.origin.y, 285, 1e-3);
    EXPECT_NEAR(axes.xEnd.x, 420, 1e-3);
    EXPECT_NEAR(axes.xEnd.y, 285, 1e-3);
    EXPECT_NEAR(axes.yEnd.x, 390, 1e-3);
    EXPECT_NEAR(axes.yEnd.y, 330, 1e-3);
    EXPECT_NEAR(axes.size, 15, 1e-3);
}

} // namespace
