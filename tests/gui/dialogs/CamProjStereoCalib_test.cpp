#include "gui/dialogs/CamProjStereoCalib.h"

#include "core/geometry/rotation_checks.h"
#include "core/structured_light/gray_code_pattern.h"
#include "gui/dialogs/TreeModel.h"
#include "gui/shell/MainWindow.h"
#include "gui/shell/SensorTree.h"
#include "gui/shell/dialog_wiring.h"

#include "camproj_sim.h"
#include "dialog_test_helpers.h"
#include "text_fit.h"
#include "vtk_test_helpers.h"

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QTreeView>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <QVTKOpenGLNativeWidget.h>
#include <vtkGenericOpenGLRenderWindow.h>
#include <vtkRendererCollection.h>

using dialog_test::logHas;

namespace {

constexpr double kMaxFocalShare = 0.01; // fx in the sensor tree and the result files
constexpr double kMaxPrincipalPx = 4.0;
constexpr double kMaxRotationDeg = 0.3; // camera -> projector rotation in the tree
constexpr double kMaxBaselineShare = 0.02;

// Simulated image-set folders of one known rig, written once for all tests
// of the program and removed when it exits.
struct SimulatedSets {
    QTemporaryDir dir;
    synth::CamProjTruth truth;
    SimulatedSets()
    {
        const synth::CamProjRig rig = synth::makeCamProjRig(cv::Size(960, 720), cv::Size(800, 600), 240);
        synth::CamProjScene scene;
        truth = synth::writeCamProjSets(dir.path().toStdString(), rig, scene,
                                        synth::camProjViews(rig, scene, 6, 5));
    }
};

SimulatedSets& sets()
{
    static SimulatedSets s;
    return s;
}

// A copy of the simulated folder that a test may damage.
QString copySets(const QString& target)
{
    const QDir source(sets().dir.path());
    for (const QString& sub : source.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QDir(target).mkpath(sub);
        for (const QString& f : QDir(source.filePath(sub)).entryList(QDir::Files))
            QFile::copy(source.filePath(sub + "/" + f), target + "/" + sub + "/" + f);
    }
    return target;
}

// n small sets of the generator's own images (a 64 x 32 projector), for the
// tests that do not calibrate.
QString writePatternSets(const QString& folder, int n)
{
    for (int i = 0; i < n; ++i) {
        const QString sub = folder + QString("/pose%1").arg(i);
        QDir().mkpath(sub);
        EXPECT_EQ(writeGrayCodePatterns(sub.toStdString(), 64, 32), 24);
    }
    return folder;
}

template <class T> T* w(QWidget* dialog, const char* name)
{
    T* widget = dialog->findChild<T*>(name);
    EXPECT_NE(widget, nullptr) << name;
    return widget;
}

// The options that fit the simulated scene; no intrinsics come from the tree.
void setOptions(CamProjStereoCalib* d)
{
    w<QSpinBox>(d, "spin_corner_count_x")->setValue(9);
    w<QSpinBox>(d, "spin_corner_count_y")->setValue(6);
    w<QLineEdit>(d, "edit_corners_width")->setText("30");
    w<QLineEdit>(d, "edit_corners_height")->setText("30");
    w<QLineEdit>(d, "edit_proj_width")->setText("800");
    w<QLineEdit>(d, "edit_proj_height")->setText("600");
    w<QCheckBox>(d, "check_use_intrinsic_guess1")->setChecked(false);
    w<QCheckBox>(d, "check_use_intrinsic_guess2")->setChecked(false);
    w<QCheckBox>(d, "check_use_tangential_distortion1")->setChecked(true);
    w<QCheckBox>(d, "check_fix_aspect_ratio")->setChecked(false);
    w<QCheckBox>(d, "check_fix_aspect_ratio1")->setChecked(false);
    w<QCheckBox>(d, "check_fix_aspect_ratio2")->setChecked(false);
}

QTextEdit* logOf(QWidget* d)
{
    return w<QTextEdit>(d, "text_log");
}

// Colour of set number `set` in the line of numbers after the last header.
QColor numberColour(QTextEdit* log, const QString& header, int set)
{
    const std::vector<dialog_test::LogRun> runs = dialog_test::logRuns(log);
    int start = -1;
    for (int i = 0; i < static_cast<int>(runs.size()); ++i)
        if (runs[static_cast<size_t>(i)].text.contains(header.trimmed()))
            start = i;
    if (start < 0)
        return QColor();
    for (size_t i = static_cast<size_t>(start) + 1; i < runs.size(); ++i) {
        const QString text = runs[i].text;
        // Numbers of one pass are separate runs when their colours differ,
        // or share a run of one colour.
        const QStringList numbers = text.split(' ', Qt::SkipEmptyParts);
        if (numbers.contains(QString::number(set)))
            return runs[i].colour;
        if (text.contains('\n'))
            break;
    }
    return QColor();
}

std::vector<CamProjStereoCalib*> openDialogs()
{
    std::vector<CamProjStereoCalib*> dialogs;
    for (QWidget* top : QApplication::topLevelWidgets())
        if (auto* d = qobject_cast<CamProjStereoCalib*>(top); d && d->isVisible())
            dialogs.push_back(d);
    return dialogs;
}

// How many sets have decoded maps.
int decodedSets(const CamProjStereoCalib* d)
{
    const std::vector<CamProjSet>& sets = d->imageSetRecords();
    return static_cast<int>(
        std::count_if(sets.begin(), sets.end(), [](const CamProjSet& s) { return s.decoded(); }));
}

// Switches the view tab and lets the dialog draw it.
void showTab(QWidget* d, int index)
{
    w<QTabWidget>(d, "tab_img_view")->setCurrentIndex(index);
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
}

void saveShot(QWidget* widget, const QString& name)
{
    const QByteArray dir = qgetenv("TESSIMO_SCREENSHOT_DIR");
    if (!dir.isEmpty())
        widget->grab().save(QString::fromLocal8Bit(dir) + "/" + name);
}

class CamProjDialog : public ::testing::Test {
protected:
    QTemporaryDir settingsDir;
    QTemporaryDir work;
    void SetUp() override
    {
        ASSERT_TRUE(settingsDir.isValid());
        dialog_test::useSettingsFolder(settingsDir.path());
    }
};

// A dialog wired to its own tree of two sensors, as the launcher does.
// A main window with `sensors` sensors and the camera-projector dialog its
// button opened (null when none or several opened); deleting the main window
// at the end closes the dialog.
struct DialogFromMainWindow : dialog_test::ShownMainWindow {
    CamProjStereoCalib* dialog = nullptr;

    explicit DialogFromMainWindow(int sensors = 2)
    {
        for (int i = 1; i < sensors; ++i)
            main->sensorTree()->addSensor();
        QTest::mouseClick(w<QPushButton>(main, "button_checker_cam_proj_calib"), Qt::LeftButton);
        const std::vector<CamProjStereoCalib*> dialogs = openDialogs();
        if (dialogs.size() == 1)
            dialog = dialogs[0];
    }
};

struct Harness {
    SensorTree tree;
    QPointer<CamProjStereoCalib> dialog;
    Harness()
    {
        tree.addSensor();
        tree.addSensor();
        std::vector<QString> names;
        tree.getSensorNames(names);
        dialog = new CamProjStereoCalib(nullptr, names);
        connectDialog(dialog.data(), &tree);
        dialog->show();
        QCoreApplication::processEvents();
    }
    ~Harness() { delete dialog.data(); }
};

} // namespace

