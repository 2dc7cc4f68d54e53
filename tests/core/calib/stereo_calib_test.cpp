#include "core/calib/lev_marq.h"
#include "core/calib/stereo_calib.h"

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "synthetic.h"
#include "test_helpers.h"

namespace {

using testing_support::cvErrorMessage;

using Points3 = std::vector<std::vector<cv::Point3f>>;
using Points2 = std::vector<std::vector<cv::Point2f>>;

const cv::Size kPattern(9, 7);
const double kSquare = 30;

// Two devices with a known relative pose (x2 = R x1 + T, mm).
struct Rig {
    synth::Camera cam1, cam2;
    cv::Matx33d R;
    cv::Vec3d T;
};

// Device 1: 1280x1024 with 5 coefficients; device 2: 1920x1080 with the
// rational model, about 150 mm to the right and turned 6 degrees inwards.
Rig mixedRig()
{
    Rig rig;
    rig.cam1 = synth::makeCamera({1280, 1024}, 1500, {-0.21, 0.12, 0.0008, -0.0005, -0.03});
    rig.cam2 = synth::makeCamera({1920, 1080}, 1650, {0.12, -0.08, -0.0006, 0.0004, 0.01, 0.35, -0.12, 0.05});
    rig.cam2.K(0, 2) = 950.0;
    rig.cam2.K(1, 2) = 548.0;
    cv::Rodrigues(cv::Vec3d(0.02, -6 * CV_PI / 180, 0.01), rig.R);
    rig.T = cv::Vec3d(-150, 4, 6);
    return rig;
}

// Two devices of different size with the same focal length, for CALIB_SAME_FOCAL_LENGTH.
Rig sameFocalRig()
{
    Rig rig = mixedRig();
    rig.cam1.kc = (cv::Mat_<double>(1, 5) << -0.21, 0.12, 0.0008, -0.0005, -0.03);
    rig.cam2 = synth::makeCamera({1920, 1080}, 1500, {-0.15, 0.06, -0.0003, 0.0006, 0.0});
    rig.cam2.K(0, 2) = 950.0;
    rig.cam2.K(1, 2) = 548.0;
    return rig;
}

// Two devices of the same size, for the comparison with OpenCV's calibration.
Rig equalRig()
{
    Rig rig;
    rig.cam1 = synth::makeCamera({1280, 1024}, 1450, {-0.2, 0.1, 0.0005, -0.0004, -0.02});
    rig.cam2 = synth::makeCamera({1280, 1024}, 1520, {-0.15, 0.06, -0.0003, 0.0006, 0.0});
    rig.cam2.K(0, 2) = 652.0;
    cv::Rodrigues(cv::Vec3d(-0.01, -5 * CV_PI / 180, 0.015), rig.R);
    rig.T = cv::Vec3d(-120, 2, -5);
    return rig;
}

bool inside(const std::vector<cv::Point2f>& pts, cv::Size size, float margin)
{
    for (const auto& p : pts)
        if (p.x < margin || p.y < margin || p.x > size.width - 1 - margin || p.y > size.height - 1 - margin)
            return false;
    return true;
}

struct StereoData {
    Points3 object;
    Points2 image1, image2;
};

// n views of the board seen whole by both devices, with Gaussian noise of
// sigma pixels added to every corner.
StereoData stereoViews(const Rig& rig, int n, double sigma, std::uint64_t seed)
{
    StereoData data;
    const auto board = synth::boardPoints(kPattern, kSquare);
    const auto views = synth::boardViews(rig.cam1, kPattern, kSquare, 8 * n, seed);
    cv::RNG rng(seed + 17);
    for (const auto& v1 : views) {
        if ((int)data.object.size() == n)
            break;
        cv::Matx33d R1;
        cv::Rodrigues(v1.rvec, R1);
        synth::View v2;
        cv::Rodrigues(rig.R * R1, v2.rvec);
        v2.tvec = rig.R * v1.tvec + rig.T;
        auto p1 = synth::projectBoard(rig.cam1, kPattern, kSquare, v1);
        auto p2 = synth::projectBoard(rig.cam2, kPattern, kSquare, v2);
        if (!inside(p2, rig.cam2.size, 15))
            continue;
        for (auto* pts : {&p1, &p2})
            for (auto& p : *pts) {
                const float dy = (float)rng.gaussian(sigma), dx = (float)rng.gaussian(sigma);
                p += cv::Point2f(dx, dy);
            }
        data.object.push_back(board);
        data.image1.push_back(p1);
        data.image2.push_back(p2);
    }
    EXPECT_EQ((int)data.object.size(), n) << "too few views fit both devices";
    return data;
}

struct Result {
    cv::Mat K1, D1, K2, D2, R, T, E, F, perView;
    double rms = -1;
};

Result calibrate(const StereoData& d, const Rig& rig, int flags1, int flags2, Result start = {},
                 cv::TermCriteria criteria = cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS,
                                                              30, 1e-6),
                 StereoRefinementReport* report = nullptr)
{
    Result r = start;
    r.rms =
        stereoCalibrateDual(d.object, d.image1, d.image2, r.K1, r.D1, r.K2, r.D2, rig.cam1.size,
                            rig.cam2.size, r.R, r.T, r.E, r.F, r.perView, flags1, flags2, criteria, report);
    return r;
}

// Largest distance in pixels, over the given pixels, between the truth and
// the projection by the estimated intrinsics of the rays the truth sees there.
double projectionDifferencePx(const synth::Camera& truth, const cv::Mat& K, const cv::Mat& D,
                              const Points2& where)
{
    std::vector<cv::Point2d> pixels;
    for (const auto& view : where)
        pixels.insert(pixels.end(), view.begin(), view.end());
    std::vector<cv::Point2d> normalised;
    cv::undistortPoints(pixels, normalised, truth.K, truth.kc, cv::noArray(), cv::noArray(),
                        cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-14));
    std::vector<cv::Point3d> rays;
    for (const auto& p : normalised)
        rays.emplace_back(p.x, p.y, 1.0);
    std::vector<cv::Point2d> a, b;
    cv::projectPoints(rays, cv::Vec3d(), cv::Vec3d(), truth.K, truth.kc, a);
    cv::projectPoints(rays, cv::Vec3d(), cv::Vec3d(), K, D, b);
    double worst = 0;
    for (size_t i = 0; i < a.size(); ++i)
        worst = std::max(worst, cv::norm(a[i] - b[i]));
    return worst;
}

// The given intrinsics of both devices, for flag sets that read them.
Result givenIntrinsics(const Rig& rig)
{
    Result r;
    r.K1 = cv::Mat(rig.cam1.K).clone();
    r.K2 = cv::Mat(rig.cam2.K).clone();
    r.D1 = rig.cam1.kc.clone();
    r.D2 = rig.cam2.kc.clone();
    return r;
}

double fx(const cv::Mat& K)
{
    return K.at<double>(0, 0);
}
double fy(const cv::Mat& K)
{
    return K.at<double>(1, 1);
}
double cx(const cv::Mat& K)
{
    return K.at<double>(0, 2);
}
double cy(const cv::Mat& K)
{
    return K.at<double>(1, 2);
}

const cv::TermCriteria kOneStep(cv::TermCriteria::COUNT, 1, 0);

} // namespace

// Ground truth: views projected by two known devices of different size and
// distortion model, recovered exactly without noise and within the spread
// that 0.1 px of noise allows with it.
TEST(StereoCalibrateDual, RecoversMixedDevicesWithAndWithoutNoise)
{
    const Rig rig = mixedRig();
    struct Case {
        double sigma;
        double maxFocalPx, maxCentrePx, maxDeg, maxMm;
    } cases[] = {
        {0.0, 2e-3, 2e-3, 1e-5, 1e-3},
        {0.1, 3.0, 3.0, 0.15, 0.5},
    };
    const StereoData exact = stereoViews(rig, 20, 0.0, 7);
    for (const auto& c : cases) {
        SCOPED_TRACE("noise sigma " + std::to_string(c.sigma));
        const StereoData d = stereoViews(rig, 20, c.sigma, 7);
        const Result r = calibrate(d, rig, 0, cv::CALIB_RATIONAL_MODEL);
        ASSERT_EQ(r.K1.size(), cv::Size(3, 3));
        ASSERT_EQ(r.K1.type(), CV_64F);
        EXPECT_EQ(r.D1.size(), cv::Size(5, 1));
        EXPECT_EQ(r.D2.size(), cv::Size(14, 1));
        EXPECT_EQ(r.D2.type(), CV_64F);
        EXPECT_EQ(r.R.size(), cv::Size(3, 3));
        EXPECT_EQ(r.T.size(), cv::Size(1, 3));
        EXPECT_NEAR(fx(r.K1), rig.cam1.K(0, 0), c.maxFocalPx);
        EXPECT_NEAR(fy(r.K1), rig.cam1.K(1, 1), c.maxFocalPx);
        EXPECT_NEAR(fx(r.K2), rig.cam2.K(0, 0), c.maxFocalPx);
        EXPECT_NEAR(fy(r.K2), rig.cam2.K(1, 1), c.maxFocalPx);
        EXPECT_NEAR(cx(r.K1), rig.cam1.K(0, 2), c.maxCentrePx);
        EXPECT_NEAR(cy(r.K1), rig.cam1.K(1, 2), c.maxCentrePx);
        EXPECT_NEAR(cx(r.K2), rig.cam2.K(0, 2), c.maxCentrePx);
        EXPECT_NEAR(cy(r.K2), rig.cam2.K(1, 2), c.maxCentrePx);
        EXPECT_POSE_NEAR(r.R, r.T, cv::Mat(rig.R), cv::Mat(rig.T), c.maxDeg, c.maxMm);

        // The RMS error is the point-weighted mean of the per-view errors of both devices.
        double sum = 0;
        int points = 0;
        for (int i = 0; i < r.perView.rows; ++i) {
            const int ni = (int)d.object[i].size();
            for (int k = 0; k < 2; ++k)
                sum += r.perView.at<double>(i, k) * r.perView.at<double>(i, k) * ni;
            points += 2 * ni;
        }
        EXPECT_NEAR(r.rms, std::sqrt(sum / points), 1e-12);

        if (c.sigma == 0) {
            // Exact data (up to the float storage of the corners).
            EXPECT_LT(r.rms, 1e-4);
            EXPECT_MAT_NEAR(r.perView, cv::Mat::zeros(20, 2, CV_64F), 1e-4);
            EXPECT_MAT_NEAR(r.D1, rig.cam1.kc, 1e-3);
            EXPECT_LT(projectionDifferencePx(rig.cam1, r.K1, r.D1, exact.image1), 2e-3);
            EXPECT_LT(projectionDifferencePx(rig.cam2, r.K2, r.D2, exact.image2), 2e-3);
        } else {
            // A point's error is the distance, sigma * sqrt(2) for Gaussian noise of sigma per axis.
            EXPECT_NEAR(r.rms, c.sigma * std::sqrt(2.0), 0.1 * c.sigma);
        }
    }
}

