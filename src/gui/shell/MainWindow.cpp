#include "gui/shell/MainWindow.h"
#include "gui/shell/WheelGuard.h"

#include "core/io/project_file.h"
#include "gui/dialogs/CamProjStereoCalib.h"
#include "gui/dialogs/HandEyeCalib.h"
#include "gui/dialogs/IntrChessCalibWin.h"
#include "gui/dialogs/ManhattanWorld.h"
#include "gui/dialogs/StereoChessCalibWin.h"
#include "gui/dialogs/TargetPose.h"
#include "gui/dialogs/ToolFlangeCalib.h"
#include "gui/shell/About.h"
#include "gui/shell/CustomSaveWrtDialog.h"
#include "gui/shell/SensorTree.h"
#include "gui/shell/dialog_wiring.h"
#include "gui/views/scene_builders.h"
#include "gui/views/scene_view.h"
#include "gui/views/settings.h"
#include "ui_MainWindow.h"

#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

#include <vtkActor.h>
#include <vtkAssembly.h>
#include <vtkCamera.h>
#include <vtkFollower.h>
#include <vtkGenericOpenGLRenderWindow.h>
#include <vtkRenderer.h>
#include <vtkTransform.h>
#include <vtkVectorText.h>

// The logo and the icon are compiled into this library; a static library's
// resources must be registered by hand.
static void initTessimoResources()
{
    Q_INIT_RESOURCE(resources);
}

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    initTessimoResources();
    ui->setupUi(this);
    removeToolBar(ui->mainToolBar);
    ui->label_version_number->hide();

    QCoreApplication::setOrganizationName("Vellant");
    QCoreApplication::setApplicationName("Tessimo");
    loadSettings(this, lastDir);
    qApp->installEventFilter(new WheelGuard(this));

    ui->button_define_world_cs->show();
    ui->button_checker_mulit_extr_calib->hide();

    renderer = setupSceneView(ui->widget_vtk);

    SensorTree* tree = ui->widget_sensors;
    connect(tree, &SensorTree::addSensorToRender, this, &MainWindow::onSensorAdded);
    connect(tree, &SensorTree::removeSensorFromRender, this, &MainWindow::onSensorDeleted);
    connect(tree, &SensorTree::sensorNameChanged, this, &MainWindow::updateSensorName);
    connect(tree, &SensorTree::sensorExtrinsicsChanged, this, &MainWindow::updateSensorExtrinsics);
    connect(tree, &SensorTree::sensorIntrinsicsChanged, this, &MainWindow::updateSensorIntrinsics);

    tree->addSensor();
    updateSensorExtrinsics(0, cv::Mat::eye(3, 3, CV_64F), cv::Mat::zeros(3, 1, CV_64F));
    renderer->ResetCameraClippingRange();
}

MainWindow::~MainWindow()
{
    saveSettings(this, lastDir);
    delete ui;
}

SensorTree* MainWindow::sensorTree() const
{
    return ui->widget_sensors;
}

vtkRenderer* MainWindow::sceneRenderer() const
{
    return renderer;
}

void MainWindow::render()
{
    if (renderingHeld)
        return;
    ui->widget_vtk->renderWindow()->Render();
}

// ---------------------------------------------------------------------------
// Scene synchronisation with the sensor tree
// ---------------------------------------------------------------------------

void MainWindow::onSensorAdded(Sensor sensor)
{
    SensorActors record;
    record.assembly = vtkSmartPointer<vtkAssembly>::New();
    record.labelText = vtkSmartPointer<vtkVectorText>::New();
    record.label = vtkSmartPointer<vtkFollower>::New();
    addSensorLabel(renderer, record.labelText, record.label, sensor.name);
    buildSensorAxes(record.assembly, sensorAxes);
    renderer->AddActor(record.assembly);
    actors.push_back(record);
}

void MainWindow::onSensorDeleted(int idx)
{
    if (idx < 0 || idx >= (int)actors.size())
        return;
    renderer->RemoveActor(actors[idx].assembly);
    if (actors[idx].label)
        renderer->RemoveActor(actors[idx].label);
    actors.erase(actors.begin() + idx);
    render();
}

void MainWindow::updateSensorName(int idx, std::string name)
{
    if (idx < 0 || idx >= (int)actors.size())
        return;
    SensorActors& record = actors[idx];
    if (record.labelText) {
        record.labelText->SetText(name.c_str());
        record.labelText->Update();
    }
    render();
}

