#include "gui/dialogs/CamProjStereoCalib.h"

#include "core/calib/cam_proj_calib.h"
#include "core/calib/reprojection.h"
#include "core/geometry/error_colors.h"
#include "core/geometry/rotation_checks.h"
#include "core/structured_light/decoded_views.h"
#include "core/structured_light/gray_code_decoder.h"
#include "core/structured_light/gray_code_pattern.h"
#include "core/structured_light/image_sets.h"
#include "core/structured_light/projector_corners.h"
#include "gui/dialogs/TreeModel.h"
#include "gui/views/scene_builders.h"
#include "gui/views/settings.h"
#include "ui_CamProjStereoCalib.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QIntValidator>
#include <QItemSelectionModel>
#include <QTimer>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include <vtkRenderer.h>

#include <algorithm>
#include <cmath>

namespace {

// Wait cursor for the lifetime of a run or a redraw.
struct WaitCursor {
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
};

const QColor kWhite(255, 255, 255, 255);

QString setNumber(int i)
{
    return QString::number(i) + " ";
}

cv::Vec3b colour255(const cv::Point3d& c)
{
    return toRgb255(c);
}

} // namespace

CamProjStereoCalib::CamProjStereoCalib(QWidget* parent, std::vector<QString> names)
    : ChessboardDialog(parent), sensorNames(std::move(names))
{
    model = new TreeModel(this);
    ui = new Ui::CamProjStereoCalib;
    ui->setupUi(this);
    ui->imageTree->setModel(model);
    ui->tab_img_view->removeTab(2);
    initChessboardFrame(chessboardFormOf(ui));

    ui->edit_m->setValidator(new QIntValidator(0, 255, this));
    ui->edit_b->setValidator(new QIntValidator(0, 99, this));
    for (QLineEdit* edit : {ui->edit_proj_width, ui->edit_proj_height})
        edit->setValidator(new QIntValidator(1, 65535, this));

    loadSettings(this, imageDir);
    titleText = tr("Camera Projector Calibration");

    for (QWidget* w : std::initializer_list<QWidget*>{ui->group_reproj_err_cam, ui->label_rms_err_cam,
                                                      ui->label_min_err_cam, ui->label_max_err_cam,
                                                      ui->group_reproj_err_proj, ui->label_rms_err_proj,
                                                      ui->label_min_err_proj, ui->label_max_err_proj})
        w->hide();
    for (QWidget* w :
         std::initializer_list<QWidget*>{ui->check_use_rational_model, ui->check_fix_k4, ui->check_fix_k5,
                                         ui->check_fix_k6, ui->button_detect_chessboards, ui->button_decode})
        w->hide();

    connect(ui->imageTree->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current, const QModelIndex& previous) {
                onImageTreeCurrentChanged(current, previous);
            });

    for (const QString& name : sensorNames) {
        ui->combo_cam->addItem(name);
        ui->combo_projector->addItem(name);
    }
    if (sensorNames.size() >= 2)
        ui->combo_projector->setCurrentIndex(1);

    renderer = setupChessboardSceneView(ui->widget_vtk);

    // While a run walks the sets, nothing may change the sets, the options or
    // the chosen sensors; the two calibrate buttons stay live as "Abort".
    setRunLockedWidgets(
        {ui->combo_cam, ui->combo_projector, ui->imageTree, ui->change_dir_button,
         ui->group_projector_resolution, ui->group_chessboard, ui->group_corner_subpix, ui->group_gray_code,
         ui->group_proj_corner_detect, ui->group_term_criteria, ui->check_use_intrinsic_guess,
         ui->check_fix_focal, ui->check_fix_pp, ui->check_fix_aspect_ratio, ui->group_use_radial_distortion,
         ui->check_use_tangential_distortion, ui->group_proj_outliers, ui->tab_calib_options});
}

CamProjStereoCalib::~CamProjStereoCalib()
{
    saveSettings(this, imageDir);
    delete model;
    model = nullptr;
    delete ui;
}

// ---------------------------------------------------------------------------
// Image sets

int CamProjStereoCalib::setCount() const
{
    return model->rowCount();
}

QModelIndex CamProjStereoCalib::setIndex(int set) const
{
    return model->index(set, 0);
}

bool CamProjStereoCalib::isSetChecked(int set) const
{
    return model->data(setIndex(set), Qt::CheckStateRole).toInt() == Qt::Checked;
}

void CamProjStereoCalib::setSetChecked(int set, bool checked)
{
    const QModelIndex index = setIndex(set);
    if (index.isValid())
        model->setData(index, checked ? Qt::Checked : Qt::Unchecked, Qt::CheckStateRole);
}

void CamProjStereoCalib::setRowBackground(int set, const QColor& colour)
{
    const QModelIndex index = setIndex(set);
    if (index.isValid())
        model->setData(index, colour, Qt::BackgroundRole);
}

QStringList CamProjStereoCalib::setImagePaths(int set) const
{
    QStringList paths;
    const QModelIndex parent = setIndex(set);
    if (!parent.isValid())
        return paths;
    for (int i = 0; i < model->rowCount(parent); ++i)
        paths << model->data(model->index(i, 0, parent), PathRole).toString();
    return paths;
}

void CamProjStereoCalib::loadImageFolder(const QString& folder)
{
    imageDir = folder;
    model->clearItems();
    clearImageSetResults();
    for (const ImageSetFolder& set : listImageSets(folder)) {
        const int row = model->rowCount();
        if (!model->insertItem(row))
            continue;
        const QModelIndex setRow = model->index(row, 0);
        model->setData(setRow, set.name, Qt::DisplayRole);
        model->setData(setRow, set.name, Qt::ToolTipRole);
        model->setData(setRow, Qt::Checked, Qt::CheckStateRole);
        for (int i = 0; i < set.files.size(); ++i) {
            if (!model->insertItem(i, setRow))
                break;
            const QModelIndex imageRow = model->index(i, 0, setRow);
            const QString text = QString("#%1 %2").arg(i, 2, 10, QChar('0')).arg(set.files[i]);
            model->setData(imageRow, text, Qt::DisplayRole);
            model->setData(imageRow, text, Qt::ToolTipRole);
            model->setData(imageRow, set.path + "/" + set.files[i], PathRole);
        }
    }
    setWindowTitle(QString("%1 - %2").arg(titleText, folder));

    ui->imageTree->selectionModel()->clearSelection();
    currentSet = 0;
    currentImage = 0;
    if (setCount() > 0) {
        const QSignalBlocker blocker(ui->imageTree);
        ui->imageTree->selectionModel()->select(setIndex(0),
                                                QItemSelectionModel::Select | QItemSelectionModel::Current);
        const WaitCursor cursor;
        drawCurrentView();
    }
}

cv::Mat CamProjStereoCalib::loadSetImage(int set, int image, SetImageMode mode) const
{
    const QModelIndex parent = setIndex(set);
    if (!parent.isValid())
        return cv::Mat();
    const QModelIndex row = model->index(image, 0, parent);
    if (!row.isValid())
        return cv::Mat();
    const std::string path = model->data(row, PathRole).toString().toStdString();
    try {
        const int flags = mode == SetImageMode::Grey ? cv::IMREAD_GRAYSCALE : cv::IMREAD_COLOR;
        return cv::imread(path, flags);
    } catch (const cv::Exception&) {
        return cv::Mat();
    }
}

