#pragma once

// Comparisons with named tolerances that report what differs.

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include <cmath>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace testing_support {

// Runs f and returns the message of the cv::Exception it throws (its code
// into *code), or "<no exception>".
inline std::string cvErrorMessage(const std::function<void()>& f, int* code = nullptr)
{
    try {
        f();
    } catch (const cv::Exception& e) {
        if (code)
            *code = e.code;
        return e.err;
    }
    return "<no exception>";
}

// Checks that f throws cv::Exception with this code, message and reporting function.
inline void expectCvError(const std::function<void()>& f, int code, const std::string& message,
                          const std::string& func)
{
    try {
        f();
        ADD_FAILURE() << "no exception, expected \"" << message << "\"";
    } catch (const cv::Exception& e) {
        EXPECT_EQ(e.code, code) << e.what();
        EXPECT_EQ(e.err, message);
        EXPECT_EQ(e.func, func);
    }
}

// 3x3 CV_64F rotation of the rotation vector (rx, ry, rz).
inline cv::Mat rotation(double rx, double ry, double rz)
{
    cv::Mat R;
    cv::Rodrigues(cv::Mat(cv::Vec3d(rx, ry, rz)), R);
    return R;
}

// 3x1 CV_64F column (x, y, z).
inline cv::Mat vec3(double x, double y, double z)
{
    return (cv::Mat_<double>(3, 1) << x, y, z);
}

// 3x3 CV_64F camera matrix [fx 0 cx; 0 fy cy; 0 0 1].
inline cv::Mat camera(double fx, double fy, double cx, double cy)
{
    return (cv::Mat_<double>(3, 3) << fx, 0.0, cx, 0.0, fy, cy, 0.0, 0.0, 1.0);
}

// Largest absolute difference of two matrices of the same size, as doubles.
inline double maxAbsDiff(const cv::Mat& a, const cv::Mat& b)
{
    cv::Mat a64, b64;
    a.convertTo(a64, CV_64F);
    b.convertTo(b64, CV_64F);
    return cv::norm(a64.reshape(1, (int)a64.total() * a64.channels()),
                    b64.reshape(1, (int)b64.total() * b64.channels()), cv::NORM_INF);
}

inline ::testing::AssertionResult matNear(const cv::Mat& a, const cv::Mat& b, double tol)
{
    if (a.total() * a.channels() != b.total() * b.channels())
        return ::testing::AssertionFailure()
               << "sizes differ: " << a.rows << "x" << a.cols << " vs " << b.rows << "x" << b.cols;
    if (a.empty())
        return ::testing::AssertionSuccess();
    const double d = maxAbsDiff(a, b);
    if (d <= tol)
        return ::testing::AssertionSuccess();
    std::ostringstream os;
    os << "max |a - b| = " << d << " > " << tol << "\na =\n" << a << "\nb =\n" << b;
    return ::testing::AssertionFailure() << os.str();
}

// Angle in degrees of the rotation R_a * R_b^T.
inline double rotationDiffDeg(const cv::Mat& Ra, const cv::Mat& Rb)
{
    cv::Mat a64, b64;
    Ra.convertTo(a64, CV_64F);
    Rb.convertTo(b64, CV_64F);
    cv::Mat rvec;
    cv::Rodrigues(a64 * b64.t(), rvec);
    return cv::norm(rvec) * 180.0 / CV_PI;
}

inline ::testing::AssertionResult poseNear(const cv::Mat& R, const cv::Mat& t, const cv::Mat& R_true,
                                           const cv::Mat& t_true, double maxDeg, double maxMm)
{
    const double deg = rotationDiffDeg(R, R_true);
    cv::Mat t64, tt64;
    t.convertTo(t64, CV_64F);
    t_true.convertTo(tt64, CV_64F);
    const double mm = cv::norm(t64.reshape(1, 3), tt64.reshape(1, 3));
    if (deg <= maxDeg && mm <= maxMm)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "rotation differs by " << deg << " deg (limit " << maxDeg << "), translation by " << mm
           << " mm (limit " << maxMm << ")\nt = " << t64.t() << "\nt_true = " << tt64.t();
}

// RMS and largest distance (px) between found corners and their true
// positions, pairwise.
struct CornerErrors {
    double rms = 0;
    double max = 0;
};

inline CornerErrors cornerErrors(const std::vector<cv::Point2f>& found, const std::vector<cv::Point2f>& truth)
{
    CornerErrors e;
    for (size_t i = 0; i < found.size(); ++i) {
        const double d = cv::norm(found[i] - truth[i]);
        e.rms += d * d;
        e.max = std::max(e.max, d);
    }
    e.rms = std::sqrt(e.rms / double(std::max<size_t>(found.size(), 1)));
    return e;
}

} // namespace testing_support

#define EXPECT_MAT_NEAR(a, b, tol) EXPECT_TRUE(::testing_support::matNear((a), (b), (tol)))
#define ASSERT_MAT_NEAR(a, b, tol) ASSERT_TRUE(::testing_support::matNear((a), (b), (tol)))
#define EXPECT_POSE_NEAR(R, t, Rt, tt, deg, mm)                                                              \
    EXPECT_TRUE(::testing_support::poseNear((R), (t), (Rt), (tt), (deg), (mm)))
