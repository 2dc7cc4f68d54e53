#include "core/io/file_storage_guard.h"

#include "core/io/corner_file.h"
#include "core/io/intrinsics_file.h"
#include "core/io/project_file.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <thread>
#include <vector>

#include <sys/mman.h>

namespace {

struct BadText {
    const char* what;
    std::string text;
    StorageError kind;
};

// Texts that made OpenCV's parser throw a standard exception or never return.
const BadText kBadTexts[] = {
    {"length_error from the YAML parser", std::string("%YAML:1.\n-n:1\n :"), StorageError::Malformed},
    {"YAML parser that never returns", std::string("%YAML:1.\n---[]%\n-"), StorageError::Malformed},
    {"empty", std::string(), StorageError::Unreadable},
    {"binary with NUL", std::string("%YAML:1.0\nK: 1\0\xff", 16), StorageError::Unreadable},
    {"unterminated JSON", std::string("{\n \"K\": [1, 2,"), StorageError::OpenCv},
};

TEST(FileStorageGuard, MalformedTextIsUnreadableWithinTheTimeLimit)
{
    for (const BadText& bad : kBadTexts) {
        SCOPED_TRACE(bad.what);
        cv::FileStorage fs;
        std::string error;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(openFileStorageGuarded(fs, bad.text, cv::FileStorage::FORMAT_AUTO, error), bad.kind);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        EXPECT_FALSE(fs.isOpened());
        EXPECT_FALSE(error.empty());
    }
}

TEST(FileStorageGuard, WellFormedYamlAndJsonAreReadAsOpenCvWroteThem)
{
    const cv::Mat K = (cv::Mat_<double>(3, 3) << 800, 0, 320.5, 0, 810, 240.25, 0, 0, 1);
    for (int format : {cv::FileStorage::FORMAT_YAML, cv::FileStorage::FORMAT_JSON}) {
        SCOPED_TRACE(format);
        cv::FileStorage out(".txt", cv::FileStorage::WRITE | cv::FileStorage::MEMORY | format);
        out << "K" << K << "name"
            << "Cam0"
            << "n" << 3;
        const std::string text = out.releaseAndGetString();

        cv::FileStorage fs;
        std::string error;
        ASSERT_EQ(openFileStorageGuarded(fs, text, cv::FileStorage::FORMAT_AUTO, error), StorageError::None)
            << error;
        cv::Mat back;
        fs["K"] >> back;
        EXPECT_EQ(cv::norm(back, K, cv::NORM_INF), 0.0);
        EXPECT_EQ(static_cast<std::string>(fs["name"]), "Cam0");
        EXPECT_EQ(static_cast<int>(fs["n"]), 3);
    }
}

TEST(FileStorageGuard, FilesAreReadWholeOrReportedUnreadable)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string good = dir.filePath("good.yml").toStdString();
    {
        cv::FileStorage out(good, cv::FileStorage::WRITE);
        out << "imgSize" << cv::Size(640, 480);
    }
    cv::FileStorage fs;
    std::string error;
    ASSERT_EQ(openFileStorageFile(fs, good, error), StorageError::None) << error;
    cv::Size size;
    fs["imgSize"] >> size;
    EXPECT_EQ(size, cv::Size(640, 480));

    EXPECT_EQ(openFileStorageFile(fs, dir.filePath("missing.yml").toStdString(), error),
              StorageError::Unreadable);
    EXPECT_EQ(error, "cannot open the file");
    EXPECT_NE(openFileStorageFile(fs, dir.path().toStdString(), error), StorageError::None); // a folder

    std::string text;
    EXPECT_FALSE(readWholeFile(good, text, error, 4));
    EXPECT_EQ(error, "the file is too large");
    EXPECT_TRUE(text.empty());
}

// A project-like text of n sensors and a corner-file-like text of n points,
// as OpenCV writes them.
std::string projectLikeText(int n)
{
    cv::FileStorage out(".yml",
                        cv::FileStorage::WRITE | cv::FileStorage::MEMORY | cv::FileStorage::FORMAT_YAML);
    out << "Sensors"
        << "[";
    for (int j = 0; j < n; ++j)
        out << "Cam" + std::to_string(j);
    out << "]";
    for (int j = 0; j < n; ++j)
        out << "K" + std::to_string(j) << cv::Mat::eye(3, 3, CV_64F) << "T" + std::to_string(j)
            << cv::Mat::ones(3, 1, CV_64F);
    return out.releaseAndGetString();
}

std::string cornerLikeText(int n)
{
    cv::Mat corners(n, 1, CV_32FC2), obj(n, 1, CV_32FC3);
    cv::randu(corners, 0, 4000);
    cv::randu(obj, -500, 500);
    cv::FileStorage out(".yml",
                        cv::FileStorage::WRITE | cv::FileStorage::MEMORY | cv::FileStorage::FORMAT_YAML);
    out << "corners" << corners << "obj" << obj;
    return out.releaseAndGetString();
}

