// The stereo calibration dialog driven as a user drives it: rendered image
// pairs of a known rig (two cameras of different resolutions and distortion
// models, the second turned and shifted) opened, calibrated and rectified;
// the result checked against the truth in the tree, the files and the
// rectified images; the real stereo photographs next to OpenCV's own stereo
// calibration; the bad-input paths.

#include "core/io/project_file.h"
#include "gui/dialogs/StereoChessCalibWin.h"

#include "core/geometry/rotation_checks.h"
#include "gui/shell/MainWindow.h"
#include "gui/shell/SensorTree.h"
#include "gui/shell/dialog_wiring.h"
#include "gui/views/ImageLabel.h"

#include "dialog_test_helpers.h"
#include "screenshots.h"
#include "stereo_rig.h"
#include "synthetic.h"
#include "test_helpers.h"
#include "text_fit.h"
#include "vtk_test_helpers.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QVTKOpenGLNativeWidget.h>
#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <vtkActor.h>
#include <vtkFollower.h>
#include <vtkLinearTransform.h>
#include <vtkMapper.h>
#include <vtkMatrix4x4.h>
#include <vtkPolyData.h>
#include <vtkRenderWindow.h>
#include <vtkRenderer.h>
#include <vtkRendererCollection.h>

#include <algorithm>
#include <array>
#include <cfloat>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <string>

using dialog_test::logHas;

namespace {

const QColor kGreen(Qt::green), kDarkGreen(Qt::darkGreen), kRed(Qt::red), kBlack(Qt::black), kGray(Qt::gray);

// Screenshots for a person to look at, only when asked for.
void screenshot(QWidget* w, const char* name)
{
    const char* dir = std::getenv("TESSIMO_SCREENSHOT_DIR");
    if (dir && *dir)
        w->grab().save(QDir(dir).filePath(name));
}

using dialog_test::child;

// The dialog opened from the main window's "Extrinsic Stereo" button.
struct Harness {
    MainWindow* main = nullptr;
    StereoChessCalibWin* dialog = nullptr;

    explicit Harness(int sensors = 2)
    {
        main = new MainWindow;
        main->show();
        for (int i = 1; i < sensors; ++i)
            main->sensorTree()->addSensor();
        auto* button = main->findChild<QPushButton*>("button_checker_extr_calib");
        EXPECT_NE(button, nullptr);
        EXPECT_EQ(button->text(), "Extrinsic Stereo");
        QTest::mouseClick(button, Qt::LeftButton);
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = qobject_cast<StereoChessCalibWin*>(w))
                dialog = d;
        EXPECT_NE(dialog, nullptr);
        QCoreApplication::processEvents();
    }
    ~Harness()
    {
        delete main; // closes the dialog
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    Harness(const Harness&) = delete;
    Harness& operator=(const Harness&) = delete;

    template <class T> T* w(const char* name) const { return child<T>(dialog, name); }
    QTextEdit* log() const { return w<QTextEdit>("text_log"); }
    QString logText() const { return log()->toPlainText(); }
    void setPattern(cv::Size pattern, const QString& square) const
    {
        w<QSpinBox>("spin_corner_count_x")->setValue(pattern.width);
        w<QSpinBox>("spin_corner_count_y")->setValue(pattern.height);
        w<QLineEdit>("edit_corners_width")->setText(square);
        w<QLineEdit>("edit_corners_height")->setText(square);
    }
    // Opens a rendered scene's pairs into both lists.
    template <class Scene> void openImages(const Scene& scene) const
    {
        dialog->openPrimaryImages(scene.files.primary);
        dialog->openSecondaryImages(scene.files.secondary);
    }
    // Sets the scene's board, opens its pairs and calibrates them.
    template <class Scene> void calibrateScene(const Scene& scene, const QString& square) const
    {
        setPattern(scene.pattern, square);
        openImages(scene);
        calibrate();
    }
    void click(const char* name) const { QTest::mouseClick(w<QPushButton>(name), Qt::LeftButton); }
    void calibrate() const { click("button_calibrate"); }
};

// The dialog's last result, held to tell that a refused run left it whole.
struct HeldResult {
    cv::Mat K[2], kc[2], R, T;

    explicit HeldResult(const StereoChessCalibWin* d)
        : K{d->primaryCameraMatrix().clone(), d->secondaryCameraMatrix().clone()},
          kc{d->primaryDistortion().clone(), d->secondaryDistortion().clone()}, R(d->rotation().clone()),
          T(d->translation().clone())
    {
    }
    // Still calibrated with exactly these values, and still rectified.
    void expectKeptBy(const StereoChessCalibWin* d) const
    {
        EXPECT_TRUE(d->isCalibrated());
        EXPECT_MAT_NEAR(d->primaryCameraMatrix(), K[0], 0);
        EXPECT_MAT_NEAR(d->secondaryCameraMatrix(), K[1], 0);
        EXPECT_MAT_NEAR(d->primaryDistortion(), kc[0], 0);
        EXPECT_MAT_NEAR(d->secondaryDistortion(), kc[1], 0);
        EXPECT_MAT_NEAR(d->rotation(), R, 0);
        EXPECT_MAT_NEAR(d->translation(), T, 0);
        EXPECT_TRUE(d->rectification().hasMaps());
    }
};

class StereoDialog : public dialog_test::TemporaryFoldersTest {};

// Rendered pairs of the rig: a 9 x 6 board of 27.5 mm squares (a real
// number on purpose: it scales the baseline).
struct RigScene {
    synth::StereoRig rig = synth::makeStereoRig();
    cv::Size pattern{9, 6};
    double square = 27.5;
    std::vector<synth::View> views;
    synth::StereoImageFiles files;

    RigScene(const QString& folder, int n, std::uint64_t seed = 3)
    {
        views = synth::stereoViews(rig, pattern, square, n, seed);
        synth::RenderOptions o;
        o.supersample = 3;
        o.blurSigma = 0.6;
        o.noiseSigma = 1.0;
        files = synth::writeStereoViews(folder, rig, pattern, square, views, o);
    }
};

using dialog_test::modelDifferencePx;
using dialog_test::readMat;

// Corners found in the rectified copies: the largest row difference of the
// pairs' corners (columns when the pair is vertical), and how many pairs were found.
std::pair<double, int> rectifiedRowAgreement(const QStringList& primary, const QStringList& secondary,
                                             cv::Size pattern)
{
    double worst = 0;
    int pairs = 0;
    for (int i = 0; i < primary.size(); ++i) {
        auto rectName = [](const QString& path) {
            const QFileInfo info(path);
            return info.path() + "/rect_" + info.fileName();
        };
        const cv::Mat a = cv::imread(rectName(primary[i]).toStdString(), cv::IMREAD_GRAYSCALE);
        const cv::Mat b = cv::imread(rectName(secondary[i]).toStdString(), cv::IMREAD_GRAYSCALE);
        if (a.empty() || b.empty())
            continue;
        std::vector<cv::Point2f> ca, cb;
        const int flags =
            cv::CALIB_CB_ADAPTIVE_THRESH | cv::CALIB_CB_NORMALIZE_IMAGE | cv::CALIB_CB_FAST_CHECK;
        if (!cv::findChessboardCorners(a, pattern, ca, flags) ||
            !cv::findChessboardCorners(b, pattern, cb, flags))
            continue;
        const cv::TermCriteria crit(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 50, 1e-4);
        cv::cornerSubPix(a, ca, cv::Size(7, 7), cv::Size(-1, -1), crit);
        cv::cornerSubPix(b, cb, cv::Size(7, 7), cv::Size(-1, -1), crit);
        for (size_t j = 0; j < ca.size(); ++j)
            worst = std::max(worst, double(std::abs(ca[j].y - cb[j].y)));
        ++pairs;
    }
    return {worst, pairs};
}

TEST_F(StereoDialog, CalibratesAndRectifiesARenderedRigFromTheMainWindow)
{
    const RigScene scene(imageDir.path(), 10);
    Harness h;
    ASSERT_NE(h.dialog, nullptr);
    EXPECT_EQ(h.dialog->windowTitle(), "Stereo Checker Target Calibration");
    EXPECT_FALSE(h.dialog->isModal());
    EXPECT_EQ(h.w<QComboBox>("combo_sensor_primary")->currentIndex(), 0);
    EXPECT_EQ(h.w<QComboBox>("combo_sensor_secondary")->currentIndex(), 1);
    EXPECT_EQ(h.dialog->calibrationFlags(0), 138);

    h.setPattern(scene.pattern, "27.5");
    h.w<QCheckBox>("check_use_tangential_distortion2")->setChecked(true);
    h.openImages(scene);
    h.calibrate();

    // Every pair detected and used.
    const int n = scene.files.primary.size();
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(h.w<QListWidget>("list_images_primary")->item(i)->checkState(), Qt::Checked) << i;
        EXPECT_EQ(h.dialog->primaryCornerCache()[i].size(), 54u) << i;
    }
    EXPECT_TRUE(logHas(h.log(), "Detecting chessboards: ", kBlack));
    EXPECT_TRUE(logHas(h.log(), "9 ", kGreen));
    EXPECT_FALSE(logHas(h.log(), " ", kRed)) << h.logText().toStdString();
    ASSERT_TRUE(h.dialog->isCalibrated()) << h.logText().toStdString();

    // Relative pose on clean renders: better than 0.1 degree and 0.5 % of the baseline.
    const double baseline = cv::norm(scene.rig.T);
    const double kPoseDeg = 0.1, kBaselineShare = 0.005;
    const cv::Mat R = h.dialog->rotation(), T = h.dialog->translation();
    const double deg = testing_support::rotationDiffDeg(R, cv::Mat(scene.rig.R));
    const double mm = cv::norm(T, cv::Mat(scene.rig.T));
    std::printf(
        "[ measured ] rendered rig: rotation off by %.4f deg, translation by %.3f mm of %.1f mm (%.3f %%)\n",
        deg, mm, baseline, 100 * mm / baseline);
    EXPECT_LT(deg, kPoseDeg);
    EXPECT_LT(mm, kBaselineShare * baseline);

    // Intrinsics: where each model puts the pixels it saw.
    std::vector<cv::Point2f> seen[2];
    for (const synth::View& v : scene.views) {
        for (const cv::Point2f& p : synth::projectBoard(scene.rig.primary, scene.pattern, scene.square, v))
            seen[0].push_back(p);
        for (const cv::Point2f& p : synth::projectBoard(scene.rig.secondary, scene.pattern, scene.square,
                                                        scene.rig.secondaryView(v)))
            seen[1].push_back(p);
    }
    const double kModelPx = 1.0;
    const double model0 = modelDifferencePx(scene.rig.primary, h.dialog->primaryCameraMatrix(),
                                            h.dialog->primaryDistortion(), seen[0]);
    const double model1 = modelDifferencePx(scene.rig.secondary, h.dialog->secondaryCameraMatrix(),
                                            h.dialog->secondaryDistortion(), seen[1]);
    std::printf("[ measured ] model difference over the seen corners: primary %.3f px, secondary %.3f px\n",
                model0, model1);
    EXPECT_LT(model0, kModelPx);
    EXPECT_LT(model1, kModelPx);
    EXPECT_NEAR(h.dialog->primaryCameraMatrix().at<double>(0, 0), scene.rig.primary.K(0, 0), 0.005 * 1100);
    EXPECT_NEAR(h.dialog->secondaryCameraMatrix().at<double>(0, 0), scene.rig.secondary.K(0, 0),
                0.005 * 1500);

