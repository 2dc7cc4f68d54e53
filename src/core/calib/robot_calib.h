#pragma once

// The two robot-camera calibration runs, without a window: the hand-eye
// calibration AX=XB of a camera carried by the robot (handEyeCalibrate) and
// the robot-world calibration AX=YB of a fixed camera watching a target
// carried by the robot (robotWorldCalibrate). Each goes from the image files
// and the TCP poses to the result: the board in every image (detectBoards),
// the target's pose in each image (estimateTargetPose), the solver step, the
// per-image errors and the plausibility check; and their result files.
//
// Poses, all in millimetres:
//   TCP in base        x_base = R_base_tcp x_tcp + t_base_tcp       (robot file)
//   target in camera   x_cam  = R(rvec) x_target + tvec            (PnP)
//   hand-eye X         x_tcp  = RX x_cam + tX                      (camera on the flange)
//   robot-world X      x_tcp  = RX x_target + tX                   (target on the flange)
//   robot-world Y      x_base = RY x_cam + tY                      (fixed camera)

#include "core/calib/target_pose.h"
#include "core/chessboard/detection_pass.h"
#include "core/io/tcp_pose_file.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include <functional>
#include <optional>
#include <string>
#include <vector>

// Rotation matrix (3x3 CV_64F) and translation (3x1 CV_64F) of a TCP record:
// Rodrigues of (rx, ry, rz) and (x, y, z) times `scale` (1000 for metres).
void tcpPoseMatrices(double x, double y, double z, double rx, double ry, double rz, double scale, cv::Mat& R,
                     cv::Mat& t);

// ---------------------------------------------------------------------------
// The solver step: views that kept a target pose in, X (and Y) with the
// per-view errors out
// ---------------------------------------------------------------------------

// One image that kept a target pose.
struct RobotView {
    cv::Mat R_base_tcp, t_base_tcp;        // TCP pose, 3x3 and 3x1 CV_64F, mm
    cv::Mat rvec, tvec;                    // measured target pose in the camera (PnP), 3x1 CV_64F
    std::vector<cv::Point3f> objectPoints; // points the pose was computed from (mm)
    std::vector<cv::Point2f> imagePoints;  // and their corners (px)
};

enum class RobotCalibError {
    None,
    // Opening checks of a whole run (the image rows and the TCP poses).
    NoImagesSelected,     // no image row is selected
    NoTcpPoses,           // the TCP pose list is empty
    TcpCountMismatch,     // the numbers of image rows and TCP poses differ
    TooFewImagesSelected, // fewer than 3 image rows are selected
    Aborted,              // the progress callback asked to stop
    PoseBadInput,         // estimateTargetPose refused its input (errorRow names the image)
    PoseOpenCvError,      // PnP raised an OpenCV error (errorRow names the image)
    TooFewTargets,        // fewer than 3 views
    Degenerate,           // the poses do not determine the result
    InvalidResult,        // the result is not finite or not a rotation
    Implausible           // the RMS 3D error is not finite or above the plausibility limit
};

// The errors of one view after a solve.
struct RobotViewErrors {
    std::vector<cv::Point2f> projectedPoints; // objectPoints reprojected with the measured pose, px
    std::vector<cv::Vec3b> pointColours;      // error colour per point, (r, g, b)
    cv::Vec3d reprojErrors;                   // (RMS, min, max) reprojection error, px
    cv::Vec3d poseErrors;                     // (RMS 3D mm, translation mm, rotation deg)
    cv::Vec3b imageRowColour, poseRowColour;  // (r, g, b) of the reprojection RMS and the RMS 3D
};

struct RobotCalibResult {
    RobotCalibError error = RobotCalibError::None;
    std::string message;                // the reason when error != None
    cv::Mat RX, tX;                     // hand-eye: camera in TCP; robot-world: target in TCP
    cv::Mat RY, tY;                     // robot-world only: camera in base
    std::vector<RobotViewErrors> views; // per view, in input order
    double rms3d = 0;                   // over all points, mm (may be infinite)
    bool ok() const { return error == RobotCalibError::None; }
};

// The inputs cv::calibrateHandEye takes for the views: per view the TCP pose
// in the base (gripper to base) and the target pose in the camera (rotation
// matrix from rvec, and tvec).
struct HandEyeInputs {
    std::vector<cv::Mat> R_gripper2base, t_gripper2base, R_target2cam, t_target2cam;
};
HandEyeInputs handEyeInputs(const std::vector<RobotView>& views);

// Row colours: the error colour of each value between the smallest and the
// largest finite value of the list, as 8-bit (r, g, b). A value that is not
// finite gets errorColor's colour for NaN, red, and takes no part in the range.
std::vector<cv::Vec3b> errorRowColours(const std::vector<double>& values);

// Hand-eye AX=XB with cv::calibrateHandEye (method Park, Horaud or Andreff).
// The 3D error of a view compares its target pose in the base, T_tcp X
// T_target, with the mean of all views (mean rotation projected onto the
// rotations). Fewer than 3 views, motions that do not determine X (all
// rotations about parallel axes) and a non-finite or non-rotation result are
// reported in the result. OpenCV errors propagate as cv::Exception.
RobotCalibResult solveHandEye(const std::vector<RobotView>& views, const cv::Mat& K, const cv::Mat& kc,
                              cv::HandEyeCalibrationMethod method);

struct RobotWorldOptions {
    bool invertTcp = false;    // the solver gets the inverse TCP poses (the records stay as read)
    bool invertTarget = false; // the solver gets the inverse target poses
    bool invertX = false;      // the result X is inverted
    bool invertY = false;      // the result Y is inverted
};

