// Time per image of the line segment detector against OpenCV's peers on the
// same decoded images, one thread: contrib's EdgeDrawing (edges and its line
// fitting, with the same gradient operator, thresholds, minimum line length
// and NFA validation), cv::LineSegmentDetector and contrib's
// FastLineDetector. Images: Debian's building.jpg and the rendered box room
// (corner and level views) at 640x480, 1280x960 and 4000x3000.
//
// Counters: "segments" found in the image; on the rendered rooms "recall",
// the fraction of the true edge length covered by segments within 1.5 px and
// 2 degrees.

#include "core/lines/line_detection.h"

#include "box_room.h"

#include <benchmark/benchmark.h>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/ximgproc.hpp>

#include <string>
#include <vector>

namespace {

const int kMinLineLength = 9; // the detector's least length; EdgeDrawing gets the same

struct Scene {
    std::string name;
    cv::Mat gray;
    std::vector<cv::Vec4f> truth; // empty for the photograph
};

const std::vector<Scene>& scenes()
{
    static const std::vector<Scene> all = [] {
        std::vector<Scene> s;
        s.push_back({"building.jpg",
                     cv::imread(std::string(TESSIMO_SAMPLE_DATA) + "/building.jpg", cv::IMREAD_GRAYSCALE),
                     {}});
        for (const cv::Size size : {cv::Size(640, 480), cv::Size(1280, 960), cv::Size(4000, 3000)})
            for (const auto view : {synth::RoomView::Corner, synth::RoomView::Level}) {
                synth::BoxRoomOptions o;
                o.size = size;
                o.view = view;
                o.supersample = size.width > 2000 ? 2 : 4;
                synth::BoxRoomScene r = synth::renderBoxRoom(o);
                s.push_back({std::string(view == synth::RoomView::Corner ? "room corner " : "room level ") +
                                 std::to_string(size.width) + "x" + std::to_string(size.height),
                             r.image, r.segments});
            }
        return s;
    }();
    return all;
}

enum class Detector { Own, EdgeDrawing, Lsd, Fld };

const char* key(Detector d)
{
    switch (d) {
    case Detector::Own:
        return "own";
    case Detector::EdgeDrawing:
        return "EdgeDrawing";
    case Detector::Lsd:
        return "LSD";
    default:
        return "FastLineDetector";
    }
}

void detectLines(benchmark::State& state, Detector d, size_t sceneIndex)
{
    const Scene& sc = scenes().at(sceneIndex);
    if (sc.gray.empty()) {
        state.SkipWithError("image not found");
        return;
    }
    cv::Ptr<cv::ximgproc::EdgeDrawing> ed;
    cv::Ptr<cv::LineSegmentDetector> lsd;
    cv::Ptr<cv::ximgproc::FastLineDetector> fld;
    if (d == Detector::EdgeDrawing) {
        ed = cv::ximgproc::createEdgeDrawing();
        auto& p = ed->params;
        p.EdgeDetectionOperator = cv::ximgproc::EdgeDrawing::SOBEL;
        p.GradientThresholdValue = 36;
        p.AnchorThresholdValue = 8;
        p.ScanInterval = 1;
        p.MinPathLength = 10;
        p.Sigma = 1.0f;
        p.SumFlag = true;
        p.NFAValidation = true;
        p.MinLineLength = kMinLineLength;
        p.MaxDistanceBetweenTwoLines = 6.0;
        p.LineFitErrorThreshold = 1.0;
        p.MaxErrorThreshold = 1.3;
    } else if (d == Detector::Lsd) {
        lsd = cv::createLineSegmentDetector();
    } else if (d == Detector::Fld) {
        fld = cv::ximgproc::createFastLineDetector(kMinLineLength);
    }
    std::vector<cv::Vec4f> lines;
    for (auto _ : state) {
        lines.clear();
        switch (d) {
        case Detector::Own:
            detectLineSegments(sc.gray, lines, kMinLineLength, 1.0, 6.0, 1.3);
            break;
        case Detector::EdgeDrawing:
            ed->detectEdges(sc.gray);
            ed->detectLines(lines);
            break;
        case Detector::Lsd:
            lsd->detect(sc.gray, lines);
            break;
        case Detector::Fld:
            fld->detect(sc.gray, lines);
            break;
        }
        benchmark::DoNotOptimize(lines.data());
    }
    state.counters["segments"] = double(lines.size());
    if (!sc.truth.empty())
        state.counters["recall"] = synth::segmentRecall(sc.truth, lines);
}

void registerAll()
{
    for (size_t s = 0; s < scenes().size(); ++s)
        for (Detector d : {Detector::Own, Detector::EdgeDrawing, Detector::Lsd, Detector::Fld}) {
            const std::string name = std::string("Lines/") + key(d) + "/" + scenes()[s].name;
            benchmark::RegisterBenchmark(name.c_str(), detectLines, d, s)
                ->Unit(benchmark::kMillisecond)
                ->Repetitions(5)
                ->ReportAggregatesOnly(true)
                ->UseRealTime();
        }
}

} // namespace

int main(int argc, char** argv)
{
    cv::setNumThreads(1);
    benchmark::Initialize(&argc, argv);
    benchmark::AddCustomContext("cv::setNumThreads", "1");
    registerAll();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
