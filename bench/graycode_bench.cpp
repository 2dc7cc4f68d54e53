// Decoding one Gray code set (42 captures of a 1024x768 projector, already in
// memory) with direct/global light separation, against OpenCV contrib's
// structured_light::GrayCodePattern::getProjPixel called for every camera
// pixel of the same captures. Captures and truth come from the simulated
// camera-projector rig of the test support library (one board pose, the
// dialog's decoding options b = 70 %, m = 5).
//
// Arguments: camera megapixels (1, 5, 12) and threads (1, 2, 8). Counters:
//   s_per_MP        wall time per camera megapixel
//   decided_board   share of the lit board pixels with both coordinates decided
//   exact, within1  shares of those decided board pixels that hit the lit
//                   projector pixel exactly / within one projector pixel
//   decided_all     share of all camera pixels decided
//   exact_common,   (peer rows) exact shares of the peer and of our decoder
//   own_exact_common  on the board pixels both decide
//   peak_extra_MB   (1 thread) peak of the heap memory allocated by one
//                   decoding, result included, beyond the captures already in
//                   memory
//
// contrib's decoder knows no code offset: it is created for a 1024x1024
// projector (10 row bits, as 768 rows have) and the row offset of 128 is taken
// off its rows. It decides a pixel when every pattern and inverse differ by at
// least its white threshold (5 grey levels, its default).

#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/structured_light.hpp>

#include "camproj_sim.h"
#include "core/structured_light/gray_code_decoder.h"

#include <malloc.h>

#include <atomic>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

