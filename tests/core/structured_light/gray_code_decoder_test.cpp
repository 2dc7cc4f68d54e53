#include "core/structured_light/gray_code_decoder.h"
#include "core/structured_light/gray_code_pattern.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>

#include <cmath>
#include <limits>

namespace {

std::vector<cv::Mat> patternImages(int width, int height)
{
    GrayCodeSequence seq(height, width);
    std::vector<cv::Mat> images;
    while (seq.index + 2 <= 4 * seq.maxBits + 2) {
        ++seq.index;
        cv::Mat image = seq.nextPattern();
        if (!image.empty())
            images.push_back(image.clone());
    }
    return images;
}

// The pattern images as a camera with a dim black level would see them:
// on = 200, off = 40, so every pixel has strong direct light.
std::vector<cv::Mat> capturedLike(const std::vector<cv::Mat>& patterns)
{
    std::vector<cv::Mat> out;
    for (const cv::Mat& p : patterns) {
        cv::Mat c;
        p.convertTo(c, CV_8U, 160.0 / 255.0, 40);
        out.push_back(c);
    }
    return out;
}

} // namespace

// The generator's own images used as captures decode to x = column and
// y = row exactly, with and without the robust classification.
TEST(GrayCodeDecoder, GeneratorImagesDecodeToTheirOwnPixels)
{
    struct Case {
        int width, height;
    } cases[] = {{1024, 768}, {1280, 800}, {200, 37}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        const std::vector<cv::Mat> images = capturedLike(patternImages(c.width, c.height));
        for (const bool robust : {false, true}) {
            SCOPED_TRACE(robust ? "robust" : "plain");
            cv::Mat decoded, minMax;
            DecodeResult r;
            if (robust) {
                r = decodeImageSetImages(
                    static_cast<int>(images.size()), [&](int i) { return images[static_cast<size_t>(i)]; },
                    decoded, minMax, cv::Size(c.width, c.height), 0.0f, 5);
            } else {
                std::string error;
                r.ok = decodeGrayCode(images, decoded, minMax, cv::Size(c.width, c.height), DecodeToProjector,
                                      cv::Mat(), 0, &error);
                r.error = error;
            }
            if (c.height < 40 && robust) {
                // 37 rows have 6 bits: 2 + 2 * (8 + 6) = 30 images is enough for the estimate.
            }
            ASSERT_TRUE(r.ok) << r.error;
            ASSERT_EQ(decoded.type(), CV_32FC2);
            ASSERT_EQ(minMax.type(), CV_8UC2);
            int wrong = 0;
            for (int y = 0; y < c.height; ++y)
                for (int x = 0; x < c.width; ++x) {
                    const cv::Vec2f d = decoded.at<cv::Vec2f>(y, x);
                    wrong += d[0] != x || d[1] != y;
                }
            EXPECT_EQ(wrong, 0);
            EXPECT_EQ(minMax.at<cv::Vec2b>(0, 0), cv::Vec2b(40, 200));
        }
    }
}

TEST(GrayCodeDecoder, DirectGlobalSeparationFollowsTheFormulas)
{
    const cv::Size size(3, 1);
    // Pixel 0: levels 50 .. 60; pixel 1: 55 .. 60; pixel 2: a constant 255.
    const int levels[8][3] = {{50, 55, 255}, {60, 60, 255}, {52, 57, 255}, {58, 58, 255},
                              {55, 56, 255}, {51, 59, 255}, {59, 55, 255}, {53, 60, 255}};
    std::vector<cv::Mat> images;
    for (const auto& l : levels) {
        cv::Mat m(size, CV_8UC1);
        for (int c = 0; c < 3; ++c)
            m.at<uchar>(0, c) = static_cast<uchar>(l[c]);
        images.push_back(m);
    }
    const cv::Mat dg = separateDirectGlobal(images, 0.7f);
    ASSERT_EQ(dg.type(), CV_8UC2);
    EXPECT_EQ(dg.at<cv::Vec2b>(0, 0), cv::Vec2b(33, 31));
    EXPECT_EQ(dg.at<cv::Vec2b>(0, 1), cv::Vec2b(16, 50));
    // Lg' = (255 - 178.5) * 3.92 = 300 saturates to 255 instead of wrapping.
    EXPECT_EQ(dg.at<cv::Vec2b>(0, 2), cv::Vec2b(0, 255));

    // Bad inputs give an empty map, never a read outside an image.
    EXPECT_TRUE(separateDirectGlobal({}, 0.7f).empty());
    std::vector<cv::Mat> mixed = images;
    mixed[3] = cv::Mat(2, 3, CV_8UC1, cv::Scalar(1));
    EXPECT_TRUE(separateDirectGlobal(mixed, 0.7f).empty());
    mixed[3] = cv::Mat();
    EXPECT_TRUE(separateDirectGlobal(mixed, 0.7f).empty());
    mixed[3] = cv::Mat(size, CV_16UC1, cv::Scalar(1));
    EXPECT_TRUE(separateDirectGlobal(mixed, 0.7f).empty());
}

