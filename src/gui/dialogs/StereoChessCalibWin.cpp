#include "gui/dialogs/StereoChessCalibWin.h"
#include "ui_StereoChessCalibWin.h"

#include "core/calib/reprojection.h"
#include "core/geometry/error_colors.h"
#include "core/geometry/rotation_checks.h"
#include "gui/dialogs/ReprojectionErrorPanel.h"
#include "gui/views/scene_builders.h"
#include "gui/views/settings.h"

#include <QDateTime>
#include <QDir>
#include <QDoubleValidator>
#include <QFileDialog>
#include <QFileInfo>
#include <QImageReader>
#include <QIntValidator>
#include <QListWidgetItem>
#include <QScrollArea>
#include <QScrollBar>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <vtkActor.h>
#include <vtkRenderer.h>

#include <algorithm>
#include <cmath>

namespace {

QString f4(double v)
{
    return QString::number(v, 'f', 4);
}

QDoubleValidator* realValidator(double low, double high, int decimals, QObject* parent)
{
    auto* v = new QDoubleValidator(low, high, decimals, parent);
    v->setNotation(QDoubleValidator::StandardNotation);
    v->setLocale(QLocale::c());
    return v;
}

// The log line of a failed core step: OpenCV's errors in the form of the
// other OpenCV exceptions, the core's own reasons after `prefix`.
QString failureText(const QString& prefix, const std::string& error)
{
    const QString text = QString::fromStdString(error);
    if (text.startsWith("OpenCV("))
        return QObject::tr("OpenCV exception caught : ") + text;
    return prefix + text;
}

// Image size from the file's header, without decoding the image.
cv::Size imageFileSize(const std::string& path)
{
    QImageReader reader(QString::fromStdString(path));
    const QSize size = reader.size();
    if (size.isValid())
        return cv::Size(size.width(), size.height());
    const cv::Mat image = cv::imread(path, cv::IMREAD_UNCHANGED);
    return image.empty() ? cv::Size() : image.size();
}

// A scroll area that scrolls only up and down is as wide as what it holds
// needs, so that no text in it is cut off at the side.
void fitWidthToContents(QScrollArea* area)
{
    area->setMinimumWidth(area->widget()->minimumSizeHint().width() +
                          area->verticalScrollBar()->sizeHint().width() + 2 * area->frameWidth());
}

} // namespace

StereoChessCalibWin::StereoChessCalibWin(QWidget* parent, std::vector<QString> names)
    : ChessboardDialog(parent), ui(new Ui::StereoChessCalibWin), sensorNames(std::move(names))
{
    ui->setupUi(this);
    ui->check_use_rational_model_1->setChecked(false);
    ui->check_use_rational_model_2->setChecked(false);
    for (QCheckBox* box : {ui->check_fix_k4_1, ui->check_fix_k5_1, ui->check_fix_k6_1, ui->check_fix_k4_2,
                           ui->check_fix_k5_2, ui->check_fix_k6_2})
        box->hide();
    ui->tabWidget->setCurrentIndex(0);
    ui->tabCalibRect->setCurrentIndex(0);
    ui->tab_calib_options->setCurrentIndex(0);
    fitWidthToContents(ui->scroll_calibration);
    // The error figures, hidden until a run, fit beside each other without
    // growing the window when they appear.
    ui->tab_2D_targets->setMinimumWidth(ui->tab_2D_targets->layout()->minimumSize().width());
    ui->tabWidget->setMinimumWidth(
        std::max(ui->tabWidget->minimumWidth(), ui->tabWidget->minimumSizeHint().width()));
    initChessboardFrame(chessboardFormOf(ui));
    loadSettings(this, dir1, dir2);

    ui->list_images_primary->setSelectionMode(QAbstractItemView::SingleSelection);
    ui->list_images_secondary->setSelectionMode(QAbstractItemView::SingleSelection);
    {
        const QSignalBlocker b1(ui->combo_sensor_primary), b2(ui->combo_sensor_secondary);
        for (const QString& name : sensorNames) {
            ui->combo_sensor_primary->addItem(name);
            ui->combo_sensor_secondary->addItem(name);
        }
        ui->combo_sensor_primary->setCurrentIndex(sensorNames.empty() ? -1 : 0);
        ui->combo_sensor_secondary->setCurrentIndex(sensorNames.size() >= 2 ? 1
                                                                            : (sensorNames.empty() ? -1 : 0));
    }
    ui->group_reproj_err_primary->hide();
    ui->group_reproj_err_secondary->hide();
    ui->group_epi_err->hide();

    for (QLineEdit* edit : {ui->edit_outlier_primary, ui->edit_outlier_secondary, ui->edit_outlier_epipolar})
        edit->setValidator(realValidator(0, 999, 2, edit));
    ui->edit_max_iterations->setValidator(new QIntValidator(1, 1000000, ui->edit_max_iterations));
    ui->edit_accuracy->setValidator(realValidator(0, 1000, 12, ui->edit_accuracy));
    ui->line_new_width->setValidator(new QIntValidator(0, 100000, ui->line_new_width));
    ui->line_new_height->setValidator(new QIntValidator(0, 100000, ui->line_new_height));

    // A restored "Fix intrinsics" keeps its guess box checked and locked.
    ui->check_use_intrinsic_guess1->setEnabled(!ui->check_fix_intrinsic1->isChecked());
    ui->check_use_intrinsic_guess2->setEnabled(!ui->check_fix_intrinsic2->isChecked());
    ui->double_spin_alpha->setEnabled(ui->radio_alpha_custom->isChecked());
    ui->spin_epi_lines->setEnabled(ui->check_show_epi_lines->isChecked());
    ui->group_corner_subpix->setEnabled(!ui->check_radon_detection->isChecked());

    renderer = setupChessboardSceneView(ui->widget_vtk);
    showRectificationState();

    QScrollBar* primaryBar = ui->list_images_primary->verticalScrollBar();
    QScrollBar* secondaryBar = ui->list_images_secondary->verticalScrollBar();
    connect(primaryBar, &QScrollBar::valueChanged, this,
            [this, secondaryBar](int value) { syncScrollBars(secondaryBar, value); });
    connect(secondaryBar, &QScrollBar::valueChanged, this,
            [this, primaryBar](int value) { syncScrollBars(primaryBar, value); });

    // While a run walks the lists, nothing may change the lists, the options
    // or the chosen sensors; "Abort" stays live.
    setRunLockedWidgets({ui->combo_sensor_primary, ui->combo_sensor_secondary, ui->list_images_primary,
                         ui->list_images_secondary, ui->check_mirror_primary, ui->check_mirror_secondary,
                         ui->button_change_dir_primary, ui->button_change_dir_secondary, ui->group_chessboard,
                         ui->check_radon_detection, ui->group_corner_subpix, ui->group_calibration_options,
                         ui->group_term_criteria, ui->group_outliers, ui->tab_5});
    ui->button_calibrate->setEnabled(!primaryPaths.empty() && !secondaryPaths.empty());
}

StereoChessCalibWin::~StereoChessCalibWin()
{
    saveSettings(this, dir1, dir2);
    delete ui;
}

QListWidget* StereoChessCalibWin::list(Side side) const
{
    return side == Primary ? ui->list_images_primary : ui->list_images_secondary;
}

QString StereoChessCalibWin::stereoFilePath() const
{
    return dir1 + "/" + safeFileNamePart(ui->combo_sensor_primary->currentText()) + "_" +
           safeFileNamePart(ui->combo_sensor_secondary->currentText()) + "_stereo.yml";
}