// E and F relate the two devices' views of the same points: x2^T E x1 = 0 for
// normalised and x2^T F x1 = 0 for (undistorted) pixel coordinates.
TEST(StereoCalibrateDual, EssentialAndFundamentalMatricesFitTheViews)
{
    const Rig rig = mixedRig();
    const StereoData d = stereoViews(rig, 12, 0.0, 11);
    const Result r = calibrate(d, rig, 0, cv::CALIB_RATIONAL_MODEL);
    cv::Mat tx = (cv::Mat_<double>(3, 3) << 0, -r.T.at<double>(2), r.T.at<double>(1), r.T.at<double>(2), 0,
                  -r.T.at<double>(0), -r.T.at<double>(1), r.T.at<double>(0), 0);
    EXPECT_MAT_NEAR(r.E, tx * r.R, 1e-12);
    EXPECT_DOUBLE_EQ(r.F.at<double>(2, 2), 1.0);
    double worstE = 0, worstF = 0;
    for (size_t i = 0; i < d.object.size(); ++i) {
        std::vector<cv::Point2d> n1, n2, u1, u2;
        const std::vector<cv::Point2d> p1(d.image1[i].begin(), d.image1[i].end()),
            p2(d.image2[i].begin(), d.image2[i].end());
        const cv::TermCriteria exactly(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-14);
        cv::undistortPoints(p1, n1, r.K1, r.D1, cv::noArray(), cv::noArray(), exactly);
        cv::undistortPoints(p2, n2, r.K2, r.D2, cv::noArray(), cv::noArray(), exactly);
        cv::undistortPoints(p1, u1, r.K1, r.D1, cv::noArray(), r.K1, exactly);
        cv::undistortPoints(p2, u2, r.K2, r.D2, cv::noArray(), r.K2, exactly);
        for (size_t j = 0; j < n1.size(); ++j) {
            const cv::Vec3d a(n1[j].x, n1[j].y, 1), b(n2[j].x, n2[j].y, 1);
            worstE = std::max(worstE, std::fabs(cv::Mat(cv::Mat(b).t() * r.E * cv::Mat(a)).at<double>(0)));
            const cv::Vec3d a1(u1[j].x, u1[j].y, 1), b1(u2[j].x, u2[j].y, 1);
            // Distance in pixels of the point in device 2 from its epipolar line.
            const cv::Mat line = r.F * cv::Mat(a1);
            const double dist =
                std::fabs(line.dot(cv::Mat(b1))) / std::hypot(line.at<double>(0), line.at<double>(1));
            worstF = std::max(worstF, dist);
        }
    }
    EXPECT_LT(worstE / cv::norm(r.T), 1e-6); // E scales with the baseline
    EXPECT_LT(worstF, 1e-3);
}

// With one image size and one flag set for both devices, the result is that
// of OpenCV's own stereo calibration on the same data.
TEST(StereoCalibrateDual, AgreesWithOpenCvForEqualSizes)
{
    const Rig rig = equalRig();
    const StereoData d = stereoViews(rig, 20, 0.15, 3);
    // tolerance scales the limits on the parameters and per-view errors: the
    // thin prism model with tilt has a flat valley in which the two
    // minimisers stop at the same RMS but up to 1e-3 px apart in K.
    const struct {
        int flags;
        double tolerance;
    } cases[] = {
        {0, 1},
        {cv::CALIB_FIX_INTRINSIC, 1},
        {cv::CALIB_USE_INTRINSIC_GUESS | cv::CALIB_FIX_PRINCIPAL_POINT, 1},
        {cv::CALIB_FIX_ASPECT_RATIO | cv::CALIB_ZERO_TANGENT_DIST | cv::CALIB_FIX_K3, 1},
        {cv::CALIB_THIN_PRISM_MODEL | cv::CALIB_TILTED_MODEL | cv::CALIB_USE_LU, 1e4},
    };
    // Both run to convergence: they stop by different rules.
    const cv::TermCriteria tight(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 1000, 1e-14);
    for (const auto& c : cases) {
        SCOPED_TRACE("flags " + std::to_string(c.flags));
        const Result r = calibrate(d, rig, c.flags, c.flags, givenIntrinsics(rig), tight);
        Result o = givenIntrinsics(rig);
        o.rms = cv::stereoCalibrate(d.object, d.image1, d.image2, o.K1, o.D1, o.K2, o.D2, rig.cam1.size, o.R,
                                    o.T, o.E, o.F, o.perView, c.flags, tight);
        EXPECT_NEAR(r.rms, o.rms, 1e-9);
        EXPECT_LT(testing_support::rotationDiffDeg(r.R, o.R), 1e-7 * c.tolerance);
        EXPECT_MAT_NEAR(r.T, o.T, 1e-6 * c.tolerance);
        EXPECT_MAT_NEAR(r.K1, o.K1, 1e-5 * c.tolerance);
        EXPECT_MAT_NEAR(r.K2, o.K2, 1e-5 * c.tolerance);
        EXPECT_MAT_NEAR(r.D1, o.D1, 1e-6 * c.tolerance);
        EXPECT_MAT_NEAR(r.D2, o.D2, 1e-6 * c.tolerance);
        EXPECT_MAT_NEAR(r.perView, o.perView, 1e-8 * c.tolerance);
        EXPECT_MAT_NEAR(r.E, o.E, 1e-6 * c.tolerance);
        EXPECT_MAT_NEAR(r.F, o.F, 1e-9 * c.tolerance);
    }
}

// The rational model is poorly conditioned: different minimisers stop at
// different coefficients of nearly the same cost. Ours must not end higher.
TEST(StereoCalibrateDual, RationalModelEndsNoHigherThanOpenCv)
{
    const Rig rig = equalRig();
    const StereoData d = stereoViews(rig, 20, 0.15, 3);
    const int flags = cv::CALIB_RATIONAL_MODEL;
    const Result r = calibrate(d, rig, flags, flags);
    Result o;
    o.rms = cv::stereoCalibrate(d.object, d.image1, d.image2, o.K1, o.D1, o.K2, o.D2, rig.cam1.size, o.R, o.T,
                                o.E, o.F, o.perView, flags);
    EXPECT_LE(r.rms, o.rms + 1e-9);
    EXPECT_LT(testing_support::rotationDiffDeg(r.R, o.R), 0.05);
    EXPECT_MAT_NEAR(r.T, o.T, 0.1);
}

