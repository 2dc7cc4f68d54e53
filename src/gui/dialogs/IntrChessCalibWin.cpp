#include "gui/dialogs/IntrChessCalibWin.h"
#include "ui_IntrChessCalibWin.h"

#include "core/calib/intrinsic_calibration.h"
#include "core/calib/reprojection.h"
#include "core/geometry/error_colors.h"
#include "core/geometry/rotation_checks.h"
#include "core/io/intrinsics_file.h"
#include "gui/views/scene_builders.h"
#include "gui/views/settings.h"

#include <QApplication>
#include <QDoubleValidator>
#include <QFileDialog>
#include <QFileInfo>
#include <QIntValidator>
#include <QListWidgetItem>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <vtkRenderer.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>

namespace {

// Restores the override cursor however the run ends.
struct WaitCursor {
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

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
    delete ui;
}

QString IntrChessCalibWin::intrinsicsFilePath() const
{
    return lastDirectory + "/" + intrinsicsFileName(ui->combo_sensor->currentText());
}

void IntrChessCalibWin::updateSensorNames()
{
    emit getSensorNames(sensorNames);
    refillSensorCombo(ui->combo_sensor, sensorNames);
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

    {
        const QSignalBlocker blocker(ui->list_images);
        ui->list_images->clear();
        imagePaths.clear();
        for (const QString& file : files) {
            const QString name = QFileInfo(file).fileName();
            imagePaths.push_back((lastDirectory + "/" + name).toStdString());
            auto* item = new QListWidgetItem(name, ui->list_images);
            item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
            item->setCheckState(Qt::Checked);
        }
    }

    const size_t n = imagePaths.size();
    reprojectedPoints.assign(n, {});
    errorRanges.assign(n, cv::Vec2d(1e100, 0));
    pointColours.assign(n, {});
    rotationVectors.assign(n, cv::Mat());
    translationVectors.assign(n, cv::Mat());
    perViewErrors.assign(n, 0.0);
    listColours.assign(n, cv::Vec3b());
    fileImagePoints.assign(n, {});
    fileObjectPoints.assign(n, {});

    logMoveToEnd();
    for (size_t i = 0; i < n; ++i) {
        QString error;
        const QString path = QString::fromStdString(imagePaths[i]);
        const CornerFileStatus status = readCornerFile(path, fileImagePoints[i], fileObjectPoints[i], error);
        if (status == CornerFileStatus::Invalid)
            logAppend(tr("Corner file %1 ignored: %2").arg(cornerFilePath(path), error), Qt::darkYellow);
    }
    logColor(Qt::black);
    resetDetections();

    setWindowTitle(QString("%1 - %2").arg(titleText, lastDirectory));
    loadSensorIntrinsics();
    ui->button_calibrate->setEnabled(true);
    ui->group_outliers->setChecked(false);
    ui->check_undistort->setChecked(false);
    if (ui->list_images->count() > 0)
        ui->list_images->setCurrentRow(0);
    renderer->RemoveAllViewProps();
    drawWorldAxes(renderer, "");
    renderSceneView(ui->widget_vtk);
}

void IntrChessCalibWin::resetDetections()
{
    if (running)
        return;
    const size_t n = imagePaths.size();
    imagePoints.assign(n, {});
    objectPoints.assign(n, {});
    for (size_t i = 0; i < n && i < fileImagePoints.size(); ++i) {
        imagePoints[i] = fileImagePoints[i];
        objectPoints[i] = fileObjectPoints[i];
    }
    reprojectedPoints.assign(n, {});
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
    if (i >= imagePaths.size())
        return image;
    image = cv::imread(imagePaths[i], flags);
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
    const int n = static_cast<int>(imagePaths.size());
    ui->progress_bar->setRange(0, n + 1);

    perViewErrors.assign(n, 0.0);
    listColours.assign(n, cv::Vec3b());
    rotationVectors.assign(n, cv::Mat());
    translationVectors.assign(n, cv::Mat());
    // Colours belong to one run: an image that fails or is left out this time
    // must not keep the last run's.
    for (int i = 0; i < n; ++i)
        ui->list_images->item(i)->setBackground(QBrush());

    // Options.
    ChessboardOptions options;
    if (!takeChessboardOptions(options))
        return;
    bool ok = false;
    const int maxIterations = ui->edit_max_iterations->text().trimmed().toInt(&ok);
    if (!ok || maxIterations <= 0) {
        logAppend(tr("Max iterations '%1' is not a positive whole number, aborting...\n")
                      .arg(ui->edit_max_iterations->text()),
                  Qt::red);
        return;
    }
    const double epsilon = ui->edit_accuracy->text().trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(epsilon) || epsilon < 0) {
        logAppend(
            tr("Epsilon '%1' is not a number of at least 0, aborting...\n").arg(ui->edit_accuracy->text()),
            Qt::red);
        return;
    }
    const cv::TermCriteria criteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, maxIterations, epsilon);
    int flags = calibrationFlags();

    if (ui->combo_sensor->currentIndex() < 0) {
        logAppend(tr("No sensor present in the sensor list, aborting...\n"), Qt::red);
        return;
    }

    // Initial intrinsics, kept apart from the members so that nothing that
    // happens while events are processed can change what the run starts from.
    cv::Mat runK, runKc;
    if (flags & cv::CALIB_USE_INTRINSIC_GUESS) {
        cv::Size size;
        emit getIntrinsics(ui->combo_sensor->currentIndex(), runK, runKc, size);
        runK = runK.clone();
        runKc = runKc.clone();
        if (runK.empty()) {
            logAppend(tr("'%1' has no intrinsics to start from; calibrating without the intrinsic guess.")
                          .arg(ui->combo_sensor->currentText()),
                      Qt::darkYellow);
            flags &=
                ~(cv::CALIB_USE_INTRINSIC_GUESS | cv::CALIB_FIX_FOCAL_LENGTH | cv::CALIB_FIX_PRINCIPAL_POINT);
        }
    }
    if (!ui->group_use_radial_distortion->isChecked())
        runKc = cv::Mat::zeros(1, 5, CV_64F);
    if ((flags & cv::CALIB_RATIONAL_MODEL) && runKc.empty())
        runKc = cv::Mat::zeros(1, 8, CV_64F);
    K = runK;
    kc = runKc;

    const std::vector<cv::Point3f> boardPoints =
        chessboardObjectPoints(patternSize, squareWidth, squareHeight);

    // Detection pass.
    logAppend(tr("Detecting chessboards: \n"), Qt::black);
    for (int i = 0; i < n; ++i) {
        if (pollAbort()) {
            logAppend(tr("Calibration aborted \n"), Qt::red);
            return;
        }
        QListWidgetItem* item = ui->list_images->item(i);
        const QString number = QString::number(i) + " ";
        logMoveToEnd();
        if (item->checkState() == Qt::Checked && imagePoints[i].empty()) {
            std::vector<cv::Point2f> corners;
            bool found = false;
            bool loaded = false;
            try {
                const cv::Mat gray = loadImage(i, cv::IMREAD_GRAYSCALE);
                loaded = !gray.empty();
                if (loaded)
                    found = detectChessboard(gray, options, corners);
            } catch (const cv::Exception& e) {
                logAppend(tr("OpenCV exception caught: %1").arg(QString::fromStdString(e.what())), Qt::red);
                logAppend(tr("Skipping...\n"), Qt::red);
                logRepaint();
                continue;
            }
            if (found) {
                imagePoints[i] = corners;
                objectPoints[i] = boardPoints;
                logInsert(number, Qt::green);
            } else {
                item->setCheckState(Qt::Unchecked);
                imagePoints[i].clear();
                objectPoints[i].clear();
                logInsert(number, Qt::red);
                if (!loaded) {
                    logAppend(tr("Could not open image: ") + QString::fromStdString(imagePaths[i]), Qt::red);
                    logAppend(QString()); // the next image numbers start a line of their own
                }
            }
            ui->progress_bar->setValue(i + 1);
        } else if (item->checkState() == Qt::Checked) {
            logInsert(number, Qt::green);
        } else {
            logInsert(number, Qt::gray);
        }
        logRepaint();
    }
    if (pollAbort()) {
        logAppend(tr("Calibration aborted \n"), Qt::red);
        return;
    }

    // The views to calibrate with.
    std::vector<std::vector<cv::Point2f>> calibImagePoints;
    std::vector<std::vector<cv::Point3f>> calibObjectPoints;
    std::vector<int> used;
    for (int j = 0; j < n; ++j) {
        if (imagePoints[j].empty() || objectPoints[j].empty())
            continue;
        QListWidgetItem* item = ui->list_images->item(j);
        if (item->checkState() == Qt::Checked) {
            calibImagePoints.push_back(imagePoints[j]);
            calibObjectPoints.push_back(objectPoints[j]);
            used.push_back(j);
        } else {
            item->setBackground(QColor(Qt::white));
        }
    }
    if (used.empty()) {
        logAppend(tr("Target detection failed on all images or none were selected!\n"), Qt::red);
        logRepaint();
        return;
    }

    const cv::Mat first = cv::imread(imagePaths[used.front()], cv::IMREAD_COLOR);
    if (first.empty()) {
        logAppend(tr("Could not open image: ") + QString::fromStdString(imagePaths[used.front()]), Qt::red);
        logAppend(tr("Aborting...\n"), Qt::red);
        return;
    }
    cv::Size imageSize(first.cols, first.rows);
    logAppend(tr("Calibration in progress ..."), Qt::black);
    logRepaint();

    IntrinsicCalibrationInput input;
    input.imagePoints = std::move(calibImagePoints);
    input.objectPoints = std::move(calibObjectPoints);
    input.imageSize = imageSize;
    input.K = K;
    input.kc = kc;
    input.flags = flags;
    input.criteria = criteria;
    const IntrinsicCalibrationResult result = calibrateIntrinsics(input, [this] { return pollAbort(); });
    switch (result.error) {
    case IntrinsicCalibrationError::None:
        break;
    case IntrinsicCalibrationError::NonPlanarNeedsK:
        logAppend(
            tr("If you use a non-planar calibration target, then you need to set initial inrinsic parameters "
               "(fx, fy, cx, cy) for the %1 in the main window!\n")
                .arg(ui->combo_sensor->currentText()),
            Qt::red);
        return;
    case IntrinsicCalibrationError::Aborted:
        logAppend(tr("Calibration aborted \n"), Qt::red);
        return;
    case IntrinsicCalibrationError::OpenCvError:
        logAppend(tr("OpenCV exception caught: %1").arg(QString::fromStdString(result.message)), Qt::red);
        logAppend(tr("Aborting...\n"), Qt::red);
        return;
    case IntrinsicCalibrationError::NoViews:
        logAppend(tr("Target detection failed on all images or none were selected!\n"), Qt::red);
        return;
    case IntrinsicCalibrationError::NotFinite:
        logAppend(tr("The calibration gave no finite result, aborting...\n"), Qt::red);
        return;
    }
    K = result.K;
    kc = result.kc;
    const double rms = result.rms;
    const std::vector<cv::Mat>& rvecs = result.rvecs;
    const std::vector<cv::Mat>& tvecs = result.tvecs;

    logResult(rms, result.stdDevIntrinsics);
    if (!kc.empty())
        ui->check_undistort->setEnabled(true);

    const int sensor = ui->combo_sensor->currentIndex();
    if (sensor < 0) {
        logAppend(tr("No sensor present in the sensor list, aborting...\n"), Qt::black);
        return;
    }
    emit updateIntrinsics(sensor, K, kc, imageSize);
    ui->check_use_intrinsic_guess->setEnabled(true);
    on_check_use_intrinsic_guess_toggled(ui->check_use_intrinsic_guess->isChecked());

    // List colours and the 3D view.
    double minErr = 1e100, maxErr = 0;
    for (size_t k = 0; k < used.size(); ++k) {
        const double e = result.viewErrors[k];
        minErr = std::min(minErr, e);
        maxErr = std::max(maxErr, e);
    }
    renderer->RemoveAllViewProps();
    const cv::Size2d targetSquare(squareWidth, squareHeight);
    for (size_t k = 0; k < used.size(); ++k) {
        const int j = used[k];
        const double e = result.viewErrors[k];
        const cv::Point3d colour = errorColor(e, minErr, maxErr);
        const cv::Vec3b rgb = toRgb255(colour);
        ui->list_images->item(j)->setBackground(QColor(rgb[0], rgb[1], rgb[2], 255));
        drawTarget(renderer, rvecs[k], tvecs[k], patternSize, targetSquare, colour, false);
        listColours[j] = rgb;
        perViewErrors[j] = e;
        rotationVectors[j] = rvecs[k];
        translationVectors[j] = tvecs[k];
    }
    drawFrustum(renderer, K, imageSize, maxTranslationNorm(tvecs), "");
    drawWorldAxes(renderer, "");
    renderSceneView(ui->widget_vtk);

    // Result file.
    const QString path = intrinsicsFilePath();
    QString error;
    if (writeIntrinsicsFile(path, imageSize, K, kc, rms, error) == IntrinsicsFileStatus::Ok)
        logAppend(tr("Intrinsics saved to %1").arg(path), Qt::black);
    else
        logAppend(tr("Could not write the intrinsics to %1: %2").arg(path, error), Qt::red);

    // Per-corner errors and outliers.
    const bool removeOutliers = ui->group_outliers->isChecked();
    if (removeOutliers)
        logAppend(tr("Detecting outliers: "), Qt::black);
    const bool outliers = computeReprojErrors(removeOutliers);
    if (removeOutliers && outliers) {
        logAppend(tr("Calibrate again to exclude the detected outliers!"), QColor(255, 0, 0));
        logColor(QColor(0, 0, 0));
    }

    on_list_images_itemSelectionChanged();
    ui->progress_bar->setValue(n + 1);
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

