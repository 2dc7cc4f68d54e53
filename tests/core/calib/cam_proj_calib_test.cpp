#include "core/calib/cam_proj_calib.h"
#include "core/geometry/corner_refinement.h"
#include "core/geometry/rotation_checks.h"
#include "core/structured_light/gray_code_decoder.h"
#include "core/structured_light/image_sets.h"
#include "core/structured_light/projector_corners.h"

#include "camproj_sim.h"
#include "synthetic.h"
#include "test_helpers.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <thread>

namespace {

constexpr double kMaxCornerRmsPx = 0.2;     // projector corners against the truth
constexpr double kMaxFocalShare = 0.005;    // fx, fy
constexpr double kMaxPrincipalPx = 2.0;     // cx, cy
constexpr double kMaxRotationDeg = 0.1;     // camera -> projector rotation
constexpr double kMaxBaselineShare = 0.005; // translation error as a share of the baseline
// Tight criteria, so that these checks measure the calibration and not
// where a looser epsilon lets the optimisation stop.
const cv::TermCriteria kConverged(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 300, 1e-9);

// What the dialog computes for one set, from the captures to the projector
// corners, with its default options.
struct SetData {
    std::vector<cv::Point3f> objectPoints;
    std::vector<cv::Point2f> camCorners, projCorners, projTruth;
};

class SimulatedRig : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        rig = new synth::CamProjRig(synth::makeCamProjRig());
        const synth::CamProjScene scene;
        const std::vector<synth::View> views = synth::camProjViews(*rig, scene, 12, 21);
        sets = new std::vector<SetData>;
        for (const synth::View& view : views) {
            synth::CamProjSetTruth truth;
            const std::vector<cv::Mat> images = synth::renderCamProjSet(*rig, scene, view, &truth);
            cv::Mat decoded, minMax;
            const DecodeResult r = decodeImageSetImages(
                static_cast<int>(images.size()), [&](int i) { return images[static_cast<size_t>(i)]; },
                decoded, minMax, rig->projector.size, 0.7f, 5);
            ASSERT_TRUE(r.ok) << r.error;
            std::vector<cv::Point2f> found, corners;
            ASSERT_TRUE(
                cv::findChessboardCorners(images[0], scene.pattern, found, cv::CALIB_CB_ADAPTIVE_THRESH));
            std::vector<int> windows;
            refineCornersAdaptive(images[0], found, 0.1, cv::Size(1, 1), corners, windows);
            SetData set;
            set.objectPoints = truth.objectPoints;
            set.camCorners = corners;
            std::vector<int> failed;
            extractProjectorCorners(decoded, minMax, corners, set.projCorners, failed,
                                    ProjectorCornerOptions());
            set.projTruth = truth.projectorCorners;
            for (auto it = failed.rbegin(); it != failed.rend(); ++it) {
                set.objectPoints.erase(set.objectPoints.begin() + *it);
                set.camCorners.erase(set.camCorners.begin() + *it);
                set.projTruth.erase(set.projTruth.begin() + *it);
            }
            sets->push_back(set);
        }
    }
    static void TearDownTestSuite()
    {
        delete rig;
        delete sets;
    }

    static void checkProjectorIntrinsics();
    static void checkStereo();

    static synth::CamProjRig* rig;
    static std::vector<SetData>* sets;
};

synth::CamProjRig* SimulatedRig::rig = nullptr;
std::vector<SetData>* SimulatedRig::sets = nullptr;

} // namespace

// Rendering the rig's sets is the expensive part, so one test checks the
// projector corners, the projector calibration and the stereo calibration.
TEST_F(SimulatedRig, CornersAndBothCalibrationsMatchTheTruth)
{
    SCOPED_TRACE("projector corners");
    {
        double sum = 0;
        size_t count = 0;
        for (const SetData& set : *sets) {
            for (size_t k = 0; k < set.projCorners.size(); ++k) {
                const cv::Point2f d = set.projCorners[k] - set.projTruth[k];
                sum += d.dot(d);
                ++count;
            }
        }
        ASSERT_GT(count, 0.95 * 54 * sets->size()); // nearly every corner carried over
        const double rms = std::sqrt(sum / count);
        std::printf("projector corners: %zu, RMS %.4f px\n", count, rms);
        EXPECT_LT(rms, kMaxCornerRmsPx);
    }
    checkProjectorIntrinsics();
    checkStereo();
}

