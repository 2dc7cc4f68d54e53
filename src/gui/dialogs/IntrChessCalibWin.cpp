#include "gui/dialogs/IntrChessCalibWin.h"
#include "ui_IntrChessCalibWin.h"

#include "core/calib/intrinsic_calibration.h"
#include "core/calib/reprojection.h"
#include "core/geometry/error_colors.h"
#include "core/geometry/rotation_checks.h"
#include "core/io/intrinsics_file.h"
#include "gui/views/scene_builders.h"
#include "gui/views/settings.h"

#include <QDoubleValidator>
#include <QFileDialog>
#include <QFileInfo>
#include <QIntValidator>
#include <QListWidgetItem>
#include <QScrollArea>
#include <QScrollBar>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <vtkRenderer.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>

namespace {

double at(const cv::Mat& m, int k)
{
    if (m.empty() || k < 0 || static_cast<size_t>(k) >= m.total() * m.channels())
        return 0.0;
    cv::Mat d;
    m.convertTo(d, CV_64F);
    d = d.reshape(1, 1);
    return d.at<double>(0, k);
}

} // namespace

IntrChessCalibWin::IntrChessCalibWin(QWidget* parent, std::vector<QString> names)
    : ChessboardDialog(parent), ui(new Ui::IntrChessCalibWin), sensorNames(std::move(names))
{
    ui->setupUi(this);
    ui->check_fix_k4->hide();
    ui->check_fix_k5->hide();
    ui->check_fix_k6->hide();
    ui->check_use_rational_model->setChecked(false);
    initChessboardFrame(chessboardFormOf(ui));
    loadSettings(this, lastDirectory);

    titleText = tr("Intrinsic Checker Target Calibration");
    for (const QString& name : sensorNames)
        ui->combo_sensor->addItem(name);

    ui->check_normalize_image->hide();
    errorPanel = ReprojectionErrorPanel(ui->group_reproj_err, ui->label_rms_err, ui->label_min_err,
                                        ui->label_max_err, ui->image_label);
    errorPanel.hide();
    ui->button_select_10->hide();

    auto* outlierValidator = new QDoubleValidator(0, 999, 2, ui->edit_outlier);
    outlierValidator->setNotation(QDoubleValidator::StandardNotation);
    outlierValidator->setLocale(QLocale::c());
    ui->edit_outlier->setValidator(outlierValidator);
    ui->edit_max_iterations->setValidator(new QIntValidator(1, 1000000, ui->edit_max_iterations));
    auto* epsValidator = new QDoubleValidator(0, 1000, 12, ui->edit_accuracy);
    epsValidator->setNotation(QDoubleValidator::StandardNotation);
    epsValidator->setLocale(QLocale::c());
    ui->edit_accuracy->setValidator(epsValidator);

    // The fix boxes follow the intrinsic guess, also after a restore.
    on_check_use_intrinsic_guess_toggled(ui->check_use_intrinsic_guess->isChecked());

    renderer = setupChessboardSceneView(ui->widget_vtk);
    ui->widget_controls->installEventFilter(this);
    fitOptionsColumn();

    // While a run walks the image list, nothing may change the list, the
    // options or the chosen sensor; "Abort" stays live.
    setRunLockedWidgets({ui->combo_sensor, ui->list_images, ui->check_mirror, ui->button_change_dir,
                         ui->button_select_10, ui->group_chessboard, ui->check_radon_detection,
                         ui->group_corner_subpix, ui->group_calibration_options, ui->group_term_criteria,
                         ui->group_outliers});

    // The launcher connects the dialog protocol after construction; fetch the
    // chosen sensor's intrinsics once it has.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!running)
                loadSensorIntrinsics();
        },
        Qt::QueuedConnection);
}

IntrChessCalibWin::~IntrChessCalibWin()
{
    saveSettings(this, lastDirectory);
    ui->widget_controls->removeEventFilter(this);
    delete ui;
}

void IntrChessCalibWin::fitOptionsColumn()
{
    // The options scroll only up and down: their column is as wide as their
    // widest line needs with the font in use, so that no text is cut off,
    // and the rest of the window's width goes to the views.
    QScrollArea* area = ui->scroll_controls;
    area->setFixedWidth(ui->widget_controls->minimumSizeHint().width() +
                        area->verticalScrollBar()->sizeHint().width() + 2 * area->frameWidth());
}

