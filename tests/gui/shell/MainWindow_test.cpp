// The main window, driven as a user would: its start-up state, the 3D props
// it keeps in step with the sensor tree (posed with non-trivial rotations),
// New, Save and Load Project through the menu and its dialogs, and the
// refusal of malformed project files without touching the scene.

#include "core/geometry/pose_helpers.h"
#include "core/io/project_file.h"
#include "gui/shell/CustomSaveWrtDialog.h"
#include "gui/shell/MainWindow.h"
#include "gui/shell/SensorTree.h"
#include "screenshots.h"
#include "test_helpers.h"
#include "vtk_test_helpers.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QTreeWidget>
#include <QVTKOpenGLNativeWidget.h>

#include <opencv2/calib3d.hpp>

#include <vtkActor.h>
#include <vtkAssembly.h>
#include <vtkCallbackCommand.h>
#include <vtkCamera.h>
#include <vtkFollower.h>
#include <vtkLinearTransform.h>
#include <vtkMapper.h>
#include <vtkMatrix4x4.h>
#include <vtkNew.h>
#include <vtkPolyData.h>
#include <vtkProp3DCollection.h>
#include <vtkPropCollection.h>
#include <vtkRenderWindow.h>
#include <vtkRenderer.h>
#include <vtkVectorText.h>

#include <fstream>
#include <functional>
#include <memory>

namespace {

using testing_support::props;

using testing_support::camera;
using testing_support::rotation;
using testing_support::vec3;

// Settings of the whole test program go to a folder of their own.
QString settingsFolder()
{
    static QTemporaryDir dir;
    return dir.path();
}

// Answers the modal windows the main window opens: records message boxes
// and closes them, picks the world in the world chooser, and chooses a file
// in the file dialogs.
class ModalDriver : public QObject {
public:
    struct Box {
        QString title, text;
        QMessageBox::Icon icon;
        bool hasParent;
    };

    ModalDriver()
    {
        connect(&timer, &QTimer::timeout, this, &ModalDriver::poll);
        timer.start(10);
    }

    std::vector<Box> boxes;
    int world = 0;
    bool acceptChooser = true;
    QStringList chooserNames;
    QString chooserTitle;
    QString chooserShot;  // where to save a picture of the chooser, if anywhere
    QString fileToChoose; // empty: the file dialog is cancelled
    QString fileDialogTitle, fileDialogDir, fileDialogFilter;

private:
    void poll()
    {
        QWidget* w = QApplication::activeModalWidget();
        if (!w)
            return;
        if (auto* box = qobject_cast<QMessageBox*>(w)) {
            boxes.push_back({box->windowTitle(), box->text(), box->icon(), box->parentWidget() != nullptr});
            box->done(QMessageBox::Ok);
        } else if (auto* chooser = qobject_cast<CustomSaveWrtDialog*>(w)) {
            chooserTitle = chooser->windowTitle();
            chooserNames.clear();
            for (int i = 0; i < chooser->combo->count(); ++i)
                chooserNames << chooser->combo->itemText(i);
            if (!acceptChooser) {
                chooser->reject();
                return;
            }
            chooser->combo->setCurrentIndex(world);
            if (!chooserShot.isEmpty())
                chooser->grab().save(chooserShot);
            chooser->findChild<QPushButton*>("button_save")->click();
        } else if (auto* dialog = qobject_cast<QFileDialog*>(w)) {
            fileDialogTitle = dialog->windowTitle();
            fileDialogDir = dialog->directory().absolutePath();
            fileDialogFilter = dialog->nameFilters().join(";;");
            if (fileToChoose.isEmpty()) {
                dialog->reject();
                return;
            }
            dialog->selectFile(fileToChoose);
            QMetaObject::invokeMethod(dialog, "accept");
        }
    }

    QTimer timer;
};

bool shows(vtkRenderer* renderer, vtkProp* prop)
{
    for (vtkProp* p : props(renderer))
        if (p == prop)
            return true;
    return false;
}

bool isPart(vtkAssembly* assembly, vtkProp3D* prop)
{
    vtkProp3DCollection* c = assembly->GetParts();
    c->InitTraversal();
    while (vtkProp3D* p = c->GetNextProp3D())
        if (p == prop)
            return true;
    return false;
}

// The scene transform of an assembly, as R (3x3) and t (3x1).
void sceneTransform(vtkProp3D* prop, cv::Mat& R, cv::Mat& t)
{
    vtkMatrix4x4* m = prop->GetMatrix();
    R.create(3, 3, CV_64F);
    t.create(3, 1, CV_64F);
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c)
            R.at<double>(r, c) = m->GetElement(r, c);
        t.at<double>(r) = m->GetElement(r, 3);
    }
}

// Translation of a follower's user transform.
cv::Mat labelOffset(vtkFollower* label)
{
    if (!label->GetUserTransform())
        return cv::Mat::zeros(3, 1, CV_64F);
    vtkMatrix4x4* m = label->GetUserTransform()->GetMatrix();
    return vec3(m->GetElement(0, 3), m->GetElement(1, 3), m->GetElement(2, 3));
}

