// The simulated camera-projector rig is the ground truth of the structured
// light tests: check its pattern sequence against the code rules, its truth
// map against the projected corners, and its captures against the truth with
// the plainest possible per-bit reading.
#include "camproj_sim.h"

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <QTemporaryDir>

#include <cmath>
#include <filesystem>

namespace {

TEST(CamProjSim, BitCountsOffsetsAndSequenceLength)
{
    const struct {
        int n, bits;
    } bits[] = {{1, 1}, {2, 1}, {3, 2}, {768, 10}, {800, 10}, {1024, 10}, {1025, 11}, {1280, 11}};
    for (const auto& c : bits) {
        SCOPED_TRACE(c.n);
        EXPECT_EQ(synth::grayBits(c.n), c.bits);
    }
    EXPECT_EQ(synth::grayOffset(1024), 0);
    EXPECT_EQ(synth::grayOffset(768), 128);
    EXPECT_EQ(synth::grayOffset(1280), 384);
    EXPECT_EQ(synth::grayOffset(800), 112);
    EXPECT_EQ(synth::grayPatternCount({1024, 768}), 42);
    EXPECT_EQ(synth::grayPatternCount({1280, 800}), 44);
    EXPECT_EQ(synth::grayPatternCount({2048, 512}), 42);
    EXPECT_THROW(synth::grayPattern({1024, 768}, 42), std::out_of_range);
    EXPECT_THROW(synth::grayPattern({1024, 768}, -1), std::out_of_range);
}

// Reading every pattern pair of a projector pixel back (bit 1 where the
// pattern is brighter than its inverse) and undoing the Gray code gives the
// pixel's column and row; stripes run the right way; neighbours differ in one
// pattern only.
TEST(CamProjSim, PatternsCodeEveryProjectorPixel)
{
    for (const cv::Size size : {cv::Size(1024, 768), cv::Size(1280, 800), cv::Size(37, 2)}) {
        SCOPED_TRACE(cv::format("%dx%d", size.width, size.height));
        const int n = synth::grayPatternCount(size);
        std::vector<cv::Mat> p;
        for (int k = 0; k < n; ++k)
            p.push_back(synth::grayPattern(size, k));
        EXPECT_EQ(cv::countNonZero(p[0] != 255), 0);
        EXPECT_EQ(cv::countNonZero(p[1]), 0);
        const int cb = synth::grayBits(size.width), rb = synth::grayBits(size.height);
        for (int k = 0; k < cb + rb; ++k) {
            EXPECT_EQ(cv::countNonZero(p[2 + 2 * k] + p[3 + 2 * k] != 255), 0) << "pair " << k;
            const bool columns = k < cb;
            // column patterns are constant down each column, row patterns along each row
            cv::Mat reduced;
            cv::reduce(p[2 + 2 * k], reduced, columns ? 0 : 1, cv::REDUCE_MIN);
            cv::Mat reducedMax;
            cv::reduce(p[2 + 2 * k], reducedMax, columns ? 0 : 1, cv::REDUCE_MAX);
            EXPECT_EQ(cv::countNonZero(reduced != reducedMax), 0) << "pair " << k;
        }
        auto decode = [&](int r, int c, bool columns) {
            const int first = columns ? 0 : cb, count = columns ? cb : rb;
            unsigned g = 0;
            for (int k = first; k < first + count; ++k)
                g = (g << 1) | (p[2 + 2 * k].at<uchar>(r, c) > p[3 + 2 * k].at<uchar>(r, c) ? 1u : 0u);
            unsigned b = g;
            for (unsigned s = g >> 1; s; s >>= 1)
                b ^= s;
            return int(b);
        };
        for (int c = 0; c < size.width; ++c)
            ASSERT_EQ(decode(0, c, true) - synth::grayOffset(size.width), c);
        for (int r = 0; r < size.height; ++r)
            ASSERT_EQ(decode(r, 0, false) - synth::grayOffset(size.height), r);
        for (int c = 1; c < size.width; ++c) {
            int changes = 0;
            for (int k = 0; k < cb; ++k)
                changes += p[2 + 2 * k].at<uchar>(0, c) != p[2 + 2 * k].at<uchar>(0, c - 1);
            ASSERT_EQ(changes, 1) << "column " << c;
        }
    }
    // the most significant column pattern of 1024 columns turns on at code 512
    const cv::Mat msb = synth::grayPattern({1024, 768}, 2);
    EXPECT_EQ(msb.at<uchar>(0, 511), 0);
    EXPECT_EQ(msb.at<uchar>(0, 512), 255);
    // projector row 0 carries code 128 (offset of 768 rows): 0b0010000000, Gray 0b0011000000
    EXPECT_EQ(synth::grayPattern({1024, 768}, 22).at<uchar>(0, 0), 0);   // row bit 9
    EXPECT_EQ(synth::grayPattern({1024, 768}, 24).at<uchar>(0, 0), 0);   // row bit 8
    EXPECT_EQ(synth::grayPattern({1024, 768}, 26).at<uchar>(0, 0), 255); // row bit 7
    EXPECT_EQ(synth::grayPattern({1024, 768}, 28).at<uchar>(0, 0), 255); // row bit 6
    EXPECT_EQ(synth::grayPattern({1024, 768}, 30).at<uchar>(0, 0), 0);   // row bit 5
}

class CamProjSimScene : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        rig = new synth::CamProjRig(synth::makeCamProjRig());
        scene = new synth::CamProjScene();
        views = new std::vector<synth::View>(synth::camProjViews(*rig, *scene, 3, 11));
        truth = new synth::CamProjSetTruth();
        images = new std::vector<cv::Mat>(synth::renderCamProjSet(*rig, *scene, views->at(0), truth));
    }
    static void TearDownTestSuite()
    {
        delete rig;
        delete scene;
        delete views;
        delete truth;
        delete images;
    }
    static synth::CamProjRig* rig;
    static synth::CamProjScene* scene;
    static std::vector<synth::View>* views;
    static synth::CamProjSetTruth* truth;
    static std::vector<cv::Mat>* images;
};
synth::CamProjRig* CamProjSimScene::rig = nullptr;
synth::CamProjScene* CamProjSimScene::scene = nullptr;
std::vector<synth::View>* CamProjSimScene::views = nullptr;
synth::CamProjSetTruth* CamProjSimScene::truth = nullptr;
std::vector<cv::Mat>* CamProjSimScene::images = nullptr;

