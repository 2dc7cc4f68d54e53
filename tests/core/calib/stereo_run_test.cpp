// The stereo run's computation without a window: the whole run on rendered
// image pairs of a known rig (detection with its cache, the pair checks,
// corner files, abort, outliers carried to the next run), flag sets, the
// joint calibration and per-view poses against a known rig, per-point and
// epipolar errors with outliers, the result file, and the rectification with
// its files.

#include "core/calib/stereo_rectification.h"
#include "core/calib/stereo_run.h"
#include "core/io/project_file.h"

#include "stereo_rig.h"
#include "synthetic.h"
#include "test_helpers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {

// Exact corners of the rig's views: what a perfect detector would return.
struct ExactPairs {
    synth::StereoRig rig;
    cv::Size pattern{9, 6};
    double square = 30;
    std::vector<synth::View> views;
    StereoViewsInput input;

    explicit ExactPairs(int n = 10, const synth::StereoRig& r = synth::makeStereoRig()) : rig(r)
    {
        views = synth::stereoViews(rig, pattern, square, n, 5);
        for (const synth::View& v : views) {
            input.objectPoints.push_back(synth::boardPoints(pattern, square));
            input.cameras[0].corners.push_back(synth::projectBoard(rig.primary, pattern, square, v));
            input.cameras[1].corners.push_back(
                synth::projectBoard(rig.secondary, pattern, square, rig.secondaryView(v)));
        }
        input.cameras[0].imageSize = rig.primary.size;
        input.cameras[1].imageSize = rig.secondary.size;
        StereoCameraOptions primary, secondary;
        secondary.tangentialDistortion = true;
        input.cameras[0].flags = stereoCalibrationFlags(primary);
        input.cameras[1].flags = stereoCalibrationFlags(secondary);
        input.criteria = cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-10);
    }
    cv::Mat R() const { return cv::Mat(rig.R); }
    cv::Mat T() const { return cv::Mat(rig.T); }
};

TEST(StereoRun, FlagSetsFollowTheOptions)
{
    StereoCameraOptions defaults;
    StereoCameraOptions fixed; // what toggling "Fix intrinsics" on leaves checked
    fixed.fixIntrinsic = fixed.useIntrinsicGuess = fixed.fixFocalLength = fixed.fixPrincipalPoint = true;
    fixed.fixK1 = fixed.fixK2 = true;
    fixed.tangentialDistortion = true;
    StereoCameraOptions sameFocal;
    sameFocal.sameFocalLength = true;
    StereoCameraOptions noRadial;
    noRadial.radialDistortion = false;
    noRadial.rationalModel = true;
    StereoCameraOptions rational;
    rational.rationalModel = true;
    rational.fixK5 = true;
    StereoCameraOptions k4WithoutRational;
    k4WithoutRational.fixK4 = true;
    StereoCameraOptions fixedSame = fixed;
    fixedSame.sameFocalLength = true;
    const struct {
        const char* name;
        StereoCameraOptions options;
        int flags;
    } cases[] = {
        {"defaults", defaults, 138},
        {"fix intrinsics", fixed, 503},
        {"equal focal lengths", sameFocal, 512 + 138},
        {"fix intrinsics and equal focal lengths", fixedSame, 503 + 512},
        {"no radial distortion", noRadial, 2 + 232},
        {"rational model, k5 fixed", rational, 138 + 16384 + 4096},
        {"k4 counts only with the rational model", k4WithoutRational, 138},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(stereoCalibrationFlags(c.options), c.flags);
    }
}

TEST(StereoRun, ExactCornersGiveTheRigAndTheBoardPoses)
{
    const ExactPairs data;
    const StereoCalibration r = calibrateStereoViews(data.input);
    ASSERT_TRUE(r.ok) << r.error;
    // Noise-free corners: the truth up to the solver's convergence.
    const double kAngleDeg = 1e-4, kMm = 1e-3, kPx = 1e-3;
    EXPECT_LT(r.rms, 1e-4);
    EXPECT_POSE_NEAR(r.R, r.T, data.R(), data.T(), kAngleDeg, kMm);
    EXPECT_MAT_NEAR(r.K[0], cv::Mat(data.rig.primary.K), kPx);
    EXPECT_MAT_NEAR(r.K[1], cv::Mat(data.rig.secondary.K), kPx);
    EXPECT_MAT_NEAR(r.kc[0], data.rig.primary.kc, 1e-5); // corners are floats
    EXPECT_MAT_NEAR(r.kc[1], data.rig.secondary.kc, 1e-5);
    EXPECT_EQ(r.kc[0].rows, 1);
    EXPECT_EQ(r.perViewErrors.size(), cv::Size(2, 10));
    ASSERT_EQ(r.rvecs[0].size(), data.views.size());
    for (size_t v = 0; v < data.views.size(); ++v) {
        SCOPED_TRACE(v);
        const synth::View truth[2] = {data.views[v], data.rig.secondaryView(data.views[v])};
        for (int c = 0; c < 2; ++c) {
            cv::Mat Rt;
            cv::Rodrigues(cv::Mat(truth[c].rvec), Rt);
            cv::Mat Rv;
            cv::Rodrigues(r.rvecs[c][v], Rv);
            EXPECT_POSE_NEAR(Rv, r.tvecs[c][v], Rt, cv::Mat(truth[c].tvec), kAngleDeg, kMm);
        }
    }
    // The input is left alone.
    EXPECT_TRUE(data.input.cameras[0].K.empty());
}