void CamProjStereoCalib::clearImageSetResults()
{
    objectPoints.clear();
    camCorners.clear();
    projCorners.clear();
    decodedMaps.clear();
    minMaxMaps.clear();
    projViews.clear();
    projRvecs.clear();
    projTvecs.clear();
    projErrors.clear();
    projColours.clear();
    camRvecs.clear();
    camTvecs.clear();
    camErrors.clear();
    camColours.clear();
}

void CamProjStereoCalib::clearDetectionStage()
{
    objectPoints.clear();
    camCorners.clear();
}

void CamProjStereoCalib::clearDecodingStage()
{
    decodedMaps.clear();
    minMaxMaps.clear();
    projViews.clear();
}

void CamProjStereoCalib::clearProjectorCornerStage()
{
    projCorners.clear();
}

int CamProjStereoCalib::readInt(const QLineEdit* edit) const
{
    return static_cast<int>(edit->text().trimmed().toDouble());
}

cv::Size CamProjStereoCalib::projectorSize() const
{
    return cv::Size(readInt(ui->edit_proj_width), readInt(ui->edit_proj_height));
}

// ---------------------------------------------------------------------------
// Detection

CamProjStereoCalib::RunStatus CamProjStereoCalib::detectChessboards()
{
    const int n = setCount();
    if (static_cast<int>(objectPoints.size()) != n || static_cast<int>(camCorners.size()) != n) {
        objectPoints.assign(static_cast<size_t>(n), {});
        camCorners.assign(static_cast<size_t>(n), {});
    }
    ChessboardOptions options;
    if (!takeChessboardOptions(options))
        return RunStatus::Failed;

    logAppend(tr("Detecting chessboards: \n"), Qt::black);
    cv::Size reference;
    for (int i = 0; i < n; ++i) {
        if (pollAbort())
            return RunStatus::Aborted;
        const size_t s = static_cast<size_t>(i);
        if (!isSetChecked(i)) {
            logInsert(setNumber(i), Qt::gray);
            setRowBackground(i, kWhite);
            logRepaint();
            continue;
        }
        if (!objectPoints[s].empty() && !camCorners[s].empty()) {
            logInsert(setNumber(i), Qt::darkGreen);
            logRepaint();
            continue;
        }
        cv::Mat image = loadSetImage(i, 0, SetImageMode::Grey);
        if (image.empty()) {
            logInsert(setNumber(i), Qt::gray);
            setSetChecked(i, false);
            logRepaint();
            continue;
        }
        if (reference.empty()) {
            reference = image.size();
        } else if (image.size() != reference) {
            logAppend(tr("Error: Image %1 has different size %2x%3 as the previous ones %4x%5, aborting...\n")
                          .arg(i)
                          .arg(image.cols)
                          .arg(image.rows)
                          .arg(reference.width)
                          .arg(reference.height),
                      Qt::red);
            logRepaint();
            logColor(Qt::black);
            return RunStatus::Failed;
        }
        std::vector<cv::Point2f> corners;
        bool found = false;
        try {
            found = detectChessboard(image, options, corners);
            if (!found && !options.radon) {
                // Under the white pattern the board may be washed out; the
                // black pattern's capture shows it in ambient light.
                const cv::Mat black = loadSetImage(i, 1, SetImageMode::Grey);
                if (!black.empty() && black.size() == image.size())
                    found = detectChessboard(black, options, corners);
            }
        } catch (const cv::Exception& e) {
            logAppend(tr("OpenCV exception caught: %1").arg(QString::fromStdString(e.what()).trimmed()),
                      Qt::red);
            logAppend(tr("Skipping...\n"), Qt::red);
            logRepaint();
            setSetChecked(i, false);
            continue;
        }
        if (found) {
            logInsert(setNumber(i), Qt::green);
            camCorners[s] = corners;
            objectPoints[s] =
                chessboardObjectPoints(options.patternSize, options.squareWidth, options.squareHeight);
            ui->progress_bar->setValue(i + 1);
        } else {
            setSetChecked(i, false);
            logInsert(setNumber(i), Qt::red);
            setRowBackground(i, kWhite);
        }
        logRepaint();
    }
    logColor(Qt::black);
    return RunStatus::Done;
}

// ---------------------------------------------------------------------------
// Decoding

bool CamProjStereoCalib::decodeImageSet(int set, cv::Mat& decoded, cv::Mat& minMax, QString* error)
{
    decoded.release();
    minMax.release();
    const float b = static_cast<float>(ui->edit_b->text().toDouble() / 100.0);
    const int m = readInt(ui->edit_m);
    if (set < 0 || set >= setCount()) {
        if (error)
            *error = tr("no image set %1").arg(set);
        return false;
    }
    const QStringList paths = setImagePaths(set);
    const int n = paths.size();
    if (directGlobalImageIndices(n, 4, 4).empty()) {
        logAppend(
            tr("ERROR! At least %1 images are required for the estimation of direct and global light").arg(8),
            Qt::red);
        logRepaint();
        logColor(Qt::black);
    }
    const DecodeResult result = decodeImageSetImages(
        n, [&](int i) { return loadGrayscaleImage(paths[i].toStdString()); }, decoded, minMax,
        projectorSize(), b, m);
    if (!result.ok && error)
        *error = QString::fromStdString(result.error);
    return result.ok;
}

CamProjStereoCalib::RunStatus CamProjStereoCalib::decodeImageSets()
{
    const int n = setCount();
    decodedMaps.resize(static_cast<size_t>(n));
    minMaxMaps.resize(static_cast<size_t>(n));
    logAppend(tr("Decoding image sets: \n"), Qt::black);
    cv::Size reference;
    QStringList failures;
    RunStatus status = RunStatus::Done;
    for (int i = 0; i < n; ++i) {
        if (pollAbort()) {
            status = RunStatus::Aborted;
            break;
        }
        const size_t s = static_cast<size_t>(i);
        if (!isSetChecked(i)) {
            logInsert(setNumber(i), Qt::gray);
            setRowBackground(i, kWhite);
            logRepaint();
            continue;
        }
        const bool reused = !decodedMaps[s].empty() && !minMaxMaps[s].empty();
        QString error;
        if (!reused && !decodeImageSet(i, decodedMaps[s], minMaxMaps[s], &error)) {
            logInsert(setNumber(i), Qt::red);
            logRepaint();
            setSetChecked(i, false);
            failures << tr("Image set %1 (%2): %3").arg(i).arg(model->data(setIndex(i)).toString(), error);
            continue;
        }
        if (reference.empty()) {
            reference = decodedMaps[s].size();
        } else if (decodedMaps[s].size() != reference) {
            decodedMaps[s].release();
            minMaxMaps[s].release();
            logAppend(tr("Error: Image %1 has different size as the previous ones, aborting...\n").arg(i),
                      Qt::red);
            logRepaint();
            status = RunStatus::Failed;
            break;
        }
        logInsert(setNumber(i), reused ? Qt::darkGreen : Qt::green);
        logRepaint();
        if (!reused)
            ui->progress_bar->setValue(n + 1 + i);
    }
    for (const QString& failure : failures)
        logAppend(failure, Qt::red);
    logColor(Qt::black);
    return status;
}

