#include "core/calib/cam_proj_calib.h"

#include "core/calib/stereo_calib.h"
#include "core/geometry/camera_checks.h"
#include "core/structured_light/gray_code_decoder.h"

#include <opencv2/calib3d.hpp>

#include <QFileInfo>

#include <algorithm>
#include <cmath>

int intrinsicFlags(const IntrinsicFlagOptions& o)
{
    int flags = 0;
    if (o.fixIntrinsic)
        flags |= cv::CALIB_FIX_INTRINSIC;
    if (o.useIntrinsicGuess)
        flags |= cv::CALIB_USE_INTRINSIC_GUESS;
    if (o.fixFocal)
        flags |= cv::CALIB_FIX_FOCAL_LENGTH;
    if (o.fixPrincipalPoint)
        flags |= cv::CALIB_FIX_PRINCIPAL_POINT;
    if (o.fixAspectRatio)
        flags |= cv::CALIB_FIX_ASPECT_RATIO;
    const int fixK[6] = {cv::CALIB_FIX_K1, cv::CALIB_FIX_K2, cv::CALIB_FIX_K3,
                         cv::CALIB_FIX_K4, cv::CALIB_FIX_K5, cv::CALIB_FIX_K6};
    for (int i = 0; i < 6; ++i)
        if (o.fixK[i])
            flags |= fixK[i];
    if (o.rationalModel)
        flags |= cv::CALIB_RATIONAL_MODEL;
    if (!o.tangential)
        flags |= cv::CALIB_ZERO_TANGENT_DIST;
    if (!o.radial)
        flags |= cv::CALIB_ZERO_TANGENT_DIST | cv::CALIB_FIX_K1 | cv::CALIB_FIX_K2 | cv::CALIB_FIX_K3;
    return flags;
}

cv::Mat zeroDistortion()
{
    return cv::Mat::zeros(1, 5, CV_64F);
}

namespace {

bool allFinite(const cv::Mat& m)
{
    return m.empty() || cv::checkRange(m);
}

// Why a calibrated device is no camera: its focal lengths are not both
// positive. Empty when they are.
std::string nonPositiveFocalLengths(const char* device, const cv::Mat& K)
{
    if (isCameraMatrix(K))
        return {};
    return cv::format("the calibration gave the %s focal lengths that are not positive (%s)", device,
                      focalLengthsText(K).c_str());
}

// A board pose and RMS error of one set that a result can use: both vectors
// of three finite values and a finite error that is not negative.
bool usableSetResult(const cv::Mat& rvec, const cv::Mat& tvec, double error)
{
    return rvec.total() == 3 && tvec.total() == 3 && cv::checkRange(rvec) && cv::checkRange(tvec) &&
           std::isfinite(error) && error >= 0;
}

// The first of `count` sets whose pose or error in the device is not usable,
// told as nonFiniteSetResult tells it.
std::string firstUnusableSet(const char* device, size_t count, const std::vector<cv::Mat>& rvecs,
                             const std::vector<cv::Mat>& tvecs, const std::function<double(size_t)>& error,
                             int* set, const std::function<std::string(int)>& setName)
{
    for (size_t k = 0; k < count; ++k) {
        if (k < rvecs.size() && k < tvecs.size() && usableSetResult(rvecs[k], tvecs[k], error(k)))
            continue;
        if (set)
            *set = static_cast<int>(k);
        const std::string name = setName ? setName(static_cast<int>(k)) : cv::format("set %zu", k);
        return cv::format("the calibration gave the %s a board pose or reprojection error that is not finite "
                          "for %s",
                          device, name.c_str());
    }
    return {};
}

template <class A, class B> bool sameShape(const std::vector<A>& a, const std::vector<B>& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].size() != b[i].size() || a[i].size() < 4)
            return false;
    return true;
}

} // namespace

