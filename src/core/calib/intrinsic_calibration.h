#pragma once

// The computation of an intrinsic calibration run: the board views a
// camera saw in, its camera matrix K and distortion coefficients kc out,
// with the board pose, the RMS error of every view and the standard
// deviations of the intrinsics. OpenCV's cv::calibrateCamera does the work;
// this module adds the checks around it and gives the outcome as a record.

#include <opencv2/core.hpp>

#include <functional>
#include <string>
#include <vector>

struct IntrinsicCalibrationInput {
    // One entry per view: the measured corners (px) and the matching board
    // points (mm); a view's two lists have the same length.
    std::vector<std::vector<cv::Point2f>> imagePoints;
    std::vector<std::vector<cv::Point3f>> objectPoints;
    cv::Size imageSize; // px
    // Starting values: K 3x3 (used with CALIB_USE_INTRINSIC_GUESS, needed for
    // a board that is not planar) and kc as a row of coefficients; both may
    // be empty.
    cv::Mat K;
    cv::Mat kc;
    int flags = 0; // cv::CALIB_* flags
    cv::TermCriteria criteria{cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-3};
};

enum class IntrinsicCalibrationError {
    None,
    NoViews,         // no view to calibrate with
    NonPlanarNeedsK, // the board is not planar (z of its first point is not 0) and no K was given
    Aborted,         // the abort callback asked to stop before the calibration
    OpenCvError,     // cv::calibrateCamera raised; the message is OpenCV's
    NotFinite        // the calibration returned values that are not finite
};

struct IntrinsicCalibrationResult {
    IntrinsicCalibrationError error = IntrinsicCalibrationError::None;
    std::string message;            // the reason when error is not None
    cv::Mat K;                      // 3x3 CV_64F
    cv::Mat kc;                     // distortion coefficients as cv::calibrateCamera returns them
    std::vector<cv::Mat> rvecs;     // per view: board to camera rotation (Rodrigues, 3x1 CV_64F)
    std::vector<cv::Mat> tvecs;     // per view: board to camera translation, mm (3x1 CV_64F)
    std::vector<double> viewErrors; // per view RMS reprojection error, px
    cv::Mat stdDevIntrinsics;       // OpenCV's order fx, fy, cx, cy, k1, k2, p1, p2, k3, ...
    double rms = 0;                 // over all points, px
    bool ok() const { return error == IntrinsicCalibrationError::None; }
};

// Calibrates one camera from its board views. shouldAbort, when given, is
// asked once before the (long) calibration starts. Never throws for the
// failures listed in IntrinsicCalibrationError; on failure the result holds
// no parameters.
IntrinsicCalibrationResult calibrateIntrinsics(const IntrinsicCalibrationInput& input,
                                               const std::function<bool()>& shouldAbort = {});
