#pragma once

// Calibration utilities used by the dialogs: pose helpers, corner
// refinement and calibration checks, vanishing-point geometry and the
// dual-device stereo calibration.

#include <opencv2/core.hpp>

#include <string>
#include <vector>

#include "core/calib/stereo_calib.h"
#include "core/geometry/vanishing_points.h"

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

// ---------------------------------------------------------------------------
// Corner refinement and calibration checks
// ---------------------------------------------------------------------------

// Refines chessboard corners to sub-pixel accuracy with cv::cornerSubPix,
// each corner alone with a search window of its own (half-size w, window
// (2w + 1) x (2w + 1) px):
//  - w = the Chebyshev distance (larger of |dx|, |dy|, px) from the corner to
//    its nearest neighbouring corner (Euclidean, exact search, so the result
//    does not depend on any random state) times
//    winFactor, truncated to an integer and raised to at least 3;
//  - near the image border w shrinks so that the window and the pixels that
//    cornerSubPix interpolates around it stay inside the image (a window
//    reaching past the border reads replicated pixels, which pull the corner
//    along the border), but not below 3;
//  - w never exceeds (min(cols, rows) - 5) / 2, the largest window
//    cornerSubPix accepts for the image, so the refinement never fails.
// Termination: 50 iterations or a step below 0.1 px.
//
// gray: one-channel CV_8U or CV_32F image; corners: detected corners (px);
// zeroZone: passed to cornerSubPix unchanged ((-1, -1) for none).
// Appends one refined corner and the w used for it per detected corner, in
// input order, to refined and winSizes (their old entries are kept). A
// single corner has no neighbour: it is refined with w = 3. No corners:
// nothing is appended.
// Errors (cv::Exception, nothing appended): StsAssert for an empty or
// multi-channel image, an image depth other than CV_8U/CV_32F, an image too
// small for any window (under 7 pixels on a side), or a winFactor that is
// negative or not finite; StsBadArg for a corner that is not finite or lies
// outside the image (beyond its pixels' outer edges, x < -0.5 or
// x > cols - 0.5, likewise y).
void refineCornersAdaptive(const cv::Mat& gray, const std::vector<cv::Point2f>& corners, double winFactor,
                           cv::Size zeroZone, std::vector<cv::Point2f>& refined, std::vector<int>& winSizes);

// Colour of an error value on a green - yellow - red ramp: minimum -> green
// (0, 1, 0), midpoint -> yellow (1, 1, 0), maximum -> red (1, 0, 0), both
// channels linear in between; values beyond the range are clamped to it.
// Result: x red, y green, z blue (always 0), each in [0, 1]; multiply by 255
// for 8-bit colours. Equal minimum and maximum give green for every value. A
// minimum above the maximum gives the same ramp run backwards (minimum green,
// maximum red). A NaN value, minimum or maximum gives red.
cv::Point3d errorColor(double value, double minimum, double maximum);

// Checks that R is a rotation matrix: 3x3, one channel, all elements finite,
// determinant 1 within 0.001 and R^T equal to R^-1 within 0.001 per element.
// Any depth is accepted; the elements are tested as doubles. Returns true
// when every test passes (msg is then left as it was); otherwise writes the
// reason of the first failing test into msg and returns false:
//   "Invalid size: rows != 3.", "Invalid size: cols != 3.",
//   "R matrix should have 1 channel.", "R matrix has non-finite elements.",
//   "Determinant is negative.", "Determinant isn't 1.",
//   "Transposed R isn't equal to its inverse: R^T != R^-1."
bool checkRotationMatrix(const cv::Mat& R, std::string& msg);

// Angle in degrees, in [0, 180], of the relative rotation R1 * R2^T of two
// 3x3 rotation matrices (any depth, used as doubles). The cosine is clamped
// to [-1, 1], so equal rotations give 0 even where rounding pushes the trace
// above 3. Non-finite elements give NaN. A matrix that is not 3x3 with one
// channel raises cv::Exception (StsAssert).
double rotationAngleDeg(const cv::Mat& R1, const cv::Mat& R2);

// Largest Euclidean length (mm) of a list of translation vectors, 0 for an
// empty list. Each matrix is read as the first column of a one-channel matrix
// with at least three rows (3x1 CV_64F from the calibration; other depths are
// converted); a translation with a non-finite element is skipped. Another
// shape raises cv::Exception (StsAssert) naming the failed condition.
double maxTranslationNorm(std::vector<cv::Mat> tvecs);

// Pixel distances between measured points and their reprojections, pairwise
// (px). The result has one entry per measured point; projected must hold at
// least as many points.
std::vector<double> reprojectionDistances(const std::vector<cv::Point2f>& measured,
                                          const std::vector<cv::Point2f>& projected);

// An errorColor value (components in 0..1) as 8-bit red, green, blue for the
// image overlays (truncated).
cv::Vec3b toRgb255(const cv::Point3d& colour);
