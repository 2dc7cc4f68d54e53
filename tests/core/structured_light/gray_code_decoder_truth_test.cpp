// Decoding checked against an independent truth: the simulated camera-projector
// rig of the test support library renders the captures from the scene's
// geometry and knows which projector pixel lit every camera pixel.
#include "camproj_sim.h"
#include "core/structured_light/gray_code_decoder.h"
#include "core/structured_light/gray_code_pattern.h"
#include "core/structured_light/projector_corners.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <cmath>

namespace {

// Defaults of the dialog's decoding options.
constexpr float kDialogB = 0.70f;
constexpr int kDialogM = 5;

struct Score {
    long board = 0;     // board pixels the projector lights
    long decided = 0;   // of those, both channels decided
    long exact = 0;     // of those, x and y equal to the lit projector pixel
    long withinOne = 0; // of those, x and y within one projector pixel
    long unlit = 0;     // pixels the projector does not reach
    long unlitDecided = 0;

    double decidedShare() const { return board ? double(decided) / board : 0; }
    double exactShare() const { return decided ? double(exact) / decided : 0; }
    double withinOneShare() const { return decided ? double(withinOne) / decided : 0; }
    double unlitDecidedShare() const { return unlit ? double(unlitDecided) / unlit : 0; }
    void add(const Score& o)
    {
        board += o.board;
        decided += o.decided;
        exact += o.exact;
        withinOne += o.withinOne;
        unlit += o.unlit;
        unlitDecided += o.unlitDecided;
    }
};

::testing::AssertionResult mapsValid(const cv::Mat& decoded, const cv::Mat& minMax, cv::Size size)
{
    if (decoded.type() != CV_32FC2 || decoded.size() != size)
        return ::testing::AssertionFailure() << "decoded map not CV_32FC2 of the camera size";
    if (minMax.type() != CV_8UC2 || minMax.size() != size)
        return ::testing::AssertionFailure() << "min/max map not CV_8UC2 of the camera size";
    return ::testing::AssertionSuccess();
}

Score score(const cv::Mat& decoded, const synth::CamProjSetTruth& truth)
{
    Score s;
    for (int y = 0; y < decoded.rows; ++y)
        for (int x = 0; x < decoded.cols; ++x) {
            const cv::Vec2f t = truth.projectorCoords.at<cv::Vec2f>(y, x);
            const cv::Vec2f d = decoded.at<cv::Vec2f>(y, x);
            const bool decided = !std::isnan(d[0]) && !std::isnan(d[1]);
            if (std::isnan(t[0])) {
                ++s.unlit;
                s.unlitDecided += decided;
                continue;
            }
            if (!truth.boardMask.at<uchar>(y, x))
                continue;
            ++s.board;
            if (!decided)
                continue;
            ++s.decided;
            const double dx = std::abs(d[0] - std::round(t[0])), dy = std::abs(d[1] - std::round(t[1]));
            s.exact += dx == 0 && dy == 0;
            s.withinOne += dx <= 1 && dy <= 1;
        }
    return s;
}

std::string describe(const Score& s)
{
    return cv::format("board %ld, decided %.4f, exact %.4f, within 1 px %.4f, unlit %ld decided %.4f",
                      s.board, s.decidedShare(), s.exactShare(), s.withinOneShare(), s.unlit,
                      s.unlitDecidedShare());
}

bool decodeInMemory(const std::vector<cv::Mat>& images, cv::Size projector, float b, int m, bool robust,
                    cv::Mat& decoded, cv::Mat& minMax)
{
    if (robust)
        return decodeImageSetImages(
                   int(images.size()), [&](int i) { return images[size_t(i)]; }, decoded, minMax, projector,
                   b, m)
            .ok;
    return decodeGrayCode(images, decoded, minMax, projector, DecodeToProjector, cv::Mat(), 0);
}

} // namespace