void SimulatedRig::checkProjectorIntrinsics()
{
    ProjectorCalibInput input;
    for (const SetData& set : *sets) {
        input.objectPoints.push_back(set.objectPoints);
        input.projCorners.push_back(set.projCorners);
    }
    input.projectorSize = rig->projector.size;
    IntrinsicFlagOptions options; // k3 fixed, no tangential distortion
    options.fixK[2] = true;
    input.flags = intrinsicFlags(options);
    input.criteria = kConverged;
    const ProjectorCalibResult r = calibrateProjectorIntrinsics(input);
    ASSERT_TRUE(r.ok) << r.error;
    const cv::Matx33d& K = rig->projector.K;
    std::printf("projector fx %.2f (%.2f) fy %.2f (%.2f) cx %.2f (%.2f) cy %.2f (%.2f) rms %.4f\n",
                r.K.at<double>(0, 0), K(0, 0), r.K.at<double>(1, 1), K(1, 1), r.K.at<double>(0, 2), K(0, 2),
                r.K.at<double>(1, 2), K(1, 2), r.rms);
    EXPECT_NEAR(r.K.at<double>(0, 0), K(0, 0), kMaxFocalShare * K(0, 0));
    EXPECT_NEAR(r.K.at<double>(1, 1), K(1, 1), kMaxFocalShare * K(1, 1));
    EXPECT_NEAR(r.K.at<double>(0, 2), K(0, 2), kMaxPrincipalPx);
    EXPECT_NEAR(r.K.at<double>(1, 2), K(1, 2), kMaxPrincipalPx);
    ASSERT_EQ(r.rvecs.size(), sets->size());
    EXPECT_EQ(r.perViewErrors.size(), sets->size());

    // The file the sensor tree imports.
    QTemporaryDir dir;
    const std::string path = (dir.path() + "/Proj-Intr.yml").toStdString();
    ASSERT_TRUE(writeProjectorIntrinsicsFile(path, input.projectorSize, r.K, r.kc, r.rms));
    cv::FileStorage fs(path, cv::FileStorage::READ);
    cv::Mat K2;
    cv::Size size;
    fs["K"] >> K2;
    fs["imgSize"] >> size;
    EXPECT_EQ(size, input.projectorSize);
    EXPECT_TRUE(testing_support::matNear(K2, r.K, 1e-9));
    std::string error;
    EXPECT_FALSE(writeProjectorIntrinsicsFile(dir.path().toStdString() + "/missing/Proj-Intr.yml", size, r.K,
                                              r.kc, r.rms, &error));
    EXPECT_FALSE(error.empty());
}

void SimulatedRig::checkStereo()
{
    CamProjStereoInput input;
    for (const SetData& set : *sets) {
        input.objectPoints.push_back(set.objectPoints);
        input.camCorners.push_back(set.camCorners);
        input.projCorners.push_back(set.projCorners);
    }
    input.cameraSize = rig->camera.size;
    input.projectorSize = rig->projector.size;
    IntrinsicFlagOptions options;
    options.fixK[2] = true;
    input.projFlags = intrinsicFlags(options);
    options.tangential = true; // the camera's lens is slightly decentred
    input.camFlags = intrinsicFlags(options);
    input.criteria = kConverged;
    const CamProjStereoResult r = calibrateCamProjStereo(input);
    ASSERT_TRUE(r.ok) << r.error;
    const cv::Mat R_true(rig->R_proj_cam), T_true(rig->t_proj_cam);
    const double angle = rotationAngleDeg(r.R, R_true);
    const double dT = cv::norm(r.T - T_true);
    std::printf("stereo: R off by %.4f deg, T off by %.3f mm of a %.1f mm baseline, rms %.4f\n", angle, dT,
                rig->baseline(), r.rms);
    EXPECT_LT(angle, kMaxRotationDeg);
    EXPECT_LT(dT, kMaxBaselineShare * rig->baseline());
    EXPECT_NEAR(r.projK.at<double>(0, 0), rig->projector.K(0, 0), kMaxFocalShare * rig->projector.K(0, 0));
    EXPECT_NEAR(r.camK.at<double>(0, 0), rig->camera.K(0, 0), kMaxFocalShare * rig->camera.K(0, 0));
    ASSERT_EQ(r.perViewErrors.rows, static_cast<int>(sets->size()));
    ASSERT_EQ(r.camRvecs.size(), sets->size());
    // Per-set poses: the camera's and the projector's views of one board
    // differ by the stereo pose.
    for (size_t i = 0; i < sets->size(); ++i) {
        cv::Mat Rc, Rp;
        cv::Rodrigues(r.camRvecs[i], Rc);
        cv::Rodrigues(r.projRvecs[i], Rp);
        EXPECT_LT(rotationAngleDeg(Rp, r.R * Rc), 0.2) << i;
        EXPECT_LT(cv::norm(r.projTvecs[i] - (r.R * r.camTvecs[i] + r.T)), 2.0) << i;
    }

    // Too few sets, and corners that do not match.
    CamProjStereoInput two = input;
    two.objectPoints.resize(2);
    two.camCorners.resize(2);
    two.projCorners.resize(2);
    EXPECT_FALSE(calibrateCamProjStereo(two).ok);
    CamProjStereoInput broken = input;
    broken.projCorners[1].pop_back();
    EXPECT_FALSE(calibrateCamProjStereo(broken).ok);
}