bool IntrChessCalibWin::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == ui->widget_controls && event->type() == QEvent::LayoutRequest)
        fitOptionsColumn(); // an option was shown or hidden, or the font changed
    return ChessboardDialog::eventFilter(watched, event);
}

QString IntrChessCalibWin::intrinsicsFilePath() const
{
    return lastDirectory + "/" + intrinsicsFileName(ui->combo_sensor->currentText());
}

void IntrChessCalibWin::refreshSensors(const SceneChange& change)
{
    emit getSensorNames(sensorNames);
    refillSensorCombo(ui->combo_sensor, sensorNames, change);
    // A running calibration keeps the intrinsics it started from.
    if (!running)
        loadSensorIntrinsics();
}

void IntrChessCalibWin::on_button_change_dir_clicked(bool)
{
    if (running)
        return;
    ui->button_calibrate->setEnabled(false);
    const QStringList files =
        QFileDialog::getOpenFileNames(this, tr("Calibration Images"), lastDirectory, imageFileFilter());
    openImages(files);
}

void IntrChessCalibWin::openImages(const QStringList& files)
{
    if (running)
        return;
    if (files.isEmpty()) {
        // Cancelled: the earlier list is still there and can be calibrated.
        ui->button_calibrate->setEnabled(true);
        return;
    }
    lastDirectory = QFileInfo(files.first()).absolutePath();

    images.clear();
    {
        const QSignalBlocker blocker(ui->list_images);
        ui->list_images->clear();
        for (const QString& file : files) {
            const QString name = QFileInfo(file).fileName();
            images.push_back({(lastDirectory + "/" + name).toStdString(), std::nullopt, std::nullopt});
            auto* item = new QListWidgetItem(name, ui->list_images);
            item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
            item->setCheckState(Qt::Checked);
        }
    }

    logMoveToEnd();
    for (ImageEntry& entry : images) {
        QString error;
        BoardCorners corners;
        const QString path = QString::fromStdString(entry.path);
        const CornerFileStatus status =
            readCornerFile(path, corners.imagePoints, corners.objectPoints, error);
        if (status == CornerFileStatus::Loaded)
            entry.cornerFile = std::move(corners);
        else if (status == CornerFileStatus::Invalid)
            logAppend(tr("Corner file %1 ignored: %2").arg(cornerFilePath(path), error), Qt::darkYellow);
    }
    logColor(Qt::black);
    resetDetections();
    // The last run belongs to the images before.
    lastRun = IntrinsicCalibrationResult();

    setWindowTitle(QString("%1 - %2").arg(titleText, lastDirectory));
    loadSensorIntrinsics();
    ui->button_calibrate->setEnabled(true);
    ui->group_outliers->setChecked(false);
    ui->check_undistort->setChecked(false);
    drawLastRun();
    if (ui->list_images->count() > 0)
        ui->list_images->setCurrentRow(0);
}

void IntrChessCalibWin::resetDetections()
{
    if (running)
        return;
    detectionCache.clear();
    for (ImageEntry& entry : images)
        entry.standIn = entry.cornerFile;
    // The last run's corners and their projections went with the
    // detections; its poses, errors and colours stay until the next run.
    lastRunCornersHeld = false;
    on_list_images_itemSelectionChanged();
}

void IntrChessCalibWin::loadSensorIntrinsics()
{
    K.release();
    kc.release();
    const int index = ui->combo_sensor->currentIndex();
    if (index < 0) {
        ui->check_use_intrinsic_guess->setChecked(false);
        ui->check_use_intrinsic_guess->setEnabled(false);
        ui->check_fix_focal->setChecked(false);
        ui->check_fix_focal->setEnabled(false);
        ui->check_fix_pp->setChecked(false);
        ui->check_fix_pp->setEnabled(false);
        return;
    }
    cv::Size size;
    emit getIntrinsics(index, K, kc, size);
    if (!K.empty()) {
        ui->check_use_intrinsic_guess->setEnabled(true);
        on_check_use_intrinsic_guess_toggled(ui->check_use_intrinsic_guess->isChecked());
    } else {
        ui->check_use_intrinsic_guess->setChecked(false);
        ui->check_use_intrinsic_guess->setEnabled(false);
        ui->check_fix_focal->setEnabled(false);
        ui->check_fix_pp->setEnabled(false);
    }
    if (!K.empty() && !kc.empty()) {
        ui->check_undistort->setEnabled(true);
    } else {
        ui->check_undistort->setChecked(false);
        ui->check_undistort->setEnabled(false);
    }
}

