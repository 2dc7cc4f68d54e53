#pragma once

// The computations of the two robot-camera calibration runs, without a window
// (the target's pose in each image comes from estimateTargetPose): the hand-eye
// calibration AX=XB of a camera carried by the robot, the robot-world
// calibration AX=YB of a fixed camera watching a target carried by the robot,
// their per-image errors and their result files.
//
// Poses, all in millimetres:
//   TCP in base        x_base = R_base_tcp x_tcp + t_base_tcp       (robot file)
//   target in camera   x_cam  = R(rvec) x_target + tvec            (PnP)
//   hand-eye X         x_tcp  = RX x_cam + tX                      (camera on the flange)
//   robot-world X      x_tcp  = RX x_target + tX                   (target on the flange)
//   robot-world Y      x_base = RY x_cam + tY                      (fixed camera)

#include "core/chessboard/detection_pass.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include <string>
#include <vector>

// Rotation matrix (3x3 CV_64F) and translation (3x1 CV_64F) of a TCP record:
// Rodrigues of (rx, ry, rz) and (x, y, z) times `scale` (1000 for metres).
void tcpPoseMatrices(double x, double y, double z, double rx, double ry, double rz, double scale, cv::Mat& R,
                     cv::Mat& t);

// ---------------------------------------------------------------------------
// Calibration runs
// ---------------------------------------------------------------------------

// One image that kept a target pose.
struct RobotView {
    cv::Mat R_base_tcp, t_base_tcp;        // TCP pose, 3x3 and 3x1 CV_64F, mm
    cv::Mat rvec, tvec;                    // measured target pose in the camera (PnP)
    std::vector<cv::Point3f> objectPoints; // points the pose was computed from (mm)
    std::vector<cv::Point2f> imagePoints;  // and their corners (px)
};

enum class RobotCalibError {
    None,
    TooFewTargets, // fewer than 3 views
    Degenerate,    // the poses do not determine the result
    InvalidResult  // the result is not finite or not a rotation
};

struct RobotCalibResult {
    RobotCalibError error = RobotCalibError::None;
    std::string message; // the reason when error != None
    cv::Mat RX, tX;      // hand-eye: camera in TCP; robot-world: target in TCP
    cv::Mat RY, tY;      // robot-world only: camera in base
    // Per view, in input order:
    std::vector<std::vector<cv::Point2f>> projectedPoints;  // objectPoints reprojected with the measured pose
    std::vector<cv::Vec3d> reprojErrors;                    // (RMS, min, max) px
    std::vector<std::vector<cv::Vec3b>> pointColours;       // error colour per point, (r, g, b)
    std::vector<cv::Vec3d> poseErrors;                      // (RMS 3D mm, translation mm, rotation deg)
    std::vector<cv::Vec3b> imageRowColours, poseRowColours; // (r, g, b) of reprojection RMS and RMS 3D
    double rms3d = 0;                                       // over all points, mm
    bool ok() const { return error == RobotCalibError::None; }
};

// The inputs cv::calibrateHandEye takes for the views: per view the TCP pose
// in the base (gripper to base) and the target pose in the camera (rotation
// matrix from rvec, and tvec).
struct HandEyeInputs {
    std::vector<cv::Mat> R_gripper2base, t_gripper2base, R_target2cam, t_target2cam;
};
HandEyeInputs handEyeInputs(const std::vector<RobotView>& views);

// Hand-eye AX=XB with cv::calibrateHandEye (method Park, Horaud or Andreff).
// The 3D error of a view compares its target pose in the base, T_tcp X
// T_target, with the mean of all views (mean rotation projected onto the
// rotations). Fewer than 3 views, motions that do not determine X (all
// rotations about parallel axes) and a non-finite or non-rotation result are
// reported in the result. OpenCV errors propagate as cv::Exception.
RobotCalibResult handEyeCalibrate(const std::vector<RobotView>& views, const cv::Mat& K, const cv::Mat& kc,
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
RobotCalibResult robotWorldCalibrate(const std::vector<RobotView>& views, const cv::Mat& K, const cv::Mat& kc,
                                     const RobotWorldOptions& options);

// The inverse (R^T, -R^T t) of a rigid pose.
void invertPose(const cv::Mat& R, const cv::Mat& t, cv::Mat& Rinv, cv::Mat& tinv);

// Result files (OpenCV YAML): "AX-XB.yml" with "RX", "tX"; "AX-YB.yml" with
// "RY", "tY", "RX", "tX". Return false with the reason when the file cannot be
// written.
bool writeHandEyeFile(const std::string& path, const cv::Mat& RX, const cv::Mat& tX, std::string& error);
bool writeRobotWorldFile(const std::string& path, const cv::Mat& RY, const cv::Mat& tY, const cv::Mat& RX,
                         const cv::Mat& tX, std::string& error);