    // The tree: both intrinsics, and Cam1 at the rig's pose relative to Cam0.
    const std::vector<Sensor> sensors = h.main->sensorTree()->getSensors();
    ASSERT_EQ(sensors.size(), 2u);
    EXPECT_EQ(sensors[0].imgSize, cv::Size(1280, 960));
    EXPECT_EQ(sensors[1].imgSize, cv::Size(1920, 1080));
    EXPECT_MAT_NEAR(sensors[1].K, h.dialog->secondaryCameraMatrix(), 1e-6);
    const cv::Mat R_1_0 = sensors[1].R * sensors[0].R.t();
    const cv::Mat t_1_0 = sensors[1].t - R_1_0 * sensors[0].t;
    EXPECT_POSE_NEAR(R_1_0, t_1_0, cv::Mat(scene.rig.R), cv::Mat(scene.rig.T), kPoseDeg,
                     kBaselineShare * baseline);
    EXPECT_TRUE(h.main->sensorActors()[1].frustum);

    // The result file.
    const QString stereo = h.dialog->stereoFilePath();
    EXPECT_EQ(stereo, QDir(imageDir.path()).filePath("primary/Cam0_Cam1_stereo.yml"));
    EXPECT_TRUE(logHas(h.log(), "Stereo parameters saved to " + stereo, kBlack));
    {
        cv::FileStorage fs(stereo.toStdString(), cv::FileStorage::READ);
        ASSERT_TRUE(fs.isOpened());
        EXPECT_EQ(fs.root().keys(), (std::vector<std::string>{"imgSize0", "K0", "kc0", "imgSize1", "K1",
                                                              "kc1", "R", "T", "F", "reprojErrRMS"}));
        cv::Size size1;
        fs["imgSize1"] >> size1;
        EXPECT_EQ(size1, cv::Size(1920, 1080));
        EXPECT_MAT_NEAR(readMat(fs, "T"), T, 0);
        EXPECT_MAT_NEAR(readMat(fs, "R"), R, 0);
        EXPECT_MAT_NEAR(readMat(fs, "K1"), h.dialog->secondaryCameraMatrix(), 0);
        EXPECT_EQ(readMat(fs, "kc0").cols, 5);
        const double rms = double(fs["reprojErrRMS"]);
        EXPECT_GT(rms, 0);
        EXPECT_LT(rms, 0.3);
        EXPECT_TRUE(h.logText().contains("Calibration completed with rms reprojection error: " +
                                         QString::number(rms, 'g', 6)));
        EXPECT_TRUE(h.logText().contains("tx " + QString::number(T.at<double>(0), 'f', 4)));
    }

    // Lists coloured by each camera's error; the pair's error figures shown.
    const auto& errors = h.dialog->primaryPairErrors();
    const int worst = int(std::max_element(errors.begin(), errors.end()) - errors.begin());
    EXPECT_EQ(h.w<QListWidget>("list_images_primary")->item(worst)->background().color(), QColor(255, 0, 0));
    h.w<QListWidget>("list_images_primary")->setCurrentRow(worst);
    QCoreApplication::processEvents();
    EXPECT_EQ(h.w<QListWidget>("list_images_secondary")->currentRow(), worst);
    EXPECT_TRUE(h.w<QGroupBox>("group_reproj_err_primary")->isVisible());
    EXPECT_TRUE(h.w<QGroupBox>("group_reproj_err_secondary")->isVisible());
    EXPECT_TRUE(h.w<QGroupBox>("group_epi_err")->isVisible());
    EXPECT_EQ(h.w<QLabel>("label_rms_primary")->text(),
              "RMS: " + QString::number(errors[worst], 'f', 4) + " px");
    EXPECT_EQ(h.w<QLabel>("label_rms_primary")->styleSheet(), "color:rgb(255,0,0);");
    EXPECT_LT(h.dialog->epipolarPairErrors()[worst], 0.5);
    EXPECT_EQ(h.w<QProgressBar>("progress_bar")->value(), n + 1);
    EXPECT_EQ(h.w<QPushButton>("button_calibrate")->text(), "Calibrate Stereo");
    screenshot(h.dialog, "stereo_dialog_2d.png");
    h.w<QTabWidget>("tabWidget")->setCurrentIndex(1);
    QCoreApplication::processEvents();
    screenshot(h.dialog, "stereo_dialog_3d.png");

    // Rectification: the files, then the rectified copies.
    h.w<QTabWidget>("tabCalibRect")->setCurrentIndex(1);
    h.w<QTabWidget>("tabWidget")->setCurrentIndex(2);
    // Whole boards in the copies: keep every source pixel.
    h.w<QRadioButton>("radio_alpha_1")->setChecked(true);
    h.click("button_rectify");
    const QString rectFile = QDir(imageDir.path()).filePath("primary/rectification.yml");
    EXPECT_TRUE(logHas(h.log(), "Rectification parameters saved to " + rectFile, kBlack))
        << h.logText().toStdString();
    EXPECT_TRUE(
        logHas(h.log(), "[WARNING] Images for Cam0 and Cam1 differ in size.", QColor(Qt::darkYellow)));
    {
        cv::FileStorage fs(rectFile.toStdString(), cv::FileStorage::READ);
        EXPECT_EQ(fs.root().keys(), (std::vector<std::string>{"imgageSize", "newImageSize", "alpha", "flags",
                                                              "R0", "R1", "P0", "P1", "Q"}));
        EXPECT_EQ(int(fs["flags"]), 1024);
    }
    const QString base = h.dialog->rectifiedProjectBasePath();
    EXPECT_TRUE(logHas(h.log(), "Project with rectified cameras saved to " + base + ".yml", kBlack));
    EXPECT_TRUE(QFileInfo(base + ".json").isFile());
    QCoreApplication::processEvents();
    screenshot(h.dialog, "stereo_dialog_rectification.png");

    h.click("button_rectify_input");
    EXPECT_TRUE(logHas(h.log(), "Done!", kBlack));
    EXPECT_TRUE(h.logText().contains("Rectifying Cam0 images:"));
    std::printf("[ measured ] rectified focal lengths %.1f and %.1f px\n",
                h.dialog->rectification().P0.at<double>(0, 0), h.dialog->rectification().P1.at<double>(0, 0));
    if (const char* keep = std::getenv("TESSIMO_SCREENSHOT_DIR"))
        for (const char* side : {"primary", "secondary"})
            QFile::copy(QDir(imageDir.path()).filePath(QString(side) + "/rect_pair03.png"),
                        QDir(keep).filePath(QString("rect_%1_03.png").arg(side)));
    const auto [rowsOff, pairsFound] =
        rectifiedRowAgreement(scene.files.primary, scene.files.secondary, scene.pattern);
    std::printf(
        "[ measured ] rectified copies: corners of %d pairs found again, rows differ by at most %.3f px\n",
        pairsFound, rowsOff);
    EXPECT_GE(pairsFound, n - 1);
    EXPECT_LT(rowsOff, 0.5);

    // The project of the rectified cameras loads in the main window.
    Project project;
    const ProjectReadResult read = readProjectFile((base + ".yml").toStdString(), project);
    ASSERT_TRUE(read.ok) << read.message;
    ASSERT_TRUE(h.main->loadProject(base + ".yml"));
    const std::vector<Sensor> loaded = h.main->sensorTree()->getSensors();
    ASSERT_EQ(loaded.size(), 2u);
    EXPECT_EQ(loaded[0].name, "Cam0_rect");
    EXPECT_EQ(loaded[1].name, "Cam1_rect");
    EXPECT_MAT_NEAR(loaded[0].R, cv::Mat::eye(3, 3, CV_64F), 1e-9);
    EXPECT_NEAR(cv::norm(loaded[1].t), cv::norm(T), 1e-3);
}