TEST(StereoRun, PosesUseTheTangentialTermsAsCalibrated)
{
    // The secondary camera has strong tangential terms; a pose estimate that
    // dropped them would miss the corners by pixels.
    ExactPairs data(6);
    data.rig.secondary.kc = (cv::Mat_<double>(1, 5) << 0.05, -0.02, 0.006, -0.005, 0);
    for (size_t v = 0; v < data.views.size(); ++v)
        data.input.cameras[1].corners[v] = synth::projectBoard(data.rig.secondary, data.pattern, data.square,
                                                               data.rig.secondaryView(data.views[v]));
    const StereoCalibration r = calibrateStereoViews(data.input);
    ASSERT_TRUE(r.ok) << r.error;
    for (size_t v = 0; v < data.views.size(); ++v) {
        const StereoPairErrors e = stereoPairErrors(
            data.input.objectPoints[v], data.input.cameras[0].corners[v], data.input.cameras[1].corners[v],
            r.rvecs[0][v], r.tvecs[0][v], r.rvecs[1][v], r.tvecs[1][v], r.K, r.kc, r.F);
        EXPECT_LT(e.minMax[1][1], 1e-3) << v;
        EXPECT_LT(e.epipolarMinMax[1], 1e-3) << v;
    }
}

TEST(StereoRun, BadInputsFailWithAReason)
{
    const ExactPairs good(5);
    struct Case {
        const char* name;
        std::function<void(StereoViewsInput&)> spoil;
        const char* reason;
    };
    const Case cases[] = {
        {"no views", [](StereoViewsInput& in) { in.objectPoints.clear(); }, "no view"},
        {"view counts differ", [](StereoViewsInput& in) { in.cameras[1].corners.pop_back(); },
         "numbers of views"},
        {"corner counts differ in a pair", [](StereoViewsInput& in) { in.cameras[1].corners[2].pop_back(); },
         "corners in the two cameras"},
        {"guess without intrinsics",
         [](StereoViewsInput& in) { in.cameras[0].flags |= cv::CALIB_USE_INTRINSIC_GUESS; }, ""},
        {"a corner that is not finite",
         [](StereoViewsInput& in) {
             in.cameras[0].corners[1][3].x = std::numeric_limits<float>::quiet_NaN();
         },
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StereoViewsInput in = good.input;
        c.spoil(in);
        const StereoCalibration r = calibrateStereoViews(in);
        EXPECT_FALSE(r.ok);
        EXPECT_FALSE(r.error.empty());
        EXPECT_NE(r.error.find(c.reason), std::string::npos) << r.error;
        EXPECT_TRUE(r.R.empty());
        EXPECT_TRUE(r.rvecs[0].empty());
    }
}

TEST(StereoRun, EpipolarErrorsAndOutliers)
{
    const ExactPairs data(6);
    const StereoCalibration r = calibrateStereoViews(data.input);
    ASSERT_TRUE(r.ok) << r.error;
    std::vector<cv::Point2f> primary = data.input.cameras[0].corners[0];
    std::vector<cv::Point2f> secondary = data.input.cameras[1].corners[0];
    std::vector<cv::Point3f> object = data.input.objectPoints[0];

    // Exact pair: no error anywhere.
    StereoPairErrors e = stereoPairErrors(object, primary, secondary, r.rvecs[0][0], r.tvecs[0][0],
                                          r.rvecs[1][0], r.tvecs[1][0], r.K, r.kc, r.F);
    EXPECT_LT(e.epipolarRms, 1e-3);
    EXPECT_LT(e.minMax[0][1], 1e-3);
    EXPECT_EQ(e.reprojected[0].size(), object.size());

    // Corner 7 of the secondary moved by 8 px: its reprojection and epipolar
    // errors grow, the others stay small; it is the only outlier.
    secondary[7] += cv::Point2f(0, 8);
    e = stereoPairErrors(object, primary, secondary, r.rvecs[0][0], r.tvecs[0][0], r.rvecs[1][0],
                         r.tvecs[1][0], r.K, r.kc, r.F);
    EXPECT_NEAR(e.pointErrors[1][7], 8.0, 1e-3);
    EXPECT_GT(e.epipolarErrors[7], 4.0);
    EXPECT_NEAR(e.minMax[1][1], 8.0, 1e-3);
    const std::vector<size_t> out = stereoOutliers(e, StereoOutlierThresholds{5, 5, 5});
    EXPECT_EQ(out, std::vector<size_t>{7});
    // A point exactly at a threshold stays.
    StereoOutlierThresholds atIt{5, e.pointErrors[1][7], 1e9};
    EXPECT_TRUE(stereoOutliers(e, atIt).empty());

    eraseStereoPoints(out, primary, secondary, object);
    EXPECT_EQ(primary.size(), 53u);
    EXPECT_EQ(secondary.size(), 53u);
    EXPECT_EQ(object.size(), 53u);
    EXPECT_EQ(object[7], data.input.objectPoints[0][8]);

    EXPECT_THROW(stereoPairErrors(object, data.input.cameras[0].corners[0], secondary, r.rvecs[0][0],
                                  r.tvecs[0][0], r.rvecs[1][0], r.tvecs[1][0], r.K, r.kc, r.F),
                 cv::Exception);
}

TEST(StereoRun, ResultFileHoldsItsKeysAndRefusesAnUnwritableFolder)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    StereoResultFile f;
    f.imageSize0 = cv::Size(1280, 960);
    f.imageSize1 = cv::Size(1920, 1080);
    f.K0 = testing_support::camera(1100, 1100, 640, 480);
    f.K1 = testing_support::camera(1500, 1500, 960, 540);
    f.kc0 = cv::Mat::zeros(1, 5, CV_64F);
    f.kc1 = cv::Mat::zeros(1, 14, CV_64F);
    f.R = cv::Mat::eye(3, 3, CV_64F);
    f.T = testing_support::vec3(-150, 0, 0);
    f.F = cv::Mat::eye(3, 3, CV_64F);
    f.rms = 0.25;
    const std::string path = dir.filePath("Cam0_Cam1_stereo.yml").toStdString();
    std::string error;
    ASSERT_TRUE(writeStereoResultFile(path, f, error)) << error;
    cv::FileStorage fs(path, cv::FileStorage::READ);
    EXPECT_EQ(fs.root().keys(), (std::vector<std::string>{"imgSize0", "K0", "kc0", "imgSize1", "K1", "kc1",
                                                          "R", "T", "F", "reprojErrRMS"}));
    cv::Mat T;
    fs["T"] >> T;
    EXPECT_MAT_NEAR(T, f.T, 0);
    EXPECT_EQ(double(fs["reprojErrRMS"]), 0.25);

    EXPECT_FALSE(writeStereoResultFile(dir.filePath("missing/folder/x_stereo.yml").toStdString(), f, error));
    EXPECT_FALSE(error.empty());
}

