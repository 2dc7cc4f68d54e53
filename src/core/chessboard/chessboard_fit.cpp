#include "core/chessboard/chessboard_fit.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <vector>

namespace details {

namespace {

// A single row with more than one column is used as a column.
cv::Mat asColumn(cv::InputArray in)
{
    cv::Mat m = in.getMat();
    if (m.rows == 1 && m.cols > 1)
        m = m.reshape(m.channels(), m.cols);
    return m;
}

bool allFinite(const cv::Mat& m)
{
    const int depth = m.depth();
    if (depth != CV_32F && depth != CV_64F)
        return true;
    return cv::checkRange(m, true);
}

// Relative size below which a singular value counts as zero.
constexpr double kRankTolerance = 1e-12;

} // namespace

void normalizePoints1D(cv::InputArray points, cv::OutputArray T, cv::OutputArray normalized)
{
    cv::Mat p = asColumn(points);
    if (p.channels() > 1)
        cv::error(cv::Error::StsBadArg, "points must have only one channel", "details::normalizePoints1D",
                  __FILE__, __LINE__);
    if (!allFinite(p))
        cv::error(cv::Error::StsBadArg, "points must be finite", "details::normalizePoints1D", __FILE__,
                  __LINE__);

    const double mean = cv::mean(p)[0];
    cv::Mat dev;
    cv::absdiff(p, cv::Scalar::all(mean), dev);
    const double s = cv::mean(dev)[0];
    if (s <= DBL_EPSILON)
        cv::error(cv::Error::StsBadArg, "all given points are identical", "details::normalizePoints1D",
                  __FILE__, __LINE__);

    cv::Mat t = (cv::Mat_<double>(2, 2) << 1.0 / s, -mean / s, 0.0, 1.0);
    t.copyTo(T);

    const int n = static_cast<int>(p.total());
    switch (p.depth()) {
    case CV_32F: {
        normalized.create(n, 1, CV_32FC1);
        cv::Mat out = normalized.getMat();
        const cv::Mat src = p.isContinuous() ? p : p.clone();
        const float* in = src.ptr<float>();
        const float a = static_cast<float>(t.at<double>(0, 0));
        const float b = static_cast<float>(t.at<double>(0, 1));
        for (int i = 0; i < n; ++i)
            out.at<float>(i) = a * in[i] + b;
        break;
    }
    case CV_64F: {
        normalized.create(n, 1, CV_64FC1);
        cv::Mat out = normalized.getMat();
        const cv::Mat src = p.isContinuous() ? p : p.clone();
        const double* in = src.ptr<double>();
        const double a = t.at<double>(0, 0);
        const double b = t.at<double>(0, 1);
        for (int i = 0; i < n; ++i)
            out.at<double>(i) = a * in[i] + b;
        break;
    }
    default:
        cv::error(cv::Error::StsUnsupportedFormat, "unsupported point type", "details::normalizePoints1D",
                  __FILE__, __LINE__);
    }
}

cv::Mat findHomography1D(cv::InputArray _src, cv::InputArray _dst)
{
    const char* fn = "details::findHomography1D";
    cv::Mat src = asColumn(_src);
    cv::Mat dst = asColumn(_dst);
    if (src.rows != dst.rows)
        cv::error(cv::Error::StsBadArg, "size mismatch", fn, __FILE__, __LINE__);
    if (src.channels() != 1)
        cv::error(cv::Error::StsBadArg, "data with only one channel are supported", fn, __FILE__, __LINE__);
    if (dst.channels() != 1)
        cv::error(cv::Error::StsBadArg, "data with only one channel are supported", fn, __FILE__, __LINE__);
    if (src.type() != dst.type())
        cv::error(cv::Error::StsBadArg, "src and dst must have the same type", fn, __FILE__, __LINE__);
    if (src.rows < 3)
        cv::error(cv::Error::StsBadArg, "at least three point pairs are needed", fn, __FILE__, __LINE__);

    cv::Mat x, T1, y, T2;
    normalizePoints1D(src, T1, x);
    normalizePoints1D(dst, T2, y);

    // y = (h0 x + h1) / (h2 x + 1)  <=>  h0 x + h1 - h2 x y = y
    const int n = x.rows;
    cv::Mat A(n, 3, CV_64FC1);
    cv::Mat b(n, 1, CV_64FC1);
    if (x.depth() != CV_32F && x.depth() != CV_64F)
        cv::error(cv::Error::StsUnsupportedFormat, "unsupported type", fn, __FILE__, __LINE__);
    cv::Mat xd, yd;
    x.convertTo(xd, CV_64F);
    y.convertTo(yd, CV_64F);
    for (int i = 0; i < n; ++i) {
        const double xi = xd.at<double>(i);
        const double yi = yd.at<double>(i);
        A.at<double>(i, 0) = xi;
        A.at<double>(i, 1) = 1.0;
        A.at<double>(i, 2) = -xi * yi;
        b.at<double>(i) = yi;
    }

    cv::Mat w, U, Vt;
    cv::SVD::compute(A, w, U, Vt);
    const double wMax = w.at<double>(0);
    const double wMin = w.at<double>(w.rows - 1);
    if (!(wMax > 0) || !(wMin > wMax * kRankTolerance))
        cv::error(cv::Error::StsBadArg, "point pairs do not determine a homography", fn, __FILE__, __LINE__);
    cv::Mat ub = U.t() * b;
    cv::Mat h = Vt.t() * ub.mul(1.0 / w);

    cv::Mat Hn = (cv::Mat_<double>(2, 2) << h.at<double>(0), h.at<double>(1), h.at<double>(2), 1.0);
    cv::Mat H = T2.inv(cv::DECOMP_LU) * Hn * T1;
    const double scale = cv::norm(H, cv::NORM_L2);
    if (!(fabs(scale) > DBL_EPSILON))
        cv::error(cv::Error::StsAssert, "fabs(scale) > 2.2204460492503131e-016", fn, __FILE__, __LINE__);
    H /= scale;
    if (!cv::checkRange(H))
        cv::error(cv::Error::StsBadArg, "point pairs do not determine a homography", fn, __FILE__, __LINE__);
    return H;
}

void polyfit(const cv::Mat& x, const cv::Mat& y, cv::OutputArray coefficients, int order)
{
    const char* fn = "details::polyfit";
    const int npoints = x.checkVector(1);
    const int nypoints = y.checkVector(1);
    if (!(npoints == nypoints && npoints >= order + 1))
        cv::error(cv::Error::StsAssert, "npoints == nypoints && npoints >= order+1", fn, __FILE__, __LINE__);
    CV_Assert(order >= 0);

    cv::Mat xd, yd;
    x.convertTo(xd, CV_64F);
    y.convertTo(yd, CV_64F);
    xd = xd.reshape(1, npoints);
    yd = yd.reshape(1, npoints);
    if (!cv::checkRange(xd) || !cv::checkRange(yd))
        cv::error(cv::Error::StsBadArg, "points must be finite", fn, __FILE__, __LINE__);

    cv::Mat A(npoints, order + 1, CV_64FC1);
    for (int i = 0; i < npoints; ++i) {
        double* row = A.ptr<double>(i);
        row[0] = 1.0;
        for (int k = 1; k <= order; ++k)
            row[k] = row[k - 1] * xd.at<double>(i);
    }

    // A Vandermonde matrix has full column rank exactly when at least
    // order + 1 of the x values differ; test that directly, since the
    // singular values of a badly scaled but regular matrix can be tiny.
    {
        std::vector<double> xs(xd.begin<double>(), xd.end<double>());
        std::sort(xs.begin(), xs.end());
        const int distinct = static_cast<int>(std::unique(xs.begin(), xs.end()) - xs.begin());
        if (distinct < order + 1)
            cv::error(cv::Error::StsBadArg, "x values do not determine a polynomial of this order", fn,
                      __FILE__, __LINE__);
    }

    cv::Mat c;
    cv::solve(A, yd, c, cv::DECOMP_SVD);
    if (!cv::checkRange(c))
        cv::error(cv::Error::StsBadArg, "x values do not determine a polynomial of this order", fn, __FILE__,
                  __LINE__);
    const int outDepth = (x.depth() == CV_64F || y.depth() == CV_64F) ? CV_64F : CV_32F;
    c.convertTo(coefficients, outDepth);
}

} // namespace details