ProjectorCalibResult calibrateProjectorIntrinsics(const ProjectorCalibInput& in)
{
    ProjectorCalibResult r;
    if (in.objectPoints.empty()) {
        r.error = "no image set with projector corners";
        return r;
    }
    if (!sameShape(in.objectPoints, in.projCorners)) {
        r.error = "object points and projector corners do not match";
        return r;
    }
    if (in.projectorSize.width <= 0 || in.projectorSize.height <= 0) {
        r.error = "the projector size is not positive";
        return r;
    }
    for (size_t s = 0; s < in.projCorners.size(); ++s) {
        std::string why;
        if (!imagePointsWithinBound(in.projCorners[s], in.projectorSize, why)) {
            r.error = cv::format("the projector corners of set %zu: %s", s, why.c_str());
            return r;
        }
    }
    r.K = in.K.empty() ? cv::Mat() : in.K.clone();
    r.kc = in.kc.empty() ? cv::Mat() : in.kc.clone();
    try {
        cv::Mat stdExtrinsics, perView;
        r.rms = cv::calibrateCamera(in.objectPoints, in.projCorners, in.projectorSize, r.K, r.kc, r.rvecs,
                                    r.tvecs, r.stdIntrinsics, stdExtrinsics, perView, in.flags, in.criteria);
        perView.convertTo(perView, CV_64F);
        r.perViewErrors.assign(perView.begin<double>(), perView.end<double>());
    } catch (const cv::Exception& e) {
        r.error = e.what();
        return r;
    }
    if (!std::isfinite(r.rms) || !allFinite(r.K) || !allFinite(r.kc)) {
        r.error = "the calibration gave a result that is not finite";
        return r;
    }
    r.error = nonPositiveFocalLengths("projector", r.K);
    if (r.error.empty())
        r.error = nonFiniteSetResult(r, &r.failedSet);
    if (!r.error.empty())
        return r;
    r.ok = true;
    return r;
}

std::string nonFiniteSetResult(const ProjectorCalibResult& r, int* set,
                               const std::function<std::string(int)>& setName)
{
    const size_t n = std::max({r.rvecs.size(), r.tvecs.size(), r.perViewErrors.size()});
    auto error = [&](size_t k) { return k < r.perViewErrors.size() ? r.perViewErrors[k] : NAN; };
    return firstUnusableSet("projector", n, r.rvecs, r.tvecs, error, set, setName);
}

std::string nonFiniteSetResult(const CamProjStereoResult& r, int* set,
                               const std::function<std::string(int)>& setName)
{
    const size_t n = std::max({r.camRvecs.size(), r.camTvecs.size(), r.projRvecs.size(), r.projTvecs.size(),
                               static_cast<size_t>(r.perViewErrors.rows)});
    const bool errorsShaped = r.perViewErrors.cols == 2 && r.perViewErrors.type() == CV_64F;
    auto errorOf = [&](int device) {
        return [&r, errorsShaped, device](size_t k) {
            return errorsShaped && static_cast<int>(k) < r.perViewErrors.rows
                       ? r.perViewErrors.at<double>(static_cast<int>(k), device)
                       : NAN;
        };
    };
    std::string why = firstUnusableSet("camera", n, r.camRvecs, r.camTvecs, errorOf(0), set, setName);
    if (why.empty())
        why = firstUnusableSet("projector", n, r.projRvecs, r.projTvecs, errorOf(1), set, setName);
    return why;
}

namespace {

bool solvePoses(const std::vector<std::vector<cv::Point3f>>& object,
                const std::vector<std::vector<cv::Point2f>>& image, const cv::Mat& K, const cv::Mat& kc,
                std::vector<cv::Mat>& rvecs, std::vector<cv::Mat>& tvecs)
{
    rvecs.clear();
    tvecs.clear();
    for (size_t i = 0; i < object.size(); ++i) {
        cv::Mat rvec, tvec;
        if (!cv::solvePnP(object[i], image[i], K, kc, rvec, tvec, false, cv::SOLVEPNP_ITERATIVE))
            return false;
        rvec.convertTo(rvec, CV_64F);
        tvec.convertTo(tvec, CV_64F);
        rvecs.push_back(rvec);
        tvecs.push_back(tvec);
    }
    return true;
}

} // namespace

