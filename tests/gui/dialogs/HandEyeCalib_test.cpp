// The hand-eye dialog opened from the main window and driven as a user
// drives it: board images of a fixed target seen by a camera on a known
// robot, TCP files in XML and text, in m and mm, each solving method; the
// result against the truth, in the result file and the result view, and
// nothing pushed into the scene; the defaults and the failure paths.

#include "gui/dialogs/HandEyeCalib.h"
#include "gui/shell/MainWindow.h"
#include "gui/shell/SensorTree.h"

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
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <functional>

using dialog_test::logHas;
using robot_chain::TcpFormat;
using robot_dialog_test::RenderedChain;

namespace {

// Clean renders of a camera 0.6 m from the board.
constexpr double kMaxDeg = 0.1;
constexpr double kMaxMm = 1.0;

const QColor kRed(Qt::red), kBlack(Qt::black);

class HandEyeDialog : public robot_dialog_test::RobotDialogFixture<HandEyeCalib> {
public:
    static void SetUpTestSuite()
    {
        renderScene([](const RenderedChain& s) {
            return robot_chain::handEyeChain(s.cam, s.pattern, s.square, 8, 88);
        });
    }

    void open(bool setBoard = true)
    {
        openFromButton("button_hand_eye", true, setBoard);
        if (auto* button = main->findChild<QPushButton*>("button_hand_eye")) { // missing: failed above
            EXPECT_EQ(button->text(), "Hand-Eye");
        }
    }
    QString resultFile() const { return QDir(scene->folder).filePath("AX-XB.yml"); }

