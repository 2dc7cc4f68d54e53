// The robot-camera run computations on pose chains of a known robot, camera
// and target, with board corners projected exactly or with pixel noise: the
// results against the truth, the per-view errors, the inversion options, the
// guards, and the result files.

#include "core/calib/robot_calib.h"
#include "core/calib/target_pose.h"

#include "robot_chain.h"
#include "synthetic.h"
#include "test_helpers.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cmath>
#include <functional>
#include <limits>
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
            for (cv::Point2f& c : corners) {
                const float dy = float(noise(rng) * pixelNoise), dx = float(noise(rng) * pixelNoise);
                c += cv::Point2f(dx, dy);
            }
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
        const RobotCalibResult r = solveHandEye(views, cv::Mat(camera().K), camera().kc, method);
        ASSERT_TRUE(r.ok()) << r.message;
        EXPECT_POSE_NEAR(r.RX, r.tX, chain.X.R, chain.X.t, kExactDeg, kExactMm);
        ASSERT_EQ(r.views.size(), views.size());
        for (const RobotViewErrors& v : r.views) {
            const cv::Vec3d& e = v.poseErrors;
            EXPECT_LT(e[0], kExactMm);
            EXPECT_LT(e[1], kExactMm);
            EXPECT_LT(e[2], kAcosFloorDeg);
            EXPECT_LT(v.reprojErrors[0], 1e-4);
        }
        EXPECT_LT(r.rms3d, kExactMm);
        ASSERT_EQ(r.views[0].pointColours.size(), views[0].imagePoints.size());
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
        const RobotCalibResult r = solveHandEye(views, cv::Mat(camera().K), camera().kc, method);
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
        const RobotCalibResult r = solveRobotWorld(c.views, cv::Mat(camera().K), camera().kc, {});
        ASSERT_TRUE(r.ok()) << r.message;
        EXPECT_POSE_NEAR(r.RX, r.tX, chain.X.R, chain.X.t, c.deg, c.mm);
        EXPECT_POSE_NEAR(r.RY, r.tY, chain.Y.R, chain.Y.t, c.deg, c.mm);
        ASSERT_EQ(r.views.size(), c.views.size());
        for (const RobotViewErrors& v : r.views) {
            const cv::Vec3d& e = v.poseErrors;
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
    const RobotCalibResult plain = solveRobotWorld(views, K, camera().kc, {});
    ASSERT_TRUE(plain.ok());

    RobotWorldOptions invX, invY;
    invX.invertX = true;
    invY.invertY = true;
    const RobotCalibResult rx = solveRobotWorld(views, K, camera().kc, invX);
    const RobotCalibResult ry = solveRobotWorld(views, K, camera().kc, invY);
    const Pose Xi = robot_chain::inverse(chain.X), Yi = robot_chain::inverse(chain.Y);
    EXPECT_POSE_NEAR(rx.RX, rx.tX, Xi.R, Xi.t, kExactDeg, kExactMm);
    EXPECT_POSE_NEAR(ry.RY, ry.tY, Yi.R, Yi.t, kExactDeg, kExactMm);

    // TCP poses stored inverted (base in TCP): "invert TCP" solves the same cell.
    std::vector<RobotView> invertedTcp = views;
    for (RobotView& v : invertedTcp)
        invertPose(v.R_base_tcp.clone(), v.t_base_tcp.clone(), v.R_base_tcp, v.t_base_tcp);
    RobotWorldOptions invTcp;
    invTcp.invertTcp = true;
    const RobotCalibResult rt = solveRobotWorld(invertedTcp, K, camera().kc, invTcp);
    ASSERT_TRUE(rt.ok()) << rt.message;
    EXPECT_POSE_NEAR(rt.RY, rt.tY, chain.Y.R, chain.Y.t, kExactDeg, kExactMm);
    // The caller's views are untouched.
    EXPECT_TRUE(testing_support::matNear(invertedTcp[0].R_base_tcp, chain.tcp[0].R.t(), 1e-12));

    // "invert target": the solver sees camera-in-target poses; its X and Y
    // then describe the inverted chain, while the reprojection uses the
    // measured poses and stays exact.
    RobotWorldOptions invTarget;
    invTarget.invertTarget = true;
    const RobotCalibResult rb = solveRobotWorld(views, K, camera().kc, invTarget);
    ASSERT_TRUE(rb.ok()) << rb.message;
    for (const RobotViewErrors& v : rb.views)
        EXPECT_LT(v.reprojErrors[0], 1e-4);
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
    for (const RobotCalibResult& r : {solveHandEye(handViews, K, camera().kc, cv::CALIB_HAND_EYE_PARK),
                                      solveRobotWorld(worldViews, K, camera().kc, {})}) {
        EXPECT_EQ(r.error, RobotCalibError::TooFewTargets);
        EXPECT_EQ(r.message, "At least 3 targets have to be detected, aborting...\n");
        EXPECT_TRUE(r.RX.empty());
        EXPECT_TRUE(r.RY.empty());
    }

    // Robot motions about one axis determine neither calibration.
    const auto axisPoses = robot_chain::oneAxisPoses(6, {0.3, 0.1, 1.0});
    std::vector<RobotView> oneAxis = robotViews(axisPoses, hand.views);
    const RobotCalibResult h = solveHandEye(oneAxis, K, camera().kc, cv::CALIB_HAND_EYE_PARK);
    EXPECT_EQ(h.error, RobotCalibError::Degenerate) << h.message;
    std::vector<RobotView> oneAxisWorld = robotViews(axisPoses, world.views);
    for (size_t i = 0; i < oneAxisWorld.size(); ++i) {
        // Target poses consistent with the one-axis robot motion: B = Y^-1 A X.
        const Pose b =
            robot_chain::compose(robot_chain::inverse(world.Y), robot_chain::compose(axisPoses[i], world.X));
        cv::Rodrigues(b.R, oneAxisWorld[i].rvec);
        oneAxisWorld[i].tvec = b.t;
    }
    const RobotCalibResult w = solveRobotWorld(oneAxisWorld, K, camera().kc, {});
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

// ---------------------------------------------------------------------------
// Whole runs on rendered board images
// ---------------------------------------------------------------------------

namespace {

std::vector<TcpPose> tcpRecords(const std::vector<Pose>& tcp, double scale)
{
    std::vector<TcpPose> out;
    for (size_t i = 0; i < tcp.size(); ++i) {
        cv::Mat r;
        cv::Rodrigues(tcp[i].R, r);
        TcpPose p;
        p.id = static_cast<int>(i);
        p.name = "TCP_" + std::to_string(i);
        p.x = tcp[i].t.at<double>(0) / scale;
        p.y = tcp[i].t.at<double>(1) / scale;
        p.z = tcp[i].t.at<double>(2) / scale;
        p.rx = r.at<double>(0);
        p.ry = r.at<double>(1);
        p.rz = r.at<double>(2);
        out.push_back(p);
    }
    return out;
}

// Rendered cells of both kinds (the render helper keeps its cache beside the
// test program, which needs a QCoreApplication).
class RobotRunFiles : public ::testing::Test {
public:
    static QCoreApplication* app;
    static robot_chain::RenderedChain *handEye, *robotWorld;
    static QTemporaryDir *handDir, *worldDir;

    static void SetUpTestSuite()
    {
        static int argc = 1;
        static char name[] = "robot_calib_test";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance())
            app = new QCoreApplication(argc, argv);
        handDir = new QTemporaryDir;
        worldDir = new QTemporaryDir;
        handEye = new robot_chain::RenderedChain;
        handEye->chain = robot_chain::handEyeChain(handEye->cam, handEye->pattern, handEye->square, 6, 61);
        robot_chain::render(*handEye, handDir->path());
        robotWorld = new robot_chain::RenderedChain;
        robotWorld->chain =
            robot_chain::robotWorldChain(robotWorld->cam, robotWorld->pattern, robotWorld->square, 6, 62);
        robot_chain::render(*robotWorld, worldDir->path());
    }
    static void TearDownTestSuite()
    {
        delete handEye;
        delete robotWorld;
        delete handDir;
        delete worldDir;
    }

    template <class Input> static Input runInput(const robot_chain::RenderedChain& scene, double scale = 1)
    {
        Input input;
        for (const QString& path : scene.images)
            input.images.push_back({path.toStdString(), true});
        input.tcpPoses = tcpRecords(scene.chain.tcp, scale);
        input.tcpScale = scale;
        input.board.patternSize = scene.pattern;
        input.board.squareWidth = input.board.squareHeight = static_cast<float>(scene.square);
        input.K = cv::Mat(scene.cam.K);
        input.kc = scene.cam.kc;
        return input;
    }
};
QCoreApplication* RobotRunFiles::app = nullptr;
robot_chain::RenderedChain* RobotRunFiles::handEye = nullptr;
robot_chain::RenderedChain* RobotRunFiles::robotWorld = nullptr;
QTemporaryDir* RobotRunFiles::handDir = nullptr;
QTemporaryDir* RobotRunFiles::worldDir = nullptr;

// Rendered images with noise and blur, a camera 0.6 m from the board.
constexpr double kRenderedDeg = 0.1, kRenderedMm = 1.0;

} // namespace

