#include "core/structured_light/decoded_views.h"
#include "core/structured_light/projector_corners.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

// A decoded map that follows a known homography exactly.
cv::Mat decodedFrom(const cv::Matx33d& H, cv::Size size)
{
    cv::Mat decoded(size, CV_32FC2);
    for (int r = 0; r < size.height; ++r)
        for (int c = 0; c < size.width; ++c) {
            const cv::Vec3d p = H * cv::Vec3d(c, r, 1);
            decoded.at<cv::Vec2f>(r, c) =
                cv::Vec2f(static_cast<float>(p[0] / p[2]), static_cast<float>(p[1] / p[2]));
        }
    return decoded;
}

const cv::Matx33d kH(0.8, 0.05, 12, -0.03, 0.9, 7, 1e-5, -2e-5, 1);

} // namespace

TEST(ProjectorCorners, CornersFollowTheLocalHomography)
{
    const cv::Size size(120, 100);
    const cv::Mat decoded = decodedFrom(kH, size);
    const cv::Mat minMax(size, CV_8UC2, cv::Scalar(20, 200));
    const std::vector<cv::Point2f> corners{{30.4f, 40.7f}, {60.f, 50.f}, {90.25f, 80.5f}};
    std::vector<cv::Point2f> proj;
    std::vector<int> failed;
    for (const bool lmeds : {false, true}) {
        SCOPED_TRACE(lmeds ? "LMEDS" : "RANSAC");
        ProjectorCornerOptions options;
        options.lmeds = lmeds;
        extractProjectorCorners(decoded, minMax, corners, proj, failed, options);
        ASSERT_EQ(proj.size(), corners.size());
        EXPECT_TRUE(failed.empty());
        for (size_t i = 0; i < corners.size(); ++i) {
            const cv::Vec3d p = kH * cv::Vec3d(corners[i].x, corners[i].y, 1);
            EXPECT_NEAR(proj[i].x, p[0] / p[2], 1e-3);
            EXPECT_NEAR(proj[i].y, p[1] / p[2], 1e-3);
        }
    }
}

// Decoded maps hold whole projector pixels. A robust fit with a threshold
// below that rounding throws honest samples away; the least-squares refit
// over the samples within the rounding bound keeps the corner close.
TEST(ProjectorCorners, WholePixelTargetsStillGiveSubPixelCorners)
{
    const cv::Size size(200, 200);
    cv::Mat decoded = decodedFrom(cv::Matx33d(1.1, 0.07, 3, -0.05, 1.05, 9, 2e-5, 1e-5, 1), size);
    for (int r = 0; r < size.height; ++r)
        for (int c = 0; c < size.width; ++c) {
            cv::Vec2f& d = decoded.at<cv::Vec2f>(r, c);
            d = cv::Vec2f(std::round(d[0]), std::round(d[1]));
        }
    const cv::Mat minMax(size, CV_8UC2, cv::Scalar(20, 200));
    const cv::Matx33d H(1.1, 0.07, 3, -0.05, 1.05, 9, 2e-5, 1e-5, 1);
    double refined = 0, robustOnly = 0;
    int n = 0;
    for (float y = 20.3f; y < 180; y += 13.7f)
        for (float x = 20.6f; x < 180; x += 11.9f) {
            std::vector<cv::Point2f> proj[2];
            std::vector<int> failed;
            for (int k = 0; k < 2; ++k) {
                ProjectorCornerOptions options;
                options.inlierFloor = k == 0 ? 1.0 : 0.0;
                extractProjectorCorners(decoded, minMax, {cv::Point2f(x, y)}, proj[k], failed, options);
                ASSERT_EQ(proj[k].size(), 1u);
            }
            const cv::Vec3d p = H * cv::Vec3d(x, y, 1);
            const cv::Point2f truth(static_cast<float>(p[0] / p[2]), static_cast<float>(p[1] / p[2]));
            const cv::Point2f d0 = proj[0][0] - truth, d1 = proj[1][0] - truth;
            refined += d0.dot(d0);
            robustOnly += d1.dot(d1);
            ++n;
        }
    const double kMaxRmsPx = 0.2;
    EXPECT_LT(std::sqrt(refined / n), kMaxRmsPx);
    EXPECT_LT(refined, robustOnly);
}

