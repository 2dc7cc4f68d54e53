// Tests of the FastX corner feature detector: feature strengths, sub-pixel
// peaks, rotations, key point search, wedge directions and its errors, on
// hand-made filter images and feature maps and on rendered chessboards.

#include "core/chessboard/chessboard_fastx.h"

#include "synthetic.h"
#include "test_helpers.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

using details::FastX;

namespace {

using testing_support::expectCvError;

FastX::Settings detectorSettings(bool upsample)
{
    FastX::Settings s;
    s.threshold = 150;
    s.minScale = 2;
    s.maxScale = 4;
    s.upsample = upsample;
    return s;
}

// A filter image of the given size whose every pixel has the profile v.
cv::Mat uniformProfile(cv::Size size, const std::vector<uchar>& v)
{
    cv::Mat img(size, CV_8UC(static_cast<int>(v.size())));
    for (int y = 0; y < size.height; ++y)
        for (int x = 0; x < size.width; ++x)
            for (size_t k = 0; k < v.size(); ++k)
                img.ptr<uchar>(y)[x * v.size() + k] = v[k];
    return img;
}

} // namespace

TEST(FastXFeatureMap, StrengthOfDirectionProfiles)
{
    struct Case {
        std::vector<uchar> profile;
        int branchCount;
        float strength;
    };
    const std::vector<Case> cases = {
        {{10, 200, 100, 50}, 2, 190.0f * 190.0f},               // one maximum, one minimum
        {{10, 200, 10, 200}, 2, 0.0f},                          // two of each
        {{10, 200, 10, 200}, 4, 190.0f * 190.0f},               // ... which is what branchCount 4 asks for
        {{90, 90, 90, 90}, 2, 0.0f},                            // flat: no extrema
        {{50, 50, 80, 80}, 2, 30.0f * 30.0f},                   // plateaus count as rising
        {{255, 0, 0, 0}, 2, 255.0f * 255.0f},                   // the largest strength
        {{0, 30, 60, 90, 120, 90, 60, 30}, 2, 120.0f * 120.0f}, // eight directions
        {{0, 30, 60, 90, 20, 90, 60, 30}, 2, 0.0f},
    };
    for (bool wide : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(cv::format("profile of %d, first %d %d, branches %d, wide %d", int(c.profile.size()),
                                    c.profile[0], c.profile[1], c.branchCount, wide));
            FastX::Settings s;
            s.branchCount = c.branchCount;
            FastX fx(s);
            // 37 columns: the vectorised and the scalar path both run.
            const cv::Mat filter = uniformProfile(cv::Size(wide ? 37 : 3, 2), c.profile);
            cv::Mat map;
            fx.calcFeatureMap(filter, map);
            ASSERT_EQ(map.type(), CV_32FC1);
            ASSERT_EQ(map.size(), filter.size());
            double lo, hi;
            cv::minMaxLoc(map, &lo, &hi);
            EXPECT_EQ(lo, c.strength);
            EXPECT_EQ(hi, c.strength);
        }
    }
}

TEST(FastXFeatureMap, RefusesBadFilterImages)
{
    const std::string fn = "details::FastX::calcFeatureMap";
    cv::Mat big(4, 8, CV_8UC4, cv::Scalar::all(1));
    struct Case {
        const char* name;
        cv::Mat img;
        std::string msg;
    };
    const std::vector<Case> cases = {
        {"empty", cv::Mat(), "no rotation images"},
        {"16-bit", cv::Mat(4, 4, CV_16UC4, cv::Scalar::all(1)),
         "Only 8-bit grayscale or color images are supported"},
        {"not continuous", big.colRange(1, 5), "image must be continuous"},
        {"three channels", cv::Mat(4, 4, CV_8UC3, cv::Scalar::all(1)),
         "images must have at least four channels"},
    };
    FastX fx;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        cv::Mat map;
        expectCvError([&] { fx.calcFeatureMap(c.img, map); }, cv::Error::StsBadArg, c.msg, fn);
    }
}