QString StereoChessCalibWin::rectifiedProjectBasePath() const
{
    return dir1 + "/" + safeFileNamePart(ui->combo_sensor_primary->currentText()) + "_" +
           safeFileNamePart(ui->combo_sensor_secondary->currentText()) + "_rect";
}

std::array<int, 2> StereoChessCalibWin::chosenSensors() const
{
    return {ui->combo_sensor_primary->currentIndex(), ui->combo_sensor_secondary->currentIndex()};
}

void StereoChessCalibWin::refreshSensors(const SceneChange& change)
{
    emit getSensorNames(sensorNames);
    refillSensorCombo(ui->combo_sensor_primary, sensorNames, change);
    refillSensorCombo(ui->combo_sensor_secondary, sensorNames, change);
    // The last result stays while both boxes still show the sensors it
    // belongs to, whatever their names are now; a sensor that went takes the
    // result with it.
    std::array<int, 2> rows = lastResult.sensors;
    for (int& row : rows)
        row = change.rowAfter(row);
    if (rows[Primary] >= 0 && rows[Secondary] >= 0 && rows == chosenSensors())
        lastResult.sensors = rows;
    else if (running)
        lastResult = LastResult(); // the run's own views and result come after
    else if (lastResult.holdsPose())
        clearResult();
}

void StereoChessCalibWin::clearResult()
{
    lastResult = LastResult();
    rect = StereoRectification();
    calibrated = false;
    for (StereoPair& pair : pairs)
        pair.fit.reset();
    showNoResult();
}

// The views once the last result is void: plain images without error
// panels, uncoloured lists, the world axes alone in 3D, and no rectified
// pair unless the rectification still holds.
void StereoChessCalibWin::showNoResult()
{
    for (QListWidget* widget : {ui->list_images_primary, ui->list_images_secondary})
        for (int i = 0; i < widget->count(); ++i)
            widget->item(i)->setBackground(QBrush());
    ui->group_reproj_err_primary->hide();
    ui->group_reproj_err_secondary->hide();
    ui->group_epi_err->hide();
    renderer->RemoveAllViewProps();
    drawWorldAxes(renderer, "");
    renderSceneView(ui->widget_vtk);
    showRectificationState();
    redisplay();
}

// The rectified pair is shown only while a rectification of the last
// calibration holds; else the tab says there is none.
void StereoChessCalibWin::showRectificationState()
{
    const bool shown = rect.hasMaps();
    ui->rectification_primary->setVisible(shown);
    ui->rectification_secondary->setVisible(shown);
    ui->label_no_rectification->setVisible(!shown);
}

// ------------------------------------------------------------------ records

std::vector<std::vector<cv::Point2f>> StereoChessCalibWin::primaryCornerCache() const
{
    std::vector<std::vector<cv::Point2f>> out;
    for (const StereoPair& pair : pairs)
        out.push_back(pair.imagePoints[0]);
    return out;
}

std::vector<std::vector<cv::Point2f>> StereoChessCalibWin::secondaryCornerCache() const
{
    std::vector<std::vector<cv::Point2f>> out;
    for (const StereoPair& pair : pairs)
        out.push_back(pair.imagePoints[1]);
    return out;
}

std::vector<std::vector<cv::Point3f>> StereoChessCalibWin::objectPointCache() const
{
    std::vector<std::vector<cv::Point3f>> out;
    for (const StereoPair& pair : pairs)
        out.push_back(pair.objectPoints);
    return out;
}

namespace {

template <class F> std::vector<double> perPair(const std::vector<StereoPair>& pairs, F value)
{
    std::vector<double> out;
    for (const StereoPair& pair : pairs)
        out.push_back(pair.fit ? value(*pair.fit) : 0.0);
    return out;
}

} // namespace

std::vector<double> StereoChessCalibWin::pairErrors() const
{
    return perPair(pairs, [](const StereoPairFit& f) { return f.reprojError(); });
}

std::vector<double> StereoChessCalibWin::primaryPairErrors() const
{
    return perPair(pairs, [](const StereoPairFit& f) { return f.reprojErrors[0]; });
}

std::vector<double> StereoChessCalibWin::secondaryPairErrors() const
{
    return perPair(pairs, [](const StereoPairFit& f) { return f.reprojErrors[1]; });
}

std::vector<double> StereoChessCalibWin::epipolarPairErrors() const
{
    return perPair(pairs, [](const StereoPairFit& f) { return f.errors.epipolarRms; });
}

std::vector<cv::Vec3b> StereoChessCalibWin::primaryColours() const
{
    const cv::Vec2d range = errorRanges().camera[0];
    std::vector<cv::Vec3b> out;
    for (double e : primaryPairErrors())
        out.push_back(toRgb255(errorColor(e, range[0], range[1])));
    return out;
}

std::vector<cv::Vec3b> StereoChessCalibWin::secondaryColours() const
{
    const cv::Vec2d range = errorRanges().camera[1];
    std::vector<cv::Vec3b> out;
    for (double e : secondaryPairErrors())
        out.push_back(toRgb255(errorColor(e, range[0], range[1])));
    return out;
}

std::vector<cv::Mat> StereoChessCalibWin::primaryPoseRotations() const
{
    std::vector<cv::Mat> out;
    for (const StereoPair& pair : pairs)
        out.push_back(pair.fit ? pair.fit->rvecs[0] : cv::Mat());
    return out;
}

std::vector<cv::Mat> StereoChessCalibWin::primaryPoseTranslations() const
{
    std::vector<cv::Mat> out;
    for (const StereoPair& pair : pairs)
        out.push_back(pair.fit ? pair.fit->tvecs[0] : cv::Mat());
    return out;
}

// ------------------------------------------------------------------ opening

void StereoChessCalibWin::on_button_change_dir_primary_clicked(bool)
{
    if (running)
        return;
    openPrimaryImages(QFileDialog::getOpenFileNames(this, tr("Calibration Images"), dir1, imageFileFilter()));
}

void StereoChessCalibWin::on_button_change_dir_secondary_clicked(bool)
{
    if (running)
        return;
    openSecondaryImages(
        QFileDialog::getOpenFileNames(this, tr("Calibration Images"), dir2, imageFileFilter()));
}

void StereoChessCalibWin::openPrimaryImages(const QStringList& files)
{
    openImages(Primary, files);
}

void StereoChessCalibWin::openSecondaryImages(const QStringList& files)
{
    openImages(Secondary, files);
}

void StereoChessCalibWin::openImages(Side side, const QStringList& files)
{
    // A cancelled dialog changes nothing: the earlier lists and detections stay.
    if (running || files.isEmpty())
        return;
    QString& dir = side == Primary ? dir1 : dir2;
    std::vector<std::string>& paths = side == Primary ? primaryPaths : secondaryPaths;
    cv::Size& imageSize = side == Primary ? primaryImageSize : secondaryImageSize;
    QListWidget* widget = list(side);

    calibrated = false;
    // The list's images are detected again, the other list's stay found.
    for (const std::string& path : paths)
        detectionCache.forget(path);
    dir = QFileInfo(files.first()).absolutePath();
    paths.clear();
    for (const QString& file : files) {
        paths.push_back((dir + "/" + QFileInfo(file).fileName()).toStdString());
        detectionCache.forget(paths.back());
    }
    const cv::Size firstSize = imageFileSize(paths.front());
    if (firstSize.area() > 0)
        imageSize = firstSize;

    {
        const QSignalBlocker b1(ui->list_images_primary), b2(ui->list_images_secondary);
        widget->clear();
        for (const QString& file : files) {
            auto* item = new QListWidgetItem(QFileInfo(file).fileName(), widget);
            item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
            item->setCheckState(Qt::Checked);
        }
    }
    readCornerFiles(side);
    // The last run's pairs and outliers no longer match the lists.
    resetPairs();

    ui->button_calibrate->setEnabled(!primaryPaths.empty() && !secondaryPaths.empty());
    if (widget->count() > 0) {
        const QSignalBlocker blocker(widget);
        widget->setCurrentRow(0);
    }
    showNoResult();
}

