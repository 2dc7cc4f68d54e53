#pragma once

// The computation behind a stereo calibration run of two cameras that saw the
// same chessboard views. runStereoCalibration() is the whole run: the board
// found in both images of every pair (through the detection pass and its
// cache, or from the images' corner files), the checks of each pair, the
// joint calibration with stereoCalibrateDual, each pair's board pose in each
// camera, its per-point reprojection and epipolar errors and its outliers.
// Its steps are also offered one by one: the flag set of each camera from its
// options, the calibration of views with known corners, the errors of one
// pair, and the "<primary>_<secondary>_stereo.yml" result file.
//
// Poses: a board pose (rvec, tvec) maps board coordinates into camera
// coordinates, x_cam = R(rvec) x_board + tvec (mm); the relative pose maps the
// primary camera's frame into the secondary's, x_secondary = R x_primary + T.

#include "core/calib/stereo_calib.h"
#include "core/chessboard/detection_pass.h"

#include <opencv2/core.hpp>

#include <array>
#include <functional>
#include <optional>
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

// One camera of a calibration of views whose corners are known: its corners
// per view (pixels, in the order of the object points), its image size,
// flags and the start values of its intrinsics (read only as the flags say;
// empty when there are none).
struct StereoViewsCamera {
    std::vector<std::vector<cv::Point2f>> corners;
    cv::Size imageSize;
    int flags = 0;
    cv::Mat K;  // 3x3 CV_64F or empty
    cv::Mat kc; // one row of CV_64F or empty
};

struct StereoViewsInput {
    std::vector<std::vector<cv::Point3f>> objectPoints; // per view, mm
    std::array<StereoViewsCamera, 2> cameras;           // primary, secondary
    cv::TermCriteria criteria{cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-3};
};

struct StereoCalibration {
    bool ok = false;
    std::string error; // why the calibration failed (OpenCV's text for an OpenCV error)
    // The calibration failed because it gave a camera whose fx or fy is not
    // above 0; `error` names the camera and its focal lengths ("primary
    // camera: fx = ... px, fy = ... px").
    bool nonPositiveFocalLength = false;
    double rms = 0;               // RMS reprojection error over both cameras, px
    std::array<cv::Mat, 2> K, kc; // 3x3 and 1xN CV_64F per camera
    cv::Mat R, T, E, F;           // relative pose (T in mm), essential and fundamental matrix
    cv::Mat perViewErrors;        // views x 2 CV_64F: RMS per view in each camera
    // Per camera, the given start coefficients its five-coefficient model
    // left out (startCoefficientCut): the result then has five in place of
    // the coefficients given.
    std::array<CoefficientCut, 2> startCut;
    // Board pose of each view in each camera (3x1 CV_64F each).
    std::array<std::vector<cv::Mat>, 2> rvecs, tvecs;
    // How the joint refinement ended: converged, or why it stopped before.
    StereoRefinementReport refinement;
};

// Calibrates both cameras jointly and estimates each view's board pose in
// each camera with the calibrated intrinsics as they are (solvePnP per view).
// The input's matrices are not changed. On failure (unequal view counts,
// views of different lengths in the two cameras, a missing matrix under the
// guess flags, an OpenCV error, a result that is not finite, a camera whose
// focal lengths are not both positive) ok is false and error says why; the
// other outputs are then empty.
StereoCalibration calibrateStereoViews(const StereoViewsInput& input);

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

// ------------------------------------------------------------- the whole run

// Measured points of one image that stand in for its detection (its corner
// file): image points in px and their object points in mm, one to one.
struct StereoCornerFile {
    std::vector<cv::Point2f> imagePoints;
    std::vector<cv::Point3f> objectPoints;
};

// One image of a camera's list; image k of the primary list and image k of
// the secondary list form pair k.
struct StereoImage {
    std::string path;
    bool checked = true;                        // a pair is used only when both its images are checked
    std::optional<StereoCornerFile> cornerFile; // replaces the detection of this image
};

struct StereoRunCamera {
    std::vector<StereoImage> images;
    bool mirror = false;         // images flipped left-right after reading, before detection
    StereoCameraOptions options; // its flag set; without radial distortion kc starts at zero
    cv::Mat K, kc;               // start values (previous run or the scene); empty when there are none
};

struct StereoRunInput {
    std::array<StereoRunCamera, 2> cameras; // primary, secondary
    ChessboardOptions board;                // detection options and the board (pattern, square size)
    cv::TermCriteria criteria{cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-3};
    // Per pair (may be shorter than the lists): indices of points removed as
    // outliers by an earlier run, ascending, into the pair's points as found.
    // They are left out while the pair's points are those they were found on
    // (reused from the cache or a corner file) and at least 4 points remain;
    // a pair detected anew is whole.
    std::vector<std::vector<size_t>> excludedPoints;
    // Thresholds of the outliers to find; none: no point is an outlier.
    std::optional<StereoOutlierThresholds> outlierThresholds;
};