// The normal equations the refinement accumulates, J^T J and J^T e, equal
// those of a Jacobian taken by central differences of the residuals, for
// every parameter (ties included), at a point away from the optimum.
TEST(StereoCalibrateDual, AccumulatedNormalEquationsMatchFiniteDifferences)
{
    const Rig rig = mixedRig();
    const StereoData d = stereoViews(rig, 4, 0.1, 5);
    const cv::Mat K[2] = {cv::Mat(rig.cam1.K).clone(), cv::Mat(rig.cam2.K).clone()};
    cv::Mat D[2] = {rig.cam1.kc.clone(), cv::Mat::zeros(1, 14, CV_64F)};
    rig.cam2.kc.copyTo(D[1].colRange(0, 8));
    D[1].at<double>(8) = 0.002;  // s1
    D[1].at<double>(12) = 0.001; // taux
    const cv::Size sizes[2] = {rig.cam1.size, rig.cam2.size};
    const int guess = cv::CALIB_USE_INTRINSIC_GUESS;
    const int full = cv::CALIB_RATIONAL_MODEL | cv::CALIB_THIN_PRISM_MODEL | cv::CALIB_TILTED_MODEL;
    struct Case {
        const char* name;
        int flags1, flags2;
    } cases[] = {
        {"all intrinsics free", guess, guess | full},
        {"shared focal length", guess | cv::CALIB_SAME_FOCAL_LENGTH, guess | full},
        {"fixed aspect ratio, one device fixed", guess | cv::CALIB_FIX_ASPECT_RATIO,
         cv::CALIB_FIX_INTRINSIC | full},
        {"shared focal length led by device 2, aspect ratio", guess | cv::CALIB_FIX_ASPECT_RATIO,
         guess | cv::CALIB_FIX_FOCAL_LENGTH | cv::CALIB_SAME_FOCAL_LENGTH | full},
        {"poses only", cv::CALIB_FIX_INTRINSIC, cv::CALIB_FIX_INTRINSIC | full},
    };
    cv::RNG rng(3);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const cv::Mat D2 = (c.flags2 & full) ? D[1] : D[1].colRange(0, 5);
        const cv::Mat Ds[2] = {D[0], D2};
        stereo_calib::StereoProblem P = stereo_calib::initStereoProblem(
            d.object, d.image1, d.image2, K, Ds, sizes, cv::Mat(), cv::Mat(), c.flags1, c.flags2);
        const int n = P.param.rows;
        const bool bothFixed = (c.flags1 & cv::CALIB_FIX_INTRINSIC) && (c.flags2 & cv::CALIB_FIX_INTRINSIC);
        ASSERT_EQ(n, 6 * 5 + (bothFixed ? 0 : 36)); // 36 intrinsics unless both devices are fixed

        // Move away from the start: poses, focal lengths, principal points, coefficients.
        cv::Mat param = P.param.clone();
        for (int q = 0; q < n; ++q) {
            double& v = param.at<double>(q);
            if (q < 6 * 5)
                v += (q % 6 < 3) ? rng.uniform(-0.01, 0.01) : rng.uniform(-2.0, 2.0);
            else
                v += ((q - 30) % 18 < 4) ? rng.uniform(-3.0, 3.0) : rng.uniform(-0.003, 0.003);
        }
        std::vector<double> e;
        cv::Mat JtJ = cv::Mat::zeros(n, n, CV_64F), JtErr = cv::Mat::zeros(n, 1, CV_64F);
        const double sum = P.evaluate(param, nullptr, &JtJ, &JtErr, nullptr, &e);
        cv::completeSymm(JtJ, false);
        const cv::Mat ev(e, true);
        EXPECT_NEAR(sum, ev.dot(ev), 1e-9 * sum);

        cv::Mat J((int)e.size(), n, CV_64F);
        for (int q = 0; q < n; ++q) {
            const double h = 1e-6 * std::max(1.0, std::fabs(param.at<double>(q)));
            std::vector<double> ep, em;
            cv::Mat pp = param.clone(), pm = param.clone();
            pp.at<double>(q) += h;
            pm.at<double>(q) -= h;
            P.evaluate(pp, nullptr, nullptr, nullptr, nullptr, &ep);
            P.evaluate(pm, nullptr, nullptr, nullptr, nullptr, &em);
            for (size_t a = 0; a < e.size(); ++a)
                J.at<double>((int)a, q) = (ep[a] - em[a]) / (2 * h);
        }
        const cv::Mat JtJfd = J.t() * J, JtErrfd = J.t() * ev;
        int bad = 0;
        for (int a = 0; a < n && bad < 5; ++a) {
            const double sa = std::sqrt(std::max(JtJ.at<double>(a, a), JtJfd.at<double>(a, a)));
            for (int b = a; b < n && bad < 5; ++b) {
                const double sb = std::sqrt(std::max(JtJ.at<double>(b, b), JtJfd.at<double>(b, b)));
                const double diff = std::fabs(JtJ.at<double>(a, b) - JtJfd.at<double>(a, b));
                if (diff > 1e-6 * sa * sb + 1e-12) {
                    ++bad;
                    ADD_FAILURE() << "J^T J(" << a << ", " << b << ") = " << JtJ.at<double>(a, b)
                                  << ", by finite differences " << JtJfd.at<double>(a, b);
                }
            }
            const double diff = std::fabs(JtErr.at<double>(a) - JtErrfd.at<double>(a));
            if (diff > 1e-6 * sa * std::sqrt(sum) + 1e-12) {
                ++bad;
                ADD_FAILURE() << "J^T e(" << a << ") = " << JtErr.at<double>(a) << ", by finite differences "
                              << JtErrfd.at<double>(a);
            }
        }
    }
}

