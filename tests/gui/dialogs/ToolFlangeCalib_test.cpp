// The robot-world dialog opened from the main window and driven as a user
// drives it: board images of a known fixed camera watching a target on a
// known robot, TCP files in XML and text, in m and mm; the results against
// the truth, in the result file, the sensor tree and the result view; the
// bad-input paths; the run lock and closing during a run.

#include "gui/dialogs/ToolFlangeCalib.h"
#include "gui/shell/MainWindow.h"
#include "gui/shell/SensorTree.h"
#include "gui/shell/dialog_wiring.h"

#include "dialog_test_helpers.h"
#include "robot_chain.h"
#include "robot_dialog_test_helpers.h"
#include "screenshots.h"
#include "test_helpers.h"
#include "vtk_test_helpers.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <functional>

using dialog_test::logHas;
using robot_chain::TcpFormat;
using robot_dialog_test::RenderedChain;

namespace {

// Clean renders of a fixed camera 0.6 m from the board.
constexpr double kMaxDeg = 0.1;
constexpr double kMaxMm = 1.0;

const QColor kRed(Qt::red), kBlack(Qt::black);

class ToolFlangeDialog : public robot_dialog_test::RobotDialogFixture<ToolFlangeCalib> {
public:
    static void SetUpTestSuite()
    {
        renderScene([](const RenderedChain& s) {
            return robot_chain::robotWorldChain(s.cam, s.pattern, s.square, 8, 77);
        });
    }