// This list's corner files, through the one validated reader.
void StereoChessCalibWin::readCornerFiles(Side side)
{
    const std::vector<std::string>& paths = side == Primary ? primaryPaths : secondaryPaths;
    logMoveToEnd();
    cornerFiles[side].assign(paths.size(), std::nullopt);
    for (size_t i = 0; i < paths.size(); ++i) {
        QString error;
        const QString path = QString::fromStdString(paths[i]);
        StereoCornerFile file;
        switch (readCornerFile(path, file.imagePoints, file.objectPoints, error)) {
        case CornerFileStatus::Loaded:
            cornerFiles[side][i] = std::move(file);
            break;
        case CornerFileStatus::Invalid:
            logAppend(tr("Corner file %1 ignored: %2").arg(cornerFilePath(path), error), Qt::red);
            break;
        case CornerFileStatus::Missing:
            break;
        }
    }
    logColor(Qt::black);
}

// Records of the pairs as the lists and their corner files give them: the
// corner files' points (the object points of the primary's file, else the
// secondary's), nothing found yet and no outliers removed.
void StereoChessCalibWin::resetPairs()
{
    const size_t m = std::max(primaryPaths.size(), secondaryPaths.size());
    pairs.assign(m, StereoPair());
    excludedPoints.assign(m, {});
    for (size_t i = 0; i < m; ++i) {
        const StereoCornerFile* files[2] = {nullptr, nullptr};
        for (int c = 0; c < 2; ++c)
            if (i < cornerFiles[c].size() && cornerFiles[c][i])
                files[c] = &*cornerFiles[c][i];
        for (int c = 0; c < 2; ++c)
            if (files[c])
                pairs[i].imagePoints[c] = files[c]->imagePoints;
        if (files[0] || files[1])
            pairs[i].objectPoints = (files[0] ? files[0] : files[1])->objectPoints;
    }
}

void StereoChessCalibWin::resetDetections()
{
    if (running)
        return;
    detectionCache.clear();
    // The last run's results stay on view; only the points go.
    std::vector<std::optional<StereoPairFit>> fits;
    for (const StereoPair& pair : pairs)
        fits.push_back(pair.fit);
    resetPairs();
    for (size_t i = 0; i < fits.size() && i < pairs.size(); ++i)
        pairs[i].fit = std::move(fits[i]);
}

// ------------------------------------------------------------------ options

StereoCameraOptions StereoChessCalibWin::cameraOptions(Side side) const
{
    const bool p = side == Primary;
    StereoCameraOptions o;
    o.sameFocalLength = ui->check_same_focal_length->isChecked();
    o.useIntrinsicGuess = (p ? ui->check_use_intrinsic_guess1 : ui->check_use_intrinsic_guess2)->isChecked();
    o.fixIntrinsic = (p ? ui->check_fix_intrinsic1 : ui->check_fix_intrinsic2)->isChecked();
    o.fixFocalLength = (p ? ui->check_fix_focal1 : ui->check_fix_focal2)->isChecked();
    o.fixPrincipalPoint = (p ? ui->check_fix_pp1 : ui->check_fix_pp2)->isChecked();
    o.fixAspectRatio = (p ? ui->check_fix_aspect_ratio1 : ui->check_fix_aspect_ratio2)->isChecked();
    o.radialDistortion =
        (p ? ui->group_use_radial_distortion1 : ui->group_use_radial_distortion2)->isChecked();
    o.fixK1 = (p ? ui->check_fix_k1_1 : ui->check_fix_k1_2)->isChecked();
    o.fixK2 = (p ? ui->check_fix_k2_1 : ui->check_fix_k2_2)->isChecked();
    o.fixK3 = (p ? ui->check_fix_k3_1 : ui->check_fix_k3_2)->isChecked();
    o.rationalModel = (p ? ui->check_use_rational_model_1 : ui->check_use_rational_model_2)->isChecked();
    o.fixK4 = (p ? ui->check_fix_k4_1 : ui->check_fix_k4_2)->isChecked();
    o.fixK5 = (p ? ui->check_fix_k5_1 : ui->check_fix_k5_2)->isChecked();
    o.fixK6 = (p ? ui->check_fix_k6_1 : ui->check_fix_k6_2)->isChecked();
    o.tangentialDistortion =
        (p ? ui->check_use_tangential_distortion1 : ui->check_use_tangential_distortion2)->isChecked();
    return o;
}

int StereoChessCalibWin::calibrationFlags(int camera) const
{
    return stereoCalibrationFlags(cameraOptions(camera == 0 ? Primary : Secondary));
}

void StereoChessCalibWin::on_check_fix_intrinsic1_toggled(bool checked)
{
    applyFixIntrinsics(checked, ui->check_use_intrinsic_guess1,
                       {ui->check_fix_focal1, ui->check_fix_aspect_ratio1, ui->check_fix_pp1,
                        ui->check_fix_k1_1, ui->check_fix_k2_1, ui->check_fix_k3_1});
}

void StereoChessCalibWin::on_check_fix_intrinsic2_toggled(bool checked)
{
    applyFixIntrinsics(checked, ui->check_use_intrinsic_guess2,
                       {ui->check_fix_focal2, ui->check_fix_aspect_ratio2, ui->check_fix_pp2,
                        ui->check_fix_k1_2, ui->check_fix_k2_2, ui->check_fix_k3_2});
}

void StereoChessCalibWin::on_group_use_radial_distortion1_toggled(bool checked)
{
    if (checked)
        return;
    ui->check_fix_k1_1->setChecked(true);
    ui->check_fix_k2_1->setChecked(true);
    ui->check_fix_k3_1->setChecked(true);
    ui->check_use_rational_model_1->setChecked(false);
}

void StereoChessCalibWin::on_group_use_radial_distortion2_toggled(bool checked)
{
    if (checked)
        return;
    ui->check_fix_k1_2->setChecked(true);
    ui->check_fix_k2_2->setChecked(true);
    ui->check_fix_k3_2->setChecked(true);
    ui->check_use_rational_model_2->setChecked(false);
}

void StereoChessCalibWin::on_check_use_rational_model_1_toggled(bool checked)
{
    for (QCheckBox* box : {ui->check_fix_k4_1, ui->check_fix_k5_1, ui->check_fix_k6_1}) {
        box->setChecked(false);
        box->setVisible(checked);
    }
}

void StereoChessCalibWin::on_check_use_rational_model_2_toggled(bool checked)
{
    for (QCheckBox* box : {ui->check_fix_k4_2, ui->check_fix_k5_2, ui->check_fix_k6_2}) {
        box->setChecked(false);
        box->setVisible(checked);
    }
}

void StereoChessCalibWin::on_combo_sensor_primary_currentIndexChanged(int)
{
    // The last result belongs to the pair of sensors chosen before.
    if (!running)
        clearResult();
}

void StereoChessCalibWin::on_combo_sensor_secondary_currentIndexChanged(int)
{
    if (!running)
        clearResult();
}

void StereoChessCalibWin::on_check_radon_detection_toggled(bool checked)
{
    ui->group_corner_subpix->setEnabled(!checked);
    resetDetections();
}