TEST_F(RobotRunFiles, HandEyeFromImageFilesFindsTheCameraOnTheFlange)
{
    HandEyeRunInput input = runInput<HandEyeRunInput>(*handEye, 1000);
    input.images[2].selected = false;
    DetectionCache cache;
    std::vector<int> detectedRows;
    bool pollAfterPoses = false;
    const RobotRunResult r = handEyeCalibrate(input, cache, [&](const RobotRunProgress& step) {
        if (step.detection)
            detectedRows.push_back(step.row);
        else
            pollAfterPoses = true;
        return true;
    });
    ASSERT_TRUE(r.ok()) << r.calib.message;
    EXPECT_EQ(detectedRows, (std::vector<int>{0, 1, 3, 4, 5}));
    EXPECT_TRUE(pollAfterPoses);
    EXPECT_POSE_NEAR(r.calib.RX, r.calib.tX, handEye->chain.X.R, handEye->chain.X.t, kRenderedDeg,
                     kRenderedMm);
    EXPECT_EQ(r.boardRows, (std::vector<int>{0, 1, 3, 4, 5}));
    EXPECT_EQ(r.imageSize, handEye->cam.size);
    ASSERT_EQ(r.images.size(), 6u);
    // The unselected row has nothing; every board row its pose, TCP pose (mm) and errors.
    EXPECT_FALSE(r.images[2].detection);
    EXPECT_FALSE(r.images[2].view);
    EXPECT_FALSE(r.images[2].errors);
    for (const int row : r.boardRows) {
        SCOPED_TRACE(row);
        const RobotImageRecord& rec = r.images[static_cast<size_t>(row)];
        ASSERT_TRUE(rec.view && rec.errors);
        EXPECT_FALSE(rec.dropped);
        EXPECT_MAT_NEAR(rec.view->t_base_tcp, handEye->chain.tcp[static_cast<size_t>(row)].t, 1e-9);
        EXPECT_EQ(rec.view->imagePoints.size(), 54u);
        EXPECT_EQ(rec.errors->projectedPoints.size(), 54u);
        EXPECT_LT(rec.errors->reprojErrors[0], 0.5);
        EXPECT_LT(rec.errors->poseErrors[0], kRenderedMm);
        EXPECT_LT(rec.errors->poseErrors[2], kRenderedDeg);
    }
    EXPECT_LT(r.calib.rms3d, kRenderedMm);
    // The camera stands about 0.6 m from the board: 2 % of it is the limit.
    EXPECT_GT(r.rms3dLimit, 10.0);
    EXPECT_LT(r.rms3dLimit, 20.0);
}