// ------------------------------------------------------------- the whole run

// A folder of the test's own, made before anything is rendered into it.
struct TemporaryFolder {
    QTemporaryDir dir;
};

// The small rig's rendered pairs in a folder of the test's own; the
// secondary images are stored mirrored left-right, as a mirrored camera
// delivers them.
struct RenderedPairs : TemporaryFolder, synth::SmallStereoScene {
    explicit RenderedPairs(int n) : SmallStereoScene(dir.path(), n)
    {
        for (const QString& path : files.secondary) {
            cv::Mat image = cv::imread(path.toStdString(), cv::IMREAD_UNCHANGED);
            cv::flip(image, image, 1);
            cv::imwrite(path.toStdString(), image);
        }
    }

    StereoRunInput input() const
    {
        StereoRunInput in;
        for (int c = 0; c < 2; ++c)
            for (const QString& path : c == 0 ? files.primary : files.secondary) {
                StereoImage image;
                image.path = path.toStdString();
                in.cameras[c].images.push_back(image);
            }
        in.cameras[1].mirror = true;
        in.board.patternSize = pattern;
        in.board.squareWidth = in.board.squareHeight = float(square);
        return in;
    }
    std::string path(int camera, int pair) const
    {
        return (camera == 0 ? files.primary : files.secondary)[pair].toStdString();
    }
    // The exact corners of a pair's image as its corner file would hold them
    // (in the image as detection sees it, mirrored back).
    StereoCornerFile cornerFile(int camera, int pair) const
    {
        const synth::View v = camera == 0 ? views[size_t(pair)] : rig.secondaryView(views[size_t(pair)]);
        StereoCornerFile f;
        f.imagePoints = synth::projectBoard(camera == 0 ? rig.primary : rig.secondary, pattern, square, v);
        f.objectPoints = synth::boardPoints(pattern, square);
        return f;
    }
};

