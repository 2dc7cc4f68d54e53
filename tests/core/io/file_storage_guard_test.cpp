#include "core/io/file_storage_guard.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <QTemporaryDir>

#include <chrono>
#include <fstream>

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
