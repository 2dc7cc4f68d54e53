#pragma once

// The target-pose run: one image of a chessboard seen by a calibrated camera
// in (or the board's corners found in it elsewhere), the board's pose in the
// camera out, by PnP (optionally with RANSAC), with the reprojection errors
// of the points the pose was computed from.
// The pose maps board to camera: x_cam = R x_board + t, t in mm.

#include "core/chessboard/chessboard_detection.h"

#include <opencv2/core.hpp>

#include <string>
#include <vector>

enum class PnpMethod {
    Iterative, // cv::SOLVEPNP_ITERATIVE on all corners
    EPnP,      // cv::SOLVEPNP_EPNP on all corners
    P3P        // cv::SOLVEPNP_P3P on the board's four outer corners; never with RANSAC
};

struct TargetPoseInput {
    // The board's inner corners, px, in the board's row order, when they were
    // found elsewhere. When empty, the run finds them in `image`.
    std::vector<cv::Point2f> imagePoints;
    cv::Mat image;               // 8-bit gray image of the board, used when imagePoints is empty
    ChessboardOptions detection; // the detector for `image`; its board is the pattern and squares below
    cv::Size patternSize;        // inner corners along x and y
    float squareWidth = 0;       // mm
    float squareHeight = 0;      // mm
    cv::Mat K;                   // 3x3 camera matrix
    cv::Mat kc;                  // distortion coefficients (may be empty)
    PnpMethod method = PnpMethod::Iterative;
    bool ransac = false; // cv::solvePnPRansac (ignored for P3P)
    int ransacIterations = 100;
    double ransacMaxError = 1.0; // px
    int ransacConfidence = 99;   // percent
};

enum class TargetPoseError {
    None,
    DetectionError, // the detector raised an OpenCV error; the message is OpenCV's
    BoardNotFound,  // no board in the image (also for an empty image)
    BadInput,       // corners do not match the pattern, or K is not a camera matrix
    OpenCvError,    // the solver raised; the message is OpenCV's
    NoSolution,     // the solver found no finite pose
    TooFewInliers   // RANSAC kept fewer than four points
};

struct TargetPoseResult {
    TargetPoseError error = TargetPoseError::None;
    std::string message; // the reason when error is not None
    cv::Mat rvec;        // 3x1 CV_64F, board to camera (Rodrigues)
    cv::Mat tvec;        // 3x1 CV_64F, mm
    cv::Mat R;           // 3x3 CV_64F rotation of rvec
    bool ransacUsed = false;
    int inliers = -1;                      // number of RANSAC inliers when ransacUsed (also on TooFewInliers)
    std::vector<cv::Point2f> imagePoints;  // the points the pose rests on (all, the four, or the inliers)
    std::vector<cv::Point3f> objectPoints; // their board points, mm
    std::vector<cv::Point2f> projected;    // their projections with the pose
    std::vector<double> errors;            // per point, px
    double rms = 0, smallest = 0, largest = 0; // px
    bool ok() const { return error == TargetPoseError::None; }
};

// Finds the board in the image unless its corners are given, then estimates
// its pose. Never throws for the failures listed in TargetPoseError.
TargetPoseResult estimateTargetPose(const TargetPoseInput& input);
