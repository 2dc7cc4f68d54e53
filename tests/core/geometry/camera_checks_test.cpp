// The one check of camera matrices and distortion coefficients.

#include "core/geometry/camera_checks.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

TEST(CameraChecks, CameraMatrices)
{
    const cv::Mat good = (cv::Mat_<double>(3, 3) << 800, 0, 320, 0, 810, 240, 0, 0, 1);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        const char* what;
        cv::Mat K;
        bool valid;
    } cases[] = {
        {"doubles", good, true},
        {"floats", cv::Mat_<float>(good), true},
        {"empty", cv::Mat(), false},
        {"3x4", cv::Mat::eye(3, 4, CV_64F), false},
        {"two channels", cv::Mat(3, 3, CV_64FC2, cv::Scalar(1, 1)), false},
        {"fx zero", (cv::Mat_<double>(3, 3) << 0, 0, 320, 0, 810, 240, 0, 0, 1), false},
        {"fy negative", (cv::Mat_<double>(3, 3) << 800, 0, 320, 0, -1, 240, 0, 0, 1), false},
        {"not finite", (cv::Mat_<double>(3, 3) << 800, 0, nan, 0, 810, 240, 0, 0, 1), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(isCameraMatrix(c.K), c.valid);
        const cv::Mat checked = checkedCameraMatrix(c.K);
        EXPECT_EQ(checked.empty(), !c.valid);
        if (c.valid) {
            EXPECT_EQ(checked.type(), CV_64F);
            EXPECT_LT(cv::norm(checked, good, cv::NORM_INF), 1e-4);
        }
    }
}

TEST(CameraChecks, DistortionCoefficients)
{
    for (int n = 0; n <= 16; ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(isAllowedDistortionCount(n), n == 4 || n == 5 || n == 8 || n == 12 || n == 14);
    }
    const cv::Mat row = (cv::Mat_<double>(1, 5) << -0.1, 0.05, 0.001, -0.002, 0.01);
    const struct {
        const char* what;
        cv::Mat kc;
        bool valid;
    } cases[] = {
        {"row", row, true},
        {"column of floats", cv::Mat_<float>(row.t()), true},
        {"empty", cv::Mat(), false},
        {"2x5", cv::Mat::zeros(2, 5, CV_64F), false},
        {"two channels", cv::Mat(1, 5, CV_64FC2, cv::Scalar(0, 0)), false},
        {"infinite", (cv::Mat_<double>(1, 4) << 0, std::numeric_limits<double>::infinity(), 0, 0), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const cv::Mat checked = checkedDistortionRow(c.kc);
        ASSERT_EQ(checked.empty(), !c.valid);
        if (c.valid) {
            EXPECT_EQ(checked.type(), CV_64F);
            EXPECT_EQ(checked.size(), cv::Size(5, 1));
            EXPECT_LT(cv::norm(checked, row, cv::NORM_INF), 1e-7);
        }
    }
    // A column that is not continuous in memory (one column of a wider matrix).
    cv::Mat wide = cv::Mat::zeros(5, 3, CV_64F);
    cv::Mat(row.t()).copyTo(wide.col(1));
    const cv::Mat fromColumn = checkedDistortionRow(wide.col(1));
    ASSERT_FALSE(fromColumn.empty());
    EXPECT_LT(cv::norm(fromColumn, row, cv::NORM_INF), 1e-12);
}

} // namespace