// What a run told its callback: per pair 'p' after its primary image, then
// the pair's status letter; 'C' before the calibration.
struct RunRecorder {
    std::string steps;
    size_t stopAt = size_t(-1); // stop at this pair, between its images
    bool stopBeforeCalibration = false;
    StereoRunCallback callback()
    {
        return [this](const StereoRunProgress& p) {
            if (p.stage == StereoRunProgress::Stage::Calibration) {
                steps += 'C';
                return !stopBeforeCalibration;
            }
            if (!p.pair) {
                steps += 'p';
                return p.index != stopAt;
            }
            steps += p.pair->ready() ? 'R' : 'x';
            return true;
        };
    }
};

TEST(StereoWholeRun, FindsTheRigInRenderedPairsOfAMirroredCamera)
{
    const RenderedPairs data(8);
    DetectionCache cache;
    RunRecorder recorder;
    const StereoRunResult r = runStereoCalibration(data.input(), cache, recorder.callback());
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(recorder.steps, "pRpRpRpRpRpRpRpRC");
    EXPECT_EQ(r.imageSize[0], cv::Size(640, 480));
    EXPECT_EQ(r.imageSize[1], cv::Size(800, 450));

    // The secondary's files are mirrored and read back mirrored: the rig as it is.
    const cv::Mat R_truth(data.rig.R), T_truth(data.rig.T);
    const double baseline = cv::norm(data.rig.T);
    const StereoCalibration& cal = r.calibration;
    std::printf(
        "[ measured ] rendered small rig: rotation off by %.4f deg, translation by %.3f mm of %.1f mm, "
        "RMS %.4f px\n",
        testing_support::rotationDiffDeg(cal.R, R_truth), cv::norm(cal.T, T_truth), baseline, cal.rms);
    EXPECT_POSE_NEAR(cal.R, cal.T, R_truth, T_truth, 0.2, 0.01 * baseline);
    EXPECT_LT(cal.rms, 0.2);
    EXPECT_TRUE(cal.refinement.converged());

    ASSERT_EQ(r.pairs.size(), 8u);
    for (size_t i = 0; i < r.pairs.size(); ++i) {
        SCOPED_TRACE(i);
        const StereoPair& pair = r.pairs[i];
        ASSERT_TRUE(pair.ready());
        EXPECT_EQ(pair.imagePoints[0].size(), 35u);
        EXPECT_EQ(pair.imagePoints[1].size(), 35u);
        EXPECT_EQ(pair.objectPoints, synth::boardPoints(data.pattern, data.square));
        EXPECT_FALSE(pair.reused[0] || pair.reused[1]);
        ASSERT_TRUE(pair.fit.has_value());
        EXPECT_LT(pair.fit->reprojErrors[0], 0.3);
        EXPECT_LT(pair.fit->reprojErrors[1], 0.3);
        EXPECT_LT(pair.fit->errors.epipolarRms, 0.5);
        EXPECT_EQ(pair.fit->errors.reprojected[1].size(), 35u);
        EXPECT_TRUE(pair.fit->outliers.empty()) << "no thresholds, no outliers";
        // The primary's board pose is the view's.
        cv::Mat R_view;
        cv::Rodrigues(pair.fit->rvecs[0], R_view);
        cv::Mat R_truth_view;
        cv::Rodrigues(cv::Mat(data.views[i].rvec), R_truth_view);
        EXPECT_POSE_NEAR(R_view, pair.fit->tvecs[0], R_truth_view, cv::Mat(data.views[i].tvec), 0.3, 3.0);
    }
}

TEST(StereoWholeRun, UnchangedImagesAreNeverDetectedTwiceAndChangedOnesAreDetectedAgain)
{
    const RenderedPairs data(5);
    DetectionCache cache;
    const StereoRunInput in = data.input();
    const StereoRunResult first = runStereoCalibration(in, cache);
    ASSERT_TRUE(first.ok()) << first.error;

    const StereoRunResult second = runStereoCalibration(in, cache);
    ASSERT_TRUE(second.ok()) << second.error;
    for (const StereoPair& pair : second.pairs)
        EXPECT_TRUE(pair.reused[0] && pair.reused[1]);
    EXPECT_EQ(second.pairs[3].imagePoints, first.pairs[3].imagePoints);

    // Pair 3's secondary image written again (a later time stamp): only it is
    // detected again.
    QThread::msleep(20);
    const cv::Mat image = cv::imread(data.path(1, 3), cv::IMREAD_UNCHANGED);
    cv::imwrite(data.path(1, 3), image);
    const StereoRunResult third = runStereoCalibration(in, cache);
    for (size_t i = 0; i < third.pairs.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(third.pairs[i].reused[0]);
        EXPECT_EQ(third.pairs[i].reused[1], i != 3);
    }
    // The other camera mirrored the other way: a new detection for each of its images.
    StereoRunInput flipped = in;
    flipped.cameras[0].mirror = true;
    const StereoRunResult fourth = runStereoCalibration(flipped, cache);
    for (const StereoPair& pair : fourth.pairs)
        EXPECT_FALSE(pair.reused[0]);
}

