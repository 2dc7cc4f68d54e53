// The target pose dialog driven as a user drives it: a calibrated camera in
// the sensor tree, a rendered view of the board from a known pose, and the
// pose that reaches the tree; the failure paths.

#include "gui/dialogs/ChessboardDialog.h"
#include "gui/dialogs/TargetPose.h"
#include "gui/shell/MainWindow.h"
#include "gui/shell/SensorTree.h"
#include "gui/shell/dialog_wiring.h"
#include "screenshots.h"
#include "text_fit.h"

#include "dialog_test_helpers.h"
#include "synthetic.h"
#include "test_helpers.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <utility>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

using dialog_test::logHas;

Q_DECLARE_METATYPE(cv::Mat)

namespace {

const QColor kGreen(Qt::green), kRed(Qt::red), kBlack(Qt::black);

struct Harness {
    SensorTree tree;
    TargetPose* dialog = nullptr;

    explicit Harness(int sensors = 2)
    {
        for (int i = 0; i < sensors; ++i)
            tree.addSensor();
        std::vector<QString> names;
        tree.getSensorNames(names);
        dialog = new TargetPose(nullptr, names);
        connectIntrinsicsDialog(dialog, &tree);
        QObject::connect(dialog, &TargetPose::updateSecondaryExtrinsics, &tree,
                         &SensorTree::updateExtrinsicsIdx);
        dialog->show();
        QCoreApplication::processEvents();
    }
    ~Harness() { delete dialog; }
    Harness(const Harness&) = delete;
    Harness& operator=(const Harness&) = delete;

    template <class T> T* w(const char* name) const { return dialog_test::child<T>(dialog, name); }
    QTextEdit* log() const { return w<QTextEdit>("text_log"); }
    QString logText() const { return log()->toPlainText(); }
    void estimate() const { QTest::mouseClick(w<QPushButton>("button_calibrate"), Qt::LeftButton); }
    void setPattern(cv::Size pattern, const QString& square) const
    {
        dialog_test::setBoard(dialog, pattern, square);
    }
};

class TargetPoseDialog : public ::testing::Test {
protected:
    QTemporaryDir settingsDir;
    QTemporaryDir imageDir;
    // A calibrated camera and the board seen from a known pose. The square
    // size 22.5 mm is a real number on purpose: truncated to 22 mm the
    // distance would come out 2 % short.
    synth::Camera cam = synth::makeCamera(cv::Size(1024, 768), 1100, {-0.12, 0.06, 0, 0, 0});
    cv::Size pattern{9, 6};
    double square = 22.5;
    synth::View view;
    QString imagePath;

    void SetUp() override
    {
        ASSERT_TRUE(settingsDir.isValid());
        qRegisterMetaType<cv::Mat>("cv::Mat");
        dialog_test::useSettingsFolder(settingsDir.path());
        view = synth::boardViews(cam, pattern, square, 1, 2024)[0];
        synth::RenderOptions render;
        render.blurSigma = 0.6;
        render.noiseSigma = 1.5;
        render.colour = true;
        imagePath = dialog_test::writeViews(imageDir.path(), cam, pattern, square, {view}, render)[0];
    }

    void calibrateCamera(SensorTree& tree, int idx) const
    {
        tree.updateIntrinsicsIdx(idx, cv::Mat(cam.K), cam.kc, cam.size);
    }
    cv::Mat trueR() const
    {
        cv::Mat R;
        cv::Rodrigues(cv::Mat(view.rvec), R);
        return R;
    }
    cv::Mat trueT() const { return cv::Mat(view.tvec); }

