#include "gui/dialogs/RobotDialog.h"

#include "core/calib/reprojection.h"
#include "gui/dialogs/ReprojectionErrorPanel.h"

#include "core/geometry/pose_helpers.h"
#include "gui/views/ImageLabel.h"
#include "gui/views/scene_builders.h"
#include "gui/views/scene_view.h"
#include "gui/views/settings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleValidator>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QVTKOpenGLNativeWidget.h>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cmath>

#include <vtkCamera.h>
#include <vtkRenderer.h>

namespace {

const QChar kDelta(0x0394);
const QChar kDegree(0x00B0);

QString f4(double v)
{
    return QString::number(v, 'f', 4);
}

} // namespace

RobotDialog::RobotDialog(QWidget* parent, std::vector<QString> names)
    : ChessboardDialog(parent), sensorNames(std::move(names))
{
}

RobotDialog::~RobotDialog()
{
    saveSettings(this, lastDir);
}

void RobotDialog::setupFrame(const Form& f, const ChessboardForm& board, const QString& title,
                             const QList<QWidget*>& extraLocked)
{
    form = f;
    initChessboardFrame(board);
    loadSettings(this, lastDir);
    baseTitle = title;
    form.tabWidget->setCurrentIndex(0);
    form.group_corner_subpix->setEnabled(!form.check_radon_detection->isChecked());
    form.group_ransac->setEnabled(!form.radio_EP3P->isChecked());

    form.edit_iterations->setValidator(new QIntValidator(1, 1000000, form.edit_iterations));
    auto* reprojValidator = new QDoubleValidator(0, 1000, 6, form.edit_reproj_err);
    reprojValidator->setNotation(QDoubleValidator::StandardNotation);
    reprojValidator->setLocale(QLocale::c());
    form.edit_reproj_err->setValidator(reprojValidator);
    form.edit_confidence->setValidator(new QIntValidator(1, 99, form.edit_confidence));

    renderer = setupSceneView(form.widget_vtk);

    form.group_TCP_positions->hide();
    form.group_reproj_err->hide();
    form.group_3d_err->hide();

    {
        const QSignalBlocker blockSensor(form.combo_sensor);
        const QSignalBlocker blockRobot(form.combo_robot);
        for (const QString& name : sensorNames) {
            form.combo_sensor->addItem(name);
            form.combo_robot->addItem(name);
        }
        if (sensorNames.size() >= 2)
            form.combo_robot->setCurrentIndex(1);
    }

    // The robot cell is seen from the other side of the base than the
    // chessboard scenes: the camera stands at (0, 0, 5000).
    renderer->GetActiveCamera()->SetPosition(0, 0, 5000);
    drawWorldAxes(renderer, robotName().toStdString());
    renderer->ResetCameraClippingRange();

    QList<QWidget*> locked = {form.button_open_images, form.button_open_tcp,   form.list_images,
                              form.list_positions,     form.combo_sensor,      form.combo_robot,
                              form.check_mirror,       form.group_length_unit, form.group_chessboard,
                              form.group_target_pose};
    locked += extraLocked;
    setRunLockedWidgets(locked);
}

bool RobotDialog::rereadBoard()
{
    ChessboardOptions options;
    QString error;
    if (!readChessboardOptions(options, error))
        return false;
    patternSize = options.patternSize;
    squareWidth = options.squareWidth;
    squareHeight = options.squareHeight;
    return true;
}

QString RobotDialog::cameraName() const
{
    return form.combo_sensor->currentText();
}
QString RobotDialog::robotName() const
{
    return form.combo_robot->currentText();
}
double RobotDialog::lengthScale() const
{
    return form.radio_m->isChecked() ? 1000.0 : 1.0;
}
cv::Size2d RobotDialog::squareSizeMm() const
{
    return cv::Size2d(squareWidth, squareHeight);
}

void RobotDialog::renderView()
{
    form.widget_vtk->update();
    form.widget_vtk->updateGeometry();
    renderSceneView(form.widget_vtk);
}

void RobotDialog::updateSensorNames()
{
    emit getSensorNames(sensorNames);
    refillSensorCombo(form.combo_sensor, sensorNames);
    refillSensorCombo(form.combo_robot, sensorNames);
}

