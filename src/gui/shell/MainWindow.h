#pragma once

// The program's main window: the sensor tree ("Objects"), the 3D scene of
// sensors ("Scene") and the column of calibration method buttons, with the
// project commands in its menu.
//
// The tree owns the Sensor records and announces every change by a signal;
// the window keeps one group of VTK props per sensor (element i of `actors`
// belongs to row i of the tree) and redraws it on each signal. A sensor's
// record maps reference coordinates into its frame (x_sensor = R x_ref + t),
// so its frame is drawn at (R^T, -R^T t).

#include <QMainWindow>
#include <QString>

#include <opencv2/core.hpp>
#include <vtkSmartPointer.h>

#include <string>
#include <vector>

#include "core/geometry/Sensor.h"
#include "gui/views/scene_builders.h"

struct Project;
class SensorTree;
class vtkActor;
class vtkAssembly;
class vtkFollower;
class vtkRenderer;
class vtkVectorText;

namespace Ui {
class MainWindow;
}

// The 3D props of one sensor.
struct SensorActors {
    vtkSmartPointer<vtkAssembly> assembly; // axes and, once known, the frustum; posed by the sensor's pose
    vtkSmartPointer<vtkActor> frustum;     // empty until the sensor has intrinsics and an image size
    vtkSmartPointer<vtkVectorText> labelText;
    vtkSmartPointer<vtkFollower> label; // added to the renderer directly; faces the camera
};

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // Writes the scene to fileName (YAML) and its ".json" twin with sensor
    // `world` as the world; every failure is shown in a message box. Returns
    // whether the YAML file was written.
    bool saveProject(const QString& fileName, int world);

    // Replaces the scene by the project in fileName. The file is checked
    // whole first: a file that cannot be used is reported in a message box
    // and leaves the scene as it was. The sensors are rebuilt through the
    // tree's own operations; the 3D view is rendered once, at the end.
    // Returns whether the scene was replaced.
    bool loadProject(const QString& fileName);

    SensorTree* sensorTree() const;
    vtkRenderer* sceneRenderer() const;
    const std::vector<SensorActors>& sensorActors() const { return actors; }

private slots:
    void on_actionNew_Project_triggered();
    void on_actionLoad_Project_triggered();
    void on_actionSave_Project_triggered();
    void on_actionReset_All_Settings_triggered();
    void on_actionTessimo_triggered();

    // Method buttons: each press opens a new dialog wired to the sensor tree.
    void on_button_checker_intr_calib_clicked(bool checked = false);
    void on_button_checker_extr_calib_clicked(bool checked = false);
    void on_button_define_world_cs_clicked();
    void on_button_manhattan_extr_calib_clicked();
    void on_button_checker_cam_proj_calib_clicked(bool checked = false);
    void on_button_hand_eye_clicked();
    void on_button_tool_flange_clicked();

    void onSensorAdded(Sensor sensor);
    void onSensorDeleted(int idx);
    void updateSensorName(int idx, std::string name);
    void updateSensorExtrinsics(int idx, cv::Mat R, cv::Mat t);
    void updateSensorIntrinsics(int idx, cv::Mat K);

private:
    // Renders the view, unless a load holds rendering back.
    void render();
    void rebuildScene(const Project& project);
    void fillScene(const Project& project);
    template <class Dialog> Dialog* openDialog();

    vtkSmartPointer<vtkRenderer> renderer;
    Ui::MainWindow* ui;
    QString lastDir;               // start folder of the project file dialogs
    SensorAxesGeometry sensorAxes; // what every sensor's axes and letters draw with
    std::vector<SensorActors> actors;
    bool renderingHeld = false; // while a project is loaded: the view is rendered once, at the end
};
