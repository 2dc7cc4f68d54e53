#pragma once

// Adaptive sub-pixel refinement of chessboard corners, and the pixel
// distances between measured and reprojected corners.

#include <opencv2/core.hpp>
#include <vector>

// Refines chessboard corners to sub-pixel accuracy with cv::cornerSubPix,
// each corner alone with a search window of its own (half-size w, window
// (2w + 1) x (2w + 1) px):
//  - w = the Chebyshev distance (larger of |dx|, |dy|, px) from the corner to
//    its nearest neighbouring corner (Euclidean, exact search, so the result
//    does not depend on any random state) times
//    winFactor, truncated to an integer and raised to at least 3;
//  - near the image border w shrinks so that the window and the pixels that
//    cornerSubPix interpolates around it stay inside the image (a window
//    reaching past the border reads replicated pixels, which pull the corner
//    along the border), but not below 3;
//  - w never exceeds (min(cols, rows) - 5) / 2, the largest window
//    cornerSubPix accepts for the image, so the refinement never fails.
// Termination: 50 iterations or a step below 0.1 px.
//
// gray: one-channel CV_8U or CV_32F image; corners: detected corners (px);
// zeroZone: passed to cornerSubPix unchanged ((-1, -1) for none).
// Appends one refined corner and the w used for it per detected corner, in
// input order, to refined and winSizes (their old entries are kept). A
// single corner has no neighbour: it is refined with w = 3. No corners:
// nothing is appended.
// Errors (cv::Exception, nothing appended): StsAssert for an empty or
// multi-channel image, an image depth other than CV_8U/CV_32F, an image too
// small for any window (under 7 pixels on a side), or a winFactor that is
// negative or not finite; StsBadArg for a corner that is not finite or lies
// outside the image (beyond its pixels' outer edges, x < -0.5 or
// x > cols - 0.5, likewise y).
void refineCornersAdaptive(const cv::Mat& gray, const std::vector<cv::Point2f>& corners, double winFactor,
                           cv::Size zeroZone, std::vector<cv::Point2f>& refined, std::vector<int>& winSizes);

// Pixel distances between measured points and their reprojections, pairwise
// (px). The result has one entry per measured point; projected must hold at
// least as many points.
std::vector<double> reprojectionDistances(const std::vector<cv::Point2f>& measured,
                                          const std::vector<cv::Point2f>& projected);
