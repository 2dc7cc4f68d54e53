#pragma once

// One-dimensional fits used by the chessboard board model to predict the next
// corner of a row or column: a projective map of the line (the 1-D counterpart
// of a plane homography) and a least-squares polynomial.
//
// All three functions are stateless. Bad arguments raise cv::Exception through
// OpenCV's error mechanism; none of them ever returns NaN or infinity:
// non-finite input and input that does not determine the fit (rank-deficient)
// are refused with StsBadArg.

#include <opencv2/core.hpp>

namespace details {

// Centres and scales N scalar positions for a 1-D fit.
//   points: N values, one channel, CV_32F or CV_64F, a row or a column.
//   T:      receives the 2x2 CV_64F transform [[1/s, -m/s], [0, 1]], where m is
//           the mean and s the mean absolute deviation of the points.
//   normalized: receives N x 1 values of the points' type, (p - m) / s.
// Errors (reported by "details::normalizePoints1D"):
//   StsBadArg "points must have only one channel";
//   StsBadArg "points must be finite" (a NaN or an infinity among the points);
//   StsBadArg "all given points are identical" (s <= DBL_EPSILON);
//   StsUnsupportedFormat "unsupported point type" (neither CV_32F nor CV_64F).
void normalizePoints1D(cv::InputArray points, cv::OutputArray T, cv::OutputArray normalized);

// Fits x -> (h00 x + h01) / (h10 x + h11) to N >= 3 pairs (src_i, dst_i) by
// least squares on the normalised positions.
//   src, dst: N scalars each, one channel, the same type (CV_32F or CV_64F),
//             rows or columns.
// Returns the 2x2 CV_64F matrix H with unit Frobenius norm.
// Errors (reported by "details::findHomography1D", or by
// "details::normalizePoints1D" for the checks listed there):
//   StsBadArg "size mismatch", "data with only one channel are supported",
//   "src and dst must have the same type", "at least three point pairs are needed";
//   StsBadArg "point pairs do not determine a homography" when the linear
//   system is rank-deficient (for example when every destination is the same
//   affine image of 1/src), so that no unique map exists.
cv::Mat findHomography1D(cv::InputArray src, cv::InputArray dst);

// Least-squares polynomial of the given order through (x_i, y_i).
//   x: N values, one channel, any vector layout; y: N values, one channel, an
//   N x 1 column. coefficients: (order + 1) x 1, lowest power first, CV_64F
//   when x or y is CV_64F, otherwise CV_32F.
// Errors (reported by "details::polyfit"):
//   StsAssert "npoints == nypoints && npoints >= order+1";
//   StsBadArg "points must be finite";
//   StsBadArg "x values do not determine a polynomial of this order" when fewer
//   than order + 1 of the x values are distinct (the Vandermonde matrix is
//   rank-deficient).
void polyfit(const cv::Mat& x, const cv::Mat& y, cv::OutputArray coefficients, int order);

} // namespace details
