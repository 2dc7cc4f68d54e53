#pragma once

// Dual-device stereo calibration (stereoCalibrateDual): two devices (two
// cameras, or a camera and a projector) that saw the same chessboard views,
// each with its own image size and its own calibration flags, are calibrated
// jointly.

#include "core/calib/lev_marq.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include <utility>
#include <vector>

// How the joint refinement of stereoCalibrateDual ended.
struct StereoRefinementReport {
    // The solver's end (LevMarq::Stop): Converged is the only converged one.
    // At each of the others a further full step would still move the
    // reprojected points by epsilon or more (remainingShift), so the result
    // depends on where the refinement stopped.
    using End = LevMarq::Stop;
    End end = End::Converged;
    int iterations = 0;    // accepted steps
    int maxIterations = 0; // the step limit the criteria set (1..1000)
    double epsilon = 0;    // the convergence threshold, pixels
    // How far a further full step from the result would move the reprojected
    // points, RMS over the points of both devices, pixels. When converged,
    // the shift of the final full step, which the result has taken unless it
    // raised the error.
    double remainingShift = 0;

    bool converged() const { return end == End::Converged; }
};

// Calibrates two devices from the same board views and returns the RMS
// reprojection error in pixels over both devices and all points.
//
// objectPoints:   one vector<Point3f> per view, the board points (any length
//                 unit, "mm" in the program; T comes back in that unit).
// imagePoints1/2: one vector<Point2f> per view, the corners in device 1 / 2 in
//                 the order of the board points, pixels.
// cameraMatrix1/2, distCoeffs1/2: in and out. On return 3x3 CV_64F, and 5
//                 coefficients (k1 k2 p1 p2 k3) for a device whose flags hold
//                 none of CALIB_RATIONAL_MODEL, CALIB_THIN_PRISM_MODEL,
//                 CALIB_TILTED_MODEL, else 14 (k1 k2 p1 p2 k3 k4 k5 k6 s1..s4
//                 taux tauy), CV_64F, a column if a column was given, else a
//                 row. Given coefficients (at most 14) fill the leading
//                 entries; a five-coefficient device reads only the first
//                 five of them. They are read only when the device's flags ask for
//                 given values (CALIB_USE_INTRINSIC_GUESS, CALIB_FIX_INTRINSIC,
//                 CALIB_FIX_K1..K6, CALIB_FIX_TANGENT_DIST; the camera matrix
//                 also for CALIB_FIX_ASPECT_RATIO and CALIB_FIX_FOCAL_LENGTH).
// imageSize1/2:   each device's image size, used by the device's own initial
//                 calibration (skipped under CALIB_USE_INTRINSIC_GUESS or
//                 CALIB_FIX_INTRINSIC).
// R, T:           out: pose of device 2 relative to device 1, x2 = R x1 + T.
//                 R comes back 3x3 and T 3x1, CV_64F. When either flag set holds
//                 CALIB_USE_EXTRINSIC_GUESS they are also in: R a 3x3 rotation or
//                 3 values of a rotation vector, T 3 values, CV_32F or CV_64F;
//                 they keep their storage, shape and type, and R comes back as a
//                 rotation vector if it was given as one.
// E, F:           optional out: essential and fundamental matrix, 3x3 CV_64F,
//                 x2^T E x1 = 0 in normalised and x2^T F x1 = 0 in pixel
//                 coordinates; F is scaled to F(2,2) = 1 when F(2,2) != 0.
// perViewErrors:  optional out: nviews x 2 CV_64F, RMS error of each view in
//                 device 1 (column 0) and device 2 (column 1).
// flags1/2:       OpenCV calibration flags of device 1 / device 2. Per device:
//                 the CALIB_FIX_*, CALIB_ZERO_TANGENT_DIST, model and guess
//                 flags; CALIB_FIX_INTRINSIC in one set fixes that device's
//                 intrinsics, in both sets only the poses are refined. Joint (in
//                 either set): CALIB_SAME_FOCAL_LENGTH (both devices share fx and
//                 fy, estimated from both; if one device's focal length is fixed
//                 the other takes it, if both are, each keeps its own; principal
//                 points stay separate),
//                 CALIB_USE_LU, CALIB_USE_EXTRINSIC_GUESS.
// criteria:       termination of the joint refinement: at most maxCount
//                 accepted steps (COUNT); converged once a further full
//                 Gauss-Newton step would move the reprojected points by less
//                 than epsilon pixels, RMS over the points of both devices (EPS).
//                 That full step is then taken too (one more evaluation), and
//                 kept unless it raises the error.
// report:         optional out: how the joint refinement ended (written on
//                 success only), so that a caller can tell a converged result
//                 from one that stopped before converging, and why it stopped.
//
// Failures raise cv::Exception and leave the camera matrices, coefficients,
// R, T, E, F and perViewErrors as they were: malformed views (StsAssert,
// StsUnsupportedFormat), more than 14 coefficients (StsAssert), a missing
// or non-3x3 camera matrix under CALIB_USE_INTRINSIC_GUESS or
// CALIB_FIX_INTRINSIC, a malformed extrinsic guess, non-finite points (StsBadArg), image points far
// outside the image (imagePointsWithinBound) of a device whose own calibration starts it (StsBadArg),
// errors of OpenCV's own
// calibration routines, and a result that is not finite (StsNoConv).
double stereoCalibrateDual(
    cv::InputArrayOfArrays objectPoints, cv::InputArrayOfArrays imagePoints1,
    cv::InputArrayOfArrays imagePoints2, cv::InputOutputArray cameraMatrix1, cv::InputOutputArray distCoeffs1,
    cv::InputOutputArray cameraMatrix2, cv::InputOutputArray distCoeffs2, cv::Size imageSize1,
    cv::Size imageSize2, cv::InputOutputArray R, cv::InputOutputArray T, cv::OutputArray E, cv::OutputArray F,
    cv::OutputArray perViewErrors, int flags1, int flags2,
    cv::TermCriteria criteria = cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30, 1e-6),
    StereoRefinementReport* report = nullptr);