// The 3D view places each sensor's frame at [R^T | -R^T t] of its record.
void expectDrawnAtRecords(MainWindow& window)
{
    const std::vector<Sensor> sensors = window.sensorTree()->getSensors();
    ASSERT_EQ(window.sensorActors().size(), sensors.size());
    for (size_t i = 0; i < sensors.size(); ++i) {
        SCOPED_TRACE("sensor " + std::to_string(i));
        const SensorActors& a = window.sensorActors()[i];
        EXPECT_TRUE(shows(window.sceneRenderer(), a.assembly));
        EXPECT_TRUE(shows(window.sceneRenderer(), a.label));
        cv::Mat R, t;
        sceneTransform(a.assembly, R, t);
        EXPECT_MAT_NEAR(R, sensors[i].R.t(), 1e-12);
        EXPECT_MAT_NEAR(t, -sensors[i].R.t() * sensors[i].t, 1e-9);
        EXPECT_MAT_NEAR(labelOffset(a.label), -sensors[i].R.t() * sensors[i].t, 1e-9);
        EXPECT_STREQ(a.labelText->GetText(), sensors[i].name.c_str());
    }
}

QTreeWidget* treeWidget(MainWindow& window)
{
    return window.sensorTree()->findChild<QTreeWidget*>("treeWidget");
}

// What the tree shows of one sensor: its name and every value row with its
// visibility.
struct Rows {
    QString name;
    std::vector<QString> values;
    std::vector<bool> hidden;
};

Rows rowsOf(MainWindow& window, int idx)
{
    QTreeWidgetItem* top = treeWidget(window)->topLevelItem(idx);
    Rows rows;
    rows.name = top->text(0);
    for (int k = 1; k < top->childCount(); ++k) {
        if (k == 13)
            continue;
        rows.values.push_back(top->child(k)->text(1));
        rows.hidden.push_back(top->child(k)->isHidden());
    }
    return rows;
}

void expectSameRows(const Rows& a, const Rows& b)
{
    EXPECT_EQ(a.name, b.name);
    ASSERT_EQ(a.values.size(), b.values.size());
    for (size_t k = 0; k < a.values.size(); ++k) {
        SCOPED_TRACE("row " + std::to_string(k));
        EXPECT_EQ(a.hidden[k], b.hidden[k]);
        if (a.values[k].isEmpty() || b.values[k].isEmpty())
            EXPECT_EQ(a.values[k], b.values[k]);
        else // six decimals; a last digit may round the other way
            EXPECT_NEAR(a.values[k].toDouble(), b.values[k].toDouble(), 1.5e-6)
                << a.values[k].toStdString() << " vs " << b.values[k].toStdString();
    }
}

QPushButton* rowButton(MainWindow& window, int idx)
{
    QTreeWidget* tree = treeWidget(window);
    return qobject_cast<QPushButton*>(tree->itemWidget(tree->topLevelItem(idx), 1));
}

void spit(const QString& path, const std::string& text)
{
    std::ofstream(path.toStdString()) << text;
}

class MainWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsFolder());
    }

    void SetUp() override
    {
        QSettings(QSettings::IniFormat, QSettings::UserScope, "Vellant", "Tessimo").clear();
        window = std::make_unique<MainWindow>();
    }
    void TearDown() override { window.reset(); }

    QString file(const QString& name) const { return dir.filePath(name); }

    // A scene of three renamed sensors with intrinsics of two kinds and
    // poses with non-trivial rotations, set as the dialogs set them.
    void buildScene()
    {
        SensorTree* tree = window->sensorTree();
        tree->addSensor();
        tree->addSensor();
        tree->setSensorName(0, "Left");
        tree->setSensorName(1, "Right");
        tree->setSensorName(2, "Robot");
        tree->updateIntrinsicsIdx(0, camera(1210.5, 1208.25, 640.125, 479.75),
                                  (cv::Mat_<double>(1, 5) << -0.21, 0.09, 0.0012, -0.0007, -0.015),
                                  cv::Size(1280, 960));
        tree->updateIntrinsicsIdx(1, camera(1500, 1490, 800, 600),
                                  (cv::Mat_<double>(1, 8) << -0.3, 0.1, 0.001, 0.002, 0.02, 0.4, -0.05, 0.01),
                                  cv::Size(1600, 1200));
        tree->updateExtrinsicsIdx(0, 1, rotation(0.1, 0.6, -0.2), vec3(-250, 10, 30));
        tree->updateExtrinsicsIdx(1, 2, rotation(-1.2, 0.4, 2.0), vec3(800, -1200, 450));
    }

    QTemporaryDir dir;
    std::unique_ptr<MainWindow> window;
};

} // namespace

