#pragma once

// Projector calibration and camera-projector stereo calibration, as whole
// runs from the captured image sets to the result, and as the calibration
// step alone from corners.
//
// A run goes through four stages per image set (one board pose): the board
// is found in the camera (detection), the Gray code captures are decoded into
// projector coordinates (decoding), the camera corners are carried into the
// projector through local homographies (projector corners), and the sets
// that have corners in both devices are calibrated. What a stage made for a
// set is kept in the set's record (CamProjSet) and reused by later runs until
// the caller empties that stage (an option it depends on changed, or another
// folder was opened).
//
// Units: object points in mm, corners in pixels of their device. Poses:
// (rvec, tvec) map board coordinates into the device, x_dev = R(rvec) x_board
// + tvec; the stereo pose maps camera into projector coordinates,
// x_proj = R x_cam + T (mm).

#include "core/calib/stereo_calib.h"
#include "core/chessboard/detection_pass.h"
#include "core/structured_light/projector_corners.h"

#include <opencv2/core.hpp>

#include <functional>
#include <optional>
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
    // The set, in the input's order, whose pose or error is not finite
    // (nonFiniteSetResult); -1 for none.
    int failedSet = -1;
};

// Calibrates the projector like a camera that sees the board. Fails (ok false,
// error set) for fewer than one set, lists of different lengths, a projector
// size that is not positive, an OpenCV error, a result that is not finite
// (also a board pose or an error of one set: failedSet tells which) or focal
// lengths that are not both positive.
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
    // The given start coefficients each device's five-coefficient model left
    // out (startCoefficientCut).
    CoefficientCut camStartCut, projStartCut;
    cv::Mat R, T, E, F;    // x_proj = R x_cam + T (mm)
    cv::Mat perViewErrors; // n x 2 CV_64F: camera RMS, projector RMS
    // How the joint refinement ended: converged (a further full step would
    // move the reprojected points by less than epsilon), or why it stopped
    // before.
    StereoRefinementReport refinement;
    // Board poses per set, estimated with each device's calibrated intrinsics
    // and distortion held fixed (solvePnP).
    std::vector<cv::Mat> camRvecs, camTvecs, projRvecs, projTvecs;
    // The set, in the input's order, whose pose or error is not finite
    // (nonFiniteSetResult); -1 for none.
    int failedSet = -1;
};

// Calibrates camera and projector together with stereoCalibrateDual. Needs at
// least three sets; fails like calibrateProjectorIntrinsics otherwise.
CamProjStereoResult calibrateCamProjStereo(const CamProjStereoInput& input);

// Why the per-set results of a calibration cannot be used: the first set
// whose board pose or RMS error in a device is missing, not finite or (the
// error) negative, named as `setName` names the sets in the caller's order
// (the result's own order when empty). Empty when every set's are usable;
// otherwise *set, when given, is that set's place in the result's order.
// Both calibration steps fail on such a result.
std::string nonFiniteSetResult(const ProjectorCalibResult& result, int* set = nullptr,
                               const std::function<std::string(int)>& setName = {});
std::string nonFiniteSetResult(const CamProjStereoResult& result, int* set = nullptr,
                               const std::function<std::string(int)>& setName = {});

// Writes "imgSize", "K", "kc", "reprojErrRMS" (the projector intrinsics file).
// Returns false, with the reason, when the file cannot be written.
bool writeProjectorIntrinsicsFile(const std::string& path, cv::Size size, const cv::Mat& K, const cv::Mat& kc,
                                  double rms, std::string* error = nullptr);

// Writes "imgSize0", "K0", "kc0", "imgSize1", "K1", "kc1", "R", "T",
// "reprojErrRMS" (the camera-projector result). Returns false, with the
// reason, when the file cannot be written.
bool writeCamProjStereoFile(const std::string& path, const CamProjStereoResult& result, cv::Size cameraSize,
                            cv::Size projectorSize, std::string* error = nullptr);

// ---- Whole runs -----------------------------------------------------------