CamProjStereoResult calibrateCamProjStereo(const CamProjStereoInput& in)
{
    CamProjStereoResult r;
    if (in.objectPoints.size() < 3) {
        r.error = "at least 3 image sets are needed";
        return r;
    }
    if (!sameShape(in.objectPoints, in.camCorners) || !sameShape(in.objectPoints, in.projCorners)) {
        r.error = "object points, camera corners and projector corners do not match";
        return r;
    }
    if (in.cameraSize.width <= 0 || in.cameraSize.height <= 0 || in.projectorSize.width <= 0 ||
        in.projectorSize.height <= 0) {
        r.error = "an image size is not positive";
        return r;
    }
    r.camK = in.camK.empty() ? cv::Mat() : in.camK.clone();
    r.camKc = in.camKc.empty() ? cv::Mat() : in.camKc.clone();
    r.projK = in.projK.empty() ? cv::Mat() : in.projK.clone();
    r.projKc = in.projKc.empty() ? cv::Mat() : in.projKc.clone();
    try {
        r.camStartCut = startCoefficientCut(in.camKc, in.camFlags);
        r.projStartCut = startCoefficientCut(in.projKc, in.projFlags);
        r.rms = stereoCalibrateDual(in.objectPoints, in.camCorners, in.projCorners, r.camK, r.camKc, r.projK,
                                    r.projKc, in.cameraSize, in.projectorSize, r.R, r.T, r.E, r.F,
                                    r.perViewErrors, in.camFlags, in.projFlags, in.criteria, &r.refinement);
    } catch (const cv::Exception& e) {
        r.error = e.what();
        return r;
    }
    if (!std::isfinite(r.rms) || !allFinite(r.camK) || !allFinite(r.projK) || !allFinite(r.camKc) ||
        !allFinite(r.projKc) || !allFinite(r.R) || !allFinite(r.T)) {
        r.error = "the calibration gave a result that is not finite";
        return r;
    }
    r.error = nonPositiveFocalLengths("camera", r.camK);
    if (r.error.empty())
        r.error = nonPositiveFocalLengths("projector", r.projK);
    if (!r.error.empty())
        return r;
    try {
        if (!solvePoses(in.objectPoints, in.camCorners, r.camK, r.camKc, r.camRvecs, r.camTvecs) ||
            !solvePoses(in.objectPoints, in.projCorners, r.projK, r.projKc, r.projRvecs, r.projTvecs)) {
            r.error = "a board pose could not be estimated";
            return r;
        }
    } catch (const cv::Exception& e) {
        r.error = e.what();
        return r;
    }
    r.error = nonFiniteSetResult(r, &r.failedSet);
    if (!r.error.empty())
        return r;
    r.ok = true;
    return r;
}

namespace {

bool finishWrite(cv::FileStorage& fs, const std::string& path, std::string* error)
{
    try {
        fs.release();
    } catch (const cv::Exception& e) {
        if (error)
            *error = e.what();
        return false;
    }
    if (!QFileInfo(QString::fromStdString(path)).isFile()) {
        if (error)
            *error = "cannot write " + path;
        return false;
    }
    return true;
}

} // namespace

bool writeProjectorIntrinsicsFile(const std::string& path, cv::Size size, const cv::Mat& K, const cv::Mat& kc,
                                  double rms, std::string* error)
{
    if (error)
        error->clear();
    try {
        cv::FileStorage fs(path, cv::FileStorage::WRITE);
        if (!fs.isOpened()) {
            if (error)
                *error = "cannot open " + path + " for writing";
            return false;
        }
        fs << "imgSize" << size << "K" << K << "kc" << kc << "reprojErrRMS" << rms;
        return finishWrite(fs, path, error);
    } catch (const cv::Exception& e) {
        if (error)
            *error = e.what();
        return false;
    }
}