TEST_F(MainWindowTest, StartsWithTheFormAndCam0AtTheOrigin)
{
    EXPECT_EQ(window->windowTitle(), "MainWindow");
    EXPECT_EQ(window->size(), QSize(800, 600));
    EXPECT_EQ(QCoreApplication::organizationName(), "Vellant");
    EXPECT_EQ(QCoreApplication::applicationName(), "Tessimo");
    auto* toolBar = window->findChild<QToolBar*>("mainToolBar");
    EXPECT_TRUE(toolBar == nullptr || toolBar->isHidden());
    auto* version = window->findChild<QLabel*>("label_version_number");
    ASSERT_NE(version, nullptr);
    EXPECT_TRUE(version->isHidden());
    EXPECT_EQ(version->text(), "Tessimo");
    auto* logo = window->findChild<QLabel*>("VellantLogo");
    ASSERT_NE(logo, nullptr);
    EXPECT_FALSE(logo->pixmap(Qt::ReturnByValue).isNull());
    EXPECT_EQ(logo->minimumSize(), QSize(100, 51));
    EXPECT_EQ(logo->maximumSize(), QSize(100, 51));
    EXPECT_FALSE(QIcon(":/icons/Vellant-Icon.ico").pixmap(32, 32).isNull());

    const std::pair<const char*, const char*> buttons[] = {
        {"button_checker_intr_calib", "Intrinsic"},
        {"button_define_world_cs", "Target Pose PnP"},
        {"button_checker_extr_calib", "Extrinsic Stereo"},
        {"button_checker_mulit_extr_calib", "Soon: Extrinsic Multi"},
        {"button_manhattan_extr_calib", "Manhattan World"},
        {"button_checker_cam_proj_calib", "Camera-Projector"},
        {"button_hand_eye", "Hand-Eye"},
        {"button_tool_flange", " Robot-World"}};
    for (const auto& [name, text] : buttons) {
        SCOPED_TRACE(name);
        auto* button = window->findChild<QPushButton*>(name);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->text(), text);
        const bool multi = std::string(name) == "button_checker_mulit_extr_calib";
        EXPECT_EQ(button->isHidden(), multi);
        EXPECT_EQ(button->isEnabled(), !multi);
    }
    auto* fileMenu = window->findChild<QMenu*>("menuFile");
    ASSERT_NE(fileMenu, nullptr);
    QStringList entries;
    for (QAction* a : fileMenu->actions())
        entries << (a->isSeparator() ? QString("-") : a->text());
    EXPECT_EQ(entries,
              QStringList({"New Project", "Load Project", "Save Project", "-", "Reset All Settings"}));
    ASSERT_NE(window->findChild<QAction*>("actionTessimo"), nullptr);

    // The renderer: gradient from blue to light grey; the camera looks along +z
    // from behind the origin with y pointing down.
    vtkRenderer* renderer = window->sceneRenderer();
    EXPECT_TRUE(renderer->GetGradientBackground());
    EXPECT_MAT_NEAR(cv::Mat(3, 1, CV_64F, renderer->GetBackground()), vec3(0.13, 0.52, 0.95), 1e-12);
    EXPECT_MAT_NEAR(cv::Mat(3, 1, CV_64F, renderer->GetBackground2()), vec3(0.95, 0.95, 0.95), 1e-12);
    vtkCamera* cam = renderer->GetActiveCamera();
    EXPECT_MAT_NEAR(cv::Mat(3, 1, CV_64F, cam->GetPosition()), vec3(0, 0, -5000), 1e-9);
    EXPECT_NEAR(cam->GetViewUp()[1], -1.0, 1e-9);

    // Cam0 at the origin: its assembly (axes and letters, no frustum) and label.
    ASSERT_EQ(window->sensorActors().size(), 1u);
    const SensorActors& cam0 = window->sensorActors()[0];
    EXPECT_FALSE(cam0.frustum);
    EXPECT_EQ(cam0.assembly->GetParts()->GetNumberOfItems(), 4);
    EXPECT_EQ(props(renderer).size(), 2u);
    EXPECT_STREQ(cam0.labelText->GetText(), "Cam0");
    EXPECT_EQ(cam0.label->GetCamera(), cam);
    expectDrawnAtRecords(*window);

    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    QTest::qWait(100);
    EXPECT_TRUE(window->grab().save(testing_support::screenshotPath("tessimo-MainWindow.png")));
}

TEST_F(MainWindowTest, PropsFollowTheTreesAddPoseAndRename)
{
    QPushButton* add = window->sensorTree()->findChild<QPushButton*>("addComponentButton");
    ASSERT_NE(add, nullptr);
    add->click();
    add->click();
    ASSERT_EQ(window->sensorActors().size(), 3u);
    // Sensor r stands 1000 r mm along y of the reference frame.
    for (int r = 1; r < 3; ++r) {
        SCOPED_TRACE(r);
        cv::Mat R, t;
        sceneTransform(window->sensorActors()[r].assembly, R, t);
        EXPECT_MAT_NEAR(t, vec3(0, 1000.0 * r, 0), 1e-9);
    }
    expectDrawnAtRecords(*window);

    // A pose with a real rotation: the frame is drawn at [R^T | -R^T t].
    const cv::Mat R = rotation(0.3, -0.9, 1.7), t = vec3(140, -75, 620);
    window->sensorTree()->updateExtrinsicsIdx(0, 1, R, t);
    cv::Mat Rs, ts;
    sceneTransform(window->sensorActors()[1].assembly, Rs, ts);
    EXPECT_MAT_NEAR(Rs, R.t(), 1e-12);
    EXPECT_MAT_NEAR(ts, -R.t() * t, 1e-9);
    expectDrawnAtRecords(*window);

    // A rename changes only the label's text.
    vtkFollower* label = window->sensorActors()[2].label;
    vtkVectorText* text = window->sensorActors()[2].labelText;
    window->sensorTree()->setSensorName(2, "Projector");
    EXPECT_EQ(window->sensorActors()[2].label.Get(), label);
    EXPECT_EQ(window->sensorActors()[2].labelText.Get(), text);
    EXPECT_STREQ(text->GetText(), "Projector");
    EXPECT_EQ(label->GetCamera(), window->sceneRenderer()->GetActiveCamera());
    expectDrawnAtRecords(*window);
}