// Keeps `threads` threads spinning while it lives.
class BusyCores {
public:
    explicit BusyCores(unsigned threads)
    {
        for (unsigned i = 0; i < threads; ++i)
            spinners.emplace_back([this] {
                volatile unsigned long n = 0;
                while (!stop.load(std::memory_order_relaxed))
                    n = n + 1;
            });
    }
    ~BusyCores()
    {
        stop = true;
        for (std::thread& t : spinners)
            t.join();
    }

private:
    std::atomic<bool> stop{false};
    std::vector<std::thread> spinners;
};

#ifdef MADV_POPULATE_WRITE
constexpr int kPopulateWrite = MADV_POPULATE_WRITE;
#else
constexpr int kPopulateWrite = 23; // Linux 5.14
#endif

double threadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// Processor time this thread spends on one read of `text`, the median of
// `reads` reads.
double cpuSecondsPerRead(const std::string& text, int reads)
{
    std::vector<double> times;
    for (int i = 0; i < reads; ++i) {
        cv::FileStorage fs;
        std::string error;
        const double start = threadCpuSeconds();
        EXPECT_EQ(openFileStorageGuarded(fs, text, cv::FileStorage::FORMAT_AUTO, error), StorageError::None)
            << error;
        times.push_back(threadCpuSeconds() - start);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// The limits count processor time: while every core is taken twice
// over, a small file and one of a few MB (whose parse takes a good part of a
// second of processor time) are still read.
TEST(FileStorageGuard, ValidFilesAreReadWhileEveryCoreIsBusy)
{
    const std::string texts[] = {projectLikeText(3), cornerLikeText(60000)};
    ASSERT_GT(texts[1].size(), 4u << 20);
    const BusyCores busy(2 * std::max(1u, std::thread::hardware_concurrency()));
    for (int round = 0; round < 2; ++round) {
        for (const std::string& text : texts) {
            SCOPED_TRACE(std::to_string(round) + ": " + std::to_string(text.size()) + " bytes");
            cv::FileStorage fs;
            std::string error;
            ASSERT_EQ(openFileStorageGuarded(fs, text, cv::FileStorage::FORMAT_AUTO, error),
                      StorageError::None)
                << error;
            EXPECT_TRUE(fs["T2"].isMap() || fs["obj"].isMap());
        }
    }
}

// The checker is started without copying the program: a program grown by
// 3 GiB of touched memory spends no more processor time on starting it than
// a small one. (Forking would copy the page tables of every touched page.)
TEST(FileStorageGuard, ASmallReadCostsTheSameInAProgramOfSeveralGigabytes)
{
    const std::string text = projectLikeText(3);
    const double small = cpuSecondsPerRead(text, 7);

    const size_t bytes = size_t(3) << 30;
    void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    // Pages of 4 KiB, as a program's heap has them, all touched (populated
    // by the kernel at once where it can).
    madvise(memory, bytes, MADV_NOHUGEPAGE);
    if (madvise(memory, bytes, kPopulateWrite) != 0)
        std::memset(memory, 1, bytes);
    const double large = cpuSecondsPerRead(text, 7);
    munmap(memory, bytes);

    EXPECT_LT(large, small + 0.02) << "small program " << small << " s, large " << large << " s";
}

// What the checker is and where it lies: next to the program or where the
// build put it.
TEST(FileStorageGuard, TheCheckerIsFound)
{
    std::string where;
    const std::string path = fileStorageCheckerPath(&where);
    ASSERT_FALSE(path.empty()) << "looked in " << where;
    EXPECT_NE(path.find("tessimo_storage_check"), std::string::npos) << path;
}

// Without its checker the guard reads nothing and says why; so do the
// readers, whatever their own wording for a file they cannot use.
TEST(FileStorageGuard, WithoutTheCheckerNothingIsReadAndTheReadersSaySo)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string project = dir.filePath("cell.yml").toStdString();
    std::ofstream(project) << projectLikeText(2);
    std::ofstream(dir.filePath("shot.yml").toStdString()) << cornerLikeText(4);
    std::ofstream(dir.filePath("Cam0_intr.yml").toStdString()) << "%YAML:1.0\n---\nimgSize: [ 640, 480 ]\n";

    struct Checker {
        const char* what;
        std::string path;
        const char* says;
    };
    const Checker checkers[] = {
        {"missing", dir.filePath("tessimo_storage_check").toStdString(), "is missing"},
        {"not answering", "/bin/true", "did not answer"},
    };
    for (const Checker& checker : checkers) {
        SCOPED_TRACE(checker.what);
        useFileStorageChecker(checker.path);
        cv::FileStorage fs;
        std::string error;
        EXPECT_EQ(openFileStorageGuarded(fs, projectLikeText(1), cv::FileStorage::FORMAT_AUTO, error),
                  StorageError::NoChecker);
        EXPECT_FALSE(fs.isOpened());
        EXPECT_NE(error.find(checker.says), std::string::npos) << error;

        Project read;
        const ProjectReadResult result = readProjectFile(project, read);
        EXPECT_FALSE(result.ok);
        EXPECT_NE(result.message.find("file checker"), std::string::npos) << result.message;
        std::vector<cv::Point2f> points;
        std::vector<cv::Point3f> object;
        QString why;
        EXPECT_EQ(readCornerFile(dir.filePath("shot.png"), points, object, why), CornerFileStatus::Invalid);
        EXPECT_TRUE(why.contains("file checker")) << why.toStdString();
        IntrinsicsData data;
        EXPECT_EQ(readIntrinsicsFile(dir.filePath("Cam0_intr.yml"), data, why),
                  IntrinsicsFileStatus::Unreadable);
        EXPECT_TRUE(why.contains("file checker")) << why.toStdString();
    }
    useFileStorageChecker("");
    cv::FileStorage fs;
    std::string error;
    EXPECT_EQ(openFileStorageFile(fs, project, error), StorageError::None) << error;
}

// Several texts, good and bad, go to one checker; a text that ends a checker
// does not take the texts after it down with it.
TEST(FileStorageGuard, SeveralTextsAreCheckedTogether)
{
    const std::vector<std::string> texts = {
        projectLikeText(2),
        "%YAML:1.\n---[]%\n-", // never returns
        "",
        "%YAML:1.\n-n:1\n :", // throws std::length_error
        "{\n \"K\": [1, 2,",  // OpenCV's own error
        projectLikeText(1),
    };
    const StorageError expected[] = {StorageError::None,       StorageError::Malformed,
                                     StorageError::Unreadable, StorageError::Malformed,
                                     StorageError::OpenCv,     StorageError::None};
    std::vector<cv::FileStorage> fs;
    std::vector<std::string> errors;
    const auto start = std::chrono::steady_clock::now();
    const std::vector<StorageError> opened =
        openFileStoragesGuarded(fs, texts, cv::FileStorage::FORMAT_AUTO, errors);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    ASSERT_EQ(opened.size(), texts.size());
    ASSERT_EQ(fs.size(), texts.size());
    ASSERT_EQ(errors.size(), texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(opened[i], expected[i]) << errors[i];
        EXPECT_EQ(fs[i].isOpened(), expected[i] == StorageError::None);
        EXPECT_EQ(errors[i].empty(), expected[i] == StorageError::None) << errors[i];
    }
    EXPECT_EQ(errors[1], "the parser did not finish reading the file");
    EXPECT_EQ(fs[5]["Sensors"][0].string(), "Cam0");
}

} // namespace

