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
    std::vector<RobotView> views;
    if (!prepareRun(views, false))
        return;
    renderer->RemoveAllViewProps();

    RobotWorldOptions options;
    options.invertTcp = ui->check_invert_TCP->isChecked();
    options.invertTarget = ui->check_invert_target->isChecked();
    options.invertX = ui->check_invert_X->isChecked();
    options.invertY = ui->check_invert_Y->isChecked();
    const RobotCalibResult result = robotWorldCalibrate(views, K, kc, options);
    if (!result.ok()) {
        logFailedSolve(result);
        drawWorldAxes(renderer, robotName().toStdString());
        renderView();
        return;
    }
    RY = result.RY.clone();
    tY = result.tY.clone();
    RX = result.RX.clone();
    tX = result.tX.clone();
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

    // The cell: robot base, camera, and per image the target as the camera
    // saw it (cyan) and as the robot carried it (white).
    drawWorldAxes(renderer, robotName().toStdString());
    drawFrame(renderer, RY, tY, cameraName().toStdString());
    if (vtkSmartPointer<vtkActor> frustum = drawFrustum(renderer, K, lastImageSize, 1000.0, ""))
        setActorPose(frustum, RY, tY);
    cv::Mat rX;
    cv::Rodrigues(RX, rX);
    for (size_t i = 0; i < views.size(); ++i) {
        auto seen = vtkSmartPointer<vtkAssembly>::New();
        drawTargetAssembly(renderer, seen, rvecs[i], tvecs[i], patternSize, squareSizeMm(), {0, 1, 1}, false);
        setActorPose(seen, RY, tY);
        cv::Mat R_tcp = tcpRotations[i], t_tcp = tcpTranslations[i];
        if (options.invertTcp)
            invertPose(tcpRotations[i], tcpTranslations[i], R_tcp, t_tcp);
        auto carried = vtkSmartPointer<vtkAssembly>::New();
        drawTargetAssembly(renderer, carried, rX, tX, patternSize, squareSizeMm(), {1, 1, 1}, false);
        setActorPose(carried, R_tcp, t_tcp);
    }
    storeViewResults(views, result);
    renderView();
    logAppend(tr("\nRMS 3D-Error of all calibration points: %1 mm").arg(result.rms3d));
    colourRows();

    const int camera = ui->combo_sensor->currentIndex();
    const int robot = ui->combo_robot->currentIndex();
    if (camera < 0) {
        logAppend(tr("No sensor present in the sensor list, aborting...\n"));
    } else if (robot < 0) {
        logAppend(tr("No robot present in the sensor list, aborting...\n"));
    } else {
        emit updateSecondaryExtrinsics(camera, robot, RY.clone(), tY.clone());
        ui->progress_bar->setValue(ui->progress_bar->maximum());
    }
}

void ToolFlangeCalib::drawRowScene(bool imageShown, cv::Size imageSize, bool hasTcp, const cv::Mat&,
                                   const cv::Mat&, int boardIndex)
{
    const bool haveCamera = !K.empty() && !RY.empty() && !tY.empty();
    if (imageShown && haveCamera) {
        if (vtkSmartPointer<vtkActor> frustum = drawFrustum(renderer, K, imageSize, 1000, ""))
            setActorPose(frustum, RY, tY);
        drawFrame(renderer, RY, tY, cameraName().toStdString());
    }
    if (hasTcp && resultValid && haveCamera && boardIndex >= 0 &&
        boardIndex < static_cast<int>(rvecs.size())) {
        if (rereadBoard()) {
            auto target = vtkSmartPointer<vtkAssembly>::New();
            drawTargetAssembly(renderer, target, rvecs[static_cast<size_t>(boardIndex)],
                               tvecs[static_cast<size_t>(boardIndex)], patternSize, squareSizeMm(), {0, 1, 1},
                               false);
            setActorPose(target, RY, tY);
        }
    }
}