TEST_F(MainWindowTest, FrustumIsBuiltOnceTheImageSizeIsKnownAndRebuiltInPlace)
{
    SensorTree* tree = window->sensorTree();
    tree->addSensor();
    const cv::Mat R = rotation(-0.4, 0.25, 0.9), t = vec3(-300, 80, 1500);
    tree->updateExtrinsicsIdx(0, 1, R, t);

    tree->updateIntrinsicsIdx(1, camera(900, 880, 300, 200), cv::Mat(), cv::Size(0, 0));
    EXPECT_FALSE(window->sensorActors()[1].frustum);

    // The size arrives with the next change of the intrinsics.
    tree->updateIntrinsicsIdx(1, camera(910, 880, 300, 200), cv::Mat(), cv::Size(640, 480));
    vtkActor* frustum = window->sensorActors()[1].frustum;
    ASSERT_NE(frustum, nullptr);
    vtkAssembly* assembly = window->sensorActors()[1].assembly;
    EXPECT_TRUE(isPart(assembly, frustum));

    const cv::Mat K2 = camera(1200, 1150, 330, 250);
    tree->updateIntrinsicsIdx(1, K2, cv::Mat(), cv::Size(0, 0));
    ASSERT_EQ(window->sensorActors()[1].frustum.Get(), frustum);
    EXPECT_TRUE(isPart(assembly, frustum));
    EXPECT_EQ(assembly->GetParts()->GetNumberOfItems(), 5);

    // The far corners in the scene: R^T (c - t) for c the corner in the
    // camera frame, with fx for x and fy for y at depth 1000.
    frustum->GetMapper()->Update();
    auto* poly = vtkPolyData::SafeDownCast(frustum->GetMapper()->GetInputAsDataSet());
    ASSERT_NE(poly, nullptr);
    ASSERT_EQ(poly->GetNumberOfPoints(), 5);
    const double d = 1000;
    const cv::Mat corners[4] = {vec3(-330 * d / 1200, -250 * d / 1150, d),
                                vec3((640 - 330) * d / 1200, -250 * d / 1150, d),
                                vec3((640 - 330) * d / 1200, (480 - 250) * d / 1150, d),
                                vec3(-330 * d / 1200, (480 - 250) * d / 1150, d)};
    cv::Mat Rs, ts;
    sceneTransform(assembly, Rs, ts);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        double p[3];
        poly->GetPoint(i, p);
        const cv::Mat local = vec3(p[0], p[1], p[2]);
        EXPECT_MAT_NEAR(local, corners[i], 1e-9);
        EXPECT_MAT_NEAR(Rs * local + ts, R.t() * (corners[i] - t), 1e-6);
    }
}

TEST_F(MainWindowTest, DeletingASensorRemovesItsPropsAndTheLaterOnesMoveUp)
{
    SensorTree* tree = window->sensorTree();
    tree->addSensor();
    tree->addSensor();
    const SensorActors deleted = window->sensorActors()[1];
    const SensorActors last = window->sensorActors()[2];
    QSignalSpy removed(tree, &SensorTree::removeSensorFromRender);
    rowButton(*window, 1)->click();
    ASSERT_EQ(removed.count(), 1);
    EXPECT_EQ(removed.at(0).at(0).toInt(), 1);
    ASSERT_EQ(window->sensorActors().size(), 2u);
    EXPECT_FALSE(shows(window->sceneRenderer(), deleted.assembly));
    EXPECT_FALSE(shows(window->sceneRenderer(), deleted.label));
    EXPECT_EQ(window->sensorActors()[1].assembly, last.assembly);
    EXPECT_EQ(window->sensorActors()[1].label, last.label);
    EXPECT_EQ(props(window->sceneRenderer()).size(), 4u);
    expectDrawnAtRecords(*window);

    // Deleting the first sensor re-expresses the others: still drawn at their records.
    tree->updateExtrinsicsIdx(0, 1, rotation(0.2, 0.3, -0.4), vec3(10, 20, 30));
    rowButton(*window, 0)->click();
    ASSERT_EQ(window->sensorActors().size(), 1u);
    expectDrawnAtRecords(*window);
}

TEST_F(MainWindowTest, NewProjectStartsOverWithCam0AndKeepsTheCamera)
{
    buildScene();
    vtkCamera* cam = window->sceneRenderer()->GetActiveCamera();
    cam->SetPosition(350, -120, -2400);
    window->findChild<QAction*>("actionNew_Project")->trigger();
    ASSERT_EQ(window->sensorActors().size(), 1u);
    ASSERT_EQ(window->sensorTree()->getSensors().size(), 1u);
    EXPECT_EQ(window->sensorTree()->getSensors()[0].name, "Cam0");
    EXPECT_EQ(props(window->sceneRenderer()).size(), 2u);
    EXPECT_FALSE(window->sensorActors()[0].frustum);
    EXPECT_EQ(window->sceneRenderer()->GetActiveCamera(), cam);
    EXPECT_MAT_NEAR(cv::Mat(3, 1, CV_64F, cam->GetPosition()), vec3(350, -120, -2400), 1e-9);
    expectDrawnAtRecords(*window);
}

