#include "core/geometry/camera_checks.h"

bool isCameraMatrix(const cv::Mat& K)
{
    if (K.dims != 2 || K.rows != 3 || K.cols != 3 || K.channels() != 1)
        return false;
    cv::Mat K64;
    K.convertTo(K64, CV_64F);
    return cv::checkRange(K64) && K64.at<double>(0, 0) > 0.0 && K64.at<double>(1, 1) > 0.0;
}

cv::Mat checkedCameraMatrix(const cv::Mat& K)
{
    if (!isCameraMatrix(K))
        return {};
    cv::Mat K64;
    K.convertTo(K64, CV_64F);
    return K64;
}

bool isAllowedDistortionCount(int count)
{
    return count == 4 || count == 5 || count == 8 || count == 12 || count == 14;
}

cv::Mat checkedDistortionRow(const cv::Mat& kc)
{
    if (kc.empty() || kc.dims != 2 || kc.channels() != 1 || (kc.rows != 1 && kc.cols != 1))
        return {};
    cv::Mat row;
    (kc.isContinuous() ? kc : kc.clone()).reshape(1, 1).convertTo(row, CV_64F);
    if (!cv::checkRange(row))
        return {};
    return row.clone();
}

std::string focalLengthsText(const cv::Mat& K)
{
    cv::Mat K64;
    K.convertTo(K64, CV_64F);
    return cv::format("fx = %g px, fy = %g px", K64.at<double>(0, 0), K64.at<double>(1, 1));
}

bool imagePointsWithinBound(const std::vector<cv::Point2f>& points, cv::Size imageSize, std::string& error)
{
    error.clear();
    const bool sized = imageSize.width > 0 && imageSize.height > 0;
    const double w = imageSize.width, h = imageSize.height;
    const double low[2] = {sized ? -w : -kImagePointBoundPx, sized ? -h : -kImagePointBoundPx};
    const double high[2] = {sized ? 2 * w : kImagePointBoundPx, sized ? 2 * h : kImagePointBoundPx};
    const std::string where = sized ? cv::format("for a %dx%d image", imageSize.width, imageSize.height)
                                    : std::string("for an image of unknown size");
    for (size_t k = 0; k < points.size(); ++k) {
        const double value[2] = {points[k].x, points[k].y};
        for (int axis = 0; axis < 2; ++axis) {
            // Written so that NaN fails too.
            if (value[axis] >= low[axis] && value[axis] <= high[axis])
                continue;
            error = cv::format("point %zu has %c = %g px, outside %g to %g px ", k, axis == 0 ? 'x' : 'y',
                               value[axis], low[axis], high[axis]) +
                    where;
            return false;
        }
    }
    return true;
}