namespace {

// Both calibrations of four views of synth::squarePoints() by a 640x480
// camera and projector: the projector alone, from `projector`, and camera
// and projector together.
struct BothCalibrations {
    ProjectorCalibResult alone;
    CamProjStereoResult together;
};

BothCalibrations calibrateBoth(const std::vector<std::vector<cv::Point2f>>& camera,
                               const std::vector<std::vector<cv::Point2f>>& projector, int flags)
{
    ProjectorCalibInput in;
    in.objectPoints.assign(projector.size(), synth::squarePoints());
    in.projCorners = projector;
    in.projectorSize = cv::Size(640, 480);
    in.flags = flags;
    CamProjStereoInput both;
    both.objectPoints = in.objectPoints;
    both.camCorners = camera;
    both.projCorners = projector;
    both.cameraSize = both.projectorSize = in.projectorSize;
    both.camFlags = both.projFlags = flags;
    return {calibrateProjectorIntrinsics(in), calibrateCamProjStereo(both)};
}

} // namespace

// A device whose calibration gives focal lengths that are not positive is
// no camera: the calibration fails and says so, for the projector alone and
// for camera and projector together.
TEST(CamProjCalib, FocalLengthsThatAreNotPositiveFailTheCalibration)
{
    const int flags = cv::CALIB_FIX_ASPECT_RATIO | cv::CALIB_FIX_K3 | cv::CALIB_ZERO_TANGENT_DIST;
    const ProjectorCalibResult alone = calibrateBoth({}, synth::scatteredSquareViews(), flags).alone;
    EXPECT_FALSE(alone.ok);
    EXPECT_EQ(alone.error, "the calibration gave the projector focal lengths that are not positive (fx = "
                           "-266.033 px, fy = -266.033 px)");

    const std::array<std::vector<std::vector<cv::Point2f>>, 2> pairs = synth::scatteredSquareViewPairs();
    const CamProjStereoResult together = calibrateBoth(pairs[0], pairs[1], flags).together;
    EXPECT_FALSE(together.ok);
    EXPECT_EQ(together.error.rfind("the calibration gave the camera focal lengths that are not positive", 0),
              0u)
        << together.error;
}

