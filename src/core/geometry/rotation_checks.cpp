#include "core/geometry/rotation_checks.h"

#include <algorithm>
#include <cmath>

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
    return std::acos(std::min(1.0, std::max(-1.0, c))) * (180.0 / CV_PI);
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