// ---------------------------------------------------------------------------
// Projector corners

CamProjStereoCalib::RunStatus CamProjStereoCalib::extractProjectorCornerStage(bool abortChecks)
{
    const int n = setCount();
    logAppend(tr("Extracting projector corners:\n"), Qt::black);
    projCorners.resize(static_cast<size_t>(n));
    ProjectorCornerOptions options;
    options.window = readInt(ui->edit_homography_win);
    options.threshold = readInt(ui->edit_threshold);
    options.reprojThreshold = ui->edit_reproj_err->text().toDouble();
    options.lmeds = ui->radio_outlier_lmeds->isChecked();
    for (int i = 0; i < n; ++i) {
        if (abortChecks && runAborted())
            return RunStatus::Aborted;
        const size_t s = static_cast<size_t>(i);
        if (!isSetChecked(i)) {
            logInsert(setNumber(i), Qt::gray);
            logRepaint();
            continue;
        }
        const bool hasCorners = s < camCorners.size() && !camCorners[s].empty() && s < objectPoints.size();
        if (hasCorners && !projCorners[s].empty() && projCorners[s].size() == camCorners[s].size()) {
            logInsert(setNumber(i), Qt::darkGreen);
            logRepaint();
            continue;
        }
        // A set without camera corners or without decoded maps has nothing to
        // carry into the projector.
        if (!hasCorners || s >= decodedMaps.size() || decodedMaps[s].empty() || s >= minMaxMaps.size() ||
            minMaxMaps[s].empty()) {
            projCorners[s].clear();
            logInsert(setNumber(i), Qt::red);
            logRepaint();
            continue;
        }
        std::vector<int> failed;
        std::vector<std::string> messages;
        extractProjectorCorners(decodedMaps[s], minMaxMaps[s], camCorners[s], projCorners[s], failed, options,
                                &messages);
        for (const std::string& message : messages) {
            logAppend(tr("OpenCV exception caught: %1").arg(QString::fromStdString(message).trimmed()),
                      Qt::red);
            logAppend(tr("Skipping...\n"), Qt::red);
        }
        for (auto it = failed.rbegin(); it != failed.rend(); ++it) {
            objectPoints[s].erase(objectPoints[s].begin() + *it);
            camCorners[s].erase(camCorners[s].begin() + *it);
        }
        logInsert(setNumber(i), projCorners[s].empty() ? Qt::red : Qt::green);
        logRepaint();
    }
    logColor(Qt::black);
    return RunStatus::Done;
}

// ---------------------------------------------------------------------------
// Runs

bool CamProjStereoCalib::runAborted()
{
    if (!pollAbort())
        return false;
    ui->button_calibrate->setText(tr("Calibrate Stereo"));
    ui->button_calibrate_projector->setText(tr("Calibrate Projector"));
    logAppend(tr("Calibration aborted \n"), Qt::red);
    logColor(Qt::black);
    return true;
}

void CamProjStereoCalib::clearRunResults()
{
    projErrors.clear();
    camErrors.clear();
    camRvecs.clear();
    camTvecs.clear();
    projRvecs.clear();
    projTvecs.clear();
    projColours.clear();
    camColours.clear();
}

cv::TermCriteria CamProjStereoCalib::readCriteria() const
{
    return cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, readInt(ui->edit_max_iterations),
                            ui->edit_accuracy->text().toDouble());
}

CamProjStereoCalib::RunStatus CamProjStereoCalib::runDetectionAndDecoding()
{
    for (auto stage : {&CamProjStereoCalib::detectChessboards, &CamProjStereoCalib::decodeImageSets}) {
        logColor(Qt::black);
        const RunStatus status = (this->*stage)();
        if (status == RunStatus::Aborted) {
            runAborted();
            return RunStatus::Aborted;
        }
        if (status == RunStatus::Failed)
            return RunStatus::Failed;
        if (runAborted())
            return RunStatus::Aborted;
    }
    return RunStatus::Done;
}

std::vector<int> CamProjStereoCalib::setsReadyForCalibration(int n)
{
    std::vector<int> ready;
    for (int i = 0; i < n; ++i) {
        const size_t s = static_cast<size_t>(i);
        if (s >= objectPoints.size() || s >= camCorners.size() || s >= projCorners.size() ||
            objectPoints[s].empty() || camCorners[s].empty() || projCorners[s].empty())
            continue;
        if (!isSetChecked(i)) {
            setRowBackground(i, kWhite);
            continue;
        }
        ready.push_back(i);
    }
    return ready;
}

