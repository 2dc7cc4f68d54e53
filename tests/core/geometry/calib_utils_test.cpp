#include "core/geometry/calib_utils.h"

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "synthetic.h"
#include "test_helpers.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>

namespace {

using testing_support::cvErrorMessage;

cv::Mat Rz(double deg)
{
    const double a = deg * CV_PI / 180;
    return (cv::Mat_<double>(3, 3) << std::cos(a), -std::sin(a), 0, std::sin(a), std::cos(a), 0, 0, 0, 1);
}
cv::Mat Ry(double deg)
{
    const double a = deg * CV_PI / 180;
    return (cv::Mat_<double>(3, 3) << std::cos(a), 0, std::sin(a), 0, 1, 0, -std::sin(a), 0, std::cos(a));
}
cv::Mat Rx(double deg)
{
    const double a = deg * CV_PI / 180;
    return (cv::Mat_<double>(3, 3) << 1, 0, 0, 0, std::cos(a), -std::sin(a), 0, std::sin(a), std::cos(a));
}

} // namespace

TEST(PoseHelpers, EulerAnglesOfKnownRotations)
{
    const cv::Point3d id = rotationMatrixToEulerAngles(cv::Mat::eye(3, 3, CV_64F));
    EXPECT_NEAR(id.x, 0, 1e-12);
    EXPECT_NEAR(id.y, 0, 1e-12);
    EXPECT_NEAR(id.z, 0, 1e-12);

    const cv::Mat M = Rz(30).t();
    const cv::Point3d a = rotationMatrixToEulerAngles(M);
    EXPECT_NEAR(a.x, 30, 1e-9);
    EXPECT_NEAR(a.y, 0, 1e-9);
    EXPECT_NEAR(a.z, 0, 1e-9);

    // The angles describe M^T = Rz(yaw) Ry(pitch) Rx(roll).
    const cv::Mat R = Rz(-120) * Ry(35) * Rx(70);
    const cv::Point3d b = rotationMatrixToEulerAngles(R.t());
    EXPECT_NEAR(b.x, -120, 1e-9);
    EXPECT_NEAR(b.y, 35, 1e-9);
    EXPECT_NEAR(b.z, 70, 1e-9);
    EXPECT_MAT_NEAR(eulerAnglesToRotationMatrix({-120, 35, 70}), R.t(), 1e-12);
}

TEST(PoseHelpers, EulerRoundTripIncludingGimbalLock)
{
    const cv::Point3d cases[] = {{0, 0, 0},   {10, 20, 30},  {-170, 89.9, 179}, {179.5, -89.5, -179.5},
                                 {45, 90, 0}, {45, -90, 30}, {-60, 90, -120},   {180, 0, 180}};
    for (const auto& a : cases) {
        SCOPED_TRACE(cv::format("yaw %g pitch %g roll %g", a.x, a.y, a.z));
        const cv::Mat M = eulerAnglesToRotationMatrix(a);
        EXPECT_NEAR(cv::determinant(M), 1.0, 1e-12);
        EXPECT_MAT_NEAR(M * M.t(), cv::Mat::eye(3, 3, CV_64F), 1e-12);
        const cv::Point3d back = rotationMatrixToEulerAngles(M);
        // the angles may differ at the singularity, the rotation they give may not
        EXPECT_MAT_NEAR(eulerAnglesToRotationMatrix(back), M, 1e-9);
        EXPECT_LE(std::abs(back.y), 90.0 + 1e-9);
        if (std::abs(a.y) < 89 && a.x > -180 && a.z > -180 && a.x < 180 && a.z < 180) {
            EXPECT_NEAR(back.x, a.x, 1e-9);
            EXPECT_NEAR(back.y, a.y, 1e-9);
            EXPECT_NEAR(back.z, a.z, 1e-9);
        }
    }
}

TEST(PoseHelpers, Rt4x4ComposesAndInverts)
{
    cv::Mat R;
    cv::Rodrigues(cv::Vec3d(0.3, -1.1, 0.7), R);
    const cv::Mat t = (cv::Mat_<double>(3, 1) << 120.5, -30, 900);
    const cv::Mat T = cal::getRt4x4(R, t);
    EXPECT_MAT_NEAR(T(cv::Rect(0, 0, 3, 3)), R, 0);
    EXPECT_MAT_NEAR(T(cv::Rect(3, 0, 1, 3)), t, 0);
    EXPECT_MAT_NEAR(T.row(3), (cv::Mat_<double>(1, 4) << 0, 0, 0, 1), 0);
    EXPECT_MAT_NEAR(cal::invertRt4x4(T) * T, cv::Mat::eye(4, 4, CV_64F), 1e-12);
    EXPECT_MAT_NEAR(T * cal::invertRt4x4(T), cv::Mat::eye(4, 4, CV_64F), 1e-12);

    // The user's view of a pose: the origin of a sensor shown at tx = 100
    // relative to the reference belongs to t = (-100, 0, 0).
    const cv::Mat Ti =
        cal::invertRt4x4(cal::getRt4x4(cv::Mat::eye(3, 3, CV_64F), (cv::Mat_<double>(3, 1) << -100, 0, 0)));
    EXPECT_MAT_NEAR(Ti(cv::Rect(3, 0, 1, 3)), (cv::Mat_<double>(3, 1) << 100, 0, 0), 0);
}