int IntrChessCalibWin::calibrationFlags() const
{
    // An option counts only when it is checked and enabled within the
    // calibration options (the run disables the whole group while it runs).
    const QWidget* group = ui->group_calibration_options;
    auto on = [group](const QAbstractButton* box) { return box->isChecked() && box->isEnabledTo(group); };

    int flags = 0;
    if (on(ui->check_use_intrinsic_guess)) {
        flags |= cv::CALIB_USE_INTRINSIC_GUESS;
        if (on(ui->check_fix_focal))
            flags |= cv::CALIB_FIX_FOCAL_LENGTH;
        if (on(ui->check_fix_pp))
            flags |= cv::CALIB_FIX_PRINCIPAL_POINT;
    }
    if (on(ui->check_fix_aspect_ratio))
        flags |= cv::CALIB_FIX_ASPECT_RATIO;
    if (ui->group_use_radial_distortion->isChecked()) {
        if (on(ui->check_fix_k1))
            flags |= cv::CALIB_FIX_K1;
        if (on(ui->check_fix_k2))
            flags |= cv::CALIB_FIX_K2;
        if (on(ui->check_fix_k3))
            flags |= cv::CALIB_FIX_K3;
        if (on(ui->check_use_rational_model)) {
            flags |= cv::CALIB_RATIONAL_MODEL;
            if (on(ui->check_fix_k4))
                flags |= cv::CALIB_FIX_K4;
            if (on(ui->check_fix_k5))
                flags |= cv::CALIB_FIX_K5;
            if (on(ui->check_fix_k6))
                flags |= cv::CALIB_FIX_K6;
        }
    } else {
        // No radial distortion: k1 to k3 stay at the zeros the run starts from.
        flags |= cv::CALIB_FIX_K1 | cv::CALIB_FIX_K2 | cv::CALIB_FIX_K3;
    }
    if (!on(ui->check_use_tangential_distortion))
        flags |= cv::CALIB_ZERO_TANGENT_DIST;
    return flags;
}

cv::Mat IntrChessCalibWin::loadImage(size_t i, int flags) const
{
    cv::Mat image;
    if (i >= images.size())
        return image;
    image = cv::imread(images[i].path, flags);
    if (!image.empty() && ui->check_mirror->isChecked())
        cv::flip(image, image, 1);
    return image;
}

void IntrChessCalibWin::on_button_calibrate_clicked()
{
    calibrate();
}

void IntrChessCalibWin::calibrate()
{
    if (runLogged([this] { runCalibration(); }, tr("OpenCV exception caught: %1"),
                  tr("Unexpected error: %1")))
        logColor(Qt::black);
}

void IntrChessCalibWin::runCalibration()
{
    const WaitCursor waitCursor;
    logMoveToEnd();
    const int n = static_cast<int>(images.size());
    ui->progress_bar->setRange(0, n + 1);
    HeldRun before = holdLastRun();
    // From here on the views show this run's results or none.
    forgetLastRun();

    IntrinsicCalibrationInput input;
    if (!gatherRunInput(input))
        return;
    logAppend(tr("Detecting chessboards: \n"), Qt::black);
    IntrinsicRunProgress progress;
    progress.image = [this](size_t i, const std::optional<BoardDetection>& detection, bool reused) {
        return logImage(i, detection, reused);
    };
    progress.beforeCalibration = [this] {
        logAppend(tr("Calibration in progress ..."), Qt::black);
        logRepaint();
        return !pollAbort();
    };
    lastRun = calibrateIntrinsics(input, detectionCache, progress);
    if (isRefusal(lastRun.error)) {
        const IntrinsicCalibrationResult refused = std::move(lastRun);
        restoreLastRun(std::move(before));
        logRunFailure(refused);
        return;
    }
    lastRunCornersHeld = true;
    colourImageList(input.images);
    if (logRunFailure(lastRun) || !presentCalibration(lastRun))
        return;
    applyOutlierRemoval(lastRun, input.outlierThreshold >= 0);
    on_list_images_itemSelectionChanged();
    ui->progress_bar->setValue(n + 1);
}