bool writeCamProjStereoFile(const std::string& path, const CamProjStereoResult& r, cv::Size cameraSize,
                            cv::Size projectorSize, std::string* error)
{
    if (error)
        error->clear();
    try {
        cv::FileStorage fs(path, cv::FileStorage::WRITE);
        if (!fs.isOpened()) {
            if (error)
                *error = "cannot open " + path + " for writing";
            return false;
        }
        fs << "imgSize0" << cameraSize << "K0" << r.camK << "kc0" << r.camKc << "imgSize1" << projectorSize
           << "K1" << r.projK << "kc1" << r.projKc << "R" << r.R << "T" << r.T << "reprojErrRMS" << r.rms;
        return finishWrite(fs, path, error);
    } catch (const cv::Exception& e) {
        if (error)
            *error = e.what();
        return false;
    }
}

// ---------------------------------------------------------------------------
// Whole runs

void CamProjSet::clearDetection()
{
    objectPoints.clear();
    camCorners.clear();
    imageSize = cv::Size();
    projCorners.clear();
}

void CamProjSet::clearDecoding()
{
    decodedMap.release();
    minMaxMap.release();
    projCorners.clear();
}

namespace {

bool tell(const CamProjProgressFn& progress, const CamProjProgress& step)
{
    return !progress || progress(step);
}

bool tellStage(const CamProjProgressFn& progress, CamProjStage stage)
{
    CamProjProgress step;
    step.stage = stage;
    return tell(progress, step);
}

bool tellSet(const CamProjProgressFn& progress, CamProjStage stage, int set, SetOutcome outcome,
             std::vector<std::string> messages = {})
{
    CamProjProgress step;
    step.stage = stage;
    step.set = set;
    step.outcome = outcome;
    step.messages = std::move(messages);
    return tell(progress, step);
}

CamProjStatus abortedStatus()
{
    CamProjStatus status;
    status.aborted = true;
    return status;
}

// The files a set's corners come from: image 0, and image 1 when there is one.
std::vector<DetectionCache::FileStamp> boardFileStamps(const CamProjSet& set)
{
    std::vector<DetectionCache::FileStamp> stamps;
    for (size_t k = 0; k < set.files.size() && k < 2; ++k)
        stamps.push_back(DetectionCache::stampOf(set.files[k]));
    return stamps;
}

// One request per checked set without corners: image 0, and image 1 as the
// fallback on OpenCV's detector (under the white pattern the board may be
// washed out, while the black pattern's capture shows it in ambient light).
std::vector<DetectionRequest> detectionRequests(const std::vector<CamProjSet>& sets,
                                                const ChessboardOptions& options)
{
    std::vector<DetectionRequest> requests(sets.size());
    for (size_t i = 0; i < sets.size(); ++i) {
        DetectionRequest& r = requests[i];
        r.selected = sets[i].checked && !sets[i].detected() && !sets[i].files.empty();
        if (!sets[i].files.empty())
            r.path = sets[i].files[0];
        if (!options.radon && sets[i].files.size() > 1)
            r.fallbackPath = sets[i].files[1];
    }
    return requests;
}

// A set whose board images changed on disk since its corners were found is
// taken as captured anew: everything made from it goes.
void forgetChangedSets(std::vector<CamProjSet>& sets)
{
    for (CamProjSet& set : sets) {
        if (set.checked && set.detected() && set.boardStamps != boardFileStamps(set)) {
            set.clearDetection();
            set.clearDecoding();
        }
    }
}

// Takes a new detection (or one the cache kept) into the set's record.
SetOutcome takeDetection(CamProjSet& set, const BoardDetection& detection, bool reused,
                         const ChessboardOptions& options)
{
    if (!detection.found()) {
        set.checked = false;
        set.clearDetection();
        return SetOutcome::Failed;
    }
    set.camCorners = detection.corners;
    set.objectPoints = chessboardObjectPoints(options.patternSize, options.squareWidth, options.squareHeight);
    set.imageSize = detection.imageSize;
    set.boardStamps = boardFileStamps(set);
    set.projCorners.clear();
    return reused ? SetOutcome::Reused : SetOutcome::Made;
}

// What the progress callback is told of a set whose corners were kept.
BoardDetection keptDetection(const CamProjSet& set)
{
    BoardDetection d;
    d.outcome = BoardDetection::Outcome::Found;
    d.corners = set.camCorners;
    d.imageSize = set.imageSize;
    return d;
}

} // namespace