// CALIB_USE_EXTRINSIC_GUESS in either flag set: the caller's R and T are the
// start (one step from an exact guess stays exact, one step from a wrong
// guess does not get far), and they keep their storage, shape and type.
TEST(StereoCalibrateDual, ExtrinsicGuessFromEitherFlagSetIsTheStart)
{
    const Rig rig = equalRig();
    const StereoData d = stereoViews(rig, 10, 0.0, 3);
    const int fixed = cv::CALIB_FIX_INTRINSIC, guess = cv::CALIB_USE_EXTRINSIC_GUESS;
    struct Case {
        const char* name;
        int flags1, flags2;
        bool rotationVector;
    } cases[] = {
        {"device 1, rotation vector", fixed | guess, fixed, true},
        {"device 2, rotation matrix", fixed, fixed | guess, false},
        {"both, rotation vector", fixed | guess, fixed | guess, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (double offDeg : {0.0, 10.0}) {
            SCOPED_TRACE("guess off by " + std::to_string(offDeg) + " degrees");
            cv::Matx33d Roff;
            cv::Rodrigues(cv::Vec3d(0, offDeg * CV_PI / 180, 0), Roff);
            Result s = givenIntrinsics(rig);
            const cv::Matx33d Rguess = Roff * rig.R;
            if (c.rotationVector) {
                cv::Vec3d rvec;
                cv::Rodrigues(Rguess, rvec);
                s.R = cv::Mat(rvec, true); // 3x1 CV_64F
            } else {
                cv::Mat(Rguess).convertTo(s.R, CV_32F);
            }
            cv::Mat(cv::Vec3f(rig.T + cv::Vec3d(5 * offDeg, 0, 0))).reshape(1, 1).copyTo(s.T); // 1x3 CV_32F
            const uchar* rData = s.R.data;
            const uchar* tData = s.T.data;
            const Result r = calibrate(d, rig, c.flags1, c.flags2, s, kOneStep);
            EXPECT_EQ(r.R.data, rData);
            EXPECT_EQ(r.T.data, tData);
            EXPECT_EQ(r.R.size(), c.rotationVector ? cv::Size(1, 3) : cv::Size(3, 3));
            EXPECT_EQ(r.R.type(), c.rotationVector ? CV_64F : CV_32F);
            EXPECT_EQ(r.T.size(), cv::Size(3, 1));
            EXPECT_EQ(r.T.type(), CV_32F);
            cv::Mat Rm = r.R;
            if (c.rotationVector)
                cv::Rodrigues(r.R, Rm);
            if (offDeg == 0)
                EXPECT_POSE_NEAR(Rm, r.T.t(), cv::Mat(rig.R), cv::Mat(rig.T), 1e-4, 1e-3);
            else
                EXPECT_GT(testing_support::rotationDiffDeg(Rm, cv::Mat(rig.R)), 0.1);
        }
    }
}

// A guess that is missing or malformed is an error, whichever set asks for it.
TEST(StereoCalibrateDual, MalformedExtrinsicGuessIsAnError)
{
    const Rig rig = equalRig();
    const StereoData d = stereoViews(rig, 4, 0.0, 3);
    const std::string rMessage =
        "R must be a 3x3 rotation matrix or a 3x1 or 1x3 rotation vector of type CV_32F or "
        "CV_64F when CALIB_USE_EXTRINSIC_GUESS is set";
    const std::string tMessage = "T must be a 3x1 or 1x3 vector of type CV_32F or CV_64F when "
                                 "CALIB_USE_EXTRINSIC_GUESS is set";
    const cv::Mat goodR = cv::Mat(rig.R).clone(), goodT = cv::Mat(rig.T).clone();
    struct Case {
        const char* name;
        cv::Mat R, T;
        std::string message;
    } cases[] = {
        {"R empty", cv::Mat(), goodT, rMessage},
        {"R 2x2", cv::Mat::eye(2, 2, CV_64F), goodT, rMessage},
        {"R of integers", cv::Mat::eye(3, 3, CV_32S), goodT, rMessage},
        {"R with 4 values", cv::Mat::zeros(4, 1, CV_64F), goodT, rMessage},
        {"T empty", goodR, cv::Mat(), tMessage},
        {"T with 4 values", goodR, cv::Mat::zeros(4, 1, CV_64F), tMessage},
        {"T not finite", goodR, (cv::Mat_<double>(3, 1) << 1, NAN, 0),
         "R and T must be finite when CALIB_USE_EXTRINSIC_GUESS is set"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Result s = givenIntrinsics(rig);
        s.R = c.R;
        s.T = c.T;
        const cv::Mat K1before = s.K1.clone();
        int code = 0;
        EXPECT_EQ(cvErrorMessage(
                      [&] {
                          calibrate(d, rig, cv::CALIB_FIX_INTRINSIC,
                                    cv::CALIB_FIX_INTRINSIC | cv::CALIB_USE_EXTRINSIC_GUESS, s);
                      },
                      &code),
                  c.message);
        EXPECT_EQ(code, cv::Error::StsBadArg);
        EXPECT_MAT_NEAR(s.K1, K1before, 0);
    }
}

// Coefficient vectors of any length up to 14 keep their values in the
// leading entries; a device without an extended model returns 5, one with
// the rational model 14.
TEST(StereoCalibrateDual, DistortionCoefficientsOfAnyLengthUpTo14)
{
    const Rig rig = equalRig();
    const StereoData d = stereoViews(rig, 4, 0.0, 3);
    const std::vector<double> all = {-0.2,  0.1,  5e-4,  -4e-4, -0.02, 0.01,  -0.005,
                                     0.002, 1e-3, -1e-3, 2e-3,  -2e-3, 0.003, -0.004};
    auto first = [&](int n) { return std::vector<double>(all.begin(), all.begin() + n); };
    auto padded = [&](int n, int to) {
        std::vector<double> v = first(n);
        v.resize(to, 0.0);
        return v;
    };
    const int fixed = cv::CALIB_FIX_INTRINSIC;
    struct Case {
        const char* name;
        std::vector<double> given;
        bool column;
        int model;
        std::vector<double> expected;
    } cases[] = {
        {"none", {}, false, 0, padded(0, 5)},
        {"4", first(4), false, 0, padded(4, 5)},
        {"5 as a column", first(5), true, 0, first(5)},
        {"6, the sixth zero", padded(5, 6), false, 0, first(5)},
        {"6, rational", first(6), false, cv::CALIB_RATIONAL_MODEL, padded(6, 14)},
        {"8, zeros beyond k3", padded(5, 8), true, 0, first(5)},
        {"12, thin prism", first(12), false, cv::CALIB_THIN_PRISM_MODEL, padded(12, 14)},
        {"14, tilted", first(14), true, cv::CALIB_TILTED_MODEL, first(14)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Result s = givenIntrinsics(rig);
        s.D1 = cv::Mat(c.given, true);
        if (!c.column && !c.given.empty())
            s.D1 = s.D1.reshape(1, 1);
        s.D2 = cv::Mat(first(5), true).reshape(1, 1);
        const Result r = calibrate(d, rig, fixed | c.model, fixed | cv::CALIB_RATIONAL_MODEL, s);
        cv::Mat expected(c.expected, true);
        EXPECT_EQ(r.D1.type(), CV_64F);
        EXPECT_EQ(r.D1.cols == 1 && r.D1.rows > 1, c.column);
        EXPECT_MAT_NEAR(r.D1.reshape(1, 1), expected.reshape(1, 1), 0);
        EXPECT_MAT_NEAR(r.D2, cv::Mat(padded(5, 14), true).reshape(1, 1), 0);
    }
}

TEST(StereoCalibrateDual, DistortionCoefficientsBeyondTheModel)
{
    const Rig rig = equalRig();
    const StereoData d = stereoViews(rig, 8, 0.0, 3);
    const std::vector<double> eight = {-0.2, 0.1, 5e-4, -4e-4, -0.02, 0.01, 0, 0};
    const std::vector<double> fifteen(15, 0.0);
    const int fixed = cv::CALIB_FIX_INTRINSIC;
    struct Case {
        const char* name;
        std::vector<double> d1, d2;
        int flags1, flags2, code;
        std::string message;
    } cases[] = {
        {"15 in device 1",
         fifteen,
         {},
         fixed,
         fixed,
         cv::Error::StsAssert,
         "(int)distCoeffs0.total() <= outputSize"},
        {"15 in device 2",
         {},
         fifteen,
         fixed,
         fixed,
         cv::Error::StsAssert,
         "(int)distCoeffs0.total() <= outputSize"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Result s = givenIntrinsics(rig);
        s.D1 = cv::Mat(c.d1, true);
        s.D2 = cv::Mat(c.d2, true);
        int code = 0;
        EXPECT_EQ(cvErrorMessage([&] { calibrate(d, rig, c.flags1, c.flags2, s); }, &code), c.message);
        EXPECT_EQ(code, c.code);
    }

    // A five-coefficient device given k4 (an earlier rational run, imported
    // intrinsics) reads and returns its first five, with the coefficients
    // fixed and as a guess; startCoefficientCut names the non-zero one left
    // out (k4, index 5), the zero k5 and k6 change nothing.
    const std::vector<double> firstFive(eight.begin(), eight.begin() + 5);
    for (const int flags : {int(cv::CALIB_FIX_INTRINSIC), int(cv::CALIB_USE_INTRINSIC_GUESS)}) {
        SCOPED_TRACE(flags);
        Result g = givenIntrinsics(rig);
        g.D1 = cv::Mat(eight, true).reshape(1, 1);
        g.D2 = cv::Mat(eight, true);
        for (const cv::Mat& given : {g.D1, g.D2}) {
            const CoefficientCut cut = startCoefficientCut(given, flags);
            EXPECT_EQ(cut.given, 8);
            ASSERT_EQ(cut.leftOut.size(), 1u);
            EXPECT_EQ(cut.leftOut[0], std::make_pair(5, 0.01));
            EXPECT_STREQ(distortionCoefficientName(cut.leftOut[0].first), "k4");
            EXPECT_TRUE(startCoefficientCut(given, flags | cv::CALIB_RATIONAL_MODEL).empty());
        }
        const Result r = calibrate(d, rig, flags, cv::CALIB_FIX_INTRINSIC, g);
        EXPECT_EQ(r.D1.total(), 5u);
        EXPECT_EQ(r.D2.total(), 5u);
        EXPECT_MAT_NEAR(r.D2.reshape(1, 1), cv::Mat(firstFive, true).reshape(1, 1), 0);
        if (flags == cv::CALIB_FIX_INTRINSIC) {
            EXPECT_MAT_NEAR(r.D1.reshape(1, 1), cv::Mat(firstFive, true).reshape(1, 1), 0);
        }
    }

    // Calibrated from scratch, the device does not read what it is given:
    // 8 coefficients in, the 5 of its model out.
    Result s;
    s.D1 = cv::Mat(eight, true);
    const Result r = calibrate(d, rig, 0, cv::CALIB_FIX_INTRINSIC, [&] {
        Result g = givenIntrinsics(rig);
        g.D1 = s.D1;
        g.K1 = cv::Mat();
        return g;
    }());
    EXPECT_EQ(r.D1.total(), 5u);
    EXPECT_MAT_NEAR(r.D1.reshape(1, 1), rig.cam1.kc, 1e-3);
    EXPECT_TRUE(startCoefficientCut(s.D1, 0).empty());
}

// The camera matrix must be given when the flags take it as it is.
TEST(StereoCalibrateDual, CameraMatrixRequiredByTheFlags)
{
    const Rig rig = equalRig();
    const StereoData d = stereoViews(rig, 8, 0.0, 3);
    const cv::Mat zeroFocal = (cv::Mat_<double>(3, 3) << 0, 0, 640, 0, 1400, 512, 0, 0, 1);
    struct Case {
        const char* name;
        int device, flags;
        cv::Mat K;
        std::string message;
    } cases[] = {
        {"guess without matrix", 1, cv::CALIB_USE_INTRINSIC_GUESS, cv::Mat(),
         "cameraMatrix1 must be a 3x3 matrix when flags1 hold CALIB_USE_INTRINSIC_GUESS or "
         "CALIB_FIX_INTRINSIC"},
        {"fixed 3x4 matrix", 2, cv::CALIB_FIX_INTRINSIC, cv::Mat::eye(3, 4, CV_64F),
         "cameraMatrix2 must be a 3x3 matrix when flags2 hold CALIB_USE_INTRINSIC_GUESS or "
         "CALIB_FIX_INTRINSIC"},
        {"fixed zero focal length", 1, cv::CALIB_FIX_INTRINSIC, zeroFocal,
         "cameraMatrix1 must be finite with positive fx and fy"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Result s = givenIntrinsics(rig);
        (c.device == 1 ? s.K1 : s.K2) = c.K;
        const int other = cv::CALIB_FIX_INTRINSIC;
        int code = 0;
        EXPECT_EQ(cvErrorMessage(
                      [&] {
                          calibrate(d, rig, c.device == 1 ? c.flags : other, c.device == 2 ? c.flags : other,
                                    s);
                      },
                      &code),
                  c.message);
        EXPECT_EQ(code, cv::Error::StsBadArg);
    }

    // A fixed aspect ratio without a matrix starts from the identity: fx / fy stays 1.
    Result s = givenIntrinsics(rig);
    s.K1 = cv::Mat();
    const Result r = calibrate(d, rig, cv::CALIB_FIX_ASPECT_RATIO, cv::CALIB_FIX_INTRINSIC, s);
    EXPECT_DOUBLE_EQ(fx(r.K1) / fy(r.K1), 1.0);
    EXPECT_NEAR(fx(r.K1), rig.cam1.K(0, 0), 0.01);
}

// CALIB_SAME_FOCAL_LENGTH ties fx and fy of the two devices and nothing else:
// from either flag set, estimated from both devices, principal points apart.
TEST(StereoCalibrateDual, SameFocalLengthTiesOnlyTheFocalLengths)
{
    const Rig rig = sameFocalRig();
    const StereoData d = stereoViews(rig, 15, 0.1, 21);
    const int same = cv::CALIB_SAME_FOCAL_LENGTH;
    struct Case {
        const char* name;
        int flags1, flags2;
    } cases[] = {{"in flag set 1", same, 0}, {"in flag set 2", 0, same}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Result r = calibrate(d, rig, c.flags1, c.flags2);
        EXPECT_EQ(fx(r.K1), fx(r.K2));
        EXPECT_EQ(fy(r.K1), fy(r.K2));
        EXPECT_NEAR(fx(r.K1), 1500, 1.5);
        EXPECT_NEAR(fy(r.K1), 1500, 1.5);
        EXPECT_NEAR(cx(r.K1), rig.cam1.K(0, 2), 2.0);
        EXPECT_NEAR(cy(r.K1), rig.cam1.K(1, 2), 2.0);
        EXPECT_NEAR(cx(r.K2), rig.cam2.K(0, 2), 2.0);
        EXPECT_NEAR(cy(r.K2), rig.cam2.K(1, 2), 2.0);
        EXPECT_POSE_NEAR(r.R, r.T, cv::Mat(rig.R), cv::Mat(rig.T), 0.1, 0.5);
        EXPECT_NEAR(r.rms, 0.1 * std::sqrt(2.0), 0.01);
    }
}

// The tie never moves a value that the flags hold: fixed principal points
// stay apart, and a fixed focal length is the one both devices share.
TEST(StereoCalibrateDual, SameFocalLengthKeepsFixedValues)
{
    const Rig rig = sameFocalRig();
    const StereoData d = stereoViews(rig, 10, 0.05, 22);
    const int same = cv::CALIB_SAME_FOCAL_LENGTH, guess = cv::CALIB_USE_INTRINSIC_GUESS;
    Result start = givenIntrinsics(rig);
    start.K1.at<double>(0, 0) = start.K1.at<double>(1, 1) = 1490; // starts apart from device 2
    start.K2.at<double>(0, 0) = start.K2.at<double>(1, 1) = 1508;
    struct Case {
        const char* name;
        int flags1, flags2;
        int leader; // device whose given focal length both must keep, 0 for none, -1 when both keep their own
        bool fixedCentres;
    } cases[] = {
        {"fixed principal points", guess | same | cv::CALIB_FIX_PRINCIPAL_POINT,
         guess | cv::CALIB_FIX_PRINCIPAL_POINT, 0, true},
        {"device 1 fixed", cv::CALIB_FIX_INTRINSIC, guess | same, 1, false},
        {"device 2 focal length fixed", guess | same, guess | cv::CALIB_FIX_FOCAL_LENGTH, 2, false},
        {"both focal lengths fixed", guess | same | cv::CALIB_FIX_FOCAL_LENGTH,
         guess | cv::CALIB_FIX_FOCAL_LENGTH, -1, false},
        {"both devices fixed", cv::CALIB_FIX_INTRINSIC | same, cv::CALIB_FIX_INTRINSIC, -1, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Result r = calibrate(d, rig, c.flags1, c.flags2, [&] {
            Result s = start;
            s.K1 = start.K1.clone();
            s.K2 = start.K2.clone();
            return s;
        }());
        if (c.leader < 0) {
            EXPECT_EQ(fx(r.K1), fx(start.K1));
            EXPECT_EQ(fy(r.K1), fy(start.K1));
            EXPECT_EQ(fx(r.K2), fx(start.K2));
            EXPECT_EQ(fy(r.K2), fy(start.K2));
        } else {
            EXPECT_EQ(fx(r.K1), fx(r.K2));
            EXPECT_EQ(fy(r.K1), fy(r.K2));
        }
        if (c.leader > 0) {
            const cv::Mat& given = c.leader == 1 ? start.K1 : start.K2;
            EXPECT_EQ(fx(r.K1), fx(given));
            EXPECT_EQ(fy(r.K1), fy(given));
        } else if (c.leader == 0) {
            EXPECT_NEAR(fx(r.K1), 1500, 1.0);
        }
        if (c.fixedCentres) {
            EXPECT_EQ(cx(r.K1), cx(start.K1));
            EXPECT_EQ(cy(r.K1), cy(start.K1));
            EXPECT_EQ(cx(r.K2), cx(start.K2));
            EXPECT_EQ(cy(r.K2), cy(start.K2));
        }
        if (c.leader == 1) {
            EXPECT_MAT_NEAR(r.K1, start.K1, 0);
        }
    }
}

// CALIB_FIX_INTRINSIC in one flag set fixes that device only; in both, only
// the poses are refined. The given values are slightly off the truth, so a
// free refinement would move them.
TEST(StereoCalibrateDual, FixIntrinsicPerDevice)
{
    const Rig rig = mixedRig();
    const StereoData d = stereoViews(rig, 12, 0.05, 23);
    const int fixed = cv::CALIB_FIX_INTRINSIC, rational = cv::CALIB_RATIONAL_MODEL;
    Result given = givenIntrinsics(rig);
    given.K1.at<double>(0, 0) += 2;
    given.K1.at<double>(0, 2) -= 1.5;
    given.D1.at<double>(0) += 0.002;
    given.K2.at<double>(1, 1) -= 2;
    given.D2.at<double>(1) += 0.003;
    struct Case {
        const char* name;
        int flags1, flags2;
    } cases[] = {
        {"device 1", fixed, rational},
        {"device 2", 0, fixed | rational},
        {"both", fixed, fixed | rational},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Result s = given;
        s.K1 = given.K1.clone();
        s.K2 = given.K2.clone();
        s.D1 = given.D1.clone();
        s.D2 = given.D2.clone();
        const Result r = calibrate(d, rig, c.flags1, c.flags2, s);
        const bool fixed1 = c.flags1 & fixed, fixed2 = c.flags2 & fixed;
        if (fixed1) {
            EXPECT_MAT_NEAR(r.K1, given.K1, 0);
            EXPECT_MAT_NEAR(r.D1, given.D1, 0);
        } else {
            EXPECT_NEAR(fx(r.K1), rig.cam1.K(0, 0), 2.0);
            EXPECT_NEAR(cx(r.K1), rig.cam1.K(0, 2), 2.0);
        }
        if (fixed2) {
            EXPECT_MAT_NEAR(r.K2, given.K2, 0);
            EXPECT_MAT_NEAR(r.D2.colRange(0, 8), given.D2, 0);
            EXPECT_EQ(cv::countNonZero(r.D2.colRange(8, 14)), 0);
        } else {
            EXPECT_NEAR(fy(r.K2), rig.cam2.K(1, 1), 2.0);
        }
        EXPECT_POSE_NEAR(r.R, r.T, cv::Mat(rig.R), cv::Mat(rig.T), 0.3, 3.0);
    }
}

// What a device's flags fix comes back exactly as given.
TEST(StereoCalibrateDual, FlagsKeepWhatTheyFix)
{
    const Rig rig = mixedRig();
    const StereoData d = stereoViews(rig, 10, 0.05, 24);
    const int guess = cv::CALIB_USE_INTRINSIC_GUESS, rational = cv::CALIB_RATIONAL_MODEL;
    Result start = givenIntrinsics(rig);
    start.K1.at<double>(0, 0) = 1497; // aspect ratio 1497 / 1500
    start.D2.at<double>(2) = 0.001;
    using Check = std::function<void(const Result&)>;
    struct Case {
        const char* name;
        int flags1, flags2;
        Check check;
    } cases[] = {
        {"aspect ratio of device 1", guess | cv::CALIB_FIX_ASPECT_RATIO, guess | rational,
         [&](const Result& r) {
             EXPECT_NEAR(fx(r.K1) / fy(r.K1), 1497.0 / 1500.0, 1e-12);
             EXPECT_GT(std::fabs(fx(r.K1) - 1497), 0.01); // the ratio is kept, not the value
         }},
        {"principal point of device 2", guess, guess | rational | cv::CALIB_FIX_PRINCIPAL_POINT,
         [&](const Result& r) {
             EXPECT_EQ(cx(r.K2), cx(start.K2));
             EXPECT_EQ(cy(r.K2), cy(start.K2));
         }},
        {"focal length of device 1", guess | cv::CALIB_FIX_FOCAL_LENGTH, guess | rational,
         [&](const Result& r) {
             EXPECT_EQ(fx(r.K1), fx(start.K1));
             EXPECT_EQ(fy(r.K1), fy(start.K1));
         }},
        {"k1, k2 and k3 of device 1", guess | cv::CALIB_FIX_K1 | cv::CALIB_FIX_K2 | cv::CALIB_FIX_K3,
         guess | rational,
         [&](const Result& r) {
             EXPECT_EQ(r.D1.at<double>(0), start.D1.at<double>(0));
             EXPECT_EQ(r.D1.at<double>(1), start.D1.at<double>(1));
             EXPECT_EQ(r.D1.at<double>(4), start.D1.at<double>(4));
         }},
        {"k4 to k6 of device 2", guess,
         guess | rational | cv::CALIB_FIX_K4 | cv::CALIB_FIX_K5 | cv::CALIB_FIX_K6,
         [&](const Result& r) {
             for (int j = 5; j < 8; ++j)
                 EXPECT_EQ(r.D2.at<double>(j), start.D2.at<double>(j));
         }},
        {"tangential distortion zeroed in device 2", guess, guess | rational | cv::CALIB_ZERO_TANGENT_DIST,
         [&](const Result& r) {
             EXPECT_EQ(r.D2.at<double>(2), 0.0);
             EXPECT_EQ(r.D2.at<double>(3), 0.0);
         }},
        {"tangential distortion fixed in device 2", guess, guess | rational | cv::CALIB_FIX_TANGENT_DIST,
         [&](const Result& r) {
             EXPECT_EQ(r.D2.at<double>(2), 0.001);
             EXPECT_EQ(r.D2.at<double>(3), start.D2.at<double>(3));
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Result s = start;
        s.K1 = start.K1.clone();
        s.K2 = start.K2.clone();
        s.D1 = start.D1.clone();
        s.D2 = start.D2.clone();
        const Result r = calibrate(d, rig, c.flags1, c.flags2, s);
        c.check(r);
        EXPECT_LT(r.rms, 0.2); // noise alone gives 0.07; the held values are off the truth
    }
}

// A device that is given its intrinsics is not calibrated alone, so its
// image size has no effect.
TEST(StereoCalibrateDual, ImageSizeOnlyServesTheDevicesOwnCalibration)
{
    const Rig rig = mixedRig();
    const StereoData d = stereoViews(rig, 8, 0.05, 25);
    const int guess = cv::CALIB_USE_INTRINSIC_GUESS;
    Result a = givenIntrinsics(rig), b = givenIntrinsics(rig);
    a.rms = stereoCalibrateDual(d.object, d.image1, d.image2, a.K1, a.D1, a.K2, a.D2, rig.cam1.size,
                                rig.cam2.size, a.R, a.T, a.E, a.F, a.perView, guess,
                                guess | cv::CALIB_RATIONAL_MODEL);
    b.rms = stereoCalibrateDual(d.object, d.image1, d.image2, b.K1, b.D1, b.K2, b.D2, cv::Size(1, 1),
                                cv::Size(), b.R, b.T, cv::noArray(), cv::noArray(), cv::noArray(), guess,
                                guess | cv::CALIB_RATIONAL_MODEL);
    EXPECT_EQ(a.rms, b.rms);
    EXPECT_MAT_NEAR(a.K1, b.K1, 0);
    EXPECT_MAT_NEAR(a.K2, b.K2, 0);
    EXPECT_MAT_NEAR(a.R, b.R, 0);
    EXPECT_MAT_NEAR(a.T, b.T, 0);
}

// The relative pose starts at the per-coordinate median of the views'
// relative poses: the mean of the middle two for an even number of views.
TEST(StereoCalibrateDual, RelativePoseStartsAtTheMedianOfTheViews)
{
    const Rig rig = equalRig();
    struct Case {
        std::vector<double> tx;
        double median;
    } cases[] = {{{10, 12, 11, 30}, 11.5}, {{10, 12, 30}, 12}};
    for (const auto& c : cases) {
        SCOPED_TRACE("views " + std::to_string(c.tx.size()));
        StereoData d;
        for (size_t i = 0; i < c.tx.size(); ++i) {
            Rig viewRig = rig;
            viewRig.T = cv::Vec3d(c.tx[i], 0, 0);
            const StereoData one = stereoViews(viewRig, 1, 0.0, 40 + i);
            d.object.push_back(one.object[0]);
            d.image1.push_back(one.image1[0]);
            d.image2.push_back(one.image2[0]);
        }
        const cv::Mat K[2] = {cv::Mat(rig.cam1.K), cv::Mat(rig.cam2.K)}, D[2] = {rig.cam1.kc, rig.cam2.kc};
        const cv::Size sizes[2] = {rig.cam1.size, rig.cam2.size};
        const int guess = cv::CALIB_USE_INTRINSIC_GUESS;
        const stereo_calib::StereoProblem P = stereo_calib::initStereoProblem(
            d.object, d.image1, d.image2, K, D, sizes, cv::Mat(), cv::Mat(), guess, guess);
        EXPECT_NEAR(P.param.at<double>(3), c.median, 1e-3);
        cv::Vec3d rvec;
        cv::Rodrigues(rig.R, rvec);
        EXPECT_MAT_NEAR(P.param.rowRange(0, 3), cv::Mat(rvec), 1e-6);
    }
}

// A calibration that ends in values that are not finite fails.
TEST(StereoCalibrateDual, NonFiniteResultIsAnError)
{
    const Rig rig = equalRig();
    const StereoData d = stereoViews(rig, 6, 0.0, 3);
    const int fixed = cv::CALIB_FIX_INTRINSIC;
    struct Case {
        const char* name;
        double focal;
        cv::Mat R;
        std::string message;
    } cases[] = {
        {"focal length beyond range", 1e150, cv::Mat(),
         "the board pose of view 0 in device 1 could not be estimated"},
        {"rotation guess beyond range", 0, (cv::Mat_<double>(3, 1) << 1e300, 1e300, 1e300),
         "the normal equations are not finite"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Result s = givenIntrinsics(rig);
        if (c.focal > 0)
            s.K1.at<double>(0, 0) = s.K1.at<double>(1, 1) = c.focal;
        s.R = c.R;
        s.T = cv::Mat(rig.T).clone();
        const cv::Mat K1before = s.K1.clone(), Tbefore = s.T.clone();
        const int guess = c.R.empty() ? 0 : cv::CALIB_USE_EXTRINSIC_GUESS;
        int code = 0;
        EXPECT_EQ(cvErrorMessage([&] { calibrate(d, rig, fixed | guess, fixed, s); }, &code), c.message);
        EXPECT_EQ(code, cv::Error::StsNoConv);
        EXPECT_MAT_NEAR(s.K1, K1before, 0);
        EXPECT_MAT_NEAR(s.T, Tbefore, 0);
    }
}

// Malformed views fail with OpenCV's codes and the condition that failed.
TEST(StereoCalibrateDual, MalformedViewsAreErrors)
{
    const Rig rig = equalRig();
    const StereoData good = stereoViews(rig, 3, 0.0, 3);
    const std::string counts =
        "nimages > 0 && nimages == (int)imagePoints1.total() && (!imgPtMat2 || nimages == "
        "(int)imagePoints2.total())";
    struct Case {
        const char* name;
        std::function<void(StereoData&)> spoil;
        int code;
        std::string message;
    } cases[] = {
        {"no views", [](StereoData& d) { d = StereoData(); }, cv::Error::StsAssert, counts},
        {"a view missing in device 2", [](StereoData& d) { d.image2.pop_back(); }, cv::Error::StsAssert,
         counts},
        {"a view missing in device 1", [](StereoData& d) { d.image1.pop_back(); }, cv::Error::StsAssert,
         counts},
        {"an empty view", [](StereoData& d) { d.object[1].clear(); }, cv::Error::StsUnsupportedFormat,
         "objectPoints should contain vector of vectors of points of type Point3f"},
        {"no corners in device 1", [](StereoData& d) { d.image1[2].clear(); },
         cv::Error::StsUnsupportedFormat,
         "imagePoints1 should contain vector of vectors of points of type Point2f"},
        {"a corner fewer in device 1", [](StereoData& d) { d.image1[0].pop_back(); }, cv::Error::StsAssert,
         "ni == ni1"},
        {"a corner fewer in device 2", [](StereoData& d) { d.image2[1].pop_back(); }, cv::Error::StsAssert,
         "ni == ni2"},
        {"a corner not finite", [](StereoData& d) { d.image2[1][4].x = NAN; }, cv::Error::StsBadArg,
         "objectPoints and imagePoints must hold finite values"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StereoData d = good;
        c.spoil(d);
        Result s = givenIntrinsics(rig);
        const cv::Mat K1before = s.K1.clone(), D2before = s.D2.clone();
        int code = 0;
        EXPECT_EQ(cvErrorMessage(
                      [&] { calibrate(d, rig, cv::CALIB_FIX_INTRINSIC, cv::CALIB_FIX_INTRINSIC, s); }, &code),
                  c.message);
        EXPECT_EQ(code, c.code);
        EXPECT_MAT_NEAR(s.K1, K1before, 0);
        EXPECT_MAT_NEAR(s.D2, D2before, 0);
        EXPECT_TRUE(s.R.empty());
    }

    // A corner far outside its image, in a device calibrated from the start:
    // near the end of the float range it would make that calibration end the
    // process.
    {
        StereoData d = good;
        d.image2[1][4].y = 1.26e34f;
        Result s = givenIntrinsics(rig);
        const cv::Size size2 = rig.cam2.size;
        int code = 0;
        EXPECT_EQ(cvErrorMessage([&] { calibrate(d, rig, cv::CALIB_FIX_INTRINSIC, 0, s); }, &code),
                  cv::format(
                      "imagePoints2: point %zu has y = 1.26e+34 px, outside %d to %d px for a %dx%d image",
                      good.image2[0].size() + 4, -size2.height, 2 * size2.height, size2.width, size2.height));
        EXPECT_EQ(code, cv::Error::StsBadArg);
    }

    // Points of the wrong type.
    std::vector<std::vector<cv::Point3d>> object3d;
    std::vector<std::vector<cv::Point2d>> image2d;
    for (size_t i = 0; i < good.object.size(); ++i) {
        object3d.emplace_back(good.object[i].begin(), good.object[i].end());
        image2d.emplace_back(good.image1[i].begin(), good.image1[i].end());
    }
    Result s = givenIntrinsics(rig);
    const int fixed = cv::CALIB_FIX_INTRINSIC;
    int code = 0;
    EXPECT_EQ(cvErrorMessage(
                  [&] {
                      stereoCalibrateDual(object3d, good.image1, good.image2, s.K1, s.D1, s.K2, s.D2,
                                          rig.cam1.size, rig.cam2.size, s.R, s.T, cv::noArray(),
                                          cv::noArray(), cv::noArray(), fixed, fixed);
                  },
                  &code),
              "objectPoints should contain vector of vectors of points of type Point3f");
    EXPECT_EQ(code, cv::Error::StsUnsupportedFormat);
    EXPECT_EQ(cvErrorMessage(
                  [&] {
                      stereoCalibrateDual(good.object, image2d, good.image2, s.K1, s.D1, s.K2, s.D2,
                                          rig.cam1.size, rig.cam2.size, s.R, s.T, cv::noArray(),
                                          cv::noArray(), cv::noArray(), fixed, fixed);
                  },
                  &code),
              "imagePoints1 should contain vector of vectors of points of type Point2f");
}

namespace {

// y = a exp(b x) + c at x = 0, 0.1, ..., 1.9.
struct CurveFit {
    double a, b, c;
    std::vector<double> x, y;
    std::vector<cv::Mat> evaluated; // every parameter vector the solver had evaluated
    std::vector<bool> linearised;   // whether each of these evaluations was a linearisation
    double gradientScale = 1;       // J^T e as handed to the solver: -1 turns it the wrong way
    bool flatError = false;         // every evaluation reports the same error

    CurveFit(double a_, double b_, double c_) : a(a_), b(b_), c(c_)
    {
        for (int i = 0; i < 20; ++i) {
            x.push_back(0.1 * i);
            y.push_back(a * std::exp(b * x.back()) + c);
        }
    }

    double cost(const cv::Mat& p) const
    {
        double sum = 0;
        for (size_t i = 0; i < x.size(); ++i) {
            const double e = p.at<double>(0) * std::exp(p.at<double>(1) * x[i]) + p.at<double>(2) - y[i];
            sum += e * e;
        }
        return sum;
    }

    // Drives the solver to its end.
    int run(LevMarq& solver)
    {
        int calls = 0;
        for (;;) {
            cv::Mat *JtJ, *JtErr;
            double* errNorm;
            if (!solver.updateAlt(JtJ, JtErr, errNorm))
                break;
            ++calls;
            const double* p = solver.param.ptr<double>();
            evaluated.push_back(solver.param.clone());
            linearised.push_back(JtJ != nullptr);
            double sum = 0;
            for (size_t i = 0; i < x.size(); ++i) {
                const double ex = std::exp(p[1] * x[i]);
                const double e = p[0] * ex + p[2] - y[i];
                sum += e * e;
                if (JtJ) {
                    const double J[3] = {ex, p[0] * x[i] * ex, 1};
                    for (int r = 0; r < 3; ++r) {
                        for (int q = r; q < 3; ++q)
                            JtJ->at<double>(r, q) += J[r] * J[q];
                        JtErr->at<double>(r) += gradientScale * J[r] * e;
                    }
                }
            }
            if (flatError)
                sum = 1.0;
            *errNorm = std::isfinite(p[1]) && p[1] < 3 ? sum : NAN; // beyond b = 3 the model fails
            EXPECT_LT(calls, 10000);
            if (calls >= 10000)
                break;
        }
        return calls;
    }

    // Index of the last linearisation.
    size_t lastLinearisation() const
    {
        size_t k = linearised.size() - 1;
        while (k > 0 && !linearised[k])
            --k;
        return k;
    }

    // The evaluation whose outputs the caller keeps once the solver has
    // ended: its last, or after a refused step its last linearisation.
    const cv::Mat& kept(const LevMarq& solver) const
    {
        return solver.lastEvaluationRefused() ? evaluated[lastLinearisation()] : evaluated.back();
    }
};

} // namespace

// The solver fits a known curve; masked parameters keep their values; the
// caller's kept evaluation is always at the returned parameters.
TEST(LevMarq, FitsKnownCurveAndHonoursTheMask)
{
    struct Case {
        const char* name;
        bool fixC;
        double startC;
    } cases[] = {{"all free", false, 0.0}, {"c fixed at its true value", true, 0.5}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CurveFit fit(2.0, 1.2, 0.5);
        LevMarq solver(3, 20, cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-12));
        solver.param = (cv::Mat_<double>(3, 1) << 1.0, 0.5, c.startC);
        if (c.fixC)
            solver.mask.at<uchar>(2) = 0;
        fit.run(solver);
        EXPECT_NEAR(solver.param.at<double>(0), 2.0, 1e-8);
        EXPECT_NEAR(solver.param.at<double>(1), 1.2, 1e-8);
        if (c.fixC) {
            for (const auto& p : fit.evaluated)
                EXPECT_EQ(p.at<double>(2), 0.5);
        } else {
            EXPECT_NEAR(solver.param.at<double>(2), 0.5, 1e-8);
        }
        EXPECT_MAT_NEAR(fit.kept(solver), solver.param, 0);
    }
}

// Every end says how it came about. Only a converged end has less than
// epsilon left to a full step; the others say how far one would still move
// the model.
TEST(LevMarq, StopsWhereNoStepHelps)
{
    // A gradient of the wrong sign: every step goes uphill and is rejected,
    // the solver returns the start, where it last linearised.
    CurveFit uphill(2.0, 1.2, 0.5);
    uphill.gradientScale = -1;
    LevMarq a(3, 20, cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30, 1e-12));
    a.param = (cv::Mat_<double>(3, 1) << 1.0, 0.5, 0.0);
    const cv::Mat start = a.param.clone();
    uphill.run(a);
    EXPECT_MAT_NEAR(a.param, start, 0);
    EXPECT_TRUE(a.lastEvaluationRefused());
    EXPECT_MAT_NEAR(uphill.kept(a), start, 0);
    EXPECT_EQ(a.stop(), LevMarq::Stop::NoDescent);
    EXPECT_GT(a.remainingShift(), 1e-12);

    // A model that fails (non-finite error) beyond b = 3 is never accepted there.
    CurveFit steep(1.0, 2.9, 0.0);
    LevMarq b(3, 20, cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-12));
    b.param = (cv::Mat_<double>(3, 1) << 0.2, 2.99, 0.0);
    const double startCost = steep.cost(b.param);
    steep.run(b);
    EXPECT_TRUE(cv::checkRange(b.param));
    EXPECT_LT(b.param.at<double>(1), 3.0);
    EXPECT_LT(steep.cost(b.param), startCost);

    // The count bounds the accepted steps.
    CurveFit fit(2.0, 1.2, 0.5);
    LevMarq c(3, 20, cv::TermCriteria(cv::TermCriteria::COUNT, 3, 0));
    c.param = (cv::Mat_<double>(3, 1) << 1.0, 0.5, 0.0);
    fit.run(c);
    EXPECT_LE(c.iterations(), 3);
    EXPECT_GT(std::fabs(c.param.at<double>(1) - 1.2), 1e-6);
    EXPECT_EQ(c.stop(), LevMarq::Stop::IterationLimit);
    EXPECT_GE(c.remainingShift(), DBL_EPSILON);

    // An error that no step changes while the gradient says otherwise: the
    // first step is accepted, and then the solver cannot tell steps apart.
    CurveFit flat(2.0, 1.2, 0.5);
    flat.flatError = true;
    LevMarq e(3, 20, cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-6));
    e.param = (cv::Mat_<double>(3, 1) << 1.0, 0.5, 0.0);
    flat.run(e);
    EXPECT_EQ(e.iterations(), 1);
    EXPECT_EQ(e.stop(), LevMarq::Stop::Stalled);
    EXPECT_GE(e.remainingShift(), 1e-6);
    EXPECT_MAT_NEAR(flat.kept(e), e.param, 0);

    // Converged at a loose epsilon means: a full step from the end gains less
    // than epsilon of RMS, so the fit ends within epsilon of the optimum (an
    // RMS of 0 for this exact data).
    for (const double epsilon : {1e-2, 1e-4}) {
        SCOPED_TRACE(epsilon);
        CurveFit loose(2.0, 1.2, 0.5);
        LevMarq d(3, 20, cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, epsilon));
        d.param = (cv::Mat_<double>(3, 1) << 1.0, 0.5, 0.0);
        loose.run(d);
        EXPECT_EQ(d.stop(), LevMarq::Stop::Converged);
        EXPECT_LT(d.remainingShift(), epsilon);
        EXPECT_LT(std::sqrt(loose.cost(d.param) / 20), epsilon);
        EXPECT_MAT_NEAR(loose.kept(d), d.param, 0);
    }
}

// Once converged, the solver takes the full step that its test solved: one
// evaluation without a linearisation, kept when the error does not grow.
// Where it does grow (here derivatives three times too large make the step
// overshoot), the result is the last linearisation's.
TEST(LevMarq, TakesTheFullStepThatShowedConvergence)
{
    struct Case {
        const char* name;
        double gradientScale;
        bool kept;
    } cases[] = {{"the full step lowers the error", 1, true}, {"the full step overshoots", 3, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CurveFit fit(2.0, 1.2, 0.5);
        fit.gradientScale = c.gradientScale;
        LevMarq solver(3, 20, cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-4));
        solver.param = (cv::Mat_<double>(3, 1) << 1.0, 0.5, 0.0);
        fit.run(solver);
        EXPECT_EQ(solver.stop(), LevMarq::Stop::Converged);
        const size_t last = fit.lastLinearisation();
        ASSERT_EQ(fit.evaluated.size(), last + 2) << "one evaluation after the last linearisation";
        EXPECT_EQ(solver.lastEvaluationRefused(), !c.kept);
        EXPECT_MAT_NEAR(fit.kept(solver), solver.param, 0);
        const cv::Mat truth = (cv::Mat_<double>(3, 1) << 2.0, 1.2, 0.5);
        const double before = cv::norm(fit.evaluated[last], truth);
        if (c.kept) {
            EXPECT_LT(cv::norm(solver.param, truth), 1e-3 * before);
        } else {
            EXPECT_MAT_NEAR(solver.param, fit.evaluated[last], 0);
            EXPECT_GT(fit.cost(fit.evaluated.back()), fit.cost(solver.param));
        }
    }
}

// Normal equations singular to double precision: y = a e^x + b e^(x (1 + delta)) + c
// with delta near 1e-8 makes the first two columns of J agree to eight
// digits, and J^T J has a condition number beyond 1e16. Cholesky still
// "succeeds" there, with a step hundreds of thousands long whose d^T A d is
// negative. Such a step is no solution: the full step behind the convergence
// test is solved by SVD instead, and the solver never reads a shift of 0
// from it. With an epsilon of 0, only a step that moves nothing at all
// could converge.
TEST(LevMarq, ASingularSystemIsSolvedNotReadAsConverged)
{
    for (const double delta : {3.12947e-8, 9.71668e-8, 1.45258e-9}) {
        SCOPED_TRACE(delta);
        const int m = 20;
        cv::Mat J(m, 3, CV_64F), y(m, 1, CV_64F);
        cv::RNG rng(5);
        for (int i = 0; i < m; ++i) {
            const double x = 0.1 * i;
            J.at<double>(i, 0) = std::exp(x);
            J.at<double>(i, 1) = std::exp(x * (1 + delta));
            J.at<double>(i, 2) = 1;
            y.at<double>(i) = 2 * std::exp(x) + 0.5 + rng.gaussian(0.1); // no exact fit
        }
        LevMarq solver(3, m, cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 50, 0));
        cv::Mat *JtJ, *JtErr;
        double* errNorm;
        while (solver.updateAlt(JtJ, JtErr, errNorm)) {
            const cv::Mat e = J * solver.param - y;
            *errNorm = e.dot(e);
            if (JtJ) {
                *JtJ += J.t() * J;
                *JtErr += J.t() * e;
            }
        }
        EXPECT_NE(solver.stop(), LevMarq::Stop::Converged) << "shift " << solver.remainingShift();
        EXPECT_GT(solver.remainingShift(), 0);
        // The shift it reports is that of the SVD step from where it ended.
        const cv::Mat e = J * solver.param - y, A = J.t() * J;
        cv::Mat d;
        cv::solve(A, J.t() * e, d, cv::DECOMP_SVD);
        EXPECT_NEAR(solver.remainingShift(), std::sqrt(d.dot(A * d) / m), 1e-6 * solver.remainingShift());
    }
}

// Normal equations that are not finite (an infinite derivative) are refused
// before any decomposition: LAPACK's SVD would end the process on them.
TEST(LevMarq, NonFiniteNormalEquationsAreAnError)
{
    for (const double poison : {HUGE_VAL, double(NAN)}) {
        SCOPED_TRACE(poison);
        LevMarq solver(2, 2, cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 10, 1e-9));
        solver.param = (cv::Mat_<double>(2, 1) << 1.0, 1.0);
        int code = 0;
        cvErrorMessage(
            [&] {
                cv::Mat *JtJ, *JtErr;
                double* errNorm;
                while (solver.updateAlt(JtJ, JtErr, errNorm)) {
                    *errNorm = 1.0;
                    if (JtJ) {
                        *JtJ = cv::Mat::eye(2, 2, CV_64F);
                        JtJ->at<double>(1, 1) = poison;
                        JtErr->setTo(1.0);
                    }
                }
            },
            &code);
        EXPECT_EQ(code, cv::Error::StsNoConv);
    }
}

// The report tells a converged refinement from one that stopped before, and
// why: at the step limit, or, with an epsilon of 0 that no shift can get
// under, where the error no longer changes or no step lowers it.
TEST(StereoCalibrateDual, ReportTellsHowTheRefinementEnded)
{
    using End = StereoRefinementReport::End;
    const Rig rig = mixedRig();
    const StereoData d = stereoViews(rig, 10, 0.1, 23);
    struct Case {
        const char* name;
        cv::TermCriteria criteria;
        std::vector<End> ends;
    } cases[] = {
        {"two steps",
         cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 2, 1e-9),
         {End::IterationLimit}},
        {"to convergence",
         cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 1000, 1e-6),
         {End::Converged}},
        {"loose epsilon",
         cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 1000, 1e-2),
         {End::Converged}},
        {"epsilon 0",
         cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 1000, 0),
         {End::Stalled, End::NoDescent}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Result r;
        StereoRefinementReport report;
        r.rms = stereoCalibrateDual(d.object, d.image1, d.image2, r.K1, r.D1, r.K2, r.D2, rig.cam1.size,
                                    rig.cam2.size, r.R, r.T, r.E, r.F, r.perView, 0, 0, c.criteria, &report);
        EXPECT_NE(std::find(c.ends.begin(), c.ends.end(), report.end), c.ends.end())
            << "ended as " << int(report.end);
        EXPECT_EQ(report.converged(), report.end == End::Converged);
        EXPECT_EQ(report.maxIterations, c.criteria.maxCount);
        EXPECT_EQ(report.epsilon, c.criteria.epsilon);
        EXPECT_LE(report.iterations, report.maxIterations);
        if (report.end == End::IterationLimit)
            EXPECT_EQ(report.iterations, report.maxIterations);
        else
            EXPECT_LT(report.iterations, 30);
        if (report.converged())
            EXPECT_LT(report.remainingShift, c.criteria.epsilon);
        else
            EXPECT_GT(report.remainingShift, c.criteria.epsilon);
    }
}