// A board pose or an RMS error of one set that is not finite would reach the
// error view and the board axes: the check both calibration steps end with
// refuses the result and names the set and the device. The faults are
// injected into results that passed, as a degenerate solvePnP leaves them.
TEST(CamProjCalib, ASetPoseOrErrorThatIsNotFiniteFailsTheResult)
{
    const int flags = cv::CALIB_FIX_ASPECT_RATIO | cv::CALIB_FIX_K3 | cv::CALIB_ZERO_TANGENT_DIST;
    const BothCalibrations good = calibrateBoth(
        synth::squareViews(), synth::squareViews(cv::Vec3d(0, 0.1, 0), cv::Vec3d(-100, 0, 0)), flags);
    ASSERT_TRUE(good.alone.ok) << good.alone.error;
    ASSERT_TRUE(good.together.ok) << good.together.error;
    EXPECT_EQ(nonFiniteSetResult(good.alone), "");
    EXPECT_EQ(nonFiniteSetResult(good.together), "");

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    enum class Fault { Rvec, Tvec, Error, NegativeError, MissingPose };
    struct Case {
        const char* device; // whose result is spoilt
        int set;
        Fault fault;
    };
    const Case cases[] = {{"camera", 3, Fault::Rvec},
                          {"camera", 0, Fault::Tvec},
                          {"camera", 1, Fault::Error},
                          {"projector", 3, Fault::Rvec},
                          {"projector", 2, Fault::Tvec},
                          {"projector", 1, Fault::Error},
                          {"projector", 0, Fault::NegativeError},
                          {"projector", 2, Fault::MissingPose}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.device) + " set " + std::to_string(c.set) + " fault " +
                     std::to_string(static_cast<int>(c.fault)));
        const bool camera = std::string(c.device) == "camera";
        CamProjStereoResult together = good.together;
        ProjectorCalibResult alone = good.alone;
        // Deep copies: the results share their matrices with `good`.
        for (auto* poses : {&together.camRvecs, &together.camTvecs, &together.projRvecs, &together.projTvecs,
                            &alone.rvecs, &alone.tvecs})
            for (cv::Mat& m : *poses)
                m = m.clone();
        together.perViewErrors = together.perViewErrors.clone();
        const size_t k = static_cast<size_t>(c.set);
        std::vector<cv::Mat>& rvecs = camera ? together.camRvecs : together.projRvecs;
        std::vector<cv::Mat>& tvecs = camera ? together.camTvecs : together.projTvecs;
        double& error = together.perViewErrors.at<double>(c.set, camera ? 0 : 1);
        switch (c.fault) {
        case Fault::Rvec:
            rvecs[k].at<double>(1) = nan;
            alone.rvecs[k].at<double>(1) = nan;
            break;
        case Fault::Tvec:
            tvecs[k].at<double>(2) = inf;
            alone.tvecs[k].at<double>(2) = -inf;
            break;
        case Fault::Error:
            error = nan;
            alone.perViewErrors[k] = inf;
            break;
        case Fault::NegativeError:
            error = -1;
            alone.perViewErrors[k] = -1;
            break;
        case Fault::MissingPose:
            rvecs[k].release();
            alone.rvecs[k].release();
            break;
        }
        int set = -1;
        EXPECT_EQ(nonFiniteSetResult(together, &set),
                  "the calibration gave the " + std::string(c.device) +
                      " a board pose or reprojection error that is not finite for set " +
                      std::to_string(c.set));
        EXPECT_EQ(set, c.set);
        if (camera)
            continue;
        set = -1;
        EXPECT_EQ(
            nonFiniteSetResult(alone, &set, [](int s) { return "image set " + std::to_string(s + 4); }),
            "the calibration gave the projector a board pose or reprojection error that is not finite for "
            "image set " +
                std::to_string(c.set + 4));
        EXPECT_EQ(set, c.set);
    }
}

// Projector corners far outside the projector's image are no measurement:
// near the end of the float range they would make the calibration end the
// process. Both calibrations refuse them before they start.
TEST(CamProjCalib, CornersFarOutsideTheProjectorAreRefused)
{
    std::vector<std::vector<cv::Point2f>> corners = synth::squareViews();
    corners[2] = {{1.26e34f, 10}, {20, -1.76e38f}, {1.26e34f, 1.26e34f}, {9.46e35f, -1.76e38f}};
    const BothCalibrations r = calibrateBoth(synth::squareViews(), corners, 0);
    EXPECT_FALSE(r.alone.ok);
    EXPECT_EQ(r.alone.error, "the projector corners of set 2: point 0 has x = 1.26e+34 px, outside -640 to "
                             "1280 px for a 640x480 image");
    EXPECT_FALSE(r.together.ok);
    EXPECT_NE(r.together.error.find("imagePoints2: point 8 has x = 1.26e+34 px"), std::string::npos)
        << r.together.error;
}

