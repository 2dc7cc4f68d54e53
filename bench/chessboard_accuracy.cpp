// Accuracy, speed and memory of the three chessboard detectors on the same
// images and thread count, printed as markdown tables:
//  - rendered boards with exact corners: detection rate, RMS and largest
//    corner error, signed mean error (bias), median elapsed and processor
//    time per image;
//  - the real 9x6 photographs: detections, median time, and how far the
//    detectors' corners lie from each other;
//  - peak resident memory of each detector.
//
// Each detector runs in a process of its own (this program started again
// with --worker), so that its peak memory is its own; the images reach it as
// lossless PNG files. The peak of each detection is the process's resident
// high-water mark (reset before the detection) above the resident size
// before it.
//
// Usage: chessboard_accuracy [--threads N] [--reps N] [--views N] [--large]
//                            [--data DIR]
//   --threads  cv::setNumThreads for every detector (default 1)
//   --reps     timed runs per image, the median is kept (default 3)
//   --views    rendered images per set (default 8)
//   --large    add sets of 3-megapixel (2048x1536) and 12-megapixel (4000x3000)
//              renders (the latter half as many images)
//   --data     folder of left01.jpg..left14.jpg (default: OpenCV's samples)

#include "chessboard_common.h"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace {

using cbbench::Detector;

struct Options {
    int threads = 1;
    int reps = 3;
    int views = 8;
    bool large = false;
    std::string data = TESSIMO_SAMPLE_DATA;
};

double median(std::vector<double> v)
{
    if (v.empty())
        return std::nan("");
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

long statusKb(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const size_t n = std::strlen(field);
    while (std::getline(status, line))
        if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':')
            return std::atol(line.c_str() + n + 1);
    return -1;
}

// Processor time of the whole process (all threads), in milliseconds: on a
// machine shared with other work it varies less than the elapsed time.
double cpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec * 1e-6;
}

long residentKb()
{
    return statusKb("VmRSS");
}

// Starts a new peak: Linux resets the resident high-water mark on writing 5
// to clear_refs.
bool resetPeak()
{
    std::ofstream c("/proc/self/clear_refs");
    c << "5";
    c.flush();
    return bool(c);
}