// The main window's button opens the dialog; with the simulated sets both
// calibrations reach the sensor tree and the result files.
TEST_F(CamProjDialog, BothCalibrationsFromTheMainWindow)
{
    const synth::CamProjTruth& truth = sets().truth;
    auto* main = new MainWindow;
    main->show();
    main->sensorTree()->addSensor();
    auto* button = w<QPushButton>(main, "button_checker_cam_proj_calib");
    QTest::mouseClick(button, Qt::LeftButton);
    const std::vector<CamProjStereoCalib*> dialogs = openDialogs();
    ASSERT_EQ(dialogs.size(), 1u);
    CamProjStereoCalib* d = dialogs[0];
    EXPECT_TRUE(d->isWindow());
    EXPECT_TRUE(d->testAttribute(Qt::WA_DeleteOnClose));
    EXPECT_EQ(w<QComboBox>(d, "combo_cam")->currentIndex(), 0);
    EXPECT_EQ(w<QComboBox>(d, "combo_projector")->currentIndex(), 1);
    EXPECT_EQ(w<QTabWidget>(d, "tab_img_view")->count(), 5);

    setOptions(d);
    const QString folder = sets().dir.path();
    d->loadImageFolder(folder);
    EXPECT_EQ(d->windowTitle(), "Camera Projector Calibration - " + folder);
    TreeModel* model = d->imageSetModel();
    ASSERT_EQ(model->rowCount(), 6);
    const QModelIndex set0 = model->index(0, 0);
    EXPECT_EQ(model->data(set0).toString(), "pose00");
    EXPECT_EQ(model->data(set0, Qt::CheckStateRole).toInt(), Qt::Checked);
    ASSERT_EQ(model->rowCount(set0), 42);
    EXPECT_EQ(model->data(model->index(41, 0, set0)).toString(), "#41 41.png");

    QTest::mouseClick(w<QPushButton>(d, "button_calibrate_projector"), Qt::LeftButton);
    QTextEdit* log = logOf(d);
    EXPECT_TRUE(logHas(log, "Projector [800x600] calibration with 6 image sets", Qt::black))
        << log->toPlainText().toStdString();
    for (int s = 0; s < 6; ++s) {
        SCOPED_TRACE(s);
        EXPECT_EQ(numberColour(log, "Detecting chessboards:", s), QColor(Qt::green));
        EXPECT_EQ(numberColour(log, "Decoding image sets:", s), QColor(Qt::green));
        EXPECT_EQ(numberColour(log, "Extracting projector corners:", s), QColor(Qt::green));
        EXPECT_NE(model->data(model->index(s, 0), Qt::BackgroundRole).value<QColor>(), QColor(Qt::white));
    }
    EXPECT_TRUE(logHas(log, "Projector intrinsics saved to " + folder + "/Proj-Intr.yml", Qt::black));
    EXPECT_EQ(w<QPushButton>(d, "button_calibrate_projector")->text(), "Calibrate Projector");
    const Sensor proj = main->sensorTree()->getSensors()[1];
    ASSERT_FALSE(proj.K.empty());
    const cv::Matx33d& Kp = truth.rig.projector.K;
    EXPECT_NEAR(proj.K.at<double>(0, 0), Kp(0, 0), kMaxFocalShare * Kp(0, 0));
    EXPECT_NEAR(proj.K.at<double>(0, 2), Kp(0, 2), kMaxPrincipalPx);
    EXPECT_NEAR(proj.K.at<double>(1, 2), Kp(1, 2), kMaxPrincipalPx);
    EXPECT_EQ(proj.imgSize, cv::Size(800, 600));
    {
        cv::FileStorage fs((folder + "/Proj-Intr.yml").toStdString(), cv::FileStorage::READ);
        ASSERT_TRUE(fs.isOpened());
        cv::Mat K;
        fs["K"] >> K;
        EXPECT_NEAR(K.at<double>(1, 1), Kp(1, 1), kMaxFocalShare * Kp(1, 1));
    }
    // The projector view shows the reprojection errors of the run.
    showTab(d, 1);
    EXPECT_TRUE(w<QWidget>(d, "group_reproj_err_proj")->isVisible());
    EXPECT_TRUE(w<QLabel>(d, "label_rms_err_proj")->text().startsWith("RMS Err: "));
    saveShot(d, "camproj_projector_view.png");
    showTab(d, 2);
    saveShot(d, "camproj_decoded_x.png");
    showTab(d, 0);

    // The stereo run reuses detection, decoding and projector corners.
    QTest::mouseClick(w<QPushButton>(d, "button_calibrate"), Qt::LeftButton);
    for (int s = 0; s < 6; ++s) {
        SCOPED_TRACE(s);
        EXPECT_EQ(numberColour(log, "Decoding image sets:", s), QColor(Qt::darkGreen));
        EXPECT_EQ(numberColour(log, "Extracting projector corners:", s), QColor(Qt::darkGreen));
    }
    EXPECT_TRUE(logHas(log, "Stereo parameters saved to " + folder + "/Stereo.yml", Qt::black))
        << log->toPlainText().toStdString();
    EXPECT_TRUE(logHas(log, "Extrinsics: Cam1 wrt Cam0", Qt::black));
    const std::vector<Sensor> sensors = main->sensorTree()->getSensors();
    const Sensor cam = sensors[0], projector = sensors[1];
    ASSERT_FALSE(cam.K.empty());
    EXPECT_NEAR(cam.K.at<double>(0, 0), truth.rig.camera.K(0, 0), kMaxFocalShare * truth.rig.camera.K(0, 0));
    EXPECT_EQ(cam.imgSize, cv::Size(960, 720));
    // Cam0 is the reference, so Cam1's pose is the projector's pose relative to the camera.
    EXPECT_LT(rotationAngleDeg(projector.R, cv::Mat(truth.rig.R_proj_cam)), kMaxRotationDeg);
    EXPECT_LT(cv::norm(projector.t - cv::Mat(truth.rig.t_proj_cam)),
              kMaxBaselineShare * truth.rig.baseline());
    {
        cv::FileStorage fs((folder + "/Stereo.yml").toStdString(), cv::FileStorage::READ);
        ASSERT_TRUE(fs.isOpened());
        cv::Mat T;
        cv::Size size0;
        fs["T"] >> T;
        fs["imgSize0"] >> size0;
        EXPECT_EQ(size0, cv::Size(960, 720));
        EXPECT_LT(cv::norm(T - cv::Mat(truth.rig.t_proj_cam)), kMaxBaselineShare * truth.rig.baseline());
    }
    // The camera view now shows the camera's errors.
    saveShot(d, "camproj_camera_view.png");
    EXPECT_TRUE(w<QWidget>(d, "group_reproj_err_cam")->isVisible());
    showTab(d, 4);
    saveShot(d, "camproj_3d.png");

    QPointer<CamProjStereoCalib> guard = d;
    delete main;
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(guard.isNull());
}