int IntrChessCalibWin::computeReprojErrors(bool removeOutliers)
{
    double threshold = 0;
    if (removeOutliers) {
        bool ok = false;
        threshold = ui->edit_outlier->text().trimmed().toDouble(&ok);
        if (!ok || !std::isfinite(threshold) || threshold < 0) {
            logInsert(tr("threshold '%1' is not a number of at least 0; nothing removed")
                          .arg(ui->edit_outlier->text()),
                      Qt::red);
            logColor(Qt::black);
            removeOutliers = false;
            threshold = 0;
        }
    }
    const size_t n = static_cast<size_t>(ui->list_images->count());
    reprojectedPoints.assign(n, {});
    errorRanges.assign(n, cv::Vec2d(1e100, 0));
    pointColours.assign(n, {});

    bool found = false;
    for (size_t i = 0; i < n; ++i) {
        if (i >= rotationVectors.size() || i >= translationVectors.size() || i >= imagePoints.size() ||
            rotationVectors[i].empty() || translationVectors[i].empty())
            continue;
        std::vector<cv::Point2f>& detected = imagePoints[i];
        std::vector<cv::Point3f>& object = objectPoints[i];
        if (object.empty() || detected.size() != object.size())
            continue;
        const ViewReprojection view =
            reprojectView(object, detected, rotationVectors[i], translationVectors[i], K, kc,
                          removeOutliers ? threshold : -1);
        std::vector<cv::Point2f>& projected = reprojectedPoints[i];
        projected = view.projected;
        errorRanges[i] = cv::Vec2d(view.smallest, view.largest);
        const std::vector<size_t>& outliers = view.outliers;
        for (size_t j = 0, next = 0; j < detected.size(); ++j) {
            if (next < outliers.size() && outliers[next] == j)
                ++next;
            else
                pointColours[i].push_back(toRgb255(errorColor(view.errors[j], view.smallest, view.largest)));
        }
        if (removeOutliers && !outliers.empty()) {
            found = true;
            logInsert(QString::number(i) + ": " + QString::number(outliers.size()) + "  ", Qt::black);
            for (auto it = outliers.rbegin(); it != outliers.rend(); ++it) {
                detected.erase(detected.begin() + static_cast<std::ptrdiff_t>(*it));
                object.erase(object.begin() + static_cast<std::ptrdiff_t>(*it));
                projected.erase(projected.begin() + static_cast<std::ptrdiff_t>(*it));
            }
        }
    }
    if (removeOutliers && !found)
        logInsert(tr("none"), Qt::black);
    return found ? 1 : 0;
}

