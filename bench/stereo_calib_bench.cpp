// stereoCalibrateDual against OpenCV's stereoCalibrate on the same 20-view
// problem: two 1280x1024 devices with 5 distortion coefficients, a 9x7 board
// seen whole by both, 0.15 px of corner noise.

#include <benchmark/benchmark.h>
#include <opencv2/calib3d.hpp>

#include "core/calib/stereo_calib.h"
#include "synthetic.h"

namespace {

struct Problem {
    synth::Camera cam1, cam2;
    std::vector<std::vector<cv::Point3f>> object;
    std::vector<std::vector<cv::Point2f>> image1, image2;
};

const Problem& problem()
{
    static const Problem p = [] {
        Problem p;
        const cv::Size pattern(9, 7);
        const double square = 30;
        p.cam1 = synth::makeCamera({1280, 1024}, 1450, {-0.2, 0.1, 0.0005, -0.0004, -0.02});
        p.cam2 = synth::makeCamera({1280, 1024}, 1520, {-0.15, 0.06, -0.0003, 0.0006, 0.0});
        cv::Matx33d R;
        cv::Rodrigues(cv::Vec3d(-0.01, -5 * CV_PI / 180, 0.015), R);
        const cv::Vec3d T(-120, 2, -5);
        cv::RNG rng(20);
        for (const auto& v1 : synth::boardViews(p.cam1, pattern, square, 200, 3)) {
            if (p.object.size() == 20)
                break;
            cv::Matx33d R1;
            cv::Rodrigues(v1.rvec, R1);
            synth::View v2;
            cv::Rodrigues(R * R1, v2.rvec);
            v2.tvec = R * v1.tvec + T;
            auto q1 = synth::projectBoard(p.cam1, pattern, square, v1);
            auto q2 = synth::projectBoard(p.cam2, pattern, square, v2);
            bool inside = true;
            for (const auto& q : q2)
                inside = inside && q.x > 15 && q.y > 15 && q.x < p.cam2.size.width - 16 &&
                         q.y < p.cam2.size.height - 16;
            if (!inside)
                continue;
            for (auto* pts : {&q1, &q2})
                for (auto& q : *pts) {
                    const float dy = (float)rng.gaussian(0.15), dx = (float)rng.gaussian(0.15);
                    q += cv::Point2f(dx, dy);
                }
            p.object.push_back(synth::boardPoints(pattern, square));
            p.image1.push_back(q1);
            p.image2.push_back(q2);
        }
        CV_Assert(p.object.size() == 20);
        return p;
    }();
    return p;
}

// Flag sets, the same for both devices: each device calibrated alone first
// (0 and the rational model), or the joint refinement only.
const int kFlags[] = {0, cv::CALIB_RATIONAL_MODEL, cv::CALIB_USE_INTRINSIC_GUESS,
                      cv::CALIB_USE_INTRINSIC_GUESS | cv::CALIB_RATIONAL_MODEL, cv::CALIB_FIX_INTRINSIC};
const char* const kFlagNames[] = {"flags 0", "rational model", "intrinsic guess",
                                  "intrinsic guess, rational model", "fixed intrinsics"};

void BM_StereoCalibrateDual(benchmark::State& state)
{
    const Problem& p = problem();
    const int flags = kFlags[state.range(0)];
    state.SetLabel(kFlagNames[state.range(0)]);
    for (auto _ : state) {
        cv::Mat K1(p.cam1.K), D1 = p.cam1.kc.clone(), K2(p.cam2.K), D2 = p.cam2.kc.clone(), R, T, E, F,
                              errors;
        const double rms = stereoCalibrateDual(p.object, p.image1, p.image2, K1, D1, K2, D2, p.cam1.size,
                                               p.cam2.size, R, T, E, F, errors, flags, flags);
        benchmark::DoNotOptimize(rms);
    }
}

void BM_CvStereoCalibrate(benchmark::State& state)
{
    const Problem& p = problem();
    const int flags = kFlags[state.range(0)];
    state.SetLabel(kFlagNames[state.range(0)]);
    for (auto _ : state) {
        cv::Mat K1(p.cam1.K), D1 = p.cam1.kc.clone(), K2(p.cam2.K), D2 = p.cam2.kc.clone(), R, T, E, F,
                              errors;
        const double rms = cv::stereoCalibrate(p.object, p.image1, p.image2, K1, D1, K2, D2, p.cam1.size, R,
                                               T, E, F, errors, flags);
        benchmark::DoNotOptimize(rms);
    }
}

} // namespace

BENCHMARK(BM_StereoCalibrateDual)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CvStereoCalibrate)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