CamProjStereoCalib::RunStatus CamProjStereoCalib::calibrateProjector()
{
    const WaitCursor cursor;
    logColor(Qt::black);
    clearRunResults();
    const cv::Size projSize = projectorSize();
    logMoveToEnd();
    const int n = setCount();
    ui->progress_bar->setRange(0, 2 * n + 2);

    if (n == 0) {
        logAppend(tr("Image list is empty, aborting...\n"), Qt::red);
        logColor(Qt::black);
        return RunStatus::Failed;
    }
    const int projIdx = ui->combo_projector->currentIndex();
    if (projIdx < 0) {
        logAppend(tr("No sensor present in the sensor list, aborting...\n"), Qt::red);
        logColor(Qt::black);
        return RunStatus::Failed;
    }
    if (projSize.width <= 0 || projSize.height <= 0) {
        logAppend(tr("The projector size %1x%2 is not valid, aborting...\n")
                      .arg(projSize.width)
                      .arg(projSize.height),
                  Qt::red);
        logColor(Qt::black);
        return RunStatus::Failed;
    }
    if (ui->check_use_intrinsic_guess->isChecked()) {
        cv::Size size;
        emit getSecondaryIntrinsics(projIdx, projK, projKc, size);
        if (projK.empty()) {
            const QString name = ui->combo_projector->currentText();
            logAppend(tr("Use intrinsic guess for %1 is set, but the %1 does not contain any intrinsics, "
                         "aborting...\n")
                          .arg(name),
                      Qt::red);
            logColor(Qt::black);
            return RunStatus::Failed;
        }
    }

    const RunStatus prepared = runDetectionAndDecoding();
    if (prepared != RunStatus::Done)
        return prepared;
    if (extractProjectorCornerStage(true) == RunStatus::Aborted)
        return RunStatus::Aborted;
    ui->progress_bar->setValue(2 * n + 1);
    logColor(Qt::black);

    ProjectorCalibInput input;
    const std::vector<int> used = setsReadyForCalibration(n);
    for (const int i : used) {
        input.objectPoints.push_back(objectPoints[static_cast<size_t>(i)]);
        input.projCorners.push_back(projCorners[static_cast<size_t>(i)]);
    }
    IntrinsicFlagOptions flagOptions;
    flagOptions.useIntrinsicGuess = ui->check_use_intrinsic_guess->isChecked();
    flagOptions.fixFocal = ui->check_fix_focal->isChecked();
    flagOptions.fixPrincipalPoint = ui->check_fix_pp->isChecked();
    flagOptions.fixAspectRatio = ui->check_fix_aspect_ratio->isChecked();
    const QCheckBox* fixK[6] = {ui->check_fix_k1, ui->check_fix_k2, ui->check_fix_k3,
                                ui->check_fix_k4, ui->check_fix_k5, ui->check_fix_k6};
    for (int k = 0; k < 6; ++k)
        flagOptions.fixK[k] = fixK[k]->isChecked();
    flagOptions.rationalModel = ui->check_use_rational_model->isChecked();
    flagOptions.tangential = ui->check_use_tangential_distortion->isChecked();
    flagOptions.radial = ui->group_use_radial_distortion->isChecked();
    input.flags = intrinsicFlags(flagOptions);
    input.criteria = readCriteria();
    input.projectorSize = projSize;
    input.K = projK;
    input.kc = flagOptions.radial ? projKc : zeroDistortion();

    logAppend(tr("Projector [%1x%2] calibration with %3 image sets")
                  .arg(projSize.width)
                  .arg(projSize.height)
                  .arg(used.size()),
              Qt::black);
    if (runAborted())
        return RunStatus::Aborted;
    if (used.empty()) {
        logAppend(tr("No image set has projector corners, aborting...\n"), Qt::red);
        logColor(Qt::black);
        return RunStatus::Failed;
    }
    const ProjectorCalibResult result = calibrateProjectorIntrinsics(input);
    if (!result.ok) {
        logAppend(tr("OpenCV exception caught: %1").arg(QString::fromStdString(result.error).trimmed()),
                  Qt::red);
        logAppend(tr("Aborting...\n"), Qt::red);
        logColor(Qt::black);
        return RunStatus::Failed;
    }
    projK = result.K;
    projKc = result.kc;

    renderer->RemoveAllViewProps();
    ChessboardOptions options;
    QString optionError;
    if (readChessboardOptions(options, optionError)) {
        patternSize = options.patternSize;
        squareWidth = options.squareWidth;
        squareHeight = options.squareHeight;
    }
    projErrors.assign(static_cast<size_t>(n), -1);
    camErrors.assign(static_cast<size_t>(n), -1);
    projColours.assign(static_cast<size_t>(n), cv::Vec3b(255, 255, 255));
    camColours.assign(static_cast<size_t>(n), cv::Vec3b(255, 255, 255));
    projRvecs.assign(static_cast<size_t>(n), cv::Mat());
    projTvecs.assign(static_cast<size_t>(n), cv::Mat());
    camRvecs.assign(static_cast<size_t>(n), cv::Mat());
    camTvecs.assign(static_cast<size_t>(n), cv::Mat());
    const auto range = std::minmax_element(result.perViewErrors.begin(), result.perViewErrors.end());
    for (size_t k = 0; k < used.size(); ++k) {
        const size_t s = static_cast<size_t>(used[k]);
        projErrors[s] = result.perViewErrors[k];
        projRvecs[s] = result.rvecs[k];
        projTvecs[s] = result.tvecs[k];
        const cv::Point3d c = errorColor(result.perViewErrors[k], *range.first, *range.second);
        projColours[s] = colour255(c);
        setRowBackground(used[k], QColor(projColours[s][0], projColours[s][1], projColours[s][2], 255));
        drawTarget(renderer, result.rvecs[k], result.tvecs[k], patternSize,
                   cv::Size2d(squareWidth, squareHeight), c, false);
    }
    const double depth = maxTranslationNorm(result.tvecs);
    drawFrustum(renderer, projK, projSize, depth, ui->combo_projector->currentText().toStdString());
    drawWorldAxes(renderer, "");
    renderer->ResetCamera();
    renderSceneView(ui->widget_vtk);

    logAppend(tr("Calibration completed with rms reprojection error: ") + QString::number(result.rms, 'g', 6),
              Qt::black);
    logAppend(tr("Intrinsics:"));
    const cv::Mat sd = result.stdIntrinsics;
    auto sdv = [&](int k) { return k < static_cast<int>(sd.total()) ? sd.at<double>(k) : 0.0; };
    auto line = [&](const QString& name, double v, double s) {
        logAppend(QString("%1 %2 +/- %3").arg(name).arg(v, 0, 'f', 4).arg(s, 0, 'f', 4));
    };
    line("fx", projK.at<double>(0, 0), ui->check_fix_aspect_ratio->isChecked() ? sdv(1) : sdv(0));
    line("fy", projK.at<double>(1, 1), sdv(1));
    line("cx", projK.at<double>(0, 2), sdv(2));
    line("cy", projK.at<double>(1, 2), sdv(3));
    logAppend(tr("Distortion coefficients:"));
    struct Coef {
        const char* name;
        int index, sd;
        bool rational;
    } coefs[] = {{"k1", 0, 4, false}, {"k2", 1, 5, false}, {"k3", 4, 8, false}, {"p1", 2, 6, false},
                 {"p2", 3, 7, false}, {"k4", 5, 9, true},  {"k5", 6, 10, true}, {"k6", 7, 11, true}};
    for (const Coef& c : coefs) {
        if (c.rational && !ui->check_use_rational_model->isChecked())
            continue;
        if (c.index >= static_cast<int>(projKc.total()))
            continue;
        const double v = projKc.at<double>(c.index);
        if (v != 0.0)
            line(c.name, v, sdv(c.sd));
    }

    cv::Size size = projSize;
    emit updateSecondaryIntrinsics(projIdx, projK, projKc, size);
    const QString path = imageDir + "/Proj-Intr.yml";
    std::string writeError;
    if (writeProjectorIntrinsicsFile(path.toStdString(), projSize, projK, projKc, result.rms, &writeError)) {
        logAppend(tr("Projector intrinsics saved to %1").arg(path), Qt::black);
    } else {
        logAppend(tr("Could not save the projector intrinsics to %1: %2")
                      .arg(path, QString::fromStdString(writeError)),
                  Qt::red);
        logColor(Qt::black);
    }

    const bool removeOutliers = ui->group_proj_outliers->isChecked();
    if (removeOutliers)
        logAppend(tr("Detecting outliers: "), Qt::black);
    if (projComputeReprojErrors(removeOutliers) && removeOutliers) {
        logAppend(tr("Calibrate again to exclude the detected outliers!"), QColor(255, 0, 0));
        logColor(QColor(0, 0, 0));
    }
    const int camIdx = ui->combo_cam->currentIndex();
    if (camIdx >= 0) {
        cv::Size camSize;
        emit getPrimaryIntrinsics(camIdx, camK, camKc, camSize);
    }
    drawCurrentView();
    ui->progress_bar->setValue(2 * n + 2);
    return RunStatus::Done;
}