// The program's generator draws the same images as the support library's
// copy written from the pattern definition alone.
TEST(GrayCodeDecoderTruth, GeneratorAgreesWithIndependentPatterns)
{
    for (const cv::Size size : {cv::Size(1024, 768), cv::Size(1280, 800), cv::Size(2048, 512),
                                cv::Size(37, 19), cv::Size(2, 5), cv::Size(1, 1)}) {
        SCOPED_TRACE(cv::format("%dx%d", size.width, size.height));
        GrayCodeSequence seq(size.height, size.width);
        std::vector<cv::Mat> images;
        while (seq.index + 2 <= 4 * seq.maxBits + 2) {
            ++seq.index;
            const cv::Mat image = seq.nextPattern();
            if (!image.empty())
                images.push_back(image.clone());
        }
        ASSERT_EQ(int(images.size()), synth::grayPatternCount(size));
        for (size_t k = 0; k < images.size(); ++k) {
            SCOPED_TRACE(k);
            const cv::Mat expected = synth::grayPattern(size, int(k));
            ASSERT_EQ(images[k].size(), expected.size());
            ASSERT_EQ(images[k].type(), CV_8UC1);
            EXPECT_EQ(cv::countNonZero(images[k] != expected), 0);
        }
    }
}

// Sets written by the simulated rig and read from their files, decoded with
// the dialog's options: nearly every lit board pixel is decided; among the
// decided ones at least 99 % lie within one projector pixel of the truth and
// at least 95 % hit it exactly. Reading from memory gives the same maps.
TEST(GrayCodeDecoderTruth, SimulatedSetsDecodeToTheLitProjectorPixels)
{
    const double minDecided = 0.98, minWithinOne = 0.99, minExact = 0.95;
    const auto rig = synth::makeCamProjRig();
    const synth::CamProjScene scene;
    const auto views = synth::camProjViews(rig, scene, 3, 21);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const auto truth = synth::writeCamProjSets(dir.path().toStdString(), rig, scene, views);
    ASSERT_EQ(truth.sets.size(), views.size());
    const int n = grayCodeImageCount(rig.projector.size.width, rig.projector.size.height);
    ASSERT_EQ(n, 42);

    Score total;
    for (size_t i = 0; i < truth.sets.size(); ++i) {
        SCOPED_TRACE("set " + std::to_string(i));
        std::vector<std::string> files;
        for (int k = 0; k < n; ++k)
            files.push_back(truth.setFolders[i] + cv::format("/%02d.png", k));
        cv::Mat decoded, minMax;
        const DecodeResult r = decodeImageSetImages(
            n, [&](int k) { return loadGrayscaleImage(files[size_t(k)]); }, decoded, minMax,
            rig.projector.size, kDialogB, kDialogM);
        ASSERT_TRUE(r.ok) << r.error;
        ASSERT_TRUE(mapsValid(decoded, minMax, rig.camera.size));
        const Score s = score(decoded, truth.sets[i]);
        SCOPED_TRACE(describe(s));
        EXPECT_GE(s.decidedShare(), minDecided);
        EXPECT_GE(s.withinOneShare(), minWithinOne);
        EXPECT_GE(s.exactShare(), minExact);
        total.add(s);

        if (i == 0) {
            const auto images = synth::renderCamProjSet(rig, scene, views[0]);
            cv::Mat fromMemory, minMaxFromMemory;
            ASSERT_TRUE(decodeInMemory(images, rig.projector.size, kDialogB, kDialogM, true, fromMemory,
                                       minMaxFromMemory));
            EXPECT_EQ(cv::norm(minMax, minMaxFromMemory, cv::NORM_INF), 0);
            cv::Mat a = decoded.clone(), b = fromMemory.clone();
            cv::patchNaNs(a, -1);
            cv::patchNaNs(b, -1);
            EXPECT_EQ(cv::norm(a, b, cv::NORM_INF), 0);
        }
    }
    RecordProperty("accuracy", describe(total));
}

// Stronger short-range scattering washes out the finest stripes: fewer pixels
// hit the lit projector pixel exactly, but the misread bits are the least
// significant ones, so the decided pixels still land within one projector
// pixel of the truth.
TEST(GrayCodeDecoderTruth, WashedOutFinestBitsCostAtMostOnePixel)
{
    const double minWithinOne = 0.99;
    const auto rig = synth::makeCamProjRig();
    synth::CamProjScene mild, strong;
    strong.light.scatter = 0.85;
    strong.light.scatterSigmaMm = 1.2;
    const auto views = synth::camProjViews(rig, mild, 1, 5);
    Score scores[2];
    for (int heavy = 0; heavy < 2; ++heavy) {
        SCOPED_TRACE(heavy ? "strong scattering" : "mild scattering");
        synth::CamProjSetTruth truth;
        const auto images = synth::renderCamProjSet(rig, heavy ? strong : mild, views[0], &truth);
        cv::Mat decoded, minMax;
        ASSERT_TRUE(decodeInMemory(images, rig.projector.size, kDialogB, kDialogM, true, decoded, minMax));
        scores[heavy] = score(decoded, truth);
        SCOPED_TRACE(describe(scores[heavy]));
        EXPECT_GE(scores[heavy].withinOneShare(), minWithinOne);
    }
    EXPECT_LT(scores[1].exactShare(), scores[0].exactShare() - 0.02)
        << "the stronger scattering changed nothing";
}

