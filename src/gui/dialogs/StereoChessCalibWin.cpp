#include "gui/dialogs/StereoChessCalibWin.h"
#include "ui_StereoChessCalibWin.h"

#include "core/calib/reprojection.h"
#include "core/geometry/error_colors.h"
#include "core/geometry/rotation_checks.h"
#include "gui/views/scene_builders.h"
#include "gui/views/settings.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QDoubleValidator>
#include <QFileDialog>
#include <QFileInfo>
#include <QImageReader>
#include <QIntValidator>
#include <QListWidgetItem>
#include <QScrollBar>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <vtkActor.h>
#include <vtkRenderer.h>

#include <algorithm>
#include <cmath>

namespace {

// Restores the override cursor however the run ends.
struct WaitCursor {
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

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

QString colourStyle(const cv::Vec3b& c)
{
    return QString("color:rgb(%1,%2,%3);").arg(c[0]).arg(c[1]).arg(c[2]);
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

void StereoChessCalibWin::updateSensorNames()
{
    emit getSensorNames(sensorNames);
    const QString primary = ui->combo_sensor_primary->currentText();
    const QString secondary = ui->combo_sensor_secondary->currentText();
    refillSensorCombo(ui->combo_sensor_primary, sensorNames);
    refillSensorCombo(ui->combo_sensor_secondary, sensorNames);
    // A renamed or deleted sensor no longer owns the last result.
    if (!running && (ui->combo_sensor_primary->currentText() != primary ||
                     ui->combo_sensor_secondary->currentText() != secondary))
        clearResult();
}

void StereoChessCalibWin::clearResult()
{
    R.release();
    T.release();
    E.release();
    F.release();
    primaryK.release();
    primaryKc.release();
    secondaryK.release();
    secondaryKc.release();
    rect = StereoRectification();
    resultPrimary.clear();
    resultSecondary.clear();
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
    dir = QFileInfo(files.first()).absolutePath();
    paths.clear();
    for (const QString& file : files)
        paths.push_back((dir + "/" + QFileInfo(file).fileName()).toStdString());
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

    // This list's corner files, through the one validated reader.
    logMoveToEnd();
    fileCorners[side].assign(paths.size(), {});
    fileObjectPoints[side].assign(paths.size(), {});
    for (size_t i = 0; i < paths.size(); ++i) {
        QString error;
        const QString path = QString::fromStdString(paths[i]);
        if (readCornerFile(path, fileCorners[side][i], fileObjectPoints[side][i], error) ==
            CornerFileStatus::Invalid)
            logAppend(tr("Corner file %1 ignored: %2").arg(cornerFilePath(path), error), Qt::red);
    }
    logColor(Qt::black);

    // Results of the last calibration no longer match the lists.
    const size_t m = std::max(primaryPaths.size(), secondaryPaths.size());
    primaryRvecs.assign(m, cv::Mat());
    primaryTvecs.assign(m, cv::Mat());
    secondaryRvecs.assign(m, cv::Mat());
    secondaryTvecs.assign(m, cv::Mat());
    primaryMinMax.assign(m, cv::Vec2d(1e100, 0));
    secondaryMinMax.assign(m, cv::Vec2d(1e100, 0));
    epipolarMinMax.assign(m, cv::Vec2d(1e100, 0));
    primaryListColours.assign(m, cv::Vec3b());
    secondaryListColours.assign(m, cv::Vec3b());
    epipolarColours.assign(m, cv::Vec3b());
    primaryPointColours.assign(m, {});
    secondaryPointColours.assign(m, {});
    primaryReprojected.assign(m, {});
    secondaryReprojected.assign(m, {});

    // This side's detections go; the other side keeps its own, and the
    // shared object points come from whichever corner file a pair has.
    std::vector<std::vector<cv::Point2f>>& corners = side == Primary ? primaryCorners : secondaryCorners;
    corners.assign(m, {});
    primaryCorners.resize(m);
    secondaryCorners.resize(m);
    objectPoints.resize(m);
    for (size_t i = 0; i < m; ++i) {
        if (i < fileCorners[side].size())
            corners[i] = fileCorners[side][i];
        const bool p = i < fileObjectPoints[Primary].size() && !fileObjectPoints[Primary][i].empty();
        const bool s = i < fileObjectPoints[Secondary].size() && !fileObjectPoints[Secondary][i].empty();
        objectPoints[i] = p   ? fileObjectPoints[Primary][i]
                          : s ? fileObjectPoints[Secondary][i]
                              : std::vector<cv::Point3f>();
    }

    ui->button_calibrate->setEnabled(!primaryPaths.empty() && !secondaryPaths.empty());
    ui->group_reproj_err_primary->hide();
    ui->group_reproj_err_secondary->hide();
    ui->group_epi_err->hide();
    if (widget->count() > 0)
        widget->setCurrentRow(0);
    renderer->RemoveAllViewProps();
    drawWorldAxes(renderer, "");
    renderSceneView(ui->widget_vtk);
}

void StereoChessCalibWin::restorePairFromFiles(size_t i)
{
    primaryCorners[i] =
        i < fileCorners[Primary].size() ? fileCorners[Primary][i] : std::vector<cv::Point2f>();
    secondaryCorners[i] =
        i < fileCorners[Secondary].size() ? fileCorners[Secondary][i] : std::vector<cv::Point2f>();
    const bool p = i < fileObjectPoints[Primary].size() && !fileObjectPoints[Primary][i].empty();
    const bool s = i < fileObjectPoints[Secondary].size() && !fileObjectPoints[Secondary][i].empty();
    objectPoints[i] = p   ? fileObjectPoints[Primary][i]
                      : s ? fileObjectPoints[Secondary][i]
                          : std::vector<cv::Point3f>();
}

void StereoChessCalibWin::resetDetections()
{
    if (running)
        return;
    const size_t n = std::max(primaryPaths.size(), secondaryPaths.size());
    primaryCorners.assign(n, {});
    secondaryCorners.assign(n, {});
    objectPoints.assign(n, {});
    for (size_t i = 0; i < n; ++i)
        restorePairFromFiles(i);
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

bool StereoChessCalibWin::detectSide(Side side, size_t i, const cv::Mat& gray,
                                     const ChessboardOptions& options, bool& detected)
{
    std::vector<cv::Point2f>& slot = side == Primary ? primaryCorners[i] : secondaryCorners[i];
    detected = false;
    if (!slot.empty())
        return true; // an earlier detection, or the image's corner file
    std::vector<cv::Point2f> corners;
    if (!detectChessboard(gray, options, corners))
        return false;
    slot = corners;
    detected = true;
    return true;
}

bool StereoChessCalibWin::detectPass(int n, const ChessboardOptions& options)
{
    const size_t boardPoints = static_cast<size_t>(options.patternSize.area());
    const std::vector<cv::Point3f> board =
        chessboardObjectPoints(options.patternSize, options.squareWidth, options.squareHeight);
    cv::Size reference[2];
    for (int i = 0; i < n; ++i) {
        if (pollAbort())
            return false;
        const size_t u = static_cast<size_t>(i);
        QListWidgetItem* p = ui->list_images_primary->item(i);
        QListWidgetItem* s = ui->list_images_secondary->item(i);
        const QString number = QString::number(i) + " ";
        const bool complete = !primaryCorners[u].empty() && !secondaryCorners[u].empty() &&
                              !objectPoints[u].empty() &&
                              primaryCorners[u].size() == objectPoints[u].size() &&
                              secondaryCorners[u].size() == objectPoints[u].size();
        if (complete) {
            logInsert(number, Qt::green);
            logRepaint();
            continue;
        }
        if (p->checkState() != Qt::Checked || s->checkState() != Qt::Checked) {
            logInsert(number, Qt::gray);
            logRepaint();
            continue;
        }

        auto fail = [&](const QString& why) {
            {
                const QSignalBlocker b1(ui->list_images_primary), b2(ui->list_images_secondary);
                p->setCheckState(Qt::Unchecked);
                s->setCheckState(Qt::Unchecked);
                p->setBackground(QColor(Qt::white));
                s->setBackground(QColor(Qt::white));
            }
            if (!why.isEmpty())
                logAppend(why, Qt::red);
            logInsert(number, Qt::red);
            logRepaint();
            logColor(Qt::black);
            primaryCorners[u].clear();
            secondaryCorners[u].clear();
            objectPoints[u].clear();
        };

        bool found[2] = {false, false}, detected[2] = {false, false};
        cv::Mat gray[2];
        try {
            for (int side = 0; side < 2; ++side) {
                const Side sd = static_cast<Side>(side);
                gray[side] = loadImage(sd, u, cv::IMREAD_GRAYSCALE);
                if (gray[side].empty()) {
                    const std::string& path = side == Primary ? primaryPaths[u] : secondaryPaths[u];
                    fail(tr("Could not read image %1").arg(QString::fromStdString(path)));
                    break;
                }
                if (reference[side].area() == 0)
                    reference[side] = gray[side].size();
                if (gray[side].size() != reference[side]) {
                    fail(tr("Image %1 is %2x%3, the others of its camera are %4x%5; pair %6 skipped")
                             .arg(QString::fromStdString(side == Primary ? primaryPaths[u]
                                                                         : secondaryPaths[u]))
                             .arg(gray[side].cols)
                             .arg(gray[side].rows)
                             .arg(reference[side].width)
                             .arg(reference[side].height)
                             .arg(i));
                    break;
                }
                found[side] = detectSide(sd, u, gray[side], options, detected[side]);
                if (side == Primary && pollAbort())
                    return false;
            }
        } catch (const cv::Exception& e) {
            logAppend(tr("OpenCV exception caught : ") + QString::fromStdString(e.what()), Qt::red);
            logAppend(tr("Skipping...\n"), Qt::red);
            logColor(Qt::black);
            for (int side = 0; side < 2; ++side)
                if (detected[side])
                    (side == Primary ? primaryCorners[u] : secondaryCorners[u]).clear();
            continue;
        }
        if (p->checkState() != Qt::Checked) // failed above
            continue;
        if (!(found[0] && found[1])) {
            fail(QString());
            ui->progress_bar->setValue(i + 1);
            continue;
        }
        // A detected side uses the board's grid; corner files bring their own points.
        if (detected[0] || detected[1] || objectPoints[u].empty())
            objectPoints[u] = board;
        if (detected[0] && detected[1] && objectPoints[u].size() != boardPoints)
            objectPoints[u] = board;
        if (primaryCorners[u].size() != objectPoints[u].size() ||
            secondaryCorners[u].size() != objectPoints[u].size()) {
            fail(
                tr("Pair %1: %2 corners in the primary image, %3 in the secondary and %4 board points do not "
                   "agree; pair skipped")
                    .arg(i)
                    .arg(primaryCorners[u].size())
                    .arg(secondaryCorners[u].size())
                    .arg(objectPoints[u].size()));
            ui->progress_bar->setValue(i + 1);
            continue;
        }
        logInsert(number, Qt::green);
        logRepaint();
        logColor(Qt::black);
        ui->progress_bar->setValue(i + 1);
    }
    return true;
}

void StereoChessCalibWin::runCalibration()
{
    const WaitCursor cursor;
    logMoveToEnd();
    logColor(Qt::black);
    calibrated = false;
    const int n = static_cast<int>(primaryPaths.size());
    ui->progress_bar->setRange(0, n + 1);

    const int primaryIndex = ui->combo_sensor_primary->currentIndex();
    const int secondaryIndex = ui->combo_sensor_secondary->currentIndex();
    if (primaryIndex == secondaryIndex) {
        logAppend(tr("Same sensor is selected twice in 'Select Sensors', aborting...\n"), Qt::red);
        return;
    }
    if (primaryPaths.size() != secondaryPaths.size() ||
        ui->list_images_primary->count() != ui->list_images_secondary->count()) {
        logAppend(tr("Image list size mismatch, aborting...\n"), Qt::red);
        return;
    }
    if (n == 0) {
        logAppend(tr("No images, aborting...\n"), Qt::red);
        return;
    }

    // A new run: results of the last one and its rectification are void.
    const size_t un = static_cast<size_t>(n);
    primaryRvecs.assign(un, cv::Mat());
    primaryTvecs.assign(un, cv::Mat());
    secondaryRvecs.assign(un, cv::Mat());
    secondaryTvecs.assign(un, cv::Mat());
    primaryListColours.assign(un, cv::Vec3b());
    secondaryListColours.assign(un, cv::Vec3b());
    viewErrors.assign(un, 0.0);
    primaryViewErrors.assign(un, 0.0);
    secondaryViewErrors.assign(un, 0.0);
    R.release();
    T.release();
    rect = StereoRectification();
    resultPrimary.clear();
    resultSecondary.clear();
    // The caches follow the lists, whatever was opened or cancelled before.
    primaryCorners.resize(un);
    secondaryCorners.resize(un);
    objectPoints.resize(un);

    if (primaryIndex < 0 || secondaryIndex < 0) {
        logAppend(tr("No sensor present in the sensor list, aborting...\n"), Qt::red);
        return;
    }
    const QString primaryName = ui->combo_sensor_primary->currentText();
    const QString secondaryName = ui->combo_sensor_secondary->currentText();
    if (ui->check_use_intrinsic_guess1->isChecked()) {
        cv::Size size;
        primaryK.release();
        primaryKc.release();
        emit getPrimaryIntrinsics(primaryIndex, primaryK, primaryKc, size);
        if (primaryK.empty()) {
            logAppend(tr("Use intrinsic guess for %1 is set, but the %1 does not have any intrinsics, "
                         "aborting...\n")
                          .arg(primaryName),
                      Qt::red);
            return;
        }
        if (primaryKc.empty())
            primaryKc = cv::Mat::zeros(1, 5, CV_64F);
    }
    if (ui->check_use_intrinsic_guess2->isChecked()) {
        cv::Size size;
        secondaryK.release();
        secondaryKc.release();
        emit getSecondaryIntrinsics(secondaryIndex, secondaryK, secondaryKc, size);
        if (secondaryK.empty()) {
            logAppend(tr("Use intrinsic guess for %1 is set, but the %1 does not have any intrinsics, "
                         "aborting...\n")
                          .arg(secondaryName),
                      Qt::red);
            return;
        }
        if (secondaryKc.empty())
            secondaryKc = cv::Mat::zeros(1, 5, CV_64F);
    }

    ChessboardOptions options;
    if (!takeChessboardOptions(options))
        return;
    bool okIterations = false, okEpsilon = false;
    const int maxIterations = ui->edit_max_iterations->text().trimmed().toInt(&okIterations);
    const double epsilon = ui->edit_accuracy->text().trimmed().toDouble(&okEpsilon);
    if (!okIterations || maxIterations < 1 || !okEpsilon || !(epsilon >= 0) || !std::isfinite(epsilon)) {
        logAppend(
            tr("Termination criteria '%1' and '%2' are not a positive count and a number of at least 0, "
               "aborting...\n")
                .arg(ui->edit_max_iterations->text(), ui->edit_accuracy->text()),
            Qt::red);
        return;
    }
    StereoRunInput input;
    input.criteria =
        cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, maxIterations, epsilon);
    input.cameras[0].flags = calibrationFlags(0);
    input.cameras[1].flags = calibrationFlags(1);
    if (!ui->group_use_radial_distortion1->isChecked())
        primaryKc = cv::Mat::zeros(1, 5, CV_64F);
    if (!ui->group_use_radial_distortion2->isChecked())
        secondaryKc = cv::Mat::zeros(1, 5, CV_64F);

    logAppend(tr("Detecting chessboards: \n"), Qt::black);
    if (!detectPass(n, options)) {
        logAppend(tr("Calibration aborted \n"), Qt::red);
        return;
    }

    std::vector<int> used;
    for (int i = 0; i < n; ++i) {
        const size_t u = static_cast<size_t>(i);
        QListWidgetItem* p = ui->list_images_primary->item(i);
        QListWidgetItem* s = ui->list_images_secondary->item(i);
        const bool complete = !primaryCorners[u].empty() && !secondaryCorners[u].empty() &&
                              !objectPoints[u].empty() &&
                              primaryCorners[u].size() == objectPoints[u].size() &&
                              secondaryCorners[u].size() == objectPoints[u].size();
        if (complete && p->checkState() == Qt::Checked && s->checkState() == Qt::Checked) {
            input.objectPoints.push_back(objectPoints[u]);
            input.cameras[0].corners.push_back(primaryCorners[u]);
            input.cameras[1].corners.push_back(secondaryCorners[u]);
            used.push_back(i);
        } else {
            const QSignalBlocker b1(ui->list_images_primary), b2(ui->list_images_secondary);
            p->setBackground(QColor(Qt::white));
            s->setBackground(QColor(Qt::white));
            p->setCheckState(Qt::Unchecked);
            s->setCheckState(Qt::Unchecked);
        }
    }
    if (used.empty()) {
        logAppend(tr("Target detection failed on all images or none were selected!\n"), Qt::red);
        return;
    }

    logAppend(tr("Calibration in progress ..."), Qt::black);
    logRepaint();
    if (pollAbort()) {
        logAppend(tr("Calibration aborted \n"), Qt::red);
        return;
    }

    // Image sizes: those of the first used pair; every used image of a camera
    // must have that size.
    for (int side = 0; side < 2; ++side) {
        const std::vector<std::string>& paths = side == Primary ? primaryPaths : secondaryPaths;
        const cv::Size first = imageFileSize(paths[static_cast<size_t>(used.front())]);
        for (int i : used) {
            const cv::Size size = imageFileSize(paths[static_cast<size_t>(i)]);
            if (size != first || size.area() == 0) {
                logAppend(
                    tr("Image %1 is %2x%3, image %4 of the same camera is %5x%6: all images of a camera "
                       "must have one size, aborting...\n")
                        .arg(QString::fromStdString(paths[static_cast<size_t>(i)]))
                        .arg(size.width)
                        .arg(size.height)
                        .arg(QString::fromStdString(paths[static_cast<size_t>(used.front())]))
                        .arg(first.width)
                        .arg(first.height),
                    Qt::red);
                return;
            }
        }
        (side == Primary ? primaryImageSize : secondaryImageSize) = first;
    }
    input.cameras[0].imageSize = primaryImageSize;
    input.cameras[1].imageSize = secondaryImageSize;
    input.cameras[0].K = primaryK;
    input.cameras[0].kc = primaryKc;
    input.cameras[1].K = secondaryK;
    input.cameras[1].kc = secondaryKc;

    const StereoRunResult result = runStereoCalibration(input);
    if (!result.ok) {
        logAppend(failureText(tr("Calibration failed: "), result.error), Qt::red);
        logAppend(tr("Aborting...\n"), Qt::red);
        return;
    }
    primaryK = result.K[0];
    primaryKc = result.kc[0];
    secondaryK = result.K[1];
    secondaryKc = result.kc[1];
    R = result.R;
    T = result.T;
    E = result.E;
    F = result.F;

    logAppend(tr("Calibration completed with rms reprojection error: ") + QString::number(result.rms, 'g', 6),
              Qt::black);
    logAppend(tr("Extrinsics: ") + primaryName + tr(" wrt ") + secondaryName);
    logAppend("tx " + f4(T.at<double>(0)));
    logAppend("ty " + f4(T.at<double>(1)));
    logAppend("tz " + f4(T.at<double>(2)));
    logAppend("R ");
    for (int r = 0; r < 3; ++r)
        logAppend(f4(R.at<double>(r, 0)) + " " + f4(R.at<double>(r, 1)) + " " + f4(R.at<double>(r, 2)));

    // Both sensors are checked before anything reaches the tree.
    const int primaryNow = ui->combo_sensor_primary->currentIndex();
    const int secondaryNow = ui->combo_sensor_secondary->currentIndex();
    if (primaryNow < 0 || secondaryNow < 0 || primaryNow == secondaryNow) {
        logAppend(tr("No sensor present in the sensor list, aborting...\n"), Qt::red);
        return;
    }
    emit updatePrimaryIntrinsics(primaryNow, primaryK, primaryKc, primaryImageSize);
    emit updateSecondaryIntrinsics(secondaryNow, secondaryK, secondaryKc, secondaryImageSize);
    emit updateSecondaryExtrinsics(primaryNow, secondaryNow, R.clone(), T.clone());
    resultPrimary = ui->combo_sensor_primary->currentText();
    resultSecondary = ui->combo_sensor_secondary->currentText();

    // Per-view errors and poses, at their list rows.
    double lo[3] = {1e100, 1e100, 1e100}, hi[3] = {0, 0, 0};
    for (size_t k = 0; k < used.size(); ++k) {
        const size_t i = static_cast<size_t>(used[k]);
        primaryViewErrors[i] = result.perViewErrors.at<double>(static_cast<int>(k), 0);
        secondaryViewErrors[i] = result.perViewErrors.at<double>(static_cast<int>(k), 1);
        viewErrors[i] = (primaryViewErrors[i] + secondaryViewErrors[i]) / 2;
        const double e[3] = {viewErrors[i], primaryViewErrors[i], secondaryViewErrors[i]};
        for (int c = 0; c < 3; ++c) {
            lo[c] = std::min(lo[c], e[c]);
            hi[c] = std::max(hi[c], e[c]);
        }
        primaryRvecs[i] = result.rvecs[0][k];
        primaryTvecs[i] = result.tvecs[0][k];
        secondaryRvecs[i] = result.rvecs[1][k];
        secondaryTvecs[i] = result.tvecs[1][k];
    }
    calibrated = true;

    for (size_t k = 0; k < used.size(); ++k) {
        const size_t i = static_cast<size_t>(used[k]);
        primaryListColours[i] = toRgb255(errorColor(primaryViewErrors[i], lo[1], hi[1]));
        secondaryListColours[i] = toRgb255(errorColor(secondaryViewErrors[i], lo[2], hi[2]));
        const cv::Vec3b& a = primaryListColours[i];
        const cv::Vec3b& b = secondaryListColours[i];
        ui->list_images_primary->item(used[k])->setBackground(QColor(a[0], a[1], a[2], 255));
        ui->list_images_secondary->item(used[k])->setBackground(QColor(b[0], b[1], b[2], 255));
    }
    renderer->RemoveAllViewProps();
    const cv::Size2d square(squareWidth, squareHeight);
    for (int i : used) {
        const size_t u = static_cast<size_t>(i);
        drawTarget(renderer, primaryRvecs[u], primaryTvecs[u], patternSize, square,
                   errorColor(viewErrors[u], lo[0], hi[0]), false);
    }
    const double depth = maxTranslationNorm(result.tvecs[0]);
    drawFrustum(renderer, primaryK, primaryImageSize, depth, "");
    drawWorldAxes(renderer, primaryName.toStdString());
    const cv::Mat R_primary_secondary = R.t();
    const cv::Mat t_primary_secondary = -R.t() * T;
    if (vtkSmartPointer<vtkActor> frustum = drawFrustum(renderer, secondaryK, secondaryImageSize, depth, ""))
        setActorPose(frustum, R_primary_secondary, t_primary_secondary);
    drawFrame(renderer, R_primary_secondary, t_primary_secondary, secondaryName.toStdString());
    renderer->ResetCamera();
    renderSceneView(ui->widget_vtk);

    StereoResultFile file;
    file.imageSize0 = primaryImageSize;
    file.K0 = primaryK;
    file.kc0 = primaryKc;
    file.imageSize1 = secondaryImageSize;
    file.K1 = secondaryK;
    file.kc1 = secondaryKc;
    file.R = R;
    file.T = T;
    file.F = F;
    file.rms = result.rms;
    const QString path = stereoFilePath();
    std::string error;
    if (writeStereoResultFile(path.toStdString(), file, error))
        logAppend(tr("Stereo parameters saved to ") + path, Qt::black);
    else
        logAppend(
            tr("Could not write the stereo parameters to %1: %2").arg(path, QString::fromStdString(error)),
            Qt::red);

    const bool removeOutliers = ui->group_outliers->isChecked();
    if (removeOutliers)
        logAppend(tr("Detecting outliers: "), Qt::black);
    if (computeReprojErrors(removeOutliers) && removeOutliers) {
        logAppend(tr("Calibrate again to exclude the detected outliers!"), QColor(255, 0, 0));
        logColor(QColor(0, 0, 0));
    }

    logColor(Qt::black);
    on_list_images_primary_currentRowChanged(ui->list_images_primary->currentRow());
    ui->progress_bar->setValue(n + 1);
}

bool StereoChessCalibWin::computeReprojErrors(bool removeOutliers)
{
    StereoOutlierThresholds thresholds;
    if (removeOutliers) {
        bool ok[3] = {false, false, false};
        thresholds.primary = ui->edit_outlier_primary->text().trimmed().toDouble(&ok[0]);
        thresholds.secondary = ui->edit_outlier_secondary->text().trimmed().toDouble(&ok[1]);
        thresholds.epipolar = ui->edit_outlier_epipolar->text().trimmed().toDouble(&ok[2]);
        if (!ok[0] || !ok[1] || !ok[2]) {
            logInsert(tr("a threshold is not a number; nothing removed"), Qt::red);
            logColor(Qt::black);
            removeOutliers = false;
        }
    }
    const size_t m = std::max(primaryPaths.size(), secondaryPaths.size());
    primaryReprojected.assign(m, {});
    secondaryReprojected.assign(m, {});
    primaryMinMax.assign(m, cv::Vec2d(1e100, 0));
    secondaryMinMax.assign(m, cv::Vec2d(1e100, 0));
    epipolarMinMax.assign(m, cv::Vec2d(1e100, 0));
    primaryPointColours.assign(m, {});
    secondaryPointColours.assign(m, {});
    epipolarRms.assign(m, 0.0);
    epipolarColours.assign(m, cv::Vec3b());
    if (primaryK.empty() || secondaryK.empty() || F.empty())
        return false;

    auto hasPose = [this](size_t i) {
        return i < primaryRvecs.size() && i < secondaryRvecs.size() && !primaryRvecs[i].empty() &&
               !secondaryRvecs[i].empty() && !primaryTvecs[i].empty() && !secondaryTvecs[i].empty() &&
               i < objectPoints.size() && !objectPoints[i].empty() &&
               primaryCorners[i].size() == objectPoints[i].size() &&
               secondaryCorners[i].size() == objectPoints[i].size();
    };
    const std::array<cv::Mat, 2> K{primaryK, secondaryK}, kc{primaryKc, secondaryKc};
    double smallest = 1e100, largest = 0;
    bool found = false;
    for (size_t i = 0; i < m; ++i) {
        if (!hasPose(i))
            continue;
        const StereoPairErrors e =
            stereoPairErrors(objectPoints[i], primaryCorners[i], secondaryCorners[i], primaryRvecs[i],
                             primaryTvecs[i], secondaryRvecs[i], secondaryTvecs[i], K, kc, F);
        primaryReprojected[i] = e.reprojected[0];
        secondaryReprojected[i] = e.reprojected[1];
        primaryMinMax[i] = e.minMax[0];
        secondaryMinMax[i] = e.minMax[1];
        epipolarMinMax[i] = e.epipolarMinMax;
        epipolarRms[i] = e.epipolarRms;
        smallest = std::min(smallest, e.epipolarRms);
        largest = std::max(largest, e.epipolarRms);

        const std::vector<size_t> outliers =
            removeOutliers ? stereoOutliers(e, thresholds) : std::vector<size_t>();
        size_t next = 0;
        for (size_t j = 0; j < e.epipolarErrors.size(); ++j) {
            if (next < outliers.size() && outliers[next] == j) {
                ++next;
                continue;
            }
            primaryPointColours[i].push_back(
                toRgb255(errorColor(e.pointErrors[0][j], e.minMax[0][0], e.minMax[0][1])));
            secondaryPointColours[i].push_back(
                toRgb255(errorColor(e.pointErrors[1][j], e.minMax[1][0], e.minMax[1][1])));
        }
        if (!outliers.empty()) {
            found = true;
            logInsert(QString::number(i) + ": " + QString::number(outliers.size()) + "  ", Qt::black);
            eraseStereoPoints(outliers, primaryCorners[i], secondaryCorners[i], objectPoints[i]);
        }
    }
    for (size_t i = 0; i < m; ++i)
        if (i < primaryRvecs.size() && i < secondaryRvecs.size() && !primaryRvecs[i].empty() &&
            !secondaryRvecs[i].empty())
            epipolarColours[i] = toRgb255(errorColor(epipolarRms[i], smallest, largest));
    if (removeOutliers && !found)
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
    const std::vector<cv::Mat>& rvecs = side == Primary ? primaryRvecs : secondaryRvecs;
    const std::vector<cv::Mat>& tvecs = side == Primary ? primaryTvecs : secondaryTvecs;
    const std::vector<std::vector<cv::Point2f>>& corners =
        side == Primary ? primaryCorners : secondaryCorners;
    const std::vector<std::vector<cv::Vec3b>>& colours =
        side == Primary ? primaryPointColours : secondaryPointColours;
    const bool checked = list(side)->item(row) && list(side)->item(row)->checkState() == Qt::Checked;
    const bool hasPose = u < rvecs.size() && u < tvecs.size() && !rvecs[u].empty() && !tvecs[u].empty() &&
                         u < corners.size() && u < colours.size();
    if (image.empty() || !calibrated || !checked || !hasPose) {
        if (!image.empty())
            label->setImage(image);
        group->hide();
        return false;
    }
    showReprojErrors(side, row, image);
    return true;
}

void StereoChessCalibWin::showReprojErrors(Side side, int row, const cv::Mat& image)
{
    const size_t u = static_cast<size_t>(row);
    const bool p = side == Primary;
    QLabel* rms = p ? ui->label_rms_primary : ui->label_rms_secondary;
    QLabel* min = p ? ui->label_min_primary : ui->label_min_secondary;
    QLabel* max = p ? ui->label_max_primary : ui->label_max_secondary;
    const cv::Vec2d range = (p ? primaryMinMax : secondaryMinMax)[u];
    rms->setText(tr("RMS: ") + f4((p ? primaryViewErrors : secondaryViewErrors)[u]) + " px");
    rms->setStyleSheet(colourStyle((p ? primaryListColours : secondaryListColours)[u]));
    min->setText(tr("Min: ") + f4(range[0]) + " px");
    min->setStyleSheet("color:#00ff00");
    max->setText(tr("Max: ") + f4(range[1]) + " px");
    max->setStyleSheet("color:#ff0000");
    (p ? ui->group_reproj_err_primary : ui->group_reproj_err_secondary)->show();

    ImageLabel* label = p ? ui->image_label_primary : ui->image_label_secondary;
    label->setImageAndPoints(image, (p ? primaryCorners : secondaryCorners)[u],
                             (p ? primaryPointColours : secondaryPointColours)[u],
                             (p ? primaryReprojected : secondaryReprojected)[u]);
    const cv::Mat& rvec = (p ? primaryRvecs : secondaryRvecs)[u];
    const cv::Mat& tvec = (p ? primaryTvecs : secondaryTvecs)[u];
    if (!rvec.empty() && !tvec.empty()) {
        const BoardAxes axes = projectBoardAxes(rvec, tvec, p ? primaryK : secondaryK,
                                                p ? primaryKc : secondaryKc, squareWidth, squareHeight);
        label->setAxes(axes.origin, axes.xEnd, axes.yEnd, axes.size);
    }
    label->update();
}

void StereoChessCalibWin::showEpipolarLabels(int row)
{
    const size_t u = static_cast<size_t>(row);
    if (u >= epipolarRms.size() || u >= secondaryRvecs.size() || secondaryRvecs[u].empty() ||
        primaryRvecs[u].empty())
        return;
    ui->label_rms_epi->setText(tr("RMS: ") + f4(epipolarRms[u]) + " px");
    ui->label_rms_epi->setStyleSheet(colourStyle(epipolarColours[u]));
    ui->label_min_epi->setText(tr("Min: ") + f4(epipolarMinMax[u][0]) + " px");
    ui->label_min_epi->setStyleSheet("color:#00ff00");
    ui->label_max_epi->setText(tr("Max: ") + f4(epipolarMinMax[u][1]) + " px");
    ui->label_max_epi->setStyleSheet("color:#ff0000");
    ui->group_epi_err->show();
}

void StereoChessCalibWin::showRectified(Side first, int row)
{
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
    StereoRectifyInput input;
    input.zeroDisparity = ui->check_equal_pp->isChecked();
    if (ui->group_new_image_size->isChecked()) {
        const int width = ui->line_new_width->text().toInt();
        const int height = ui->line_new_height->text().toInt();
        if (width < 1 || height < 1) {
            logAppend(tr("Specified new image size %1x%2 is invalid!\n").arg(width).arg(height), Qt::red);
            return;
        }
        input.newImageSize = cv::Size(width, height);
    } else {
        input.newImageSize = primaryImageSize;
    }
    if (ui->radio_alpha_1->isChecked())
        input.alpha = 1.0;
    else if (ui->radio_alpha_custom->isChecked())
        input.alpha = ui->double_spin_alpha->value();

    // Only the last successful calibration of the pair chosen now counts.
    const QString primaryName = ui->combo_sensor_primary->currentText();
    const QString secondaryName = ui->combo_sensor_secondary->currentText();
    if (R.empty() || T.empty() || primaryK.empty() || secondaryK.empty() || resultPrimary != primaryName ||
        resultSecondary != secondaryName) {
        logAppend(tr("Use [Calibrate Stereo] before rectification."), Qt::red);
        return;
    }
    if (secondaryImageSize != primaryImageSize) {
        logAppend(
            tr("[WARNING] Images for %1 and %2 differ in size. Rectification will most probably be invalid.")
                .arg(primaryName, secondaryName),
            Qt::darkYellow);
        logColor(Qt::black);
    }
    input.K = {primaryK, secondaryK};
    input.kc = {primaryKc, secondaryKc};
    input.imageSize = primaryImageSize;
    input.R = R;
    input.T = T;

    StereoRectification result;
    std::string error;
    if (!rectifyStereo(input, result, error)) {
        logAppend(failureText(tr("Rectification failed: "), error), Qt::red);
        logAppend(tr("Aborting...\n"), Qt::red);
        return;
    }
    rect = result;

    const QString file = dir1 + "/rectification.yml";
    if (writeRectificationFile(file.toStdString(), rect, error))
        logAppend(tr("Rectification parameters saved to ") + file, Qt::black);
    else
        logAppend(tr("Could not write the rectification parameters to %1: %2")
                      .arg(file, QString::fromStdString(error)),
                  Qt::red);

    const QString base = rectifiedProjectBasePath();
    const ProjectSaveResult saved =
        saveRectifiedProject(base.toStdString(), rect, primaryName.toStdString(), secondaryName.toStdString(),
                             QDateTime::currentDateTime().toString(Qt::ISODate).toStdString());
    if (saved.status == ProjectSaveResult::Saved)
        logAppend(tr("Project with rectified cameras saved to %1.yml").arg(base), Qt::black);
    else
        logAppend(tr("Could not write the project with rectified cameras to %1.yml: %2")
                      .arg(base, QString::fromStdString(saved.error)),
                  Qt::red);
    logColor(Qt::black);
    redisplay();
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
        const QString dir = sd == Primary ? dir1 : dir2;
        const std::vector<std::string>& paths = sd == Primary ? primaryPaths : secondaryPaths;
        QComboBox* combo = sd == Primary ? ui->combo_sensor_primary : ui->combo_sensor_secondary;
        logAppend(tr("Rectifying %1 images:").arg(combo->currentText()), Qt::black);
        for (int i = 0; i < list(sd)->count() && static_cast<size_t>(i) < paths.size(); ++i) {
            if (list(sd)->item(i)->checkState() != Qt::Checked)
                continue;
            const QString source = QString::fromStdString(paths[static_cast<size_t>(i)]);
            const QString target = dir + "/rect_" + QFileInfo(source).fileName();
            try {
                const cv::Mat image = loadImage(sd, static_cast<size_t>(i), cv::IMREAD_COLOR);
                if (image.empty()) {
                    logAppend(tr("Could not read image %1, skipped").arg(source), Qt::red);
                    logColor(Qt::black);
                    continue;
                }
                if (!cv::imwrite(target.toStdString(), rectifyImage(image, rect, side))) {
                    logAppend(tr("Could not write %1").arg(target), Qt::red);
                    logColor(Qt::black);
                    continue;
                }
            } catch (const cv::Exception& e) {
                logAppend(tr("OpenCV exception caught : ") + QString::fromStdString(e.what()), Qt::red);
                logAppend(tr("Skipping...\n"), Qt::red);
                logColor(Qt::black);
                continue;
            }
            logInsert(".", Qt::black);
            logRepaint();
        }
    }
    logAppend(tr("Done!"), Qt::black);
}