CamProjStatus detectSetChessboards(std::vector<CamProjSet>& sets, const ChessboardOptions& options,
                                   DetectionCache& cache, const CamProjProgressFn& progress)
{
    if (!tellStage(progress, CamProjStage::Detection))
        return abortedStatus();
    forgetChangedSets(sets);
    CamProjStatus status;
    cv::Size reference;
    const auto step = [&](size_t index, std::optional<BoardDetection> detection, bool reused) {
        CamProjSet& set = sets[index];
        CamProjProgress told;
        told.stage = CamProjStage::Detection;
        told.set = static_cast<int>(index);
        if (!detection && set.checked && set.detected()) {
            detection = keptDetection(set);
            reused = true;
        }
        if (!detection) {
            told.outcome = set.checked ? SetOutcome::Failed : SetOutcome::Unchecked;
            set.checked = false; // no image to read
            return tell(progress, told);
        }
        if (detection->readable()) {
            if (reference.empty()) {
                reference = detection->imageSize;
            } else if (detection->imageSize != reference) {
                status.error = CamProjRunError::ImageSizeMismatch;
                status.errorSet = told.set;
                status.imageSize = detection->imageSize;
                status.referenceSize = reference;
                return false;
            }
        }
        if (detection->readable() || detection->outcome == BoardDetection::Outcome::Error)
            told.detection = detection;
        told.outcome =
            set.detected() && reused ? SetOutcome::Reused : takeDetection(set, *detection, reused, options);
        return tell(progress, told);
    };
    const DetectionPassResult pass = detectBoards(detectionRequests(sets, options), options, cache, step);
    status.aborted = pass.aborted && status.error == CamProjRunError::None;
    return status;
}

CamProjStatus decodeSets(std::vector<CamProjSet>& sets, const DecodingOptions& options,
                         cv::Size projectorSize, const CamProjProgressFn& progress)
{
    if (!tellStage(progress, CamProjStage::Decoding))
        return abortedStatus();
    CamProjStatus status;
    cv::Size reference;
    for (size_t s = 0; s < sets.size(); ++s) {
        CamProjSet& set = sets[s];
        const int i = static_cast<int>(s);
        std::vector<std::string> messages;
        SetOutcome outcome = SetOutcome::Reused;
        if (!set.checked) {
            outcome = SetOutcome::Unchecked;
        } else if (!set.decoded()) {
            const DecodeResult decoded = decodeImageSetImages(
                static_cast<int>(set.files.size()), [&](int k) { return loadGrayscaleImage(set.files[k]); },
                set.decodedMap, set.minMaxMap, projectorSize, options.blackLevel, options.minDirectLight);
            outcome = decoded.ok ? SetOutcome::Made : SetOutcome::Failed;
            if (!decoded.ok) {
                set.checked = false;
                set.clearDecoding();
                messages.push_back(decoded.error);
            }
        }
        if (set.checked && set.decoded()) {
            if (reference.empty()) {
                reference = set.decodedMap.size();
            } else if (set.decodedMap.size() != reference) {
                set.clearDecoding();
                status.error = CamProjRunError::DecodedSizeMismatch;
                status.errorSet = i;
                return status;
            }
        }
        if (!tellSet(progress, CamProjStage::Decoding, i, outcome, std::move(messages)))
            return abortedStatus();
    }
    return status;
}