TEST_F(RobotRunFiles, RobotWorldFromImageFilesFindsCameraAndTarget)
{
    const RobotWorldRunInput input = runInput<RobotWorldRunInput>(*robotWorld);
    DetectionCache cache;
    const RobotRunResult r = robotWorldCalibrate(input, cache);
    ASSERT_TRUE(r.ok()) << r.calib.message;
    EXPECT_POSE_NEAR(r.calib.RY, r.calib.tY, robotWorld->chain.Y.R, robotWorld->chain.Y.t, kRenderedDeg,
                     kRenderedMm);
    EXPECT_POSE_NEAR(r.calib.RX, r.calib.tX, robotWorld->chain.X.R, robotWorld->chain.X.t, kRenderedDeg,
                     kRenderedMm);
    EXPECT_EQ(r.boardRows.size(), 6u);
}

// The cache: a second run detects nothing again, whatever else changed; a
// rewritten image file is detected again.
TEST_F(RobotRunFiles, SecondRunReusesDetectionsUntilAFileChanges)
{
    QTemporaryDir dir;
    HandEyeRunInput input = runInput<HandEyeRunInput>(*handEye, 1000);
    for (size_t i = 0; i < input.images.size(); ++i) {
        const QString copy = QDir(dir.path()).filePath(QString("img%1.png").arg(i));
        ASSERT_TRUE(QFile::copy(handEye->images[static_cast<int>(i)], copy));
        input.images[i].path = copy.toStdString();
    }
    DetectionCache cache;
    auto reusedRows = [&](const HandEyeRunInput& in) {
        std::vector<int> reused;
        const RobotRunResult r = handEyeCalibrate(in, cache, [&](const RobotRunProgress& step) {
            if (step.detection && step.reused)
                reused.push_back(step.row);
            return true;
        });
        EXPECT_TRUE(r.ok()) << r.calib.message;
        return reused;
    };
    EXPECT_TRUE(reusedRows(input).empty());
    input.method = cv::CALIB_HAND_EYE_HORAUD;
    input.pose.ransac = true;
    EXPECT_EQ(reusedRows(input), (std::vector<int>{0, 1, 2, 3, 4, 5}));

    // Rewritten with another file's content (and so another size): detected again.
    const QString changed = QString::fromStdString(input.images[3].path);
    ASSERT_TRUE(QFile::remove(changed));
    ASSERT_TRUE(cv::imwrite(changed.toStdString(), cv::imread(handEye->images[3].toStdString()),
                            {cv::IMWRITE_PNG_COMPRESSION, 9}));
    EXPECT_EQ(reusedRows(input), (std::vector<int>{0, 1, 2, 4, 5}));
}