TEST(ProjectorCorners, CornersWithoutEnoughEvidenceFailQuietly)
{
    const cv::Size size(120, 100);
    cv::Mat decoded = decodedFrom(kH, size);
    cv::Mat minMax(size, CV_8UC2, cv::Scalar(20, 200));
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // Around (60, 30): only three valid pixels. Around (30, 70): low contrast.
    // Around (90, 70): 10 valid pixels of 100, below a share of 0.2.
    for (int r = 25; r < 35; ++r)
        for (int c = 55; c < 65; ++c)
            if (!(r == 30 && c >= 58 && c < 61))
                decoded.at<cv::Vec2f>(r, c) = cv::Vec2f(nan, nan);
    minMax(cv::Rect(25, 65, 10, 10)).setTo(cv::Scalar(100, 103));
    for (int r = 65; r < 75; ++r)
        for (int c = 85; c < 95; ++c)
            if (r != 70)
                decoded.at<cv::Vec2f>(r, c) = cv::Vec2f(nan, nan);

    const std::vector<cv::Point2f> corners{
        {5.0f, 50.f},  // x must exceed h = 5
        {5.3f, 50.f},  // usable
        {60.f, 30.f},  // three valid pixels
        {30.f, 70.f},  // contrast 3 below the threshold 5
        {90.f, 70.f},  // too small a share
        {115.0f, 50.f} // window reaches the right border (x + h must stay below 120)
    };
    ProjectorCornerOptions options;
    options.minValidShare = 0.2;
    std::vector<cv::Point2f> proj;
    std::vector<int> failed;
    std::vector<std::string> messages;
    extractProjectorCorners(decoded, minMax, corners, proj, failed, options, &messages);
    EXPECT_EQ(failed, (std::vector<int>{0, 2, 3, 4, 5}));
    EXPECT_EQ(proj.size() + failed.size(), corners.size());
    EXPECT_TRUE(messages.empty());

    // An odd window rounds down: 11 behaves like 10.
    options.window = 11;
    std::vector<cv::Point2f> proj11;
    std::vector<int> failed11;
    extractProjectorCorners(decoded, minMax, corners, proj11, failed11, options);
    EXPECT_EQ(failed11, failed);

    // Maps of the wrong type fail every corner.
    extractProjectorCorners(cv::Mat(size, CV_32FC1), minMax, corners, proj, failed, options);
    EXPECT_EQ(failed.size(), corners.size());
    EXPECT_TRUE(proj.empty());
}

TEST(DecodedViews, RemapAndColourMapsUseOnlyValidPixels)
{
    const cv::Size cam(4, 2);
    cv::Mat decoded(cam, CV_32FC2, cv::Scalar(1, 1));
    const float nan = std::numeric_limits<float>::quiet_NaN();
    decoded.at<cv::Vec2f>(0, 0) = cv::Vec2f(2, 1); // the projector's last column and row
    decoded.at<cv::Vec2f>(0, 1) = cv::Vec2f(nan, 0);
    decoded.at<cv::Vec2f>(0, 2) = cv::Vec2f(0, 0);
    decoded.at<cv::Vec2f>(1, 3) = cv::Vec2f(0, 1);
    cv::Mat minMax(cam, CV_8UC2, cv::Scalar(10, 100));
    minMax.at<cv::Vec2b>(0, 2) = cv::Vec2b(10, 12); // low contrast
    cv::Mat camera(cam, CV_8UC3, cv::Scalar(1, 2, 3));
    camera.at<cv::Vec3b>(0, 0) = cv::Vec3b(9, 9, 9);

    const cv::Mat view =
        remapToProjector(decoded, minMax, camera, cv::Size(3, 2), 5, cv::Scalar(invalidColour));
    ASSERT_EQ(view.size(), cv::Size(3, 2));
    EXPECT_EQ(view.at<cv::Vec3b>(1, 2), cv::Vec3b(9, 9, 9));
    EXPECT_EQ(view.at<cv::Vec3b>(1, 1), cv::Vec3b(1, 2, 3));
    EXPECT_EQ(view.at<cv::Vec3b>(0, 0), invalidColour); // only the low-contrast pixel decodes here
    EXPECT_TRUE(
        remapToProjector(decoded, minMax, cv::Mat(3, 3, CV_8UC3), cv::Size(3, 2), 5, cv::Scalar()).empty());
    EXPECT_TRUE(remapToProjector(cv::Mat(), minMax, camera, cv::Size(3, 2), 5, cv::Scalar()).empty());

    cv::Mat x, y;
    renderDecodedMaps(decoded, minMax, cv::Size(3, 2), 5, x, y);
    ASSERT_EQ(x.size(), cam);
    EXPECT_EQ(x.at<cv::Vec3b>(0, 1), invalidColour);
    EXPECT_EQ(x.at<cv::Vec3b>(0, 2), invalidColour);
    EXPECT_NE(x.at<cv::Vec3b>(0, 0), x.at<cv::Vec3b>(1, 0)); // x 2 and x 1 get different colours
    EXPECT_EQ(x.at<cv::Vec3b>(1, 0), x.at<cv::Vec3b>(1, 1));
    renderDecodedMaps(cv::Mat(), minMax, cv::Size(3, 2), 5, x, y);
    EXPECT_TRUE(x.empty() && y.empty());
}