// The 13 real left/right pairs of OpenCV's samples next to OpenCV's own
// stereo calibration on the same corners.
TEST_F(StereoDialog, RealPairsAgreeWithOpenCvStereoCalibration)
{
    QStringList left, right;
    for (int i = 1; i <= 14; ++i) {
        if (i == 10)
            continue;
        left << QString(TESSIMO_SAMPLE_DATA "/left%1.jpg").arg(i, 2, 10, QChar('0'));
        right << QString(TESSIMO_SAMPLE_DATA "/right%1.jpg").arg(i, 2, 10, QChar('0'));
    }
    for (const QString& p : left + right)
        if (!QFileInfo(p).isFile())
            GTEST_SKIP() << "sample photographs not installed: " << p.toStdString();
    // Copies, so the result files go to a folder of the test's own.
    QDir dir(imageDir.path());
    dir.mkpath("left");
    dir.mkpath("right");
    QStringList leftCopies, rightCopies;
    for (int i = 0; i < left.size(); ++i) {
        leftCopies << dir.filePath("left/" + QFileInfo(left[i]).fileName());
        rightCopies << dir.filePath("right/" + QFileInfo(right[i]).fileName());
        QFile::copy(left[i], leftCopies.back());
        QFile::copy(right[i], rightCopies.back());
    }

    Harness h;
    ASSERT_NE(h.dialog, nullptr);
    h.setPattern(cv::Size(9, 6), "25");
    // OpenCV's detector with adaptive thresholding alone misses two of the
    // pairs; the program's own detector finds all.
    h.w<QCheckBox>("check_radon_detection")->setChecked(true);
    h.dialog->openPrimaryImages(leftCopies);
    h.dialog->openSecondaryImages(rightCopies);
    h.calibrate();
    ASSERT_TRUE(h.dialog->isCalibrated()) << h.logText().toStdString();
    for (int i = 0; i < 13; ++i)
        EXPECT_EQ(h.dialog->primaryCornerCache()[i].size(), 54u) << "pair " << i << " detected";

    const double rms = double(
        cv::FileStorage(h.dialog->stereoFilePath().toStdString(), cv::FileStorage::READ)["reprojErrRMS"]);
    const double baseline = cv::norm(h.dialog->translation());

    // OpenCV on the same corners with the same model (fixed aspect ratio and k3, no tangential terms).
    std::vector<std::vector<cv::Point3f>> obj;
    std::vector<std::vector<cv::Point2f>> c0, c1;
    for (size_t v = 0; v < h.dialog->objectPointCache().size(); ++v)
        if (!h.dialog->objectPointCache()[v].empty()) {
            obj.push_back(h.dialog->objectPointCache()[v]);
            c0.push_back(h.dialog->primaryCornerCache()[v]);
            c1.push_back(h.dialog->secondaryCornerCache()[v]);
        }
    cv::Mat K0, kc0, K1, kc1, Rcv, Tcv, Ecv, Fcv;
    const int flags = cv::CALIB_FIX_ASPECT_RATIO | cv::CALIB_ZERO_TANGENT_DIST | cv::CALIB_FIX_K3;
    const double cvRms =
        cv::stereoCalibrate(obj, c0, c1, K0, kc0, K1, kc1, cv::Size(640, 480), Rcv, Tcv, Ecv, Fcv, flags,
                            cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-3));
    const double cvBaseline = cv::norm(Tcv);

    // Row agreement of the rectified corners.
    auto rowAgreement = [&](const cv::Mat& A0, const cv::Mat& d0, const cv::Mat& A1, const cv::Mat& d1,
                            const cv::Mat& Rr, const cv::Mat& Tr) {
        cv::Mat R0, R1, P0, P1, Q;
        cv::stereoRectify(A0, d0, A1, d1, cv::Size(640, 480), Rr, Tr, R0, R1, P0, P1, Q,
                          cv::CALIB_ZERO_DISPARITY, 0);
        double sum = 0, worst = 0;
        int count = 0;
        for (size_t v = 0; v < c0.size(); ++v) {
            std::vector<cv::Point2f> a, b;
            cv::undistortPoints(c0[v], a, A0, d0, R0, P0);
            cv::undistortPoints(c1[v], b, A1, d1, R1, P1);
            for (size_t j = 0; j < a.size(); ++j) {
                const double d = std::abs(a[j].y - b[j].y);
                sum += d * d;
                worst = std::max(worst, d);
                ++count;
            }
        }
        return std::make_pair(std::sqrt(sum / std::max(count, 1)), worst);
    };
    const auto ours = rowAgreement(h.dialog->primaryCameraMatrix(), h.dialog->primaryDistortion(),
                                   h.dialog->secondaryCameraMatrix(), h.dialog->secondaryDistortion(),
                                   h.dialog->rotation(), h.dialog->translation());
    const auto theirs = rowAgreement(K0, kc0, K1, kc1, Rcv, Tcv);
    std::printf(
        "[ measured ] 13 real pairs: RMS %.4f px (cv::stereoCalibrate %.4f), baseline %.2f mm (%.2f), "
        "rectified rows RMS %.3f px max %.3f px (%.3f, %.3f); relative pose differs by %.4f deg\n",
        rms, cvRms, baseline, cvBaseline, ours.first, ours.second, theirs.first, theirs.second,
        testing_support::rotationDiffDeg(h.dialog->rotation(), Rcv));
    EXPECT_LT(rms, cvRms * 1.05 + 0.01);
    EXPECT_NEAR(baseline, cvBaseline, 0.01 * cvBaseline);
    EXPECT_LT(ours.first, theirs.first * 1.1 + 0.02);

    // The dialog's own rectification and copies of the real pairs.
    h.click("button_rectify_input");
    EXPECT_TRUE(logHas(h.log(), "Done!", kBlack)) << h.logText().toStdString();
    const auto [rowsOff, pairsFound] = rectifiedRowAgreement(leftCopies, rightCopies, cv::Size(9, 6));
    std::printf("[ measured ] rectified real copies: %d pairs found again, rows differ by at most %.3f px\n",
                pairsFound, rowsOff);
    EXPECT_GE(pairsFound, 10);
    EXPECT_LT(rowsOff, 1.0);
}

using SmallScene = synth::SmallStereoScene; // rendered pairs for the bad-input paths

TEST_F(StereoDialog, BadInputsAreReportedAndNothingCrashes)
{
    const SmallScene scene(imageDir.path(), 6);
    Harness h(3);
    ASSERT_NE(h.dialog, nullptr);
    h.setPattern(scene.pattern, "30");
    auto runAndExpect = [&](const QString& text, const QColor& colour) {
        h.log()->clear();
        h.calibrate();
        // A message ending in a line break ends its paragraph in the log.
        EXPECT_TRUE(logHas(h.log(), QString(text).remove('\n'), colour))
            << "expected: " << text.toStdString() << "\nlog:\n"
            << h.logText().toStdString();
    };

    // Rectify before calibrating.
    h.log()->clear();
    h.click("button_rectify");
    EXPECT_TRUE(logHas(h.log(), "Use [Calibrate Stereo] before rectification.", kRed));
    h.click("button_rectify_input");
    EXPECT_FALSE(h.logText().contains("Done!"));
    EXPECT_FALSE(QFileInfo(QFileInfo(scene.files.primary[0]).path() + "/rect_pair00.png").exists());

    // Lists of different lengths.
    h.dialog->openPrimaryImages(scene.files.primary);
    h.dialog->openSecondaryImages(scene.files.secondary.mid(0, 5));
    runAndExpect("Image list size mismatch, aborting...\n", kRed);

    // The same sensor twice.
    h.dialog->openSecondaryImages(scene.files.secondary);
    h.w<QComboBox>("combo_sensor_secondary")->setCurrentIndex(0);
    runAndExpect("Same sensor is selected twice in 'Select Sensors', aborting...\n", kRed);
    h.w<QComboBox>("combo_sensor_secondary")->setCurrentIndex(1);

    // Both boxes brought onto one sensor while a run goes on: the run
    // calibrates, says why its result goes nowhere, and emits nothing.
    auto* secondaryBox = h.w<QComboBox>("combo_sensor_secondary");
    QTimer::singleShot(0, h.dialog, [secondaryBox] { secondaryBox->setCurrentIndex(0); });
    runAndExpect("Same sensor is selected twice in 'Select Sensors', aborting...\n", kRed);
    EXPECT_TRUE(logHas(h.log(), "Calibration completed with rms reprojection error: ", kBlack));
    EXPECT_FALSE(h.logText().contains("No sensor present")) << h.logText().toStdString();
    EXPECT_FALSE(h.dialog->isCalibrated());
    for (const Sensor& sensor : h.main->sensorTree()->getSensors())
        EXPECT_TRUE(sensor.K.empty());
    secondaryBox->setCurrentIndex(1);

    // Intrinsic guess for a camera without intrinsics.
    h.w<QCheckBox>("check_use_intrinsic_guess2")->setChecked(true);
    runAndExpect(
        "Use intrinsic guess for Cam1 is set, but the Cam1 does not have any intrinsics, aborting...\n",
        kRed);
    h.w<QCheckBox>("check_use_intrinsic_guess2")->setChecked(false);

    // A good run, then a cancelled open: nothing changes, the next run reuses
    // every detection.
    runAndExpect("Calibration completed with rms reprojection error: ", kBlack);
    ASSERT_TRUE(h.dialog->isCalibrated());
    const auto corners = h.dialog->primaryCornerCache();
    h.dialog->openPrimaryImages({});
    h.dialog->openSecondaryImages({});
    EXPECT_EQ(h.dialog->primaryCornerCache(), corners);
    EXPECT_TRUE(h.dialog->isCalibrated());
    EXPECT_TRUE(h.w<QPushButton>("button_calibrate")->isEnabled());
    runAndExpect("Calibration completed with rms reprojection error: ", kBlack);
    EXPECT_TRUE(logHas(h.log(), "5 ", kDarkGreen));

    // Invalid new image size.
    h.w<QGroupBox>("group_new_image_size")->setChecked(true);
    h.w<QLineEdit>("line_new_width")->setText("0");
    h.log()->clear();
    h.click("button_rectify");
    EXPECT_TRUE(logHas(h.log(), "Specified new image size 0x768 is invalid!", kRed));
    h.w<QGroupBox>("group_new_image_size")->setChecked(false);

    // Changing a sensor voids the result for rectification.
    h.w<QComboBox>("combo_sensor_secondary")->setCurrentIndex(2);
    h.log()->clear();
    h.click("button_rectify");
    EXPECT_TRUE(logHas(h.log(), "Use [Calibrate Stereo] before rectification.", kRed));
    h.w<QComboBox>("combo_sensor_secondary")->setCurrentIndex(1);

    // An unwritable result file: a folder stands in its way.
    const QString primaryDir = QFileInfo(scene.files.primary[0]).path();
    for (const char* name : {"Cam0_Cam1_stereo.yml", "rectification.yml"}) {
        QFile::remove(primaryDir + "/" + name);
        ASSERT_TRUE(QDir(primaryDir).mkdir(name));
    }
    runAndExpect("Could not write the stereo parameters to " + primaryDir + "/Cam0_Cam1_stereo.yml", kRed);
    EXPECT_FALSE(h.logText().contains("Stereo parameters saved to"));
    h.log()->clear();
    h.click("button_rectify");
    EXPECT_TRUE(logHas(h.log(), "Could not write the rectification parameters to", kRed));
    EXPECT_FALSE(h.logText().contains("Rectification parameters saved to"));
    QDir(primaryDir).rmdir("Cam0_Cam1_stereo.yml");
    QDir(primaryDir).rmdir("rectification.yml");
}