// Damaged sets fail one by one with their colours; two usable sets are not
// enough for the stereo run.
TEST_F(CamProjDialog, DamagedSetsFailAloneAndTooFewSetsStopTheStereoRun)
{
    const QString folder = copySets(work.path());
    QFile::remove(folder + "/pose01/15.png"); // a missing file
    for (int i = 20; i < 42; ++i)             // a short set
        QFile::remove(folder + QString("/pose02/%1.png").arg(i));
    {
        QFile broken(folder + "/pose03/20.png"); // an unreadable image
        ASSERT_TRUE(broken.open(QIODevice::WriteOnly | QIODevice::Truncate));
        broken.write("not an image");
    }
    Harness h;
    CamProjStereoCalib* d = h.dialog;
    setOptions(d);
    d->loadImageFolder(folder);
    ASSERT_EQ(d->setCount(), 6);
    d->setSetChecked(4, false); // left out by the user

    QTest::mouseClick(w<QPushButton>(d, "button_calibrate"), Qt::LeftButton);
    QTextEdit* log = logOf(d);
    EXPECT_EQ(numberColour(log, "Detecting chessboards:", 4), QColor(Qt::gray));
    for (int s : {1, 2, 3}) {
        SCOPED_TRACE(s);
        EXPECT_EQ(numberColour(log, "Detecting chessboards:", s), QColor(Qt::green));
        EXPECT_EQ(numberColour(log, "Decoding image sets:", s), QColor(Qt::red));
        EXPECT_FALSE(d->isSetChecked(s));
        EXPECT_TRUE(logHas(log, QString("Image set %1 (pose0%1)").arg(s), Qt::red));
    }
    for (int s : {0, 5})
        EXPECT_EQ(numberColour(log, "Decoding image sets:", s), QColor(Qt::green));
    EXPECT_TRUE(logHas(log, "Use at least 3 image sets, aborting...", Qt::red));
    EXPECT_FALSE(QFile::exists(folder + "/Stereo.yml"));
    EXPECT_EQ(w<QPushButton>(d, "button_calibrate")->text(), "Calibrate Stereo");

    // Calibrate Projector on the two good sets works and reuses their work.
    QTest::mouseClick(w<QPushButton>(d, "button_calibrate_projector"), Qt::LeftButton);
    EXPECT_EQ(numberColour(log, "Detecting chessboards:", 0), QColor(Qt::darkGreen));
    EXPECT_EQ(numberColour(log, "Detecting chessboards:", 1), QColor(Qt::gray));
    EXPECT_TRUE(logHas(log, "Projector [800x600] calibration with 2 image sets", Qt::black));
    EXPECT_TRUE(QFile::exists(folder + "/Proj-Intr.yml"));

    // Outlier removal: corners above the limit leave all of the set's lists,
    // and the next run uses the shortened lists.
    const size_t before = d->imageSetRecords()[0].projCorners.size();
    w<QGroupBox>(d, "group_proj_outliers")->setChecked(true);
    w<QLineEdit>(d, "edit_proj_outlier")->setText("0.05");
    QTest::mouseClick(w<QPushButton>(d, "button_calibrate_projector"), Qt::LeftButton);
    EXPECT_TRUE(log->toPlainText().contains(QRegExp("Detecting outliers: (\\d+: \\d+  )+")))
        << log->toPlainText().toStdString();
    EXPECT_TRUE(logHas(log, "Calibrate again to exclude the detected outliers!", QColor(255, 0, 0)));
    const size_t after = d->imageSetRecords()[0].projCorners.size();
    EXPECT_LT(after, before);
    EXPECT_EQ(d->imageSetRecords()[0].camCorners.size(), after);
    EXPECT_EQ(d->imageSetRecords()[0].objectPoints.size(), after);
    // Unchecking the group clears the corners, so they are detected again.
    w<QGroupBox>(d, "group_proj_outliers")->setChecked(false);
    for (const CamProjSet& set : d->imageSetRecords()) {
        EXPECT_TRUE(set.camCorners.empty());
        EXPECT_TRUE(set.projCorners.empty());
    }
}

// A set of another resolution stops the run that announces it.
TEST_F(CamProjDialog, ASetOfAnotherResolutionStopsTheRun)
{
    const QString folder = copySets(work.path());
    for (int i = 0; i < 42; ++i) {
        const QString path = folder + QString("/pose02/%1.png").arg(i, 2, 10, QChar('0'));
        cv::Mat image = cv::imread(path.toStdString(), cv::IMREAD_GRAYSCALE);
        cv::resize(image, image, cv::Size(640, 480));
        cv::imwrite(path.toStdString(), image);
    }
    Harness h;
    CamProjStereoCalib* d = h.dialog;
    setOptions(d);
    d->loadImageFolder(folder);
    QTest::mouseClick(w<QPushButton>(d, "button_calibrate_projector"), Qt::LeftButton);
    QTextEdit* log = logOf(d);
    EXPECT_TRUE(logHas(
        log, "Error: Image 2 has different size 640x480 as the previous ones 960x720, aborting...", Qt::red));
    EXPECT_FALSE(log->toPlainText().contains("Decoding image sets"));
    EXPECT_FALSE(QFile::exists(folder + "/Proj-Intr.yml"));
    EXPECT_TRUE(h.tree.getSensors()[1].K.empty());
    EXPECT_FALSE(d->isRunning());
}

// The folder layout: subfolders without images give no set, letter case of
// the extension does not matter; the model keeps Qt's contract while loading.
TEST_F(CamProjDialog, FolderLayoutAndSelection)
{
    QDir root(work.path());
    root.mkpath("pose1");
    root.mkpath("pose2");
    root.mkpath("pose3");
    const cv::Mat grey(30, 40, CV_8UC1, cv::Scalar(80));
    for (int i = 0; i < 3; ++i)
        cv::imwrite(root.filePath(QString("pose1/%1.png").arg(i, 2, 10, QChar('0'))).toStdString(), grey);
    cv::imwrite(root.filePath("pose3/00.jpg").toStdString(), grey);
    cv::imwrite(root.filePath("pose3/IMG.PNG").toStdString(), grey);
    QFile(root.filePath("pose2/notes.txt")).open(QIODevice::WriteOnly);

    Harness h;
    CamProjStereoCalib* d = h.dialog;
    QAbstractItemModelTester tester(d->imageSetModel(),
                                    QAbstractItemModelTester::FailureReportingMode::Fatal);
    d->loadImageFolder(work.path());
    TreeModel* model = d->imageSetModel();
    ASSERT_EQ(model->rowCount(), 2);
    EXPECT_EQ(model->data(model->index(0, 0)).toString(), "pose1");
    EXPECT_EQ(model->data(model->index(1, 0)).toString(), "pose3");
    EXPECT_EQ(model->rowCount(model->index(1, 0)), 2);
    EXPECT_EQ(model->data(model->index(1, 0, model->index(1, 0)), PathRole).toString(),
              root.filePath("pose3/IMG.PNG"));

    // Selecting an image row sets both indices, a set row resets the image.
    auto* tree = w<QTreeView>(d, "imageTree");
    tree->setCurrentIndex(model->index(2, 0, model->index(0, 0)));
    EXPECT_EQ(d->currentSetIndex(), 0);
    EXPECT_EQ(d->currentImageIndex(), 2);
    tree->setCurrentIndex(model->index(1, 0));
    EXPECT_EQ(d->currentSetIndex(), 1);
    EXPECT_EQ(d->currentImageIndex(), 0);
    EXPECT_TRUE(d->loadSetImage(1, 5, SetImageMode::Grey).empty());
    EXPECT_EQ(d->loadSetImage(1, 1, SetImageMode::Colour).type(), CV_8UC3);

    // Every view tab copes with sets that are neither detected nor decoded.
    auto* tabs = w<QTabWidget>(d, "tab_img_view");
    for (int t = 0; t < tabs->count(); ++t)
        showTab(d, t);
    // An empty folder is refused and the tree keeps its sets.
    QTemporaryDir empty;
    d->loadImageFolder(empty.path());
    EXPECT_EQ(model->rowCount(), 2);
}

