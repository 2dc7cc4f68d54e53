// The robot-camera run computations on pose chains of a known robot, camera
// and target, with board corners projected exactly or with pixel noise: the
// results against the truth, the per-view errors, the inversion options, the
// guards, and the result files.

#include "core/calib/robot_calib.h"
#include "core/calib/target_pose.h"

#include "robot_chain.h"
#include "synthetic.h"
#include "test_helpers.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include <random>

using robot_chain::Pose;

namespace {

constexpr double kExactDeg = 1e-7, kExactMm = 1e-6; // exact poses
// Per-view rotation differences come from an arc cosine, which cannot resolve
// angles below about sqrt(2 eps) rad = 1.2e-6 deg.
constexpr double kAcosFloorDeg = 1e-5;
constexpr double kNoisyDeg = 0.1, kNoisyMm = 1.0; // 0.2 px corner noise, 0.02 deg / 0.1 mm robot noise

const cv::Size kPattern{9, 6};
constexpr double kSquare = 30;

const synth::Camera& camera()
{
    static const synth::Camera cam = synth::makeCamera(cv::Size(1280, 960), 1300, {-0.1, 0.05, 0, 0, 0});
    return cam;
}

// Views as the dialog hands them over: the TCP poses and the target pose.
// Without pixel noise the target pose is the true one (the corners, stored
// as floats, would limit PnP to about 1e-5 mm); with noise it is measured by
// PnP on corners with Gaussian pixel noise.
std::vector<RobotView> robotViews(const std::vector<Pose>& tcp, const std::vector<synth::View>& views,
                                  double pixelNoise = 0, std::uint64_t seed = 1)
{
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> noise(0, pixelNoise > 0 ? pixelNoise : 1);
    TargetPoseInput input;
    input.patternSize = kPattern;
    input.squareWidth = input.squareHeight = static_cast<float>(kSquare);
    input.K = cv::Mat(camera().K);
    input.kc = camera().kc;
    std::vector<RobotView> out;
    for (size_t i = 0; i < views.size(); ++i) {
        std::vector<cv::Point2f> corners = synth::projectBoard(camera(), kPattern, kSquare, views[i]);
        if (pixelNoise > 0)
            for (cv::Point2f& c : corners)
                c += cv::Point2f(float(noise(rng) * pixelNoise), float(noise(rng) * pixelNoise));
        input.imagePoints = corners;
        const TargetPoseResult e = estimateTargetPose(input);
        EXPECT_TRUE(e.ok()) << e.message;
        RobotView v;
        v.R_base_tcp = tcp[i].R;
        v.t_base_tcp = tcp[i].t;
        v.rvec = pixelNoise > 0 ? e.rvec : cv::Mat(views[i].rvec).clone();
        v.tvec = pixelNoise > 0 ? e.tvec : cv::Mat(views[i].tvec).clone();
        v.objectPoints = e.objectPoints;
        v.imagePoints = e.imagePoints;
        out.push_back(v);
    }
    return out;
}

TEST(HandEyeRun, RecoversXOnExactDataWithEveryMethod)
{
    const auto chain = robot_chain::handEyeChain(camera(), kPattern, kSquare, 10, 21);
    const auto views = robotViews(chain.tcp, chain.views);
    for (const auto method :
         {cv::CALIB_HAND_EYE_PARK, cv::CALIB_HAND_EYE_HORAUD, cv::CALIB_HAND_EYE_ANDREFF}) {
        SCOPED_TRACE(method);
        const RobotCalibResult r = handEyeCalibrate(views, cv::Mat(camera().K), camera().kc, method);
        ASSERT_TRUE(r.ok()) << r.message;
        EXPECT_POSE_NEAR(r.RX, r.tX, chain.X.R, chain.X.t, kExactDeg, kExactMm);
        ASSERT_EQ(r.poseErrors.size(), views.size());
        for (const cv::Vec3d& e : r.poseErrors) {
            EXPECT_LT(e[0], kExactMm);
            EXPECT_LT(e[1], kExactMm);
            EXPECT_LT(e[2], kAcosFloorDeg);
        }
        for (const cv::Vec3d& e : r.reprojErrors)
            EXPECT_LT(e[0], 1e-4);
        EXPECT_LT(r.rms3d, kExactMm);
        ASSERT_EQ(r.imageRowColours.size(), views.size());
        ASSERT_EQ(r.pointColours[0].size(), views[0].imagePoints.size());
    }
}

TEST(HandEyeRun, NoisyDataNearTruthAndSameAsOpenCv)
{
    const auto chain = robot_chain::handEyeChain(camera(), kPattern, kSquare, 15, 22);
    const auto views = robotViews(robot_chain::perturb(chain.tcp, 0.02, 0.1, 5), chain.views, 0.2, 6);
    const HandEyeInputs in = handEyeInputs(views);
    for (const auto method :
         {cv::CALIB_HAND_EYE_PARK, cv::CALIB_HAND_EYE_HORAUD, cv::CALIB_HAND_EYE_ANDREFF}) {
        SCOPED_TRACE(method);
        const RobotCalibResult r = handEyeCalibrate(views, cv::Mat(camera().K), camera().kc, method);
        ASSERT_TRUE(r.ok()) << r.message;
        EXPECT_POSE_NEAR(r.RX, r.tX, chain.X.R, chain.X.t, kNoisyDeg, kNoisyMm);
        cv::Mat R, t;
        cv::calibrateHandEye(in.R_gripper2base, in.t_gripper2base, in.R_target2cam, in.t_target2cam, R, t,
                             method);
        EXPECT_POSE_NEAR(r.RX, r.tX, R, t, 1e-9, 1e-9);
        // The target's scatter in the base is of the size of the noise.
        EXPECT_GT(r.rms3d, 0);
        EXPECT_LT(r.rms3d, 3.0);
    }
}

// The robot-world run hands on X and Y in the senses A X = Y B, on exact and
// on noisy data (a run that transposes back only one of the solver's
// rotations puts X hundreds of millimetres off).
TEST(RobotWorldRun, RecoversXAndYOnExactAndNoisyData)
{
    const auto chain = robot_chain::robotWorldChain(camera(), kPattern, kSquare, 12, 31);
    struct Case {
        const char* what;
        std::vector<RobotView> views;
        double deg, mm;
    } cases[] = {
        {"exact", robotViews(chain.tcp, chain.views), kExactDeg, kExactMm},
        {"noisy", robotViews(robot_chain::perturb(chain.tcp, 0.02, 0.1, 8), chain.views, 0.2, 9), kNoisyDeg,
         kNoisyMm},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const RobotCalibResult r = robotWorldCalibrate(c.views, cv::Mat(camera().K), camera().kc, {});
        ASSERT_TRUE(r.ok()) << r.message;
        EXPECT_POSE_NEAR(r.RX, r.tX, chain.X.R, chain.X.t, c.deg, c.mm);
        EXPECT_POSE_NEAR(r.RY, r.tY, chain.Y.R, chain.Y.t, c.deg, c.mm);
        ASSERT_EQ(r.poseErrors.size(), c.views.size());
        for (const cv::Vec3d& e : r.poseErrors) {
            EXPECT_LT(e[0], c.mm * 3);
            EXPECT_LT(e[1], c.mm * 3);
            EXPECT_LT(e[2], std::max(c.deg * 3, kAcosFloorDeg));
        }
    }
}

// The hidden inversion options: inverted inputs give the correspondingly
// inverted answer; the measured poses stay as they were for the reprojection.
TEST(RobotWorldRun, InversionOptions)
{
    const auto chain = robot_chain::robotWorldChain(camera(), kPattern, kSquare, 8, 41);
    const auto views = robotViews(chain.tcp, chain.views);
    const cv::Mat K(camera().K);
    const RobotCalibResult plain = robotWorldCalibrate(views, K, camera().kc, {});
    ASSERT_TRUE(plain.ok());

    RobotWorldOptions invX, invY;
    invX.invertX = true;
    invY.invertY = true;
    const RobotCalibResult rx = robotWorldCalibrate(views, K, camera().kc, invX);
    const RobotCalibResult ry = robotWorldCalibrate(views, K, camera().kc, invY);
    const Pose Xi = robot_chain::inverse(chain.X), Yi = robot_chain::inverse(chain.Y);
    EXPECT_POSE_NEAR(rx.RX, rx.tX, Xi.R, Xi.t, kExactDeg, kExactMm);
    EXPECT_POSE_NEAR(ry.RY, ry.tY, Yi.R, Yi.t, kExactDeg, kExactMm);

    // TCP poses stored inverted (base in TCP): "invert TCP" solves the same cell.
    std::vector<RobotView> invertedTcp = views;
    for (RobotView& v : invertedTcp)
        invertPose(v.R_base_tcp.clone(), v.t_base_tcp.clone(), v.R_base_tcp, v.t_base_tcp);
    RobotWorldOptions invTcp;
    invTcp.invertTcp = true;
    const RobotCalibResult rt = robotWorldCalibrate(invertedTcp, K, camera().kc, invTcp);
    ASSERT_TRUE(rt.ok()) << rt.message;
    EXPECT_POSE_NEAR(rt.RY, rt.tY, chain.Y.R, chain.Y.t, kExactDeg, kExactMm);
    // The caller's views are untouched.
    EXPECT_TRUE(testing_support::matNear(invertedTcp[0].R_base_tcp, chain.tcp[0].R.t(), 1e-12));

    // "invert target": the solver sees camera-in-target poses; its X and Y
    // then describe the inverted chain, while the reprojection uses the
    // measured poses and stays exact.
    RobotWorldOptions invTarget;
    invTarget.invertTarget = true;
    const RobotCalibResult rb = robotWorldCalibrate(views, K, camera().kc, invTarget);
    ASSERT_TRUE(rb.ok()) << rb.message;
    for (const cv::Vec3d& e : rb.reprojErrors)
        EXPECT_LT(e[0], 1e-4);
}

TEST(RobotRuns, GuardsBeforeAnyResult)
{
    const auto hand = robot_chain::handEyeChain(camera(), kPattern, kSquare, 6, 51);
    const auto world = robot_chain::robotWorldChain(camera(), kPattern, kSquare, 6, 52);
    const cv::Mat K(camera().K);
    auto handViews = robotViews(hand.tcp, hand.views);
    auto worldViews = robotViews(world.tcp, world.views);
    handViews.resize(2);
    worldViews.resize(2);
    for (const RobotCalibResult& r : {handEyeCalibrate(handViews, K, camera().kc, cv::CALIB_HAND_EYE_PARK),
                                      robotWorldCalibrate(worldViews, K, camera().kc, {})}) {
        EXPECT_EQ(r.error, RobotCalibError::TooFewTargets);
        EXPECT_EQ(r.message, "At least 3 targets have to be detected, aborting...\n");
        EXPECT_TRUE(r.RX.empty());
        EXPECT_TRUE(r.RY.empty());
    }

    // Robot motions about one axis determine neither calibration.
    const auto axisPoses = robot_chain::oneAxisPoses(6, {0.3, 0.1, 1.0});
    std::vector<RobotView> oneAxis = robotViews(axisPoses, hand.views);
    const RobotCalibResult h = handEyeCalibrate(oneAxis, K, camera().kc, cv::CALIB_HAND_EYE_PARK);
    EXPECT_EQ(h.error, RobotCalibError::Degenerate) << h.message;
    std::vector<RobotView> oneAxisWorld = robotViews(axisPoses, world.views);
    for (size_t i = 0; i < oneAxisWorld.size(); ++i) {
        // Target poses consistent with the one-axis robot motion: B = Y^-1 A X.
        const Pose b =
            robot_chain::compose(robot_chain::inverse(world.Y), robot_chain::compose(axisPoses[i], world.X));
        cv::Rodrigues(b.R, oneAxisWorld[i].rvec);
        oneAxisWorld[i].tvec = b.t;
    }
    const RobotCalibResult w = robotWorldCalibrate(oneAxisWorld, K, camera().kc, {});
    EXPECT_EQ(w.error, RobotCalibError::Degenerate) << w.message;
    EXPECT_TRUE(w.RX.empty());
}

TEST(RobotResultFiles, KeysAndUnwritableFolder)
{
    QTemporaryDir dir;
    const cv::Mat R = testing_support::rotation(0.1, 0.2, 0.3), t = testing_support::vec3(1.5, -2, 25.7);
    std::string error;
    const std::string xy = QDir(dir.path()).filePath("AX-YB.yml").toStdString();
    ASSERT_TRUE(writeRobotWorldFile(xy, R, t, R.t(), -t, error)) << error;
    cv::FileStorage fs(xy, cv::FileStorage::READ);
    cv::Mat RY, tY, RX, tX;
    fs["RY"] >> RY;
    fs["tY"] >> tY;
    fs["RX"] >> RX;
    fs["tX"] >> tX;
    EXPECT_MAT_NEAR(RY, R, 0);
    EXPECT_MAT_NEAR(tY, t, 0);
    EXPECT_MAT_NEAR(RX, R.t(), 0);
    EXPECT_MAT_NEAR(tX, -t, 0);
    std::vector<std::string> keys;
    for (const cv::FileNode& n : fs.root())
        keys.push_back(n.name());
    EXPECT_EQ(keys, (std::vector<std::string>{"RY", "tY", "RX", "tX"}));

    const std::string xx = QDir(dir.path()).filePath("AX-XB.yml").toStdString();
    ASSERT_TRUE(writeHandEyeFile(xx, R, t, error)) << error;
    cv::FileStorage fx(xx, cv::FileStorage::READ);
    keys.clear();
    for (const cv::FileNode& n : fx.root())
        keys.push_back(n.name());
    EXPECT_EQ(keys, (std::vector<std::string>{"RX", "tX"}));

    const std::string nowhere = QDir(dir.path()).filePath("missing/AX-XB.yml").toStdString();
    EXPECT_FALSE(writeHandEyeFile(nowhere, R, t, error));
    EXPECT_FALSE(error.empty());
}

} // namespace
