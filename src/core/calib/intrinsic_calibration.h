#pragma once

// The intrinsic calibration run of one camera: its chessboard images in, its
// camera matrix K and distortion coefficients kc out, with one record per
// image. The run finds the board in every selected image (through
// detectBoards() and the caller's cache, unless corners stand in for the
// image), calibrates with OpenCV's cv::calibrateCamera, and measures every
// corner of every calibrated view against its projection, listing the
// corners above a threshold as outliers that the next run can leave out.
//
// Poses map board to camera: x_cam = R(rvec) x_board + tvec, tvec in mm.
// Image points are in px, board points in mm.

#include "core/chessboard/detection_pass.h"

#include <opencv2/core.hpp>

#include <functional>
#include <optional>
#include <string>
#include <vector>

// The corners of one view of a board and the board points they belong to.
struct BoardCorners {
    std::vector<cv::Point2f> imagePoints;  // px
    std::vector<cv::Point3f> objectPoints; // mm, in the board's frame; one per image point
};

// One image of the run.
struct IntrinsicImage {
    std::string path;
    bool selected = true; // an image that is not selected takes no part
    // Corners that stand in for detection: those of the image's corner file,
    // or those an earlier run kept after removing outliers. Nothing: the
    // board is detected in the image.
    std::optional<BoardCorners> corners;
};

struct IntrinsicCalibrationInput {
    std::vector<IntrinsicImage> images; // in list order
    ChessboardOptions board;            // pattern, square size (mm) and detector
    bool mirror = false;                // images are flipped left-right before detection
    // Starting values: K 3x3 (used with CALIB_USE_INTRINSIC_GUESS, needed for
    // a board that is not planar) and kc as a row of coefficients; both may
    // be empty.
    cv::Mat K;
    cv::Mat kc;
    int flags = 0; // cv::CALIB_* flags
    cv::TermCriteria criteria{cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-3};
    // Corners whose reprojection error is strictly above this (px) are
    // outliers; a negative value lists none.
    double outlierThreshold = -1;
};

// A calibrated view: its pose and how well the calibration explains it.
struct IntrinsicViewFit {
    cv::Mat rvec;           // 3x1 CV_64F, board to camera (Rodrigues)
    cv::Mat tvec;           // 3x1 CV_64F, mm
    double reprojError = 0; // RMS over the view's corners, px, as cv::calibrateCamera gives it
    // Smallest and largest corner error over all the view's corners, the
    // outliers included, px.
    double smallest = 1e100;
    double largest = 0;
    std::vector<size_t> outliers; // indices into the view's corners, ascending
    // The view without its outliers: its corners, their projections with the
    // view's pose and the run's K and kc, and their errors (px).
    BoardCorners kept;
    std::vector<cv::Point2f> reprojectedPoints;
    std::vector<double> reprojErrors;
};

// What the run knows of one image.
struct IntrinsicView {
    // The detection made or reused for the image; nothing when it was not
    // selected, when corners stood in for it, or when the run stopped first.
    std::optional<BoardDetection> detection;
    bool reused = false; // the detection came from the cache
    // The image's board: the corners that stood in, or those detected.
    // Also given for an image that is not selected when the cache or its
    // stand-in corners know its board. Nothing when no board is known.
    std::optional<BoardCorners> corners;
    bool used = false;                   // calibrated with (selected, with a board)
    std::optional<IntrinsicViewFit> fit; // for every used view of a completed calibration
};

enum class IntrinsicCalibrationError {
    None,
    NoViews,         // no selected image has a board
    ImageUnreadable, // the first used image cannot be read for the image size; the message is its path
    NonPlanarNeedsK, // the board is not planar (z of its first point is not 0) and no K was given
    Aborted,         // a callback asked to stop
    // A used view's image points lie far outside the image
    // (imagePointsWithinBound with the run's image size): refused before
    // anything is calibrated; `refusedImage` is the view's image and the
    // message names the point and its value.
    PointsOutOfBounds,
    OpenCvError,           // OpenCV raised; the message is OpenCV's
    NotFinite,             // the calibration returned values that are not finite
    NonPositiveFocalLength // fx or fy came out not above 0: no camera; the message gives both
};

struct IntrinsicCalibrationResult {
    IntrinsicCalibrationError error = IntrinsicCalibrationError::None;
    std::string message;     // the reason when error is not None
    size_t refusedImage = 0; // PointsOutOfBounds: index of the image whose points were refused
    // One per input image, in order, also when the run failed: what the run
    // came to know (detections and boards; the fits only on success).
    std::vector<IntrinsicView> views;
    cv::Size imageSize;       // px, of the first used image
    cv::Mat K;                // 3x3 CV_64F
    cv::Mat kc;               // distortion coefficients as cv::calibrateCamera returns them
    cv::Mat stdDevIntrinsics; // OpenCV's order fx, fy, cx, cy, k1, k2, p1, p2, k3, ...
    double rms = 0;           // over all corners, px
    // The input's board (pattern, square size in mm, detection options):
    // the fits' poses are this board's, also once the caller's options change.
    ChessboardOptions board;
    bool ok() const { return error == IntrinsicCalibrationError::None; }
    // Whether a used view has outliers.
    bool hasOutliers() const;
};

// Told during the run. `image` follows detectBoards(): after each image, in
// order, with its outcome (nothing for an image that is not selected) and
// whether it was reused from the cache; an image whose corners stand in is
// told as found and not reused. `beforeCalibration` is told once the views
// are collected and the image size is known, right before the (long)
// calibration. Either returning false stops the run (Aborted).
struct IntrinsicRunProgress {
    DetectionProgress image;
    std::function<bool()> beforeCalibration;
};

// Runs the calibration of one camera. The board points of a detected view
// are the board's inner corners (chessboardObjectPoints). The image size is
// that of the first used image. Never throws for the failures listed in
// IntrinsicCalibrationError; on failure the result holds no parameters.
IntrinsicCalibrationResult calibrateIntrinsics(const IntrinsicCalibrationInput& input, DetectionCache& cache,
                                               const IntrinsicRunProgress& progress = {});