// During a run the controls that change sets, options or sensors are
// disabled and either calibrate button aborts it; the user's choice of sets
// survives the abort.
TEST_F(CamProjDialog, AbortDuringARunLeavesTheSetsAlone)
{
    Harness h;
    CamProjStereoCalib* d = h.dialog;
    setOptions(d);
    d->loadImageFolder(writePatternSets(work.path(), 3));
    bool lockedDuringRun = false, abortLive = false;
    QTimer::singleShot(0, d, [&] {
        lockedDuringRun = !w<QTreeView>(d, "imageTree")->isEnabled() &&
                          !w<QComboBox>(d, "combo_cam")->isEnabled() &&
                          !w<QLineEdit>(d, "edit_b")->isEnabled();
        auto* other = w<QPushButton>(d, "button_calibrate_projector");
        abortLive = other->isEnabled() && w<QPushButton>(d, "button_calibrate")->text() == "Abort";
        QTest::mouseClick(other, Qt::LeftButton);
    });
    QTest::mouseClick(w<QPushButton>(d, "button_calibrate"), Qt::LeftButton);
    EXPECT_TRUE(lockedDuringRun);
    EXPECT_TRUE(abortLive);
    QTextEdit* log = logOf(d);
    EXPECT_TRUE(logHas(log, "Calibration aborted", Qt::red));
    EXPECT_EQ(log->toPlainText().count("Calibration aborted"), 1);
    for (int s = 0; s < d->setCount(); ++s)
        EXPECT_TRUE(d->isSetChecked(s)) << s;
    EXPECT_EQ(w<QPushButton>(d, "button_calibrate")->text(), "Calibrate Stereo");
    EXPECT_EQ(w<QPushButton>(d, "button_calibrate_projector")->text(), "Calibrate Projector");
    EXPECT_TRUE(w<QTreeView>(d, "imageTree")->isEnabled());
    EXPECT_FALSE(d->isRunning());
}

// Camera and projector as the same sensor, or no projector: refused before
// any work.
TEST_F(CamProjDialog, SensorChoiceIsCheckedFirst)
{
    Harness h;
    CamProjStereoCalib* d = h.dialog;
    setOptions(d);
    d->loadImageFolder(writePatternSets(work.path(), 3));
    w<QComboBox>(d, "combo_projector")->setCurrentIndex(0);
    QTest::mouseClick(w<QPushButton>(d, "button_calibrate"), Qt::LeftButton);
    QTextEdit* log = logOf(d);
    EXPECT_TRUE(logHas(log, "same sensor", Qt::red));
    EXPECT_FALSE(log->toPlainText().contains("Detecting chessboards"));

    // Sensor names are refreshed and kept by name.
    w<QComboBox>(d, "combo_projector")->setCurrentIndex(1);
    h.tree.addSensor();
    EXPECT_EQ(w<QComboBox>(d, "combo_projector")->count(), 3);
    EXPECT_EQ(w<QComboBox>(d, "combo_projector")->currentText(), "Cam1");

    // Option interlocks.
    auto* fix1 = w<QCheckBox>(d, "check_fix_intrinsic1");
    fix1->setChecked(true);
    EXPECT_TRUE(w<QCheckBox>(d, "check_use_intrinsic_guess1")->isChecked());
    EXPECT_FALSE(w<QCheckBox>(d, "check_use_intrinsic_guess1")->isEnabled());
    EXPECT_TRUE(w<QCheckBox>(d, "check_fix_k1_1")->isChecked());
    fix1->setChecked(false);
    EXPECT_TRUE(w<QCheckBox>(d, "check_use_intrinsic_guess1")->isEnabled());
    EXPECT_TRUE(w<QCheckBox>(d, "check_fix_focal1")->isChecked());
    auto* radial = w<QGroupBox>(d, "group_use_radial_distortion");
    radial->setChecked(false);
    EXPECT_TRUE(w<QCheckBox>(d, "check_fix_k1")->isChecked());
    EXPECT_TRUE(w<QCheckBox>(d, "check_fix_k2")->isChecked());
    w<QRadioButton>(d, "radio_outlier_lmeds")->setChecked(true);
    EXPECT_FALSE(w<QLineEdit>(d, "edit_reproj_err")->isEnabled());
    w<QCheckBox>(d, "check_radon_detection")->setChecked(true);
    EXPECT_FALSE(w<QWidget>(d, "group_corner_subpix")->isEnabled());
}

namespace {

// Answers the next folder dialog with `folder` (an empty text cancels it).
void answerFolderDialog(const QString& folder)
{
    QTimer::singleShot(50, [folder] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        if (folder.isEmpty()) {
            dialog->reject();
            return;
        }
        dialog->setDirectory(folder);
        QMetaObject::invokeMethod(dialog, "accept");
    });
}

} // namespace

