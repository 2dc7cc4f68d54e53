#include "gui/dialogs/TargetPose.h"
#include "ui_TargetPose.h"

#include "core/calib/reprojection.h"
#include "core/calib/target_pose.h"
#include "core/geometry/error_colors.h"
#include "gui/views/settings.h"

#include <QDoubleValidator>
#include <QFileDialog>
#include <QFileInfo>
#include <QIntValidator>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cmath>

TargetPose::TargetPose(QWidget* parent, std::vector<QString> names)
    : ChessboardDialog(parent), ui(new Ui::TargetPose), sensorNames(std::move(names))
{
    ui->setupUi(this);
    errorPanel = ReprojectionErrorPanel(ui->group_reproj_err, ui->label_rms_err, ui->label_min_err,
                                        ui->label_max_err, ui->image_label);
    initChessboardFrame(chessboardFormOf(ui));
    loadSettings(this, lastDirectory);
    titleText = tr("Calibration Target (World) Pose Estimation");

    {
        const QSignalBlocker blockSensor(ui->combo_sensor);
        const QSignalBlocker blockWorld(ui->combo_world);
        for (const QString& name : sensorNames) {
            ui->combo_sensor->addItem(name);
            ui->combo_world->addItem(name);
        }
        if (sensorNames.size() >= 2)
            ui->combo_sensor->setCurrentIndex(1);
    }
    hideErrors();
    ui->check_cam_calib->hide();

    ui->edit_iterations->setValidator(new QIntValidator(1, 1000000, ui->edit_iterations));
    auto* reprojValidator = new QDoubleValidator(0, 1000, 6, ui->edit_reproj_err);
    reprojValidator->setNotation(QDoubleValidator::StandardNotation);
    reprojValidator->setLocale(QLocale::c());
    ui->edit_reproj_err->setValidator(reprojValidator);
    ui->edit_confidence->setValidator(new QIntValidator(1, 100, ui->edit_confidence));

    // The RANSAC group follows the chosen solver, also after a restore.
    ui->group_ransac->setEnabled(!ui->radio_EP3P->isChecked());
    ui->group_corner_subpix->setEnabled(!ui->check_radon_detection->isChecked());
}

TargetPose::~TargetPose()
{
    saveSettings(this, lastDirectory);
    delete ui;
}

void TargetPose::hideErrors()
{
    errorPanel.hide();
}

void TargetPose::refreshSensors(const SceneChange& change)
{
    emit getSensorNames(sensorNames);
    refillSensorCombo(ui->combo_sensor, sensorNames, change);
    refillSensorCombo(ui->combo_world, sensorNames, change);
}

void TargetPose::on_button_open_image_clicked()
{
    const QString path =
        QFileDialog::getOpenFileName(this, tr("Open Image"), lastDirectory, imageFileFilter());
    openImage(path);
}

void TargetPose::openImage(const QString& path)
{
    if (path.isEmpty() || !QFileInfo::exists(path))
        return;
    logMoveToEnd();
    logColor(Qt::black);

    // Whatever happens below, the image opened before is not used any more:
    // a pose must never come from another image than the one asked for.
    imagePath = path;
    colourImage.release();
    grayImage.release();
    hideErrors();

    cv::Mat colour, gray;
    try {
        colour = cv::imread(path.toStdString(), cv::IMREAD_COLOR);
        if (!colour.empty())
            gray = cv::imread(path.toStdString(), cv::IMREAD_GRAYSCALE);
    } catch (const cv::Exception& e) {
        logAppend(tr("OpenCV exception caught: %1").arg(QString::fromStdString(e.what())), Qt::red);
        logRepaint();
        logColor(Qt::black);
        return;
    }
    if (colour.empty() || gray.empty()) {
        logAppend(tr("Could not open image: ") + path, Qt::red);
        logRepaint();
        logColor(Qt::black);
        setWindowTitle(titleText);
        return;
    }
    lastDirectory = QFileInfo(path).absolutePath();
    logAppend(tr("Input image: %1 x %2 px").arg(colour.cols).arg(colour.rows), Qt::black);
    colourImage = colour;
    grayImage = gray;
    ui->image_label->setImage(colourImage);
    setWindowTitle(QString("%1 - %2").arg(titleText, imagePath));
}

