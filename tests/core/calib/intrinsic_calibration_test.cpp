// The intrinsic calibration run without a window: board views of a known
// camera in (as corners that stand in for detection, or as rendered image
// files that the run detects through its cache), that camera, the board
// poses and the per-view records out; the error kinds, abort, cache reuse and
// the outlier step.

#include "core/calib/intrinsic_calibration.h"

#include "synthetic.h"
#include "test_helpers.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include <chrono>
#include <string>
#include <thread>

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
// Detected in rendered images (blur 0.7 px, noise 2 grey levels).
constexpr double kRenderedFocalTolPx = 3.0;
constexpr double kRenderedRmsPx = 0.3;

const cv::Size kPattern(9, 6);
constexpr double kSquare = 25;

std::string pathIn(const QTemporaryDir& dir, const QString& name)
{
    return QDir(dir.path()).filePath(name).toStdString();
}

// Views of a known camera given as corners (their image is a blank file of
// the camera's size, read only for the image size).
struct Views {
    QTemporaryDir dir;
    synth::Camera cam;
    std::vector<synth::View> views;
    IntrinsicCalibrationInput input;
};

void makeViews(Views& v, const std::vector<double>& kc, int n, double noise = 0)
{
    v.cam = synth::makeCamera(cv::Size(800, 600), 900, kc);
    v.views = synth::boardViews(v.cam, kPattern, kSquare, n, 7);
    const std::string blank = pathIn(v.dir, "blank.png");
    cv::imwrite(blank, cv::Mat(v.cam.size, CV_8U, cv::Scalar(110)));
    cv::RNG rng(3);
    for (const synth::View& view : v.views) {
        std::vector<cv::Point2f> corners = synth::projectBoard(v.cam, kPattern, kSquare, view);
        for (cv::Point2f& c : corners) {
            const float dy = float(rng.gaussian(noise)), dx = float(rng.gaussian(noise));
            c += cv::Point2f(dx, dy);
        }
        v.input.images.push_back({blank, true, BoardCorners{corners, synth::boardPoints(kPattern, kSquare)}});
    }
    v.input.board.patternSize = kPattern;
    v.input.board.squareWidth = v.input.board.squareHeight = float(kSquare);
    v.input.criteria = cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-12);
}

size_t fitCount(const IntrinsicCalibrationResult& r)
{
    size_t n = 0;
    for (const IntrinsicView& view : r.views)
        n += view.fit.has_value();
    return n;
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
        Views v;
        makeViews(v, c.kc, 8);
        v.input.flags = c.flags;
        if (c.flags & cv::CALIB_FIX_ASPECT_RATIO)
            v.input.K = cv::Mat::eye(3, 3, CV_64F); // fx/fy = 1, as the camera has
        int asked = 0;
        DetectionCache cache;
        IntrinsicRunProgress progress;
        progress.beforeCalibration = [&asked] { return ++asked, true; };
        const IntrinsicCalibrationResult r = calibrateIntrinsics(v.input, cache, progress);
        ASSERT_TRUE(r.ok()) << r.message;
        EXPECT_EQ(asked, 1);
        EXPECT_EQ(r.imageSize, v.cam.size);
        EXPECT_TRUE(matNear(r.K, cv::Mat(v.cam.K), kFocalTolPx));
        cv::Mat kc = cv::Mat(c.kc).reshape(1, 1);
        EXPECT_TRUE(matNear(r.kc.colRange(0, 5), kc, kCoeffTol));
        EXPECT_LT(r.rms, kRmsTolPx);
        ASSERT_EQ(r.views.size(), v.views.size());
        ASSERT_EQ(fitCount(r), v.views.size());
        for (size_t k = 0; k < v.views.size(); ++k) {
            SCOPED_TRACE(k);
            const IntrinsicViewFit& fit = *r.views[k].fit;
            EXPECT_TRUE(r.views[k].used);
            EXPECT_FALSE(r.views[k].detection) << "the corners stood in";
            EXPECT_LT(fit.reprojError, kRmsTolPx);
            cv::Mat R, R_true;
            cv::Rodrigues(fit.rvec, R);
            cv::Rodrigues(cv::Mat(v.views[k].rvec), R_true);
            EXPECT_TRUE(poseNear(R, fit.tvec, R_true, cv::Mat(v.views[k].tvec), kPoseTolDeg, kPoseTolMm));
            // Every corner is explained; none is an outlier without a threshold.
            EXPECT_EQ(fit.reprojErrors.size(), 54u);
            EXPECT_EQ(fit.kept.imagePoints.size(), 54u);
            EXPECT_LT(fit.largest, 1e-3);
            EXPECT_TRUE(fit.outliers.empty());
        }
        EXPECT_GE(r.stdDevIntrinsics.total(), 4u);
    }
}