// "Generate Projector Images" writes the numbered patterns into the chosen
// folder; a size that is not positive or a folder that cannot be written is
// reported in red and nothing is claimed.
TEST_F(CamProjDialog, GeneratorWritesThePatternsOrSaysWhyNot)
{
    Harness h;
    CamProjStereoCalib* d = h.dialog;
    auto* generate = w<QPushButton>(d, "button_gen_images");
    w<QLineEdit>(d, "edit_proj_width")->setText("64");
    w<QLineEdit>(d, "edit_proj_height")->setText("32");
    // The folders lie inside the test's own folder, so that no pick can
    // reach outside it.
    const QString patterns = work.filePath("patterns"), readOnly = work.filePath("readonly");
    QDir().mkpath(patterns);
    QDir().mkpath(readOnly);
    answerFolderDialog(patterns);
    QTest::mouseClick(generate, Qt::LeftButton);
    QTextEdit* log = logOf(d);
    EXPECT_TRUE(logHas(log, "Saved 24 gray code images to " + patterns, Qt::black))
        << log->toPlainText().toStdString();
    EXPECT_EQ(QDir(patterns).entryList({"*.png"}, QDir::Files).size(), 24);

    // A cancelled dialog does nothing.
    const QString before = log->toPlainText();
    answerFolderDialog(QString());
    QTest::mouseClick(generate, Qt::LeftButton);
    EXPECT_EQ(log->toPlainText(), before);

    // A folder that cannot be written.
    QFile::setPermissions(readOnly, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    answerFolderDialog(readOnly);
    QTest::mouseClick(generate, Qt::LeftButton);
    const bool writable = QFileInfo(readOnly).isWritable(); // root may write anyway
    if (!writable) {
        EXPECT_TRUE(logHas(log, "Cannot write pattern images to " + readOnly, Qt::red))
            << log->toPlainText().toStdString();
        EXPECT_TRUE(QDir(readOnly).entryList({"*.png"}, QDir::Files).isEmpty());
    }
    QFile::setPermissions(readOnly, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    EXPECT_TRUE(QDir(work.path()).entryList({"*.png"}, QDir::Files).isEmpty());
}

// Closing the window during a run aborts the run; the window goes once the
// run has returned.
TEST_F(CamProjDialog, ClosingDuringARunAbortsItFirst)
{
    auto* tree = new SensorTree;
    tree->addSensor();
    tree->addSensor();
    std::vector<QString> names;
    tree->getSensorNames(names);
    QPointer<CamProjStereoCalib> d = new CamProjStereoCalib(nullptr, names);
    d->setAttribute(Qt::WA_DeleteOnClose);
    connectDialog(d.data(), tree);
    d->show();
    setOptions(d);
    d->loadImageFolder(writePatternSets(work.path(), 3));
    bool closedEarly = true;
    QTimer::singleShot(0, d, [&] {
        d->close();
        closedEarly = d.isNull() || !d->isVisible();
    });
    QTest::mouseClick(w<QPushButton>(d, "button_calibrate_projector"), Qt::LeftButton);
    EXPECT_FALSE(closedEarly);
    for (int i = 0; i < 5 && d; ++i) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    EXPECT_TRUE(d.isNull());
    delete tree;
}

// The generator's own images, used as captures, decode in the dialog to
// x = column and y = row; the decoded maps are cached until an option they
// depend on changes, the projector size among them.
TEST_F(CamProjDialog, PatternImagesDecodeToTheirPixelsAndTheCacheFollowsTheOptions)
{
    Harness h;
    CamProjStereoCalib* d = h.dialog;
    w<QLineEdit>(d, "edit_proj_width")->setText("64");
    w<QLineEdit>(d, "edit_proj_height")->setText("32");
    d->loadImageFolder(writePatternSets(work.path(), 2));
    ASSERT_EQ(d->decodeImageSets(), CamProjStereoCalib::RunStatus::Done);
    QTextEdit* log = logOf(d);
    EXPECT_EQ(numberColour(log, "Decoding image sets:", 1), QColor(Qt::green));
    ASSERT_EQ(decodedSets(d), 2);
    const cv::Mat& decoded = d->imageSetRecords()[1].decodedMap;
    ASSERT_EQ(decoded.size(), cv::Size(64, 32));
    int wrong = 0;
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 64; ++x)
            wrong += decoded.at<cv::Vec2f>(y, x) != cv::Vec2f(static_cast<float>(x), static_cast<float>(y));
    EXPECT_EQ(wrong, 0);

    // A second pass reuses the maps; the decoded views draw from them.
    ASSERT_EQ(d->decodeImageSets(), CamProjStereoCalib::RunStatus::Done);
    EXPECT_EQ(numberColour(log, "Decoding image sets:", 0), QColor(Qt::darkGreen));
    cv::Mat x, y;
    d->renderDecodedMaps(0, x, y);
    EXPECT_EQ(x.size(), cv::Size(64, 32));
    EXPECT_EQ(d->projectorView(0, false).size(), cv::Size(64, 32));

    // Options the maps depend on clear them; others keep them.
    w<QCheckBox>(d, "check_radon_detection")->setChecked(true);
    EXPECT_EQ(decodedSets(d), 2);
    w<QLineEdit>(d, "edit_proj_width")->setText("640");
    EXPECT_EQ(decodedSets(d), 0);
    d->decodeImageSets(); // 64 x 32 captures do not fit a 640 x 32 projector
    EXPECT_FALSE(d->isSetChecked(0));
    EXPECT_TRUE(logHas(log, "Image set 0 (pose0)", Qt::red));
    d->setSetChecked(0, true);
    d->setSetChecked(1, true);
    w<QLineEdit>(d, "edit_proj_width")->setText("64");
    d->decodeImageSets();
    w<QLineEdit>(d, "edit_b")->setText("50");
    EXPECT_EQ(decodedSets(d), 0);
}

// A number the run cannot use (0, or text that is not a number) stops it
// before any work, with a message that names its field.
TEST_F(CamProjDialog, AFieldThatIsNotAPositiveNumberStopsTheRunNamingIt)
{
    Harness h;
    CamProjStereoCalib* d = h.dialog;
    setOptions(d);
    d->loadImageFolder(writePatternSets(work.path(), 3));
    w<QGroupBox>(d, "group_proj_outliers")->setChecked(true);
    struct Case {
        const char* edit;
        const char* text;
        const char* field;
    };
    const Case cases[] = {
        {"edit_proj_width", "0", "Projector width"},
        {"edit_proj_height", "", "Projector height"},
        {"edit_homography_win", "0", "Homography window"},
        {"edit_reproj_err", "0", "Max. reprojection error"},
        {"edit_max_iterations", "0", "Max iterations"},
        {"edit_proj_outlier", "abc", "Outlier limit"},
    };
    QTextEdit* log = logOf(d);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.edit);
        auto* edit = w<QLineEdit>(d, c.edit);
        const QString before = edit->text();
        edit->setText(c.text);
        log->clear();
        QTest::mouseClick(w<QPushButton>(d, "button_calibrate_projector"), Qt::LeftButton);
        EXPECT_TRUE(logHas(log, QString("%1 '%2' is not a positive").arg(c.field, c.text), Qt::red))
            << log->toPlainText().toStdString();
        EXPECT_FALSE(log->toPlainText().contains("Detecting chessboards"));
        edit->setText(before);
    }
}

