#include "core/structured_light/decoded_views.h"

#include <opencv2/imgproc.hpp>

#include <limits>

namespace {

bool mapsUsable(const cv::Mat& decoded, const cv::Mat& minMax)
{
    return !decoded.empty() && decoded.type() == CV_32FC2 && !minMax.empty() && minMax.type() == CV_8UC2 &&
           minMax.size() == decoded.size();
}

cv::Mat colourChannel(const cv::Mat& channel, int limit)
{
    const cv::Mat mask = channel <= static_cast<float>(limit); // NaN compares false
    cv::Mat normalised;
    double lo = 0, hi = 0;
    cv::minMaxLoc(channel, &lo, &hi, nullptr, nullptr, mask);
    cv::Mat scaled(channel.size(), CV_8UC1, cv::Scalar(0));
    if (cv::countNonZero(mask) > 0 && hi > lo) {
        cv::Mat tmp = (channel - lo) * (255.0 / (hi - lo));
        tmp.convertTo(scaled, CV_8U);
        scaled.setTo(0, ~mask);
    }
    cv::Mat coloured;
    cv::applyColorMap(scaled, coloured, cv::COLORMAP_HSV);
    coloured.setTo(cv::Scalar(invalidColour[0], invalidColour[1], invalidColour[2]), ~mask);
    return coloured;
}

} // namespace

void renderDecodedMaps(const cv::Mat& decoded, const cv::Mat& minMax, cv::Size projectorSize, int threshold,
                       cv::Mat& xImage, cv::Mat& yImage)
{
    xImage.release();
    yImage.release();
    if (!mapsUsable(decoded, minMax))
        return;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    cv::Mat valid = decoded.clone();
    for (int r = 0; r < valid.rows; ++r) {
        cv::Vec2f* d = valid.ptr<cv::Vec2f>(r);
        const cv::Vec2b* mm = minMax.ptr<cv::Vec2b>(r);
        for (int c = 0; c < valid.cols; ++c)
            if (d[c][0] != d[c][0] || d[c][1] != d[c][1] || mm[c][1] - mm[c][0] < threshold)
                d[c] = cv::Vec2f(nan, nan);
    }
    cv::Mat channels[2];
    cv::split(valid, channels);
    xImage = colourChannel(channels[0], projectorSize.width);
    yImage = colourChannel(channels[1], projectorSize.height);
}

cv::Mat remapToProjector(const cv::Mat& decoded, const cv::Mat& minMax, const cv::Mat& camera,
                         cv::Size projectorSize, int threshold, const cv::Scalar& fill)
{
    if (!mapsUsable(decoded, minMax) || projectorSize.width <= 0 || projectorSize.height <= 0)
        return cv::Mat();
    if (!camera.empty() && (camera.type() != CV_8UC3 || camera.size() != decoded.size()))
        return cv::Mat();
    cv::Mat projector(projectorSize, CV_8UC3, fill);
    if (camera.empty())
        return projector;
    for (int r = 0; r < decoded.rows; ++r) {
        const cv::Vec2f* d = decoded.ptr<cv::Vec2f>(r);
        const cv::Vec2b* mm = minMax.ptr<cv::Vec2b>(r);
        const cv::Vec3b* cam = camera.ptr<cv::Vec3b>(r);
        for (int c = 0; c < decoded.cols; ++c) {
            const float x = d[c][0], y = d[c][1];
            if (x != x || y != y || mm[c][1] - mm[c][0] < threshold)
                continue;
            if (x < 0 || y < 0 || x >= projectorSize.width || y >= projectorSize.height)
                continue;
            projector.at<cv::Vec3b>(static_cast<int>(y), static_cast<int>(x)) = cam[c];
        }
    }
    return projector;
}