TEST(CamProjCalib, FlagsFollowTheOptions)
{
    IntrinsicFlagOptions o;
    EXPECT_EQ(intrinsicFlags(o), cv::CALIB_ZERO_TANGENT_DIST);
    o.tangential = true;
    o.fixAspectRatio = true;
    o.fixK[2] = true;
    EXPECT_EQ(intrinsicFlags(o), cv::CALIB_FIX_ASPECT_RATIO | cv::CALIB_FIX_K3);
    o.radial = false;
    EXPECT_EQ(intrinsicFlags(o), cv::CALIB_FIX_ASPECT_RATIO | 232);
    o.fixIntrinsic = o.useIntrinsicGuess = true;
    EXPECT_TRUE(intrinsicFlags(o) & cv::CALIB_FIX_INTRINSIC);
    EXPECT_TRUE(intrinsicFlags(o) & cv::CALIB_USE_INTRINSIC_GUESS);
}

// ---- Whole runs from image-set folders ------------------------------------

namespace {

constexpr double kRunFocalShare = 0.01;    // fx, fy of a run on the small rig
constexpr double kRunPrincipalPx = 4.0;    // cx, cy
constexpr double kRunRotationDeg = 0.5;    // camera -> projector rotation (0.32 on this rig)
constexpr double kRunBaselineShare = 0.02; // translation error as a share of the baseline
constexpr size_t kSets = 8;                // poses of the small rig

// The sets of a folder as the dialog hands them to a run: every set checked.
std::vector<CamProjSet> setsOfFolder(const QString& folder)
{
    std::vector<CamProjSet> sets;
    for (const ImageSetFolder& found : listImageSets(folder)) {
        CamProjSet set;
        set.name = found.name.toStdString();
        for (const QString& file : found.files)
            set.files.push_back((found.path + "/" + file).toStdString());
        sets.push_back(set);
    }
    return sets;
}

// Every step a run reports, and an optional stage at whose beginning it aborts.
struct StepLog {
    std::vector<CamProjProgress> steps;
    std::optional<CamProjStage> abortAt;
    CamProjProgressFn callback()
    {
        return [this](const CamProjProgress& step) {
            steps.push_back(step);
            return !(abortAt && step.set < 0 && step.stage == *abortAt);
        };
    }
    // Outcomes of the sets in one stage, in set order.
    std::vector<SetOutcome> outcomes(CamProjStage stage) const
    {
        std::vector<SetOutcome> found;
        for (const CamProjProgress& step : steps)
            if (step.stage == stage && step.set >= 0)
                found.push_back(step.outcome);
        return found;
    }
    bool began(CamProjStage stage) const
    {
        return std::any_of(steps.begin(), steps.end(),
                           [&](const CamProjProgress& s) { return s.stage == stage && s.set < 0; });
    }
};

// Image-set folders of a small rig (an 800 x 600 camera, a 640 x 480
// projector, eight poses), written once for the whole-run tests.
class WholeRun : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir = new QTemporaryDir;
        rig = new synth::CamProjRig(synth::makeCamProjRig(cv::Size(800, 600), cv::Size(640, 480), 200));
        const synth::CamProjScene scene;
        synth::writeCamProjSets(dir->path().toStdString(), *rig, scene,
                                synth::camProjViews(*rig, scene, static_cast<int>(kSets), 7));
    }
    static void TearDownTestSuite()
    {
        delete dir;
        delete rig;
    }

    // The dialog's defaults for a 9 x 6 board of 30 mm squares; no
    // intrinsics to start from.
    static CamProjRunInput input()
    {
        CamProjRunInput in;
        in.sets = setsOfFolder(dir->path());
        in.detection.patternSize = cv::Size(9, 6);
        in.detection.squareWidth = in.detection.squareHeight = 30;
        in.projectorSize = rig->projector.size;
        for (DeviceCalibration* device : {&in.camera, &in.projector}) {
            device->options.fixAspectRatio = true;
            device->options.fixK[2] = true;
        }
        in.camera.options.tangential = true; // the simulated camera's lens is slightly decentred
        in.criteria = kConverged;
        return in;
    }

    static QTemporaryDir* dir;
    static synth::CamProjRig* rig;
};

QTemporaryDir* WholeRun::dir = nullptr;
synth::CamProjRig* WholeRun::rig = nullptr;