TEST(CalibrateIntrinsics, NoisyCornersStayCloseToTheTruth)
{
    Views v;
    makeViews(v, {-0.12, 0.05, 0, 0, 0}, 12, 0.2);
    v.input.flags = cv::CALIB_FIX_K3 | cv::CALIB_ZERO_TANGENT_DIST;
    DetectionCache cache;
    const IntrinsicCalibrationResult r = calibrateIntrinsics(v.input, cache);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_TRUE(matNear(r.K, cv::Mat(v.cam.K), kNoisyFocalTolPx));
    EXPECT_GT(r.rms, 0.1);
    EXPECT_LT(r.rms, kNoisyRmsPx);
}

// An intrinsic guess with fixed focal length and principal point keeps them.
TEST(CalibrateIntrinsics, FixedGuessIsKept)
{
    Views v;
    makeViews(v, {-0.12, 0.05, 0, 0, 0}, 6);
    v.input.K = (cv::Mat_<double>(3, 3) << 905, 0, 402, 0, 905, 296, 0, 0, 1);
    v.input.flags = cv::CALIB_USE_INTRINSIC_GUESS | cv::CALIB_FIX_FOCAL_LENGTH |
                    cv::CALIB_FIX_PRINCIPAL_POINT | cv::CALIB_FIX_K3 | cv::CALIB_ZERO_TANGENT_DIST;
    DetectionCache cache;
    const IntrinsicCalibrationResult r = calibrateIntrinsics(v.input, cache);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_TRUE(matNear(r.K, v.input.K, 1e-9));
    EXPECT_GT(r.rms, 0.01) << "a wrong fixed K cannot explain the corners";
}

TEST(CalibrateIntrinsics, FailuresComeBackAsCodesWithoutParameters)
{
    Views good;
    makeViews(good, {}, 4);
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
        for (IntrinsicImage& image : in.images)
            image.selected = false;
        cases.push_back({"no image selected", in, false, IntrinsicCalibrationError::NoViews});
    }
    {
        IntrinsicCalibrationInput in = good.input;
        for (IntrinsicImage& image : in.images)
            for (cv::Point3f& p : image.corners->objectPoints)
                p.z = 5;
        cases.push_back(
            {"non-planar target without K", in, false, IntrinsicCalibrationError::NonPlanarNeedsK});
    }
    cases.push_back({"aborted", good.input, true, IntrinsicCalibrationError::Aborted});
    {
        IntrinsicCalibrationInput in = good.input;
        in.images[1].corners->imagePoints.pop_back();
        cases.push_back({"counts differ in a view", in, false, IntrinsicCalibrationError::OpenCvError});
    }
    {
        IntrinsicCalibrationInput in = good.input;
        in.flags = cv::CALIB_USE_INTRINSIC_GUESS;
        in.K = cv::Mat::zeros(3, 3, CV_64F);
        cases.push_back({"guess with zero K", in, false, IntrinsicCalibrationError::OpenCvError});
    }
    {
        IntrinsicCalibrationInput in = good.input;
        in.images[0].path = pathIn(good.dir, "missing.png");
        cases.push_back(
            {"first used image cannot be read", in, false, IntrinsicCalibrationError::ImageUnreadable});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        IntrinsicCalibrationResult r;
        DetectionCache cache;
        IntrinsicRunProgress progress;
        progress.beforeCalibration = [&c] { return !c.abort; };
        ASSERT_NO_THROW(r = calibrateIntrinsics(c.input, cache, progress));
        EXPECT_EQ(r.error, c.error) << r.message;
        EXPECT_FALSE(r.ok());
        EXPECT_FALSE(r.message.empty());
        EXPECT_TRUE(r.K.empty());
        EXPECT_EQ(fitCount(r), 0u);
        EXPECT_EQ(r.views.size(), c.input.images.size());
    }
}