// The direct/global classification, given the projector's true black level,
// leaves most pixels the projector never reaches (the board's shadow on the
// wall, the wall beyond the projector's image) undecided, where comparing
// pattern and inverse alone reads a code out of the noise for nearly all of
// them. The lit board stays decided as accurately.
TEST(GrayCodeDecoderTruth, DirectGlobalSeparationRefusesUnlitPixels)
{
    const double maxUnlitDecidedRobust = 0.25, minUnlitDecidedPlain = 0.95;
    const double minDecided = 0.98, minWithinOne = 0.99, minExact = 0.95;
    const auto rig = synth::makeCamProjRig();
    const synth::CamProjScene scene;
    const auto views = synth::camProjViews(rig, scene, 1, 8);
    synth::CamProjSetTruth truth;
    const auto images = synth::renderCamProjSet(rig, scene, views[0], &truth);
    const float trueBlack = float(scene.light.projectorBlack);
    for (const bool robust : {false, true}) {
        SCOPED_TRACE(robust ? "direct/global classification" : "pattern against inverse");
        cv::Mat decoded, minMax;
        ASSERT_TRUE(decodeInMemory(images, rig.projector.size, trueBlack, kDialogM, robust, decoded, minMax));
        const Score s = score(decoded, truth);
        SCOPED_TRACE(describe(s));
        ASSERT_GT(s.unlit, rig.camera.size.area() / 20);
        if (robust)
            EXPECT_LE(s.unlitDecidedShare(), maxUnlitDecidedRobust);
        else
            EXPECT_GE(s.unlitDecidedShare(), minUnlitDecidedPlain);
        EXPECT_GE(s.decidedShare(), minDecided);
        EXPECT_GE(s.withinOneShare(), minWithinOne);
        EXPECT_GE(s.exactShare(), minExact);
    }
}

// Projector corners fitted by local homographies on the decoded simulated sets
// lie within 0.2 projector pixels RMS of the exact projector corners.
TEST(GrayCodeDecoderTruth, ProjectorCornersFromDecodedSetsMatchTheTruth)
{
    const double maxRmsPx = 0.2, maxFailedShare = 0.02;
    const auto rig = synth::makeCamProjRig();
    const synth::CamProjScene scene;
    const auto views = synth::camProjViews(rig, scene, 2, 33);
    double sq = 0;
    long found = 0, failed = 0;
    for (size_t i = 0; i < views.size(); ++i) {
        SCOPED_TRACE("set " + std::to_string(i));
        synth::CamProjSetTruth truth;
        const auto images = synth::renderCamProjSet(rig, scene, views[i], &truth);
        cv::Mat decoded, minMax;
        ASSERT_TRUE(decodeInMemory(images, rig.projector.size, kDialogB, kDialogM, true, decoded, minMax));
        std::vector<cv::Point2f> proj;
        std::vector<int> failedCorners;
        extractProjectorCorners(decoded, minMax, truth.cameraCorners, proj, failedCorners,
                                ProjectorCornerOptions());
        ASSERT_EQ(proj.size() + failedCorners.size(), truth.cameraCorners.size());
        size_t f = 0;
        for (size_t c = 0, p = 0; c < truth.cameraCorners.size(); ++c) {
            if (f < failedCorners.size() && failedCorners[f] == int(c)) {
                ++f;
                continue;
            }
            sq += std::pow(cv::norm(proj[p++] - truth.projectorCorners[c]), 2);
            ++found;
        }
        failed += long(failedCorners.size());
    }
    ASSERT_GT(found, 0);
    const double rms = std::sqrt(sq / double(found));
    EXPECT_LT(rms, maxRmsPx);
    EXPECT_LE(double(failed) / double(found + failed), maxFailedShare);
    RecordProperty("projector_corner_rms_px", cv::format("%.4f", rms));
}