    // The pose of the board frame that the detector reports: a 9 x 6 board
    // can be read from either end (the detectors choose by the colour of the
    // corner square), so the board's origin is the corner the detector
    // returns first. Found from the detector itself on the same image.
    std::pair<cv::Mat, cv::Mat> expectedPose(bool radon) const
    {
        ChessboardOptions options;
        options.patternSize = pattern;
        options.radon = radon;
        std::vector<cv::Point2f> corners;
        const cv::Mat gray = cv::imread(imagePath.toStdString(), cv::IMREAD_GRAYSCALE);
        EXPECT_TRUE(detectChessboard(gray, options, corners));
        const std::vector<cv::Point2f> truth = synth::projectBoard(cam, pattern, square, view);
        if (corners.empty() ||
            cv::norm(corners.front() - truth.front()) < cv::norm(corners.front() - truth.back()))
            return {trueR(), trueT()};
        // Turned by 180 degrees about the board's normal, origin at the last corner.
        const cv::Mat Rz = (cv::Mat_<double>(3, 3) << -1, 0, 0, 0, -1, 0, 0, 0, 1);
        const cv::Mat last =
            (cv::Mat_<double>(3, 1) << (pattern.width - 1) * square, (pattern.height - 1) * square, 0);
        return {trueR() * Rz, trueR() * last + trueT()};
    }
};

namespace {

// The target-pose dialog that the main window's button opened (the last one).
TargetPose* openedDialog()
{
    TargetPose* dialog = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* d = qobject_cast<TargetPose*>(w))
            dialog = d;
    return dialog;
}

} // namespace

TEST_F(TargetPoseDialog, PlacesTheWorldAtTheBoardWithEverySolver)
{
    const struct {
        const char* radio;
        bool ransac;
        double maxDeg;
        double maxMm;
        size_t points;
    } cases[] = {
        {"radio_iterative_PNP", false, 0.1, 1.0, 54},
        {"radio_iterative_PNP", true, 0.1, 1.0, 54},
        {"radio_EPNP", false, 0.1, 1.0, 54},
        {"radio_EPNP", true, 0.1, 1.0, 54},
        {"radio_EP3P", true, 0.5, 5.0, 4}, // RANSAC is disabled with P3P
    };
    for (const bool radon : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(::testing::Message() << c.radio << (c.ransac ? " with RANSAC" : "")
                                              << (radon ? ", own detector" : ", OpenCV's detector"));
            Harness h;
            calibrateCamera(h.tree, 1);
            EXPECT_EQ(h.w<QComboBox>("combo_world")->currentIndex(), 0);
            EXPECT_EQ(h.w<QComboBox>("combo_sensor")->currentIndex(), 1);
            h.setPattern(pattern, "22.5");
            h.w<QCheckBox>("check_radon_detection")->setChecked(radon);
            h.w<QRadioButton>(c.radio)->setChecked(true);
            h.w<QGroupBox>("group_ransac")->setChecked(c.ransac);
            h.dialog->openImage(imagePath);
            EXPECT_TRUE(logHas(h.log(), "Input image: 1024 x 768 px", kBlack));

            QSignalSpy spy(h.dialog, &TargetPose::updateSecondaryExtrinsics);
            h.estimate();
            ASSERT_EQ(spy.count(), 1) << h.logText().toStdString();
            EXPECT_EQ(spy[0][0].toInt(), 0);
            EXPECT_EQ(spy[0][1].toInt(), 1);
            EXPECT_TRUE(logHas(h.log(), "Chessboard detected", kGreen));

            // Cam1's record is the board-to-camera pose: the world (Cam0)
            // stands where the board is.
            const std::vector<Sensor> sensors = h.tree.getSensors();
            const auto [R, t] = expectedPose(radon);
            EXPECT_POSE_NEAR(sensors[1].R, sensors[1].t, R, t, c.maxDeg, c.maxMm);
            EXPECT_POSE_NEAR(h.dialog->rotation(), sensors[1].t, R, t, c.maxDeg, c.maxMm);

            const bool ransacUsed = c.ransac && std::string(c.radio) != "radio_EP3P";
            EXPECT_EQ(h.logText().contains(QString("inliers: %1").arg(c.points)), ransacUsed);
            EXPECT_TRUE(h.logText().contains("Target pose successfully estimated with an RMS of: "));
            EXPECT_TRUE(h.logText().contains("Extrinsics: Cam0 wrt Cam1"));
            EXPECT_TRUE(h.logText().contains("tx " + QString::number(sensors[1].t.at<double>(0), 'f', 4)));
            EXPECT_TRUE(h.logText().contains("tz " + QString::number(sensors[1].t.at<double>(2), 'f', 4)));
            EXPECT_TRUE(h.w<QLabel>("label_rms_err")->isVisible());
            EXPECT_TRUE(h.w<QLabel>("label_rms_err")->text().startsWith("RMS: "));
            EXPECT_EQ(h.w<QLabel>("label_min_err")->styleSheet(), "color:#00ff00");
            EXPECT_FALSE(h.w<QGroupBox>("group_ransac")->isEnabled() && std::string(c.radio) == "radio_EP3P");
            if (radon && c.ransac && std::string(c.radio) == "radio_iterative_PNP")
                h.dialog->grab().save(testing_support::screenshotPath("target_pose_dialog.png"));
        }
    }
}