void StereoChessCalibWin::on_check_mirror_primary_toggled(bool)
{
    resetDetections();
}

void StereoChessCalibWin::on_check_mirror_secondary_toggled(bool)
{
    resetDetections();
}

void StereoChessCalibWin::on_spin_corner_count_x_valueChanged(int)
{
    resetDetections();
}

void StereoChessCalibWin::on_spin_corner_count_y_valueChanged(int)
{
    resetDetections();
}

void StereoChessCalibWin::on_edit_corners_width_textChanged(const QString&)
{
    resetDetections();
}

void StereoChessCalibWin::on_edit_corners_height_textChanged(const QString&)
{
    resetDetections();
}

void StereoChessCalibWin::on_spin_win_size_valueChanged(int)
{
    resetDetections();
}

void StereoChessCalibWin::on_edit_zero_zone_x_textChanged(const QString&)
{
    resetDetections();
}

void StereoChessCalibWin::on_edit_zero_zone_y_textChanged(const QString&)
{
    resetDetections();
}

// ------------------------------------------------------------------ the run

void StereoChessCalibWin::on_button_calibrate_clicked()
{
    calibrate();
}

void StereoChessCalibWin::calibrate()
{
    runLogged([this] { runCalibration(); }, tr("OpenCV exception caught : %1"), tr("Error: %1"));
}

cv::Mat StereoChessCalibWin::loadImage(Side side, size_t i, int flags) const
{
    const std::vector<std::string>& paths = side == Primary ? primaryPaths : secondaryPaths;
    cv::Mat image;
    if (i >= paths.size())
        return image;
    image = cv::imread(paths[i], flags);
    const bool mirror =
        (side == Primary ? ui->check_mirror_primary : ui->check_mirror_secondary)->isChecked();
    if (!image.empty() && mirror)
        cv::flip(image, image, 1);
    return image;
}

QString StereoChessCalibWin::sensorName(Side side) const
{
    return (side == Primary ? ui->combo_sensor_primary : ui->combo_sensor_secondary)->currentText();
}

void StereoChessCalibWin::runCalibration()
{
    const WaitCursor cursor;
    logMoveToEnd();
    logColor(Qt::black);
    const int n = static_cast<int>(primaryPaths.size());
    ui->progress_bar->setRange(0, n + 1);

    StereoRunInput input;
    if (!gatherRunInput(input))
        return;
    HeldViews before = holdViews();
    calibrated = false;
    // A new run: the views of the last one and its rectification are void;
    // its result stays until this run replaces it.
    rect = StereoRectification();
    for (StereoPair& pair : pairs)
        pair.fit.reset();
    showNoResult();

    logAppend(tr("Detecting chessboards: \n"), Qt::black);
    const StereoRunResult result = runStereoCalibration(
        input, detectionCache, [this](const StereoRunProgress& step) { return logRunStep(step); });
    if (isRefusal(result.status)) {
        restoreViews(std::move(before));
        presentFailure(result);
        return;
    }
    takePairs(result);
    if (result.ok())
        presentCalibration(result);
    else
        presentFailure(result);
}

bool StereoChessCalibWin::isRefusal(StereoRunResult::Status status)
{
    return status == StereoRunResult::Status::PointsOutOfBounds ||
           status == StereoRunResult::Status::NonPositiveFocalLength;
}

StereoChessCalibWin::HeldViews StereoChessCalibWin::holdViews() const
{
    return {lastResult.holdsPose(),
            calibrated,
            rect,
            pairs,
            {listBackgrounds(list(Primary)), listBackgrounds(list(Secondary))}};
}

void StereoChessCalibWin::restoreViews(HeldViews held)
{
    pairs = std::move(held.pairs);
    // The result went with its sensors while the run went on: there is
    // nothing of it left to show.
    if (held.resultHeld && !lastResult.holdsPose()) {
        clearResult();
        return;
    }
    calibrated = held.calibrated;
    rect = std::move(held.rect);
    if (calibrated)
        drawScene(Framing::KeepCamera);
    for (int c = 0; c < 2; ++c)
        setListBackgrounds(list(static_cast<Side>(c)), held.listBackgrounds[c]);
    showRectificationState();
    redisplay();
}

// Both boxes on a sensor; else the reason, in `colour`, naming the camera
// to choose.
bool StereoChessCalibWin::checkChosenSensors(const QColor& colour)
{
    for (const Side side : {Primary, Secondary}) {
        const QComboBox* box = side == Primary ? ui->combo_sensor_primary : ui->combo_sensor_secondary;
        if (box->currentIndex() >= 0)
            continue;
        logAppend(noSensorChosenText(box, side == Primary ? tr("primary camera") : tr("secondary camera"),
                                     tr("Select Cameras: Primary / Secondary")),
                  colour);
        return false;
    }
    return true;
}

// Two boxes on two different sensors; else the reason, in red.
bool StereoChessCalibWin::checkDistinctSensors()
{
    if (ui->combo_sensor_primary->currentIndex() != ui->combo_sensor_secondary->currentIndex())
        return true;
    logAppend(tr("Same sensor is selected twice in 'Select Sensors', aborting...\n"), Qt::red);
    return false;
}

// The sensors chosen: two different ones.
bool StereoChessCalibWin::checkSensors()
{
    if (!checkChosenSensors(Qt::red) || !checkDistinctSensors())
        return false;
    if (primaryPaths.size() != secondaryPaths.size() ||
        ui->list_images_primary->count() != ui->list_images_secondary->count()) {
        logAppend(tr("Image list size mismatch, aborting...\n"), Qt::red);
        return false;
    }
    if (primaryPaths.empty()) {
        logAppend(tr("No images, aborting...\n"), Qt::red);
        return false;
    }
    return true;
}

// The intrinsics a camera's run starts from: with "Use intrinsic guess" the
// scene's, else those of the last result. The last result itself stays as
// it is until the run succeeds.
bool StereoChessCalibWin::takeStartIntrinsics(Side side, cv::Mat& K, cv::Mat& kc)
{
    const bool p = side == Primary;
    K = lastResult.K[side];
    kc = lastResult.kc[side];
    if (!(p ? ui->check_use_intrinsic_guess1 : ui->check_use_intrinsic_guess2)->isChecked())
        return true;
    K.release();
    kc.release();
    cv::Size size;
    const int index = (p ? ui->combo_sensor_primary : ui->combo_sensor_secondary)->currentIndex();
    if (p)
        emit getPrimaryIntrinsics(index, K, kc, size);
    else
        emit getSecondaryIntrinsics(index, K, kc, size);
    K = K.clone();
    kc = kc.clone();
    if (K.empty()) {
        logAppend(tr("Use intrinsic guess for %1 is set, but the %1 does not have any intrinsics, "
                     "aborting...\n")
                      .arg(sensorName(side)),
                  Qt::red);
        return false;
    }
    if (kc.empty())
        kc = cv::Mat::zeros(1, 5, CV_64F);
    return true;
}