// ---------------------------------------------------------------------------
// Lists and files
// ---------------------------------------------------------------------------

void RobotDialog::discardResults()
{
    resultValid = false;
    reprojErrors.clear();
    pointColours.clear();
}

void RobotDialog::on_button_open_images_clicked()
{
    if (running)
        return;
    discardResults();
    const QStringList files =
        QFileDialog::getOpenFileNames(this, tr("Calibration Image Files"), lastDir, imageFileFilter());
    openImages(files);
}

void RobotDialog::openImages(const QStringList& files)
{
    if (running)
        return;
    discardResults();
    if (files.isEmpty())
        return;
    lastDir = QFileInfo(files.first()).absolutePath();
    {
        const QSignalBlocker block(form.list_images);
        form.list_images->clear();
        for (const QString& file : files) {
            auto* item = new QListWidgetItem(QFileInfo(file).fileName(), form.list_images);
            item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
            item->setCheckState(Qt::Checked);
        }
    }
    for (int r = 0; r < form.list_positions->count(); ++r)
        form.list_positions->item(r)->setBackground(QBrush());
    form.list_images->setCurrentRow(0);
    showResults(0);
    if (auto* item = form.list_images->item(0))
        item->setSelected(true);
    renderer->ResetCamera();
    form.group_reproj_err->hide();
    form.group_3d_err->hide();
    setWindowTitle(QString("%1 - %2").arg(baseTitle, lastDir));
}

void RobotDialog::on_button_open_tcp_clicked()
{
    if (running)
        return;
    discardResults();
    const QString path =
        QFileDialog::getOpenFileName(this, tr("Open TCP File"), lastDir, tr("TCP Files (*.xml *.txt)"));
    openTcpFile(path);
}

void RobotDialog::openTcpFile(const QString& path)
{
    if (running)
        return;
    discardResults();
    tcpPoses.clear();
    tcpReadComplete = false;

    const TcpPoseFileResult read = loadTcpPoseFile(path);
    if (read.openFailed)
        QMessageBox::critical(this, tr("Error"), read.openError);
    logMoveToEnd();
    for (const TcpLogLine& line : read.log)
        logAppend(line.text, line.error ? Qt::red : Qt::black);
    logColor(Qt::black);

    // Row i of the list shows pose i, whatever happened.
    tcpPoses = read.poses;
    {
        const QSignalBlocker block(form.list_positions);
        form.list_positions->clear();
        for (const QString& text : read.rowTexts)
            form.list_positions->addItem(text);
    }
    tcpReadComplete = read.outcome == TcpReadOutcome::Completed;
    if (!tcpReadComplete)
        return;
    form.group_TCP_positions->show();
    form.group_reproj_err->hide();
    form.group_3d_err->hide();
    if (!tcpPoses.empty()) {
        showResults(0);
        form.list_positions->item(0)->setSelected(true);
        renderer->ResetCamera();
    }
}

void RobotDialog::selectOtherRow(QListWidget* other, int row)
{
    if (row >= 0 && row < other->count()) {
        other->clearSelection();
        other->item(row)->setSelected(true);
    }
}

void RobotDialog::on_list_images_currentRowChanged(int currentRow)
{
    const QSignalBlocker a(form.list_images);
    const QSignalBlocker b(form.list_positions);
    selectOtherRow(form.list_positions, currentRow);
    showResults(currentRow);
}

void RobotDialog::on_list_positions_currentRowChanged(int currentRow)
{
    const QSignalBlocker a(form.list_images);
    const QSignalBlocker b(form.list_positions);
    selectOtherRow(form.list_images, currentRow);
    showResults(currentRow);
}

void RobotDialog::on_radio_EP3P_toggled(bool checked)
{
    if (checked)
        form.group_ransac->setEnabled(false);
}

void RobotDialog::on_radio_iterative_PNP_toggled(bool checked)
{
    if (checked)
        form.group_ransac->setEnabled(true);
}

void RobotDialog::on_radio_EPNP_toggled(bool checked)
{
    if (checked)
        form.group_ransac->setEnabled(true);
}

void RobotDialog::on_check_radon_detection_toggled(bool checked)
{
    form.group_corner_subpix->setEnabled(!checked);
}

