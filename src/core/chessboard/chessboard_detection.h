#pragma once

// Finding a chessboard target in one image for calibration: the detection
// options, the board's object points and the detection itself (the
// program's own detector or OpenCV's followed by the adaptive refinement).

#include <opencv2/core.hpp>

#include <vector>

// Detection options, read afresh from the form at the start of every run.
struct ChessboardOptions {
    cv::Size patternSize;        // inner corners along x and y
    float squareWidth = 0;       // mm
    float squareHeight = 0;      // mm
    bool normalizeImage = false; // adds CALIB_CB_NORMALIZE_IMAGE to OpenCV's detector
    bool radon = false;          // the program's own detector instead of OpenCV's
    double windowFactor = 0.1;   // refinement window as a fraction of the neighbour distance
    cv::Size zeroZone{1, 1};     // refinement dead zone, px

    // Flags for cv::findChessboardCorners: adaptive threshold, plus
    // normalisation when asked for.
    int detectorFlags() const;
};

// The board's inner corners in its own frame (z = 0, mm), row by row: for
// row r and column c the point (c * w, r * h, 0). Point k belongs to the
// corner that the detectors return at position k. A pattern without corners
// gives an empty list.
std::vector<cv::Point3f> chessboardObjectPoints(cv::Size patternSize, float squareWidth, float squareHeight);

// Finds the inner corners of the board in an 8-bit gray image (px). The
// program's own detector (options.radon) is retried once on the equalised
// image and its corners are used as found; OpenCV's detector is followed by
// the adaptive sub-pixel refinement. An empty image is simply not a board.
// When no board is found, corners is empty. OpenCV errors propagate as
// cv::Exception.
bool detectChessboard(const cv::Mat& gray, const ChessboardOptions& options,
                      std::vector<cv::Point2f>& corners);
