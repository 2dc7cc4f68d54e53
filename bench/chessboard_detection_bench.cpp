// What the dialogs' detection step (detectChessboard) costs beside the
// detector it runs, and what a stereo run's detection costs beside OpenCV's
// findChessboardCornersSB.
//
// Step against detector, both paths, each image once per iteration with the
// two calls interleaved (alternating which goes first):
//   own path:    findChessboardCorners2 (mode 1) alone, against the step with
//                "Radon Chessboard Detection";
//   OpenCV path: cv::findChessboardCorners followed by refineCornersAdaptive
//                alone, against the step with the same options (adaptive
//                threshold, window 10 %, zero zone 1x1).
// Sets: OpenCV's 13 sample photographs (640x480, 9x6), and 8 renders each at
// 1280x960 and at 2048x1536 (3 MP) of boards of 9x6, 7x5, 8x6 and 11x8 inner
// corners (noise, blur; the 3 MP camera with barrel distortion).
//
// Stereo run: 12 pairs of a rig of a 1600x1200 and a 1280x960 camera (9x6
// board seen whole by both), the 24 images one after another through the
// detection step with the stereo dialog's default options, against
// cv::findChessboardCornersSB with default flags on the same images.
//
// Usage: chessboard_detection_bench [--threads N] [--reps N] [benchmark options]
//   --threads  cv::setNumThreads for everything (default 1)
//   --reps     repetitions of every benchmark (default 5)
// The summary at the end gives, per set, the medians over the repetitions of
// the time per image and the ratio step / reference, as elapsed time and as
// the thread's processor time (which varies less on a shared machine; with
// one thread all of OpenCV's work runs on the calling thread).

#include "chessboard_common.h"
#include "core/chessboard/chessboard.h"
#include "core/chessboard/chessboard_detection.h"
#include "core/geometry/corner_refinement.h"
#include "stereo_rig.h"
#include "synthetic.h"

#include <benchmark/benchmark.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/core/utility.hpp>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

struct Image {
    cv::Mat gray;
    cv::Size pattern;
};

struct ImageSet {
    std::string name;
    std::vector<Image> images;
};

std::vector<Image> photographs()
{
    std::vector<Image> out;
    for (const cbbench::BoardImage& photo : cbbench::photographSet(TESSIMO_SAMPLE_DATA).images)
        out.push_back({photo.gray, photo.pattern});
    return out;
}

std::vector<Image> renders(cv::Size size, double focal, const std::vector<double>& kc, std::uint64_t seed)
{
    const synth::Camera cam = synth::makeCamera(size, focal, kc);
    const std::vector<cv::Size>& patterns = cbbench::renderedPatterns();
    synth::RenderOptions render;
    render.noiseSigma = 1.5;
    render.blurSigma = 0.7;
    std::vector<Image> out;
    for (int i = 0; i < 8; ++i) {
        const cv::Size pattern = patterns[size_t(i) % patterns.size()];
        const synth::View view = synth::boardViews(cam, pattern, 30, 1, seed + i)[0];
        render.seed = seed + i;
        out.push_back({synth::renderChessboard(cam, pattern, 30, view, render), pattern});
    }
    return out;
}

const std::vector<ImageSet>& imageSets()
{
    static const std::vector<ImageSet> sets = {
        {"photographs 640x480", photographs()},
        {"renders 1280x960", renders({1280, 960}, 1100, {}, 500)},
        {"renders 2048x1536", renders({2048, 1536}, 1760, {-0.2, 0.05, 0, 0, 0}, 600)},
    };
    return sets;
}

// 12 pairs: primary 1600x1200, secondary 1280x960, both with distortion.
const std::vector<Image>& stereoImages()
{
    static const std::vector<Image> images = [] {
        synth::StereoRig rig = synth::makeStereoRig();
        rig.primary = synth::makeCamera({1600, 1200}, 1400, {-0.15, 0.05, 0, 0, 0});
        rig.secondary = synth::makeCamera({1280, 960}, 1100, {0.08, -0.05, 0.0015, -0.001, 0});
        const cv::Size pattern(9, 6);
        const std::vector<synth::View> views = synth::stereoViews(rig, pattern, 30, 12, 77);
        synth::RenderOptions render;
        render.noiseSigma = 1.5;
        render.blurSigma = 0.7;
        std::vector<Image> out;
        for (size_t v = 0; v < views.size(); ++v) {
            render.seed = 100 + v;
            out.push_back({synth::renderChessboard(rig.primary, pattern, 30, views[v], render), pattern});
            out.push_back(
                {synth::renderChessboard(rig.secondary, pattern, 30, rig.secondaryView(views[v]), render),
                 pattern});
        }
        return out;
    }();
    return images;
}

// Options as the dialogs read them by default; radon chooses the path.
ChessboardOptions stepOptions(cv::Size pattern, bool radon)
{
    ChessboardOptions o;
    o.patternSize = pattern;
    o.squareWidth = o.squareHeight = 30;
    o.radon = radon;
    o.windowFactor = 0.10;
    o.zeroZone = cv::Size(1, 1);
    return o;
}

bool detectorAlone(const Image& img, bool radon, std::vector<cv::Point2f>& corners)
{
    if (radon)
        return findChessboardCorners2(img.gray, img.pattern, corners, 1, cv::noArray());
    const ChessboardOptions o = stepOptions(img.pattern, false);
    std::vector<cv::Point2f> found;
    if (!cv::findChessboardCorners(img.gray, img.pattern, found, o.detectorFlags()))
        return false;
    std::vector<int> windows;
    corners.clear();
    refineCornersAdaptive(img.gray, found, o.windowFactor, o.zeroZone, corners, windows);
    return true;
}