TEST(StereoWholeRun, PairsThatCannotBeUsedSayWhyAndTheOthersCalibrate)
{
    const RenderedPairs data(8);
    // Pair 1: no board in the secondary image; pair 2: a primary image of
    // another size; pair 3: a primary file that is not an image; pair 4:
    // corner files on both sides whose counts disagree; pair 5: unchecked;
    // pair 6: exact corner files on both sides, with their own object points.
    cv::imwrite(data.path(1, 1), cv::Mat(450, 800, CV_8U, cv::Scalar(110)));
    cv::Mat big = cv::imread(data.path(0, 2), cv::IMREAD_GRAYSCALE);
    cv::resize(big, big, cv::Size(), 1.25, 1.25);
    cv::imwrite(data.path(0, 2), big);
    {
        QFile f(QString::fromStdString(data.path(0, 3)));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("not an image");
    }
    StereoRunInput in = data.input();
    in.cameras[0].images[4].cornerFile = data.cornerFile(0, 4);
    in.cameras[1].images[4].cornerFile = data.cornerFile(1, 4);
    in.cameras[1].images[4].cornerFile->imagePoints.pop_back();
    in.cameras[1].images[4].cornerFile->objectPoints.pop_back();
    in.cameras[1].images[5].checked = false;
    in.cameras[0].images[6].cornerFile = data.cornerFile(0, 6);
    in.cameras[1].images[6].cornerFile = data.cornerFile(1, 6);
    for (cv::Point3f& p : in.cameras[0].images[6].cornerFile->objectPoints)
        p.x += 60; // the primary's object points count: the board's origin two squares along x

    DetectionCache cache;
    const StereoRunResult r = runStereoCalibration(in, cache);
    ASSERT_TRUE(r.ok()) << r.error;
    using S = StereoPair::Status;
    const struct {
        size_t pair;
        S status;
        int camera;
    } cases[] = {
        {0, S::Ready, -1},
        {1, S::NotFound, -1},
        {2, S::SizeMismatch, 0},
        {3, S::Unreadable, 0},
        {4, S::PointCountMismatch, -1},
        {5, S::NotSelected, -1},
        {6, S::Ready, -1},
        {7, S::Ready, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pair);
        const StereoPair& pair = r.pairs[c.pair];
        EXPECT_EQ(pair.status, c.status);
        EXPECT_EQ(pair.camera, c.camera);
        EXPECT_EQ(pair.fit.has_value(), c.status == S::Ready);
    }
    EXPECT_EQ(r.pairs[2].imageSize[0], cv::Size(800, 600));
    EXPECT_EQ(r.pairs[2].expectedSize, cv::Size(640, 480));
    EXPECT_EQ(r.pairs[4].imagePoints[0].size(), 35u);
    EXPECT_EQ(r.pairs[4].imagePoints[1].size(), 34u);
    EXPECT_FALSE(r.pairs[5].imageSize[0].area() > 0) << "nothing read of an unchecked pair";
    EXPECT_TRUE(r.pairs[6].fromCornerFile[0] && r.pairs[6].fromCornerFile[1]);
    EXPECT_EQ(r.pairs[6].objectPoints, in.cameras[0].images[6].cornerFile->objectPoints);
    EXPECT_EQ(r.pairs[6].imageSize[1], cv::Size(800, 450));
    // The measured pair's pose is that of its own board frame:
    // t' = t - R (60, 0, 0).
    ASSERT_TRUE(r.pairs[6].fit.has_value());
    cv::Mat R_view;
    cv::Rodrigues(cv::Mat(data.views[6].rvec), R_view);
    const cv::Mat t_shifted = cv::Mat(data.views[6].tvec) - R_view * (cv::Mat_<double>(3, 1) << 60, 0, 0);
    EXPECT_LT(cv::norm(r.pairs[6].fit->tvecs[0], t_shifted), 3.0);
}

