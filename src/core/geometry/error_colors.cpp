#include "core/geometry/error_colors.h"

#include <algorithm>
#include <cmath>

cv::Point3d errorColor(double value, double minimum, double maximum)
{
    const double a = minimum, b = maximum;
    if (std::isnan(value) || std::isnan(a) || std::isnan(b))
        return {1, 0, 0};
    if (a == b)
        return {0, 1, 0};
    // clamp into the range, which runs from a to b in either direction
    double x = std::max(value, std::min(a, b));
    x = std::min(x, std::max(a, b));
    const double mid = a + (b - a) * 0.5;
    const bool nearMinimum = (a < b) ? (x < mid) : (x > mid);
    if (nearMinimum)
        return {2 * (x - a) / (b - a), 1, 0};
    return {1, 2 * (b - x) / (b - a), 0};
}

cv::Vec3b toRgb255(const cv::Point3d& colour)
{
    return cv::Vec3b(static_cast<uchar>(static_cast<int>(colour.x * 255)),
                     static_cast<uchar>(static_cast<int>(colour.y * 255)),
                     static_cast<uchar>(static_cast<int>(colour.z * 255)));
}
