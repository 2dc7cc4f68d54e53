#pragma once

// The line detection run of the Manhattan-world calibration, without a
// window: undistortion of the loaded image when the camera has distortion,
// line segments by EdgeLineDetector, and their length statistics.

#include <opencv2/core.hpp>

#include <string>
#include <vector>

// Appends the segments of EdgeLineDetector(gray, lineFitError, minLineLength,
// maxLineGap, maxLineError) to `segments` as (x1, y1, x2, y2) in pixels; the
// list is not cleared. gray: 8-bit, one channel.
void detectLineSegments(const cv::Mat& gray, std::vector<cv::Vec4f>& segments, int minLineLength,
                        double lineFitError, double maxLineGap, double maxLineError);

struct LineLengthStatistics {
    int count = 0;
    double mean = 0;   // 0 without segments
    double stddev = 0; // sample deviation (divided by count - 1); 0 for fewer than two segments
};
LineLengthStatistics lineLengthStatistics(const std::vector<cv::Vec4f>& segments);

// Parameters: the intrinsics of the chosen camera as the sensor tree holds
// them and the detector's settings.
struct LineDetectionInput {
    cv::Mat gray;          // 8-bit, one channel: the image as loaded (never undistorted before)
    cv::Mat colour;        // the colour image as loaded (may be empty); undistorted alongside the grey one
    cv::Mat K;             // 3x3 camera matrix, empty when the camera is not calibrated
    cv::Mat kc;            // distortion coefficients (OpenCV's order), may be empty
    cv::Size storedSize;   // image size stored with the camera, (0, 0) when unknown
    int minLineLength = 0; // least chain pixels of a segment (below 9: 9; -1: from the image size)
    double lineFitError = 1.0;
    double maxLineGap = 6.0;
    double maxLineError = 1.3;
};

struct LineDetectionResult {
    bool ok = false;
    std::string error;         // why the run failed (no image, wrong image type)
    bool undistorted = false;  // some distortion coefficient was non-zero and the images were undistorted
    bool sizeMismatch = false; // storedSize is known and differs from the image's size
    cv::Mat gray, colour;      // the images the segments refer to (undistorted when `undistorted`)
    cv::Mat K;  // camera matrix of `gray`: the undistorted image's when `undistorted`, else the input's
    cv::Mat kc; // empty when `undistorted`, else the input's
    cv::Size imageSize; // size of `gray`
    std::vector<cv::Vec4f> segments;
    LineLengthStatistics statistics;
};

// The line detection run. The input images are not modified: undistortion
// works on copies, so a repeated run on the same input gives the same result.
// Undistortion happens only with a 3x3 K and a distortion coefficient that is
// not zero; the new camera matrix is getOptimalNewCameraMatrix(K, kc, size,
// alpha 0, same size, principal point centred). OpenCV errors are not caught.
LineDetectionResult runLineDetection(const LineDetectionInput& input);
