#pragma once

// The computation behind a stereo calibration run of two cameras that saw the
// same chessboard views: the flag set of each camera from its options, the
// joint calibration with stereoCalibrateDual, each view's board pose in each
// camera, the per-point reprojection and epipolar errors with outlier
// removal, and the "<primary>_<secondary>_stereo.yml" result file.
//
// Poses: a board pose (rvec, tvec) maps board coordinates into camera
// coordinates, x_cam = R(rvec) x_board + tvec (mm); the relative pose maps the
// primary camera's frame into the secondary's, x_secondary = R x_primary + T.

#include <opencv2/core.hpp>

#include <array>
#include <string>
#include <vector>

// Options of one camera's calibration, as the form offers them.
struct StereoCameraOptions {
    bool sameFocalLength = false; // joint: f1 = f2 (the same value for both cameras)
    bool useIntrinsicGuess = false;
    bool fixIntrinsic = false;
    bool fixFocalLength = false;
    bool fixPrincipalPoint = false;
    bool fixAspectRatio = true;
    bool radialDistortion = true; // off: coefficients zeroed and k1..k3, tangential fixed
    bool fixK1 = false, fixK2 = false, fixK3 = true;
    bool rationalModel = false;
    bool fixK4 = false, fixK5 = false, fixK6 = false; // count only with the rational model
    bool tangentialDistortion = false;
};

// OpenCV calibration flags of one camera. With the defaults 138
// (CALIB_FIX_ASPECT_RATIO, CALIB_ZERO_TANGENT_DIST, CALIB_FIX_K3).
int stereoCalibrationFlags(const StereoCameraOptions& options);

// One camera of the run: its corners per used view (pixels, in the order of
// the object points), its image size, flags and the start values of its
// intrinsics (read only as the flags say; empty when there are none).
struct StereoRunCamera {
    std::vector<std::vector<cv::Point2f>> corners;
    cv::Size imageSize;
    int flags = 0;
    cv::Mat K;  // 3x3 CV_64F or empty
    cv::Mat kc; // one row of CV_64F or empty
};

struct StereoRunInput {
    std::vector<std::vector<cv::Point3f>> objectPoints; // per used view, mm
    std::array<StereoRunCamera, 2> cameras;             // primary, secondary
    cv::TermCriteria criteria{cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-3};
};

struct StereoRunResult {
    bool ok = false;
    std::string error;            // why the run failed (OpenCV's text for an OpenCV error)
    double rms = 0;               // RMS reprojection error over both cameras, px
    std::array<cv::Mat, 2> K, kc; // 3x3 and 1xN CV_64F per camera
    cv::Mat R, T, E, F;           // relative pose (T in mm), essential and fundamental matrix
    cv::Mat perViewErrors;        // views x 2 CV_64F: RMS per view in each camera
    // Board pose of each used view in each camera (3x1 CV_64F each).
    std::array<std::vector<cv::Mat>, 2> rvecs, tvecs;
};

// Calibrates both cameras jointly and estimates each view's board pose in
// each camera with the calibrated intrinsics as they are (solvePnP per view).
// The input's matrices are not changed. On failure (unequal view counts,
// views of different lengths in the two cameras, a missing matrix under the
// guess flags, an OpenCV error, a result that is not finite) ok is false and
// error says why; the other outputs are then empty.
StereoRunResult runStereoCalibration(const StereoRunInput& input);

// Errors of one pair after a calibration, point j in the order of the pair's
// corners; all in pixels.
struct StereoPairErrors {
    std::array<std::vector<cv::Point2f>, 2> reprojected; // board points projected into each image
    std::array<std::vector<double>, 2> pointErrors;      // |corner - projection| per camera
    std::vector<double> epipolarErrors;                  // distance sum to each other's epipolar line
    std::array<cv::Vec2d, 2> minMax{cv::Vec2d(1e100, 0), cv::Vec2d(1e100, 0)};
    cv::Vec2d epipolarMinMax{1e100, 0};
    double epipolarRms = 0;
};

// Errors of a pair: the board points projected with each camera's pose, K and
// coefficients; the epipolar error of point j is the distance of secondary
// corner j to the epipolar line (through F) of primary corner j plus the
// distance of primary corner j to the line of secondary corner j, both
// computed on undistorted pixel positions. The corner lists and the object
// points must have the same length (else cv::Exception, StsBadSize).
StereoPairErrors
stereoPairErrors(const std::vector<cv::Point3f>& objectPoints, const std::vector<cv::Point2f>& primaryCorners,
                 const std::vector<cv::Point2f>& secondaryCorners, const cv::Mat& primaryRvec,
                 const cv::Mat& primaryTvec, const cv::Mat& secondaryRvec, const cv::Mat& secondaryTvec,
                 const std::array<cv::Mat, 2>& K, const std::array<cv::Mat, 2>& kc, const cv::Mat& F);

// Outlier thresholds in pixels: a point is an outlier when its primary or
// secondary reprojection error or its epipolar error is strictly greater.
struct StereoOutlierThresholds {
    double primary = 5, secondary = 5, epipolar = 5;
};

// Indices, ascending, of a pair's points above a threshold.
std::vector<size_t> stereoOutliers(const StereoPairErrors& errors, const StereoOutlierThresholds& thresholds);

// Erases the given points (ascending indices) from the three lists of a pair.
void eraseStereoPoints(const std::vector<size_t>& indices, std::vector<cv::Point2f>& primaryCorners,
                       std::vector<cv::Point2f>& secondaryCorners, std::vector<cv::Point3f>& objectPoints);

// What the stereo result file holds.
struct StereoResultFile {
    cv::Size imageSize0, imageSize1;
    cv::Mat K0, kc0, K1, kc1, R, T, F;
    double rms = 0;
};

// Writes the result file (keys "imgSize0", "K0", "kc0", "imgSize1", "K1",
// "kc1", "R", "T", "F", "reprojErrRMS"), replacing an existing one. Returns
// false with the reason when the file cannot be opened or written.
bool writeStereoResultFile(const std::string& path, const StereoResultFile& result, std::string& error);