// Every dialog's sensor boxes follow their sensors by row, whatever the
// names: namesakes (a rename checks nothing) never pull a box onto another
// sensor. A rename or an added sensor leaves each box on its row; a deletion
// moves the boxes below it up a row and leaves a box on the deleted sensor
// blank; a new or a loaded project leaves every box blank.
TEST_F(MainWindowTest, EveryDialogsSensorBoxesFollowTheirSensorsByRow)
{
    SensorTree* tree = window->sensorTree();
    for (int i = 1; i < 5; ++i)
        tree->addSensor();
    tree->setSensorName(2, "Dup");
    tree->setSensorName(3, "Dup");
    window->show();

    // Each dialog's boxes, the first on the second "Dup" (row 3), the other
    // on Cam4 (row 4).
    std::vector<std::pair<QPointer<QComboBox>, int>> boxes; // box, its first row
    const char* buttons[] = {
        "button_checker_intr_calib",   "button_define_world_cs",        "button_checker_extr_calib",
        "button_manhattan_extr_calib", "button_checker_cam_proj_calib", "button_hand_eye",
        "button_tool_flange"};
    const char* boxNames[] = {"combo_sensor",           "combo_sensor_primary", "combo_cam",  "combo_world",
                              "combo_sensor_secondary", "combo_projector",      "combo_robot"};
    for (const char* button : buttons) {
        const QWidgetList before = QApplication::topLevelWidgets();
        window->findChild<QPushButton*>(button)->click();
        QWidget* dialog = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (!before.contains(w) && qobject_cast<QDialog*>(w))
                dialog = w;
        ASSERT_NE(dialog, nullptr) << button;
        int found = 0;
        for (const char* name : boxNames)
            if (auto* box = dialog->findChild<QComboBox*>(name)) {
                box->setCurrentIndex(found == 0 ? 3 : 4);
                boxes.emplace_back(box, found == 0 ? 3 : 4);
                ++found;
            }
        EXPECT_GE(found, 1) << button;
    }
    ASSERT_EQ(boxes.size(), 13u);

    const QString project = file("scene.yml");
    auto deleteRow = [this](int row) { rowButton(*window, row)->click(); };
    const struct {
        const char* what;
        std::function<void()> make;
        int first, other; // rows of the boxes after the change
    } steps[] = {
        {"the other box's sensor renamed to the namesakes' name", [&] { tree->setSensorName(4, "Dup"); }, 3,
         4},
        {"a sensor added", [&] { tree->addSensor(); }, 3, 4},
        {"a sensor above them deleted", [&] { deleteRow(1); }, 2, 3},
        {"the first box's sensor deleted", [&] { deleteRow(2); }, -1, 2},
        {"the other box's sensor renamed", [&] { tree->setSensorName(2, "Right"); }, -1, 2},
        {"the scene replaced by its own project",
         [&] {
             ASSERT_TRUE(window->saveProject(project, 0));
             ASSERT_TRUE(window->loadProject(project));
         },
         -1, -1},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        step.make();
        QCoreApplication::processEvents();
        std::vector<QString> names;
        tree->getSensorNames(names);
        for (const auto& [box, firstRow] : boxes) {
            ASSERT_TRUE(box);
            SCOPED_TRACE(box->window()->windowTitle().toStdString() + ", " + box->objectName().toStdString());
            const int expected = firstRow == 3 ? step.first : step.other;
            EXPECT_EQ(box->currentIndex(), expected);
            EXPECT_EQ(box->currentText(), expected >= 0 ? names[size_t(expected)] : QString());
            ASSERT_EQ(box->count(), int(names.size()));
        }
    }
    // New Project: Cam0 again, but not the sensor a box had chosen.
    for (auto& [box, firstRow] : boxes)
        box->setCurrentIndex(0);
    window->findChild<QAction*>("actionNew_Project")->trigger();
    for (const auto& [box, firstRow] : boxes)
        EXPECT_EQ(box->currentIndex(), -1) << box->objectName().toStdString();
}

TEST_F(MainWindowTest, AProjectSavedWithAnotherWorldLoadsBackToTheSameRows)
{
    buildScene();
    const std::vector<Sensor> before = window->sensorTree()->getSensors();
    std::vector<Rows> rowsBefore;
    for (int i = 0; i < 3; ++i)
        rowsBefore.push_back(rowsOf(*window, i));

    // Save through the menu: the world chooser, then the file dialog.
    ModalDriver driver;
    driver.world = 1;
    driver.chooserShot = testing_support::screenshotPath("tessimo-CustomSaveWrtDialog.png");
    driver.fileToChoose = file("cell.yml");
    window->findChild<QAction*>("actionSave_Project")->trigger();
    EXPECT_EQ(driver.chooserTitle, "Select World");
    EXPECT_EQ(driver.chooserNames, QStringList({"Left", "Right", "Robot"}));
    EXPECT_EQ(driver.fileDialogTitle, "Save Tessimo project as");
    EXPECT_TRUE(driver.fileDialogFilter.contains("Calibration files (*.yml)"));
    EXPECT_TRUE(driver.boxes.empty());
    ASSERT_TRUE(QFile::exists(file("cell.yml")));
    ASSERT_TRUE(QFile::exists(file("cell.json")));
    {
        cv::FileStorage fs(file("cell.yml").toStdString(), cv::FileStorage::READ);
        EXPECT_EQ(fs["World"][0].string(), "Right");
    }

    window->findChild<QAction*>("actionNew_Project")->trigger();
    ASSERT_EQ(window->sensorTree()->getSensors().size(), 1u);

    // Load through the menu.
    driver.fileToChoose = file("cell.yml");
    window->findChild<QAction*>("actionLoad_Project")->trigger();
    EXPECT_EQ(driver.fileDialogTitle, "Open Tessimo project");
    EXPECT_TRUE(driver.boxes.empty());

    const std::vector<Sensor> after = window->sensorTree()->getSensors();
    ASSERT_EQ(after.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(before[i].name);
        EXPECT_EQ(after[i].name, before[i].name);
        expectSameRows(rowsOf(*window, i), rowsBefore[i]);
        EXPECT_MAT_NEAR(after[i].K, before[i].K, 1e-6);
        EXPECT_MAT_NEAR(after[i].kc, before[i].kc, 1e-12);
        EXPECT_EQ(after[i].imgSize, before[i].imgSize);
        for (int j = 0; j < 3; ++j) {
            SCOPED_TRACE(j);
            const cv::Mat T_ij_before = cal::getRt4x4(before[i].R, before[i].t) *
                                        cal::invertRt4x4(cal::getRt4x4(before[j].R, before[j].t));
            const cv::Mat T_ij_after = cal::getRt4x4(after[i].R, after[i].t) *
                                       cal::invertRt4x4(cal::getRt4x4(after[j].R, after[j].t));
            EXPECT_MAT_NEAR(T_ij_after, T_ij_before, 1e-9);
        }
        EXPECT_EQ((bool)window->sensorActors()[i].frustum, !before[i].K.empty());
    }
    expectDrawnAtRecords(*window);

    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    window->sceneRenderer()->ResetCamera();
    QTest::qWait(100);
    EXPECT_TRUE(window->grab().save(testing_support::screenshotPath("tessimo-MainWindow-project.png")));
}