TEST_F(StereoDialog, BadPairsAndCornerFilesAreSkippedWithAMessage)
{
    const SmallScene scene(imageDir.path(), 6);
    // Pair 1: the board only in the primary image.
    cv::imwrite(scene.files.secondary[1].toStdString(), cv::Mat(450, 800, CV_8U, cv::Scalar(110)));
    // Pair 2: a primary image of another size.
    cv::Mat big = cv::imread(scene.files.primary[2].toStdString(), cv::IMREAD_GRAYSCALE);
    cv::resize(big, big, cv::Size(), 1.25, 1.25);
    cv::imwrite(scene.files.primary[2].toStdString(), big);
    // Pair 3: a corner file that cannot be parsed; pair 4: exact corner files
    // on both sides whose counts disagree.
    {
        QFile bad(QFileInfo(scene.files.primary[3]).path() + "/pair03.yml");
        ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
        bad.write("%YAML:1.0\ncorners: [ unclosed\n");
    }
    std::vector<cv::Point2f> p4 =
        synth::projectBoard(scene.rig.primary, scene.pattern, scene.square, scene.views[4]);
    std::vector<cv::Point2f> s4 = synth::projectBoard(scene.rig.secondary, scene.pattern, scene.square,
                                                      scene.rig.secondaryView(scene.views[4]));
    std::vector<cv::Point3f> obj = synth::boardPoints(scene.pattern, scene.square);
    dialog_test::writeCornerFile(QFileInfo(scene.files.primary[4]).path() + "/pair04.yml", p4, obj);
    s4.pop_back();
    std::vector<cv::Point3f> shorter(obj.begin(), obj.end() - 1);
    dialog_test::writeCornerFile(QFileInfo(scene.files.secondary[4]).path() + "/pair04.yml", s4, shorter);

    Harness h;
    ASSERT_NE(h.dialog, nullptr);
    h.setPattern(scene.pattern, "30");
    h.dialog->openPrimaryImages(scene.files.primary);
    EXPECT_TRUE(logHas(
        h.log(), "Corner file " + QFileInfo(scene.files.primary[3]).path() + "/pair03.yml ignored", kRed))
        << h.logText().toStdString();
    h.dialog->openSecondaryImages(scene.files.secondary);
    // Reopening the secondary list kept the primary's corner file points.
    EXPECT_EQ(h.dialog->objectPointCache()[4].size(), obj.size());

    // "Abort" pressed during the detection pass stops the run; the lists stay usable.
    QTimer::singleShot(0, h.dialog, [&h] { h.calibrate(); });
    h.calibrate();
    EXPECT_TRUE(logHas(h.log(), "Calibration aborted ", kRed)) << h.logText().toStdString();
    EXPECT_FALSE(h.dialog->isCalibrated());
    EXPECT_EQ(h.w<QPushButton>("button_calibrate")->text(), "Calibrate Stereo");
    EXPECT_TRUE(h.w<QListWidget>("list_images_primary")->isEnabled());
    h.log()->clear();
    h.calibrate();

    auto* primaryList = h.w<QListWidget>("list_images_primary");
    auto* secondaryList = h.w<QListWidget>("list_images_secondary");
    for (int i : {1, 2, 4}) {
        SCOPED_TRACE(i);
        EXPECT_EQ(primaryList->item(i)->checkState(), Qt::Unchecked);
        EXPECT_EQ(secondaryList->item(i)->checkState(), Qt::Unchecked);
        EXPECT_EQ(primaryList->item(i)->background().color(), QColor(Qt::white));
        EXPECT_TRUE(logHas(h.log(), QString::number(i) + " ", kRed));
    }
    EXPECT_TRUE(logHas(h.log(), "Image " + scene.files.primary[2] + " is 800x600", kRed))
        << h.logText().toStdString();
    EXPECT_TRUE(logHas(h.log(), "Pair 4: 35 corners in the primary image, 34 in the secondary", kRed));
    EXPECT_EQ(primaryList->item(3)->checkState(), Qt::Checked) << "detected despite its broken corner file";
    ASSERT_TRUE(h.dialog->isCalibrated()) << h.logText().toStdString();
    EXPECT_TRUE(h.dialog->primaryPoseRotations()[1].empty());
    EXPECT_FALSE(h.dialog->primaryPoseRotations()[3].empty());

    // Outliers: a threshold below every error removes points of every pair.
    h.w<QGroupBox>("group_outliers")->setChecked(true);
    const double firstRms = h.dialog->primaryPairErrors()[0];
    h.w<QLineEdit>("edit_outlier_primary")->setText(QString::number(firstRms, 'f', 2));
    h.log()->clear();
    h.calibrate();
    EXPECT_TRUE(logHas(h.log(), "Calibrate again to exclude the detected outliers!", kRed));
    EXPECT_LT(h.dialog->primaryCornerCache()[0].size(), 35u);
    EXPECT_GT(h.dialog->primaryCornerCache()[0].size(), 0u);
    EXPECT_EQ(h.dialog->primaryCornerCache()[0].size(), h.dialog->objectPointCache()[0].size());
    EXPECT_EQ(h.dialog->secondaryCornerCache()[0].size(), h.dialog->objectPointCache()[0].size());
    // The shortened pairs calibrate again without detection.
    h.w<QGroupBox>("group_outliers")->setChecked(false);
    h.log()->clear();
    h.calibrate();
    EXPECT_TRUE(h.dialog->isCalibrated()) << h.logText().toStdString();
    EXPECT_TRUE(logHas(h.log(), "0 ", kDarkGreen));
}

// What the "2D Targets" tab shows of the current pair: the error figures of
// both cameras and of the epipolar lines, and both pictures with their
// corners, projections and axes.
struct PairView {
    QStringList figures;
    QImage pictures[2];

    explicit PairView(const Harness& h)
    {
        for (const char* name : {"label_rms_primary", "label_min_primary", "label_max_primary",
                                 "label_rms_secondary", "label_min_secondary", "label_max_secondary",
                                 "label_rms_epi", "label_min_epi", "label_max_epi"})
            figures << h.w<QLabel>(name)->text() + " " + h.w<QLabel>(name)->styleSheet();
        pictures[0] = h.w<ImageLabel>("image_label_primary")->grab().toImage();
        pictures[1] = h.w<ImageLabel>("image_label_secondary")->grab().toImage();
    }
    void expectSameAs(const PairView& before) const
    {
        EXPECT_EQ(figures, before.figures);
        EXPECT_TRUE(pictures[0] == before.pictures[0]) << "the primary picture changed";
        EXPECT_TRUE(pictures[1] == before.pictures[1]) << "the secondary picture changed";
    }
};

// Corner files that no camera can have. Pairs 0 to 3 hold good views of a
// rig of two 640x480 cameras, pairs 4 to 7 the case's views. A good run of
// 0 to 3, then a run of 4 to 7: it is refused in red, with the file and the
// value or the focal lengths, and changes nothing: the tree, the result file
// and the dialog's last result stay as the good run left them, and so do its
// views, although the square size went from 30 to 300 mm before the refused
// run: the 3D view keeps its boards' size and its camera, and a pair shows
// the same error figures and the same picture. Values near the end of the
// float range made OpenCV's calibration of one camera (the start of the
// stereo calibration) end the whole program.
TEST_F(StereoDialog, CornerFilesNoCameraCanHaveAreRefusedAndChangeNothing)
{
    using Views = std::vector<std::vector<cv::Point2f>>;
    const Views good[2] = {synth::squareViews(),
                           synth::squareViews(cv::Vec3d(0, -0.1, 0), cv::Vec3d(-120, 0, 0))};
    Views huge = good[1], floatMax = good[0];
    huge[2] = {
        {huge[2][0].x, 1.26e34f}, {huge[2][1].x, -1.76e38f}, {1.26e34f, 1.26e34f}, {9.46e35f, -1.76e38f}};
    floatMax[1][2].x = FLT_MAX;
    const std::array<Views, 2> scattered = synth::scatteredSquareViewPairs();
    QDir(imageDir.path()).mkdir("primary");
    QDir(imageDir.path()).mkdir("secondary");
    const QString folders[2] = {imageDir.filePath("primary"), imageDir.filePath("secondary")};
    const struct {
        const char* what;
        Views views[2];
        QString says;
    } cases[] = {
        {"values near the end of the float range",
         {good[0], huge},
         "Refused " + folders[1] +
             "/pair06.yml: point 0 has y = 1.26e+34 px, outside -480 to 960 px for a "
             "640x480 image; nothing was changed, aborting..."},
        {"FLT_MAX",
         {floatMax, good[1]},
         "Refused " + folders[0] +
             "/pair05.yml: point 2 has x = 3.40282e+38 px, outside -640 to 1280 px for "
             "a 640x480 image; nothing was changed, aborting..."},
        {"a negative focal length",
         {scattered[0], scattered[1]},
         "The calibration gave focal lengths that are not positive (primary camera: fx = "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QStringList files[2];
        for (int side = 0; side < 2; ++side) {
            Views views = good[side];
            views.insert(views.end(), c.views[side].begin(), c.views[side].end());
            files[side] = dialog_test::writeCornerFileImages(folders[side], "pair", views);
        }
        const QString resultFile = folders[0] + "/Cam0_Cam1_stereo.yml";
        QFile::remove(resultFile);

        Harness h;
        ASSERT_NE(h.dialog, nullptr);
        QListWidget* lists[2] = {h.w<QListWidget>("list_images_primary"),
                                 h.w<QListWidget>("list_images_secondary")};
        auto usePairs = [&lists](int first) {
            for (QListWidget* list : lists)
                for (int i = 0; i < list->count(); ++i)
                    list->item(i)->setCheckState(i >= first && i < first + 4 ? Qt::Checked : Qt::Unchecked);
        };
        auto setSquare = [&h](const QString& mm) {
            h.w<QLineEdit>("edit_corners_width")->setText(mm);
            h.w<QLineEdit>("edit_corners_height")->setText(mm);
        };
        setSquare("30");
        h.dialog->openPrimaryImages(files[0]);
        h.dialog->openSecondaryImages(files[1]);
        usePairs(0);
        h.calibrate();
        ASSERT_TRUE(h.dialog->isCalibrated()) << h.logText().toStdString();
        h.click("button_rectify");
        ASSERT_TRUE(h.dialog->rectification().hasMaps()) << h.logText().toStdString();
        const std::vector<Sensor> sensors = h.main->sensorTree()->getSensors();
        ASSERT_NEAR(sensors[1].K.at<double>(0, 0), 500, 1);
        QFile file(resultFile);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray written = file.readAll();
        file.close();
        const HeldResult held(h.dialog);
        const std::vector<double> errors = h.dialog->pairErrors();
        const std::vector<cv::Vec3b> colours = h.dialog->primaryColours();
        // The user turns the 3D view and looks at pair 1.
        vtkRenderer* renderer =
            h.w<QVTKOpenGLNativeWidget>("widget_vtk")->renderWindow()->GetRenderers()->GetFirstRenderer();
        renderer->GetActiveCamera()->Azimuth(30);
        renderer->GetActiveCamera()->Dolly(1.5);
        const testing_support::SceneView scene(renderer);
        lists[0]->setCurrentRow(1);
        const PairView pair(h);
        ASSERT_TRUE(h.w<QGroupBox>("group_reproj_err_primary")->isVisible());

        setSquare("300");
        usePairs(4);
        h.log()->clear();
        h.calibrate();
        EXPECT_TRUE(logHas(h.log(), c.says, kRed)) << h.logText().toStdString();
        testing_support::SceneView(renderer).expectSameAs(scene);
        if (std::string(c.what) == "FLT_MAX") {
            h.w<QTabWidget>("tabWidget")->setCurrentIndex(1);
            screenshot(h.dialog, "stereo_dialog_after_refusal.png");
            h.w<QTabWidget>("tabWidget")->setCurrentIndex(0);
        }
        usePairs(0);
        lists[0]->setCurrentRow(0);
        lists[0]->setCurrentRow(1);
        PairView(h).expectSameAs(pair);
        EXPECT_FALSE(h.logText().contains("Stereo parameters saved to"));
        const std::vector<Sensor> after = h.main->sensorTree()->getSensors();
        for (int s = 0; s < 2; ++s) {
            SCOPED_TRACE(s);
            EXPECT_MAT_NEAR(after[s].K, sensors[s].K, 0);
            EXPECT_MAT_NEAR(after[s].kc, sensors[s].kc, 0);
            EXPECT_MAT_NEAR(after[s].R, sensors[s].R, 0);
            EXPECT_MAT_NEAR(after[s].t, sensors[s].t, 0);
        }
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), written);
        file.close();
        held.expectKeptBy(h.dialog);
        EXPECT_EQ(h.dialog->pairErrors(), errors);
        EXPECT_EQ(h.dialog->primaryColours(), colours);
        EXPECT_EQ(lists[0]->item(0)->background().color(),
                  QColor(colours[0][0], colours[0][1], colours[0][2]));
    }
}

