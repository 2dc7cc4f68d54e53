// The target-pose run without a window: corners of a board seen by a known
// camera in, the board's pose out, with every solver.

#include "core/calib/target_pose.h"

#include "synthetic.h"
#include "test_helpers.h"

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

namespace {

using testing_support::poseNear;

constexpr double kExactDeg = 1e-3, kExactMm = 0.05;     // noise-free corners
constexpr double kNoisyDeg = 0.3, kNoisyMm = 2.0;       // 0.3 px noise on all 54 corners
constexpr double kNoisyP3PDeg = 1.0, kNoisyP3PMm = 5.0; // 0.3 px noise, four corners only

struct Scene {
    synth::Camera cam;
    synth::View view;
    TargetPoseInput input;
    cv::Mat R_true;
};

Scene makeScene(double noise)
{
    Scene s;
    s.cam = synth::makeCamera(cv::Size(800, 600), 900, {-0.1, 0.03, 0, 0, 0});
    const cv::Size pattern(9, 6);
    s.view = synth::boardViews(s.cam, pattern, 25, 1, 21)[0];
    cv::Rodrigues(cv::Mat(s.view.rvec), s.R_true);
    s.input.imagePoints = synth::projectBoard(s.cam, pattern, 25, s.view);
    cv::RNG rng(5);
    for (cv::Point2f& p : s.input.imagePoints) {
        const float dy = float(rng.gaussian(noise)), dx = float(rng.gaussian(noise));
        p += cv::Point2f(dx, dy);
    }
    s.input.patternSize = pattern;
    s.input.squareWidth = s.input.squareHeight = 25;
    s.input.K = cv::Mat(s.cam.K);
    s.input.kc = s.cam.kc;
    return s;
}

TEST(EstimateTargetPose, EverySolverFindsTheBoard)
{
    const struct {
        const char* what;
        PnpMethod method;
        bool ransac;
        size_t points;
    } cases[] = {
        {"iterative", PnpMethod::Iterative, false, 54},
        {"EPnP", PnpMethod::EPnP, false, 54},
        {"iterative with RANSAC", PnpMethod::Iterative, true, 54},
        {"EPnP with RANSAC", PnpMethod::EPnP, true, 54},
        {"P3P on the outer corners", PnpMethod::P3P, true, 4},
    };
    for (const double noise : {0.0, 0.3}) {
        const Scene s = makeScene(noise);
        for (const auto& c : cases) {
            SCOPED_TRACE(::testing::Message() << c.what << ", noise " << noise);
            TargetPoseInput in = s.input;
            in.method = c.method;
            in.ransac = c.ransac;
            in.ransacMaxError = 2.0;
            const TargetPoseResult r = estimateTargetPose(in);
            ASSERT_TRUE(r.ok()) << r.message;
            const bool p3p = c.method == PnpMethod::P3P;
            const double maxDeg = noise == 0 ? kExactDeg : p3p ? kNoisyP3PDeg : kNoisyDeg;
            const double maxMm = noise == 0 ? kExactMm : p3p ? kNoisyP3PMm : kNoisyMm;
            EXPECT_TRUE(poseNear(r.R, r.tvec, s.R_true, cv::Mat(s.view.tvec), maxDeg, maxMm));
            EXPECT_EQ(r.ransacUsed, c.ransac && c.method != PnpMethod::P3P);
            EXPECT_EQ(r.imagePoints.size(), c.points);
            ASSERT_EQ(r.errors.size(), c.points);
            EXPECT_LT(r.rms, noise ? 1.0 : 1e-3);
            EXPECT_LE(r.smallest, r.largest);
            if (c.method == PnpMethod::P3P) {
                // The four outer corners, once round the board.
                const std::vector<cv::Point3f> outer = {{0, 0, 0}, {200, 0, 0}, {200, 125, 0}, {0, 125, 0}};
                EXPECT_EQ(r.objectPoints, outer);
            }
        }
    }
}

// RANSAC drops corners that were moved far away and computes the pose and
// the errors from the rest.
TEST(EstimateTargetPose, RansacLeavesOutMovedCorners)
{
    Scene s = makeScene(0);
    for (const size_t k : {3u, 17u, 40u})
        s.input.imagePoints[k] += cv::Point2f(25, -30);
    s.input.ransac = true;
    const TargetPoseResult r = estimateTargetPose(s.input);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(r.inliers, 51);
    EXPECT_EQ(r.imagePoints.size(), 51u);
    EXPECT_TRUE(poseNear(r.R, r.tvec, s.R_true, cv::Mat(s.view.tvec), kExactDeg, kExactMm));
    EXPECT_LT(r.largest, 1e-2);
}

TEST(EstimateTargetPose, FailuresComeBackAsCodes)
{
    const Scene s = makeScene(0);
    struct Case {
        const char* what;
        TargetPoseInput input;
        TargetPoseError error;
    };
    std::vector<Case> cases;
    {
        TargetPoseInput in = s.input;
        in.imagePoints.pop_back();
        cases.push_back({"corners do not fit the pattern", in, TargetPoseError::BadInput});
    }
    {
        TargetPoseInput in = s.input;
        in.K = cv::Mat(3, 3, CV_64F, cv::Scalar(0)); // a new matrix: K is shared with the scene
        cases.push_back({"zero K", in, TargetPoseError::BadInput});
    }
    {
        TargetPoseInput in = s.input;
        in.kc = cv::Mat(1, 3, CV_64F, cv::Scalar(0));
        cases.push_back({"three distortion coefficients", in, TargetPoseError::OpenCvError});
    }
    {
        TargetPoseInput in = s.input;
        cv::RNG rng(9);
        for (cv::Point2f& p : in.imagePoints) {
            const float y = rng.uniform(0.f, 600.f), x = rng.uniform(0.f, 800.f);
            p = cv::Point2f(x, y);
        }
        in.ransac = true;
        in.ransacMaxError = 0.01;
        cases.push_back({"scattered corners under RANSAC", in, TargetPoseError::NoSolution});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TargetPoseResult r;
        ASSERT_NO_THROW(r = estimateTargetPose(c.input));
        EXPECT_EQ(r.error, c.error) << r.message;
        EXPECT_FALSE(r.message.empty());
        EXPECT_TRUE(r.R.empty());
    }
}

// The whole run on a rendered image: the board is found (by either detector)
// and its pose comes out near the truth. A 9 x 6 board can be read from
// either end; the detector's first corner says which end is the origin.
TEST(EstimateTargetPose, FindsTheBoardInAnImageWithEitherDetector)
{
    const Scene s = makeScene(0);
    synth::RenderOptions render;
    render.blurSigma = 0.6;
    render.noiseSigma = 1.5;
    const cv::Mat image = synth::renderChessboard(s.cam, s.input.patternSize, 25, s.view, render);
    const std::vector<cv::Point2f> truth = s.input.imagePoints;
    for (const bool radon : {false, true}) {
        SCOPED_TRACE(radon ? "own detector" : "OpenCV's detector");
        TargetPoseInput in = s.input;
        in.imagePoints.clear();
        in.image = image;
        in.detection.radon = radon;
        const TargetPoseResult r = estimateTargetPose(in);
        ASSERT_TRUE(r.ok()) << r.message;
        ASSERT_EQ(r.imagePoints.size(), 54u);
        cv::Mat R_true = s.R_true, t_true = cv::Mat(s.view.tvec);
        if (cv::norm(r.imagePoints.front() - truth.back()) <
            cv::norm(r.imagePoints.front() - truth.front())) {
            // Turned by 180 degrees about the board's normal, origin at the last corner.
            const cv::Mat Rz = (cv::Mat_<double>(3, 3) << -1, 0, 0, 0, -1, 0, 0, 0, 1);
            const cv::Mat last = (cv::Mat_<double>(3, 1) << 8 * 25, 5 * 25, 0);
            t_true = R_true * last + t_true;
            R_true = R_true * Rz;
        }
        EXPECT_TRUE(poseNear(r.R, r.tvec, R_true, t_true, kNoisyDeg, kNoisyMm));
        EXPECT_LT(r.rms, 0.5);
        EXPECT_EQ(r.errors.size(), 54u);
    }
}

TEST(EstimateTargetPose, DetectionFailuresComeBackAsCodes)
{
    const Scene s = makeScene(0);
    const cv::Mat blank(s.cam.size, CV_8U, cv::Scalar(110));
    const struct {
        const char* what;
        cv::Mat image;
        cv::Size pattern;
        TargetPoseError error;
    } cases[] = {
        {"no board in the image", blank, s.input.patternSize, TargetPoseError::BoardNotFound},
        {"no image", cv::Mat(), s.input.patternSize, TargetPoseError::BoardNotFound},
        {"pattern the detector refuses", blank, cv::Size(1, 0), TargetPoseError::DetectionError},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TargetPoseInput in = s.input;
        in.imagePoints.clear();
        in.image = c.image;
        in.patternSize = c.pattern;
        TargetPoseResult r;
        ASSERT_NO_THROW(r = estimateTargetPose(in));
        EXPECT_EQ(r.error, c.error) << r.message;
        EXPECT_FALSE(r.message.empty());
        EXPECT_TRUE(r.R.empty());
    }
}

} // namespace
