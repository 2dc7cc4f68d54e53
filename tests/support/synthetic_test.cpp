// The synthetic chessboard renderer is the ground truth of many tests: check
// that what it draws sits where projectBoard says, using OpenCV's classic
// detector with sub-pixel refinement as an independent measurement.
#include "synthetic.h"

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>

TEST(Synthetic, RenderedCornersMatchProjectedTruth)
{
    const cv::Size pattern(9, 6);
    const double square = 25;
    struct Case {
        const char* what;
        synth::Camera cam;
    };
    const Case cases[] = {
        {"pinhole", synth::makeCamera({800, 600}, 700)},
        {"barrel distortion", synth::makeCamera({1280, 960}, 1100, {-0.25, 0.08, 0.001, -0.0005, 0})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto views = synth::boardViews(c.cam, pattern, square, 3, 7);
        ASSERT_EQ(views.size(), 3u);
        for (const auto& v : views) {
            synth::RenderOptions o;
            o.supersample = 8;
            o.blurSigma = 0.8;
            const cv::Mat img = synth::renderChessboard(c.cam, pattern, square, v, o);
            ASSERT_EQ(img.size(), c.cam.size);
            ASSERT_EQ(img.type(), CV_8UC1);
            const auto truth = synth::projectBoard(c.cam, pattern, square, v);
            std::vector<cv::Point2f> found;
            ASSERT_TRUE(cv::findChessboardCorners(img, pattern, found));
            cv::cornerSubPix(img, found, {5, 5}, {-1, -1},
                             cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 100, 1e-4));
            // the classic detector may start from either end of the board
            if (cv::norm(found.front() - truth.front()) > cv::norm(found.back() - truth.front()))
                std::reverse(found.begin(), found.end());
            double worst = 0;
            cv::Point2d bias(0, 0);
            for (size_t i = 0; i < truth.size(); ++i) {
                worst = std::max(worst, (double)cv::norm(found[i] - truth[i]));
                bias += cv::Point2d(found[i] - truth[i]) / double(truth.size());
            }
            EXPECT_LT(worst, 0.12);
            EXPECT_LT(cv::norm(bias), 0.02);
        }
    }
}

TEST(Synthetic, NoiseAndColourOptionsAreDeterministic)
{
    const auto cam = synth::makeCamera({640, 480}, 600);
    const auto views = synth::boardViews(cam, {7, 5}, 30, 1, 3);
    synth::RenderOptions o;
    o.noiseSigma = 3;
    o.blurSigma = 0.8;
    o.lightGradient = 0.3;
    o.colour = true;
    const cv::Mat a = synth::renderChessboard(cam, {7, 5}, 30, views[0], o);
    const cv::Mat b = synth::renderChessboard(cam, {7, 5}, 30, views[0], o);
    ASSERT_EQ(a.type(), CV_8UC3);
    EXPECT_EQ(cv::norm(a, b, cv::NORM_INF), 0);
}

// The lens grid is kept per camera: cameras that differ only in their
// distortion, rendered in turn, each draw the board where their own
// projection puts it, and a camera rendered again draws the same image.
TEST(Synthetic, EachCameraRendersWithItsOwnLens)
{
    const cv::Size pattern(7, 5);
    const double square = 30;
    const synth::Camera barrel = synth::makeCamera({640, 480}, 600, {-0.3, 0.1, 0, 0, 0});
    synth::Camera pinhole = barrel;
    pinhole.kc = cv::Mat();
    const synth::View view = synth::boardViews(barrel, pattern, square, 1, 5)[0];
    const auto barrelTruth = synth::projectBoard(barrel, pattern, square, view);
    const auto pinholeTruth = synth::projectBoard(pinhole, pattern, square, view);
    double apart = 0;
    for (size_t i = 0; i < barrelTruth.size(); ++i)
        apart = std::max(apart, (double)cv::norm(barrelTruth[i] - pinholeTruth[i]));
    ASSERT_GT(apart, 2.0) << "the case needs lenses that move the corners";

    cv::Mat first;
    const synth::Camera* order[] = {&barrel, &pinhole, &barrel};
    for (const synth::Camera* cam : order) {
        const bool isBarrel = cam == &barrel;
        SCOPED_TRACE(isBarrel ? "barrel" : "pinhole");
        const cv::Mat img = synth::renderChessboard(*cam, pattern, square, view);
        const auto& truth = isBarrel ? barrelTruth : pinholeTruth;
        std::vector<cv::Point2f> found;
        ASSERT_TRUE(cv::findChessboardCorners(img, pattern, found));
        cv::cornerSubPix(img, found, {5, 5}, {-1, -1},
                         cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 100, 1e-4));
        if (cv::norm(found.front() - truth.front()) > cv::norm(found.back() - truth.front()))
            std::reverse(found.begin(), found.end());
        double worst = 0;
        for (size_t i = 0; i < truth.size(); ++i)
            worst = std::max(worst, (double)cv::norm(found[i] - truth[i]));
        EXPECT_LT(worst, 0.2);
        if (isBarrel) {
            if (first.empty())
                first = img;
            else
                EXPECT_EQ(cv::norm(first, img, cv::NORM_INF), 0);
        }
    }
}