TEST(FastXSubPixel, PeakOfGaussianThroughThreeSamples)
{
    // Samples of a Gaussian at -1, 0, 1 give its centre exactly.
    for (double centre : {-0.4, -0.1, 0.0, 0.25, 0.49}) {
        SCOPED_TRACE(centre);
        auto g = [&](double x) {
            return static_cast<float>(5000.0 * std::exp(-(x - centre) * (x - centre) / 1.2));
        };
        EXPECT_NEAR(details::subPixelOffset(g(-1), g(0), g(1)), centre, 1e-4);
    }
    EXPECT_EQ(details::subPixelOffset(0.0f, 10.0f, 5.0f), 0.0f);
    EXPECT_EQ(details::subPixelOffset(4.0f, -1.0f, 5.0f), 0.0f);
    EXPECT_EQ(details::subPixelOffset(7.0f, 7.0f, 7.0f), 0.0f); // flat: no curvature
    // Not clamped: a steep rise puts the peak beyond the samples
    // (logarithms 0, 2.302585, 3.688879: offset 3.688879 / 1.832582 = 2.01294).
    EXPECT_NEAR(details::subPixelOffset(1.0f, 10.0f, 40.0f), 2.01294f, 1e-4);
}

TEST(FastXRotation, TurnsAboutTheCentreIntoTheGivenSize)
{
    cv::Mat src(5, 7, CV_8UC1, cv::Scalar(0));
    src.at<uchar>(2, 5) = 200; // (1.5, -0.5) from the centre (3.5, 2.5)

    cv::Mat same;
    details::rotateImage(0.0f, src, cv::Size(11, 11), same);
    EXPECT_EQ(same.size(), src.size());
    EXPECT_EQ(cv::norm(same, src, cv::NORM_INF), 0);

    // A quarter turn counter-clockwise (as seen) takes the offset to
    // (-0.5, -1.5); the 9 x 9 output's centre (4.5, 4.5) is the source centre.
    cv::Mat turned;
    details::rotateImage(static_cast<float>(CV_PI / 2), src, cv::Size(9, 9), turned);
    ASSERT_EQ(turned.size(), cv::Size(9, 9));
    cv::Point at;
    double hi;
    cv::minMaxLoc(turned, nullptr, &hi, nullptr, &at);
    EXPECT_EQ(hi, 200);
    EXPECT_EQ(at, cv::Point(4, 3));
    // Outside the turned source the output is 0.
    EXPECT_EQ(turned.at<uchar>(0, 0), 0);
}

TEST(FastXSettings, ReconfigureChecksTheScales)
{
    FastX fx;
    struct Case {
        int minScale, maxScale;
    };
    for (const Case& c : std::vector<Case>{{-1, 3}, {4, 3}}) {
        SCOPED_TRACE(cv::format("%d..%d", c.minScale, c.maxScale));
        FastX::Settings s;
        s.minScale = c.minScale;
        s.maxScale = c.maxScale;
        expectCvError([&] { fx.reconfigure(s); }, cv::Error::StsBadArg, "invalid scale",
                      "details::FastX::reconfigure");
        EXPECT_EQ(fx.settings().minScale, 2);
        EXPECT_EQ(fx.settings().maxScale, 5);
    }
    FastX::Settings s;
    s.minScale = 3;
    s.maxScale = 3;
    fx.reconfigure(s);
    EXPECT_EQ(fx.settings().minScale, 3);
}

TEST(FastXDetect, RefusesMasksAndOtherImageTypes)
{
    const std::string fn = "details::FastX::detectImpl";
    FastX fx;
    std::vector<cv::Mat> rotated, maps;
    const cv::Mat gray(64, 64, CV_8UC1, cv::Scalar(100));
    expectCvError([&] { fx.detectImpl(gray, rotated, maps, cv::Mat(64, 64, CV_8UC1, cv::Scalar(1))); },
                  cv::Error::StsBadSize, "Mask is not supported", fn);
    for (int type : {CV_8UC3, CV_16UC1, CV_32FC1}) {
        SCOPED_TRACE(type);
        expectCvError(
            [&] { fx.detectImpl(cv::Mat(64, 64, type, cv::Scalar::all(1)), rotated, maps, cv::Mat()); },
            cv::Error::StsBadSize, "Unsupported image type", fn);
    }
    // Fewer than two strip orientations give two-channel filter images.
    FastX::Settings s;
    s.angleStep = static_cast<float>(CV_PI * 0.4);
    FastX coarse(s);
    expectCvError([&] { coarse.detectImpl(gray, rotated, maps, cv::Mat()); }, cv::Error::StsBadArg,
                  "images must have at least four channels", "details::FastX::calcFeatureMap");
}