// Robot-world AX=YB with tfc::solveAXYB. The 3D error of a view compares
// each board point carried into the base through the camera, Y B p, with the
// same point carried through the robot, A X p (with the poses the solver got).
// Reprojection errors always use the measured target poses.
RobotCalibResult solveRobotWorld(const std::vector<RobotView>& views, const cv::Mat& K, const cv::Mat& kc,
                                 const RobotWorldOptions& options);

// ---------------------------------------------------------------------------
// Whole runs: image files and TCP poses in, the result and one record per
// image row out
// ---------------------------------------------------------------------------

// Plausibility of a run: its RMS 3D error must be finite and at most the
// larger of 10 mm and 2 % of the mean distance from the camera to the centre
// of the points of each board view (mm). Above it the result does not explain
// its data; the usual causes are a TCP file read in the wrong unit, the TCP
// file of another robot program, or TCP poses stored inverted.
double plausibleRms3dLimit(const std::vector<RobotView>& views);

// The PnP options of the per-image target pose (see estimateTargetPose).
struct RobotPoseOptions {
    PnpMethod method = PnpMethod::Iterative;
    bool ransac = false; // cv::solvePnPRansac (never with P3P)
    int ransacIterations = 100;
    double ransacMaxError = 1.0; // px
    int ransacConfidence = 99;   // percent
};

// What a run starts from: the rows of the image list and the TCP pose of
// each row, the options, and the camera's intrinsics.
struct RobotRunInput {
    struct Image {
        std::string path;
        bool selected = true; // the row's check mark
    };
    std::vector<Image> images;     // one per row of the image list
    std::vector<TcpPose> tcpPoses; // pose i belongs to image row i
    double tcpScale = 1000;        // TCP position unit in mm: 1000 for metres, 1 for millimetres
    bool mirror = false;           // images flipped left-right before detection
    ChessboardOptions board;       // detection options and the board (square size in mm)
    RobotPoseOptions pose;
    cv::Mat K, kc; // the camera's intrinsics (K 3x3)
};

struct HandEyeRunInput : RobotRunInput {
    cv::HandEyeCalibrationMethod method = cv::CALIB_HAND_EYE_PARK;
};

struct RobotWorldRunInput : RobotRunInput {
    RobotWorldOptions options;
};

// One row of the image list after a run.
struct RobotImageRecord {
    std::optional<BoardDetection> detection; // nothing: not selected, or the run stopped before it
    bool reused = false;                     // the detection came from the cache
    std::optional<int> inliers;              // RANSAC ran and found a pose: its inliers
    bool poseFailed = false;                 // the board was found but gave no usable pose
    bool dropped = false;                    // the run took the row out: no board, or no pose
    std::optional<RobotView> view;           // the target pose and the row's TCP pose (mm)
    std::optional<RobotViewErrors> errors;   // after a solve
};

// Told during a run: after the detection of each selected image (row, its
// place among the selected images, the detection, whether it was reused),
// and once after the target poses (detection null, row -1). Returning false
// stops the run with RobotCalibError::Aborted.
struct RobotRunProgress {
    int row = -1;
    int selectedIndex = -1;
    const BoardDetection* detection = nullptr;
    bool reused = false;
};
using RobotRunCallback = std::function<bool(const RobotRunProgress&)>;

struct RobotRunResult {
    RobotCalibResult calib;               // X, Y, RMS 3D; calib.error is the run's error
    std::vector<RobotImageRecord> images; // one per image row; filled as far as the run came
    std::vector<int> boardRows;           // rows whose view went to the solver, ascending
    cv::Size imageSize;                   // of the last image read, (0, 0) when none was
    int errorRow = -1;                    // the row of a PnP error
    double rms3dLimit = 0;                // the plausibility limit, mm (once solved)
    bool ok() const { return calib.ok(); }
    RobotCalibError error() const { return calib.error; }
};

// The hand-eye and robot-world runs: the opening checks on the rows, the
// board in every selected image through detectBoards with the caller's cache,
// the target pose of every board image (estimateTargetPose) paired with its
// row's TCP pose, the solver step, and the plausibility check of the RMS 3D
// error. Rows without a board, or whose pose fails, leave the run (dropped);
// fewer than 3 views stop it (then the failed poses are not dropped). On an
// error the result says which, with the records as far as the run came; a
// result is returned only when it is plausible, but the records of an
// implausible run keep their per-image errors, which show the rows that do
// not fit. OpenCV errors of the solver
// step propagate as cv::Exception.
RobotRunResult handEyeCalibrate(const HandEyeRunInput& input, DetectionCache& cache,
                                const RobotRunCallback& progress = {});
RobotRunResult robotWorldCalibrate(const RobotWorldRunInput& input, DetectionCache& cache,
                                   const RobotRunCallback& progress = {});

// The inverse (R^T, -R^T t) of a rigid pose.
void invertPose(const cv::Mat& R, const cv::Mat& t, cv::Mat& Rinv, cv::Mat& tinv);

// Result files (OpenCV YAML): "AX-XB.yml" with "RX", "tX"; "AX-YB.yml" with
// "RY", "tY", "RX", "tX". Return false with the reason when the file cannot be
// written.
bool writeHandEyeFile(const std::string& path, const cv::Mat& RX, const cv::Mat& tX, std::string& error);
bool writeRobotWorldFile(const std::string& path, const cv::Mat& RY, const cv::Mat& tY, const cv::Mat& RX,
                         const cv::Mat& tX, std::string& error);