bool IntrChessCalibWin::gatherRunInput(IntrinsicCalibrationInput& input)
{
    if (!takeChessboardOptions(input.board) || !readTermCriteria(input.criteria))
        return false;
    input.flags = calibrationFlags();
    const int sensor = ui->combo_sensor->currentIndex();
    if (sensor < 0) {
        logAppend(noSensorChosenText(ui->combo_sensor, tr("camera"), tr("Select Camera")), Qt::red);
        return false;
    }

    // Initial intrinsics, kept apart from the members so that nothing that
    // happens while events are processed can change what the run starts from.
    cv::Mat runK, runKc;
    if (input.flags & cv::CALIB_USE_INTRINSIC_GUESS) {
        cv::Size size;
        emit getIntrinsics(sensor, runK, runKc, size);
        runK = runK.clone();
        runKc = runKc.clone();
        if (runK.empty()) {
            logAppend(tr("'%1' has no intrinsics to start from; calibrating without the intrinsic guess.")
                          .arg(ui->combo_sensor->currentText()),
                      Qt::darkYellow);
            input.flags &=
                ~(cv::CALIB_USE_INTRINSIC_GUESS | cv::CALIB_FIX_FOCAL_LENGTH | cv::CALIB_FIX_PRINCIPAL_POINT);
        }
    }
    if (!ui->group_use_radial_distortion->isChecked())
        runKc = cv::Mat::zeros(1, 5, CV_64F);
    if ((input.flags & cv::CALIB_RATIONAL_MODEL) && runKc.empty())
        runKc = cv::Mat::zeros(1, 8, CV_64F);
    K = runK;
    kc = runKc;
    input.K = runK;
    input.kc = runKc;

    input.mirror = ui->check_mirror->isChecked();
    input.outlierThreshold = readOutlierThreshold();
    for (size_t i = 0; i < images.size(); ++i) {
        const bool checked = ui->list_images->item(static_cast<int>(i))->checkState() == Qt::Checked;
        input.images.push_back({images[i].path, checked, images[i].standIn});
    }
    return true;
}

bool IntrChessCalibWin::readTermCriteria(cv::TermCriteria& criteria)
{
    bool ok = false;
    const int maxIterations = ui->edit_max_iterations->text().trimmed().toInt(&ok);
    if (!ok || maxIterations <= 0) {
        logAppend(tr("Max iterations '%1' is not a positive whole number, aborting...\n")
                      .arg(ui->edit_max_iterations->text()),
                  Qt::red);
        return false;
    }
    const double epsilon = ui->edit_accuracy->text().trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(epsilon) || epsilon < 0) {
        logAppend(
            tr("Epsilon '%1' is not a number of at least 0, aborting...\n").arg(ui->edit_accuracy->text()),
            Qt::red);
        return false;
    }
    criteria = cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, maxIterations, epsilon);
    return true;
}

double IntrChessCalibWin::readOutlierThreshold()
{
    if (!ui->group_outliers->isChecked())
        return -1;
    bool ok = false;
    const double threshold = ui->edit_outlier->text().trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(threshold) || threshold < 0) {
        logAppend(tr("Outlier threshold '%1' is not a number of at least 0; no outliers are removed.")
                      .arg(ui->edit_outlier->text()),
                  Qt::darkYellow);
        logColor(Qt::black);
        return -1;
    }
    return threshold;
}

bool IntrChessCalibWin::logImage(size_t index, const std::optional<BoardDetection>& detection, bool reused)
{
    const bool goOn = logDetectionStep(index, detection, reused);
    if (!detection || detection->outcome == BoardDetection::Outcome::Error)
        return goOn;
    if (!detection->found()) {
        ui->list_images->item(static_cast<int>(index))->setCheckState(Qt::Unchecked);
        if (!detection->readable()) {
            logAppend(tr("Could not open image: ") + QString::fromStdString(images[index].path), Qt::red);
            logAppend(QString()); // the next image numbers start a line of their own
        }
    }
    ui->progress_bar->setValue(static_cast<int>(index) + 1);
    return goOn;
}

