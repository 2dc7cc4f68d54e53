// J-Linkage vanishing-point clustering at the size the issue names: 2000
// segments towards three vanishing points (plus 10 % random segments) in a
// 1280x960 image, 5000 hypotheses drawn as the dialog draws them, all pairs
// (the dialog's mode), one thread. Reports each step's time and the peak
// resident memory of the clustering (VmHWM after resetting it).
//
//   build/bench/jlinkage_bench [--benchmark_repetitions=5]

#include <benchmark/benchmark.h>

#include "core/jlinkage/JLinkageClusterer.h"
#include "core/jlinkage/VPCluster.h"
#include "core/jlinkage/VPSample.h"
#include "core/jlinkage/vp_models.h"

#include <opencv2/core.hpp>

#include <chrono>
#include <cmath>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::vector<float>> makeSegments(int n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> x(0, 1280), y(0, 960), len(30, 150), ang(0, float(CV_PI));
    std::normal_distribution<float> noise(0.f, 0.3f);
    const cv::Point2f vps[] = {{-1500, 420}, {2900, 380}, {660, 9000}};
    std::vector<std::vector<float>> segs;
    for (int i = 0; i < n; ++i) {
        const float ay = y(rng), ax = x(rng);
        const cv::Point2f a(ax, ay);
        cv::Point2f d;
        if (i % 10 == 9) {
            const float t = ang(rng);
            d = {std::cos(t), std::sin(t)};
        } else {
            d = vps[i % 3] - a;
            d *= 1.f / std::hypot(d.x, d.y);
        }
        const cv::Point2f b = a + d * len(rng);
        segs.push_back({a.x + noise(rng), a.y + noise(rng), b.x + noise(rng), b.y + noise(rng)});
    }
    return segs;
}

long statusKb(const char* key)
{
    std::ifstream f("/proc/self/status");
    std::string line;
    const std::string k = std::string(key) + ":";
    while (std::getline(f, line))
        if (line.rfind(k, 0) == 0)
            return std::stol(line.substr(k.size()));
    return -1;
}

void resetPeak()
{
    std::ofstream c("/proc/self/clear_refs");
    c << "5";
}

double seconds(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

// Sampling, preference sets and clustering timed step by step.
void BM_JLinkageSteps(benchmark::State& state)
{
    cv::setNumThreads(1);
    const auto segs = makeSegments(int(state.range(0)), 7);
    const unsigned H = unsigned(state.range(1));
    double sampling = 0, preference = 0, pairs = 0, sort = 0, merges = 0, reorders = 0, peakMb = 0;
    std::size_t clusters = 0, pairCount = 0;
    for (auto _ : state) {
        resetPeak();
        const long base = statusKb("VmRSS");
        auto t0 = Clock::now();
        VPSample sampler;
        sampler.setSeed(1);
        const auto hyps = sampler.sample(segs, H, nullptr, 3, 1.0, 10, 0.8, 0.2);
        auto t1 = Clock::now();
        JLinkageClusterer c(vpSegmentResidual, 2.0f, H, true, 4, -1);
        for (const auto& h : hyps)
            c.addHypothesis(h);
        for (const auto& s : segs)
            c.insertPoint(s);
        auto t2 = Clock::now();
        clusters = c.runClustering().size();
        pairCount = c.pairCount();
        const ClusteringTimes& t = c.times();
        sampling += seconds(t0, t1);
        preference += seconds(t1, t2);
        pairs += t.pairDistances;
        sort += t.sort;
        merges += t.merges;
        reorders += t.reorders;
        peakMb = std::max(peakMb, double(statusKb("VmHWM") - base) / 1024.0);
    }
    const double n = double(state.iterations());
    state.counters["sampling_s"] = sampling / n;
    state.counters["preference_sets_s"] = preference / n;
    state.counters["pair_distances_s"] = pairs / n;
    state.counters["sort_s"] = sort / n;
    state.counters["merges_s"] = merges / n;
    state.counters["reorders_s"] = reorders / n;
    state.counters["peak_MB"] = peakMb;
    state.counters["clusters"] = double(clusters);
    state.counters["pairs"] = double(pairCount);
}
BENCHMARK(BM_JLinkageSteps)
    ->Args({2000, 5000})
    ->Args({500, 5000})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// The dialog's whole run: VPSample then VPCluster.
void BM_VPSampleAndCluster(benchmark::State& state)
{
    cv::setNumThreads(1);
    const auto segs = makeSegments(int(state.range(0)), 7);
    for (auto _ : state) {
        VPSample sampler;
        sampler.setSeed(1);
        const auto hyps = sampler.sample(segs, 5000, nullptr, 3, 1.0, 10, 0.8, 0.2);
        VPCluster clusterer;
        std::vector<int> labels;
        std::vector<std::pair<unsigned, unsigned>> sizes;
        std::vector<std::vector<int>> clusterHyps;
        benchmark::DoNotOptimize(clusterer.cluster(labels, sizes, clusterHyps, segs, hyps, 2.0f, -1, {}));
    }
}
BENCHMARK(BM_VPSampleAndCluster)->Arg(2000)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

BENCHMARK_MAIN();
