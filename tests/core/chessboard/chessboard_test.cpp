// Tests of the chessboard detector: the 1-D fits the board model predicts
// with, and the whole detector on rendered boards and real photographs.

#include "core/chessboard/chessboard.h"
#include "core/chessboard/chessboard_board.h"
#include "core/chessboard/chessboard_fit.h"

#include "board_part_cases.h"
#include "synthetic.h"
#include "test_helpers.h"

#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

namespace {

using testing_support::expectCvError;

double applyH1D(const cv::Mat& H, double x)
{
    return (H.at<double>(0, 0) * x + H.at<double>(0, 1)) / (H.at<double>(1, 0) * x + H.at<double>(1, 1));
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

} // namespace

TEST(NormalizePoints1D, CentresAndScalesByMeanAbsoluteDeviation)
{
    for (int depth : {CV_32F, CV_64F}) {
        for (bool asRow : {false, true}) {
            SCOPED_TRACE(cv::format("depth %d, row %d", depth, asRow));
            cv::Mat p = (cv::Mat_<double>(3, 1) << 1, 2, 3);
            p.convertTo(p, depth);
            if (asRow)
                p = p.reshape(1, 1);
            cv::Mat T, n;
            details::normalizePoints1D(p, T, n);
            ASSERT_EQ(T.type(), CV_64FC1);
            ASSERT_EQ(T.size(), cv::Size(2, 2));
            EXPECT_DOUBLE_EQ(T.at<double>(0, 0), 1.5);
            EXPECT_DOUBLE_EQ(T.at<double>(0, 1), -3.0);
            EXPECT_DOUBLE_EQ(T.at<double>(1, 0), 0.0);
            EXPECT_DOUBLE_EQ(T.at<double>(1, 1), 1.0);
            ASSERT_EQ(n.type(), depth);
            ASSERT_EQ(n.size(), cv::Size(1, 3));
            cv::Mat nd;
            n.convertTo(nd, CV_64F);
            EXPECT_NEAR(nd.at<double>(0), -1.5, 1e-6);
            EXPECT_NEAR(nd.at<double>(1), 0.0, 1e-6);
            EXPECT_NEAR(nd.at<double>(2), 1.5, 1e-6);
        }
    }
}

TEST(NormalizePoints1D, RefusesBadPoints)
{
    const std::string fn = "details::normalizePoints1D";
    cv::Mat T, n;
    struct Case {
        const char* name;
        cv::Mat points;
        int code;
        std::string msg;
    };
    const std::vector<Case> cases = {
        {"two channels", cv::Mat(3, 1, CV_32FC2, cv::Scalar(1, 2)), cv::Error::StsBadArg,
         "points must have only one channel"},
        {"identical", (cv::Mat_<double>(3, 1) << 4, 4, 4), cv::Error::StsBadArg,
         "all given points are identical"},
        {"NaN", (cv::Mat_<double>(3, 1) << 1, kNaN, 3), cv::Error::StsBadArg, "points must be finite"},
        {"infinity", (cv::Mat_<float>(3, 1) << 1, 2, static_cast<float>(kInf)), cv::Error::StsBadArg,
         "points must be finite"},
        {"integer", (cv::Mat_<int>(3, 1) << 1, 2, 3), cv::Error::StsUnsupportedFormat,
         "unsupported point type"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        expectCvError([&] { details::normalizePoints1D(c.points, T, n); }, c.code, c.msg, fn);
    }
}

TEST(FindHomography1D, AffineMapHasUnitNorm)
{
    for (int depth : {CV_32F, CV_64F}) {
        for (bool asRow : {false, true}) {
            SCOPED_TRACE(cv::format("depth %d, row %d", depth, asRow));
            cv::Mat src = (cv::Mat_<double>(3, 1) << 0, 1, 2);
            cv::Mat dst = (cv::Mat_<double>(3, 1) << 0, 2, 4);
            src.convertTo(src, depth);
            dst.convertTo(dst, depth);
            if (asRow) {
                src = src.reshape(1, 1);
                dst = dst.reshape(1, 1);
            }
            cv::Mat H = details::findHomography1D(src, dst);
            ASSERT_EQ(H.type(), CV_64FC1);
            ASSERT_EQ(H.size(), cv::Size(2, 2));
            // [[2, 0], [0, 1]] / sqrt(5); the overall sign is free.
            const double sign = H.at<double>(0, 0) > 0 ? 1 : -1;
            EXPECT_NEAR(sign * H.at<double>(0, 0), 2 / std::sqrt(5.0), 1e-6);
            EXPECT_NEAR(H.at<double>(0, 1), 0.0, 1e-6);
            EXPECT_NEAR(H.at<double>(1, 0), 0.0, 1e-6);
            EXPECT_NEAR(sign * H.at<double>(1, 1), 1 / std::sqrt(5.0), 1e-6);
            EXPECT_NEAR(cv::norm(H), 1.0, 1e-12);
        }
    }
}

TEST(FindHomography1D, RecoversProjectiveMapOfEquallySpacedCorners)
{
    // A row of corners at 0, 10, 20, 30, 40 seen in perspective:
    // x -> (3x + 5) / (0.01x + 1). Exact data must give back the map.
    const double h[4] = {3, 5, 0.01, 1};
    auto map = [&](double x) { return (h[0] * x + h[1]) / (h[2] * x + h[3]); };
    std::vector<double> src = {0, 10, 20, 30}, dst;
    for (double x : src)
        dst.push_back(map(x));
    cv::Mat H = details::findHomography1D(src, dst);
    for (double x : {0.0, 10.0, 30.0, 40.0, 55.0})
        EXPECT_NEAR(applyH1D(H, x), map(x), 1e-9) << "x = " << x;

    // Noisy, over-determined: the fit stays close to the truth.
    std::vector<double> srcN, dstN;
    cv::RNG rng(7);
    for (int i = 0; i < 12; ++i) {
        srcN.push_back(5.0 * i);
        dstN.push_back(map(5.0 * i) + rng.gaussian(0.01));
    }
    cv::Mat Hn = details::findHomography1D(srcN, dstN);
    EXPECT_NEAR(applyH1D(Hn, 60.0), map(60.0), 0.1);
}

TEST(FindHomography1D, RefusesBadInput)
{
    const std::string fn = "details::findHomography1D";
    struct Case {
        const char* name;
        cv::Mat src, dst;
        int code;
        std::string msg;
        std::string func;
    };
    const cv::Mat three = (cv::Mat_<double>(3, 1) << 0, 1, 2);
    const std::vector<Case> cases = {
        {"size mismatch", three, (cv::Mat_<double>(4, 1) << 0, 1, 2, 3), cv::Error::StsBadArg,
         "size mismatch", fn},
        {"two-channel source", cv::Mat(3, 1, CV_64FC2, cv::Scalar(1, 2)), three, cv::Error::StsBadArg,
         "data with only one channel are supported", fn},
        {"two-channel destination", three, cv::Mat(3, 1, CV_64FC2, cv::Scalar(1, 2)), cv::Error::StsBadArg,
         "data with only one channel are supported", fn},
        {"mixed types", (cv::Mat_<float>(3, 1) << 0, 1, 2), three, cv::Error::StsBadArg,
         "src and dst must have the same type", fn},
        {"two pairs", (cv::Mat_<double>(2, 1) << 0, 1), (cv::Mat_<double>(2, 1) << 0, 1),
         cv::Error::StsBadArg, "at least three point pairs are needed", fn},
        {"identical sources", (cv::Mat_<double>(3, 1) << 2, 2, 2), three, cv::Error::StsBadArg,
         "all given points are identical", "details::normalizePoints1D"},
        {"NaN destination", three, (cv::Mat_<double>(3, 1) << 0, kNaN, 2), cv::Error::StsBadArg,
         "points must be finite", "details::normalizePoints1D"},
        {"infinite source", (cv::Mat_<double>(3, 1) << 0, kInf, 2), three, cv::Error::StsBadArg,
         "points must be finite", "details::normalizePoints1D"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        expectCvError([&] { details::findHomography1D(c.src, c.dst); }, c.code, c.msg, c.func);
    }
}

TEST(FindHomography1D, RankDeficientSystemIsRefusedNotNaN)
{
    // The fit solves for y = (h0 x + h1) / (h2 x + 1) in normalised
    // coordinates. For y = 1/x with sources -3, -1, 1, 3 the normalised
    // values satisfy x' y' = 0.75 for every pair, so the column -x' y' is a
    // multiple of the column of ones and the system has no unique solution.
    const std::vector<double> src = {-3, -1, 1, 3};
    std::vector<double> dst;
    for (double x : src)
        dst.push_back(1.0 / x);
    expectCvError([&] { details::findHomography1D(src, dst); }, cv::Error::StsBadArg,
                  "point pairs do not determine a homography", "details::findHomography1D");
}

TEST(Polyfit, FitsLinesAndParabolas)
{
    cv::Mat c;
    details::polyfit((cv::Mat_<float>(3, 1) << 0, 1, 2), (cv::Mat_<float>(3, 1) << 1, 3, 5), c, 1);
    ASSERT_EQ(c.type(), CV_32FC1);
    ASSERT_EQ(c.size(), cv::Size(1, 2));
    EXPECT_NEAR(c.at<float>(0), 1.0f, 1e-5);
    EXPECT_NEAR(c.at<float>(1), 2.0f, 1e-5);

    // y = 2 - 3x + 0.5x^2 through five points, x as a row, y as a column.
    cv::Mat x = (cv::Mat_<double>(1, 5) << -2, 0, 1, 4, 7), y(5, 1, CV_64F);
    for (int i = 0; i < 5; ++i) {
        const double xi = x.at<double>(i);
        y.at<double>(i) = 2 - 3 * xi + 0.5 * xi * xi;
    }
    details::polyfit(x, y, c, 2);
    ASSERT_EQ(c.type(), CV_64FC1);
    ASSERT_EQ(c.size(), cv::Size(1, 3));
    EXPECT_NEAR(c.at<double>(0), 2, 1e-9);
    EXPECT_NEAR(c.at<double>(1), -3, 1e-9);
    EXPECT_NEAR(c.at<double>(2), 0.5, 1e-9);
}

TEST(Polyfit, OutputDepthFollowsInputs)
{
    const cv::Mat xf = (cv::Mat_<float>(3, 1) << 0, 1, 2), yf = (cv::Mat_<float>(3, 1) << 1, 3, 5);
    cv::Mat xd, yd;
    xf.convertTo(xd, CV_64F);
    yf.convertTo(yd, CV_64F);
    struct Case {
        cv::Mat x, y;
        int type;
    };
    for (const Case& k :
         std::vector<Case>{{xf, yf, CV_32FC1}, {xd, yf, CV_64FC1}, {xf, yd, CV_64FC1}, {xd, yd, CV_64FC1}}) {
        SCOPED_TRACE(cv::format("x %d, y %d", k.x.depth(), k.y.depth()));
        cv::Mat c;
        details::polyfit(k.x, k.y, c, 1);
        EXPECT_EQ(c.type(), k.type);
    }
}

TEST(Polyfit, RefusesBadInput)
{
    const std::string fn = "details::polyfit";
    struct Case {
        const char* name;
        cv::Mat x, y;
        int order;
        int code;
        std::string msg;
    };
    const std::vector<Case> cases = {
        {"two points for a parabola", (cv::Mat_<double>(2, 1) << 0, 1), (cv::Mat_<double>(2, 1) << 0, 1), 2,
         cv::Error::StsAssert, "npoints == nypoints && npoints >= order+1"},
        {"length mismatch", (cv::Mat_<double>(3, 1) << 0, 1, 2), (cv::Mat_<double>(2, 1) << 0, 1), 1,
         cv::Error::StsAssert, "npoints == nypoints && npoints >= order+1"},
        {"NaN y", (cv::Mat_<double>(3, 1) << 0, 1, 2), (cv::Mat_<double>(3, 1) << 0, kNaN, 1), 1,
         cv::Error::StsBadArg, "points must be finite"},
        {"infinite x", (cv::Mat_<float>(3, 1) << 0, static_cast<float>(kInf), 2),
         (cv::Mat_<float>(3, 1) << 0, 1, 1), 1, cv::Error::StsBadArg, "points must be finite"},
        {"all x equal", (cv::Mat_<double>(3, 1) << 1, 1, 1), (cv::Mat_<double>(3, 1) << 0, 1, 2), 1,
         cv::Error::StsBadArg, "x values do not determine a polynomial of this order"},
        {"two distinct x for a parabola", (cv::Mat_<double>(4, 1) << 0, 0, 1, 1),
         (cv::Mat_<double>(4, 1) << 0, 1, 2, 3), 2, cv::Error::StsBadArg,
         "x values do not determine a polynomial of this order"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        cv::Mat coeffs;
        expectCvError([&] { details::polyfit(c.x, c.y, coeffs, c.order); }, c.code, c.msg, fn);
    }
}

// ---------------------------------------------------------------------------
// The detector
// ---------------------------------------------------------------------------

namespace {

using Board = details::Chessboard::Board;

using synth::centredView;

// Index maps (into the row-major truth, w x h) of the orientations of the
// grid that keep its shape: the identity and the half turn, and for square
// patterns the two quarter turns.
std::vector<std::vector<int>> sameShapeOrientations(cv::Size pattern)
{
    const int w = pattern.width, h = pattern.height;
    std::vector<std::vector<int>> out(2);
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c) {
            out[0].push_back(r * w + c);
            out[1].push_back((h - 1 - r) * w + (w - 1 - c));
        }
    if (w == h) {
        std::vector<int> left, right;
        for (int r = 0; r < h; ++r)
            for (int c = 0; c < w; ++c) {
                left.push_back(c * w + (w - 1 - r));
                right.push_back((h - 1 - c) * w + r);
            }
        out.push_back(left);
        out.push_back(right);
    }
    return out;
}

// Among orientations (index maps into the row-major truth, `cols` per row of
// the oriented grid), those not mirrored against the image.
std::vector<std::vector<int>> unmirrored(const std::vector<std::vector<int>>& maps,
                                         const std::vector<cv::Point2f>& truth, int cols)
{
    std::vector<std::vector<int>> out;
    for (const std::vector<int>& map : maps) {
        auto at = [&](int r, int c) { return truth[map[r * cols + c]]; };
        const cv::Point2f v = at(0, 1) - at(2, 1), w = at(1, 2) - at(1, 0);
        if (v.y * w.x - w.y * v.x <= 0)
            out.push_back(map);
    }
    return out;
}

// The orientation whose first corner comes first in (x^2 + y^2, y, x).
std::vector<int> nearestFirst(const std::vector<std::vector<int>>& maps,
                              const std::vector<cv::Point2f>& truth)
{
    std::vector<int> best;
    std::tuple<float, float, float> bestKey;
    for (const std::vector<int>& map : maps) {
        const cv::Point2f p = truth[map[0]];
        const auto key = std::make_tuple(p.x * p.x + p.y * p.y, p.y, p.x);
        if (best.empty() || key < bestKey) {
            bestKey = key;
            best = map;
        }
    }
    return best;
}

// The corner order the detector promises for `truth` (row-major, w per row,
// the cell touching corner 0 on its upper left black):
//  - the grid is not mirrored against the image;
//  - one odd and one even count: the top-left cell is white;
//  - both odd or both even, w >= h: the orientation whose first corner is
//    nearest to the image origin (ties: smaller y, then smaller x);
//  - both odd or both even, w < h: that orientation of the h x w grid,
//    turned a quarter: clockwise (its bottom-left corner first) when h is
//    odd, counter-clockwise (its top-right corner first) when h is even.
bool expectedOrder(const std::vector<cv::Point2f>& truth, cv::Size pattern,
                   std::vector<cv::Point2f>& expected)
{
    const int w = pattern.width, h = pattern.height;
    const bool mixed = (w + h) % 2 == 1;
    std::vector<int> chosen;
    if (mixed) {
        for (const std::vector<int>& map : unmirrored(sameShapeOrientations(pattern), truth, w)) {
            const int i0 = map[0], i1 = map[1], iw = map[w], iw1 = map[w + 1];
            const int rMin = std::min(std::min(i0 / w, i1 / w), std::min(iw / w, iw1 / w));
            const int cMin = std::min(std::min(i0 % w, i1 % w), std::min(iw % w, iw1 % w));
            if ((rMin + cMin) % 2 == 1) // white
                chosen = map;
        }
    } else if (w >= h) {
        chosen = nearestFirst(unmirrored(sameShapeOrientations(pattern), truth, w), truth);
    } else {
        // The h-wide grids: quarter turns of the truth.
        std::vector<int> left, right;
        for (int r = 0; r < w; ++r)
            for (int c = 0; c < h; ++c) {
                left.push_back(c * w + (w - 1 - r));
                right.push_back((h - 1 - c) * w + r);
            }
        const std::vector<int> wide = nearestFirst(unmirrored({left, right}, truth, h), truth);
        if (wide.empty())
            return false;
        // Turn it into w per row: rows w -> columns.
        for (int r = 0; r < h; ++r)
            for (int c = 0; c < w; ++c)
                chosen.push_back(h % 2 == 1 ? wide[(w - 1 - c) * h + r] : wide[c * h + (h - 1 - r)]);
    }
    if (chosen.empty())
        return false;
    expected.clear();
    for (int i : chosen)
        expected.push_back(truth[i]);
    return true;
}

using testing_support::CornerErrors;
using testing_support::cornerErrors;

// Truth reordered as the found corners are (nearest truth corner for each).
std::vector<cv::Point2f> matchedTruth(const std::vector<cv::Point2f>& found,
                                      const std::vector<cv::Point2f>& truth)
{
    std::vector<cv::Point2f> out;
    for (const cv::Point2f& p : found) {
        cv::Point2f best = truth[0];
        for (const cv::Point2f& t : truth)
            if (cv::norm(p - t) < cv::norm(p - best))
                best = t;
        out.push_back(best);
    }
    return out;
}

std::vector<cv::Point2f> toPoints(const cv::Mat& corners)
{
    std::vector<cv::Point2f> pts;
    if (!corners.empty())
        corners.reshape(2, static_cast<int>(corners.total())).copyTo(pts);
    return pts;
}

synth::RenderOptions renderOptions(double noise, double blur, std::uint64_t seed)
{
    synth::RenderOptions o;
    o.noiseSigma = noise;
    o.blurSigma = blur;
    o.lightGradient = 0.15;
    o.seed = seed;
    return o;
}

} // namespace

TEST(FindChessboardCorners2, RefusesBadArguments)
{
    const cv::Mat gray(120, 160, CV_8UC1, cv::Scalar(128));
    cv::Mat corners;
    struct Case {
        const char* name;
        std::function<void()> call;
        int code;
        std::string msg;
        std::string func;
    };
    const std::vector<Case> cases = {
        {"2 x 5 pattern",
         [&] {
             findChessboardCorners2(gray, {2, 5}, corners, 1);
         },
         cv::Error::StsOutOfRange, "Both width and height of the pattern should have bigger than 2",
         "findChessboardCorners2"},
        {"5 x 2 pattern",
         [&] {
             findChessboardCorners2(gray, {5, 2}, corners, 0);
         },
         cv::Error::StsOutOfRange, "Both width and height of the pattern should have bigger than 2",
         "findChessboardCorners2"},
        {"no corner output",
         [&] {
             findChessboardCorners2(gray, {9, 6}, cv::noArray(), 1);
         },
         cv::Error::StsNullPtr, "Null pointer to corners", "findChessboardCorners2"},
        {"16-bit image",
         [&] {
             findChessboardCorners2(cv::Mat(120, 160, CV_16UC1, cv::Scalar(9)), {9, 6}, corners, 1);
         },
         cv::Error::StsBadArg, "Unsupported image type", "details::Chessboard::detectImpl"},
        {"float image",
         [&] {
             findChessboardCorners2(cv::Mat(120, 160, CV_32FC1, cv::Scalar(9)), {9, 6}, corners, 1);
         },
         cv::Error::StsBadArg, "Unsupported image type", "details::Chessboard::detectImpl"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        corners = cv::Mat(3, 1, CV_32FC2, cv::Scalar(7, 7));
        expectCvError(c.call, c.code, c.msg, c.func);
        EXPECT_EQ(corners.rows, 3) << "outputs stay untouched";
    }
    // A two-channel image is refused by the colour conversion.
    EXPECT_THROW(findChessboardCorners2(cv::Mat(120, 160, CV_8UC2, cv::Scalar(9, 9)), {9, 6}, corners, 1),
                 cv::Exception);
}

TEST(FindChessboardCorners2, NoBoardIsNoError)
{
    cv::Mat noise(480, 640, CV_8UC1);
    cv::RNG(3).fill(noise, cv::RNG::NORMAL, 128, 40);
    cv::GaussianBlur(noise, noise, cv::Size(0, 0), 1.5);
    cv::Mat shapes(480, 640, CV_8UC1, cv::Scalar(90));
    cv::rectangle(shapes, cv::Rect(100, 100, 120, 80), cv::Scalar(220), cv::FILLED);
    cv::circle(shapes, cv::Point(400, 300), 70, cv::Scalar(20), cv::FILLED);
    cv::line(shapes, cv::Point(0, 400), cv::Point(640, 200), cv::Scalar(250), 5);
    struct Case {
        const char* name;
        cv::Mat image;
    };
    const std::vector<Case> cases = {
        {"uniform", cv::Mat(480, 640, CV_8UC1, cv::Scalar(128))},
        {"noise", noise},
        {"shapes", shapes},
        {"empty", cv::Mat()},
        {"tiny", cv::Mat(7, 9, CV_8UC1, cv::Scalar(50))},
        {"one row", cv::Mat(1, 640, CV_8UC1, cv::Scalar(50))},
    };
    {
        SCOPED_TRACE("a pattern of more corners than any image holds");
        cv::Mat corners;
        EXPECT_FALSE(findChessboardCorners2(shapes, {100000, 100000}, corners, 1));
        EXPECT_FALSE(findChessboardCorners2(shapes, {100000, 100000}, corners, 0));
    }
    for (const Case& c : cases) {
        for (int mode : {0, 1}) {
            SCOPED_TRACE(cv::format("%s, mode %d", c.name, mode));
            cv::Mat corners(5, 1, CV_32FC2), meta(3, 3, CV_8UC1);
            EXPECT_FALSE(findChessboardCorners2(c.image, {9, 6}, corners, mode, meta));
            EXPECT_TRUE(corners.empty());
            EXPECT_TRUE(meta.empty());
        }
    }
}

// Boards of both parities and several sizes, turned all the way round,
// tilted, with noise, blur and uneven light. One test per board size, so that
// the sizes run side by side.
class RenderedBoards : public ::testing::TestWithParam<size_t> {
protected:
    struct Pose {
        double roll, tiltX, tiltY, fill;
    };
    static const std::vector<Pose>& poses()
    {
        static const std::vector<Pose> all = {
            {0, 0, 0, 0.8},     {30, 20, -10, 0.8}, {75, -35, 0, 0.75},
            {90, 0, 30, 0.75},  {135, 40, 15, 0.7}, {180, -20, -35, 0.75},
            {230, 10, 45, 0.7}, {270, 45, 0, 0.7},  {315, -30, 30, 0.7},
        };
        return all;
    }
    static const std::vector<cv::Size>& patterns()
    {
        static const std::vector<cv::Size> all = {{9, 6}, {7, 5}, {8, 6}, {4, 3},
                                                  {3, 3}, {5, 7}, {6, 6}, {11, 8}};
        return all;
    }
};

TEST_P(RenderedBoards, FoundInTheirOrder)
{
    const auto cam = synth::makeCamera({800, 600}, 760, {-0.12, 0.03, 0, 0, 0});
    const std::vector<Pose>& poses = this->poses();
    double sumSq = 0;
    int n = 0;
    // Each pattern sees five of the poses, every pose several patterns; the
    // noise seeds are those of one run over all patterns in order.
    const size_t k = GetParam();
    std::uint64_t seed = 1 + 5 * k;
    const cv::Size pattern = patterns()[k];
    for (size_t j = 0; j < 5; ++j) {
        const Pose& p = poses[(k + 2 * j) % poses.size()];
        SCOPED_TRACE(cv::format("pattern %dx%d, roll %.0f, tilt %.0f %.0f", pattern.width, pattern.height,
                                p.roll, p.tiltX, p.tiltY));
        const synth::View view = centredView(cam, pattern, 25, p.roll, p.tiltX, p.tiltY, p.fill);
        const cv::Mat img = synth::renderChessboard(cam, pattern, 25, view, renderOptions(2, 0.7, ++seed));
        const std::vector<cv::Point2f> truth = synth::projectBoard(cam, pattern, 25, view);

        cv::Mat corners, meta;
        ASSERT_TRUE(findChessboardCorners2(img, pattern, corners, 1, meta));
        ASSERT_EQ(corners.type(), CV_32FC2);
        ASSERT_EQ(corners.size(), cv::Size(1, pattern.area()));
        const std::vector<cv::Point2f> found = toPoints(corners);

        std::vector<cv::Point2f> expected;
        if (expectedOrder(truth, pattern, expected)) {
            const CornerErrors e = cornerErrors(found, expected);
            EXPECT_LT(e.max, 0.5) << "corners out of order or inaccurate";
            sumSq += e.rms * e.rms * found.size();
            n += static_cast<int>(found.size());
        } else {
            const CornerErrors e = cornerErrors(found, matchedTruth(found, truth));
            EXPECT_LT(e.max, 0.5);
        }
        // Rows of w corners: the first row runs along one board edge.
        for (int r = 0; r < pattern.height; ++r)
            for (int c = 1; c + 1 < pattern.width; ++c) {
                const cv::Point2f a = found[r * pattern.width + c - 1], b = found[r * pattern.width + c],
                                  d = found[r * pattern.width + c + 1];
                EXPECT_GT((b - a).dot(d - b), 0.5 * cv::norm(b - a) * cv::norm(d - b));
            }
        // Cell colours: alternating, 1 black, 2 white, last row and column 0.
        ASSERT_EQ(meta.size(), pattern);
        for (int r = 0; r < pattern.height; ++r)
            for (int c = 0; c < pattern.width; ++c) {
                const uchar m = meta.at<uchar>(r, c);
                if (r == pattern.height - 1 || c == pattern.width - 1) {
                    EXPECT_EQ(m, 0);
                } else {
                    EXPECT_EQ(m, ((r + c) % 2 == 0) ? meta.at<uchar>(0, 0) : 3 - meta.at<uchar>(0, 0));
                }
            }
        if ((pattern.width + pattern.height) % 2 == 1) {
            EXPECT_EQ(meta.at<uchar>(0, 0), 2) << "top-left cell white";
        }
    }
    ASSERT_GT(n, 0);
    EXPECT_LT(std::sqrt(sumSq / n), 0.1) << "corner RMS error, noise 2, blur 0.7";
}

INSTANTIATE_TEST_SUITE_P(FindChessboardCorners2, RenderedBoards, ::testing::Range<size_t>(0, 8));

TEST(FindChessboardCorners2, SubPixelAccuracyOnLargeRenders)
{
    // 1280 x 960, noise 2, blur 0.7: the conditions of the benchmark.
    const auto cam = synth::makeCamera({1280, 960}, 1100, {-0.2, 0.05, 0, 0, 0});
    const cv::Size pattern(9, 6);
    const auto views = synth::boardViews(cam, pattern, 30, 4, 21);
    double sumSq = 0, bx = 0, by = 0;
    int n = 0;
    for (size_t i = 0; i < views.size(); ++i) {
        SCOPED_TRACE(i);
        synth::RenderOptions o;
        o.noiseSigma = 2;
        o.blurSigma = 0.7;
        o.seed = i + 1;
        const cv::Mat img = synth::renderChessboard(cam, pattern, 30, views[i], o);
        const std::vector<cv::Point2f> truth = synth::projectBoard(cam, pattern, 30, views[i]);
        std::vector<cv::Point2f> found;
        ASSERT_TRUE(findChessboardCorners2(img, pattern, found, 1));
        std::vector<cv::Point2f> expected;
        ASSERT_TRUE(expectedOrder(truth, pattern, expected));
        for (size_t k = 0; k < found.size(); ++k) {
            const cv::Point2f d = found[k] - expected[k];
            sumSq += d.dot(d);
            bx += d.x;
            by += d.y;
            ++n;
        }
    }
    EXPECT_LT(std::sqrt(sumSq / n), 0.06);
    EXPECT_LT(std::fabs(bx / n), 0.02) << "bias in x";
    EXPECT_LT(std::fabs(by / n), 0.02) << "bias in y";
}

TEST(FindChessboardCorners2, RefusesLargerAndPartialBoards)
{
    const auto cam = synth::makeCamera({800, 600}, 760);
    const cv::Size pattern(9, 6);
    const synth::View view = centredView(cam, pattern, 25, 10, 15, -10, 0.7);
    const cv::Mat img = synth::renderChessboard(cam, pattern, 25, view, renderOptions(1, 0.5, 4));
    const std::vector<cv::Point2f> truth = synth::projectBoard(cam, pattern, 25, view);
    cv::Mat corners;
    ASSERT_TRUE(findChessboardCorners2(img, pattern, corners, 1));
    ASSERT_TRUE(findChessboardCorners2(img, {6, 9}, corners, 1)) << "transposed size";

    for (cv::Size smaller :
         {cv::Size(7, 5), cv::Size(8, 6), cv::Size(9, 5), cv::Size(3, 3), cv::Size(5, 8)}) {
        SCOPED_TRACE(cv::format("asking for %dx%d", smaller.width, smaller.height));
        EXPECT_FALSE(findChessboardCorners2(img, smaller, corners, 1));
        EXPECT_TRUE(corners.empty());
    }
    for (cv::Size larger : {cv::Size(10, 6), cv::Size(9, 7), cv::Size(11, 8)}) {
        SCOPED_TRACE(cv::format("asking for %dx%d", larger.width, larger.height));
        EXPECT_FALSE(findChessboardCorners2(img, larger, corners, 1));
    }

    // Part of the board: the image is cut through its last column of squares.
    float maxX = 0;
    for (const cv::Point2f& p : truth)
        maxX = std::max(maxX, p.x);
    float prevX = 0;
    for (int r = 0; r < pattern.height; ++r)
        prevX = std::max(prevX, truth[r * pattern.width + pattern.width - 2].x);
    const int cut = cvRound(0.5 * (maxX + prevX));
    EXPECT_FALSE(findChessboardCorners2(img.colRange(0, cut).clone(), pattern, corners, 1));

    // Outer corners closer than 5 pixels to the border after cropping.
    const int tight = cvCeil(maxX) + 3;
    EXPECT_FALSE(
        findChessboardCorners2(img.colRange(0, std::min(tight, img.cols)).clone(), pattern, corners, 1));
}

TEST(FindChessboardCorners2, HiddenCornersDoNotMakeASmallerBoard)
{
    // A bar hides the last column of inner corners of a 9 x 6 board; the
    // squares on both sides of it stay visible. Neither 9 x 6 (corners
    // missing) nor 8 x 6 (the board goes on beyond) may be returned.
    const auto cam = synth::makeCamera({800, 600}, 760);
    const cv::Size pattern(9, 6);
    const auto views = synth::boardViews(cam, pattern, 25, 1, 4);
    cv::Mat img = synth::renderChessboard(cam, pattern, 25, views[0], renderOptions(1, 0.5, 4));
    const std::vector<cv::Point2f> truth = synth::projectBoard(cam, pattern, 25, views[0]);
    const cv::Point2f a = truth[8] + 0.6f * (truth[8] - truth[17]),
                      b = truth[53] + 0.6f * (truth[53] - truth[44]);
    const double square = cv::norm(truth[8] - truth[7]);
    cv::Mat corners;
    ASSERT_TRUE(findChessboardCorners2(img, pattern, corners, 1));
    EXPECT_FALSE(findChessboardCorners2(img, {8, 6}, corners, 1));
    cv::line(img, a, b, cv::Scalar(125), std::max(3, static_cast<int>(0.5 * square)));
    EXPECT_FALSE(findChessboardCorners2(img, pattern, corners, 1));
    EXPECT_FALSE(findChessboardCorners2(img, {8, 6}, corners, 1));
    EXPECT_FALSE(findChessboardCorners2(img, {6, 8}, corners, 1));
}

TEST(FindChessboardCorners2, ColourAndQuickMode)
{
    const auto cam = synth::makeCamera({800, 600}, 760);
    const cv::Size pattern(7, 5);
    const synth::View view = centredView(cam, pattern, 25, 20, 10, 20, 0.85);
    synth::RenderOptions o = renderOptions(1, 0.6, 9);
    o.colour = true;
    const cv::Mat bgr = synth::renderChessboard(cam, pattern, 25, view, o);
    ASSERT_EQ(bgr.type(), CV_8UC3);
    cv::Mat gray;
    cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);

    cv::Mat fromColour, fromGray;
    ASSERT_TRUE(findChessboardCorners2(bgr, pattern, fromColour, 1));
    ASSERT_TRUE(findChessboardCorners2(gray, pattern, fromGray, 1));
    EXPECT_EQ(cv::norm(fromColour, fromGray, cv::NORM_INF), 0);

    // The quick mode works on the image as it is, scales 2 and 3.
    cv::Mat quick;
    ASSERT_TRUE(findChessboardCorners2(gray, pattern, quick, 0));
    EXPECT_LT(cv::norm(quick, fromGray, cv::NORM_INF), 0.5);
}

TEST(FindChessboardCorners2, ResultsDoNotDependOnThreadsOrRandomState)
{
    const auto cam = synth::makeCamera({800, 600}, 760);
    const int threads = cv::getNumThreads();
    for (cv::Size pattern : {cv::Size(9, 6), cv::Size(7, 7), cv::Size(8, 6)}) {
        SCOPED_TRACE(cv::format("%dx%d", pattern.width, pattern.height));
        const synth::View view = centredView(cam, pattern, 25, 200, -25, 30, 0.75);
        const cv::Mat img = synth::renderChessboard(cam, pattern, 25, view, renderOptions(2, 0.7, 11));
        cv::Mat reference;
        for (int t : {1, 2, 3, 8, 1}) {
            SCOPED_TRACE(t);
            cv::setNumThreads(t);
            std::srand(static_cast<unsigned>(t * 7919));
            cv::theRNG().state = 0x1234 + t;
            cv::Mat corners;
            ASSERT_TRUE(findChessboardCorners2(img, pattern, corners, 1));
            if (reference.empty())
                reference = corners.clone();
            else
                EXPECT_EQ(cv::norm(corners, reference, cv::NORM_INF), 0);
        }
    }
    cv::setNumThreads(threads);
}

TEST(FindChessboardCorners2, RealPhotographs)
{
    // The 9 x 6 photographs of OpenCV's samples. OpenCV's own detector of
    // this family runs as a peer: every board it finds must be found, at
    // the same corners. (The peer misses left05, where strong lens
    // distortion bends the board's lines near the image edge.)
    const cv::Size pattern(9, 6);
    int tested = 0, found = 0;
    for (int i = 1; i <= 14; ++i) {
        if (i == 10)
            continue;
        const std::string path = cv::format("%s/left%02d.jpg", TESSIMO_SAMPLE_DATA, i);
        const cv::Mat img = cv::imread(path, cv::IMREAD_GRAYSCALE);
        if (img.empty())
            continue;
        SCOPED_TRACE(path);
        ++tested;
        std::vector<cv::Point2f> ours, peer;
        const bool ok = findChessboardCorners2(img, pattern, ours, 1);
        const bool peerOk =
            cv::findChessboardCornersSB(img, pattern, peer, cv::CALIB_CB_EXHAUSTIVE | cv::CALIB_CB_ACCURACY);
        if (peerOk) {
            EXPECT_TRUE(ok);
        }
        if (!ok)
            continue;
        ++found;
        ASSERT_EQ(ours.size(), 54u);
        if (peerOk) {
            const CornerErrors e = cornerErrors(ours, matchedTruth(ours, peer));
            EXPECT_LT(e.max, 0.05);
        }

        // The top-left cell (9 x 6: one count odd) is white: brighter than its
        // neighbour to the right.
        auto cellMean = [&](int r, int c) {
            const cv::Point2f m = 0.25f * (ours[r * 9 + c] + ours[r * 9 + c + 1] + ours[(r + 1) * 9 + c] +
                                           ours[(r + 1) * 9 + c + 1]);
            return img.at<uchar>(cv::Point(m));
        };
        EXPECT_GT(cellMean(0, 0), cellMean(0, 1) + 40);
        // Not mirrored: rows run clockwise from the columns, as the image axes do.
        const cv::Point2f right = ours[1] - ours[0], down = ours[9] - ours[0];
        EXPECT_GT(right.x * down.y - right.y * down.x, 0);
    }
    EXPECT_EQ(tested, 13) << "sample photographs missing";
    EXPECT_EQ(found, tested);
}

TEST(FindChessboardCorners2, DistortedPhotographInItsOrder)
{
    // left05: the board fills the image under strong barrel distortion, and
    // its outermost squares meet a thin white margin and a dark frame, which
    // make the outer corners look like inner ones. OpenCV's classic detector
    // with sub-pixel refinement gives the reference: the same grid, in one of
    // the orientations of the same shape.
    const cv::Size pattern(9, 6);
    const std::string path = cv::format("%s/left05.jpg", TESSIMO_SAMPLE_DATA);
    const cv::Mat img = cv::imread(path, cv::IMREAD_GRAYSCALE);
    if (img.empty())
        GTEST_SKIP() << path << " missing";
    std::vector<cv::Point2f> reference;
    ASSERT_TRUE(cv::findChessboardCorners(img, pattern, reference));
    cv::cornerSubPix(img, reference, cv::Size(5, 5), cv::Size(-1, -1),
                     cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 50, 0.001));

    const int threads = cv::getNumThreads();
    std::vector<cv::Point2f> first;
    for (int t : {1, 4}) {
        SCOPED_TRACE(cv::format("%d threads", t));
        cv::setNumThreads(t);
        std::vector<cv::Point2f> ours;
        ASSERT_TRUE(findChessboardCorners2(img, pattern, ours, 1)) << "found without equalising";
        ASSERT_EQ(ours.size(), reference.size());
        if (first.empty())
            first = ours;
        else
            EXPECT_EQ(cv::norm(ours, first, cv::NORM_INF), 0);
    }
    cv::setNumThreads(threads);

    // Corners about 30 pixels apart: within 1.5 pixels of the reference at
    // the same grid position means the order is right. The two sub-pixel
    // methods differ by up to about 1.2 pixels on the blurred corners near
    // the top of the image (by as much on the other photographs, where the
    // peer agrees with ours to 0.05 pixels), by 0.3 pixels RMS overall.
    bool matched = false;
    for (const std::vector<int>& map : sameShapeOrientations(pattern)) {
        std::vector<cv::Point2f> expected;
        for (int i : map)
            expected.push_back(reference[i]);
        const CornerErrors e = cornerErrors(first, expected);
        if (e.max < 1.5) {
            matched = true;
            EXPECT_LT(e.rms, 0.35);
        }
    }
    EXPECT_TRUE(matched) << "corners out of order";
}

TEST(FindChessboardCorners2, LowContrastBoardIsNotGrownOntoItsOuterCorners)
{
    // Dim, flat light: squares of grey 90 and 160 and a strong light
    // gradient. The corners where the outer squares meet the border are weak
    // candidates that a growing board can take for one more line; the board
    // must still come out at its own size, at sub-pixel accuracy.
    const cv::Size pattern(9, 6);
    struct Case {
        const char* name;
        synth::Camera cam;
        synth::View view;
    };
    const auto small = synth::makeCamera({800, 600}, 760, {-0.12, 0.03, 0, 0, 0});
    const auto large = synth::makeCamera({1280, 960}, 1100, {-0.2, 0.05, 0, 0, 0});
    const std::vector<Case> cases = {
        {"800 x 600, random pose", small, synth::boardViews(small, pattern, 25, 2, 7)[1]},
        {"800 x 600, turned 75 degrees", small, centredView(small, pattern, 25, 75, 20, -15, 0.75)},
        {"1280 x 960, random pose", large, synth::boardViews(large, pattern, 25, 3, 7)[2]},
    };
    for (size_t k = 0; k < cases.size(); ++k) {
        const Case& c = cases[k];
        SCOPED_TRACE(c.name);
        synth::RenderOptions o;
        o.black = 90;
        o.white = 160;
        o.lightGradient = 0.3;
        o.noiseSigma = 2;
        o.blurSigma = 0.7;
        o.seed = k + 1;
        const cv::Mat img = synth::renderChessboard(c.cam, pattern, 25, c.view, o);
        const std::vector<cv::Point2f> truth = synth::projectBoard(c.cam, pattern, 25, c.view);
        std::vector<cv::Point2f> found;
        ASSERT_TRUE(findChessboardCorners2(img, pattern, found, 1));
        std::vector<cv::Point2f> expected;
        ASSERT_TRUE(expectedOrder(truth, pattern, expected));
        const CornerErrors e = cornerErrors(found, expected);
        EXPECT_LT(e.max, 0.3);
        EXPECT_LT(e.rms, 0.12);
        std::vector<cv::Point2f> larger;
        EXPECT_FALSE(findChessboardCorners2(img, {10, 6}, larger, 1));
    }
}

TEST(FindChessboardCorners2, LargeImagesAreSearchedAtTheirOwnResolution)
{
    // 4000 x 3000: the working image is not enlarged, which bounds the
    // detector's memory; a board found at 640 x 480 is still found.
    const auto cam = synth::makeCamera({640, 480}, 600);
    const cv::Size pattern(9, 6);
    const synth::View view = centredView(cam, pattern, 25, 15, 20, 0, 0.8);
    const cv::Mat small = synth::renderChessboard(cam, pattern, 25, view, renderOptions(1, 0.6, 2));
    cv::Mat large;
    cv::resize(small, large, cv::Size(4000, 3000), 0, 0, cv::INTER_CUBIC);

    details::Chessboard::Settings s;
    s.patternSize = pattern;
    const details::Chessboard detector(s);
    std::vector<cv::Mat> maps;
    Board board = detector.detectImpl(small, maps, cv::Mat());
    ASSERT_TRUE(board.hasCells());
    ASSERT_FALSE(maps.empty());
    EXPECT_EQ(maps.front().size(), cv::Size(1280, 960)) << "small images are enlarged";

    board = detector.detectImpl(large, maps, cv::Mat());
    ASSERT_FALSE(maps.empty());
    EXPECT_EQ(maps.front().size(), large.size()) << "large images are not";
    EXPECT_TRUE(board.hasCells());
}

TEST(FindChessboardCorners2, LargeImagesAreMeasuredAsPreciselyAsSmallOnes)
{
    // 2048 x 1536 (3 megapixels), searched at its own resolution: the corners
    // are measured on enlarged patches, as precisely as the enlarged search
    // measures smaller images. On these two renders the corners lie 0.036 px
    // RMS (at most 0.09 px) from the truth, OpenCV's findChessboardCornersSB
    // (exhaustive, accuracy) reaches 0.037 px (0.10 px); the corners of the
    // search alone, without the patches, lie 0.066 px RMS (0.16 px) away.
    constexpr double kMaxRms = 0.045;  // px, over all corners
    constexpr double kMaxError = 0.12; // px, any corner
    const auto cam = synth::makeCamera({2048, 1536}, 1760);
    const cv::Size pattern(9, 6);
    double sumSq = 0, worst = 0;
    int n = 0;
    for (std::uint64_t seed : {31, 34}) {
        SCOPED_TRACE(seed);
        const synth::View view = synth::boardViews(cam, pattern, 30, 1, seed)[0];
        synth::RenderOptions o;
        o.noiseSigma = 1;
        o.blurSigma = 0.7;
        o.seed = seed;
        const cv::Mat img = synth::renderChessboard(cam, pattern, 30, view, o);
        ASSERT_GT(4.0 * static_cast<double>(img.total()), details::Chessboard::kMaxUpsampledPixels);
        const std::vector<cv::Point2f> truth = synth::projectBoard(cam, pattern, 30, view);
        std::vector<cv::Point2f> found;
        ASSERT_TRUE(findChessboardCorners2(img, pattern, found, 1));
        std::vector<cv::Point2f> expected;
        ASSERT_TRUE(expectedOrder(truth, pattern, expected));
        for (size_t k = 0; k < found.size(); ++k) {
            const cv::Point2f d = found[k] - expected[k];
            sumSq += d.dot(d);
            worst = std::max(worst, static_cast<double>(cv::norm(d)));
            ++n;
        }
        if (seed == 31) {
            // The patches are measured in parallel; the result does not
            // depend on the number of threads.
            const int threads = cv::getNumThreads();
            cv::setNumThreads(1);
            std::vector<cv::Point2f> alone;
            ASSERT_TRUE(findChessboardCorners2(img, pattern, alone, 1));
            cv::setNumThreads(threads);
            EXPECT_EQ(cv::norm(alone, found, cv::NORM_INF), 0);
        }
    }
    ASSERT_GT(n, 0);
    EXPECT_LT(std::sqrt(sumSq / n), kMaxRms) << "corner RMS error";
    EXPECT_LT(worst, kMaxError) << "largest corner error";
}

TEST(ChessboardDriver, KeyPointTableAndInitialPoints)
{
    // Candidate angles are stored in degrees as 360 - direction; the table
    // gives the direction back in radians. Wedge directions of the centre:
    // white 45 degrees, black 105 degrees (a foreshortened corner).
    std::vector<cv::KeyPoint> kps = {
        cv::KeyPoint(cv::Point2f(50, 50), 5, 360.0f - 45.0f, 1000, 2, -1), // centre
        cv::KeyPoint(cv::Point2f(60, 50), 5, 360.0f - 100.0f, 900, 2, -1), // 5 deg from black: usable
        cv::KeyPoint(cv::Point2f(40, 50), 5, 360.0f - 170.0f, 900, 2, -1), // 55 and 65 deg off: not
        cv::KeyPoint(cv::Point2f(50, 60), 5, 360.0f - 40.0f, 50, 2, -1),   // too weak
        cv::KeyPoint(cv::Point2f(50, 40), 5, 360.0f - 92.0f, -600, 2,
                     -1), // weakly symmetric, 47 deg off white
    };
    while (kps.size() < 21)
        kps.emplace_back(cv::Point2f(-99999.0f, -99999.0f), 0.0f, 0.0f, 0.0f, 0, -1);
    const cv::Mat table = details::Chessboard::keyPointTable(kps);
    ASSERT_EQ(table.type(), CV_32FC1);
    ASSERT_EQ(table.size(), cv::Size(4, 21));
    EXPECT_NEAR(table.at<float>(0, 2), CV_PI / 4, 1e-5);
    EXPECT_NEAR(table.at<float>(2, 2), 170 * CV_PI / 180, 1e-5);
    EXPECT_EQ(table.at<float>(4, 3), -600.0f);

    cv::flann::Index index(table.colRange(0, 2).clone(), cv::flann::LinearIndexParams());
    const float white = static_cast<float>(CV_PI / 4), black = static_cast<float>(105 * CV_PI / 180);
    const auto pts = details::Chessboard::getInitialPoints(index, table, kps[0], white, black, 100);
    ASSERT_EQ(pts.size(), 3u);
    EXPECT_EQ(pts[0].pt, kps[0].pt);
    std::vector<cv::Point2f> others = {pts[1].pt, pts[2].pt};
    std::sort(others.begin(), others.end(), [](auto a, auto b) { return a.y < b.y; });
    EXPECT_EQ(others[0], cv::Point2f(50, 40));
    EXPECT_EQ(others[1], cv::Point2f(60, 50));
    for (size_t i = 1; i < pts.size(); ++i) {
        EXPECT_EQ(pts[i].size, 5.0f);
        EXPECT_EQ(pts[i].octave, 0);
    }

    const std::string fn = "details::Chessboard::getInitialPoints";
    cv::Mat table64;
    table.convertTo(table64, CV_64F);
    expectCvError([&] { details::Chessboard::getInitialPoints(index, table64, kps[0], white, black, 100); },
                  cv::Error::StsBadArg, "Unsupported source type", fn);
    expectCvError(
        [&] {
            details::Chessboard::getInitialPoints(index, table.colRange(0, 3).clone(), kps[0], white, black,
                                                  100);
        },
        cv::Error::StsBadArg, "wrong data format", fn);
}

TEST(ChessboardDriver, SeedBoardsAroundACandidateOnAGrid)
{
    // Candidates on a square grid of 20 px, rotated by 10 degrees; wedge
    // directions along the grid's diagonals.
    const float rot = static_cast<float>(10 * CV_PI / 180);
    const cv::Point2f c0(200, 200);
    const cv::Point2f ex(20 * std::cos(rot), -20 * std::sin(rot)), ey(20 * std::sin(rot), 20 * std::cos(rot));
    const float white = static_cast<float>(CV_PI / 4) + rot, black = static_cast<float>(3 * CV_PI / 4) + rot;
    std::vector<cv::KeyPoint> kps;
    kps.emplace_back(c0, 5, 360.0f - white * 57.29578f, 1000, 2, -1);
    for (int r = -3; r <= 3; ++r)
        for (int c = -3; c <= 3; ++c) {
            if (r == 0 && c == 0)
                continue;
            const float dir = ((r + c) % 2 == 0) ? white : black;
            kps.emplace_back(c0 + static_cast<float>(c) * ex + static_cast<float>(r) * ey, 5,
                             360.0f - dir * 57.29578f, 900, 2, -1);
        }
    const cv::Mat table = details::Chessboard::keyPointTable(kps);
    cv::flann::Index index(table.colRange(0, 2).clone(), cv::flann::LinearIndexParams());
    std::vector<Board> boards;
    details::Chessboard::makeSeedBoards(index, table, kps[0], white, black, 100, cv::Mat(), boards);
    ASSERT_FALSE(boards.empty());
    bool unitCross = false;
    for (const Board& b : boards) {
        ASSERT_EQ(b.rows(), 3);
        ASSERT_EQ(b.cols(), 3);
        const std::vector<cv::Point2f> p = b.getCornerPoints(true);
        for (int i : {0, 2, 6, 8})
            EXPECT_TRUE(std::isnan(p[i].x));
        EXPECT_EQ(p[4], c0);
        // Opposite edge points lie on one line through the centre.
        for (auto pair : {std::make_pair(1, 7), std::make_pair(3, 5)}) {
            const cv::Point2f a = p[pair.first] - c0, d = c0 - p[pair.second];
            EXPECT_GE(a.dot(d), 0.97 * cv::norm(a) * cv::norm(d));
        }
        // The two lines are not the same line, and the board is right-handed.
        const cv::Point2f q = p[5] - p[3], r = p[7] - p[1];
        EXPECT_LE(q.dot(r) / (cv::norm(q) * cv::norm(r)), 0.95);
        EXPECT_LE(r.y * q.x - q.y * r.x, 0);
        if (cv::norm(p[5] - c0) < 21 && cv::norm(p[7] - c0) < 21)
            unitCross = true;
    }
    EXPECT_TRUE(unitCross) << "the cross of the four edge neighbours is among the seeds";

    // Too few usable neighbours: no boards.
    std::vector<Board> none;
    details::Chessboard::makeSeedBoards(index, table, kps[0], white, black, 5000, cv::Mat(), none);
    EXPECT_TRUE(none.empty());
}

TEST(ChessboardDriver, Feature2DInterfaceGivesTheCorners)
{
    const auto cam = synth::makeCamera({640, 480}, 600);
    const cv::Size pattern(5, 4);
    const synth::View view = centredView(cam, pattern, 25, 0, 10, 10, 0.8);
    const cv::Mat img = synth::renderChessboard(cam, pattern, 25, view, renderOptions(1, 0.5, 6));
    details::Chessboard::Settings s;
    s.patternSize = pattern;
    details::Chessboard detector(s);
    std::vector<cv::KeyPoint> kps;
    detector.detect(img, kps);
    ASSERT_EQ(kps.size(), 20u);
    for (const cv::KeyPoint& k : kps) {
        EXPECT_EQ(k.size, 1.0f);
        EXPECT_EQ(k.angle, -1.0f);
    }
    cv::Mat desc(2, 2, CV_8U);
    std::vector<cv::KeyPoint> kps2;
    detector.detectAndCompute(img, cv::noArray(), kps2, desc);
    EXPECT_TRUE(desc.empty());
    ASSERT_EQ(kps2.size(), kps.size());
    for (size_t i = 0; i < kps.size(); ++i)
        EXPECT_EQ(kps2[i].pt, kps[i].pt);
    EXPECT_EQ(detector.descriptorSize(), 0);
    EXPECT_EQ(detector.descriptorType(), 0);

    std::vector<cv::KeyPoint> none;
    expectCvError([&] { detector.detect(img, none, cv::Mat(img.size(), CV_8UC1, cv::Scalar(1))); },
                  cv::Error::StsBadSize, "Mask is not supported", "details::FastX::detectImpl");
}

// The whole-board test decides from the image around a grid whether its
// corners are all the inner corners of a board: every part of a 9 x 6 board
// one line smaller (in x, in y or in both, at either end) is refused, and
// the whole board never is, whatever the pose, the light, the margin, an
// occluder or the image border. The parts are cut from the exact corners,
// so the test holds for whatever grid a detector reports.
TEST(IsWholeChessboard, RefusesEveryPartOfALargerBoardButNeverTheWholeBoard)
{
    for (const board_parts::Case& c : board_parts::cases()) {
        SCOPED_TRACE(c.name);
        std::vector<cv::Point2f> truth;
        const cv::Mat img = board_parts::render(c, truth);
        EXPECT_TRUE(isWholeChessboard(img, board_parts::kPattern, truth));
        for (const board_parts::Part& p : board_parts::parts()) {
            SCOPED_TRACE(p.name);
            const cv::Size size(p.c1 - p.c0, p.r1 - p.r0);
            EXPECT_FALSE(isWholeChessboard(img, size, board_parts::part(truth, p.r0, p.r1, p.c0, p.c1)));
        }
    }
}

// Where the image does not show what lies beyond a side, that side cannot
// refuse the grid: the 9 x 6 board with the image cut right at its last
// column of corners is all there is to see.
TEST(IsWholeChessboard, SideBeyondTheImageIsNotJudged)
{
    board_parts::Case c = board_parts::cases().front();
    std::vector<cv::Point2f> truth;
    const cv::Mat full = board_parts::render(c, truth);
    float last = 0;
    for (int r = 0; r < board_parts::kPattern.height; ++r)
        last = std::max(last, truth[r * 9 + 8].x);
    const cv::Mat cut = full.colRange(0, cvRound(last) + 2).clone();
    EXPECT_TRUE(isWholeChessboard(cut, {8, 6}, board_parts::part(truth, 0, 6, 0, 8)));
    EXPECT_FALSE(isWholeChessboard(full, {8, 6}, board_parts::part(truth, 0, 6, 0, 8)));
}