// A corner moved by a few pixels is an outlier above the threshold: listed,
// left out of the view's kept corners and projections, and counted in the
// view's error range.
TEST(CalibrateIntrinsics, OutliersAboveTheThresholdAreLeftOut)
{
    Views v;
    makeViews(v, {-0.12, 0.05, 0, 0, 0}, 8);
    v.input.flags = cv::CALIB_FIX_K3 | cv::CALIB_ZERO_TANGENT_DIST;
    const size_t view = 3, corner = 20;
    v.input.images[view].corners->imagePoints[corner] += cv::Point2f(6.f, 5.f);

    const struct {
        double threshold;
        bool removed;
    } cases[] = {{-1, false}, {5.0, true}, {100.0, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.threshold);
        v.input.outlierThreshold = c.threshold;
        DetectionCache cache;
        const IntrinsicCalibrationResult r = calibrateIntrinsics(v.input, cache);
        ASSERT_TRUE(r.ok()) << r.message;
        EXPECT_EQ(r.hasOutliers(), c.removed);
        for (size_t k = 0; k < r.views.size(); ++k) {
            SCOPED_TRACE(k);
            const IntrinsicViewFit& fit = *r.views[k].fit;
            const bool shifted = k == view && c.removed;
            EXPECT_EQ(fit.outliers, shifted ? std::vector<size_t>{corner} : std::vector<size_t>{});
            const size_t kept = shifted ? 53 : 54;
            EXPECT_EQ(fit.kept.imagePoints.size(), kept);
            EXPECT_EQ(fit.kept.objectPoints.size(), kept);
            EXPECT_EQ(fit.reprojectedPoints.size(), kept);
            ASSERT_EQ(fit.reprojErrors.size(), kept);
            for (const double e : fit.reprojErrors)
                EXPECT_LE(e, fit.largest);
        }
        const IntrinsicViewFit& fit = *r.views[view].fit;
        EXPECT_GT(fit.largest, 5.0) << "the range includes the moved corner";
        if (c.removed) {
            // The kept corners are the view's corners without the moved one.
            std::vector<cv::Point2f> expected = v.input.images[view].corners->imagePoints;
            expected.erase(expected.begin() + static_cast<std::ptrdiff_t>(corner));
            EXPECT_EQ(fit.kept.imagePoints, expected);
        }
    }
}

// Rendered images of a known camera, detected by the run through the cache.
struct RenderedViews {
    QTemporaryDir dir;
    synth::Camera cam = synth::makeCamera(cv::Size(800, 600), 820, {-0.22, 0.09, 0, 0, 0});
    std::vector<synth::View> views;
    IntrinsicCalibrationInput input;

    explicit RenderedViews(int n, std::uint64_t seed = 11)
    {
        views = synth::boardViews(cam, kPattern, kSquare, n, seed);
        for (size_t i = 0; i < views.size(); ++i)
            input.images.push_back({write(QString("view%1.png").arg(i), views[i], i), true, std::nullopt});
        input.board.patternSize = kPattern;
        input.board.squareWidth = input.board.squareHeight = float(kSquare);
        input.flags = cv::CALIB_FIX_ASPECT_RATIO | cv::CALIB_FIX_K3 | cv::CALIB_ZERO_TANGENT_DIST;
        input.K = cv::Mat::eye(3, 3, CV_64F);
    }
    std::string write(const QString& name, const synth::View& view, size_t seed) const
    {
        synth::RenderOptions render;
        render.supersample = 2;
        render.blurSigma = 0.7;
        render.noiseSigma = 2.0;
        render.seed = 100 + seed;
        const std::string path = pathIn(dir, name);
        cv::imwrite(path, synth::renderChessboard(cam, kPattern, kSquare, view, render));
        return path;
    }
};

// What the run told per image: 'S' not selected, 'R' reused, 'D' detected,
// 'G' given (stand-in corners), 'N' no board, 'E' error.
struct Told {
    std::string steps;
    IntrinsicRunProgress progress(int stopAfter = -1)
    {
        IntrinsicRunProgress p;
        p.image = [this, stopAfter](size_t i, const std::optional<BoardDetection>& d, bool reused) {
            steps += !d                                             ? 'S'
                     : d->outcome == BoardDetection::Outcome::Error ? 'E'
                     : !d->found()                                  ? 'N'
                     : reused                                       ? 'R'
                     : d->imageSize.area() > 0                      ? 'D'
                                                                    : 'G';
            return static_cast<int>(i) != stopAfter;
        };
        return p;
    }
};