TEST(StereoWholeRun, RunErrorsAreKindsNotExceptions)
{
    const RenderedPairs data(4);
    DetectionCache cache;
    using S = StereoRunResult::Status;
    const struct {
        const char* name;
        std::function<void(StereoRunInput&)> spoil;
        S status;
    } cases[] = {
        {"lists of different lengths", [](StereoRunInput& in) { in.cameras[1].images.pop_back(); },
         S::ListSizeMismatch},
        {"no images", [](StereoRunInput& in) { in.cameras[0].images.clear(), in.cameras[1].images.clear(); },
         S::NoImages},
        {"nothing checked",
         [](StereoRunInput& in) {
             for (StereoImage& image : in.cameras[0].images)
                 image.checked = false;
         },
         S::NoPairs},
        {"another board", [](StereoRunInput& in) { in.board.patternSize = cv::Size(8, 6); }, S::NoPairs},
        {"guess without intrinsics",
         [](StereoRunInput& in) { in.cameras[1].options.useIntrinsicGuess = true; }, S::CalibrationFailed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StereoRunInput in = data.input();
        c.spoil(in);
        const StereoRunResult r = runStereoCalibration(in, cache);
        EXPECT_EQ(r.status, c.status);
        EXPECT_FALSE(r.ok());
        EXPECT_TRUE(r.calibration.R.empty());
        for (const StereoPair& pair : r.pairs)
            EXPECT_FALSE(pair.fit.has_value());
        if (c.status == S::CalibrationFailed) {
            EXPECT_FALSE(r.error.empty());
        }
    }
}

TEST(StereoWholeRun, TheCallbackStopsTheRunBetweenImagesAndBeforeTheCalibration)
{
    const RenderedPairs data(4);
    DetectionCache cache;
    RunRecorder between;
    between.stopAt = 2;
    const StereoRunResult a = runStereoCalibration(data.input(), cache, between.callback());
    EXPECT_EQ(a.status, StereoRunResult::Status::Aborted);
    EXPECT_EQ(between.steps, "pRpRp");
    ASSERT_EQ(a.pairs.size(), 4u);
    EXPECT_TRUE(a.pairs[1].ready());
    EXPECT_EQ(a.pairs[2].status, StereoPair::Status::NotReached);
    EXPECT_EQ(a.pairs[3].status, StereoPair::Status::NotReached);
    EXPECT_EQ(cache.size(), 5u) << "what was found stays in the cache";

    RunRecorder before;
    before.stopBeforeCalibration = true;
    const StereoRunResult b = runStereoCalibration(data.input(), cache, before.callback());
    EXPECT_EQ(b.status, StereoRunResult::Status::Aborted);
    EXPECT_EQ(before.steps, "pRpRpRpRC");
    EXPECT_TRUE(b.calibration.R.empty());
    EXPECT_TRUE(b.pairs[3].ready());
}

TEST(StereoWholeRun, OutliersAreLeftOutOfTheNextRunWhileThePointsStayTheSame)
{
    const RenderedPairs data(6);
    StereoRunInput in = data.input();
    // Pair 2 measured in both images, its secondary corner 9 off by 8 px.
    in.cameras[0].images[2].cornerFile = data.cornerFile(0, 2);
    in.cameras[1].images[2].cornerFile = data.cornerFile(1, 2);
    in.cameras[1].images[2].cornerFile->imagePoints[9].y += 8;
    in.outlierThresholds = StereoOutlierThresholds{2, 2, 2};
    DetectionCache cache;
    const StereoRunResult first = runStereoCalibration(in, cache);
    ASSERT_TRUE(first.ok()) << first.error;
    ASSERT_TRUE(first.pairs[2].fit.has_value());
    EXPECT_EQ(first.pairs[2].fit->outliers, std::vector<size_t>{9});
    for (size_t i : {0, 1, 3, 4, 5})
        EXPECT_TRUE(first.pairs[i].fit->outliers.empty()) << i;
    EXPECT_EQ(excludedAfterOutliers(first.pairs[2]), std::vector<size_t>{9});

    // The next run leaves point 9 out; a further outlier is counted among the
    // points as found.
    in.excludedPoints.assign(6, {});
    in.excludedPoints[2] = {9};
    in.cameras[1].images[2].cornerFile->imagePoints[20].x += 8;
    const StereoRunResult second = runStereoCalibration(in, cache);
    ASSERT_TRUE(second.ok()) << second.error;
    const StereoPair& pair = second.pairs[2];
    EXPECT_EQ(pair.imagePoints[1].size(), 34u);
    EXPECT_EQ(pair.objectPoints.size(), 34u);
    EXPECT_EQ(pair.excludedPoints, std::vector<size_t>{9});
    EXPECT_EQ(pair.pointIndices[9], 10u);
    EXPECT_EQ(pair.fit->outliers, std::vector<size_t>{19});
    EXPECT_EQ(excludedAfterOutliers(pair), (std::vector<size_t>{9, 20}));

    // A detected pair keeps its exclusions while its images are reused, and
    // is whole again once an image changed.
    in.excludedPoints[0] = {0, 1};
    const StereoRunResult third = runStereoCalibration(in, cache);
    EXPECT_EQ(third.pairs[0].objectPoints.size(), 33u);
    QThread::msleep(20);
    cv::imwrite(data.path(0, 0), cv::imread(data.path(0, 0), cv::IMREAD_UNCHANGED));
    const StereoRunResult fourth = runStereoCalibration(in, cache);
    EXPECT_EQ(fourth.pairs[0].objectPoints.size(), 35u);
    EXPECT_TRUE(fourth.pairs[0].excludedPoints.empty());
}

TEST(StereoWholeRun, ARefinementStoppedAtItsLimitSaysSo)
{
    const RenderedPairs data(5);
    StereoRunInput in = data.input();
    in.criteria = cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 2, 1e-12);
    DetectionCache cache;
    const StereoRunResult r = runStereoCalibration(in, cache);
    ASSERT_TRUE(r.ok()) << r.error;
    const StereoRefinementReport& report = r.calibration.refinement;
    EXPECT_EQ(report.end, StereoRefinementReport::End::IterationLimit);
    EXPECT_EQ(report.maxIterations, 2);
    EXPECT_GT(report.remainingShift, report.epsilon);
}

