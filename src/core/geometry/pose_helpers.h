#pragma once

// Pose helpers: 4x4 rigid transforms and the yaw, pitch and roll angles the
// sensor tree shows. Poses follow the scene's convention written in Sensor.h.

#include <opencv2/core.hpp>

namespace cal {

// 4x4 CV_64F rigid transform [R t; 0 0 0 1] from a 3x3 R and a 3x1 t.
// A wrongly shaped argument raises cv::Exception (StsAssert) naming the
// failed condition. R and t are copied without conversion; pass CV_64F.
inline cv::Mat getRt4x4(const cv::Mat& R, const cv::Mat& t)
{
    if (!(R.cols == 3 && R.rows == 3))
        cv::error(cv::Error::StsAssert, "R.cols == 3 && R.rows == 3", "cal::getRt4x4", __FILE__, __LINE__);
    if (!(t.cols == 1 && t.rows == 3))
        cv::error(cv::Error::StsAssert, "t.cols == 1 && t.rows == 3", "cal::getRt4x4", __FILE__, __LINE__);
    cv::Mat Rt = cv::Mat::eye(4, 4, CV_64F);
    R.copyTo(Rt(cv::Rect(0, 0, 3, 3)));
    t.copyTo(Rt(cv::Rect(3, 0, 1, 3)));
    return Rt;
}

// Inverse [R^T -R^T t; 0 0 0 1] of a 4x4 rigid transform (R is taken as a
// rotation; its orthonormality is not checked). A non-4x4 argument raises
// cv::Exception (StsAssert).
inline cv::Mat invertRt4x4(const cv::Mat& Rt)
{
    if (!(Rt.cols == 4 && Rt.rows == 4))
        cv::error(cv::Error::StsAssert, "Rt.cols == 4 && Rt.rows == 4", "cal::invertRt4x4", __FILE__,
                  __LINE__);
    cv::Mat Rt64;
    Rt.convertTo(Rt64, CV_64F);
    const cv::Mat R = Rt64(cv::Rect(0, 0, 3, 3));
    const cv::Mat t = Rt64(cv::Rect(3, 0, 1, 3));
    cv::Mat inv = cv::Mat::eye(4, 4, CV_64F);
    cv::Mat Rinv = R.t();
    Rinv.copyTo(inv(cv::Rect(0, 0, 3, 3)));
    cv::Mat tinv = -Rinv * t;
    tinv.copyTo(inv(cv::Rect(3, 0, 1, 3)));
    return inv;
}

} // namespace cal

// Yaw, pitch and roll in degrees (returned as x, y, z) of a 3x3 CV_64F
// rotation M: the angles for which M^T = Rz(yaw) * Ry(pitch) * Rx(roll),
// with Rz, Ry, Rx the right-handed elementary rotations. The sensor tree
// passes R^T of a pose, so the angles describe R = Rz Ry Rx.
// Pitch lies in [-90, 90], yaw and roll in [-180, 180]. The yaw is computed
// from the roll, so the angles reproduce M also at pitch = +-90 degrees.
cv::Point3d rotationMatrixToEulerAngles(const cv::Mat& M);

// Inverse of rotationMatrixToEulerAngles: (Rz(yaw) Ry(pitch) Rx(roll))^T as
// a 3x3 CV_64F matrix, angles (x = yaw, y = pitch, z = roll) in degrees.
cv::Mat eulerAnglesToRotationMatrix(const cv::Point3d& yawPitchRoll);
