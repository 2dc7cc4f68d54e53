#pragma once

// The one check of a pinhole camera's intrinsics that every reader, solver
// and view uses: a camera matrix K = [fx 0 cx; 0 fy cy; 0 0 1] (px) and
// distortion coefficients in OpenCV's order (k1 k2 p1 p2 [k3 [k4 k5 k6
// [s1 s2 s3 s4 [tx ty]]]]).

#include <opencv2/core.hpp>

#include <string>
#include <vector>

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

// "fx = <K(0,0)> px, fy = <K(1,1)> px" of a 3x3 camera matrix of any depth:
// the values a refusal of focal lengths that are not positive names.
std::string focalLengthsText(const cv::Mat& K);

// How far outside its image an image point may lie and still be taken for a
// measurement in that image: up to one image width left or right of it and
// one image height above or below it, that is -w <= x <= 2w and
// -h <= y <= 2h (px) for a w x h image. When the image size is not known
// (width or height not positive), |x| and |y| up to kImagePointBoundPx.
// The bound is generous on purpose: it only keeps out numbers that no image
// can hold. Points near the end of the float range make OpenCV's
// cv::calibrateCamera end the whole program (LAPACK's error handler exits)
// instead of raising an error, so every run checks its image points with
// imagePointsWithinBound() before it calibrates.
constexpr double kImagePointBoundPx = 1e6;

// True when every point is finite and within the bound above. Otherwise
// false, with `error` naming the first point that is not (its index in
// `points`), its coordinate and value, and the range it had to lie in, for
// example "point 3 has x = 9.46e+35 px, outside -640 to 1280 px for a
// 640x480 image"; `error` is cleared on success.
bool imagePointsWithinBound(const std::vector<cv::Point2f>& points, cv::Size imageSize, std::string& error);