void TargetPose::on_button_calibrate_clicked()
{
    try {
        estimatePose();
    } catch (const std::exception& e) {
        logAppend(tr("Unexpected error: %1").arg(QString::fromLocal8Bit(e.what())), Qt::red);
        logAppend(tr("Aborting...\n"), Qt::red);
    }
    logRepaint();
    logColor(Qt::black);
}

void TargetPose::estimatePose()
{
    logMoveToEnd();
    logColor(Qt::black);
    logRepaint();
    ui->progress_bar->setRange(0, 3);
    ui->progress_bar->setValue(0);
    // Until this estimate has a pose, the view shows the image without the
    // markers and figures of an earlier one.
    showPlainImage();

    TargetPoseInput input;
    if (!gatherPoseInput(input))
        return;
    presentPose(estimateTargetPose(input));
}

bool TargetPose::gatherPoseInput(TargetPoseInput& input)
{
    if (!takeChessboardOptions(input.detection))
        return false;
    input.patternSize = patternSize;
    input.squareWidth = squareWidth;
    input.squareHeight = squareHeight;

    const int camera = ui->combo_sensor->currentIndex();
    if (camera < 0) {
        logAppend(tr("Please select a camera in the 'Select Sensor' combo box.\n"), Qt::red);
        return false;
    }
    const int world = ui->combo_world->currentIndex();
    if (world < 0) {
        logAppend(tr("Please select the world sensor in the 'Select World' combo box.\n"), Qt::red);
        return false;
    }

    cv::Size size;
    K.release();
    kc.release();
    emit getIntrinsics(camera, K, kc, size);
    if (K.empty()) {
        logAppend(tr("Camera '%1' must be calibrated! Load the intrinsic parameters or calibrate it with "
                     "'Intrinsic Calibration'.\n")
                      .arg(ui->combo_sensor->currentText()),
                  Qt::red);
        return false;
    }
    if (grayImage.empty()) {
        logAppend(tr("Open an image of the calibration target first.\n"), Qt::red);
        return false;
    }
    input.image = grayImage;
    input.K = K;
    input.kc = kc;
    return readPnpOptions(input);
}

bool TargetPose::readPnpOptions(TargetPoseInput& input)
{
    input.method = ui->radio_EP3P->isChecked()   ? PnpMethod::P3P
                   : ui->radio_EPNP->isChecked() ? PnpMethod::EPnP
                                                 : PnpMethod::Iterative;
    input.ransac = ui->group_ransac->isChecked() && ui->group_ransac->isEnabled();
    if (!input.ransac)
        return true;
    bool okIt = false, okErr = false, okConf = false;
    input.ransacIterations = ui->edit_iterations->text().trimmed().toInt(&okIt);
    input.ransacMaxError = ui->edit_reproj_err->text().trimmed().toFloat(&okErr);
    input.ransacConfidence = ui->edit_confidence->text().trimmed().toInt(&okConf);
    if (!okIt || input.ransacIterations <= 0 || !okErr || !(input.ransacMaxError > 0) || !okConf ||
        input.ransacConfidence <= 0 || input.ransacConfidence > 100) {
        logAppend(tr("The RANSAC parameters must be positive numbers (confidence at most 100 %), "
                     "aborting...\n"),
                  Qt::red);
        return false;
    }
    return true;
}

