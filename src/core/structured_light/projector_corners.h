#pragma once

// Chessboard corners carried from the camera into the projector through local
// homographies (Moreno and Taubin, "Simple, accurate, and robust
// projector-camera calibration", 2012): around each camera corner, the camera
// pixels whose decoded projector position is valid are fitted by a
// homography, which maps the corner's sub-pixel position into the projector.

#include <opencv2/core.hpp>

#include <string>
#include <vector>

struct ProjectorCornerOptions {
    int window = 10;              // window size, px (odd sizes round down to even)
    int threshold = 5;            // least contrast (max - min of the min/max map), grey levels
    double reprojThreshold = 0.5; // RANSAC reprojection threshold, projector px
    bool lmeds = false;           // LMEDS instead of RANSAC
    double minValidShare = 0.1;   // least share of the window's pixels that must be valid
    // After the robust fit, the corner comes from a least-squares fit over the
    // samples within max(reprojThreshold, inlierFloor) of the robust model
    // (LMEDS: within inlierFloor). The decoded targets are whole projector
    // pixels, so honest samples miss by up to about 0.7 px. 0 keeps the
    // robust model as it is.
    double inlierFloor = 1.0;
};

// For each camera corner (camera px) of a set with decoded map `decoded`
// (CV_32FC2) and min/max map `minMax` (CV_8UC2, same size): the projector
// corner (projector px) or a failure. projCorners receives the corners that
// succeeded in corner order, failedCorners the ascending positions of the
// others; together they account for every camera corner once. A corner fails
// when its window reaches the map's border, when fewer than four pixels (or
// fewer than minValidShare of the window) are valid, when the fit fails or
// gives a non-finite point. OpenCV errors of the fit are caught: their
// messages go to `messages` (when given) and the corner fails.
// Maps of the wrong type or of different sizes fail every corner.
void extractProjectorCorners(const cv::Mat& decoded, const cv::Mat& minMax,
                             const std::vector<cv::Point2f>& camCorners,
                             std::vector<cv::Point2f>& projCorners, std::vector<int>& failedCorners,
                             const ProjectorCornerOptions& options,
                             std::vector<std::string>* messages = nullptr);