bool CamProjStereoCalib::projComputeReprojErrors(bool removeOultiers)
{
    const double threshold = removeOultiers ? ui->edit_proj_outlier->text().toDouble() : 0.0;
    const size_t n = static_cast<size_t>(setCount());
    projReprojPoints.assign(n, {});
    projErrorRange.assign(n, {0.0, 0.0});
    projCornerColours.assign(n, {});
    bool removed = false;
    for (size_t s = 0; s < n; ++s) {
        if (s >= projRvecs.size() || s >= projTvecs.size() || projRvecs[s].empty() || projTvecs[s].empty())
            continue;
        if (s >= objectPoints.size() || s >= projCorners.size() || s >= camCorners.size() ||
            objectPoints[s].size() != projCorners[s].size() || objectPoints[s].empty())
            continue;
        const ViewReprojection view =
            reprojectView(objectPoints[s], projCorners[s], projRvecs[s], projTvecs[s], projK, projKc,
                          removeOultiers ? threshold : -1);
        projReprojPoints[s] = view.projected;
        projErrorRange[s] = {view.smallest, view.largest};
        std::vector<int> outliers(view.outliers.begin(), view.outliers.end());
        for (size_t k = 0, o = 0; k < view.errors.size(); ++k) {
            if (o < view.outliers.size() && view.outliers[o] == k) {
                ++o;
                continue;
            }
            projCornerColours[s].push_back(
                colour255(errorColor(view.errors[k], view.smallest, view.largest)));
        }
        if (!outliers.empty()) {
            removed = true;
            logInsert(QString("%1: %2  ").arg(s).arg(outliers.size()), Qt::black);
            for (auto it = outliers.rbegin(); it != outliers.rend(); ++it) {
                projCorners[s].erase(projCorners[s].begin() + *it);
                objectPoints[s].erase(objectPoints[s].begin() + *it);
                projReprojPoints[s].erase(projReprojPoints[s].begin() + *it);
                if (static_cast<size_t>(*it) < camCorners[s].size())
                    camCorners[s].erase(camCorners[s].begin() + *it);
            }
        }
    }
    if (removeOultiers && !removed)
        logInsert(tr("none"), Qt::black);
    return removed;
}

