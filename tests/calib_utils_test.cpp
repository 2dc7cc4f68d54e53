#include "calib_utils.h"

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>

#include "test_helpers.h"

namespace {

using testing_support::cvErrorMessage;

cv::Mat Rz(double deg)
{
    const double a = deg * CV_PI / 180;
    return (cv::Mat_<double>(3, 3) << std::cos(a), -std::sin(a), 0, std::sin(a), std::cos(a), 0, 0, 0, 1);
}
cv::Mat Ry(double deg)
{
    const double a = deg * CV_PI / 180;
    return (cv::Mat_<double>(3, 3) << std::cos(a), 0, std::sin(a), 0, 1, 0, -std::sin(a), 0, std::cos(a));
}
cv::Mat Rx(double deg)
{
    const double a = deg * CV_PI / 180;
    return (cv::Mat_<double>(3, 3) << 1, 0, 0, 0, std::cos(a), -std::sin(a), 0, std::sin(a), std::cos(a));
}


}  // namespace

TEST(PoseHelpers, EulerAnglesOfKnownRotations)
{
    const cv::Point3d id = rotationMatrixToEulerAngles(cv::Mat::eye(3, 3, CV_64F));
    EXPECT_NEAR(id.x, 0, 1e-12);
    EXPECT_NEAR(id.y, 0, 1e-12);
    EXPECT_NEAR(id.z, 0, 1e-12);

    const cv::Mat M = Rz(30).t();
    const cv::Point3d a = rotationMatrixToEulerAngles(M);
    EXPECT_NEAR(a.x, 30, 1e-9);
    EXPECT_NEAR(a.y, 0, 1e-9);
    EXPECT_NEAR(a.z, 0, 1e-9);

    // The angles describe M^T = Rz(yaw) Ry(pitch) Rx(roll).
    const cv::Mat R = Rz(-120) * Ry(35) * Rx(70);
    const cv::Point3d b = rotationMatrixToEulerAngles(R.t());
    EXPECT_NEAR(b.x, -120, 1e-9);
    EXPECT_NEAR(b.y, 35, 1e-9);
    EXPECT_NEAR(b.z, 70, 1e-9);
    EXPECT_MAT_NEAR(eulerAnglesToRotationMatrix({-120, 35, 70}), R.t(), 1e-12);
}

TEST(PoseHelpers, EulerRoundTripIncludingGimbalLock)
{
    const cv::Point3d cases[] = {{0, 0, 0},     {10, 20, 30},     {-170, 89.9, 179}, {179.5, -89.5, -179.5},
                                 {45, 90, 0},   {45, -90, 30},    {-60, 90, -120},   {180, 0, 180}};
    for (const auto& a : cases) {
        SCOPED_TRACE(cv::format("yaw %g pitch %g roll %g", a.x, a.y, a.z));
        const cv::Mat M = eulerAnglesToRotationMatrix(a);
        EXPECT_NEAR(cv::determinant(M), 1.0, 1e-12);
        EXPECT_MAT_NEAR(M * M.t(), cv::Mat::eye(3, 3, CV_64F), 1e-12);
        const cv::Point3d back = rotationMatrixToEulerAngles(M);
        // the angles may differ at the singularity, the rotation they give may not
        EXPECT_MAT_NEAR(eulerAnglesToRotationMatrix(back), M, 1e-9);
        EXPECT_LE(std::abs(back.y), 90.0 + 1e-9);
        if (std::abs(a.y) < 89 && a.x > -180 && a.z > -180 && a.x < 180 && a.z < 180) {
            EXPECT_NEAR(back.x, a.x, 1e-9);
            EXPECT_NEAR(back.y, a.y, 1e-9);
            EXPECT_NEAR(back.z, a.z, 1e-9);
        }
    }
}

TEST(PoseHelpers, Rt4x4ComposesAndInverts)
{
    cv::Mat R;
    cv::Rodrigues(cv::Vec3d(0.3, -1.1, 0.7), R);
    const cv::Mat t = (cv::Mat_<double>(3, 1) << 120.5, -30, 900);
    const cv::Mat T = cal::getRt4x4(R, t);
    EXPECT_MAT_NEAR(T(cv::Rect(0, 0, 3, 3)), R, 0);
    EXPECT_MAT_NEAR(T(cv::Rect(3, 0, 1, 3)), t, 0);
    EXPECT_MAT_NEAR(T.row(3), (cv::Mat_<double>(1, 4) << 0, 0, 0, 1), 0);
    EXPECT_MAT_NEAR(cal::invertRt4x4(T) * T, cv::Mat::eye(4, 4, CV_64F), 1e-12);
    EXPECT_MAT_NEAR(T * cal::invertRt4x4(T), cv::Mat::eye(4, 4, CV_64F), 1e-12);

    // The user's view of a pose: the origin of a sensor shown at tx = 100
    // relative to the reference belongs to t = (-100, 0, 0).
    const cv::Mat Ti = cal::invertRt4x4(cal::getRt4x4(cv::Mat::eye(3, 3, CV_64F),
                                                      (cv::Mat_<double>(3, 1) << -100, 0, 0)));
    EXPECT_MAT_NEAR(Ti(cv::Rect(3, 0, 1, 3)), (cv::Mat_<double>(3, 1) << 100, 0, 0), 0);
}

TEST(PoseHelpers, WrongShapesRaiseAssertions)
{
    struct Case {
        const char* what;
        std::function<void()> call;
        const char* message;
    };
    const cv::Mat I = cv::Mat::eye(3, 3, CV_64F);
    const Case cases[] = {
        {"t as a row", [&] { cal::getRt4x4(I, cv::Mat::zeros(1, 3, CV_64F)); }, "t.cols == 1 && t.rows == 3"},
        {"R 3x4", [&] { cal::getRt4x4(cv::Mat::zeros(3, 4, CV_64F), cv::Mat::zeros(3, 1, CV_64F)); },
         "R.cols == 3 && R.rows == 3"},
        {"empty R", [&] { cal::getRt4x4(cv::Mat(), cv::Mat::zeros(3, 1, CV_64F)); }, "R.cols == 3 && R.rows == 3"},
        {"3x3 to invert", [&] { cal::invertRt4x4(I); }, "Rt.cols == 4 && Rt.rows == 4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        int code = 0;
        EXPECT_EQ(cvErrorMessage(c.call, &code), c.message);
        EXPECT_EQ(code, cv::Error::StsAssert);
    }
}