// Given distortion coefficients that stereoCalibrateDual leaves out of a
// device's start values. A device whose flags select none of
// CALIB_RATIONAL_MODEL, CALIB_THIN_PRISM_MODEL, CALIB_TILTED_MODEL works with
// k1, k2, p1, p2, k3 only: when its flags read the given coefficients
// (CALIB_USE_INTRINSIC_GUESS, CALIB_FIX_INTRINSIC, CALIB_FIX_K1..K6,
// CALIB_FIX_TANGENT_DIST), those after the fifth are dropped from the start
// and the device comes back with five.
struct CoefficientCut {
    int given = 0; // number of coefficients given
    // The non-zero coefficients left out, in OpenCV's order: (index, value),
    // index 5 for k4 up to 13 for tauy. A zero one changes nothing by going.
    std::vector<std::pair<int, double>> leftOut;
    bool empty() const { return leftOut.empty(); }
};

// What stereoCalibrateDual cuts of `distCoeffs` (one row or column of at
// most 14 values, read as it reads them: shapes other than 4, 5, 8, 12 or 14
// values count as zero) for a device with `flags`. Empty when the flags
// select an extended model or do not read the given coefficients. Raises
// cv::Exception for more than 14 coefficients or a matrix that is neither a
// row nor a column.
CoefficientCut startCoefficientCut(cv::InputArray distCoeffs, int flags);

// Name of the distortion coefficient at `index` in OpenCV's order: "k1",
// "k2", "p1", "p2", "k3", "k4", "k5", "k6", "s1" .. "s4", "taux", "tauy";
// "?" outside 0..13.
const char* distortionCoefficientName(int index);

namespace stereo_calib {

// The joint problem after initialisation, before refinement. Exposed so
// that its derivatives can be checked against finite differences.
//
// Parameter vector (n views): 0-2 rotation vector and 3-5 translation of the
// relative pose (device 1 -> device 2); 6(i+1) .. 6(i+1)+5 the board pose of
// view i in device 1 (rotation vector, translation); when intrinsics are
// refined, 6(n+1) + 18k .. +17 device k's fx, fy, cx, cy and its 14
// distortion coefficients (k = 0, 1).
struct StereoProblem {
    cv::Mat objectPoints;     // 1 x pointsTotal, CV_64FC3
    cv::Mat imagePoints[2];   // 1 x pointsTotal, CV_64FC2
    std::vector<int> npoints; // points per view
    int nimages = 0, pointsTotal = 0, maxPoints = 0;

    cv::Matx33d K[2];
    cv::Mat dist[2];                // 1 x 14, CV_64F
    double aspectRatio[2] = {0, 0}; // fx / fy held fixed, or 0
    int flags[2] = {0, 0};          // completed flags of each device
    bool refineIntrinsics = false;
    int focalLeader = -1; // under CALIB_SAME_FOCAL_LENGTH: the device whose fx, fy both use

    cv::Mat param; // start values, CV_64F column
    cv::Mat mask;  // CV_8U column, 1 = free

    int intrinsicStart(int k) const { return 6 * (nimages + 1) + 18 * k; }

    // Sum of squared residuals at `param`, after writing the ties
    // (CALIB_FIX_ASPECT_RATIO, CALIB_SAME_FOCAL_LENGTH) into `param` and, if
    // given, into `prevParam`; also updates K and dist. When JtJ and JtErr are
    // given, adds J^T J into the upper triangle of JtJ and J^T e into JtErr.
    // perViewErrors (nimages x 2 CV_64F) and residuals (all residuals, device
    // 1 then 2 per view, x then y per point) are filled when given.
    double evaluate(cv::Mat& param, cv::Mat* prevParam, cv::Mat* JtJ, cv::Mat* JtErr,
                    cv::Mat* perViewErrors = nullptr, std::vector<double>* residuals = nullptr);

private:
    // Buffers of evaluate, allocated once for the largest view.
    struct Workspace {
        cv::Mat projected, jacobian[2], block, residual, G[2], g[2];
        std::vector<int> index;
    } work_;
};

// Prepares the problem as the calibration does: K and D are the prepared
// camera matrices (3x3 CV_64F) and coefficients (5 or 14, CV_64F), Rguess and
// Tguess the extrinsic guess (empty when none).
StereoProblem initStereoProblem(cv::InputArrayOfArrays objectPoints, cv::InputArrayOfArrays imagePoints1,
                                cv::InputArrayOfArrays imagePoints2, const cv::Mat K[2], const cv::Mat D[2],
                                const cv::Size imageSize[2], const cv::Mat& Rguess, const cv::Mat& Tguess,
                                int flags1, int flags2);

} // namespace stereo_calib