TEST(FastXDetect, FilterImagesHoldDirectionalMeans)
{
    // A thin vertical bright line: on it, the strip along the line (direction
    // 90 degrees, channel 2 of four) is the brightest, the strip across it
    // (channel 0) the darkest, the diagonal ones lie between.
    cv::Mat img(120, 120, CV_8UC1, cv::Scalar(40));
    img.col(60).setTo(220);
    for (bool upsample : {false, true}) {
        SCOPED_TRACE(upsample);
        FastX fx(detectorSettings(upsample));
        std::vector<cv::Mat> rotated, maps;
        fx.detectImpl(img, rotated, maps, cv::Mat());
        ASSERT_EQ(rotated.size(), 3u);
        ASSERT_EQ(maps.size(), 3u);
        const int f = upsample ? 2 : 1;
        for (size_t i = 0; i < rotated.size(); ++i) {
            ASSERT_EQ(rotated[i].type(), CV_8UC4);
            ASSERT_EQ(rotated[i].size(), cv::Size(120 * f, 120 * f));
            ASSERT_EQ(maps[i].type(), CV_32FC1);
            const cv::Vec4b v = rotated[i].at<cv::Vec4b>(60 * f, 60 * f);
            EXPECT_LT(v[0], v[1]);
            EXPECT_LT(v[0], v[3]);
            EXPECT_GT(v[2], v[1]);
            EXPECT_GT(v[2], v[3]);
        }
    }
}

TEST(FastXDetect, FilterImagesAndMapsFollowTheirDefinition)
{
    // Reference computed the plain way, on whole images: strips by box
    // filters (directly, and on the image turned by -45 degrees and back),
    // merged; strength per pixel; contrast filter A - 0.8 B.
    cv::Mat img(90, 130, CV_8UC1);
    cv::RNG rng(5);
    rng.fill(img, cv::RNG::UNIFORM, 0, 256);
    cv::GaussianBlur(img, img, cv::Size(0, 0), 2.0);
    cv::rectangle(img, cv::Rect(30, 20, 40, 30), cv::Scalar(230), cv::FILLED);

    for (bool upsample : {false, true}) {
        SCOPED_TRACE(upsample);
        FastX fx(detectorSettings(upsample));
        std::vector<cv::Mat> rotated, maps;
        fx.detectImpl(img, rotated, maps, cv::Mat());

        cv::Mat work;
        if (upsample)
            cv::resize(img, work, cv::Size(), 2, 2, cv::INTER_LINEAR);
        else
            work = img;
        const int D = static_cast<int>(std::floor(std::hypot(work.cols, work.rows)));
        auto box = [](const cv::Mat& src, int w, int h) {
            cv::Mat out;
            cv::boxFilter(src, out, -1, cv::Size(w, h), cv::Point(-1, -1), true, cv::BORDER_REFLECT_101);
            return out;
        };
        cv::Mat turned;
        details::rotateImage(static_cast<float>(-CV_PI / 4), work, cv::Size(D, D), turned);
        for (int i = 2; i <= 4; ++i) {
            SCOPED_TRACE(i);
            const int L = 1 << (i + 1 + (upsample ? 1 : 0));
            const int T = 2 * (L / 7) + 1;
            std::vector<cv::Mat> strips(4);
            strips[0] = box(work, L, T);
            strips[2] = box(work, T, L);
            details::rotateImage(static_cast<float>(CV_PI / 4), box(turned, L, T), work.size(), strips[1]);
            details::rotateImage(static_cast<float>(CV_PI / 4), box(turned, T, L), work.size(), strips[3]);
            cv::Mat filter;
            cv::merge(strips, filter);
            ASSERT_EQ(rotated[i - 2].size(), filter.size());
            EXPECT_EQ(cv::norm(rotated[i - 2], filter, cv::NORM_INF), 0);

            cv::Mat strength;
            fx.calcFeatureMap(filter, strength);
            const int Q = 2 * (L / 6) + 1;
            const cv::Mat expected = box(strength, Q, Q) - 0.8 * box(strength, L, L);
            EXPECT_LE(cv::norm(maps[i - 2], expected, cv::NORM_INF), 1e-3 * cv::norm(expected, cv::NORM_INF));
        }
    }
}

