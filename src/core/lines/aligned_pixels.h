#pragma once

// Level-line angles and the pixels along a line segment, for the a contrario
// validation of fitted segments (see NfaTable).

#include <opencv2/core.hpp>

#include <vector>

// Orientation in [0, pi] of the vector (x, y) from a 1025-entry arctangent
// table; opposite vectors give the same angle, (0, 0) gives 0.
double levelLineAngle(double y, double x);

// Pixels (x = column, y = row) of the rectangle of width 2 centred on the
// segment from start to end, column by column, each column from low to high y.
// Appended to `out` (which is cleared first).
void supportRectanglePixels(cv::Point2d start, cv::Point2d end, std::vector<cv::Point>& out);

// Number of pixels and number of aligned pixels. Among the pixels strictly
// inside the border of the 8-bit image `source`, a pixel is aligned when its
// level-line angle (Prewitt gradient of the source, turned by 90 degrees) is
// within pi/8 of the line angle theta (in [0, pi)), modulo pi.
struct AlignedCount {
    int count = 0;
    int aligned = 0;
};
AlignedCount countAlignedPixels(const cv::Mat& source, double theta, const cv::Point* pixels, size_t n);