// RANSAC's threshold decides which corners are kept; a threshold no corner
// can meet leaves no pose, and nothing reaches the tree.
TEST_F(TargetPoseDialog, RansacThresholdDecidesTheInliers)
{
    const struct {
        const char* threshold;
        bool posed;
    } cases[] = {{"0.5", true}, {"0.000001", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.threshold);
        Harness h;
        calibrateCamera(h.tree, 1);
        h.setPattern(pattern, "22.5");
        h.w<QGroupBox>("group_ransac")->setChecked(true);
        h.w<QLineEdit>("edit_reproj_err")->setText(c.threshold);
        h.dialog->openImage(imagePath);
        QSignalSpy spy(h.dialog, &TargetPose::updateSecondaryExtrinsics);
        h.estimate();
        std::printf("[ measured ] RANSAC threshold %s px: %s\n", c.threshold,
                    h.logText().section("inliers: ", 1, 1).section("\n", 0, 0).toStdString().c_str());
        EXPECT_EQ(spy.count(), c.posed ? 1 : 0) << h.logText().toStdString();
        if (c.posed) {
            const QString inliers = h.logText().section("inliers: ", 1, 1).section("\n", 0, 0);
            EXPECT_GE(inliers.toInt(), 40);
            const std::vector<Sensor> sensors = h.tree.getSensors();
            const auto [R, t] = expectedPose(false);
            EXPECT_POSE_NEAR(sensors[1].R, sensors[1].t, R, t, 0.1, 1.0);
        } else {
            EXPECT_TRUE(logHas(h.log(), "Could not compute the PnP.", kRed) ||
                        logHas(h.log(), "Less then 4 inliers left. Aborting ...", kRed))
                << h.logText().toStdString();
        }
    }
}