void IntrChessCalibWin::on_list_images_itemSelectionChanged()
{
    const QSignalBlocker blocker(ui->list_images);
    try {
        showSelectedImage();
    } catch (const cv::Exception&) {
        // A file OpenCV refuses to read (such as one whose header claims a
        // huge image): the view keeps its picture and shows no error figures.
        errorPanel.hide();
    }
}

void IntrChessCalibWin::showSelectedImage()
{
    if (!ui->image_label->isVisible() || !ui->list_images->currentItem())
        return;
    const int i = ui->list_images->currentRow();
    if (i < 0 || static_cast<size_t>(i) >= imagePaths.size())
        return;
    const cv::Mat image = loadImage(static_cast<size_t>(i), cv::IMREAD_COLOR);
    if (image.empty()) {
        // The file went away after it was opened: show nothing new.
        errorPanel.hide();
        return;
    }

    if (!K.empty() && !kc.empty() && ui->check_undistort->isChecked()) {
        cv::Mat undistorted;
        cv::undistort(image, undistorted, K, kc);
        ui->image_label->setImage(undistorted);
        return;
    }

    const size_t u = static_cast<size_t>(i);
    const bool hasView = ui->list_images->currentItem()->checkState() == Qt::Checked &&
                         u < imagePoints.size() && !imagePoints[u].empty() && !objectPoints[u].empty() &&
                         !K.empty() && !kc.empty() && u < rotationVectors.size() &&
                         !rotationVectors[u].empty() && !translationVectors[u].empty() &&
                         u < pointColours.size();
    if (!hasView) {
        errorPanel.hide();
        ui->image_label->setImage(image);
        return;
    }

    errorPanel.show(perViewErrors[u], listColours[u], errorRanges[u][0], errorRanges[u][1]);
    errorPanel.drawView(
        image, imagePoints[u], pointColours[u], reprojectedPoints[u],
        projectBoardAxes(rotationVectors[u], translationVectors[u], K, kc, squareWidth, squareHeight));
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
