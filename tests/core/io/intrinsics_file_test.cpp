// The intrinsics file: its name, writing and reading back a known camera,
// and files that are refused with a reason.

#include "core/io/intrinsics_file.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class IntrinsicsFile : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path() const { return dir.filePath("Cam0_intr.yml"); }
    void writeText(const char* text)
    {
        QFile f(path());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
    }
};

TEST_F(IntrinsicsFile, NameOfASensor)
{
    EXPECT_EQ(intrinsicsFileName("Cam0"), QString("Cam0_intr.yml"));
    EXPECT_EQ(intrinsicsFileName("../left"), QString(".._left_intr.yml"));
}

// A camera written by the calibration comes back exactly, with its image
// size; the keys are the ones other tools read.
TEST_F(IntrinsicsFile, WritesAndReadsBackAKnownCamera)
{
    const cv::Mat K = (cv::Mat_<double>(3, 3) << 912.25, 0, 401.5, 0, 915.125, 297.75, 0, 0, 1);
    const struct {
        const char* what;
        cv::Mat kc;
    } cases[] = {
        {"five coefficients", (cv::Mat_<double>(1, 5) << -0.12, 0.031, 0.0007, -0.0004, 0.0021)},
        {"eight coefficients", (cv::Mat_<double>(1, 8) << -0.1, 0.02, 0, 0, 0.001, 0.3, -0.01, 0.002)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QString error = "stale";
        ASSERT_EQ(writeIntrinsicsFile(path(), cv::Size(800, 600), K, c.kc, 0.1875, error),
                  IntrinsicsFileStatus::Ok);
        EXPECT_TRUE(error.isEmpty());

        cv::FileStorage fs(path().toStdString(), cv::FileStorage::READ);
        ASSERT_TRUE(fs.isOpened());
        EXPECT_DOUBLE_EQ(static_cast<double>(fs["reprojErrRMS"]), 0.1875);
        cv::Size size;
        fs["imgSize"] >> size;
        EXPECT_EQ(size, cv::Size(800, 600));

        IntrinsicsData data;
        ASSERT_EQ(readIntrinsicsFile(path(), data, error), IntrinsicsFileStatus::Ok) << error.toStdString();
        EXPECT_EQ(data.imageSize, cv::Size(800, 600));
        ASSERT_EQ(data.K.type(), CV_64F);
        EXPECT_EQ(cv::norm(data.K, K, cv::NORM_INF), 0.0);
        ASSERT_EQ(data.kc.type(), CV_64F);
        EXPECT_EQ(data.kc.size(), c.kc.size());
        EXPECT_EQ(cv::norm(data.kc, c.kc, cv::NORM_INF), 0.0);
    }
}

TEST_F(IntrinsicsFile, PartsMayBeMissing)
{
    writeText("%YAML:1.0\n---\nkc: !!opencv-matrix\n   rows: 4\n   cols: 1\n   dt: f\n"
              "   data: [ 0.1, 0.2, 0.3, 0.4 ]\nimgSize: [ 0, 480 ]\n");
    IntrinsicsData data;
    QString error;
    ASSERT_EQ(readIntrinsicsFile(path(), data, error), IntrinsicsFileStatus::Ok) << error.toStdString();
    EXPECT_TRUE(data.K.empty());
    EXPECT_EQ(data.kc.size(), cv::Size(4, 1)) << "a column is read as one row";
    EXPECT_EQ(data.imageSize, cv::Size(0, 0)) << "a size that is not positive is ignored";
}

TEST_F(IntrinsicsFile, FilesThatDoNotFitAreRefused)
{
    const struct {
        const char* what;
        const char* text;
        IntrinsicsFileStatus status;
        const char* mentions = "";
    } cases[] = {
        {"no known key", "%YAML:1.0\n---\nfoo: 1\n", IntrinsicsFileStatus::NoKeys, "none of"},
        // A size that is not usable, and nothing else: nothing to import.
        {"only an empty imgSize", "%YAML:1.0\nimgSize:\n", IntrinsicsFileStatus::NoKeys,
         "\"imgSize\" is not"},
        {"only imgSize [0, 0]", "%YAML:1.0\n---\nimgSize: [ 0, 0 ]\nreprojErrRMS: 0.2\n",
         IntrinsicsFileStatus::NoKeys, "neither \"K\" nor \"kc\""},
        {"K 3x4",
         "%YAML:1.0\n---\nK: !!opencv-matrix\n   rows: 3\n   cols: 4\n   dt: d\n"
         "   data: [ 1., 0., 0., 0., 0., 1., 0., 0., 0., 0., 1., 0. ]\n",
         IntrinsicsFileStatus::BadCameraMatrix},
        {"K with zero focal length",
         "%YAML:1.0\n---\nK: !!opencv-matrix\n   rows: 3\n   cols: 3\n   dt: d\n"
         "   data: [ 0., 0., 1., 0., 1., 1., 0., 0., 1. ]\n",
         IntrinsicsFileStatus::BadCameraMatrix},
        {"K a number", "%YAML:1.0\n---\nK: 5\n", IntrinsicsFileStatus::BadCameraMatrix},
        {"kc of three",
         "%YAML:1.0\n---\nkc: !!opencv-matrix\n   rows: 1\n   cols: 3\n   dt: d\n   data: [ 1., 2., 3. ]\n",
         IntrinsicsFileStatus::BadDistortion},
        {"broken YAML", "%YAML:1.0\nK: [1, 2\n  kc: {{{\n", IntrinsicsFileStatus::Unreadable},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        writeText(c.text);
        IntrinsicsData data;
        QString error;
        EXPECT_EQ(readIntrinsicsFile(path(), data, error), c.status);
        EXPECT_FALSE(error.isEmpty());
        EXPECT_TRUE(error.contains(c.mentions)) << error.toStdString();
        EXPECT_TRUE(data.K.empty());
        EXPECT_TRUE(data.kc.empty());
    }
    IntrinsicsData data;
    QString error;
    EXPECT_EQ(readIntrinsicsFile(dir.filePath("missing.yml"), data, error), IntrinsicsFileStatus::CannotOpen);
    EXPECT_EQ(writeIntrinsicsFile(dir.filePath("no/such/folder/x_intr.yml"), cv::Size(1, 1),
                                  cv::Mat::eye(3, 3, CV_64F), cv::Mat(), 0, error),
              IntrinsicsFileStatus::CannotOpen);
    EXPECT_FALSE(error.isEmpty());
}

} // namespace
