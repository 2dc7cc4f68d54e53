// The shared chessboard dialog frame: object points, corner files, the
// detection step on rendered boards of a known camera, safe file names and
// the sensor combo boxes.

#include "gui/dialogs/ChessboardDialog.h"
#include "core/chessboard/chessboard.h"

#include "dialog_test_helpers.h"
#include "synthetic.h"
#include "test_helpers.h"

#include <QComboBox>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

namespace {

TEST(ChessboardObjectPoints, RowByRowWithRealSquareSizes)
{
    const std::vector<cv::Point3f> points = chessboardObjectPoints(cv::Size(3, 2), 22.5f, 30.f);
    const std::vector<cv::Point3f> expected = {{0, 0, 0},  {22.5f, 0, 0},  {45, 0, 0},
                                               {0, 30, 0}, {22.5f, 30, 0}, {45, 30, 0}};
    ASSERT_EQ(points.size(), expected.size());
    for (size_t k = 0; k < points.size(); ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(points[k], expected[k]);
    }
    // They are the points the synthetic camera projects, in the same order.
    const std::vector<cv::Point3f> truth = synth::boardPoints(cv::Size(9, 6), 22.5);
    const std::vector<cv::Point3f> ours = chessboardObjectPoints(cv::Size(9, 6), 22.5f, 22.5f);
    ASSERT_EQ(ours.size(), truth.size());
    for (size_t k = 0; k < ours.size(); ++k)
        EXPECT_LT(cv::norm(ours[k] - truth[k]), 1e-4) << k;
    EXPECT_TRUE(chessboardObjectPoints(cv::Size(0, 6), 10, 10).empty());
}

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
    dialog_test::writeCornerFile(sidecar(), corners, obj);
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

TEST_F(CornerFiles, UnparsableOrIncompleteFilesAreRefused)
{
    const char* texts[] = {
        "%YAML:1.0\ncorners: [1, 2\n  obj: {{{\n",    // broken YAML
        "this is not a corner file at all\0\x01\x02", // not YAML
        "%YAML:1.0\n---\nobj: !!opencv-matrix\n   rows: 1\n   cols: 3\n   dt: f\n   data: [ 1., 2., 3. ]\n",
        "%YAML:1.0\n---\ncorners: 5\nobj: 7\n", // scalars, not matrices
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

// Detection on rendered boards: the corners must land on the exact
// projections of the board's inner corners, in the board's row order.
TEST(DetectChessboard, BothDetectorsFindTheTrueCorners)
{
    const synth::Camera cam = synth::makeCamera(cv::Size(800, 600), 900, {-0.1, 0.05, 0, 0, 0});
    const cv::Size pattern(9, 6);
    const double square = 25;
    const std::vector<synth::View> views = synth::boardViews(cam, pattern, square, 4, 11);
    synth::RenderOptions render;
    render.blurSigma = 0.6;
    render.noiseSigma = 2;
    for (const bool radon : {false, true}) {
        for (size_t v = 0; v < views.size(); ++v) {
            SCOPED_TRACE(::testing::Message()
                         << (radon ? "own detector" : "OpenCV's detector") << ", view " << v);
            render.seed = 100 + v;
            const cv::Mat image = synth::renderChessboard(cam, pattern, square, views[v], render);
            const std::vector<cv::Point2f> truth = synth::projectBoard(cam, pattern, square, views[v]);
            ChessboardOptions options;
            options.patternSize = pattern;
            options.radon = radon;
            std::vector<cv::Point2f> corners;
            ASSERT_TRUE(detectChessboard(image, options, corners));
            ASSERT_EQ(corners.size(), truth.size());
            // The first corner may be either end of the board (a 9 x 6 board
            // has a 180 degree symmetry); the order must be one of the two.
            double forward = 0, backward = 0, forwardSum = 0, backwardSum = 0;
            for (size_t k = 0; k < truth.size(); ++k) {
                const double f = cv::norm(corners[k] - truth[k]);
                const double b = cv::norm(corners[k] - truth[truth.size() - 1 - k]);
                forward = std::max(forward, f);
                backward = std::max(backward, b);
                forwardSum += f;
                backwardSum += b;
            }
            const double largest = forwardSum < backwardSum ? forward : backward;
            const double mean = std::min(forwardSum, backwardSum) / truth.size();
            EXPECT_LT(mean, 0.15);
            EXPECT_LT(largest, 0.5);
        }
    }
}

TEST(DetectChessboard, WrongPatternOrEmptyImageIsNotABoard)
{
    const synth::Camera cam = synth::makeCamera(cv::Size(640, 480), 700);
    const std::vector<synth::View> views = synth::boardViews(cam, cv::Size(9, 6), 25, 1, 3);
    const cv::Mat image = synth::renderChessboard(cam, cv::Size(9, 6), 25, views[0]);
    for (const bool radon : {false, true}) {
        SCOPED_TRACE(radon);
        ChessboardOptions options;
        options.radon = radon;
        std::vector<cv::Point2f> corners{{1, 1}};
        options.patternSize = cv::Size(7, 5);
        EXPECT_FALSE(detectChessboard(image, options, corners));
        EXPECT_TRUE(corners.empty());
        options.patternSize = cv::Size(9, 6);
        EXPECT_FALSE(detectChessboard(cv::Mat(), options, corners));
        EXPECT_TRUE(corners.empty());
    }
}

TEST(DetectChessboard, NormaliseFlagFollowsTheOption)
{
    ChessboardOptions options;
    EXPECT_EQ(options.detectorFlags(), 1);
    options.normalizeImage = true;
    EXPECT_EQ(options.detectorFlags(), 3);
}

// A faint board (grey levels 117 to 123) defeats the program's own detector
// on the raw image; the detection step retries on the equalised image.
TEST(DetectChessboard, OwnDetectorRetriesOnTheEqualisedImage)
{
    const synth::Camera cam = synth::makeCamera(cv::Size(640, 480), 700);
    const cv::Size pattern(9, 6);
    const std::vector<synth::View> views = synth::boardViews(cam, pattern, 25, 2, 3);
    synth::RenderOptions faint;
    faint.black = 117;
    faint.white = 123;
    faint.background = 120;
    for (size_t v = 0; v < views.size(); ++v) {
        SCOPED_TRACE(v);
        const cv::Mat image = synth::renderChessboard(cam, pattern, 25, views[v], faint);
        std::vector<cv::Point2f> corners;
        ASSERT_FALSE(findChessboardCorners2(image, pattern, corners, 1, cv::noArray()))
            << "the case needs a board the raw detection misses";
        ChessboardOptions options;
        options.patternSize = pattern;
        options.radon = true;
        ASSERT_TRUE(detectChessboard(image, options, corners));
        const std::vector<cv::Point2f> truth = synth::projectBoard(cam, pattern, 25, views[v]);
        ASSERT_EQ(corners.size(), truth.size());
        double forward = 0, backward = 0;
        for (size_t k = 0; k < truth.size(); ++k) {
            forward += cv::norm(corners[k] - truth[k]);
            backward += cv::norm(corners[k] - truth[truth.size() - 1 - k]);
        }
        EXPECT_LT(std::min(forward, backward) / truth.size(), 0.3);
    }
}

TEST(SafeFileNamePart, SensorNamesCannotLeaveTheFolder)
{
    const struct {
        const char* name;
        const char* safe;
    } cases[] = {
        {"Cam0", "Cam0"},
        {"left cam", "left cam"},
        {"../../etc/passwd", ".._.._etc_passwd"},
        {"a\\b:c*d?e\"f<g>h|i", "a_b_c_d_e_f_g_h_i"},
        {"..", "___"},
        {"", "_"},
        {"tab\there", "tab_here"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(safeFileNamePart(QString::fromUtf8(c.name)), QString::fromUtf8(c.safe));
    }
}

// The chosen sensor stays the same sensor when the scene's names change.
TEST(RefillSensorCombo, KeepsTheChosenSensor)
{
    const struct {
        const char* what;
        std::vector<QString> before;
        int chosen;
        std::vector<QString> after;
        int expected;
    } cases[] = {
        {"sensor added", {"Cam0", "Cam1"}, 1, {"Cam0", "Cam1", "Cam2"}, 1},
        {"chosen sensor renamed", {"Cam0", "Cam1", "Cam2"}, 1, {"Cam0", "left", "Cam2"}, 1},
        {"other sensor renamed", {"Cam0", "Cam1", "Cam2"}, 2, {"Cam0", "left", "Cam2"}, 2},
        {"earlier sensor deleted", {"Cam0", "Cam1", "Cam2"}, 2, {"Cam0", "Cam2"}, 1},
        {"chosen sensor deleted", {"Cam0", "Cam1", "Cam2"}, 1, {"Cam0", "Cam2"}, 1},
        {"last sensor deleted while chosen", {"Cam0", "Cam1"}, 1, {"Cam0"}, -1},
        {"nothing chosen", {}, -1, {"Cam0"}, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QComboBox combo;
        for (const QString& name : c.before)
            combo.addItem(name);
        combo.setCurrentIndex(c.chosen);
        int changes = 0;
        QObject::connect(&combo, qOverload<int>(&QComboBox::currentIndexChanged), [&changes] { ++changes; });
        refillSensorCombo(&combo, c.after);
        EXPECT_EQ(combo.count(), static_cast<int>(c.after.size()));
        EXPECT_EQ(combo.currentIndex(), c.expected);
        EXPECT_EQ(changes, 0) << "the refill must not look like the user's choice";
    }
}

} // namespace