TEST(CalibrateIntrinsics, DetectsRenderedImagesWithEitherDetector)
{
    RenderedViews scene(8);
    const std::string blank = pathIn(scene.dir, "blank.png");
    cv::imwrite(blank, cv::Mat(scene.cam.size, CV_8U, cv::Scalar(110)));
    scene.input.images.insert(scene.input.images.begin() + 2, {blank, true, std::nullopt});
    for (const bool radon : {false, true}) {
        SCOPED_TRACE(radon ? "own detector" : "OpenCV's detector");
        scene.input.board.radon = radon;
        DetectionCache cache;
        Told told;
        const IntrinsicCalibrationResult r = calibrateIntrinsics(scene.input, cache, told.progress());
        ASSERT_TRUE(r.ok()) << r.message;
        EXPECT_EQ(told.steps, "DDNDDDDDD");
        std::printf("[ measured ] rendered 800x600, %s: fx %.3f fy %.3f cx %.3f cy %.3f, RMS %.4f px\n",
                    radon ? "own detector" : "OpenCV+adaptive", r.K.at<double>(0, 0), r.K.at<double>(1, 1),
                    r.K.at<double>(0, 2), r.K.at<double>(1, 2), r.rms);
        for (const auto& [row, col] :
             std::initializer_list<std::pair<int, int>>{{0, 0}, {1, 1}, {0, 2}, {1, 2}})
            EXPECT_NEAR(r.K.at<double>(row, col), scene.cam.K(row, col), kRenderedFocalTolPx);
        EXPECT_LT(r.rms, kRenderedRmsPx);
        EXPECT_EQ(r.imageSize, scene.cam.size);

        // The blank image: detected, no board, not used.
        const IntrinsicView& none = r.views[2];
        ASSERT_TRUE(none.detection);
        EXPECT_EQ(none.detection->outcome, BoardDetection::Outcome::NotFound);
        EXPECT_FALSE(none.corners);
        EXPECT_FALSE(none.used);
        EXPECT_FALSE(none.fit);
        for (size_t i : {0u, 1u, 3u, 8u}) {
            SCOPED_TRACE(i);
            const IntrinsicView& view = r.views[i];
            ASSERT_TRUE(view.corners && view.fit);
            EXPECT_EQ(view.corners->imagePoints, view.detection->corners);
            EXPECT_EQ(view.corners->objectPoints, synth::boardPoints(kPattern, kSquare));
            // The pose brings the board's points onto the detected corners.
            EXPECT_LT(view.fit->largest, 1.0);
            EXPECT_NEAR(view.fit->reprojError, 0, kRenderedRmsPx);
            EXPECT_GT(cv::norm(view.fit->tvec), 200);
        }
    }
}

// A second run detects nothing that is unchanged; a file that changed on
// disk is detected again; images not selected are skipped but keep the board
// the cache knows; a stand-in is told as given.
TEST(CalibrateIntrinsics, ReusesTheCacheAndDetectsWhatChanged)
{
    RenderedViews scene(6, 23);
    DetectionCache cache;
    Told first;
    ASSERT_TRUE(calibrateIntrinsics(scene.input, cache, first.progress()).ok());
    EXPECT_EQ(first.steps, "DDDDDD");

    Told second;
    const IntrinsicCalibrationResult again = calibrateIntrinsics(scene.input, cache, second.progress());
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(second.steps, "RRRRRR");
    EXPECT_TRUE(again.views[0].reused);

    // View 1 is rendered anew from another pose; view 4 is left out; view 5's
    // corners come from elsewhere.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const synth::View other = synth::boardViews(scene.cam, kPattern, kSquare, 1, 97)[0];
    scene.write("view1.png", other, 7);
    scene.input.images[4].selected = false;
    scene.input.images[5].corners =
        BoardCorners{synth::projectBoard(scene.cam, kPattern, kSquare, scene.views[5]),
                     synth::boardPoints(kPattern, kSquare)};
    Told third;
    const IntrinsicCalibrationResult r = calibrateIntrinsics(scene.input, cache, third.progress());
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(third.steps, "RDRRSG");
    EXPECT_FALSE(r.views[1].reused);
    EXPECT_NE(r.views[1].corners->imagePoints, again.views[1].corners->imagePoints);
    EXPECT_TRUE(r.views[4].corners) << "the cache knows the board of the image left out";
    EXPECT_FALSE(r.views[4].used);
    EXPECT_FALSE(r.views[4].fit);
    EXPECT_FALSE(r.views[5].detection);
    EXPECT_TRUE(r.views[5].fit);
}

// Stopping during the detection pass ends the run; what was detected stays
// in the cache for the next run.
TEST(CalibrateIntrinsics, StopsWhenTheCallbackSaysSo)
{
    RenderedViews scene(5, 29);
    DetectionCache cache;
    Told stopped;
    const IntrinsicCalibrationResult r = calibrateIntrinsics(scene.input, cache, stopped.progress(1));
    EXPECT_EQ(r.error, IntrinsicCalibrationError::Aborted);
    EXPECT_EQ(stopped.steps, "DD");
    EXPECT_TRUE(r.views[1].corners);
    EXPECT_FALSE(r.views[2].detection);
    EXPECT_TRUE(r.K.empty());

    Told next;
    EXPECT_TRUE(calibrateIntrinsics(scene.input, cache, next.progress()).ok());
    EXPECT_EQ(next.steps, "RRDDD");
}

// A detector error is an outcome of its image, not of the run.
TEST(CalibrateIntrinsics, ADetectorErrorSkipsTheImage)
{
    RenderedViews scene(4, 31);
    scene.input.board.radon = true;
    scene.input.board.patternSize = cv::Size(2, 6); // refused by the own detector
    DetectionCache cache;
    Told told;
    const IntrinsicCalibrationResult r = calibrateIntrinsics(scene.input, cache, told.progress());
    EXPECT_EQ(told.steps, "EEEE");
    EXPECT_EQ(r.error, IntrinsicCalibrationError::NoViews);
    ASSERT_TRUE(r.views[0].detection);
    EXPECT_FALSE(r.views[0].detection->error.empty());
}

} // namespace