// A refinement that stops before converging says so in the warning colour,
// whatever stopped it: the cause, how far a further step would still move
// the reprojected points, and at the iteration limit the remedy. An epsilon
// of 0 cannot be met: that run ends where the error no longer changes or no
// step lowers it. The forms' defaults converge on the same pairs without a word.
TEST_F(StereoDialog, AnOptimisationStoppedBeforeConvergingIsAWarning)
{
    const SmallScene scene(imageDir.path(), 6);
    Harness h;
    ASSERT_NE(h.dialog, nullptr);
    EXPECT_EQ(h.w<QLineEdit>("edit_max_iterations")->text(), "100");
    EXPECT_EQ(h.w<QLineEdit>("edit_accuracy")->text(), "0.001");
    h.setPattern(scene.pattern, "30");
    h.openImages(scene);

    const QColor kWarning(Qt::darkYellow);
    struct Case {
        const char* maxIterations;
        const char* epsilon;
        const char* warning;
        const char* remedy;
    } cases[] = {
        {"2", "0.001", "[WARNING] The optimization stopped at its limit of 2 iterations before converging: ",
         "Raise the maximum number of iterations"},
        {"100", "0", "[WARNING] The optimization stopped before converging: ", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.warning);
        h.w<QLineEdit>("edit_max_iterations")->setText(c.maxIterations);
        h.w<QLineEdit>("edit_accuracy")->setText(c.epsilon);
        h.log()->clear();
        h.calibrate();
        ASSERT_TRUE(h.dialog->isCalibrated()) << h.logText().toStdString();
        EXPECT_TRUE(logHas(h.log(), c.warning, kWarning)) << h.logText().toStdString();
        if (c.remedy) {
            EXPECT_TRUE(logHas(h.log(), c.remedy, kWarning));
        }
        // How far the result is from converged is in the message, above the epsilon asked for.
        const QRegularExpressionMatch change =
            QRegularExpression("further step would still move the reprojected points by ([0-9.eE+-]+) px, "
                               "more than the epsilon ([0-9.eE+-]+) px")
                .match(h.logText());
        ASSERT_TRUE(change.hasMatch()) << h.logText().toStdString();
        EXPECT_EQ(change.captured(2).toDouble(), QString(c.epsilon).toDouble());
        EXPECT_GT(change.captured(1).toDouble(), change.captured(2).toDouble());
        // The warning follows the result it qualifies, and the log goes on in black.
        EXPECT_LT(h.logText().indexOf("Calibration completed"), h.logText().indexOf("[WARNING]"));
        EXPECT_TRUE(logHas(h.log(), "Stereo parameters saved to", kBlack));
    }

    h.w<QLineEdit>("edit_max_iterations")->setText("100");
    h.w<QLineEdit>("edit_accuracy")->setText("0.001");
    h.log()->clear();
    h.calibrate();
    ASSERT_TRUE(h.dialog->isCalibrated()) << h.logText().toStdString();
    EXPECT_FALSE(h.logText().contains("[WARNING]")) << h.logText().toStdString();
}

// The warning of each way a refinement can stop before converging; none for
// a converged one.
TEST(RefinementWarning, NamesTheCauseOfEveryStopBeforeConverging)
{
    using End = StereoRefinementReport::End;
    const QString shift =
        "a further step would still move the reprojected points by 0.0123 px, more than the "
        "epsilon 0.001 px.";
    struct Case {
        End end;
        QString warning;
    } cases[] = {
        {End::Converged, QString()},
        {End::IterationLimit,
         "[WARNING] The optimization stopped at its limit of 7 iterations before converging: " + shift +
             " Raise the maximum number of iterations and calibrate again."},
        {End::NoDescent,
         "[WARNING] The optimization stopped before converging: no damped step lowered the error "
         "any further; " +
             shift},
        {End::Stalled, "[WARNING] The optimization stopped before converging: the error no longer changed at "
                       "double precision; " +
                           shift},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.end));
        StereoRefinementReport report;
        report.end = c.end;
        report.iterations = 7;
        report.maxIterations = 7;
        report.epsilon = 0.001;
        report.remainingShift = c.end == End::Converged ? 0.0004 : 0.0123;
        EXPECT_EQ(ChessboardDialog::refinementWarning(report), c.warning);
    }
}

// Pixels of a widget's picture that are clearly coloured: on the grey renders
// these are the error overlays (corner markers, crosses, axis labels).
int colouredPixels(QWidget* w)
{
    const QImage image = w->grab().toImage().convertToFormat(QImage::Format_RGB32);
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c(image.pixel(x, y));
            const int hi = std::max({c.red(), c.green(), c.blue()});
            const int lo = std::min({c.red(), c.green(), c.blue()});
            count += hi - lo > 60;
        }
    return count;
}

// After a calibration, a change of cameras, a second run, a failed run and
// reopened images, the image views, error panels, list colours, the 3D view
// and the rectification show the last run's data, or show that there is none.
TEST_F(StereoDialog, EveryViewShowsTheLastRunOrThatThereIsNone)
{
    const SmallScene scene(imageDir.path(), 6);
    Harness h(3);
    ASSERT_NE(h.dialog, nullptr);
    h.setPattern(scene.pattern, "30");
    h.openImages(scene);

    auto* views = h.w<QTabWidget>("tabWidget");
    const std::array<QListWidget*, 2> lists{h.w<QListWidget>("list_images_primary"),
                                            h.w<QListWidget>("list_images_secondary")};
    const std::array<ImageLabel*, 2> images{h.w<ImageLabel>("image_label_primary"),
                                            h.w<ImageLabel>("image_label_secondary")};
    const std::array<ImageLabel*, 2> rectified{h.w<ImageLabel>("rectification_primary"),
                                               h.w<ImageLabel>("rectification_secondary")};
    const std::array<QGroupBox*, 3> panels{h.w<QGroupBox>("group_reproj_err_primary"),
                                           h.w<QGroupBox>("group_reproj_err_secondary"),
                                           h.w<QGroupBox>("group_epi_err")};
    auto* noRectification = h.w<QLabel>("label_no_rectification");
    ASSERT_NE(noRectification, nullptr);
    vtkRenderer* renderer =
        h.w<QVTKOpenGLNativeWidget>("widget_vtk")->renderWindow()->GetRenderers()->GetFirstRenderer();
    const size_t emptyScene = testing_support::props(renderer).size(); // the world axes

    auto show = [&](int tab) {
        views->setCurrentIndex(tab);
        lists[0]->setCurrentRow(1);
        QCoreApplication::processEvents();
    };
    auto expectResult = [&](const char* when) {
        SCOPED_TRACE(when);
        show(0);
        for (QGroupBox* panel : panels)
            EXPECT_FALSE(panel->isHidden()) << panel->objectName().toStdString();
        for (ImageLabel* image : images)
            EXPECT_GT(colouredPixels(image), 0);
        EXPECT_GT(testing_support::props(renderer).size(), emptyScene);
        for (QListWidget* list : lists)
            EXPECT_NE(list->item(1)->background().color(), QColor(Qt::white));
    };
    auto expectNoResult = [&](const char* when) {
        SCOPED_TRACE(when);
        show(0);
        for (QGroupBox* panel : panels)
            EXPECT_TRUE(panel->isHidden()) << panel->objectName().toStdString();
        for (ImageLabel* image : images)
            EXPECT_EQ(colouredPixels(image), 0);
        EXPECT_EQ(testing_support::props(renderer).size(), emptyScene);
        for (QListWidget* list : lists)
            for (int i = 0; i < list->count(); ++i) {
                const QBrush b = list->item(i)->background();
                EXPECT_TRUE(b.style() == Qt::NoBrush || b.color() == QColor(Qt::white)) << i;
            }
    };
    auto expectRectification = [&](bool shown, const char* when) {
        SCOPED_TRACE(when);
        show(2);
        for (ImageLabel* image : rectified)
            EXPECT_EQ(image->isHidden(), !shown);
        EXPECT_EQ(noRectification->isHidden(), shown);
        if (!shown) {
            EXPECT_TRUE(noRectification->isVisible());
            EXPECT_FALSE(noRectification->text().isEmpty());
        }
    };
    auto calibrateAndRectify = [&] {
        h.calibrate();
        ASSERT_TRUE(h.dialog->isCalibrated()) << h.logText().toStdString();
        h.click("button_rectify");
        ASSERT_TRUE(h.dialog->rectification().hasMaps()) << h.logText().toStdString();
    };

    expectRectification(false, "before any run");
    calibrateAndRectify();
    expectResult("after a calibration");
    expectRectification(true, "after a rectification");
    screenshot(h.dialog, "stereo_dialog_rectified.png");

    // The result belongs to the cameras it was made for.
    h.w<QComboBox>("combo_sensor_secondary")->setCurrentIndex(2);
    expectNoResult("after a change of cameras");
    expectRectification(false, "after a change of cameras");
    screenshot(h.dialog, "stereo_dialog_no_rectification.png");
    h.w<QComboBox>("combo_sensor_secondary")->setCurrentIndex(1);

    // A second run voids the rectification of the first.
    calibrateAndRectify();
    h.calibrate();
    expectResult("after a second run");
    expectRectification(false, "after a second run");

    // A failed run: the board has another size than the one typed.
    h.click("button_rectify");
    h.setPattern(cv::Size(8, 6), "30");
    h.calibrate();
    EXPECT_TRUE(logHas(h.log(), "Target detection failed on all images or none were selected!", kRed));
    EXPECT_FALSE(h.dialog->isCalibrated());
    expectNoResult("after a failed run");
    expectRectification(false, "after a failed run");

    // Images opened again after a good run.
    h.calibrateScene(scene, "30");
    expectResult("after a good run");
    h.dialog->openSecondaryImages(scene.files.secondary);
    expectNoResult("after the secondary images were opened again");
}

// Every option tab, camera tab and view tab in turn, the calibration options
// scrolled to their top and to their end: no text is cut off, and what the
// scroll area holds is never wider than its view.
void expectEveryTextWhole(const Harness& h, const QString& name)
{
    auto* options = h.w<QTabWidget>("tabCalibRect");
    auto* calibOptions = h.w<QTabWidget>("tab_calib_options");
    auto* views = h.w<QTabWidget>("tabWidget");
    auto* scroll = h.w<QScrollArea>("scroll_calibration");
    for (int tab = 0; tab < 2; ++tab)
        for (int camera = 0; camera < 2; ++camera)
            for (int view : {0, 2})
                for (bool end : {false, true}) {
                    options->setCurrentIndex(tab);
                    calibOptions->setCurrentIndex(camera);
                    views->setCurrentIndex(view);
                    scroll->verticalScrollBar()->setValue(end ? scroll->verticalScrollBar()->maximum() : 0);
                    QCoreApplication::processEvents();
                    SCOPED_TRACE(testing::Message()
                                 << "option tab " << tab << ", camera tab " << camera << ", view tab " << view
                                 << (end ? ", scrolled down" : ""));
                    EXPECT_CUT_OFF_NONE(h.dialog);
                    EXPECT_FALSE(scroll->horizontalScrollBar()->isVisible());
                    EXPECT_LE(scroll->widget()->width(), scroll->viewport()->width());
                    if (camera == 0 && view == 0 && !end)
                        h.dialog->grab().save(testing_support::screenshotPath(
                            name + (tab == 0 ? ".png" : "_rectification.png")));
                    if (tab == 0 && camera == 1 && view == 2 && end)
                        h.dialog->grab().save(testing_support::screenshotPath(name + "_options_end.png"));
                }
}