namespace {

// Carries one set's camera corners into the projector; corners that fail
// leave the set's lists.
SetOutcome carryIntoProjector(CamProjSet& set, const ProjectorCornerOptions& options,
                              std::vector<std::string>& messages)
{
    if (!set.detected() || !set.decoded()) {
        set.projCorners.clear();
        return SetOutcome::Failed;
    }
    std::vector<int> failed;
    extractProjectorCorners(set.decodedMap, set.minMaxMap, set.camCorners, set.projCorners, failed, options,
                            &messages);
    for (auto it = failed.rbegin(); it != failed.rend(); ++it) {
        set.objectPoints.erase(set.objectPoints.begin() + *it);
        set.camCorners.erase(set.camCorners.begin() + *it);
    }
    return set.projCorners.empty() ? SetOutcome::Failed : SetOutcome::Made;
}

} // namespace

CamProjStatus extractSetProjectorCorners(std::vector<CamProjSet>& sets, const ProjectorCornerOptions& options,
                                         const CamProjProgressFn& progress)
{
    if (!tellStage(progress, CamProjStage::ProjectorCorners))
        return abortedStatus();
    for (size_t s = 0; s < sets.size(); ++s) {
        CamProjSet& set = sets[s];
        std::vector<std::string> messages;
        SetOutcome outcome = SetOutcome::Unchecked;
        if (set.checked)
            outcome = set.hasProjCorners() ? SetOutcome::Reused : carryIntoProjector(set, options, messages);
        if (!tellSet(progress, CamProjStage::ProjectorCorners, static_cast<int>(s), outcome,
                     std::move(messages)))
            return abortedStatus();
    }
    return CamProjStatus();
}

namespace {

// The stages of both runs, and the sets that have corners in both devices
// (checked ones; unchecked ones are told as left out). False when the run
// stops; the status then says why.
bool prepareSets(const CamProjRunInput& input, DetectionCache& cache, const CamProjProgressFn& progress,
                 CamProjRunResult& run)
{
    run.sets = input.sets;
    run.projectorSize = input.projectorSize;
    for (CamProjSet& set : run.sets) {
        set.cam.reset();
        set.proj.reset();
    }
    CamProjStatus& status = run;
    if (run.sets.empty()) {
        status.error = CamProjRunError::NoImageSets;
        return false;
    }
    if (input.projectorSize.width <= 0 || input.projectorSize.height <= 0) {
        status.error = CamProjRunError::BadInput;
        status.message = "the projector size is not positive";
        return false;
    }
    status = detectSetChessboards(run.sets, input.detection, cache, progress);
    if (status.ok())
        status = decodeSets(run.sets, input.decoding, input.projectorSize, progress);
    if (status.ok())
        status = extractSetProjectorCorners(run.sets, input.corners, progress);
    if (!status.ok())
        return false;
    if (!tellStage(progress, CamProjStage::Gathering)) {
        status = abortedStatus();
        return false;
    }
    for (size_t s = 0; s < run.sets.size(); ++s) {
        const CamProjSet& set = run.sets[s];
        if (!set.hasProjCorners())
            continue;
        if (set.checked) {
            run.used.push_back(static_cast<int>(s));
            if (run.cameraSize.empty())
                run.cameraSize = set.imageSize;
        } else if (!tellSet(progress, CamProjStage::Gathering, static_cast<int>(s), SetOutcome::Unchecked)) {
            status = abortedStatus();
            return false;
        }
    }
    return true;
}

bool tellCalibration(const CamProjProgressFn& progress, size_t setsUsed)
{
    CamProjProgress step;
    step.stage = CamProjStage::Calibration;
    step.setsUsed = static_cast<int>(setsUsed);
    return tell(progress, step);
}

// Fails the run on a failed calibration step. A set whose pose or error is
// not finite is named by its place in the tree and its folder.
template <class Result> void failCalibration(CamProjRunResult& run, const Result& calibration)
{
    run.error = CamProjRunError::Calibration;
    run.message = calibration.error;
    if (calibration.failedSet < 0 || calibration.failedSet >= static_cast<int>(run.used.size()))
        return;
    run.errorSet = run.used[static_cast<size_t>(calibration.failedSet)];
    run.message = nonFiniteSetResult(calibration, nullptr, [&run](int k) {
        const int s = run.used[static_cast<size_t>(k)];
        return cv::format("image set %d (%s)", s, run.sets[static_cast<size_t>(s)].name.c_str());
    });
}

// The device's start values as its options ask for them: without radial
// distortion the coefficients are zero.
cv::Mat startDistortion(const DeviceCalibration& device)
{
    return device.options.radial ? device.kc : zeroDistortion();
}

} // namespace