void TargetPose::presentPose(const TargetPoseResult& pose)
{
    switch (pose.error) {
    case TargetPoseError::DetectionError:
        logAppend(tr("OpenCV exception caught: %1").arg(QString::fromStdString(pose.message)), Qt::red);
        logAppend(tr("Skipping...\n"), Qt::red);
        return;
    case TargetPoseError::BoardNotFound:
        logAppend(tr("Chessboard could not be found"), Qt::red);
        return;
    default:
        break;
    }
    logAppend(tr("Chessboard detected"), Qt::green);
    logColor(Qt::black);
    ui->progress_bar->setValue(1);
    if (pose.error == TargetPoseError::OpenCvError) {
        logAppend(tr("OpenCV exception caught : ") + QString::fromStdString(pose.message), Qt::red);
        logAppend(tr("Aborting...\n"), Qt::red);
        return;
    }
    if (pose.error == TargetPoseError::BadInput) {
        logAppend(QString::fromStdString(pose.message), Qt::red);
        logAppend(tr("Aborting...\n"), Qt::red);
        return;
    }
    ui->progress_bar->setValue(2);
    if (pose.error == TargetPoseError::NoSolution) {
        logAppend(tr("Could not compute the PnP."), Qt::red);
        return;
    }
    if (pose.ransacUsed)
        logAppend(tr("inliers: %1").arg(pose.inliers), Qt::black);
    if (pose.error == TargetPoseError::TooFewInliers) {
        logAppend(tr("Less then 4 inliers left. Aborting ..."), Qt::red);
        return;
    }

    R = pose.R.clone();
    emit updateSecondaryExtrinsics(ui->combo_world->currentIndex(), ui->combo_sensor->currentIndex(),
                                   R.clone(), pose.tvec.clone());
    showPose(pose);
    logPose(pose);
    // With one sensor for both the tree ignores the pose; it is shown and
    // logged all the same.
    if (ui->combo_world->currentIndex() == ui->combo_sensor->currentIndex())
        logAppend(tr("World and camera are the same sensor '%1': the sensor tree was left as it was.")
                      .arg(ui->combo_sensor->currentText()));
    ui->progress_bar->setValue(3);
}

void TargetPose::showPose(const TargetPoseResult& pose)
{
    std::vector<cv::Vec3b> colours;
    for (const double e : pose.errors)
        colours.push_back(toRgb255(errorColor(e, pose.smallest, pose.largest)));
    errorPanel.drawView(colourImage, pose.imagePoints, colours, pose.projected,
                        projectBoardAxes(pose.rvec, pose.tvec, K, kc, squareWidth, squareHeight));
    errorPanel.show(pose.rms, cv::Vec3b(0, 0, 0), pose.smallest, pose.largest);
}

void TargetPose::logPose(const TargetPoseResult& pose)
{
    auto f4 = [](double v) { return QString::number(v, 'f', 4); };
    logAppend(tr("Target pose successfully estimated with an RMS of: %1").arg(pose.rms), Qt::black);
    logAppend(tr("Extrinsics: ") + ui->combo_world->currentText() + tr(" wrt ") +
              ui->combo_sensor->currentText());
    logAppend("tx " + f4(pose.tvec.at<double>(0)));
    logAppend("ty " + f4(pose.tvec.at<double>(1)));
    logAppend("tz " + f4(pose.tvec.at<double>(2)));
    logAppend("R ");
    for (int r = 0; r < 3; ++r)
        logAppend(f4(R.at<double>(r, 0)) + " " + f4(R.at<double>(r, 1)) + " " + f4(R.at<double>(r, 2)));
}

void TargetPose::showPlainImage()
{
    if (!colourImage.empty())
        ui->image_label->setImage(colourImage);
    hideErrors();
}

void TargetPose::on_check_radon_detection_toggled(bool checked)
{
    ui->group_corner_subpix->setEnabled(!checked);
}

void TargetPose::on_radio_EP3P_toggled(bool checked)
{
    if (checked)
        ui->group_ransac->setEnabled(false);
}

void TargetPose::on_radio_iterative_PNP_toggled(bool checked)
{
    if (checked)
        ui->group_ransac->setEnabled(true);
}

void TargetPose::on_radio_EPNP_toggled(bool checked)
{
    if (checked)
        ui->group_ransac->setEnabled(true);
}