// A black level just below 1 (b = 1 - 2^-24) makes both factors 2^24: the
// estimates are far outside int before they are truncated, and must still
// come out as the formulas' values saturated to 0 .. 255.
TEST(GrayCodeDecoder, DirectGlobalSeparationWithABlackLevelNearlyWhite)
{
    const float b = 1.f - std::ldexp(1.f, -24);
    ASSERT_LT(b, 1.f);
    struct Case {
        const char* what;
        uchar lo, hi;
        cv::Vec2b expected;
    } cases[] = {
        // Lg' = (0 - 255 b) 2^24, about -4.3e9: no global light, Ld = Lmax.
        {"full contrast", 0, 255, {255, 0}},
        {"one level of contrast", 100, 101, {101, 0}},
        // Lg' = 2 L / (1 + b) for a constant level L: Ld = 0, Lg saturated.
        {"constant 200", 200, 200, {0, 255}},
        {"constant 1", 1, 1, {0, 1}},
        {"black", 0, 0, {0, 0}},
    };
    const int n = static_cast<int>(sizeof(cases) / sizeof(cases[0]));
    cv::Mat first(1, n, CV_8UC1), second(1, n, CV_8UC1);
    for (int i = 0; i < n; ++i) {
        first.at<uchar>(0, i) = cases[i].lo;
        second.at<uchar>(0, i) = cases[i].hi;
    }
    const cv::Mat dg = separateDirectGlobal({first, second, first, second}, b);
    ASSERT_EQ(dg.type(), CV_8UC2);
    for (int i = 0; i < n; ++i) {
        SCOPED_TRACE(cases[i].what);
        EXPECT_EQ(dg.at<cv::Vec2b>(0, i), cases[i].expected);
    }
}

TEST(GrayCodeDecoder, EstimateImageIndices)
{
    EXPECT_EQ(directGlobalImageIndices(42, 4, 4), (std::vector<int>{14, 34, 15, 35, 16, 36, 17, 37}));
    EXPECT_TRUE(directGlobalImageIndices(16, 4, 4).empty());
    EXPECT_FALSE(directGlobalImageIndices(18, 4, 4).empty());
}

