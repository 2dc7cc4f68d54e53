// Loading and saving a project in the main window, for scenes of 50, 100 and
// 200 sensors (each with a camera matrix, five distortion coefficients, an
// image size and a pose). A load is timed from the call until the window has
// handled the events it left (tree layout, painting); a save from the call
// until both files are written. The window is shown, as in use.
//
// Needs a display (run it under xvfb-run); without one it falls back to Qt's
// offscreen platform. Settings go to a temporary folder.
//
//   xvfb-run -a build/bench/main_window_bench [--benchmark_repetitions=3]

#include <benchmark/benchmark.h>

#include "core/io/project_file.h"
#include "gui/shell/MainWindow.h"
#include "gui/shell/SensorTree.h"

#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QWindow>

#include <opencv2/calib3d.hpp>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace {

QTemporaryDir& folder()
{
    static QTemporaryDir dir;
    return dir;
}

// A scene of n sensors with intrinsics and poses all around.
std::vector<Sensor> scene(int n)
{
    cv::RNG rng(20260101);
    std::vector<Sensor> sensors;
    for (int j = 0; j < n; ++j) {
        Sensor s;
        s.name = "Camera " + std::to_string(j);
        cv::Mat rvec = (cv::Mat_<double>(3, 1) << rng.uniform(-3.0, 3.0), rng.uniform(-1.5, 1.5),
                        rng.uniform(-3.0, 3.0));
        cv::Rodrigues(rvec, s.R);
        s.t = (cv::Mat_<double>(3, 1) << rng.uniform(-5000.0, 5000.0), rng.uniform(-5000.0, 5000.0),
               rng.uniform(-5000.0, 5000.0));
        s.K = (cv::Mat_<double>(3, 3) << rng.uniform(800.0, 3000.0), 0, rng.uniform(300.0, 1000.0), 0,
               rng.uniform(800.0, 3000.0), rng.uniform(200.0, 800.0), 0, 0, 1);
        s.kc = (cv::Mat_<double>(1, 5) << rng.uniform(-0.3, 0.3), rng.uniform(-0.1, 0.1), 0.001, -0.002,
                rng.uniform(-0.05, 0.05));
        s.imgSize = cv::Size(1280 + 8 * (j % 50), 960);
        sensors.push_back(s);
    }
    return sensors;
}

// The project file of n sensors, written once.
std::string projectOf(int n)
{
    const std::string path = folder().filePath(QString("scene%1.yml").arg(n)).toStdString();
    if (!QFile::exists(QString::fromStdString(path)))
        saveProjectFiles(path, scene(n), 0, "2026-01-01T00:00:00");
    return path;
}

std::unique_ptr<MainWindow> shownWindow()
{
    auto window = std::make_unique<MainWindow>();
    window->resize(1400, 900);
    window->show();
    for (int i = 0; i < 500 && !(window->windowHandle() && window->windowHandle()->isExposed()); ++i) {
        QCoreApplication::processEvents();
        QThread::msleep(10);
    }
    QCoreApplication::processEvents();
    return window;
}

void BM_LoadProject(benchmark::State& state)
{
    const int n = int(state.range(0));
    const QString path = QString::fromStdString(projectOf(n));
    auto window = shownWindow();
    double loadSeconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        if (!window->loadProject(path))
            state.SkipWithError("the project was not loaded");
        loadSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        QCoreApplication::processEvents();
    }
    // The part of the time spent in the call itself; the rest is the events
    // it left (layout of the tree, painting).
    state.counters["call_ms"] = benchmark::Counter(1e3 * loadSeconds / double(state.iterations()));
    if (window->sensorTree()->getSensors().size() != size_t(n))
        state.SkipWithError("the scene does not hold every sensor");
    state.SetComplexityN(n);
}

void BM_SaveProject(benchmark::State& state)
{
    const int n = int(state.range(0));
    auto window = shownWindow();
    if (!window->loadProject(QString::fromStdString(projectOf(n)))) {
        state.SkipWithError("the project was not loaded");
        return;
    }
    QCoreApplication::processEvents();
    const QString target = folder().filePath(QString("saved%1.yml").arg(n));
    for (auto _ : state) {
        if (!window->saveProject(target, n / 2))
            state.SkipWithError("the project was not saved");
    }
    state.SetComplexityN(n);
}

// Scenes of 50, 100 and 200 sensors, three timed runs each.
void sceneSizes(benchmark::internal::Benchmark* b)
{
    b->Arg(50)->Arg(100)->Arg(200)->Unit(benchmark::kMillisecond)->Iterations(3)->Complexity(benchmark::oN);
}

BENCHMARK(BM_LoadProject)->Apply(sceneSizes);
BENCHMARK(BM_SaveProject)->Apply(sceneSizes);

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, folder().path());
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
