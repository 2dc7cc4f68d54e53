// The intrinsic calibration run without a window: board views projected by a
// known camera in, that camera and the board poses out.

#include "core/calib/intrinsic_calibration.h"

#include "synthetic.h"
#include "test_helpers.h"

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>

namespace {

using testing_support::matNear;
using testing_support::poseNear;

// Noise-free projections: the solution is exact up to the solver's tolerance.
constexpr double kFocalTolPx = 1e-3;
constexpr double kCoeffTol = 1e-5;
constexpr double kPoseTolDeg = 1e-4;
constexpr double kPoseTolMm = 1e-2;
constexpr double kRmsTolPx = 1e-4;
// Gaussian noise of 0.2 px on every corner.
constexpr double kNoisyFocalTolPx = 2.0;
constexpr double kNoisyRmsPx = 0.3;

struct Views {
    synth::Camera cam;
    std::vector<synth::View> views;
    IntrinsicCalibrationInput input;
};

Views makeViews(const std::vector<double>& kc, int n, double noise = 0)
{
    Views v;
    v.cam = synth::makeCamera(cv::Size(800, 600), 900, kc);
    const cv::Size pattern(9, 6);
    v.views = synth::boardViews(v.cam, pattern, 25, n, 7);
    cv::RNG rng(3);
    for (const synth::View& view : v.views) {
        std::vector<cv::Point2f> corners = synth::projectBoard(v.cam, pattern, 25, view);
        for (cv::Point2f& c : corners)
            c += cv::Point2f(float(rng.gaussian(noise)), float(rng.gaussian(noise)));
        v.input.imagePoints.push_back(corners);
        v.input.objectPoints.push_back(synth::boardPoints(pattern, 25));
    }
    v.input.imageSize = v.cam.size;
    v.input.criteria = cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-12);
    return v;
}

TEST(CalibrateIntrinsics, RecoversAKnownCameraAndItsBoardPoses)
{
    const struct {
        const char* what;
        std::vector<double> kc;
        int flags;
    } cases[] = {
        {"radial k1 k2", {-0.12, 0.05, 0, 0, 0}, cv::CALIB_FIX_K3 | cv::CALIB_ZERO_TANGENT_DIST},
        {"radial and tangential", {-0.1, 0.02, 0.001, -0.0015, 0}, cv::CALIB_FIX_K3},
        {"no distortion, aspect ratio fixed",
         {0, 0, 0, 0, 0},
         cv::CALIB_FIX_ASPECT_RATIO | cv::CALIB_FIX_K1 | cv::CALIB_FIX_K2 | cv::CALIB_FIX_K3 |
             cv::CALIB_ZERO_TANGENT_DIST},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Views v = makeViews(c.kc, 8);
        v.input.flags = c.flags;
        if (c.flags & cv::CALIB_FIX_ASPECT_RATIO)
            v.input.K = cv::Mat::eye(3, 3, CV_64F); // fx/fy = 1, as the camera has
        int asked = 0;
        const IntrinsicCalibrationResult r =
            calibrateIntrinsics(v.input, [&asked] { return ++asked, false; });
        ASSERT_TRUE(r.ok()) << r.message;
        EXPECT_EQ(asked, 1);
        EXPECT_TRUE(matNear(r.K, cv::Mat(v.cam.K), kFocalTolPx));
        cv::Mat kc = cv::Mat(c.kc).reshape(1, 1);
        EXPECT_TRUE(matNear(r.kc.colRange(0, 5), kc, kCoeffTol));
        EXPECT_LT(r.rms, kRmsTolPx);
        ASSERT_EQ(r.viewErrors.size(), v.views.size());
        ASSERT_EQ(r.rvecs.size(), v.views.size());
        for (size_t k = 0; k < v.views.size(); ++k) {
            SCOPED_TRACE(k);
            EXPECT_LT(r.viewErrors[k], kRmsTolPx);
            cv::Mat R, R_true;
            cv::Rodrigues(r.rvecs[k], R);
            cv::Rodrigues(cv::Mat(v.views[k].rvec), R_true);
            EXPECT_TRUE(poseNear(R, r.tvecs[k], R_true, cv::Mat(v.views[k].tvec), kPoseTolDeg, kPoseTolMm));
        }
        EXPECT_GE(r.stdDevIntrinsics.total(), 4u);
    }
}

TEST(CalibrateIntrinsics, NoisyCornersStayCloseToTheTruth)
{
    Views v = makeViews({-0.12, 0.05, 0, 0, 0}, 12, 0.2);
    v.input.flags = cv::CALIB_FIX_K3 | cv::CALIB_ZERO_TANGENT_DIST;
    const IntrinsicCalibrationResult r = calibrateIntrinsics(v.input);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_TRUE(matNear(r.K, cv::Mat(v.cam.K), kNoisyFocalTolPx));
    EXPECT_GT(r.rms, 0.1);
    EXPECT_LT(r.rms, kNoisyRmsPx);
}

// An intrinsic guess with fixed focal length and principal point keeps them.
TEST(CalibrateIntrinsics, FixedGuessIsKept)
{
    Views v = makeViews({-0.12, 0.05, 0, 0, 0}, 6);
    v.input.K = (cv::Mat_<double>(3, 3) << 905, 0, 402, 0, 905, 296, 0, 0, 1);
    v.input.flags = cv::CALIB_USE_INTRINSIC_GUESS | cv::CALIB_FIX_FOCAL_LENGTH |
                    cv::CALIB_FIX_PRINCIPAL_POINT | cv::CALIB_FIX_K3 | cv::CALIB_ZERO_TANGENT_DIST;
    const IntrinsicCalibrationResult r = calibrateIntrinsics(v.input);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_TRUE(matNear(r.K, v.input.K, 1e-9));
    EXPECT_GT(r.rms, 0.01) << "a wrong fixed K cannot explain the corners";
}

TEST(CalibrateIntrinsics, FailuresComeBackAsCodesWithoutParameters)
{
    const Views good = makeViews({}, 4);
    struct Case {
        const char* what;
        IntrinsicCalibrationInput input;
        bool abort;
        IntrinsicCalibrationError error;
    };
    std::vector<Case> cases;
    cases.push_back({"no views", IntrinsicCalibrationInput(), false, IntrinsicCalibrationError::NoViews});
    {
        IntrinsicCalibrationInput in = good.input;
        for (auto& points : in.objectPoints)
            for (cv::Point3f& p : points)
                p.z = 5;
        cases.push_back(
            {"non-planar target without K", in, false, IntrinsicCalibrationError::NonPlanarNeedsK});
    }
    cases.push_back({"aborted", good.input, true, IntrinsicCalibrationError::Aborted});
    {
        IntrinsicCalibrationInput in = good.input;
        in.imagePoints[1].pop_back();
        cases.push_back({"counts differ in a view", in, false, IntrinsicCalibrationError::OpenCvError});
    }
    {
        IntrinsicCalibrationInput in = good.input;
        in.flags = cv::CALIB_USE_INTRINSIC_GUESS;
        in.K = cv::Mat::zeros(3, 3, CV_64F);
        cases.push_back({"guess with zero K", in, false, IntrinsicCalibrationError::OpenCvError});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        IntrinsicCalibrationResult r;
        ASSERT_NO_THROW(r = calibrateIntrinsics(c.input, [&c] { return c.abort; }));
        EXPECT_EQ(r.error, c.error) << r.message;
        EXPECT_FALSE(r.ok());
        EXPECT_FALSE(r.message.empty());
        EXPECT_TRUE(r.K.empty());
        EXPECT_TRUE(r.rvecs.empty());
    }
}

} // namespace