// "Calibrate Stereo" through the main window with the form's options (the
// camera without intrinsics in the tree, so not started from a guess):
// a refinement that converges says nothing more; one that reaches its step
// limit before converging says so in dark yellow, with the limit, how far a
// further step would still move the reprojections and what to do; one that
// stops before converging for another reason (an epsilon of 0 cannot be
// met) says so in the same words and colour, with its cause.
TEST_F(CamProjDialog, AStereoRunThatStopsBeforeConvergingSaysSo)
{
    const DialogFromMainWindow opened;
    CamProjStereoCalib* d = opened.dialog;
    ASSERT_NE(d, nullptr);
    dialog_test::setBoard(d, cv::Size(9, 6), "30");
    w<QLineEdit>(d, "edit_proj_width")->setText("800");
    w<QLineEdit>(d, "edit_proj_height")->setText("600");
    w<QCheckBox>(d, "check_use_intrinsic_guess1")->setChecked(false);
    EXPECT_EQ(w<QLineEdit>(d, "edit_max_iterations")->text(), "100");
    EXPECT_EQ(w<QLineEdit>(d, "edit_accuracy")->text(), "0.001");
    d->loadImageFolder(sets().dir.path());

    const QString warning = "[WARNING] The optimization stopped at its limit of ";
    QTextEdit* log = logOf(d);
    QTest::mouseClick(w<QPushButton>(d, "button_calibrate"), Qt::LeftButton);
    ASSERT_TRUE(logHas(log, "Stereo parameters saved to", Qt::black)) << log->toPlainText().toStdString();
    EXPECT_FALSE(log->toPlainText().contains(warning));

    w<QLineEdit>(d, "edit_max_iterations")->setText("1");
    w<QLineEdit>(d, "edit_accuracy")->setText("1e-9");
    log->clear();
    QTest::mouseClick(w<QPushButton>(d, "button_calibrate"), Qt::LeftButton);
    ASSERT_TRUE(logHas(log, "Stereo parameters saved to", Qt::black)) << log->toPlainText().toStdString();
    const QRegularExpression text(
        "The optimization stopped at its limit of 1 iterations before converging: a further step would "
        "still move the reprojected points by ([0-9.e+-]+) px, more than the epsilon 1e-09 px. Raise the "
        "maximum number of iterations and calibrate again.");
    const QRegularExpressionMatch match = text.match(log->toPlainText());
    ASSERT_TRUE(match.hasMatch()) << log->toPlainText().toStdString();
    EXPECT_GT(match.captured(1).toDouble(), 1e-9);
    EXPECT_TRUE(logHas(log, warning, Qt::darkYellow));

    w<QLineEdit>(d, "edit_max_iterations")->setText("100");
    w<QLineEdit>(d, "edit_accuracy")->setText("0");
    log->clear();
    QTest::mouseClick(w<QPushButton>(d, "button_calibrate"), Qt::LeftButton);
    ASSERT_TRUE(logHas(log, "Stereo parameters saved to", Qt::black)) << log->toPlainText().toStdString();
    EXPECT_TRUE(logHas(log, "[WARNING] The optimization stopped before converging: ", Qt::darkYellow))
        << log->toPlainText().toStdString();
    EXPECT_TRUE(log->toPlainText().contains(", more than the epsilon 0 px."));
}

// The usual road: the camera's intrinsics come from a separate calibration
// (0.6 % off in the focal length), the projector is calibrated first, and
// "Calibrate Stereo" starts from both, with the form's options and with the
// aspect ratios free. With the form's criteria the refinement must end where
// criteria far tighter do, not report success short of it: with free aspect
// ratios a step that changes the parameters by less than 0.001 of their size
// leaves the pose 0.05 degrees and fx 0.1 px from there.
TEST_F(CamProjDialog, AStereoRunFromImportedIntrinsicsConvergesWithTheFormsOptions)
{
    const synth::CamProjTruth& truth = sets().truth;
    const DialogFromMainWindow opened;
    MainWindow* main = opened.main;
    CamProjStereoCalib* d = opened.dialog;
    ASSERT_NE(d, nullptr);
    cv::Mat K = cv::Mat(truth.rig.camera.K).clone();
    K.at<double>(0, 0) *= 1.006;
    K.at<double>(1, 1) *= 1.006;
    dialog_test::setBoard(d, cv::Size(9, 6), "30");
    w<QLineEdit>(d, "edit_proj_width")->setText("800");
    w<QLineEdit>(d, "edit_proj_height")->setText("600");
    d->loadImageFolder(sets().dir.path());
    QTextEdit* log = logOf(d);
    QTest::mouseClick(w<QPushButton>(d, "button_calibrate_projector"), Qt::LeftButton);
    ASSERT_TRUE(logHas(log, "Projector intrinsics saved to", Qt::black)) << log->toPlainText().toStdString();
    const Sensor projector = main->sensorTree()->getSensors()[1];
    ASSERT_EQ(w<QLineEdit>(d, "edit_max_iterations")->text(), "100");
    ASSERT_TRUE(w<QCheckBox>(d, "check_fix_aspect_ratio1")->isChecked());
    ASSERT_TRUE(w<QCheckBox>(d, "check_fix_aspect_ratio2")->isChecked());

    for (const bool fixAspectRatio : {true, false}) {
        SCOPED_TRACE(fixAspectRatio ? "the form's options" : "aspect ratios free");
        w<QCheckBox>(d, "check_fix_aspect_ratio1")->setChecked(fixAspectRatio);
        w<QCheckBox>(d, "check_fix_aspect_ratio2")->setChecked(fixAspectRatio);
        // The form's criteria, then criteria far tighter than any use needs,
        // each run from the same start: the camera's imported and the
        // projector's calibrated intrinsics.
        struct Result {
            cv::Mat R, T, K;
        } form, converged;
        for (Result* r : {&form, &converged}) {
            const bool tight = r == &converged;
            main->sensorTree()->updateIntrinsicsIdx(0, K.clone(), truth.rig.camera.kc.clone(),
                                                    truth.rig.camera.size);
            main->sensorTree()->updateIntrinsicsIdx(1, projector.K.clone(), projector.kc.clone(),
                                                    projector.imgSize);
            w<QLineEdit>(d, "edit_accuracy")->setText(tight ? "1e-12" : "0.001");
            log->clear();
            QTest::mouseClick(w<QPushButton>(d, "button_calibrate"), Qt::LeftButton);
            ASSERT_TRUE(logHas(log, "Stereo parameters saved to", Qt::black))
                << log->toPlainText().toStdString();
            // (Criteria this tight may end where double precision no longer
            // tells the steps apart, short of their epsilon, which is said.)
            if (!tight) {
                EXPECT_FALSE(log->toPlainText().contains("[WARNING]")) << log->toPlainText().toStdString();
            }
            *r = {d->stereoRotation().clone(), d->stereoTranslation().clone(), d->cameraMatrix().clone()};
        }

        // With the form's criteria the run ends where the tight criteria do ...
        EXPECT_LT(rotationAngleDeg(form.R, converged.R), 0.005);
        EXPECT_LT(cv::norm(form.T - converged.T), 0.01);
        EXPECT_NEAR(form.K.at<double>(0, 0), converged.K.at<double>(0, 0), 0.02);
        // ... which is the truth within what six poses can tell.
        const double baseline = truth.rig.baseline();
        const double fx = truth.rig.camera.K(0, 0);
        EXPECT_LT(rotationAngleDeg(form.R, cv::Mat(truth.rig.R_proj_cam)), kMaxRotationDeg);
        EXPECT_LT(cv::norm(form.T - cv::Mat(truth.rig.t_proj_cam)), 0.01 * baseline);
        EXPECT_NEAR(form.K.at<double>(0, 0), fx, 0.005 * fx);
    }
}

