// The intrinsic calibration dialog driven as a user drives it: images of a
// known camera rendered to disk, opened, calibrated with either detector;
// the intrinsics checked against the truth, in the log, the sensor tree and
// the "_intr.yml" file; the bad-input paths; the run protocol.

#include "gui/dialogs/IntrChessCalibWin.h"
#include "gui/shell/MainWindow.h"
#include "gui/shell/SensorTree.h"
#include "gui/shell/dialog_wiring.h"
#include "screenshots.h"
#include "text_fit.h"
#include "vtk_test_helpers.h"

#include "dialog_test_helpers.h"
#include "synthetic.h"
#include "test_helpers.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include <QScrollBar>
#include <QVTKOpenGLNativeWidget.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <vtkActor.h>
#include <vtkGenericOpenGLRenderWindow.h>
#include <vtkRenderer.h>
#include <vtkRendererCollection.h>

#include <algorithm>
#include <cfloat>
#include <cstdio>
#include <functional>

using dialog_test::colourOf;
using dialog_test::logHas;

namespace {

const QColor kGreen(Qt::green), kDarkGreen(Qt::darkGreen), kRed(Qt::red), kGray(Qt::gray), kBlack(Qt::black),
    kDarkYellow(Qt::darkYellow);

// The dialog as the main window opens it: wired to the tree, shown.
struct Harness {
    SensorTree tree;
    IntrChessCalibWin* dialog = nullptr;

    explicit Harness(int sensors = 2)
    {
        for (int i = 0; i < sensors; ++i)
            tree.addSensor();
        std::vector<QString> names;
        tree.getSensorNames(names);
        dialog = new IntrChessCalibWin(nullptr, names);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        connectIntrinsicsDialog(dialog, &tree);
        dialog->show();
        guard = dialog;
        QCoreApplication::processEvents();
    }
    ~Harness()
    {
        if (guard)
            delete dialog;
    }
    Harness(const Harness&) = delete;
    Harness& operator=(const Harness&) = delete;

    template <class T> T* w(const char* name) const { return dialog_test::child<T>(dialog, name); }
    QTextEdit* log() const { return w<QTextEdit>("text_log"); }
    QListWidget* list() const { return w<QListWidget>("list_images"); }
    void clickCalibrate() const { QTest::mouseClick(w<QPushButton>("button_calibrate"), Qt::LeftButton); }
    void setSensor(int index) const { w<QComboBox>("combo_sensor")->setCurrentIndex(index); }
    void setRadon(bool on) const { w<QCheckBox>("check_radon_detection")->setChecked(on); }
    void setPattern(cv::Size pattern, const QString& square) const
    {
        dialog_test::setBoard(dialog, pattern, square);
    }
    QString logText() const { return log()->toPlainText(); }

    QPointer<IntrChessCalibWin> guard;
};

class IntrinsicDialog : public dialog_test::TemporaryFoldersTest {};

// A known camera and fifteen rendered views of a 9 x 6 board of 22.5 mm
// squares (a real number on purpose), with blur, noise and uneven light.
struct Scene {
    synth::Camera cam = synth::makeCamera(cv::Size(800, 600), 820, {-0.22, 0.09, 0, 0, 0});
    cv::Size pattern{9, 6};
    double square = 22.5;
    std::vector<synth::View> views;
    QStringList files;

