// The per-image corner file: its path next to the image, reading the points
// as written, and files that are refused with a reason.

#include "core/io/corner_file.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cmath>

namespace {

TEST(CornerFilePath, BaseNameUpToTheLastDot)
{
    const struct {
        const char* image;
        const char* file;
    } cases[] = {
        {"/data/set/img01.png", "/data/set/img01.yml"},
        {"/data/set/img.01.tif", "/data/set/img.01.yml"},
        {"/data/set.v2/img", "/data/set.v2/img.yml"},
        {"/data/set/.png", "/data/set/.yml"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        EXPECT_EQ(cornerFilePath(c.image), QString(c.file));
    }
}

class CornerFiles : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString image() const { return dir.filePath("shot.png"); }
    QString sidecar() const { return dir.filePath("shot.yml"); }
    void writeText(const QString& text)
    {
        QFile f(sidecar());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text.toUtf8());
    }
};

TEST_F(CornerFiles, ReadsPointsAsWritten)
{
    const std::vector<cv::Point2f> corners = {{10.5f, 20.25f}, {30, 40}, {50, 60}, {70, 80}};
    const std::vector<cv::Point3f> obj = {{0, 0, 0}, {10, 0, 5}, {0, 10, 0}, {10, 10, -5}};
    {
        cv::FileStorage fs(sidecar().toStdString(), cv::FileStorage::WRITE);
        fs << "corners" << cv::Mat(corners, true) << "obj" << cv::Mat(obj, true);
    }
    std::vector<cv::Point2f> c;
    std::vector<cv::Point3f> o;
    QString error;
    ASSERT_EQ(readCornerFile(image(), c, o, error), CornerFileStatus::Loaded) << error.toStdString();
    EXPECT_EQ(c, corners);
    EXPECT_EQ(o, obj);
}

TEST_F(CornerFiles, MissingFileIsNoError)
{
    std::vector<cv::Point2f> c{{1, 2}};
    std::vector<cv::Point3f> o{{1, 2, 3}};
    QString error;
    EXPECT_EQ(readCornerFile(image(), c, o, error), CornerFileStatus::Missing);
    EXPECT_TRUE(c.empty());
    EXPECT_TRUE(o.empty());
}

TEST_F(CornerFiles, FilesThatDoNotFitAreRefusedWithAReason)
{
    const cv::Mat c2 = (cv::Mat_<float>(4, 2) << 1, 2, 3, 4, 5, 6, 7, 8);
    const cv::Mat o3 = (cv::Mat_<float>(4, 3) << 0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0);
    const struct {
        const char* name;
        cv::Mat corners;
        cv::Mat obj;
        const char* reason;
    } cases[] = {
        {"doubles", cv::Mat_<double>(c2), o3, "32-bit floats"},
        {"odd count", (cv::Mat_<float>(1, 3) << 1, 2, 3), o3, "pairs"},
        {"obj not triples", c2, (cv::Mat_<float>(1, 4) << 1, 2, 3, 4), "(X, Y, Z)"},
        {"counts differ", c2, o3.rowRange(0, 3), "4 image points but 3 object points"},
        {"not finite", (cv::Mat_<float>(4, 2) << 1, 2, 3, NAN, 5, 6, 7, 8), o3, "not finite"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        {
            cv::FileStorage fs(sidecar().toStdString(), cv::FileStorage::WRITE);
            fs << "corners" << c.corners << "obj" << c.obj;
        }
        std::vector<cv::Point2f> pts;
        std::vector<cv::Point3f> obj;
        QString error;
        EXPECT_EQ(readCornerFile(image(), pts, obj, error), CornerFileStatus::Invalid);
        EXPECT_TRUE(error.contains(c.reason)) << error.toStdString();
        EXPECT_TRUE(pts.empty());
        EXPECT_TRUE(obj.empty());
    }
}

TEST_F(CornerFiles, XmlAndJsonFilesAreReadLikeYaml)
{
    for (int format : {cv::FileStorage::FORMAT_XML, cv::FileStorage::FORMAT_JSON}) {
        SCOPED_TRACE(format);
        cv::FileStorage out(".txt", cv::FileStorage::WRITE | cv::FileStorage::MEMORY | format);
        out << "corners" << cv::Mat(cv::Matx14f(10.5f, 20.25f, 30, 40));
        out << "obj" << cv::Mat(cv::Matx16f(0, 0, 0, 25, 0, 0));
        writeText(QString::fromStdString(out.releaseAndGetString()));
        std::vector<cv::Point2f> pts;
        std::vector<cv::Point3f> obj;
        QString error;
        ASSERT_EQ(readCornerFile(image(), pts, obj, error), CornerFileStatus::Loaded) << error.toStdString();
        ASSERT_EQ(pts.size(), 2u);
        EXPECT_EQ(pts[0], cv::Point2f(10.5f, 20.25f));
        EXPECT_EQ(obj[1], cv::Point3f(25, 0, 0));
    }
}

// Corner files of a dense target, as other tools write them, are read whole
// up to tens of MB (the readers take files up to 64 MiB).
TEST_F(CornerFiles, LargeFilesAreReadWhole)
{
    const struct {
        const char* what;
        int format;
        int points;
        size_t atLeast;
    } cases[] = {
        {"YAML", cv::FileStorage::FORMAT_YAML, 250000, 20u << 20},
        {"XML", cv::FileStorage::FORMAT_XML, 100000, 4u << 20},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        cv::Mat corners(c.points, 1, CV_32FC2), obj(c.points, 1, CV_32FC3);
        cv::randu(corners, 0, 4000);
        cv::randu(obj, -500, 500);
        cv::FileStorage out(".txt", cv::FileStorage::WRITE | cv::FileStorage::MEMORY | c.format);
        out << "corners" << corners << "obj" << obj;
        const std::string text = out.releaseAndGetString();
        ASSERT_GT(text.size(), c.atLeast);
        writeText(QString::fromStdString(text));

        std::vector<cv::Point2f> pts;
        std::vector<cv::Point3f> o;
        QString error;
        ASSERT_EQ(readCornerFile(image(), pts, o, error), CornerFileStatus::Loaded) << error.toStdString();
        ASSERT_EQ(pts.size(), size_t(c.points));
        ASSERT_EQ(o.size(), size_t(c.points));
        for (int k : {0, c.points / 2, c.points - 1}) {
            EXPECT_EQ(pts[k], corners.at<cv::Point2f>(k));
            EXPECT_EQ(o[k], obj.at<cv::Point3f>(k));
        }
    }
}

TEST_F(CornerFiles, UnparsableOrIncompleteFilesAreRefused)
{
    const char* texts[] = {
        "%YAML:1.0\ncorners: [1, 2\n  obj: {{{\n",    // broken YAML
        "this is not a corner file at all\0\x01\x02", // not YAML
        "%YAML:1.0\n---\nobj: !!opencv-matrix\n   rows: 1\n   cols: 3\n   dt: f\n   data: [ 1., 2., 3. ]\n",
        "%YAML:1.0\n---\ncorners: 5\nobj: 7\n", // scalars, not matrices
        "%YAML:1.\n-n:1\n :",                   // made OpenCV throw std::length_error
        "%YAML:1.\n---[]%\n-",                  // made OpenCV's parser run forever
    };
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        writeText(text);
        std::vector<cv::Point2f> pts;
        std::vector<cv::Point3f> obj;
        QString error;
        EXPECT_EQ(readCornerFile(image(), pts, obj, error), CornerFileStatus::Invalid);
        EXPECT_FALSE(error.isEmpty());
        EXPECT_TRUE(pts.empty());
    }
}

} // namespace