void RobotDialog::on_button_calibrate_clicked()
{
    if (runLogged([this] { calibrate(); }, tr("OpenCV exception caught : %1"), tr("Unexpected error: %1")))
        logColor(Qt::black);
}

// ---------------------------------------------------------------------------
// Run steps shared by both dialogs
// ---------------------------------------------------------------------------

void RobotDialog::clearRun()
{
    checkedRows.clear();
    boardRows.clear();
    rvecs.clear();
    tvecs.clear();
    tcpRotations.clear();
    tcpTranslations.clear();
    imagePoints.clear();
    projectedPoints.clear();
    objectPoints.clear();
    reprojErrors.clear();
    poseErrors.clear();
    pointColours.clear();
    imageRowColours.clear();
    poseRowColours.clear();
    RX.release();
    tX.release();
    resultValid = false;
}

void RobotDialog::whiteRow(int row)
{
    if (auto* item = form.list_images->item(row))
        item->setBackground(Qt::white);
    if (auto* item = form.list_positions->item(row))
        item->setBackground(Qt::white);
}

bool RobotDialog::readPoseOptions(TargetPoseInput& options)
{
    options.method = form.radio_EP3P->isChecked()   ? PnpMethod::P3P
                     : form.radio_EPNP->isChecked() ? PnpMethod::EPnP
                                                    : PnpMethod::Iterative;
    // The run disables the option groups while it goes on: ask whether the
    // RANSAC group is enabled within its own group.
    options.ransac = form.group_ransac->isChecked() && form.group_ransac->isEnabledTo(form.group_target_pose);
    if (!options.ransac)
        return true;
    bool okIt = false, okErr = false, okConf = false;
    const int iterations = form.edit_iterations->text().trimmed().toInt(&okIt);
    const double maxErr = QLocale::c().toDouble(form.edit_reproj_err->text().trimmed(), &okErr);
    const int confidence = form.edit_confidence->text().trimmed().toInt(&okConf);
    if (!okIt || iterations <= 0) {
        logAppend(tr("RANSAC iterations '%1' must be a positive whole number, aborting...\n")
                      .arg(form.edit_iterations->text()),
                  Qt::red);
        return false;
    }
    if (!okErr || !std::isfinite(maxErr) || maxErr <= 0) {
        logAppend(
            tr("RANSAC maximum reprojection error '%1' must be a positive number of pixels, aborting...\n")
                .arg(form.edit_reproj_err->text()),
            Qt::red);
        return false;
    }
    if (!okConf || confidence <= 0 || confidence >= 100) {
        logAppend(tr("RANSAC confidence '%1' must be a whole number between 0 and 100 %, aborting...\n")
                      .arg(form.edit_confidence->text()),
                  Qt::red);
        return false;
    }
    options.ransacIterations = iterations;
    options.ransacMaxError = maxErr;
    options.ransacConfidence = confidence;
    return true;
}

