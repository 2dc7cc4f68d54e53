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

namespace {

// Whether OpenCV's detector finds the pattern one corner larger in either
// direction: then a board of the requested size is only part of the board in
// the image.
bool isPartOfLargerBoard(const cv::Mat& gray, const ChessboardOptions& options)
{
    const int flags = options.detectorFlags() | cv::CALIB_CB_FAST_CHECK;
    std::vector<cv::Point2f> larger;
    for (const cv::Size size : {cv::Size(options.patternSize.width + 1, options.patternSize.height),
                                cv::Size(options.patternSize.width, options.patternSize.height + 1)})
        if (cv::findChessboardCorners(gray, size, larger, flags))
            return true;
    return false;
}

} // namespace

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
        if (!found || isPartOfLargerBoard(gray, options)) {
            corners.clear();
            return false;
        }
        return true;
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
    // the squares must alternate as a whole board's, and the pattern one
    // corner larger must not be there.
    if (!isWholeChessboard(gray, options.patternSize, corners) || isPartOfLargerBoard(gray, options)) {
        corners.clear();
        return false;
    }
    return true;
}