TEST(FastXDetect, ContrastFilterEqualsWholeImageBoxFiltersExactly)
{
    // The contrast filter sums strengths in integers band by band; it must
    // give the very floats of cv::boxFilter on the whole strength map
    // followed by cv::scaleAdd, also where the windows are larger than the
    // image and reflect several times.
    const std::vector<cv::Size> sizes = {{130, 90}, {37, 61}, {20, 9}, {3, 70}, {1, 1}, {97, 2}};
    cv::RNG rng(11);
    for (const cv::Size& size : sizes) {
        for (bool upsample : {false, true}) {
            SCOPED_TRACE(cv::format("%dx%d upsample %d", size.width, size.height, upsample));
            cv::Mat img(size, CV_8UC1);
            rng.fill(img, cv::RNG::UNIFORM, 0, 256);
            FastX fx(detectorSettings(upsample));
            std::vector<cv::Mat> rotated, maps;
            fx.detectImpl(img, rotated, maps, cv::Mat());
            for (int i = 2; i <= 4; ++i) {
                SCOPED_TRACE(i);
                const int L = 1 << (i + 1 + (upsample ? 1 : 0));
                const int Q = 2 * (L / 6) + 1;
                cv::Mat strength, surround, centre, expected;
                fx.calcFeatureMap(rotated[i - 2], strength);
                cv::boxFilter(strength, surround, -1, cv::Size(L, L), cv::Point(-1, -1), true,
                              cv::BORDER_REFLECT_101);
                cv::boxFilter(strength, centre, -1, cv::Size(Q, Q), cv::Point(-1, -1), true,
                              cv::BORDER_REFLECT_101);
                cv::scaleAdd(surround, -0.8, centre, expected);
                ASSERT_EQ(maps[i - 2].size(), expected.size());
                EXPECT_EQ(cv::norm(maps[i - 2], expected, cv::NORM_INF), 0);
            }
        }
    }
}

TEST(FastXKeyPoints, TilePeaksBecomeKeyPointsAtTheirSubPixelPosition)
{
    // Scale 2 without enlargement: window g = 5, tiles from x = 5 to (cols/5 - 3) * 5.
    for (bool upsample : {false, true}) {
        SCOPED_TRACE(upsample);
        FastX::Settings s;
        s.minScale = 2;
        s.maxScale = 2;
        s.threshold = 40;
        s.upsample = upsample;
        FastX fx(s);
        const int g = upsample ? 9 : 5;
        cv::Mat map(20 * g, 20 * g, CV_32FC1, cv::Scalar(0));
        // A Gaussian peak at (X + 0.2, Y - 0.3).
        const int X = 7 * g + 2, Y = 9 * g + 1;
        for (int y = Y - 3; y <= Y + 3; ++y)
            for (int x = X - 3; x <= X + 3; ++x)
                map.at<float>(y, x) = static_cast<float>(
                    1000.0 *
                    std::exp(-((x - X - 0.2) * (x - X - 0.2) + (y - Y + 0.3) * (y - Y + 0.3)) / 2.0));
        std::vector<cv::KeyPoint> kps;
        fx.findKeyPoints({map}, kps);
        ASSERT_EQ(kps.size(), 1u);
        const cv::KeyPoint& kp = kps[0];
        if (upsample) {
            EXPECT_NEAR(kp.pt.x, (X + 0.2) / 2 - 0.25, 1e-3);
            EXPECT_NEAR(kp.pt.y, (Y - 0.3) / 2 - 0.25, 1e-3);
            EXPECT_FLOAT_EQ(kp.size, g / 2.0f);
        } else {
            EXPECT_NEAR(kp.pt.x, X + 0.2, 1e-3);
            EXPECT_NEAR(kp.pt.y, Y - 0.3, 1e-3);
            EXPECT_FLOAT_EQ(kp.size, static_cast<float>(g));
        }
        EXPECT_EQ(kp.response, map.at<float>(Y, X));
        EXPECT_EQ(kp.octave, 2);
        EXPECT_EQ(kp.class_id, -1);
        EXPECT_EQ(kp.angle, 0.0f);
    }
}