TEST_F(MainWindowTest, AProjectNameTypedWithoutSuffixIsSavedAsYaml)
{
    buildScene();
    const struct {
        QString typed, saved, twin;
    } cases[] = {
        {"cell1", "cell1.yml", "cell1.json"},
        {"cell.yaml", "cell.yaml", "cell.json"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed.toStdString());
        ModalDriver driver;
        driver.world = 0;
        driver.fileToChoose = file(c.typed);
        window->findChild<QAction*>("actionSave_Project")->trigger();
        EXPECT_TRUE(driver.boxes.empty());
        EXPECT_TRUE(QFile::exists(file(c.saved)));
        EXPECT_TRUE(QFile::exists(file(c.twin)));
        if (c.typed != c.saved) {
            EXPECT_FALSE(QFile::exists(file(c.typed)));
        }
    }
}

TEST_F(MainWindowTest, LegacyProjectsLoadWithTheOtherPoseDirection)
{
    const cv::Mat R = rotation(0.3, -0.8, 1.4), T = vec3(120, -45, 980);
    for (const auto& [date, legacy] : {std::pair<const char*, bool>{"2018-12-31T23:59:59", true},
                                       std::pair<const char*, bool>{"2019-01-01T00:00:00", false}}) {
        SCOPED_TRACE(date);
        const QString path = file("dated.yml");
        {
            cv::FileStorage fs(path.toStdString(), cv::FileStorage::WRITE | cv::FileStorage::FORMAT_YAML);
            fs << "ISODate" << date;
            fs << "Sensors"
               << "["
               << "World"
               << "Cam"
               << "]";
            fs << "World"
               << "["
               << "World"
               << "]";
            fs << "R0" << cv::Mat::eye(3, 3, CV_64F) << "T0" << cv::Mat::zeros(3, 1, CV_64F);
            fs << "R1" << R << "T1" << T;
        }
        ASSERT_TRUE(window->loadProject(path));
        const std::vector<Sensor> sensors = window->sensorTree()->getSensors();
        ASSERT_EQ(sensors.size(), 2u);
        // Pose of Cam relative to World: x_cam = R_rel x_world + t_rel.
        const cv::Mat T_rel = cal::getRt4x4(sensors[1].R, sensors[1].t) *
                              cal::invertRt4x4(cal::getRt4x4(sensors[0].R, sensors[0].t));
        const cv::Mat expected = legacy ? cal::getRt4x4(R, T) : cal::invertRt4x4(cal::getRt4x4(R, T));
        EXPECT_MAT_NEAR(T_rel, expected, 1e-9);
        expectDrawnAtRecords(*window);
    }
}

