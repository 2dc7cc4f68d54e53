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

void RobotDialog::refreshSensors(const SceneChange& change)
{
    emit getSensorNames(sensorNames);
    refillSensorCombo(form.combo_sensor, sensorNames, change);
    refillSensorCombo(form.combo_robot, sensorNames, change);
}

// ---------------------------------------------------------------------------
// Lists and files
// ---------------------------------------------------------------------------

void RobotDialog::discardResults()
{
    resultValid = false;
    errorsMeasured = false;
    lastRun = RobotRunResult();
    boardRows.clear();
    clearRowColours();
}

void RobotDialog::clearRowColours()
{
    for (QListWidget* list : {form.list_images, form.list_positions})
        for (int r = 0; r < list->count(); ++r)
            list->item(r)->setBackground(QBrush());
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
    detectionCache.clear();
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

void RobotDialog::on_radio_m_toggled(bool)
{
    // The TCP labels carry the unit and the 3D view its scale: both follow
    // a change of the unit.
    if (renderer)
        showResults(shownRow);
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
    lastRun = RobotRunResult();
    RX.release();
    tX.release();
    resultValid = false;
    errorsMeasured = false;
}

void RobotDialog::whiteRow(int row)
{
    if (auto* item = form.list_images->item(row))
        item->setBackground(Qt::white);
    if (auto* item = form.list_positions->item(row))
        item->setBackground(Qt::white);
}

bool RobotDialog::readPoseOptions(RobotPoseOptions& options)
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

bool RobotDialog::gatherRunInput(RobotRunInput& input)
{
    logMoveToEnd();
    logColor(Qt::black);
    logRepaint();
    form.progress_bar->setRange(0, form.list_images->count() + 1);
    form.progress_bar->setValue(0);
    clearRun();
    // The colours of an earlier run go: rows coloured now are this run's.
    clearRowColours();
    refreshRowPanel();

    if (!takeChessboardOptions(input.board) || !readPoseOptions(input.pose))
        return false;
    const int camera = form.combo_sensor->currentIndex();
    if (camera < 0) {
        logAppend(tr("Please select a camera in the 'Select Sensor' combo box.\n"), Qt::red);
        return false;
    }
    // The robot base names the result's frame in the log and the 3D view.
    if (form.combo_robot->currentIndex() < 0) {
        logAppend(tr("Please select the robot base in the 'Select Camera / Robot Base' combo box.\n"),
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
    if (!tcpPoses.empty() && !tcpReadComplete) {
        logAppend(
            tr("The TCP file could not be read completely; correct it and open it again, aborting...\n"),
            Qt::red);
        return false;
    }

    selectedCount = 0;
    for (int r = 0; r < form.list_images->count(); ++r) {
        QListWidgetItem* item = form.list_images->item(r);
        const bool selected = item->checkState() != Qt::Unchecked;
        input.images.push_back({(lastDir + "/" + item->text()).toStdString(), selected});
        if (selected) {
            checkedRows.append(r);
            ++selectedCount;
        } else {
            whiteRow(r);
        }
    }
    input.tcpPoses = tcpPoses;
    input.tcpScale = lengthScale();
    input.mirror = form.check_mirror->isChecked();
    input.K = K.clone();
    input.kc = kc.clone();
    return true;
}

RobotRunCallback RobotDialog::runLogger()
{
    return [this](const RobotRunProgress& step) {
        if (!step.detection) // after the target poses
            return !pollAbort();
        if (step.selectedIndex == 0)
            logAppend(tr("Detecting chessboards in %1 images:").arg(selectedCount));
        if (step.detection->found())
            form.progress_bar->setValue(step.selectedIndex + 1);
        // The images of a robot run are numbered among the selected ones.
        return logDetectionStep(static_cast<size_t>(step.selectedIndex + 1), *step.detection, step.reused);
    };
}

bool RobotDialog::presentRun(const RobotRunResult& result, const RobotRunInput& input, bool handEyeInlierText)
{
    const bool ransac = input.pose.ransac && input.pose.method != PnpMethod::P3P;
    for (size_t row = 0; row < result.images.size(); ++row) {
        const RobotImageRecord& record = result.images[row];
        const QString rowText = form.list_images->item(static_cast<int>(row))->text();
        if (record.inliers)
            logAppend(tr("%1 inliers: %2").arg(rowText).arg(*record.inliers));
        else if (ransac && record.poseFailed)
            logAppend(handEyeInlierText ? tr("%1 inliers: 0").arg(rowText)
                                        : tr("%1 inliers: none").arg(rowText));
        if (record.dropped) {
            form.list_images->item(static_cast<int>(row))->setCheckState(Qt::Unchecked);
            whiteRow(static_cast<int>(row));
        }
    }
    lastImageSize = result.imageSize;
    if (result.error() == RobotCalibError::Implausible) {
        // Refused, but its per-image errors point at the rows that do not
        // fit (a wrong TCP line, for one): the rows and the panel show them.
        keepMeasuredRun(result);
        lastRun.calib.RX.release();
        lastRun.calib.tX.release();
        lastRun.calib.RY.release();
        lastRun.calib.tY.release();
        colourRows();
    }
    if (!result.ok()) {
        logRunError(result, input);
        refreshRowPanel();
        return false;
    }
    keepMeasuredRun(result);
    return true;
}

void RobotDialog::keepMeasuredRun(const RobotRunResult& result)
{
    lastRun = result;
    boardRows.clear();
    for (const int row : result.boardRows)
        boardRows.append(row);
    errorsMeasured = true;
}

void RobotDialog::logRunError(const RobotRunResult& result, const RobotRunInput& input)
{
    const QString message = QString::fromStdString(result.calib.message);
    switch (result.error()) {
    case RobotCalibError::None:
        break;
    case RobotCalibError::NoImagesSelected:
        logAppend(tr("Image list is empty or no images were selected, aborting...\n"));
        break;
    case RobotCalibError::NoTcpPoses:
        logAppend(tr("Tool center point positions are empty, aborting...\n"));
        break;
    case RobotCalibError::TcpCountMismatch:
        logAppend(tr("Number of images (%1) differs from the number of tool center point positions (%2), "
                     "aborting...\n")
                      .arg(input.images.size())
                      .arg(input.tcpPoses.size()));
        break;
    case RobotCalibError::TooFewImagesSelected:
        logAppend(tr("At least 3 images have to be selected, aborting...\n"));
        break;
    case RobotCalibError::Aborted:
        logAppend(tr("Calibration aborted \n"), Qt::red);
        break;
    case RobotCalibError::PoseOpenCvError:
        logAppend(tr("OpenCV exception caught : ") + message, Qt::red);
        logAppend(tr("Aborting...\n"), Qt::red);
        break;
    case RobotCalibError::PoseBadInput:
        logAppend(tr("%1: %2, aborting...\n").arg(form.list_images->item(result.errorRow)->text(), message),
                  Qt::red);
        break;
    case RobotCalibError::TooFewTargets:
        logAppend(message);
        break;
    case RobotCalibError::Degenerate:
    case RobotCalibError::InvalidResult:
        logAppend(message, Qt::red);
        logAppend(tr("Nothing was saved, aborting...\n"), Qt::red);
        break;
    case RobotCalibError::Implausible:
        logImplausible(result);
        break;
    }
    logColor(Qt::black);
}

void RobotDialog::logImplausible(const RobotRunResult& result)
{
    const double rms = result.calib.rms3d;
    const QString figure = std::isfinite(rms) ? tr("%1 mm").arg(rms) : tr("not finite");
    logAppend(
        tr("\nRMS 3D-Error of all calibration points: %1 (plausible: at most %2 mm, the larger of 10 mm "
           "and 2 % of the mean camera-target distance): the result does not explain the images and the "
           "TCP poses.")
            .arg(figure)
            .arg(result.rms3dLimit, 0, 'f', 1),
        Qt::red);
    logAppend(tr("Likely causes: the unit under \"Unit of Length\" does not match the TCP file, the TCP file "
                 "belongs to another robot program, or the TCP poses are inverted."),
              Qt::red);
    logAppend(tr("Nothing was saved, aborting...\n"), Qt::red);
}

void RobotDialog::colourRows()
{
    for (const int row : boardRows) {
        const RobotImageRecord& record = lastRun.images[static_cast<size_t>(row)];
        if (!record.errors)
            continue;
        const cv::Vec3b c = record.errors->imageRowColour;
        const cv::Vec3b p = record.errors->poseRowColour;
        if (auto* item = form.list_images->item(row))
            item->setBackground(QColor(c[0], c[1], c[2], 255));
        if (auto* item = form.list_positions->item(row))
            item->setBackground(QColor(p[0], p[1], p[2], 255));
    }
}

std::vector<cv::Vec3d> RobotDialog::reprojectionErrors() const
{
    std::vector<cv::Vec3d> errors;
    if (errorsMeasured)
        for (const int row : boardRows)
            if (const auto& e = lastRun.images[static_cast<size_t>(row)].errors)
                errors.push_back(e->reprojErrors);
    return errors;
}

std::vector<cv::Vec3d> RobotDialog::poseErrorList() const
{
    std::vector<cv::Vec3d> errors;
    if (errorsMeasured)
        for (const int row : boardRows)
            if (const auto& e = lastRun.images[static_cast<size_t>(row)].errors)
                errors.push_back(e->poseErrors);
    return errors;
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

const RobotImageRecord* RobotDialog::measuredRecord(int row, bool checkedOnly) const
{
    if (!errorsMeasured || row < 0 || row >= static_cast<int>(lastRun.images.size()) ||
        row >= form.list_images->count())
        return nullptr;
    if (checkedOnly && form.list_images->item(row)->checkState() == Qt::Unchecked)
        return nullptr;
    const RobotImageRecord& record = lastRun.images[static_cast<size_t>(row)];
    return record.view && record.errors ? &record : nullptr;
}

bool RobotDialog::showRowImage(int row, cv::Size& imageSize)
{
    imageSize = cv::Size(0, 0);
    if (row < 0 || row >= form.list_images->count() || !form.image_label->isVisible())
        return false;
    cv::Mat image;
    try {
        image =
            cv::imread((lastDir + "/" + form.list_images->item(row)->text()).toStdString(), cv::IMREAD_COLOR);
    } catch (const cv::Exception&) {
        image.release();
    }
    if (!image.empty() && form.check_mirror->isChecked())
        cv::flip(image, image, 1);
    if (!image.empty())
        imageSize = image.size();

    // A row shows the last run's errors (a refused run's too), or says there
    // are none.
    const RobotImageRecord* record = measuredRecord(row, true);
    if (!record || image.empty()) {
        form.image_label->setImage(image);
        resetErrorLabels();
        return true;
    }
    const RobotView& view = *record->view;
    const RobotViewErrors& e = *record->errors;
    ReprojectionErrorPanel panel(form.group_reproj_err, form.label_rms_err, form.label_min_err,
                                 form.label_max_err, form.image_label);
    panel.drawView(image, view.imagePoints, e.pointColours, e.projectedPoints,
                   projectBoardAxes(view.rvec, view.tvec, K, kc, squareWidth, squareHeight));
    panel.show(e.reprojErrors[0], e.imageRowColour, e.reprojErrors[1], e.reprojErrors[2]);
    const cv::Vec3b& pc = e.poseRowColour;
    form.label_rms_3d->setText(tr("RMS: ") + f4(e.poseErrors[0]) + " mm");
    form.label_rms_3d->setStyleSheet(QString("color:rgb(%1,%2,%3);").arg(pc[0]).arg(pc[1]).arg(pc[2]));
    form.label_trans_err->setText(QString("||") + kDelta + "t||: " + f4(e.poseErrors[1]) + " mm");
    form.label_rot_err->setText(QString(kDelta) + "R: " + f4(e.poseErrors[2]) + kDegree);
    form.group_reproj_err->show();
    form.group_3d_err->show();
    return true;
}

bool RobotDialog::showRowTcp(int row, cv::Mat& R_tcp, cv::Mat& t_tcp)
{
    if (row < 0 || row >= form.list_positions->count() || row >= static_cast<int>(tcpPoses.size()))
        return false;
    form.group_TCP_positions->setTitle(tr("TCP w.r.t. ") + robotName());
    const TcpPose& pose = tcpPoses[static_cast<size_t>(row)];
    tcpPoseMatrices(pose.x, pose.y, pose.z, pose.rx, pose.ry, pose.rz, lengthScale(), R_tcp, t_tcp);
    const cv::Point3d angles = rotationMatrixToEulerAngles(R_tcp);
    auto v7 = [](double v) { return QString("%1").arg(v, 7, 'f', 4); };
    auto a2 = [](double v) { return QString::number(v, 'f', 2); };
    // The position as the file holds it, in the unit chosen under "Unit of Length".
    const QString unit = form.radio_m->isChecked() ? "m" : "mm";
    form.label_x->setText(tr("X: %1 %2").arg(v7(pose.x), unit));
    form.label_y->setText(tr("Y: %1 %2").arg(v7(pose.y), unit));
    form.label_z->setText(tr("Z: %1 %2").arg(v7(pose.z), unit));
    form.label_rx->setText(tr(" RX: %1 (roll %2%3)").arg(v7(pose.rx), a2(angles.z), kDegree));
    form.label_ry->setText(tr(" RY: %1 (pitch %2%3)").arg(v7(pose.ry), a2(angles.y), kDegree));
    form.label_rz->setText(tr(" RZ: %1 (yaw %2%3)").arg(v7(pose.rz), a2(angles.x), kDegree));
    return true;
}

void RobotDialog::refreshRowPanel()
{
    cv::Size imageSize;
    cv::Mat R_tcp, t_tcp;
    showRowImage(shownRow, imageSize);
    showRowTcp(shownRow, R_tcp, t_tcp);
}

void RobotDialog::showResults(int row)
{
    shownRow = row;
    renderer->RemoveAllViewProps();
    drawWorldAxes(renderer, robotName().toStdString());

    cv::Size imageSize;
    const bool imageShown = showRowImage(row, imageSize);
    cv::Mat R_tcp, t_tcp;
    const bool hasTcp = showRowTcp(row, R_tcp, t_tcp);
    if (hasTcp)
        drawLabeledFrame(renderer, R_tcp, t_tcp, tcpPoses[static_cast<size_t>(row)].name);
    // The 3D part does not look at the check mark. A refused run draws no
    // camera or target: it has no result to place them by.
    drawRowScene(imageShown, imageSize, hasTcp, R_tcp, t_tcp,
                 resultValid ? measuredRecord(row, false) : nullptr);
    renderView();
}