void expectAll(const std::vector<SetOutcome>& outcomes, SetOutcome expected, size_t count)
{
    ASSERT_EQ(outcomes.size(), count);
    for (size_t i = 0; i < outcomes.size(); ++i)
        EXPECT_EQ(outcomes[i], expected) << "set " << i;
}

} // namespace

// The projector run and the stereo run recover the rig from the captures;
// a second run reuses what the first made, set by set.
TEST_F(WholeRun, BothRunsRecoverTheRigAndTheSecondReusesTheStages)
{
    DetectionCache cache;
    StepLog first;
    CamProjRunInput in = input();
    const ProjectorRunResult projector = calibrateProjectorIntrinsics(in, cache, first.callback());
    ASSERT_TRUE(projector.ok()) << projector.message;
    for (const CamProjStage stage :
         {CamProjStage::Detection, CamProjStage::Decoding, CamProjStage::ProjectorCorners})
        expectAll(first.outcomes(stage), SetOutcome::Made, kSets);
    ASSERT_EQ(projector.used.size(), kSets);
    const cv::Mat& Kp = projector.calibration.K;
    const cv::Matx33d& Kt = rig->projector.K;
    EXPECT_NEAR(Kp.at<double>(0, 0), Kt(0, 0), kRunFocalShare * Kt(0, 0));
    EXPECT_NEAR(Kp.at<double>(0, 2), Kt(0, 2), kRunPrincipalPx);
    EXPECT_NEAR(Kp.at<double>(1, 2), Kt(1, 2), kRunPrincipalPx);
    for (const CamProjSet& set : projector.sets) {
        ASSERT_TRUE(set.proj.has_value()) << set.name;
        EXPECT_FALSE(set.cam.has_value()) << set.name;
        EXPECT_EQ(set.projCorners.size(), set.camCorners.size());
        EXPECT_EQ(set.objectPoints.size(), set.camCorners.size());
        EXPECT_GT(set.proj->error, 0);
        EXPECT_EQ(set.imageSize, rig->camera.size);
    }
    EXPECT_EQ(projector.cameraSize, rig->camera.size);

    // The stereo run on the sets the projector run handed back.
    in.sets = projector.sets;
    StepLog second;
    const size_t cached = cache.size();
    const CamProjStereoRunResult stereo = calibrateCamProjStereo(in, cache, second.callback());
    ASSERT_TRUE(stereo.ok()) << stereo.message;
    for (const CamProjStage stage :
         {CamProjStage::Detection, CamProjStage::Decoding, CamProjStage::ProjectorCorners})
        expectAll(second.outcomes(stage), SetOutcome::Reused, kSets);
    EXPECT_EQ(cache.size(), cached);
    const CamProjStereoResult& c = stereo.calibration;
    std::printf("whole stereo run: R off by %.4f deg, T off by %.3f mm of %.1f mm, rms %.4f\n",
                rotationAngleDeg(c.R, cv::Mat(rig->R_proj_cam)), cv::norm(c.T - cv::Mat(rig->t_proj_cam)),
                rig->baseline(), c.rms);
    EXPECT_LT(rotationAngleDeg(c.R, cv::Mat(rig->R_proj_cam)), kRunRotationDeg);
    EXPECT_LT(cv::norm(c.T - cv::Mat(rig->t_proj_cam)), kRunBaselineShare * rig->baseline());
    EXPECT_NEAR(c.camK.at<double>(0, 0), rig->camera.K(0, 0), kRunFocalShare * rig->camera.K(0, 0));
    EXPECT_EQ(c.refinement.maxIterations, kConverged.maxCount);
    EXPECT_TRUE(c.refinement.converged());
    for (const CamProjSet& set : stereo.sets) {
        ASSERT_TRUE(set.cam && set.proj) << set.name;
        cv::Mat Rc, Rp;
        cv::Rodrigues(set.cam->rvec, Rc);
        cv::Rodrigues(set.proj->rvec, Rp);
        EXPECT_LT(rotationAngleDeg(Rp, c.R * Rc), kRunRotationDeg) << set.name;
    }

    // A step limit that the refinement reaches is reported.
    in.sets = stereo.sets;
    in.criteria = cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 1, 1e-12);
    const CamProjStereoRunResult limited = calibrateCamProjStereo(in, cache);
    ASSERT_TRUE(limited.ok()) << limited.message;
    EXPECT_EQ(limited.calibration.refinement.end, StereoRefinementReport::End::IterationLimit);
    EXPECT_EQ(limited.calibration.refinement.maxIterations, 1);
    EXPECT_GT(limited.calibration.refinement.remainingShift, 1e-12);
}