    Scene(const QString& folder, int n = 15, std::uint64_t seed = 7)
    {
        views = synth::boardViews(cam, pattern, square, n, seed);
        synth::RenderOptions render;
        render.blurSigma = 0.7;
        render.noiseSigma = 2.0;
        render.lightGradient = 0.2;
        files = dialog_test::writeViews(folder, cam, pattern, square, views, render);
    }
};

using dialog_test::modelDifferencePx;
using dialog_test::readMat;

TEST_F(IntrinsicDialog, CalibratesARenderedCameraWithEitherDetector)
{
    const Scene scene(imageDir.path());
    for (const bool radon : {false, true}) {
        SCOPED_TRACE(radon ? "own detector" : "OpenCV's detector");
        Harness h;
        h.setSensor(1);
        h.setRadon(radon);
        h.setPattern(scene.pattern, "22.5");
        h.dialog->openImages(scene.files);
        EXPECT_EQ(h.list()->count(), scene.files.size());
        EXPECT_EQ(h.dialog->windowTitle(), "Intrinsic Checker Target Calibration - " + imageDir.path());
        h.clickCalibrate();

        // Every view detected: its number in green, none in red.
        for (int i = 0; i < scene.files.size(); ++i) {
            EXPECT_EQ(h.list()->item(i)->checkState(), Qt::Checked) << i;
            EXPECT_EQ(h.dialog->detectedImagePoints()[i].size(), 54u) << i;
        }
        EXPECT_TRUE(logHas(h.log(), "Detecting chessboards: ", kBlack));
        EXPECT_TRUE(logHas(h.log(), "14 ", kGreen));
        EXPECT_FALSE(logHas(h.log(), " ", kRed));

        // Intrinsics against the truth. Defaults: fixed aspect ratio, k3 = 0,
        // no tangential distortion; the camera has exactly that model.
        const cv::Mat K = h.dialog->cameraMatrix();
        const cv::Mat kc = h.dialog->distortion();
        ASSERT_EQ(K.size(), cv::Size(3, 3));
        ASSERT_EQ(kc.total(), 5u);
        const cv::Matx33d& T = scene.cam.K;
        std::printf("[ measured ] rendered 800x600, %s: fx %.3f fy %.3f cx %.3f cy %.3f k1 %.4f k2 %.4f "
                    "(truth %.1f %.1f %.1f %.1f -0.22 0.09)\n",
                    radon ? "own detector" : "OpenCV+adaptive", K.at<double>(0, 0), K.at<double>(1, 1),
                    K.at<double>(0, 2), K.at<double>(1, 2), kc.at<double>(0), kc.at<double>(1), T(0, 0),
                    T(1, 1), T(0, 2), T(1, 2));
        EXPECT_NEAR(K.at<double>(0, 0), T(0, 0), 2.0);
        EXPECT_NEAR(K.at<double>(1, 1), T(1, 1), 2.0);
        EXPECT_NEAR(K.at<double>(0, 2), T(0, 2), 2.0);
        EXPECT_NEAR(K.at<double>(1, 2), T(1, 2), 2.0);
        EXPECT_NEAR(kc.at<double>(0), -0.22, 0.02);
        // k1 and k2 trade off against each other; what counts is where the
        // model puts the pixels: close to the truth wherever the boards were
        // seen (the image's far corners are extrapolation).
        std::vector<cv::Point2f> seen;
        for (const synth::View& v : scene.views)
            for (const cv::Point2f& p : synth::projectBoard(scene.cam, scene.pattern, scene.square, v))
                seen.push_back(p);
        const double modelPx = modelDifferencePx(scene.cam, K, kc, seen);
        std::printf("[ measured ] largest model difference over the seen corners: %.3f px\n", modelPx);
        EXPECT_LT(modelPx, 1.5);
        EXPECT_EQ(kc.at<double>(2), 0.0);
        EXPECT_EQ(kc.at<double>(3), 0.0);
        EXPECT_EQ(kc.at<double>(4), 0.0);

        // The log: RMS, the four intrinsics with deviations, k1 and k2 only.
        const QString text = h.logText();
        EXPECT_TRUE(text.contains("Calibration completed with rms reprojection error: "));
        for (const char* line : {"fx ", "fy ", "cx ", "cy "})
            EXPECT_TRUE(text.contains(QString("\n") + line)) << line;
        EXPECT_TRUE(text.contains(QString("fx %1 +/- ").arg(K.at<double>(0, 0), 0, 'f', 4)));
        EXPECT_TRUE(text.contains(QString("cy %1 +/- ").arg(K.at<double>(1, 2), 0, 'f', 4)));
        EXPECT_TRUE(text.contains(QString("k1 %1 +/- ").arg(kc.at<double>(0), 0, 'f', 4)));
        EXPECT_FALSE(text.contains("\nk3 "));
        EXPECT_FALSE(text.contains("\np1 "));

        // The sensor tree got the result for the chosen sensor, Cam1.
        cv::Mat treeK, treeKc;
        cv::Size treeSize;
        h.tree.getIntrinsicsIdx(1, treeK, treeKc, treeSize);
        EXPECT_MAT_NEAR(treeK, K, 5e-7);
        EXPECT_MAT_NEAR(treeKc, kc, 5e-7);
        EXPECT_EQ(treeSize, cv::Size(800, 600));
        h.tree.getIntrinsicsIdx(0, treeK, treeKc, treeSize);
        EXPECT_TRUE(treeK.empty()) << "Cam0 was not chosen";

        // The intrinsics file, named after the sensor, next to the images.
        const QString path = imageDir.filePath("Cam1_intr.yml");
        EXPECT_EQ(h.dialog->intrinsicsFilePath(), path);
        EXPECT_TRUE(logHas(h.log(), "Intrinsics saved to " + path, kBlack));
        cv::FileStorage fs(path.toStdString(), cv::FileStorage::READ);
        ASSERT_TRUE(fs.isOpened());
        std::vector<std::string> keys = fs.root().keys();
        EXPECT_EQ(keys, (std::vector<std::string>{"imgSize", "K", "kc", "reprojErrRMS"}));
        cv::Size fileSize;
        fs["imgSize"] >> fileSize;
        EXPECT_EQ(fileSize, cv::Size(800, 600));
        EXPECT_MAT_NEAR(readMat(fs, "K"), K, 0);
        const cv::Mat fileKc = readMat(fs, "kc");
        EXPECT_EQ(fileKc.rows, 1);
        EXPECT_MAT_NEAR(fileKc, kc, 0);
        const double rms = static_cast<double>(fs["reprojErrRMS"]);
        EXPECT_GT(rms, 0);
        EXPECT_LT(rms, 0.3);
        EXPECT_TRUE(text.contains("Calibration completed with rms reprojection error: " +
                                  QString::number(rms, 'g', 6)));

        // List colours: by per-view error, green for the smallest, red for
        // the largest.
        const std::vector<double>& errors = h.dialog->viewErrors();
        const auto [minIt, maxIt] = std::minmax_element(errors.begin(), errors.end());
        const int best = static_cast<int>(minIt - errors.begin());
        const int worst = static_cast<int>(maxIt - errors.begin());
        EXPECT_EQ(h.list()->item(best)->background().color(), QColor(0, 255, 0));
        EXPECT_EQ(h.list()->item(worst)->background().color(), QColor(255, 0, 0));
        for (int i = 0; i < h.list()->count(); ++i) {
            const cv::Vec3b c = h.dialog->imageListColours()[i];
            EXPECT_EQ(h.list()->item(i)->background().color(), QColor(c[0], c[1], c[2])) << i;
        }

        // The view of the current image shows its error figures.
        h.list()->setCurrentRow(worst);
        QCoreApplication::processEvents();
        auto* rmsLabel = h.w<QLabel>("label_rms_err");
        EXPECT_TRUE(rmsLabel->isVisible());
        EXPECT_EQ(rmsLabel->text(), "RMS: " + QString::number(errors[worst], 'f', 4) + " px");
        EXPECT_EQ(rmsLabel->styleSheet(), "color:rgb(255,0,0);");
        EXPECT_EQ(h.w<QProgressBar>("progress_bar")->value(), scene.files.size() + 1);
        EXPECT_EQ(h.w<QPushButton>("button_calibrate")->text(), "Calibrate");

        if (radon)
            h.dialog->grab().save(testing_support::screenshotPath("intrinsic_dialog_2d.png"));
    }
}

// Corner files carry exact corners: the calibration must come out exact,
// with no detection at all; a shifted corner is an outlier that removal finds.
// A second run shows only its own results: images it did not use lose the
// colours of the first run, the log shows its newest line, and the 3D view
// frames the boards and the frustum it drew.
TEST_F(IntrinsicDialog, ASecondRunShowsOnlyItsOwnResults)
{
    const Scene scene(imageDir.path(), 6, 5);
    Harness h;
    h.setPattern(scene.pattern, "22.5");
    h.dialog->show();
    h.dialog->openImages(scene.files);
    h.clickCalibrate();
    for (int i = 0; i < h.list()->count(); ++i)
        EXPECT_EQ(h.list()->item(i)->background().style(), Qt::SolidPattern) << i;

    h.list()->item(1)->setCheckState(Qt::Unchecked);
    h.list()->item(4)->setCheckState(Qt::Unchecked);
    h.log()->verticalScrollBar()->setValue(0); // the user read the first run's log from its top
    h.clickCalibrate();
    ASSERT_FALSE(h.dialog->cameraMatrix().empty());
    for (int i = 0; i < h.list()->count(); ++i) {
        const QBrush b = h.list()->item(i)->background();
        const bool plain = b.style() == Qt::NoBrush || b.color() == QColor(Qt::white);
        EXPECT_EQ(plain, i == 1 || i == 4) << i;
    }

    QScrollBar* bar = h.log()->verticalScrollBar();
    EXPECT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());

    auto* view = h.dialog->findChild<QVTKOpenGLNativeWidget*>("widget_vtk");
    ASSERT_NE(view, nullptr);
    vtkRenderer* renderer = view->renderWindow()->GetRenderers()->GetFirstRenderer();
    ASSERT_NE(renderer, nullptr);
    double bounds[6];
    renderer->ComputeVisiblePropBounds(bounds);
    double reach = 0; // how far from the view's centre the drawing reaches
    for (int corner = 0; corner < 8; ++corner) {
        double p[3] = {bounds[corner & 1], bounds[2 + ((corner >> 1) & 1)], bounds[4 + ((corner >> 2) & 1)]};
        renderer->SetWorldPoint(p[0], p[1], p[2], 1);
        renderer->WorldToView();
        double v[3];
        renderer->GetViewPoint(v);
        EXPECT_LE(std::abs(v[0]), 1.0) << corner;
        EXPECT_LE(std::abs(v[1]), 1.0) << corner;
        reach = std::max({reach, std::abs(v[0]), std::abs(v[1])});
    }
    // Framed, not a speck in the middle of the view.
    EXPECT_GT(reach, 0.5);

    // A run in which every image fails leaves no colour of the runs before.
    h.setPattern(cv::Size(7, 5), "22.5");
    for (int i = 0; i < h.list()->count(); ++i)
        h.list()->item(i)->setCheckState(Qt::Checked);
    h.clickCalibrate();
    EXPECT_TRUE(logHas(h.log(), "Target detection failed on all images or none were selected!", kRed));
    for (int i = 0; i < h.list()->count(); ++i)
        EXPECT_EQ(h.list()->item(i)->background().style(), Qt::NoBrush) << i;
    EXPECT_EQ(bar->value(), bar->maximum());
}