TEST(PoseHelpers, WrongShapesRaiseAssertions)
{
    struct Case {
        const char* what;
        std::function<void()> call;
        const char* message;
    };
    const cv::Mat I = cv::Mat::eye(3, 3, CV_64F);
    const Case cases[] = {
        {"t as a row", [&] { cal::getRt4x4(I, cv::Mat::zeros(1, 3, CV_64F)); }, "t.cols == 1 && t.rows == 3"},
        {"R 3x4", [&] { cal::getRt4x4(cv::Mat::zeros(3, 4, CV_64F), cv::Mat::zeros(3, 1, CV_64F)); },
         "R.cols == 3 && R.rows == 3"},
        {"empty R", [&] { cal::getRt4x4(cv::Mat(), cv::Mat::zeros(3, 1, CV_64F)); },
         "R.cols == 3 && R.rows == 3"},
        {"3x3 to invert", [&] { cal::invertRt4x4(I); }, "Rt.cols == 4 && Rt.rows == 4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        int code = 0;
        EXPECT_EQ(cvErrorMessage(c.call, &code), c.message);
        EXPECT_EQ(code, cv::Error::StsAssert);
    }
}

// ---------------------------------------------------------------------------
// Adaptive corner refinement
// ---------------------------------------------------------------------------

namespace {

// The detected corners in the order of the true ones: each matched to its
// nearest true corner (OpenCV's classic detector may start the board from
// any corner). Empty when the matching is not one to one.
std::vector<cv::Point2f> alignedWithTruth(const std::vector<cv::Point2f>& found,
                                          const std::vector<cv::Point2f>& truth)
{
    std::vector<cv::Point2f> out(truth.size());
    std::vector<bool> taken(truth.size(), false);
    if (found.size() != truth.size())
        return {};
    for (const auto& f : found) {
        size_t best = 0;
        for (size_t k = 1; k < truth.size(); ++k)
            if (cv::norm(f - truth[k]) < cv::norm(f - truth[best]))
                best = k;
        if (taken[best])
            return {};
        taken[best] = true;
        out[best] = f;
    }
    return out;
}

using testing_support::CornerErrors;
using testing_support::cornerErrors;

} // namespace

TEST(RefineCornersAdaptive, WindowFromChebyshevDistanceToNearestCorner)
{
    // A flat image: cornerSubPix leaves the corners where they are, and the
    // window sizes show what the function chose.
    const cv::Mat flat(400, 400, CV_8U, cv::Scalar(128));
    std::vector<cv::Point2f> grid;
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 6; ++x)
            grid.emplace_back(100.f + 20 * x, 100.f + 20 * y);
    struct Case {
        const char* what;
        std::vector<cv::Point2f> corners;
        double factor;
        std::vector<int> windows;
    };
    const Case cases[] = {
        {"grid 20 px, factor 0.5", grid, 0.5, std::vector<int>(grid.size(), 10)},
        {"grid 20 px, factor 0.1 gives the minimum 3, not 2", grid, 0.1, std::vector<int>(grid.size(), 3)},
        {"grid 20 px, factor 0.37 truncates 7.4", grid, 0.37, std::vector<int>(grid.size(), 7)},
        {"diagonal neighbour at (12, 5): Chebyshev 12, not Euclidean 13",
         {{100, 100}, {112, 105}},
         1.0,
         {12, 12}},
        {"coincident corners give each other distance 0",
         {{100, 100}, {100, 100}, {200, 200}},
         0.5,
         {3, 3, 50}},
        {"nearest neighbour differs per corner", {{100, 100}, {130, 100}, {190, 100}}, 1.0, {30, 30, 60}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<cv::Point2f> refined;
        std::vector<int> windows;
        refineCornersAdaptive(flat, c.corners, c.factor, {-1, -1}, refined, windows);
        EXPECT_EQ(windows, c.windows);
        ASSERT_EQ(refined.size(), c.corners.size());
        for (size_t i = 0; i < refined.size(); ++i)
            EXPECT_EQ(refined[i], c.corners[i]);
    }
}

// The window of each corner comes from its true nearest neighbour, whatever
// the state of the random generators: the same corners give the same windows
// in every run. Thousands of scattered corners make an approximate search
// miss some nearest neighbours.
TEST(RefineCornersAdaptive, WindowsDoNotDependOnTheRandomState)
{
    const cv::Mat flat(2000, 2000, CV_8U, cv::Scalar(128));
    cv::RNG scatter(20261210);
    std::vector<cv::Point2f> corners(4000);
    for (cv::Point2f& c : corners) {
        const float y = scatter.uniform(300.f, 1700.f), x = scatter.uniform(300.f, 1700.f);
        c = cv::Point2f(x, y);
    }

    // Truth by exhaustive search: the Euclidean nearest neighbour, its
    // Chebyshev distance, truncated.
    std::vector<int> expected(corners.size());
    for (size_t i = 0; i < corners.size(); ++i) {
        double best = std::numeric_limits<double>::infinity();
        size_t nb = i;
        for (size_t k = 0; k < corners.size(); ++k) {
            const double d = cv::norm(corners[k] - corners[i]);
            if (k != i && d < best) {
                best = d;
                nb = k;
            }
        }
        const float cheb =
            std::max(std::abs(corners[nb].x - corners[i].x), std::abs(corners[nb].y - corners[i].y));
        expected[i] = std::max(int(cheb), 3);
        ASSERT_LT(expected[i], 290) << "the case needs windows that the border does not limit";
    }

    for (const unsigned seed : {1u, 7u, 12345u, 987654321u}) {
        SCOPED_TRACE(seed);
        std::srand(seed);
        cv::theRNG().state = seed;
        std::vector<cv::Point2f> refined;
        std::vector<int> windows;
        refineCornersAdaptive(flat, corners, 1.0, {-1, -1}, refined, windows);
        ASSERT_EQ(windows.size(), expected.size());
        int wrong = 0;
        for (size_t i = 0; i < expected.size(); ++i)
            wrong += windows[i] != expected[i];
        EXPECT_EQ(wrong, 0) << "corners whose window is not from their nearest neighbour";
    }
}

TEST(RefineCornersAdaptive, RefinesDetectedBoardsToGroundTruth)
{
    struct Case {
        const char* what;
        synth::Camera cam;
        cv::Size pattern;
        double square;
        synth::RenderOptions render;
        double maxRms, maxWorst;
    };
    synth::RenderOptions clean;
    clean.supersample = 8;
    clean.blurSigma = 0.6;
    synth::RenderOptions noisy = clean;
    noisy.blurSigma = 0.7;
    noisy.noiseSigma = 2;
    noisy.lightGradient = 0.25;
    const Case cases[] = {
        {"640x480, 9x6, clean", synth::makeCamera({640, 480}, 600), {9, 6}, 25, clean, 0.07, 0.18},
        {"1280x960 with distortion, 8x5, noise 2, blur 0.7",
         synth::makeCamera({1280, 960}, 1100, {-0.2, 0.05, 0, 0, 0}),
         {8, 5},
         30,
         noisy,
         0.08,
         0.25},
        {"800x600, 7x7, noise 2", synth::makeCamera({800, 600}, 750), {7, 7}, 20, noisy, 0.08, 0.25},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto views = synth::boardViews(c.cam, c.pattern, c.square, 3, 21);
        for (size_t v = 0; v < views.size(); ++v) {
            SCOPED_TRACE(cv::format("view %d", int(v)));
            const cv::Mat img = synth::renderChessboard(c.cam, c.pattern, c.square, views[v], c.render);
            const auto truth = synth::projectBoard(c.cam, c.pattern, c.square, views[v]);
            std::vector<cv::Point2f> found;
            ASSERT_TRUE(cv::findChessboardCorners(img, c.pattern, found));
            found = alignedWithTruth(found, truth);
            ASSERT_FALSE(found.empty());

            std::vector<cv::Point2f> refined;
            std::vector<int> windows;
            refineCornersAdaptive(img, found, 0.5, {-1, -1}, refined, windows);
            ASSERT_EQ(refined.size(), truth.size());
            ASSERT_EQ(windows.size(), truth.size());
            const CornerErrors before = cornerErrors(found, truth), after = cornerErrors(refined, truth);
            EXPECT_LT(after.rms, c.maxRms) << "before refinement: " << before.rms;
            EXPECT_LT(after.max, c.maxWorst);
            EXPECT_LT(after.rms, before.rms);
            // half the nearest-neighbour distance: about half a square on the image
            for (size_t i = 0; i < windows.size(); ++i) {
                EXPECT_GE(windows[i], 3);
                EXPECT_LE(windows[i], int(c.cam.K(0, 0) * c.square / views[v].tvec[2]));
            }
        }
    }
}

TEST(RefineCornersAdaptive, CornersNearAndOnTheBorder)
{
    // A board cut by the left image border: its first column of corners lies
    // 1.5 to 8 pixels from the edge; each window must stay usable there.
    const auto cam = synth::makeCamera({800, 600}, 800);
    const cv::Size pattern(7, 5);
    const auto views = synth::boardViews(cam, pattern, 30, 3, 11);
    synth::RenderOptions o;
    o.supersample = 8;
    o.blurSigma = 0.7;
    for (const auto& v : views) {
        const cv::Mat img = synth::renderChessboard(cam, pattern, 30, v, o);
        const auto truth = synth::projectBoard(cam, pattern, 30, v);
        float minX = 1e9f;
        for (const auto& p : truth)
            minX = std::min(minX, p.x);
        for (int offset : {1, 3, 5, 7}) {
            SCOPED_TRACE(cv::format("first column %d px from the border", offset));
            const int x0 = int(std::floor(minX)) - offset;
            const cv::Mat crop = img.colRange(x0, img.cols);
            std::vector<cv::Point2f> start, exact;
            for (const auto& p : truth) {
                exact.emplace_back(p.x - x0, p.y);
                start.emplace_back(p.x - x0 + 0.4f, p.y - 0.3f);
            }
            std::vector<cv::Point2f> refined;
            std::vector<int> windows;
            ASSERT_NO_THROW(refineCornersAdaptive(crop, start, 0.5, {-1, -1}, refined, windows));
            ASSERT_EQ(refined.size(), exact.size());
            for (size_t i = 0; i < refined.size(); ++i) {
                SCOPED_TRACE(cv::format("corner %d at x %.1f, window %d", int(i), exact[i].x, windows[i]));
                EXPECT_LT(cv::norm(refined[i] - exact[i]), exact[i].x > 30 ? 0.2 : 0.3);
            }
        }
    }

    // Corners on the border and outside it, and a tiny image: refined
    // without error, windows within what cornerSubPix accepts.
    struct Case {
        const char* what;
        cv::Size size;
        std::vector<cv::Point2f> corners;
    };
    const Case cases[] = {
        {"on the border", {200, 150}, {{0, 0}, {199, 149}, {0, 149}, {100, 0}}},
        {"on the pixel edges", {200, 150}, {{-0.5f, 20}, {40, 149.5f}, {199.5f, -0.5f}}},
        {"small image", {12, 9}, {{2, 2}, {9, 6}, {10, 1}}},
        {"factor gives a huge window", {300, 200}, {{10, 10}, {290, 190}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        cv::Mat img(c.size, CV_8U);
        cv::randu(img, 0, 256);
        std::vector<cv::Point2f> refined;
        std::vector<int> windows;
        ASSERT_NO_THROW(refineCornersAdaptive(img, c.corners, 1000.0, {-1, -1}, refined, windows));
        ASSERT_EQ(refined.size(), c.corners.size());
        for (size_t i = 0; i < refined.size(); ++i) {
            EXPECT_TRUE(std::isfinite(refined[i].x) && std::isfinite(refined[i].y));
            EXPECT_GE(windows[i], 1);
            EXPECT_LE(2 * windows[i] + 5, std::min(c.size.width, c.size.height));
        }
    }
}

TEST(RefineCornersAdaptive, AppendsOnePerCornerAndHandlesFewCorners)
{
    const auto cam = synth::makeCamera({640, 480}, 600);
    const cv::Size pattern(6, 4);
    const auto view = synth::boardViews(cam, pattern, 30, 1, 5)[0];
    synth::RenderOptions o;
    o.blurSigma = 0.6;
    const cv::Mat img = synth::renderChessboard(cam, pattern, 30, view, o);
    const auto truth = synth::projectBoard(cam, pattern, 30, view);

    const std::vector<cv::Point2f> oldRefined{{1, 2}, {3, 4}};
    const std::vector<int> oldWindows{7, 8};
    struct Case {
        const char* what;
        std::vector<cv::Point2f> corners;
    };
    const Case cases[] = {
        {"no corner", {}},
        {"one corner: refined with the smallest window", {truth[7] + cv::Point2f(0.6f, -0.5f)}},
        {"whole board",
         [&] {
             std::vector<cv::Point2f> s;
             for (const auto& p : truth)
                 s.push_back(p + cv::Point2f(-0.5f, 0.4f));
             return s;
         }()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<cv::Point2f> refined = oldRefined;
        std::vector<int> windows = oldWindows;
        refineCornersAdaptive(img, c.corners, 0.5, {-1, -1}, refined, windows);
        ASSERT_EQ(refined.size(), oldRefined.size() + c.corners.size());
        ASSERT_EQ(windows.size(), oldWindows.size() + c.corners.size());
        EXPECT_EQ(refined[0], oldRefined[0]);
        EXPECT_EQ(refined[1], oldRefined[1]);
        EXPECT_EQ(windows[0], oldWindows[0]);
        EXPECT_EQ(windows[1], oldWindows[1]);
        if (c.corners.size() == 1) {
            EXPECT_EQ(windows[2], 3);
            EXPECT_LT(cv::norm(refined[2] - truth[7]), 0.1);
        }
        if (c.corners.size() == truth.size()) {
            EXPECT_LT(cornerErrors({refined.begin() + 2, refined.end()}, truth).max, 0.1);
        }
    }
}

TEST(RefineCornersAdaptive, BadArgumentsRaiseAndAppendNothing)
{
    const cv::Mat gray(100, 100, CV_8U, cv::Scalar(100));
    const std::vector<cv::Point2f> corners{{30, 30}, {50, 50}};
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        const char* what;
        cv::Mat image;
        std::vector<cv::Point2f> corners;
        double factor;
        int code;
        const char* message;
    };
    const Case cases[] = {
        {"colour image", cv::Mat(100, 100, CV_8UC3, cv::Scalar::all(9)), corners, 0.5, cv::Error::StsAssert,
         "!gray.empty() && gray.channels() == 1"},
        {"empty image", cv::Mat(), corners, 0.5, cv::Error::StsAssert,
         "!gray.empty() && gray.channels() == 1"},
        {"16-bit image", cv::Mat(100, 100, CV_16U, cv::Scalar(9)), corners, 0.5, cv::Error::StsAssert,
         "gray.depth() == CV_8U || gray.depth() == CV_32F"},
        {"image too small for any window", cv::Mat(6, 40, CV_8U, cv::Scalar(9)), corners, 0.5,
         cv::Error::StsAssert, "the image is too small for a corner window (at least 7x7 pixels)"},
        {"negative factor", gray, corners, -0.5, cv::Error::StsAssert,
         "std::isfinite(winFactor) && winFactor >= 0"},
        {"NaN factor", gray, corners, std::nan(""), cv::Error::StsAssert,
         "std::isfinite(winFactor) && winFactor >= 0"},
        {"infinite factor", gray, corners, HUGE_VAL, cv::Error::StsAssert,
         "std::isfinite(winFactor) && winFactor >= 0"},
        // once converted to a float infinity and the window size to NaN
        {"factor beyond float", gray, corners, 1e39, cv::Error::StsAssert, "winFactor <= FLT_MAX"},
        {"NaN corner", gray, {{30, 30}, {nan, 50}}, 0.5, cv::Error::StsBadArg, "corner 1 is not finite"},
        {"corner left of the image",
         gray,
         {{30, 30}, {-0.6f, 50}},
         0.5,
         cv::Error::StsBadArg,
         "corner 1 (-0.6, 50) lies outside the 100x100 image"},
        {"corner below the image",
         gray,
         {{30, 100}, {50, 50}},
         0.5,
         cv::Error::StsBadArg,
         "corner 0 (30, 100) lies outside the 100x100 image"},
        // such a corner made cornerSubPix read far outside the image and crash
        {"corner far outside",
         gray,
         {{1e20f, 5}, {50, 50}},
         0.5,
         cv::Error::StsBadArg,
         "corner 0 (1e+20, 5) lies outside the 100x100 image"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<cv::Point2f> refined{{1, 1}};
        std::vector<int> windows{5};
        int code = 0;
        EXPECT_EQ(cvErrorMessage(
                      [&] {
                          refineCornersAdaptive(c.image, c.corners, c.factor, {-1, -1}, refined, windows);
                      },
                      &code),
                  c.message);
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(refined.size(), 1u);
        EXPECT_EQ(windows.size(), 1u);
    }
}

// ---------------------------------------------------------------------------
// Error colours, rotation checks, translations
// ---------------------------------------------------------------------------

TEST(ErrorColor, GreenYellowRedRamp)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        double x, a, b;
        cv::Point3d rgb;
    };
    const Case cases[] = {
        {0, 0, 10, {0, 1, 0}},
        {5, 0, 10, {1, 1, 0}},
        {2.5, 0, 10, {0.5, 1, 0}},
        {7.5, 0, 10, {1, 0.5, 0}},
        {10, 0, 10, {1, 0, 0}},
        {-3, 0, 10, {0, 1, 0}},
        {42, 0, 10, {1, 0, 0}},
        {7, 3, 3, {0, 1, 0}},
        {-1e9, 3, 3, {0, 1, 0}},
        {1.5, 1, 2, {1, 1, 0}},
        {1.25, 1, 2, {0.5, 1, 0}},
        {0.9, 0.5, 1, {1, 0.4, 0}},
        // a range given backwards still stays within [0, 1]: minimum green, maximum red
        {10, 10, 0, {0, 1, 0}},
        {2.5, 10, 0, {1, 0.5, 0}},
        {-5, 10, 0, {1, 0, 0}},
        {nan, 0, 10, {1, 0, 0}},
        {1, nan, 10, {1, 0, 0}},
        {HUGE_VAL, 0, 10, {1, 0, 0}},
        {-HUGE_VAL, 0, 10, {0, 1, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(cv::format("errorColor(%g, %g, %g)", c.x, c.a, c.b));
        const cv::Point3d rgb = errorColor(c.x, c.a, c.b);
        EXPECT_NEAR(rgb.x, c.rgb.x, 1e-12);
        EXPECT_NEAR(rgb.y, c.rgb.y, 1e-12);
        EXPECT_EQ(rgb.z, 0.0);
    }
}

TEST(CheckRotationMatrix, TestsInOrderWithTheirMessages)
{
    cv::Mat R;
    cv::Rodrigues(cv::Vec3d(0.3, -1.2, 2.0), R);
    cv::Mat Rf;
    R.convertTo(Rf, CV_32F);
    cv::Mat withNan = R.clone();
    withNan.at<double>(1, 2) = std::numeric_limits<double>::quiet_NaN();
    cv::Mat withInf = cv::Mat::eye(3, 3, CV_64F);
    withInf.at<double>(0, 0) = HUGE_VAL;
    cv::Mat slightlyOff = R.clone();
    slightlyOff.at<double>(0, 1) += 0.0004; // within the tolerance of both tests
    cv::Mat shear = cv::Mat::eye(3, 3, CV_64F);
    shear.at<double>(0, 1) = 0.01; // determinant 1, but not orthogonal

    struct Case {
        const char* what;
        cv::Mat R;
        const char* message; // nullptr: passes
    };
    const Case cases[] = {
        {"identity", cv::Mat::eye(3, 3, CV_64F), nullptr},
        {"a rotation", R, nullptr},
        {"a rotation as floats", Rf, nullptr},
        {"the identity as integers", cv::Mat::eye(3, 3, CV_32S), nullptr},
        {"within the tolerances", slightlyOff, nullptr},
        {"empty", cv::Mat(), "Invalid size: rows != 3."},
        {"2x3", cv::Mat::zeros(2, 3, CV_64F), "Invalid size: rows != 3."},
        {"3x4", cv::Mat::zeros(3, 4, CV_64F), "Invalid size: cols != 3."},
        {"three channels", cv::Mat(3, 3, CV_64FC3, cv::Scalar::all(0)), "R matrix should have 1 channel."},
        {"NaN element", withNan, "R matrix has non-finite elements."},
        {"infinite element", withInf, "R matrix has non-finite elements."},
        {"reflection", cv::Mat(cv::Matx33d(1, 0, 0, 0, 1, 0, 0, 0, -1)), "Determinant is negative."},
        {"singular: determinant exactly 0", cv::Mat::zeros(3, 3, CV_64F), "Determinant isn't 1."},
        {"scaled rotation", R * 1.01, "Determinant isn't 1."},
        {"diag(2, 1, 0.5)", cv::Mat(cv::Matx33d(2, 0, 0, 0, 1, 0, 0, 0, 0.5)),
         "Transposed R isn't equal to its inverse: R^T != R^-1."},
        {"shear", shear, "Transposed R isn't equal to its inverse: R^T != R^-1."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string msg = "previous";
        const bool ok = checkRotationMatrix(c.R, msg);
        EXPECT_EQ(ok, c.message == nullptr);
        EXPECT_EQ(msg, c.message ? c.message : "previous"); // a pass leaves the message alone
    }
}

TEST(RotationAngleDeg, RelativeAngleOfKnownRotations)
{
    const cv::Mat I = cv::Mat::eye(3, 3, CV_64F);
    for (const cv::Vec3d& axis :
         {cv::Vec3d(1, 0, 0), cv::Vec3d(0, 1, 0), cv::Vec3d(0, 0, 1), cv::Vec3d(1, -2, 0.5)}) {
        SCOPED_TRACE(cv::format("axis (%g, %g, %g)", axis[0], axis[1], axis[2]));
        cv::Mat R30, R100, R180;
        cv::Rodrigues(axis / cv::norm(axis) * (30 * CV_PI / 180), R30);
        cv::Rodrigues(axis / cv::norm(axis) * (100 * CV_PI / 180), R100);
        cv::Rodrigues(axis / cv::norm(axis) * CV_PI, R180);
        EXPECT_NEAR(rotationAngleDeg(R30, I), 30, 1e-9);
        EXPECT_NEAR(rotationAngleDeg(I, R30), 30, 1e-9);
        EXPECT_NEAR(rotationAngleDeg(R100, R30), 70, 1e-9);
        EXPECT_NEAR(rotationAngleDeg(R180, I), 180, 1e-6);
        cv::Mat R30f;
        R30.convertTo(R30f, CV_32F);
        EXPECT_NEAR(rotationAngleDeg(R30f, I), 30, 1e-4);
    }
}

TEST(RotationAngleDeg, EqualRotationsGiveZeroNotNaN)
{
    // For this rotation rounding makes trace(R R^T) exceed 3, so an unclamped
    // acos would return NaN.
    cv::Matx33d R;
    cv::Rodrigues(cv::Vec3d(-2.4327939782242227, 2.2244715229870318, -1.083888282079037), R);
    const cv::Matx33d M = R * R.t();
    ASSERT_GT((M(0, 0) + M(1, 1) + M(2, 2) - 1) * 0.5, 1.0) << "the case no longer rounds above 1";
    EXPECT_EQ(rotationAngleDeg(cv::Mat(R), cv::Mat(R)), 0.0);

    cv::RNG rng(3);
    for (int k = 0; k < 200; ++k) {
        cv::Mat Q;
        const double z = rng.uniform(-3., 3.), y = rng.uniform(-3., 3.), x = rng.uniform(-3., 3.);
        cv::Rodrigues(cv::Vec3d(x, y, z), Q);
        const double a = rotationAngleDeg(Q, Q);
        ASSERT_TRUE(std::isfinite(a));
        EXPECT_LT(a, 1e-5);
    }
}

TEST(RotationAngleDeg, BadInput)
{
    const cv::Mat I = cv::Mat::eye(3, 3, CV_64F);
    cv::Mat withNan = I.clone();
    withNan.at<double>(2, 2) = std::numeric_limits<double>::quiet_NaN();
    EXPECT_TRUE(std::isnan(rotationAngleDeg(withNan, I)));
    int code = 0;
    EXPECT_EQ(cvErrorMessage([&] { rotationAngleDeg(cv::Mat::eye(3, 4, CV_64F), I); }, &code),
              "R1.rows == 3 && R1.cols == 3 && R1.channels() == 1");
    EXPECT_EQ(code, cv::Error::StsAssert);
    EXPECT_EQ(cvErrorMessage([&] { rotationAngleDeg(I, cv::Mat()); }, &code),
              "R2.rows == 3 && R2.cols == 3 && R2.channels() == 1");
}

TEST(MaxTranslationNorm, LargestLength)
{
    const auto t = [](double x, double y, double z) { return cv::Mat(cv::Matx31d(x, y, z)); };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* what;
        std::vector<cv::Mat> tvecs;
        double expected;
    };
    const Case cases[] = {
        {"empty list", {}, 0},
        {"(3, 4, 0) and (0, 0, 2)", {t(3, 4, 0), t(0, 0, 2)}, 5},
        {"negative components", {t(0, 0, -900), t(-100, 200, 300)}, 900},
        {"floats are converted", {cv::Mat(cv::Matx31f(0, -6, 8))}, 10},
        {"first column of a wider matrix", {(cv::Mat_<double>(3, 2) << 1, 100, 2, 100, 2, 100)}, 3},
        {"non-finite translations are skipped", {t(nan, 0, 0), t(1, 0, 0), t(0, HUGE_VAL, 0)}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_NEAR(maxTranslationNorm(c.tvecs), c.expected, 1e-12);
    }
    int code = 0;
    EXPECT_EQ(cvErrorMessage(
                  [&] {
                      maxTranslationNorm({t(1, 2, 3), cv::Mat::zeros(2, 1, CV_64F)});
                  },
                  &code),
              "t.rows >= 3 && t.cols >= 1 && t.channels() == 1");
    EXPECT_EQ(code, cv::Error::StsAssert);
}

// ---------------------------------------------------------------------------
// Vanishing points and 3D lines
// ---------------------------------------------------------------------------

namespace {

using VanishingPointFn = std::function<cv::Point2f(std::vector<cv::Vec4f>, float&)>;

struct VanishingMethod {
    const char* name;
    VanishingPointFn fn;
};

const VanishingMethod kVanishingMethods[] = {
    {"fitLine L2",
     [](std::vector<cv::Vec4f> s, float& rms) { return vanishingPointFitLine(s, rms, cv::DIST_L2); }},
    {"weighted SVD", [](std::vector<cv::Vec4f> s, float& rms) { return vanishingPointSvd(s, rms); }},
};

// n segments of the image whose lines pass through vp (a point at infinity
// when dir is given instead), endpoints disturbed by noise (px).
std::vector<cv::Vec4f> segmentsTowards(cv::Point2d vp, int n, double noise, std::uint64_t seed,
                                       cv::Point2d dir = {0, 0})
{
    cv::RNG rng(seed);
    std::vector<cv::Vec4f> segs;
    for (int i = 0; i < n; ++i) {
        const double y = rng.uniform(50., 700.), x = rng.uniform(50., 950.);
        const cv::Point2d p(x, y);
        cv::Point2d u = (dir.x == 0 && dir.y == 0) ? vp - p : dir;
        u /= cv::norm(u);
        const double len = rng.uniform(40., 200.);
        const cv::Point2d q = p + len * u;
        const double y2 = q.y + rng.gaussian(noise), x2 = q.x + rng.gaussian(noise);
        const double y1 = p.y + rng.gaussian(noise), x1 = p.x + rng.gaussian(noise);
        segs.emplace_back(float(x1), float(y1), float(x2), float(y2));
    }
    return segs;
}

} // namespace

TEST(PointLineDistance, DistanceToTheInfiniteLine)
{
    struct Case {
        cv::Point2f p;
        cv::Vec4f s;
        float d;
    };
    const Case cases[] = {
        {{0, 5}, {0, 0, 10, 0}, 5},
        {{20, 5}, {0, 0, 10, 0}, 5},
        {{-7, -5}, {0, 0, 10, 0}, 5},
        {{3, -4}, {0, 0, 0, 10}, 3},
        {{0, 2}, {0, 0, 2, 2}, std::sqrt(2.f)},
        {{5, 5}, {0, 0, 10, 10}, 0},
        {{3, 4}, {0, 0, 0, 0}, 5}, // zero length: distance to its point
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(
            cv::format("(%g, %g) to (%g, %g, %g, %g)", c.p.x, c.p.y, c.s[0], c.s[1], c.s[2], c.s[3]));
        EXPECT_NEAR(pointLineDistance(c.p, c.s), c.d, 1e-5);
    }
}

TEST(VanishingPoint, ExactlyConcurrentSegments)
{
    struct Case {
        const char* what;
        std::vector<cv::Vec4f> segments;
        cv::Point2f vp;
        float rms;
    };
    const Case cases[] = {
        {"diagonals meeting at (5, 5)", {{0, 0, 10, 10}, {0, 10, 10, 0}}, {5, 5}, 0},
        {"three lines through (100, 50)",
         {{0, 0, 50, 25}, {100, 0, 100, 20}, {0, 100, 40, 80}},
         {100, 50},
         0},
        // lines through the image origin have a zero third coordinate, so the
        // fitted line in line space has no component along it
        {"lines through the origin", {{2, 1, 10, 5}, {1, 2, 5, 10}, {-3, 1, -9, 3}}, {0, 0}, 0},
        {"a zero-length segment is left out of the fit, kept in the RMS",
         {{0, 0, 10, 10}, {0, 10, 10, 0}, {5, 8, 5, 8}},
         {5, 5},
         std::sqrt(3.f)},
    };
    for (const auto& m : kVanishingMethods) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(m.name) + ": " + c.what);
            float rms = -1;
            const cv::Point2f vp = m.fn(c.segments, rms);
            EXPECT_NEAR(vp.x, c.vp.x, 1e-3);
            EXPECT_NEAR(vp.y, c.vp.y, 1e-3);
            EXPECT_NEAR(rms, c.rms, 1e-3);
        }
    }
}

TEST(VanishingPoint, RecoversKnownPointFromNoisySegments)
{
    struct Case {
        cv::Point2d vp;
        double noise;
        double tol; // px
    };
    const Case cases[] = {
        {{520, 380}, 0, 1e-2},  {{1500, -300}, 0, 0.05},   {{-2000, 400}, 0, 0.3},
        {{520, 380}, 0.3, 1.0}, {{1500, -300}, 0.3, 10.0}, {{300, 5000}, 0.3, 150.0},
    };
    for (const auto& m : kVanishingMethods) {
        for (const auto& c : cases) {
            SCOPED_TRACE(cv::format("%s: vp (%g, %g), noise %g", m.name, c.vp.x, c.vp.y, c.noise));
            const auto segs = segmentsTowards(c.vp, 25, c.noise, 17);
            float rms = -1;
            const cv::Point2f vp = m.fn(segs, rms);
            EXPECT_LT(cv::norm(cv::Point2d(vp) - c.vp), c.tol);
            // the RMS is the distance of the lines from the returned point:
            // recomputed here, and close to that of the true point
            double sum = 0, sumTrue = 0;
            for (const auto& sg : segs) {
                sum += std::pow(pointLineDistance(vp, sg), 2);
                sumTrue += std::pow(pointLineDistance(cv::Point2f(c.vp), sg), 2);
            }
            EXPECT_NEAR(rms, std::sqrt(sum / segs.size()), 1e-3 + 1e-4 * rms);
            EXPECT_LT(rms, 1.5 * std::sqrt(sumTrue / segs.size()) + 1e-2);
        }
    }
}

TEST(VanishingPoint, ParallelSegmentsGiveAFarPointAlongTheirDirection)
{
    for (const auto& m : kVanishingMethods) {
        for (const cv::Point dir : {cv::Point(1, 0), cv::Point(0, 1), cv::Point(3, -4)}) {
            SCOPED_TRACE(cv::format("%s: direction (%d, %d)", m.name, dir.x, dir.y));
            // exactly parallel: integral endpoints
            std::vector<cv::Vec4f> segs;
            cv::Point2d c(0, 0);
            for (int i = 0; i < 6; ++i) {
                const cv::Point p(100 + 37 * i, 300 + 23 * i * i), q = p + (5 + 4 * i) * dir;
                segs.emplace_back(float(p.x), float(p.y), float(q.x), float(q.y));
                c += cv::Point2d(p + q) / 12.0;
            }
            float rms = -1;
            const cv::Point2f vp = m.fn(segs, rms);
            ASSERT_TRUE(std::isfinite(vp.x) && std::isfinite(vp.y));
            ASSERT_TRUE(std::isfinite(rms));
            const cv::Point2d off = cv::Point2d(vp) - c;
            EXPECT_GT(cv::norm(off), 1e7);
            EXPECT_LT(cv::norm(off), kFarVanishingPoint * (1 + 1e-6));
            // parallel to the segments, either way along them
            const cv::Point2d d(dir);
            EXPECT_NEAR(std::abs(off.dot(d) / cv::norm(d)) / cv::norm(off), 1.0, 1e-9);
            // the direction of the vanishing point seen by a camera stays exact
            const cv::Matx33d K(800, 0, 500, 0, 800, 375, 0, 0, 1);
            cv::Vec3d ray = K.inv() * cv::Vec3d(vp.x, vp.y, 1);
            ray /= cv::norm(ray);
            EXPECT_NEAR(std::abs(ray.dot(cv::Vec3d(d.x, d.y, 0) / cv::norm(d))), 1.0, 1e-10);
        }
    }
}

TEST(VanishingPoint, WeightedSolutionFollowsTheLongerSegments)
{
    // Two families of lines, one through (300, 200), the other through
    // (300, 215); whichever has the longer segments draws the point to it.
    const cv::Point2d a(300, 200), b(300, 215);
    auto family = [](cv::Point2d p, double len) {
        std::vector<cv::Vec4f> segs;
        for (double deg : {10.0, 70.0, 130.0}) {
            const cv::Point2d u(std::cos(deg * CV_PI / 180), std::sin(deg * CV_PI / 180));
            const cv::Point2d s = p + 150 * u, e = s + len * u;
            segs.emplace_back(float(s.x), float(s.y), float(e.x), float(e.y));
        }
        return segs;
    };
    for (const bool longA : {true, false}) {
        SCOPED_TRACE(longA ? "long segments through a" : "long segments through b");
        auto segs = family(a, longA ? 200 : 20);
        const auto more = family(b, longA ? 20 : 200);
        segs.insert(segs.end(), more.begin(), more.end());
        float rms = -1;
        const cv::Point2d vp(vanishingPointSvd(segs, rms));
        const cv::Point2d nearer = longA ? a : b, farther = longA ? b : a;
        EXPECT_LT(cv::norm(vp - nearer), 0.25 * cv::norm(vp - farther));
    }
}

TEST(VanishingPoint, BadSegmentListsRaise)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        const char* what;
        std::vector<cv::Vec4f> segments;
        int code;
        const char* message;
    };
    const Case cases[] = {
        {"no segment", {}, cv::Error::StsBadSize, "at least two segments of positive length are needed"},
        {"one segment",
         {{0, 0, 10, 3}},
         cv::Error::StsBadSize,
         "at least two segments of positive length are needed"},
        {"one segment and a point",
         {{0, 0, 10, 3}, {4, 4, 4, 4}},
         cv::Error::StsBadSize,
         "at least two segments of positive length are needed"},
        {"non-finite coordinate",
         {{0, 0, 10, 3}, {0, nan, 4, 4}, {1, 1, 5, 5}},
         cv::Error::StsBadArg,
         "a segment has a non-finite coordinate"},
    };
    for (const auto& m : kVanishingMethods) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(m.name) + ": " + c.what);
            float rms = -7;
            int code = 0;
            EXPECT_EQ(cvErrorMessage([&] { m.fn(c.segments, rms); }, &code), c.message);
            EXPECT_EQ(code, c.code);
            EXPECT_EQ(rms, -7.f);
        }
    }
}