CamProjStereoCalib::RunStatus CamProjStereoCalib::calibrateStereo()
{
    const WaitCursor cursor;
    logColor(Qt::black);
    clearRunResults();
    projReprojPoints.clear();
    projErrorRange.clear();
    projCornerColours.clear();
    logMoveToEnd();
    const int n = setCount();
    ui->progress_bar->setRange(0, 2 * n + 2);

    auto fail = [&](const QString& message) {
        logAppend(message, Qt::red);
        logRepaint();
        logColor(Qt::black);
        return RunStatus::Failed;
    };
    const int camIdx = ui->combo_cam->currentIndex();
    const int projIdx = ui->combo_projector->currentIndex();
    if (n == 0)
        return fail(tr("Image list is empty, aborting...\n"));
    if (camIdx < 0)
        return fail(tr("Select a camera in the combo box above the 'Image List', aborting...\n"));
    if (projIdx < 0)
        return fail(tr("Select a projector in the combo box above the 'Image List', aborting...\n"));
    if (camIdx == projIdx)
        return fail(tr("Camera and projector are the same sensor '%1'; select two different sensors, "
                       "aborting...\n")
                        .arg(ui->combo_cam->currentText()));
    const cv::Size projSize = projectorSize();
    if (projSize.width <= 0 || projSize.height <= 0)
        return fail(tr("The projector size %1x%2 is not valid, aborting...\n")
                        .arg(projSize.width)
                        .arg(projSize.height));
    if (ui->check_use_intrinsic_guess1->isChecked()) {
        cv::Size size;
        emit getPrimaryIntrinsics(camIdx, camK, camKc, size);
        if (camK.empty())
            return fail(tr("Use intrinsic guess for %1 is set, but the %1 does not contain any intrinsics, "
                           "aborting...\n")
                            .arg(ui->combo_cam->currentText()));
    }
    if (ui->check_use_intrinsic_guess2->isChecked()) {
        cv::Size size;
        emit getSecondaryIntrinsics(projIdx, projK, projKc, size);
        if (projK.empty()) {
            const RunStatus nested = calibrateProjector();
            if (nested == RunStatus::Aborted)
                return RunStatus::Aborted;
            if (nested == RunStatus::Failed || projK.empty())
                return fail(tr("The projector calibration failed, so the stereo calibration cannot start, "
                               "aborting...\n"));
            clearRunResults();
            projReprojPoints.clear();
            projErrorRange.clear();
            projCornerColours.clear();
            ui->progress_bar->setRange(0, 2 * n + 2);
        }
    }

    const RunStatus prepared = runDetectionAndDecoding();
    if (prepared != RunStatus::Done)
        return prepared;
    extractProjectorCornerStage(false);
    ui->progress_bar->setValue(2 * n + 1);
    logColor(Qt::black);

    CamProjStereoInput input;
    const std::vector<int> used = setsReadyForCalibration(n);
    for (const int i : used) {
        input.objectPoints.push_back(objectPoints[static_cast<size_t>(i)]);
        input.camCorners.push_back(camCorners[static_cast<size_t>(i)]);
        input.projCorners.push_back(projCorners[static_cast<size_t>(i)]);
    }
    if (used.size() < 3)
        return fail(tr("Use at least 3 image sets, aborting...\n"));

    auto deviceFlags = [&](int device) {
        const bool cam = device == 1;
        IntrinsicFlagOptions o;
        o.fixIntrinsic = (cam ? ui->check_fix_intrinsic1 : ui->check_fix_intrinsic2)->isChecked();
        o.useIntrinsicGuess =
            (cam ? ui->check_use_intrinsic_guess1 : ui->check_use_intrinsic_guess2)->isChecked();
        o.fixFocal = (cam ? ui->check_fix_focal1 : ui->check_fix_focal2)->isChecked();
        o.fixPrincipalPoint = (cam ? ui->check_fix_pp1 : ui->check_fix_pp2)->isChecked();
        o.fixAspectRatio = (cam ? ui->check_fix_aspect_ratio1 : ui->check_fix_aspect_ratio2)->isChecked();
        o.fixK[0] = (cam ? ui->check_fix_k1_1 : ui->check_fix_k1_2)->isChecked();
        o.fixK[1] = (cam ? ui->check_fix_k2_1 : ui->check_fix_k2_2)->isChecked();
        o.fixK[2] = (cam ? ui->check_fix_k3_1 : ui->check_fix_k3_2)->isChecked();
        o.tangential =
            (cam ? ui->check_use_tangential_distortion1 : ui->check_use_tangential_distortion2)->isChecked();
        o.radial = (cam ? ui->group_use_radial_distortion1 : ui->group_use_radial_distortion2)->isChecked();
        return o;
    };
    const IntrinsicFlagOptions camOptions = deviceFlags(1);
    const IntrinsicFlagOptions projOptions = deviceFlags(2);
    if (!camOptions.radial)
        camKc = zeroDistortion();
    if (!projOptions.radial)
        projKc = zeroDistortion();
    input.camFlags = intrinsicFlags(camOptions);
    input.projFlags = intrinsicFlags(projOptions);
    input.criteria = readCriteria();
    input.camK = camK;
    input.camKc = camKc;
    input.projK = projK;
    input.projKc = projKc;

    logAppend(tr("Calibration in progress ..."), Qt::black);
    logRepaint();
    // The camera's image size comes from a set that takes part.
    const cv::Mat first = loadSetImage(used.front(), 0, SetImageMode::Grey);
    const cv::Size camSize = !first.empty() ? first.size()
                                            : (static_cast<size_t>(used.front()) < decodedMaps.size()
                                                   ? decodedMaps[static_cast<size_t>(used.front())].size()
                                                   : cv::Size());
    input.cameraSize = camSize;
    input.projectorSize = projSize;
    if (runAborted())
        return RunStatus::Aborted;

    const CamProjStereoResult result = calibrateCamProjStereo(input);
    if (!result.ok) {
        logAppend(tr("OpenCV exception caught : ") + QString::fromStdString(result.error).trimmed(), Qt::red);
        logAppend(tr("Aborting...\n"), Qt::red);
        logRepaint();
        logColor(Qt::black);
        return RunStatus::Failed;
    }
    camK = result.camK;
    camKc = result.camKc;
    projK = result.projK;
    projKc = result.projKc;
    R = result.R;
    T = result.T;
    E = result.E;
    F = result.F;

    const QString camName = ui->combo_cam->currentText();
    const QString projName = ui->combo_projector->currentText();
    auto num = [](double v) { return QString::number(v, 'f', 4); };
    logAppend(tr("Calibration completed with rms reprojection error: ") + QString::number(result.rms, 'g', 6),
              Qt::black);
    auto logDevice = [&](const QString& name, const cv::Mat& K, const cv::Mat& kc) {
        logAppend(tr("Intrinsics (") + name + "): ");
        logAppend("fx " + num(K.at<double>(0, 0)));
        logAppend("fy " + num(K.at<double>(1, 1)));
        logAppend("cx " + num(K.at<double>(0, 2)));
        logAppend("cy " + num(K.at<double>(1, 2)));
        logAppend(tr("Dist. koeffs. (") + name + "): ");
        for (size_t k = 0; k < kc.total(); ++k)
            if (kc.at<double>(static_cast<int>(k)) != 0.0)
                logAppend(num(kc.at<double>(static_cast<int>(k))));
    };
    logDevice(camName, camK, camKc);
    logDevice(projName, projK, projKc);
    logAppend(tr("Extrinsics: ") + projName + " wrt " + camName);
    logAppend("tx " + num(T.at<double>(0)));
    logAppend("ty " + num(T.at<double>(1)));
    logAppend("tz " + num(T.at<double>(2)));
    logAppend("R ");
    for (int r = 0; r < 3; ++r)
        logAppend(num(R.at<double>(r, 0)) + " " + num(R.at<double>(r, 1)) + " " + num(R.at<double>(r, 2)));

    const QString path = imageDir + "/Stereo.yml";
    std::string writeError;
    if (writeCamProjStereoFile(path.toStdString(), result, camSize, projSize, &writeError)) {
        logAppend(tr("Stereo parameters saved to ") + path, Qt::black);
    } else {
        logAppend(tr("Could not save the stereo parameters to %1: %2")
                      .arg(path, QString::fromStdString(writeError)),
                  Qt::red);
        logColor(Qt::black);
    }

    cv::Size camSizeOut = camSize, projSizeOut = projSize;
    emit updatePrimaryIntrinsics(camIdx, camK, camKc, camSizeOut);
    emit updateSecondaryIntrinsics(projIdx, projK, projKc, projSizeOut);
    cv::Mat Rcopy = R.clone(), Tcopy = T.clone();
    emit updateSecondaryExtrinsics(camIdx, projIdx, Rcopy, Tcopy);

    const size_t ns = static_cast<size_t>(n);
    projErrors.assign(ns, -1);
    camErrors.assign(ns, -1);
    projColours.assign(ns, cv::Vec3b(255, 255, 255));
    camColours.assign(ns, cv::Vec3b(255, 255, 255));
    projRvecs.assign(ns, cv::Mat());
    projTvecs.assign(ns, cv::Mat());
    camRvecs.assign(ns, cv::Mat());
    camTvecs.assign(ns, cv::Mat());
    double camLo = 1e100, camHi = 0, projLo = 1e100, projHi = 0;
    for (size_t j = 0; j < used.size(); ++j) {
        const size_t s = static_cast<size_t>(used[j]);
        camErrors[s] = result.perViewErrors.at<double>(static_cast<int>(j), 0);
        projErrors[s] = result.perViewErrors.at<double>(static_cast<int>(j), 1);
        projRvecs[s] = result.projRvecs[j];
        projTvecs[s] = result.projTvecs[j];
        camRvecs[s] = result.camRvecs[j];
        camTvecs[s] = result.camTvecs[j];
        camLo = std::min(camLo, camErrors[s]);
        camHi = std::max(camHi, camErrors[s]);
        projLo = std::min(projLo, projErrors[s]);
        projHi = std::max(projHi, projErrors[s]);
    }
    renderer->RemoveAllViewProps();
    ChessboardOptions options;
    QString optionError;
    if (readChessboardOptions(options, optionError)) {
        patternSize = options.patternSize;
        squareWidth = options.squareWidth;
        squareHeight = options.squareHeight;
    }
    for (size_t j = 0; j < used.size(); ++j) {
        const size_t s = static_cast<size_t>(used[j]);
        const cv::Point3d cp = errorColor(projErrors[s], projLo, projHi);
        projColours[s] = colour255(cp);
        setRowBackground(used[j], QColor(projColours[s][0], projColours[s][1], projColours[s][2], 255));
        drawTarget(renderer, camRvecs[s], camTvecs[s], patternSize, cv::Size2d(squareWidth, squareHeight), cp,
                   false);
        camColours[s] = colour255(errorColor(camErrors[s], camLo, camHi));
    }
    const double depth = maxTranslationNorm(result.camTvecs);
    drawFrustum(renderer, camK, camSize, depth, "");
    drawWorldAxes(renderer, camName.toStdString());
    const cv::Mat R_cam_proj = R.t();
    const cv::Mat t_cam_proj = -R.t() * T;
    vtkSmartPointer<vtkActor> projFrustum = drawFrustum(renderer, projK, projSize, depth, "");
    if (projFrustum)
        setActorPose(projFrustum, R_cam_proj, t_cam_proj);
    drawFrame(renderer, R_cam_proj, t_cam_proj, projName.toStdString());
    renderer->ResetCamera();
    renderSceneView(ui->widget_vtk);
    drawCurrentView();
    ui->progress_bar->setValue(2 * n + 2);
    return RunStatus::Done;
}

// ---------------------------------------------------------------------------
// Views

void CamProjStereoCalib::renderDecodedMaps(int set, cv::Mat& xImage, cv::Mat& yImage) const
{
    xImage.release();
    yImage.release();
    const size_t s = static_cast<size_t>(set);
    if (set < 0 || set >= setCount() || s >= decodedMaps.size() || s >= minMaxMaps.size())
        return;
    ::renderDecodedMaps(decodedMaps[s], minMaxMaps[s], projectorSize(), readInt(ui->edit_threshold), xImage,
                        yImage);
}