TEST_F(IntrinsicDialog, CornerFilesStandInForDetectionAndOutliersAreRemoved)
{
    const Scene scene(imageDir.path(), 8, 21);
    const int shiftedView = 3, shiftedCorner = 20;
    for (size_t v = 0; v < scene.views.size(); ++v) {
        std::vector<cv::Point2f> corners =
            synth::projectBoard(scene.cam, scene.pattern, scene.square, scene.views[v]);
        if (static_cast<int>(v) == shiftedView)
            corners[shiftedCorner] += cv::Point2f(6.f, 5.f);
        dialog_test::writeCornerFile(imageDir.filePath(QString("view%1.yml").arg(v, 2, 10, QChar('0'))),
                                     corners, synth::boardPoints(scene.pattern, scene.square));
    }
    // One image's file is broken: it is reported and the image is detected.
    {
        QFile broken(imageDir.filePath("view05.yml"));
        ASSERT_TRUE(broken.open(QIODevice::WriteOnly | QIODevice::Truncate));
        broken.write("%YAML:1.0\ncorners: [[[\n");
    }

    Harness h;
    h.setPattern(scene.pattern, "22.5");
    h.dialog->openImages(scene.files);
    EXPECT_TRUE(logHas(h.log(), "Corner file " + imageDir.filePath("view05.yml") + " ignored", kDarkYellow));
    h.w<QGroupBox>("group_outliers")->setChecked(true);
    h.w<QLineEdit>("edit_outlier")->setText("5.00");
    h.clickCalibrate();

    const cv::Mat K = h.dialog->cameraMatrix();
    ASSERT_FALSE(K.empty());
    // Seven exact views and one detected; the shifted corner pulls a little.
    EXPECT_NEAR(K.at<double>(0, 0), scene.cam.K(0, 0), 1.0);
    EXPECT_NEAR(K.at<double>(0, 2), scene.cam.K(0, 2), 1.0);
    EXPECT_NEAR(K.at<double>(1, 2), scene.cam.K(1, 2), 1.0);

    // The shifted corner (about 7.8 px off) and nothing else was removed.
    EXPECT_TRUE(h.logText().contains(QString("Detecting outliers: %1: 1  ").arg(shiftedView)));
    EXPECT_TRUE(logHas(h.log(), "Calibrate again to exclude the detected outliers!", kRed));
    EXPECT_EQ(h.dialog->detectedImagePoints()[shiftedView].size(), 53u);
    EXPECT_EQ(h.dialog->reprojectedImagePoints()[shiftedView].size(), 53u);
    EXPECT_EQ(h.dialog->cornerColours()[shiftedView].size(), 53u);
    EXPECT_GT(h.dialog->cornerErrorRanges()[shiftedView][1], 5.0) << "the range includes the removed corner";

    // Calibrating again without it: exact corners give an exact camera.
    h.w<QGroupBox>("group_outliers")->setChecked(false);
    h.clickCalibrate();
    const cv::Mat K2 = h.dialog->cameraMatrix();
    EXPECT_NEAR(K2.at<double>(0, 0), scene.cam.K(0, 0), 0.3);
    EXPECT_NEAR(K2.at<double>(0, 2), scene.cam.K(0, 2), 0.3);
    EXPECT_NEAR(K2.at<double>(1, 2), scene.cam.K(1, 2), 0.3);
    EXPECT_EQ(h.dialog->detectedImagePoints()[shiftedView].size(), 53u);

    // Changing a detection option brings back the file's points (all 54),
    // it does not throw the file away.
    h.w<QSpinBox>("spin_win_size")->setValue(12);
    EXPECT_EQ(h.dialog->detectedImagePoints()[shiftedView].size(), 54u);
    EXPECT_EQ(h.dialog->detectedImagePoints()[0].size(), 54u);
    EXPECT_TRUE(h.dialog->detectedImagePoints()[5].empty()) << "the broken file's image is detected again";
}

// The 13 real photographs of a 9 x 6 board from Debian's opencv-doc.
TEST_F(IntrinsicDialog, RealPhotographsWithBothDetectors)
{
    QStringList files;
    for (int i = 1; i <= 14; ++i) {
        if (i == 10)
            continue;
        const QString path = QString(TESSIMO_SAMPLE_DATA) + QString("/left%1.jpg").arg(i, 2, 10, QChar('0'));
        if (!QFile::exists(path))
            GTEST_SKIP() << "sample photographs not installed: " << path.toStdString();
        // The dialog writes next to the images: work on copies.
        const QString copy = imageDir.filePath(QFileInfo(path).fileName());
        ASSERT_TRUE(QFile::copy(path, copy));
        files << copy;
    }
    cv::Mat results[2];
    for (const bool radon : {false, true}) {
        SCOPED_TRACE(radon ? "own detector" : "OpenCV's detector");
        Harness h(1);
        h.setRadon(radon);
        h.setPattern(cv::Size(9, 6), "25");
        h.dialog->openImages(files);
        h.clickCalibrate();
        for (int i = 0; i < files.size(); ++i)
            EXPECT_EQ(h.dialog->detectedImagePoints()[i].size(), 54u) << files[i].toStdString();
        const cv::Mat K = h.dialog->cameraMatrix();
        ASSERT_FALSE(K.empty());
        cv::FileStorage fs(imageDir.filePath("Cam0_intr.yml").toStdString(), cv::FileStorage::READ);
        const double rms = static_cast<double>(fs["reprojErrRMS"]);
        std::printf("[ measured ] left01..14, %s: RMS %.4f px, fx %.3f fy %.3f cx %.3f cy %.3f\n",
                    radon ? "own detector" : "OpenCV+adaptive", rms, K.at<double>(0, 0), K.at<double>(1, 1),
                    K.at<double>(0, 2), K.at<double>(1, 2));
        EXPECT_LT(rms, 0.6);
        // A 640 x 480 camera of about 536 px focal length near the centre.
        EXPECT_NEAR(K.at<double>(0, 0), 536, 15);
        EXPECT_NEAR(K.at<double>(0, 2), 330, 25);
        EXPECT_NEAR(K.at<double>(1, 2), 245, 25);
        results[radon ? 1 : 0] = K.clone();
        if (radon)
            h.dialog->grab().save(testing_support::screenshotPath("intrinsic_dialog_real.png"));
    }
    // Both detectors see the same camera.
    EXPECT_NEAR(results[0].at<double>(0, 0), results[1].at<double>(0, 0), 5);
    EXPECT_NEAR(results[0].at<double>(0, 2), results[1].at<double>(0, 2), 5);
    EXPECT_NEAR(results[0].at<double>(1, 2), results[1].at<double>(1, 2), 5);
}