ProjectorRunResult calibrateProjectorIntrinsics(const CamProjRunInput& input, DetectionCache& cache,
                                                const CamProjProgressFn& progress)
{
    ProjectorRunResult run;
    if (!prepareSets(input, cache, progress, run))
        return run;
    if (!tellCalibration(progress, run.used.size())) {
        static_cast<CamProjStatus&>(run) = abortedStatus();
        return run;
    }
    if (run.used.empty()) {
        run.error = CamProjRunError::TooFewSets;
        return run;
    }
    ProjectorCalibInput calib;
    for (const int s : run.used) {
        calib.objectPoints.push_back(run.sets[static_cast<size_t>(s)].objectPoints);
        calib.projCorners.push_back(run.sets[static_cast<size_t>(s)].projCorners);
    }
    calib.projectorSize = input.projectorSize;
    calib.K = input.projector.K;
    calib.kc = startDistortion(input.projector);
    calib.flags = intrinsicFlags(input.projector.options);
    calib.criteria = input.criteria;
    run.calibration = calibrateProjectorIntrinsics(calib);
    if (!run.calibration.ok) {
        failCalibration(run, run.calibration);
        return run;
    }
    for (size_t k = 0; k < run.used.size(); ++k) {
        CamProjSet& set = run.sets[static_cast<size_t>(run.used[k])];
        set.proj =
            SetPose{run.calibration.rvecs[k], run.calibration.tvecs[k], run.calibration.perViewErrors[k]};
    }
    return run;
}

CamProjStereoRunResult calibrateCamProjStereo(const CamProjRunInput& input, DetectionCache& cache,
                                              const CamProjProgressFn& progress)
{
    CamProjStereoRunResult run;
    if (!prepareSets(input, cache, progress, run))
        return run;
    if (run.used.size() < 3) {
        run.error = CamProjRunError::TooFewSets;
        return run;
    }
    if (!tellCalibration(progress, run.used.size())) {
        static_cast<CamProjStatus&>(run) = abortedStatus();
        return run;
    }
    CamProjStereoInput calib;
    for (const int s : run.used) {
        const CamProjSet& set = run.sets[static_cast<size_t>(s)];
        calib.objectPoints.push_back(set.objectPoints);
        calib.camCorners.push_back(set.camCorners);
        calib.projCorners.push_back(set.projCorners);
    }
    calib.cameraSize = run.cameraSize;
    calib.projectorSize = input.projectorSize;
    calib.camK = input.camera.K;
    calib.camKc = startDistortion(input.camera);
    calib.projK = input.projector.K;
    calib.projKc = startDistortion(input.projector);
    calib.camFlags = intrinsicFlags(input.camera.options);
    calib.projFlags = intrinsicFlags(input.projector.options);
    calib.criteria = input.criteria;
    run.calibration = calibrateCamProjStereo(calib);
    if (!run.calibration.ok) {
        failCalibration(run, run.calibration);
        return run;
    }
    const CamProjStereoResult& c = run.calibration;
    for (size_t k = 0; k < run.used.size(); ++k) {
        CamProjSet& set = run.sets[static_cast<size_t>(run.used[k])];
        const int row = static_cast<int>(k);
        set.cam = SetPose{c.camRvecs[k], c.camTvecs[k], c.perViewErrors.at<double>(row, 0)};
        set.proj = SetPose{c.projRvecs[k], c.projTvecs[k], c.perViewErrors.at<double>(row, 1)};
    }
    return run;
}