namespace {

const cv::Size kProjector(1024, 768);
constexpr float kB = 0.70f;
constexpr int kM = 5;

cv::Size cameraOfMegapixels(int mp)
{
    switch (mp) {
    case 1:
        return {1152, 864};
    case 5:
        return {2592, 1944};
    case 12:
        return {4000, 3000};
    default:
        throw std::invalid_argument("no camera of that size");
    }
}

struct Capture {
    int mp = 0;
    cv::Size camera;
    std::vector<cv::Mat> images;
    synth::CamProjSetTruth truth;
};

// One capture set held at a time: a 12 MP set alone takes half a gigabyte.
const Capture& capture(int mp)
{
    static std::unique_ptr<Capture> held;
    if (!held || held->mp != mp) {
        held.reset();
        auto c = std::make_unique<Capture>();
        c->mp = mp;
        c->camera = cameraOfMegapixels(mp);
        const auto rig = synth::makeCamProjRig(c->camera, kProjector);
        synth::CamProjScene scene;
        scene.supersample = 2;
        const auto views = synth::camProjViews(rig, scene, 1, 4);
        c->images = synth::renderCamProjSet(rig, scene, views[0], &c->truth);
        held = std::move(c);
    }
    return *held;
}

// Heap bytes in use and their peak, counted by the allocation functions
// below, which stand in for the C library's in the whole process (OpenCV's
// images included).
// Counting is switched on only for an untimed pass, so that the timed runs
// pay no atomic operation per allocation.
std::atomic<bool> counting{false};
std::atomic<long long> heapInUse{0}, heapPeak{0};

void countAllocation(void* p)
{
    if (!p || !counting.load(std::memory_order_relaxed))
        return;
    const long long now = heapInUse += (long long)malloc_usable_size(p);
    long long peak = heapPeak;
    while (now > peak && !heapPeak.compare_exchange_weak(peak, now)) {
    }
}

struct Accuracy {
    double decidedBoard = 0, exact = 0, within1 = 0, decidedAll = 0;
};

// Accuracy over the lit board pixels; with `common`, only over those that
// `common` decided as well.
Accuracy accuracy(const cv::Mat& decoded, const synth::CamProjSetTruth& truth,
                  const cv::Mat& common = cv::Mat())
{
    long board = 0, decided = 0, exact = 0, within1 = 0, all = 0;
    for (int y = 0; y < decoded.rows; ++y)
        for (int x = 0; x < decoded.cols; ++x) {
            const cv::Vec2f d = decoded.at<cv::Vec2f>(y, x);
            const bool ok = !std::isnan(d[0]) && !std::isnan(d[1]);
            all += ok;
            const cv::Vec2f t = truth.projectorCoords.at<cv::Vec2f>(y, x);
            if (std::isnan(t[0]) || !truth.boardMask.at<uchar>(y, x))
                continue;
            if (!common.empty()) {
                const cv::Vec2f o = common.at<cv::Vec2f>(y, x);
                if (std::isnan(o[0]) || std::isnan(o[1]))
                    continue;
            }
            ++board;
            if (!ok)
                continue;
            ++decided;
            const double dx = std::abs(d[0] - std::round(t[0])), dy = std::abs(d[1] - std::round(t[1]));
            exact += dx == 0 && dy == 0;
            within1 += dx <= 1 && dy <= 1;
        }
    Accuracy a;
    a.decidedBoard = board ? double(decided) / board : 0;
    a.exact = decided ? double(exact) / decided : 0;
    a.within1 = decided ? double(within1) / decided : 0;
    a.decidedAll = double(all) / decoded.total();
    return a;
}

cv::Mat decodeOwn(const Capture& c)
{
    cv::Mat decoded, minMax;
    const DecodeResult r = decodeImageSetImages(
        int(c.images.size()), [&](int i) { return c.images[size_t(i)]; }, decoded, minMax, kProjector, kB,
        kM);
    if (!r.ok)
        throw std::runtime_error("decoding failed: " + r.error);
    return decoded;
}

cv::Mat decodeContrib(const Capture& c)
{
    static const cv::Ptr<cv::structured_light::GrayCodePattern> peer =
        cv::structured_light::GrayCodePattern::create(1024, 1024);
    const std::vector<cv::Mat> patterns(c.images.begin() + 2, c.images.end());
    const float rowOffset = float((1024 - kProjector.height) / 2);
    cv::Mat decoded(c.camera, CV_32FC2);
    cv::parallel_for_(cv::Range(0, c.camera.height), [&](const cv::Range& rows) {
        cv::Point p;
        for (int y = rows.start; y < rows.end; ++y) {
            auto* out = decoded.ptr<cv::Vec2f>(y);
            for (int x = 0; x < c.camera.width; ++x) {
                if (peer->getProjPixel(patterns, x, y, p)) // true: no decision
                    out[x] = cv::Vec2f(NAN, NAN);
                else
                    out[x] = cv::Vec2f(float(p.x), float(p.y) - rowOffset);
            }
        }
    });
    return decoded;
}

// The last own result per size, for the accuracy on the pixels both decide.
cv::Mat ownResult;
int ownResultMp = 0;

template <cv::Mat (*Decode)(const Capture&)> void BM_Decode(benchmark::State& state)
{
    const int mp = int(state.range(0)), threads = int(state.range(1));
    const Capture& c = capture(mp);
    const int previousThreads = cv::getNumThreads();
    cv::setNumThreads(threads);
    // untimed pass for the memory, on one thread
    if (threads == 1) {
        heapInUse = 0;
        heapPeak = 0;
        counting = true;
        cv::Mat once = Decode(c);
        counting = false;
        state.counters["peak_extra_MB"] = double(heapPeak.load()) / (1024.0 * 1024.0);
    }
    cv::Mat decoded;
    for (auto _ : state) {
        decoded.release(); // one result at a time, for the peak memory
        decoded = Decode(c);
        benchmark::DoNotOptimize(decoded.data);
    }
    cv::setNumThreads(previousThreads);
    const double megapixels = c.camera.area() / 1e6;
    state.counters["s_per_MP"] = benchmark::Counter(
        megapixels, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    const Accuracy a = accuracy(decoded, c.truth);
    state.counters["decided_board"] = a.decidedBoard;
    state.counters["exact"] = a.exact;
    state.counters["within1"] = a.within1;
    state.counters["decided_all"] = a.decidedAll;
    if (Decode == decodeOwn) {
        ownResult = decoded;
        ownResultMp = mp;
    } else if (ownResultMp == mp) {
        // on the board pixels both decoders decide: exact share of each
        state.counters["exact_common"] = accuracy(decoded, c.truth, ownResult).exact;
        state.counters["own_exact_common"] = accuracy(ownResult, c.truth, decoded).exact;
    }
    state.SetLabel(cv::format("%dx%d camera", c.camera.width, c.camera.height));
}

} // namespace

// Registered size by size, so that each capture set is rendered once.
int main(int argc, char** argv)
{
    for (const int mp : {1, 5, 12})
        for (const int threads : {1, 2, 8}) {
            benchmark::RegisterBenchmark("decodeImageSet", BM_Decode<decodeOwn>)
                ->Args({mp, threads})
                ->ArgNames({"MP", "threads"})
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime()
                ->MinTime(0.5);
            benchmark::RegisterBenchmark("contrib_getProjPixel", BM_Decode<decodeContrib>)
                ->Args({mp, threads})
                ->ArgNames({"MP", "threads"})
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime()
                ->Iterations(1);
        }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

// The C library's allocation functions, counted.
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);

void* malloc(size_t n)
{
    void* p = __libc_malloc(n);
    countAllocation(p);
    return p;
}
void* calloc(size_t n, size_t size)
{
    void* p = __libc_calloc(n, size);
    countAllocation(p);
    return p;
}
void free(void* p)
{
    if (p && counting.load(std::memory_order_relaxed))
        heapInUse -= (long long)malloc_usable_size(p);
    __libc_free(p);
}
void* realloc(void* p, size_t n)
{
    const long long old = p ? (long long)malloc_usable_size(p) : 0;
    void* q = __libc_realloc(p, n);
    if ((q || n == 0) && counting.load(std::memory_order_relaxed))
        heapInUse -= old;
    countAllocation(q);
    return q;
}
void* memalign(size_t alignment, size_t n)
{
    void* p = __libc_memalign(alignment, n);
    countAllocation(p);
    return p;
}
void* aligned_alloc(size_t alignment, size_t n)
{
    return memalign(alignment, n);
}
int posix_memalign(void** out, size_t alignment, size_t n)
{
    void* p = memalign(alignment, n);
    if (!p)
        return 12; // ENOMEM
    *out = p;
    return 0;
}
}