TEST_F(IntrinsicDialog, BadInputsAreReportedAndNothingCrashes)
{
    const Scene scene(imageDir.path(), 6, 5);

    SCOPED_TRACE("no images");
    {
        Harness h;
        h.clickCalibrate();
        EXPECT_TRUE(logHas(h.log(), "Target detection failed on all images or none were selected!", kRed));
    }

    SCOPED_TRACE("corrupt image files among good ones");
    {
        QStringList files = scene.files;
        const QString corrupt = imageDir.filePath("corrupt.png");
        QFile f(corrupt);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("\x89PNG\r\n\x1a\n this is not an image");
        f.close();
        const QString truncated = imageDir.filePath("truncated.jpg");
        QFile::copy(scene.files[0], truncated);
        QFile t(truncated);
        ASSERT_TRUE(t.open(QIODevice::ReadWrite));
        t.resize(200);
        t.close();
        files.insert(2, corrupt);
        files << truncated << imageDir.filePath("deleted.png");
        Harness h;
        h.setPattern(scene.pattern, "22.5");
        h.dialog->openImages(files);
        h.clickCalibrate();
        EXPECT_TRUE(logHas(h.log(), "2 ", kRed));
        EXPECT_TRUE(logHas(h.log(), "Could not open image: " + corrupt, kRed));
        // The message stands on a line of its own: the next image number
        // starts a new line.
        const QStringList lines = h.logText().split('\n');
        const auto message = std::find_if(lines.begin(), lines.end(), [&](const QString& l) {
            return l.startsWith("Could not open image: " + corrupt);
        });
        ASSERT_NE(message, lines.end());
        EXPECT_EQ(*message, "Could not open image: " + corrupt);
        EXPECT_EQ(h.list()->item(2)->checkState(), Qt::Unchecked);
        EXPECT_EQ(h.list()->item(files.size() - 1)->checkState(), Qt::Unchecked);
        EXPECT_FALSE(h.dialog->cameraMatrix().empty()) << "the good images still calibrate";
        EXPECT_TRUE(h.logText().contains("Intrinsics saved to "));
        // Selecting an unreadable image shows nothing new and fails nothing.
        h.list()->setCurrentRow(2);
        QCoreApplication::processEvents();
        EXPECT_FALSE(h.w<QGroupBox>("group_reproj_err")->isVisible());
    }

    SCOPED_TRACE("an image whose header claims more pixels than OpenCV reads");
    {
        // OpenCV throws on reading it; opening the list shows it first.
        const QString huge = imageDir.filePath("huge.pgm");
        QFile f(huge);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray("P5\n60000 60000\n255\n") + QByteArray(16, '\0'));
        f.close();
        QStringList files = scene.files;
        files.prepend(huge);
        Harness h;
        h.setPattern(scene.pattern, "22.5");
        h.dialog->openImages(files);
        EXPECT_FALSE(h.w<QGroupBox>("group_reproj_err")->isVisible());
        h.clickCalibrate();
        EXPECT_TRUE(logHas(h.log(), "OpenCV exception caught: ", kRed));
        EXPECT_TRUE(logHas(h.log(), "Skipping...", kRed));
        EXPECT_FALSE(h.dialog->cameraMatrix().empty()) << "the readable images still calibrate";
        h.list()->setCurrentRow(1);
        h.list()->setCurrentRow(0);
        QCoreApplication::processEvents();
        EXPECT_FALSE(h.w<QGroupBox>("group_reproj_err")->isVisible());

        // With a corner file the image is used without detection, and the
        // run reads it for the image size: the run stops with OpenCV's message.
        dialog_test::writeCornerFile(
            imageDir.filePath("huge.yml"),
            synth::projectBoard(scene.cam, scene.pattern, scene.square, scene.views[0]),
            synth::boardPoints(scene.pattern, scene.square));
        Harness k;
        k.setPattern(scene.pattern, "22.5");
        k.dialog->openImages(files);
        k.clickCalibrate();
        EXPECT_TRUE(logHas(k.log(), "OpenCV exception caught: ", kRed)) << k.logText().toStdString();
        EXPECT_TRUE(logHas(k.log(), "Aborting...", kRed));
        EXPECT_FALSE(k.logText().contains("Intrinsics saved to"));
        QFile::remove(imageDir.filePath("huge.yml"));
        QFile::remove(huge);
    }

    SCOPED_TRACE("wrong pattern size");
    {
        Harness h;
        h.setPattern(cv::Size(8, 6), "22.5");
        h.dialog->openImages(scene.files);
        h.clickCalibrate();
        EXPECT_TRUE(logHas(h.log(), "0 ", kRed));
        EXPECT_TRUE(logHas(h.log(), "Target detection failed on all images or none were selected!", kRed));
        EXPECT_TRUE(h.dialog->cameraMatrix().empty());
        // A second run shows the unchecked images in gray.
        h.clickCalibrate();
        EXPECT_TRUE(logHas(h.log(), "0 ", kGray));
    }

    SCOPED_TRACE("pattern too small for the detector");
    {
        Harness h;
        h.setPattern(cv::Size(0, 6), "22.5");
        h.dialog->openImages(scene.files);
        h.clickCalibrate();
        EXPECT_TRUE(logHas(h.log(), "OpenCV exception caught: ", kRed));
        EXPECT_TRUE(logHas(h.log(), "Skipping...", kRed));
        EXPECT_TRUE(logHas(h.log(), "Target detection failed on all images or none were selected!", kRed));
    }

    SCOPED_TRACE("square size that is not a number");
    {
        Harness h;
        h.setPattern(scene.pattern, "abc");
        h.dialog->openImages(scene.files);
        h.clickCalibrate();
        EXPECT_TRUE(logHas(h.log(), "Square width 'abc' is not a positive number, aborting...", kRed));
        EXPECT_FALSE(h.logText().contains("Detecting chessboards"));
        // The validator refuses such text typed by the user.
        auto* edit = h.w<QLineEdit>("edit_corners_width");
        edit->clear();
        QTest::keyClicks(edit, "2x2.5");
        EXPECT_EQ(edit->text(), "22.5");
    }

    SCOPED_TRACE("unwritable result file");
    {
        // A folder in the way of the result file: it cannot be written.
        QFile::remove(imageDir.filePath("Cam0_intr.yml"));
        ASSERT_TRUE(QDir(imageDir.path()).mkpath("Cam0_intr.yml"));
        Harness h;
        h.setPattern(scene.pattern, "22.5");
        h.dialog->openImages(scene.files);
        h.clickCalibrate();
        EXPECT_FALSE(h.dialog->cameraMatrix().empty());
        EXPECT_TRUE(
            logHas(h.log(), "Could not write the intrinsics to " + imageDir.filePath("Cam0_intr.yml"), kRed));
        EXPECT_FALSE(h.logText().contains("Intrinsics saved to"));
        QDir(imageDir.filePath("Cam0_intr.yml")).removeRecursively();
    }

    SCOPED_TRACE("no sensor in the scene");
    {
        Harness h(0);
        h.setPattern(scene.pattern, "22.5");
        h.dialog->openImages(scene.files);
        h.clickCalibrate();
        EXPECT_TRUE(logHas(h.log(), "No sensor present in the sensor list, aborting...", kRed));
    }
}

TEST_F(IntrinsicDialog, SensorNameCannotMoveTheResultFile)
{
    const Scene scene(imageDir.path(), 5, 9);
    Harness h(1);
    h.tree.setSensorName(0, "../escape");
    QCoreApplication::processEvents();
    EXPECT_EQ(h.w<QComboBox>("combo_sensor")->currentText(), "../escape");
    h.setPattern(scene.pattern, "22.5");
    h.dialog->openImages(scene.files);
    h.clickCalibrate();
    EXPECT_TRUE(QFile::exists(imageDir.filePath(".._escape_intr.yml")));
    EXPECT_FALSE(QFile::exists(imageDir.filePath("../escape_intr.yml")));
}

// Calibration flags from the options: defaults, and only enabled options count.
TEST_F(IntrinsicDialog, CalibrationFlagsFollowTheEnabledOptions)
{
    Harness h(1);
    auto box = [&h](const char* name) { return h.w<QCheckBox>(name); };
    EXPECT_EQ(h.dialog->calibrationFlags(), 2 + 128 + 8)
        << "fixed aspect ratio, fixed k3, no tangential distortion";

    // Without intrinsics the guess and the two fix boxes are disabled, and
    // checking them counts for nothing.
    EXPECT_FALSE(box("check_use_intrinsic_guess")->isEnabled());
    box("check_fix_focal")->setChecked(true);
    box("check_fix_pp")->setChecked(true);
    EXPECT_EQ(h.dialog->calibrationFlags(), 138);

    // With intrinsics in the tree, the guess becomes available.
    cv::Mat K = (cv::Mat_<double>(3, 3) << 800, 0, 400, 0, 800, 300, 0, 0, 1);
    h.tree.updateIntrinsicsIdx(0, K, cv::Mat::zeros(1, 5, CV_64F), cv::Size(800, 600));
    h.dialog->updateSensorNames();
    ASSERT_TRUE(box("check_use_intrinsic_guess")->isEnabled());
    box("check_use_intrinsic_guess")->setChecked(true);
    EXPECT_EQ(h.dialog->calibrationFlags(), 1 + 16 + 4 + 138);

    const struct {
        const char* what;
        std::function<void()> change;
        int flags;
    } cases[] = {
        {"tangential on", [&] { box("check_use_tangential_distortion")->setChecked(true); },
         1 + 16 + 4 + 2 + 128},
        {"k1, k2 fixed",
         [&] {
             box("check_fix_k1")->setChecked(true);
             box("check_fix_k2")->setChecked(true);
         },
         1 + 16 + 4 + 2 + 32 + 64 + 128},
        {"rational", [&] { box("check_use_rational_model")->setChecked(true); },
         1 + 16 + 4 + 2 + 32 + 64 + 128 + 16384},
        {"rational, k5 fixed", [&] { box("check_fix_k5")->setChecked(true); },
         1 + 16 + 4 + 2 + 32 + 64 + 128 + 16384 + 4096},
        {"guess off", [&] { box("check_use_intrinsic_guess")->setChecked(false); },
         2 + 32 + 64 + 128 + 16384 + 4096},
        {"no radial distortion",
         [&] {
             box("check_fix_k1")->setChecked(false);
             h.w<QGroupBox>("group_use_radial_distortion")->setChecked(false);
         },
         2 + 32 + 64 + 128},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.change();
        EXPECT_EQ(h.dialog->calibrationFlags(), c.flags);
    }
    EXPECT_FALSE(box("check_use_rational_model")->isChecked())
        << "unchecking radial distortion drops the rational model";
}