bool StereoChessCalibWin::gatherRunInput(StereoRunInput& input)
{
    std::array<cv::Mat, 2> startK, startKc;
    if (!checkSensors() || !takeStartIntrinsics(Primary, startK[Primary], startKc[Primary]) ||
        !takeStartIntrinsics(Secondary, startK[Secondary], startKc[Secondary]))
        return false;
    if (!takeChessboardOptions(input.board))
        return false;
    bool okIterations = false, okEpsilon = false;
    const int maxIterations = ui->edit_max_iterations->text().trimmed().toInt(&okIterations);
    const double epsilon = ui->edit_accuracy->text().trimmed().toDouble(&okEpsilon);
    if (!okIterations || maxIterations < 1 || !okEpsilon || !(epsilon >= 0) || !std::isfinite(epsilon)) {
        logAppend(
            tr("Termination criteria '%1' and '%2' are not a positive count and a number of at least 0, "
               "aborting...\n")
                .arg(ui->edit_max_iterations->text(), ui->edit_accuracy->text()),
            Qt::red);
        return false;
    }
    input.criteria =
        cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, maxIterations, epsilon);
    for (int c = 0; c < 2; ++c) {
        const Side side = static_cast<Side>(c);
        const std::vector<std::string>& paths = side == Primary ? primaryPaths : secondaryPaths;
        StereoRunCamera& camera = input.cameras[c];
        for (size_t i = 0; i < paths.size(); ++i) {
            StereoImage image;
            image.path = paths[i];
            image.checked = list(side)->item(int(i))->checkState() == Qt::Checked;
            if (i < cornerFiles[c].size())
                image.cornerFile = cornerFiles[c][i];
            camera.images.push_back(std::move(image));
        }
        camera.mirror =
            (side == Primary ? ui->check_mirror_primary : ui->check_mirror_secondary)->isChecked();
        camera.options = cameraOptions(side);
        camera.K = startK[c];
        camera.kc = startKc[c];
    }
    input.excludedPoints = excludedPoints;
    if (ui->group_outliers->isChecked()) {
        bool ok[3] = {false, false, false};
        StereoOutlierThresholds thresholds;
        thresholds.primary = ui->edit_outlier_primary->text().trimmed().toDouble(&ok[0]);
        thresholds.secondary = ui->edit_outlier_secondary->text().trimmed().toDouble(&ok[1]);
        thresholds.epipolar = ui->edit_outlier_epipolar->text().trimmed().toDouble(&ok[2]);
        if (ok[0] && ok[1] && ok[2])
            input.outlierThresholds = thresholds;
    }
    return true;
}

bool StereoChessCalibWin::logRunStep(const StereoRunProgress& step)
{
    if (step.stage == StereoRunProgress::Stage::Calibration) {
        logAppend(tr("Calibration in progress ..."), Qt::black);
        logRepaint();
    } else if (step.pair) {
        logPairStep(step.index, *step.pair);
    }
    return !pollAbort();
}

void StereoChessCalibWin::markPairUnused(int row)
{
    const QSignalBlocker b1(ui->list_images_primary), b2(ui->list_images_secondary);
    for (QListWidget* widget : {ui->list_images_primary, ui->list_images_secondary})
        if (QListWidgetItem* item = widget->item(row)) {
            item->setCheckState(Qt::Unchecked);
            item->setBackground(QColor(Qt::white));
        }
}

// One pair of the detection pass: its number in green (found now, or from
// corner files), dark green (both boards reused from earlier detections), red
// (not usable, with the reason) or gray (not selected).
void StereoChessCalibWin::logPairStep(size_t i, const StereoPair& pair)
{
    using S = StereoPair::Status;
    const int row = static_cast<int>(i);
    const QString number = QString::number(i) + " ";
    const QString path =
        QString::fromStdString(pair.camera == Secondary ? secondaryPaths[i] : primaryPaths[i]);
    logMoveToEnd();
    switch (pair.status) {
    case S::NotReached:
        return;
    case S::NotSelected:
        logInsert(number, Qt::gray);
        break;
    case S::Ready:
        logInsert(number, pair.reused[0] && pair.reused[1] ? Qt::darkGreen : Qt::green);
        break;
    case S::DetectorError:
        logAppend(tr("OpenCV exception caught : ") + QString::fromStdString(pair.error), Qt::red);
        logAppend(tr("Skipping...\n"), Qt::red);
        break;
    case S::Unreadable:
        logAppend(tr("Could not read image %1").arg(path), Qt::red);
        break;
    case S::SizeMismatch:
        logAppend(tr("Image %1 is %2x%3, the others of its camera are %4x%5; pair %6 skipped")
                      .arg(path)
                      .arg(pair.imageSize[pair.camera].width)
                      .arg(pair.imageSize[pair.camera].height)
                      .arg(pair.expectedSize.width)
                      .arg(pair.expectedSize.height)
                      .arg(i),
                  Qt::red);
        break;
    case S::PointCountMismatch:
        logAppend(
            tr("Pair %1: %2 corners in the primary image, %3 in the secondary and %4 board points do not "
               "agree; pair skipped")
                .arg(i)
                .arg(pair.imagePoints[0].size())
                .arg(pair.imagePoints[1].size())
                .arg(pair.objectPoints.size()),
            Qt::red);
        break;
    case S::NotFound:
        break;
    }
    if (pair.status != S::Ready && pair.status != S::NotSelected && pair.status != S::DetectorError) {
        markPairUnused(row);
        logInsert(number, Qt::red);
    }
    logRepaint();
    logColor(Qt::black);
    if (pair.status != S::NotSelected && pair.status != S::DetectorError)
        ui->progress_bar->setValue(row + 1);
}

// The run's records replace those of the pairs it reached; the outliers
// removed earlier stay removed while the pair is found in the same points.
void StereoChessCalibWin::takePairs(const StereoRunResult& result)
{
    using S = StereoPair::Status;
    const bool collected = result.status != StereoRunResult::Status::Aborted;
    for (size_t i = 0; i < result.pairs.size() && i < pairs.size(); ++i) {
        const StereoPair& pair = result.pairs[i];
        if (pair.status == S::Ready)
            excludedPoints[i] = excludedAfterOutliers(pair);
        else if (pair.status != S::NotReached && pair.status != S::NotSelected &&
                 pair.status != S::DetectorError)
            excludedPoints[i].clear();
        if (pair.status != S::NotReached && pair.status != S::NotSelected)
            pairs[i] = pair;
        // Only ready pairs are calibrated: the others are unchecked and white.
        if (collected && pair.status != S::Ready)
            markPairUnused(static_cast<int>(i));
    }
}

void StereoChessCalibWin::presentFailure(const StereoRunResult& result)
{
    switch (result.status) {
    case StereoRunResult::Status::Aborted:
        logAppend(tr("Calibration aborted \n"), Qt::red);
        break;
    case StereoRunResult::Status::NoPairs:
        logAppend(tr("Target detection failed on all images or none were selected!\n"), Qt::red);
        break;
    case StereoRunResult::Status::ListSizeMismatch:
        logAppend(tr("Image list size mismatch, aborting...\n"), Qt::red);
        break;
    case StereoRunResult::Status::NoImages:
        logAppend(tr("No images, aborting...\n"), Qt::red);
        break;
    case StereoRunResult::Status::CalibrationFailed:
        logAppend(failureText(tr("Calibration failed: "), result.error), Qt::red);
        logAppend(tr("Aborting...\n"), Qt::red);
        break;
    case StereoRunResult::Status::PointsOutOfBounds: {
        const size_t i = result.refusedPair;
        const int c = result.refusedCamera;
        const std::vector<std::string>& paths = c == Secondary ? secondaryPaths : primaryPaths;
        const bool fromCornerFile = i < result.pairs.size() && c >= 0 && result.pairs[i].fromCornerFile[c];
        logRefusedPoints(i < paths.size() ? paths[i] : std::string(), fromCornerFile, result.error);
        break;
    }
    case StereoRunResult::Status::NonPositiveFocalLength:
        logNonPositiveFocalLengths(result.error);
        break;
    case StereoRunResult::Status::Calibrated:
        break;
    }
}