// A board pose seen by one device in a calibration, and how well the
// calibrated device explains the set's corners.
struct SetPose {
    cv::Mat rvec, tvec; // board -> device, 3x1 CV_64F (tvec in mm)
    double error = 0;   // RMS reprojection error of the set's corners, device px
};

// One image set (one board pose) and what the stages made of it.
struct CamProjSet {
    std::string name;               // the subfolder's name, for messages
    std::vector<std::string> files; // captures in pattern order: 0 white, 1 black, then the Gray code pairs
    bool checked = true;            // takes part; a run unchecks a set it cannot use

    // Detection: the board's corners (mm) and the camera corners (camera px),
    // aligned; both empty while the set is not detected. imageSize is the
    // camera image size found with them, boardStamps identify the contents
    // of images 0 and 1 then.
    std::vector<cv::Point3f> objectPoints;
    std::vector<cv::Point2f> camCorners;
    cv::Size imageSize;
    std::vector<DetectionCache::FileStamp> boardStamps;
    // Decoding: decoded map (CV_32FC2) and min/max map (CV_8UC2) of the
    // camera image size; empty while the set is not decoded.
    cv::Mat decodedMap, minMaxMap;
    // Projector corners (projector px), aligned with camCorners; empty while
    // not carried over. A corner that could not be carried over is removed
    // from objectPoints and camCorners.
    std::vector<cv::Point2f> projCorners;

    // The last calibration that used the set: the board pose in each device
    // and the set's error. Absent for a set it did not use, for the camera
    // after a projector calibration, and after a run that failed.
    std::optional<SetPose> cam, proj;

    bool detected() const { return !objectPoints.empty() && !camCorners.empty(); }
    bool decoded() const { return !decodedMap.empty() && !minMaxMap.empty(); }
    bool hasProjCorners() const { return detected() && projCorners.size() == camCorners.size(); }
    // Empty a stage together with the stages built on it.
    void clearDetection();
    void clearDecoding();
    void clearProjectorCorners() { projCorners.clear(); }
};

// Direct/global separation and decoding options.
struct DecodingOptions {
    float blackLevel = 0.7f; // b: light of an off projector pixel relative to an on one, 0 <= b < 1
    int minDirectLight = 5;  // m: least direct light (grey levels) for a pixel to be decoded; 0 disables
};

// What is estimated for one device, and its start values (read as the
// options ask for them; empty when there are none). Without radial
// distortion the device's coefficients start and stay at zero.
struct DeviceCalibration {
    IntrinsicFlagOptions options;
    cv::Mat K, kc; // 3x3 and one row, CV_64F
};

struct CamProjRunInput {
    std::vector<CamProjSet> sets; // in tree order, with what earlier runs made
    ChessboardOptions detection;
    DecodingOptions decoding;
    ProjectorCornerOptions corners;
    cv::Size projectorSize;      // projector px
    DeviceCalibration camera;    // the stereo run only
    DeviceCalibration projector; // both runs
    cv::TermCriteria criteria{cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-3};
};

enum class CamProjStage {
    Detection,        // the board in image 0 of each set (image 1 as fallback on OpenCV's detector)
    Decoding,         // Gray code decoding with direct/global separation
    ProjectorCorners, // camera corners carried into the projector
    Gathering,        // choosing the sets that have corners in both devices
    Calibration       // the calibration proper
};

enum class SetOutcome {
    Unchecked, // the set does not take part
    Reused,    // an earlier result was kept
    Made,      // made now
    Failed     // the set could not be used; the run unchecks it (not in the projector-corner stage)
};

// Told when a stage begins (set -1) and after each set of a stage; in the
// Calibration stage only its beginning, with the number of sets used.
struct CamProjProgress {
    CamProjStage stage = CamProjStage::Detection;
    int set = -1;
    SetOutcome outcome = SetOutcome::Made;
    // Detection: what the detector said (nothing for an unchecked set or an
    // image that cannot be read).
    std::optional<BoardDetection> detection;
    // OpenCV errors met on the way (projector corners), or why a set failed
    // (decoding).
    std::vector<std::string> messages;
    int setsUsed = 0; // Calibration
};