// Each way a run can stop, with the sets it hands back.
TEST_F(WholeRun, ErrorKinds)
{
    QTemporaryDir sizes; // two sets of blank images of different sizes
    for (const auto& [name, size] :
         {std::make_pair("a", cv::Size(64, 48)), std::make_pair("b", cv::Size(32, 24))}) {
        QDir(sizes.path()).mkpath(name);
        for (int k = 0; k < 2; ++k)
            cv::imwrite(
                (sizes.path() + QString("/%1/%2.png").arg(name).arg(k, 2, 10, QChar('0'))).toStdString(),
                cv::Mat(size, CV_8UC1, cv::Scalar(128)));
    }
    struct Case {
        const char* name;
        std::function<void(CamProjRunInput&)> change;
        bool stereo;
        CamProjRunError error;
    };
    const Case cases[] = {
        {"no sets", [](CamProjRunInput& in) { in.sets.clear(); }, false, CamProjRunError::NoImageSets},
        {"no projector size", [](CamProjRunInput& in) { in.projectorSize = cv::Size(0, 480); }, true,
         CamProjRunError::BadInput},
        {"images of two sizes", [&](CamProjRunInput& in) { in.sets = setsOfFolder(sizes.path()); }, false,
         CamProjRunError::ImageSizeMismatch},
        {"two sets for the stereo run",
         [](CamProjRunInput& in) {
             for (size_t i = 2; i < in.sets.size(); ++i)
                 in.sets[i].checked = false;
         },
         true, CamProjRunError::TooFewSets},
        {"no set checked",
         [](CamProjRunInput& in) {
             for (CamProjSet& set : in.sets)
                 set.checked = false;
         },
         false, CamProjRunError::TooFewSets},
        {"a guess without a camera matrix",
         [](CamProjRunInput& in) {
             in.projector.options.useIntrinsicGuess = true;
             in.projector.K.release();
         },
         false, CamProjRunError::Calibration},
    };
    DetectionCache cache;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CamProjRunInput in = input();
        c.change(in);
        const CamProjRunResult run = c.stereo ? CamProjRunResult(calibrateCamProjStereo(in, cache))
                                              : CamProjRunResult(calibrateProjectorIntrinsics(in, cache));
        EXPECT_FALSE(run.ok());
        EXPECT_FALSE(run.aborted);
        EXPECT_EQ(run.error, c.error);
        EXPECT_EQ(run.sets.size(), in.sets.size());
        for (const CamProjSet& set : run.sets)
            EXPECT_FALSE(set.cam || set.proj);
        if (c.error == CamProjRunError::ImageSizeMismatch) {
            EXPECT_EQ(run.errorSet, 1);
            EXPECT_EQ(run.imageSize, cv::Size(32, 24));
            EXPECT_EQ(run.referenceSize, cv::Size(64, 48));
        }
        if (c.error == CamProjRunError::Calibration || c.error == CamProjRunError::BadInput) {
            EXPECT_FALSE(run.message.empty());
        }
    }
}

// An abort through the callback stops the run where it is; what was made
// stays for the next run, which reuses it without detecting again.
TEST_F(WholeRun, AbortThroughTheCallbackKeepsWhatWasMade)
{
    DetectionCache cache;
    StepLog aborting;
    aborting.abortAt = CamProjStage::Decoding;
    const CamProjRunInput in = input();
    const ProjectorRunResult stopped = calibrateProjectorIntrinsics(in, cache, aborting.callback());
    EXPECT_TRUE(stopped.aborted);
    EXPECT_EQ(stopped.error, CamProjRunError::None);
    EXPECT_FALSE(aborting.began(CamProjStage::ProjectorCorners));
    expectAll(aborting.outcomes(CamProjStage::Detection), SetOutcome::Made, kSets);
    for (const CamProjSet& set : stopped.sets) {
        EXPECT_TRUE(set.detected()) << set.name;
        EXPECT_FALSE(set.decoded()) << set.name;
        EXPECT_TRUE(set.checked) << set.name;
    }

    // Corners emptied by the caller come back from the cache unread.
    CamProjRunInput again = in;
    again.sets = stopped.sets;
    again.sets[1].clearDetection();
    StepLog resumed;
    resumed.abortAt = CamProjStage::ProjectorCorners;
    const ProjectorRunResult next = calibrateProjectorIntrinsics(again, cache, resumed.callback());
    EXPECT_TRUE(next.aborted);
    expectAll(resumed.outcomes(CamProjStage::Detection), SetOutcome::Reused, kSets);
    expectAll(resumed.outcomes(CamProjStage::Decoding), SetOutcome::Made, kSets);
    EXPECT_EQ(next.sets[1].camCorners, stopped.sets[1].camCorners);
}