// The stereo run's model has five coefficients: a camera or projector whose
// intrinsics in the tree hold k4-k6 (from a rational calibration) starts from
// the first five and comes back with five. The run goes on, and the log
// names each device and the non-zero coefficients left out, in dark yellow.
TEST_F(CamProjDialog, AStereoRunSaysWhichStartCoefficientsItLeavesOut)
{
    const synth::CamProjTruth& truth = sets().truth;
    const DialogFromMainWindow opened;
    CamProjStereoCalib* d = opened.dialog;
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(w<QCheckBox>(d, "check_use_intrinsic_guess1")->isChecked());
    ASSERT_TRUE(w<QCheckBox>(d, "check_use_intrinsic_guess2")->isChecked());
    dialog_test::setBoard(d, cv::Size(9, 6), "30");
    w<QLineEdit>(d, "edit_proj_width")->setText("800");
    w<QLineEdit>(d, "edit_proj_height")->setText("600");
    const synth::Camera* devices[2] = {&truth.rig.camera, &truth.rig.projector};
    const cv::Vec3d k456[2] = {{0.02, 0, -0.01}, {0, 0.005, 0}};
    for (int k = 0; k < 2; ++k) {
        cv::Mat kc8 = cv::Mat::zeros(1, 8, CV_64F);
        devices[k]->kc.copyTo(kc8.colRange(0, 5));
        cv::Mat(k456[k]).reshape(1, 1).copyTo(kc8.colRange(5, 8));
        opened.main->sensorTree()->updateIntrinsicsIdx(k, cv::Mat(devices[k]->K), kc8, devices[k]->size);
    }
    d->loadImageFolder(sets().dir.path());
    QTextEdit* log = logOf(d);
    QTest::mouseClick(w<QPushButton>(d, "button_calibrate"), Qt::LeftButton);
    ASSERT_TRUE(logHas(log, "Stereo parameters saved to", Qt::black)) << log->toPlainText().toStdString();

    const QString lines[2] = {
        "[WARNING] Cam0's start values hold k4 = 0.02, k6 = -0.01, which the five-coefficient model leaves "
        "out: the run starts from k1, k2, p1, p2, k3 only, and Cam0's result has 5 coefficients in place of "
        "8.",
        "[WARNING] Cam1's start values hold k5 = 0.005, which the five-coefficient model leaves out: the run "
        "starts from k1, k2, p1, p2, k3 only, and Cam1's result has 5 coefficients in place of 8."};
    const QStringList logLines = log->toPlainText().split('\n');
    for (const QString& line : lines) {
        EXPECT_TRUE(logLines.contains(line)) << log->toPlainText().toStdString();
        EXPECT_TRUE(logHas(log, line, Qt::darkYellow));
    }
    for (const Sensor& sensor : opened.main->sensorTree()->getSensors())
        EXPECT_EQ(sensor.kc.total(), 5u) << sensor.name;
}

// A folder without one subfolder of images per pose gives no sets; opening
// it says what layout is expected, and when the folder holds the images of a
// pose itself, that its parent is the folder to open.
TEST_F(CamProjDialog, AFolderWithoutSetsSaysWhatItShouldHold)
{
    const DialogFromMainWindow opened(1);
    CamProjStereoCalib* d = opened.dialog;
    ASSERT_NE(d, nullptr);
    const QString pose = work.filePath("pose00"), empty = work.filePath("empty");
    writePatternSets(work.path(), 1);
    QDir().rename(work.filePath("pose0"), pose);
    QDir().mkpath(empty);
    QTextEdit* log = logOf(d);
    const QString title = d->windowTitle();
    struct Case {
        QString folder;
        bool looseImages;
    };
    for (const Case& c : {Case{pose, true}, Case{empty, false}}) {
        SCOPED_TRACE(c.folder.toStdString());
        log->clear();
        answerFolderDialog(c.folder);
        QTest::mouseClick(w<QPushButton>(d, "change_dir_button"), Qt::LeftButton);
        EXPECT_EQ(d->setCount(), 0);
        EXPECT_EQ(d->windowTitle(), title);
        EXPECT_TRUE(
            logHas(log, "No image sets in " + c.folder + ": expected one subfolder per board pose", Qt::red))
            << log->toPlainText().toStdString();
        EXPECT_TRUE(log->toPlainText().contains("00 white, 01 black"));
        EXPECT_EQ(log->toPlainText().contains("open the folder above it"), c.looseImages);
    }
    // A folder of sets says nothing of the kind.
    log->clear();
    answerFolderDialog(work.path());
    QTest::mouseClick(w<QPushButton>(d, "change_dir_button"), Qt::LeftButton);
    EXPECT_EQ(d->setCount(), 1);
    EXPECT_FALSE(log->toPlainText().contains("No image sets"));
}

namespace {

// The props of the dialog's 3D view.
size_t sceneProps(QWidget* d)
{
    auto* vtk = w<QVTKOpenGLNativeWidget>(d, "widget_vtk");
    return testing_support::props(vtk->renderWindow()->GetRenderers()->GetFirstRenderer()).size();
}

// Share of the view's pixels in the plain grey of a view without data.
double emptyViewShare(QWidget* d, const char* view)
{
    const QImage image = w<QWidget>(d, view)->grab().toImage().convertToFormat(QImage::Format_RGB32);
    size_t grey = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            grey += image.pixel(x, y) == qRgb(96, 96, 96);
    return double(grey) / std::max(1, image.width() * image.height());
}

bool rowHasErrorColour(CamProjStereoCalib* d, int set)
{
    const QVariant v = d->imageSetModel()->data(d->imageSetModel()->index(set, 0), Qt::BackgroundRole);
    return v.isValid() && v.value<QColor>() != QColor(Qt::white);
}

} // namespace

// Every view shows the data of the last run, or that there is none: after a
// second run of the other kind, after a failed run, after the maps are
// dropped and after another folder is opened.
TEST_F(CamProjDialog, ViewsShowTheLastRunOrThatThereIsNone)
{
    const DialogFromMainWindow opened;
    CamProjStereoCalib* d = opened.dialog;
    ASSERT_NE(d, nullptr);
    setOptions(d);
    const size_t emptyScene = sceneProps(d);
    d->loadImageFolder(sets().dir.path());
    auto* cameraErrors = w<QWidget>(d, "group_reproj_err_cam");
    auto* projectorErrors = w<QWidget>(d, "group_reproj_err_proj");

    QTest::mouseClick(w<QPushButton>(d, "button_calibrate"), Qt::LeftButton);
    ASSERT_TRUE(logHas(logOf(d), "Stereo parameters saved to", Qt::black));
    showTab(d, 0);
    EXPECT_TRUE(cameraErrors->isVisible());

    // The projector run leaves the camera without poses: no camera errors.
    QTest::mouseClick(w<QPushButton>(d, "button_calibrate_projector"), Qt::LeftButton);
    ASSERT_TRUE(logHas(logOf(d), "Projector intrinsics saved to", Qt::black));
    showTab(d, 0);
    EXPECT_FALSE(cameraErrors->isVisible());
    showTab(d, 1);
    EXPECT_TRUE(projectorErrors->isVisible());
    EXPECT_GT(sceneProps(d), emptyScene);
    EXPECT_TRUE(rowHasErrorColour(d, 0));

    // A stereo run that fails leaves no result in any view.
    for (int s = 2; s < d->setCount(); ++s)
        d->setSetChecked(s, false);
    QTest::mouseClick(w<QPushButton>(d, "button_calibrate"), Qt::LeftButton);
    ASSERT_TRUE(logHas(logOf(d), "Use at least 3 image sets, aborting...", Qt::red));
    EXPECT_FALSE(projectorErrors->isVisible());
    showTab(d, 0);
    EXPECT_FALSE(cameraErrors->isVisible());
    EXPECT_EQ(sceneProps(d), emptyScene);
    for (int s = 0; s < d->setCount(); ++s)
        EXPECT_FALSE(rowHasErrorColour(d, s)) << s;

    // Dropped maps are not shown as if they were there.
    showTab(d, 2);
    EXPECT_LT(emptyViewShare(d, "decode_x"), 0.05);
    w<QLineEdit>(d, "edit_m")->setText("6");
    showTab(d, 3);
    EXPECT_GT(emptyViewShare(d, "decode_y"), 0.2);
    showTab(d, 2);
    EXPECT_GT(emptyViewShare(d, "decode_x"), 0.2);

    // Another folder: nothing of the old one stays in sight.
    showTab(d, 0);
    EXPECT_LT(emptyViewShare(d, "cam_view"), 0.05);
    const QImage oldView = w<QWidget>(d, "cam_view")->grab().toImage();
    QTemporaryDir other;
    d->loadImageFolder(writePatternSets(other.path(), 1));
    QCoreApplication::processEvents();
    ASSERT_EQ(d->setCount(), 1);
    EXPECT_NE(w<QWidget>(d, "cam_view")->grab().toImage(), oldView);
    EXPECT_EQ(sceneProps(d), emptyScene);
    showTab(d, 2);
    EXPECT_GT(emptyViewShare(d, "decode_x"), 0.2);
    saveShot(d, "camproj_other_folder.png");
}