// Start values a fraction of a percent off (device 1's intrinsics imported
// from a separate calibration) leave a long, flat valley of focal length
// against distance: the refinement must follow it to the bottom with the
// forms' criteria (100 steps, 0.001 px), not stop where the parameters' change
// looks small beside their size.
TEST(StereoCalibrateDual, FormCriteriaReachTheConvergedResult)
{
    const Rig rig = sameFocalRig();
    const StereoData d = stereoViews(rig, 9, 0.1, 31);
    Result start = givenIntrinsics(rig);
    start.K1.at<double>(0, 0) *= 1.006;
    start.K1.at<double>(1, 1) *= 1.006;
    const int flags1 = cv::CALIB_USE_INTRINSIC_GUESS | cv::CALIB_FIX_ASPECT_RATIO;
    const int flags2 = cv::CALIB_FIX_ASPECT_RATIO | cv::CALIB_ZERO_TANGENT_DIST | cv::CALIB_FIX_K3;
    StereoRefinementReport formReport, tightReport;
    auto run = [&](cv::TermCriteria criteria, StereoRefinementReport* report) {
        Result r = start;
        r.rms = stereoCalibrateDual(d.object, d.image1, d.image2, r.K1, r.D1, r.K2, r.D2, rig.cam1.size,
                                    rig.cam2.size, r.R, r.T, r.E, r.F, r.perView, flags1, flags2, criteria,
                                    report);
        return r;
    };
    const Result form =
        run(cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-3), &formReport);
    const Result tight =
        run(cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 1000, 1e-12), &tightReport);
    EXPECT_EQ(formReport.end, StereoRefinementReport::End::Converged);
    EXPECT_NE(tightReport.end, StereoRefinementReport::End::IterationLimit);
    EXPECT_LT(formReport.remainingShift, 1e-3);

    // The forms' criteria end where the tight ones do, within what 0.001 px
    // of RMS can still move...
    const double baseline = cv::norm(rig.T);
    EXPECT_NEAR(form.rms, tight.rms, 1e-3);
    EXPECT_POSE_NEAR(form.R, form.T, tight.R, tight.T, 0.01, 0.002 * baseline);
    EXPECT_NEAR(fx(form.K1), fx(tight.K1), 0.001 * fx(tight.K1));
    // ... and that is the truth, within the noise.
    EXPECT_POSE_NEAR(form.R, form.T, cv::Mat(rig.R), cv::Mat(rig.T), 0.2, 0.005 * baseline);
    EXPECT_NEAR(fx(form.K1), rig.cam1.K(0, 0), 0.002 * rig.cam1.K(0, 0));
}

