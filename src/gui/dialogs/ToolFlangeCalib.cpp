#include "gui/dialogs/ToolFlangeCalib.h"
#include "ui_ToolFlangeCalib.h"

#include "gui/views/scene_builders.h"

#include <QDir>

#include <opencv2/calib3d.hpp>

#include <vtkActor.h>
#include <vtkAssembly.h>
#include <vtkRenderer.h>

ToolFlangeCalib::ToolFlangeCalib(QWidget* parent, std::vector<QString> names)
    : RobotDialog(parent, std::move(names)), ui(new Ui::ToolFlangeCalib)
{
    ui->setupUi(this);
    initRobotFrame(ui, tr("Camera/Robot and Tool/Flange Calibration"), {ui->group_AXYB});
    ui->check_cam_calib->hide();
    ui->group_AXYB->hide();
    ui->check_normalize_image->hide();
}

ToolFlangeCalib::~ToolFlangeCalib()
{
    delete ui;
}

void ToolFlangeCalib::discardResults()
{
    RobotDialog::discardResults();
    RY.release();
    tY.release();
}

void ToolFlangeCalib::clearRun()
{
    RobotDialog::clearRun();
    RY.release();
    tY.release();
}

void ToolFlangeCalib::calibrate()
{
    RobotWorldRunInput input;
    if (!gatherRunInput(input))
        return;
    input.options.invertTcp = ui->check_invert_TCP->isChecked();
    input.options.invertTarget = ui->check_invert_target->isChecked();
    input.options.invertX = ui->check_invert_X->isChecked();
    input.options.invertY = ui->check_invert_Y->isChecked();
    const RobotRunResult result = robotWorldCalibrate(input, detectionCache, runLogger());
    renderer->RemoveAllViewProps();
    drawWorldAxes(renderer, robotName().toStdString());
    if (!presentRun(result, input, false)) {
        renderView();
        return;
    }
    RY = result.calib.RY.clone();
    tY = result.calib.tY.clone();
    RX = result.calib.RX.clone();
    tX = result.calib.tX.clone();
    resultValid = true;

    logAppend(tr("\nExtrinsics: ") + cameraName() + tr(" w.r.t. ") + robotName());
    logMatrix("RY", tY, RY, "tY");
    logAppend(tr("\nExtrinsics: Calibration target w.r.t. TCP"));
    logMatrix("RX", tX, RX, "tX");

    const QString path = QDir(lastDir).filePath("AX-YB.yml");
    std::string error;
    if (writeRobotWorldFile(path.toStdString(), RY, tY, RX, tX, error))
        logAppend(tr("Extrinsics saved to ") + path);
    else
        logAppend(tr("Could not write %1: %2").arg(path, QString::fromStdString(error)), Qt::red);

    drawCell(input.options.invertTcp);
    colourRows();
    refreshRowPanel();
    renderView();
    logAppend(tr("\nRMS 3D-Error of all calibration points: %1 mm").arg(result.calib.rms3d));

    const int camera = ui->combo_sensor->currentIndex();
    const int robot = ui->combo_robot->currentIndex();
    if (camera < 0) {
        logAppend(tr("No sensor present in the sensor list, aborting...\n"));
    } else if (robot < 0) {
        logAppend(tr("No robot present in the sensor list, aborting...\n"));
    } else {
        // With one sensor for both the tree ignores the pose; the run's
        // result is in the log, the file and the 3D view all the same.
        emit updateSecondaryExtrinsics(camera, robot, RY.clone(), tY.clone());
        if (camera == robot)
            logAppend(
                tr("Camera and robot base are the same sensor '%1': the sensor tree was left as it was.")
                    .arg(cameraName()));
        ui->progress_bar->setValue(ui->progress_bar->maximum());
    }
}

void ToolFlangeCalib::drawCell(bool invertTcp)
{
    // The cell: robot base, camera, and per image the target as the camera
    // saw it (cyan) and as the robot carried it (white).
    drawFrame(renderer, RY, tY, cameraName().toStdString());
    if (vtkSmartPointer<vtkActor> frustum = drawFrustum(renderer, K, lastImageSize, 1000.0, ""))
        setActorPose(frustum, RY, tY);
    cv::Mat rX;
    cv::Rodrigues(RX, rX);
    for (const int row : boardRows) {
        const RobotView& view = *lastRun.images[static_cast<size_t>(row)].view;
        auto seen = vtkSmartPointer<vtkAssembly>::New();
        drawTargetAssembly(renderer, seen, view.rvec, view.tvec, patternSize, squareSizeMm(), {0, 1, 1},
                           false);
        setActorPose(seen, RY, tY);
        cv::Mat R_tcp = view.R_base_tcp, t_tcp = view.t_base_tcp;
        if (invertTcp)
            invertPose(view.R_base_tcp, view.t_base_tcp, R_tcp, t_tcp);
        auto carried = vtkSmartPointer<vtkAssembly>::New();
        drawTargetAssembly(renderer, carried, rX, tX, patternSize, squareSizeMm(), {1, 1, 1}, false);
        setActorPose(carried, R_tcp, t_tcp);
    }
}

void ToolFlangeCalib::drawRowScene(bool imageShown, cv::Size imageSize, bool hasTcp, const cv::Mat&,
                                   const cv::Mat&, const RobotImageRecord* record)
{
    const bool haveCamera = !K.empty() && !RY.empty() && !tY.empty();
    if (imageShown && haveCamera) {
        if (vtkSmartPointer<vtkActor> frustum = drawFrustum(renderer, K, imageSize, 1000, ""))
            setActorPose(frustum, RY, tY);
        drawFrame(renderer, RY, tY, cameraName().toStdString());
    }
    if (hasTcp && record && haveCamera && rereadBoard()) {
        auto target = vtkSmartPointer<vtkAssembly>::New();
        drawTargetAssembly(renderer, target, record->view->rvec, record->view->tvec, patternSize,
                           squareSizeMm(), {0, 1, 1}, false);
        setActorPose(target, RY, tY);
    }
}