// A folder that is refused for its layout is only reported: the sets already
// loaded keep their detections and results, the window its title, and the
// results still go to the folder of those sets.
TEST_F(CamProjDialog, ARefusedFolderLeavesTheLoadedSetsAlone)
{
    const DialogFromMainWindow opened;
    CamProjStereoCalib* d = opened.dialog;
    ASSERT_NE(d, nullptr);
    setOptions(d);
    const QString folder = sets().dir.path();
    answerFolderDialog(folder);
    QTest::mouseClick(w<QPushButton>(d, "change_dir_button"), Qt::LeftButton);
    QTest::mouseClick(w<QPushButton>(d, "button_calibrate_projector"), Qt::LeftButton);
    ASSERT_TRUE(logHas(logOf(d), "Projector intrinsics saved to", Qt::black));
    const QString title = d->windowTitle();
    const std::vector<CamProjSet> before = d->imageSetRecords();
    const size_t scene = sceneProps(d);
    const QImage view = w<QWidget>(d, "cam_view")->grab().toImage();
    ASSERT_EQ(before.size(), 6u);

    const QString pose = work.filePath("pose00"), empty = work.filePath("empty");
    writePatternSets(work.path(), 1);
    QDir().rename(work.filePath("pose0"), pose);
    QDir().mkpath(empty);
    for (const QString& refused : {pose, empty}) {
        SCOPED_TRACE(refused.toStdString());
        answerFolderDialog(refused);
        QTest::mouseClick(w<QPushButton>(d, "change_dir_button"), Qt::LeftButton);
        EXPECT_TRUE(logHas(logOf(d), "No image sets in " + refused, Qt::red));
        EXPECT_EQ(d->windowTitle().toStdString(), title.toStdString());
        EXPECT_EQ(d->imageFolder().toStdString(), folder.toStdString());
        ASSERT_EQ(d->setCount(), 6);
        const std::vector<CamProjSet>& after = d->imageSetRecords();
        ASSERT_EQ(after.size(), before.size());
        for (size_t s = 0; s < after.size(); ++s) {
            SCOPED_TRACE(s);
            EXPECT_EQ(after[s].camCorners, before[s].camCorners);
            EXPECT_EQ(after[s].projCorners, before[s].projCorners);
            EXPECT_TRUE(after[s].detected());
            EXPECT_TRUE(after[s].decoded());
            ASSERT_TRUE(after[s].proj.has_value());
            EXPECT_EQ(after[s].proj->error, before[s].proj->error);
            EXPECT_TRUE(rowHasErrorColour(d, static_cast<int>(s)));
        }
        EXPECT_EQ(sceneProps(d), scene);
        EXPECT_EQ(w<QWidget>(d, "cam_view")->grab().toImage(), view);
    }
    saveShot(d, "camproj_refused_folder.png");
    // The next run goes on with the sets, reusing their detections.
    logOf(d)->clear();
    QTest::mouseClick(w<QPushButton>(d, "button_calibrate_projector"), Qt::LeftButton);
    EXPECT_TRUE(logHas(logOf(d), "Projector intrinsics saved to " + folder + "/Proj-Intr.yml", Qt::black));
    EXPECT_EQ(numberColour(logOf(d), "Detecting chessboards:", 0), QColor(Qt::darkGreen));
}

namespace {

// Tabs of a tab widget that are not wholly in sight.
QStringList hiddenTabs(QTabWidget* tabs)
{
    QStringList hidden;
    QTabBar* bar = tabs->tabBar();
    for (int i = 0; i < bar->count(); ++i)
        if (!bar->rect().contains(bar->tabRect(i)))
            hidden << bar->tabText(i);
    return hidden;
}

} // namespace

// At its default size the dialog shows every text whole; the Gray code boxes
// stay at most 35 px wide, and the option panels grow with the window.
TEST_F(CamProjDialog, AtItsDefaultSizeNoTextIsCutOff)
{
    const DialogFromMainWindow opened;
    CamProjStereoCalib* d = opened.dialog;
    ASSERT_NE(d, nullptr);
    QCoreApplication::processEvents();
    // The form's size, wider where the texts need it.
    EXPECT_GE(d->width(), 950);
    EXPECT_LE(d->width(), 1200);
    EXPECT_EQ(d->height(), 900);
    auto* views = w<QTabWidget>(d, "tab_img_view");
    auto* options = w<QTabWidget>(d, "tab_calibration_options");
    auto* stereoOptions = w<QTabWidget>(d, "tab_calib_options");
    EXPECT_TRUE(hiddenTabs(views).isEmpty()) << hiddenTabs(views).join(", ").toStdString();
    EXPECT_TRUE(testing_support::cutOffTexts(w<QWidget>(d, "widget_left")).isEmpty());
    for (int page = 0; page < options->count(); ++page) {
        options->setCurrentIndex(page);
        for (int inner = 0; inner < stereoOptions->count(); ++inner) {
            stereoOptions->setCurrentIndex(inner);
            QCoreApplication::processEvents();
            QCoreApplication::processEvents();
            SCOPED_TRACE(options->tabText(page).toStdString() + " / " +
                         stereoOptions->tabText(inner).toStdString());
            for (QTabWidget* tabs : {options, stereoOptions})
                EXPECT_TRUE(!tabs->isVisible() || hiddenTabs(tabs).isEmpty())
                    << hiddenTabs(tabs).join(", ").toStdString();
            const QStringList cut = testing_support::cutOffTexts(options->currentWidget());
            EXPECT_TRUE(cut.isEmpty()) << cut.join("\n").toStdString();
            saveShot(d, QString("camproj_default_%1_%2.png").arg(page).arg(inner));
        }
    }
    EXPECT_LE(w<QLineEdit>(d, "edit_m")->width(), 35);
    EXPECT_LE(w<QLineEdit>(d, "edit_b")->width(), 35);

    const int narrow = options->width();
    d->resize(1400, 900);
    QCoreApplication::processEvents();
    EXPECT_GT(options->width(), narrow);
}