TEST(FastXKeyPoints, TileRulesAndEdges)
{
    FastX::Settings s;
    s.minScale = 2;
    s.maxScale = 2;
    s.threshold = 40;
    s.upsample = false;
    FastX fx(s);
    const int g = 5;
    struct Case {
        const char* name;
        cv::Point peak;
        float value;
        int expected;
    };
    // 100 x 100: tiles cover x, y in [5, 85).
    const std::vector<Case> cases = {
        {"inside", {40, 40}, 500, 1},
        {"first tile", {5, 5}, 500, 1},
        {"within one window of the left edge", {4, 40}, 500, 0},
        {"last tile", {89, 84}, 500, 1},
        {"within two windows of the right edge", {90, 40}, 500, 0},
        {"within two windows of the bottom edge", {40, 90}, 500, 0},
        {"below the threshold", {40, 40}, 39, 0},
        {"at the threshold", {40, 40}, 40, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        cv::Mat map(100, 100, CV_32FC1, cv::Scalar(0));
        map.at<float>(c.peak) = c.value;
        std::vector<cv::KeyPoint> kps;
        fx.findKeyPoints({map}, kps);
        EXPECT_EQ(static_cast<int>(kps.size()), c.expected);
    }
    {
        SCOPED_TRACE("uniform tiles");
        std::vector<cv::KeyPoint> kps;
        fx.findKeyPoints({cv::Mat(100, 100, CV_32FC1, cv::Scalar(1000))}, kps);
        EXPECT_TRUE(kps.empty());
    }
    {
        SCOPED_TRACE("a map smaller than four windows");
        std::vector<cv::KeyPoint> kps;
        cv::Mat small(3 * g + 4, 100, CV_32FC1, cv::Scalar(0));
        small.at<float>(7, 40) = 500;
        fx.findKeyPoints({small}, kps);
        EXPECT_TRUE(kps.empty());
    }
    {
        SCOPED_TRACE("the mask blocks");
        cv::Mat map(100, 100, CV_32FC1, cv::Scalar(0));
        map.at<float>(40, 40) = 500;
        map.at<float>(60, 60) = 500;
        cv::Mat mask(100, 100, CV_8UC1, cv::Scalar(1));
        mask.at<uchar>(40, 40) = 0;
        std::vector<cv::KeyPoint> kps;
        fx.findKeyPoints({map}, kps, mask);
        ASSERT_EQ(kps.size(), 1u);
        EXPECT_EQ(kps[0].pt, cv::Point2f(60, 60));
    }
}

TEST(FastXKeyPoints, CoarserScaleWinsAndBlocksFinerScales)
{
    FastX::Settings s;
    s.minScale = 2;
    s.maxScale = 3;
    s.threshold = 40;
    s.upsample = false;
    FastX fx(s);
    // Scale 3 has g = 9, scale 2 g = 5; both see a peak of the same strength
    // at (45, 45), and scale 2 a weaker one far away.
    cv::Mat fine(120, 120, CV_32FC1, cv::Scalar(0)), coarse(120, 120, CV_32FC1, cv::Scalar(0));
    fine.at<float>(45, 45) = 800;
    coarse.at<float>(45, 45) = 800;
    fine.at<float>(80, 30) = 300;
    std::vector<cv::KeyPoint> kps;
    fx.findKeyPoints({fine, coarse}, kps);
    ASSERT_EQ(kps.size(), 2u);
    EXPECT_EQ(kps[0].octave, 3);
    EXPECT_EQ(kps[0].pt, cv::Point2f(45, 45));
    EXPECT_EQ(kps[1].octave, 2);
    EXPECT_EQ(kps[1].pt, cv::Point2f(30, 80));

    // A stronger finer peak in the coarse tile suppresses the coarse one.
    fine.at<float>(46, 46) = 900;
    fx.findKeyPoints({fine, coarse}, kps);
    ASSERT_FALSE(kps.empty());
    EXPECT_EQ(kps[0].octave, 2);
    EXPECT_EQ(kps[0].pt, cv::Point2f(46, 46));
}

TEST(FastXKeyPoints, RefusesBadMapsAndMasks)
{
    const std::string fn = "details::FastX::findKeyPoints";
    FastX fx; // scales 2 to 5: four maps needed
    std::vector<cv::KeyPoint> kps;
    const cv::Mat map(60, 60, CV_32FC1, cv::Scalar(0));
    expectCvError(
        [&] {
            fx.findKeyPoints({map, map, map}, kps);
        },
        cv::Error::StsBadSize, "missing feature maps", fn);
    const std::vector<cv::Mat> maps(4, map);
    expectCvError(
        [&] {
            fx.findKeyPoints({map, map, cv::Mat(60, 60, CV_8UC1), map}, kps);
        },
        cv::Error::StsBadSize, "feature maps must be CV_32FC1 images of one size", fn);
    expectCvError(
        [&] {
            fx.findKeyPoints({map, map, cv::Mat(50, 60, CV_32FC1), map}, kps);
        },
        cv::Error::StsBadSize, "feature maps must be CV_32FC1 images of one size", fn);
    expectCvError([&] { fx.findKeyPoints(maps, kps, cv::Mat(60, 60, CV_32FC1)); }, cv::Error::StsBadSize,
                  "wrong mask type", fn);
    expectCvError([&] { fx.findKeyPoints(maps, kps, cv::Mat(50, 60, CV_8UC1)); }, cv::Error::StsBadSize,
                  "wrong mask type or size", fn);
}

TEST(FastXAngles, ExtremaOfTheProfileWithParabolaOffsets)
{
    // Profile (10, 200, 100, 50) over directions 0, 45, 90, 135 degrees:
    // minimum at k = 0 with offset (50 - 200) / (2 (50 - 20 + 200)) = -0.326,
    // which wraps to just below pi; maximum at k = 1 with offset
    // (10 - 100) / (2 (10 - 400 + 100)) = 0.155.
    const float step = static_cast<float>(CV_PI / 4);
    const float minDir = static_cast<float>(CV_PI) + (-150.0f / 460.0f) * step;
    const float maxDir = (1 + (-90.0f / -580.0f)) * step;
    for (bool upsample : {false, true}) {
        SCOPED_TRACE(upsample);
        FastX::Settings s;
        s.minScale = 2;
        s.maxScale = 2;
        s.upsample = upsample;
        FastX fx(s);
        const cv::Mat filter = uniformProfile(cv::Size(20, 20), {10, 200, 100, 50});
        std::vector<cv::KeyPoint> kps = {cv::KeyPoint(cv::Point2f(4.3f, 5.6f), 5, 0, 1000, 2, -1)};
        const auto angles = fx.calcAngles({filter}, kps);
        ASSERT_EQ(angles.size(), 1u);
        ASSERT_EQ(angles[0].size(), 2u);
        EXPECT_NEAR(angles[0][0], -minDir, 1e-5);
        EXPECT_NEAR(angles[0][1], maxDir, 1e-5);
        EXPECT_NEAR(kps[0].angle, 360.0f - maxDir * 57.29578f, 1e-3);
    }
    // A maximum at direction 0 whose offset is negative wraps to just below
    // pi, never to a negative angle.
    FastX fx;
    const cv::Mat filter = uniformProfile(cv::Size(20, 20), {200, 120, 10, 150});
    std::vector<cv::KeyPoint> kps = {cv::KeyPoint(cv::Point2f(8, 8), 5, 0, 1000, 2, -1)};
    const auto angles = fx.calcAngles({filter}, kps);
    ASSERT_EQ(angles[0].size(), 2u);
    EXPECT_GT(angles[0][0], 0.0f);
    EXPECT_GT(angles[0][0], 0.9f * CV_PI);
    EXPECT_LT(angles[0][0], CV_PI);
}

TEST(FastXAngles, AWedgeAlongDirectionZeroKeepsItsKind)
{
    // Profiles symmetric about direction 0 (equal means at 45 and 135
    // degrees, as where a square's diagonal runs along the image rows): the
    // extremum there has an offset of exactly 0. The sign must still tell
    // the dark wedge from the bright one; the dark one is -pi, the same line.
    const float pi = static_cast<float>(CV_PI);
    struct Case {
        std::vector<uchar> profile;
        float first, second; // expected angles, in list order
    };
    const Case cases[] = {{{10, 120, 200, 120}, -pi, pi / 2}, {{200, 120, 10, 120}, 0, -pi / 2}};
    FastX fx;
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.profile[0]));
        std::vector<cv::KeyPoint> kps = {cv::KeyPoint(cv::Point2f(8, 8), 5, 0, 1000, 2, -1)};
        const auto angles = fx.calcAngles({uniformProfile(cv::Size(20, 20), c.profile)}, kps);
        ASSERT_EQ(angles[0].size(), 2u);
        EXPECT_FLOAT_EQ(angles[0][0], c.first);
        EXPECT_FLOAT_EQ(angles[0][1], c.second);
        EXPECT_EQ(angles[0][0] < 0, c.profile[0] < c.profile[2]) << "dark and bright wedge confused";
        EXPECT_FLOAT_EQ(kps[0].angle, 270.0f);
    }
}

