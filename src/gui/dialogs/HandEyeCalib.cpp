#include "gui/dialogs/HandEyeCalib.h"
#include "ui_HandEyeCalib.h"

#include "gui/views/scene_builders.h"

#include <QDir>

#include <opencv2/calib3d.hpp>

#include <vtkActor.h>
#include <vtkAssembly.h>
#include <vtkRenderer.h>

HandEyeCalib::HandEyeCalib(QWidget* parent, std::vector<QString> names)
    : RobotDialog(parent, std::move(names)), ui(new Ui::HandEyeCalib)
{
    ui->setupUi(this);
    initRobotFrame(ui, tr("Hand/Eye Calibration"), {ui->group_method});
    ui->check_normalize_image->hide();
}

HandEyeCalib::~HandEyeCalib()
{
    delete ui;
}

cv::HandEyeCalibrationMethod HandEyeCalib::method() const
{
    if (ui->radio_horaud->isChecked())
        return cv::CALIB_HAND_EYE_HORAUD;
    if (ui->radio_andreff->isChecked())
        return cv::CALIB_HAND_EYE_ANDREFF;
    return cv::CALIB_HAND_EYE_PARK;
}

void HandEyeCalib::calibrate()
{
    HandEyeRunInput input;
    if (!gatherRunInput(input))
        return;
    input.method = method();
    const RobotRunResult result = handEyeCalibrate(input, detectionCache, runLogger());
    renderer->RemoveAllViewProps();
    drawWorldAxes(renderer, robotName().toStdString());
    if (!presentRun(result, input, true)) {
        renderView();
        return;
    }
    RX = result.calib.RX.clone();
    tX = result.calib.tX.clone();
    resultValid = true;

    logAppend(tr("\nExtrinsics: ") + cameraName() + tr(" w.r.t. TCP of ") + robotName());
    logMatrix("RX", tX, RX, "tX");

    const QString path = QDir(lastDir).filePath("AX-XB.yml");
    std::string error;
    if (writeHandEyeFile(path.toStdString(), RX, tX, error))
        logAppend(tr("Extrinsics saved to ") + path);
    else
        logAppend(tr("Could not write %1: %2").arg(path, QString::fromStdString(error)), Qt::red);

    // The robot base, and per image the TCP, the camera it carries and the
    // target as that camera saw it; for a good result the targets coincide.
    for (const int row : boardRows) {
        const RobotView& view = *lastRun.images[static_cast<size_t>(row)].view;
        const cv::Mat& R_tcp = view.R_base_tcp;
        const cv::Mat& t_tcp = view.t_base_tcp;
        drawFrame(renderer, R_tcp, t_tcp, tcpPoses[static_cast<size_t>(row)].name);
        const cv::Mat R_cam = R_tcp * RX, t_cam = t_tcp + R_tcp * tX;
        if (vtkSmartPointer<vtkActor> frustum = drawFrustum(renderer, K, lastImageSize, 500, ""))
            setActorPose(frustum, R_cam, t_cam);
        auto target = vtkSmartPointer<vtkAssembly>::New();
        drawTargetAssembly(renderer, target, view.rvec, view.tvec, patternSize, squareSizeMm(), {0, 1, 1},
                           false);
        setActorPose(target, R_cam, t_cam);
    }
    colourRows();
    refreshRowPanel();
    renderView();
    logAppend(tr("\nRMS 3D-Error of all calibration points: %1 mm").arg(result.calib.rms3d));
    ui->progress_bar->setValue(ui->list_images->count() + 1);
}

void HandEyeCalib::drawRowScene(bool, cv::Size imageSize, bool hasTcp, const cv::Mat&, const cv::Mat&,
                                const RobotImageRecord* record)
{
    if (!hasTcp || !record || RX.empty() || tX.empty())
        return;
    if (!rereadBoard())
        return;
    // The camera where the run put it: on the TCP pose the run used.
    const RobotView& view = *record->view;
    const cv::Mat R_cam = view.R_base_tcp * RX, t_cam = view.t_base_tcp + view.R_base_tcp * tX;
    drawFrame(renderer, R_cam, t_cam, cameraName().toStdString());
    if (vtkSmartPointer<vtkActor> frustum = drawFrustum(renderer, K, imageSize, 1000, ""))
        setActorPose(frustum, R_cam, t_cam);
    auto target = vtkSmartPointer<vtkAssembly>::New();
    drawTargetAssembly(renderer, target, view.rvec, view.tvec, patternSize, squareSizeMm(), {0, 1, 1}, false);
    setActorPose(target, R_cam, t_cam);
}