TEST_F(TargetPoseDialog, FailuresAreReportedAndNothingIsEmitted)
{
    const struct {
        const char* what;
        std::function<void(Harness&)> setUp;
        const char* message;
    } cases[] = {
        {"camera not calibrated", [](Harness&) {},
         "Camera 'Cam1' must be calibrated! Load the intrinsic parameters or calibrate it with 'Intrinsic "
         "Calibration'."},
        {"no camera chosen", [](Harness& h) { h.w<QComboBox>("combo_sensor")->setCurrentIndex(-1); },
         "Please select a camera in the 'Select Sensor' combo box."},
        {"wrong pattern size",
         [this](Harness& h) {
             calibrateCamera(h.tree, 1);
             h.setPattern(cv::Size(7, 6), "22.5");
         },
         "Chessboard could not be found"},
        {"square size not a number",
         [this](Harness& h) {
             calibrateCamera(h.tree, 1);
             h.w<QLineEdit>("edit_corners_height")->setText("");
         },
         "Square height '' is not a positive number, aborting..."},
        {"pattern too small for the detector",
         [this](Harness& h) {
             calibrateCamera(h.tree, 1);
             h.setPattern(cv::Size(1, 0), "22.5");
         },
         "OpenCV exception caught: "},
        {"RANSAC parameters not numbers",
         [this](Harness& h) {
             calibrateCamera(h.tree, 1);
             h.w<QGroupBox>("group_ransac")->setChecked(true);
             h.w<QLineEdit>("edit_confidence")->setText("x");
         },
         "The RANSAC parameters must be positive numbers"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Harness h;
        h.setPattern(pattern, "22.5");
        h.dialog->openImage(imagePath);
        c.setUp(h);
        QSignalSpy spy(h.dialog, &TargetPose::updateSecondaryExtrinsics);
        h.estimate();
        EXPECT_EQ(spy.count(), 0);
        EXPECT_TRUE(logHas(h.log(), c.message, kRed)) << h.logText().toStdString();
        EXPECT_FALSE(h.logText().contains("successfully"));
        EXPECT_FALSE(h.w<QGroupBox>("group_reproj_err")->isVisible());
    }
}

// An estimate that gives no pose leaves no markers or figures of the one
// before it.
TEST_F(TargetPoseDialog, AFailedEstimateShowsNoEarlierPose)
{
    Harness h;
    calibrateCamera(h.tree, 1);
    h.setPattern(pattern, "22.5");
    h.dialog->openImage(imagePath);
    auto* panel = h.w<QGroupBox>("group_reproj_err");
    h.estimate();
    ASSERT_TRUE(panel->isVisible());
    h.w<QGroupBox>("group_ransac")->setChecked(true);
    h.w<QLineEdit>("edit_reproj_err")->setText("0.000001");
    QSignalSpy spy(h.dialog, &TargetPose::updateSecondaryExtrinsics);
    h.estimate();
    ASSERT_EQ(spy.count(), 0);
    EXPECT_FALSE(panel->isVisible());
    // The image is grey: coloured pixels would be markers of the first pose.
    QCoreApplication::processEvents();
    const QImage shot = h.w<QWidget>("image_label")->grab().toImage();
    int coloured = 0;
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x) {
            const QColor c = shot.pixelColor(x, y);
            coloured +=
                std::max({c.red(), c.green(), c.blue()}) - std::min({c.red(), c.green(), c.blue()}) > 80;
        }
    EXPECT_EQ(coloured, 0);
}

TEST_F(TargetPoseDialog, AnImageThatFailsToLoadIsNeverReplacedByTheOldOne)
{
    Harness h;
    calibrateCamera(h.tree, 1);
    h.setPattern(pattern, "22.5");
    QSignalSpy spy(h.dialog, &TargetPose::updateSecondaryExtrinsics);

    SCOPED_TRACE("no image opened yet");
    h.estimate();
    EXPECT_TRUE(logHas(h.log(), "Open an image of the calibration target first.", kRed));

    SCOPED_TRACE("a good image, then a corrupt one");
    h.dialog->openImage(imagePath);
    h.estimate();
    EXPECT_EQ(spy.count(), 1);
    const QString corrupt = imageDir.filePath("corrupt.png");
    QFile f(corrupt);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("not an image at all");
    f.close();
    h.dialog->openImage(corrupt);
    EXPECT_TRUE(logHas(h.log(), "Could not open image: " + corrupt, kRed));
    h.estimate();
    EXPECT_EQ(spy.count(), 1) << "no pose from the previous image";
    EXPECT_TRUE(logHas(h.log(), "Open an image of the calibration target first.", kRed));

    SCOPED_TRACE("a file that does not exist changes nothing");
    h.dialog->openImage(imagePath);
    h.dialog->openImage(imageDir.filePath("missing.png"));
    h.estimate();
    EXPECT_EQ(spy.count(), 2);
}