void StereoChessCalibWin::presentCalibration(const StereoRunResult& result)
{
    const StereoCalibration& cal = result.calibration;
    LastResult next;
    next.K = cal.K;
    next.kc = cal.kc;
    next.R = cal.R;
    next.T = cal.T;
    next.E = cal.E;
    next.F = cal.F;
    next.board = result.board;
    primaryImageSize = result.imageSize[0];
    secondaryImageSize = result.imageSize[1];
    logCalibration(cal);
    for (const Side side : {Primary, Secondary})
        logCoefficientCut(sensorName(side), cal.startCut[side],
                          tr("Check \"Rational model\" to keep k4, k5, k6."));
    if (!emitResults(next))
        return;
    lastResult = next;
    calibrated = true;
    colourLists();
    drawScene(Framing::FitToScene);
    writeResultFile(cal.rms);

    const bool remove = ui->group_outliers->isChecked();
    if (remove)
        logAppend(tr("Detecting outliers: "), Qt::black);
    if (computeReprojErrors(remove) && remove) {
        logAppend(tr("Calibrate again to exclude the detected outliers!"), QColor(255, 0, 0));
        logColor(QColor(0, 0, 0));
    }
    logColor(Qt::black);
    on_list_images_primary_currentRowChanged(ui->list_images_primary->currentRow());
    ui->progress_bar->setValue(static_cast<int>(primaryPaths.size()) + 1);
}

void StereoChessCalibWin::logCalibration(const StereoCalibration& cal)
{
    logAppend(tr("Calibration completed with rms reprojection error: ") + QString::number(cal.rms, 'g', 6),
              Qt::black);
    logAppend(tr("Extrinsics: ") + sensorName(Primary) + tr(" wrt ") + sensorName(Secondary));
    const cv::Mat& R = cal.R;
    const cv::Mat& T = cal.T;
    logAppend("tx " + f4(T.at<double>(0)));
    logAppend("ty " + f4(T.at<double>(1)));
    logAppend("tz " + f4(T.at<double>(2)));
    logAppend("R ");
    for (int r = 0; r < 3; ++r)
        logAppend(f4(R.at<double>(r, 0)) + " " + f4(R.at<double>(r, 1)) + " " + f4(R.at<double>(r, 2)));

    // A result the refinement did not converge to is used, but not silently.
    logUnconvergedRefinement(cal.refinement);
}

// Both sensors are checked before anything reaches the tree; the result
// then belongs to them.
bool StereoChessCalibWin::emitResults(LastResult& next)
{
    // A chosen sensor may have been deleted while the run went on; the boxes
    // must still show two different sensors.
    if (!checkChosenSensors(Qt::black) || !checkDistinctSensors())
        return false;
    const int primaryNow = ui->combo_sensor_primary->currentIndex();
    const int secondaryNow = ui->combo_sensor_secondary->currentIndex();
    emit updatePrimaryIntrinsics(primaryNow, next.K[Primary], next.kc[Primary], primaryImageSize);
    emit updateSecondaryIntrinsics(secondaryNow, next.K[Secondary], next.kc[Secondary], secondaryImageSize);
    emit updateSecondaryExtrinsics(primaryNow, secondaryNow, next.R.clone(), next.T.clone());
    next.sensors = {primaryNow, secondaryNow};
    return true;
}

StereoChessCalibWin::ErrorRanges StereoChessCalibWin::errorRanges() const
{
    ErrorRanges r;
    auto widen = [](cv::Vec2d& range, double value) {
        range[0] = std::min(range[0], value);
        range[1] = std::max(range[1], value);
    };
    for (const StereoPair& pair : pairs) {
        if (!pair.fit)
            continue;
        widen(r.mean, pair.fit->reprojError());
        widen(r.camera[0], pair.fit->reprojErrors[0]);
        widen(r.camera[1], pair.fit->reprojErrors[1]);
        widen(r.epipolar, pair.fit->errors.epipolarRms);
    }
    return r;
}

void StereoChessCalibWin::colourLists()
{
    const std::vector<cv::Vec3b> colours[2] = {primaryColours(), secondaryColours()};
    for (size_t i = 0; i < pairs.size(); ++i) {
        if (!pairs[i].fit)
            continue;
        for (int c = 0; c < 2; ++c)
            if (QListWidgetItem* item = list(static_cast<Side>(c))->item(static_cast<int>(i)))
                item->setBackground(QColor(colours[c][i][0], colours[c][i][1], colours[c][i][2], 255));
    }
}

// The boards in the primary camera's frame, coloured by their pair's error,
// and both cameras. A new result is framed whole; the last result given back
// after a refused run is shown from where the user left the camera.
void StereoChessCalibWin::drawScene(Framing framing)
{
    renderer->RemoveAllViewProps();
    const ErrorRanges ranges = errorRanges();
    const ChessboardOptions& board = lastResult.board;
    const cv::Size2d square(board.squareWidth, board.squareHeight);
    std::vector<cv::Mat> translations;
    for (const StereoPair& pair : pairs) {
        if (!pair.fit)
            continue;
        drawTarget(renderer, pair.fit->rvecs[0], pair.fit->tvecs[0], board.patternSize, square,
                   errorColor(pair.fit->reprojError(), ranges.mean[0], ranges.mean[1]), false);
        translations.push_back(pair.fit->tvecs[0]);
    }
    const double depth = maxTranslationNorm(translations);
    drawFrustum(renderer, lastResult.K[Primary], primaryImageSize, depth, "");
    drawWorldAxes(renderer, sensorName(Primary).toStdString());
    const cv::Mat R_primary_secondary = lastResult.R.t();
    const cv::Mat t_primary_secondary = -lastResult.R.t() * lastResult.T;
    if (vtkSmartPointer<vtkActor> frustum =
            drawFrustum(renderer, lastResult.K[Secondary], secondaryImageSize, depth, ""))
        setActorPose(frustum, R_primary_secondary, t_primary_secondary);
    drawFrame(renderer, R_primary_secondary, t_primary_secondary, sensorName(Secondary).toStdString());
    if (framing == Framing::FitToScene)
        renderer->ResetCamera();
    renderSceneView(ui->widget_vtk);
}

void StereoChessCalibWin::writeResultFile(double rms)
{
    StereoResultFile file;
    file.imageSize0 = primaryImageSize;
    file.K0 = lastResult.K[Primary];
    file.kc0 = lastResult.kc[Primary];
    file.imageSize1 = secondaryImageSize;
    file.K1 = lastResult.K[Secondary];
    file.kc1 = lastResult.kc[Secondary];
    file.R = lastResult.R;
    file.T = lastResult.T;
    file.F = lastResult.F;
    file.rms = rms;
    const QString path = stereoFilePath();
    std::string error;
    if (writeStereoResultFile(path.toStdString(), file, error))
        logAppend(tr("Stereo parameters saved to ") + path, Qt::black);
    else
        logAppend(
            tr("Could not write the stereo parameters to %1: %2").arg(path, QString::fromStdString(error)),
            Qt::red);
}