bool sectorBased(const Image& img, std::vector<cv::Point2f>& corners)
{
    return cv::findChessboardCornersSB(img.gray, img.pattern, corners, 0);
}

double threadSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

struct Timed {
    double wall = 0, cpu = 0;
    int found = 0;
};

void timeOne(const std::function<bool()>& call, Timed& t)
{
    const auto w0 = std::chrono::steady_clock::now();
    const double c0 = threadSeconds();
    t.found += call();
    t.cpu += threadSeconds() - c0;
    t.wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
}

// One iteration: every image through the reference and the step, the two
// interleaved and alternating which goes first. Elapsed time of the step is
// the benchmark's time; the counters carry both per image and the ratios.
void compare(benchmark::State& state, const std::vector<Image>& images,
             const std::function<bool(const Image&, std::vector<cv::Point2f>&)>& reference,
             const std::function<bool(const Image&, std::vector<cv::Point2f>&)>& step)
{
    Timed ref, stp;
    std::vector<cv::Point2f> corners;
    for (auto _ : state) {
        ref = stp = Timed();
        for (size_t i = 0; i < images.size(); ++i) {
            auto runRef = [&] { timeOne([&] { return reference(images[i], corners); }, ref); };
            auto runStep = [&] { timeOne([&] { return step(images[i], corners); }, stp); };
            if (i % 2 == 0) {
                runRef();
                runStep();
            } else {
                runStep();
                runRef();
            }
        }
        state.SetIterationTime(stp.wall);
    }
    const double n = double(images.size());
    state.counters["images"] = n;
    state.counters["found_ref"] = ref.found;
    state.counters["found_step"] = stp.found;
    state.counters["ref_ms"] = 1e3 * ref.wall / n;
    state.counters["step_ms"] = 1e3 * stp.wall / n;
    state.counters["ref_cpu_ms"] = 1e3 * ref.cpu / n;
    state.counters["step_cpu_ms"] = 1e3 * stp.cpu / n;
    state.counters["ratio"] = ref.wall > 0 ? stp.wall / ref.wall : 0;
    state.counters["ratio_cpu"] = ref.cpu > 0 ? stp.cpu / ref.cpu : 0;
}

struct Summary {
    std::string name;
    double target;
};
std::vector<Summary>& summaries()
{
    static std::vector<Summary> s;
    return s;
}

void registerAll(int repetitions)
{
    auto add = [&](const std::string& name, double target, auto fn) {
        benchmark::RegisterBenchmark(name.c_str(), fn)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(1)
            ->Repetitions(repetitions)
            ->DisplayAggregatesOnly(true)
            ->UseManualTime();
        summaries().push_back({name, target});
    };
    for (size_t s = 0; s < imageSets().size(); ++s)
        for (const bool radon : {false, true}) {
            const std::string name =
                std::string("Step/") + (radon ? "own" : "opencv") + "/" + imageSets()[s].name;
            add(name, 1.2, [s, radon](benchmark::State& state) {
                compare(
                    state, imageSets()[s].images,
                    [radon](const Image& img, std::vector<cv::Point2f>& c) {
                        return detectorAlone(img, radon, c);
                    },
                    [radon](const Image& img, std::vector<cv::Point2f>& c) {
                        return detectChessboard(img.gray, stepOptions(img.pattern, radon), c);
                    });
            });
        }
    add("StereoRun/step vs findChessboardCornersSB/12 pairs 1600x1200 + 1280x960", 0.5,
        [](benchmark::State& state) {
            compare(state, stereoImages(), sectorBased, [](const Image& img, std::vector<cv::Point2f>& c) {
                return detectChessboard(img.gray, stepOptions(img.pattern, false), c);
            });
        });
}

// Keeps the median of each benchmark's repetitions for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                medians[run.run_name.function_name] = run.counters;
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, benchmark::UserCounters> medians;
};

} // namespace

int main(int argc, char** argv)
{
    int threads = 1;
    int repetitions = 5;
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc)
            threads = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--reps") == 0 && i + 1 < argc)
            repetitions = std::max(1, std::atoi(argv[++i]));
        else
            rest.push_back(argv[i]);
    }
    cv::setNumThreads(threads);
    int n = int(rest.size());
    benchmark::Initialize(&n, rest.data());
    benchmark::AddCustomContext("cv::setNumThreads", std::to_string(threads));
    registerAll(repetitions);
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\nSummary, cv::setNumThreads(%d) (cv::getNumThreads() = %d), medians of %d repetitions:\n",
                threads, cv::getNumThreads(), repetitions);
    std::printf(
        "(ref: the detector alone, or findChessboardCornersSB for the stereo run; found: step/ref)\n");
    std::printf("%-75s %7s %7s %9s %9s %7s %7s %9s\n", "set", "found", "ref ms", "step ms", "ratio",
                "cpu ref", "cpu stp", "cpu ratio");
    for (const Summary& s : summaries()) {
        const auto it = reporter.medians.find(s.name);
        if (it == reporter.medians.end())
            continue;
        auto c = [&](const char* key) {
            const auto k = it->second.find(key);
            return k == it->second.end() ? 0.0 : double(k->second);
        };
        std::printf("%-75s %3.0f/%-3.0f %7.1f %9.1f %9.3f %7.1f %7.1f %9.3f  (target <= %.1f)\n",
                    s.name.c_str(), c("found_step"), c("found_ref"), c("ref_ms"), c("step_ms"), c("ratio"),
                    c("ref_cpu_ms"), c("step_cpu_ms"), c("ratio_cpu"), s.target);
    }
    benchmark::Shutdown();
    return 0;
}
