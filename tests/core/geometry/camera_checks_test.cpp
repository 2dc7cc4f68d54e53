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

// The bound of image points: one image width or height outside the image,
// or 1e6 px when the size is not known; the first point beyond it is named
// with its value.
TEST(CameraChecks, ImagePointBound)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const cv::Size image(640, 480), unknown(0, 0);
    const struct {
        const char* what;
        std::vector<cv::Point2f> points;
        cv::Size size;
        const char* error; // empty: within the bound
    } cases[] = {
        {"no points", {}, image, ""},
        {"inside and at the bound's edges", {{0, 0}, {639.5f, 479.5f}, {-640, -480}, {1280, 960}}, image, ""},
        {"x beyond the left",
         {{10, 10}, {-640.5f, 10}},
         image,
         "point 1 has x = -640.5 px, outside -640 to 1280 px for a 640x480 image"},
        {"y beyond the bottom",
         {{10, 960.5f}},
         image,
         "point 0 has y = 960.5 px, outside -480 to 960 px for a 640x480 image"},
        {"the first of several",
         {{1e30f, 1e30f}, {-1e30f, 0}},
         image,
         "point 0 has x = 1e+30 px, outside -640 to 1280 px for a 640x480 image"},
        {"FLT_MAX",
         {{10, 10}, {10, 10}, {10, std::numeric_limits<float>::max()}},
         image,
         "point 2 has y = 3.40282e+38 px, outside -480 to 960 px for a 640x480 image"},
        {"not a number",
         {{nan, 10}},
         image,
         "point 0 has x = nan px, outside -640 to 1280 px for a 640x480 image"},
        {"unknown size, inside", {{-1e6f, 1e6f}}, unknown, ""},
        {"unknown size, beyond",
         {{0, 1.5e6f}},
         unknown,
         "point 0 has y = 1.5e+06 px, outside -1e+06 to 1e+06 px for an image of unknown size"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string error = "left from before";
        EXPECT_EQ(imagePointsWithinBound(c.points, c.size, error), *c.error == '\0');
        EXPECT_EQ(error, c.error);
    }
}

} // namespace