bool StereoChessCalibWin::computeReprojErrors(bool removeOutliers)
{
    if (!removeOutliers)
        return false;
    bool ok[3] = {false, false, false};
    ui->edit_outlier_primary->text().trimmed().toDouble(&ok[0]);
    ui->edit_outlier_secondary->text().trimmed().toDouble(&ok[1]);
    ui->edit_outlier_epipolar->text().trimmed().toDouble(&ok[2]);
    if (!ok[0] || !ok[1] || !ok[2]) {
        logInsert(tr("a threshold is not a number; nothing removed"), Qt::red);
        logColor(Qt::black);
        return false;
    }
    bool found = false;
    for (size_t i = 0; i < pairs.size(); ++i) {
        StereoPair& pair = pairs[i];
        if (!pair.fit || pair.fit->outliers.empty())
            continue;
        found = true;
        logInsert(QString::number(i) + ": " + QString::number(pair.fit->outliers.size()) + "  ", Qt::black);
        // The record keeps the points that stay; the fit keeps what was measured.
        eraseStereoPoints(pair.fit->outliers, pair.imagePoints[0], pair.imagePoints[1], pair.objectPoints);
        for (auto it = pair.fit->outliers.rbegin(); it != pair.fit->outliers.rend(); ++it)
            if (*it < pair.pointIndices.size())
                pair.pointIndices.erase(pair.pointIndices.begin() + std::ptrdiff_t(*it));
    }
    if (!found)
        logInsert(tr("none"), Qt::black);
    return found;
}

// ------------------------------------------------------------------ views

void StereoChessCalibWin::syncScrollBars(QScrollBar* target, int value)
{
    if (value == lastScrollValue)
        return;
    lastScrollValue = value;
    target->setValue(value);
}

void StereoChessCalibWin::on_list_images_primary_currentRowChanged(int currentRow)
{
    showPair(Primary, currentRow);
}

void StereoChessCalibWin::on_list_images_secondary_currentRowChanged(int currentRow)
{
    showPair(Secondary, currentRow);
}

void StereoChessCalibWin::showPair(Side first, int row)
{
    const QSignalBlocker b1(ui->list_images_primary), b2(ui->list_images_secondary);
    const Side second = first == Primary ? Secondary : Primary;
    try {
        if (list(first)->count() > 0 && row >= 0 && row < list(second)->count())
            list(second)->setCurrentRow(row);
        switch (ui->tabWidget->currentIndex()) {
        case 0:
            if (list(first)->count() > 0 && row >= 0) {
                const bool a = showSide(first, row);
                const bool b = row < list(second)->count() && showSide(second, row);
                if (a && b)
                    showEpipolarLabels(row);
                else
                    ui->group_epi_err->hide();
            }
            break;
        case 2:
            showRectified(first, row);
            break;
        default:
            break;
        }
    } catch (const cv::Exception&) {
        // An image OpenCV cannot read: the views keep what they show.
        ui->group_reproj_err_primary->hide();
        ui->group_reproj_err_secondary->hide();
        ui->group_epi_err->hide();
    }
}

bool StereoChessCalibWin::showSide(Side side, int row)
{
    const size_t u = static_cast<size_t>(row);
    const cv::Mat image = loadImage(side, u, cv::IMREAD_COLOR);
    ImageLabel* label = side == Primary ? ui->image_label_primary : ui->image_label_secondary;
    QGroupBox* group = side == Primary ? ui->group_reproj_err_primary : ui->group_reproj_err_secondary;
    const bool checked = list(side)->item(row) && list(side)->item(row)->checkState() == Qt::Checked;
    const bool hasFit = u < pairs.size() && pairs[u].fit.has_value();
    if (image.empty() || !calibrated || !checked || !hasFit) {
        if (!image.empty())
            label->setImage(image);
        group->hide();
        return false;
    }
    showReprojErrors(side, row, image);
    return true;
}

// The colour of each corner of the pair that stays, by its error between the
// pair's smallest and largest.
std::vector<cv::Vec3b> StereoChessCalibWin::pointColours(Side side, const StereoPair& pair) const
{
    std::vector<cv::Vec3b> colours;
    if (!pair.fit)
        return colours;
    const StereoPairErrors& e = pair.fit->errors;
    const std::vector<size_t>& outliers = pair.fit->outliers;
    const bool removed = pair.imagePoints[side].size() < e.pointErrors[side].size();
    for (size_t j = 0; j < e.pointErrors[side].size(); ++j) {
        if (removed && std::binary_search(outliers.begin(), outliers.end(), j))
            continue;
        colours.push_back(toRgb255(errorColor(e.pointErrors[side][j], e.minMax[side][0], e.minMax[side][1])));
    }
    return colours;
}

void StereoChessCalibWin::showReprojErrors(Side side, int row, const cv::Mat& image)
{
    const StereoPair& pair = pairs[static_cast<size_t>(row)];
    const StereoPairFit& fit = *pair.fit;
    const bool p = side == Primary;
    ReprojectionErrorPanel panel(p ? ui->group_reproj_err_primary : ui->group_reproj_err_secondary,
                                 p ? ui->label_rms_primary : ui->label_rms_secondary,
                                 p ? ui->label_min_primary : ui->label_min_secondary,
                                 p ? ui->label_max_primary : ui->label_max_secondary,
                                 p ? ui->image_label_primary : ui->image_label_secondary);
    const cv::Vec2d range = fit.errors.minMax[side];
    const cv::Vec2d listRange = errorRanges().camera[side];
    panel.show(fit.reprojErrors[side],
               toRgb255(errorColor(fit.reprojErrors[side], listRange[0], listRange[1])), range[0], range[1]);
    panel.drawView(image, pair.imagePoints[side], pointColours(side, pair), fit.errors.reprojected[side],
                   projectBoardAxes(fit.rvecs[side], fit.tvecs[side], lastResult.K[side], lastResult.kc[side],
                                    lastResult.board.squareWidth, lastResult.board.squareHeight));
}

void StereoChessCalibWin::showEpipolarLabels(int row)
{
    const size_t u = static_cast<size_t>(row);
    if (u >= pairs.size() || !pairs[u].fit)
        return;
    const StereoPairErrors& e = pairs[u].fit->errors;
    const cv::Vec2d range = errorRanges().epipolar;
    ReprojectionErrorPanel(ui->group_epi_err, ui->label_rms_epi, ui->label_min_epi, ui->label_max_epi,
                           nullptr)
        .show(e.epipolarRms, toRgb255(errorColor(e.epipolarRms, range[0], range[1])), e.epipolarMinMax[0],
              e.epipolarMinMax[1]);
}

void StereoChessCalibWin::showRectified(Side first, int row)
{
    showRectificationState();
    if (list(first)->count() == 0 || row < 0 || !rect.hasMaps())
        return;
    const Side second = first == Primary ? Secondary : Primary;
    const bool vertical = rect.vertical();
    auto rectified = [&](Side side) {
        cv::Mat image = loadImage(side, static_cast<size_t>(row), cv::IMREAD_COLOR);
        if (image.empty())
            return image;
        image = rectifyImage(image, rect, side);
        if (vertical)
            cv::rotate(image, image, cv::ROTATE_90_COUNTERCLOCKWISE);
        return image;
    };
    const cv::Mat a = rectified(first);
    if (a.empty())
        return;
    std::vector<cv::Vec4f> lines;
    std::vector<cv::Vec3b> colours;
    if (ui->check_show_epi_lines->isChecked()) {
        const int n = ui->spin_epi_lines->value();
        cv::RNG& rng = cv::theRNG();
        for (int i = 1; i <= n; ++i) {
            const float y = static_cast<float>(i) * a.rows / (n + 1);
            lines.emplace_back(0.f, y, static_cast<float>(a.cols), y);
            const uchar r = static_cast<uchar>(static_cast<unsigned>(rng) & 0xff);
            const uchar g = static_cast<uchar>(static_cast<unsigned>(rng) & 0xff);
            const uchar b = static_cast<uchar>(static_cast<unsigned>(rng) & 0xff);
            colours.emplace_back(r, g, b);
        }
    }
    auto show = [&](Side side, const cv::Mat& image) {
        ImageLabel* label = side == Primary ? ui->rectification_primary : ui->rectification_secondary;
        if (lines.empty())
            label->setImage(image);
        else {
            label->setImage(image);
            label->setImageAndLines(image, lines, colours);
        }
    };
    show(first, a);
    if (row < list(second)->count()) {
        const cv::Mat b = rectified(second);
        if (!b.empty())
            show(second, b);
    }
}