TEST_F(CamProjSimScene, RigAndViewsAsRequested)
{
    EXPECT_NEAR(rig->baseline(), 220, 1e-9);
    EXPECT_NE(rig->camera.size, rig->projector.size);
    EXPECT_NE(rig->camera.K(0, 0), rig->projector.K(0, 0));
    EXPECT_NEAR(cv::determinant(rig->R_proj_cam), 1.0, 1e-12);
    ASSERT_EQ(views->size(), 3u);
    for (const auto& v : *views) {
        const auto t = synth::camProjTruth(*rig, *scene, v);
        ASSERT_EQ(t.cameraCorners.size(), 54u);
        ASSERT_EQ(t.projectorCorners.size(), 54u);
        for (const auto& p : t.projectorCorners) {
            EXPECT_GT(p.x, 20);
            EXPECT_GT(p.y, 20);
            EXPECT_LT(p.x, rig->projector.size.width - 21);
            EXPECT_LT(p.y, rig->projector.size.height - 21);
        }
        // the board covers a good share of the camera image
        EXPECT_GT(cv::countNonZero(t.boardMask), rig->camera.size.area() / 12);
    }
    // projector corners agree with the corners the rig's pose and projector model give
    const auto& t = *truth;
    cv::Matx33d Rb;
    cv::Rodrigues(t.view.rvec, Rb);
    std::vector<cv::Point3d> inCamera;
    for (const auto& p : t.objectPoints)
        inCamera.push_back(cv::Point3d(Rb * cv::Vec3d(p.x, p.y, p.z) + t.view.tvec));
    std::vector<cv::Point2d> proj;
    cv::Vec3d rvec;
    cv::Rodrigues(rig->R_proj_cam, rvec);
    cv::projectPoints(inCamera, rvec, rig->t_proj_cam, cv::Mat(rig->projector.K), rig->projector.kc, proj);
    for (size_t i = 0; i < proj.size(); ++i)
        EXPECT_LT(cv::norm(cv::Point2d(t.projectorCorners[i]) - proj[i]), 1e-3);
}

