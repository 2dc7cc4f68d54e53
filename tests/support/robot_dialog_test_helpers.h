#pragma once

// Helpers for the tests of the robot-camera dialogs: finding the dialog the
// main window's button opened, typing in the board, and the fixture the
// dialogs' tests share. The rendered cell and its TCP files come from
// robot_chain.h.

#include "dialog_test_helpers.h"
#include "gui/shell/MainWindow.h"
#include "gui/shell/SensorTree.h"
#include "robot_chain.h"
#include "screenshots.h"
#include "text_fit.h"
#include "vtk_test_helpers.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMetaType>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QWidget>
#include <gtest/gtest.h>

#include <opencv2/core.hpp>

Q_DECLARE_METATYPE(cv::Mat)

namespace robot_dialog_test {

using robot_chain::render;
using robot_chain::RenderedChain;

// The last visible top-level window of the given class.
template <class Dialog> Dialog* newestDialog()
{
    Dialog* found = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* d = qobject_cast<Dialog*>(w); d && d->isVisible())
            found = d;
    return found;
}

using dialog_test::setBoard;

using testing_support::cutOffTexts;

// The fixture of a robot dialog's widget tests. The suite renders one chain
// into a temporary folder (renderScene from SetUpTestSuite); each test has
// its own settings folder and a main window that is closed at its end.
template <class Dialog> class RobotDialogFixture : public ::testing::Test {
public:
    static RenderedChain* scene;
    static QTemporaryDir* imageDir;
    QTemporaryDir settingsDir;
    QPointer<MainWindow> main;
    Dialog* dialog = nullptr;

    // Renders the chain makeChain(scene) gives into the suite's folder.
    template <class MakeChain> static void renderScene(MakeChain makeChain)
    {
        imageDir = new QTemporaryDir;
        scene = new RenderedChain;
        scene->chain = makeChain(*scene);
        render(*scene, imageDir->path());
    }
    static void TearDownTestSuite()
    {
        delete scene;
        delete imageDir;
    }

    void SetUp() override
    {
        qRegisterMetaType<cv::Mat>("cv::Mat");
        dialog_test::useSettingsFolder(settingsDir.path());
    }
    void TearDown() override { closeMain(); }
    void closeMain()
    {
        delete main.data();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // The main window with the camera (row 0, calibrated unless told
    // otherwise) and the robot base (row 1), or with the program's one
    // sensor only, and the dialog the button of that name opens, with the
    // scene's board typed in if asked.
    void openFromButton(const char* buttonName, bool calibrated, bool withBoard, int sensors = 2)
    {
        main = new MainWindow;
        main->show();
        if (sensors == 2) {
            main->sensorTree()->addSensor();
            main->sensorTree()->setSensorName(1, "robot");
        }
        if (calibrated)
            main->sensorTree()->updateIntrinsicsIdx(0, cv::Mat(scene->cam.K), scene->cam.kc, scene->cam.size);
        auto* button = main->template findChild<QPushButton*>(buttonName);
        ASSERT_NE(button, nullptr);
        QTest::mouseClick(button, Qt::LeftButton);
        dialog = newestDialog<Dialog>();
        ASSERT_NE(dialog, nullptr);
        if (withBoard)
            setBoard(dialog, scene->pattern, "25.7");
    }

    template <class T> T* w(const char* name) const { return dialog_test::child<T>(dialog, name); }
    QTextEdit* log() const { return w<QTextEdit>("text_log"); }
    QString logText() const { return log()->toPlainText(); }
    void calibrate() const { QTest::mouseClick(w<QPushButton>("button_calibrate"), Qt::LeftButton); }

    // A run from the program's one sensor, chosen as camera and robot base:
    // it completes, writes its result file, logs and draws its result and
    // colours its rows, the dialog emits `emissions` poses (with equal
    // indices), and the sensor keeps its pose. The window's picture is saved
    // as `shot`.
    void expectOneSensorRunCompletes(const char* buttonName, const QString& tcpFile,
                                     const QString& resultFile, int emissions, const char* shot)
    {
        QFile::remove(resultFile);
        openFromButton(buttonName, true, true, 1);
        ASSERT_EQ(main->sensorTree()->getSensors().size(), 1u);
        EXPECT_EQ(w<QComboBox>("combo_sensor")->currentText(), "Cam0");
        EXPECT_EQ(w<QComboBox>("combo_robot")->currentText(), "Cam0");
        QSignalSpy emitted(dialog, &Dialog::updateSecondaryExtrinsics);
        w<QRadioButton>("radio_m")->setChecked(true);
        dialog->openImages(scene->images);
        dialog->openTcpFile(tcpFile);
        auto* images = w<QListWidget>("list_images");
        images->setCurrentRow(3);
        const size_t propsWithoutResult = testing_support::props(dialog->sceneRenderer()).size();
        calibrate();

        ASSERT_TRUE(dialog->hasResult()) << logText().toStdString();
        EXPECT_FALSE(logText().contains("different sensors"));
        EXPECT_TRUE(dialog_test::logHas(log(), "Extrinsics: Cam0 w.r.t. ", Qt::black));
        EXPECT_TRUE(dialog_test::logHas(log(), "Extrinsics saved to " + resultFile, Qt::black))
            << logText().toStdString();
        EXPECT_TRUE(dialog_test::logHas(log(), "RMS 3D-Error of all calibration points: ", Qt::black));
        EXPECT_TRUE(QFile::exists(resultFile));
        ASSERT_EQ(emitted.count(), emissions);
        for (const QList<QVariant>& args : emitted) {
            EXPECT_EQ(args[0].toInt(), 0);
            EXPECT_EQ(args[1].toInt(), 0);
        }
        const std::vector<Sensor> sensors = main->sensorTree()->getSensors();
        ASSERT_EQ(sensors.size(), 1u);
        EXPECT_EQ(cv::norm(sensors[0].R, cv::Mat::eye(3, 3, CV_64F), cv::NORM_INF), 0);
        EXPECT_EQ(cv::norm(sensors[0].t, cv::NORM_INF), 0);

        // The rows and a row's view show the result.
        EXPECT_NE(w<QListWidget>("list_positions")->item(3)->background().style(), Qt::NoBrush);
        images->setCurrentRow(2);
        images->setCurrentRow(3);
        QCoreApplication::processEvents();
        EXPECT_TRUE(w<QGroupBox>("group_3d_err")->isVisible());
        EXPECT_TRUE(w<QLabel>("label_rms_3d")->text().endsWith(" mm"));
        // The camera and the target join the row's TCP in the 3D view.
        EXPECT_GT(testing_support::props(dialog->sceneRenderer()).size(), propsWithoutResult);
        EXPECT_TRUE(dialog->grab().save(testing_support::screenshotPath(shot)));
    }

    // A TCP file with one wrong line (row badRow, moved by 300 mm) makes the
    // run implausible: it is refused in red, writes no file and leaves the
    // robot in the sensor tree, while the rows carry this run's error colours
    // (the wrong line the reddest) and a row's panel its figures. The 3D view
    // shows no camera or target of the refused result. The window's picture is
    // saved as `shot`.
    void expectRefusedRunPointsAtTheWrongLine(const char* buttonName, const QString& resultFile, int badRow,
                                              const char* shot)
    {
        std::vector<robot_chain::Pose> tcp;
        for (const robot_chain::Pose& p : scene->chain.tcp)
            tcp.push_back({p.R.clone(), p.t.clone()});
        tcp[static_cast<size_t>(badRow)].t.at<double>(0) += 300;
        const QString wrongFile =
            scene->tcpFile("one_wrong_line.txt", robot_chain::TcpFormat::Text, false, &tcp);
        QFile::remove(resultFile);
        openFromButton(buttonName, true, true);
        w<QRadioButton>("radio_mm")->setChecked(true);
        dialog->openImages(scene->images);
        dialog->openTcpFile(wrongFile);
        auto* images = w<QListWidget>("list_images");
        auto* positions = w<QListWidget>("list_positions");
        images->setCurrentRow(badRow);
        const size_t propsWithoutResult = testing_support::props(dialog->sceneRenderer()).size();
        const Sensor robotBefore = main->sensorTree()->getSensors()[1];
        QSignalSpy emitted(dialog, &Dialog::updateSecondaryExtrinsics);
        calibrate();

        // Refused: red, nothing written, nothing pushed.
        EXPECT_TRUE(dialog_test::logHas(log(), " mm (plausible: at most ", Qt::red))
            << logText().toStdString();
        EXPECT_TRUE(dialog_test::logHas(log(), "Nothing was saved, aborting...", Qt::red));
        EXPECT_FALSE(logText().contains("Extrinsics saved to"));
        EXPECT_FALSE(dialog->hasResult());
        EXPECT_TRUE(dialog->cameraRotation().empty());
        EXPECT_FALSE(QFile::exists(resultFile));
        EXPECT_EQ(emitted.count(), 0);
        const Sensor robotAfter = main->sensorTree()->getSensors()[1];
        EXPECT_EQ(cv::norm(robotAfter.R, robotBefore.R, cv::NORM_INF), 0);
        EXPECT_EQ(cv::norm(robotAfter.t, robotBefore.t, cv::NORM_INF), 0);

        // The figures of this run point at the wrong line.
        const std::vector<cv::Vec3d> poseErrors = dialog->poseErrorList();
        ASSERT_EQ(poseErrors.size(), 8u);
        ASSERT_EQ(dialog->reprojectionErrors().size(), 8u);
        for (int r = 0; r < 8; ++r) {
            SCOPED_TRACE(r);
            EXPECT_NE(images->item(r)->background().style(), Qt::NoBrush);
            if (r != badRow) {
                EXPECT_LT(poseErrors[static_cast<size_t>(r)][0], poseErrors[static_cast<size_t>(badRow)][0]);
            }
        }
        EXPECT_EQ(positions->item(badRow)->background().color(), QColor(255, 0, 0));
        const auto rms3dText = [](double mm) { return "RMS: " + QString::number(mm, 'f', 4) + " mm"; };
        // The row shown during the run shows its figures at once, another row
        // when it is chosen.
        EXPECT_TRUE(w<QGroupBox>("group_3d_err")->isVisible());
        EXPECT_EQ(w<QLabel>("label_rms_3d")->text(), rms3dText(poseErrors[static_cast<size_t>(badRow)][0]));
        EXPECT_EQ(
            w<QLabel>("label_rms_err")->text(),
            "RMS: " + QString::number(dialog->reprojectionErrors()[static_cast<size_t>(badRow)][0], 'f', 4) +
                " px");
        positions->setCurrentRow(1);
        EXPECT_EQ(w<QLabel>("label_rms_3d")->text(), rms3dText(poseErrors[1][0]));
        EXPECT_EQ(testing_support::props(dialog->sceneRenderer()).size(), propsWithoutResult);
        positions->setCurrentRow(badRow);
        QCoreApplication::processEvents();
        EXPECT_TRUE(dialog->grab().save(testing_support::screenshotPath(shot)));

        // Another TCP file drops the refused run's figures with its colours.
        dialog->openTcpFile(scene->tcpFile("poses_mm.txt", robot_chain::TcpFormat::Text, false));
        EXPECT_TRUE(dialog->poseErrorList().empty());
        EXPECT_EQ(positions->item(badRow)->background().style(), Qt::NoBrush);
        EXPECT_EQ(w<QLabel>("label_rms_3d")->text(), "RMS: -");
    }

    // The opened dialog, at its default size, cuts off no text before a run
    // and after one on the scene's images with the given unit radio button
    // and TCP file, with a row's errors shown; the TCP group stays at most
    // 81 px high. The window's picture is saved as `shot`.
    void expectEveryTextShownBeforeAndAfterARun(const char* unitRadio, const QString& tcpFile,
                                                const char* shot)
    {
        EXPECT_TRUE(cutOffTexts(dialog).isEmpty()) << cutOffTexts(dialog).join("\n").toStdString();
        w<QRadioButton>(unitRadio)->setChecked(true);
        dialog->openImages(scene->images);
        dialog->openTcpFile(tcpFile);
        calibrate();
        ASSERT_TRUE(dialog->hasResult()) << logText().toStdString();
        w<QListWidget>("list_images")->setCurrentRow(3);
        QCoreApplication::processEvents();
        EXPECT_TRUE(w<QGroupBox>("group_3d_err")->isVisible());
        EXPECT_LE(w<QGroupBox>("group_TCP_positions")->height(), 81);
        EXPECT_TRUE(cutOffTexts(dialog).isEmpty()) << cutOffTexts(dialog).join("\n").toStdString();
        EXPECT_TRUE(dialog->grab().save(testing_support::screenshotPath(shot)));
    }
};

template <class Dialog> RenderedChain* RobotDialogFixture<Dialog>::scene = nullptr;
template <class Dialog> QTemporaryDir* RobotDialogFixture<Dialog>::imageDir = nullptr;

} // namespace robot_dialog_test