cv::Mat CamProjStereoCalib::projectorView(int set, bool force)
{
    const int n = setCount();
    if (set < 0 || set >= n)
        return cv::Mat();
    const size_t s = static_cast<size_t>(set);
    if (decodedMaps.size() < static_cast<size_t>(n))
        decodedMaps.resize(static_cast<size_t>(n));
    if (minMaxMaps.size() < static_cast<size_t>(n))
        minMaxMaps.resize(static_cast<size_t>(n));
    if (projViews.size() < static_cast<size_t>(n))
        projViews.resize(static_cast<size_t>(n));
    if (projViews[s].empty() || force) {
        if (decodedMaps[s].empty() || minMaxMaps[s].empty()) {
            // A run owns the maps while it goes on; the view only decodes on
            // its own when the dialog is idle.
            if (running || !decodeImageSet(set, decodedMaps[s], minMaxMaps[s]))
                return cv::Mat();
        }
        const cv::Mat camera = loadSetImage(set, 0, SetImageMode::Colour);
        projViews[s] = remapToProjector(decodedMaps[s], minMaxMaps[s], camera, projectorSize(),
                                        readInt(ui->edit_threshold), cv::Scalar(invalidColour));
    }
    return projViews[s];
}

void CamProjStereoCalib::drawDeviceView(bool projector)
{
    const int s = currentSet;
    const size_t ss = static_cast<size_t>(s);
    ImageLabel* view = projector ? ui->proj_view : ui->cam_view;
    const cv::Mat image =
        projector ? projectorView(s, false) : loadSetImage(s, currentImage, SetImageMode::Colour);
    if (image.empty())
        return;
    const std::vector<double>& errors = projector ? projErrors : camErrors;
    const std::vector<cv::Mat>& rvecs = projector ? projRvecs : camRvecs;
    const std::vector<cv::Mat>& tvecs = projector ? projTvecs : camTvecs;
    const std::vector<cv::Vec3b>& colours = projector ? projColours : camColours;
    const std::vector<std::vector<cv::Point2f>>& cornerLists = projector ? projCorners : camCorners;
    const cv::Mat& K = projector ? projK : camK;
    const cv::Mat& kc = projector ? projKc : camKc;
    const bool posed = ss < errors.size() && ss < rvecs.size() && ss < tvecs.size() && ss < colours.size() &&
                       !rvecs[ss].empty() && !tvecs[ss].empty() && !K.empty();
    const bool cornersOk = ss < cornerLists.size() && ss < objectPoints.size() && !cornerLists[ss].empty() &&
                           cornerLists[ss].size() == objectPoints[ss].size();
    if (!posed || !cornersOk) {
        view->setImage(image);
        return;
    }
    QLabel* rms = projector ? ui->label_rms_err_proj : ui->label_rms_err_cam;
    QLabel* minLabel = projector ? ui->label_min_err_proj : ui->label_min_err_cam;
    QLabel* maxLabel = projector ? ui->label_max_err_proj : ui->label_max_err_cam;
    QGroupBox* group = projector ? ui->group_reproj_err_proj : ui->group_reproj_err_cam;
    rms->setText(tr("RMS Err: ") + QString::number(errors[ss], 'f', 4) + " px");
    rms->setStyleSheet(
        QString("color:rgb(%1,%2,%3);").arg(colours[ss][0]).arg(colours[ss][1]).arg(colours[ss][2]));

    const std::vector<cv::Point2f>& corners = cornerLists[ss];
    std::vector<cv::Point2f> reprojected;
    std::vector<cv::Vec3b> cornerColours;
    double lo = 1e100, hi = 0;
    if (projector) {
        if (projReprojPoints.size() != static_cast<size_t>(setCount()))
            projComputeReprojErrors(false);
        if (ss >= projReprojPoints.size() || projReprojPoints[ss].size() != corners.size() ||
            projCornerColours[ss].size() != corners.size()) {
            view->setImage(image);
            return;
        }
        reprojected = projReprojPoints[ss];
        cornerColours = projCornerColours[ss];
        lo = projErrorRange[ss].first;
        hi = projErrorRange[ss].second;
    } else {
        const ViewReprojection reprojection =
            reprojectView(objectPoints[ss], corners, rvecs[ss], tvecs[ss], K, kc);
        reprojected = reprojection.projected;
        lo = reprojection.smallest;
        hi = reprojection.largest;
        for (const double e : reprojection.errors)
            cornerColours.push_back(colour255(errorColor(e, lo, hi)));
    }
    minLabel->setText(tr("Min Err: ") + QString::number(lo, 'f', 4) + " px");
    minLabel->setStyleSheet("color:#00ff00");
    maxLabel->setText(tr("Max Err: ") + QString::number(hi, 'f', 4) + " px");
    maxLabel->setStyleSheet("color:#ff0000");
    for (QWidget* w : std::initializer_list<QWidget*>{group, rms, minLabel, maxLabel})
        w->show();
    view->setImageAndPoints(image, corners, cornerColours, reprojected);

    const BoardAxes axes = projectBoardAxes(rvecs[ss], tvecs[ss], K, kc, squareWidth, squareHeight);
    view->setAxes(axes.origin, axes.xEnd, axes.yEnd, axes.size);
}

void CamProjStereoCalib::drawCurrentView()
{
    if (setCount() == 0 || currentSet < 0 || currentSet >= setCount())
        return;
    try {
        switch (ui->tab_img_view->currentIndex()) {
        case 0:
            drawDeviceView(false);
            break;
        case 1:
            drawDeviceView(true);
            break;
        case 2:
        case 3: {
            cv::Mat x, y;
            renderDecodedMaps(currentSet, x, y);
            (ui->tab_img_view->currentIndex() == 2 ? ui->decode_x : ui->decode_y)
                ->setImage(ui->tab_img_view->currentIndex() == 2 ? x : y);
            break;
        }
        default:
            break;
        }
    } catch (const cv::Exception& e) {
        logAppend(tr("OpenCV exception caught: %1").arg(QString::fromStdString(e.what()).trimmed()), Qt::red);
        logColor(Qt::black);
    }
}

// ---------------------------------------------------------------------------
// Slots

void CamProjStereoCalib::updateSensorNames()
{
    emit getSensorNames(sensorNames);
    refillSensorCombo(ui->combo_cam, sensorNames);
    refillSensorCombo(ui->combo_projector, sensorNames);
}

void CamProjStereoCalib::onImageTreeCurrentChanged(const QModelIndex& current, const QModelIndex&)
{
    if (!current.isValid())
        return;
    const QModelIndex parent = current.parent();
    if (parent.isValid()) {
        currentSet = parent.row();
        currentImage = current.row();
    } else {
        currentSet = current.row();
        currentImage = 0;
    }
    const WaitCursor cursor;
    drawCurrentView();
}

void CamProjStereoCalib::on_change_dir_button_clicked()
{
    const QString folder = QFileDialog::getExistingDirectory(this, tr("Select Image Directory"), imageDir,
                                                             QFileDialog::ShowDirsOnly);
    if (!folder.isEmpty())
        loadImageFolder(folder);
}