TEST_F(TargetPoseDialog, SolverChoiceSwitchesRansacAndRadonSwitchesRefinement)
{
    Harness h;
    auto* ransac = h.w<QGroupBox>("group_ransac");
    auto* subpix = h.w<QGroupBox>("group_corner_subpix");
    ransac->setChecked(true);
    h.w<QRadioButton>("radio_EP3P")->setChecked(true);
    EXPECT_FALSE(ransac->isEnabled());
    EXPECT_TRUE(ransac->isChecked()) << "the checked state is kept";
    h.w<QRadioButton>("radio_EPNP")->setChecked(true);
    EXPECT_TRUE(ransac->isEnabled());
    h.w<QRadioButton>("radio_EP3P")->setChecked(true);
    h.w<QRadioButton>("radio_iterative_PNP")->setChecked(true);
    EXPECT_TRUE(ransac->isEnabled());
    h.w<QCheckBox>("check_radon_detection")->setChecked(true);
    EXPECT_FALSE(subpix->isEnabled());
    h.w<QCheckBox>("check_radon_detection")->setChecked(false);
    EXPECT_TRUE(subpix->isEnabled());
    EXPECT_FALSE(h.w<QCheckBox>("check_cam_calib")->isVisible());
}

TEST_F(TargetPoseDialog, CombosFollowTheScene)
{
    Harness h(1);
    auto* camera = h.w<QComboBox>("combo_sensor");
    auto* world = h.w<QComboBox>("combo_world");
    EXPECT_EQ(camera->currentIndex(), 0) << "a single sensor is both entries' first";
    h.tree.addSensor();
    h.tree.addSensor();
    camera->setCurrentIndex(2);
    h.tree.setSensorName(0, "world");
    EXPECT_EQ(world->currentText(), "world");
    EXPECT_EQ(camera->currentText(), "Cam2");
    EXPECT_EQ(camera->count(), 3);
}

// The "Target Pose PnP" button of the main window opens a wired dialog whose
// pose reaches the scene.
TEST_F(TargetPoseDialog, MainWindowLauncherOpensAWiredDialog)
{
    auto* main = new MainWindow;
    main->show();
    main->sensorTree()->addSensor();
    calibrateCamera(*main->sensorTree(), 1);
    auto* button = main->findChild<QPushButton*>("button_define_world_cs");
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->text(), "Target Pose PnP");
    QTest::mouseClick(button, Qt::LeftButton);
    TargetPose* dialog = openedDialog();
    ASSERT_NE(dialog, nullptr);
    QPointer<TargetPose> guard = dialog;
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_TRUE(dialog->testAttribute(Qt::WA_DeleteOnClose));
    EXPECT_EQ(dialog->findChild<QComboBox*>("combo_sensor")->currentIndex(), 1);

    dialog->findChild<QSpinBox*>("spin_corner_count_x")->setValue(pattern.width);
    dialog->findChild<QSpinBox*>("spin_corner_count_y")->setValue(pattern.height);
    dialog->findChild<QLineEdit*>("edit_corners_width")->setText("22.5");
    dialog->findChild<QLineEdit*>("edit_corners_height")->setText("22.5");
    dialog->openImage(imagePath);
    QTest::mouseClick(dialog->findChild<QPushButton*>("button_calibrate"), Qt::LeftButton);
    const std::vector<Sensor> sensors = main->sensorTree()->getSensors();
    const auto [R, t] = expectedPose(false);
    EXPECT_POSE_NEAR(sensors[1].R, sensors[1].t, R, t, 0.1, 1.0);

    main->sensorTree()->setSensorName(0, "world");
    EXPECT_EQ(dialog->findChild<QComboBox*>("combo_world")->currentText(), "world");

    delete main;
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(guard.isNull());
}