TEST_F(IntrinsicDialog, NoRadialDistortionGivesAZeroDistortionResult)
{
    const Scene scene(imageDir.path(), 6, 13);
    Harness h(1);
    h.setPattern(scene.pattern, "22.5");
    h.w<QGroupBox>("group_use_radial_distortion")->setChecked(false);
    h.dialog->openImages(scene.files);
    h.clickCalibrate();
    const cv::Mat kc = h.dialog->distortion();
    ASSERT_EQ(kc.total(), 5u);
    EXPECT_EQ(cv::countNonZero(kc), 0);
    EXPECT_FALSE(h.logText().contains("Distortion coefficients:"));
}

TEST_F(IntrinsicDialog, RationalModelWritesFourteenCoefficients)
{
    const Scene scene(imageDir.path(), 10, 17);
    Harness h(1);
    h.setPattern(scene.pattern, "22.5");
    h.w<QCheckBox>("check_use_rational_model")->setChecked(true);
    h.dialog->openImages(scene.files);
    h.clickCalibrate();
    cv::FileStorage fs(imageDir.filePath("Cam0_intr.yml").toStdString(), cv::FileStorage::READ);
    ASSERT_TRUE(fs.isOpened());
    EXPECT_EQ(readMat(fs, "kc").total(), 14u);
    EXPECT_TRUE(h.logText().contains("\nk4 "));
}

// Abort during the detection pass, a second run reuses what was detected;
// closing the window during a run aborts it and the window goes away after.
TEST_F(IntrinsicDialog, AbortAndCloseDuringARun)
{
    const Scene scene(imageDir.path(), 6, 3);
    Harness h(1);
    h.setPattern(scene.pattern, "22.5");
    h.dialog->openImages(scene.files);

    auto* button = h.w<QPushButton>("button_calibrate");
    auto* list = h.list();
    bool lockedDuringRun = false;
    // The first poll processes this: the user presses "Abort".
    QTimer::singleShot(0, [&] {
        EXPECT_EQ(button->text(), "Abort");
        lockedDuringRun = !list->isEnabled() && !h.w<QPushButton>("button_change_dir")->isEnabled() &&
                          !h.w<QGroupBox>("group_chessboard")->isEnabled() &&
                          !h.w<QComboBox>("combo_sensor")->isEnabled() && button->isEnabled();
        QTest::mouseClick(button, Qt::LeftButton);
    });
    h.clickCalibrate();
    EXPECT_TRUE(lockedDuringRun);
    EXPECT_TRUE(logHas(h.log(), "Calibration aborted ", kRed));
    EXPECT_EQ(button->text(), "Calibrate");
    EXPECT_TRUE(list->isEnabled());
    EXPECT_TRUE(h.dialog->cameraMatrix().empty());
    // Some images were detected before the abort took effect, or none; the
    // next run completes and reuses them.
    h.log()->clear();
    h.clickCalibrate();
    EXPECT_FALSE(h.dialog->cameraMatrix().empty());

    // A second run detects nothing anew: every number is dark green, reused.
    h.log()->clear();
    h.clickCalibrate();
    for (int i = 0; i < scene.files.size(); ++i)
        EXPECT_TRUE(logHas(h.log(), QString::number(i) + " ", kDarkGreen)) << i;

    // Closing the window in the middle of a run: by closing it, or by Escape,
    // which rejects the dialog (hidden and deleted without a close event).
    const struct {
        const char* what;
        std::function<void(IntrChessCalibWin*)> close;
    } closings[] = {
        {"close", [](IntrChessCalibWin* d) { d->close(); }},
        {"Escape", [](IntrChessCalibWin* d) { QTest::keyClick(d, Qt::Key_Escape); }},
    };
    for (const auto& c : closings) {
        SCOPED_TRACE(c.what);
        Harness k(1);
        k.setPattern(scene.pattern, "22.5");
        k.dialog->openImages(scene.files);
        QPointer<IntrChessCalibWin> dialog = k.dialog;
        QTimer::singleShot(0, [&] { c.close(dialog); });
        k.clickCalibrate();
        ASSERT_FALSE(dialog.isNull()) << "the window went away under the run";
        EXPECT_TRUE(logHas(k.log(), "Calibration aborted ", kRed));
        EXPECT_TRUE(k.dialog->cameraMatrix().empty());
        QTest::qWait(50);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_TRUE(dialog.isNull()) << "the window closes once the run has come back";
    }
}

// Detections are reused while neither the file nor a detection option
// changes: an image rewritten on disk is detected again (green), the others
// are reused (dark green); a changed option detects every image again.
TEST_F(IntrinsicDialog, DetectsAgainOnlyWhatChanged)
{
    const Scene scene(imageDir.path(), 4, 37);
    Harness h(1);
    h.setPattern(scene.pattern, "22.5");
    h.dialog->openImages(scene.files);
    h.clickCalibrate();
    ASSERT_FALSE(h.dialog->cameraMatrix().empty());

    QTest::qWait(20); // a modification time of its own
    const synth::View other = synth::boardViews(scene.cam, scene.pattern, scene.square, 1, 99)[0];
    cv::imwrite(scene.files[1].toStdString(),
                synth::renderChessboard(scene.cam, scene.pattern, scene.square, other, {}));
    h.log()->clear();
    h.clickCalibrate();
    ASSERT_FALSE(h.dialog->cameraMatrix().empty());
    for (int i = 0; i < scene.files.size(); ++i)
        EXPECT_TRUE(logHas(h.log(), QString::number(i) + " ", i == 1 ? kGreen : kDarkGreen)) << i;
    const std::vector<cv::Point2f> truth = synth::projectBoard(scene.cam, scene.pattern, scene.square, other);
    const std::vector<cv::Point2f> found = h.dialog->detectedImagePoints()[1];
    ASSERT_EQ(found.size(), truth.size());
    EXPECT_LT(std::min(cv::norm(found.front() - truth.front()), cv::norm(found.front() - truth.back())), 1.0)
        << "the corners are those of the new picture";

    h.w<QSpinBox>("spin_win_size")->setValue(12);
    h.log()->clear();
    h.clickCalibrate();
    for (int i = 0; i < scene.files.size(); ++i)
        EXPECT_TRUE(logHas(h.log(), QString::number(i) + " ", kGreen)) << i;
}

// Pixels of the image view drawn in colour: the rendered boards are grey, so
// these are the markers of a run (corners, projections, axis labels).
int markerPixels(QWidget* imageLabel)
{
    QCoreApplication::processEvents();
    const QImage shot = imageLabel->grab().toImage().convertToFormat(QImage::Format_RGB32);
    int coloured = 0;
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x) {
            const QColor c = shot.pixelColor(x, y);
            coloured +=
                std::max({c.red(), c.green(), c.blue()}) - std::min({c.red(), c.green(), c.blue()}) > 80;
        }
    return coloured;
}

int propsIn3DView(IntrChessCalibWin* dialog)
{
    auto* view = dialog->findChild<QVTKOpenGLNativeWidget*>("widget_vtk");
    return view->renderWindow()->GetRenderers()->GetFirstRenderer()->GetViewProps()->GetNumberOfItems();
}