TEST_F(RobotRunFiles, ErrorKindsAndAbort)
{
    struct Case {
        const char* what;
        std::function<void(HandEyeRunInput&)> change;
        RobotCalibError error;
        int stopAtStep; // the progress call (1-based) that asks to stop; 0: never
    };
    const std::vector<Case> cases = {
        {"no image selected",
         [](HandEyeRunInput& in) {
             for (auto& image : in.images)
                 image.selected = false;
         },
         RobotCalibError::NoImagesSelected, 0},
        {"no TCP poses", [](HandEyeRunInput& in) { in.tcpPoses.clear(); }, RobotCalibError::NoTcpPoses, 0},
        {"counts differ", [](HandEyeRunInput& in) { in.tcpPoses.pop_back(); },
         RobotCalibError::TcpCountMismatch, 0},
        {"two selected",
         [](HandEyeRunInput& in) {
             for (size_t i = 2; i < in.images.size(); ++i)
                 in.images[i].selected = false;
         },
         RobotCalibError::TooFewImagesSelected, 0},
        {"two boards",
         [](HandEyeRunInput& in) {
             for (size_t i = 2; i < in.images.size(); ++i)
                 in.images[i].path += ".missing";
         },
         RobotCalibError::TooFewTargets, 0},
        {"abort during detection", [](HandEyeRunInput&) {}, RobotCalibError::Aborted, 2},
        {"abort after the poses", [](HandEyeRunInput&) {}, RobotCalibError::Aborted, 7},
        {"m file read as mm", [](HandEyeRunInput& in) { in.tcpScale = 1; }, RobotCalibError::Implausible, 0},
    };
    DetectionCache cache;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HandEyeRunInput input = runInput<HandEyeRunInput>(*handEye, 1000);
        c.change(input);
        int calls = 0;
        const RobotRunResult r =
            handEyeCalibrate(input, cache, [&](const RobotRunProgress&) { return ++calls != c.stopAtStep; });
        EXPECT_EQ(r.error(), c.error) << r.calib.message;
        if (c.stopAtStep > 0) {
            EXPECT_EQ(calls, c.stopAtStep);
        }
        if (c.error == RobotCalibError::TooFewTargets) {
            EXPECT_TRUE(r.images[3].dropped);
            EXPECT_TRUE(r.boardRows.empty());
        }
        if (c.error == RobotCalibError::Implausible) {
            EXPECT_GT(r.calib.rms3d, r.rms3dLimit);
            EXPECT_TRUE(r.images[0].errors);
        }
    }
}

// TCP positions of about 1e154 mm overflow the squared 3D differences: the
// errors are not finite, their rows red, and the run is no success.
TEST_F(RobotRunFiles, OverflowingTcpPositionsGiveRedRowsAndNoResult)
{
    RobotWorldRunInput input = runInput<RobotWorldRunInput>(*robotWorld);
    for (TcpPose& p : input.tcpPoses) {
        p.x *= 1e152;
        p.y *= 1e152;
        p.z *= 1e152;
    }
    DetectionCache cache;
    const RobotRunResult r = robotWorldCalibrate(input, cache);
    EXPECT_EQ(r.error(), RobotCalibError::Implausible) << r.calib.message;
    EXPECT_FALSE(std::isfinite(r.calib.rms3d));
    for (const RobotViewErrors& v : r.calib.views) {
        EXPECT_FALSE(std::isfinite(v.poseErrors[0]));
        EXPECT_EQ(v.poseRowColour, cv::Vec3b(255, 0, 0));
    }
}

TEST(RobotRowColours, NonFiniteValuesAreRedAndLeaveTheRange)
{
    const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
    const std::vector<cv::Vec3b> c = errorRowColours({1.0, inf, 3.0, nan, 2.0});
    ASSERT_EQ(c.size(), 5u);
    EXPECT_EQ(c[0], cv::Vec3b(0, 255, 0));
    EXPECT_EQ(c[1], cv::Vec3b(255, 0, 0));
    EXPECT_EQ(c[2], cv::Vec3b(255, 0, 0));
    EXPECT_EQ(c[3], cv::Vec3b(255, 0, 0));
    EXPECT_EQ(c[4], cv::Vec3b(255, 255, 0));
    EXPECT_EQ(errorRowColours({inf, inf}),
              (std::vector<cv::Vec3b>{cv::Vec3b(255, 0, 0), cv::Vec3b(255, 0, 0)}));
}