// The program's one sensor as world and camera: the estimate runs, shows
// and logs its pose, and hands it to the tree with equal indices, which
// leaves the sensor where it is; the log says so.
TEST_F(TargetPoseDialog, OneSensorSceneEstimatesAndLeavesTheSensorInPlace)
{
    auto* main = new MainWindow;
    main->show();
    ASSERT_EQ(main->sensorTree()->getSensors().size(), 1u);
    calibrateCamera(*main->sensorTree(), 0);
    QTest::mouseClick(main->findChild<QPushButton*>("button_define_world_cs"), Qt::LeftButton);
    TargetPose* dialog = openedDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->findChild<QComboBox*>("combo_world")->currentIndex(), 0);
    EXPECT_EQ(dialog->findChild<QComboBox*>("combo_sensor")->currentIndex(), 0);
    dialog_test::setBoard(dialog, pattern, "22.5");
    dialog->openImage(imagePath);
    QSignalSpy spy(dialog, &TargetPose::updateSecondaryExtrinsics);
    QTest::mouseClick(dialog->findChild<QPushButton*>("button_calibrate"), Qt::LeftButton);

    auto* log = dialog->findChild<QTextEdit*>("text_log");
    const QString text = log->toPlainText();
    ASSERT_EQ(spy.count(), 1) << text.toStdString();
    EXPECT_EQ(spy[0][0].toInt(), 0);
    EXPECT_EQ(spy[0][1].toInt(), 0);
    EXPECT_FALSE(text.contains("different sensors"));
    EXPECT_TRUE(text.contains("Target pose successfully estimated with an RMS of: ")) << text.toStdString();
    EXPECT_TRUE(text.contains("Extrinsics: Cam0 wrt Cam0"));
    EXPECT_TRUE(logHas(
        log, "World and camera are the same sensor 'Cam0': the sensor tree was left as it was.", kBlack));
    const auto [R, t] = expectedPose(false);
    EXPECT_POSE_NEAR(spy[0][2].value<cv::Mat>(), spy[0][3].value<cv::Mat>(), R, t, 0.1, 1.0);
    EXPECT_LT(testing_support::rotationDiffDeg(dialog->rotation(), R), 0.1);
    EXPECT_TRUE(dialog->findChild<QGroupBox*>("group_reproj_err")->isVisible());
    const std::vector<Sensor> sensors = main->sensorTree()->getSensors();
    ASSERT_EQ(sensors.size(), 1u);
    EXPECT_EQ(cv::norm(sensors[0].R, cv::Mat::eye(3, 3, CV_64F), cv::NORM_INF), 0);
    EXPECT_EQ(cv::norm(sensors[0].t, cv::NORM_INF), 0);
    EXPECT_TRUE(dialog->grab().save(testing_support::screenshotPath("target_pose_one_sensor.png")));
    delete main;
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Opened from the main window at its default size, the dialog shows every
// label, button, group title and field whole, before and after an estimate
// (with the error figures), with the font of the test's X server and with a
// larger desktop font (about 11 pt); a larger window keeps them whole.
TEST_F(TargetPoseDialog, EveryTextIsWholeAtTheDefaultSize)
{
    for (const double fontScale : {1.0, 1.25}) {
        SCOPED_TRACE(::testing::Message() << "font scaled by " << fontScale);
        const testing_support::ScopedFontScale font(fontScale);
        dialog_test::useSettingsFolder(settingsDir.path()); // no size kept from the round before
        auto* main = new MainWindow;
        main->show();
        main->sensorTree()->addSensor();
        calibrateCamera(*main->sensorTree(), 1);
        QTest::mouseClick(main->findChild<QPushButton*>("button_define_world_cs"), Qt::LeftButton);
        TargetPose* dialog = openedDialog();
        ASSERT_NE(dialog, nullptr);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
        const QSize defaultSize = dialog->size();
        const QString name = QString("target_pose_default_size_font%1").arg(fontScale);
        EXPECT_SHOT_CUT_OFF_NONE(dialog, name);

        dialog_test::setBoard(dialog, pattern, "22.5");
        dialog->findChild<QGroupBox*>("group_ransac")->setChecked(true);
        dialog->openImage(imagePath);
        QTest::mouseClick(dialog->findChild<QPushButton*>("button_calibrate"), Qt::LeftButton);
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
