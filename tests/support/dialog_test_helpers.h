#pragma once

// Helpers for the tests of the chessboard dialogs: reading the coloured log,
// keeping window settings in a temporary folder, writing rendered chessboard
// images of a known camera to disk, and wiring a dialog to a sensor tree the
// way the main window does.

#include "gui/shell/MainWindow.h"
#include "gui/shell/SensorTree.h"

#include "synthetic.h"

#include <QBrush>
#include <QColor>
#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QLineEdit>
#include <QObject>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextCharFormat>
#include <QTextDocument>
#include <QTextEdit>
#include <QTextFragment>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <utility>
#include <vector>

namespace dialog_test {

// A main window shown for one test. It closes with its dialogs, which must
// be gone before the next test looks for its own among the top-level windows.
struct ShownMainWindow {
    MainWindow* main = new MainWindow;
    ShownMainWindow() { main->show(); }
    ~ShownMainWindow()
    {
        delete main;
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    ShownMainWindow(const ShownMainWindow&) = delete;
    ShownMainWindow& operator=(const ShownMainWindow&) = delete;
};

// Deletes the sensor in that row of the main window's tree with its row's
// delete button, as a user does.
inline void deleteSensorRow(MainWindow* main, int row)
{
    auto* tree = main->sensorTree()->findChild<QTreeWidget*>();
    auto* button = qobject_cast<QPushButton*>(tree->itemWidget(tree->topLevelItem(row), 1));
    ASSERT_NE(button, nullptr);
    QTest::mouseClick(button, Qt::LeftButton);
    QCoreApplication::processEvents();
}

// The dialog's child of that class and name; a missing one fails the test.
template <class T> T* child(QObject* dialog, const char* name)
{
    T* w = dialog->findChild<T*>(name);
    EXPECT_NE(w, nullptr) << name;
    return w;
}

// Types a board of pattern.width x pattern.height inner corners and squares
// of `square` mm into the dialog's chessboard fields.
inline void setBoard(QObject* dialog, cv::Size pattern, const QString& square)
{
    child<QSpinBox>(dialog, "spin_corner_count_x")->setValue(pattern.width);
    child<QSpinBox>(dialog, "spin_corner_count_y")->setValue(pattern.height);
    child<QLineEdit>(dialog, "edit_corners_width")->setText(square);
    child<QLineEdit>(dialog, "edit_corners_height")->setText(square);
}

// Every run of text in the log with its colour, in document order.
struct LogRun {
    QString text;
    QColor colour;
};

inline std::vector<LogRun> logRuns(const QTextEdit* log)
{
    std::vector<LogRun> runs;
    for (QTextBlock block = log->document()->begin(); block.isValid(); block = block.next())
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment f = it.fragment();
            if (f.isValid())
                runs.push_back({f.text(), f.charFormat().foreground().color()});
        }
    return runs;
}

// The colour of the first run that contains text, or an invalid colour.
inline QColor colourOf(const QTextEdit* log, const QString& text)
{
    for (const LogRun& run : logRuns(log))
        if (run.text.contains(text))
            return run.colour;
    return QColor();
}

inline bool logHas(const QTextEdit* log, const QString& text, const QColor& colour)
{
    for (const LogRun& run : logRuns(log))
        if (run.text.contains(text) && run.colour == colour)
            return true;
    return false;
}

// Window settings go to a folder of the test's own.
inline void useSettingsFolder(const QString& folder)
{
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, folder);
    QSettings(QSettings::IniFormat, QSettings::UserScope, "Vellant", "Tessimo").clear();
}

// Largest distance in pixels between where the true camera and the
// calibrated one image the same rays, over the given pixels.
inline double modelDifferencePx(const synth::Camera& truth, const cv::Mat& K, const cv::Mat& kc,
                                const std::vector<cv::Point2f>& pixels)
{
    std::vector<cv::Point2f> rays;
    cv::undistortPoints(pixels, rays, cv::Mat(truth.K), truth.kc);
    std::vector<cv::Point3f> points;
    for (const cv::Point2f& r : rays)
        points.emplace_back(r.x, r.y, 1.f);
    std::vector<cv::Point2f> ours;
    cv::projectPoints(points, cv::Vec3d(0, 0, 0), cv::Vec3d(0, 0, 0), K, kc, ours);
    double largest = 0;
    for (size_t k = 0; k < pixels.size(); ++k)
        largest = std::max(largest, double(cv::norm(ours[k] - pixels[k])));
    return largest;
}

// The matrix stored under `key` (empty when there is none).
inline cv::Mat readMat(const cv::FileStorage& fs, const char* key)
{
    cv::Mat m;
    fs[key] >> m;
    return m;
}

// A fixture with two temporary folders: one for the window settings, in use
// from SetUp on, and one for the test's images.
class TemporaryFoldersTest : public ::testing::Test {
protected:
    QTemporaryDir settingsDir;
    QTemporaryDir imageDir;
    void SetUp() override
    {
        ASSERT_TRUE(settingsDir.isValid());
        ASSERT_TRUE(imageDir.isValid());
        useSettingsFolder(settingsDir.path());
    }
};

// Renders the views into folder as view00.png, view01.png, ... and returns
// the paths in order.
inline QStringList writeViews(const QString& folder, const synth::Camera& cam, cv::Size pattern,
                              double square, const std::vector<synth::View>& views,
                              const synth::RenderOptions& options = {})
{
    QStringList paths;
    for (size_t i = 0; i < views.size(); ++i) {
        synth::RenderOptions o = options;
        o.seed = options.seed + i;
        const cv::Mat image = synth::renderChessboard(cam, pattern, square, views[i], o);
        const QString path = QDir(folder).filePath(QString("view%1.png").arg(i, 2, 10, QChar('0')));
        cv::imwrite(path.toStdString(), image);
        paths << path;
    }
    return paths;
}

// Writes a corner file next to an image: "corners" N x 1 with two channels and
// "obj" N x 1 with three channels, both 32-bit floats.
inline void writeCornerFile(const QString& path, const std::vector<cv::Point2f>& corners,
                            const std::vector<cv::Point3f>& obj)
{
    cv::FileStorage fs(path.toStdString(), cv::FileStorage::WRITE);
    fs << "corners" << cv::Mat(corners, true);
    fs << "obj" << cv::Mat(obj, true);
}

// Writes a blank 640x480 image <folder>/<prefix>NN.png per view, with a
// corner file of the view's points and synth::squarePoints(), and returns
// the images' paths in order.
inline QStringList writeCornerFileImages(const QString& folder, const QString& prefix,
                                         const std::vector<std::vector<cv::Point2f>>& views)
{
    QStringList paths;
    for (size_t i = 0; i < views.size(); ++i) {
        const QString base = QDir(folder).filePath(QString("%1%2").arg(prefix).arg(i, 2, 10, QChar('0')));
        cv::imwrite((base + ".png").toStdString(), cv::Mat(480, 640, CV_8U, cv::Scalar(128)));
        writeCornerFile(base + ".yml", views[i], synth::squarePoints());
        paths << base + ".png";
    }
    return paths;
}

} // namespace dialog_test