void CamProjStereoCalib::on_button_detect_chessboards_clicked()
{
    if (running)
        return;
    logMoveToEnd();
    detectChessboards();
}

void CamProjStereoCalib::on_button_decode_clicked()
{
    if (running)
        return;
    logMoveToEnd();
    decodeImageSets();
}

void CamProjStereoCalib::on_button_calibrate_clicked()
{
    if (!beginRun(tr("Abort")))
        return;
    try {
        calibrateStereo();
    } catch (const std::exception& e) {
        logAppend(tr("Error: %1, aborting...\n").arg(e.what()), Qt::red);
    }
    endRun();
    ui->button_calibrate->setText(tr("Calibrate Stereo"));
}

void CamProjStereoCalib::on_button_calibrate_projector_clicked()
{
    if (!beginRun(tr("Calibrate Stereo")))
        return;
    ui->button_calibrate_projector->setText(tr("Abort"));
    try {
        calibrateProjector();
    } catch (const std::exception& e) {
        logAppend(tr("Error: %1, aborting...\n").arg(e.what()), Qt::red);
    }
    endRun();
    ui->button_calibrate_projector->setText(tr("Calibrate Projector"));
}

// The new page is laid out after this signal; the view is drawn once it has
// its size, so that the image fits it.
void CamProjStereoCalib::on_tab_img_view_currentChanged(int)
{
    QTimer::singleShot(0, this, [this] {
        const WaitCursor cursor;
        drawCurrentView();
    });
}

void CamProjStereoCalib::on_button_gen_images_clicked()
{
    const QString folder =
        QFileDialog::getExistingDirectory(this, tr("Open Directory to Save Images to"), QString(),
                                          QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (folder.isEmpty())
        return;
    const QFileInfo info(folder);
    if (!info.isDir() || !info.isWritable()) {
        logAppend(tr("Cannot write pattern images to %1: not a writable folder\n").arg(folder), Qt::red);
        logColor(Qt::black);
        return;
    }
    const int width = readInt(ui->edit_proj_width);
    const int height = readInt(ui->edit_proj_height);
    std::string error;
    const int count = writeGrayCodePatterns(folder.toStdString(), width, height, &error);
    if (!error.empty()) {
        logAppend(tr("Error: %1, stopped after %2 images\n").arg(QString::fromStdString(error)).arg(count),
                  Qt::red);
        logColor(Qt::black);
        return;
    }
    logAppend(tr("Saved %1 gray code images to %2\n").arg(count).arg(folder), Qt::black);
}

void CamProjStereoCalib::on_check_fix_intrinsic1_toggled(bool checked)
{
    applyFixIntrinsics(checked, ui->check_use_intrinsic_guess1,
                       {ui->check_fix_focal1, ui->check_fix_pp1, ui->check_fix_aspect_ratio1,
                        ui->check_fix_k1_1, ui->check_fix_k2_1, ui->check_fix_k3_1});
}

void CamProjStereoCalib::on_check_fix_intrinsic2_toggled(bool checked)
{
    applyFixIntrinsics(checked, ui->check_use_intrinsic_guess2,
                       {ui->check_fix_focal2, ui->check_fix_pp2, ui->check_fix_aspect_ratio2,
                        ui->check_fix_k1_2, ui->check_fix_k2_2, ui->check_fix_k3_2});
}

void CamProjStereoCalib::on_group_use_radial_distortion_toggled(bool checked)
{
    if (checked)
        return;
    for (QCheckBox* box : {ui->check_fix_k1, ui->check_fix_k2, ui->check_fix_k3})
        box->setChecked(true);
}

void CamProjStereoCalib::on_group_use_radial_distortion1_toggled(bool checked)
{
    if (checked)
        return;
    for (QCheckBox* box : {ui->check_fix_k1_1, ui->check_fix_k2_1, ui->check_fix_k3_1})
        box->setChecked(true);
}

void CamProjStereoCalib::on_group_use_radial_distortion2_toggled(bool checked)
{
    if (checked)
        return;
    for (QCheckBox* box : {ui->check_fix_k1_2, ui->check_fix_k2_2, ui->check_fix_k3_2})
        box->setChecked(true);
}

void CamProjStereoCalib::on_check_radon_detection_toggled(bool checked)
{
    ui->group_corner_subpix->setEnabled(!checked);
}

void CamProjStereoCalib::on_edit_b_textChanged(const QString&)
{
    clearDecodingStage();
    clearProjectorCornerStage();
}

void CamProjStereoCalib::on_edit_m_textChanged(const QString&)
{
    clearDecodingStage();
    clearProjectorCornerStage();
}

// The decoded coordinates depend on the projector size, so its maps and the
// projector corners go with it.
void CamProjStereoCalib::on_edit_proj_width_textChanged(const QString&)
{
    clearDecodingStage();
    clearProjectorCornerStage();
}

void CamProjStereoCalib::on_edit_proj_height_textChanged(const QString&)
{
    clearDecodingStage();
    clearProjectorCornerStage();
}

void CamProjStereoCalib::on_spin_corner_count_x_valueChanged(int)
{
    clearDetectionStage();
    clearProjectorCornerStage();
}

void CamProjStereoCalib::on_spin_corner_count_y_valueChanged(int)
{
    on_spin_corner_count_x_valueChanged(0);
}
void CamProjStereoCalib::on_edit_corners_width_textChanged(const QString&)
{
    on_spin_corner_count_x_valueChanged(0);
}
void CamProjStereoCalib::on_edit_corners_height_textChanged(const QString&)
{
    on_spin_corner_count_x_valueChanged(0);
}
void CamProjStereoCalib::on_spin_win_size_valueChanged(int)
{
    on_spin_corner_count_x_valueChanged(0);
}
void CamProjStereoCalib::on_edit_zero_zone_x_textChanged(const QString&)
{
    on_spin_corner_count_x_valueChanged(0);
}
void CamProjStereoCalib::on_edit_zero_zone_y_textChanged(const QString&)
{
    on_spin_corner_count_x_valueChanged(0);
}

void CamProjStereoCalib::on_edit_homography_win_textChanged(const QString&)
{
    clearProjectorCornerStage();
}

// The threshold also decides which pixels the decoded views show.
void CamProjStereoCalib::on_edit_threshold_textChanged(const QString&)
{
    clearProjectorCornerStage();
    projViews.clear();
}

void CamProjStereoCalib::on_edit_reproj_err_textChanged(const QString&)
{
    clearProjectorCornerStage();
}

void CamProjStereoCalib::on_radio_outlier_ransac_toggled(bool checked)
{
    clearProjectorCornerStage();
    if (checked) {
        ui->edit_reproj_err->setEnabled(true);
        ui->label_max_reproj_err->setEnabled(true);
    }
}

void CamProjStereoCalib::on_radio_outlier_lmeds_toggled(bool checked)
{
    clearProjectorCornerStage();
    if (checked) {
        ui->edit_reproj_err->setEnabled(false);
        ui->label_max_reproj_err->setEnabled(false);
    }
}

void CamProjStereoCalib::on_group_proj_outliers_toggled(bool checked)
{
    if (checked)
        return;
    clearProjectorCornerStage();
    clearDetectionStage();
}