// The forms' criteria (100 steps, 0.001 px) are met three or four steps in,
// where a further full step would still move the reprojected points by up
// to 0.001 px. Over the 2000 residuals of eight views that is a fair part of
// a standard error of the result: stopping there left the relative pose
// 0.001-0.01 degrees and fx up to 0.06 px from where criteria a billion
// times tighter end. The refinement takes that step and ends a small
// fraction of this from them.
TEST(StereoCalibrateDual, FormCriteriaEndWhereTightCriteriaDo)
{
    const Rig rig = sameFocalRig();
    const double baseline = cv::norm(rig.T);
    // Angle between two rotations, also where it is far below the
    // resolution of a rotation vector taken from their product.
    auto angleDeg = [](const cv::Mat& Ra, const cv::Mat& Rb) {
        return 2 * std::asin(std::min(1.0, cv::norm(Ra, Rb) / (2 * std::sqrt(2.0)))) * 180 / CV_PI;
    };
    for (const int flags :
         {0, int(cv::CALIB_FIX_ASPECT_RATIO | cv::CALIB_ZERO_TANGENT_DIST | cv::CALIB_FIX_K3)})
        for (const std::uint64_t seed : {41, 42, 43}) {
            SCOPED_TRACE(testing::Message() << "flags " << flags << ", seed " << seed);
            const StereoData d = stereoViews(rig, 8, 0.1, seed);
            StereoRefinementReport report;
            const Result form = calibrate(
                d, rig, flags, flags, {},
                cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-3), &report);
            const Result tight =
                calibrate(d, rig, flags, flags, {},
                          cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 1000, 1e-12));
            EXPECT_EQ(report.end, StereoRefinementReport::End::Converged);
            EXPECT_LT(angleDeg(form.R, tight.R), 5e-4);
            EXPECT_LT(cv::norm(form.T, tight.T), 1e-5 * baseline);
            EXPECT_NEAR(form.K1.at<double>(0, 0), tight.K1.at<double>(0, 0), 2e-3);
            EXPECT_NEAR(form.rms, tight.rms, 2e-8);
        }
}

// Normal equations that are not finite (a corner far outside any image, which
// a corner file may hold) end the calibration with an error instead of
// reaching the decomposition.
TEST(StereoCalibrateDual, NonFiniteNormalEquationsAreAnError)
{
    const Rig rig = equalRig();
    StereoData d = stereoViews(rig, 6, 0.0, 5);
    d.image1[2][7] = cv::Point2f(-3.3e38f, 12.f);
    for (const int flags : {int(cv::CALIB_TILTED_MODEL | cv::CALIB_USE_LU), int(cv::CALIB_TILTED_MODEL)}) {
        SCOPED_TRACE(flags);
        int code = 0;
        const std::string message = cvErrorMessage(
            [&] {
                Result s = givenIntrinsics(rig);
                calibrate(d, rig, flags | cv::CALIB_USE_INTRINSIC_GUESS,
                          flags | cv::CALIB_USE_INTRINSIC_GUESS, s);
            },
            &code);
        EXPECT_EQ(code, cv::Error::StsNoConv) << message;
    }
}