bool IntrChessCalibWin::logRunFailure(const IntrinsicCalibrationResult& result)
{
    const QString message = QString::fromStdString(result.message);
    switch (result.error) {
    case IntrinsicCalibrationError::None:
        return false;
    case IntrinsicCalibrationError::Aborted:
        logAppend(tr("Calibration aborted \n"), Qt::red);
        break;
    case IntrinsicCalibrationError::NoViews:
        logAppend(tr("Target detection failed on all images or none were selected!\n"), Qt::red);
        logRepaint();
        break;
    case IntrinsicCalibrationError::ImageUnreadable:
        logAppend(tr("Could not open image: ") + message, Qt::red);
        logAppend(tr("Aborting...\n"), Qt::red);
        break;
    case IntrinsicCalibrationError::NonPlanarNeedsK:
        logAppend(
            tr("If you use a non-planar calibration target, then you need to set initial inrinsic parameters "
               "(fx, fy, cx, cy) for the %1 in the main window!\n")
                .arg(ui->combo_sensor->currentText()),
            Qt::red);
        break;
    case IntrinsicCalibrationError::OpenCvError:
        logAppend(tr("OpenCV exception caught: %1").arg(message), Qt::red);
        logAppend(tr("Aborting...\n"), Qt::red);
        break;
    case IntrinsicCalibrationError::NotFinite:
        logAppend(tr("The calibration gave no finite result, aborting...\n"), Qt::red);
        break;
    case IntrinsicCalibrationError::PointsOutOfBounds: {
        const size_t i = result.refusedImage;
        const bool fromCornerFile = i < images.size() && images[i].cornerFile;
        logRefusedPoints(i < images.size() ? images[i].path : std::string(), fromCornerFile, result.message);
        break;
    }
    case IntrinsicCalibrationError::NonPositiveFocalLength:
        logNonPositiveFocalLengths(result.message);
        break;
    }
    return true;
}

bool IntrChessCalibWin::presentCalibration(const IntrinsicCalibrationResult& result)
{
    K = result.K;
    kc = result.kc;
    logResult(result.rms, result.stdDevIntrinsics);
    if (!kc.empty())
        ui->check_undistort->setEnabled(true);

    const int sensor = ui->combo_sensor->currentIndex();
    if (sensor < 0) {
        // The sensor went away during the run: the result goes nowhere and
        // is not shown.
        logAppend(noSensorChosenText(ui->combo_sensor, tr("camera"), tr("Select Camera")), Qt::black);
        forgetLastRun();
        return false;
    }
    cv::Size imageSize = result.imageSize;
    emit updateIntrinsics(sensor, K, kc, imageSize);
    ui->check_use_intrinsic_guess->setEnabled(true);
    on_check_use_intrinsic_guess_toggled(ui->check_use_intrinsic_guess->isChecked());

    drawLastRun();
    writeResultFile(result);
    return true;
}

void IntrChessCalibWin::writeResultFile(const IntrinsicCalibrationResult& result)
{
    const QString path = intrinsicsFilePath();
    QString error;
    if (writeIntrinsicsFile(path, result.imageSize, result.K, result.kc, result.rms, error) ==
        IntrinsicsFileStatus::Ok)
        logAppend(tr("Intrinsics saved to %1").arg(path), Qt::black);
    else
        logAppend(tr("Could not write the intrinsics to %1: %2").arg(path, error), Qt::red);
}

void IntrChessCalibWin::logResult(double rms, const cv::Mat& stdDev)
{
    logAppend(tr("Calibration completed with rms reprojection error: ") + QString::number(rms, 'g', 6),
              Qt::black);
    logAppend(tr("Intrinsics:"));
    const bool aspectFixed = calibrationFlags() & cv::CALIB_FIX_ASPECT_RATIO;
    auto f4 = [](double v) { return QString::number(v, 'f', 4); };
    logAppend(tr("fx %1 +/- %2").arg(f4(K.at<double>(0, 0)), f4(at(stdDev, aspectFixed ? 1 : 0))));
    logAppend(tr("fy %1 +/- %2").arg(f4(K.at<double>(1, 1)), f4(at(stdDev, 1))));
    logAppend(tr("cx %1 +/- %2").arg(f4(K.at<double>(0, 2)), f4(at(stdDev, 2))));
    logAppend(tr("cy %1 +/- %2").arg(f4(K.at<double>(1, 2)), f4(at(stdDev, 3))));
    if (ui->group_use_radial_distortion->isChecked() && !kc.empty()) {
        logAppend(tr("Distortion coefficients:"));
        struct Line {
            const char* form;
            int value;
            int deviation;
        };
        const Line lines[] = {{"k1 %1 +/- %2", 0, 4},
                              {"k2 %1 +/- %2", 1, 5},
                              {"k3 %1 +/- %2", 4, 8},
                              {"p1 %1 +/- %2", 2, 6},
                              {"p2 %1 +/- %2", 3, 7}};
        for (const Line& line : lines)
            if (at(kc, line.value) != 0.0)
                logAppend(tr(line.form).arg(f4(at(kc, line.value)), f4(at(stdDev, line.deviation))));
        if (ui->check_use_rational_model->isChecked()) {
            const Line rational[] = {
                {"k4 %1 +/- %2", 5, 9}, {"k5 %1 +/- %2", 6, 10}, {"k6 %1 +/- %2", 7, 11}};
            for (const Line& line : rational)
                if (at(kc, line.value) != 0.0)
                    logAppend(tr(line.form).arg(f4(at(kc, line.value)), f4(at(stdDev, line.deviation))));
        }
    }
}