// What a calibration found out about one used pair.
struct StereoPairFit {
    std::array<cv::Mat, 2> rvecs, tvecs;  // board pose in each camera, 3x1 CV_64F (x_cam = R x_board + t)
    std::array<double, 2> reprojErrors{}; // RMS reprojection error in each camera, px
    StereoPairErrors errors;              // per point: projections, reprojection and epipolar errors
    std::vector<size_t> outliers;         // points above the thresholds, ascending, into imagePoints
    double reprojError() const { return (reprojErrors[0] + reprojErrors[1]) / 2; }
};

// One pair of the run, one per list row.
struct StereoPair {
    enum class Status {
        NotReached,         // the run stopped before this pair
        NotSelected,        // one of its images is not checked: nothing was read
        Ready,              // both boards found, points agree: used for the calibration
        NotFound,           // the board was not found in one image or both
        Unreadable,         // an image (of `camera`) could not be read
        SizeMismatch,       // an image (of `camera`) differs in size from the camera's first image
        PointCountMismatch, // the two cameras' points and the object points differ in number
        DetectorError       // the detector raised an OpenCV error (in `camera`), text in `error`
    };
    Status status = Status::NotReached;
    int camera = -1; // the camera an Unreadable, SizeMismatch or DetectorError pair fails in
    std::string error;
    std::array<cv::Size, 2> imageSize; // size of each image, px ((0, 0) when not read)
    cv::Size expectedSize;             // SizeMismatch: the size of the camera's first image
    std::array<bool, 2> reused{};      // the detection came from the cache
    std::array<bool, 2> fromCornerFile{};
    // The points the calibration uses: the corners in each camera (px) and
    // the object points (mm), one to one, outliers of earlier runs left out.
    std::array<std::vector<cv::Point2f>, 2> imagePoints;
    std::vector<cv::Point3f> objectPoints;
    std::vector<size_t> pointIndices;   // index of each used point among the points as found
    std::vector<size_t> excludedPoints; // the earlier outliers left out, ascending
    std::optional<StereoPairFit> fit;   // after a successful calibration

    bool ready() const { return status == Status::Ready; }
};

// The points of a pair to leave out in the next run: those left out in this
// one and this run's outliers (both as indices into the points as found).
std::vector<size_t> excludedAfterOutliers(const StereoPair& pair);

struct StereoRunResult {
    enum class Status {
        Calibrated,
        ListSizeMismatch, // the two lists differ in length
        NoImages,         // the lists are empty
        Aborted,          // the progress callback asked to stop
        NoPairs,          // no pair is ready: none found, or none selected
        // The points of a ready pair's image lie far outside that camera's
        // image (imagePointsWithinBound): refused before anything is
        // calibrated; `refusedPair` and `refusedCamera` name the image,
        // `error` the point and its value.
        PointsOutOfBounds,
        CalibrationFailed,     // the calibration raised an error or gave no finite result; see `error`
        NonPositiveFocalLength // the calibration gave a camera whose fx or fy is not above 0; see `error`
    };
    Status status = Status::NoImages;
    std::string error;
    size_t refusedPair = 0;            // PointsOutOfBounds: the pair's row
    int refusedCamera = -1;            // PointsOutOfBounds: 0 primary, 1 secondary
    std::vector<StereoPair> pairs;     // one per list row (empty for the two input errors)
    std::array<cv::Size, 2> imageSize; // each camera's image size, px (from the first ready pair)
    StereoCalibration calibration;     // when Calibrated
    // The input's board (pattern, square size in mm, detection options):
    // the fits' poses are this board's, also once the caller's options change.
    ChessboardOptions board;

    bool ok() const { return status == Status::Calibrated; }
};

// Told during the run: after each pair of the detection pass (`pair` its
// record) and between its two images (`pair` null), and once before the
// calibration proper. Returning false stops the run (Aborted).
struct StereoRunProgress {
    enum class Stage { Detection, Calibration };
    Stage stage = Stage::Detection;
    size_t index = 0;                 // the pair's row during detection
    const StereoPair* pair = nullptr; // the pair's record once both images are done
};
using StereoRunCallback = std::function<bool(const StereoRunProgress&)>;

// The whole stereo run. Every selected image without a corner file goes
// through detectBoards with `cache` (so an unchanged file is never detected
// twice with the same options, and a changed one is detected again). Per
// camera, the first image read sets the size every other image must have.
// A pair with a detected image uses the board's grid as object points; a pair
// whose points both come from corner files uses the primary's file's.
// The ready pairs are calibrated (their sizes give each camera's image size),
// and each gets its fit, with outliers when thresholds are given; the points
// of every ready pair are first checked against its cameras' image sizes
// (imagePointsWithinBound). Never throws for file, detector or calibration
// errors: they are outcomes.
StereoRunResult runStereoCalibration(const StereoRunInput& input, DetectionCache& cache,
                                     const StereoRunCallback& progress = {});

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