namespace {

TEST(ReadMatrixNode, OnlyAMatrixWhoseDataFillsItsHeaderIsRead)
{
    const std::string head = "%YAML:1.0\n---\nm: !!opencv-matrix\n";
    struct Case {
        const char* what;
        std::string body;
        bool ok;
    };
    const Case cases[] = {
        {"2x2 doubles", "   rows: 2\n   cols: 2\n   dt: d\n   data: [ 1., 2., 3., 4. ]\n", true},
        {"1x2 of three channels", "   rows: 1\n   cols: 2\n   dt: \"3f\"\n   data: [ 1, 2, 3, 4, 5, 6 ]\n",
         true},
        {"header asks for 8 GB", "   rows: 100000\n   cols: 10000\n   dt: d\n   data: [ 1., 2. ]\n", false},
        {"cols that is no number", "   rows: 1\n   cols: \"]8\"\n   dt: f\n   data: [ 1., 2. ]\n", false},
        {"negative rows", "   rows: -2\n   cols: 1\n   dt: f\n   data: [ 1., 2. ]\n", false},
        {"too few values", "   rows: 2\n   cols: 2\n   dt: d\n   data: [ 1., 2., 3. ]\n", false},
        {"unknown type", "   rows: 1\n   cols: 1\n   dt: q\n   data: [ 1. ]\n", false},
        {"no data", "   rows: 1\n   cols: 1\n   dt: d\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        cv::FileStorage fs;
        std::string error;
        ASSERT_EQ(openFileStorageGuarded(fs, head + c.body, cv::FileStorage::FORMAT_YAML, error),
                  StorageError::None)
            << error;
        cv::Mat m;
        EXPECT_EQ(readMatrixNode(fs["m"], m, error), c.ok) << error;
        EXPECT_EQ(m.empty(), !c.ok);
        if (!c.ok) {
            EXPECT_FALSE(error.empty());
        }
    }
    cv::FileStorage fs;
    std::string error;
    ASSERT_EQ(openFileStorageGuarded(fs, "%YAML:1.0\n---\nm: 5\n", cv::FileStorage::FORMAT_YAML, error),
              StorageError::None);
    cv::Mat m;
    EXPECT_FALSE(readMatrixNode(fs["m"], m, error));
    EXPECT_FALSE(readMatrixNode(fs["absent"], m, error));
}

} // namespace
