#include "core/geometry/calib_utils.h"

#include <opencv2/flann.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>

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

namespace {

constexpr int kMinHalfWindow = 3;

// Index of the corner nearest to corner i (not i itself) by exhaustive
// search; used where the index search returns no other corner.
int nearestByScan(const std::vector<cv::Point2f>& corners, size_t i)
{
    int best = -1;
    float bestD = std::numeric_limits<float>::infinity();
    for (size_t k = 0; k < corners.size(); ++k) {
        if (k == i)
            continue;
        const float d =
            std::max(std::abs(corners[k].x - corners[i].x), std::abs(corners[k].y - corners[i].y));
        if (d < bestD) {
            bestD = d;
            best = int(k);
        }
    }
    return best;
}

} // namespace

void refineCornersAdaptive(const cv::Mat& gray, const std::vector<cv::Point2f>& corners, double winFactor,
                           cv::Size zeroZone, std::vector<cv::Point2f>& refined, std::vector<int>& winSizes)
{
    CV_Assert(!gray.empty() && gray.channels() == 1);
    CV_Assert(gray.depth() == CV_8U || gray.depth() == CV_32F);
    CV_Assert(std::isfinite(winFactor) && winFactor >= 0);
    // The factor is applied in float: beyond float's range it turns into
    // infinity and the window size into NaN.
    CV_Assert(winFactor <= FLT_MAX);
    // cornerSubPix needs an image of at least 2w + 5 pixels on each side.
    const int maxByImage = (std::min(gray.cols, gray.rows) - 5) / 2;
    if (maxByImage < 1)
        CV_Error(cv::Error::StsAssert, "the image is too small for a corner window (at least 7x7 pixels)");
    // A corner must lie on the image: cornerSubPix reads far outside it
    // without bounds (and crashes), and no detector reports such a corner.
    for (size_t i = 0; i < corners.size(); ++i) {
        const cv::Point2f c = corners[i];
        if (!(std::isfinite(c.x) && std::isfinite(c.y)))
            CV_Error(cv::Error::StsBadArg, cv::format("corner %d is not finite", int(i)));
        if (!(c.x >= -0.5f && c.y >= -0.5f && c.x <= gray.cols - 0.5f && c.y <= gray.rows - 0.5f))
            CV_Error(cv::Error::StsBadArg, cv::format("corner %d (%g, %g) lies outside the %dx%d image",
                                                      int(i), c.x, c.y, gray.cols, gray.rows));
    }
    if (corners.empty())
        return;

    const size_t n = corners.size();
    // The corners as an N x 2 float matrix, without a copy; the index is
    // only built when there is a neighbour to look for. An exact index, as in
    // the detector: a randomised k-d tree is built from the process's global
    // random state, and its approximate answers could give the same corner a
    // different window from one run to the next. A board has at most a few
    // hundred corners, so the exhaustive search is cheap.
    const cv::Mat features(int(n), 2, CV_32F, const_cast<cv::Point2f*>(corners.data()));
    cv::flann::Index index;
    if (n >= 2)
        index.build(features, cv::flann::LinearIndexParams(), cvflann::FLANN_DIST_L2);

    const float factor = float(winFactor);
    const cv::TermCriteria criteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 50, 0.1);
    cv::Mat indices(1, 2, CV_32S), dists(1, 2, CV_32F);
    refined.reserve(refined.size() + n);
    winSizes.reserve(winSizes.size() + n);
    for (size_t i = 0; i < n; ++i) {
        const cv::Point2f c = corners[i];
        int w = kMinHalfWindow;
        if (n >= 2) {
            indices.setTo(-1);
            index.knnSearch(features.row(int(i)), indices, dists, 2,
                            cv::flann::SearchParams(cvflann::FLANN_CHECKS_UNLIMITED, 0, true));
            // The first hit is normally the corner itself; with coincident
            // corners it may be the other one, at the same distance.
            int nb = indices.at<int>(0, 0) != int(i) ? indices.at<int>(0, 0) : indices.at<int>(0, 1);
            if (nb < 0 || nb >= int(n) || nb == int(i))
                nb = nearestByScan(corners, i);
            const float dx = std::abs(c.x - corners[nb].x), dy = std::abs(c.y - corners[nb].y);
            const float scaled = std::min(std::max(dx, dy) * factor, float(maxByImage));
            w = std::max(int(scaled), kMinHalfWindow);
        }
        // Keep the window with the pixel ring that cornerSubPix interpolates
        // inside the image where that leaves the smallest window; closer to
        // the border the window would read replicated border pixels, which
        // pull the corner along the border.
        const float toBorder =
            std::min(std::min(c.x, c.y), std::min(gray.cols - 1 - c.x, gray.rows - 1 - c.y));
        const int byBorder = toBorder < float(kMinHalfWindow + 3) ? kMinHalfWindow
                             : toBorder >= float(maxByImage + 2)  ? maxByImage
                                                                  : int(toBorder) - 2;
        w = std::min(std::min(w, byBorder), maxByImage);

        std::vector<cv::Point2f> one{c};
        cv::cornerSubPix(gray, one, cv::Size(w, w), zeroZone, criteria);
        winSizes.push_back(w);
        refined.push_back(one[0]);
    }
}