void IntrChessCalibWin::applyOutlierRemoval(const IntrinsicCalibrationResult& result, bool removeOutliers)
{
    if (!removeOutliers || !result.ok())
        return;
    logAppend(tr("Detecting outliers: "), Qt::black);
    bool found = false;
    for (size_t i = 0; i < result.views.size() && i < images.size(); ++i) {
        const std::optional<IntrinsicViewFit>& fit = result.views[i].fit;
        if (!fit || fit->outliers.empty())
            continue;
        found = true;
        logInsert(QString::number(i) + ": " + QString::number(fit->outliers.size()) + "  ", Qt::black);
        // The next run calibrates without them; an image that lost every
        // corner is detected again.
        if (fit->kept.imagePoints.empty())
            images[i].standIn.reset();
        else
            images[i].standIn = fit->kept;
    }
    if (!found) {
        logInsert(tr("none"), Qt::black);
        return;
    }
    logAppend(tr("Calibrate again to exclude the detected outliers!"), QColor(255, 0, 0));
    logColor(QColor(0, 0, 0));
}

bool IntrChessCalibWin::isRefusal(IntrinsicCalibrationError error)
{
    return error == IntrinsicCalibrationError::PointsOutOfBounds ||
           error == IntrinsicCalibrationError::NonPositiveFocalLength;
}

IntrChessCalibWin::HeldRun IntrChessCalibWin::holdLastRun() const
{
    return {lastRun, K, kc, lastRunCornersHeld, listBackgrounds(ui->list_images)};
}

void IntrChessCalibWin::restoreLastRun(HeldRun held)
{
    lastRun = std::move(held.run);
    K = held.K;
    kc = held.kc;
    lastRunCornersHeld = held.cornersHeld;
    setListBackgrounds(ui->list_images, held.listBackgrounds);
    drawLastRun();
    on_list_images_itemSelectionChanged();
}

void IntrChessCalibWin::forgetLastRun()
{
    lastRun = IntrinsicCalibrationResult();
    colourImageList({});
    drawLastRun();
    on_list_images_itemSelectionChanged();
}

void IntrChessCalibWin::colourImageList(const std::vector<IntrinsicImage>& runImages)
{
    for (int i = 0; i < ui->list_images->count(); ++i) {
        const size_t u = static_cast<size_t>(i);
        QListWidgetItem* item = ui->list_images->item(i);
        if (fitOf(u)) {
            const cv::Vec3b rgb = listColourOf(u);
            item->setBackground(QColor(rgb[0], rgb[1], rgb[2], 255));
        } else if (u < runImages.size() && !runImages[u].selected && u < lastRun.views.size() &&
                   lastRun.views[u].corners) {
            item->setBackground(QColor(Qt::white)); // a board the run did not use
        } else {
            item->setBackground(QBrush());
        }
    }
}

void IntrChessCalibWin::drawLastRun()
{
    renderer->RemoveAllViewProps();
    if (lastRun.ok() && !lastRun.views.empty()) {
        // The boards as the run saw them, whatever the form says now.
        const ChessboardOptions& board = lastRun.board;
        const cv::Size2d targetSquare(board.squareWidth, board.squareHeight);
        std::vector<cv::Mat> tvecs;
        for (size_t i = 0; i < lastRun.views.size(); ++i) {
            const IntrinsicViewFit* fit = fitOf(i);
            if (!fit)
                continue;
            drawTarget(renderer, fit->rvec, fit->tvec, board.patternSize, targetSquare, viewColourOf(i),
                       false);
            tvecs.push_back(fit->tvec);
        }
        drawFrustum(renderer, lastRun.K, lastRun.imageSize, maxTranslationNorm(tvecs), "");
    }
    drawWorldAxes(renderer, "");
    renderSceneView(ui->widget_vtk);
}

