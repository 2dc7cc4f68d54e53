#pragma once

// The one check of a pinhole camera's intrinsics that every reader, solver
// and view uses: a camera matrix K = [fx 0 cx; 0 fy cy; 0 0 1] (px) and
// distortion coefficients in OpenCV's order (k1 k2 p1 p2 [k3 [k4 k5 k6
// [s1 s2 s3 s4 [tx ty]]]]).

#include <opencv2/core.hpp>

// True when K is a 3x3 one-channel matrix of any depth whose elements are
// finite and whose focal lengths fx = K(0, 0) and fy = K(1, 1) are positive.
bool isCameraMatrix(const cv::Mat& K);

// K as a 3x3 CV_64F copy when isCameraMatrix(K), else an empty matrix.
cv::Mat checkedCameraMatrix(const cv::Mat& K);

// True for the numbers of distortion coefficients that OpenCV's camera
// models take: 4, 5, 8, 12 and 14.
bool isAllowedDistortionCount(int count);

// The distortion coefficients as one row (1xN CV_64F copy) when kc is one
// row or one column of finite numbers in one channel, else an empty matrix.
// The number of coefficients is not checked here (see isAllowedDistortionCount).
cv::Mat checkedDistortionRow(const cv::Mat& kc);
