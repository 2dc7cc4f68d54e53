// The AX=YB solver on pose chains of a known robot, camera and target: the
// Kronecker product, the solver's transposed-rotation contract, the checked
// solve against the truth on exact and noisy data and against OpenCV's
// calibrateRobotWorldHandEye, and the degenerate inputs.

#include "core/calib/axyb_solver.h"

#include "robot_chain.h"
#include "synthetic.h"
#include "test_helpers.h"

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>

using robot_chain::Pose;
using testing_support::rotation;
using testing_support::vec3;

namespace {

// Exact pose pairs agree with the truth to this (rotations are unitless,
// translations in mm of a cell of about 2 m).
constexpr double kExactRot = 1e-9;
constexpr double kExactMm = 1e-7;

struct Lists {
    std::vector<cv::Mat> RA, tA, RB, tB;
};

Lists lists(const std::vector<Pose>& tcp, const std::vector<synth::View>& views)
{
    Lists l;
    for (size_t i = 0; i < tcp.size(); ++i) {
        const Pose b = robot_chain::viewPose(views[i]);
        l.RA.push_back(tcp[i].R);
        l.tA.push_back(tcp[i].t);
        l.RB.push_back(b.R);
        l.tB.push_back(b.t);
    }
    return l;
}

const synth::Camera& camera()
{
    static const synth::Camera cam = synth::makeCamera(cv::Size(1280, 960), 1300);
    return cam;
}

TEST(AxybKron, BlocksAndRowByRowIdentity)
{
    const cv::Mat t = (cv::Mat_<double>(1, 3) << 2, -3, 5);
    const cv::Mat I = cv::Mat::eye(3, 3, CV_64F);
    const cv::Mat K = tfc::kron(t, I);
    ASSERT_EQ(K.rows, 3);
    ASSERT_EQ(K.cols, 9);
    for (int j = 0; j < 3; ++j)
        EXPECT_MAT_NEAR(K.colRange(3 * j, 3 * j + 3), I * t.at<double>(j), 0);

    // kron(P, Q) vec(M) = vec(P M Q^T) with row-by-row vectors.
    const cv::Mat P = rotation(0.3, -0.2, 0.9), Q = rotation(-1.1, 0.4, 0.2);
    const cv::Mat M = (cv::Mat_<double>(3, 3) << 1, 2, 3, 4, 5, 6, 7, 8, 10);
    EXPECT_MAT_NEAR(tfc::kron(P, Q) * M.clone().reshape(1, 9), cv::Mat(P * M * Q.t()).reshape(1, 9), 1e-12);

    // The result keeps A's type.
    EXPECT_EQ(tfc::kron(cv::Mat::ones(2, 2, CV_32F), cv::Mat::ones(2, 2, CV_64F)).type(), CV_32F);
    testing_support::expectCvError([] { tfc::kron(cv::Mat(2, 2, CV_64FC2), cv::Mat::eye(2, 2, CV_64F)); },
                                   cv::Error::StsAssert, "A.channels() == 1 && B.channels() == 1",
                                   "tfc::kron");
}

TEST(AxybShah, ExactChainGivesTransposedRotationsAndTrueTranslations)
{
    const auto chain = robot_chain::robotWorldChain(camera(), {9, 6}, 30, 8, 11);
    const Lists l = lists(chain.tcp, chain.views);
    cv::Mat RX, tX, RY, tY;
    tfc::shah(l.RA, l.tA, l.RB, l.tB, RX, tX, RY, tY);
    EXPECT_MAT_NEAR(RX, chain.X.R.t(), kExactRot);
    EXPECT_MAT_NEAR(RY, chain.Y.R.t(), kExactRot);
    EXPECT_MAT_NEAR(tX, chain.X.t, kExactMm);
    EXPECT_MAT_NEAR(tY, chain.Y.t, kExactMm);
    EXPECT_NEAR(cv::determinant(RX), 1.0, 1e-12);
    EXPECT_NEAR(cv::determinant(RY), 1.0, 1e-12);

    std::vector<cv::Mat> shortList(l.RB.begin(), l.RB.end() - 1);
    testing_support::expectCvError(
        [&] { tfc::shah(l.RA, l.tA, shortList, l.tB, RX, tX, RY, tY); }, cv::Error::StsAssert,
        "RA.size() == RB.size() && tA.size() == tB.size() && RA.size() == tA.size()", "tfc::shah");
}

TEST(AxybSolve, RecoversXAndYOnExactChains)
{
    for (const int n : {3, 5, 12}) {
        for (const std::uint64_t seed : {1u, 2u, 3u}) {
            SCOPED_TRACE(::testing::Message() << n << " pairs, seed " << seed);
            const auto chain = robot_chain::robotWorldChain(camera(), {9, 6}, 30, n, seed);
            const Lists l = lists(chain.tcp, chain.views);
            cv::Mat RX, tX, RY, tY;
            std::string error;
            ASSERT_TRUE(tfc::solveAXYB(l.RA, l.tA, l.RB, l.tB, RX, tX, RY, tY, error)) << error;
            EXPECT_MAT_NEAR(RX, chain.X.R, kExactRot);
            EXPECT_MAT_NEAR(RY, chain.Y.R, kExactRot);
            EXPECT_MAT_NEAR(tX, chain.X.t, kExactMm);
            EXPECT_MAT_NEAR(tY, chain.Y.t, kExactMm);
        }
    }
}

// Noisy TCP poses: within a stated distance of the truth, and the same
// solution as OpenCV's implementation of the same method.
TEST(AxybSolve, NoisyChainNearTruthAndAgreesWithOpenCvShah)
{
    const auto chain = robot_chain::robotWorldChain(camera(), {9, 6}, 30, 20, 7);
    const auto noisy = robot_chain::perturb(chain.tcp, 0.05, 0.3, 99);
    const Lists l = lists(noisy, chain.views);
    cv::Mat RX, tX, RY, tY;
    std::string error;
    ASSERT_TRUE(tfc::solveAXYB(l.RA, l.tA, l.RB, l.tB, RX, tX, RY, tY, error)) << error;
    EXPECT_POSE_NEAR(RX, tX, chain.X.R, chain.X.t, 0.1, 3.0);
    EXPECT_POSE_NEAR(RY, tY, chain.Y.R, chain.Y.t, 0.1, 3.0);

    // OpenCV names the frames differently: its world2cam list is our A, its
    // base2gripper list our B, its base2world result our X and its
    // gripper2cam result our Y.
    cv::Mat cvRX, cvtX, cvRY, cvtY;
    cv::calibrateRobotWorldHandEye(l.RA, l.tA, l.RB, l.tB, cvRX, cvtX, cvRY, cvtY,
                                   cv::CALIB_ROBOT_WORLD_HAND_EYE_SHAH);
    EXPECT_POSE_NEAR(RX, tX, cvRX, cvtX, 1e-6, 1e-4);
    EXPECT_POSE_NEAR(RY, tY, cvRY, cvtY, 1e-6, 1e-4);
}

TEST(AxybSolve, DegenerateInputsAreReported)
{
    const auto chain = robot_chain::robotWorldChain(camera(), {9, 6}, 30, 6, 5);
    const Lists good = lists(chain.tcp, chain.views);

    // Poses turning about one axis only: B follows from A with the true X and Y.
    Lists oneAxis;
    for (const Pose& a : robot_chain::oneAxisPoses(6, {0.2, -0.4, 1.0})) {
        const Pose b = robot_chain::compose(robot_chain::inverse(chain.Y), robot_chain::compose(a, chain.X));
        oneAxis.RA.push_back(a.R);
        oneAxis.tA.push_back(a.t);
        oneAxis.RB.push_back(b.R);
        oneAxis.tB.push_back(b.t);
    }
    Lists two = good;
    for (auto* v : {&two.RA, &two.tA, &two.RB, &two.tB})
        v->resize(2);
    Lists repeated = good;
    for (size_t i = 0; i < repeated.RA.size(); ++i) {
        repeated.RA[i] = good.RA[0];
        repeated.tA[i] = good.tA[0];
        repeated.RB[i] = good.RB[0];
        repeated.tB[i] = good.tB[0];
    }
    Lists uneven = good;
    uneven.tB.pop_back();

    struct Case {
        const char* what;
        const Lists* lists;
        const char* message;
    } cases[] = {
        {"two pairs", &two, "At least 3 pose pairs"},
        {"no pairs", nullptr, "At least 3 pose pairs"},
        {"one rotation axis", &oneAxis, "do not determine the rotations"},
        {"one pose repeated", &repeated, "do not determine the rotations"},
        {"lists of different lengths", &uneven, "differ in length"},
    };
    const Lists empty;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Lists& in = c.lists ? *c.lists : empty;
        cv::Mat RX = cv::Mat::eye(3, 3, CV_64F), tX, RY, tY;
        std::string error;
        EXPECT_FALSE(tfc::solveAXYB(in.RA, in.tA, in.RB, in.tB, RX, tX, RY, tY, error));
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
        EXPECT_TRUE(RX.empty() && tX.empty() && RY.empty() && tY.empty());
    }
}

} // namespace
