#pragma once

// The AX=YB solver of robot-world / tool-flange calibration: given pose pairs
// A[i] (robot TCP in the robot base) and B[i] (target in the camera), find the
// fixed transforms X and Y with A[i] X = Y B[i] for every i.
//
// Method: M. Shah, "Solving the Robot-World/Hand-Eye Calibration Problem Using
// the Kronecker Product", ASME J. Mechanisms Robotics 5(3), 2013. Both
// rotations come from the dominant singular vectors of sum_i kron(RB[i], RA[i])
// and both translations from one linear least-squares system.
//
// Row-by-row vectors: vec(M) of a 3x3 matrix is its nine elements read row by
// row (a continuous Mat reshaped to 9 rows); then kron(P, Q) vec(M) =
// vec(P M Q^T).

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace tfc {

// Kronecker product of two one-channel matrices, (rows_A rows_B) x (cols_A
// cols_B), computed in double precision and returned in A's type. A
// multi-channel input raises cv::Exception (StsAssert, "tfc::kron").
cv::Mat kron(const cv::Mat& A, const cv::Mat& B);

// Closed-form AX=YB. Inputs: n pose pairs, RA[i] and RB[i] 3x3 CV_64F, tA[i]
// and tB[i] 3x1 CV_64F in one length unit. Outputs overwritten: RX, RY 3x3
// CV_64F, tX, tY 3x1 CV_64F in the unit of tA and tB.
//
// Orientation: for pairs with RA[i] Rx = Ry RB[i] and RA[i] tx + tA[i] =
// Ry tB[i] + ty, the results are RX = Rx^T and RY = Ry^T (both transposed),
// tX = tx and tY = ty. Callers that want X and Y themselves use solveAXYB.
//
// Lists of different lengths raise cv::Exception (StsAssert, "tfc::shah").
// Nothing else is checked: fewer than 3 pairs or rotations about a single
// axis give whatever the linear algebra yields.
void shah(const std::vector<cv::Mat>& RA, const std::vector<cv::Mat>& tA, const std::vector<cv::Mat>& RB,
          const std::vector<cv::Mat>& tB, cv::Mat& RX, cv::Mat& tX, cv::Mat& RY, cv::Mat& tY);

// AX=YB with the checks a calibration needs, returning X and Y themselves:
// A[i] X = Y B[i] (rotations not transposed). With A[i] the TCP pose in the
// base (x_base = RA x_tcp + tA) and B[i] the target pose in the camera
// (x_cam = RB x_target + tB), X is the target in the TCP (x_tcp = RX x_target
// + tX) and Y the camera in the base (x_base = RY x_cam + tY).
// Returns false, outputs released and the reason in `error`, when
//  - the lists differ in length or hold fewer than 3 pairs;
//  - the rotations do not determine X and Y (the two largest singular values
//    of the Kronecker sum agree to within gapTolerance, relatively: all
//    motions about one axis, or repeated poses);
//  - the translation system is singular;
//  - a result is not finite or not a rotation.
bool solveAXYB(const std::vector<cv::Mat>& RA, const std::vector<cv::Mat>& tA, const std::vector<cv::Mat>& RB,
               const std::vector<cv::Mat>& tB, cv::Mat& RX, cv::Mat& tX, cv::Mat& RY, cv::Mat& tY,
               std::string& error, double gapTolerance = 1e-4);

} // namespace tfc
