// Tests of the chessboard detector: the 1-D fits the board model predicts
// with, and the whole detector on rendered boards and real photographs.

#include "chessboard_fit.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace {

// Runs f and checks that it throws cv::Exception with the given code, message and function.
void expectCvError(const std::function<void()>& f, int code, const std::string& msg, const std::string& func)
{
    try {
        f();
        ADD_FAILURE() << "no exception, expected \"" << msg << "\"";
    } catch (const cv::Exception& e) {
        EXPECT_EQ(e.code, code) << e.what();
        EXPECT_EQ(e.err, msg);
        EXPECT_EQ(e.func, func);
    }
}

double applyH1D(const cv::Mat& H, double x)
{
    return (H.at<double>(0, 0) * x + H.at<double>(0, 1)) / (H.at<double>(1, 0) * x + H.at<double>(1, 1));
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

}  // namespace

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
        {"identical", (cv::Mat_<double>(3, 1) << 4, 4, 4), cv::Error::StsBadArg, "all given points are identical"},
        {"NaN", (cv::Mat_<double>(3, 1) << 1, kNaN, 3), cv::Error::StsBadArg, "points must be finite"},
        {"infinity", (cv::Mat_<float>(3, 1) << 1, 2, static_cast<float>(kInf)), cv::Error::StsBadArg,
         "points must be finite"},
        {"integer", (cv::Mat_<int>(3, 1) << 1, 2, 3), cv::Error::StsUnsupportedFormat, "unsupported point type"},
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
        {"size mismatch", three, (cv::Mat_<double>(4, 1) << 0, 1, 2, 3), cv::Error::StsBadArg, "size mismatch", fn},
        {"two-channel source", cv::Mat(3, 1, CV_64FC2, cv::Scalar(1, 2)), three, cv::Error::StsBadArg,
         "data with only one channel are supported", fn},
        {"two-channel destination", three, cv::Mat(3, 1, CV_64FC2, cv::Scalar(1, 2)), cv::Error::StsBadArg,
         "data with only one channel are supported", fn},
        {"mixed types", (cv::Mat_<float>(3, 1) << 0, 1, 2), three, cv::Error::StsBadArg,
         "src and dst must have the same type", fn},
        {"two pairs", (cv::Mat_<double>(2, 1) << 0, 1), (cv::Mat_<double>(2, 1) << 0, 1), cv::Error::StsBadArg,
         "at least three point pairs are needed", fn},
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
    for (const Case& k : std::vector<Case>{{xf, yf, CV_32FC1}, {xd, yf, CV_64FC1}, {xf, yd, CV_64FC1}, {xd, yd, CV_64FC1}}) {
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
        {"NaN y", (cv::Mat_<double>(3, 1) << 0, 1, 2), (cv::Mat_<double>(3, 1) << 0, kNaN, 1), 1, cv::Error::StsBadArg,
         "points must be finite"},
        {"infinite x", (cv::Mat_<float>(3, 1) << 0, static_cast<float>(kInf), 2), (cv::Mat_<float>(3, 1) << 0, 1, 1), 1,
         cv::Error::StsBadArg, "points must be finite"},
        {"all x equal", (cv::Mat_<double>(3, 1) << 1, 1, 1), (cv::Mat_<double>(3, 1) << 0, 1, 2), 1, cv::Error::StsBadArg,
         "x values do not determine a polynomial of this order"},
        {"two distinct x for a parabola", (cv::Mat_<double>(4, 1) << 0, 0, 1, 1), (cv::Mat_<double>(4, 1) << 0, 1, 2, 3),
         2, cv::Error::StsBadArg, "x values do not determine a polynomial of this order"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        cv::Mat coeffs;
        expectCvError([&] { details::polyfit(c.x, c.y, coeffs, c.order); }, c.code, c.msg, fn);
    }
}