bool RobotDialog::prepareRun(std::vector<RobotView>& views, bool handEyeInlierText)
{
    views.clear();
    logMoveToEnd();
    logColor(Qt::black);
    logRepaint();
    form.progress_bar->setRange(0, form.list_images->count() + 1);
    form.progress_bar->setValue(0);
    clearRun();

    // Options and opening checks.
    ChessboardOptions options;
    if (!takeChessboardOptions(options))
        return false;
    TargetPoseInput poseOptions;
    if (!readPoseOptions(poseOptions))
        return false;
    const int camera = form.combo_sensor->currentIndex();
    if (camera < 0) {
        logAppend(tr("Please select a camera in the 'Select Sensor' combo box.\n"), Qt::red);
        return false;
    }
    const int robot = form.combo_robot->currentIndex();
    if (robot >= 0 && robot == camera) {
        logAppend(tr("The camera and the robot base must be different sensors; '%1' is chosen for both, "
                     "aborting...\n")
                      .arg(cameraName()),
                  Qt::red);
        return false;
    }
    cv::Size imageSize;
    K.release();
    kc.release();
    emit getIntrinsics(camera, K, kc, imageSize);
    if (K.empty()) {
        const QString name =
            camera < static_cast<int>(sensorNames.size()) ? sensorNames[camera] : cameraName();
        logAppend(tr("Camera '%1' must be calibrated! Load the intrinsic parameters or calibrate it with "
                     "'Intrinsic Calibration'.\n")
                      .arg(name),
                  Qt::red);
        return false;
    }

    QStringList files;
    for (int r = 0; r < form.list_images->count(); ++r) {
        QListWidgetItem* item = form.list_images->item(r);
        if (item->checkState() != Qt::Unchecked) {
            checkedRows.append(r);
            files << lastDir + "/" + item->text();
        } else {
            whiteRow(r);
        }
    }
    if (files.isEmpty()) {
        logAppend(tr("Image list is empty or no images were selected, aborting...\n"));
        return false;
    }
    if (tcpPoses.empty()) {
        logAppend(tr("Tool center point positions are empty, aborting...\n"));
        return false;
    }
    if (!tcpReadComplete) {
        logAppend(
            tr("The TCP file could not be read completely; correct it and open it again, aborting...\n"),
            Qt::red);
        return false;
    }
    if (form.list_positions->count() != form.list_images->count() ||
        static_cast<int>(tcpPoses.size()) != form.list_images->count()) {
        logAppend(
            tr("Number of images differs from the number of tool center point positions, aborting...\n"));
        return false;
    }
    if (files.size() < 3) {
        logAppend(tr("At least 3 images have to be selected, aborting...\n"));
        return false;
    }

    // Detection.
    logAppend(tr("Detecting chessboards in %1 images:").arg(files.size()));
    std::vector<std::vector<cv::Point2f>> corners;
    for (int k = 0; k < files.size(); ++k) {
        if (pollAbort()) {
            logAppend(tr("Calibration aborted \n"), Qt::red);
            return false;
        }
        const int row = checkedRows[k];
        const BoardDetection d =
            detectBoardInFile(files[k].toStdString(), options, form.check_mirror->isChecked());
        if (d.imageSize.area() > 0)
            lastImageSize = d.imageSize;
        switch (d.outcome) {
        case BoardDetection::Outcome::Found:
            logMoveToEnd();
            logInsert(QString::number(k + 1) + " ", Qt::green);
            corners.push_back(d.corners);
            boardRows.append(row);
            form.progress_bar->setValue(k + 1);
            break;
        case BoardDetection::Outcome::NotFound:
            form.list_images->item(row)->setCheckState(Qt::Unchecked);
            whiteRow(row);
            logMoveToEnd();
            logInsert(QString::number(k + 1) + " ", Qt::red);
            break;
        case BoardDetection::Outcome::Error:
            logAppend(tr("OpenCV exception caught: %1").arg(QString::fromStdString(d.error)), Qt::red);
            logAppend(tr("Skipping...\n"), Qt::red);
            break;
        }
        logColor(Qt::black);
        logRepaint();
    }

    // Target pose per board image, and the TCP pose of its row.
    poseOptions.patternSize = patternSize;
    poseOptions.squareWidth = squareWidth;
    poseOptions.squareHeight = squareHeight;
    poseOptions.K = K;
    poseOptions.kc = kc;
    const double scale = lengthScale();
    std::vector<int> failed;
    for (int j = 0; j < boardRows.size(); ++j) {
        const int row = boardRows[j];
        const QString rowText = form.list_images->item(row)->text();
        poseOptions.imagePoints = corners[static_cast<size_t>(j)];
        const TargetPoseResult e = estimateTargetPose(poseOptions);
        if (e.error == TargetPoseError::OpenCvError) {
            logAppend(tr("OpenCV exception caught : ") + QString::fromStdString(e.message), Qt::red);
            logAppend(tr("Aborting...\n"), Qt::red);
            return false;
        }
        if (e.error == TargetPoseError::BadInput) {
            logAppend(tr("%1: %2, aborting...\n").arg(rowText, QString::fromStdString(e.message)), Qt::red);
            return false;
        }
        if (e.ransacUsed) {
            if (e.inliers >= 0)
                logAppend(tr("%1 inliers: %2").arg(rowText).arg(e.inliers));
            else
                logAppend(handEyeInlierText ? tr("%1 inliers: 0").arg(rowText)
                                            : tr("%1 inliers: none").arg(rowText));
        }
        if (!e.ok()) {
            failed.push_back(j);
            continue;
        }
        const TcpPose& p = tcpPoses[static_cast<size_t>(row)];
        RobotView v;
        tcpPoseMatrices(p.x, p.y, p.z, p.rx, p.ry, p.rz, scale, v.R_base_tcp, v.t_base_tcp);
        v.rvec = e.rvec;
        v.tvec = e.tvec;
        v.objectPoints = e.objectPoints;
        v.imagePoints = e.imagePoints;
        views.push_back(v);
    }

    if (views.size() < 3) {
        logAppend(tr("At least 3 targets have to be detected, aborting...\n"));
        checkedRows.clear();
        boardRows.clear();
        views.clear();
        return false;
    }

    // Images without a pose leave the run.
    for (auto it = failed.rbegin(); it != failed.rend(); ++it) {
        const int row = boardRows[*it];
        form.list_images->item(row)->setCheckState(Qt::Unchecked);
        whiteRow(row);
        boardRows.remove(*it);
    }
    for (const RobotView& v : views) {
        rvecs.push_back(v.rvec);
        tvecs.push_back(v.tvec);
        tcpRotations.push_back(v.R_base_tcp);
        tcpTranslations.push_back(v.t_base_tcp);
    }
    if (pollAbort()) {
        logAppend(tr("Calibration aborted \n"), Qt::red);
        return false;
    }
    return true;
}

