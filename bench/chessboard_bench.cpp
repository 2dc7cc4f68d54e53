// Time per image of the three chessboard detectors on the same images and
// thread count: rendered 640x480 boards, rendered 1280x960 boards with noise
// (sigma 2) and blur (sigma 0.7), and the real 9x6 photographs. Each
// iteration detects the board in one image, the images taken in turn; the
// counters report the share of images in which a board was found.
//
// Usage: chessboard_bench [--threads N] [benchmark options]
//   --threads  cv::setNumThreads for every detector (default 1)
// The accuracy of the same detectors is measured by chessboard_accuracy.

#include "chessboard_common.h"

#include <benchmark/benchmark.h>
#include <opencv2/core/utility.hpp>

#include <cstring>
#include <string>
#include <vector>

namespace {

using cbbench::Detector;

const std::vector<cbbench::ImageSet>& imageSets()
{
    static const std::vector<cbbench::ImageSet> sets = [] {
        std::vector<cbbench::ImageSet> all = cbbench::renderedSets(8, false);
        std::vector<cbbench::ImageSet> chosen;
        for (auto& s : all)
            if (s.name == "640x480, clean" || s.name == "1280x960, noise 2, blur 0.7")
                chosen.push_back(std::move(s));
        chosen.push_back(cbbench::photographSet(TESSIMO_SAMPLE_DATA));
        return chosen;
    }();
    return sets;
}

void detectBoards(benchmark::State& state, Detector d, size_t setIndex)
{
    const auto& set = imageSets().at(setIndex);
    if (set.images.empty()) {
        state.SkipWithError("no images");
        return;
    }
    std::vector<cv::Point2f> corners;
    size_t i = 0;
    long found = 0, runs = 0;
    for (auto _ : state) {
        const auto& img = set.images[i];
        found += cbbench::detect(d, img.gray, img.pattern, corners);
        ++runs;
        benchmark::DoNotOptimize(corners.data());
        i = (i + 1) % set.images.size();
    }
    state.counters["found"] = runs ? double(found) / double(runs) : 0.0;
    state.counters["images"] = double(set.images.size());
}

void registerAll()
{
    for (size_t s = 0; s < imageSets().size(); ++s)
        for (Detector d : cbbench::allDetectors()) {
            if (d == Detector::Own && !cbbench::haveOwnDetector())
                continue;
            const std::string name =
                std::string("Chessboard/") + cbbench::detectorKey(d) + "/" + imageSets()[s].name;
            // at least every image once per repetition
            benchmark::RegisterBenchmark(name.c_str(), detectBoards, d, s)
                ->Unit(benchmark::kMillisecond)
                ->Iterations(int64_t(imageSets()[s].images.size()) * 2)
                ->Repetitions(3)
                ->ReportAggregatesOnly(true)
                ->UseRealTime();
        }
}

} // namespace

int main(int argc, char** argv)
{
    int threads = 1;
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc)
            threads = std::atoi(argv[++i]);
        else
            rest.push_back(argv[i]);
    }
    cv::setNumThreads(threads);
    int n = int(rest.size());
    benchmark::Initialize(&n, rest.data());
    benchmark::AddCustomContext("cv::setNumThreads", std::to_string(threads));
    benchmark::AddCustomContext("findChessboardCorners2",
                                cbbench::haveOwnDetector() ? "built in" : "not built in yet");
    registerAll();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