TEST_F(MainWindowTest, MalformedProjectsAreReportedAndLeaveTheSceneUntouched)
{
    buildScene();
    const std::vector<Sensor> before = window->sensorTree()->getSensors();
    std::vector<Rows> rowsBefore;
    for (int i = 0; i < 3; ++i)
        rowsBefore.push_back(rowsOf(*window, i));
    const std::vector<SensorActors> actorsBefore = window->sensorActors();

    const std::string head = "%YAML:1.0\n---\n";
    const std::string names = "Sensors: [ A, B ]\nWorld: [ A ]\n";
    auto mat = [](const std::string& key, int rows, int cols, const std::string& data) {
        return key + ": !!opencv-matrix\n   rows: " + std::to_string(rows) +
               "\n   cols: " + std::to_string(cols) + "\n   dt: d\n   data: [ " + data + " ]\n";
    };
    const std::string K = mat("K0", 3, 3, "800, 0, 320, 0, 800, 240, 0, 0, 1");
    struct Case {
        const char* what;
        std::string text; // empty: no such file
        const char* title;
    };
    // The last sensor is malformed, so a loader that rebuilt the scene while
    // reading would already have replaced it.
    const Case cases[] = {
        {"missing file", "", "Error"},
        {"not a project", head + "Sensors: [ A,\n World: {{\n", "OpenCV exception"},
        {"no Sensors", head + "World: [ A ]\n", "Error"},
        {"empty Sensors", head + "Sensors: []\nWorld: [ A ]\n", "Error"},
        {"empty World", head + "Sensors: [ A ]\nWorld: []\n", "Error"},
        {"unknown World", head + "Sensors: [ A ]\nWorld: [ Z ]\n", "Error"},
        {"K of 2x2", head + names + K + mat("K1", 2, 2, "1, 0, 0, 1"), "Error"},
        {"kc of 3", head + names + K + mat("kc0", 1, 3, "0.1, 0.2, 0.3"), "Error"},
        {"R of 2x2", head + names + mat("R1", 2, 2, "1, 0, 0, 1") + mat("T1", 3, 1, "0, 0, 0"), "Error"},
        {"T missing", head + names + mat("R1", 3, 3, "1, 0, 0, 0, 1, 0, 0, 0, 1"), "Error"},
        {"imgSize zero", head + names + K + "imgSize1: [ 0, 0 ]\n", "Error"},
        {"bad date", head + "ISODate: \"31.12.2018\"\n" + names, "Error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const QString path = file(QString("bad %1.yml").arg(c.what));
        if (!c.text.empty())
            spit(path, c.text);
        ModalDriver driver;
        EXPECT_FALSE(window->loadProject(path));
        ASSERT_EQ(driver.boxes.size(), 1u);
        EXPECT_EQ(driver.boxes[0].title, c.title);
        EXPECT_EQ(driver.boxes[0].icon, QMessageBox::Critical);
        EXPECT_TRUE(driver.boxes[0].text.contains(path)) << driver.boxes[0].text.toStdString();

        const std::vector<Sensor> now = window->sensorTree()->getSensors();
        ASSERT_EQ(now.size(), before.size());
        ASSERT_EQ(window->sensorActors().size(), actorsBefore.size());
        for (size_t i = 0; i < now.size(); ++i) {
            EXPECT_EQ(now[i].name, before[i].name);
            EXPECT_MAT_NEAR(now[i].R, before[i].R, 0);
            EXPECT_MAT_NEAR(now[i].t, before[i].t, 0);
            EXPECT_MAT_NEAR(now[i].K, before[i].K, 0);
            expectSameRows(rowsOf(*window, (int)i), rowsBefore[i]);
            EXPECT_EQ(window->sensorActors()[i].assembly, actorsBefore[i].assembly);
            EXPECT_TRUE(shows(window->sceneRenderer(), actorsBefore[i].assembly));
        }
    }
}

// A load renders the 3D view once, however many sensors the project holds,
// and leaves each sensor with one group of props where its record places it.
TEST_F(MainWindowTest, ALoadRendersTheViewOnce)
{
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    QTest::qWait(100);
    const int n = 30;
    std::vector<Sensor> sensors;
    for (int j = 0; j < n; ++j) {
        Sensor s;
        s.name = "Camera " + std::to_string(j);
        s.R = rotation(0.1 * j, -0.05 * j, 0.3);
        s.t = vec3(200.0 * (j % 6), 300.0 * (j / 6), 50.0 * j);
        s.K = camera(900 + j, 905 + j, 320, 240);
        s.imgSize = cv::Size(640, 480);
        sensors.push_back(s);
    }
    const QString path = file("thirty.yml");
    ASSERT_EQ(saveProjectFiles(path.toStdString(), sensors, 0, "2026-01-01T00:00:00").status,
              ProjectSaveResult::Saved);

    int renders = 0;
    vtkNew<vtkCallbackCommand> counter;
    counter->SetClientData(&renders);
    counter->SetCallback([](vtkObject*, unsigned long, void* count, void*) { ++*static_cast<int*>(count); });
    vtkRenderWindow* renderWindow = window->sceneRenderer()->GetRenderWindow();
    const unsigned long observer = renderWindow->AddObserver(vtkCommand::StartEvent, counter);
    ASSERT_TRUE(window->loadProject(path));
    QTest::qWait(200);
    renderWindow->RemoveObserver(observer);

    EXPECT_EQ(renders, 1);
    ASSERT_EQ(window->sensorActors().size(), size_t(n));
    EXPECT_EQ(props(window->sceneRenderer()).size(), size_t(2 * n)); // an assembly and a label each
    for (const SensorActors& a : window->sensorActors()) {
        ASSERT_TRUE(a.frustum);
        EXPECT_TRUE(isPart(a.assembly, a.frustum));
    }
    expectDrawnAtRecords(*window);
    window->sceneRenderer()->ResetCamera();
    window->sceneRenderer()->GetRenderWindow()->Render();
    QTest::qWait(100);
    EXPECT_TRUE(window->grab().save(testing_support::screenshotPath("tessimo-MainWindow-30-sensors.png")));
}

TEST_F(MainWindowTest, SeveralWorldsLoadWithTheFirstAfterAWarning)
{
    const QString path = file("worlds.yml");
    spit(path, "%YAML:1.0\n---\nSensors: [ A, B, C ]\nWorld: [ B, C ]\n");
    ModalDriver driver;
    ASSERT_TRUE(window->loadProject(path));
    ASSERT_EQ(driver.boxes.size(), 1u);
    EXPECT_EQ(driver.boxes[0].title, "Warning");
    EXPECT_EQ(driver.boxes[0].text, "Project contains multiple worlds, using the first item B as the world");
    const std::vector<Sensor> sensors = window->sensorTree()->getSensors();
    ASSERT_EQ(sensors.size(), 3u);
    EXPECT_EQ(sensors[2].name, "C");
    expectDrawnAtRecords(*window);
}

TEST_F(MainWindowTest, SaveProblemsAreReportedAndNeverCrash)
{
    buildScene();
    struct Case {
        const char* what;
        std::function<QString(const QTemporaryDir&)> prepare; // returns the chosen file name
        const char* title;                                    // nullptr: saved without a message
        bool yamlWritten;
    };
    const Case cases[] = {
        {"plain save", [](const QTemporaryDir& d) { return d.filePath("ok.yml"); }, nullptr, true},
        {"no suffix", [](const QTemporaryDir& d) { return d.filePath("plain"); }, nullptr, true},
        {"name ending in .json", [](const QTemporaryDir& d) { return d.filePath("cell.json"); }, "Error",
         false},
        {"missing folder", [](const QTemporaryDir& d) { return d.filePath("none/cell.yml"); },
         "Unable to open file", false},
        {"twin blocked",
         [](const QTemporaryDir& d) {
             QDir(d.path()).mkdir("blocked.json");
             return d.filePath("blocked.yml");
         },
         "Warning", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const QString path = c.prepare(dir);
        ModalDriver driver;
        const bool saved = window->saveProject(path, 2);
        EXPECT_EQ(saved, c.yamlWritten);
        EXPECT_EQ(QFileInfo(path).isFile(), c.yamlWritten);
        if (c.title) {
            ASSERT_EQ(driver.boxes.size(), 1u);
            EXPECT_EQ(driver.boxes[0].title, c.title);
        } else {
            EXPECT_TRUE(driver.boxes.empty());
        }
    }
    EXPECT_TRUE(QFileInfo(file("plain.json")).isFile());
    EXPECT_TRUE(QFileInfo(file("ok.json")).isFile());

    // A world whose name another sensor carries could not be found again.
    {
        window->sensorTree()->setSensorName(0, "Robot");
        ModalDriver driver;
        EXPECT_FALSE(window->saveProject(file("twins.yml"), 2));
        ASSERT_EQ(driver.boxes.size(), 1u);
        EXPECT_EQ(driver.boxes[0].title, "Error");
        EXPECT_TRUE(driver.boxes[0].text.contains("Robot")) << driver.boxes[0].text.toStdString();
        EXPECT_FALSE(QFile::exists(file("twins.yml")));
        window->sensorTree()->setSensorName(0, "Left");
    }

    // A cancelled chooser or file dialog writes nothing.
    ModalDriver driver;
    driver.acceptChooser = false;
    window->findChild<QAction*>("actionSave_Project")->trigger();
    driver.acceptChooser = true;
    driver.fileToChoose.clear();
    window->findChild<QAction*>("actionSave_Project")->trigger();
    EXPECT_TRUE(driver.boxes.empty());

    // An empty scene gets a message, not a crash, and nothing is written.
    for (int i = 2; i >= 0; --i)
        rowButton(*window, i)->click();
    ASSERT_TRUE(window->sensorTree()->getSensors().empty());
    EXPECT_TRUE(window->sensorActors().empty());
    driver.fileToChoose = file("empty.yml");
    driver.chooserTitle.clear();
    window->findChild<QAction*>("actionSave_Project")->trigger();
    ASSERT_EQ(driver.boxes.size(), 1u);
    EXPECT_EQ(driver.boxes[0].title, "Save Project");
    EXPECT_TRUE(driver.chooserTitle.isEmpty());
    EXPECT_FALSE(window->saveProject(file("empty.yml"), 0));
    EXPECT_FALSE(QFile::exists(file("empty.yml")));
}

TEST_F(MainWindowTest, SettingsKeepTheStartFolderAndResetEmptiesTheStore)
{
    {
        // First start: no start folder, so the dialog opens where the program runs.
        ModalDriver driver;
        window->findChild<QAction*>("actionLoad_Project")->trigger();
        EXPECT_EQ(driver.fileDialogTitle, "Open Tessimo project");
        EXPECT_EQ(driver.fileDialogDir, QDir::currentPath());
    }
    window.reset();
    {
        QSettings store(QSettings::IniFormat, QSettings::UserScope, "Vellant", "Tessimo");
        store.beginGroup("MainWindow");
        store.setValue("pos", QPoint(40, 30));
        store.setValue("size", QSize(900, 650));
        store.setValue("dir", dir.path());
        store.endGroup();
    }
    window = std::make_unique<MainWindow>();
    EXPECT_EQ(window->size(), QSize(900, 650));

    ModalDriver driver;
    driver.fileToChoose.clear();
    window->findChild<QAction*>("actionLoad_Project")->trigger();
    EXPECT_EQ(driver.fileDialogDir, QDir(dir.path()).absolutePath());

    window->findChild<QAction*>("actionReset_All_Settings")->trigger();
    {
        QSettings store(QSettings::IniFormat, QSettings::UserScope, "Vellant", "Tessimo");
        EXPECT_TRUE(store.allKeys().isEmpty());
    }
    window->resize(820, 610);
    window.reset(); // writes its group again
    QSettings store(QSettings::IniFormat, QSettings::UserScope, "Vellant", "Tessimo");
    EXPECT_EQ(store.childGroups(), QStringList({"MainWindow"}));
    EXPECT_EQ(store.value("MainWindow/dir").toString(), dir.path());
    EXPECT_EQ(store.value("MainWindow/size").toSize(), QSize(820, 610));
    store.clear();
}