// Rectified rows of the exact corners of the rig's views.
double rowDisagreement(const ExactPairs& data, const StereoRectification& rect, bool columns)
{
    double worst = 0;
    for (size_t v = 0; v < data.views.size(); ++v) {
        std::vector<cv::Point2f> p0, p1;
        cv::undistortPoints(data.input.cameras[0].corners[v], p0, cv::Mat(data.rig.primary.K),
                            data.rig.primary.kc, rect.R0, rect.P0);
        cv::undistortPoints(data.input.cameras[1].corners[v], p1, cv::Mat(data.rig.secondary.K),
                            data.rig.secondary.kc, rect.R1, rect.P1);
        for (size_t j = 0; j < p0.size(); ++j)
            worst = std::max(worst, double(std::abs(columns ? p0[j].x - p1[j].x : p0[j].y - p1[j].y)));
    }
    return worst;
}

StereoRectifyInput truthInput(const ExactPairs& data)
{
    StereoRectifyInput in;
    in.K = {cv::Mat(data.rig.primary.K), cv::Mat(data.rig.secondary.K)};
    in.kc = {data.rig.primary.kc, data.rig.secondary.kc};
    in.imageSize = data.rig.primary.size;
    in.R = data.R();
    in.T = data.T();
    in.newImageSize = data.rig.primary.size;
    return in;
}

TEST(StereoRectificationCore, RowsAgreeAndTheFilesHoldTheRectifiedCameras)
{
    const ExactPairs data(4);
    StereoRectification rect;
    std::string error;
    ASSERT_TRUE(rectifyStereo(truthInput(data), rect, error)) << error;
    EXPECT_FALSE(rect.vertical());
    EXPECT_TRUE(rect.hasMaps());
    EXPECT_EQ(rect.map1[1].size(), data.rig.primary.size);
    EXPECT_EQ(rect.map1[0].type(), CV_16SC2);
    EXPECT_LT(rowDisagreement(data, rect, false), 1e-3);
    // Equal principal points under CALIB_ZERO_DISPARITY.
    EXPECT_EQ(rect.flags, 1024);
    EXPECT_NEAR(rect.P0.at<double>(0, 2), rect.P1.at<double>(0, 2), 1e-9);
    EXPECT_NEAR(rect.P0.at<double>(1, 2), rect.P1.at<double>(1, 2), 1e-9);

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string file = dir.filePath("rectification.yml").toStdString();
    ASSERT_TRUE(writeRectificationFile(file, rect, error)) << error;
    cv::FileStorage fs(file, cv::FileStorage::READ);
    EXPECT_EQ(fs.root().keys(), (std::vector<std::string>{"imgageSize", "newImageSize", "alpha", "flags",
                                                          "R0", "R1", "P0", "P1", "Q"}));
    EXPECT_EQ(int(fs["flags"]), 1024);

    const std::string base = dir.filePath("Cam0_Cam1_rect").toStdString();
    const ProjectSaveResult saved = saveRectifiedProject(base, rect, "Cam0", "Cam1", "2026-12-10T12:00:00");
    ASSERT_EQ(saved.status, ProjectSaveResult::Saved) << saved.error;
    for (const char* suffix : {".yml", ".json"}) {
        SCOPED_TRACE(suffix);
        cv::FileStorage p(base + suffix, cv::FileStorage::READ);
        ASSERT_TRUE(p.isOpened());
        EXPECT_EQ(p.root().keys(), (std::vector<std::string>{"ISODate", "Sensors", "World", "K0", "R0", "T0",
                                                             "K1", "R1", "T1"}));
        cv::Mat K1, T1, R1;
        p["K1"] >> K1;
        p["T1"] >> T1;
        p["R1"] >> R1;
        EXPECT_MAT_NEAR(K1, rect.P1(cv::Rect(0, 0, 3, 3)), 1e-9);
        EXPECT_MAT_NEAR(R1, cv::Mat::eye(3, 3, CV_64F), 0);
        // Side by side: (-Tx, 0, 0) with P1(0, 3) = Tx f; the baseline's length.
        EXPECT_NEAR(T1.at<double>(0), -rect.P1.at<double>(0, 3) / rect.P1.at<double>(0, 0), 1e-9);
        EXPECT_NEAR(cv::norm(T1), cv::norm(data.T()), 1e-6);
        EXPECT_EQ(T1.at<double>(1), 0.0);
        EXPECT_EQ(T1.at<double>(2), 0.0);
    }
    Project project;
    const ProjectReadResult read = readProjectFile(base + ".yml", project);
    ASSERT_TRUE(read.ok) << read.message;
    ASSERT_EQ(project.sensors.size(), 2u);
    EXPECT_EQ(project.sensors[0].name, "Cam0_rect");
    EXPECT_EQ(project.sensors[1].name, "Cam1_rect");
    EXPECT_EQ(project.world, 0);
}

