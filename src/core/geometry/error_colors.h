#pragma once

// Error values as colours on a green - yellow - red ramp, for image lists,
// corners and labels.

#include <opencv2/core.hpp>

// Colour of an error value on a green - yellow - red ramp: minimum -> green
// (0, 1, 0), midpoint -> yellow (1, 1, 0), maximum -> red (1, 0, 0), both
// channels linear in between; values beyond the range are clamped to it.
// Result: x red, y green, z blue (always 0), each in [0, 1]; multiply by 255
// for 8-bit colours. Equal minimum and maximum give green for every value. A
// minimum above the maximum gives the same ramp run backwards (minimum green,
// maximum red). A NaN value, minimum or maximum gives red.
cv::Point3d errorColor(double value, double minimum, double maximum);

// An errorColor value (components in 0..1) as 8-bit red, green, blue for the
// image overlays (truncated).
cv::Vec3b toRgb255(const cv::Point3d& colour);