// Opened from the main window, at the size it opens with, every text of the
// dialog can be read on every tab, before and after a run, with the font of
// the test's X server and with a larger desktop font (about 11 pt); nothing
// scrolls sideways, and the views and the options grow with the window.
TEST_F(StereoDialog, AtItsDefaultSizeNoTextIsCutOff)
{
    const SmallScene scene(imageDir.path(), 4);
    for (const double fontScale : {1.0, 1.25}) {
        SCOPED_TRACE(testing::Message() << "font scaled by " << fontScale);
        const testing_support::ScopedFontScale font(fontScale);
        dialog_test::useSettingsFolder(settingsDir.path()); // no size kept from the round before
        Harness h;
        ASSERT_NE(h.dialog, nullptr);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(h.dialog));
        const QSize opened = h.dialog->size();
        EXPECT_GE(opened.width(), 850);
        EXPECT_GE(opened.height(), 900);
        EXPECT_LE(h.w<QListWidget>("list_images_primary")->width(), 200);
        EXPECT_GE(h.w<QTabWidget>("tabWidget")->width(), 300);
        EXPECT_LE(h.w<QProgressBar>("progress_bar")->height(), 3);
        const QString name = QString("stereo_dialog_default_size_font%1").arg(fontScale);
        expectEveryTextWhole(h, name);

        h.calibrateScene(scene, "30");
        ASSERT_TRUE(h.dialog->isCalibrated()) << h.logText().toStdString();
        h.w<QTabWidget>("tabWidget")->setCurrentIndex(0);
        h.w<QListWidget>("list_images_primary")->setCurrentRow(1);
        QTest::qWait(100); // the layout follows the error figures
        ASSERT_TRUE(h.w<QGroupBox>("group_epi_err")->isVisible());
        EXPECT_EQ(h.dialog->size(), opened) << "the figures fit without growing the window";
        expectEveryTextWhole(h, name + "_run");

        // A wider window widens the views and the options alike.
        auto* options = h.w<QTabWidget>("tabCalibRect");
        auto* views = h.w<QTabWidget>("tabWidget");
        const int optionsWidth = options->width(), viewsWidth = views->width();
        h.dialog->resize(opened.width() + 400, opened.height());
        QTest::qWait(100);
        EXPECT_GT(options->width(), optionsWidth);
        EXPECT_GT(views->width(), viewsWidth);
        EXPECT_CUT_OFF_NONE(h.dialog);
    }
}

TEST_F(StereoDialog, OptionSlotsFlagsAndSensorRefresh)
{
    Harness h(3);
    ASSERT_NE(h.dialog, nullptr);
    EXPECT_EQ(h.dialog->calibrationFlags(0), 138);
    EXPECT_EQ(h.dialog->calibrationFlags(1), 138);
    h.w<QCheckBox>("check_use_tangential_distortion1")->setChecked(true);
    h.w<QCheckBox>("check_fix_intrinsic1")->setChecked(true);
    EXPECT_FALSE(h.w<QCheckBox>("check_use_intrinsic_guess1")->isEnabled());
    EXPECT_EQ(h.dialog->calibrationFlags(0), 503);
    h.w<QCheckBox>("check_same_focal_length")->setChecked(true);
    EXPECT_EQ(h.dialog->calibrationFlags(0), 503 + 512);
    EXPECT_EQ(h.dialog->calibrationFlags(1), 138 + 512);
    h.w<QCheckBox>("check_fix_intrinsic1")->setChecked(false);
    EXPECT_TRUE(h.w<QCheckBox>("check_use_intrinsic_guess1")->isEnabled());

    h.w<QCheckBox>("check_use_rational_model_2")->setChecked(true);
    EXPECT_FALSE(h.w<QCheckBox>("check_fix_k4_2")->isHidden());
    h.w<QGroupBox>("group_use_radial_distortion2")->setChecked(false);
    EXPECT_FALSE(h.w<QCheckBox>("check_use_rational_model_2")->isChecked());
    EXPECT_TRUE(h.w<QCheckBox>("check_fix_k4_2")->isHidden());
    EXPECT_EQ(h.dialog->calibrationFlags(1) & 232, 232);

    h.w<QRadioButton>("radio_alpha_custom")->setChecked(true);
    EXPECT_TRUE(h.w<QDoubleSpinBox>("double_spin_alpha")->isEnabled());
    h.w<QCheckBox>("check_show_epi_lines")->setChecked(false);
    EXPECT_FALSE(h.w<QSpinBox>("spin_epi_lines")->isEnabled());

    // Sensors keep their names when the scene changes.
    auto* primary = h.w<QComboBox>("combo_sensor_primary");
    auto* secondary = h.w<QComboBox>("combo_sensor_secondary");
    primary->setCurrentIndex(2);
    secondary->setCurrentIndex(1);
    h.main->sensorTree()->addSensor();
    EXPECT_EQ(primary->count(), 4);
    EXPECT_EQ(primary->currentText(), "Cam2");
    EXPECT_EQ(secondary->currentText(), "Cam1");

    // Result files named after sensors stay in the image folder.
    h.main->sensorTree()->setSensorName(2, "../../out/side");
    EXPECT_EQ(primary->currentText(), "../../out/side");
    h.dialog->openPrimaryImages({QDir(settingsDir.path()).filePath("a.png")});
    EXPECT_EQ(QFileInfo(h.dialog->stereoFilePath()).absolutePath(),
              QFileInfo(settingsDir.path()).absoluteFilePath());
    EXPECT_EQ(QFileInfo(h.dialog->rectifiedProjectBasePath()).absolutePath(),
              QFileInfo(settingsDir.path()).absoluteFilePath());
    h.main->sensorTree()->setSensorName(2, "Cam2");

    // The square size stays a real number in the object points.
    QTemporaryDir dir;
    const SmallScene scene(dir.path(), 4);
    h.w<QCheckBox>("check_same_focal_length")->setChecked(false);
    for (const char* name : {"check_use_intrinsic_guess1", "check_fix_focal1", "check_fix_pp1",
                             "check_fix_k1_1", "check_fix_k2_1", "check_use_tangential_distortion1"})
        h.w<QCheckBox>(name)->setChecked(false);
    h.w<QGroupBox>("group_use_radial_distortion2")->setChecked(true);
    h.w<QCheckBox>("check_use_rational_model_2")->setChecked(false);
    h.calibrateScene(scene, "25.9");
    ASSERT_FALSE(h.dialog->objectPointCache()[0].empty()) << h.logText().toStdString();
    EXPECT_FLOAT_EQ(h.dialog->objectPointCache()[0][1].x, 25.9f);

    // Scrolling one list scrolls the other.
    QStringList many, manyS;
    for (int i = 0; i < 10; ++i) {
        many << scene.files.primary;
        manyS << scene.files.secondary;
    }
    h.dialog->openPrimaryImages(many);
    h.dialog->openSecondaryImages(manyS);
    QCoreApplication::processEvents();
    QScrollBar* a = h.w<QListWidget>("list_images_primary")->verticalScrollBar();
    QScrollBar* b = h.w<QListWidget>("list_images_secondary")->verticalScrollBar();
    if (a->maximum() > 3) {
        a->setValue(3);
        EXPECT_EQ(b->value(), 3);
    }
}

// The path of an image's rectified copy.
QString rectifiedCopyOf(const QString& image)
{
    const QFileInfo info(image);
    return info.path() + "/rect_" + info.fileName();
}

// Rectified copies end at the first image whose copy fails: the reason and
// "Aborting..." in red, no later copy, and no "Done!".
TEST_F(StereoDialog, RectifiedCopiesEndAtTheFirstImageThatFails)
{
    const SmallScene scene(imageDir.path(), 4);
    Harness h;
    ASSERT_NE(h.dialog, nullptr);
    h.calibrateScene(scene, "30");
    ASSERT_TRUE(h.dialog->isCalibrated()) << h.logText().toStdString();

    const QString gone = scene.files.secondary[2];
    const QString blocked = rectifiedCopyOf(scene.files.primary[1]);
    struct Failure {
        const char* what;
        std::function<void()> make, mend;
        QString reason;                     // the red line before "Aborting..."
        int primaryCopies, secondaryCopies; // the copies written before it
    };
    const Failure failures[] = {
        {"a secondary image that went away", [&] { QFile::rename(gone, gone + ".away"); },
         [&] { QFile::rename(gone + ".away", gone); }, "Could not read image " + gone, 4, 2},
        {"a primary copy that cannot be written: a folder stands in its way", [&] { QDir().mkdir(blocked); },
         [&] { QDir().rmdir(blocked); }, blocked, 1, 0},
    };
    for (const Failure& f : failures) {
        SCOPED_TRACE(f.what);
        for (const QString& image : scene.files.primary + scene.files.secondary)
            QFile::remove(rectifiedCopyOf(image));
        f.make();
        h.log()->clear();
        h.click("button_rectify_input");
        f.mend();
        EXPECT_TRUE(logHas(h.log(), f.reason, kRed)) << h.logText().toStdString();
        EXPECT_TRUE(logHas(h.log(), "Aborting...", kRed));
        EXPECT_FALSE(h.logText().contains("Done!"));
        for (int i = 0; i < scene.files.primary.size(); ++i) {
            EXPECT_EQ(QFileInfo(rectifiedCopyOf(scene.files.primary[i])).isFile(), i < f.primaryCopies) << i;
            EXPECT_EQ(QFileInfo(rectifiedCopyOf(scene.files.secondary[i])).isFile(), i < f.secondaryCopies)
                << i;
        }
    }
}