void RobotDialog::logFailedSolve(const RobotCalibResult& result)
{
    if (result.error == RobotCalibError::TooFewTargets) {
        logAppend(QString::fromStdString(result.message));
        return;
    }
    logAppend(QString::fromStdString(result.message), Qt::red);
    logAppend(tr("Nothing was saved, aborting...\n"), Qt::red);
}

void RobotDialog::storeViewResults(const std::vector<RobotView>& views, const RobotCalibResult& result)
{
    imagePoints.clear();
    objectPoints.clear();
    for (const RobotView& v : views) {
        imagePoints.push_back(v.imagePoints);
        objectPoints.push_back(v.objectPoints);
    }
    projectedPoints = result.projectedPoints;
    reprojErrors = result.reprojErrors;
    pointColours = result.pointColours;
    poseErrors = result.poseErrors;
    imageRowColours = result.imageRowColours;
    poseRowColours = result.poseRowColours;
}

void RobotDialog::colourRows()
{
    for (int i = 0; i < boardRows.size() && i < static_cast<int>(imageRowColours.size()); ++i) {
        const int row = boardRows[i];
        const cv::Vec3b c = imageRowColours[static_cast<size_t>(i)];
        const cv::Vec3b p = poseRowColours[static_cast<size_t>(i)];
        if (auto* item = form.list_images->item(row))
            item->setBackground(QColor(c[0], c[1], c[2], 255));
        if (auto* item = form.list_positions->item(row))
            item->setBackground(QColor(p[0], p[1], p[2], 255));
    }
}

void RobotDialog::logMatrix(const QString& name, const cv::Mat& t, const cv::Mat& R, const QString& tName)
{
    logAppend(tr("Translation %1 = (%2, %3, %4) mm")
                  .arg(tName, f4(t.at<double>(0)), f4(t.at<double>(1)), f4(t.at<double>(2))));
    logAppend(tr("Rotation %1: ").arg(name));
    for (int r = 0; r < 3; ++r)
        logAppend(f4(R.at<double>(r, 0)) + " " + f4(R.at<double>(r, 1)) + " " + f4(R.at<double>(r, 2)));
}

// ---------------------------------------------------------------------------
// Result view of one row
// ---------------------------------------------------------------------------

void RobotDialog::resetErrorLabels()
{
    form.label_rms_err->setText(tr("RMS: -"));
    form.label_min_err->setText(tr("Min: -"));
    form.label_max_err->setText(tr("Max: -"));
    form.label_rms_3d->setText(tr("RMS: -"));
    form.label_trans_err->setText(QString("||") + kDelta + "t||: -");
    form.label_rot_err->setText(QString(kDelta) + "R: -");
    for (QLabel* l : {form.label_rms_err, form.label_min_err, form.label_max_err, form.label_rms_3d,
                      form.label_trans_err, form.label_rot_err})
        l->setStyleSheet("color:rgb(0,0,0);");
}