// Called in the caller's thread; returning false stops the run (abort).
using CamProjProgressFn = std::function<bool(const CamProjProgress&)>;

enum class CamProjRunError {
    None,
    NoImageSets,         // no sets at all
    BadInput,            // a projector or camera size that is not positive (message)
    ImageSizeMismatch,   // set errorSet's image differs in size from the first one of the pass
    DecodedSizeMismatch, // set errorSet's decoded maps differ in size from the first ones
    TooFewSets,          // fewer sets with corners in both devices than the calibration needs
    Calibration          // the calibration failed: OpenCV's text or why the result is unusable (message);
                         // errorSet when one set's pose or error is not finite
};

// How a run or a stage ended.
struct CamProjStatus {
    bool aborted = false;
    CamProjRunError error = CamProjRunError::None;
    std::string message;
    int errorSet = -1;                 // ImageSizeMismatch, DecodedSizeMismatch, Calibration
    cv::Size imageSize, referenceSize; // ImageSizeMismatch: the set's size and the first one's
    bool ok() const { return !aborted && error == CamProjRunError::None; }
};

struct CamProjRunResult : CamProjStatus {
    // The input's sets with what the run made: stage results (also those made
    // before an abort or a failure), check states, and the per-set poses of
    // a calibration that succeeded.
    std::vector<CamProjSet> sets;
    std::vector<int> used;  // sets that took part in the calibration, in set order
    cv::Size cameraSize;    // camera image size (from the detection)
    cv::Size projectorSize; // the input's
};

struct ProjectorRunResult : CamProjRunResult {
    ProjectorCalibResult calibration; // valid when ok()
};

struct CamProjStereoRunResult : CamProjRunResult {
    CamProjStereoResult calibration; // valid when ok()
};

// The stages, each over all sets, updating the sets in place. A stage keeps
// a set's earlier result where it has one, skips unchecked sets, and
// unchecks sets it cannot use.
//
// Detection finds the board, in the checked sets without corners, through
// detectBoards with the caller's cache: image 0 of a set, and on OpenCV's
// detector image 1 when image 0 shows no board. A set keeps its corners
// while its images 0 and 1 are unchanged on disk; a set whose images changed
// is detected anew and its maps are emptied. A set whose board is not found
// or whose image cannot be read is unchecked. All checked sets must have
// images of one size: the first set of another size stops the stage
// (ImageSizeMismatch), the sets before it keep what they found.
CamProjStatus detectSetChessboards(std::vector<CamProjSet>& sets, const ChessboardOptions& options,
                                   DetectionCache& cache, const CamProjProgressFn& progress = {});
// Decodes every checked set without maps. The first set's maps fix the size;
// a set of another size stops the stage (DecodedSizeMismatch).
CamProjStatus decodeSets(std::vector<CamProjSet>& sets, const DecodingOptions& options,
                         cv::Size projectorSize, const CamProjProgressFn& progress = {});
// Carries the camera corners of every checked, detected and decoded set into
// the projector, unless the set has projector corners for all of them.
CamProjStatus extractSetProjectorCorners(std::vector<CamProjSet>& sets, const ProjectorCornerOptions& options,
                                         const CamProjProgressFn& progress = {});

// The projector calibration run: the three stages, then the projector's
// intrinsics from every checked set with corners in both devices (at least
// one). The camera's per-set poses are left empty.
ProjectorRunResult calibrateProjectorIntrinsics(const CamProjRunInput& input, DetectionCache& cache,
                                                const CamProjProgressFn& progress = {});

// The camera-projector stereo run: the three stages, then both devices and
// the projector's pose relative to the camera from at least three sets.
CamProjStereoRunResult calibrateCamProjStereo(const CamProjRunInput& input, DetectionCache& cache,
                                              const CamProjProgressFn& progress = {});