// The per-pixel truth, sampled at the exact camera corners, lands on the
// exact projector corners: both come from the same geometry by different roads
// (ray casting per pixel, point projection per corner).
TEST_F(CamProjSimScene, TruthMapAgreesWithProjectedCorners)
{
    const double tolPx = 0.02;
    const cv::Mat& map = truth->projectorCoords;
    for (size_t i = 0; i < truth->cameraCorners.size(); ++i) {
        const cv::Point2f c = truth->cameraCorners[i];
        const int x0 = int(std::floor(c.x)), y0 = int(std::floor(c.y));
        const float fx = c.x - x0, fy = c.y - y0;
        cv::Vec2f v(0, 0);
        for (int dy = 0; dy <= 1; ++dy)
            for (int dx = 0; dx <= 1; ++dx) {
                const cv::Vec2f m = map.at<cv::Vec2f>(y0 + dy, x0 + dx);
                ASSERT_FALSE(std::isnan(m[0]));
                ASSERT_EQ(truth->boardMask.at<uchar>(y0 + dy, x0 + dx), 255);
                v += m * ((dx ? fx : 1 - fx) * (dy ? fy : 1 - fy));
            }
        EXPECT_NEAR(v[0], truth->projectorCorners[i].x, tolPx) << "corner " << i;
        EXPECT_NEAR(v[1], truth->projectorCorners[i].y, tolPx) << "corner " << i;
    }
    // truth values stay inside the projector image
    cv::Mat ch[2];
    cv::split(map, ch);
    cv::Mat valid = ch[0] == ch[0];
    double lo, hi;
    cv::minMaxLoc(ch[0], &lo, &hi, nullptr, nullptr, valid);
    EXPECT_GE(lo, -0.5);
    EXPECT_LT(hi, rig->projector.size.width - 0.5);
    // the wall behind the board is lit too, except in the board's shadow
    const int wallLit = cv::countNonZero(valid & (truth->boardMask == 0));
    EXPECT_GT(wallLit, rig->camera.size.area() / 10);
}

// OpenCV's classic detector finds the board in the capture under white light
// where the truth says.
TEST_F(CamProjSimScene, BoardFoundInWhiteCapture)
{
    const double maxRmsPx = 0.15;
    std::vector<cv::Point2f> found;
    ASSERT_TRUE(
        cv::findChessboardCorners(images->at(0), scene->pattern, found, cv::CALIB_CB_ADAPTIVE_THRESH));
    cv::cornerSubPix(images->at(0), found, {5, 5}, {-1, -1},
                     cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 100, 1e-4));
    if (cv::norm(found.front() - truth->cameraCorners.front()) >
        cv::norm(found.back() - truth->cameraCorners.front()))
        std::reverse(found.begin(), found.end());
    double sq = 0;
    for (size_t i = 0; i < found.size(); ++i)
        sq += std::pow(cv::norm(found[i] - truth->cameraCorners[i]), 2);
    EXPECT_LT(std::sqrt(sq / found.size()), maxRmsPx);
}