// A board image that changed on disk is detected again, and its set is
// decoded again; the other sets keep what they had.
TEST_F(WholeRun, AChangedImageIsDetectedAgain)
{
    QTemporaryDir copy;
    const std::vector<CamProjSet> original = setsOfFolder(dir->path());
    for (int s = 0; s < 2; ++s) {
        const QString sub = copy.path() + QString("/pose%1").arg(s);
        QDir().mkpath(sub);
        for (const std::string& file : original[static_cast<size_t>(s)].files)
            QFile::copy(QString::fromStdString(file),
                        sub + "/" + QFileInfo(QString::fromStdString(file)).fileName());
    }
    std::vector<CamProjSet> sets = setsOfFolder(copy.path());
    ASSERT_EQ(sets.size(), 2u);
    DetectionCache cache;
    DecodingOptions decoding;
    const ChessboardOptions options = input().detection;
    ASSERT_TRUE(detectSetChessboards(sets, options, cache).ok());
    ASSERT_TRUE(decodeSets(sets, decoding, rig->projector.size).ok());

    // The same pixels written again: a new modification time.
    const std::string changed = sets[0].files[0];
    const cv::Mat image = cv::imread(changed, cv::IMREAD_UNCHANGED);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(cv::imwrite(changed, image));
    StepLog log;
    ASSERT_TRUE(detectSetChessboards(sets, options, cache, log.callback()).ok());
    EXPECT_EQ(log.outcomes(CamProjStage::Detection),
              (std::vector<SetOutcome>{SetOutcome::Made, SetOutcome::Reused}));
    EXPECT_FALSE(sets[0].decoded());
    EXPECT_TRUE(sets[1].decoded());
    ASSERT_TRUE(decodeSets(sets, decoding, rig->projector.size, log.callback()).ok());
    EXPECT_EQ(log.outcomes(CamProjStage::Decoding),
              (std::vector<SetOutcome>{SetOutcome::Made, SetOutcome::Reused}));
}

// Under the white pattern the board may not show; OpenCV's detector then
// looks at the capture under the black pattern, the program's own detector
// does not.
TEST_F(WholeRun, TheBlackImageStandsInForTheWhiteOneOnOpenCVsDetector)
{
    QTemporaryDir copy;
    const CamProjSet original = setsOfFolder(dir->path())[0];
    QDir().mkpath(copy.path() + "/pose");
    const cv::Mat white = cv::imread(original.files[0], cv::IMREAD_GRAYSCALE);
    cv::imwrite((copy.path() + "/pose/00.png").toStdString(),
                cv::Mat(white.size(), CV_8UC1, cv::Scalar(250)));
    cv::imwrite((copy.path() + "/pose/01.png").toStdString(), white);
    for (const bool radon : {false, true}) {
        SCOPED_TRACE(radon ? "own detector" : "OpenCV's detector");
        std::vector<CamProjSet> sets = setsOfFolder(copy.path());
        ChessboardOptions options = input().detection;
        options.radon = radon;
        DetectionCache cache;
        StepLog log;
        ASSERT_TRUE(detectSetChessboards(sets, options, cache, log.callback()).ok());
        ASSERT_EQ(log.outcomes(CamProjStage::Detection).size(), 1u);
        EXPECT_EQ(log.outcomes(CamProjStage::Detection)[0], radon ? SetOutcome::Failed : SetOutcome::Made);
        EXPECT_EQ(sets[0].detected(), !radon);
        EXPECT_EQ(sets[0].checked, !radon);
    }
}