void StereoChessCalibWin::redisplay()
{
    const int a = ui->list_images_primary->currentRow();
    const int b = ui->list_images_secondary->currentRow();
    showPair(Primary, a);
    if (b != a)
        showPair(Secondary, b);
}

void StereoChessCalibWin::on_tabWidget_currentChanged(int)
{
    redisplay();
}

void StereoChessCalibWin::on_spin_epi_lines_valueChanged(int)
{
    redisplay();
}

void StereoChessCalibWin::on_check_show_epi_lines_toggled(bool checked)
{
    redisplay();
    ui->spin_epi_lines->setEnabled(checked);
}

// ------------------------------------------------------------------ rectification

void StereoChessCalibWin::on_radio_alpha_custom_toggled(bool checked)
{
    ui->double_spin_alpha->setEnabled(checked);
}

void StereoChessCalibWin::on_button_rectify_clicked()
{
    if (running)
        return;
    try {
        rectify();
    } catch (const std::exception& e) {
        logAppend(tr("OpenCV exception caught : ") + QString::fromStdString(e.what()), Qt::red);
        logAppend(tr("Aborting...\n"), Qt::red);
    }
}

void StereoChessCalibWin::rectify()
{
    logMoveToEnd();
    logColor(Qt::black);
    StereoRectifyRun run;
    if (!gatherRectification(run))
        return;
    const StereoRectifyRunResult result = runStereoRectification(run);
    if (!result.ok) {
        logAppend(failureText(tr("Rectification failed: "), result.error), Qt::red);
        logAppend(tr("Aborting...\n"), Qt::red);
        return;
    }
    rect = result.rectification;

    const QString file = QString::fromStdString(run.rectificationFile);
    if (result.fileWritten)
        logAppend(tr("Rectification parameters saved to ") + file, Qt::black);
    else
        logAppend(tr("Could not write the rectification parameters to %1: %2")
                      .arg(file, QString::fromStdString(result.fileError)),
                  Qt::red);
    const QString base = QString::fromStdString(run.projectBasePath);
    if (result.project.status == ProjectSaveResult::Saved)
        logAppend(tr("Project with rectified cameras saved to %1.yml").arg(base), Qt::black);
    else
        logAppend(tr("Could not write the project with rectified cameras to %1.yml: %2")
                      .arg(base, QString::fromStdString(result.project.error)),
                  Qt::red);
    logColor(Qt::black);
    redisplay();
}

// The rectification's options and the last calibration of the sensors
// chosen now; false, with the reason logged, when there is none.
bool StereoChessCalibWin::gatherRectification(StereoRectifyRun& run)
{
    StereoRectifyInput& input = run.input;
    input.zeroDisparity = ui->check_equal_pp->isChecked();
    if (ui->group_new_image_size->isChecked()) {
        const int width = ui->line_new_width->text().toInt();
        const int height = ui->line_new_height->text().toInt();
        if (width < 1 || height < 1) {
            logAppend(tr("Specified new image size %1x%2 is invalid!\n").arg(width).arg(height), Qt::red);
            return false;
        }
        input.newImageSize = cv::Size(width, height);
    } else {
        input.newImageSize = primaryImageSize;
    }
    if (ui->radio_alpha_1->isChecked())
        input.alpha = 1.0;
    else if (ui->radio_alpha_custom->isChecked())
        input.alpha = ui->double_spin_alpha->value();

    // Only the last successful calibration of the sensors chosen now counts;
    // a box without a sensor never has one, and the log says what to choose.
    const QString primaryName = sensorName(Primary);
    const QString secondaryName = sensorName(Secondary);
    if (!lastResult.holdsPose() || lastResult.sensors != chosenSensors()) {
        checkChosenSensors(Qt::red);
        logAppend(tr("Use [Calibrate Stereo] before rectification."), Qt::red);
        return false;
    }
    if (secondaryImageSize != primaryImageSize) {
        logAppend(
            tr("[WARNING] Images for %1 and %2 differ in size. Rectification will most probably be invalid.")
                .arg(primaryName, secondaryName),
            Qt::darkYellow);
        logColor(Qt::black);
    }
    input.K = lastResult.K;
    input.kc = lastResult.kc;
    input.imageSize = primaryImageSize;
    input.R = lastResult.R;
    input.T = lastResult.T;
    run.rectificationFile = (dir1 + "/rectification.yml").toStdString();
    run.projectBasePath = rectifiedProjectBasePath().toStdString();
    run.primaryName = primaryName.toStdString();
    run.secondaryName = secondaryName.toStdString();
    run.isoDate = QDateTime::currentDateTime().toString(Qt::ISODate).toStdString();
    return true;
}

void StereoChessCalibWin::on_button_rectify_input_clicked()
{
    if (running)
        return;
    try {
        rectifyInput();
    } catch (const std::exception& e) {
        logAppend(tr("OpenCV exception caught : ") + QString::fromStdString(e.what()), Qt::red);
        logAppend(tr("Aborting...\n"), Qt::red);
    }
}

void StereoChessCalibWin::rectifyInput()
{
    logMoveToEnd();
    if (!rect.hasMaps()) {
        rectify();
        if (!rect.hasMaps())
            return; // the rectification said why; nothing is copied
    }
    for (int side = 0; side < 2; ++side) {
        const Side sd = static_cast<Side>(side);
        const std::vector<std::string>& paths = sd == Primary ? primaryPaths : secondaryPaths;
        logAppend(tr("Rectifying %1 images:").arg(sensorName(sd)), Qt::black);
        for (int i = 0; i < list(sd)->count() && static_cast<size_t>(i) < paths.size(); ++i) {
            if (list(sd)->item(i)->checkState() != Qt::Checked)
                continue;
            RectifiedCopy copy;
            copy.source = paths[static_cast<size_t>(i)];
            copy.target = rectifiedCopyPath(copy.source);
            copy.camera = side;
            copy.mirror =
                (sd == Primary ? ui->check_mirror_primary : ui->check_mirror_secondary)->isChecked();
            std::string error;
            const RectifiedCopyStatus status = writeRectifiedCopy(copy, rect, error);
            if (status != RectifiedCopyStatus::Written) {
                logCopyFailure(status, copy, error);
                return; // the remaining copies are not written
            }
            logInsert(".", Qt::black);
            logRepaint();
        }
    }
    logAppend(tr("Done!"), Qt::black);
}

// A copy that failed ends the copying: why, in red, and "Aborting...".
void StereoChessCalibWin::logCopyFailure(RectifiedCopyStatus status, const RectifiedCopy& copy,
                                         const std::string& error)
{
    switch (status) {
    case RectifiedCopyStatus::Unreadable:
        logAppend(tr("Could not read image %1").arg(QString::fromStdString(copy.source)), Qt::red);
        break;
    case RectifiedCopyStatus::NotWritten:
        logAppend(tr("Could not write %1").arg(QString::fromStdString(copy.target)), Qt::red);
        break;
    case RectifiedCopyStatus::Error:
    case RectifiedCopyStatus::Written:
        logAppend(tr("OpenCV exception caught : ") + QString::fromStdString(error), Qt::red);
        break;
    }
    logAppend(tr("Aborting...\n"), Qt::red);
    logColor(Qt::black);
}