TEST(FastXAngles, ReadsTheProfileWhereTheCandidateWasFound)
{
    // With enlargement, a candidate found at working pixel (X, Y) is reported
    // at (X/2 - 0.25, Y/2 - 0.25). Its directions must be read at (X, Y), not
    // half a pixel up and left, where the profile of a neighbour mixes in.
    FastX::Settings s;
    s.minScale = 2;
    s.maxScale = 2;
    s.upsample = true;
    FastX fx(s);
    cv::Mat filter = uniformProfile(cv::Size(40, 40), {200, 120, 10, 150});
    const int X = 21, Y = 17;
    filter.at<cv::Vec4b>(Y, X) = cv::Vec4b(10, 200, 100, 50);
    std::vector<cv::KeyPoint> kps = {
        cv::KeyPoint(cv::Point2f(X / 2.0f - 0.25f, Y / 2.0f - 0.25f), 4.5f, 0, 1000, 2, -1)};
    const auto angles = fx.calcAngles({filter}, kps);
    ASSERT_EQ(angles[0].size(), 2u);
    const float step = static_cast<float>(CV_PI / 4);
    EXPECT_NEAR(angles[0][0], -(static_cast<float>(CV_PI) + (-150.0f / 460.0f) * step), 1e-5);
    EXPECT_NEAR(angles[0][1], (1 + (-90.0f / -580.0f)) * step, 1e-5);
}

