#include "core/geometry/pose_helpers.h"

#include <cmath>
#include <opencv2/core.hpp>

namespace {
constexpr double kRadToDeg = 180.0 / CV_PI;
constexpr double kDegToRad = CV_PI / 180.0;
} // namespace

cv::Point3d rotationMatrixToEulerAngles(const cv::Mat& M)
{
    const double m00 = M.at<double>(0, 0), m01 = M.at<double>(0, 1), m02 = M.at<double>(0, 2);
    const double m10 = M.at<double>(1, 0), m11 = M.at<double>(1, 1), m12 = M.at<double>(1, 2);
    const double m20 = M.at<double>(2, 0), m21 = M.at<double>(2, 1), m22 = M.at<double>(2, 2);

    const double roll = std::atan2(m12, m22);
    const double pitch = std::atan2(-m02, std::sqrt(m00 * m00 + m01 * m01));
    const double s = std::sin(roll), c = std::cos(roll);
    const double yaw = std::atan2(s * m20 - c * m10, c * m11 - s * m21);
    return {yaw * kRadToDeg, pitch * kRadToDeg, roll * kRadToDeg};
}

cv::Mat eulerAnglesToRotationMatrix(const cv::Point3d& yawPitchRoll)
{
    const double yaw = yawPitchRoll.x * kDegToRad;
    const double pitch = yawPitchRoll.y * kDegToRad;
    const double roll = yawPitchRoll.z * kDegToRad;

    const cv::Matx33d A(1, 0, 0, 0, std::cos(roll), std::sin(roll), 0, -std::sin(roll), std::cos(roll));
    const cv::Matx33d B(std::cos(pitch), 0, -std::sin(pitch), 0, 1, 0, std::sin(pitch), 0, std::cos(pitch));
    const cv::Matx33d C(std::cos(yaw), std::sin(yaw), 0, -std::sin(yaw), std::cos(yaw), 0, 0, 0, 1);
    return cv::Mat((A * B) * C).clone();
}