// Every view shows the last run or nothing: after a run that fails, after a
// second run with other images, and after images are opened again, neither
// the image view, nor the error figures, nor the 3D view show an earlier
// run's results.
TEST_F(IntrinsicDialog, ViewsShowTheLastRunOrNothing)
{
    const Scene scene(imageDir.path(), 6, 59);
    Harness h(1);
    auto* panel = h.w<QGroupBox>("group_reproj_err");
    auto* image = h.w<QWidget>("image_label");
    h.setPattern(scene.pattern, "22.5");
    h.dialog->openImages(scene.files);
    const int emptyScene = propsIn3DView(h.dialog);
    EXPECT_EQ(markerPixels(image), 0);
    h.clickCalibrate();
    ASSERT_FALSE(h.dialog->cameraMatrix().empty());
    EXPECT_TRUE(panel->isVisible());
    EXPECT_GT(markerPixels(image), 50);
    EXPECT_GT(propsIn3DView(h.dialog), emptyScene);

    SCOPED_TRACE("a run that fails");
    h.setPattern(cv::Size(7, 5), "22.5");
    h.clickCalibrate();
    ASSERT_TRUE(logHas(h.log(), "Target detection failed on all images or none were selected!", kRed));
    EXPECT_FALSE(panel->isVisible());
    EXPECT_EQ(markerPixels(image), 0);
    EXPECT_EQ(propsIn3DView(h.dialog), emptyScene);
    EXPECT_EQ(h.dialog->viewErrors(), std::vector<double>(6, 0.0));

    SCOPED_TRACE("a second run with other images");
    h.setPattern(scene.pattern, "22.5");
    for (int i = 0; i < h.list()->count(); ++i)
        h.list()->item(i)->setCheckState(i == 1 || i == 4 ? Qt::Unchecked : Qt::Checked);
    h.clickCalibrate();
    ASSERT_FALSE(h.dialog->cameraMatrix().empty());
    const std::vector<double> errors = h.dialog->viewErrors();
    EXPECT_EQ(errors[1], 0.0);
    EXPECT_GT(errors[2], 0.0);
    h.list()->setCurrentRow(1);
    EXPECT_FALSE(panel->isVisible());
    EXPECT_EQ(markerPixels(image), 0);
    h.list()->setCurrentRow(2);
    EXPECT_TRUE(panel->isVisible());
    EXPECT_EQ(h.w<QLabel>("label_rms_err")->text(), "RMS: " + QString::number(errors[2], 'f', 4) + " px");
    EXPECT_GT(markerPixels(image), 50);
    EXPECT_GT(propsIn3DView(h.dialog), emptyScene);

    SCOPED_TRACE("images opened again, the first one missing");
    QStringList again = scene.files.mid(2);
    again.prepend(imageDir.filePath("missing.png"));
    h.dialog->openImages(again);
    EXPECT_EQ(h.list()->currentRow(), 0);
    EXPECT_FALSE(panel->isVisible());
    EXPECT_EQ(markerPixels(image), 0);
    EXPECT_EQ(propsIn3DView(h.dialog), emptyScene);
    h.list()->setCurrentRow(1);
    EXPECT_FALSE(panel->isVisible());
    EXPECT_EQ(markerPixels(image), 0);
    EXPECT_EQ(h.dialog->viewErrors(), std::vector<double>(5, 0.0));
}

// The combo box keeps its sensor when the scene changes, also during a run;
// a result goes to the sensor shown.
TEST_F(IntrinsicDialog, ChosenSensorSurvivesSceneChanges)
{
    const Scene scene(imageDir.path(), 5, 29);
    Harness h(3);
    auto* combo = h.w<QComboBox>("combo_sensor");
    h.setSensor(2);
    h.tree.addSensor();
    EXPECT_EQ(combo->count(), 4);
    EXPECT_EQ(combo->currentText(), "Cam2");
    h.tree.setSensorName(2, "right");
    EXPECT_EQ(combo->currentText(), "right");
    EXPECT_EQ(combo->currentIndex(), 2);

    // An earlier sensor is deleted while the run detects: the result still
    // goes to "right", now in row 1.
    h.setPattern(scene.pattern, "22.5");
    h.dialog->openImages(scene.files);
    QTimer::singleShot(0, [&] {
        auto* top = h.tree.findChild<QTreeWidget*>()->topLevelItem(0);
        auto* del = qobject_cast<QPushButton*>(h.tree.findChild<QTreeWidget*>()->itemWidget(top, 1));
        ASSERT_NE(del, nullptr);
        QTest::mouseClick(del, Qt::LeftButton);
    });
    h.clickCalibrate();
    std::vector<QString> names;
    h.tree.getSensorNames(names);
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[1], "right");
    EXPECT_EQ(combo->currentText(), "right");
    cv::Mat K, kc;
    cv::Size size;
    h.tree.getIntrinsicsIdx(1, K, kc, size);
    EXPECT_FALSE(K.empty());
    for (int other : {0, 2}) {
        h.tree.getIntrinsicsIdx(other, K, kc, size);
        EXPECT_TRUE(K.empty()) << other;
    }
    EXPECT_TRUE(QFile::exists(imageDir.filePath("right_intr.yml")));
}

TEST_F(IntrinsicDialog, UndistortShowsTheCorrectedImage)
{
    const Scene scene(imageDir.path(), 6, 31);
    Harness h(1);
    auto* undistort = h.w<QCheckBox>("check_undistort");
    EXPECT_FALSE(undistort->isEnabled()) << "no intrinsics yet";
    h.setPattern(scene.pattern, "22.5");
    h.dialog->openImages(scene.files);
    h.w<QGroupBox>("group_outliers")->setChecked(true);
    h.clickCalibrate();
    EXPECT_TRUE(h.logText().contains("Detecting outliers: none")) << "clean views have no corner above 5 px";
    EXPECT_FALSE(h.logText().contains("Calibrate again"));
    ASSERT_TRUE(undistort->isEnabled());
    undistort->setChecked(true);
    QCoreApplication::processEvents();
    h.w<QWidget>("tab_target_visualization");
    h.dialog->grab().save(testing_support::screenshotPath("intrinsic_dialog_undistorted.png"));
    undistort->setChecked(false);
    // The unchecked image shows the plain picture without error figures.
    h.list()->item(1)->setCheckState(Qt::Unchecked);
    h.list()->setCurrentRow(0);
    h.list()->setCurrentRow(1);
    QCoreApplication::processEvents();
    EXPECT_FALSE(h.w<QGroupBox>("group_reproj_err")->isVisible());
    h.list()->setCurrentRow(2);
    QCoreApplication::processEvents();
    EXPECT_TRUE(h.w<QGroupBox>("group_reproj_err")->isVisible());
    // The 3D view after a run.
    h.w<QTabWidget>("tab_target_visualization")->setCurrentIndex(1);
    QTest::qWait(100);
    h.dialog->grab().save(testing_support::screenshotPath("intrinsic_dialog_3d.png"));
}

// Images taken through a mirror (as some depth cameras deliver them) are
// flipped back before detection when "Mirror x (Kinect)" is checked.
TEST_F(IntrinsicDialog, MirroredImagesAreFlippedBack)
{
    const Scene scene(imageDir.path(), 8, 41);
    QStringList mirrored;
    for (const QString& file : scene.files) {
        cv::Mat image = cv::imread(file.toStdString(), cv::IMREAD_UNCHANGED);
        cv::flip(image, image, 1);
        const QString path = imageDir.filePath("mirrored_" + QFileInfo(file).fileName());
        cv::imwrite(path.toStdString(), image);
        mirrored << path;
    }
    Harness h(1);
    h.setPattern(scene.pattern, "22.5");
    h.w<QCheckBox>("check_mirror")->setChecked(true);
    h.dialog->openImages(mirrored);
    h.clickCalibrate();
    const cv::Mat K = h.dialog->cameraMatrix();
    ASSERT_FALSE(K.empty());
    // The true principal point, not its mirror image (799 - cx, 7 px away).
    EXPECT_NEAR(K.at<double>(0, 2), scene.cam.K(0, 2), 2.0);
    EXPECT_NEAR(K.at<double>(0, 0), scene.cam.K(0, 0), 2.0);
}

std::vector<IntrChessCalibWin*> openIntrinsicDialogs()
{
    std::vector<IntrChessCalibWin*> dialogs;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* d = qobject_cast<IntrChessCalibWin*>(w); d && d->isVisible())
            dialogs.push_back(d);
    return dialogs;
}