TEST(FastXAngles, RefusesBadFilterImagesAndOctaves)
{
    const std::string fn = "details::FastX::calcAngles";
    FastX fx; // minScale 2
    std::vector<cv::KeyPoint> kps = {cv::KeyPoint(cv::Point2f(8, 8), 5, 0, 1000, 2, -1)};
    const cv::Mat good(20, 20, CV_8UC4, cv::Scalar::all(5));
    struct Case {
        const char* name;
        std::vector<cv::Mat> images;
        int octave;
        std::string msg;
    };
    const std::vector<Case> cases = {
        {"none", {}, 2, "no rotated images"},
        {"an empty one", {good, cv::Mat()}, 2, "empty rotated images"},
        {"three channels",
         {cv::Mat(20, 20, CV_8UC3, cv::Scalar::all(5))},
         2,
         "rotated images must have at least four channels"},
        {"octave below the scales", {good}, 1, "no rotated image for requested keypoint octave"},
        {"octave above the scales", {good, good}, 4, "no rotated image for requested keypoint octave"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kps[0].octave = c.octave;
        expectCvError([&] { fx.calcAngles(c.images, kps); }, cv::Error::StsBadArg, c.msg, fn);
    }
}

namespace {

struct RenderedBoard {
    cv::Mat image;
    std::vector<cv::Point2f> corners;
};

RenderedBoard renderBoard(cv::Size pattern, int seed, double noise, double blur)
{
    const auto cam = synth::makeCamera({800, 600}, 800);
    const auto views = synth::boardViews(cam, pattern, 30, 1, seed);
    synth::RenderOptions o;
    o.noiseSigma = noise;
    o.blurSigma = blur;
    o.seed = seed;
    return {synth::renderChessboard(cam, pattern, 30, views[0], o),
            synth::projectBoard(cam, pattern, 30, views[0])};
}

} // namespace

TEST(FastXOnChessboards, EveryInnerCornerIsFoundWithItsWedgeDirections)
{
    const cv::Size pattern(7, 5);
    double sumSq = 0;
    int n = 0;
    for (int seed : {3, 4, 5}) {
        for (bool upsample : {true, false}) {
            SCOPED_TRACE(cv::format("seed %d, upsample %d", seed, upsample));
            const RenderedBoard b = renderBoard(pattern, seed, 2, 0.7);
            FastX fx(detectorSettings(upsample));
            std::vector<cv::Mat> rotated, maps;
            std::vector<cv::KeyPoint> kps;
            fx.detectImpl(b.image, rotated, maps, cv::Mat());
            fx.findKeyPoints(maps, kps);
            const auto angles = fx.calcAngles(rotated, kps);
            for (const cv::Point2f& c : b.corners) {
                int best = -1;
                double bestDist = 1e9;
                for (size_t i = 0; i < kps.size(); ++i) {
                    const double d = cv::norm(kps[i].pt - c);
                    if (d < bestDist) {
                        bestDist = d;
                        best = static_cast<int>(i);
                    }
                }
                ASSERT_LT(bestDist, upsample ? 0.25 : 0.5) << "corner " << c;
                if (upsample) {
                    sumSq += bestDist * bestDist;
                    ++n;
                }
                // One bright and one dark direction, roughly perpendicular, and
                // the image really is brighter along the bright one.
                const std::vector<float>& a = angles[best];
                ASSERT_EQ(a.size(), 2u);
                const float white = a[0] > 0 ? a[0] : a[1];
                const float black = a[0] > 0 ? -a[1] : -a[0];
                ASSERT_GT(white, 0.0f);
                ASSERT_GE(black, 0.0f);
                float diff = std::fabs(white - black);
                diff = std::min(diff, static_cast<float>(CV_PI) - diff);
                EXPECT_NEAR(diff, CV_PI / 2, 0.35);
                const float r = 0.6f * kps[best].size;
                auto sample = [&](float ang) {
                    const cv::Point2f d(std::cos(ang), -std::sin(ang));
                    return b.image.at<uchar>(cv::Point(c + r * d)) + b.image.at<uchar>(cv::Point(c - r * d));
                };
                EXPECT_GT(sample(white), sample(black) + 150);
            }
        }
    }
    // Sub-pixel accuracy of the enlarged search (noise 2, blur 0.7).
    EXPECT_LT(std::sqrt(sumSq / n), 0.08);
}

TEST(FastXOnChessboards, ResultsDoNotDependOnTheThreadCount)
{
    const RenderedBoard b = renderBoard(cv::Size(9, 6), 8, 2, 0.7);
    FastX fx(detectorSettings(true));
    const int threads = cv::getNumThreads();
    std::vector<cv::KeyPoint> reference;
    std::vector<std::vector<float>> referenceAngles;
    for (int t : {1, 2, 3, 8}) {
        SCOPED_TRACE(t);
        cv::setNumThreads(t);
        std::vector<cv::Mat> rotated, maps;
        std::vector<cv::KeyPoint> kps;
        fx.detectImpl(b.image, rotated, maps, cv::Mat());
        fx.findKeyPoints(maps, kps);
        const auto angles = fx.calcAngles(rotated, kps);
        if (reference.empty()) {
            reference = kps;
            referenceAngles = angles;
            continue;
        }
        ASSERT_EQ(kps.size(), reference.size());
        for (size_t i = 0; i < kps.size(); ++i) {
            EXPECT_EQ(kps[i].pt, reference[i].pt);
            EXPECT_EQ(kps[i].response, reference[i].response);
            EXPECT_EQ(kps[i].angle, reference[i].angle);
        }
        EXPECT_EQ(angles, referenceAngles);
    }
    cv::setNumThreads(threads);
}

TEST(FastXOnChessboards, ARegionOfALargerImageIsSearchedAsAnImageOfItsOwn)
{
    // The region's border is its own: the filters do not read the pixels of
    // the larger image around it (with and without enlargement).
    const RenderedBoard b = renderBoard(cv::Size(9, 6), 8, 2, 0.7);
    cv::Mat larger(b.image.rows + 40, b.image.cols + 60, CV_8UC1, cv::Scalar(255));
    cv::randu(larger, 0, 256);
    const cv::Rect where(30, 20, b.image.cols, b.image.rows);
    b.image.copyTo(larger(where));
    const cv::Mat region = larger(where);
    ASSERT_TRUE(region.isSubmatrix());
    for (bool upsample : {false, true}) {
        SCOPED_TRACE(upsample);
        FastX fx(detectorSettings(upsample));
        std::vector<cv::Mat> rotatedA, mapsA, rotatedB, mapsB;
        fx.detectImpl(b.image, rotatedA, mapsA, cv::Mat());
        fx.detectImpl(region, rotatedB, mapsB, cv::Mat());
        ASSERT_EQ(mapsA.size(), mapsB.size());
        for (size_t i = 0; i < mapsA.size(); ++i) {
            EXPECT_EQ(cv::norm(mapsA[i], mapsB[i], cv::NORM_INF), 0);
            EXPECT_EQ(cv::norm(rotatedA[i], rotatedB[i], cv::NORM_INF), 0);
        }
    }
}

TEST(FastXFeature2D, DetectAndDescriptors)
{
    const RenderedBoard b = renderBoard(cv::Size(7, 5), 6, 0, 0);
    FastX fx(detectorSettings(true));
    std::vector<cv::KeyPoint> kps;
    fx.detect(b.image, kps);
    ASSERT_GE(kps.size(), b.corners.size());

    std::vector<cv::KeyPoint> kps2;
    cv::Mat desc;
    fx.detectAndCompute(b.image, cv::noArray(), kps2, desc);
    ASSERT_EQ(kps2.size(), kps.size());
    ASSERT_EQ(desc.type(), CV_32FC1);
    ASSERT_EQ(desc.size(), cv::Size(2, static_cast<int>(kps.size())));
    for (int i = 0; i < desc.rows; ++i) {
        EXPECT_EQ(desc.at<float>(i, 0), kps2[i].pt.x);
        EXPECT_EQ(desc.at<float>(i, 1), kps2[i].pt.y);
    }
    EXPECT_EQ(fx.descriptorSize(), 0);
    EXPECT_EQ(fx.descriptorType(), 0);

    cv::Mat none = cv::Mat::ones(3, 3, CV_8U);
    std::vector<cv::KeyPoint> kps3;
    fx.detectWithoutDescriptors(b.image, kps3, none);
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(kps3.size(), kps.size());
}
