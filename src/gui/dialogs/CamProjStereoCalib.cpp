#include "gui/dialogs/CamProjStereoCalib.h"

#include "core/calib/reprojection.h"
#include "core/geometry/error_colors.h"
#include "core/geometry/rotation_checks.h"
#include "core/structured_light/decoded_views.h"
#include "core/structured_light/gray_code_decoder.h"
#include "core/structured_light/gray_code_pattern.h"
#include "core/structured_light/image_sets.h"
#include "gui/dialogs/TreeModel.h"
#include "gui/views/scene_builders.h"
#include "gui/views/settings.h"
#include "ui_CamProjStereoCalib.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QIntValidator>
#include <QItemSelectionModel>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabBar>
#include <QTimer>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <vtkRenderer.h>

#include <algorithm>
#include <cmath>

namespace {

const QColor kWhite(255, 255, 255, 255);

QColor rowColour(const cv::Vec3b& rgb)
{
    return QColor(rgb[0], rgb[1], rgb[2], 255);
}

// A number typed into a field: positive (> 0) or at least 0. False, with a
// message naming the field, when the text is not such a number.
bool readNumber(const QLineEdit* edit, const QString& field, bool positive, double& value, QString& error)
{
    bool ok = false;
    value = edit->text().trimmed().toDouble(&ok);
    if (ok && std::isfinite(value) && (positive ? value > 0 : value >= 0))
        return true;
    error = positive ? QObject::tr("%1 '%2' is not a positive number").arg(field, edit->text())
                     : QObject::tr("%1 '%2' is not a number of 0 or more").arg(field, edit->text());
    return false;
}

bool readWholeNumber(const QLineEdit* edit, const QString& field, bool positive, int& value, QString& error)
{
    bool ok = false;
    value = edit->text().trimmed().toInt(&ok);
    if (ok && (positive ? value > 0 : value >= 0))
        return true;
    error = positive ? QObject::tr("%1 '%2' is not a positive whole number").arg(field, edit->text())
                     : QObject::tr("%1 '%2' is not a whole number of 0 or more").arg(field, edit->text());
    return false;
}

CamProjStatus noImageSets()
{
    CamProjStatus status;
    status.error = CamProjRunError::NoImageSets;
    return status;
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

    hideErrorLabels(false);
    hideErrorLabels(true);
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
    fitPanelsToTheirTexts();
    for (ImageLabel* view : {ui->cam_view, ui->proj_view, ui->decode_x, ui->decode_y})
        showNoImage(view, tr("No image set selected"));

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

// The option pages scroll up and down but never sideways, so each is as wide
// as its widest line; the view tabs are all in sight. The window opens at its
// form's size or, where the texts need more, wider.
void CamProjStereoCalib::fitPanelsToTheirTexts()
{
    for (QScrollArea* area : {ui->scroll_target_detection, ui->scroll_calibration}) {
        // A caption or a check box is never narrower than its text.
        for (QWidget* w : area->widget()->findChildren<QWidget*>()) {
            const auto* label = qobject_cast<QLabel*>(w);
            if ((label && !label->wordWrap()) || qobject_cast<QCheckBox*>(w) ||
                qobject_cast<QRadioButton*>(w))
                w->setSizePolicy(QSizePolicy::Minimum, w->sizePolicy().verticalPolicy());
        }
        area->setMinimumWidth(area->widget()->minimumSizeHint().width() +
                              area->verticalScrollBar()->sizeHint().width());
    }
    ui->tab_img_view->setMinimumWidth(ui->tab_img_view->tabBar()->sizeHint().width());
    // The views take the height; the log keeps a few lines.
    ui->splitter->setStretchFactor(0, 1);
    ui->splitter->setStretchFactor(1, 0);
    const int logHeight = 8 * ui->text_log->fontMetrics().lineSpacing();
    ui->splitter->setSizes({height() - logHeight, logHeight});
    resize(size().expandedTo(minimumSizeHint()));
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
        model->setData(index, colour.isValid() ? QVariant(colour) : QVariant(), Qt::BackgroundRole);
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
    const std::vector<ImageSetFolder> found = listImageSets(folder);
    if (found.empty()) {
        // Refused: the sets already loaded, their results and the folder
        // their results are written to stay as they are.
        logNoImageSets(folder);
        return;
    }
    imageDir = folder;
    model->clearItems();
    for (const ImageSetFolder& set : found) {
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
    clearImageSetResults();
    detectionCache.clear();
    setWindowTitle(QString("%1 - %2").arg(titleText, folder));

    ui->imageTree->selectionModel()->clearSelection();
    currentSet = 0;
    currentImage = 0;
    showEmptyScene();
    for (ImageLabel* view : {ui->cam_view, ui->proj_view, ui->decode_x, ui->decode_y})
        showNoImage(view, tr("No image set selected"));
    hideErrorLabels(false);
    hideErrorLabels(true);
    if (setCount() == 0)
        return;
    const QSignalBlocker blocker(ui->imageTree);
    ui->imageTree->selectionModel()->select(setIndex(0),
                                            QItemSelectionModel::Select | QItemSelectionModel::Current);
    const WaitCursor cursor;
    drawCurrentView();
}

void CamProjStereoCalib::logNoImageSets(const QString& folder)
{
    // Opening the folder of one pose, or a folder without subfolders, is
    // the usual slip: say what the folder should hold.
    const bool looseImages = !QDir(folder).entryList({"*.jpg", "*.bmp", "*.png"}, QDir::Files).isEmpty();
    logAppend(tr("No image sets in %1: expected one subfolder per board pose, each holding that pose's "
                 "captures of the projector patterns as *.png, *.jpg or *.bmp files in name order "
                 "(00 white, 01 black, then every Gray code pattern followed by its inverse).")
                      .arg(folder) +
                  (looseImages ? tr(" This folder holds the images of one pose; open the folder above it.")
                               : QString()),
              Qt::red);
    logColor(Qt::black);
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
    imageSets.assign(static_cast<size_t>(setCount()), CamProjSet());
    projViews.clear();
    projCornerErrors.clear();
}

void CamProjStereoCalib::clearDetectionStage()
{
    for (CamProjSet& set : imageSets)
        set.clearDetection();
    detectionCache.clear();
}

void CamProjStereoCalib::clearDecodingStage()
{
    for (CamProjSet& set : imageSets)
        set.clearDecoding();
    projViews.clear();
}

void CamProjStereoCalib::clearProjectorCornerStage()
{
    for (CamProjSet& set : imageSets)
        set.clearProjectorCorners();
}

// A run starts without the results of the last one: the per-set poses and
// errors, the projector's error cache, the row colours and the 3D scene.
void CamProjStereoCalib::clearCalibrationResults()
{
    for (CamProjSet& set : imageSets) {
        set.cam.reset();
        set.proj.reset();
    }
    projCornerErrors.clear();
    for (int i = 0; i < setCount(); ++i)
        setRowBackground(i, QColor());
    showEmptyScene();
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
// Gathering a run's input

std::vector<CamProjSet> CamProjStereoCalib::gatherSets() const
{
    std::vector<CamProjSet> sets(static_cast<size_t>(setCount()));
    for (int i = 0; i < setCount(); ++i) {
        CamProjSet& set = sets[static_cast<size_t>(i)];
        if (static_cast<size_t>(i) < imageSets.size())
            set = imageSets[static_cast<size_t>(i)];
        set.name = model->data(setIndex(i)).toString().toStdString();
        set.files.clear();
        for (const QString& path : setImagePaths(i))
            set.files.push_back(path.toStdString());
        set.checked = isSetChecked(i);
    }
    return sets;
}

// The options of the three stages; a field that cannot be used is logged.
bool CamProjStereoCalib::readStageOptions(CamProjRunInput& input)
{
    if (!takeChessboardOptions(input.detection))
        return false;
    QString error;
    int width = 0, height = 0, threshold = 0;
    double reprojError = 0;
    const bool lmeds = ui->radio_outlier_lmeds->isChecked();
    const bool ok =
        readWholeNumber(ui->edit_proj_width, tr("Projector width"), true, width, error) &&
        readWholeNumber(ui->edit_proj_height, tr("Projector height"), true, height, error) &&
        readWholeNumber(ui->edit_homography_win, tr("Homography window"), true, input.corners.window,
                        error) &&
        readWholeNumber(ui->edit_threshold, tr("Threshold"), false, threshold, error) &&
        (lmeds || readNumber(ui->edit_reproj_err, tr("Max. reprojection error"), true, reprojError, error));
    if (!ok) {
        logAppend(error + tr(", aborting...\n"), Qt::red);
        logColor(Qt::black);
        return false;
    }
    input.projectorSize = cv::Size(width, height);
    input.corners.threshold = threshold;
    input.corners.reprojThreshold = reprojError;
    input.corners.lmeds = lmeds;
    input.decoding.blackLevel = static_cast<float>(ui->edit_b->text().toDouble() / 100.0);
    input.decoding.minDirectLight = readInt(ui->edit_m);
    return true;
}

IntrinsicFlagOptions CamProjStereoCalib::projectorRunFlags() const
{
    IntrinsicFlagOptions o;
    o.useIntrinsicGuess = ui->check_use_intrinsic_guess->isChecked();
    o.fixFocal = ui->check_fix_focal->isChecked();
    o.fixPrincipalPoint = ui->check_fix_pp->isChecked();
    o.fixAspectRatio = ui->check_fix_aspect_ratio->isChecked();
    const QCheckBox* fixK[6] = {ui->check_fix_k1, ui->check_fix_k2, ui->check_fix_k3,
                                ui->check_fix_k4, ui->check_fix_k5, ui->check_fix_k6};
    for (int k = 0; k < 6; ++k)
        o.fixK[k] = fixK[k]->isChecked();
    o.rationalModel = ui->check_use_rational_model->isChecked();
    o.tangential = ui->check_use_tangential_distortion->isChecked();
    o.radial = ui->group_use_radial_distortion->isChecked();
    return o;
}

IntrinsicFlagOptions CamProjStereoCalib::stereoFlags(bool cam) const
{
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
}

bool CamProjStereoCalib::gatherRunInput(RunKind kind, CamProjRunInput& input)
{
    input.sets = gatherSets();
    if (!readStageOptions(input))
        return false;
    QString error;
    int maxIterations = 0;
    double epsilon = 0, outlierLimit = 0;
    const bool ok =
        readWholeNumber(ui->edit_max_iterations, tr("Max iterations"), true, maxIterations, error) &&
        readNumber(ui->edit_accuracy, tr("Epsilon"), false, epsilon, error) &&
        (kind == RunKind::Stereo || !ui->group_proj_outliers->isChecked() ||
         readNumber(ui->edit_proj_outlier, tr("Outlier limit"), true, outlierLimit, error));
    if (!ok) {
        logAppend(error + tr(", aborting...\n"), Qt::red);
        logColor(Qt::black);
        return false;
    }
    input.criteria =
        cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, maxIterations, epsilon);
    if (kind == RunKind::Projector) {
        input.projector = {projectorRunFlags(), projK, projKc};
    } else {
        input.camera = {stereoFlags(true), camK, camKc};
        input.projector = {stereoFlags(false), projK, projKc};
    }
    return true;
}

bool CamProjStereoCalib::checkSensorsAndGuesses(RunKind kind)
{
    auto fail = [&](const QString& message) {
        logAppend(message, Qt::red);
        logRepaint();
        logColor(Qt::black);
        return false;
    };
    const QString guessMessage =
        tr("Use intrinsic guess for %1 is set, but the %1 does not contain any intrinsics, aborting...\n");
    const int camIdx = ui->combo_cam->currentIndex();
    const int projIdx = ui->combo_projector->currentIndex();
    cv::Size size;
    if (kind == RunKind::Projector) {
        if (projIdx < 0)
            return fail(
                noSensorChosenText(ui->combo_projector, tr("projector"), tr("Select Camera / Projector")));
        if (ui->check_use_intrinsic_guess->isChecked()) {
            emit getSecondaryIntrinsics(projIdx, projK, projKc, size);
            if (projK.empty())
                return fail(guessMessage.arg(ui->combo_projector->currentText()));
        }
        return true;
    }
    if (camIdx < 0)
        return fail(tr("Select a camera in the combo box above the 'Image List', aborting...\n"));
    if (projIdx < 0)
        return fail(tr("Select a projector in the combo box above the 'Image List', aborting...\n"));
    if (camIdx == projIdx)
        return fail(tr("Camera and projector are the same sensor '%1'; select two different sensors, "
                       "aborting...\n")
                        .arg(ui->combo_cam->currentText()));
    if (ui->check_use_intrinsic_guess1->isChecked()) {
        emit getPrimaryIntrinsics(camIdx, camK, camKc, size);
        if (camK.empty())
            return fail(guessMessage.arg(ui->combo_cam->currentText()));
    }
    return true;
}

// The stereo run starting from the projector's intrinsics when the tree has
// none calibrates the projector first, in a full projector run.
bool CamProjStereoCalib::ensureProjectorIntrinsics()
{
    if (!ui->check_use_intrinsic_guess2->isChecked())
        return true;
    cv::Size size;
    emit getSecondaryIntrinsics(ui->combo_projector->currentIndex(), projK, projKc, size);
    if (!projK.empty())
        return true;
    const RunStatus nested = calibrateProjector();
    if (nested == RunStatus::Aborted)
        return false;
    if (nested == RunStatus::Failed || projK.empty()) {
        logAppend(
            tr("The projector calibration failed, so the stereo calibration cannot start, aborting...\n"),
            Qt::red);
        logColor(Qt::black);
        return false;
    }
    clearCalibrationResults();
    ui->progress_bar->setRange(0, 2 * setCount() + 2);
    return true;
}

// ---------------------------------------------------------------------------
// Presenting a run's progress

CamProjProgressFn CamProjStereoCalib::progressLogger(QStringList& decodeFailures, RunKind kind)
{
    return [this, &decodeFailures, kind](const CamProjProgress& step) {
        return logProgress(step, decodeFailures, kind);
    };
}

void CamProjStereoCalib::logDecodeFailures(QStringList& failures)
{
    for (const QString& failure : failures)
        logAppend(failure, Qt::red);
    if (!failures.isEmpty())
        logColor(Qt::black);
    failures.clear();
}

// Logs one step of a run as the dialog always has: a header when a stage
// begins, then each set's number on one line in the colour of its outcome.
// Polls the abort flag; false when the run should stop.
bool CamProjStereoCalib::logProgress(const CamProjProgress& step, QStringList& decodeFailures, RunKind kind)
{
    const int n = setCount();
    const int i = step.set;
    if (i < 0) {
        switch (step.stage) {
        case CamProjStage::Detection:
            logAppend(tr("Detecting chessboards: \n"), Qt::black);
            break;
        case CamProjStage::Decoding:
            logAppend(tr("Decoding image sets: \n"), Qt::black);
            break;
        case CamProjStage::ProjectorCorners:
            logDecodeFailures(decodeFailures);
            logAppend(tr("Extracting projector corners:\n"), Qt::black);
            break;
        case CamProjStage::Gathering:
            ui->progress_bar->setValue(2 * n + 1);
            logColor(Qt::black);
            break;
        case CamProjStage::Calibration:
            if (kind == RunKind::Projector)
                logAppend(tr("Projector [%1x%2] calibration with %3 image sets")
                              .arg(projectorSize().width)
                              .arg(projectorSize().height)
                              .arg(step.setsUsed),
                          Qt::black);
            else
                logAppend(tr("Calibration in progress ..."), Qt::black);
            logRepaint();
            break;
        }
        return !pollAbort();
    }
    const bool notFound = step.detection && step.detection->outcome == BoardDetection::Outcome::NotFound;
    switch (step.stage) {
    case CamProjStage::Detection:
        if (step.outcome == SetOutcome::Unchecked || (step.outcome == SetOutcome::Failed && notFound))
            setRowBackground(i, kWhite);
        if (step.outcome == SetOutcome::Made)
            ui->progress_bar->setValue(i + 1);
        return logDetectionStep(static_cast<size_t>(i), step.detection, step.outcome == SetOutcome::Reused);
    case CamProjStage::Decoding:
        if (step.outcome == SetOutcome::Unchecked)
            setRowBackground(i, kWhite);
        if (step.outcome == SetOutcome::Made)
            ui->progress_bar->setValue(n + 1 + i);
        for (const std::string& message : step.messages)
            decodeFailures << tr("Image set %1 (%2): %3")
                                  .arg(i)
                                  .arg(model->data(setIndex(i)).toString(), QString::fromStdString(message));
        break;
    case CamProjStage::ProjectorCorners:
        for (const std::string& message : step.messages) {
            logAppend(tr("OpenCV exception caught: %1").arg(QString::fromStdString(message).trimmed()),
                      Qt::red);
            logAppend(tr("Skipping...\n"), Qt::red);
        }
        break;
    case CamProjStage::Gathering:
        setRowBackground(i, kWhite);
        return true;
    case CamProjStage::Calibration:
        return true;
    }
    const QColor colours[] = {Qt::gray, Qt::darkGreen, Qt::green, Qt::red}; // by SetOutcome
    logMoveToEnd();
    logInsert(QString::number(i) + " ", colours[static_cast<int>(step.outcome)]);
    logRepaint();
    logColor(Qt::black);
    return !pollAbort();
}

// Takes the sets back from a run: their records and the check states the
// run left them in.
void CamProjStereoCalib::storeSets(const std::vector<CamProjSet>& sets)
{
    if (static_cast<int>(sets.size()) != setCount())
        return;
    imageSets = sets;
    for (int i = 0; i < setCount(); ++i)
        if (isSetChecked(i) != sets[static_cast<size_t>(i)].checked)
            setSetChecked(i, sets[static_cast<size_t>(i)].checked);
}

void CamProjStereoCalib::logAborted()
{
    ui->button_calibrate->setText(tr("Calibrate Stereo"));
    ui->button_calibrate_projector->setText(tr("Calibrate Projector"));
    logAppend(tr("Calibration aborted \n"), Qt::red);
    logColor(Qt::black);
}

// Why a run or a stage stopped, in the log; a run's views then show that
// there is no result.
CamProjStereoCalib::RunStatus CamProjStereoCalib::presentStop(const CamProjStatus& status, RunKind kind)
{
    if (status.aborted) {
        logAborted();
    } else {
        const QString message = QString::fromStdString(status.message).trimmed();
        switch (status.error) {
        case CamProjRunError::None:
            return RunStatus::Done;
        case CamProjRunError::NoImageSets:
            logAppend(tr("Image list is empty, aborting...\n"), Qt::red);
            break;
        case CamProjRunError::BadInput:
            logAppend(message + tr(", aborting...\n"), Qt::red);
            break;
        case CamProjRunError::ImageSizeMismatch:
            logAppend(tr("Error: Image %1 has different size %2x%3 as the previous ones %4x%5, aborting...\n")
                          .arg(status.errorSet)
                          .arg(status.imageSize.width)
                          .arg(status.imageSize.height)
                          .arg(status.referenceSize.width)
                          .arg(status.referenceSize.height),
                      Qt::red);
            break;
        case CamProjRunError::DecodedSizeMismatch:
            logAppend(tr("Error: Image %1 has different size as the previous ones, aborting...\n")
                          .arg(status.errorSet),
                      Qt::red);
            break;
        case CamProjRunError::TooFewSets:
            logAppend(kind == RunKind::Projector ? tr("No image set has projector corners, aborting...\n")
                                                 : tr("Use at least 3 image sets, aborting...\n"),
                      Qt::red);
            break;
        case CamProjRunError::Calibration:
            logAppend(kind == RunKind::Projector ? tr("OpenCV exception caught: %1").arg(message)
                                                 : tr("OpenCV exception caught : ") + message,
                      Qt::red);
            logAppend(tr("Aborting...\n"), Qt::red);
            break;
        }
        logRepaint();
        logColor(Qt::black);
    }
    return status.aborted ? RunStatus::Aborted : RunStatus::Failed;
}

// The 3D view without a result: the world axes alone.
void CamProjStereoCalib::showEmptyScene()
{
    renderer->RemoveAllViewProps();
    drawWorldAxes(renderer, "");
    renderer->ResetCamera();
    renderSceneView(ui->widget_vtk);
}

// ---------------------------------------------------------------------------
// Single stages

CamProjStereoCalib::RunStatus CamProjStereoCalib::detectChessboards()
{
    ChessboardOptions options;
    if (!takeChessboardOptions(options))
        return RunStatus::Failed;
    std::vector<CamProjSet> sets = gatherSets();
    QStringList failures;
    const CamProjStatus status =
        detectSetChessboards(sets, options, detectionCache, progressLogger(failures, RunKind::Projector));
    storeSets(sets);
    logColor(Qt::black);
    return status.ok() ? RunStatus::Done : presentStop(status, RunKind::Projector);
}

CamProjStereoCalib::RunStatus CamProjStereoCalib::decodeImageSets()
{
    DecodingOptions options;
    options.blackLevel = static_cast<float>(ui->edit_b->text().toDouble() / 100.0);
    options.minDirectLight = readInt(ui->edit_m);
    std::vector<CamProjSet> sets = gatherSets();
    QStringList failures;
    const CamProjStatus status =
        decodeSets(sets, options, projectorSize(), progressLogger(failures, RunKind::Projector));
    logDecodeFailures(failures);
    storeSets(sets);
    logColor(Qt::black);
    return status.ok() ? RunStatus::Done : presentStop(status, RunKind::Projector);
}

bool CamProjStereoCalib::decodeImageSet(int set, cv::Mat& decoded, cv::Mat& minMax, QString* error)
{
    decoded.release();
    minMax.release();
    if (set < 0 || set >= setCount()) {
        if (error)
            *error = tr("no image set %1").arg(set);
        return false;
    }
    const QStringList paths = setImagePaths(set);
    const DecodeResult result = decodeImageSetImages(
        paths.size(), [&](int i) { return loadGrayscaleImage(paths[i].toStdString()); }, decoded, minMax,
        projectorSize(), static_cast<float>(ui->edit_b->text().toDouble() / 100.0), readInt(ui->edit_m));
    if (!result.ok && error)
        *error = QString::fromStdString(result.error);
    return result.ok;
}

// ---------------------------------------------------------------------------
// Projector run

CamProjStereoCalib::RunStatus CamProjStereoCalib::calibrateProjector()
{
    const WaitCursor cursor;
    logColor(Qt::black);
    clearCalibrationResults();
    logMoveToEnd();
    const int n = setCount();
    ui->progress_bar->setRange(0, 2 * n + 2);
    if (n == 0)
        return presentStop(noImageSets(), RunKind::Projector);

    CamProjRunInput input;
    if (!checkSensorsAndGuesses(RunKind::Projector) || !gatherRunInput(RunKind::Projector, input))
        return RunStatus::Failed;
    QStringList failures;
    const ProjectorRunResult run =
        calibrateProjectorIntrinsics(input, detectionCache, progressLogger(failures, RunKind::Projector));
    logDecodeFailures(failures);
    storeSets(run.sets);
    if (!run.ok())
        return presentStop(run, RunKind::Projector);
    presentProjectorResult(run);
    ui->progress_bar->setValue(2 * n + 2);
    return RunStatus::Done;
}

void CamProjStereoCalib::presentProjectorResult(const ProjectorRunResult& run)
{
    projK = run.calibration.K;
    projKc = run.calibration.kc;
    drawProjectorScene(run);
    logProjectorIntrinsics(run.calibration);

    const int projIdx = ui->combo_projector->currentIndex();
    cv::Size size = run.projectorSize;
    emit updateSecondaryIntrinsics(projIdx, projK, projKc, size);
    const QString path = imageDir + "/Proj-Intr.yml";
    std::string writeError;
    if (writeProjectorIntrinsicsFile(path.toStdString(), run.projectorSize, projK, projKc,
                                     run.calibration.rms, &writeError)) {
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
}

void CamProjStereoCalib::drawProjectorScene(const ProjectorRunResult& run)
{
    renderer->RemoveAllViewProps();
    const std::optional<std::pair<double, double>> range = deviceErrorRange(true);
    std::vector<cv::Mat> tvecs;
    for (const int s : run.used) {
        const SetPose& pose = *imageSets[static_cast<size_t>(s)].proj;
        const cv::Point3d c = errorColor(pose.error, range->first, range->second);
        setRowBackground(s, rowColour(toRgb255(c)));
        drawTarget(renderer, pose.rvec, pose.tvec, patternSize, cv::Size2d(squareWidth, squareHeight), c,
                   false);
        tvecs.push_back(pose.tvec);
    }
    drawFrustum(renderer, projK, run.projectorSize, maxTranslationNorm(tvecs),
                ui->combo_projector->currentText().toStdString());
    drawWorldAxes(renderer, "");
    renderer->ResetCamera();
    renderSceneView(ui->widget_vtk);
}

void CamProjStereoCalib::logProjectorIntrinsics(const ProjectorCalibResult& result)
{
    logAppend(tr("Calibration completed with rms reprojection error: ") + QString::number(result.rms, 'g', 6),
              Qt::black);
    logAppend(tr("Intrinsics:"));
    const cv::Mat& sd = result.stdIntrinsics;
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
        if ((c.rational && !ui->check_use_rational_model->isChecked()) ||
            c.index >= static_cast<int>(projKc.total()))
            continue;
        const double v = projKc.at<double>(c.index);
        if (v != 0.0)
            line(c.name, v, sdv(c.sd));
    }
}

bool CamProjStereoCalib::projComputeReprojErrors(bool removeOultiers)
{
    const double threshold = removeOultiers ? ui->edit_proj_outlier->text().toDouble() : -1.0;
    projCornerErrors.assign(imageSets.size(), std::nullopt);
    bool removed = false;
    for (size_t s = 0; s < imageSets.size(); ++s) {
        CamProjSet& set = imageSets[s];
        if (!set.proj || set.objectPoints.empty() || set.objectPoints.size() != set.projCorners.size() ||
            set.objectPoints.size() != set.camCorners.size())
            continue;
        const ViewReprojection view = reprojectView(set.objectPoints, set.projCorners, set.proj->rvec,
                                                    set.proj->tvec, projK, projKc, threshold);
        ProjectorCornerErrors errors;
        errors.projReprojPoints = view.projected;
        errors.smallest = view.smallest;
        errors.largest = view.largest;
        for (size_t k = 0, o = 0; k < view.errors.size(); ++k) {
            if (o < view.outliers.size() && view.outliers[o] == k) {
                ++o;
                continue;
            }
            errors.projCornerColours.push_back(
                toRgb255(errorColor(view.errors[k], view.smallest, view.largest)));
        }
        if (!view.outliers.empty()) {
            removed = true;
            logInsert(QString("%1: %2  ").arg(s).arg(view.outliers.size()), Qt::black);
            for (auto it = view.outliers.rbegin(); it != view.outliers.rend(); ++it) {
                const auto k = static_cast<std::ptrdiff_t>(*it);
                set.projCorners.erase(set.projCorners.begin() + k);
                set.objectPoints.erase(set.objectPoints.begin() + k);
                set.camCorners.erase(set.camCorners.begin() + k);
                errors.projReprojPoints.erase(errors.projReprojPoints.begin() + k);
            }
        }
        projCornerErrors[s] = std::move(errors);
    }
    if (removeOultiers && !removed)
        logInsert(tr("none"), Qt::black);
    return removed;
}

// ---------------------------------------------------------------------------
// Stereo run

CamProjStereoCalib::RunStatus CamProjStereoCalib::calibrateStereo()
{
    const WaitCursor cursor;
    logColor(Qt::black);
    clearCalibrationResults();
    logMoveToEnd();
    const int n = setCount();
    ui->progress_bar->setRange(0, 2 * n + 2);
    if (n == 0)
        return presentStop(noImageSets(), RunKind::Stereo);
    if (!checkSensorsAndGuesses(RunKind::Stereo))
        return RunStatus::Failed;
    if (!ensureProjectorIntrinsics())
        return abortRequested ? RunStatus::Aborted : RunStatus::Failed;

    CamProjRunInput input;
    if (!gatherRunInput(RunKind::Stereo, input))
        return RunStatus::Failed;
    QStringList failures;
    const CamProjStereoRunResult run =
        calibrateCamProjStereo(input, detectionCache, progressLogger(failures, RunKind::Stereo));
    logDecodeFailures(failures);
    storeSets(run.sets);
    if (!run.ok())
        return presentStop(run, RunKind::Stereo);
    presentStereoResult(run);
    ui->progress_bar->setValue(2 * n + 2);
    return RunStatus::Done;
}

void CamProjStereoCalib::presentStereoResult(const CamProjStereoRunResult& run)
{
    const CamProjStereoResult& c = run.calibration;
    camK = c.camK;
    camKc = c.camKc;
    projK = c.projK;
    projKc = c.projKc;
    R = c.R;
    T = c.T;
    E = c.E;
    F = c.F;
    logStereoResult(c);
    logCoefficientCut(ui->combo_cam->currentText(), c.camStartCut);
    logCoefficientCut(ui->combo_projector->currentText(), c.projStartCut);

    const QString path = imageDir + "/Stereo.yml";
    std::string writeError;
    if (writeCamProjStereoFile(path.toStdString(), c, run.cameraSize, run.projectorSize, &writeError)) {
        logAppend(tr("Stereo parameters saved to ") + path, Qt::black);
    } else {
        logAppend(tr("Could not save the stereo parameters to %1: %2")
                      .arg(path, QString::fromStdString(writeError)),
                  Qt::red);
        logColor(Qt::black);
    }

    const int camIdx = ui->combo_cam->currentIndex();
    const int projIdx = ui->combo_projector->currentIndex();
    cv::Size camSize = run.cameraSize, projSize = run.projectorSize;
    emit updatePrimaryIntrinsics(camIdx, camK, camKc, camSize);
    emit updateSecondaryIntrinsics(projIdx, projK, projKc, projSize);
    cv::Mat Rcopy = R.clone(), Tcopy = T.clone();
    emit updateSecondaryExtrinsics(camIdx, projIdx, Rcopy, Tcopy);

    colourStereoRows(run);
    drawStereoScene(run);
    drawCurrentView();
}

void CamProjStereoCalib::logStereoResult(const CamProjStereoResult& c)
{
    const QString camName = ui->combo_cam->currentText();
    const QString projName = ui->combo_projector->currentText();
    auto num = [](double v) { return QString::number(v, 'f', 4); };
    logAppend(tr("Calibration completed with rms reprojection error: ") + QString::number(c.rms, 'g', 6),
              Qt::black);
    logUnconvergedRefinement(c.refinement);
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
}

// Rows take the colour of the projector's error of their set, as the boards
// in the 3D view do.
void CamProjStereoCalib::colourStereoRows(const CamProjStereoRunResult& run)
{
    const std::optional<std::pair<double, double>> range = deviceErrorRange(true);
    for (const int s : run.used) {
        const SetPose& pose = *imageSets[static_cast<size_t>(s)].proj;
        setRowBackground(s, rowColour(toRgb255(errorColor(pose.error, range->first, range->second))));
    }
}

// The scene in the camera's frame: the boards at their camera poses in the
// projector's error colours, the camera at the origin and the projector at
// its pose relative to the camera.
void CamProjStereoCalib::drawStereoScene(const CamProjStereoRunResult& run)
{
    renderer->RemoveAllViewProps();
    const std::optional<std::pair<double, double>> range = deviceErrorRange(true);
    std::vector<cv::Mat> tvecs;
    for (const int s : run.used) {
        const CamProjSet& set = imageSets[static_cast<size_t>(s)];
        const cv::Point3d c = errorColor(set.proj->error, range->first, range->second);
        drawTarget(renderer, set.cam->rvec, set.cam->tvec, patternSize, cv::Size2d(squareWidth, squareHeight),
                   c, false);
        tvecs.push_back(set.cam->tvec);
    }
    const double depth = maxTranslationNorm(tvecs);
    drawFrustum(renderer, camK, run.cameraSize, depth, "");
    drawWorldAxes(renderer, ui->combo_cam->currentText().toStdString());
    const cv::Mat R_cam_proj = R.t();
    const cv::Mat t_cam_proj = -R.t() * T;
    vtkSmartPointer<vtkActor> projFrustum = drawFrustum(renderer, projK, run.projectorSize, depth, "");
    if (projFrustum)
        setActorPose(projFrustum, R_cam_proj, t_cam_proj);
    drawFrame(renderer, R_cam_proj, t_cam_proj, ui->combo_projector->currentText().toStdString());
    renderer->ResetCamera();
    renderSceneView(ui->widget_vtk);
}

// ---------------------------------------------------------------------------
// Views

void CamProjStereoCalib::renderDecodedMaps(int set, cv::Mat& xImage, cv::Mat& yImage) const
{
    xImage.release();
    yImage.release();
    const size_t s = static_cast<size_t>(set);
    if (set < 0 || set >= setCount() || s >= imageSets.size())
        return;
    ::renderDecodedMaps(imageSets[s].decodedMap, imageSets[s].minMaxMap, projectorSize(),
                        readInt(ui->edit_threshold), xImage, yImage);
}

cv::Mat CamProjStereoCalib::projectorView(int set, bool force)
{
    if (set < 0 || set >= setCount() || static_cast<size_t>(set) >= imageSets.size())
        return cv::Mat();
    const size_t s = static_cast<size_t>(set);
    CamProjSet& record = imageSets[s];
    if (!record.decoded()) {
        // A run owns the maps while it goes on; the view only decodes on its
        // own when the dialog is idle.
        if (running || !decodeImageSet(set, record.decodedMap, record.minMaxMap))
            return cv::Mat();
    }
    if (projViews.size() < imageSets.size())
        projViews.resize(imageSets.size());
    ProjectorViewCache& cache = projViews[s];
    const int threshold = readInt(ui->edit_threshold);
    const cv::Size size = projectorSize();
    if (force || cache.image.empty() || cache.decodedMap.data != record.decodedMap.data ||
        cache.threshold != threshold || cache.projectorSize != size) {
        const cv::Mat camera = loadSetImage(set, 0, SetImageMode::Colour);
        cache.image = remapToProjector(record.decodedMap, record.minMaxMap, camera, size, threshold,
                                       cv::Scalar(invalidColour));
        cache.decodedMap = record.decodedMap;
        cache.threshold = threshold;
        cache.projectorSize = size;
    }
    return cache.image;
}

void CamProjStereoCalib::hideErrorLabels(bool projector)
{
    QWidget* const camera[] = {ui->group_reproj_err_cam, ui->label_rms_err_cam, ui->label_min_err_cam,
                               ui->label_max_err_cam};
    QWidget* const proj[] = {ui->group_reproj_err_proj, ui->label_rms_err_proj, ui->label_min_err_proj,
                             ui->label_max_err_proj};
    for (QWidget* w : projector ? proj : camera)
        w->hide();
}

// The smallest and largest per-set error of a device in the last
// calibration, or nothing when no set has one.
std::optional<std::pair<double, double>> CamProjStereoCalib::deviceErrorRange(bool projector) const
{
    std::optional<std::pair<double, double>> range;
    for (const CamProjSet& set : imageSets) {
        const std::optional<SetPose>& pose = projector ? set.proj : set.cam;
        if (!pose)
            continue;
        if (!range)
            range = std::make_pair(pose->error, pose->error);
        range->first = std::min(range->first, pose->error);
        range->second = std::max(range->second, pose->error);
    }
    return range;
}

// A neutral picture with a line of text, for a view that has nothing to show.
void CamProjStereoCalib::showNoImage(ImageLabel* view, const QString& text)
{
    cv::Mat image(360, 640, CV_8UC3, cv::Scalar(96, 96, 96));
    const std::string line = text.toStdString();
    int baseline = 0;
    const cv::Size size = cv::getTextSize(line, cv::FONT_HERSHEY_SIMPLEX, 0.8, 2, &baseline);
    cv::putText(image, line, cv::Point((image.cols - size.width) / 2, (image.rows + size.height) / 2),
                cv::FONT_HERSHEY_SIMPLEX, 0.8, cv::Scalar(235, 235, 235), 2, cv::LINE_AA);
    view->setImage(image);
}

// The camera image or the projector view of the current set, with the
// errors of the last calibration when it gave the device a pose for the set.
void CamProjStereoCalib::drawDeviceView(bool projector)
{
    ImageLabel* view = projector ? ui->proj_view : ui->cam_view;
    const cv::Mat image = projector ? projectorView(currentSet, false)
                                    : loadSetImage(currentSet, currentImage, SetImageMode::Colour);
    if (image.empty()) {
        showNoImage(view, projector
                              ? tr("Set %1 is not decoded").arg(currentSet)
                              : tr("Image %1 of set %2 cannot be read").arg(currentImage).arg(currentSet));
        hideErrorLabels(projector);
        return;
    }
    if (!drawDeviceErrors(projector, image)) {
        view->setImage(image);
        hideErrorLabels(projector);
    }
}

// The image with the set's corners coloured by their reprojection error, the
// reprojected points and the board axes, and the error labels. False when
// the last calibration gave the device no pose for the set.
bool CamProjStereoCalib::drawDeviceErrors(bool projector, const cv::Mat& image)
{
    const size_t s = static_cast<size_t>(currentSet);
    if (s >= imageSets.size())
        return false;
    const CamProjSet& set = imageSets[s];
    const std::optional<SetPose>& pose = projector ? set.proj : set.cam;
    const std::vector<cv::Point2f>& corners = projector ? set.projCorners : set.camCorners;
    const cv::Mat& K = projector ? projK : camK;
    const cv::Mat& kc = projector ? projKc : camKc;
    const std::optional<std::pair<double, double>> setRange = deviceErrorRange(projector);
    if (!pose || K.empty() || corners.empty() || corners.size() != set.objectPoints.size())
        return false;

    std::vector<cv::Point2f> reprojected;
    std::vector<cv::Vec3b> cornerColours;
    double lo = 0, hi = 0;
    if (projector) {
        if (projCornerErrors.size() != imageSets.size())
            projComputeReprojErrors(false);
        const std::optional<ProjectorCornerErrors>& errors = projCornerErrors[s];
        if (!errors || errors->projReprojPoints.size() != corners.size())
            return false;
        reprojected = errors->projReprojPoints;
        cornerColours = errors->projCornerColours;
        lo = errors->smallest;
        hi = errors->largest;
    } else {
        const ViewReprojection reprojection =
            reprojectView(set.objectPoints, corners, pose->rvec, pose->tvec, K, kc);
        reprojected = reprojection.projected;
        lo = reprojection.smallest;
        hi = reprojection.largest;
        for (const double e : reprojection.errors)
            cornerColours.push_back(toRgb255(errorColor(e, lo, hi)));
    }
    QLabel* rms = projector ? ui->label_rms_err_proj : ui->label_rms_err_cam;
    QLabel* minLabel = projector ? ui->label_min_err_proj : ui->label_min_err_cam;
    QLabel* maxLabel = projector ? ui->label_max_err_proj : ui->label_max_err_cam;
    const cv::Vec3b colour = toRgb255(errorColor(pose->error, setRange->first, setRange->second));
    rms->setText(tr("RMS Err: ") + QString::number(pose->error, 'f', 4) + " px");
    rms->setStyleSheet(QString("color:rgb(%1,%2,%3);").arg(colour[0]).arg(colour[1]).arg(colour[2]));
    minLabel->setText(tr("Min Err: ") + QString::number(lo, 'f', 4) + " px");
    minLabel->setStyleSheet("color:#00ff00");
    maxLabel->setText(tr("Max Err: ") + QString::number(hi, 'f', 4) + " px");
    maxLabel->setStyleSheet("color:#ff0000");
    QGroupBox* group = projector ? ui->group_reproj_err_proj : ui->group_reproj_err_cam;
    for (QWidget* w : std::initializer_list<QWidget*>{group, rms, minLabel, maxLabel})
        w->show();

    ImageLabel* view = projector ? ui->proj_view : ui->cam_view;
    view->setImageAndPoints(image, corners, cornerColours, reprojected);
    const BoardAxes axes = projectBoardAxes(pose->rvec, pose->tvec, K, kc, squareWidth, squareHeight);
    view->setAxes(axes.origin, axes.xEnd, axes.yEnd, axes.size);
    return true;
}

void CamProjStereoCalib::drawCurrentView()
{
    const int tab = ui->tab_img_view->currentIndex();
    ImageLabel* views[] = {ui->cam_view, ui->proj_view, ui->decode_x, ui->decode_y};
    if (setCount() == 0 || currentSet < 0 || currentSet >= setCount()) {
        if (tab >= 0 && tab < 4)
            showNoImage(views[tab], tr("No image sets"));
        return;
    }
    try {
        switch (tab) {
        case 0:
        case 1:
            drawDeviceView(tab == 1);
            break;
        case 2:
        case 3: {
            cv::Mat x, y;
            renderDecodedMaps(currentSet, x, y);
            const cv::Mat& shown = tab == 2 ? x : y;
            if (shown.empty())
                showNoImage(views[tab], tr("Set %1 is not decoded yet").arg(currentSet));
            else
                views[tab]->setImage(shown);
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

void CamProjStereoCalib::refreshSensors(const SceneChange& change)
{
    emit getSensorNames(sensorNames);
    refillSensorCombo(ui->combo_cam, sensorNames, change);
    refillSensorCombo(ui->combo_projector, sensorNames, change);
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
    RunStatus status = RunStatus::Failed;
    try {
        status = calibrateStereo();
    } catch (const std::exception& e) {
        logAppend(tr("Error: %1, aborting...\n").arg(e.what()), Qt::red);
    }
    if (status != RunStatus::Done)
        drawCurrentView(); // without the results the run started by emptying
    endRun();
    ui->button_calibrate->setText(tr("Calibrate Stereo"));
}

void CamProjStereoCalib::on_button_calibrate_projector_clicked()
{
    if (!beginRun(tr("Calibrate Stereo")))
        return;
    ui->button_calibrate_projector->setText(tr("Abort"));
    RunStatus status = RunStatus::Failed;
    try {
        status = calibrateProjector();
    } catch (const std::exception& e) {
        logAppend(tr("Error: %1, aborting...\n").arg(e.what()), Qt::red);
    }
    if (status != RunStatus::Done)
        drawCurrentView(); // without the results the run started by emptying
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
}

void CamProjStereoCalib::on_edit_m_textChanged(const QString&)
{
    clearDecodingStage();
}

// The decoded coordinates depend on the projector size, so its maps and the
// projector corners go with it.
void CamProjStereoCalib::on_edit_proj_width_textChanged(const QString&)
{
    clearDecodingStage();
}

void CamProjStereoCalib::on_edit_proj_height_textChanged(const QString&)
{
    clearDecodingStage();
}

void CamProjStereoCalib::on_spin_corner_count_x_valueChanged(int)
{
    clearDetectionStage();
}

void CamProjStereoCalib::on_spin_corner_count_y_valueChanged(int)
{
    clearDetectionStage();
}

void CamProjStereoCalib::on_edit_corners_width_textChanged(const QString&)
{
    clearDetectionStage();
}

void CamProjStereoCalib::on_edit_corners_height_textChanged(const QString&)
{
    clearDetectionStage();
}

void CamProjStereoCalib::on_spin_win_size_valueChanged(int)
{
    clearDetectionStage();
}

void CamProjStereoCalib::on_edit_zero_zone_x_textChanged(const QString&)
{
    clearDetectionStage();
}

void CamProjStereoCalib::on_edit_zero_zone_y_textChanged(const QString&)
{
    clearDetectionStage();
}

void CamProjStereoCalib::on_edit_homography_win_textChanged(const QString&)
{
    clearProjectorCornerStage();
}

void CamProjStereoCalib::on_edit_threshold_textChanged(const QString&)
{
    clearProjectorCornerStage();
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

// The outlier pass removes corners from all of a set's lists; without it the
// corners are found again.
void CamProjStereoCalib::on_group_proj_outliers_toggled(bool checked)
{
    if (!checked)
        clearDetectionStage();
}
