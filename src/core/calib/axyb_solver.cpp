#include "core/calib/axyb_solver.h"

#include "core/geometry/calib_utils.h"

#include <cmath>

namespace tfc {

cv::Mat kron(const cv::Mat& A, const cv::Mat& B)
{
    if (!(A.channels() == 1 && B.channels() == 1))
        cv::error(cv::Error::StsAssert, "A.channels() == 1 && B.channels() == 1", "tfc::kron", __FILE__, __LINE__);
    cv::Mat a, b;
    A.convertTo(a, CV_64F);
    B.convertTo(b, CV_64F);
    cv::Mat K = cv::Mat::zeros(a.rows * b.rows, a.cols * b.cols, CV_64F);
    for (int i = 0; i < a.rows; ++i)
        for (int j = 0; j < a.cols; ++j) {
            cv::Mat block = K(cv::Rect(j * b.cols, i * b.rows, b.cols, b.rows));
            block += a.at<double>(i, j) * b;
        }
    cv::Mat out;
    K.convertTo(out, A.type());
    return out;
}

namespace {

// The orthogonal factor of R scaled to determinant +1 (R unchanged in
// direction when its determinant is 0).
cv::Mat nearestRotation(cv::Mat R)
{
    const double d = cv::determinant(R);
    const double s = d > 0 ? 1.0 : (d < 0 ? -1.0 : 0.0);
    if (d != 0)
        R = R * (s / std::cbrt(std::abs(d)));
    cv::SVD svd(R, cv::SVD::FULL_UV);
    return svd.u * svd.vt;
}

void checkSizes(const std::vector<cv::Mat>& RA, const std::vector<cv::Mat>& tA, const std::vector<cv::Mat>& RB,
                const std::vector<cv::Mat>& tB)
{
    if (!(RA.size() == RB.size() && tA.size() == tB.size() && RA.size() == tA.size()))
        cv::error(cv::Error::StsAssert, "RA.size() == RB.size() && tA.size() == tB.size() && RA.size() == tA.size()",
                  "tfc::shah", __FILE__, __LINE__);
}

// Kronecker sum T = sum_i kron(RB[i], RA[i]) and its full SVD.
cv::SVD rotationSvd(const std::vector<cv::Mat>& RA, const std::vector<cv::Mat>& RB)
{
    cv::Mat T = cv::Mat::zeros(9, 9, CV_64F);
    for (size_t i = 0; i < RA.size(); ++i)
        T += kron(RB[i], RA[i]);
    return cv::SVD(T, cv::SVD::FULL_UV);
}

// Both translations from the final RY (the solver's transposed one): rows
// 3i..3i+2 read -RA[i] tX + tY = tA[i] - RY^T tB[i].
cv::Mat translationSystem(const std::vector<cv::Mat>& RA, const std::vector<cv::Mat>& tA,
                          const std::vector<cv::Mat>& tB, const cv::Mat& RY, cv::Mat& S)
{
    const int n = static_cast<int>(RA.size());
    S = cv::Mat::zeros(3 * n, 6, CV_64F);
    cv::Mat b = cv::Mat::zeros(3 * n, 1, CV_64F);
    const cv::Mat y9 = RY.clone().reshape(1, 9);
    const cv::Mat I3 = cv::Mat::eye(3, 3, CV_64F);
    for (int i = 0; i < n; ++i) {
        cv::Mat ra, ta, tb;
        RA[static_cast<size_t>(i)].convertTo(ra, CV_64F);
        tA[static_cast<size_t>(i)].convertTo(ta, CV_64F);
        tB[static_cast<size_t>(i)].convertTo(tb, CV_64F);
        cv::Mat rows = S.rowRange(3 * i, 3 * i + 3);
        cv::Mat(-ra).copyTo(rows.colRange(0, 3));
        I3.copyTo(rows.colRange(3, 6));
        cv::Mat bi = ta.reshape(1, 3) - kron(tb.reshape(1, 3).t(), I3) * y9;
        bi.copyTo(b.rowRange(3 * i, 3 * i + 3));
    }
    return b;
}

} // namespace

void shah(const std::vector<cv::Mat>& RA, const std::vector<cv::Mat>& tA, const std::vector<cv::Mat>& RB,
          const std::vector<cv::Mat>& tB, cv::Mat& RX, cv::Mat& tX, cv::Mat& RY, cv::Mat& tY)
{
    checkSizes(RA, tA, RB, tB);
    const cv::SVD svd = rotationSvd(RA, RB);
    const cv::Mat x = svd.vt.row(0).t();   // right singular vector of the largest value
    const cv::Mat y = svd.u.col(0).clone(); // left singular vector of the largest value
    RX = nearestRotation(x.clone().reshape(1, 3));
    RY = nearestRotation(y.clone().reshape(1, 3));

    cv::Mat S;
    const cv::Mat b = translationSystem(RA, tA, tB, RY, S);
    cv::Mat t;
    cv::solve(S, b, t, cv::DECOMP_NORMAL);
    tX = t.rowRange(0, 3).clone();
    tY = t.rowRange(3, 6).clone();
}

bool solveAXYB(const std::vector<cv::Mat>& RA, const std::vector<cv::Mat>& tA, const std::vector<cv::Mat>& RB,
               const std::vector<cv::Mat>& tB, cv::Mat& RX, cv::Mat& tX, cv::Mat& RY, cv::Mat& tY,
               std::string& error, double gapTolerance)
{
    RX.release();
    tX.release();
    RY.release();
    tY.release();
    if (!(RA.size() == RB.size() && tA.size() == tB.size() && RA.size() == tA.size())) {
        error = "The pose lists differ in length.";
        return false;
    }
    if (RA.size() < 3) {
        error = "At least 3 pose pairs are needed, got " + std::to_string(RA.size()) + ".";
        return false;
    }
    const cv::SVD svd = rotationSvd(RA, RB);
    const double s0 = svd.w.at<double>(0), s1 = svd.w.at<double>(1);
    if (!(s0 > 0) || (s0 - s1) <= gapTolerance * s0) {
        error = "The robot poses do not determine the rotations (all motions about one axis, or repeated "
                "poses).";
        return false;
    }

    cv::Mat rx, ty_, ry, tx_;
    shah(RA, tA, RB, tB, rx, tx_, ry, ty_);

    cv::Mat S;
    translationSystem(RA, tA, tB, ry, S);
    cv::SVD ssvd(S, cv::SVD::NO_UV);
    const double smax = ssvd.w.at<double>(0), smin = ssvd.w.at<double>(ssvd.w.rows - 1);
    if (!(smax > 0) || smin <= 1e-9 * smax) {
        error = "The robot poses do not determine the translations.";
        return false;
    }

    // The solver returns both rotations transposed; the translations already
    // belong to X and Y.
    const cv::Mat RXo = rx.t(), RYo = ry.t();
    for (const cv::Mat* m : std::initializer_list<const cv::Mat*>{&RXo, &tx_, &RYo, &ty_})
        if (!cv::checkRange(*m)) {
            error = "The solution is not finite.";
            return false;
        }
    std::string message;
    if (!checkRotationMatrix(RXo, message) || !checkRotationMatrix(RYo, message)) {
        error = "The solution is not a rotation: " + message;
        return false;
    }
    RX = RXo.clone();
    RY = RYo.clone();
    tX = tx_.clone();
    tY = ty_.clone();
    return true;
}

} // namespace tfc
