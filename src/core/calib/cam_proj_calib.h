#pragma once

// Projector calibration and camera-projector stereo calibration from the
// board's object points, the camera corners and the projector corners of the
// image sets (one entry per used set, all lists aligned).
//
// Units: object points in mm, corners in pixels of their device. Poses:
// (rvec, tvec) map board coordinates into the device, x_dev = R(rvec) x_board
// + tvec; the stereo pose maps camera into projector coordinates,
// x_proj = R x_cam + T (mm).

#include <opencv2/core.hpp>

#include <string>
#include <vector>

// Which intrinsics of one device are estimated, as the option boxes say.
struct IntrinsicFlagOptions {
    bool fixIntrinsic = false;                                 // CALIB_FIX_INTRINSIC (stereo only)
    bool useIntrinsicGuess = false;                            // CALIB_USE_INTRINSIC_GUESS
    bool fixFocal = false;                                     // CALIB_FIX_FOCAL_LENGTH
    bool fixPrincipalPoint = false;                            // CALIB_FIX_PRINCIPAL_POINT
    bool fixAspectRatio = false;                               // CALIB_FIX_ASPECT_RATIO
    bool fixK[6] = {false, false, false, false, false, false}; // CALIB_FIX_K1 .. K6
    bool rationalModel = false;                                // CALIB_RATIONAL_MODEL
    bool tangential = false;                                   // without it CALIB_ZERO_TANGENT_DIST
    bool radial = true; // without it the distortion is zero and K1..K3 and p1, p2 are fixed
};

// OpenCV CALIB_ flags of a device. radial == false adds CALIB_ZERO_TANGENT_DIST
// and CALIB_FIX_K1..K3; the caller then zeroes the distortion
// (zeroDistortion).
int intrinsicFlags(const IntrinsicFlagOptions& options);

// A 1x5 CV_64F row of zeros.
cv::Mat zeroDistortion();

struct ProjectorCalibInput {
    std::vector<std::vector<cv::Point3f>> objectPoints;
    std::vector<std::vector<cv::Point2f>> projCorners;
    cv::Size projectorSize;
    cv::Mat K, kc; // start values, used under CALIB_USE_INTRINSIC_GUESS (and the fixed coefficients)
    int flags = 0;
    cv::TermCriteria criteria{cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-3};
};

struct ProjectorCalibResult {
    bool ok = false;
    std::string error;     // why the calibration failed (an OpenCV message or an input problem)
    double rms = 0;        // RMS reprojection error, projector px
    cv::Mat K, kc;         // 3x3 CV_64F, 1xN CV_64F
    cv::Mat stdIntrinsics; // standard deviations in OpenCV's order (fx fy cx cy k1 k2 p1 p2 k3 ...)
    std::vector<cv::Mat> rvecs, tvecs; // board -> projector per set, 3x1 CV_64F
    std::vector<double> perViewErrors; // RMS per set, px
};

// Calibrates the projector like a camera that sees the board. Fails (ok false,
// error set) for fewer than one set, lists of different lengths, a projector
// size that is not positive, an OpenCV error or a result that is not finite.
ProjectorCalibResult calibrateProjectorIntrinsics(const ProjectorCalibInput& input);

struct CamProjStereoInput {
    std::vector<std::vector<cv::Point3f>> objectPoints;
    std::vector<std::vector<cv::Point2f>> camCorners;
    std::vector<std::vector<cv::Point2f>> projCorners;
    cv::Size cameraSize, projectorSize;
    cv::Mat camK, camKc, projK, projKc; // start values as the flags ask for them
    int camFlags = 0, projFlags = 0;
    cv::TermCriteria criteria{cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-3};
};

struct CamProjStereoResult {
    bool ok = false;
    std::string error;
    double rms = 0; // overall RMS over both devices, px
    cv::Mat camK, camKc, projK, projKc;
    cv::Mat R, T, E, F;    // x_proj = R x_cam + T (mm)
    cv::Mat perViewErrors; // n x 2 CV_64F: camera RMS, projector RMS
    // Board poses per set, estimated with each device's calibrated intrinsics
    // and distortion held fixed (solvePnP).
    std::vector<cv::Mat> camRvecs, camTvecs, projRvecs, projTvecs;
};

// Calibrates camera and projector together with stereoCalibrateDual. Needs at
// least three sets; fails like calibrateProjectorIntrinsics otherwise.
CamProjStereoResult calibrateCamProjStereo(const CamProjStereoInput& input);

// Writes "imgSize", "K", "kc", "reprojErrRMS" (the projector intrinsics file).
// Returns false, with the reason, when the file cannot be written.
bool writeProjectorIntrinsicsFile(const std::string& path, cv::Size size, const cv::Mat& K, const cv::Mat& kc,
                                  double rms, std::string* error = nullptr);

// Writes "imgSize0", "K0", "kc0", "imgSize1", "K1", "kc1", "R", "T",
// "reprojErrRMS" (the camera-projector result). Returns false, with the
// reason, when the file cannot be written.
bool writeCamProjStereoFile(const std::string& path, const CamProjStereoResult& result, cv::Size cameraSize,
                            cv::Size projectorSize, std::string* error = nullptr);