void MainWindow::updateSensorExtrinsics(int idx, cv::Mat R, cv::Mat t)
{
    if (idx < 0 || idx >= (int)actors.size())
        return;
    try {
        cv::Mat R_ref_sensor, t_ref_sensor;
        R.convertTo(R_ref_sensor, CV_64F);
        R_ref_sensor = R_ref_sensor.t();
        cv::Mat t64;
        t.reshape(1, 3).convertTo(t64, CV_64F);
        t_ref_sensor = -R_ref_sensor * t64;

        SensorActors& record = actors[idx];
        setActorPose(record.assembly, R_ref_sensor, t_ref_sensor);
        if (record.label) {
            auto transform = vtkSmartPointer<vtkTransform>::New();
            transform->Translate(t_ref_sensor.at<double>(0), t_ref_sensor.at<double>(1),
                                 t_ref_sensor.at<double>(2));
            record.label->SetUserTransform(transform);
            record.label->SetCamera(renderer->GetActiveCamera());
        }
        render();
    } catch (const cv::Exception& e) {
        qWarning() << "MainWindow::updateSensorExtrinsics:" << e.what();
    }
}

void MainWindow::updateSensorIntrinsics(int idx, cv::Mat K)
{
    if (idx < 0 || idx >= (int)actors.size())
        return;
    const cv::Size imgSize = ui->widget_sensors->sensorImageSize(idx);
    if (imgSize.width < 1 || imgSize.height < 1)
        return;

    try {
        SensorActors& record = actors[idx];
        if (record.frustum) {
            record.assembly->RemovePart(record.frustum);
            buildFrustum(record.frustum, K, imgSize, 1000);
            record.assembly->AddPart(record.frustum);
        } else if (buildFrustum(record.frustum, K, imgSize, 1000)) {
            record.assembly->AddPart(record.frustum);
        }
    } catch (const cv::Exception& e) {
        qWarning() << "MainWindow::updateSensorIntrinsics:" << e.what();
    }
    render();
}

// ---------------------------------------------------------------------------
// Project commands
// ---------------------------------------------------------------------------

void MainWindow::on_actionNew_Project_triggered()
{
    renderer->RemoveAllViewProps();
    actors.clear();
    ui->widget_sensors->clearSensors();
    ui->widget_sensors->addSensor();
    render();
}

void MainWindow::on_actionSave_Project_triggered()
{
    const std::vector<Sensor> sensors = ui->widget_sensors->getSensors();
    if (sensors.empty()) {
        QMessageBox::information(this, "Save Project",
                                 "The scene holds no sensor: there is nothing to save.");
        return;
    }
    QStringList names;
    for (const Sensor& s : sensors)
        names << QString::fromStdString(s.name);

    CustomSaveWrtDialog chooser(names);
    chooser.setWindowTitle("Select World");
    chooser.setWindowFlags(Qt::Dialog | Qt::WindowTitleHint);
    if (chooser.exec() != QDialog::Accepted)
        return;
    const int world = chooser.combo->currentIndex();

    QString fileName =
        QFileDialog::getSaveFileName(this, "Save Tessimo project as", lastDir, "Calibration files (*.yml)");
    if (fileName.isEmpty())
        return;
    // A name typed without a suffix gets the one the load dialog looks for.
    if (QFileInfo(fileName).suffix().isEmpty())
        fileName += ".yml";
    saveProject(fileName, world);
}

bool MainWindow::saveProject(const QString& fileName, int world)
{
    const std::vector<Sensor> sensors = ui->widget_sensors->getSensors();
    if (sensors.empty()) {
        QMessageBox::information(this, "Save Project",
                                 "The scene holds no sensor: there is nothing to save.");
        return false;
    }
    ProjectSaveResult result;
    try {
        const std::string isoDate = QDateTime::currentDateTime().toString(Qt::ISODate).toStdString();
        result = saveProjectFiles(fileName.toStdString(), sensors, world, isoDate);
    } catch (const cv::Exception& e) {
        QMessageBox::critical(nullptr, "OpenCV exception", QString::fromStdString(e.err));
        return false;
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, "OpenCV exception", QString::fromLocal8Bit(e.what()));
        return false;
    }

    const QString error = QString::fromStdString(result.error);
    const QString twin = QString::fromStdString(result.twinPath);
    switch (result.status) {
    case ProjectSaveResult::Saved:
        return true;
    case ProjectSaveResult::TwinIsMainFile:
        QMessageBox::critical(
            this, "Error",
            QString("The JSON twin of %1 would be the file itself; choose a name that does not "
                    "end in \".json\".")
                .arg(fileName));
        return false;
    case ProjectSaveResult::NamesNotStorable:
        QMessageBox::critical(this, "Error", error);
        return false;
    case ProjectSaveResult::MainNotOpened:
        QMessageBox::information(this, "Unable to open file", error);
        return false;
    case ProjectSaveResult::MainNotWritten:
        QMessageBox::critical(this, "Error",
                              QString("Couldn't write project file %1: %2").arg(fileName, error));
        return false;
    case ProjectSaveResult::TwinNotWritten:
        QMessageBox::warning(
            this, "Warning",
            QString("The project was saved to %1, but its JSON twin %2 could not be written: %3")
                .arg(fileName, twin, error));
        return true;
    }
    return false;
}