const IntrinsicViewFit* IntrChessCalibWin::fitOf(size_t i) const
{
    if (!lastRun.ok() || i >= lastRun.views.size() || !lastRun.views[i].fit)
        return nullptr;
    return &*lastRun.views[i].fit;
}

cv::Point3d IntrChessCalibWin::viewColourOf(size_t i) const
{
    const IntrinsicViewFit* fit = fitOf(i);
    if (!fit)
        return cv::Point3d();
    double smallest = 1e100, largest = 0;
    for (const IntrinsicView& view : lastRun.views) {
        if (!view.fit)
            continue;
        smallest = std::min(smallest, view.fit->reprojError);
        largest = std::max(largest, view.fit->reprojError);
    }
    return errorColor(fit->reprojError, smallest, largest);
}

cv::Vec3b IntrChessCalibWin::listColourOf(size_t i) const
{
    return fitOf(i) ? toRgb255(viewColourOf(i)) : cv::Vec3b();
}

std::vector<cv::Vec3b> IntrChessCalibWin::cornerColoursOf(const IntrinsicViewFit& fit) const
{
    std::vector<cv::Vec3b> colours;
    for (const double e : fit.reprojErrors)
        colours.push_back(toRgb255(errorColor(e, fit.smallest, fit.largest)));
    return colours;
}

std::vector<std::vector<cv::Point2f>> IntrChessCalibWin::detectedImagePoints() const
{
    ChessboardOptions options;
    QString error;
    const bool optionsRead = readChessboardOptions(options, error);
    std::vector<std::vector<cv::Point2f>> points(images.size());
    for (size_t i = 0; i < images.size(); ++i) {
        if (images[i].standIn) {
            points[i] = images[i].standIn->imagePoints;
            continue;
        }
        DetectionRequest request;
        request.path = images[i].path;
        request.mirror = ui->check_mirror->isChecked();
        const std::optional<BoardDetection> held =
            optionsRead ? detectionCache.find(request, options) : std::nullopt;
        if (held && held->found())
            points[i] = held->corners;
    }
    return points;
}

std::vector<std::vector<cv::Point2f>> IntrChessCalibWin::reprojectedImagePoints() const
{
    std::vector<std::vector<cv::Point2f>> points(images.size());
    if (!lastRunCornersHeld)
        return points;
    for (size_t i = 0; i < images.size(); ++i)
        if (const IntrinsicViewFit* fit = fitOf(i))
            points[i] = fit->reprojectedPoints;
    return points;
}

std::vector<double> IntrChessCalibWin::viewErrors() const
{
    std::vector<double> errors(images.size(), 0.0);
    for (size_t i = 0; i < images.size(); ++i)
        if (const IntrinsicViewFit* fit = fitOf(i))
            errors[i] = fit->reprojError;
    return errors;
}

std::vector<cv::Vec3b> IntrChessCalibWin::imageListColours() const
{
    std::vector<cv::Vec3b> colours(images.size());
    for (size_t i = 0; i < images.size(); ++i)
        colours[i] = listColourOf(i);
    return colours;
}

std::vector<std::vector<cv::Vec3b>> IntrChessCalibWin::cornerColours() const
{
    std::vector<std::vector<cv::Vec3b>> colours(images.size());
    for (size_t i = 0; i < images.size(); ++i)
        if (const IntrinsicViewFit* fit = fitOf(i))
            colours[i] = cornerColoursOf(*fit);
    return colours;
}

std::vector<cv::Vec2d> IntrChessCalibWin::cornerErrorRanges() const
{
    std::vector<cv::Vec2d> ranges(images.size(), cv::Vec2d(1e100, 0));
    for (size_t i = 0; i < images.size(); ++i)
        if (const IntrinsicViewFit* fit = fitOf(i))
            ranges[i] = cv::Vec2d(fit->smallest, fit->largest);
    return ranges;
}

void IntrChessCalibWin::on_list_images_itemSelectionChanged()
{
    const QSignalBlocker blocker(ui->list_images);
    try {
        showSelectedImage();
    } catch (const cv::Exception&) {
        // A file OpenCV refuses to read (such as one whose header claims a
        // huge image): nothing of it can be shown.
        errorPanel.hide();
        ui->image_label->setImage(blankImage());
    }
}

cv::Mat IntrChessCalibWin::blankImage() const
{
    const cv::Size size = lastRun.imageSize.area() > 0 ? lastRun.imageSize : cv::Size(640, 480);
    return cv::Mat(size, CV_8UC1, cv::Scalar(235));
}