// A run whose given coefficients exceed the model in use (the last run's
// with the rational model, or the scene's eight as the intrinsic guess)
// calibrates with their first five, and its result has five. The log says
// so in dark yellow, per camera, naming the non-zero coefficients left out;
// zeros left out change nothing and go without a word.
TEST_F(StereoDialog, ARunCompletesWhenTheStartCoefficientsExceedTheModel)
{
    const SmallScene scene(imageDir.path(), 6);
    Harness h;
    ASSERT_NE(h.dialog, nullptr);
    h.setPattern(scene.pattern, "30");
    h.openImages(scene);
    const char* rational[] = {"check_use_rational_model_1", "check_use_rational_model_2"};
    for (const char* box : rational)
        h.w<QCheckBox>(box)->setChecked(true);
    h.calibrate();
    ASSERT_TRUE(h.dialog->isCalibrated()) << h.logText().toStdString();
    ASSERT_EQ(h.dialog->primaryDistortion().total(), 14u);
    ASSERT_EQ(h.dialog->secondaryDistortion().total(), 14u);
    for (const char* box : rational)
        h.w<QCheckBox>(box)->setChecked(false);

    const synth::Camera* truth[2] = {&scene.rig.primary, &scene.rig.secondary};
    auto guessFromScene = [&](double k456) {
        for (int c = 0; c < 2; ++c) {
            cv::Mat kc8 = cv::Mat::zeros(1, 8, CV_64F);
            truth[c]->kc.copyTo(kc8.colRange(0, 5));
            kc8.colRange(5, 8).setTo(k456);
            h.main->sensorTree()->updateIntrinsicsIdx(c, cv::Mat(truth[c]->K), kc8, truth[c]->size);
        }
        h.w<QCheckBox>("check_use_intrinsic_guess1")->setChecked(true);
        h.w<QCheckBox>("check_use_intrinsic_guess2")->setChecked(true);
    };
    const QString kCut = " which the five-coefficient model leaves out: the run starts from k1, k2, p1, p2, "
                         "k3 only, and %1's result has 5 coefficients in place of %2. Check \"Rational "
                         "model\" to keep k4, k5, k6.";
    struct Start {
        const char* what;
        std::function<void()> set;
        // The warning's start and end for each camera, empty for none.
        std::function<std::pair<QString, QString>(const QString& camera)> warning;
    };
    const Start starts[] = {
        {"the last run's 14 coefficients", [] {},
         [&](const QString& camera) {
             return std::make_pair("[WARNING] " + camera + "'s start values hold k4 = ",
                                   kCut.arg(camera, "14"));
         }},
        {"the scene's 8 coefficients as the intrinsic guess", [&] { guessFromScene(0.01); },
         [&](const QString& camera) {
             return std::make_pair("[WARNING] " + camera +
                                       "'s start values hold k4 = 0.01, k5 = 0.01, k6 = 0.01,",
                                   kCut.arg(camera, "8"));
         }},
        {"the scene's 8 coefficients, k4-k6 zero", [&] { guessFromScene(0); },
         [](const QString&) { return std::make_pair(QString(), QString()); }},
    };
    for (const Start& start : starts) {
        SCOPED_TRACE(start.what);
        start.set();
        h.log()->clear();
        h.calibrate();
        ASSERT_TRUE(h.dialog->isCalibrated()) << h.logText().toStdString();
        EXPECT_FALSE(h.logText().contains("exception")) << h.logText().toStdString();
        const cv::Mat kc[2] = {h.dialog->primaryDistortion(), h.dialog->secondaryDistortion()};
        const cv::Mat K[2] = {h.dialog->primaryCameraMatrix(), h.dialog->secondaryCameraMatrix()};
        cv::FileStorage fs(h.dialog->stereoFilePath().toStdString(), cv::FileStorage::READ);
        ASSERT_TRUE(fs.isOpened());
        const std::vector<Sensor> sensors = h.main->sensorTree()->getSensors();
        const QStringList lines = h.logText().split('\n');
        int warnings = 0;
        for (int c = 0; c < 2; ++c) {
            EXPECT_EQ(kc[c].size(), cv::Size(5, 1)) << c;
            EXPECT_MAT_NEAR(readMat(fs, c == 0 ? "kc0" : "kc1"), kc[c], 0);
            EXPECT_EQ(sensors[c].kc.total(), 5u) << c;
            EXPECT_NEAR(K[c].at<double>(0, 0), truth[c]->K(0, 0), 0.02 * truth[c]->K(0, 0)) << c;

            const QString camera = QString::fromStdString(sensors[c].name);
            const auto [begin, end] = start.warning(camera);
            if (begin.isEmpty())
                continue;
            ++warnings;
            const auto line =
                std::find_if(lines.begin(), lines.end(), [&, b = begin, e = end](const QString& l) {
                    return l.startsWith(b) && l.endsWith(e);
                });
            ASSERT_NE(line, lines.end()) << camera.toStdString() << "\n" << h.logText().toStdString();
            EXPECT_TRUE(logHas(h.log(), *line, Qt::darkYellow)) << line->toStdString();
        }
        EXPECT_EQ(h.logText().count("start values hold"), warnings) << h.logText().toStdString();
    }
}

// The result belongs to the sensors it was made for, whatever they are
// called: renaming them or deleting other sensors keeps the result, its
// views and its rectification; deleting one of them drops all of it.
TEST_F(StereoDialog, TheResultStaysWithItsSensorsUntilOneOfThemGoes)
{
    const SmallScene scene(imageDir.path(), 4);
    Harness h(4);
    ASSERT_NE(h.dialog, nullptr);
    auto* primary = h.w<QComboBox>("combo_sensor_primary");
    auto* secondary = h.w<QComboBox>("combo_sensor_secondary");
    primary->setCurrentIndex(1);
    secondary->setCurrentIndex(3);
    vtkRenderer* renderer =
        h.w<QVTKOpenGLNativeWidget>("widget_vtk")->renderWindow()->GetRenderers()->GetFirstRenderer();
    const size_t emptyScene = testing_support::props(renderer).size();
    h.calibrateScene(scene, "30");
    ASSERT_TRUE(h.dialog->isCalibrated()) << h.logText().toStdString();
    h.click("button_rectify");
    ASSERT_TRUE(h.dialog->rectification().hasMaps()) << h.logText().toStdString();
    const cv::Mat K = h.dialog->primaryCameraMatrix().clone(), R = h.dialog->rotation().clone();
    const size_t resultScene = testing_support::props(renderer).size();
    auto* list = h.w<QListWidget>("list_images_primary");
    const QColor colour = list->item(0)->background().color();

    auto deleteSensor = [&h](int row) { dialog_test::deleteSensorRow(h.main, row); };
    struct Change {
        const char* what;
        std::function<void()> make;
        bool kept;
        QString primaryName, secondaryName; // while kept
    };
    // A namesake of the secondary lies between the two: the boxes follow
    // their sensors by row, not by name.
    const Change changes[] = {
        {"the secondary renamed", [&] { h.main->sensorTree()->setSensorName(3, "Right"); }, true, "Cam1",
         "Right"},
        {"the primary renamed", [&] { h.main->sensorTree()->setSensorName(1, "Left"); }, true, "Left",
         "Right"},
        {"a sensor between them named as the secondary",
         [&] { h.main->sensorTree()->setSensorName(2, "Right"); }, true, "Left", "Right"},
        {"a sensor before them deleted", [&] { deleteSensor(0); }, true, "Left", "Right"},
        {"the namesake between them deleted", [&] { deleteSensor(1); }, true, "Left", "Right"},
        {"the primary deleted", [&] { deleteSensor(0); }, false, "", ""},
    };
    const std::array<int, 2> rowsAfter[] = {{1, 3}, {1, 3}, {1, 3}, {0, 2}, {0, 1}, {-1, 0}};
    for (size_t k = 0; k < std::size(changes); ++k) {
        const Change& change = changes[k];
        SCOPED_TRACE(change.what);
        change.make();
        QCoreApplication::processEvents();
        EXPECT_EQ(primary->currentIndex(), rowsAfter[k][0]);
        EXPECT_EQ(secondary->currentIndex(), rowsAfter[k][1]);
        h.log()->clear();
        h.click("button_rectify");
        if (change.kept) {
            EXPECT_EQ(primary->currentText(), change.primaryName);
            EXPECT_EQ(secondary->currentText(), change.secondaryName);
            EXPECT_TRUE(h.dialog->isCalibrated());
            EXPECT_MAT_NEAR(h.dialog->primaryCameraMatrix(), K, 0);
            EXPECT_MAT_NEAR(h.dialog->rotation(), R, 0);
            EXPECT_EQ(list->item(0)->background().color(), colour);
            EXPECT_EQ(testing_support::props(renderer).size(), resultScene);
            EXPECT_TRUE(logHas(h.log(), "Project with rectified cameras saved to", kBlack))
                << h.logText().toStdString();
            EXPECT_TRUE(h.dialog->rectifiedProjectBasePath().endsWith("/" + change.primaryName + "_" +
                                                                      change.secondaryName + "_rect"));
            EXPECT_TRUE(h.dialog->rectification().hasMaps());
        } else {
            EXPECT_FALSE(h.dialog->isCalibrated());
            EXPECT_TRUE(h.dialog->primaryCameraMatrix().empty());
            EXPECT_TRUE(h.dialog->rotation().empty());
            EXPECT_EQ(list->item(0)->background().style(), Qt::NoBrush);
            EXPECT_EQ(testing_support::props(renderer).size(), emptyScene);
            EXPECT_TRUE(logHas(h.log(), "Use [Calibrate Stereo] before rectification.", kRed));
            EXPECT_FALSE(h.dialog->rectification().hasMaps());
        }
        if (std::string(change.what) == "the primary renamed")
            screenshot(h.dialog, "stereo_dialog_after_rename.png");
    }
}

