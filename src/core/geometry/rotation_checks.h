#pragma once

// Checks and measures of calibrated poses: whether a matrix is a rotation,
// the angle between two rotations and the largest translation of a list.

#include <opencv2/core.hpp>
#include <string>
#include <vector>

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