// The plainest reading of the captures (bit 1 where the pattern capture is
// brighter than the inverse one) recovers the truth on the white parts of the
// board, while the scattering weakens the finest stripes: their contrast is a
// fraction of the coarse stripes'.
TEST_F(CamProjSimScene, CapturesCarryTheTruthCodeAndBlurTheFinestBits)
{
    const cv::Size ps = rig->projector.size;
    const int cb = synth::grayBits(ps.width), rb = synth::grayBits(ps.height);
    ASSERT_EQ((int)images->size(), synth::grayPatternCount(ps));
    const cv::Mat& white = images->at(0);
    long counted = 0, exact = 0, withinOne = 0;
    double coarse = 0, fine = 0;
    for (int y = 0; y < white.rows; ++y)
        for (int x = 0; x < white.cols; ++x) {
            if (!truth->boardMask.at<uchar>(y, x) || white.at<uchar>(y, x) < 150)
                continue; // white squares and border only
            int value[2];
            for (int dir = 0; dir < 2; ++dir) {
                const int first = dir == 0 ? 0 : cb, count = dir == 0 ? cb : rb;
                unsigned g = 0;
                for (int k = first; k < first + count; ++k)
                    g = (g << 1) |
                        (images->at(2 + 2 * k).at<uchar>(y, x) > images->at(3 + 2 * k).at<uchar>(y, x) ? 1u
                                                                                                       : 0u);
                unsigned b = g;
                for (unsigned s = g >> 1; s; s >>= 1)
                    b ^= s;
                value[dir] = int(b) - synth::grayOffset(dir == 0 ? ps.width : ps.height);
            }
            const cv::Vec2f t = truth->projectorCoords.at<cv::Vec2f>(y, x);
            const int dx = std::abs(value[0] - (int)std::lround(t[0])),
                      dy = std::abs(value[1] - (int)std::lround(t[1]));
            ++counted;
            exact += dx == 0 && dy == 0;
            withinOne += dx <= 1 && dy <= 1;
            coarse += std::abs(images->at(2).at<uchar>(y, x) - images->at(3).at<uchar>(y, x));
            fine += std::abs(images->at(2 + 2 * (cb - 1)).at<uchar>(y, x) -
                             images->at(3 + 2 * (cb - 1)).at<uchar>(y, x));
        }
    ASSERT_GT(counted, 10000);
    EXPECT_GT(double(withinOne) / counted, 0.97);
    EXPECT_GT(double(exact) / counted, 0.80);
    EXPECT_LT(fine / coarse, 0.6) << "the finest column stripes keep most of their contrast";
    EXPECT_GT(fine / coarse, 0.1) << "the finest column stripes are gone";
}

TEST_F(CamProjSimScene, WrittenSetsHoldTheCapturesInSequenceOrder)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::vector<synth::View> two(views->begin(), views->begin() + 2);
    const auto written = synth::writeCamProjSets(dir.path().toStdString(), *rig, *scene, two);
    ASSERT_EQ(written.sets.size(), 2u);
    ASSERT_EQ(written.setFolders.size(), 2u);
    namespace fs = std::filesystem;
    EXPECT_EQ(fs::path(written.setFolders[0]).filename(), "pose00");
    EXPECT_EQ(fs::path(written.setFolders[1]).filename(), "pose01");
    const int n = synth::grayPatternCount(rig->projector.size);
    for (int k = 0; k < n; ++k) {
        SCOPED_TRACE(k);
        const cv::Mat read =
            cv::imread(written.setFolders[0] + cv::format("/%02d.png", k), cv::IMREAD_UNCHANGED);
        ASSERT_EQ(read.type(), CV_8UC1);
        EXPECT_EQ(cv::norm(read, images->at(k), cv::NORM_INF), 0);
    }
    EXPECT_FALSE(fs::exists(written.setFolders[0] + cv::format("/%02d.png", n)));
    const cv::Mat& coords = written.sets[1].projectorCoords;
    int unlit = 0;
    for (auto it = coords.begin<cv::Vec2f>(); it != coords.end<cv::Vec2f>(); ++it)
        unlit += std::isnan((*it)[0]) ? 1 : 0;
    EXPECT_GT(unlit, 0) << "the board casts no shadow on the wall";
    EXPECT_THROW(synth::writeCamProjSets("/proc/no-such-place/sets", *rig, *scene, two), std::runtime_error);
}

} // namespace
