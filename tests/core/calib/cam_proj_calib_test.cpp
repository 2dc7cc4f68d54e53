#include "core/calib/cam_proj_calib.h"
#include "core/geometry/corner_refinement.h"
#include "core/geometry/rotation_checks.h"
#include "core/structured_light/gray_code_decoder.h"
#include "core/structured_light/projector_corners.h"

#include "camproj_sim.h"
#include "test_helpers.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <opencv2/calib3d.hpp>

#include <cmath>

namespace {

constexpr double kMaxCornerRmsPx = 0.2;     // projector corners against the truth
constexpr double kMaxFocalShare = 0.005;    // fx, fy
constexpr double kMaxPrincipalPx = 2.0;     // cx, cy
constexpr double kMaxRotationDeg = 0.1;     // camera -> projector rotation
constexpr double kMaxBaselineShare = 0.005; // translation error as a share of the baseline
// Run to convergence: the dialog's default step limit of 0.001 stops the
// stereo optimisation early (the rotation is then about 0.05 degrees worse).
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
        size_t count = 0, total = 0;
        for (const SetData& set : *sets) {
            total += set.objectPoints.size();
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