// The robust rule per pixel: weak direct light and ambiguous levels leave the
// channel undecided, strong global light decides by the levels' sides.
TEST(GrayCodeDecoder, RobustRuleDecidesOrRefuses)
{
    const cv::Size proj(4, 2); // 2 column bits, 1 row bit: 8 images
    struct Case {
        const char* what;
        uchar ld, lg, p, q;
        bool decided;
        int bit;
    } cases[] = {
        {"direct light below m", 4, 0, 200, 10, false, 0},
        {"direct above global, p > q", 60, 20, 120, 100, true, 1},
        {"direct above global, tie", 60, 20, 100, 100, true, 0},
        {"global dominates, p dark q bright", 16, 50, 10, 60, true, 0},
        {"global dominates, p bright q dark", 16, 50, 60, 10, true, 1},
        {"global dominates, ambiguous", 16, 50, 58, 55, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<cv::Mat> images(8, cv::Mat(1, 1, CV_8UC1, cv::Scalar(0)));
        // Every pair shows the case's levels.
        for (int k = 0; k < 3; ++k) {
            images[2 + 2 * k] = cv::Mat(1, 1, CV_8UC1, cv::Scalar(c.p));
            images[3 + 2 * k] = cv::Mat(1, 1, CV_8UC1, cv::Scalar(c.q));
        }
        const cv::Mat dg(1, 1, CV_8UC2, cv::Scalar(c.ld, c.lg));
        cv::Mat decoded, minMax;
        std::string error;
        ASSERT_TRUE(decodeGrayCode(images, decoded, minMax, proj, DecodeRobust, dg, 5, &error)) << error;
        const cv::Vec2f d = decoded.at<cv::Vec2f>(0, 0);
        if (!c.decided) {
            EXPECT_TRUE(std::isnan(d[0]) && std::isnan(d[1]));
        } else {
            EXPECT_EQ(d[0], c.bit ? 3.f : 0.f); // raw Gray code sum of bits 1 and 0
            EXPECT_EQ(d[1], c.bit ? 1.f : 0.f);
        }
        EXPECT_EQ(minMax.at<cv::Vec2b>(0, 0), cv::Vec2b(std::min(c.p, c.q), std::max(c.p, c.q)));
    }
}

// Random levels over a row long enough for the vectorised part and the
// remainder: every pixel follows the rule, checked pixel by pixel.
TEST(GrayCodeDecoder, EveryPixelFollowsTheRule)
{
    const cv::Size proj(8, 2); // 3 column bits, 1 row bit: 10 images
    const int width = 53;
    cv::RNG rng(11);
    for (const bool robust : {false, true})
        for (const int m : {0, 5, 40}) {
            SCOPED_TRACE(std::string(robust ? "robust" : "plain") + " m " + std::to_string(m));
            std::vector<cv::Mat> images(10, cv::Mat(3, width, CV_8UC1, cv::Scalar(0)));
            for (int i = 2; i < 10; ++i) {
                images[static_cast<size_t>(i)] = cv::Mat(3, width, CV_8UC1);
                rng.fill(images[static_cast<size_t>(i)], cv::RNG::UNIFORM, 0, 256);
            }
            cv::Mat dg(3, width, CV_8UC2);
            rng.fill(dg, cv::RNG::UNIFORM, 0, 256);
            cv::Mat decoded, minMax;
            ASSERT_TRUE(decodeGrayCode(images, decoded, minMax, proj, robust ? DecodeRobust : 0, dg, m));
            for (int r = 0; r < 3; ++r)
                for (int c = 0; c < width; ++c) {
                    float expected[2] = {0, 0};
                    int lo = 255, hi = 0;
                    for (int k = 0; k < 4; ++k) {
                        const int ch = k < 3 ? 0 : 1;
                        const int bit = k < 3 ? 2 - k : 0;
                        const int p = images[static_cast<size_t>(2 + 2 * k)].at<uchar>(r, c);
                        const int q = images[static_cast<size_t>(3 + 2 * k)].at<uchar>(r, c);
                        lo = std::min({lo, p, q});
                        hi = std::max({hi, p, q});
                        const int ld = dg.at<cv::Vec2b>(r, c)[0], lg = dg.at<cv::Vec2b>(r, c)[1];
                        int value = -1; // -1 undecided
                        if (!robust)
                            value = p > q;
                        else if (ld < m)
                            value = -1;
                        else if (ld > lg)
                            value = p > q;
                        else if (p <= ld && q >= lg)
                            value = 0;
                        else if (p >= lg && q <= ld)
                            value = 1;
                        if (value < 0 || std::isnan(expected[ch]))
                            expected[ch] = std::numeric_limits<float>::quiet_NaN();
                        else
                            expected[ch] += static_cast<float>(value << bit);
                    }
                    const cv::Vec2f d = decoded.at<cv::Vec2f>(r, c);
                    for (int ch = 0; ch < 2; ++ch) {
                        if (std::isnan(expected[ch]))
                            ASSERT_TRUE(std::isnan(d[ch])) << r << "," << c << " ch " << ch;
                        else
                            ASSERT_EQ(d[ch], expected[ch]) << r << "," << c << " ch " << ch;
                    }
                    ASSERT_EQ(minMax.at<cv::Vec2b>(r, c),
                              cv::Vec2b(static_cast<uchar>(lo), static_cast<uchar>(hi)));
                }
        }
}

// Full direct light (Ld = 255) over a row of vectorised and remaining
// pixels: an m of 255 decides every pixel, any larger m none, whatever the
// column.
TEST(GrayCodeDecoder, LeastDirectLightAboveEveryLevelDecidesNoPixel)
{
    const cv::Size proj(8, 2); // 3 column bits, 1 row bit: 10 images
    const int width = 37;
    std::vector<cv::Mat> images(10, cv::Mat(2, width, CV_8UC1, cv::Scalar(0)));
    for (int k = 0; k < 4; ++k)
        images[static_cast<size_t>(2 + 2 * k)] = cv::Mat(2, width, CV_8UC1, cv::Scalar(250));
    const cv::Mat dg(2, width, CV_8UC2, cv::Scalar(255, 0));
    for (const int m : {255, 256, 300, 1000}) {
        SCOPED_TRACE("m " + std::to_string(m));
        cv::Mat decoded, minMax;
        ASSERT_TRUE(decodeGrayCode(images, decoded, minMax, proj, DecodeRobust, dg, m));
        int decided = 0;
        for (int r = 0; r < decoded.rows; ++r)
            for (int c = 0; c < width; ++c) {
                const cv::Vec2f d = decoded.at<cv::Vec2f>(r, c);
                decided += !std::isnan(d[0]) + !std::isnan(d[1]);
            }
        EXPECT_EQ(decided, m <= 255 ? 2 * 2 * width : 0);
    }
}

TEST(GrayCodeDecoder, CodesOutsideTheProjectorAreClamped)
{
    // 1024 x 768: a row code below 128 gives 0, one of 896 or more gives 767.
    const cv::Size proj(1024, 768);
    std::vector<cv::Mat> images(42, cv::Mat(1, 2, CV_8UC1, cv::Scalar(0)));
    for (int k = 0; k < 20; ++k) {
        const int bit = k < 10 ? 9 - k : 9 - (k - 10);
        cv::Mat p(1, 2, CV_8UC1), q(1, 2, CV_8UC1);
        const std::uint32_t codes[2] = {grayEncode(5), grayEncode(1000)};
        for (int c = 0; c < 2; ++c) {
            const bool on = (codes[c] >> bit) & 1;
            p.at<uchar>(0, c) = on ? 200 : 20;
            q.at<uchar>(0, c) = on ? 20 : 200;
        }
        images[2 + 2 * k] = p;
        images[3 + 2 * k] = q;
    }
    cv::Mat decoded, minMax;
    ASSERT_TRUE(decodeGrayCode(images, decoded, minMax, proj, DecodeToProjector, cv::Mat(), 0));
    EXPECT_EQ(decoded.at<cv::Vec2f>(0, 0), cv::Vec2f(5, 0));
    EXPECT_EQ(decoded.at<cv::Vec2f>(0, 1), cv::Vec2f(1000, 767));
}

TEST(GrayCodeDecoder, BrokenSetsFailWithEmptyMaps)
{
    const cv::Size proj(64, 16); // 6 + 4 bits: 22 images
    const std::vector<cv::Mat> good = capturedLike(patternImages(64, 16));
    ASSERT_EQ(good.size(), 22u);
    struct Case {
        const char* what;
        std::function<void(std::vector<cv::Mat>&)> damage;
    } cases[] = {
        {"one image short", [](std::vector<cv::Mat>& v) { v.pop_back(); }},
        {"one image more", [](std::vector<cv::Mat>& v) { v.push_back(v.back()); }},
        {"unreadable pattern", [](std::vector<cv::Mat>& v) { v[9] = cv::Mat(); }},
        {"first pair of two sizes", [](std::vector<cv::Mat>& v) { v[3] = cv::Mat(8, 8, CV_8UC1); }},
        {"later pair of another size", [](std::vector<cv::Mat>& v) { v[14] = cv::Mat(8, 8, CV_8UC1); }},
        {"colour image", [](std::vector<cv::Mat>& v) { v[6] = cv::Mat(16, 64, CV_8UC3); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<cv::Mat> images = good;
        c.damage(images);
        cv::Mat decoded(3, 3, CV_32FC2), minMax(3, 3, CV_8UC2);
        std::string error;
        EXPECT_FALSE(decodeGrayCode(images, decoded, minMax, proj, DecodeToProjector, cv::Mat(), 0, &error));
        EXPECT_FALSE(error.empty());
        EXPECT_TRUE(decoded.empty());
        EXPECT_TRUE(minMax.empty());
    }
    // Robust mode needs a direct/global map of the image size.
    cv::Mat decoded, minMax;
    EXPECT_FALSE(decodeGrayCode(good, decoded, minMax, proj, DecodeAll, cv::Mat(4, 4, CV_8UC2), 0));
    // A set too short for the estimate.
    const DecodeResult r = decodeImageSetImages(
        16, [&](int i) { return good[static_cast<size_t>(i)]; }, decoded, minMax, proj, 0.7f, 5);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("8 images"), std::string::npos);
    // An abort between pairs.
    int calls = 0;
    const DecodeResult aborted = decodeGrayCode(
        22, [&](int i) { return good[static_cast<size_t>(i)]; }, decoded, minMax, proj, DecodeToProjector,
        cv::Mat(), 0, [&] { return ++calls > 2; });
    EXPECT_FALSE(aborted.ok);
    EXPECT_TRUE(decoded.empty());
}

TEST(GrayCodeDecoder, FilesAreReadFromDisk)
{
    QTemporaryDir dir;
    ASSERT_EQ(writeGrayCodePatterns(dir.path().toStdString(), 64, 16), 22);
    std::vector<std::string> files;
    for (int i = 0; i < 22; ++i)
        files.push_back(QString("%1/%2.png").arg(dir.path()).arg(i, 2, 10, QChar('0')).toStdString());
    cv::Mat decoded, minMax;
    ASSERT_TRUE(decodeGrayCode(files, decoded, minMax, cv::Size(64, 16), DecodeToProjector, cv::Mat(), 0));
    EXPECT_EQ(decoded.at<cv::Vec2f>(15, 63), cv::Vec2f(63, 15));
    files[5] = (dir.path() + "/missing.png").toStdString();
    EXPECT_FALSE(decodeGrayCode(files, decoded, minMax, cv::Size(64, 16), DecodeToProjector, cv::Mat(), 0));
    EXPECT_TRUE(loadGrayscaleImage(files[5]).empty());
}

#include "camproj_sim.h"

namespace {

// Share of the decided board pixels whose decoded projector pixel is exact /
// within one pixel of the projector pixel that lit them.
struct DecodeAccuracy {
    int boardPixels = 0, decided = 0, exact = 0, exactX = 0, exactY = 0, withinOne = 0;
};

DecodeAccuracy accuracy(const cv::Mat& decoded, const synth::CamProjSetTruth& truth)
{
    DecodeAccuracy a;
    for (int r = 0; r < decoded.rows; ++r)
        for (int c = 0; c < decoded.cols; ++c) {
            if (!truth.boardMask.at<uchar>(r, c))
                continue;
            const cv::Vec2f t = truth.projectorCoords.at<cv::Vec2f>(r, c);
            if (std::isnan(t[0]) || std::isnan(t[1]))
                continue;
            ++a.boardPixels;
            const cv::Vec2f d = decoded.at<cv::Vec2f>(r, c);
            if (std::isnan(d[0]) || std::isnan(d[1]))
                continue;
            ++a.decided;
            const float dx = std::abs(d[0] - std::round(t[0])), dy = std::abs(d[1] - std::round(t[1]));
            a.exact += dx == 0 && dy == 0;
            a.exactX += dx == 0;
            a.exactY += dy == 0;
            a.withinOne += dx <= 1 && dy <= 1;
        }
    return a;
}

} // namespace

// Captures of a simulated rig whose scattering washes out the finest stripes:
// the decided board pixels decode to the projector pixel that lit them.
TEST(GrayCodeDecoder, SimulatedRigDecodesBoardPixelsToTheirProjectorPixels)
{
    const synth::CamProjRig rig = synth::makeCamProjRig();
    const synth::CamProjScene scene;
    const std::vector<synth::View> views = synth::camProjViews(rig, scene, 2, 7);
    const double kMinWithinOne = 0.99, kMinExact = 0.95, kMinDecided = 0.8;
    for (size_t v = 0; v < views.size(); ++v) {
        SCOPED_TRACE("pose " + std::to_string(v));
        synth::CamProjSetTruth truth;
        const std::vector<cv::Mat> images = synth::renderCamProjSet(rig, scene, views[v], &truth);
        cv::Mat decoded, minMax;
        const DecodeResult r = decodeImageSetImages(
            static_cast<int>(images.size()), [&](int i) { return images[static_cast<size_t>(i)]; }, decoded,
            minMax, rig.projector.size, 0.7f, 5);
        ASSERT_TRUE(r.ok) << r.error;
        const DecodeAccuracy a = accuracy(decoded, truth);
        ASSERT_GT(a.boardPixels, 10000);
        EXPECT_GE(a.decided, kMinDecided * a.boardPixels) << a.decided << " of " << a.boardPixels;
        EXPECT_GE(a.withinOne, kMinWithinOne * a.decided) << a.withinOne << " of " << a.decided;
        EXPECT_GE(a.exact, kMinExact * a.decided) << a.exact << " of " << a.decided;
        std::printf("pose %zu: decided %.4f of the board, within 1 px %.5f, x exact %.4f, y exact %.4f, "
                    "both exact %.4f\n",
                    v, double(a.decided) / a.boardPixels, double(a.withinOne) / a.decided,
                    double(a.exactX) / a.decided, double(a.exactY) / a.decided, double(a.exact) / a.decided);
    }
}
