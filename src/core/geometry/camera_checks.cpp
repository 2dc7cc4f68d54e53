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
