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
    std::vector<RobotView> views;
    if (!prepareRun(views, true))
        return;
    renderer->RemoveAllViewProps();

    const RobotCalibResult result = handEyeCalibrate(views, K, kc, method());
    if (!result.ok()) {
        logFailedSolve(result);
        drawWorldAxes(renderer, robotName().toStdString());
        renderView();
        return;
    }
    RX = result.RX.clone();
    tX = result.tX.clone();
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
    drawWorldAxes(renderer, robotName().toStdString());
    for (size_t i = 0; i < views.size(); ++i) {
        const cv::Mat& R_tcp = tcpRotations[i];
        const cv::Mat& t_tcp = tcpTranslations[i];
        drawFrame(renderer, R_tcp, t_tcp, tcpPoses[static_cast<size_t>(boardRows[static_cast<int>(i)])].name);
        const cv::Mat R_cam = R_tcp * RX, t_cam = t_tcp + R_tcp * tX;
        if (vtkSmartPointer<vtkActor> frustum = drawFrustum(renderer, K, lastImageSize, 500, ""))
            setActorPose(frustum, R_cam, t_cam);
        auto target = vtkSmartPointer<vtkAssembly>::New();
        drawTargetAssembly(renderer, target, rvecs[i], tvecs[i], patternSize, squareSizeMm(), {0, 1, 1},
                           false);
        setActorPose(target, R_cam, t_cam);
    }
    storeViewResults(views, result);
    colourRows();
    renderView();
    logAppend(tr("\nRMS 3D-Error of all calibration points: %1 mm").arg(result.rms3d));
    ui->progress_bar->setValue(ui->list_images->count() + 1);
}

void HandEyeCalib::drawRowScene(bool, cv::Size imageSize, bool hasTcp, const cv::Mat& R_tcp,
                                const cv::Mat& t_tcp, int boardIndex)
{
    if (!hasTcp || !resultValid || RX.empty() || tX.empty() || boardIndex < 0 ||
        boardIndex >= static_cast<int>(rvecs.size()))
        return;
    if (!rereadBoard())
        return;
    const cv::Mat R_cam = R_tcp * RX, t_cam = t_tcp + R_tcp * tX;
    drawFrame(renderer, R_cam, t_cam, cameraName().toStdString());
    if (vtkSmartPointer<vtkActor> frustum = drawFrustum(renderer, K, imageSize, 1000, ""))
        setActorPose(frustum, R_cam, t_cam);
    auto target = vtkSmartPointer<vtkAssembly>::New();
    drawTargetAssembly(renderer, target, rvecs[static_cast<size_t>(boardIndex)],
                       tvecs[static_cast<size_t>(boardIndex)], patternSize, squareSizeMm(), {0, 1, 1}, false);
    setActorPose(target, R_cam, t_cam);
}
