#pragma once

// Images that let the user judge a decoded set: the decoded projector column
// and row as colour maps over the camera image, and the camera's picture
// warped into the projector's pixel grid.

#include <opencv2/core.hpp>

// Colour (B, G, R) of pixels without a valid value.
const cv::Vec3b invalidColour(248, 193, 110);

// A pixel is valid when neither decoded channel is NaN and its contrast
// (max - min of the min/max map) is at least threshold.
//
// Colour maps (CV_8UC3, camera size) of the decoded x and y: the valid values
// (at most the projector width / height) normalised to 0 .. 255 and coloured
// with OpenCV's HSV map; other pixels get invalidColour. Empty outputs for
// missing or mistyped maps.
void renderDecodedMaps(const cv::Mat& decoded, const cv::Mat& minMax, cv::Size projectorSize, int threshold,
                       cv::Mat& xImage, cv::Mat& yImage);

// The camera image (CV_8UC3, camera size, or empty) warped into a projector of
// projectorSize (CV_8UC3): each valid camera pixel inside the projector paints
// projector pixel (trunc y, trunc x), the last one visited winning; other
// projector pixels keep `fill`. Empty for missing or mistyped maps, a camera
// image of another type or size, or a non-positive projector size.
cv::Mat remapToProjector(const cv::Mat& decoded, const cv::Mat& minMax, const cv::Mat& camera,
                         cv::Size projectorSize, int threshold, const cv::Scalar& fill);