// The "Intrinsic" button of the main window: each press opens a new dialog
// wired to the scene; closing the main window closes them.
TEST_F(IntrinsicDialog, MainWindowLauncherOpensWiredDialogs)
{
    const Scene scene(imageDir.path(), 5, 43);
    auto* main = new MainWindow;
    main->show();
    main->sensorTree()->addSensor();
    auto* button = main->findChild<QPushButton*>("button_checker_intr_calib");
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->text(), "Intrinsic");
    QTest::mouseClick(button, Qt::LeftButton);
    QTest::mouseClick(button, Qt::LeftButton);
    const std::vector<IntrChessCalibWin*> dialogs = openIntrinsicDialogs();
    ASSERT_EQ(dialogs.size(), 2u) << "one dialog per press";
    QPointer<IntrChessCalibWin> first = dialogs[0], second = dialogs[1];
    for (IntrChessCalibWin* d : dialogs) {
        EXPECT_TRUE(d->isWindow());
        EXPECT_FALSE(d->isModal());
        EXPECT_TRUE(d->testAttribute(Qt::WA_DeleteOnClose));
        EXPECT_EQ(d->findChild<QComboBox*>("combo_sensor")->count(), 2);
    }

    // Both refresh their sensors; the second calibrates Cam1 for the scene.
    main->sensorTree()->addSensor();
    EXPECT_EQ(first->findChild<QComboBox*>("combo_sensor")->count(), 3);
    second->findChild<QComboBox*>("combo_sensor")->setCurrentIndex(1);
    second->findChild<QSpinBox*>("spin_corner_count_x")->setValue(9);
    second->findChild<QSpinBox*>("spin_corner_count_y")->setValue(6);
    second->findChild<QLineEdit*>("edit_corners_width")->setText("22.5");
    second->findChild<QLineEdit*>("edit_corners_height")->setText("22.5");
    second->openImages(scene.files);
    QTest::mouseClick(second->findChild<QPushButton*>("button_calibrate"), Qt::LeftButton);
    const Sensor cam1 = main->sensorTree()->getSensors()[1];
    ASSERT_FALSE(cam1.K.empty());
    EXPECT_NEAR(cam1.K.at<double>(0, 0), scene.cam.K(0, 0), 3.0);
    EXPECT_EQ(cam1.imgSize, scene.cam.size);
    // The main window's frustum for Cam1 now exists.
    EXPECT_TRUE(main->sensorActors()[1].frustum);

    delete main;
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(first.isNull());
    EXPECT_TRUE(second.isNull());
}

// Typed into a line edit and confirmed with Return, as a user does.
void typeAndConfirm(QLineEdit* edit, const QString& text)
{
    edit->selectAll();
    QTest::keyClicks(edit, text);
    QTest::keyClick(edit, Qt::Key_Return);
}