    // The dialog from its button, the camera calibrated unless told otherwise.
    void open(bool calibrated = true) { openFromButton("button_tool_flange", calibrated, true); }
    QString resultFile() const { return QDir(scene->folder).filePath("AX-YB.yml"); }
};

TEST_F(ToolFlangeDialog, MainWindowRunFindsCameraAndTargetInEveryFileFormat)
{
    struct Case {
        const char* what;
        TcpFormat format;
        bool metres;
        const char* file;
    } cases[] = {{"XML in metres", TcpFormat::Xml, true, "poses.xml"},
                 {"text in millimetres", TcpFormat::Text, false, "poses.txt"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(resultFile());
        open();
        EXPECT_EQ(w<QComboBox>("combo_robot")->currentText(), "robot");
        EXPECT_EQ(dialog->windowTitle(), "Tool / Flange Calibration");
        (c.metres ? w<QRadioButton>("radio_m") : w<QRadioButton>("radio_mm"))->setChecked(true);
        QSignalSpy emitted(dialog, &ToolFlangeCalib::updateSecondaryExtrinsics);

        dialog->openImages(scene->images);
        EXPECT_EQ(dialog->windowTitle(), "Camera/Robot and Tool/Flange Calibration - " + scene->folder);
        dialog->openTcpFile(scene->tcpFile(c.file, c.format, c.metres));
        EXPECT_TRUE(logHas(log(), "Found 8 tcp entries", kBlack)) << logText().toStdString();
        ASSERT_EQ(w<QListWidget>("list_positions")->count(), 8);
        EXPECT_TRUE(w<QGroupBox>("group_TCP_positions")->isVisible());

        calibrate();
        ASSERT_TRUE(dialog->hasResult()) << logText().toStdString();
        EXPECT_POSE_NEAR(dialog->cameraRotation(), dialog->cameraTranslation(), scene->chain.Y.R,
                         scene->chain.Y.t, kMaxDeg, kMaxMm);
        EXPECT_POSE_NEAR(dialog->targetRotation(), dialog->targetTranslation(), scene->chain.X.R,
                         scene->chain.X.t, kMaxDeg, kMaxMm);
        EXPECT_TRUE(logText().contains("Extrinsics: Cam0 w.r.t. robot"));
        EXPECT_TRUE(logText().contains("Extrinsics saved to " + resultFile()));
        EXPECT_TRUE(logText().contains("RMS 3D-Error of all calibration points: "));
        EXPECT_EQ(w<QProgressBar>("progress_bar")->value(), w<QProgressBar>("progress_bar")->maximum());

        // The file holds what the dialog found, under its four keys in order.
        cv::FileStorage fs(resultFile().toStdString(), cv::FileStorage::READ);
        ASSERT_TRUE(fs.isOpened());
        std::vector<std::string> keys;
        for (const cv::FileNode& n : fs.root())
            keys.push_back(n.name());
        EXPECT_EQ(keys, (std::vector<std::string>{"RY", "tY", "RX", "tX"}));
        cv::Mat RY, tX;
        fs["RY"] >> RY;
        fs["tX"] >> tX;
        EXPECT_MAT_NEAR(RY, dialog->cameraRotation(), 1e-12);
        EXPECT_MAT_NEAR(tX, dialog->targetTranslation(), 1e-12);

        // The robot base is placed relative to the camera in the scene.
        ASSERT_EQ(emitted.count(), 1);
        const std::vector<Sensor> sensors = main->sensorTree()->getSensors();
        EXPECT_POSE_NEAR(sensors[1].R, sensors[1].t, scene->chain.Y.R, scene->chain.Y.t, kMaxDeg, kMaxMm);

        // The result view of one row: both lists on it, the errors shown.
        w<QListWidget>("list_images")->setCurrentRow(2);
        EXPECT_TRUE(w<QListWidget>("list_positions")->item(2)->isSelected());
        EXPECT_TRUE(w<QGroupBox>("group_3d_err")->isVisible());
        EXPECT_TRUE(w<QLabel>("label_rms_err")->text().startsWith("RMS: "));
        EXPECT_TRUE(w<QLabel>("label_rms_err")->text().endsWith(" px"));
        EXPECT_TRUE(w<QLabel>("label_rms_3d")->text().endsWith(" mm"));
        EXPECT_TRUE(w<QLabel>("label_rot_err")->text().endsWith(QChar(0x00B0)));
        const auto& poseErrors = dialog->poseErrorList();
        ASSERT_EQ(poseErrors.size(), 8u);
        EXPECT_EQ(w<QLabel>("label_rms_3d")->text(),
                  "RMS: " + QString::number(poseErrors[2][0], 'f', 4) + " mm");
        for (const cv::Vec3d& e : poseErrors) {
            EXPECT_LT(e[0], kMaxMm);
            EXPECT_LT(e[2], kMaxDeg);
        }
        const TcpPose& p2 = dialog->poses()[2];
        // The position as the file holds it, with the unit chosen for the file.
        EXPECT_EQ(w<QLabel>("label_x")->text(),
                  QString("X: %1 %2").arg(p2.x, 7, 'f', 4).arg(c.metres ? "m" : "mm"));
        EXPECT_GT(testing_support::props(dialog->sceneRenderer()).size(), 3u);
        EXPECT_TRUE(dialog->grab().save(
            testing_support::screenshotPath(QString("tool_flange_%1.png").arg(c.metres ? "m" : "mm"))));

        delete main.data();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

// The pose options reach every image: RANSAC reports its inliers per image,
// EP3P keeps the four outer corners; both still find the cell.
TEST_F(ToolFlangeDialog, PoseOptionsReachEveryImage)
{
    for (const bool p3p : {false, true}) {
        SCOPED_TRACE(p3p ? "EP3P" : "iterative with RANSAC");
        open();
        if (p3p)
            w<QRadioButton>("radio_EP3P")->setChecked(true);
        else
            w<QGroupBox>("group_ransac")->setChecked(true);
        // With 100 iterations and 1 px the iterative solver's minimal samples
        // settle on a wrong pose with 7 inliers in one of these views; a wider
        // threshold keeps every corner.
        w<QLineEdit>("edit_iterations")->setText("500");
        w<QLineEdit>("edit_reproj_err")->setText("3.0");
        EXPECT_EQ(w<QGroupBox>("group_ransac")->isEnabled(), !p3p);
        dialog->openImages(scene->images);
        dialog->openTcpFile(scene->tcpFile("poses.xml", TcpFormat::Xml, true));
        calibrate();
        ASSERT_TRUE(dialog->hasResult()) << logText().toStdString();
        EXPECT_EQ(logText().contains("view03.png inliers: 54"), !p3p) << logText().toStdString();
        // Four points locate the camera less well than 54.
        const double mm = p3p ? 10 * kMaxMm : kMaxMm, deg = p3p ? 10 * kMaxDeg : kMaxDeg;
        EXPECT_POSE_NEAR(dialog->cameraRotation(), dialog->cameraTranslation(), scene->chain.Y.R,
                         scene->chain.Y.t, deg, mm)
            << logText().toStdString();
        w<QListWidget>("list_images")->setCurrentRow(3);
        EXPECT_TRUE(w<QLabel>("label_rms_err")->text().endsWith(" px"));
        closeMain();
    }
}

// "Invert TCP" inverts a copy for the solver: the loaded poses stay as read,
// and TCP poses written base-in-TCP give the same cell.
TEST_F(ToolFlangeDialog, InvertTcpLeavesTheLoadedPosesAlone)
{
    std::vector<robot_chain::Pose> inverted;
    for (const auto& p : scene->chain.tcp)
        inverted.push_back(robot_chain::inverse(p));
    open();
    w<QRadioButton>("radio_mm")->setChecked(true);
    w<QCheckBox>("check_invert_TCP")->setChecked(true);
    dialog->openImages(scene->images);
    dialog->openTcpFile(scene->tcpFile("inverted.txt", TcpFormat::Text, false, &inverted));
    const std::vector<TcpPose> before = dialog->poses();
    for (int run = 0; run < 2; ++run) {
        calibrate();
        ASSERT_TRUE(dialog->hasResult()) << logText().toStdString();
        EXPECT_POSE_NEAR(dialog->cameraRotation(), dialog->cameraTranslation(), scene->chain.Y.R,
                         scene->chain.Y.t, kMaxDeg, kMaxMm);
        ASSERT_EQ(dialog->poses().size(), before.size());
        EXPECT_EQ(dialog->poses()[3].x, before[3].x);
        EXPECT_EQ(dialog->poses()[3].rz, before[3].rz);
    }
}

TEST_F(ToolFlangeDialog, BadInputsGiveClearMessagesAndNoResult)
{
    // A folder with two boards and three images without one.
    QTemporaryDir fewDir;
    QStringList few;
    for (int i = 0; i < 5; ++i) {
        const QString path = QDir(fewDir.path()).filePath(QString("img%1.png").arg(i));
        if (i < 2)
            QFile::copy(scene->images[i], path);
        else
            cv::imwrite(path.toStdString(), cv::Mat(600, 800, CV_8UC3, cv::Scalar::all(110)));
        few << path;
    }
    // A folder the result cannot be written to.
    QTemporaryDir lockedDir;
    QStringList locked;
    for (int i = 0; i < 8; ++i) {
        const QString path = QDir(lockedDir.path()).filePath(QFileInfo(scene->images[i]).fileName());
        QFile::copy(scene->images[i], path);
        locked << path;
    }

    struct Case {
        const char* what;
        std::function<void(ToolFlangeDialog&)> prepare;
        QString message;
        QColor colour;
    };
    const std::vector<Case> cases = {
        {"no TCP file, one image unchecked",
         [](ToolFlangeDialog& t) {
             t.dialog->openImages(scene->images);
             t.w<QListWidget>("list_images")->item(1)->setCheckState(Qt::Unchecked);
         },
         "Tool center point positions are empty, aborting...", kBlack},
        {"counts differ",
         [](ToolFlangeDialog& t) {
             std::vector<robot_chain::Pose> seven(scene->chain.tcp.begin(), scene->chain.tcp.end() - 1);
             t.dialog->openImages(scene->images);
             t.dialog->openTcpFile(scene->tcpFile("seven.xml", TcpFormat::Xml, true, &seven));
         },
         "Number of images (8) differs from the number of tool center point positions (7), aborting...",
         kBlack},
        {"a TCP file that failed to read",
         [](ToolFlangeDialog& t) {
             QFile f(QDir(scene->folder).filePath("broken.txt"));
             f.open(QIODevice::WriteOnly);
             f.write("1 2 3 0 0 0\n4 5 6 0 0 0\nnot a pose\n");
             f.close();
             t.dialog->openImages(scene->images);
             t.dialog->openTcpFile(f.fileName());
             EXPECT_EQ(t.w<QListWidget>("list_positions")->count(), 2);
             EXPECT_EQ(t.dialog->poses().size(), 2u);
         },
         "The TCP file could not be read completely", kRed},
        {"fewer than 3 boards",
         [&few](ToolFlangeDialog& t) {
             std::vector<robot_chain::Pose> five(scene->chain.tcp.begin(), scene->chain.tcp.begin() + 5);
             t.dialog->openImages(few);
             t.dialog->openTcpFile(scene->tcpFile("five.xml", TcpFormat::Xml, true, &five));
         },
         "At least 3 targets have to be detected, aborting...", kBlack},
        {"square size zero",
         [](ToolFlangeDialog& t) {
             t.dialog->openImages(scene->images);
             t.dialog->openTcpFile(scene->tcpFile("poses.xml", TcpFormat::Xml, true));
             t.w<QLineEdit>("edit_corners_width")->setText("0");
         },
         "Square width '0' is not a positive number, aborting...", kRed},
        {"RANSAC confidence of 100 %",
         [](ToolFlangeDialog& t) {
             t.dialog->openImages(scene->images);
             t.dialog->openTcpFile(scene->tcpFile("poses.xml", TcpFormat::Xml, true));
             t.w<QGroupBox>("group_ransac")->setChecked(true);
             t.w<QLineEdit>("edit_confidence")->setText("100");
         },
         "RANSAC confidence '100' must be a whole number between 0 and 100 %, aborting...", kRed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(resultFile());
        open();
        QSignalSpy emitted(dialog, &ToolFlangeCalib::updateSecondaryExtrinsics);
        c.prepare(*this);
        calibrate();
        EXPECT_TRUE(logHas(log(), c.message, c.colour)) << logText().toStdString();
        EXPECT_FALSE(dialog->hasResult());
        EXPECT_TRUE(dialog->cameraRotation().empty());
        EXPECT_EQ(emitted.count(), 0);
        EXPECT_FALSE(QFile::exists(resultFile()));
        EXPECT_FALSE(QFile::exists(QDir(fewDir.path()).filePath("AX-YB.yml")));
        delete main.data();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // An uncalibrated camera.
    open(false);
    dialog->openImages(scene->images);
    dialog->openTcpFile(scene->tcpFile("poses.xml", TcpFormat::Xml, true));
    calibrate();
    EXPECT_TRUE(logHas(log(), "Camera 'Cam0' must be calibrated!", kRed)) << logText().toStdString();
    EXPECT_FALSE(dialog->hasResult());
    delete main.data();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    // A result file that cannot be written (a folder stands in its place, which
    // stops even a privileged user): the run finishes, says so in red and
    // never claims the file was saved.
    ASSERT_TRUE(QDir(lockedDir.path()).mkdir("AX-YB.yml"));
    open();
    dialog->openImages(locked);
    dialog->openTcpFile(scene->tcpFile("poses.xml", TcpFormat::Xml, true));
    calibrate();
    EXPECT_TRUE(logHas(log(), "Could not write " + QDir(lockedDir.path()).filePath("AX-YB.yml"), kRed))
        << logText().toStdString();
    EXPECT_FALSE(logText().contains("Extrinsics saved to"));
}

TEST_F(ToolFlangeDialog, TcpFileResultsAndCancelKeepRowsAndPosesTogether)
{
    open();
    dialog->openImages(scene->images);
    dialog->openTcpFile(scene->tcpFile("poses.xml", TcpFormat::Xml, true));
    calibrate();
    ASSERT_TRUE(dialog->hasResult());

    // Cancelling the file dialog: nothing logged, the poses and results gone.
    const QString before = logText();
    dialog->openTcpFile(QString());
    EXPECT_EQ(logText(), before);
    EXPECT_TRUE(dialog->poses().empty());
    EXPECT_EQ(w<QListWidget>("list_positions")->count(), 0);
    EXPECT_FALSE(dialog->hasResult());
    EXPECT_TRUE(dialog->cameraRotation().empty());
    // Selecting rows without poses shows the image and nothing crashes.
    for (int row : {0, 5, 7})
        w<QListWidget>("list_images")->setCurrentRow(row);
    EXPECT_EQ(w<QLabel>("label_rms_err")->text(), "RMS: -");

    // An upper-case suffix is refused, never read as an empty success.
    const QString upper = QDir(scene->folder).filePath("poses.XML");
    QFile::remove(upper);
    QFile::copy(QDir(scene->folder).filePath("poses.xml"), upper);
    dialog->openTcpFile(upper);
    EXPECT_TRUE(logHas(log(), "Only *.xml and *.txt file extensions can be read.", kRed));
    EXPECT_FALSE(logText().contains("Found 0 tcp entries"));
    EXPECT_FALSE(dialog->tcpFileRead());
}

// During a run the controls that change its data are disabled and Abort
// stays live; closing the window during a run aborts it and closes it after.
TEST_F(ToolFlangeDialog, RunLocksTheFormAndClosingAbortsIt)
{
    open();
    dialog->openImages(scene->images);
    dialog->openTcpFile(scene->tcpFile("poses.xml", TcpFormat::Xml, true));
    bool openDisabled = false, listDisabled = false, optionsDisabled = false, abortEnabled = false;
    QTimer::singleShot(0, dialog, [&] {
        openDisabled = !w<QPushButton>("button_open_images")->isEnabled() &&
                       !w<QPushButton>("button_open_tcp")->isEnabled();
        listDisabled =
            !w<QListWidget>("list_images")->isEnabled() && !w<QListWidget>("list_positions")->isEnabled();
        optionsDisabled = !w<QGroupBox>("group_chessboard")->isEnabled();
        abortEnabled = w<QPushButton>("button_calibrate")->isEnabled() &&
                       w<QPushButton>("button_calibrate")->text() == "Abort";
        QTest::mouseClick(w<QPushButton>("button_calibrate"), Qt::LeftButton);
    });
    calibrate();
    EXPECT_TRUE(openDisabled);
    EXPECT_TRUE(listDisabled);
    EXPECT_TRUE(optionsDisabled);
    EXPECT_TRUE(abortEnabled);
    EXPECT_TRUE(logHas(log(), "Calibration aborted", kRed));
    EXPECT_FALSE(dialog->hasResult());
    EXPECT_TRUE(w<QPushButton>("button_open_images")->isEnabled());
    EXPECT_EQ(w<QPushButton>("button_calibrate")->text(), "Calibrate");

    QPointer<ToolFlangeCalib> guard = dialog;
    QTimer::singleShot(0, dialog, [&] { dialog->close(); });
    calibrate();
    EXPECT_FALSE(guard.isNull()) << "deleted under its own run";
    for (int i = 0; i < 10 && !guard.isNull(); ++i) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    EXPECT_TRUE(guard.isNull());
}

// The combo boxes keep their sensors by name when the scene's names change.
TEST_F(ToolFlangeDialog, SensorCombosKeepTheirSensorsByName)
{
    open();
    main->sensorTree()->addSensor(); // Cam2
    auto* camera = w<QComboBox>("combo_sensor");
    auto* robot = w<QComboBox>("combo_robot");
    EXPECT_EQ(camera->count(), 3);
    camera->setCurrentIndex(2);
    EXPECT_EQ(robot->currentText(), "robot");
    main->sensorTree()->setSensorName(1, "base");
    EXPECT_EQ(robot->currentText(), "base");
    EXPECT_EQ(robot->currentIndex(), 1);
    EXPECT_EQ(camera->currentText(), "Cam2");
}

} // namespace

namespace {

QByteArray contentOf(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A run whose result does not explain its data is a failure: it says so in
// red with the figure and the likely causes, and writes nothing: the last
// good result file stays, and the robot stays where it was in the scene.
TEST_F(ToolFlangeDialog, ImplausibleRunsWriteNothing)
{
    std::vector<robot_chain::Pose> inverted, huge;
    for (const auto& p : scene->chain.tcp) {
        inverted.push_back(robot_chain::inverse(p));
        huge.push_back({p.R, p.t * 1e151}); // about 1e154 mm
    }
    std::vector<robot_chain::Pose> otherScene =
        robot_chain::robotWorldChain(scene->cam, scene->pattern, scene->square, 8, 1234).tcp;
    struct Case {
        const char* what;
        QString file;
        bool metres;
        QString figure;
    };
    const std::vector<Case> cases = {
        {"millimetre file read as metres", scene->tcpFile("poses_mm.txt", TcpFormat::Text, false), true,
         " mm (plausible: at most "},
        {"the file of another robot program", scene->tcpFile("other.xml", TcpFormat::Xml, true, &otherScene),
         true, " mm (plausible: at most "},
        {"inverted TCP poses", scene->tcpFile("inverted.xml", TcpFormat::Xml, true, &inverted), true,
         " mm (plausible: at most "},
        {"positions of about 1e154 mm", scene->tcpFile("huge.txt", TcpFormat::Text, false, &huge), false,
         "points: not finite (plausible: at most "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(resultFile());
        open();
        w<QRadioButton>("radio_m")->setChecked(true);
        dialog->openImages(scene->images);
        dialog->openTcpFile(scene->tcpFile("poses.xml", TcpFormat::Xml, true));
        calibrate();
        ASSERT_TRUE(dialog->hasResult()) << logText().toStdString();
        const QByteArray good = contentOf(resultFile());
        ASSERT_FALSE(good.isEmpty());
        const Sensor robotBefore = main->sensorTree()->getSensors()[1];
        QSignalSpy emitted(dialog, &ToolFlangeCalib::updateSecondaryExtrinsics);

        (c.metres ? w<QRadioButton>("radio_m") : w<QRadioButton>("radio_mm"))->setChecked(true);
        dialog->openTcpFile(c.file);
        calibrate();
        EXPECT_TRUE(logHas(log(), "RMS 3D-Error of all calibration points: ", kRed))
            << logText().toStdString();
        EXPECT_TRUE(logHas(log(), c.figure, kRed)) << logText().toStdString();
        EXPECT_TRUE(logHas(log(), "Likely causes: the unit under \"Unit of Length\"", kRed));
        EXPECT_TRUE(logHas(log(), "Nothing was saved, aborting...", kRed));
        EXPECT_FALSE(dialog->hasResult());
        EXPECT_TRUE(dialog->cameraRotation().empty());
        EXPECT_EQ(emitted.count(), 0);
        EXPECT_EQ(contentOf(resultFile()), good);
        const Sensor robotAfter = main->sensorTree()->getSensors()[1];
        EXPECT_MAT_NEAR(robotAfter.R, robotBefore.R, 0);
        EXPECT_MAT_NEAR(robotAfter.t, robotBefore.t, 0);
        // The views show the refused run's figures.
        w<QListWidget>("list_images")->setCurrentRow(3);
        ASSERT_EQ(dialog->poseErrorList().size(), 8u);
        EXPECT_EQ(w<QLabel>("label_rms_3d")->text(),
                  "RMS: " + QString::number(dialog->poseErrorList()[3][0], 'f', 4) + " mm");
        closeMain();
    }
}

// One wrong TCP line: the refused run colours the rows and fills the error
// panel, so that the line can be found.
TEST_F(ToolFlangeDialog, RefusedRunShowsItsRowErrors)
{
    expectRefusedRunPointsAtTheWrongLine("button_tool_flange", resultFile(), 5,
                                         "tool_flange_refused_run.png");
}

// The program's one sensor as camera and robot base: the run finds the cell
// and writes its file; its pose goes to the tree with equal indices, which
// leaves the sensor where it is, and the log says so.
TEST_F(ToolFlangeDialog, OneSensorSceneRuns)
{
    expectOneSensorRunCompletes("button_tool_flange", scene->tcpFile("poses.xml", TcpFormat::Xml, true),
                                resultFile(), 1, "tool_flange_one_sensor.png");
    ASSERT_TRUE(dialog->hasResult());
    EXPECT_POSE_NEAR(dialog->cameraRotation(), dialog->cameraTranslation(), scene->chain.Y.R,
                     scene->chain.Y.t, kMaxDeg, kMaxMm);
    EXPECT_TRUE(
        logHas(log(), "Camera and robot base are the same sensor 'Cam0': the sensor tree was left as it was.",
               kBlack))
        << logText().toStdString();
    EXPECT_EQ(w<QProgressBar>("progress_bar")->value(), w<QProgressBar>("progress_bar")->maximum());
}

// The TCP labels carry the unit chosen for the file, and a change of the
// unit redraws the 3D view at the new scale.
TEST_F(ToolFlangeDialog, TcpPanelCarriesTheUnit)
{
    open();
    w<QRadioButton>("radio_mm")->setChecked(true);
    dialog->openImages(scene->images);
    dialog->openTcpFile(scene->tcpFile("poses_mm.txt", TcpFormat::Text, false));
    w<QListWidget>("list_images")->setCurrentRow(2);
    const TcpPose& p2 = dialog->poses()[2];
    EXPECT_EQ(w<QLabel>("label_x")->text(), QString("X: %1 mm").arg(p2.x, 7, 'f', 4));
    EXPECT_EQ(w<QLabel>("label_z")->text(), QString("Z: %1 mm").arg(p2.z, 7, 'f', 4));
    double inMm[6];
    dialog->sceneRenderer()->ComputeVisiblePropBounds(inMm);

    w<QRadioButton>("radio_m")->setChecked(true);
    EXPECT_EQ(w<QLabel>("label_x")->text(), QString("X: %1 m").arg(p2.x, 7, 'f', 4));
    double inM[6];
    dialog->sceneRenderer()->ComputeVisiblePropBounds(inM);
    // The TCP frame moved from about 1.5 m to about 1500 m from the base.
    EXPECT_GT(std::max(inM[1], inM[3]), 100 * std::max(inMm[1], inMm[3]));
}

// At its default size the window cuts off no text, after a run too.
TEST_F(ToolFlangeDialog, DefaultSizeShowsEveryText)
{
    open();
    expectEveryTextShownBeforeAndAfterARun("radio_mm", scene->tcpFile("poses_mm.txt", TcpFormat::Text, false),
                                           "tool_flange_default_size.png");
}

} // namespace