TEST(ClosestPointsOfLines, KnownConfigurations)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* what;
        cv::Point3d p1, p2, p3, p4;
        bool ok;
        cv::Point3d pa, pb;
    };
    const Case cases[] = {
        {"x axis and a skew line", {0, 0, 0}, {1, 0, 0}, {0, 1, 1}, {0, 2, 1}, true, {0, 0, 0}, {0, 0, 1}},
        {"skew lines off the origin", {0, 0, 0}, {2, 0, 0}, {1, 2, 3}, {1, 2, 4}, true, {1, 0, 0}, {1, 2, 0}},
        {"intersecting lines (mm)",
         {100, 0, 500},
         {300, 0, 500},
         {250, -40, 480},
         {250, 40, 520},
         true,
         {250, 0, 500},
         {250, 0, 500}},
        {"parallel lines", {0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {3, 1, 0}, false, {}, {}},
        {"first line's points coincide", {1, 1, 1}, {1, 1, 1}, {0, 0, 0}, {0, 1, 0}, false, {}, {}},
        {"second line's points coincide", {0, 0, 0}, {1, 0, 0}, {2, 2, 2}, {2, 2, 2}, false, {}, {}},
        {"non-finite point", {0, 0, 0}, {1, 0, nan}, {0, 1, 1}, {0, 2, 1}, false, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        cv::Point3d pa(-9, -9, -9), pb(-8, -8, -8);
        EXPECT_EQ(closestPointsOfLines(c.p1, c.p2, c.p3, c.p4, pa, pb), c.ok);
        const cv::Point3d ea = c.ok ? c.pa : cv::Point3d(-9, -9, -9),
                          eb = c.ok ? c.pb : cv::Point3d(-8, -8, -8);
        EXPECT_NEAR(cv::norm(pa - ea), 0, 1e-9);
        EXPECT_NEAR(cv::norm(pb - eb), 0, 1e-9);
    }
}