void MainWindow::on_actionLoad_Project_triggered()
{
    const QString fileName =
        QFileDialog::getOpenFileName(this, "Open Tessimo project", lastDir, "Calibration (*.yml)");
    if (fileName.isEmpty())
        return;
    loadProject(fileName);
}

bool MainWindow::loadProject(const QString& fileName)
{
    try {
        Project project;
        const ProjectReadResult result = readProjectFile(fileName.toStdString(), project);
        if (!result.ok) {
            // A file the parser refused is reported as an OpenCV error, in a
            // box of its own; a file of the wrong form over the main window.
            const bool parser = result.error == ProjectReadError::ParserError;
            QMessageBox::critical(parser ? nullptr : this, parser ? "OpenCV exception" : "Error",
                                  QString::fromStdString(result.message));
            return false;
        }
        for (const std::string& warning : result.warnings)
            QMessageBox::warning(this, "Warning", QString::fromStdString(warning));

        rebuildScene(project);
        return true;
    } catch (const cv::Exception& e) {
        QMessageBox::critical(nullptr, "OpenCV exception", QString::fromStdString(e.err));
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, "OpenCV exception", QString::fromLocal8Bit(e.what()));
    }
    return false;
}

void MainWindow::rebuildScene(const Project& project)
{
    // The tree announces every row it fills and the props follow each
    // announcement, but the view is rendered once, at the end (also after a
    // failure).
    renderingHeld = true;
    try {
        fillScene(project);
    } catch (...) {
        renderingHeld = false;
        render();
        throw;
    }
    renderingHeld = false;
    render();
}

void MainWindow::fillScene(const Project& project)
{
    renderer->RemoveAllViewProps();
    actors.clear();
    SensorTree* tree = ui->widget_sensors;
    const SensorTree::BulkUpdate bulk(*tree);
    tree->clearSensors();

    const int n = (int)project.sensors.size();
    for (int i = 0; i < n; ++i) {
        const ProjectSensor& s = project.sensors[i];
        tree->addSensor();
        tree->setSensorName(i, QString::fromStdString(s.name));
        if (!s.K.empty())
            tree->updateIntrinsicsIdx(i, s.K, s.kc, s.imgSize);
    }
    for (int i = 0; i < n; ++i) {
        const ProjectSensor& s = project.sensors[i];
        if (!s.R_sensor_world.empty())
            tree->updateExtrinsicsIdx(project.world, i, s.R_sensor_world, s.t_sensor_world);
    }
}

void MainWindow::on_actionReset_All_Settings_triggered()
{
    clearSettings();
}

void MainWindow::on_actionTessimo_triggered()
{
    About about(this);
    about.setWindowFlags(about.windowFlags() & ~Qt::WindowContextHelpButtonHint);
    about.exec();
}

// Opens a calibration dialog as a window of its own with the current sensor
// names, deleted when closed and closed with the main window, wired to the tree.
template <class Dialog> Dialog* MainWindow::openDialog()
{
    SensorTree* tree = ui->widget_sensors;
    std::vector<QString> names;
    tree->getSensorNames(names);
    auto* dialog = new Dialog(nullptr, names);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowFlags(Qt::Window);
    dialog->show();
    connect(this, &QObject::destroyed, dialog, &QWidget::close);
    connectDialog(dialog, tree);
    return dialog;
}

void MainWindow::on_button_checker_intr_calib_clicked(bool)
{
    openDialog<IntrChessCalibWin>();
}

void MainWindow::on_button_checker_extr_calib_clicked(bool)
{
    openDialog<StereoChessCalibWin>();
}

void MainWindow::on_button_define_world_cs_clicked()
{
    connectExtrinsicsDialog(openDialog<TargetPose>(), ui->widget_sensors);
}

void MainWindow::on_button_manhattan_extr_calib_clicked()
{
    connectExtrinsicsDialog(openDialog<ManhattanWorld>(), ui->widget_sensors);
}

void MainWindow::on_button_checker_cam_proj_calib_clicked(bool)
{
    openDialog<CamProjStereoCalib>();
}

void MainWindow::on_button_hand_eye_clicked()
{
    connectExtrinsicsDialog(openDialog<HandEyeCalib>(), ui->widget_sensors);
}

void MainWindow::on_button_tool_flange_clicked()
{
    connectExtrinsicsDialog(openDialog<ToolFlangeCalib>(), ui->widget_sensors);
}