void RobotDialog::showResults(int row)
{
    renderer->RemoveAllViewProps();
    drawWorldAxes(renderer, robotName().toStdString());

    const int boardIndex = resultValid ? static_cast<int>(boardRows.indexOf(row)) : -1;
    bool imageShown = false;
    cv::Size imageSize(0, 0);
    if (row >= 0 && row < form.list_images->count() && form.image_label->isVisible()) {
        QListWidgetItem* item = form.list_images->item(row);
        cv::Mat image;
        try {
            image = cv::imread((lastDir + "/" + item->text()).toStdString(), cv::IMREAD_COLOR);
        } catch (const cv::Exception&) {
            image.release();
        }
        if (!image.empty() && form.check_mirror->isChecked())
            cv::flip(image, image, 1);
        imageShown = true;
        imageSize = image.empty() ? cv::Size(0, 0) : image.size();
        const size_t i = static_cast<size_t>(boardIndex);
        if (resultValid && item->checkState() != Qt::Unchecked) {
            const bool haveView = boardIndex >= 0 && i < imagePoints.size() && i < pointColours.size() &&
                                  i < projectedPoints.size() && i < reprojErrors.size() &&
                                  i < poseErrors.size() && i < imageRowColours.size() &&
                                  i < poseRowColours.size() && i < rvecs.size();
            if (haveView && !image.empty()) {
                ReprojectionErrorPanel panel(form.group_reproj_err, form.label_rms_err, form.label_min_err,
                                             form.label_max_err, form.image_label);
                panel.drawView(image, imagePoints[i], pointColours[i], projectedPoints[i],
                               projectBoardAxes(rvecs[i], tvecs[i], K, kc, squareWidth, squareHeight));
                const cv::Vec3d& re = reprojErrors[i];
                panel.show(re[0], imageRowColours[i], re[1], re[2]);
                const cv::Vec3d& pe = poseErrors[i];
                const cv::Vec3b& pc = poseRowColours[i];
                form.label_rms_3d->setText(tr("RMS: ") + f4(pe[0]) + " mm");
                form.label_rms_3d->setStyleSheet(
                    QString("color:rgb(%1,%2,%3);").arg(pc[0]).arg(pc[1]).arg(pc[2]));
                form.label_trans_err->setText(QString("||") + kDelta + "t||: " + f4(pe[1]) + " mm");
                form.label_rot_err->setText(QString(kDelta) + "R: " + f4(pe[2]) + kDegree);
                form.group_reproj_err->show();
                form.group_3d_err->show();
            }
        } else {
            form.image_label->setImage(image);
            resetErrorLabels();
        }
    }

    cv::Mat R_tcp, t_tcp;
    const bool hasTcp =
        row >= 0 && row < form.list_positions->count() && row < static_cast<int>(tcpPoses.size());
    if (hasTcp) {
        form.group_TCP_positions->setTitle(tr("TCP w.r.t. ") + robotName());
        const TcpPose& pose = tcpPoses[static_cast<size_t>(row)];
        tcpPoseMatrices(pose.x, pose.y, pose.z, pose.rx, pose.ry, pose.rz, lengthScale(), R_tcp, t_tcp);
        const cv::Point3d angles = rotationMatrixToEulerAngles(R_tcp);
        auto v7 = [](double v) { return QString("%1").arg(v, 7, 'f', 4); };
        auto a2 = [](double v) { return QString::number(v, 'f', 2); };
        form.label_x->setText(tr("X: %1 m").arg(v7(pose.x)));
        form.label_y->setText(tr("Y: %1 m").arg(v7(pose.y)));
        form.label_z->setText(tr("Z: %1 m").arg(v7(pose.z)));
        form.label_rx->setText(tr(" RX: %1 (roll %2%3)").arg(v7(pose.rx), a2(angles.z), kDegree));
        form.label_ry->setText(tr(" RY: %1 (pitch %2%3)").arg(v7(pose.ry), a2(angles.y), kDegree));
        form.label_rz->setText(tr(" RZ: %1 (yaw %2%3)").arg(v7(pose.rz), a2(angles.x), kDegree));
        drawLabeledFrame(renderer, R_tcp, t_tcp, pose.name);
    }
    drawRowScene(imageShown, imageSize, hasTcp, R_tcp, t_tcp, boardIndex);
    renderView();
}