void IntrChessCalibWin::showSelectedImage()
{
    if (!ui->image_label->isVisible() || !ui->list_images->currentItem())
        return;
    const int row = ui->list_images->currentRow();
    if (row < 0 || static_cast<size_t>(row) >= images.size())
        return;
    const size_t i = static_cast<size_t>(row);
    const cv::Mat image = loadImage(i, cv::IMREAD_COLOR);
    if (image.empty()) {
        // The file went away after it was opened: there is nothing to show.
        errorPanel.hide();
        ui->image_label->setImage(blankImage());
        return;
    }

    if (!K.empty() && !kc.empty() && ui->check_undistort->isChecked()) {
        cv::Mat undistorted;
        cv::undistort(image, undistorted, K, kc);
        ui->image_label->setImage(undistorted);
        return;
    }

    const IntrinsicViewFit* fit = lastRunCornersHeld ? fitOf(i) : nullptr;
    if (!fit || ui->list_images->currentItem()->checkState() != Qt::Checked) {
        errorPanel.hide();
        ui->image_label->setImage(image);
        return;
    }
    errorPanel.show(fit->reprojError, listColourOf(i), fit->smallest, fit->largest);
    errorPanel.drawView(image, fit->kept.imagePoints, cornerColoursOf(*fit), fit->reprojectedPoints,
                        projectBoardAxes(fit->rvec, fit->tvec, lastRun.K, lastRun.kc,
                                         lastRun.board.squareWidth, lastRun.board.squareHeight));
}

void IntrChessCalibWin::on_check_use_rational_model_toggled(bool checked)
{
    for (QCheckBox* box : {ui->check_fix_k4, ui->check_fix_k5, ui->check_fix_k6}) {
        box->setChecked(false);
        box->setVisible(checked);
    }
}

void IntrChessCalibWin::on_group_use_radial_distortion_toggled(bool checked)
{
    if (checked)
        return;
    ui->check_fix_k1->setChecked(true);
    ui->check_fix_k2->setChecked(true);
    ui->check_fix_k3->setChecked(true);
    ui->check_use_rational_model->setChecked(false);
}

void IntrChessCalibWin::on_button_select_10_clicked()
{
    if (running)
        return;
    static std::mt19937 generator{std::random_device{}()};
    const int n = ui->list_images->count();
    std::vector<int> rows(static_cast<size_t>(n));
    std::iota(rows.begin(), rows.end(), 0);
    std::shuffle(rows.begin(), rows.end(), generator);
    for (int i = 0; i < n; ++i)
        ui->list_images->item(i)->setCheckState(Qt::Unchecked);
    for (int k = 0; k < std::min(10, n); ++k)
        ui->list_images->item(rows[static_cast<size_t>(k)])->setCheckState(Qt::Checked);
}

void IntrChessCalibWin::on_combo_sensor_currentIndexChanged(int)
{
    if (!running)
        loadSensorIntrinsics();
}

void IntrChessCalibWin::on_check_use_intrinsic_guess_toggled(bool checked)
{
    ui->check_fix_focal->setEnabled(checked);
    ui->check_fix_pp->setEnabled(checked);
}

void IntrChessCalibWin::on_check_undistort_toggled(bool)
{
    on_list_images_itemSelectionChanged();
}

void IntrChessCalibWin::on_check_radon_detection_toggled(bool checked)
{
    ui->group_corner_subpix->setEnabled(!checked);
    resetDetections();
}

void IntrChessCalibWin::on_check_mirror_stateChanged(int)
{
    resetDetections();
}

void IntrChessCalibWin::on_spin_corner_count_x_valueChanged(int)
{
    resetDetections();
}

void IntrChessCalibWin::on_spin_corner_count_y_valueChanged(int)
{
    resetDetections();
}

void IntrChessCalibWin::on_edit_corners_width_editingFinished()
{
    resetDetections();
}

void IntrChessCalibWin::on_edit_corners_height_editingFinished()
{
    resetDetections();
}

void IntrChessCalibWin::on_check_normalize_image_stateChanged(int)
{
    resetDetections();
}

void IntrChessCalibWin::on_spin_win_size_valueChanged(int)
{
    resetDetections();
}

void IntrChessCalibWin::on_edit_zero_zone_x_editingFinished()
{
    resetDetections();
}

void IntrChessCalibWin::on_edit_zero_zone_y_editingFinished()
{
    resetDetections();
}
