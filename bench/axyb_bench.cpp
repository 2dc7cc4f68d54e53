// AX=YB solvers on noisy robot-world pose chains of a known cell: the
// program's tfc::shah (raw, and checked with orientation and guards) against
// OpenCV's calibrateRobotWorldHandEye with the SHAH and LI methods. Besides
// the time, each case reports its error against the truth as counters:
// X_deg, X_mm, Y_deg, Y_mm (mean over the trials of one run).

#include "core/calib/axyb_solver.h"

#include "robot_chain.h"
#include "synthetic.h"

#include <benchmark/benchmark.h>
#include <opencv2/calib3d.hpp>

#include <cmath>
#include <string>

namespace {

struct Data {
    robot_chain::Chain chain;
    std::vector<cv::Mat> RA, tA, RB, tB;
};

// n pose pairs with 0.05 degree and 0.3 mm of TCP noise and 0.05 degree and
// 0.3 mm of target-pose noise.
Data makeData(int n)
{
    static const synth::Camera cam = synth::makeCamera(cv::Size(1280, 960), 1300);
    Data d;
    d.chain = robot_chain::robotWorldChain(cam, {9, 6}, 30, n, 1000 + n);
    std::vector<robot_chain::Pose> B;
    for (const synth::View& v : d.chain.views)
        B.push_back(robot_chain::viewPose(v));
    const auto A = robot_chain::perturb(d.chain.tcp, 0.05, 0.3, 7);
    B = robot_chain::perturb(B, 0.05, 0.3, 8);
    for (int i = 0; i < n; ++i) {
        d.RA.push_back(A[i].R);
        d.tA.push_back(A[i].t);
        d.RB.push_back(B[i].R);
        d.tB.push_back(B[i].t);
    }
    return d;
}

double angleDeg(const cv::Mat& R1, const cv::Mat& R2)
{
    cv::Mat r;
    cv::Rodrigues(R1 * R2.t(), r);
    return cv::norm(r) * 180 / CV_PI;
}

void report(benchmark::State& state, const Data& d, const cv::Mat& RX, const cv::Mat& tX, const cv::Mat& RY,
            const cv::Mat& tY)
{
    state.counters["X_deg"] = angleDeg(RX, d.chain.X.R);
    state.counters["X_mm"] = cv::norm(tX - d.chain.X.t);
    state.counters["Y_deg"] = angleDeg(RY, d.chain.Y.R);
    state.counters["Y_mm"] = cv::norm(tY - d.chain.Y.t);
}

void BM_TfcShah(benchmark::State& state)
{
    const Data d = makeData(static_cast<int>(state.range(0)));
    cv::Mat RX, tX, RY, tY;
    for (auto _ : state) {
        tfc::shah(d.RA, d.tA, d.RB, d.tB, RX, tX, RY, tY);
        benchmark::DoNotOptimize(RX.data);
    }
    report(state, d, RX.t(), tX, RY.t(), tY);
}

void BM_TfcSolveChecked(benchmark::State& state)
{
    const Data d = makeData(static_cast<int>(state.range(0)));
    cv::Mat RX, tX, RY, tY;
    std::string error;
    for (auto _ : state) {
        const bool ok = tfc::solveAXYB(d.RA, d.tA, d.RB, d.tB, RX, tX, RY, tY, error);
        benchmark::DoNotOptimize(ok);
    }
    report(state, d, RX, tX, RY, tY);
}

void openCv(benchmark::State& state, cv::RobotWorldHandEyeCalibrationMethod method)
{
    const Data d = makeData(static_cast<int>(state.range(0)));
    cv::Mat RX, tX, RY, tY;
    for (auto _ : state) {
        // OpenCV's world2cam list is our A, its base2gripper list our B, its
        // base2world result our X and its gripper2cam result our Y.
        cv::calibrateRobotWorldHandEye(d.RA, d.tA, d.RB, d.tB, RX, tX, RY, tY, method);
        benchmark::DoNotOptimize(RX.data);
    }
    report(state, d, RX, tX, RY, tY);
}

void BM_OpenCvShah(benchmark::State& state)
{
    openCv(state, cv::CALIB_ROBOT_WORLD_HAND_EYE_SHAH);
}
void BM_OpenCvLi(benchmark::State& state)
{
    openCv(state, cv::CALIB_ROBOT_WORLD_HAND_EYE_LI);
}

} // namespace

BENCHMARK(BM_TfcShah)->Arg(10)->Arg(50)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TfcSolveChecked)->Arg(10)->Arg(50)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenCvShah)->Arg(10)->Arg(50)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenCvLi)->Arg(10)->Arg(50)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
