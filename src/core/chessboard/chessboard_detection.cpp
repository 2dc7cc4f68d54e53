#include "core/chessboard/chessboard_detection.h"

#include "core/chessboard/chessboard.h"
#include "core/geometry/corner_refinement.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

int ChessboardOptions::detectorFlags() const
{
    return cv::CALIB_CB_ADAPTIVE_THRESH | (normalizeImage ? cv::CALIB_CB_NORMALIZE_IMAGE : 0);
}

std::vector<cv::Point3f> chessboardObjectPoints(cv::Size patternSize, float squareWidth, float squareHeight)
{
    std::vector<cv::Point3f> points;
    if (patternSize.width <= 0 || patternSize.height <= 0)
        return points;
    points.reserve(static_cast<size_t>(patternSize.area()));
    for (int r = 0; r < patternSize.height; ++r)
        for (int c = 0; c < patternSize.width; ++c)
            points.emplace_back(c * squareWidth, r * squareHeight, 0.f);
    return points;
}

bool detectChessboard(const cv::Mat& gray, const ChessboardOptions& options,
                      std::vector<cv::Point2f>& corners)
{
    corners.clear();
    if (gray.empty())
        return false;
    if (options.radon) {
        bool found = findChessboardCorners2(gray, options.patternSize, corners, 1, cv::noArray());
        if (!found) {
            cv::Mat equalized;
            cv::equalizeHist(gray, equalized);
            corners.clear();
            found = findChessboardCorners2(equalized, options.patternSize, corners, 1, cv::noArray());
        }
        // The detector refuses a grid that is only part of a larger board
        // itself (the same test as isWholeChessboard below).
        if (!found)
            corners.clear();
        return found;
    }
    const bool found = cv::findChessboardCorners(gray, options.patternSize, corners, options.detectorFlags());
    if (!found) {
        corners.clear();
        return false;
    }
    std::vector<cv::Point2f> refined;
    std::vector<int> windowSizes;
    refineCornersAdaptive(gray, corners, options.windowFactor, options.zeroZone, refined, windowSizes);
    corners = refined;
    // OpenCV's detector also reports a smaller pattern inside a larger board
    // (8x6 corners on a 9x6 board): the correspondences would be shifted by a
    // square without a word. Such a grid is no board of the requested size:
    // the squares must alternate as a whole board's, and the corner lines
    // beyond its ring of squares must not go on as a chessboard's. The test
    // only samples the image around the grid, so it costs next to nothing
    // beside the detector.
    if (!isWholeChessboard(gray, options.patternSize, corners)) {
        corners.clear();
        return false;
    }
    return true;
}