// A chosen sensor that is deleted, or a scene that is replaced, takes the
// result with it. A blank box is no sensor: Rectify then asks for a
// calibration and says which camera to choose, a run is refused the same
// way, and no file is named after a blank box.
TEST_F(StereoDialog, ADeletedSensorOrAReplacedSceneTakesTheResultWithIt)
{
    const SmallScene scene(imageDir.path(), 4);
    const QString project = QDir(imageDir.path()).filePath("scene.yml");
    const struct {
        const char* what;
        std::function<void(MainWindow*)> make;
        std::array<int, 2> rowsAfter;
        const char* choose;
    } cases[] = {
        {"the secondary, the last row, deleted",
         [](MainWindow* main) { dialog_test::deleteSensorRow(main, 1); },
         {0, -1},
         "No secondary camera is chosen"},
        {"New Project",
         [](MainWindow* main) { main->findChild<QAction*>("actionNew_Project")->trigger(); },
         {-1, -1},
         "No primary camera is chosen"},
        {"Load Project",
         [&](MainWindow* main) {
             ASSERT_TRUE(main->saveProject(project, 0));
             ASSERT_TRUE(main->loadProject(project));
         },
         {-1, -1},
         "No primary camera is chosen"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Harness h;
        h.calibrateScene(scene, "30");
        ASSERT_TRUE(h.dialog->isCalibrated()) << h.logText().toStdString();
        c.make(h.main);
        QCoreApplication::processEvents();
        EXPECT_EQ(h.w<QComboBox>("combo_sensor_primary")->currentIndex(), c.rowsAfter[0]);
        EXPECT_EQ(h.w<QComboBox>("combo_sensor_secondary")->currentIndex(), c.rowsAfter[1]);
        EXPECT_FALSE(h.dialog->isCalibrated());
        EXPECT_TRUE(h.dialog->primaryCameraMatrix().empty());
        EXPECT_TRUE(h.dialog->rotation().empty());

        h.log()->clear();
        h.click("button_rectify");
        h.click("button_rectify_input");
        EXPECT_TRUE(logHas(h.log(), c.choose, kRed)) << h.logText().toStdString();
        EXPECT_TRUE(logHas(h.log(), "Use [Calibrate Stereo] before rectification.", kRed));
        EXPECT_FALSE(h.logText().contains("differ in size"));
        EXPECT_FALSE(h.dialog->rectification().hasMaps());
        EXPECT_EQ(QDir(imageDir.path()).entryList({"rectification.yml", "*_rect.*", "rect_*"}),
                  QStringList());

        h.log()->clear();
        h.calibrate();
        EXPECT_TRUE(logHas(h.log(), c.choose, kRed)) << h.logText().toStdString();
        EXPECT_FALSE(h.dialog->isCalibrated());
        QFile::remove(project);
    }
}

// A run that stops at its input checks, with "Use intrinsic guess" on and
// other intrinsics in the scene, leaves the last result whole: the
// rectification still combines the last run's intrinsics with its pose, and
// a pair is shown as before the run, although the board's squares were made
// taller before it.
TEST_F(StereoDialog, ARunRefusedAtItsInputsLeavesTheLastResultWhole)
{
    const SmallScene scene(imageDir.path(), 4);
    Harness h;
    ASSERT_NE(h.dialog, nullptr);
    h.calibrateScene(scene, "30");
    ASSERT_TRUE(h.dialog->isCalibrated()) << h.logText().toStdString();
    h.click("button_rectify");
    ASSERT_TRUE(h.dialog->rectification().hasMaps()) << h.logText().toStdString();
    const cv::Mat P0 = h.dialog->rectification().P0.clone(), P1 = h.dialog->rectification().P1.clone();
    const HeldResult held(h.dialog);
    auto* list = h.w<QListWidget>("list_images_primary");
    auto showPairOne = [list] {
        list->setCurrentRow(0);
        list->setCurrentRow(1);
    };

    // The scene's intrinsics differ from the result's from here on.
    for (int c = 0; c < 2; ++c) {
        cv::Mat other = held.K[c] * 1.2;
        other.at<double>(2, 2) = 1;
        h.main->sensorTree()->updateIntrinsicsIdx(c, other, cv::Mat::zeros(1, 5, CV_64F), cv::Size());
    }
    h.w<QCheckBox>("check_use_intrinsic_guess1")->setChecked(true);
    h.w<QCheckBox>("check_use_intrinsic_guess2")->setChecked(true);

    struct Refusal {
        const char* edit;
        QString text;
        QString message;
    };
    const Refusal refusals[] = {
        {"edit_max_iterations", "0", "Termination criteria"},
        {"edit_accuracy", "x", "Termination criteria"},
        {"edit_corners_width", "-30", "Square width '-30' is not a positive number"},
    };
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(refusal.edit);
        auto* edit = h.w<QLineEdit>(refusal.edit);
        auto* height = h.w<QLineEdit>("edit_corners_height");
        const QString good = edit->text();
        edit->setText(refusal.text);
        height->setText("300");
        showPairOne();
        const PairView pair(h);
        ASSERT_TRUE(h.w<QGroupBox>("group_reproj_err_primary")->isVisible());
        h.log()->clear();
        h.calibrate();
        edit->setText(good);
        EXPECT_TRUE(logHas(h.log(), refusal.message, kRed)) << h.logText().toStdString();
        held.expectKeptBy(h.dialog);
        showPairOne();
        PairView(h).expectSameAs(pair);
        height->setText("30");
        h.click("button_rectify");
        EXPECT_TRUE(logHas(h.log(), "Rectification parameters saved to", kBlack))
            << h.logText().toStdString();
        EXPECT_MAT_NEAR(h.dialog->rectification().P0, P0, 1e-9);
        EXPECT_MAT_NEAR(h.dialog->rectification().P1, P1, 1e-9);
    }
}

// The 3D view after a run: every board where the run placed it in the
// primary camera's frame, near where it truly was, and the secondary
// camera's frustum and frame at the calibrated pose (R^T, -R^T T), near the
// rig's.
TEST_F(StereoDialog, TheThreeDViewPlacesTheBoardsAndTheSecondaryCamera)
{
    const SmallScene scene(imageDir.path(), 6);
    Harness h;
    ASSERT_NE(h.dialog, nullptr);
    h.calibrateScene(scene, "30");
    ASSERT_TRUE(h.dialog->isCalibrated()) << h.logText().toStdString();
    vtkRenderer* renderer =
        h.w<QVTKOpenGLNativeWidget>("widget_vtk")->renderWindow()->GetRenderers()->GetFirstRenderer();

    // The secondary's pose in the primary's frame: as calibrated, and the truth.
    const cv::Mat R = h.dialog->rotation().t();
    const cv::Mat t = -R * h.dialog->translation();
    const cv::Mat trueR = cv::Mat(scene.rig.R).t();
    const cv::Mat trueT = -trueR * cv::Mat(scene.rig.T);
    const double kMm = 2.0, kDeg = 0.3;
    EXPECT_LT(cv::norm(t, trueT), kMm);
    EXPECT_LT(testing_support::rotationDiffDeg(R, trueR), kDeg);

    std::vector<vtkPolyData*> boards;
    int posed = 0;
    for (vtkProp* prop : testing_support::props(renderer)) {
        auto* actor = vtkActor::SafeDownCast(prop);
        if (!actor || vtkFollower::SafeDownCast(prop))
            continue;
        auto* poly = vtkPolyData::SafeDownCast(actor->GetMapper()->GetInput());
        if (poly && poly->GetNumberOfPoints() == 4 && poly->GetNumberOfPolys() == 1)
            boards.push_back(poly);
        vtkMatrix4x4* m =
            actor->GetUserTransform() ? actor->GetUserTransform()->GetMatrix() : actor->GetUserMatrix();
        if (!m)
            continue;
        ++posed; // the secondary's frustum and its axes
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c)
                EXPECT_NEAR(m->GetElement(r, c), R.at<double>(r, c), 1e-9) << r << c;
            EXPECT_NEAR(m->GetElement(r, 3), t.at<double>(r), 1e-9) << r;
        }
    }
    EXPECT_EQ(posed, 2);

    // Board k's first corner at its translation, the corner along x a board
    // width further along the board's x axis.
    const std::vector<cv::Mat> rvecs = h.dialog->primaryPoseRotations();
    const std::vector<cv::Mat> tvecs = h.dialog->primaryPoseTranslations();
    ASSERT_EQ(boards.size(), scene.views.size());
    const double width = scene.pattern.width * scene.square;
    for (size_t k = 0; k < boards.size(); ++k) {
        SCOPED_TRACE(k);
        cv::Vec3d drawn[2];
        boards[k]->GetPoint(0, drawn[0].val);
        boards[k]->GetPoint(1, drawn[1].val);
        cv::Matx33d Rk, trueRk;
        cv::Rodrigues(rvecs[k], Rk);
        cv::Rodrigues(scene.views[k].rvec, trueRk);
        const cv::Vec3d tk(tvecs[k]);
        const cv::Vec3d trueTk = scene.views[k].tvec;
        const cv::Vec3d along(width, 0, 0);
        EXPECT_LT(cv::norm(drawn[0] - tk), 1e-3); // the plane's points are floats
        EXPECT_LT(cv::norm(drawn[1] - (Rk * along + tk)), 1e-3);
        EXPECT_LT(cv::norm(drawn[0] - trueTk), kMm);
        EXPECT_LT(cv::norm(drawn[1] - (trueRk * along + trueTk)), kMm);
    }
}

} // namespace

// The usual road with the form's options: the primary camera's intrinsics
// come from a separate calibration (0.6 % off in the focal length, "Use
// intrinsic guess"), the secondary is calibrated in the run. From there the
// refinement has a long flat valley to follow (focal length against
// distance): it must reach its bottom, where criteria far tighter than any
// use needs end too, and not report success after its first step.
TEST_F(StereoDialog, ARunFromImportedIntrinsicsConvergesWithTheFormsOptions)
{
    const RigScene scene(imageDir.path(), 6, 5);
    Harness h;
    ASSERT_NE(h.dialog, nullptr);
    EXPECT_EQ(h.w<QLineEdit>("edit_max_iterations")->text(), "100");
    EXPECT_EQ(h.w<QLineEdit>("edit_accuracy")->text(), "0.001");
    cv::Mat K = cv::Mat(scene.rig.primary.K).clone();
    K.at<double>(0, 0) *= 1.006;
    K.at<double>(1, 1) *= 1.006;
    h.setPattern(scene.pattern, "27.5");
    h.w<QCheckBox>("check_use_intrinsic_guess1")->setChecked(true);
    h.openImages(scene);

    // The form's criteria, then far tighter ones, each from the imported intrinsics.
    struct Result {
        cv::Mat R, T, K;
    } form, converged;
    for (Result* r : {&form, &converged}) {
        const bool tight = r == &converged;
        h.main->sensorTree()->updateIntrinsicsIdx(0, K.clone(), scene.rig.primary.kc.clone(),
                                                  scene.rig.primary.size);
        h.w<QLineEdit>("edit_accuracy")->setText(tight ? "1e-12" : "0.001");
        h.w<QLineEdit>("edit_max_iterations")->setText(tight ? "1000" : "100");
        h.log()->clear();
        h.calibrate();
        ASSERT_TRUE(h.dialog->isCalibrated()) << h.logText().toStdString();
        // (Criteria this tight may end where double precision no longer tells
        // the steps apart, short of their epsilon, which the log then says.)
        if (!tight) {
            EXPECT_FALSE(h.logText().contains("[WARNING]")) << h.logText().toStdString();
        }
        *r = {h.dialog->rotation().clone(), h.dialog->translation().clone(),
              h.dialog->primaryCameraMatrix().clone()};
    }

    // The form's criteria end where the tight ones do ...
    const double fx = scene.rig.primary.K(0, 0);
    EXPECT_LT(rotationAngleDeg(form.R, converged.R), 0.01);
    EXPECT_LT(cv::norm(form.T - converged.T), 0.1);
    EXPECT_NEAR(form.K.at<double>(0, 0), converged.K.at<double>(0, 0), 1e-4 * fx);
    // ... which is the truth within what six pairs tell.
    const cv::Mat T(scene.rig.T);
    EXPECT_LT(rotationAngleDeg(form.R, cv::Mat(scene.rig.R)), 0.3);
    EXPECT_LT(cv::norm(form.T - T), 0.005 * cv::norm(T));
    EXPECT_NEAR(form.K.at<double>(0, 0), fx, 0.002 * fx);
}
