#pragma once

// How well a calibrated camera explains the corners of one board view: the
// projections, per-corner errors, their range, the outliers above a
// threshold, and the board's first square as axes for the image overlay.
// Poses map board to camera: x_cam = R(rvec) x_board + tvec, in mm; image
// points are in px.

#include <opencv2/core.hpp>

#include <vector>

struct ViewReprojection {
    std::vector<cv::Point2f> projected; // one per object point, in order
    std::vector<double> errors;         // |measured - projected| per point, px
    double smallest = 1e100;            // smallest and largest error (1e100 and 0 without points)
    double largest = 0;
    double rms = 0;               // root mean square of the errors
    std::vector<size_t> outliers; // indices whose error exceeds the threshold, ascending
};

// Projects the object points (mm) with the pose and the intrinsics (K 3x3,
// kc as cv::projectPoints takes them) and measures each measured point
// against its projection. With a threshold of 0 or more, the points whose
// error is strictly above it are listed as outliers; a negative threshold
// lists none. measured and objectPoints must have the same length, else
// cv::Exception (StsBadSize); OpenCV's own errors propagate.
ViewReprojection reprojectView(const std::vector<cv::Point3f>& objectPoints,
                               const std::vector<cv::Point2f>& measured, const cv::Mat& rvec,
                               const cv::Mat& tvec, const cv::Mat& K, const cv::Mat& kc,
                               double threshold = -1);

// The board's first square as axes in the image: the projections p0..p3 of
// (0, 0, 0), (w, 0, 0), (0, h, 0) and (w, h, 0) give origin = p0 - ((p1 - p0)
// + (p2 - p0)) / 2, xEnd = p1 + (p1 - p3) / 2, yEnd = p2 + (p2 - p3) / 2 and
// size = half the longer of |p0 - p2| and |p0 - p1|, so the labels sit half a
// square outside the board. w and h are the square's width and height, mm.
struct BoardAxes {
    cv::Point2f origin, xEnd, yEnd;
    float size = 0;
};
BoardAxes projectBoardAxes(const cv::Mat& rvec, const cv::Mat& tvec, const cv::Mat& K, const cv::Mat& kc,
                           float squareWidth, float squareHeight);
