#include "core/calib/axyb_solver.h"

#include "core/geometry/rotation_checks.h"

#include <cmath>

namespace tfc {

cv::Mat kron(const cv::Mat& A, const cv::Mat& B)
{
    if (!(A.channels() == 1 && B.channels() == 1))
        cv::error(cv::Error::StsAssert, "A.channels() == 1 && B.channels() == 1", "tfc::kron", __FILE__,
                  __LINE__);
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

void checkSizes(const std::vector<cv::Mat>& RA, const std::vector<cv::Mat>& tA,
                const std::vector<cv::Mat>& RB, const std::vector<cv::Mat>& tB)
{
    if (!(RA.size() == RB.size() && tA.size() == tB.size() && RA.size() == tA.size()))
        cv::error(cv::Error::StsAssert,
                  "RA.size() == RB.size() && tA.size() == tB.size() && RA.size() == tA.size()", "tfc::shah",
                  __FILE__, __LINE__);
}

// Kronecker sum T = sum_i kron(RB[i], RA[i]) and its full SVD. The sum is
// accumulated element by element: kron(RB, RA)(3i + k, 3j + l) = RB(i, j) RA(k, l).
cv::SVD rotationSvd(const std::vector<cv::Mat>& RA, const std::vector<cv::Mat>& RB)
{
    cv::Matx<double, 9, 9> T = cv::Matx<double, 9, 9>::zeros();
    for (size_t n = 0; n < RA.size(); ++n) {
        cv::Matx33d a, b;
        RA[n].convertTo(cv::Mat(3, 3, CV_64F, a.val), CV_64F);
        RB[n].convertTo(cv::Mat(3, 3, CV_64F, b.val), CV_64F);
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                for (int k = 0; k < 3; ++k)
                    for (int l = 0; l < 3; ++l)
                        T(3 * i + k, 3 * j + l) += b(i, j) * a(k, l);
    }
    return cv::SVD(cv::Mat(T), cv::SVD::FULL_UV);
}

// Both translations from the final RY (the solver's transposed one): rows
// 3i..3i+2 read -RA[i] tX + tY = tA[i] - kron(tB[i]^T, I3) vec(RY), and the
// Kronecker product there is RY^T tB[i]. Solved through the normal
// equations; `normal` receives S^T S.
cv::Mat solveTranslations(const std::vector<cv::Mat>& RA, const std::vector<cv::Mat>& tA,
                          const std::vector<cv::Mat>& tB, const cv::Mat& RY, cv::Matx66d& normal)
{
    const cv::Matx33d ryT = cv::Matx33d(RY).t();
    normal = cv::Matx66d::zeros();
    cv::Vec6d rhs = cv::Vec6d::all(0);
    for (size_t n = 0; n < RA.size(); ++n) {
        cv::Matx33d ra;
        cv::Vec3d ta, tb;
        RA[n].convertTo(cv::Mat(3, 3, CV_64F, ra.val), CV_64F);
        tA[n].reshape(1, 3).convertTo(cv::Mat(3, 1, CV_64F, ta.val), CV_64F);
        tB[n].reshape(1, 3).convertTo(cv::Mat(3, 1, CV_64F, tb.val), CV_64F);
        const cv::Vec3d b = ta - ryT * tb;
        // Block row [-RA | I]: S^T S gains [RA^T RA, -RA^T; -RA, I] and
        // S^T b gains [-RA^T b; b].
        const cv::Matx33d raT = ra.t();
        const cv::Matx33d rtr = raT * ra;
        const cv::Vec3d top = -(raT * b);
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) {
                normal(r, c) += rtr(r, c);
                normal(r, 3 + c) -= raT(r, c);
                normal(3 + r, c) -= ra(r, c);
            }
            normal(3 + r, 3 + r) += 1.0;
            rhs[r] += top[r];
            rhs[3 + r] += b[r];
        }
    }
    cv::Mat t;
    cv::solve(cv::Mat(normal), cv::Mat(rhs), t, cv::DECOMP_LU);
    return t;
}

} // namespace

void shah(const std::vector<cv::Mat>& RA, const std::vector<cv::Mat>& tA, const std::vector<cv::Mat>& RB,
          const std::vector<cv::Mat>& tB, cv::Mat& RX, cv::Mat& tX, cv::Mat& RY, cv::Mat& tY)
{
    checkSizes(RA, tA, RB, tB);
    const cv::SVD svd = rotationSvd(RA, RB);
    const cv::Mat x = svd.vt.row(0).t();    // right singular vector of the largest value
    const cv::Mat y = svd.u.col(0).clone(); // left singular vector of the largest value
    RX = nearestRotation(x.clone().reshape(1, 3));
    RY = nearestRotation(y.clone().reshape(1, 3));

    cv::Matx66d normal;
    const cv::Mat t = solveTranslations(RA, tA, tB, RY, normal);
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
    const cv::Mat rx = nearestRotation(svd.vt.row(0).clone().reshape(1, 3));
    const cv::Mat ry = nearestRotation(svd.u.col(0).clone().reshape(1, 3));
    cv::Matx66d normal;
    const cv::Mat t = solveTranslations(RA, tA, tB, ry, normal);
    cv::Mat eigenvalues;
    cv::eigen(cv::Mat(normal), eigenvalues);
    const double emax = eigenvalues.at<double>(0), emin = eigenvalues.at<double>(5);
    if (!(emax > 0) || emin <= 1e-12 * emax) {
        error = "The robot poses do not determine the translations.";
        return false;
    }
    const cv::Mat tx_ = t.rowRange(0, 3).clone(), ty_ = t.rowRange(3, 6).clone();

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