TEST(StereoRectificationCore, TurnedRoundCamerasAreAFailure)
{
    // A rig converging by 17 degrees: keeping every source pixel with equal
    // principal points makes OpenCV's fit give a negative focal length.
    const ExactPairs data(2, synth::makeStereoRig(cv::Vec3d(150, 8, 5), -17));
    StereoRectifyInput in = truthInput(data);
    in.alpha = 1;
    StereoRectification rect;
    std::string error;
    EXPECT_FALSE(rectifyStereo(in, rect, error));
    EXPECT_NE(error.find("not positive"), std::string::npos) << error;
    EXPECT_TRUE(rect.P0.empty());
    // Unequal principal points rectify the same pair.
    in.zeroDisparity = false;
    ASSERT_TRUE(rectifyStereo(in, rect, error)) << error;
    EXPECT_GT(rect.P0.at<double>(0, 0), 0);
    EXPECT_LT(rowDisagreement(data, rect, false), 1e-3);
}

// OpenCV's construction breaks down without an error when the baseline's
// squared length exceeds double precision: it returns rotations that leave
// the baseline where it was, along the viewing direction or across the rows.
// Such a pair is refused; the same directions at a length of 150 mm rectify.
TEST(StereoRectificationCore, PairsTheRotationsDoNotRectifyAreAFailure)
{
    const ExactPairs data(2);
    struct Case {
        const char* name;
        cv::Vec3d direction;
        double length;
        bool rectifies;
    } cases[] = {
        {"along the viewing direction, 1e200 mm", {0, 0, -1}, 1e200, false},
        {"across the rows, 1e200 mm", {-1, 0.1, 0.01}, 1e200, false},
        {"across the rows, 150 mm", {-1, 0.1, 0.01}, 150, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StereoRectifyInput in = truthInput(data);
        in.R = cv::Mat::eye(3, 3, CV_64F);
        in.T = cv::Mat(cv::Vec3d(c.direction * (c.length / cv::norm(c.direction))));
        StereoRectification rect;
        std::string error;
        EXPECT_EQ(rectifyStereo(in, rect, error), c.rectifies) << error;
        if (!c.rectifies) {
            EXPECT_NE(error.find("parallel"), std::string::npos) << error;
            EXPECT_TRUE(rect.P0.empty() && !rect.hasMaps());
        }
    }
}

TEST(StereoRectificationCore, VerticalPairAndBadInputs)
{
    // Secondary 150 mm below the primary, looking the same way.
    ExactPairs data(4);
    data.rig = synth::makeStereoRig(cv::Vec3d(3, 150, 2), 0);
    data.views = synth::stereoViews(data.rig, data.pattern, data.square, 4, 9);
    for (size_t v = 0; v < data.views.size(); ++v) {
        data.input.cameras[0].corners[v] =
            synth::projectBoard(data.rig.primary, data.pattern, data.square, data.views[v]);
        data.input.cameras[1].corners[v] = synth::projectBoard(data.rig.secondary, data.pattern, data.square,
                                                               data.rig.secondaryView(data.views[v]));
    }
    StereoRectification rect;
    std::string error;
    ASSERT_TRUE(rectifyStereo(truthInput(data), rect, error)) << error;
    EXPECT_TRUE(rect.vertical());
    EXPECT_LT(rowDisagreement(data, rect, true), 1e-3);
    const std::vector<Sensor> cams = rectifiedCameras(rect, "A", "B");
    EXPECT_NEAR(cams[1].t.at<double>(0), 0.0, 1e-9);
    EXPECT_NEAR(std::abs(cams[1].t.at<double>(1)), cv::norm(data.T()), 1e-6);

    const StereoRectification before = rect;
    struct Case {
        const char* name;
        std::function<void(StereoRectifyInput&)> spoil;
    };
    const Case cases[] = {
        {"new width 0", [](StereoRectifyInput& in) { in.newImageSize = cv::Size(0, 768); }},
        {"no pose", [](StereoRectifyInput& in) { in.R.release(); }},
        {"no primary camera matrix", [](StereoRectifyInput& in) { in.K[0].release(); }},
        {"no image size", [](StereoRectifyInput& in) { in.imageSize = cv::Size(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StereoRectifyInput in = truthInput(data);
        c.spoil(in);
        error.clear();
        EXPECT_FALSE(rectifyStereo(in, rect, error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(rect.P1.data, before.P1.data) << "left untouched";
    }
}

} // namespace
