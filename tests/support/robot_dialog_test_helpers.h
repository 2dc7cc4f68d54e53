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

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMetaType>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
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
    // otherwise) and the robot base (row 1), and the dialog the button of
    // that name opens, with the scene's board typed in if asked.
    void openFromButton(const char* buttonName, bool calibrated, bool withBoard)
    {
        main = new MainWindow;
        main->show();
        main->sensorTree()->addSensor();
        main->sensorTree()->setSensorName(1, "robot");
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