// Corner files that no camera can have. Images 0 to 3 hold good views of a
// 640x480 camera, images 4 to 7 the case's views. A good run of 0 to 3, then
// a run of 4 to 7: it is refused in red, with the file and the value or the
// focal lengths, and changes nothing: the tree, the intrinsics file and the
// dialog's last result stay as the good run left them, and so does the 3D
// view: its boards keep the good run's size although the square size went
// from 30 to 300 mm before the refused run. Values near the end of the
// float range made OpenCV's calibration end the whole program.
TEST_F(IntrinsicDialog, CornerFilesNoCameraCanHaveAreRefusedAndChangeNothing)
{
    const std::vector<std::vector<cv::Point2f>> good = synth::squareViews();
    std::vector<std::vector<cv::Point2f>> huge = good, floatMax = good;
    huge[2] = {
        {good[2][0].x, 1.26e34f}, {good[2][1].x, -1.76e38f}, {1.26e34f, 1.26e34f}, {9.46e35f, -1.76e38f}};
    floatMax[1][2].x = FLT_MAX;
    const QString folder = imageDir.path();
    const struct {
        const char* what;
        std::vector<std::vector<cv::Point2f>> views;
        QString says;
    } cases[] = {
        {"values near the end of the float range", huge,
         "Refused " + folder +
             "/view06.yml: point 0 has y = 1.26e+34 px, outside -480 to 960 px for a 640x480 "
             "image; nothing was changed, aborting..."},
        {"FLT_MAX", floatMax,
         "Refused " + folder +
             "/view05.yml: point 2 has x = 3.40282e+38 px, outside -640 to 1280 px for a "
             "640x480 image; nothing was changed, aborting..."},
        {"a negative focal length", synth::scatteredSquareViews(),
         "The calibration gave focal lengths that are not positive (fx = -266.033 px, fy = -266.033 px); "
         "nothing was changed, aborting..."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::vector<cv::Point2f>> views = good;
        views.insert(views.end(), c.views.begin(), c.views.end());
        const QStringList files = dialog_test::writeCornerFileImages(folder, "view", views);
        QFile::remove(folder + "/Cam0_intr.yml");

        auto* main = new MainWindow;
        main->show();
        QTest::mouseClick(main->findChild<QPushButton*>("button_checker_intr_calib"), Qt::LeftButton);
        const std::vector<IntrChessCalibWin*> dialogs = openIntrinsicDialogs();
        ASSERT_EQ(dialogs.size(), 1u);
        IntrChessCalibWin* d = dialogs[0];
        auto* list = d->findChild<QListWidget*>("list_images");
        auto* log = d->findChild<QTextEdit*>("text_log");
        auto useImages = [list](int first) {
            for (int i = 0; i < list->count(); ++i)
                list->item(i)->setCheckState(i >= first && i < first + 4 ? Qt::Checked : Qt::Unchecked);
        };
        auto setSquare = [d](const QString& mm) {
            for (const char* name : {"edit_corners_width", "edit_corners_height"})
                typeAndConfirm(d->findChild<QLineEdit*>(name), mm);
        };
        setSquare("30");
        d->openImages(files);
        useImages(0);
        QTest::mouseClick(d->findChild<QPushButton*>("button_calibrate"), Qt::LeftButton);
        ASSERT_TRUE(logHas(log, "Intrinsics saved to", kBlack)) << log->toPlainText().toStdString();
        const Sensor sensor = main->sensorTree()->getSensors()[0];
        ASSERT_NEAR(sensor.K.at<double>(0, 0), 500, 1);
        QFile file(folder + "/Cam0_intr.yml");
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray written = file.readAll();
        file.close();
        const cv::Mat K = d->cameraMatrix().clone(), kc = d->distortion().clone();
        const std::vector<double> errors = d->viewErrors();
        const std::vector<cv::Vec3b> colours = d->imageListColours();
        vtkRenderer* renderer = d->findChild<QVTKOpenGLNativeWidget*>("widget_vtk")
                                    ->renderWindow()
                                    ->GetRenderers()
                                    ->GetFirstRenderer();
        const testing_support::SceneView scene(renderer);

        setSquare("300");
        useImages(4);
        log->clear();
        QTest::mouseClick(d->findChild<QPushButton*>("button_calibrate"), Qt::LeftButton);
        EXPECT_TRUE(logHas(log, c.says, kRed)) << log->toPlainText().toStdString();
        testing_support::SceneView(renderer).expectSameAs(scene);
        EXPECT_FALSE(log->toPlainText().contains("Intrinsics saved to"));
        const Sensor after = main->sensorTree()->getSensors()[0];
        EXPECT_MAT_NEAR(after.K, sensor.K, 0);
        EXPECT_MAT_NEAR(after.kc, sensor.kc, 0);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), written);
        file.close();
        EXPECT_MAT_NEAR(d->cameraMatrix(), K, 0);
        EXPECT_MAT_NEAR(d->distortion(), kc, 0);
        EXPECT_EQ(d->viewErrors(), errors);
        EXPECT_EQ(d->imageListColours(), colours);
        EXPECT_EQ(list->item(0)->background().color(), QColor(colours[0][0], colours[0][1], colours[0][2]));

        delete main;
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

// A change of any detection option drops the detections and, with them, the
// last run's corners and projections: the image in view is shown again
// without markers or error figures, and so is every other image. The run's
// per-image errors and list colours stay until the next run.
TEST_F(IntrinsicDialog, ADetectionOptionChangeTakesTheRunsMarkersOutOfTheView)
{
    const Scene scene(imageDir.path(), 5, 61);
    auto* main = new MainWindow;
    main->show();
    main->sensorTree()->addSensor();
    QTest::mouseClick(main->findChild<QPushButton*>("button_checker_intr_calib"), Qt::LeftButton);
    const std::vector<IntrChessCalibWin*> dialogs = openIntrinsicDialogs();
    ASSERT_EQ(dialogs.size(), 1u);
    IntrChessCalibWin* d = dialogs[0];
    dialog_test::setBoard(d, scene.pattern, "22.5");
    d->openImages(scene.files);
    auto* list = d->findChild<QListWidget*>("list_images");
    auto* panel = d->findChild<QGroupBox*>("group_reproj_err");
    auto* image = d->findChild<QWidget*>("image_label");
    auto* spinX = d->findChild<QSpinBox*>("spin_corner_count_x");
    auto* winSize = d->findChild<QSpinBox*>("spin_win_size");
    auto* width = d->findChild<QLineEdit*>("edit_corners_width");
    auto* zeroZoneY = d->findChild<QLineEdit*>("edit_zero_zone_y");
    auto* radon = d->findChild<QCheckBox*>("check_radon_detection");
    auto* mirror = d->findChild<QCheckBox*>("check_mirror");

    struct Case {
        const char* option;
        std::function<void()> change, undo;
    };
    const Case cases[] = {
        {"inner corners", [&] { spinX->setValue(8); }, [&] { spinX->setValue(9); }},
        {"square size", [&] { typeAndConfirm(width, "30"); }, [&] { typeAndConfirm(width, "22.5"); }},
        {"zero zone", [&] { typeAndConfirm(zeroZoneY, "2"); }, [&] { typeAndConfirm(zeroZoneY, "1"); }},
        {"window size", [&] { winSize->setValue(12); }, [&] { winSize->setValue(10); }},
        {"own detector", [&] { radon->click(); }, [&] { radon->click(); }},
        {"mirror", [&] { mirror->click(); }, [&] { mirror->click(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.option);
        QTest::mouseClick(d->findChild<QPushButton*>("button_calibrate"), Qt::LeftButton);
        ASSERT_FALSE(d->cameraMatrix().empty())
            << d->findChild<QTextEdit*>("text_log")->toPlainText().toStdString();
        list->setCurrentRow(2);
        ASSERT_TRUE(panel->isVisible());
        ASSERT_GT(markerPixels(image), 50);
        const std::vector<double> errors = d->viewErrors();
        const QColor listColour = list->item(2)->background().color();

        c.change();
        EXPECT_FALSE(panel->isVisible());
        EXPECT_EQ(markerPixels(image), 0);
        if (std::string(c.option) == "inner corners")
            d->grab().save(testing_support::screenshotPath("intrinsic_dialog_option_changed.png"));
        list->setCurrentRow(3);
        EXPECT_FALSE(panel->isVisible());
        EXPECT_EQ(markerPixels(image), 0);
        for (const std::vector<cv::Point2f>& points : d->reprojectedImagePoints())
            EXPECT_TRUE(points.empty());
        for (const std::vector<cv::Point2f>& points : d->detectedImagePoints())
            EXPECT_TRUE(points.empty());
        EXPECT_EQ(d->viewErrors(), errors);
        EXPECT_EQ(list->item(2)->background().color(), listColour);
        c.undo();
    }
    delete main;
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST_F(IntrinsicDialog, RandomTenStaysWithinTheList)
{
    const struct {
        int images;
        int checked;
    } cases[] = {{12, 10}, {5, 5}, {0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.images);
        Harness h(1);
        QStringList files;
        for (int i = 0; i < c.images; ++i)
            files << imageDir.filePath(QString("img%1.png").arg(i));
        h.dialog->openImages(files);
        ASSERT_TRUE(QMetaObject::invokeMethod(h.dialog, "on_button_select_10_clicked"));
        int checked = 0;
        for (int i = 0; i < h.list()->count(); ++i)
            checked += h.list()->item(i)->checkState() == Qt::Checked;
        EXPECT_EQ(checked, c.checked);
    }
}

// Options come back in the next session, real square sizes included.
TEST_F(IntrinsicDialog, OptionsPersistBetweenSessions)
{
    {
        Harness h(1);
        h.setPattern(cv::Size(7, 5), "22.5");
        h.w<QCheckBox>("check_radon_detection")->setChecked(true);
        h.w<QCheckBox>("check_use_rational_model")->setChecked(true);
    }
    Harness h(1);
    EXPECT_EQ(h.w<QSpinBox>("spin_corner_count_x")->value(), 7);
    EXPECT_EQ(h.w<QLineEdit>("edit_corners_width")->text(), "22.5");
    EXPECT_TRUE(h.w<QCheckBox>("check_radon_detection")->isChecked());
    EXPECT_FALSE(h.w<QGroupBox>("group_corner_subpix")->isEnabled());
    EXPECT_TRUE(h.w<QCheckBox>("check_use_rational_model")->isChecked());
    EXPECT_FALSE(h.w<QCheckBox>("check_fix_k4")->isHidden()) << "the restored rational model shows k4 to k6";
}

// With the intrinsic guess, the run starts from the tree's intrinsics; fixed
// focal length and principal point come out exactly as given.
TEST_F(IntrinsicDialog, IntrinsicGuessStartsFromTheTree)
{
    const Scene scene(imageDir.path(), 6, 47);
    Harness h(1);
    cv::Mat guess = (cv::Mat_<double>(3, 3) << 830, 0, 398, 0, 830, 301, 0, 0, 1);
    h.tree.updateIntrinsicsIdx(0, guess, cv::Mat::zeros(1, 5, CV_64F), scene.cam.size);
    h.dialog->updateSensorNames();
    auto* useGuess = h.w<QCheckBox>("check_use_intrinsic_guess");
    ASSERT_TRUE(useGuess->isEnabled());
    useGuess->setChecked(true);
    h.w<QCheckBox>("check_fix_focal")->setChecked(true);
    h.w<QCheckBox>("check_fix_pp")->setChecked(true);
    h.setPattern(scene.pattern, "22.5");
    h.dialog->openImages(scene.files);
    h.clickCalibrate();
    const cv::Mat K = h.dialog->cameraMatrix();
    ASSERT_FALSE(K.empty()) << h.logText().toStdString();
    EXPECT_MAT_NEAR(K, guess, 1e-9);
    // The distortion is still estimated (towards the true k1).
    EXPECT_LT(h.dialog->distortion().at<double>(0), -0.1);
}

// Opened from the main window at its default size, the dialog shows every
// label, button, group title and field whole, before and after a run (with
// the error figures), with the font of the test's X server and with a
// larger desktop font (about 11 pt); a larger window keeps them whole.
TEST_F(IntrinsicDialog, EveryTextIsWholeAtTheDefaultSize)
{
    const Scene scene(imageDir.path(), 5, 53);
    for (const double fontScale : {1.0, 1.25}) {
        SCOPED_TRACE(::testing::Message() << "font scaled by " << fontScale);
        const testing_support::ScopedFontScale font(fontScale);
        dialog_test::useSettingsFolder(settingsDir.path()); // no size kept from the round before
        auto* main = new MainWindow;
        main->show();
        QTest::mouseClick(main->findChild<QPushButton*>("button_checker_intr_calib"), Qt::LeftButton);
        const std::vector<IntrChessCalibWin*> dialogs = openIntrinsicDialogs();
        ASSERT_EQ(dialogs.size(), 1u);
        IntrChessCalibWin* dialog = dialogs[0];
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
        const QSize defaultSize = dialog->size();
        EXPECT_EQ(defaultSize, QSize(900, 803));
        const QString name = QString("intrinsic_dialog_default_size_font%1").arg(fontScale);
        EXPECT_SHOT_CUT_OFF_NONE(dialog, name);

        dialog_test::setBoard(dialog, scene.pattern, "22.5");
        dialog->openImages(scene.files);
        QTest::mouseClick(dialog->findChild<QPushButton*>("button_calibrate"), Qt::LeftButton);
        ASSERT_FALSE(dialog->cameraMatrix().empty());
        QTest::qWait(100); // the layout follows the figures' texts
        ASSERT_TRUE(dialog->findChild<QGroupBox*>("group_reproj_err")->isVisible());
        EXPECT_EQ(dialog->size(), defaultSize) << "the figures fit without growing the window";
        EXPECT_SHOT_CUT_OFF_NONE(dialog, name + "_run");

        dialog->resize(dialog->size() * 1.4);
        QTest::qWait(100);
        EXPECT_SHOT_CUT_OFF_NONE(dialog, name + "_larger");
        delete main;
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

} // namespace