cv::Point3d errorColor(double value, double minimum, double maximum)
{
    const double a = minimum, b = maximum;
    if (std::isnan(value) || std::isnan(a) || std::isnan(b))
        return {1, 0, 0};
    if (a == b)
        return {0, 1, 0};
    // clamp into the range, which runs from a to b in either direction
    double x = std::max(value, std::min(a, b));
    x = std::min(x, std::max(a, b));
    const double mid = a + (b - a) * 0.5;
    const bool nearMinimum = (a < b) ? (x < mid) : (x > mid);
    if (nearMinimum)
        return {2 * (x - a) / (b - a), 1, 0};
    return {1, 2 * (b - x) / (b - a), 0};
}

bool checkRotationMatrix(const cv::Mat& R, std::string& msg)
{
    if (R.rows != 3) {
        msg = "Invalid size: rows != 3.";
        return false;
    }
    if (R.cols != 3) {
        msg = "Invalid size: cols != 3.";
        return false;
    }
    if (R.channels() != 1) {
        msg = "R matrix should have 1 channel.";
        return false;
    }
    cv::Mat R64;
    R.convertTo(R64, CV_64F);
    if (!cv::checkRange(R64)) {
        msg = "R matrix has non-finite elements.";
        return false;
    }
    const double det = cv::determinant(R64);
    if (det < 0) {
        msg = "Determinant is negative.";
        return false;
    }
    if (std::abs(det - 1) > 0.001) {
        msg = "Determinant isn't 1.";
        return false;
    }
    const cv::Mat Rt = R64.t();
    const cv::Mat Rinv = R64.inv(cv::DECOMP_LU);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            if (!(std::abs(Rt.at<double>(r, c) - Rinv.at<double>(r, c)) <= 0.001)) {
                msg = "Transposed R isn't equal to its inverse: R^T != R^-1.";
                return false;
            }
    return true;
}

double rotationAngleDeg(const cv::Mat& R1, const cv::Mat& R2)
{
    CV_Assert(R1.rows == 3 && R1.cols == 3 && R1.channels() == 1);
    CV_Assert(R2.rows == 3 && R2.cols == 3 && R2.channels() == 1);
    cv::Matx33d A, B;
    R1.convertTo(A, CV_64F);
    R2.convertTo(B, CV_64F);
    const cv::Matx33d M = A * B.t();
    const double c = (M(0, 0) + M(1, 1) + M(2, 2) - 1) * 0.5;
    if (std::isnan(c))
        return std::numeric_limits<double>::quiet_NaN();
    return std::acos(std::min(1.0, std::max(-1.0, c))) * kRadToDeg;
}

double maxTranslationNorm(std::vector<cv::Mat> tvecs)
{
    double best = 0;
    for (const cv::Mat& t : tvecs) {
        CV_Assert(t.rows >= 3 && t.cols >= 1 && t.channels() == 1);
        cv::Mat t64;
        t.col(0).rowRange(0, 3).convertTo(t64, CV_64F);
        const double x = t64.at<double>(0), y = t64.at<double>(1), z = t64.at<double>(2);
        const double len = std::sqrt(x * x + y * y + z * z);
        if (std::isfinite(len) && len > best)
            best = len;
    }
    return best;
}

std::vector<double> reprojectionDistances(const std::vector<cv::Point2f>& measured,
                                          const std::vector<cv::Point2f>& projected)
{
    std::vector<double> distances(measured.size());
    for (size_t k = 0; k < measured.size(); ++k) {
        const double dx = static_cast<double>(measured[k].x) - projected[k].x;
        const double dy = static_cast<double>(measured[k].y) - projected[k].y;
        distances[k] = std::sqrt(dx * dx + dy * dy);
    }
    return distances;
}

cv::Vec3b toRgb255(const cv::Point3d& colour)
{
    return cv::Vec3b(static_cast<uchar>(static_cast<int>(colour.x * 255)),
                     static_cast<uchar>(static_cast<int>(colour.y * 255)),
                     static_cast<uchar>(static_cast<int>(colour.z * 255)));
}