// Peak resident memory of this process: the high-water mark of its own
// address space (VmHWM). getrusage's ru_maxrss is the same figure but keeps
// the larger one of the image before exec (here: the driver's), so it is
// only the fallback.
long peakKb()
{
    const long hwm = statusKb("VmHWM");
    if (hwm >= 0)
        return hwm;
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

Detector detectorFromKey(const std::string& key)
{
    for (Detector d : cbbench::allDetectors())
        if (key == cbbench::detectorKey(d))
            return d;
    std::cerr << "unknown detector " << key << "\n";
    std::exit(2);
}

// ---------------------------------------------------------------------------
// Worker: one detector over every image of the manifest
// ---------------------------------------------------------------------------

int runWorker(const std::string& key, const std::string& manifest, const Options& o)
{
    cv::setNumThreads(o.threads);
    const Detector d = detectorFromKey(key);
    struct Item {
        cv::Mat gray;
        cv::Size pattern;
    };
    std::vector<Item> items;
    std::ifstream in(manifest);
    int w, h;
    std::string path;
    while (in >> w >> h >> path) {
        Item it{cv::imread(path, cv::IMREAD_GRAYSCALE), {w, h}};
        if (it.gray.empty()) {
            std::cerr << "cannot read " << path << "\n";
            return 2;
        }
        items.push_back(std::move(it));
    }
    // Warm-up on an image without a board: thread pool, libraries' first
    // allocations.
    std::vector<cv::Point2f> corners;
    cbbench::detect(d, cv::Mat(96, 128, CV_8U, cv::Scalar(128)), {9, 6}, corners);

    // Per image: the median time of the runs, and the peak resident memory
    // of the first run above the resident size before it.
    bool perRun = true;
    std::ostringstream out;
    out.precision(9);
    for (size_t i = 0; i < items.size(); ++i) {
        std::vector<double> ms, cpu;
        bool found = false;
        long extraKb = 0;
        for (int r = 0; r < o.reps; ++r) {
            long before = 0;
            if (r == 0) {
                perRun = resetPeak() && perRun;
                before = residentKb();
            }
            const double c0 = cpuMs();
            const auto t0 = std::chrono::steady_clock::now();
            found = cbbench::detect(d, items[i].gray, items[i].pattern, corners);
            const auto t1 = std::chrono::steady_clock::now();
            cpu.push_back(cpuMs() - c0);
            ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
            if (r == 0)
                extraKb = peakKb() - before;
        }
        out << "R " << i << ' ' << int(found) << ' ' << median(ms) << ' ' << median(cpu) << ' ' << extraKb
            << ' ' << corners.size();
        for (const auto& p : corners)
            out << ' ' << p.x << ' ' << p.y;
        out << '\n';
    }
    out << "M " << int(perRun) << '\n';
    std::cout << out.str() << std::flush;
    return 0;
}

// ---------------------------------------------------------------------------
// Driver
// ---------------------------------------------------------------------------

struct Result {
    bool found = false;
    double ms = 0;
    double cpuMs = 0; // processor time of all the process's threads
    long extraKb = 0; // peak resident memory of the run above the resident size before it
    std::vector<cv::Point2f> corners;
};

struct WorkerRun {
    std::vector<Result> results; // in manifest order
    bool perRunPeaks = false;    // false: each peak counts from the process's start
};

WorkerRun spawnWorker(Detector d, const std::string& manifest, const Options& o)
{
    int fds[2];
    if (pipe(fds) != 0) {
        perror("pipe");
        std::exit(1);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    std::vector<std::string> args{
        "chessboard_accuracy",     "--worker", cbbench::detectorKey(d), manifest, "--threads",
        std::to_string(o.threads), "--reps",   std::to_string(o.reps)};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ) != 0) {
        perror("posix_spawn");
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    std::string text;
    char buf[65536];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
        text.append(buf, size_t(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::cerr << "worker for " << cbbench::detectorName(d) << " failed\n";
        std::exit(1);
    }

    WorkerRun run;
    std::istringstream in(text);
    std::string tag;
    while (in >> tag) {
        if (tag == "R") {
            size_t idx = 0, n = 0;
            int found = 0;
            Result r;
            in >> idx >> found >> r.ms >> r.cpuMs >> r.extraKb >> n;
            r.found = found != 0;
            r.corners.resize(n);
            for (auto& p : r.corners)
                in >> p.x >> p.y;
            if (run.results.size() <= idx)
                run.results.resize(idx + 1);
            run.results[idx] = std::move(r);
        } else if (tag == "M") {
            int perRun = 0;
            in >> perRun;
            run.perRunPeaks = perRun != 0;
        }
    }
    return run;
}

struct Accuracy {
    int total = 0, correct = 0, wrong = 0;
    double sumSq = 0, worst = 0;
    cv::Point2d bias{0, 0};
    long corners = 0;
    std::vector<double> ms, cpu;
    long maxExtraKb = 0;

    void add(const cbbench::BoardImage& img, const Result& r)
    {
        ++total;
        ms.push_back(r.ms);
        cpu.push_back(r.cpuMs);
        maxExtraKb = std::max(maxExtraKb, r.extraKb);
        if (!r.found)
            return;
        const auto m = cbbench::matchToReference(r.corners, img.truth);
        if (m.empty()) {
            ++wrong;
            return;
        }
        ++correct;
        for (size_t i = 0; i < m.size(); ++i) {
            const cv::Point2d e = cv::Point2d(m[i]) - cv::Point2d(img.truth[i]);
            sumSq += e.dot(e);
            worst = std::max(worst, std::sqrt(e.dot(e)));
            bias += e;
            ++corners;
        }
    }
    std::string row() const
    {
        const double rms = corners ? std::sqrt(sumSq / double(corners)) : std::nan("");
        const cv::Point2d b = corners ? bias / double(corners) : cv::Point2d(std::nan(""), std::nan(""));
        std::string found = cv::format("%d/%d", correct, total);
        if (wrong)
            found += cv::format(" (+%d wrong board%s)", wrong, wrong > 1 ? "s" : "");
        const double mb = maxExtraKb / 1024.0;
        if (!corners)
            return cv::format("| %s | - | - | - | %.1f | %.1f | %.0f |", found.c_str(), median(ms),
                              median(cpu), mb);
        return cv::format("| %s | %.3f | %.3f | (%+.3f, %+.3f) | %.1f | %.1f | %.0f |", found.c_str(), rms,
                          worst, b.x, b.y, median(ms), median(cpu), mb);
    }
};

int runDriver(const Options& o)
{
    cv::setNumThreads(o.threads);
    std::vector<cbbench::ImageSet> sets = cbbench::renderedSets(o.views, o.large);
    const size_t renderedCount = sets.size();
    sets.push_back(cbbench::photographSet(o.data));
    if (sets.back().images.empty())
        std::cerr << "no photographs found in " << o.data << "\n";

    // Images to PNG files and a manifest the workers read.
    char dirTemplate[] = "/tmp/tessimo_chessboard_XXXXXX";
    const char* dir = mkdtemp(dirTemplate);
    if (!dir) {
        perror("mkdtemp");
        return 1;
    }
    const std::string manifest = std::string(dir) + "/manifest.txt";
    std::vector<std::pair<size_t, size_t>> order; // (set, image) per manifest line
    {
        std::ofstream m(manifest);
        for (size_t s = 0; s < sets.size(); ++s)
            for (size_t i = 0; i < sets[s].images.size(); ++i) {
                const auto& img = sets[s].images[i];
                const std::string path = cv::format("%s/%02d_%03d.png", dir, int(s), int(i));
                cv::imwrite(path, img.gray);
                m << img.pattern.width << ' ' << img.pattern.height << ' ' << path << '\n';
                order.emplace_back(s, i);
            }
    }

    std::vector<Detector> detectors;
    for (Detector d : cbbench::allDetectors())
        if (d != Detector::Own || cbbench::haveOwnDetector())
            detectors.push_back(d);

    std::map<Detector, WorkerRun> runs;
    for (Detector d : detectors) {
        std::cerr << "running " << cbbench::detectorName(d) << " on " << order.size() << " images...\n";
        runs[d] = spawnWorker(d, manifest, o);
    }
    for (size_t k = 0; k < order.size(); ++k)
        std::remove(cv::format("%s/%02d_%03d.png", dir, int(order[k].first), int(order[k].second)).c_str());
    std::remove(manifest.c_str());
    rmdir(dir);

    // per set and detector
    std::map<std::pair<size_t, Detector>, Accuracy> acc;
    std::map<Detector, Accuracy> overall;
    std::map<std::pair<size_t, Detector>, std::vector<const Result*>> bySet;
    for (Detector d : detectors)
        for (size_t k = 0; k < order.size(); ++k) {
            const auto [s, i] = order[k];
            const Result& r = runs[d].results.at(k);
            bySet[{s, d}].push_back(&r);
            if (s < renderedCount) {
                acc[{s, d}].add(sets[s].images[i], r);
                overall[d].add(sets[s].images[i], r);
            }
        }

    std::cout
        << "Threads: " << o.threads << " (cv::setNumThreads), timed runs per image: " << o.reps
        << ", median kept. Peak memory: resident memory at the peak of one detection above the resident "
           "size before it"
        << (runs.begin()->second.perRunPeaks ? "" : " (process-wide: the peak could not be reset)") << ".\n";
    if (!cbbench::haveOwnDetector())
        std::cout << "findChessboardCorners2 is not built in yet: its rows are missing.\n";

    std::cout
        << "\n### Rendered boards with exact corners\n\n"
        << "Found: boards each of whose corners lies nearer to a different true corner than 0.45 times the "
           "smallest corner spacing; the errors are over these boards' corners; a board found elsewhere is "
           "a wrong board.\n\n"
        << "| Images | Detector | Found | RMS error (px) | Max error (px) | Bias x, y (px) | Median "
           "time (ms) | Median processor time (ms) "
           "| Peak memory (MB) |\n"
        << "|---|---|---|---|---|---|---|---|---|\n";
    for (size_t s = 0; s < renderedCount; ++s)
        for (Detector d : detectors)
            std::cout << "| " << sets[s].name << " (" << sets[s].images.size() << ") | "
                      << cbbench::detectorName(d) << ' ' << acc[{s, d}].row() << '\n';
    for (Detector d : detectors)
        std::cout << "| **all rendered** | " << cbbench::detectorName(d) << ' ' << overall[d].row() << '\n';

    // photographs: detections, time, memory, agreement
    const size_t ps = renderedCount;
    const auto& photos = sets[ps].images;
    std::cout << "\n### " << sets[ps].name << ", no ground truth\n\n"
              << "| Detector | Found | Median time (ms) | Median processor time (ms) | Peak memory (MB) |";
    for (Detector other : detectors)
        std::cout << " RMS distance to " << cbbench::detectorKey(other) << " (px) |";
    std::cout << "\n|---|---|---|---|---|";
    for (size_t k = 0; k < detectors.size(); ++k)
        std::cout << "---|";
    std::cout << '\n';
    for (Detector d : detectors) {
        int found = 0;
        long extraKb = 0;
        std::vector<double> ms, cpu;
        for (const Result* r : bySet[{ps, d}]) {
            found += r->found;
            ms.push_back(r->ms);
            cpu.push_back(r->cpuMs);
            extraKb = std::max(extraKb, r->extraKb);
        }
        std::cout << "| " << cbbench::detectorName(d) << " | " << found << '/' << photos.size() << " | "
                  << cv::format("%.1f | %.1f | %.0f", median(ms), median(cpu), extraKb / 1024.0) << " |";
        for (Detector other : detectors) {
            if (other == d) {
                std::cout << " - |";
                continue;
            }
            double sumSq = 0;
            long n = 0;
            int pairs = 0, disagree = 0;
            for (size_t i = 0; i < photos.size(); ++i) {
                const Result* a = bySet[{ps, d}][i];
                const Result* b = bySet[{ps, other}][i];
                if (!a->found || !b->found)
                    continue;
                ++pairs;
                const auto m = cbbench::matchToReference(a->corners, b->corners);
                if (m.empty()) {
                    ++disagree;
                    continue;
                }
                for (size_t j = 0; j < m.size(); ++j) {
                    const cv::Point2d e = cv::Point2d(m[j]) - cv::Point2d(b->corners[j]);
                    sumSq += e.dot(e);
                    ++n;
                }
            }
            std::cout << (n ? cv::format(" %.3f (%d images)", std::sqrt(sumSq / double(n)), pairs - disagree)
                            : std::string(" -"));
            if (disagree)
                std::cout << cv::format(", %d different boards", disagree);
            std::cout << " |";
        }
        std::cout << '\n';
    }

    std::cout << "\n### Peak memory of one detection, largest over all images\n\n"
              << "| Detector | Peak memory (MB) | On image |\n|---|---|---|\n";
    for (Detector d : detectors) {
        long best = -1;
        std::string where;
        for (size_t k = 0; k < order.size(); ++k) {
            const Result& r = runs[d].results.at(k);
            if (r.extraKb > best) {
                best = r.extraKb;
                const auto& img = sets[order[k].first].images[order[k].second];
                where = cv::format("%s, %dx%d", img.name.c_str(), img.gray.cols, img.gray.rows);
            }
        }
        std::cout << "| " << cbbench::detectorName(d) << " | " << cv::format("%.0f", best / 1024.0) << " | "
                  << where << " |\n";
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    std::string workerKey, manifest;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::cerr << a << " needs a value\n";
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--threads")
            o.threads = std::stoi(next());
        else if (a == "--reps")
            o.reps = std::max(1, std::stoi(next()));
        else if (a == "--views")
            o.views = std::max(1, std::stoi(next()));
        else if (a == "--large")
            o.large = true;
        else if (a == "--data")
            o.data = next();
        else if (a == "--worker") {
            workerKey = next();
            manifest = next();
        } else {
            std::cerr << "usage: " << argv[0]
                      << " [--threads N] [--reps N] [--views N] [--large] [--data DIR]\n";
            return 2;
        }
    }
    if (!workerKey.empty())
        return runWorker(workerKey, manifest, o);
    return runDriver(o);
}