    // The image numbers of the last detection line of the log, with their colours.
    std::vector<std::pair<int, QColor>> lastDetectionLine() const
    {
        std::vector<std::pair<int, QColor>> numbers;
        for (QTextBlock block = log()->document()->begin(); block.isValid(); block = block.next()) {
            if (!block.text().startsWith("Detecting chessboards in"))
                continue;
            numbers.clear();
            for (auto it = block.begin(); !it.atEnd(); ++it) {
                const QTextFragment f = it.fragment();
                if (f.text().startsWith("Detecting"))
                    continue;
                for (const QString& n : f.text().split(' ', Qt::SkipEmptyParts))
                    numbers.emplace_back(n.toInt(), f.charFormat().foreground().color());
            }
        }
        return numbers;
    }
    // The numbers of the last detection line in the colour given.
    std::vector<int> numbersIn(const QColor& colour) const
    {
        std::vector<int> out;
        for (const auto& [n, c] : lastDetectionLine())
            if (c == colour)
                out.push_back(n);
        return out;
    }
};

TEST_F(HandEyeDialog, NewWindowDefaultsAndRememberedMethod)
{
    open(false);
    EXPECT_EQ(dialog->windowTitle(), "Hand / Eye Calibration");
    EXPECT_EQ(w<QLineEdit>("edit_corners_width")->text(), "50");
    EXPECT_TRUE(w<QRadioButton>("radio_park")->isChecked());
    EXPECT_EQ(dialog->findChild<QGroupBox*>("group_AXYB"), nullptr);
    EXPECT_EQ(dialog->findChild<QCheckBox*>("check_cam_calib"), nullptr);
    EXPECT_EQ(w<QComboBox>("combo_robot")->currentIndex(), 1);
    w<QRadioButton>("radio_andreff")->setChecked(true);
    closeMain();
    open(false);
    EXPECT_TRUE(w<QRadioButton>("radio_andreff")->isChecked());
}

TEST_F(HandEyeDialog, MainWindowRunFindsTheCameraOnTheFlange)
{
    struct Case {
        const char* what;
        TcpFormat format;
        bool metres;
        const char* file;
        const char* method;
    } cases[] = {{"XML in metres, Park", TcpFormat::Xml, true, "poses.xml", "radio_park"},
                 {"text in millimetres, Horaud", TcpFormat::Text, false, "poses.txt", "radio_horaud"},
                 {"XML in millimetres, Andreff", TcpFormat::Xml, false, "poses_mm.xml", "radio_andreff"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(resultFile());
        open();
        (c.metres ? w<QRadioButton>("radio_m") : w<QRadioButton>("radio_mm"))->setChecked(true);
        w<QRadioButton>(c.method)->setChecked(true);
        QSignalSpy emitted(dialog, &HandEyeCalib::updateSecondaryExtrinsics);
        const std::vector<Sensor> before = main->sensorTree()->getSensors();

        dialog->openImages(scene->images);
        EXPECT_EQ(dialog->windowTitle(), "Hand/Eye Calibration - " + scene->folder);
        dialog->openTcpFile(scene->tcpFile(c.file, c.format, c.metres));
        calibrate();
        ASSERT_TRUE(dialog->hasResult()) << logText().toStdString();
        EXPECT_POSE_NEAR(dialog->cameraRotation(), dialog->cameraTranslation(), scene->chain.X.R,
                         scene->chain.X.t, kMaxDeg, kMaxMm);
        EXPECT_TRUE(logText().contains("Extrinsics: Cam0 w.r.t. TCP of robot"));
        EXPECT_TRUE(logText().contains("Translation tX = ("));
        EXPECT_TRUE(logText().contains("Extrinsics saved to " + resultFile()));
        EXPECT_TRUE(logText().contains("RMS 3D-Error of all calibration points: "));

        cv::FileStorage fs(resultFile().toStdString(), cv::FileStorage::READ);
        ASSERT_TRUE(fs.isOpened());
        std::vector<std::string> keys;
        for (const cv::FileNode& n : fs.root())
            keys.push_back(n.name());
        EXPECT_EQ(keys, (std::vector<std::string>{"RX", "tX"}));
        cv::Mat RX, tX;
        fs["RX"] >> RX;
        fs["tX"] >> tX;
        EXPECT_MAT_NEAR(RX, dialog->cameraRotation(), 1e-12);
        EXPECT_MAT_NEAR(tX, dialog->cameraTranslation(), 1e-12);

        // The hand-eye result stays out of the scene.
        EXPECT_EQ(emitted.count(), 0);
        const std::vector<Sensor> after = main->sensorTree()->getSensors();
        EXPECT_MAT_NEAR(after[1].t, before[1].t, 0);

        // The target stands still: its scatter in the base is small for every image.
        ASSERT_EQ(dialog->poseErrorList().size(), 8u);
        for (const cv::Vec3d& e : dialog->poseErrorList()) {
            EXPECT_LT(e[0], kMaxMm);
            EXPECT_LT(e[1], kMaxMm);
            EXPECT_LT(e[2], kMaxDeg);
        }
        w<QListWidget>("list_positions")->setCurrentRow(4);
        EXPECT_TRUE(w<QListWidget>("list_images")->item(4)->isSelected());
        EXPECT_TRUE(w<QGroupBox>("group_reproj_err")->isVisible());
        EXPECT_EQ(w<QLabel>("label_trans_err")->text(),
                  QString("||") + QChar(0x0394) +
                      "t||: " + QString::number(dialog->poseErrorList()[4][1], 'f', 4) + " mm");
        EXPECT_EQ(w<QLabel>("label_min_err")->styleSheet(), "color:#00ff00");
        EXPECT_TRUE(w<QGroupBox>("group_TCP_positions")->title().endsWith("robot"));
        EXPECT_GT(testing_support::props(dialog->sceneRenderer()).size(), 4u);
        EXPECT_TRUE(
            dialog->grab().save(testing_support::screenshotPath(QString("hand_eye_%1.png").arg(c.method))));
        // Opening the TCP file again discards the per-image results; the last
        // hand-eye result stays.
        dialog->openTcpFile(QDir(scene->folder).filePath(c.file));
        EXPECT_FALSE(dialog->hasResult());
        EXPECT_TRUE(dialog->reprojectionErrors().empty());
        EXPECT_FALSE(dialog->cameraRotation().empty());
        closeMain();
    }
}

TEST_F(HandEyeDialog, FailurePathsLeaveNoResult)
{
    // Poses turning about one axis cannot determine the camera on the flange.
    std::vector<robot_chain::Pose> oneAxis = robot_chain::oneAxisPoses(8, {0.1, 0.2, 1.0});
    struct Case {
        const char* what;
        std::function<void(HandEyeDialog&)> prepare;
        QString message;
        QColor colour;
    };
    const std::vector<Case> cases = {
        {"no TCP file", [](HandEyeDialog& t) { t.dialog->openImages(scene->images); },
         "Tool center point positions are empty, aborting...", kBlack},
        {"fewer than 3 images selected",
         [](HandEyeDialog& t) {
             t.dialog->openImages(scene->images);
             t.dialog->openTcpFile(scene->tcpFile("poses.xml", TcpFormat::Xml, true));
             for (int r = 2; r < 8; ++r)
                 t.w<QListWidget>("list_images")->item(r)->setCheckState(Qt::Unchecked);
         },
         "At least 3 images have to be selected, aborting...", kBlack},
        {"robot poses about one axis",
         [&oneAxis](HandEyeDialog& t) {
             t.dialog->openImages(scene->images);
             t.dialog->openTcpFile(scene->tcpFile("axis.txt", TcpFormat::Text, false, &oneAxis));
         },
         "turn about one axis only", kRed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(resultFile());
        open();
        w<QRadioButton>("radio_mm")->setChecked(true);
        c.prepare(*this);
        calibrate();
        EXPECT_TRUE(logHas(log(), c.message, c.colour)) << logText().toStdString();
        EXPECT_FALSE(dialog->hasResult());
        EXPECT_TRUE(dialog->cameraRotation().empty());
        EXPECT_FALSE(QFile::exists(resultFile()));
        closeMain();
    }
}

} // namespace

namespace {

// An image is detected once: a second Calibrate after a change of the method,
// the unit or the TCP file reuses every detection (dark green numbers); a
// rewritten image file is detected again.
TEST_F(HandEyeDialog, SecondCalibrateDetectsOnlyChangedImages)
{
    QTemporaryDir dir;
    QStringList images;
    for (const QString& image : scene->images) {
        images << QDir(dir.path()).filePath(QFileInfo(image).fileName());
        ASSERT_TRUE(QFile::copy(image, images.last()));
    }
    const std::vector<int> all = {1, 2, 3, 4, 5, 6, 7, 8};
    const QColor green(Qt::green), darkGreen(Qt::darkGreen);
    open();
    w<QRadioButton>("radio_m")->setChecked(true);
    dialog->openImages(images);
    dialog->openTcpFile(scene->tcpFile("poses.xml", TcpFormat::Xml, true));
    calibrate();
    ASSERT_TRUE(dialog->hasResult()) << logText().toStdString();
    EXPECT_EQ(numbersIn(green), all);

    struct Change {
        const char* what;
        std::function<void()> apply;
    };
    const std::vector<Change> changes = {
        {"method", [&] { w<QRadioButton>("radio_horaud")->setChecked(true); }},
        {"unit and TCP file",
         [&] {
             w<QRadioButton>("radio_mm")->setChecked(true);
             dialog->openTcpFile(scene->tcpFile("poses_mm.txt", TcpFormat::Text, false));
         }},
    };
    for (const Change& c : changes) {
        SCOPED_TRACE(c.what);
        c.apply();
        calibrate();
        ASSERT_TRUE(dialog->hasResult()) << logText().toStdString();
        EXPECT_EQ(numbersIn(darkGreen), all);
        EXPECT_TRUE(numbersIn(green).empty());
    }

    // The fourth image rewritten (same picture, another file).
    const QString fourth = images[3];
    const cv::Mat picture = cv::imread(fourth.toStdString());
    ASSERT_TRUE(QFile::remove(fourth));
    ASSERT_TRUE(cv::imwrite(fourth.toStdString(), picture, {cv::IMWRITE_PNG_COMPRESSION, 9}));
    calibrate();
    ASSERT_TRUE(dialog->hasResult()) << logText().toStdString();
    EXPECT_EQ(numbersIn(green), std::vector<int>{4});
    EXPECT_EQ(numbersIn(darkGreen), (std::vector<int>{1, 2, 3, 5, 6, 7, 8}));
}

} // namespace

namespace {

QString transText(double mm)
{
    return QString("||") + QChar(0x0394) + "t||: " + QString::number(mm, 'f', 4) + " mm";
}

// Every view shows the last run: the error panel of the current row right
// after a second run, and the list colours after another TCP file.
TEST_F(HandEyeDialog, ViewsShowTheLastRun)
{
    open();
    w<QRadioButton>("radio_m")->setChecked(true);
    dialog->openImages(scene->images);
    dialog->openTcpFile(scene->tcpFile("poses.xml", TcpFormat::Xml, true));
    auto* images = w<QListWidget>("list_images");
    images->setCurrentRow(4);
    calibrate();
    ASSERT_TRUE(dialog->hasResult()) << logText().toStdString();
    ASSERT_EQ(dialog->resultRows().indexOf(4), 4);
    EXPECT_EQ(w<QLabel>("label_trans_err")->text(), transText(dialog->poseErrorList()[4][1]));
    const QString first = w<QLabel>("label_trans_err")->text();

    // A second run on fewer images moves the mean pose: row 4 is now the
    // third board image, with other numbers.
    images->item(0)->setCheckState(Qt::Unchecked);
    images->item(1)->setCheckState(Qt::Unchecked);
    w<QRadioButton>("radio_horaud")->setChecked(true);
    calibrate();
    ASSERT_TRUE(dialog->hasResult()) << logText().toStdString();
    ASSERT_EQ(dialog->resultRows().indexOf(4), 2);
    const QString second = transText(dialog->poseErrorList()[2][1]);
    ASSERT_NE(second, first);
    EXPECT_EQ(w<QLabel>("label_trans_err")->text(), second);
    QTest::mouseClick(images->viewport(), Qt::LeftButton, {},
                      images->visualItemRect(images->item(4)).center());
    EXPECT_EQ(w<QLabel>("label_trans_err")->text(), second);
    // The unchecked rows show their image and no errors.
    images->setCurrentRow(1);
    EXPECT_EQ(w<QLabel>("label_trans_err")->text(), QString("||") + QChar(0x0394) + "t||: -");

    // Another TCP file: no list keeps the colours of the run.
    EXPECT_NE(images->item(4)->background().style(), Qt::NoBrush);
    dialog->openTcpFile(scene->tcpFile("poses.txt", TcpFormat::Text, true));
    for (QListWidget* list : {images, w<QListWidget>("list_positions")})
        for (int r = 0; r < list->count(); ++r) {
            SCOPED_TRACE(r);
            EXPECT_EQ(list->item(r)->background().style(), Qt::NoBrush);
        }
}

// A millimetre TCP file read as metres: red, with the figure, and the last
// good result file stays as it was.
TEST_F(HandEyeDialog, ImplausibleRunWritesNothing)
{
    open();
    w<QRadioButton>("radio_m")->setChecked(true);
    dialog->openImages(scene->images);
    dialog->openTcpFile(scene->tcpFile("poses.xml", TcpFormat::Xml, true));
    calibrate();
    ASSERT_TRUE(dialog->hasResult()) << logText().toStdString();
    QFile file(resultFile());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray good = file.readAll();
    file.close();

    dialog->openTcpFile(scene->tcpFile("poses_mm.txt", TcpFormat::Text, false));
    calibrate();
    EXPECT_TRUE(logHas(log(), " mm (plausible: at most ", kRed)) << logText().toStdString();
    EXPECT_TRUE(logHas(log(), "Nothing was saved, aborting...", kRed));
    EXPECT_FALSE(dialog->hasResult());
    EXPECT_TRUE(dialog->cameraRotation().empty());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), good);
}

// One wrong TCP line: the refused run colours the rows and fills the error
// panel, so that the line can be found.
TEST_F(HandEyeDialog, RefusedRunShowsItsRowErrors)
{
    expectRefusedRunPointsAtTheWrongLine("button_hand_eye", resultFile(), 5, "hand_eye_refused_run.png");
}

// The program's one sensor as camera and robot: the run finds the camera on
// the flange and writes its file; nothing goes to the tree.
TEST_F(HandEyeDialog, OneSensorSceneRuns)
{
    expectOneSensorRunCompletes("button_hand_eye", scene->tcpFile("poses.xml", TcpFormat::Xml, true),
                                resultFile(), 0, "hand_eye_one_sensor.png");
    ASSERT_TRUE(dialog->hasResult());
    EXPECT_POSE_NEAR(dialog->cameraRotation(), dialog->cameraTranslation(), scene->chain.X.R,
                     scene->chain.X.t, kMaxDeg, kMaxMm);
}

// At its default size the window cuts off no text, after a run too.
TEST_F(HandEyeDialog, DefaultSizeShowsEveryText)
{
    open();
    expectEveryTextShownBeforeAndAfterARun("radio_m", scene->tcpFile("poses.xml", TcpFormat::Xml, true),
                                           "hand_eye_default_size.png");
}

} // namespace
